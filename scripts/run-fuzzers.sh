#!/usr/bin/env bash
# Runs every libFuzzer target of a fuzz build for a bounded time, each on a
# copy of its seed corpus (fuzz/corpus/<name>/) in a temporary folder, so
# the committed seeds never change. Usage:
#   scripts/run-fuzzers.sh BUILD_DIR SECONDS
# Prints the executions of each fuzzer from libFuzzer's final statistics.
# Fails (exit 1) on any finding - a crash, a broken property, a leak, a
# timeout - or when a fuzzer is missing; a finding's input is kept in
# BUILD_DIR/fuzz-findings/<name>/.
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 BUILD_DIR SECONDS" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
seconds=$2
cd "$(dirname "$0")/.."
fuzzers=(endpoint_address_fuzzer line_decoder_fuzzer attach_fuzzer)

work=$(mktemp -d "${TMPDIR:-/tmp}/ip232-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT

failed=()
summary=()
for name in "${fuzzers[@]}"; do
  bin="$build/bin/$name"
  if [ ! -x "$bin" ]; then
    echo "$name: not built ($bin missing)" >&2
    failed+=("$name")
    continue
  fi
  corpus="$work/$name/corpus"
  findings="$build/fuzz-findings/$name"
  mkdir -p "$corpus" "$findings"
  if [ -d "fuzz/corpus/$name" ]; then cp -R "fuzz/corpus/$name/." "$corpus/"; fi
  args=(-max_total_time="$seconds" -print_final_stats=1 -timeout=30
        -rss_limit_mb=2048 -artifact_prefix="$findings/")
  [ -f "fuzz/$name.dict" ] && args+=(-dict="fuzz/$name.dict")

  echo "=== $name: $seconds s on $(ls "$corpus" | wc -l) seeds"
  log="$work/$name.log"
  set +e
  ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}" \
  UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}" \
    "$bin" "${args[@]}" "$corpus" >"$log" 2>&1
  rc=$?
  set -e
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(sed -n 's/^#[0-9]*[[:space:]]*DONE .*cov: *\([0-9]*\).*/\1/p' "$log" | tail -1)
  units=$(ls "$corpus" | wc -l)
  if [ "$rc" -ne 0 ]; then
    tail -60 "$log"
    echo "$name: FAILED (exit $rc); inputs in $findings" >&2
    failed+=("$name")
    summary+=("$name: FAILED after ${execs:-?} executions")
  else
    summary+=("$name: ${execs:-?} executions in $seconds s, coverage ${cov:-?}, corpus $units inputs, no findings")
  fi
done

echo "=== fuzz summary"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzers with findings or missing: ${failed[*]}" >&2
  exit 1
fi
