#!/usr/bin/env bash
# The café server in one run, on loopback, with a throw-away data directory:
#   builds what is missing, starts zelko-mgmtd and zelko-diskd, creates the administrator, an
#   image and a client PC through the real interfaces, prepares the image (MBR + NTFS), then boots
#   the PC three times with the driver in zelkovd-host machine: it finds its image through the
#   management server by MAC, shows what Windows would see on its bus and reads the partition
#   table and the NTFS boot sector through SCSI READ; in super-user mode it writes through SCSI;
#   after leaving super-user mode with commit a third boot reads the committed data; the PC's view
#   over NBD (the nbdkit plugin) is compared with the image file. Stops
#   everything it started.
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
say "building zelko-mgmtd, zelko-diskd, zelkovd-host and the nbdkit plugin ($build)"
if [ ! -f "$build/build.ninja" ] && [ "$build" = build/host ]; then
  cmake --preset host >/dev/null || { rm -rf "$build"; cmake --preset host >/dev/null; }
fi
cmake --build "$build" --target zelko-mgmtd zelko-diskd zelkovd-host nbdkit-zelkovd-plugin -j "$(nproc)" >/dev/null
mgmtd=$build/servers/mgmtd/zelko-mgmtd
diskd=$build/servers/diskd/zelko-diskd
hosttool=$build/tools/zelkovd-host/zelkovd-host
plugin=$build/tools/nbdkit-zelkovd/nbdkit-zelkovd-plugin.so

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
echo "web console: http://127.0.0.1:$api/console/ (user admin, the password above)"

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
  "$hosttool" session --server "127.0.0.1:$disk_port" --iqn "$iqn" --client-id aabbcc001122 \
    connect handshake disconnect 2>>"$work/zelkovd-host.log" | jq -r 'select(.op == "handshake") | .imageVersion'
}
say "preparing the image: MBR, one active NTFS partition from 1 MiB (POST .../prepare-disk)"
echo "image version before: $(version_now)"
post "/api/disk/images/$image_id/prepare-disk" '' | jq -c .
echo "image version after:  $(version_now)"

say "what runs here, and what stands in for Windows"
cat <<'TXT'
Each boot below is one run of `zelkovd-host machine`. The driver's own code runs unmodified:
DriverEntry, the Storport miniport callbacks, LUN 0 and its SCSI handling, the held READs, the
auto-activation thread (the by-MAC query over its own kernel HTTP GET, connect, handshake, UDP,
IP maintenance, bus notifications, boot prefetch), the block cache and the protocol client on
kernel sockets. What stands in for Windows is the host kernel (hostkernel/): its Storport port
driver loads the miniport and sends SCSI requests and bus rescans as the disk class driver would,
its socket provider maps the kernel socket calls onto Linux sockets on loopback, and the registry
(the network adapter's NetworkAddress, the TCP/IP interface key) and the boot loader's block in
physical memory come from files. The servers are the real zelko-mgmtd and zelko-diskd.
TXT

# The PC's machine: its network adapter (the MAC the server knows it by) and the boot loader's
# block (server 127.0.0.1, this PC 192.168.50.77/24 via .1; ports 0 keep the registry's).
cat >"$work/pc01.reg" <<'REG'
[\Registry\Machine\SYSTEM\CurrentControlSet\Control\Class\{4D36E972-E325-11CE-BFC1-08002BE10318}\0000]
"NetworkAddress"="AA-BB-CC-00-11-22"
"NetCfgInstanceId"="{6B0E4C1A-0000-4000-8000-00000000B007}"
[\Registry\Machine\SYSTEM\CurrentControlSet\Services\Tcpip\Parameters\Interfaces\{6B0E4C1A-0000-4000-8000-00000000B007}]
"EnableDHCP"=dword:00000001
REG
boot_block=$(python3 -c '
import struct
b = b"KBRT" + struct.pack("<HH", 1, 1) + bytes([127,0,0,1, 192,168,50,77, 255,255,255,0, 192,168,50,1, 192,168,50,2, 0,0,0,0])
print((b + bytes([0xAA,0xBB,0xCC,0x00,0x11,0x22]) + bytes(26)).hex())')

boot() {  # boot N REQUEST...: one power-on of the PC; the requests are what Windows sends
  local n=$1; shift
  mkdir -p "$work/c$n"
  printf '%s\n' "$@" '{"op":"stop"}' |
    "$hosttool" machine --hive "$work/pc01.reg" --boot-info "$boot_block" --param AutoActivateViaApi=1 \
      --param ApiServerIp=127.0.0.1 --param "ApiServerPort=$drv" --param "ServerPort=$disk_port" \
      --c-dir "$work/c$n" >"$work/boot$n.jsonl" 2>"$work/boot$n.err" ||
    die "boot $n failed: $(tail -3 "$work/boot$n.err")"
  python3 - "$work/boot$n.jsonl" "$work/c$n/ZelkoVd.log" <<'PY'
import json, sys
lines = [json.loads(l) for l in open(sys.argv[1])]
act = [l for l in lines if l.get("event") == "activated" and "op" not in l]
if not act:
    sys.exit("the driver did not activate the disk: %s" % [l for l in lines if "event" in l and "op" not in l])
a = act[0]
print("driver loaded; the activation thread brought LUN 0 online %d ms later (image %d bytes, %s, %s)" % (
    a["ms"], a["size"], "super-user mode" if a["superUser"] else "normal mode", "UDP up" if a["udp"] else "TCP only"))
log = open(sys.argv[2], encoding="utf-8").read().splitlines()
for tag in ("[API] 使用 MAC", "[API] 提取到 imageIqn", "[API] 超管 TOKEN", "[API] 非超管", "[Thread] Handshake 成功",
            "[Thread] UDP 通道已激活", "[Thread] 预取完成", "[Thread] 已唤醒挂起的 READ SRB", "[Thread] BusChangeDetected #3"):
    for l in log:
        if l.startswith(tag):
            print("  C:\\ZelkoVd.log  " + l)
            break
if lines[-1] != {"event": "unloaded", "leaks": []}:
    sys.exit("the unload left something behind: %s" % lines[-1])
PY
}
answer() { jq -c "select(.id == \"$2\")" "$work/boot$1.jsonl"; }
data_of() {  # data_of BOOT ID FILE: the bytes a SCSI request returned
  answer "$1" "$2" | python3 -c 'import json, sys; open(sys.argv[1], "wb").write(bytes.fromhex(json.load(sys.stdin)["data"]))' "$3"
}

say "boot 1: the PC boots; the driver asks zelko-mgmtd by MAC which image is its own"
boot 1 '{"op":"scsi","id":"mbr","lun":0,"cdb":"28000000000000000100","in":512}' \
  '{"op":"wait","event":"activated","ms":60000}' \
  '{"op":"scsi","id":"inquiry","lun":0,"cdb":"120000002400","in":36}' \
  '{"op":"scsi","id":"cap","lun":0,"cdb":"9E100000000000000000000000200000","in":32}' \
  '{"op":"scsi","id":"boot","lun":0,"cdb":"28000000080000000100","in":512}' \
  '{"op":"wait","ms":1200}'
echo "what Windows sees on the bus after the driver's bus-change notifications:"
python3 - "$work/boot1.jsonl" <<'PY'
import json, sys
lines = [json.loads(l) for l in open(sys.argv[1])]
by = {l["id"]: l for l in lines if "id" in l}
inq = bytes.fromhex(by["inquiry"]["data"])
cap = bytes.fromhex(by["cap"]["data"])
last, size = int.from_bytes(cap[0:8], "big"), int.from_bytes(cap[8:12], "big")
bus = [l for l in lines if l.get("event") == "bus"]
print("  INQUIRY          : type 0x%02X, vendor %r, product %r, revision %r" % (
    inq[0] & 0x1F, inq[8:16].decode(), inq[16:32].decode(), inq[32:36].decode()))
print("  READ CAPACITY(16): %d blocks of %d bytes = %d MiB" % (last + 1, size, (last + 1) * size >> 20))
print("  bus scans        : capacity %s" % " -> ".join(str(b["luns"][0]["capacity"]) for b in bus if b["luns"]))
PY
data_of 1 mbr "$work/sector0"
data_of 1 boot "$work/boot"
echo "the partition table and the NTFS boot sector, read through SCSI READ(10):"
python3 - "$work/sector0" "$work/boot" <<'PY'
import struct, sys
mbr = open(sys.argv[1], "rb").read()
boot = open(sys.argv[2], "rb").read()
print("  MBR signature    : %s" % ("55 AA" if mbr[510:512] == b"\x55\xaa" else mbr[510:512].hex()))
print("  disk signature   : 0x%08X" % struct.unpack_from("<I", mbr, 440)[0])
for i in range(4):
    e = mbr[446 + 16 * i: 462 + 16 * i]
    if e[4] == 0:
        continue
    start, count = struct.unpack_from("<II", e, 8)
    print("  partition %d      : type 0x%02X%s, start LBA %d (%d KiB), %d sectors (%.2f GiB)%s" % (
        i + 1, e[4], " (NTFS)" if e[4] == 7 else "", start, start // 2, count, count / 2097152,
        ", active" if e[0] == 0x80 else ""))
bps, spc = struct.unpack_from("<HB", boot, 11)
hidden, = struct.unpack_from("<I", boot, 28)
total, mft, mftmirr = struct.unpack_from("<QQQ", boot, 40)
print("  NTFS boot sector : OEM id %r, %d bytes/sector, %d sectors/cluster, hidden sectors %d" % (
    boot[3:11].decode("ascii", "replace"), bps, spc, hidden))
print("                     %d sectors, $MFT at cluster %d, $MFTMirr at cluster %d, end marker %s" % (
    total, mft, mftmirr, "55 AA" if boot[510:512] == b"\x55\xaa" else boot[510:512].hex()))
ok = mbr[510:512] == b"\x55\xaa" and mbr[446 + 4] == 7 and mbr[446] == 0x80 and boot[3:11] == b"NTFS    " and hidden == 2048
print("  result           : %s" % ("a bootable MBR disk with an active NTFS partition" if ok else "NOT what a PC needs"))
sys.exit(0 if ok else 1)
PY

say "super-user mode (POST /api/disk/clients/1/super): the token goes only to the PC's registered address"
post /api/disk/clients/1/super '{"isSuperClient":true}' | jq -c .
super_token=$(curl -sS "http://127.0.0.1:$drv/api/disk/clients/by-mac/aabbcc001122" | jq -r .superUserToken)
echo "from 127.0.0.1 (pc01): superUserToken of ${#super_token} characters"
echo "from 127.0.0.2 (another PC): $(curl -sS --interface 127.0.0.2 "http://127.0.0.1:$drv/api/disk/clients/by-mac/aabbcc001122" | jq -c '{isSuperClient,superUserToken}')"

say "boot 2: the PC restarts in super-user mode and Windows writes a sector (SCSI WRITE(10), SYNCHRONIZE CACHE(16))"
stamp="written by pc01 in super-user mode at $(date -u +%FT%TZ)"
sector=$(python3 -c 'import sys; print(sys.argv[1].encode().ljust(512, b"\0").hex())' "$stamp")
boot 2 '{"op":"wait","event":"activated","ms":60000}' \
  "{\"op\":\"scsi\",\"id\":\"write\",\"lun\":0,\"cdb\":\"2A000000040000000100\",\"out\":\"$sector\"}" \
  '{"op":"scsi","id":"sync","lun":0,"cdb":"91000000000000000000000000000000"}'
echo "WRITE(10) LBA 1024: $(answer 2 write | jq -c '{srbStatus,scsiStatus,transferred}')"
echo "SYNCHRONIZE CACHE : $(answer 2 sync | jq -c '{srbStatus,scsiStatus}')"
[ "$(answer 2 write | jq -r .srbStatus)" = 0x01 ] && [ "$(answer 2 sync | jq -r .srbStatus)" = 0x01 ] ||
  die "the write in super-user mode failed"
if grep -qF "$super_token" "$work/c2/ZelkoVd.log" "$work/boot2.err"; then die "the super-user token appears in a log"; fi
echo "the token itself appears in no log (C:\\ZelkoVd.log shows it masked)"

say "leaving super-user mode with commit (POST .../super false): the layer is merged at the next boot"
post /api/disk/clients/1/super '{"isSuperClient":false}' | jq -c .

say "boot 3: a normal boot reads the committed sector (the disk server merges the layer as the PC asks for its image)"
boot 3 '{"op":"wait","event":"activated","ms":60000}' '{"op":"scsi","id":"read","lun":0,"cdb":"28000000040000000100","in":512}'
data_of 3 read "$work/lba1024"
got=$(python3 -c 'import sys; print(open(sys.argv[1], "rb").read().rstrip(b"\0").decode())' "$work/lba1024")
echo "READ(10) LBA 1024: \"$got\""
[ "$got" = "$stamp" ] || die "the committed sector did not come back"
echo "result: the write made in super-user mode is part of the image now"

say "the PC's view as an NBD export (the same driver in the nbdkit plugin) against the server's image file"
image_file=$(curl -sS -H "Authorization: Bearer $token" "http://127.0.0.1:$api/api/disk/images" |
  jq -r --arg id "$image_id" '.. | objects | select(has("path") and ((.id|tostring) == $id)) | .path' | head -1)
[ -n "$image_file" ] || die "the image list gave no file path"
nbdkit -U - "$plugin" server="127.0.0.1:$disk_port" iqn="$iqn" client-id=aabbcc001122 read-only=yes \
  --run "qemu-img compare -f raw -F raw \"\$uri\" '$image_file'" 2>"$work/nbd.err" ||
  die "qemu-img compare of the PC's view failed: $(tail -3 "$work/nbd.err")"

say "stopping the servers (SIGTERM)"
