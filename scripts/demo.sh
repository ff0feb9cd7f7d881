#!/usr/bin/env bash
# The main job: build the release and show it working under Wine (the 32-bit programs, or the
# 64-bit ones on a machine that cannot run 32-bit programs). The demonstration's release is its
# own, in build/demo/dist: dist/ is the operator's.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
source scripts/cleanup.sh
export VELMORA_OUTPUT=$PWD/build/demo
run scripts/own-release.sh demo
run scripts/build-helpers.sh demo >/dev/null
run /usr/bin/python3 scripts/demo.py
