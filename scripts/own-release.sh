#!/usr/bin/env bash
# Builds the release into build/NAME/dist for the test command, the demonstration or the
# benchmark, never into dist/, which is the operator's: configured without presets, and
# without signing settings, so that neither the operator's presets nor their keys reach it.
#   scripts/own-release.sh NAME
set -euo pipefail
cd "$(dirname "$0")/.."
unset "${!VELMORA_SIGN_@}"
cmake -S . -B "build/$1" -G Ninja -DVELMORA_RELEASE=ON "-DVELMORA_DIST=$PWD/build/$1/dist" >/dev/null
cmake --build "build/$1"
