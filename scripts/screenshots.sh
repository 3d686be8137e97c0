#!/usr/bin/env bash
# Renders the client's login, main, settings and about dialogs under Wine (headless Xvfb, CJK
# font) against a private loopback zelko-mgmtd and writes them to docs/screenshots/*.png.
#
#   scripts/screenshots.sh            uses build/windows and build/host (builds what is missing)
#   ZELKO_WINDOWS_BUILD_DIR=... ZELKO_HOST_BUILD_DIR=... scripts/screenshots.sh
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
win=${ZELKO_WINDOWS_BUILD_DIR:-$top/build/windows}
export ZELKO_HOST_BUILD_DIR=${ZELKO_HOST_BUILD_DIR:-$top/build/host}
out=$top/docs/screenshots

if [ ! -d "$win" ]; then cmake --preset windows -B "$win" >/dev/null; fi
cmake --build "$win" --target ZelkoMfcClient ZelkoClientE2E ZelkoRecordShutdown ZelkoUploadDriver ZelkoFwd >/dev/null
[ -d "$ZELKO_HOST_BUILD_DIR" ] || cmake --preset host -B "$ZELKO_HOST_BUILD_DIR" >/dev/null
cmake --build "$ZELKO_HOST_BUILD_DIR" --target zelko-mgmtd zelko-diskd zelkovd-host >/dev/null
client_dir=$win/clients/disk-client-mfc
tests_dir=$win/tests/client
mkdir -p "$out"

export ZELKO_WINE_DIR=$win/wine-screenshots
"$top/scripts/wine-run.sh" --init
trap '"$top/scripts/wine-run.sh" --shutdown' EXIT
eval "$("$top/scripts/wine-run.sh" --env | sed 's/^/export /')"

# Runs inside with-mgmtd.sh: the driver program announces each dialog, we capture it.
capture() {
  local app
  app=$(echo "${ZELKO_TEST_APP_DIR#Z:}" | tr '\\' /)
  "$top/scripts/wine-run.sh" "$tests_dir/ZelkoClientE2E.exe" --shots &
  local driver=$!
  local name caption
  for pair in "login:^Zelko无盘 - 登录$" "main:^Zelko无盘客户端$" "settings:^设置$" "about:^关于$"; do
    name=${pair%%:*}; caption=${pair#*:}
    for _ in $(seq 300); do [ -f "$app/shot-$name.ready" ] && break; sleep 0.1; done
    [ -f "$app/shot-$name.ready" ] || { echo "screenshots: $name did not appear" >&2; break; }
    wid=$(xdotool search --name "$caption" | tail -1)
    xwd -silent -id "$wid" | convert xwd:- "$out/$name.png"
    echo "screenshots: $out/$name.png" >&2
    touch "$app/shot-$name.done"
  done
  wait "$driver"
}
export -f capture
export top tests_dir out
"$top/tests/client/with-mgmtd.sh" --app "$client_dir/ZelkoMfcClient.exe" "$tests_dir/ZelkoRecordShutdown.exe" \
  bash -c capture

# The upload's progress dialog, mid-upload, from the Wine end-to-end upload (its own prefix).
"$top/scripts/wine-run.sh" --shutdown
trap - EXIT
ZELKO_SHOTS_DIR=$out ZELKO_WINE_DIR=$win/wine-screenshots-upload \
  "$top/tests/client/e2e/upload-e2e.sh" "$client_dir/ZelkoMfcClient.exe" "$tests_dir/ZelkoUploadDriver.exe" \
  "$tests_dir/ZelkoFwd.sys" >/dev/null
