#!/usr/bin/env bash
# Sets up what is missing, then builds and runs every test: the normal and the
# sanitizer builds with their tests, then each fuzz target for a bounded time.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
"$top/scripts/setup.sh"

jobs=${JOBS:-$(nproc)}
# The fuzz budget is fixed in total and shared out among the targets, so that adding a
# target does not lengthen the run; targets run side by side, one per job.
fuzz_total=${FUZZ_TOTAL_SECONDS:-320}

for preset in normal sanitize; do
  echo "=== $preset build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "=== $preset tests"
  ctest --preset "$preset" -j "$jobs"
done

echo "=== fuzz build"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
shopt -s nullglob
targets=()
for bin in build/fuzz/fuzz/fuzz_*; do
  [ -x "$bin" ] && targets+=("$bin")
done
[ ${#targets[@]} -gt 0 ] || { echo "no fuzz target built"; exit 1; }
per=$(( fuzz_total / ${#targets[@]} ))
[ "$per" -ge 5 ] || per=5
logs=$(mktemp -d)
run_target() {
  local bin=$1 per=$2 logs=$3
  local name=${bin##*/fuzz_}
  local corpus="fuzz/corpus/$name" work seeds=()
  work=$(mktemp -d)
  [ -d "$corpus" ] && seeds=("$corpus")
  if "$bin" -max_total_time="$per" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
       "$work" "${seeds[@]}" >"$logs/$name.log" 2>&1; then
    echo "=== fuzz $name (${per}s): $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$logs/$name.log" | grep -o '[0-9]*$') runs"
  else
    echo "=== fuzz $name (${per}s) FAILED"
    tail -n 40 "$logs/$name.log"
    touch "$logs/failed"
  fi
  rm -rf "$work"
}
export -f run_target
printf '%s\n' "${targets[@]}" | xargs -P "$jobs" -I{} bash -c 'run_target "$@"' _ {} "$per" "$logs"
if [ -e "$logs/failed" ]; then
  echo "a fuzz target failed"
  exit 1
fi
rm -rf "$logs"
echo "=== all tests passed"
