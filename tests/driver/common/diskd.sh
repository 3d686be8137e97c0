# Sourced by the driver's shell tests that run against a real zelko-diskd on loopback: a scratch
# directory $dir removed on exit (with the server stopped first), fail, and start_diskd.
# The sourcing script sets $diskd (the zelko-diskd binary) and `set -euo pipefail`.
dir=$(mktemp -d)
pid=
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# start_diskd IQN IMAGE [ARG...]: zelko-diskd serving IMAGE as IQN, data in $dir/data, with the
# extra arguments given; sets $pid and, once the ready file names it, $port.
start_diskd() {
  local iqn=$1 image=$2
  shift 2
  mkdir -p "$dir/data"
  "$diskd" --listen 127.0.0.1:0 --admin-listen off --data-dir "$dir/data" \
    --image "$iqn=$image" "$@" --ready-file "$dir/ready.json" --log-level warn &
  pid=$!
  for _ in $(seq 100); do [ -s "$dir/ready.json" ] && break; sleep 0.05; done
  port=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["tcpPort"])' "$dir/ready.json")
}
