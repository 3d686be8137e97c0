#!/usr/bin/env bash
# Upload speed: a 2 GiB local disk, half of it zero, uploaded the client program's way through
# the driver's control device (zelkovd-host upload: READ_LOCAL + WRITE_DISK per 1 MiB block,
# zero blocks skipped, on the host kernel) against zelko-diskd, next to the bare protocol
# writing the same bytes (zelkovd-host session bench-write: one ProtocolClient_Write per non-zero
# 1 MiB block). Prints both speeds over the written bytes and their ratio (goal: at least 80 %),
# and both paths' client CPU seconds: on a shared, loaded box the wall-clock ratio swings from
# round to round, the CPU ratio much less.
#   scripts/bench-upload.sh [disk MiB (default 2048)] [rounds (default 2)]
# Builds an optimised copy in build/bench-release (or uses BUILD). The disk image and the server's image live
# in the page cache, so this measures the upload path, not the disks.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
size_mib=${1:-2048}
rounds=${2:-2}
build=${BUILD:-$top/build/bench-release}
if [ -z "${BUILD:-}" ]; then
  cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" --target zelkovd-host zelko-diskd -j2 >/dev/null
fi
host=$build/tools/zelkovd-host/zelkovd-host
work=$(mktemp -d /tmp/zelko-upload-bench.XXXXXX)
pid=""
cleanup() { [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT

# The local disk: 1 MiB blocks alternating between random data and zeros.
python3 - "$work/local.img" "$size_mib" <<'PY'
import os, sys
with open(sys.argv[1], 'wb') as f:
    chunk = os.urandom(1 << 20)
    for i in range(int(sys.argv[2])):
        f.write(chunk[i % 7:] + chunk[:i % 7] if i % 2 == 0 else bytes(1 << 20))
PY
truncate -s "${size_mib}M" "$work/server.img"
iqn=iqn.2024-01.net.zelko:image.1
mkdir "$work/data"
"$build/servers/diskd/zelko-diskd" --listen 127.0.0.1:0 --udp-listen off --admin-listen off \
  --data-dir "$work/data" --log-level warn --ready-file "$work/ready.json" --image "$iqn=$work/server.img" \
  --token "bench-bare=$iqn,client=bare" --token "bench-upload=$iqn,upload,client=upload" 2>"$work/diskd.log" &
pid=$!
for _ in $(seq 100); do [ -s "$work/ready.json" ] && break; sleep 0.05; done
port=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["tcpPort"])' "$work/ready.json")

field() { python3 -c 'import json,sys
for line in sys.stdin:
    j = json.loads(line)
    if j.get("op") == sys.argv[1]:
        if j["status"] != "0x00000000": sys.exit("failed: " + line)
        print(j["mbps"], j["bytes"], j["seconds"], j["cpuSeconds"])' "$1"; }

printf '%-6s %-28s %9s %12s %8s %8s\n' round path MB/s bytes seconds cpu-s
bare_run() {
  "$host" session --server "127.0.0.1:$port" --iqn "$iqn" --super-user bench-bare --log-level 0 \
    connect handshake bench-write "$work/local.img" 1048576 2>/dev/null | field bench-write
  # Drop the layer so that every round writes into a fresh one, as an upload does.
  "$host" session --server "127.0.0.1:$port" --iqn "$iqn" --super-user bench-bare --log-level 0 \
    connect handshake exit-super 0 >/dev/null 2>&1 || true
}
upload_run() {
  "$host" upload --server "127.0.0.1:$port" --iqn "$iqn" --token bench-upload --disk "$work/local.img" \
    --no-commit --log-level 0 2>/dev/null | field upload
  "$host" session --server "127.0.0.1:$port" --iqn "$iqn" --super-user bench-upload --log-level 0 \
    connect handshake exit-super 0 >/dev/null 2>&1 || true
}
ratios=()
cpus=()
for r in $(seq "$rounds"); do
  # Alternate the order: the box is shared, and whatever else runs should not favour one path.
  if [ $((r % 2)) = 1 ]; then
    read -r bare_mbps bare_bytes bare_s bare_cpu < <(bare_run)
    read -r up_mbps up_bytes up_s up_cpu < <(upload_run)
  else
    read -r up_mbps up_bytes up_s up_cpu < <(upload_run)
    read -r bare_mbps bare_bytes bare_s bare_cpu < <(bare_run)
  fi
  printf '%-6s %-28s %9.1f %12s %8.2f %8.2f\n' "$r" "bare (session bench-write)" "$bare_mbps" "$bare_bytes" "$bare_s" "$bare_cpu"
  printf '%-6s %-28s %9.1f %12s %8.2f %8.2f\n' "$r" "upload through the driver" "$up_mbps" "$up_bytes" "$up_s" "$up_cpu"
  ratios+=("$(python3 -c "print(100 * $up_mbps / $bare_mbps)")")
  cpus+=("$(python3 -c "print(100 * $bare_cpu / $up_cpu)")")
done
python3 - "$(uptime)" "${ratios[*]}" "${cpus[*]}" <<'PY'
import statistics, sys
r = [float(x) for x in sys.argv[2].split()]
c = [float(x) for x in sys.argv[3].split()]
print('upload / bare speed per round: %s %%; median %.0f %% (goal: at least 80 %%)' % (', '.join('%.0f' % x for x in r), statistics.median(r)))
print('bare / upload client CPU per round: %s %%; median %.0f %% (what the speed ratio tends to on a busy box)' % (', '.join('%.0f' % x for x in c), statistics.median(c)))
print('load: %s' % sys.argv[1].strip())
PY
