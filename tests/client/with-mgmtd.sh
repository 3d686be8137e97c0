#!/usr/bin/env bash
# Starts a private zelko-mgmtd on loopback (ephemeral port, temporary data directory, two
# images), runs the given command with the server's coordinates in the environment, stops the
# server and removes its data.
#
#   with-mgmtd.sh [--app CLIENT.exe SHUTDOWN_RECORDER.exe] COMMAND [ARGS...]
#
# --app also prepares a directory with the client program, config.json pointing at this server
# and the recording shutdown.exe beside it (ZELKO_TEST_APP_DIR, as a Windows path).
# The server binary: $ZELKO_MGMTD, else $ZELKO_HOST_BUILD_DIR (or the build tree's default)
# /servers/mgmtd/zelko-mgmtd.
set -uo pipefail

app_exe="" recorder=""
if [ "${1:-}" = --app ]; then app_exe=$2; recorder=$3; shift 3; fi

host_build=${ZELKO_HOST_BUILD_DIR:-${ZELKO_DEFAULT_HOST_BUILD_DIR:-$(dirname "$0")/../../build/host}}
mgmtd=${ZELKO_MGMTD:-$host_build/servers/mgmtd/zelko-mgmtd}
if [ ! -x "$mgmtd" ]; then
  echo "with-mgmtd: zelko-mgmtd not found at $mgmtd." >&2
  echo "with-mgmtd: build the host preset first (cmake --preset host && cmake --build --preset host" \
       "--target zelko-mgmtd) or set ZELKO_HOST_BUILD_DIR / ZELKO_MGMTD." >&2
  exit 1
fi

tmp=$(mktemp -d "${TMPDIR:-/tmp}/zelko-client-mgmtd.XXXXXX")
pid=""
cleanup() {
  if [ -n "$pid" ]; then kill -TERM "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; fi
  rm -rf "$tmp"
}
trap cleanup EXIT

password="pw-$(head -c 9 /dev/urandom | od -An -tx1 | tr -d ' \n')"
ZELKO_ADMIN_PASSWORD=$password "$mgmtd" serve --data-dir "$tmp/data" \
  --client-listen 127.0.0.1:0 --driver-listen 127.0.0.1:0 --ready-file "$tmp/ready" \
  >"$tmp/mgmtd.out" 2>"$tmp/mgmtd.log" &
pid=$!
for _ in $(seq 100); do [ -s "$tmp/ready" ] && break; kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
if [ ! -s "$tmp/ready" ]; then
  echo "with-mgmtd: zelko-mgmtd did not start:" >&2; cat "$tmp/mgmtd.log" >&2; exit 1
fi
port=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["clientPort"])' "$tmp/ready")

admin() { "$mgmtd" admin --data-dir "$tmp/data" "$@" >/dev/null; }
admin image add --name "win10-游戏" --size 16M || exit 1
admin image add --name "教学机" --size 16M || exit 1

winpath() { echo "Z:${1//\//\\}"; }
export ZELKO_TEST_API_PORT=$port ZELKO_TEST_USER=admin ZELKO_TEST_PASSWORD=$password
export ZELKO_TEST_IMAGES="win10-游戏|教学机"

if [ -n "$app_exe" ]; then
  mkdir -p "$tmp/app"
  cp "$app_exe" "$tmp/app/ZelkoMfcClient.exe"
  cp "$recorder" "$tmp/app/shutdown.exe"
  printf '{\n  "server_url": "http://127.0.0.1:%s",\n  "timeout_sec": 5,\n  "auto_refresh_sec": 5\n}\n' \
    "$port" >"$tmp/app/config.json"
  export ZELKO_TEST_APP_DIR; ZELKO_TEST_APP_DIR=$(winpath "$tmp/app")
fi

"$@"
rc=$?
if [ $rc -ne 0 ]; then echo "--- zelko-mgmtd log" >&2; tail -30 "$tmp/mgmtd.log" >&2; fi
exit $rc
