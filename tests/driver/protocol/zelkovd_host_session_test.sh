#!/usr/bin/env bash
# zelkovd-host session against a real zelko-diskd on loopback: every OP prints one JSON line,
# read data hashes to what the image holds, and the exit code tells whether every OP succeeded.
#   zelkovd_host_session_test.sh ZELKOVD_HOST ZELKO_DISKD
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

iqn=iqn.2024-01.net.zelko:image.7
head -c 2097152 /dev/urandom >"$dir/img.raw"
head -c 8192 /dev/urandom >"$dir/w.bin"
mkdir "$dir/data"
"$diskd" --listen 127.0.0.1:0 --udp-listen off --admin-listen off --data-dir "$dir/data" \
  --image "$iqn=$dir/img.raw" --token "su-tok=$iqn" --ready-file "$dir/ready.json" --log-level warn &
pid=$!
for _ in $(seq 100); do [ -s "$dir/ready.json" ] && break; sleep 0.05; done
port=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["tcpPort"])' "$dir/ready.json")

"$host" session --server "127.0.0.1:$port" --iqn "$iqn" --super-user su-tok \
  connect handshake read 4096 8192 "$dir/r.bin" write 65536 "$dir/w.bin" read 65536 8192 \
  batch-read 0:512,65536:8192 ping stats exit-super 1 disconnect \
  >"$dir/out.jsonl" 2>"$dir/err.log" || fail "exit code $? for a run that should succeed: $(cat "$dir/out.jsonl")"

python3 - "$dir" <<'PY'
import hashlib, json, sys
d = sys.argv[1]
lines = [json.loads(l) for l in open(d + "/out.jsonl")]
ops = [l["op"] for l in lines]
assert ops == ["connect", "handshake", "read", "write", "read", "batch-read", "ping", "stats",
               "exit-super", "disconnect"], ops
for l in lines:
    assert l["status"] == "0x00000000", l
img = open(d + "/img.raw", "rb").read()
w = open(d + "/w.bin", "rb").read()
hs = lines[1]
assert hs["size"] == len(img) and hs["superUser"] is True, hs
assert lines[2]["sha256"] == hashlib.sha256(img[4096:4096 + 8192]).hexdigest()
assert open(d + "/r.bin", "rb").read() == img[4096:4096 + 8192]
assert lines[3]["bytesWritten"] == 8192
assert lines[4]["sha256"] == hashlib.sha256(w).hexdigest()
assert lines[5]["bytes"] == 512 + 8192
assert lines[5]["sha256"] == hashlib.sha256(img[:512] + w).hexdigest()
assert lines[6]["pongs"] == 1
assert lines[7]["connects"] == 1 and lines[7]["abandonedPackets"] == 0
assert lines[8]["blocks"] >= 1 and lines[8]["superUser"] is False
PY
grep -q "ZelkoVd: WskClient_Connect 入口" "$dir/err.log" || fail "driver debug output missing on stderr"

# A failing OP: reading past the end is a server error; the exit code says so, later OPs still run.
set +e
"$host" session --server "127.0.0.1:$port" --iqn "$iqn" connect handshake read 2097152 512 ping \
  >"$dir/out2.jsonl" 2>/dev/null
rc=$?
set -e
[ "$rc" = 1 ] || fail "exit code $rc, want 1"
python3 - "$dir" <<'PY'
import json, sys
lines = [json.loads(l) for l in open(sys.argv[1] + "/out2.jsonl")]
assert [l["op"] for l in lines] == ["connect", "handshake", "read", "ping"], lines
assert lines[2]["status"] == "0xC000000D", lines[2]
assert lines[3]["status"] == "0x00000000", lines[3]
PY

# Usage errors are caught before anything runs.
set +e
"$host" session --server "127.0.0.1:$port" --iqn "$iqn" read 0 >/dev/null 2>&1
[ $? = 2 ] || fail "a missing argument must exit 2"
"$host" session --iqn "$iqn" connect >/dev/null 2>&1
[ $? = 2 ] || fail "a missing --server must exit 2"
set -e
echo "zelkovd-host session: ok"
