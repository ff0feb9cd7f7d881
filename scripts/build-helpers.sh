#!/usr/bin/env bash
# Builds, beside the release's programs, what only the demonstration, the benchmark and the
# tests run under Wine: the driver, the stand-in client, the test-only builds of the programs
# and the benchmark's programs, for both Windows builds.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --build build/windows-x86
cmake --build build/windows-x64
