#!/usr/bin/env bash
# zelko-diskd side by side with nbdkit's file plugin, both measured by zelko-diskd-bench (the
# NBD server through its --nbd mode): loopback TCP, warm page cache, one request at a time per
# connection. Prints one table with the medians of the repeats, the throughput ratio
# diskd / nbdkit and each server's CPU seconds per GiB served.
#   scripts/bench-servers.sh [image MiB (1024)] [seconds per run (4)] [repeats (3)]
# Sections: a random image with compression off, the same image with compression on (what
# trying costs when nothing compresses), and a half-zero image with compression on (what it
# saves on the wire). The repeats go round-robin over all rows, so that a burst of load from
# elsewhere spreads over the rows instead of spoiling one of them.
# Needs nbdkit (scripts/install-deps.sh). Builds an optimised copy in build/bench-release.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
size_mib=${1:-1024}
secs=${2:-4}
repeats=${3:-3}
# ZELKO_BENCH_BUILD: an existing build dir to use as it is, not rebuilt (to compare builds).
build=${ZELKO_BENCH_BUILD:-$top/build/bench-release}
command -v nbdkit >/dev/null || { echo "bench-servers: nbdkit is missing (scripts/install-deps.sh)" >&2; exit 1; }
if [ -z "${ZELKO_BENCH_BUILD:-}" ]; then
  launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  [ -f "$build/CMakeCache.txt" ] || cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release "${launcher[@]}" >/dev/null
  cmake --build "$build" --target zelko-diskd zelko-diskd-bench -j2 >/dev/null
fi
work=$(mktemp -d /tmp/zelko-bench-servers.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null && wait "$p" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

head -c $((size_mib << 20)) /dev/urandom >"$work/random.img"
# Half zeros, half random, in 1 MiB stripes: what compression can do for a typical image.
truncate -s $((size_mib << 20)) "$work/mixed.img"
for ((i = 0; i < size_mib; i += 2)); do
  dd if="$work/random.img" of="$work/mixed.img" bs=1M count=1 skip=$i seek=$i conv=notrunc status=none
done
cat "$work"/*.img >/dev/null  # warm the page cache: this measures the servers, not the disk

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

start_diskd() {  # $1 name, $2 compression on|off
  "$build/servers/diskd/zelko-diskd" --listen 127.0.0.1:0 --udp-listen off --admin-listen off \
    --data-dir "$work/data-$1" --compression "$2" --log-level warn --ready-file "$work/$1.json" \
    --image iqn.bench:random="$work/random.img,ro" --image iqn.bench:mixed="$work/mixed.img,ro" \
    2>"$work/$1.log" &
  pids+=($!)
  eval "pid_$1=$!"
  for _ in $(seq 200); do [ -s "$work/$1.json" ] && break; sleep 0.05; done
  eval "port_$1=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["tcpPort"])' "$work/$1.json")"
}

start_nbdkit() {  # $1 name, $2 image
  local port
  port=$(free_port)
  nbdkit --foreground --readonly --ipaddr 127.0.0.1 --port "$port" --pidfile "$work/$1.pid" \
    file file="$2" 2>"$work/$1.log" &
  pids+=($!)
  eval "pid_$1=$!"
  eval "port_$1=$port"
  for _ in $(seq 200); do [ -s "$work/$1.pid" ] && break; sleep 0.05; done
}

start_diskd off off
start_diskd on on
start_nbdkit nbdrandom "$work/random.img"
start_nbdkit nbdmixed "$work/mixed.img"

rows=("seq 1048576 1" "seq 1048576 16" "rand 4096 1" "rand 4096 16" "rand 65536 1" "rand 65536 16")
# section | diskd server | diskd image | nbdkit server
sections=("random image, compression off|off|iqn.bench:random|nbdrandom"
          "random image, compression on|on|iqn.bench:random|nbdrandom"
          "half-zero image, compression on|on|iqn.bench:mixed|nbdmixed")

# One sequential pass over each image through each server first: a server that has run for a
# while has the image in its address space, not only in the page cache (zelko-diskd sends from
# a mapping of the image, whose first touch costs a page fault per 64 KiB).
for pair in "off iqn.bench:random" "on iqn.bench:random" "on iqn.bench:mixed"; do
  read -r srv iqn <<<"$pair"
  p=port_$srv
  "$build/servers/diskd/zelko-diskd-bench" --port "${!p}" --iqn "$iqn" --mode seq --block 1048576 --clients 4 --once >/dev/null
done
for srv in nbdrandom nbdmixed; do
  p=port_$srv
  "$build/servers/diskd/zelko-diskd-bench" --port "${!p}" --nbd "" --mode seq --block 1048576 --clients 4 --once >/dev/null
done

results="$work/results.tsv"
: >"$results"
run() {  # $1 section index, $2 server label, $3 row, then bench arguments
  local sec=$1 who=$2 row=$3
  shift 3
  local line
  line=$("$build/servers/diskd/zelko-diskd-bench" "$@" --seconds "$secs") || { echo "bench failed: $*" >&2; exit 1; }
  # mode=seq block=1048576 clients=1  2076.3 MB/s  2076 IOPS  wire 2076.3 MB/s  server CPU 0.380 s/GiB
  echo "$line" | awk -v s="$sec" -v w="$who" -v r="$row" \
    '{print s "\t" w "\t" r "\t" $4 "\t" $6 "\t" $9 "\t" $13}' >>"$results"
}

for ((rep = 0; rep < repeats; rep++)); do
  for ((si = 0; si < ${#sections[@]}; si++)); do
    IFS='|' read -r _ dsrv diqn nsrv <<<"${sections[$si]}"
    for ((ri = 0; ri < ${#rows[@]}; ri++)); do
      read -r mode block clients <<<"${rows[$ri]}"
      dport=port_$dsrv dpid=pid_$dsrv nport=port_$nsrv npid=pid_$nsrv
      common=(--mode "$mode" --block "$block" --clients "$clients")
      run "$si" diskd "$ri" --port "${!dport}" --iqn "$diqn" --server-pid "${!dpid}" "${common[@]}"
      # nbdkit does not care about compression: the random image is measured once per repeat.
      if [ "$si" -ne 1 ]; then
        run "$si" nbdkit "$ri" --port "${!nport}" --nbd "" --server-pid "${!npid}" "${common[@]}"
      fi
    done
  done
  echo "bench-servers: repeat $((rep + 1))/$repeats done" >&2
done

python3 - "$results" "$size_mib" "$secs" "$repeats" "${sections[@]}" <<'EOF'
import statistics, sys
path, size, secs, reps = sys.argv[1:5]
sections = [s.split("|")[0] for s in sys.argv[5:]]
rows = ["sequential 1 MiB", "sequential 1 MiB", "random 4 KiB", "random 4 KiB", "random 64 KiB", "random 64 KiB"]
conns = [1, 16, 1, 16, 1, 16]
data = {}
for line in open(path):
    s, who, r, mbs, iops, wire, cpu = line.split("\t")
    data.setdefault((int(s), who, int(r)), []).append((float(mbs), float(iops), float(wire), float(cpu)))
med = lambda xs, i: statistics.median(x[i] for x in xs)
print(f"zelko-diskd vs nbdkit file: {size} MiB image in the page cache, loopback, one request at a time per "
      f"connection, {secs} s per run, median of {reps}; MB/s = MiB of disk data per second, CPU = server "
      f"CPU seconds (user + system) per GiB served")
print(f"load average at the end: {open('/proc/loadavg').read().split()[0:3]}")
for si, name in enumerate(sections):
    print(f"\n{name}\n")
    print("| pattern | conns | zelko-diskd MB/s | IOPS | wire MB/s | CPU-s/GiB | nbdkit MB/s | IOPS | CPU-s/GiB | ratio | CPU ratio |")
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    for ri in range(len(rows)):
        d = data.get((si, "diskd", ri))
        n = data.get((0 if si == 1 else si, "nbdkit", ri))
        if not d or not n:
            continue
        dm, di, dw, dc = (med(d, i) for i in range(4))
        nm, ni, nw, nc = (med(n, i) for i in range(4))
        print(f"| {rows[ri]} | {conns[ri]} | {dm:.0f} | {di:.0f} | {dw:.0f} | {dc:.2f} | {nm:.0f} | {ni:.0f} | "
              f"{nc:.2f} | {dm / nm:.2f} | {dc / nc if nc else 0:.2f} |")
EOF
