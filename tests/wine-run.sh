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
# A GoogleTest program also writes its results to a report file of its own.
report=
case $(basename "$1") in
  test_*.exe) report="$out.json"; set -- "$@" "--gtest_output=json:Z:$(printf %s "$report" | tr / '\\')";;
esac
wine "$@" >"$out" 2>&1 </dev/null
rc=$?
cat "$out"
# A test program that ends before GoogleTest's summary (an exit from inside a
# test, say) has not passed, whatever its exit code says. Under Wine the
# standard output of a program that starts many others has been seen to
# lose its last lines; the report file then tells whether all tests ran and
# passed.
if [ $rc -eq 0 ] && grep -q '^\[==========\] Running' "$out" && ! grep -q '^\[  PASSED  \]' "$out"; then
  if [ -n "$report" ] && [ -s "$report" ] &&
    python3 - "$report" <<'PY'
import json, sys
r = json.load(open(sys.argv[1]))
print("wine-run: the output lost its summary; the report file says %d tests ran, %d failed"
      % (r.get("tests", 0), r.get("failures", 0) + r.get("errors", 0)), file=sys.stderr)
for suite in r.get("testsuites", []):
    for t in suite.get("testsuite", []):
        if t.get("failures"):
            print("  FAILED %s.%s" % (suite["name"], t["name"]), file=sys.stderr)
sys.exit(0 if r.get("tests", 0) > 0 and not r.get("failures") and not r.get("errors") else 1)
PY
  then
    :
  else
    echo "wine-run: the program ended before its test summary" >&2
    rc=1
  fi
fi
rm -f "$out" "$out.json"
exit $rc
