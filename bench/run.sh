#!/usr/bin/env bash
# Builds the release and runs the launch benchmark under Wine: bench/run.sh [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
source scripts/cleanup.sh
run cmake --workflow --preset release >/dev/null
run scripts/build-helpers.sh bench >/dev/null
run /usr/bin/python3 bench/run.py "$@"
