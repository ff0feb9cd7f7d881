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

export scratch
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# clang-tidy reads a file once for each of a build's programs that compile it (the shipped and
# the test-only ones): once for each different command is enough.
for preset in host fuzz windows-x86; do
  mkdir "$scratch/$preset"
  /usr/bin/python3 -c 'import json, re, sys
seen, kept = set(), []
for entry in json.load(open(sys.argv[1])):
    way = (entry["file"], re.sub(r" -o \S+", "", entry["command"]))
    if way not in seen:
        seen.add(way)
        kept.append(entry)
json.dump(kept, open(sys.argv[2], "w"), indent=1)' "build/$preset/compile_commands.json" "$scratch/$preset/compile_commands.json"
done
# clang-tidy takes half a minute on a file that includes the Windows headers. A file it found
# clean is not read again while nothing it reads has changed: the file, the project's headers it
# reads and those a build generates, the checks, the build's compile commands (wherever the
# checkout is) and the versions of the tools and of the system's headers. Only clean results are kept,
# outside the checkout, so that a fresh clone on the same machine finds them; where they cannot
# be kept, none are.
export cache="${XDG_CACHE_HOME:-${HOME:-/nonexistent}/.cache}/velmora-analysis"
mkdir -p "$cache" 2>/dev/null && [ -w "$cache" ] || cache=$scratch
export common
common=$( { clang-tidy --version; dpkg-query -W clang-tidy-14 libstdc++-12-dev libgtest-dev mingw-w64-i686-dev \
              g++-mingw-w64-i686-win32 2>&1 || true; cat .clang-tidy; } | sha256sum)
# The project's files a file reads: itself, the headers it includes and theirs, and those its
# build forces in.
reads() {  # PRESET FILE
  local todo=("$2") seen=" " file
  todo+=($(grep -o -- '-include [^ "]*' "build/$1/compile_commands.json" | cut -d' ' -f2 | sort -u || true))
  while [ ${#todo[@]} -gt 0 ]; do
    file=${todo[0]} todo=("${todo[@]:1}")
    [[ "$seen" != *" $file "* && -f "$file" ]] || continue
    seen="$seen$file "
    cat "$file"
    todo+=($(sed -n 's/^#include "\(.*\)"$/\1/p' "$file"))
  done
}
tidy() {  # PRESET FILE
  local mingw=/usr/lib/gcc/i686-w64-mingw32/12-win32/include/c++ extra=() key
  [ "$1" != windows-x86 ] || extra=(--extra-arg=--target=i686-w64-mingw32 "--extra-arg=-isystem$mingw"
    "--extra-arg=-isystem$mingw/i686-w64-mingw32" --extra-arg=-isystem/usr/i686-w64-mingw32/include)
  key=$( { echo "$common"; sed "s#$PWD#.#g" "build/$1/compile_commands.json"; cat build/"$1"/shared/generated/*.h; reads "$@"; } |
         sha256sum | cut -c1-32)
  [ -f "$cache/$key" ] && return
  clang-tidy -p "$scratch/$1" --quiet "${extra[@]}" "$2" 2> >(grep -v "warnings generated" >&2) || return 1
  touch "$cache/$key" 2>/dev/null || true
}
export -f reads tidy
echo "clang-tidy: link handling, its tests and the fuzzer; the Windows programs"
{ printf 'host %s\n' launcher/launch_url.cpp tests/unit/launch_url_test.cpp
  echo fuzz tests/fuzz/link_fuzzer.cpp
  printf 'windows-x86 %s\n' launcher/launcher.cpp launcher/registration.cpp platform/win32.cpp uninstaller/*.cpp
} | xargs -P "$(nproc)" -L 1 bash -c 'tidy "$@"' _

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
