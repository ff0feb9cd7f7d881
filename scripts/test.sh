#!/usr/bin/env bash
# Every test: the link handling's unit tests natively under AddressSanitizer and UBSan, then
# the release with checks of its files and its programs end to end under Wine, while half a
# minute of fuzzing the link handling and the static analysis run beside them.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A fresh Wine prefix takes a while to make: it is made while the rest builds.
/usr/bin/python3 winehost/winehost.py "$work/wine" & prefix=$!

cmake --preset host >/dev/null
cmake --build --preset host
ctest --preset host
cmake --workflow --preset release >"$work/release.log" || { cat "$work/release.log"; exit 1; }

(scripts/fuzz.sh 30 && scripts/analyze.sh) >"$work/checks.log" 2>&1 & checks=$!
wait "$prefix"
status=0
VELMORA_WINE_DIR="$work/wine" /usr/bin/python3 -m pytest -q tests/release tests/e2e || status=$?
wait "$checks" || status=$?
cat "$work/checks.log"
exit "$status"
