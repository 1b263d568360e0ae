#!/usr/bin/env bash
# Builds the linux preset and runs the benchmark: a table, then one JSON
# line. Arguments go to ip232-bench (e.g. --quick, --endpoints 512).
# Usage: scripts/bench.sh [ip232-bench options]
# Environment: BUILD_DIR (default build/linux), JOBS (default: cores).
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build/linux}
cmake --preset linux -B "$build_dir" >/dev/null
cmake --build "$build_dir" -j "${JOBS:-$(nproc)}" --target ip232-bench >/dev/null
exec "$build_dir/bin/ip232-bench" "$@"
