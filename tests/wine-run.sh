#!/bin/sh
# Runs one Windows program under Wine, quietly, in the build tree's prefix.
# The prefix is made once (see the wineprefix test) and reused.
: "${WINEPREFIX:?WINEPREFIX must name the build tree's prefix}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
# The program's output goes through a file: a Wine process it starts that
# outlives it (the desktop window's explorer.exe, say) would otherwise hold
# ctest's pipe open until the test times out.
out=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX") || exit 125
wine "$@" >"$out" 2>&1 </dev/null
rc=$?
cat "$out"
# A test program that ends before GoogleTest's summary (an exit from inside a
# test, say) has not passed, whatever its exit code says.
if [ $rc -eq 0 ] && grep -q '^\[==========\] Running' "$out" && ! grep -q '^\[  PASSED  \]' "$out"; then
  echo "wine-run: the program ended before its test summary" >&2
  rc=1
fi
rm -f "$out"
exit $rc
