#!/usr/bin/env bash
# Runs a Windows test executable under Wine, headless and bounded in time.
#
#   wine-run.sh <program.exe> [args...]   run one program (the CMake cross-compiling emulator)
#   wine-run.sh --init                    create a fresh prefix and display for this test run
#   wine-run.sh --shutdown                stop the wineserver and the display of this run
#   wine-run.sh --env                     print the environment lines (WINEPREFIX, DISPLAY)
#
# Booting a prefix costs ~15 s, so one prefix is shared by every program of a ctest run: the
# run's fixture calls --init (fresh prefix, our own Xvfb, a persistent wineserver) and
# --shutdown at the end. A program started without --init (by hand, or by test discovery)
# creates the prefix on first use. Everything lives in ZELKO_WINE_DIR (the build tree sets it),
# guarded by one flock so parallel tests never boot the same prefix twice.
#
# Exit status: the program's own; 124 when it ran into ZELKO_WINE_TIMEOUT (seconds, default
# 120). A gtest program started with --gtest_filter must also leave a JUnit XML that lists at
# least one executed test with no failure, because a crashing Win32 program can exit 0 under
# Wine.
set -uo pipefail

dir=${ZELKO_WINE_DIR:-${TMPDIR:-/tmp}/zelko-wine-$(id -u)}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)  # Wine wants an absolute prefix path
prefix=$dir/prefix
lock=$dir/lock
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64 || command -v wine)
server=/usr/lib/wine/wineserver64
[ -x "$server" ] || server=$(command -v wineserver)

export WINEPREFIX=$prefix WINEARCH=win64 WINEDEBUG=${ZELKO_WINEDEBUG:--all} WINELOADER=$wine
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d"
unset WINESERVER
# Wine's WinHTTP honours http_proxy: a proxy in the environment would carry the tests' loopback
# requests to another machine.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY
# Wine converts the Unix environment and command line with the Unix locale's charset: without a
# UTF-8 locale (CI shells often have none) the tests' Chinese image names arrive garbled.
case "${LC_ALL:-${LC_CTYPE:-${LANG:-}}}" in
  *UTF-8*|*utf8*|*UTF8*|*utf-8*) ;;
  *) export LC_ALL=C.UTF-8 ;;
esac

log() { echo "wine-run: $*" >&2; }

# Starts our own Xvfb on a display it picks itself (-displayfd), records PID and display.
start_display() {
  local fifo=$dir/displayfd
  rm -f "$fifo"
  mkfifo "$fifo"
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3>"$fifo" 9>&- >/dev/null 2>&1 &
  local pid=$!
  local num
  if ! read -r -t 20 num <"$fifo"; then
    log "Xvfb did not start"; kill "$pid" 2>/dev/null; rm -f "$fifo"; return 1
  fi
  rm -f "$fifo"
  echo "$pid" >"$dir/xvfb.pid"
  echo ":$num" >"$dir/display"
}

stop_display() {
  if [ -f "$dir/xvfb.pid" ]; then
    local pid
    pid=$(cat "$dir/xvfb.pid")
    # Only our own Xvfb: the PID file is ours and the process must still be an Xvfb.
    if [ -n "$pid" ] && [ "$(cat /proc/"$pid"/comm 2>/dev/null)" = Xvfb ]; then
      kill "$pid" 2>/dev/null
    fi
    rm -f "$dir/xvfb.pid" "$dir/display"
  fi
}

display_alive() {
  [ -f "$dir/xvfb.pid" ] && [ -f "$dir/display" ] &&
    [ "$(cat /proc/"$(cat "$dir/xvfb.pid")"/comm 2>/dev/null)" = Xvfb ]
}

# Registry settings every run needs: no crash dialog (it would hang the run), captions drawn by
# Wine itself on a bare X server, and a CJK font behind the dialog fonts.
configure_prefix() {
  local reg=$dir/settings.reg
  local f="WenQuanYi Micro Hei"
  {
    printf 'Windows Registry Editor Version 5.00\r\n\r\n'
    printf '[HKEY_CURRENT_USER\\Software\\Wine\\WineDbg]\r\n"ShowCrashDialog"=dword:00000000\r\n\r\n'
    printf '[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\r\n"Decorated"="N"\r\n"Managed"="N"\r\n\r\n'
    printf '[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\FontSubstitutes]\r\n'
    for face in "微软雅黑" "Microsoft YaHei" "Tahoma" "MS Shell Dlg" "MS Shell Dlg 2" "SimSun" "宋体"; do
      printf '"%s"="%s"\r\n' "$face" "$f"
    done
    printf '\r\n'
  } | { printf '\xff\xfe'; iconv -f UTF-8 -t UTF-16LE; } >"$reg"  # regedit reads UTF-16 only
  timeout 60 "$wine" regedit /S "$(winepath_of "$reg")" >/dev/null 2>&1 9>&-
  timeout 30 "$server" -w 9>&-
}

winepath_of() { echo "Z:${1//\//\\}"; }

make_prefix() {
  log "creating Wine prefix $prefix"
  "$server" -k >/dev/null 2>&1 9>&-
  rm -rf "$prefix"
  if ! timeout 120 "$wine" wineboot -i >/dev/null 2>&1 9>&-; then
    log "wineboot failed"; return 1
  fi
  timeout 60 "$server" -w 9>&-
  configure_prefix
  touch "$prefix/.zelko-ready"
}

ensure_ready() {  # caller holds the lock
  if ! display_alive; then
    stop_display
    start_display || return 1
  fi
  if [ ! -f "$prefix/.zelko-ready" ]; then
    make_prefix || return 1
  fi
}

export_display() { DISPLAY=$(cat "$dir/display"); export DISPLAY; }

case "${1:-}" in
  --init)
    exec 9>"$lock"; flock 9
    "$server" -k >/dev/null 2>&1
    stop_display
    rm -f "$prefix/.zelko-ready"
    ensure_ready || exit 1
    export_display
    # Keep the wineserver (and the prefix's services) alive between the run's programs.
    "$server" -p 600 9>&- >/dev/null 2>&1 </dev/null
    exit 0 ;;
  --shutdown)
    exec 9>"$lock"; flock 9
    "$server" -k >/dev/null 2>&1
    stop_display
    exit 0 ;;
  --env)
    exec 9>"$lock"; flock 9
    ensure_ready || exit 1
    echo "WINEPREFIX=$prefix"; echo "DISPLAY=$(cat "$dir/display")"; echo "WINELOADER=$wine"
    exit 0 ;;
  "")
    echo "usage: wine-run.sh <program.exe> [args...] | --init | --shutdown | --env" >&2; exit 2 ;;
esac

(
  flock 9
  ensure_ready
) 9>"$lock" || { log "no usable Wine prefix"; exit 1; }
export_display

prog=$1; shift
args=("$@")

# gtest: demand the XML report so that "exit 0 without having run" cannot pass.
xml=""
is_gtest_run=0
for a in "${args[@]}"; do
  case "$a" in --gtest_filter=*) is_gtest_run=1 ;; --gtest_list_tests) is_gtest_run=0; break ;; esac
done
if [ $is_gtest_run = 1 ]; then
  xml=$(mktemp "$dir/gtest-XXXXXX.xml")
  rm -f "$xml"
  args+=("--gtest_output=xml:$(winepath_of "$xml")")
fi

# Wine may start helper processes (services, explorer) that live on after the program and
# would keep ctest waiting on our stdout; so the program writes to files we copy afterwards.
out=$(mktemp "$dir/out-XXXXXX")
err=$(mktemp "$dir/err-XXXXXX")
timeout -k 5 "${ZELKO_WINE_TIMEOUT:-120}" "$wine" "$prog" "${args[@]}" >"$out" 2>"$err" </dev/null
rc=$?
cat "$out"; cat "$err" >&2
rm -f "$out" "$err"
[ $rc = 124 ] && log "$(basename "$prog") timed out after ${ZELKO_WINE_TIMEOUT:-120} s"

if [ -n "$xml" ]; then
  if [ ! -s "$xml" ]; then
    log "$(basename "$prog") left no test report (crashed?)"
    [ $rc = 0 ] && rc=3
  else
    read -r ran bad < <(python3 - "$xml" <<'PY'
import sys, xml.etree.ElementTree as ET
root = ET.parse(sys.argv[1]).getroot()
ran = bad = 0
for tc in root.iter("testcase"):
    if tc.get("status", "run") == "run" and tc.get("result", "completed") != "skipped":
        ran += 1
    if tc.find("failure") is not None:
        bad += 1
print(ran, bad)
PY
    )
    if [ "${ran:-0}" -lt 1 ]; then log "no test ran"; [ $rc = 0 ] && rc=3; fi
    if [ "${bad:-0}" -gt 0 ] && [ $rc = 0 ]; then log "report lists failures"; rc=1; fi
  fi
  rm -f "$xml"
fi
exit $rc
