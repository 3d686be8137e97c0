#!/usr/bin/env bash
# zelkovd-host upload against a real zelko-diskd on loopback: the client program's request
# sequence through the driver's control device (SET_CONFIG, CONNECT, HANDSHAKE, READ_LOCAL +
# WRITE_DISK per 1 MiB block, FLUSH, EXIT_SUPER_USER) uploads a disk image with data, zero blocks
# and a short last block into an image that held other bytes; afterwards the image is the disk,
# zeros included, and the driver unloaded without a leak. A wrong token is refused at the
# handshake and changes nothing; session bench-write writes the same non-zero blocks bare.
#   zelkovd_host_upload_test.sh ZELKOVD_HOST ZELKO_DISKD
set -uo pipefail
host=$1 diskd=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/zelkovd-upload-test.XXXXXX")
pid=""
cleanup() { [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; cat "$work/diskd.log" >&2; exit 1; }

python3 - "$work" <<'PY'
import os, sys
w = sys.argv[1]
M = 1 << 20
blocks = [os.urandom(M), bytes(M), os.urandom(M), bytes(M), bytes(M), os.urandom(M // 2) + bytes(M // 2)]
open(w + '/local.img', 'wb').write(b''.join(blocks) + os.urandom(4096))   # 6 MiB + a 4 KiB tail
open(w + '/server.img', 'wb').write(b'\xee' * (8 * M))
PY
iqn=iqn.2024-01.net.zelko:image.1
mkdir "$work/data"
"$diskd" --listen 127.0.0.1:0 --udp-listen off --admin-listen off --data-dir "$work/data" \
  --ready-file "$work/ready.json" --image "$iqn=$work/server.img" \
  --token "up-1=$iqn,upload,client=upload-1" --token "su-1=$iqn,client=su" 2>"$work/diskd.log" &
pid=$!
for _ in $(seq 100); do [ -s "$work/ready.json" ] && break; sleep 0.05; done
port=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["tcpPort"])' "$work/ready.json") || fail "no server"

out=$("$host" upload --server "127.0.0.1:$port" --iqn "$iqn" --token wrong --disk "$work/local.img" 2>/dev/null)
[ $? = 1 ] || fail "a wrong token was not refused: $out"
echo "$out" | grep -q '"step":"handshake"' || fail "refused elsewhere than at the handshake: $out"
python3 -c 'import sys; d=open(sys.argv[1],"rb").read(); sys.exit(d != b"\xee"*len(d))' "$work/server.img" || fail "a refused upload changed the image"

out=$("$host" upload --server "127.0.0.1:$port" --iqn "$iqn" --token up-1 --disk "$work/local.img" 2>"$work/upload.err") \
  || fail "upload failed: $out $(tail -5 "$work/upload.err")"
python3 - "$out" "$work" <<'PY' || fail "upload result"
import json, sys
j = json.loads(sys.argv[1]); w = sys.argv[2]
M = 1 << 20
assert j['status'] == '0x00000000', j
assert (j['blocks'], j['written'], j['skipped']) == (7, 4, 3), j
assert j['bytes'] == 3 * M + 4096, j
assert j['mergedBytes'] == 8 * M, j           # the whole image was replaced
local, server = open(w + '/local.img', 'rb').read(), open(w + '/server.img', 'rb').read()
assert server[:len(local)] == local, 'server image differs from the local disk'
assert server[len(local):] == bytes(len(server) - len(local)), 'stale bytes after the uploaded range'
PY

out=$("$host" session --server "127.0.0.1:$port" --iqn "$iqn" --super-user su-1 connect handshake \
  bench-write "$work/local.img" 1048576 exit-super 0 2>/dev/null) || fail "bench-write: $out"
echo "$out" | python3 -c '
import json, sys
for line in sys.stdin:
    j = json.loads(line)
    if j["op"] == "bench-write":
        assert (j["writes"], j["bytes"]) == (4, 3 * 1048576 + 4096), j
        sys.exit(0)
sys.exit("no bench-write line")' || fail "bench-write result"
echo PASSED
