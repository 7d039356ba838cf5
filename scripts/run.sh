#!/usr/bin/env bash
# Sets up what is missing, builds, and runs the daemon in the foreground with the
# stand-in data plane. Run and lease directories go in $1 (default: a temporary folder).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
"$top/scripts/setup.sh" build asn1
# The programs only: no tests or benchmarks, so none of their packages are needed.
cmake --preset normal -B build/run -DUGW_TESTS=OFF -DUGW_BENCH=OFF >/dev/null
cmake --build build/run -j "${JOBS:-$(nproc)}" --target ulmex-gateway fernrelayd ugw
dir=${1:-$(mktemp -d)}
mkdir -p "$dir/run" "$dir/var"
echo "run directory: $dir/run, lease directory: $dir/var"
shift || true
export TMPDIR=$dir VARDIR=$dir/var RUNDIR=$dir/run
exec build/run/ulmex-gateway -D "$top/build/run/tools/fernrelayd/fernrelayd" -n 2 "$@"
