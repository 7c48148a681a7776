#!/usr/bin/env bash
# Takes the README's pictures of the main window: the session test of the
# main window (tests/app/mainwnd/SessionTest.cpp) drives the built program
# under Wine on a virtual display with xdotool, in each of its three
# languages: a new image made from the File menu, a host folder added to it,
# the properties of an added file. The main window and the properties are
# saved as docs/main-LANG.png and docs/main-properties-LANG.png. Rerun it
# after changing the window or its texts.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VRO_BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -G Ninja >/dev/null
ninja -C "$build" VroMount test_mainwnd_session
export WINEPREFIX="$build/wineprefix"
"$root/tests/wine-prefix.sh" >/dev/null
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

if [ -z "${DISPLAY:-}" ]; then
  for n in $(seq 80 89); do
    [ -e /tmp/.X11-unix/X$n ] && continue
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb_pid=$!
    export DISPLAY=":$n"
    trap 'kill $xvfb_pid 2>/dev/null || true' EXIT
    sleep 1
    break
  done
fi

# A short folder: the pictures show the addresses of the session's files.
work=/tmp/vromount-pictures
rm -rf "$work"
mkdir -p "$work"
VRO_SESSION_LANGUAGES="2052 1041 1042" VRO_SESSION_PICTURES="$work" \
  wine "$build/tests/app/mainwnd/session/test_mainwnd_session.exe" --gtest_filter='MainWindowSession.*'
for lang in 2052 1041 1042; do
  for name in main main-properties; do
    convert "$work/$name-$lang.png" -resize '800x>' -colors 128 "$root/docs/$name-$lang.png"
  done
done
echo "docs/main-*.png and docs/main-properties-*.png written"
