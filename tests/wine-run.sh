#!/bin/sh
# Runs one Windows program under Wine, quietly, in the build tree's prefix,
# with the loader of the build's width (VRO_WINE, set by the build).
# The prefix is made once (see the wineprefix test) and reused.
: "${WINEPREFIX:?WINEPREFIX must name the build tree's prefix}"
export WINEPREFIX
# A test of a session with a display of its own (tests/programs-session.sh)
# names the file that holds the display's number.
if [ -n "${VRO_DISPLAY_FILE:-}" ]; then
  DISPLAY=$(cat "$VRO_DISPLAY_FILE") || exit 125
  export DISPLAY
fi
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
"${VRO_WINE:-wine}" "$@" >"$out" 2>&1 </dev/null
rc=$?
cat "$out"
# A GoogleTest program passes only when its report file shows that tests ran
# and every one of them ran to its end and passed, whatever its exit code and
# its standard output say: a program that ends before GoogleTest starts, exits
# from inside a test or loses its output (seen under Wine with programs that
# start many others) has not passed. Skipped tests are listed; with
# VRO_FAIL_ON_SKIP=1 (CI) a skip fails the program, but for the cases that
# exist only for a 32-bit process on 64-bit Windows, which a 64-bit build
# skips with that mark (tests/support/Wow64Only.h).
if [ -n "$report" ] && [ $rc -eq 0 ]; then
  if [ ! -s "$report" ]; then
    echo "wine-run: no test report: the program ended before its tests ran" >&2
    rc=1
  elif ! python3 - "$report" <<'PY'
import json, os, sys
r = json.load(open(sys.argv[1]))
ran = failed = 0
skipped, broken, wow64 = [], [], []
for suite in r.get("testsuites", []):
    for t in suite.get("testsuite", []):
        name = "%s.%s" % (suite.get("name"), t.get("name"))
        if t.get("status") != "RUN":
            continue
        ran += 1
        if t.get("failures"):
            failed += 1
            broken.append("FAILED " + name)
        elif t.get("result") == "SKIPPED" and t.get("wow64_only"):
            wow64.append("%s (only for a 32-bit process on 64-bit Windows: %s)" % (name, t["wow64_only"]))
        elif t.get("result") == "SKIPPED":
            skipped.append(name)
        elif t.get("result") != "COMPLETED":
            broken.append("NOT COMPLETED (%s) %s" % (t.get("result"), name))
for s in skipped + wow64:
    print("wine-run: SKIPPED %s" % s, file=sys.stderr)
for b in broken:
    print("wine-run: %s" % b, file=sys.stderr)
ok = ran > 0 and not broken and not r.get("failures") and not r.get("errors")
if ran == 0:
    print("wine-run: the report shows no test that ran", file=sys.stderr)
if skipped and os.environ.get("VRO_FAIL_ON_SKIP") == "1":
    print("wine-run: %d skipped test(s) count as failures here" % len(skipped), file=sys.stderr)
    ok = False
sys.exit(0 if ok else 1)
PY
  then
    rc=1
  fi
fi
rm -f "$out" "$out.json"
exit $rc
