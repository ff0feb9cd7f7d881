#!/usr/bin/env bash
# The main job: build the release and show it working under Wine (the 32-bit programs, or the
# 64-bit ones on a machine that cannot run 32-bit programs).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
source scripts/cleanup.sh
run cmake --workflow --preset release
run scripts/build-helpers.sh >/dev/null
run /usr/bin/python3 scripts/demo.py
