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
    sleep 1
    break
  done
fi

cd "$build"
status=0
# A test program that fails is run once more before it counts as failed:
# the window tests drive one shared display and pointer, and under a loaded
# machine a click or key can still land before its window is ready.
ctest --output-on-failure -j"$jobs" --repeat until-pass:2 "$@" || status=$?
WINEPREFIX="$build/wineprefix" wineserver -k 2>/dev/null || true
exit $status
