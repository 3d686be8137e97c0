#!/usr/bin/env bash
# A diskless PC's boot in the host kernel against the real servers on loopback: zelko-mgmtd knows
# the PC by its MAC and assigns a prepared image, zelko-diskd serves it. zelkovd-host machine
# loads the driver with only the API's address; the auto-activation thread asks by MAC, connects,
# handshakes, brings up UDP, pins the boot adapter's address from the boot-information block,
# notifies the bus three times, prefetches and releases the READ that was sent before it all.
# A second boot in super-user mode gets the token (only because the PC asks from its registered
# address) and the file log never shows it.
#   activation_boot_test.sh ZELKOVD_HOST ZELKO_MGMTD ZELKO_DISKD
set -euo pipefail
host=$1
mgmtd=$2
diskd=$3
dir=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$dir"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_file() { for _ in $(seq 300); do [ -s "$1" ] && return 0; sleep 0.1; done; fail "$2 did not start: $(tail -5 "$3")"; }

head -c 24 /dev/urandom | base64 | tr -d '/+=' >"$dir/secret"
admin_port=$(free_port)
ZELKO_LINK_SECRET=$(cat "$dir/secret") "$mgmtd" serve --data-dir "$dir/mgmtd" --client-listen 127.0.0.1:0 \
  --driver-listen 127.0.0.1:0 --diskd-admin "http://127.0.0.1:$admin_port" --ready-file "$dir/mgmtd.ready" \
  >"$dir/mgmtd.out" 2>"$dir/mgmtd.log" &
pids+=($!)
wait_file "$dir/mgmtd.ready" zelko-mgmtd "$dir/mgmtd.log"
api=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["clientPort"])' "$dir/mgmtd.ready")
drv=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["driverPort"])' "$dir/mgmtd.ready")
password=$(sed -n 's/.*created administrator "admin" with password: //p' "$dir/mgmtd.out")
"$diskd" --listen 127.0.0.1:0 --admin-listen "127.0.0.1:$admin_port" --data-dir "$dir/diskd" \
  --mgmt-url "http://127.0.0.1:$drv" --link-secret-file "$dir/secret" --image-poll 1 \
  --ready-file "$dir/diskd.ready" --log-level warn 2>"$dir/diskd.log" &
pids+=($!)
wait_file "$dir/diskd.ready" zelko-diskd "$dir/diskd.log"
disk_port=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["tcpPort"])' "$dir/diskd.ready")

# The console's part: an image, prepared, and the PC registered with its MAC and address.
python3 - "$api" "$password" >"$dir/setup.json" <<'PY'
import json, sys, urllib.request
api, password = sys.argv[1], sys.argv[2]
def call(path, body=None, token=None):
    req = urllib.request.Request("http://127.0.0.1:%s%s" % (api, path), method="POST" if body is not None else "GET",
                                 data=json.dumps(body).encode() if body is not None else None,
                                 headers={"Content-Type": "application/json"})
    if token:
        req.add_header("Authorization", "Bearer " + token)
    return json.load(urllib.request.urlopen(req))
tok = call("/api/auth/disk/login", {"username": "admin", "password": password})["accessToken"]
img = call("/api/disk/images", {"name": "boot", "sizeBytes": 256 << 20}, tok)
cl = call("/api/disk/clients", {"macAddress": "AA-BB-CC-00-11-22", "name": "pc01", "ipAddress": "127.0.0.1",
                                "imageId": img["id"]}, tok)
call("/api/disk/images/%d/prepare-disk" % img["id"], {}, tok)
print(json.dumps({"token": tok, "image": img, "client": cl}))
PY

cat >"$dir/hive.reg" <<'REG'
[\Registry\Machine\SYSTEM\CurrentControlSet\Control\Class\{4D36E972-E325-11CE-BFC1-08002BE10318}\0000]
"NetworkAddress"="AA-BB-CC-00-11-22"
"NetCfgInstanceId"="{6B0E4C1A-0000-4000-8000-00000000B007}"
[\Registry\Machine\SYSTEM\CurrentControlSet\Services\Tcpip\Parameters\Interfaces\{6B0E4C1A-0000-4000-8000-00000000B007}]
"EnableDHCP"=dword:00000001
REG
# The boot loader's block: server 127.0.0.1, this PC 192.168.50.77/24 via .1, DNS .2, the MAC;
# ports 0 keep the registry's.
block=$(python3 -c '
import struct
b = b"KBRT" + struct.pack("<HH", 1, 1) + bytes([127,0,0,1, 192,168,50,77, 255,255,255,0, 192,168,50,1, 192,168,50,2, 0,0,0,0])
b += bytes([0xAA,0xBB,0xCC,0x00,0x11,0x22]) + bytes(2) + struct.pack("<HH", 0, 0) + bytes(20)
print(b.hex())')

boot() {  # boot N: one machine run, a READ of LBA 0 sent at once, then wait for the activation
  mkdir -p "$dir/c$1"
  printf '%s\n' '{"op":"scsi","id":"held","lun":0,"cdb":"28000000000000000100","in":512}' \
    '{"op":"wait","id":"act","event":"activated","ms":60000}' '{"op":"wait","ms":1500}' \
    '{"op":"registry","id":"tcpip","key":"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces\\{6B0E4C1A-0000-4000-8000-00000000B007}"}' \
    '{"op":"stop"}' |
    "$host" machine --hive "$dir/hive.reg" --boot-info "$block" --param AutoActivateViaApi=1 \
      --param ApiServerIp=127.0.0.1 --param "ApiServerPort=$drv" --param "ServerPort=$disk_port" \
      --c-dir "$dir/c$1" >"$dir/boot$1.jsonl" 2>"$dir/boot$1.err" || fail "boot $1: exit $?: $(tail -3 "$dir/boot$1.err")"
}

boot 1
python3 - "$dir" 1 <<'PY'
import json, sys
d, n = sys.argv[1], sys.argv[2]
lines = [json.loads(l) for l in open("%s/boot%s.jsonl" % (d, n))]
setup = json.load(open(d + "/setup.json"))
by_id = {l["id"]: l for l in lines if "id" in l}
act = [l for l in lines if l.get("event") == "activated" and "op" not in l]
assert len(act) == 1, lines
act = act[0]
assert act["size"] == setup["image"]["sizeBytes"] and act["superUser"] is False, act
assert act["udp"] is True, act
held = by_id["held"]
assert held["srbStatus"] == "0x01", held
mbr = bytes.fromhex(held["data"])
assert mbr[510:512] == b"\x55\xaa" and mbr[446 + 4] == 7, mbr[446:462].hex()
# The bus as Windows would see it after the notifications: LUN 0 with the image's size.
buses = [l for l in lines if l.get("event") == "bus"]
assert len(buses) >= 2 and buses[-1]["luns"][0]["capacity"] == setup["image"]["sizeBytes"], buses[-1]
tcpip = by_id["tcpip"]["values"]
assert tcpip["EnableDHCP"] == 0 and tcpip["IPAddress"] == ["192.168.50.77"], tcpip
assert tcpip["SubnetMask"] == ["255.255.255.0"] and tcpip["DefaultGateway"] == ["192.168.50.1"], tcpip
assert tcpip["NameServer"] == "192.168.50.2" and tcpip["IPAutoconfigurationEnabled"] == 0, tcpip
assert lines[-1] == {"event": "unloaded", "leaks": []}, lines[-1]
log = open("%s/c%s/ZelkoVd.log" % (d, n), encoding="utf-8").read()
for step in ["[API] 使用 MAC=aabbcc001122", "[API] 提取到 imageIqn=" + setup["image"]["iqn"], "[Thread] Handshake 成功",
             "[Thread] UDP 通道已激活", "[Thread] BusChangeDetected #1", "[Thread] 预取完成 status=0x00000000",
             "[Thread] 已唤醒挂起的 READ SRB", "[Thread] BusChangeDetected #2", "[Thread] BusChangeDetected #3",
             "[Thread] 退出"]:
    assert step in log, step
print("boot %s: activated after %d ms" % (n, act["ms"]))
PY
grep -q "boot of client" "$dir/mgmtd.log" || fail "zelko-mgmtd did not see the boot"

# Super-user mode: the next boot gets the token and writes reach the server.
python3 - "$api" "$dir/setup.json" <<'PY'
import json, sys, urllib.request
api, setup = sys.argv[1], json.load(open(sys.argv[2]))
req = urllib.request.Request("http://127.0.0.1:%s/api/disk/clients/%d/super" % (api, setup["client"]["id"]),
                             data=b'{"isSuperClient":true}', method="POST",
                             headers={"Content-Type": "application/json", "Authorization": "Bearer " + setup["token"]})
assert json.load(urllib.request.urlopen(req))["isSuperClient"] is True
PY
token=$(curl -sS "http://127.0.0.1:$drv/api/disk/clients/by-mac/aabbcc001122" | python3 -c 'import json,sys; print(json.load(sys.stdin)["superUserToken"])')
[ -n "$token" ] || fail "no super-user token for the registered address"
boot 2
python3 - "$dir" 2 <<'PY'
import json, sys
d, n = sys.argv[1], sys.argv[2]
lines = [json.loads(l) for l in open("%s/boot%s.jsonl" % (d, n))]
act = [l for l in lines if l.get("event") == "activated" and "op" not in l]
assert len(act) == 1 and act[0]["superUser"] is True, act
assert lines[-1] == {"event": "unloaded", "leaks": []}, lines[-1]
print("boot %s: activated in super-user mode after %d ms" % (n, act[0]["ms"]))
PY
grep -q "超管 TOKEN 已获取" "$dir/c2/ZelkoVd.log" || fail "the token was not fetched"
if grep -qF "$token" "$dir/c2/ZelkoVd.log" "$dir/boot2.err"; then fail "the super-user token appears in a log"; fi
echo PASS
