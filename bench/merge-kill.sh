#!/usr/bin/env bash
# Merges under kill -9 and on a host disk that fills up, and images made
# over existing ones on that disk (not a test: it prints counts).
#   bench/merge-kill.sh [WORKDIR]      ($VRO_KILL_TRIALS kills, 100)
# An own-format base with an NTFS volume gets an update file holding a
# 60 MiB file (or, with VRO_KILL_FIX=1, a write-back file). Each trial
# merges a fresh copy of both ("/merge") and kills the program after a
# delay spread over a whole merge's time (a little past it too). Then, when
# the update file is still there, "/inject:" into the base must give -15
# (the merge was cut off: nothing else writes) or 0 (it had not begun; the
# new update file is removed), and a second "/merge" must give 0. Every
# base must then hold the merged file (ntfscat of its flattened volume) with
# the update file gone.
# Then a small tmpfs (root only) takes the merge, "/create:" over an image
# and "/convert:" onto one at fill points: the command either ends 0 with
# the new state or fails with the old file byte for byte (create, convert)
# or a base that a second merge completes once room is made.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VRO_BUILD_DIR:-$root/build}
work=${1:-$build/bench-merge-kill}
trials=${VRO_KILL_TRIALS:-100}
fix=${VRO_KILL_FIX:-0}
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
ours "-img:$(win "$work/base.vmd")" "/convert:$(win "$work/raw.img")" >/dev/null 2>&1 || {
  echo "cannot make the own image" >&2; exit 1; }
if [ "$fix" = 1 ]; then
  img=(-img:"$(win "$work/base.vmd")" -fix:"$(win "$work/wb.x")")
  top=wb.Fix
else
  img=(-img:"$(win "$work/base.vmd")")
  top=base.vmd_01.Upd
fi
ours "${img[@]}" "/inject:\\::$(win "$work/in")" >/dev/null 2>&1 || { echo "inject failed" >&2; exit 1; }
merge=(-img:"$(win "$work/base.vmd")" -fix:"$(win "$work/$top")" /merge)
cp "$work/base.vmd" "$work/base.saved"
cp "$work/$top" "$work/top.saved"

fresh() {
  rm -f "$work/base.vmd.merging" "$work/base.vmd_"*.Upd "$work/wb.Fix"
  cp "$work/base.saved" "$work/base.vmd"
  cp "$work/top.saved" "$work/$top"
}
# holds_merge IMAGE: the flattened volume holds the merged file.
holds_merge() {
  rm -f "$work/flat.raw"
  local c=0
  ours -img:"$(win "$work/flat.raw")" /p "/convert:$(win "$1")" >/dev/null 2>&1 || c=$?
  [ $c -eq 0 ] || { echo "(the flattening gave $c)"; return 1; }
  dd if="$work/flat.raw" of="$work/flat.vol" bs=512 skip=2049 status=none
  ntfscat "$work/flat.vol" /big.bin 2>/dev/null | cmp -s - "$work/in/big.bin" ||
    { echo "(ntfscat reads another /big.bin)"; return 1; }
}

fresh
t0=$(now)
ours "${merge[@]}" >/dev/null 2>&1 || { echo "a whole merge failed" >&2; exit 1; }
t1=$(now)
full=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')
holds_merge "$work/base.vmd" || { echo "a whole merge lost the file" >&2; exit 1; }
echo "== a whole merge: $full s; $trials kills spread over 0..110% of it"

finished=0 cut=0 untouched=0 again=0 held=0 bad=0
for t in $(seq 1 "$trials"); do
  fresh
  delay=$(awk -v t="$t" -v n="$trials" -v f="$full" 'BEGIN { printf "%.3f", f * 1.1 * (t - 1) / n }')
  wine "$exe" "${merge[@]}" >/dev/null 2>&1 &
  pid=$!
  sleep "$delay"
  kill -9 "$pid" 2>/dev/null || true
  sleep 0.2
  wait "$pid" 2>/dev/null || true
  state=
  if [ ! -e "$work/$top" ]; then
    finished=$((finished + 1)); state=finished
  else
    # Another writer: refused while a merge is unfinished, else it goes
    # into a new update file (removed again).
    i=0
    ours "-img:$(win "$work/base.vmd")" "/inject:\\s2.txt::$(win "$work/in/small.txt")" \
      >/dev/null 2>&1 || i=$?
    for f in "$work"/base.vmd_*.Upd; do [ "$f" = "$work/$top" ] || rm -f "$f"; done
    if [ $i -eq 241 ]; then cut=$((cut + 1)); state="cut off, other writes refused (-15)"
    elif [ $i -eq 0 ]; then untouched=$((untouched + 1)); state="not begun"
    else state="OTHER WRITE GAVE $i"; fi
    m=0
    ours "${merge[@]}" >/dev/null 2>&1 || m=$?
    [ $m -eq 0 ] && again=$((again + 1))
    state="$state, merged again: $m"
  fi
  why=$(holds_merge "$work/base.vmd") && [ ! -e "$work/$top" ] && why=ok || true
  if [ "$why" = ok ]; then
    held=$((held + 1))
  else
    bad=$((bad + 1)); state="$state; MERGED FILE MISSING $why"
  fi
  echo "trial $t: killed after ${delay}s: $state"
done
echo "== $trials kills: $finished had finished, $untouched had not begun, $cut were cut off (other writes refused with -15); $again second merges gave 0; $held bases hold the merged file, $bad do not"

# Fill points: a tmpfs a little too small, made smaller step by step.
if [ "$(id -u)" != 0 ]; then echo "== fill points need root (tmpfs)"; exit 0; fi
mkdir -p "$work/full"
# What each command writes, measured once with room to spare.
mount -t tmpfs -o size=1g tmpfs "$work/full"
ours "-img:$(win "$work/full/old.vmd")" /create:64 >/dev/null 2>&1
u0=$(df -B1 --output=used "$work/full" | tail -1)
ours "-img:$(win "$work/full/c.vmd")" /create:300 >/dev/null 2>&1
u1=$(df -B1 --output=used "$work/full" | tail -1)
ours "-img:$(win "$work/full/v.vmd")" "/convert:$(win "$work/base.saved")" >/dev/null 2>&1
u2=$(df -B1 --output=used "$work/full" | tail -1)
umount "$work/full"
need_create=$((u1 - u0)) need_convert=$((u2 - u1))
need_merge=$(( $(du -B1 "$work/base.saved" | cut -f1) + $(du -B1 "$work/top.saved" | cut -f1) + (1 << 20) ))
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
        cp "$work/base.saved" "$work/full/base.vmd"
        cp "$work/top.saved" "$work/full/$top"
        ours -img:"$(win "$work/full/base.vmd")" -fix:"$(win "$work/full/$top")" /merge >/dev/null 2>&1 || r=$?
        if [ $r -eq 0 ]; then
          holds_merge "$work/full/base.vmd" >/dev/null && { ok=$((ok + 1)); state=merged; } || { badfill=$((badfill + 1)); state="0 but file missing"; }
        else
          i=0
          ours "-img:$(win "$work/full/base.vmd")" -noupd "/inject:\\s2.txt::$(win "$work/in/small.txt")" >/dev/null 2>&1 || i=$?
          state="failed ($r), another writer got $i"
          # Room made: the cut merge completes.
          mount -o remount,size=$((size * 3)) "$work/full"
          if [ $i -eq 241 ] &&
            ours -img:"$(win "$work/full/base.vmd")" -fix:"$(win "$work/full/$top")" /merge >/dev/null 2>&1 &&
            holds_merge "$work/full/base.vmd" >/dev/null; then
            old=$((old + 1)); state="$state, merged again"
          else
            badfill=$((badfill + 1)); state="$state, NOT COMPLETED"
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
          ours "-img:$(win "$work/full/old.vmd")" "/convert:$(win "$work/base.saved")" >/dev/null 2>&1 || r=$?
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
  echo "== $kind at 5 fill points: $ok done, $old failed with the old state kept (merge: other writes refused, completed once room was made), $badfill broken"
done
