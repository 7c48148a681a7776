#!/usr/bin/env bash
# Sets up the machine (see setup.sh), builds the program and every test, and
# runs the tests under Wine. Exit code: ctest's.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VRO_BUILD_DIR:-$root/build}
jobs=$(nproc)

"$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -G Ninja >/dev/null
ninja -C "$build" -j"$jobs"

# A display for the tests that open windows.
if [ -z "${DISPLAY:-}" ]; then
  for n in $(seq 90 99); do
    [ -e /tmp/.X11-unix/X$n ] && continue
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb_pid=$!
    export DISPLAY=":$n"
    trap 'kill $xvfb_pid 2>/dev/null || true' EXIT
    for _ in $(seq 50); do xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.2; done
    break
  done
fi

cd "$build"
# A display is required: the window tests would otherwise have nothing to
# show their windows on.
if ! xdotool getdisplaygeometry >/dev/null 2>&1; then
  echo "test.sh: no X display could be started (DISPLAY=${DISPLAY:-})" >&2
  exit 1
fi
# In CI a skipped test fails its program (see tests/wine-run.sh).
if [ "${CI:-}" = true ]; then export VRO_FAIL_ON_SKIP=1; fi

status=0
ctest --output-on-failure -j"$jobs" "$@" || status=$?
# Every program runs once: a failure stands, the window programs' too.
summary=()
if [ $status -ne 0 ]; then
  mapfile -t failed < <(sed 's/^[0-9]*://' Testing/Temporary/LastTestsFailed.log 2>/dev/null)
  cases=$( (grep -h '^\[  FAILED  \] [A-Za-z_0-9/]*\.' Testing/Temporary/LastTest.log || true) |
          sed 's/^\[  FAILED  \] //; s/ (.*//' | sort -u | tr '\n' ' ')
  summary+=("failed: ${failed[*]} (test cases: ${cases:-see the log})")
fi
# Every test case that skipped, from the programs' own lines.
skips=$( (grep -h 'wine-run: SKIPPED' Testing/Temporary/LastTest.log 2>/dev/null || true) |
        sed 's/.*SKIPPED //' | sort -u | tr '\n' ' ')
WINEPREFIX="$build/wineprefix" wineserver -k 2>/dev/null || true
echo "== test.sh summary"
for line in "${summary[@]}"; do echo "test.sh: $line"; done
echo "test.sh: skipped tests: ${skips:-none}"
exit $status
