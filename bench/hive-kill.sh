#!/usr/bin/env bash
# Hive saves under kill -9 (not a test: it prints what it found and ends
# with 1 only when a hive was lost, or two hives of one import disagree).
#   bench/hive-kill.sh [WORKDIR]
# Cases ($VRO_KILL_CASES, both by default):
#   two    An own-format image of an offline Windows (mk-wintree.sh) whose
#          update file took a first "/import:" that set "\Vro" "State" to
#          "old" in SOFTWARE and SYSTEM. $VRO_KILL_TRIALS times (150), a
#          fresh copy of that update file takes "-img:UPDATE /import:" of a
#          .reg that adds $VRO_HIVE_KEYS keys (6000) of five 1000-character
#          values under SOFTWARE\Big (about 60 MB, so the save takes a
#          while) and sets "State" to "new" in both hives; it is killed with
#          kill -9 at delays spread evenly from the moment the update file
#          first grows to a little past a whole run's end. After each kill a
#          plain copy of the update file's disk ("/p /convert:", which rolls
#          a cut-off command back first) gives SOFTWARE and SYSTEM to
#          ntfscat, and hivexget reads both as they lie: both "old" (and no
#          \Big) or both "new" (with the last of the \Big values) count;
#          a mix of the two, or a hive that cannot be read, is a failure.
#   plain  The earlier loop over a plain disk: SOFTWARE holds about 60 MB of
#          values (imported by the program first); "-img:DISK /import:" of a
#          .reg that deletes them again and sets "\Vro" "Hive" to "deleted"
#          (a save that rewrites nearly every page of the hive) is killed at
#          times spread over the later 70% of a full run's time,
#          $VRO_KILL_PLAIN_TRIALS times (30). SOFTWARE is read as ntfscat
#          takes it off the disk, after the logs were replayed by the
#          fixtures' own replay when the base block says a write was cut
#          off: "\Vro" "Hive" must be the old text ("imported") or the new
#          one ("deleted"), and the program's own "/export:" must agree.
# Uses a Wine prefix of its own: the kills never reach another run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VRO_BUILD_DIR:-$root/build}
work=$(realpath -m "${1:-$build/bench-hive-kill}")
trials=${VRO_KILL_TRIALS:-150}
plain_trials=${VRO_KILL_PLAIN_TRIALS:-30}
keys=${VRO_HIVE_KEYS:-6000}
cases=${VRO_KILL_CASES:-two plain}
source "$root/bench/lib.sh"
require ntfscat hivexget hivexsh python3 mkntfs
export WINEPREFIX="$work-prefix"
"$root/tests/wine-prefix.sh" >/dev/null
wineserver -p 2>/dev/null || true

trap 'wineserver -k 2>/dev/null || true' EXIT
rm -rf "$work"
mkdir -p "$work/t"
"$root/tests/fixtures/mk-wintree.sh" "$work/tree" --no-kernel >/dev/null
replay="/usr/bin/python3 $root/tests/fixtures/hive-logs.py"
config=/Windows/System32/config
failed=0
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
# utf16_reg FILE: the text on stdin as a .reg file in UTF-16 with its mark.
utf16_reg() { { printf '\xff\xfe'; iconv -f UTF-8 -t UTF-16LE; } > "$1"; }

for c in $cases; do
  case $c in
  two)
    "$root/tests/fixtures/mk-disk.sh" "$work/raw.img" --layout none --size 256 \
      --tree "$work/tree" >/dev/null
    ours "-img:$(win "$work/two.vmd")" "/convert:$(win "$work/raw.img")" >/dev/null 2>&1 || {
      echo "cannot make the own image" >&2; exit 1; }
    rm -f "$work/raw.img"
    printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro]\r\n"State"="old"\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\Vro]\r\n"State"="old"\r\n' |
      utf16_reg "$work/old.reg"
    python3 - "$work/new.tmp" "$keys" <<'PY'
import sys
lines = ["Windows Registry Editor Version 5.00", ""]
for k in range(int(sys.argv[2])):
    lines.append("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Big\\k%04d]" % k)
    for v in range(5):
        lines.append('"v%d"="%s"' % (v, ("%04d" % k) * 250))
    lines.append("")
lines += ["[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro]", '"State"="new"', "",
          "[HKEY_LOCAL_MACHINE\\SYSTEM\\Vro]", '"State"="new"', ""]
open(sys.argv[1], "w").write("\r\n".join(lines) + "\r\n")
PY
    utf16_reg "$work/new.reg" < "$work/new.tmp"
    rm -f "$work/new.tmp"
    last=$(printf 'k%04d' $((keys - 1)))
    lastdata=$(printf '%04d' $((keys - 1)))
    ours "-img:$(win "$work/two.vmd")" "/import:$(win "$work/old.reg")" >/dev/null 2>&1 || {
      echo "the first import failed" >&2; exit 1; }
    top="$work/two.vmd_01.Upd"
    cp "$top" "$work/two.saved"
    imp=(-img:"$(win "$top")" "/import:$(win "$work/new.reg")")
    want=$(printf "$lastdata%.0s" $(seq 250))
    # hive_state HIVE SOFTWARE|SYSTEM: old, new, or what was read.
    hive_state() {
      local s big=-
      s=$(hivexget "$1" '\Vro' State 2>/dev/null) || { echo unreadable; return; }
      if [ "$2" = SOFTWARE ]; then
        if hivexget "$1" '\Big' >/dev/null 2>&1; then
          [ "$(hivexget "$1" "\\Big\\$last" v4 2>/dev/null || true)" = "$want" ] && big=all || big=part
        else big=none
        fi
      fi
      case "$s|$big" in
        old\|-|old\|none) echo old;;
        new\|-|new\|all) echo new;;
        *) echo "State '$s' \\Big $big";;
      esac
    }
    # The time of a whole run, and when the update file first grows in it.
    cp "$work/two.saved" "$top"
    t0=$(now); k=$(kill_on_growth "$top" 9999 wine "$exe" "${imp[@]}"); t1=$(now)
    full=$(seconds "$t0" "$t1")
    set -- $k
    [ "$1 $2" = "ended 0" ] && [ "$3" != - ] || { echo "an uncut import: $k" >&2; exit 1; }
    grow=$3
    window=$(awk -v f="$full" -v g="$grow" 'BEGIN { printf "%.3f", (f - g) * 1.1 }')
    echo "== two: an uncut import into the update file takes $full s, the file first grows after $grow s;" \
      "$trials kills at 0..$window s from then"
    both_old=0 both_new=0 mixed=0 lost=0 rolled=0 dirty=0 killed=0 leftover=0
    for t in $(seq 1 "$trials"); do
      rm -f "$top".* "$work"/*.journal*
      cp "$work/two.saved" "$top"
      delay=$(awk -v w="$window" -v t="$t" -v n="$trials" 'BEGIN { printf "%.4f", (n > 1 ? w * (t - 1) / (n - 1) : 0) }')
      k=$(kill_on_growth "$top" "$delay" wine "$exe" "${imp[@]}")
      case $k in killed*) killed=$((killed + 1));; esac
      rm -rf "$work/x" && mkdir "$work/x"
      r=0
      ours -img:"$(win "$work/x/plain.img")" /p "/convert:$(win "$top")" > "$work/x/convert.out" 2>&1 || r=$?
      back=-
      grep -q 'rolled back from its journal' "$work/x/convert.out" && { back="rolled back"; rolled=$((rolled + 1)); }
      sw="no copy ($r)" sy="no copy ($r)"
      if [ $r -eq 0 ]; then
        # A header sector, then the volume.
        dd if="$work/x/plain.img" of="$work/x/vol" bs=512 skip=1 status=none
        rm -f "$work/x/plain.img"
        sw=unreadable sy=unreadable
        if ntfscat "$work/x/vol" "$config/SOFTWARE" > "$work/x/SOFTWARE" 2>/dev/null; then
          sw=$(hive_state "$work/x/SOFTWARE" SOFTWARE)
        fi
        if ntfscat "$work/x/vol" "$config/SYSTEM" > "$work/x/SYSTEM" 2>/dev/null; then
          sy=$(hive_state "$work/x/SYSTEM" SYSTEM)
        fi
        for h in SOFTWARE SYSTEM; do
          [ -s "$work/x/$h" ] || continue
          set -- $($replay seq "$work/x/$h")
          [ "$1" = "$2" ] && [ "$3" = 1 ] || { dirty=$((dirty + 1)); back="$back, $h base block: $*"; }
        done
      fi
      left=$(ls -d "$top".* 2>/dev/null | xargs -r -n1 basename | tr '\n' ' ' || true)
      [ -z "$left" ] || { leftover=$((leftover + 1)); back="$back, left beside: $left"; }
      case "$sw|$sy" in
        old\|old) both_old=$((both_old + 1)); what="both old";;
        new\|new) both_new=$((both_new + 1)); what="both new";;
        old\|new|new\|old) mixed=$((mixed + 1)); what="MIXED: SOFTWARE $sw, SYSTEM $sy";;
        *) lost=$((lost + 1)); what="LOST: SOFTWARE $sw, SYSTEM $sy";;
      esac
      case $what in
        MIXED*|LOST*)
          mkdir -p /work/bench-keep
          keep=/work/bench-keep/hive-kill-two-$t
          rm -rf "$keep"; mkdir -p "$keep"
          cp "$work/two.saved" "$keep/two.saved"; cp "$work/x/"* "$keep/" 2>/dev/null || true
          what="$what (kept: $keep; delay $delay s after growth)";;
      esac
      printf '   trial %3d  %-14s +%6s s  %-22s %s\n' "$t" "$k" "$delay" "$what" "$back"
    done
    echo "== two: $trials trials ($killed killed, $((trials - killed)) ended before their kill): $both_old both old, $both_new both new, $mixed mixed, $lost lost;" \
      "$rolled rolled back with a line; $dirty hives with a base block of a cut-off write;" \
      "$leftover left a file beside the update file"
    [ $((mixed + lost)) -eq 0 ] || failed=1
    ;;
  plain)
    "$root/tests/fixtures/mk-disk.sh" "$work/pristine.img" --layout none --size 480 \
      --tree "$work/tree" >/dev/null
    make_hive_regs "$work" 6000
    wine "$exe" "-img:$(win "$work/pristine.img")" "/import:$(win "$work/big.reg")" >/dev/null 2>&1

    # The time of a whole run, for where the kills land.
    cp --sparse=always "$work/pristine.img" "$work/disk.img"
    t0=$(now)
    wine "$exe" "-img:$(win "$work/disk.img")" "/import:$(win "$work/del.reg")" >/dev/null 2>&1
    t1=$(now)
    full=$(seconds "$t0" "$t1")
    echo "== plain: a whole delete and save: $full s; $plain_trials kills in its last 70%"

    old=0 new=0 lost=0
    for i in $(seq 1 "$plain_trials"); do
      rm -f "$work"/disk.img.journal*
      cp --sparse=always "$work/pristine.img" "$work/disk.img"
      delay=$(awk -v f="$full" -v i="$i" -v n="$plain_trials" 'BEGIN { printf "%.3f", f * (0.3 + 0.7 * i / n) }')
      wine "$exe" "-img:$(win "$work/disk.img")" "/import:$(win "$work/del.reg")" >/dev/null 2>&1 &
      pid=$!
      sleep "$delay"
      kill -9 "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
      rm -rf "$work/x" && mkdir "$work/x"
      # The program's own export first: it rolls a cut-off command back.
      ours=$(wine "$exe" "-img:$(win "$work/disk.img")" \
        "/export:$(win "$work/x/vro.reg")::HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro" >/dev/null 2>&1; echo $?)
      text=$(iconv -f UTF-16 -t UTF-8 "$work/x/vro.reg" 2>/dev/null | grep '"Hive"' | tr -d '\r' || true)
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
      case "$seen|$ours|$text" in
        'imported|0|"Hive"="imported"') old=$((old + 1)); what=old;;
        'deleted|0|"Hive"="deleted"') new=$((new + 1)); what=new;;
        *) lost=$((lost + 1)); what="LOST: hivex '$seen', export $ours '$text'";;
      esac
      printf '   trial %2d  kill after %6s s  %-12s %s\n' "$i" "$delay" "$state" "$what"
    done
    echo "== plain: $plain_trials kills: $old old, $new new, $lost lost"
    [ "$lost" -eq 0 ] || failed=1
    ;;
  esac
done
[ "$failed" -eq 0 ]
