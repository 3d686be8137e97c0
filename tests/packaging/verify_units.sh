#!/usr/bin/env bash
# systemd-analyze verify of the package's units in a root made of the staged package and this
# machine's own units (the targets ours refer to), so that ExecStart= must name the packaged
# programs. Any complaint fails, unknown keys included (verify only warns about those).
#   verify_units.sh STAGE-DIR
set -uo pipefail
stage=$(realpath "$1")
command -v systemd-analyze >/dev/null || { echo "systemd-analyze is missing (package systemd)"; exit 77; }
ls "$stage"/lib/systemd/system/zelko-*.service >/dev/null 2>&1 || { echo "no units in $stage"; exit 1; }
root=$(mktemp -d /tmp/zelko-units.XXXXXX)
trap 'rm -rf "$root"' EXIT
cp -a "$stage/." "$root/"
cp -an /lib/systemd/system/. "$root/lib/systemd/system/"
mkdir -p "$root/etc"
cp -a /etc/systemd "$root/etc/" 2>/dev/null || true
status=0
for unit in "$stage"/lib/systemd/system/zelko-*.service; do
  name=$(basename "$unit")
  out=$(systemd-analyze verify --man=no --root="$root" "/lib/systemd/system/$name" 2>&1)
  rc=$?
  if [ $rc -ne 0 ] || [ -n "$out" ]; then
    echo "$name: rc=$rc"
    echo "$out"
    status=1
  else
    echo "$name: verified"
  fi
done
exit $status
