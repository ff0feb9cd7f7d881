#!/usr/bin/env bash
# Builds the release and runs the launch benchmark under Wine: bench/run.sh [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --workflow --preset release >/dev/null
/usr/bin/python3 bench/run.py "$@"
