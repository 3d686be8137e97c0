#!/usr/bin/env bash
# Test equipment: builds the "local system disk" of the Wine upload test, as an operator's PC
# would have it: an MBR, a small partition before C: (random bytes standing in for a recovery
# partition), an NTFS C: made with mkntfs holding a few files, and unpartitioned space after C:
# filled with bytes that must never be uploaded.
#
#   make-local-disk.sh IMAGE [C_MIB]
set -euo pipefail
img=$1
c_mib=${2:-48}
mkntfs=$(command -v mkntfs || echo /usr/sbin/mkntfs)
ntfscp=$(command -v ntfscp || echo /usr/sbin/ntfscp)
work=$(mktemp -d "${TMPDIR:-/tmp}/zelko-disk.XXXXXX")
trap 'rm -rf "$work"' EXIT

pre_mib=2     # the small partition at 1 MiB
c_start_mib=3 # C: right after it
tail_mib=5
total_mib=$((c_start_mib + c_mib + tail_mib))

truncate -s 0 "$img"
truncate -s "${total_mib}M" "$img"
# The partition before C: and the space after it hold data; C: itself starts out empty.
head -c $((pre_mib << 20)) /dev/urandom | dd of="$img" bs=1M seek=1 conv=notrunc status=none
head -c $((tail_mib << 20)) /dev/urandom | dd of="$img" bs=1M seek=$((c_start_mib + c_mib)) conv=notrunc status=none

printf 'label: dos\nunit: sectors\n\nstart=2048, size=%d, type=27\nstart=%d, size=%d, type=7, bootable\n' \
  $((pre_mib * 2048)) $((c_start_mib * 2048)) $((c_mib * 2048)) | sfdisk -q "$img"

# NTFS made on its own file, then placed at C:'s offset.
truncate -s "${c_mib}M" "$work/c.ntfs"
"$mkntfs" -q -F -f -s 512 -H 255 -S 63 -p $((c_start_mib * 2048)) -L ZELKO-C "$work/c.ntfs" >/dev/null 2>&1
head -c 3000000 /dev/urandom >"$work/game.pak"
seq 1 200000 >"$work/readme.txt"
"$ntfscp" -q "$work/c.ntfs" "$work/game.pak" game.pak
"$ntfscp" -q "$work/c.ntfs" "$work/readme.txt" readme.txt
dd if="$work/c.ntfs" of="$img" bs=1M seek=$c_start_mib conv=notrunc status=none
