#!/usr/bin/env bash
# Builds, beside the programs of a release from scripts/own-release.sh, what runs them under
# Wine: the driver, the stand-in client and the test-only builds of the programs, for both
# Windows builds; with "bench", the benchmark's programs too.
#   scripts/build-helpers.sh NAME [bench]
set -euo pipefail
cd "$(dirname "$0")/.."
targets=(wintest OlvanePlayerBetaRaw VelmoraPlayerSeam VelmoraPlayerUninstallerSeam)
[ "${2:-}" = bench ] && targets+=(bench baseline)
for build in windows-x86 windows-x64; do
  cmake --build "build/$1/$build" --target "${targets[@]}"
done
