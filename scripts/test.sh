#!/usr/bin/env bash
# Every test: the link handling's unit tests natively under AddressSanitizer and UBSan, then
# a release of the test command's own (build/test/dist), its programs end to end under Wine,
# the checks of its files, real browsers opening play links, the static analysis and some
# fuzzing of the link handling. The Wine tests run both builds where the machine runs 32-bit
# programs, and the 64-bit ones alone where it does not, or where VELMORA_WINE_64BIT_ONLY=1
# asks for that; their last line says which. dist/, the operator's, and the checkout must come
# out as they went in.
#   VELMORA_TEST_LANES  the lanes to run, of: unit release browsers win32 win64 fuzz analysis
#                       (all by default); the others are skipped, and the command says so
#   VELMORA_TESTS       a pytest -k expression the Python lanes select their tests by
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
source scripts/cleanup.sh
all="unit release browsers win32 win64 fuzz analysis"
lanes=" ${VELMORA_TEST_LANES:-$all} "
lane() { [[ "$lanes" == *" $1 "* ]]; }
[ "$lanes" = " $all " ] || echo "Only the lanes:$lanes" >&2
pytest() { /usr/bin/python3 -m pytest -q -p no:cacheprovider "$@" ${VELMORA_TESTS:+-k "$VELMORA_TESTS"}; }
operators() { if [ -d dist ]; then find dist -type f -exec sha256sum {} + | sort; fi; }
checkout() { git status --porcelain --untracked-files=all; git diff | sha256sum; }
before=$(operators) tree=$(checkout)
export VELMORA_OUTPUT=$PWD/build/test
# Each build's programs run under Wine in a prefix of their own, side by side; a fresh prefix
# takes a while to make, so both are made while the rest builds.
prefixes=()
for build in win32 win64; do
  if lane "$build"; then /usr/bin/python3 winehost/winehost.py "$VELMORA_WINE_DIR-$build" & prefixes+=($!); fi
done

if lane unit; then
  run cmake --preset host >/dev/null
  run cmake --build --preset host
  run ctest --preset host
fi
# An operator's signing settings never reach the tests' release: a sign command that would
# fail stands for them.
if lane release || lane win32 || lane win64; then
  VELMORA_SIGN_COMMAND=false run scripts/own-release.sh test >"$work/release.log" || { cat "$work/release.log"; exit 1; }
fi

# Lanes side by side: the checks of the release files and the browsers from here on; once the
# Wine helpers are built, the fuzzing with the static analysis, which compute, and each build's
# programs under Wine, which mostly wait. The release checks take longest, and compute all the
# while: the other lanes yield to them.
waiting=()
side() {  # NAME COMMAND...: in the background, its output in $work/NAME.log
  local name=$1
  shift
  if [ "$name" = release ]; then "$@"; else renice -n 10 -p "$BASHPID" >/dev/null; "$@"; fi >"$work/$name.log" 2>&1 &
  waiting+=("$name:$!")
}
if lane release; then side release pytest tests/release; fi
if lane browsers; then side browsers pytest tests/browsers; fi
if lane win32 || lane win64; then
  run scripts/build-helpers.sh test >"$work/helpers.log" || { cat "$work/helpers.log"; exit 1; }
fi
compute() {
  if lane fuzz; then scripts/fuzz.sh 10 || return; fi
  if lane analysis; then scripts/analyze.sh; fi
}
if lane fuzz || lane analysis; then side compute compute; fi
[ ${#prefixes[@]} -eq 0 ] || wait "${prefixes[@]}"
e2e() {
  VELMORA_WINE_DIR="$VELMORA_WINE_DIR-$1" /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/e2e \
    -k "$1${VELMORA_TESTS:+ and ($VELMORA_TESTS)}"
}
for build in win32 win64; do
  if lane "$build"; then side "$build" e2e "$build"; fi
done
status=0
for entry in "${waiting[@]}"; do
  wait "${entry#*:}" || status=$?
  cat "$work/${entry%%:*}.log"
done
# Wine's own 32-bit loader, not the Wine tests' choice of builds, says whether the win32 lane had
# to run: where it starts, a win32 lane that passed nothing fails the command, unless the lanes
# were chosen without it.
if { [ -z "${VELMORA_TEST_LANES:-}" ] || lane win32; } && [ -z "${VELMORA_WINE_64BIT_ONLY:-}" ] && /usr/lib/wine/wine --version >/dev/null 2>&1 &&
   ! grep -q -E "^[0-9]+ passed" "$work/win32.log"; then
  echo "This machine runs 32-bit programs, but the win32 lane passed no test." >&2
  status=1
fi
if [ "$(operators)" != "$before" ]; then
  echo "The tests changed dist/, which is the operator's alone." >&2
  status=1
fi
if [ "$(checkout)" != "$tree" ]; then
  echo "The tests changed the checkout (git status shows what):" >&2
  git status --short >&2
  status=1
fi
exit "$status"
