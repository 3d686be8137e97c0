#!/usr/bin/env bash
# zelkovd-host machine against a real zelko-diskd on loopback: the driver loads and presents LUN 0,
# a READ sent before activation is held without holding up the requests after it, manual
# activation through the control device releases it with the image's bytes and rescans the bus
# with the image's size, ReadFile and READ_LOCAL reach their data, a plain user is kept out of
# the control device, bad requests are answered and skipped, and the unload is clean.
#   zelkovd_host_machine_test.sh ZELKOVD_HOST ZELKO_DISKD
set -euo pipefail
host=$1
diskd=$2
dir=$(mktemp -d)
pid=
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

iqn=iqn.2024-01.net.zelko:image.3
head -c 2097152 /dev/urandom >"$dir/img.raw"
head -c 1000 /dev/urandom >"$dir/disk0.bin"
mkdir "$dir/data" "$dir/c"
"$diskd" --listen 127.0.0.1:0 --admin-listen off --data-dir "$dir/data" \
  --image "$iqn=$dir/img.raw" --ready-file "$dir/ready.json" --log-level warn &
pid=$!
for _ in $(seq 100); do [ -s "$dir/ready.json" ] && break; sleep 0.05; done
port=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["tcpPort"])' "$dir/ready.json")

python3 - "$dir" "$port" "$iqn" >"$dir/requests.jsonl" <<'PY'
import json, struct, sys
d, port, iqn = sys.argv[1], int(sys.argv[2]), sys.argv[3]
path = "\\??\\PhysicalDrive0".encode("utf-16-le").ljust(256, b"\0")
read_local = path + struct.pack("<QII", 100, 16, 0)
reqs = [
    {"op": "scsi", "id": "held", "lun": 0, "cdb": "28000000000800001000", "in": 8192},
    {"op": "scsi", "id": "tur", "lun": 0, "cdb": "000000000000"},
    {"op": "ioctl", "id": "user", "code": "0x81002000", "caller": "user"},
    {"op": "ioctl", "id": "connect", "code": "0x81002000"},
    {"op": "ioctl", "id": "handshake", "code": "0x81002008"},
    {"op": "wait", "id": "act", "event": "activated", "ms": 10000},
    {"op": "rescan", "id": "rescan"},
    {"op": "read", "id": "rf", "offset": 65536, "length": 4096},
    {"op": "ioctl", "id": "local", "code": "0x81002034", "in": read_local.hex(), "outLen": 8 + 16},
    {"op": "scsi", "id": 7, "lun": 0, "cdb": "zz", "in": 1},
    {"op": "frobnicate", "id": 8},
    # The released READ finishes on a worker (through LUN 0's cache) while the requests above
    # are answered; give it time before the counters are read, so none is outstanding.
    {"op": "wait", "id": "settle", "ms": 3000},
    {"op": "stats", "id": "stats"},
    {"op": "log", "id": "log"},
    {"op": "registry", "id": "reg", "key": "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\ZelkoVd\\Parameters"},
    {"op": "stop"},
]
for r in reqs:
    print(json.dumps(r))
PY

"$host" machine --param AutoActivate=0 --param ServerIp=127.0.0.1 --param "ServerPort=$port" \
  --param "TargetIqn=$iqn" --c-dir "$dir/c" --object "\\??\\PhysicalDrive0=$dir/disk0.bin" \
  <"$dir/requests.jsonl" >"$dir/out.jsonl" 2>"$dir/err.log" \
  || fail "exit code $?: $(cat "$dir/out.jsonl") $(tail -5 "$dir/err.log")"

python3 - "$dir" <<'PY'
import json, sys
d = sys.argv[1]
lines = [json.loads(l) for l in open(d + "/out.jsonl")]
img = open(d + "/img.raw", "rb").read()
disk0 = open(d + "/disk0.bin", "rb").read()
by_id = {l.get("id"): l for l in lines if "id" in l}
order = [l.get("id", l.get("event")) for l in lines]

assert lines[0] == {"event": "loaded", "status": "0x00000000"}, lines[0]
assert lines[1]["event"] == "bus" and [l["lun"] for l in lines[1]["luns"]] == [0], lines[1]
assert lines[1]["luns"][0]["capacity"] == 0, lines[1]          # not activated yet
assert lines[1]["luns"][0]["inquiry"][:2] == "00", lines[1]

# Before activation LUN 0 is becoming ready; the held READ does not hold up what follows.
tur = by_id["tur"]
assert tur["srbStatus"] == "0x04" and tur["scsiStatus"] == "0x02", tur
assert tur["sense"][4:6] == "02" and tur["sense"][24:28] == "0401", tur
assert order.index("tur") < order.index("held") and order.index("handshake") < order.index("held"), order

assert by_id["user"] == {"op": "ioctl", "id": "user", "status": "0xC0000022", "stage": "open"}, by_id["user"]
assert by_id["connect"]["status"] == "0x00000000", by_id["connect"]
assert by_id["handshake"]["status"] == "0x00000000", by_id["handshake"]

held = by_id["held"]
assert held["srbStatus"] == "0x01" and held["transferred"] == 8192, {k: v for k, v in held.items() if k != "data"}
assert bytes.fromhex(held["data"]) == img[4096:4096 + 8192]
assert by_id["act"]["done"] is True, by_id["act"]

# Activation reported a bus change; the rescan after it sees the image's size.
buses = [l for l in lines if l.get("event") == "bus"]
assert len(buses) >= 2 and buses[-1]["luns"][0]["capacity"] == len(img), buses
assert by_id["rescan"]["done"] is True and by_id["rescan"]["luns"] == 1, by_id["rescan"]

rf = by_id["rf"]
assert rf["status"] == "0x00000000" and rf["information"] == 4096, {k: v for k, v in rf.items() if k != "data"}
assert bytes.fromhex(rf["data"]) == img[65536:65536 + 4096]

local = by_id["local"]
assert local["status"] == "0x00000000" and local["information"] == 24, local
out = bytes.fromhex(local["out"])
assert int.from_bytes(out[:4], "little") == 16 and out[8:] == disk0[100:116], local

assert by_id[7]["error"].startswith("missing or bad \"cdb\""), by_id[7]
assert by_id[8] == {"op": "frobnicate", "id": 8, "error": "unknown op"}, by_id[8]
st = by_id["stats"]
assert st["busChanges"] >= 1 and st["completions"] >= 8 and st["outstandingSrbs"] == 0, st
assert st["workItemHits"] >= 1, st
log = by_id["log"]
assert any("DriverEntry START" in l for l in log["debug"]), log["debug"][:5]
assert any("DriverEntry START" in l for l in log["file"]), log["file"][:5]
reg = by_id["reg"]
assert reg["status"] == "0x00000000" and reg["values"]["ServerIp"] == "127.0.0.1", reg
assert reg["values"]["AutoActivate"] == 0, reg
assert lines[-1] == {"event": "unloaded", "leaks": []}, lines[-1]
PY

# A boot-information block that is not 64 bytes is a usage error; nothing loads.
set +e
"$host" machine --boot-info 0011 </dev/null >"$dir/out2.jsonl" 2>/dev/null
rc=$?
set -e
[ "$rc" = 2 ] || fail "short boot-information block: exit code $rc"
[ ! -s "$dir/out2.jsonl" ] || fail "usage error printed events: $(cat "$dir/out2.jsonl")"
echo PASS
