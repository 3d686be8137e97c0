#!/usr/bin/env bash
# zelkovd-host session against a real zelko-diskd on loopback: every OP prints one JSON line,
# read data hashes to what the image holds, and the exit code tells whether every OP succeeded.
#   zelkovd_host_session_test.sh ZELKOVD_HOST ZELKO_DISKD
set -euo pipefail
host=$1
diskd=$2
. "$(dirname "${BASH_SOURCE[0]}")/../common/diskd.sh"

iqn=iqn.2024-01.net.zelko:image.7
head -c 2097152 /dev/urandom >"$dir/img.raw"
head -c 8192 /dev/urandom >"$dir/w.bin"
start_diskd "$iqn" "$dir/img.raw" --token "su-tok=$iqn"

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

# The data path with the UDP channel: small reads over UDP, a read that no datagram can carry over
# TCP, a write (always TCP, whose answer confirms it) read back over UDP, and the channel's
# counters; then the same reads with 5 % of the datagrams lost in each direction.
head -c 4096 /dev/urandom >"$dir/w2.bin"
"$host" session --server "127.0.0.1:$port" --iqn "$iqn" --udp \
  connect handshake udp-connect udp-read 8192 4096 "$dir/u.bin" udp-read 0 65537 \
  udp-write 131072 "$dir/w2.bin" udp-read 131072 4096 stats \
  >"$dir/out3.jsonl" 2>/dev/null || fail "udp run: $(cat "$dir/out3.jsonl")"
"$host" session --server "127.0.0.1:$port" --iqn "$iqn" --udp --udp-loss 5 \
  connect handshake udp-connect bench-read 4096 4 1 stats \
  >"$dir/out4.jsonl" 2>/dev/null || fail "lossy udp run: $(cat "$dir/out4.jsonl")"
python3 - "$dir" <<'PY'
import hashlib, json, sys
d = sys.argv[1]
lines = [json.loads(l) for l in open(d + "/out3.jsonl")]
assert [l["op"] for l in lines] == ["connect", "handshake", "udp-connect", "udp-read", "udp-read",
                                     "udp-write", "udp-read", "stats"], lines
for l in lines:
    assert l["status"] == "0x00000000", l
img = open(d + "/img.raw", "rb").read()
w2 = open(d + "/w2.bin", "rb").read()
assert lines[2]["udpActive"] is True and lines[2]["udpPort"] > 0, lines[2]
assert lines[3]["path"] == "udp" and lines[3]["sha256"] == hashlib.sha256(img[8192:12288]).hexdigest(), lines[3]
assert open(d + "/u.bin", "rb").read() == img[8192:12288]
assert lines[4]["path"] == "tcp" and lines[4]["bytes"] == 65537, lines[4]
assert lines[5]["path"] == "tcp" and lines[5]["bytesWritten"] == 4096, lines[5]
assert lines[6]["path"] == "udp" and lines[6]["sha256"] == hashlib.sha256(w2).hexdigest(), lines[6]
st = lines[7]
assert st["udpActive"] is True and st["udpSends"] == 2 and st["udpRetransmits"] == 0, st
for k in ("udpTimeouts", "udpLateDropped", "udpPushedBlocks"):
    assert k in st, k
lossy = [json.loads(l) for l in open(d + "/out4.jsonl")]
bench, st = lossy[3], lossy[4]
assert bench["failures"] == 0 and bench["ios"] > 0 and bench["path"] == "udp", bench
assert st["udpRetransmits"] > 0, st
PY

# Usage errors are caught before anything runs.
set +e
"$host" session --server "127.0.0.1:$port" --iqn "$iqn" read 0 >/dev/null 2>&1
[ $? = 2 ] || fail "a missing argument must exit 2"
"$host" session --iqn "$iqn" connect >/dev/null 2>&1
[ $? = 2 ] || fail "a missing --server must exit 2"
"$host" session --server "127.0.0.1:$port" --iqn "$iqn" connect udp-read 0 4096 >/dev/null 2>&1
[ $? = 2 ] || fail "udp-read without --udp must exit 2"
set -e
echo "zelkovd-host session: ok"
