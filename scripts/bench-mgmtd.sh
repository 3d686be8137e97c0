#!/usr/bin/env bash
# Benchmark of zelko-mgmtd's HTTP front over loopback: a boot burst of simultaneous by-MAC
# lookups, requests on kept-alive connections, and lookups while hundreds of idle connections
# are open. Prints latencies; asserts nothing.
#   scripts/bench-mgmtd.sh [PCs in the burst (default 500)] [idle connections (default 256)]
# Builds an optimised copy in build/bench-release; ZELKO_MGMTD=/path/to/zelko-mgmtd measures
# another binary instead.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bin=${ZELKO_MGMTD:-}
if [ -z "$bin" ]; then
  build="$top/build/bench-release"
  cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" --target zelko-mgmtd -j2 >/dev/null
  bin="$build/servers/mgmtd/zelko-mgmtd"
fi
exec python3 "$top/servers/mgmtd/bench/front_bench.py" "$bin" --pcs "${1:-500}" --idle "${2:-256}"
