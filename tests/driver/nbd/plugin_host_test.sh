#!/usr/bin/env bash
# The nbdkit plugin loaded by plugin_host (a program of this build that speaks nbdkit's plugin
# ABI) against a real zelko-diskd on loopback. Under host-asan this is the plugin's leak check:
# AddressSanitizer and LeakSanitizer watch the plugin, the driver and the host kernel from
# dlopen to unload, and the host kernel's own pool report must say nothing leaked.
#  - a normal session: the export is the image (4 connections at once, aligned and unaligned);
#  - a read-only session: not writable, a write fails with EROFS;
#  - super-user writes and flush, read back, committed at cleanup; the server's file holds
#    them and a fresh export of a new client shows them;
#  - an unknown parameter is refused; an activation that cannot connect fails after_fork and
#    cleanup still unloads the driver without a leak.
#   plugin_host_test.sh PLUGIN_HOST PLUGIN ZELKO_DISKD
set -euo pipefail
host=$1
plugin=$2
diskd=$3
. "$(dirname "${BASH_SOURCE[0]}")/../common/diskd.sh"

iqn=iqn.2024-01.net.zelko:image.9
head -c 4194304 /dev/urandom >"$dir/img.raw"
cp "$dir/img.raw" "$dir/orig.raw"
start_diskd "$iqn" "$dir/img.raw" --token "su-1=$iqn,client=su" 2>"$dir/diskd.log"

# run LOG MODE [IMAGE] -- key=value...: the mode's checks held, the driver was unloaded with
# nothing leaked, and no sanitizer spoke.
run() {
  local log=$1; shift
  "$host" "$plugin" "$@" >"$log.out" 2>"$log" || fail "plugin_host $*: $(cat "$log.out" "$log")"
  ! grep -q "Sanitizer\|runtime error:" "$log" || fail "sanitizer report: $(cat "$log")"
  ! grep -q "nbdkit-zelkovd: leak:" "$log" || fail "driver leaks: $(cat "$log")"
}
unloaded() { grep -q "nbdkit-zelkovd: driver unloaded, nothing leaked" "$1" || fail "no clean unload: $(cat "$1")"; }
S="server=127.0.0.1:$port iqn=$iqn"

run "$dir/1.log" verify "$dir/orig.raw" -- $S client-id=pc-1
unloaded "$dir/1.log"
run "$dir/2.log" readonly -- $S read-only=yes
unloaded "$dir/2.log"
run "$dir/3.log" write "$dir/orig.raw" -- $S token=su-1 client-id=su commit=yes
unloaded "$dir/3.log"
grep -q "super-user mode left (merged)" "$dir/3.log" || fail "no commit: $(cat "$dir/3.log")"
cmp "$dir/img.raw" "$dir/orig.raw.want" || fail "the server's image file does not hold the committed writes"
run "$dir/4.log" verify "$dir/orig.raw.want" -- $S client-id=pc-2
unloaded "$dir/4.log"
run "$dir/5.log" badconfig -- $S no-such-key=1
grep -q "unknown parameter 'no-such-key'" "$dir/5.log" || fail "bad parameter: $(cat "$dir/5.log")"
# A port nobody listens on: the control device's CONNECT fails.
closed=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
run "$dir/6.log" nostart -- server=127.0.0.1:$closed iqn=$iqn activation-timeout=1
unloaded "$dir/6.log"
echo PASS
