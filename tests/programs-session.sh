#!/bin/sh
# The Wine session of the tests that run the built program from outside:
# a display and a prefix of their own, apart from the window tests', so a
# main window the program ends in takes no foreground, focus or keys from a
# window test, and the two kinds run side by side.
#   programs-session.sh start DIR   starts a virtual display (its number in
#                                   DIR/display) and makes the prefix
#                                   (WINEPREFIX) on it
#   programs-session.sh stop DIR    ends the prefix's server and the display
set -e
action=${1:?start or stop}
dir=${2:?the session folder}
: "${WINEPREFIX:?}"
export WINEPREFIX

if [ "$action" = stop ]; then
  wineserver -k 2>/dev/null || true
  if [ -f "$dir/xvfb.pid" ]; then
    kill "$(cat "$dir/xvfb.pid")" 2>/dev/null || true
  fi
  rm -f "$dir/display" "$dir/xvfb.pid"
  exit 0
fi

# What an earlier run of this tree left running is ended first.
"$0" stop "$dir"
mkdir -p "$dir"
# The first free display number from 100 on: another run may take the same
# number at the same moment, and then this server ends at once and the next
# number is tried.
display=
for n in $(seq 100 199); do
  [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
  setsid Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp </dev/null >/dev/null 2>&1 &
  pid=$!
  for _ in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || break
    if DISPLAY=":$n" xdotool getdisplaygeometry >/dev/null 2>&1; then
      display=":$n"
      break
    fi
    sleep 0.2
  done
  if [ -n "$display" ] && kill -0 "$pid" 2>/dev/null; then break; fi
  display=
  kill "$pid" 2>/dev/null || true
done
if [ -z "$display" ]; then
  echo "programs-session: no virtual display could be started (Xvfb on :100 to :199)" >&2
  exit 1
fi
echo "$pid" >"$dir/xvfb.pid"
echo "$display" >"$dir/display"
DISPLAY=$display exec "$(dirname "$0")/wine-prefix.sh"
