#!/usr/bin/env bash
# Benchmark of zelko-diskd over loopback: sequential 1 MiB and random 4 KiB reads with 1 and 16
# clients, each one request at a time. Prints MB/s, IOPS and server CPU seconds per GiB.
#   scripts/bench-diskd.sh [image-size-MiB (default 1024)] [seconds per run (default 5)]
# Builds an optimised copy in build/bench-release. The image holds random data (worst case for
# compression); the runs are repeated with compression on for a half-zero image.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
size_mib=${1:-1024}
secs=${2:-5}
build="$top/build/bench-release"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target zelko-diskd zelko-diskd-bench -j2 >/dev/null
work=$(mktemp -d /tmp/zelko-diskd-bench.XXXXXX)
pid=""
cleanup() { [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT

head -c $((size_mib << 20)) /dev/urandom >"$work/random.img"
# Half zeros, half random, in 1 MiB stripes: what compression can do for a typical image.
truncate -s $((size_mib << 20)) "$work/mixed.img"
for ((i = 0; i < size_mib; i += 2)); do
  dd if="$work/random.img" of="$work/mixed.img" bs=1M count=1 skip=$i seek=$i conv=notrunc status=none
done
cat "$work"/*.img >/dev/null  # warm the page cache: this measures the server, not the disk

run_server() {  # $1 = compression on|off
  rm -f "$work/ready.json"
  "$build/servers/diskd/zelko-diskd" --listen 127.0.0.1:0 --udp-listen off --admin-listen off \
    --data-dir "$work/data" --compression "$1" --log-level warn --ready-file "$work/ready.json" \
    --image iqn.bench:random="$work/random.img,ro" --image iqn.bench:mixed="$work/mixed.img,ro" \
    2>"$work/diskd.log" &
  pid=$!
  for _ in $(seq 100); do [ -s "$work/ready.json" ] && break; sleep 0.05; done
  port=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["tcpPort"])' "$work/ready.json")
}
stop_server() { kill "$pid"; wait "$pid" || true; pid=""; }

bench() {  # $1 iqn $2 mode $3 block $4 clients
  "$build/servers/diskd/zelko-diskd-bench" --port "$port" --iqn "$1" --mode "$2" --block "$3" \
    --clients "$4" --seconds "$secs" --server-pid "$pid"
}

echo "== random data, compression off"
run_server off
for c in 1 16; do bench iqn.bench:random seq 1048576 $c; bench iqn.bench:random rand 4096 $c; done
stop_server
echo "== half-zero data, compression on"
run_server on
for c in 1 16; do bench iqn.bench:mixed seq 1048576 $c; bench iqn.bench:mixed rand 4096 $c; done
stop_server
