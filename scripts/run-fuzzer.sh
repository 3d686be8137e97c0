#!/usr/bin/env bash
# Runs one libFuzzer target as a test: replays its regression inputs, then fuzzes for SECONDS on
# top of its seed corpus (new inputs go to a scratch directory; the repo's corpus is not changed).
# A crash, leak, sanitizer report, timeout or out-of-memory fails the run and prints the input.
#   run-fuzzer.sh BINARY NAME DATA_DIR SECONDS [extra libFuzzer flags...]
set -uo pipefail
bin=$1 name=$2 data=$3 seconds=$4
shift 4
work=$(mktemp -d "${TMPDIR:-/tmp}/fuzz-$name.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/new"

common=(-timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=512 "-artifact_prefix=$work/")
[ -f "$data/dict/$name.dict" ] && common+=("-dict=$data/dict/$name.dict")

show_artifacts() {
  local found=0
  for f in "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-* "$work"/slow-unit-*; do
    [ -f "$f" ] || continue
    found=1
    echo "--- failing input $(basename "$f") ($(stat -c %s "$f") bytes), base64:"
    base64 -w 100 "$f" | head -200
    echo "--- hex (first 512 bytes):"
    head -c 512 "$f" | xxd
    echo "--- keep it as tests/fuzz/regress/$name/<finding> once fixed"
  done
  [ $found -eq 1 ] || echo "--- no input was saved (see the log above)"
}

# Regressions first: each input once, so a fixed finding stays fixed.
if compgen -G "$data/regress/$name/*" >/dev/null; then
  if ! "$bin" "${common[@]}" "$data"/regress/"$name"/* >"$work/regress.log" 2>&1; then
    tail -60 "$work/regress.log"
    echo "fuzz $name: a regression input fails"
    exit 1
  fi
  echo "fuzz $name: $(ls "$data/regress/$name" | wc -l) regression inputs pass"
fi

seeds=()
[ -d "$data/corpus/$name" ] && seeds+=("$data/corpus/$name")
"$bin" "${common[@]}" -max_total_time="$seconds" -print_final_stats=1 "$@" "$work/new" "${seeds[@]}" \
  >"$work/run.log" 2>&1
rc=$?
if [ $rc -ne 0 ]; then
  tail -80 "$work/run.log"
  show_artifacts
  echo "fuzz $name: FAILED (exit $rc)"
  exit 1
fi
# The figures worth keeping: coverage, features, corpus size and speed at the end of the run.
grep -E '^#[0-9]+[[:space:]]+DONE' "$work/run.log" | tail -1
grep -E 'stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$work/run.log"
echo "fuzz $name: no finding in ${seconds}s (seeds: $(ls "$data/corpus/$name" 2>/dev/null | wc -l), new inputs: $(ls "$work/new" | wc -l))"
