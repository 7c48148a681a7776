#!/usr/bin/env bash
# Hive saves under kill -9 (not a test: it prints what it found and ends
# with 1 only when a hive was lost). A disk whose SOFTWARE hive holds about
# 60 MB of values (imported by the program first) is copied afresh for each
# trial; "-img:DISK /import:DEL.reg" then deletes those values and sets
# "\Vro" "Hive" to "deleted", so that the save rewrites nearly every page
# of the hive; the process is killed with kill -9 at times spread over the
# later 70% of a full run's time. The save's own window (base block ahead
# of its pages) lasts only milliseconds: the fault injection of the
# registry tests cuts it at each of its writes, this loop shows what a kill
# at any time leaves. Then:
#   - hivexget reads SOFTWARE as ntfscat takes it off the disk, after the
#     logs were replayed by the fixtures' own replay when the base block
#     says a write was cut off: "\Vro" "Hive" must be the old text
#     ("imported") or the new one ("deleted"), never anything else;
#   - the program's own "/export:" of that key must return 0 and agree.
#   bench/hive-kill.sh [WORKDIR]        ($VRO_KILL_TRIALS trials, 30)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VRO_BUILD_DIR:-$root/build}
work=${1:-$build/bench-hive-kill}
trials=${VRO_KILL_TRIALS:-30}
source "$root/bench/lib.sh"
require ntfscat hivexget python3 mkntfs
# A Wine prefix of its own: the kills never reach another run's processes.
export WINEPREFIX="$work-prefix"
"$root/tests/wine-prefix.sh" >/dev/null
wineserver -p 2>/dev/null || true

trap 'wineserver -k 2>/dev/null || true' EXIT
rm -rf "$work"
mkdir -p "$work/t"
"$root/tests/fixtures/mk-wintree.sh" "$work/tree" --no-kernel >/dev/null
"$root/tests/fixtures/mk-disk.sh" "$work/pristine.img" --layout none --size 480 \
  --tree "$work/tree" >/dev/null
make_hive_regs "$work" 6000
replay="/usr/bin/python3 $root/tests/fixtures/hive-logs.py"
config=/Windows/System32/config
wine "$exe" "-img:$(win "$work/pristine.img")" "/import:$(win "$work/big.reg")" >/dev/null 2>&1

# The time of a whole run, for where the kills land.
cp --sparse=always "$work/pristine.img" "$work/disk.img"
t0=$(now)
wine "$exe" "-img:$(win "$work/disk.img")" "/import:$(win "$work/del.reg")" >/dev/null 2>&1
t1=$(now)
full=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')
echo "== a whole delete and save: $full s; $trials kills in its last 70%"

old=0 new=0 lost=0
for i in $(seq 1 "$trials"); do
  cp --sparse=always "$work/pristine.img" "$work/disk.img"
  delay=$(awk -v f="$full" -v i="$i" -v n="$trials" 'BEGIN { printf "%.3f", f * (0.3 + 0.7 * i / n) }')
  wine "$exe" "-img:$(win "$work/disk.img")" "/import:$(win "$work/del.reg")" >/dev/null 2>&1 &
  pid=$!
  sleep "$delay"
  kill -9 "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  rm -rf "$work/x" && mkdir "$work/x"
  if ! ntfscat "$work/disk.img" "$config/SOFTWARE" > "$work/x/h" 2>"$work/x/err"; then
    lost=$((lost + 1))
    printf '   trial %2d  kill after %6s s  LOST: the hive file cannot be read: %s\n' "$i" \
      "$delay" "$(head -1 "$work/x/err")"
    continue
  fi
  logs=""
  for l in LOG1 LOG2; do
    if ntfscat "$work/disk.img" "$config/SOFTWARE.$l" > "$work/x/h.$l" 2>/dev/null; then
      logs="$logs $work/x/h.$l"
    fi
  done
  set -- $($replay seq "$work/x/h")
  if [ "$1" = "$2" ] && [ "$3" = 1 ]; then state=clean; cp "$work/x/h" "$work/x/r"
  else state=replayed; $replay recover "$work/x/h" "$work/x/r" $logs >/dev/null || state=unreplayable
  fi
  seen=$(hivexget "$work/x/r" '\Vro' Hive 2>&1 || true)
  ours=$(wine "$exe" "-img:$(win "$work/disk.img")" \
    "/export:$(win "$work/x/vro.reg")::HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro" >/dev/null 2>&1; echo $?)
  text=$(iconv -f UTF-16 -t UTF-8 "$work/x/vro.reg" 2>/dev/null | grep '"Hive"' | tr -d '\r' || true)
  case "$seen|$ours|$text" in
    'imported|0|"Hive"="imported"') old=$((old + 1)); what=old;;
    'deleted|0|"Hive"="deleted"') new=$((new + 1)); what=new;;
    *) lost=$((lost + 1)); what="LOST: hivex '$seen', export $ours '$text'";;
  esac
  printf '   trial %2d  kill after %6s s  %-12s %s\n' "$i" "$delay" "$state" "$what"
done
echo "== $trials kills: $old old, $new new, $lost lost"
[ "$lost" -eq 0 ]
