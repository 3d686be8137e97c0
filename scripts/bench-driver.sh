#!/usr/bin/env bash
# Benchmarks of the driver on the host kernel (optimised build in build/bench-release), each
# section's figures from one run so that its ratios compare like with like:
#   scsi         what the adapter adds to the bare protocol: READ(16) through the whole SCSI path
#                (`zelkovd-host machine`: port driver, HwStorBuildIo/HwStorStartIo, work item, LUN
#                backend, cache, session) next to the same reads issued straight on a protocol
#                session (`zelkovd-host session bench-read`), against one zelko-diskd on
#                loopback: 4 KiB random and 1 MiB sequential, 1 and 8 threads. Each row runs the
#                bare and the adapter side in turn, `runs` times (bare, adapter, bare, ...), so a
#                machine whose speed drifts slows both alike; the figures are the medians of the
#                runs, the ratio (adapter/bare throughput) the median of the pairs' ratios,
#                followed by every pair's ratio. The goal is that the adapter path costs at most
#                15 % (ratio >= 0.85);
#   block cache  hits (4 KiB random / 64 KiB sequential, 1 and 8 threads) beside memcpy of the
#                same bytes; cold sequential scans through the SCSI path with the cache on and
#                off (round trips and MB/s); a boot-like read trace generated with the fixed seed
#                20240501 (MBR, NTFS boot sector, $MFT runs, then 4000 clustered 4..64 KiB reads
#                over a 2 GiB disk with short sequential runs) with and without PrefetchBoot and
#                read-ahead; a 256 MiB write burst and its batched write-back.
#   scripts/bench-driver.sh [all|scsi|cache|hits|misses|boot|writes] [seconds per scsi run (5)] [scsi runs (3)]
# BUILD=DIR benchmarks an existing optimised build dir instead.
# The figures compare paths of the same build with each other, not what Windows will do; on a
# loaded 2-core box they are noisy.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
what=${1:-all}
secs=${2:-5}
runs=${3:-3}
size_mib=256
build=${BUILD:-$top/build/bench-release}
if [ -z "${BUILD:-}" ]; then
  cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" --target zelko-diskd zelkovd-host zelkovd_cache_bench -j2 >/dev/null
work=$(mktemp -d /tmp/zelkovd-bench.XXXXXX)
pid=""
cleanup() { [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT

scsi() {
w="$work/scsi"
mkdir -p "$w"
host="$build/tools/zelkovd-host/zelkovd-host"

iqn=iqn.bench:disk
head -c $((size_mib << 20)) /dev/urandom >"$w/disk.img"
mkdir "$w/data" "$w/c"
"$build/servers/diskd/zelko-diskd" --listen 127.0.0.1:0 --admin-listen off --data-dir "$w/data" \
  --log-level warn --ready-file "$w/ready.json" --image "$iqn=$w/disk.img,ro" \
  2>"$w/diskd.log" &
pid=$!
for _ in $(seq 100); do [ -s "$w/ready.json" ] && break; sleep 0.05; done
port=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["tcpPort"])' "$w/ready.json")

# $1 = length, $2 = threads, $3 = random|sequential; prints "mbps iops"
bare() {
  local seq=()
  [ "$3" = sequential ] && seq=(seq)
  "$host" session --server "127.0.0.1:$port" --iqn "$iqn" --log-level 0 --udp \
    connect handshake bench-read "$1" "$2" "$secs" "${seq[@]}" 2>/dev/null |
    python3 -c '
import json, sys
for line in sys.stdin:
    j = json.loads(line)
    if j["status"] != "0x00000000": sys.exit(j["op"] + " failed: " + line)
    if j["op"] == "bench-read": print(j["mbps"], j["iops"])'
}

# LUN 0 configured by parameters, activated by hand through the control device (CONNECT,
# HANDSHAKE), the bus rescanned so the port knows its size, then the reads.
adapter() {
  {
    echo '{"op":"ioctl","code":"0x81002000"}'
    echo '{"op":"ioctl","code":"0x81002008"}'
    echo '{"op":"rescan"}'
    echo "{\"op\":\"bench\",\"lun\":0,\"length\":$1,\"threads\":$2,\"seconds\":$secs,\"pattern\":\"$3\"}"
    echo '{"op":"stop"}'
  } | "$host" machine --param ServerIp=127.0.0.1 --param ServerPort="$port" --param TargetIqn="$iqn" \
        --param AutoActivate=0 --c-dir "$w/c" --log-level 0 2>/dev/null |
    python3 -c '
import json, sys
for line in sys.stdin:
    j = json.loads(line)
    if j.get("op") == "ioctl" and j["status"] != "0x00000000": sys.exit("activation failed: " + line)
    if j.get("op") == "bench":
        if "error" in j or j["failures"]: sys.exit("bench failed: " + line)
        print(j["mbps"], j["iops"])'
}

# $1 = format (".1f", ".0f", ".2f"), then the figures
median() { python3 -c 'import statistics,sys; print(format(statistics.median(float(x) for x in sys.argv[2:]), sys.argv[1]))' "$@"; }

fmt='%-18s %-7s %10s %10s %10s %10s %8s  %s\n'
printf "$fmt" pattern threads "bare MB/s" "bare IOPS" "SCSI MB/s" "SCSI IOPS" ratio "ratio per run"
for row in "4096 random" "1048576 sequential"; do
  set -- $row
  for th in 1 8; do
    bms=() bis=() ams=() ais=() ratios=()
    for _ in $(seq "$runs"); do
      read -r bm bi < <(bare "$1" "$th" "$2")
      read -r am ai < <(adapter "$1" "$th" "$2")
      bms+=("$bm") bis+=("$bi") ams+=("$am") ais+=("$ai")
      ratios+=("$(python3 -c "print(f'{$am/max(0.001,$bm):.2f}')")")
    done
    label=$([ "$1" = 4096 ] && echo "4 KiB $2" || echo "1 MiB $2")
    printf "$fmt" "$label" "$th" "$(median .1f "${bms[@]}")" "$(median .0f "${bis[@]}")" \
      "$(median .1f "${ams[@]}")" "$(median .0f "${ais[@]}")" "x$(median .2f "${ratios[@]}")" "${ratios[*]}"
  done
done
kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
pid=""
}

cache() {
  "$build/tests/driver/cache/zelkovd_cache_bench" "$build/servers/diskd/zelko-diskd" "$work" "$@"
}

case "$what" in
  all) scsi; cache ;;
  scsi) scsi ;;
  cache) cache ;;
  hits|misses|boot|writes) cache "$what" ;;
  *) echo "usage: $0 [all|scsi|cache|hits|misses|boot|writes] [seconds]" >&2; exit 2 ;;
esac
