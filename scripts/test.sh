#!/usr/bin/env bash
# Sets up the machine (see setup.sh), builds the program and every test, and
# runs the tests under Wine. Arguments go to ctest. Exit code: ctest's, or
# the shipped program's check's where that failed.
#
# The suite: where the kernel runs 32-bit programs, the 32-bit build (the
# program users get) in build/. Where it runs them only under emulation, the
# 64-bit build of the same sources in build-x86_64/, natively under wine64,
# and then the demo's commands with the shipped 32-bit program under
# emulation, their exit codes checked. VRO_TEST_ARCH=i686 or x86_64 forces a
# suite on any machine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)

"$root/scripts/setup.sh"
mode=$("$root/scripts/ia32.sh" mode)
# The 32-bit Wine processes of a run (the prefix's 32-bit side, the shipped
# program) start quickly under emulation.
eval "$("$root/scripts/ia32.sh" env)"
case ${VRO_TEST_ARCH:-} in
i686 | x86_64)
  arch=$VRO_TEST_ARCH
  why="chosen by VRO_TEST_ARCH=$arch";;
"")
  if [ "$mode" = native ]; then
    arch=i686 why="this kernel runs 32-bit programs"
  else
    arch=x86_64 why="this kernel runs no 32-bit programs (they run here only under emulation)"
  fi;;
*)
  echo "test.sh: VRO_TEST_ARCH=$VRO_TEST_ARCH is neither i686 nor x86_64" >&2
  exit 2;;
esac
build32=${VRO_BUILD_DIR:-$root/build}
build64=${VRO_BUILD64_DIR:-$root/build-x86_64}
if [ "$arch" = i686 ]; then build=$build32; else build=$build64; fi
# The shipped program is checked after a whole 64-bit run; a run of chosen
# tests (ctest arguments) leaves it out.
ship_check=0
[ "$arch" = x86_64 ] && [ $# -eq 0 ] && ship_check=1
if [ "$mode" != native ]; then
  echo "test.sh: the $arch suite: $why"
  [ "$arch" = i686 ] && echo "test.sh: the 32-bit suite under emulation is slow: name single programs (ctest -R ...)"
fi

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$arch.cmake" >/dev/null
ninja -C "$build" -j"$jobs"
if [ $ship_check -eq 1 ]; then
  cmake -S "$root" -B "$build32" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686.cmake" >/dev/null
  ninja -C "$build32" -j"$jobs" VroMount
fi

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

tested="the $arch suite ($build)"
[ "$arch" = x86_64 ] && tested="$tested natively under wine64"
if [ $ship_check -eq 1 ]; then
  # The program users get, as the demo runs it: under emulation here, in the
  # 64-bit suite's prefix (made there with its 32-bit side).
  echo "== The shipped 32-bit program: the demo's commands"
  ship=0
  VRO_DEMO_SETUP=0 VRO_BUILD_DIR="$build32" VRO_DEMO_WINEPREFIX="$build/wineprefix" \
    bash "$root/scripts/demo.sh" || ship=$?
  WINEPREFIX="$build/wineprefix" wineserver -k 2>/dev/null || true
  if [ $ship -ne 0 ]; then
    summary+=("failed: the shipped 32-bit program's demo commands (exit $ship)")
    [ $status -eq 0 ] && status=$ship
  fi
  run32=natively
  [ "$mode" != native ] && run32="under emulation"
  tested="$tested, and the demo's commands with the shipped 32-bit program ($build32/src/app/VroMount.exe) $run32"
fi
echo "== test.sh summary"
for line in "${summary[@]}"; do echo "test.sh: $line"; done
echo "test.sh: skipped tests: ${skips:-none}"
echo "Tested: $tested: $why"
exit $status
