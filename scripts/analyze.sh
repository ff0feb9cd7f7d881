#!/usr/bin/env bash
# Static analysis of the project's code; any finding fails. clang-tidy reads .clang-tidy and
# the compile commands of the host, fuzz and 32-bit Windows builds (there with clang's MinGW
# target and the cross compiler's headers); cppcheck reads the host build's, and looks at the
# Windows sources with its Windows library.
set -euo pipefail
cd "$(dirname "$0")/.."
# Each build folder is configured only if it is not yet: another lane may be building in it.
for preset in host fuzz windows-x86; do
  [ -f "build/$preset/compile_commands.json" ] || cmake --preset "$preset" >/dev/null
done

quiet() { "$@" 2> >(grep -v "warnings generated" >&2); }
mingw=/usr/lib/gcc/i686-w64-mingw32/12-win32/include/c++
windows=(--extra-arg=--target=i686-w64-mingw32 "--extra-arg=-isystem$mingw" "--extra-arg=-isystem$mingw/i686-w64-mingw32"
         --extra-arg=-isystem/usr/i686-w64-mingw32/include)
echo "clang-tidy: link handling, its tests and the fuzzer; the Windows programs"
quiet clang-tidy -p build/host --quiet launcher/launch_url.cpp tests/unit/launch_url_test.cpp tests/fuzz/link_oracle.cpp &
quiet clang-tidy -p build/fuzz --quiet tests/fuzz/link_fuzzer.cpp
wait $!
printf '%s\n' launcher/launcher.cpp launcher/registration.cpp platform/win32.cpp uninstaller/*.cpp |
  xargs -P "$(nproc)" -n 2 bash -c 'clang-tidy -p build/windows-x86 --quiet "$@" 2> >(grep -v "warnings generated" >&2)' _ "${windows[@]}"

# Kept out, each for a reason of this codebase:
#  - badBitmaskCheck: MB_OK is 0, but naming it says which buttons a message box has.
#  - the runtime trim from clang-tidy: it defines the runtime's own reserved names on purpose.
checks=(--enable=warning,style,performance,portability --std=c++17 --inline-suppr
        --error-exitcode=1 --quiet --suppress=badBitmaskCheck)
echo "cppcheck: host build"
cppcheck "${checks[@]}" --library=googletest --project=build/host/compile_commands.json -i build
echo "cppcheck: Windows sources"
cppcheck "${checks[@]}" --library=windows -D_WIN32 -DUNICODE -I . \
  launcher/launcher.cpp launcher/registration.cpp uninstaller platform winehost tests/wine bench
echo "static analysis: no findings"
