#!/usr/bin/env bash
# The tests' share of the C++ code: non-blank, non-comment lines of the
# .c/.cpp/.h files under tests/ and fuzz/ against all the others, as git
# sees the working tree (tracked and untracked, not ignored). Usage:
#   scripts/test-share.sh
set -euo pipefail
cd "$(dirname "$0")/.."
count() {
  # A line counts unless it is blank, a // comment or inside /* ... */.
  awk '
    { line = $0 }
    in_comment { if (line ~ /\*\//) { sub(/.*\*\//, "", line); in_comment = 0 } else next }
    { gsub(/^[ \t]+|[ \t]+$/, "", line) }
    line ~ /^\/\*/ && line !~ /\*\// { in_comment = 1; next }
    line ~ /^\/\*.*\*\/$/ { next }
    line == "" || line ~ /^\/\// { next }
    { n++ }
    END { print n + 0 }' "$@"
}
mapfile -t tests < <(git ls-files --cached --others --exclude-standard -- \
  'tests/*.c' 'tests/*.cpp' 'tests/*.h' 'fuzz/*.c' 'fuzz/*.cpp' 'fuzz/*.h')
mapfile -t rest < <(git ls-files --cached --others --exclude-standard -- \
  '*.c' '*.cpp' '*.h' ':!tests/' ':!fuzz/')
a=$(count "${tests[@]}")
b=$(count "${rest[@]}")
awk -v a="$a" -v b="$b" \
  'BEGIN { printf "tests and fuzzers %d lines, the rest %d: %.1f%%\n", a, b, 100 * a / (a + b) }'
