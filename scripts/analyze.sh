#!/usr/bin/env bash
# Static analysis of the project's code; any finding fails. clang-tidy reads .clang-tidy and
# the host and fuzz builds' compile commands; cppcheck reads the host build's, and looks at
# the Windows-only sources (runtime trim, test helpers, benchmark) with its Windows library.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset host >/dev/null
cmake --preset fuzz >/dev/null

host_sources=$(git ls-files -- 'launcher/*.cpp' 'uninstaller/*.cpp' platform/emulation.cpp \
                               'tests/unit/*.cpp' tests/fuzz/link_oracle.cpp)
echo "clang-tidy: $(echo $host_sources | wc -w) host files and the fuzzer"
printf '%s\n' $host_sources | xargs -P "$(nproc)" -n 2 clang-tidy -p build/host --quiet 2> >(grep -v "warnings generated" >&2)
clang-tidy -p build/fuzz --quiet tests/fuzz/link_fuzzer.cpp 2> >(grep -v "warnings generated" >&2)

# Kept out, each for a reason of this codebase:
#  - constParameter in the emulation: its functions keep the Windows signatures, const or
#    not, so that the same programs compile against either.
#  - badBitmaskCheck: MB_OK is 0, but naming it says which buttons a message box has.
checks=(--enable=warning,style,performance,portability --std=c++17 --inline-suppr
        --error-exitcode=1 --quiet --suppress=badBitmaskCheck)
echo "cppcheck: host build"
cppcheck "${checks[@]}" --library=googletest --project=build/host/compile_commands.json \
  -i build --suppress=constParameter:platform/emulation.cpp
echo "cppcheck: Windows-only sources"
cppcheck "${checks[@]}" --library=windows -D_WIN32 -DUNICODE -I . \
  platform/runtime.cpp tests/wine bench
echo "static analysis: no findings"
