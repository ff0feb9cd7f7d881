#!/usr/bin/env bash
# Builds a release of its own (build/bench/dist) and runs the launch benchmark under Wine:
# bench/run.sh [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
source scripts/cleanup.sh
export VELMORA_OUTPUT=$PWD/build/bench
run scripts/own-release.sh bench >/dev/null
run scripts/build-helpers.sh bench bench >/dev/null
run /usr/bin/python3 bench/run.py "$@"
