#!/usr/bin/env bash
# Builds, beside the release's programs, what the demonstration and the tests run under Wine:
# the driver, the stand-in client and the test-only builds of the programs, for both Windows
# builds; with "bench", the benchmark's programs too.
set -euo pipefail
cd "$(dirname "$0")/.."
targets=(wintest OlvanePlayerBetaRaw VelmoraPlayerSeam VelmoraPlayerUninstallerSeam)
[ "${1:-}" = bench ] && targets+=(bench baseline)
for build in windows-x86 windows-x64; do
  cmake --build "build/$build" --target "${targets[@]}"
done
