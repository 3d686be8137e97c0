#!/usr/bin/env bash
# The system disk upload end to end under Wine, through the driver's own control-device code:
#
#   ZelkoMfcClient.exe (unmodified) --DeviceIoControl--> ZelkoFwd.sys in Wine's device host
#     --loopback--> machine-bridge.py --> zelkovd-host machine (the driver in the host kernel,
#     \??\PhysicalDrive0 = a local disk image with MBR, a small partition and an NTFS C:)
#     --ZelkoProtocol--> zelko-diskd <--link--> zelko-mgmtd <--HTTP-- the client
#
# Run 1 uploads into image 1 (filled with stale bytes first) and checks that the server image
# equals the local disk block by block over the uploaded range and is zero after it, that the
# merge was reported, and that the dialog said "系统上传完成！". Run 2 cancels an upload into
# image 2 mid-way and checks that nothing was merged.
#
#   upload-e2e.sh CLIENT.exe UPLOAD_DRIVER.exe ZelkoFwd.sys
# Host programs: $ZELKO_HOST_BUILD_DIR (or the build tree's default) /servers/{mgmtd,diskd}/...,
# /tools/zelkovd-host/zelkovd-host. ZELKO_TEST_SHOTS=1 also announces the progress dialog for
# scripts/screenshots.sh. Every server it starts, it stops.
set -uo pipefail

client_exe=$1 driver_exe=$2 fwd_sys=$3
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
host_build=${ZELKO_HOST_BUILD_DIR:-${ZELKO_DEFAULT_HOST_BUILD_DIR:-$root/build/host}}
mgmtd=$host_build/servers/mgmtd/zelko-mgmtd
diskd=$host_build/servers/diskd/zelko-diskd
runner=$host_build/tools/zelkovd-host/zelkovd-host
for b in "$mgmtd" "$diskd" "$runner"; do
  [ -x "$b" ] || { echo "upload-e2e: $b not built (cmake --build --preset host --target zelko-mgmtd zelko-diskd zelkovd-host)" >&2; exit 1; }
done
wine_run=$root/scripts/wine-run.sh
export ZELKO_WINE_DIR=${ZELKO_WINE_DIR:-${TMPDIR:-/tmp}/zelko-wine-upload-$(id -u)}
export ZELKO_WINE_TIMEOUT=600

tmp=$(mktemp -d "${TMPDIR:-/tmp}/zelko-upload-e2e.XXXXXX")
pids=()
wine_up=0
failed=0
log() { echo "upload-e2e: $*" >&2; }
fail() { log "FAIL: $*"; failed=1; }
stop_pid() { kill -TERM "$1" 2>/dev/null; for _ in $(seq 100); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done; kill -KILL "$1" 2>/dev/null; wait "$1" 2>/dev/null; }
cleanup() {
  if [ $wine_up = 1 ]; then
    wine_cmd sc stop ZelkoFwd >/dev/null 2>&1
    "$wine_run" --shutdown >/dev/null 2>&1
  fi
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do stop_pid "${pids[$i]}"; done
  if [ $failed = 1 ]; then
    for f in "$tmp"/*.log; do echo "--- $(basename "$f")" >&2; tail -25 "$f" >&2; done
  fi
  if [ -n "${ZELKO_KEEP_TMP:-}" ]; then log "kept $tmp"; else rm -rf "$tmp"; fi
}
trap cleanup EXIT

# A loopback address of its own: the client always talks to the disk server on port 9501.
ip=""
for _ in $(seq 20); do
  cand=127.$((RANDOM % 200 + 20)).$((RANDOM % 250 + 1)).$((RANDOM % 250 + 1))
  if python3 -c 'import socket,sys; s=socket.socket(); s.bind((sys.argv[1], 9501))' "$cand" 2>/dev/null; then ip=$cand; break; fi
done
[ -n "$ip" ] || { log "no free loopback address for port 9501"; exit 1; }
admin_port=$(python3 -c 'import socket,sys; s=socket.socket(); s.bind((sys.argv[1], 0)); print(s.getsockname()[1])' "$ip")

wait_file() { for _ in $(seq 300); do [ -s "$1" ] && return 0; kill -0 "$2" 2>/dev/null || return 1; sleep 0.1; done; return 1; }
json_get() { python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))[sys.argv[2]])' "$1" "$2"; }

# --- servers: zelko-mgmtd and zelko-diskd, linked
export ZELKO_LINK_SECRET=link-$RANDOM$RANDOM
password=pw-$RANDOM$RANDOM
ZELKO_ADMIN_PASSWORD=$password "$mgmtd" serve --data-dir "$tmp/mgmtd" --client-listen "$ip:0" \
  --driver-listen "$ip:0" --diskd-admin "http://$ip:$admin_port" --ready-file "$tmp/mgmtd.ready" \
  >"$tmp/mgmtd.out" 2>"$tmp/mgmtd.log" &
pids+=($!)
wait_file "$tmp/mgmtd.ready" $! || { failed=1; log "zelko-mgmtd did not start"; exit 1; }
api_port=$(json_get "$tmp/mgmtd.ready" clientPort)
driver_port=$(json_get "$tmp/mgmtd.ready" driverPort)
admin() { "$mgmtd" admin --data-dir "$tmp/mgmtd" "$@"; }
image_path() { python3 -c 'import json,sys; print(json.loads(sys.stdin.readline())["path"])'; }
img1=$(admin image add --name "母盘-上传" --size 64M 2>/dev/null | image_path) || exit 1
img2=$(admin image add --name "取消上传" --size 64M 2>/dev/null | image_path) || exit 1
# Stale content the upload must replace, zeros included.
python3 -c 'import sys
for p in sys.argv[1:]:
    open(p, "r+b").write(b"\xee" * (64 << 20))' "$img1" "$img2"

"$diskd" --listen "$ip:9501" --udp-listen off --admin-listen "$ip:$admin_port" --data-dir "$tmp/diskd" \
  --mgmt-url "http://$ip:$driver_port" --link-secret "$ZELKO_LINK_SECRET" --ready-file "$tmp/diskd.ready" \
  >"$tmp/diskd.out" 2>"$tmp/diskd.log" &
pids+=($!)
wait_file "$tmp/diskd.ready" $! || { failed=1; log "zelko-diskd did not start"; exit 1; }

# --- the PC's local disk
"$here/../bridge/make-local-disk.sh" "$tmp/local.img" 48 || exit 1

start_bridge() {  # extra bridge options...
  rm -f "$tmp/bridge.port"
  python3 "$here/../bridge/machine-bridge.py" --host-runner "$runner" --disk "$tmp/local.img" \
    --port-file "$tmp/bridge.port" --log "$tmp/bridge.log" "$@" -- --c-dir "$tmp" &
  bridge_pid=$!
  pids+=($bridge_pid)
  wait_file "$tmp/bridge.port" $bridge_pid || { failed=1; log "bridge did not start"; exit 1; }
  bridge_port=$(cat "$tmp/bridge.port")
}

# --- Wine: a prefix of this test's own, the forwarding driver as a kernel service
"$wine_run" --init || { log "no Wine prefix"; exit 1; }
wine_up=1
eval "$("$wine_run" --env)"
export WINEPREFIX DISPLAY WINELOADER WINEDEBUG=-all
wine_cmd() { timeout 60 "$WINELOADER" "$@" 2>/dev/null; }
mkdir -p "$WINEPREFIX/drive_c/zelko-test"
cp "$fwd_sys" "$WINEPREFIX/drive_c/zelko-test/ZelkoFwd.sys"
wine_cmd sc create ZelkoFwd type= kernel start= demand 'binPath=' 'C:\zelko-test\ZelkoFwd.sys' >/dev/null

install_service() {
  wine_cmd sc stop ZelkoFwd >/dev/null
  wine_cmd reg add 'HKLM\System\CurrentControlSet\Services\ZelkoFwd' /v BridgePort /t REG_DWORD /d "$bridge_port" /f >/dev/null
  wine_cmd sc start ZelkoFwd | grep -q RUNNING || { failed=1; log "ZelkoFwd did not start"; exit 1; }
}

mkdir -p "$tmp/app"
cp "$client_exe" "$tmp/app/ZelkoMfcClient.exe"
printf '{\n  "server_url": "http://%s:%s",\n  "timeout_sec": 5,\n  "auto_refresh_sec": 5\n}\n' "$ip" "$api_port" >"$tmp/app/config.json"
export ZELKO_TEST_APP_DIR="Z:${tmp//\//\\}\\app" ZELKO_TEST_USER=admin ZELKO_TEST_PASSWORD=$password ZELKO_TEST_HOST=$ip

c_end=$(python3 - "$tmp/local.img" <<'PY'
import struct, sys
mbr = open(sys.argv[1], 'rb').read(512)
for i in range(4):
    e = mbr[446 + 16 * i: 462 + 16 * i]
    if e[4] == 7:
        print((struct.unpack_from('<I', e, 8)[0] + struct.unpack_from('<I', e, 12)[0]) * 512)
PY
)

# --- run 1: a whole upload
shots=${ZELKO_SHOTS_DIR:-}
if [ -n "$shots" ]; then
  # scripts/screenshots.sh: the driver program announces the running progress dialog; a slower
  # disk keeps it on screen while it is captured.
  start_bridge --read-delay-ms 60
  (
    for _ in $(seq 1200); do [ -f "$tmp/app/shot-upload.ready" ] && break; sleep 0.1; done
    wid=$(xdotool search --name '^系统上传进度$' | tail -1)
    [ -n "$wid" ] && xwd -silent -id "$wid" | convert xwd:- "$shots/upload.png" && log "$shots/upload.png"
    touch "$tmp/app/shot-upload.done"
  ) &
  pids+=($!)
  export ZELKO_TEST_SHOTS=1
else
  start_bridge
fi
install_service
ZELKO_TEST_MODE=success ZELKO_TEST_IMAGE_INDEX=0 "$wine_run" "$driver_exe" | tee "$tmp/run1.out" || fail "run 1 (upload) failed"
grep -q '^merge reported: mergedBlocks=' "$tmp/run1.out" || fail "the client reported no merge"
grep -q 'merge' "$tmp/diskd.log" || fail "zelko-diskd logged no merge"
python3 - "$tmp/local.img" "$img1" "$c_end" <<'PY' || fail "server image 1 differs from the local disk"
import sys
local, server, end = open(sys.argv[1], 'rb').read(), open(sys.argv[2], 'rb').read(), int(sys.argv[3])
M = 1 << 20
bad = [b for b in range((end + M - 1) // M) if local[b * M:min((b + 1) * M, end)] != server[b * M:min((b + 1) * M, end)]]
if bad:
    sys.exit('blocks differing from the local disk: %s' % bad[:10])
if server[end:].strip(b'\0'):
    sys.exit('the server image holds stale bytes after the uploaded range')
data = sum(1 for b in range(end // M) if local[b * M:(b + 1) * M].strip(b'\0'))
print('upload-e2e: image 1 equals the local disk over [0, %d) (%d blocks, %d of them with data); zero after it'
      % (end, (end + M - 1) // M, data))
PY
stop_pid "$bridge_pid"
grep -q 'machine exit 0' "$tmp/bridge.log" || fail "the driver did not unload cleanly: $(grep 'machine exit' "$tmp/bridge.log")"
grep 'machine-bridge: requests' "$tmp/bridge.log" | tail -1 >&2

# --- run 2: cancelled mid-way (the bridge's disk answers slowly so the loop is still running)
start_bridge --read-delay-ms 60
install_service
merges_before=$(grep -c 'merge' "$tmp/diskd.log")
ZELKO_TEST_MODE=cancel ZELKO_TEST_IMAGE_INDEX=1 "$wine_run" "$driver_exe" | tee "$tmp/run2.out" || fail "run 2 (cancel) failed"
python3 -c 'import sys; d=open(sys.argv[1],"rb").read(); sys.exit(0 if d == b"\xee" * len(d) else "image 2 was changed by a cancelled upload")' "$img2" \
  || fail "a cancelled upload changed image 2"
sleep 1
[ "$(grep -c 'merge' "$tmp/diskd.log")" = "$merges_before" ] || fail "zelko-diskd merged after a cancel: $(grep merge "$tmp/diskd.log" | tail -2)"
stop_pid "$bridge_pid"

[ $failed = 0 ] && log "PASSED"
exit $failed
