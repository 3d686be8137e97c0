#!/usr/bin/env bash
# What the adapter adds to the bare protocol: READ(16) requests through the whole SCSI path of
# the driver (`zelkovd-host machine`: port driver, HwStorBuildIo/HwStorStartIo, work item, LUN
# backend, session) next to the same reads issued straight on a protocol session
# (`zelkovd-host session bench-read`), against one zelko-diskd on loopback, in one run.
#   scripts/bench-driver.sh [seconds per run (default 5)] [image size MiB (default 256)] [runs (default 3)]
# Rows: 4 KiB random and 1 MiB sequential, 1 and 8 threads. Each row runs the bare and the
# adapter side in turn, `runs` times (bare, adapter, bare, adapter, ...), so a machine whose speed
# drifts slows both alike; the figures are the medians of the runs, the ratio (adapter/bare
# throughput) the median of the pairs' ratios, followed by every pair's ratio. The goal is that
# the adapter path costs at most 15 % (ratio >= 0.85).
# The driver runs on the host kernel (BUILD=build/host unless set; a Release build dir gives the
# figures that mean something), so the figures compare the two paths with each other, not what
# Windows will do; on a loaded 2-core box they are noisy.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
secs=${1:-5}
size_mib=${2:-256}
runs=${3:-3}
build=${BUILD:-$top/build/host}
if [ ! -x "$build/tools/zelkovd-host/zelkovd-host" ] || [ ! -x "$build/servers/diskd/zelko-diskd" ]; then
  cmake --preset host >/dev/null
  cmake --build "$build" --target zelkovd-host zelko-diskd -j2 >/dev/null
fi
host="$build/tools/zelkovd-host/zelkovd-host"
work=$(mktemp -d /tmp/zelko-driver-bench.XXXXXX)
pid=""
cleanup() { [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT

iqn=iqn.bench:disk
head -c $((size_mib << 20)) /dev/urandom >"$work/disk.img"
mkdir "$work/data" "$work/c"
"$build/servers/diskd/zelko-diskd" --listen 127.0.0.1:0 --admin-listen off --data-dir "$work/data" \
  --log-level warn --ready-file "$work/ready.json" --image "$iqn=$work/disk.img,ro" \
  2>"$work/diskd.log" &
pid=$!
for _ in $(seq 100); do [ -s "$work/ready.json" ] && break; sleep 0.05; done
port=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["tcpPort"])' "$work/ready.json")

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
        --param AutoActivate=0 --c-dir "$work/c" --log-level 0 2>/dev/null |
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
