#!/usr/bin/env bash
# Every test: the unit tests natively under AddressSanitizer and UBSan, a minute of fuzzing
# the link handling, static analysis, then checks of the release files and the release
# programs end to end under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset host
cmake --build --preset host
ctest --preset host
scripts/fuzz.sh 60
scripts/analyze.sh
cmake --workflow --preset release
/usr/bin/python3 -m pytest -q tests/release tests/e2e
