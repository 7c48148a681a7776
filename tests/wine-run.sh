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
rm -f "$out"
exit $rc
