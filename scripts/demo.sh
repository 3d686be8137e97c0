#!/usr/bin/env bash
# The café server in one run, on loopback, with a throw-away data directory:
#   builds what is missing, starts zelko-mgmtd and zelko-diskd, creates the administrator, an
#   image and a client PC through the real interfaces, prepares the image (MBR + NTFS), then
#   reads the disk the way a booting PC does — through the driver's own protocol code
#   (zelkovd-host session) — and shows what the PC finds there. Stops everything it started.
#
#   scripts/demo.sh   (ZELKO_DEMO_KEEP=1 keeps the data directory; ZELKO_DEMO_BUILD_DIR picks
#                     an already configured build directory instead of build/host)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
die() { echo "demo: $*" >&2; exit 1; }

scripts/install-deps.sh

build=${ZELKO_DEMO_BUILD_DIR:-build/host}
say "building zelko-mgmtd, zelko-diskd and zelkovd-host ($build)"
if [ ! -f "$build/build.ninja" ] && [ "$build" = build/host ]; then
  cmake --preset host >/dev/null || { rm -rf "$build"; cmake --preset host >/dev/null; }
fi
targets=(zelko-mgmtd zelko-diskd)
have_host_tool=0
if ninja -C "$build" -t targets all 2>/dev/null | grep -q '^zelkovd-host:'; then
  targets+=(zelkovd-host); have_host_tool=1
fi
cmake --build "$build" --target "${targets[@]}" -j "$(nproc)" >/dev/null
mgmtd=$build/servers/mgmtd/zelko-mgmtd
diskd=$build/servers/diskd/zelko-diskd
hosttool=$build/tools/zelkovd-host/zelkovd-host

work=$(mktemp -d /tmp/zelko-demo.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  if [ "${ZELKO_DEMO_KEEP:-0}" = 1 ]; then echo "demo: kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

wait_file() {  # waits for a ready file written by a server
  for _ in $(seq 1 300); do [ -s "$1" ] && return 0; sleep 0.1; done
  die "$2 did not start; its log:"$'\n'"$(cat "$3")"
}
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# The link secret goes through the environment and a file, never a command line (ps shows those).
head -c 24 /dev/urandom | base64 | tr -d '/+=' > "$work/link-secret"
chmod 600 "$work/link-secret"
admin_port=$(free_port)

say "starting zelko-mgmtd (first start creates the administrator)"
ZELKO_LINK_SECRET=$(cat "$work/link-secret") "$mgmtd" serve --data-dir "$work/mgmtd" \
  --client-listen 127.0.0.1:0 --driver-listen 127.0.0.1:0 \
  --diskd-admin "http://127.0.0.1:$admin_port" --ready-file "$work/mgmtd.ready" \
  >"$work/mgmtd.out" 2>"$work/mgmtd.log" &
pids+=($!)
wait_file "$work/mgmtd.ready" zelko-mgmtd "$work/mgmtd.log"
api=$(jq -r .clientPort "$work/mgmtd.ready")
drv=$(jq -r .driverPort "$work/mgmtd.ready")
cat "$work/mgmtd.out"
password=$(sed -n 's/.*created administrator "admin" with password: //p' "$work/mgmtd.out")
[ -n "$password" ] || die "no administrator password printed"
echo "client API on 127.0.0.1:$api, driver API and link on 127.0.0.1:$drv"

say "starting zelko-diskd (images and tokens come from zelko-mgmtd)"
"$diskd" --listen 127.0.0.1:0 --admin-listen "127.0.0.1:$admin_port" --data-dir "$work/diskd" \
  --mgmt-url "http://127.0.0.1:$drv" --link-secret-file "$work/link-secret" --image-poll 2 \
  --ready-file "$work/diskd.ready" 2>"$work/diskd.log" &
pids+=($!)
wait_file "$work/diskd.ready" zelko-diskd "$work/diskd.log"
disk_port=$(jq -r .tcpPort "$work/diskd.ready")
echo "block protocol on 127.0.0.1:$disk_port (TCP and UDP), admin on 127.0.0.1:$admin_port"

post() { curl -sS -X POST "http://127.0.0.1:$api$1" -H 'Content-Type: application/json' ${token:+-H "Authorization: Bearer $token"} --data-binary "$2"; }
get() { curl -sS "http://127.0.0.1:$api$1" ${token:+-H "Authorization: Bearer $token"}; }

say "operator login (POST /api/auth/disk/login)"
token=$(post /api/auth/disk/login "$(jq -cn --arg p "$password" '{username:"admin",password:$p}')" | jq -r .accessToken)
[ -n "$token" ] && [ "$token" != null ] || die "login failed"
echo "accessToken received (${#token} characters)"

say "creating an image and a client PC (console API)"
image=$(post /api/disk/images '{"name":"win10-games","sizeBytes":1073741824}')
echo "$image" | jq -c '{id,name,iqn,sizeBytes,path}'
image_id=$(echo "$image" | jq -r .id)
iqn=$(echo "$image" | jq -r .iqn)
post /api/disk/clients "{\"macAddress\":\"AA-BB-CC-00-11-22\",\"name\":\"pc01\",\"ipAddress\":\"127.0.0.1\",\"imageId\":$image_id}" |
  jq -c '{id,name,macAddress,ipAddress,imageId}'
echo "image list as the client program asks for it:"
get "/api/disk/images?page=1&pageSize=100" | jq -c '[.items[] | {id,name}]'

version_now() {
  if [ "$have_host_tool" = 1 ]; then
    "$hosttool" session --server "127.0.0.1:$disk_port" --iqn "$iqn" --client-id aabbcc001122 \
      connect handshake disconnect 2>>"$work/zelkovd-host.log" | jq -r 'select(.op == "handshake") | .imageVersion'
  else
    echo "(needs zelkovd-host)"
  fi
}
say "preparing the image: MBR, one active NTFS partition from 1 MiB (POST .../prepare-disk)"
echo "image version before: $(version_now)"
post "/api/disk/images/$image_id/prepare-disk" '' | jq -c .
echo "image version after:  $(version_now)"

say "the PC boots: the driver asks for its configuration (GET /api/disk/clients/by-mac/aabbcc001122)"
curl -sS "http://127.0.0.1:$drv/api/disk/clients/by-mac/aabbcc001122" | jq -c '{code,id,imageIqn,macAddress,superUserToken}'

say "super-user mode: the token goes only to the PC's registered address"
post /api/disk/clients/1/super '{"isSuperClient":true}' | jq -c .
super_token=$(curl -sS "http://127.0.0.1:$drv/api/disk/clients/by-mac/aabbcc001122" | jq -r .superUserToken)
echo "from 127.0.0.1 (pc01): superUserToken of ${#super_token} characters"
echo "from 127.0.0.2 (another PC): $(curl -sS --interface 127.0.0.2 "http://127.0.0.1:$drv/api/disk/clients/by-mac/aabbcc001122" | jq -c '{isSuperClient,superUserToken}')"
super_handshake() {
  "$hosttool" session --server "127.0.0.1:$disk_port" --iqn "$iqn" --client-id aabbcc001122 \
    --super-user "$super_token" connect handshake disconnect 2>>"$work/zelkovd-host.log" |
    jq -c 'select(.op == "handshake") | {op, status, superUser, imageVersion} | with_entries(select(.value != null))'
}
if [ "$have_host_tool" = 1 ]; then
  echo "the disk server accepts the token (handshake through the driver's code):"
  super_handshake
fi
post /api/disk/clients/1/super '{"isSuperClient":false}' | jq -c .
if [ "$have_host_tool" = 1 ]; then
  echo "after switching out, the same token is refused:"
  super_handshake || true
fi

read_disk() {  # handshake and read the MBR and the partition's boot sector
  if [ "$have_host_tool" = 1 ]; then
    say "reading the disk through the driver's protocol code (zelkovd-host session)"
    "$hosttool" session --server "127.0.0.1:$disk_port" --iqn "$iqn" --client-id aabbcc001122 \
      connect handshake read 0 512 "$work/sector0" read 1048576 512 "$work/boot" disconnect \
      2>"$work/zelkovd-host.log" | tee "$work/session.json"
  else
    say "zelkovd-host is not built yet: reading the image file directly instead of over the protocol"
    dd if="$(echo "$image" | jq -r .path)" of="$work/sector0" bs=512 count=1 status=none
    dd if="$(echo "$image" | jq -r .path)" of="$work/boot" bs=512 skip=2048 count=1 status=none
    echo '{"op":"handshake","note":"not run"}' > "$work/session.json"
  fi
}
read_disk

say "what the PC finds on the disk"
python3 - "$work/sector0" "$work/boot" "$work/session.json" <<'PY'
import json, struct, sys
mbr = open(sys.argv[1], "rb").read()
boot = open(sys.argv[2], "rb").read()
ver = None
for line in open(sys.argv[3]):
    try:
        j = json.loads(line)
    except ValueError:
        continue
    if j.get("op") == "handshake":
        ver = next((j[k] for k in ("ver", "version", "imageVersion") if k in j), None)
print("MBR signature      : %s" % ("55 AA" if mbr[510:512] == b"\x55\xaa" else mbr[510:512].hex()))
print("disk signature     : 0x%08X" % struct.unpack_from("<I", mbr, 440)[0])
for i in range(4):
    e = mbr[446 + 16 * i: 462 + 16 * i]
    if e[4] == 0:
        continue
    start, count = struct.unpack_from("<II", e, 8)
    print("partition %d        : type 0x%02X%s, start LBA %d (%d KiB), %d sectors (%.2f GiB)%s" % (
        i + 1, e[4], " (NTFS)" if e[4] == 7 else "", start, start // 2, count, count / 2097152,
        ", active" if e[0] == 0x80 else ""))
bps, spc = struct.unpack_from("<HB", boot, 11)
hidden, = struct.unpack_from("<I", boot, 28)
total, mft, mftmirr = struct.unpack_from("<QQQ", boot, 40)
serial, = struct.unpack_from("<Q", boot, 72)
print("NTFS boot sector   : OEM id %r, %d bytes/sector, %d sectors/cluster, hidden sectors %d" % (
    boot[3:11].decode("ascii", "replace"), bps, spc, hidden))
print("                     %d sectors, $MFT at cluster %d, $MFTMirr at cluster %d, serial %016X, end marker %s" % (
    total, mft, mftmirr, serial, "55 AA" if boot[510:512] == b"\x55\xaa" else boot[510:512].hex()))
print("image version      : %s" % (ver if ver is not None else "(from the handshake; not available)"))
ok = mbr[510:512] == b"\x55\xaa" and mbr[446 + 4] == 7 and mbr[446] == 0x80 and boot[3:11] == b"NTFS    " and hidden == 2048
print("result             : %s" % ("a bootable MBR disk with an active NTFS partition" if ok else "NOT what a PC needs"))
sys.exit(0 if ok else 1)
PY

say "stopping the servers (SIGTERM)"
