#!/usr/bin/env bash
# Rebuilds the seed corpora of the image_* fuzz targets from images qemu-img makes, a few sectors
# written with qemu-io, each turned into the targets' input layout (image_fuzz.cpp): only the
# non-zero pieces of the file are kept, so a sparse image of megabytes is a seed of a few KiB.
#   make-seeds.sh [REPO_ROOT]
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/../../.." && pwd)}
work=$(mktemp -d /tmp/image-seeds.XXXXXX)
trap 'rm -rf "$work"' EXIT

# seed NAME TARGET QEMU_IMG_CREATE_ARGS SIZE [QEMU_IO_COMMANDS...]
seed() {
  local name=$1 target=$2 create=$3 size=$4
  shift 4
  local f="$work/$name"
  # shellcheck disable=SC2086
  qemu-img create -q $create "$f" "$size"
  local fmt
  fmt=$(sed "s/.*-f \([a-z0-9]*\).*/\1/" <<<"$create")
  for c in "$@"; do qemu-io -f "$fmt" -c "$c" "$f" >/dev/null; done
  mkdir -p "$root/tests/fuzz/corpus/image_$target"
  python3 "$root/tests/fuzz/image/to-seed.py" "$f" "$root/tests/fuzz/corpus/image_$target/$name"
}

rm -rf "$root"/tests/fuzz/corpus/image_{vhd,vhdx,vmdk,qcow2}

seed dynamic.vhd vhd "-f vpc -o subformat=dynamic,force_size=on" 4M "write -P 0x11 1M 4k" "write -P 0x22 0 4k"
seed chs.vhd vhd "-f vpc -o subformat=dynamic" 8M "write -P 0x33 3M 4k"
seed empty.vhd vhd "-f vpc -o subformat=dynamic,force_size=on" 16M
seed fixed.vhd vhd "-f vpc -o subformat=fixed,force_size=on" 256k "write -P 0x44 0 4k"

seed block1m.vhdx vhdx "-f vhdx -o block_size=1M" 4M "write -P 0x55 1M 4k" "write -P 0x66 0 4k"
seed default.vhdx vhdx "-f vhdx" 16M "write -P 0x77 0 4k"
seed empty.vhdx vhdx "-f vhdx -o block_size=1M,log_size=1M" 8M
seed fixed.vhdx vhdx "-f vhdx -o subformat=fixed,block_size=1M" 3M "write -P 0x12 1M 4k"
seed zerostate.vhdx vhdx "-f vhdx -o subformat=fixed,block_size=1M,block_state_zero=on" 2M

seed sparse.vmdk vmdk "-f vmdk" 4M "write -P 0x21 1M 4k" "write -P 0x31 0 4k"
seed zeroed.vmdk vmdk "-f vmdk -o zeroed_grain=on" 4M "write -P 0x41 64k 4k" "write -z 128k 64k"
seed big.vmdk vmdk "-f vmdk" 64M "write -P 0x51 40M 4k"
seed stream.vmdk vmdk "-f vmdk -o subformat=streamOptimized" 1M

seed v2.qcow2 qcow2 "-f qcow2 -o compat=0.10,cluster_size=4096" 4M "write -P 0x13 1M 4k" "write -P 0x14 0 4k"
seed v3.qcow2 qcow2 "-f qcow2 -o compat=1.1,cluster_size=4096" 4M "write -P 0x15 1M 4k" "write -z 2M 4k"
seed c512.qcow2 qcow2 "-f qcow2 -o cluster_size=512,refcount_bits=1" 1M "write -P 0x16 0 4k"
seed c64k.qcow2 qcow2 "-f qcow2" 16M "write -P 0x17 8M 4k"
seed rc64.qcow2 qcow2 "-f qcow2 -o cluster_size=4096,refcount_bits=64,lazy_refcounts=on" 4M "write -P 0x18 0 4k"
seed prealloc.qcow2 qcow2 "-f qcow2 -o cluster_size=4096,preallocation=metadata" 1M "write -P 0x19 0 4k" "write -z -u 64k 4k"
seed snapshot.qcow2 qcow2 "-f qcow2 -o cluster_size=4096" 1M "write -P 0x1a 0 4k"
qemu-img snapshot -c s1 "$work/snapshot.qcow2"
python3 "$root/tests/fuzz/image/to-seed.py" "$work/snapshot.qcow2" "$root/tests/fuzz/corpus/image_qcow2/snapshot.qcow2"
seed extl2.qcow2 qcow2 "-f qcow2 -o cluster_size=16384,extended_l2=on" 1M "write -P 0x1b 0 4k"

ls -l "$root"/tests/fuzz/corpus/image_{vhd,vhdx,vmdk,qcow2}
