#!/usr/bin/env bash
# lintian on the built package: no error and no warning.
#   lintian.sh PACKAGE-DIR
set -uo pipefail
deb=$(ls "$1"/zelko-server_*.deb 2>/dev/null | head -1)
[ -n "$deb" ] || { echo "no package in $1"; exit 1; }
command -v lintian >/dev/null || { echo "lintian is not installed (scripts/install-deps.sh)"; exit 77; }
out=$(lintian --no-cfg --fail-on none --display-level '>=warning' "$deb" 2>&1)
echo "$out"
if echo "$out" | grep -qE '^[EW]: '; then
  echo "lintian: $(echo "$out" | grep -cE '^[EW]: ') errors or warnings in $(basename "$deb")"
  exit 1
fi
echo "lintian: $(basename "$deb") is clean"
