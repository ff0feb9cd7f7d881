#!/usr/bin/env bash
# The main job: build the release and show it working under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --workflow --preset release
# The stand-in client and the Wine-side helper come from the 32-bit build the release made.
/usr/bin/python3 scripts/demo.py
