#!/usr/bin/env bash
# Merges under kill -9 and on a host disk that fills up, and images made
# over existing ones on that disk (not a test: it prints counts, and ends
# with 1 when a base was left in a state that is neither).
#   bench/merge-kill.sh [WORKDIR]      ($VRO_KILL_TRIALS kills, 100)
# An own-format base with an NTFS volume gets an update file holding a
# 60 MiB file (or, with VRO_KILL_FIX=1, a write-back file; with
# VRO_KILL_BASE=raw or vhd the base is a raw image or a dynamic VHD, which
# keep no identity, and a write-back file over it). Each trial merges a
# fresh copy of both, in a folder of their own ("/merge"), and kills the
# program with kill -9 after a delay from the moment the base first grows
# or its journal appears (its writing begins), spread evenly to a little
# past a whole merge's end. Then, by the trial's number (t % 4), the overlay is left as
# it is, deleted, renamed, or the whole folder (base, overlay and whatever
# lies beside them, journals included) is moved elsewhere. The next command
# on the base alone ("/extract:" of its volume) must give 0 (or -15 with the
# line of a merge record whose file is gone, which only an earlier version
# leaves), and the base must then be the old one byte for byte or the
# merged one (byte for byte as an uncut merge left it, or its volume read
# by ntfscat holding the merged files); anything else is a silent loss.
# Where the overlay is still there (left, renamed or moved with the folder)
# a second "/merge" of it must give 0 and leave the merged base.
# Then a small tmpfs (root only) takes the merge, "/create:" over an image
# and "/convert:" onto one at fill points: the command either ends 0 with
# the new state or fails with the old file byte for byte (create, convert)
# or the old base and overlay byte for byte that a second merge completes
# once room is made (merge).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VRO_BUILD_DIR:-$root/build}
work=$(realpath -m "${1:-$build/bench-merge-kill}")
trials=${VRO_KILL_TRIALS:-100}
fix=${VRO_KILL_FIX:-0}
case ${VRO_KILL_BASE:-own} in
  own) base=base.vmd;;
  raw) base=base.img fix=1;;
  vhd) base=base.vhd fix=1;;
  *) echo "VRO_KILL_BASE: own, raw or vhd" >&2; exit 2;;
esac
# Copies keep the base's time: a write-back file over a raw image or VHD is
# bound to it.
saved=$work/saved-$base
source "$root/bench/lib.sh"
# No display: "/merge" would open the main window after it.
unset DISPLAY
require ntfscat mkntfs
export WINEPREFIX="$work-prefix"
"$root/tests/wine-prefix.sh" >/dev/null
wineserver -p 2>/dev/null || true
trap 'wineserver -k 2>/dev/null || true; umount "$work/full" 2>/dev/null || true' EXIT
umount "$work/full" 2>/dev/null || true
rm -rf "$work"
mkdir -p "$work/t" "$work/in"
head -c $((60 << 20)) /dev/urandom > "$work/in/big.bin"
printf 'one line' > "$work/in/small.txt"
"$root/tests/fixtures/mk-disk.sh" "$work/raw.img" --size 160 --layout mbr2048 >/dev/null
case $base in
  base.vmd) ours "-img:$(win "$work/$base")" "/convert:$(win "$work/raw.img")" >/dev/null 2>&1;;
  base.img) cp "$work/raw.img" "$work/$base";;
  base.vhd) require qemu-img
    qemu-img convert -f raw -O vpc -o subformat=dynamic,force_size=on "$work/raw.img" "$work/$base";;
esac || { echo "cannot make the base image" >&2; exit 1; }
if [ "$fix" = 1 ]; then
  img=(-img:"$(win "$work/$base")" -fix:"$(win "$work/wb.x")")
  top=wb.Fix
else
  img=(-img:"$(win "$work/$base")")
  top=base.vmd_01.Upd
fi
# Where the writing of a merge shows first: the own image grows, the
# others' journal appears.
[ $base = base.vmd ] && grows=$base || grows=$base.journal
ours "${img[@]}" "/inject:\\::$(win "$work/in")" >/dev/null 2>&1 || { echo "inject failed" >&2; exit 1; }
cp -p "$work/$base" "$saved"
cp -p "$work/$top" "$work/top.saved"

fresh() {
  rm -rf "$work/d" "$work/moved"
  mkdir -p "$work/d"
  cp -p "$saved" "$work/d/$base"
  cp -p "$work/top.saved" "$work/d/$top"
}
# flat_state IMAGE: "merged" when the flattened volume holds the merged
# files (ntfscat), "old" when it holds neither, else what it holds.
flat_state() {
  rm -f "$work/flat.raw" "$work/flat.vol"
  local c=0 big=no small=no
  ours -img:"$(win "$work/flat.raw")" /p "/convert:$(win "$1")" >/dev/null 2>&1 || c=$?
  [ $c -eq 0 ] || { echo "not flattened ($c)"; return; }
  dd if="$work/flat.raw" of="$work/flat.vol" bs=512 skip=2049 status=none
  rm -f "$work/flat.raw"
  ntfscat "$work/flat.vol" /big.bin 2>/dev/null | cmp -s - "$work/in/big.bin" && big=yes
  ntfscat "$work/flat.vol" /small.txt 2>/dev/null | cmp -s - "$work/in/small.txt" && small=yes
  ntfscat "$work/flat.vol" /big.bin >/dev/null 2>&1 || big=none
  ntfscat "$work/flat.vol" /small.txt >/dev/null 2>&1 || small=none
  rm -f "$work/flat.vol"
  case $big$small in
    yesyes) echo merged;;
    nonenone) echo "old volume";;
    *) echo "big.bin $big, small.txt $small";;
  esac
}
# base_state IMAGE: old (byte for byte), merged (byte for byte, or its
# volume), or what it is.
base_state() {
  if cmp -s "$1" "$saved"; then echo old
  elif cmp -s "$1" "$work/merged.saved"; then echo merged
  else
    local f
    f=$(flat_state "$1")
    [ "$f" = merged ] && echo "merged (volume)" || echo "NEITHER: $f"
  fi
}

fresh
merge=(-img:"$(win "$work/d/$base")" -fix:"$(win "$work/d/$top")" /merge)
# The time of a whole merge, and when the base first grows in it (its
# writing begins), medians of 3: the kills land from then to a little past
# the end.
for r in 1 2 3; do
  fresh
  t0=$(now)
  k=$(kill_on_growth "$work/d/$grows" 9999 wine "$exe" "${merge[@]}")
  t1=$(now)
  set -- $k
  [ "$1 $2" = "ended 0" ] && [ "$3" != - ] || { echo "a whole merge: $k" >&2; exit 1; }
  echo "$3" >> "$work/t/grow"
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f\n", b - a }' >> "$work/t/full"
  awk -v a="$t0" -v b="$t1" -v g="$3" 'BEGIN { printf "%.3f\n", b - a - g }' >> "$work/t/writing"
done
grow=$(med grow) full=$(med full)
window=$(awk -v w="$(med writing)" 'BEGIN { printf "%.3f", w * 1.1 }')
[ "$(flat_state "$work/d/$base")" = merged ] || { echo "a whole merge lost the file" >&2; exit 1; }
cp "$work/d/$base" "$work/merged.saved"
fresh
ours "${merge[@]}" >/dev/null 2>&1
cmp -s "$work/d/$base" "$work/merged.saved" && same="the same bytes" || same="other bytes"
echo "== a whole merge: $full s, the base first grows after $grow s (two uncut merges left $same);" \
  "$trials kills at 0..$window s from then"

finished=0 old=0 merged=0 refused=0 failed=0 silent=0 again=0 again_bad=0 leftover=0 killed=0
declare -A by_action
for t in $(seq 1 "$trials"); do
  fresh
  delay=$(awk -v t="$t" -v n="$trials" -v w="$window" 'BEGIN { printf "%.4f", w * (t - 1) / n }')
  k=$(kill_on_growth "$work/d/$grows" "$delay" wine "$exe" "${merge[@]}")
  case $k in killed*) killed=$((killed + 1));; esac
  sleep 0.2
  beside=$(cd "$work/d" && ls -A | grep -v -x -e $base -e "$top" | tr '\n' ' ' || true)
  dir=$work/d over=
  [ -e "$work/d/$top" ] && over=$work/d/$top || finished=$((finished + 1))
  case $((t % 4)) in
    0) action=left;;
    1) action=deleted; rm -f "$work/d/$top"; over=;;
    2) action=renamed
       [ -z "$over" ] || { mv "$work/d/$top" "$work/d/renamed.bin"; over=$work/d/renamed.bin; };;
    3) action="folder moved"
       mkdir -p "$work/moved"; mv "$work/d" "$work/moved/d"; dir=$work/moved/d
       [ -z "$over" ] || over=$dir/$top;;
  esac
  # The next command, on the base alone.
  rm -rf "$work/out"
  r=0
  ours "-img:$(win "$dir/$base")" "/extract:\\::$(win "$work/out")" > "$work/next.out" 2>&1 || r=$?
  lines=$(tr -d '\r' < "$work/next.out" | awk -F': ' 'NF > 1 { n = split($1, p, "\\"); printf "%s: %s...; ", p[n], substr($2, 1, 40) }')
  st=$(base_state "$dir/$base")
  # What the extract read must be what the base holds.
  case $st in
    old) [ ! -e "$work/out/big.bin" ] || st="NEITHER: old bytes, but the extract gave big.bin";;
    merged*) cmp -s "$work/out/big.bin" "$work/in/big.bin" || st="NEITHER: merged, but the extract gave another big.bin";;
  esac
  if [ $r -eq 241 ] && grep -q 'IMAGE.merging' "$work/next.out"; then
    refused=$((refused + 1)); what="refused (-15) with its line"
  elif [ $r -ne 0 ]; then
    failed=$((failed + 1)); what="NEXT COMMAND GAVE $r"
  else
    case $st in
      old) old=$((old + 1)); what=old;;
      merged*) merged=$((merged + 1)); what=$st;;
      *) silent=$((silent + 1)); what="SILENT LOSS: $st";;
    esac
  fi
  by_action["$action $what"]=$(( ${by_action["$action $what"]:-0} + 1 ))
  # The overlay, where it is still there, merges again.
  m=-
  if [ -n "$over" ]; then
    m=0
    ours "-img:$(win "$dir/$base")" "-fix:$(win "$over")" /merge >/dev/null 2>&1 || m=$?
    st2=$(base_state "$dir/$base")
    if [ $m -eq 0 ] && [ "${st2%% *}" = merged ] && [ ! -e "$over" ]; then again=$((again + 1))
    else again_bad=$((again_bad + 1)); m="$m, BASE $st2"; [ -e "$over" ] && m="$m, overlay left"
    fi
  fi
  # Whatever is left beside the base once the commands after the kill ran.
  after=$(cd "$dir" && ls -A | grep -v -x -e $base -e "$top" -e renamed.bin | tr '\n' ' ' || true)
  [ -z "$after" ] || { leftover=$((leftover + 1)); m="$m; LEFT BESIDE THE BASE: $after"; }
  case $what in
    SILENT*|NEXT*)
      mkdir -p /work/bench-keep
      keep=/work/bench-keep/merge-kill-$t
      rm -rf "$keep"; cp -r "$dir" "$keep"; cp "$work/next.out" "$keep/next.out"
      what="$what (kept: $keep)";;
  esac
  printf 'trial %3d: %-10s after %6ss, beside: %-24s %-13s next: %s; merged again: %s%s\n' \
    "$t" "${k%% *}" "$delay" "${beside:--}" "$action" "$what" "$m" "${lines:+ (lines: $lines)}"
done
echo "== $trials trials ($killed killed, $((trials - killed)) ended before their kill): $finished merges had finished (overlay gone); next command on the base:" \
  "$old old byte for byte, $merged merged, $refused refused with -15 and its line, $failed other codes," \
  "$silent silent losses; second merges of the overlay: $again gave 0 with the merged base, $again_bad did not;" \
  "$leftover left a file beside the base"
for k in "${!by_action[@]}"; do echo "   $k: ${by_action[$k]}"; done | sort
status=0
[ $((silent + failed + again_bad)) -eq 0 ] || status=1

# Fill points: a tmpfs a little too small, made smaller step by step.
if [ "$(id -u)" != 0 ]; then echo "== fill points need root (tmpfs)"; exit "$status"; fi
mkdir -p "$work/full"
# What each command writes, measured once with room to spare.
mount -t tmpfs -o size=1g tmpfs "$work/full"
ours "-img:$(win "$work/full/old.vmd")" /create:64 >/dev/null 2>&1
u0=$(df -B1 --output=used "$work/full" | tail -1)
ours "-img:$(win "$work/full/c.vmd")" /create:300 >/dev/null 2>&1
u1=$(df -B1 --output=used "$work/full" | tail -1)
ours "-img:$(win "$work/full/v.vmd")" "/convert:$(win "$saved")" >/dev/null 2>&1
u2=$(df -B1 --output=used "$work/full" | tail -1)
umount "$work/full"
need_create=$((u1 - u0)) need_convert=$((u2 - u1))
need_merge=$(( $(du -B1 "$saved" | cut -f1) + $(du -B1 "$work/top.saved" | cut -f1) + (1 << 20) ))
echo "== room taken: create:300 $((need_create >> 10)) KiB, convert $((need_convert >> 10)) KiB; base and update $((need_merge >> 20)) MiB"
for kind in merge create convert; do
  ok=0 old=0 badfill=0
  for k in 1 2 3 4 5; do
    umount "$work/full" 2>/dev/null || true
    # Fill point k: k/6 of the room the command takes (for the merge: of the
    # 60 MiB it adds to the base).
    case $kind in
      merge) size=$(( need_merge + (k * 60 << 20) / 6 ));;
      *) size=$(( 200 << 20 ));;
    esac
    mount -t tmpfs -o size=$size tmpfs "$work/full"
    r=0 state=
    case $kind in
      merge)
        cp -p "$saved" "$work/full/$base"
        cp -p "$work/top.saved" "$work/full/$top"
        ours -img:"$(win "$work/full/$base")" -fix:"$(win "$work/full/$top")" /merge >/dev/null 2>&1 || r=$?
        st=$(base_state "$work/full/$base")
        if [ $r -eq 0 ]; then
          [ "${st%% *}" = merged ] && [ ! -e "$work/full/$top" ] && { ok=$((ok + 1)); state=merged; } ||
            { badfill=$((badfill + 1)); state="0 but the base is $st"; }
        else
          left=$(ls -A "$work/full" | grep -v -x -e $base -e "$top" | tr '\n' ' ' || true)
          state="failed ($r), base $st"
          cmp -s "$work/full/$top" "$work/top.saved" && state="$state, overlay kept" || state="$state, OVERLAY CHANGED"
          [ -z "$left" ] || state="$state, LEFT BESIDE: $left"
          # Room made: the merge is run again and completes.
          mount -o remount,size=$((size * 3)) "$work/full"
          m=0
          ours -img:"$(win "$work/full/$base")" -fix:"$(win "$work/full/$top")" /merge >/dev/null 2>&1 || m=$?
          st2=$(base_state "$work/full/$base")
          if [ "$st" = old ] && [ -z "$left" ] &&
            [[ $state != *CHANGED* ]] && [ $m -eq 0 ] && [ "${st2%% *}" = merged ]; then
            old=$((old + 1)); state="$state, merged again"
          else
            badfill=$((badfill + 1)); state="$state, merged again: $m, base $st2"
          fi
        fi;;
      create|convert)
        # The old image, then filler up to k/6 of the room the command takes.
        ours "-img:$(win "$work/full/old.vmd")" /create:64 >/dev/null 2>&1 || true
        cp "$work/full/old.vmd" "$work/old.saved"
        [ $kind = create ] && want=$need_create || want=$need_convert
        avail=$(df -B1 --output=avail "$work/full" | tail -1)
        head -c $(( avail - want * k / 6 )) /dev/zero > "$work/full/filler" 2>/dev/null || true
        if [ $kind = create ]; then
          ours "-img:$(win "$work/full/old.vmd")" /create:300 >/dev/null 2>&1 || r=$?
        else
          ours "-img:$(win "$work/full/old.vmd")" "/convert:$(win "$saved")" >/dev/null 2>&1 || r=$?
        fi
        left=$(ls -A "$work/full" | grep -v -e '^old.vmd$' -e '^filler$' || true)
        if [ $r -eq 0 ]; then
          ok=$((ok + 1)); state=made
        elif cmp -s "$work/full/old.vmd" "$work/old.saved" && [ -z "$left" ]; then
          old=$((old + 1)); state="failed ($r), old file kept"
        else
          badfill=$((badfill + 1)); state="failed ($r), OLD FILE CHANGED or left: $left"
        fi;;
    esac
    echo "$kind fill point $k/6 (tmpfs $((size >> 20)) MiB): $state"
  done
  [ $kind = merge ] && kept="the old base and overlay kept, merged once room was made" || kept="the old file kept"
  echo "== $kind at 5 fill points: $ok done, $old failed with $kept, $badfill broken"
  [ "$badfill" -eq 0 ] || status=1
done
exit "$status"
