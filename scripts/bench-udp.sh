#!/usr/bin/env bash
# Benchmark of the driver's data path against zelko-diskd over loopback: random reads of 4 KiB
# and 64 KiB through ReadFromRemote, over the UDP channel and over TCP alone, with 1 and 16
# threads on one session (as a LUN's I/O workers share it), then the UDP runs again with 1 %
# of the channel's datagrams lost in each direction. Prints MB/s, IOPS and UDP/TCP ratios.
#   scripts/bench-udp.sh [seconds per run (default 5)] [image size MiB (default 256)]
# Uses the host build (BUILD=build/host unless set); the driver runs on the host kernel, so the
# figures compare the paths with each other rather than promise what Windows will do.
# 64 KiB answers do not fit one datagram (at most 65483 data bytes), so 64 KiB reads take TCP
# on both paths; the 64 KiB rows show what the choice costs them (nothing, if it works).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
secs=${1:-5}
size_mib=${2:-256}
build=${BUILD:-$top/build/host}
if [ ! -x "$build/tools/zelkovd-host/zelkovd-host" ] || [ ! -x "$build/servers/diskd/zelko-diskd" ]; then
  cmake --preset host >/dev/null
  cmake --build "$build" --target zelkovd-host zelko-diskd -j2 >/dev/null
fi
host="$build/tools/zelkovd-host/zelkovd-host"
work=$(mktemp -d /tmp/zelko-udp-bench.XXXXXX)
pid=""
cleanup() { [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT

head -c $((size_mib << 20)) /dev/urandom >"$work/disk.img"
mkdir "$work/data"
"$build/servers/diskd/zelko-diskd" --listen 127.0.0.1:0 --admin-listen off --data-dir "$work/data" \
  --log-level warn --ready-file "$work/ready.json" --image iqn.bench:disk="$work/disk.img,ro" \
  2>"$work/diskd.log" &
pid=$!
for _ in $(seq 100); do [ -s "$work/ready.json" ] && break; sleep 0.05; done
port=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["tcpPort"])' "$work/ready.json")

# The TCP column of the loss rows is a fresh TCP run: loss is injected into datagrams only.
# $1 = udp|tcp, $2 = loss percent, $3 = length, $4 = threads; prints "mbps iops udpReads tcpReads"
run() {
  local extra=() ops=(connect handshake)
  if [ "$1" = udp ]; then ops+=(udp-connect); fi
  if [ "$2" != 0 ]; then extra=(--udp-loss "$2"); fi
  "$host" session --server "127.0.0.1:$port" --iqn iqn.bench:disk --log-level 0 --udp "${extra[@]}" \
    "${ops[@]}" bench-read "$3" "$4" "$secs" 2>/dev/null |
    python3 -c '
import json, sys
for line in sys.stdin:
    j = json.loads(line)
    if j["op"] == "bench-read":
        if j["status"] != "0x00000000": sys.exit("bench-read failed: " + line)
        print(j["mbps"], j["iops"], j["udpReads"], j["tcpReads"])
    elif j["status"] != "0x00000000":
        sys.exit(j["op"] + " failed: " + line)'
}

fmt='%-7s %-7s %-5s %9s %9s %9s %9s %10s %10s\n'
printf "$fmt" length threads loss "TCP MB/s" "TCP IOPS" "UDP MB/s" "UDP IOPS" "via UDP" "UDP/TCP"
for loss in 0 1; do
  for len in 4096 65536; do
    for th in 1 16; do
      read -r tm ti _ _ < <(run tcp 0 "$len" "$th")
      read -r um ui ur tr < <(run udp "$loss" "$len" "$th")
      share=$(python3 -c "print(f'{100*$ur/max(1,$ur+$tr):.0f}%')")
      ratio=$(python3 -c "print(f'{$um/max(0.001,$tm):.2f}')")
      printf "$fmt" "$len" "$th" "$loss%" "$tm" "$ti" "$um" "$ui" "$share" "x$ratio"
    done
  done
done
