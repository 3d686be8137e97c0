#!/usr/bin/env bash
# The whole read path measured with the storage world's own tools: fio (nbd engine) through the
# nbdkit plugin — NBD → SCSI READ(16) through the driver's port callbacks, work items, block
# cache and protocol session → zelko-diskd — next to fio through nbdkit's file plugin reading the
# same image file directly, on one warm image, in one run. Rows: sequential 1 MiB and random
# 4 KiB reads at iodepth 1 and 16; the ratio is plugin/file throughput (goals: at least 0.6 at
# iodepth 1 and 0.8 at iodepth 16 with a warm driver cache).
#   scripts/bench-system.sh [seconds per run (default 10)] [image size MiB (default 512)]
# The driver runs in the host kernel of an optimised build (build/bench-release); on a 2-core
# box the client (fio), nbdkit, the driver and the disk server share the same two cores, so the
# figures compare the two paths with each other rather than predict a café. What they mean for a
# café: a PC reads through its own driver and its own NIC; the server's share per PC is the disk
# server's CPU per GiB (scripts/bench-servers.sh). 60 PCs on 1 GbE to a 10 GbE server can draw at
# most ~117 MB/s each and ~1170 MB/s together: the server then needs the aggregate of these rows
# at iodepth 16 to reach that figure, not one PC.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
secs=${1:-10}
size_mib=${2:-512}
build="$top/build/bench-release"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target zelko-diskd nbdkit-zelkovd-plugin -j2 >/dev/null
plugin="$build/tools/nbdkit-zelkovd/nbdkit-zelkovd-plugin.so"
work=$(mktemp -d /tmp/zelko-system-bench.XXXXXX)
pid=""
cleanup() { [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT

iqn=iqn.bench:disk
head -c $((size_mib << 20)) /dev/urandom >"$work/disk.img"
mkdir "$work/data"
"$build/servers/diskd/zelko-diskd" --listen 127.0.0.1:0 --admin-listen off --data-dir "$work/data" \
  --log-level warn --ready-file "$work/ready.json" --image "$iqn=$work/disk.img,ro" 2>"$work/diskd.log" &
pid=$!
for _ in $(seq 100); do [ -s "$work/ready.json" ] && break; sleep 0.05; done
port=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["tcpPort"])' "$work/ready.json")

# fio against "$uri" inside one nbdkit run; prints "MB/s IOPS" of the measured job. A first pass
# of the same pattern warms the driver's cache (and the page cache for both).
fio_job() {  # $1 rw $2 bs $3 iodepth
  cat <<JOB
[global]
ioengine=nbd
uri=\${URI}
direct=1
size=${size_mib}m
group_reporting=1
[warm]
rw=read
bs=1m
iodepth=4
[measure]
stonewall
rw=$1
bs=$2
iodepth=$3
runtime=$secs
time_based=1
JOB
}
run() {  # $1 plugin|file, $2 rw, $3 bs, $4 iodepth
  fio_job "$2" "$3" "$4" >"$work/job.fio"
  local srv=()
  if [ "$1" = plugin ]; then srv=("$plugin" server="127.0.0.1:$port" iqn="$iqn" read-only=yes)
  else srv=(file "$work/disk.img" --readonly); fi
  nbdkit -U - "${srv[@]}" --run "URI=\"\$uri\" fio --output-format=json --output='$work/out.json' '$work/job.fio' >/dev/null" \
    2>"$work/nbdkit.err" || { echo "nbdkit/fio failed: $(tail -3 "$work/nbdkit.err")" >&2; exit 1; }
  python3 -c '
import json, sys
j = json.load(open(sys.argv[1]))
r = [x for x in j["jobs"] if x["jobname"] == "measure"][0]["read"]
print("%.1f %.0f" % (r["bw_bytes"] / 1e6, r["iops"]))' "$work/out.json"
}

fmt='%-16s %-8s %12s %12s %12s %12s %8s\n'
printf "$fmt" pattern iodepth "plugin MB/s" "plugin IOPS" "file MB/s" "file IOPS" ratio
for row in "read 1m seq-1MiB" "randread 4k rand-4KiB"; do
  set -- $row
  for qd in 1 16; do
    read -r pm pi < <(run plugin "$1" "$2" "$qd")
    read -r fm fi < <(run file "$1" "$2" "$qd")
    printf "$fmt" "$3" "$qd" "$pm" "$pi" "$fm" "$fi" "x$(python3 -c "print(f'{$pm/max(0.001,$fm):.2f}')")"
  done
done
