#!/usr/bin/env bash
# Fuzzes the launcher's link handling for a while: scripts/fuzz.sh [SECONDS] (default 60).
# Starts from the committed seed corpus, which it leaves as it is; fails on any finding,
# leaving the input that caused it in build/fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p build/fuzz/findings
status=0
build/fuzz/tests/fuzz/link_fuzzer -max_total_time="$seconds" -print_final_stats=1 \
  -artifact_prefix=build/fuzz/findings/ "$work" tests/fuzz/corpus >"$work.log" 2>&1 || status=$?
grep -E '^(INFO: seed corpus|Done|stat::number_of_executed_units|stat::new_units_added)|ERROR|SUMMARY|Test unit written' "$work.log" || true
rm -f "$work.log"
exit "$status"
