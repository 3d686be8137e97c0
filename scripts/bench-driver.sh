#!/usr/bin/env bash
# Benchmarks of the driver on the host kernel (optimised build in build/bench-release):
#   block cache  hits (4 KiB random / 64 KiB sequential, 1 and 8 threads) beside memcpy of the
#                same bytes; cold sequential scans through the SCSI path with the cache on and
#                off (round trips and MB/s); a boot-like read trace generated with the fixed seed
#                20240501 (MBR, NTFS boot sector, $MFT runs, then 4000 clustered 4..64 KiB reads
#                over a 2 GiB disk with short sequential runs) with and without PrefetchBoot and
#                read-ahead; a 256 MiB write burst and its batched write-back.
#   scripts/bench-driver.sh [cache|<section: hits misses boot writes>]
# Every figure of one section comes from one run, so the ratios compare like with like.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
what=${1:-cache}
build="$top/build/bench-release"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target zelko-diskd zelkovd_cache_bench -j2 >/dev/null
work=$(mktemp -d /tmp/zelkovd-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

case "$what" in
  cache) "$build/tests/driver/cache/zelkovd_cache_bench" "$build/servers/diskd/zelko-diskd" "$work" ;;
  hits|misses|boot|writes)
    "$build/tests/driver/cache/zelkovd_cache_bench" "$build/servers/diskd/zelko-diskd" "$work" "$what" ;;
  *) echo "usage: $0 [cache|hits|misses|boot|writes]" >&2; exit 2 ;;
esac
