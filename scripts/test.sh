#!/usr/bin/env bash
# Sets up what is missing, then builds and runs every test: the normal and the
# sanitizer builds with their tests, then each fuzz target for a bounded time.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
"$top/scripts/setup.sh"

jobs=${JOBS:-$(nproc)}
fuzz_seconds=${FUZZ_SECONDS:-20}

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
for bin in build/fuzz/fuzz/fuzz_*; do
  [ -x "$bin" ] || continue
  name=${bin##*/fuzz_}
  corpus="fuzz/corpus/$name"
  work=$(mktemp -d)
  seeds=()
  [ -d "$corpus" ] && seeds=("$corpus")
  echo "=== fuzz $name (${fuzz_seconds}s)"
  "$bin" -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 "$work" "${seeds[@]}" 2>&1 | tail -n 4
  rc=${PIPESTATUS[0]}
  rm -rf "$work"
  [ "$rc" -eq 0 ] || { echo "fuzz target $name failed"; exit 1; }
done
echo "=== all tests passed"
