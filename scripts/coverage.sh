#!/usr/bin/env bash
# The product's line coverage, from the counters that a coverage build's
# test run left behind (preset "coverage"). Prints one line,
# "product line coverage: NN.N%", over api/ host_api/ extension/ ip232/
# serial/ net/ sync/; the lines not run, file by file, are listed in
# BUILD/coverage.txt (its TOTAL line gives the counts). Usage:
#   scripts/coverage.sh [BUILD]         (default: build/coverage)
#   scripts/coverage.sh --reset [BUILD] (clears the counters before a run)
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = --reset ]; then
  find "${2:-build/coverage}" -name '*.gcda' -delete
  exit 0
fi
build=${1:-build/coverage}
filters=()
for dir in api host_api extension ip232 serial net sync; do
  filters+=(--filter "$dir/")
done
# GCC 12's gcov writes records that Debian's gcovr cannot parse; they carry
# no line counts.
# gcovr's own remarks (files outside the product, such as CMake's compiler
# checks) go to BUILD/gcovr.log, shown only when it fails.
if ! gcovr --root . --object-directory "$build" --gcov-ignore-parse-errors \
     -j 2 "${filters[@]}" \
     --txt "$build/coverage.txt" --json-summary "$build/coverage.json" \
     >"$build/gcovr.log" 2>&1; then
  cat "$build/gcovr.log" >&2
  exit 1
fi
python3 - "$build/coverage.json" <<'PY'
import json, sys
summary = json.load(open(sys.argv[1]))
covered, total = summary["line_covered"], summary["line_total"]
print(f"product line coverage: {100.0 * covered / total:.1f}%")
PY
