#!/usr/bin/env bash
# Imports on a host disk that fills up (not a test: it prints what it found
# and ends with 1 only when an import was left half done or reported wrong).
# The images lie on a small tmpfs of their own; before each trial a filler
# file leaves only so much room free, at points spread over what a whole
# import takes on the host. Two imports through the real program:
#   - a .reg of 4,800 values over SYSTEM and SOFTWARE of a FAT32 image;
#   - a .reg into HKLM\BCD00000000, the store at \Boot\BCD of an NTFS image.
# After each: the exit code; the hives as mcopy or ntfscat take them off the
# disk, read by hivexget (the import there or not) with their sequence
# numbers (equal: clean); the program's own "/export:" of the imported keys;
# fsck.fat -n on the FAT volume. Sound: -16 with every hive as it was and
# clean, or 0 with the import in every hive.
#   bench/import-full-disk.sh [WORKDIR]      (run as root: it mounts a tmpfs)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VRO_BUILD_DIR:-$root/build}
work=${1:-$build/bench-import-full-disk}
source "$root/bench/lib.sh"
require mcopy fsck.fat ntfscat hivexget python3 fallocate
fill="$work/fill"
trap 'umount "$fill" 2>/dev/null || true' EXIT
umount "$fill" 2>/dev/null || true
rm -rf "$work"
mkdir -p "$work/t" "$fill"
mount -t tmpfs -o size=160m tmpfs "$fill"
replay="/usr/bin/python3 $root/tests/fixtures/hive-logs.py"
config=/Windows/System32/config

"$root/tests/fixtures/mk-wintree.sh" "$work/tree" --no-kernel --bcd >/dev/null
fatstart=$("$root/tests/fixtures/mk-disk.sh" "$work/fat.img" --fs fat32 --layout mbr2048 \
  --size 64 --tree "$work/tree")
ntfsstart=$("$root/tests/fixtures/mk-disk.sh" "$work/ntfs.img" --layout mbr2048 --size 64 \
  --tree "$work/tree")
python3 - "$work/two.reg" "$work/bcd.reg" <<'PY'
import sys
lines = ["Windows Registry Editor Version 5.00", ""]
for root in ("SYSTEM", "SOFTWARE"):
    lines.append("[HKEY_LOCAL_MACHINE\\%s\\VroFill]" % root)
    for v in range(2400):
        lines.append('"v%04d"="%s"' % (v, ("%s value %04d " % (root, v)) * 6))
    lines.append("")
open(sys.argv[1], "wb").write(("\r\n".join(lines) + "\r\n").encode("utf-16"))
lines = ["Windows Registry Editor Version 5.00", "",
         "[HKEY_LOCAL_MACHINE\\BCD00000000\\VroFill]"]
for v in range(400):
    lines.append('"v%04d"="%s"' % (v, "boot store value %04d " % v * 4))
open(sys.argv[2], "wb").write(("\r\n".join(lines) + "\r\n\r\n").encode("utf-16"))
PY

part() {  # part IMAGE START OUT
  dd if="$1" of="$3" bs=512 skip="$2" count=$((64 * 2048)) status=none
}
# hive_state FILE KEYVALUE: "new" or "old", then "clean" or "dirty".
hive_state() {
  local got seq
  if hivexget "$1" '\VroFill' "$2" >/dev/null 2>&1; then got=new; else got=old; fi
  set -- $($replay seq "$1")
  if [ "$1" = "$2" ] && [ "$3" = 1 ]; then seq=clean; else seq="dirty($1/$2)"; fi
  echo "$got $seq"
}

free_room() { df -B1 --output=avail "$fill" | tail -1; }

# trial KIND ROOM: the import with ROOM bytes free on the host; prints one
# line and counts it.
sound=0 unsound=0
trial() {
  local kind=$1 room=$2 img reg code states fsckv="" exported verdict
  rm -f "$fill"/*
  img="$fill/$kind.img"
  cp --sparse=always "$work/$kind.img" "$img"
  local avail
  avail=$(free_room)
  if [ "$room" -ge 0 ] && [ "$avail" -gt "$room" ]; then
    fallocate -l $((avail - room)) "$fill/filler"
  fi
  if [ "$kind" = fat ]; then reg=two.reg; else reg=bcd.reg; fi
  code=$(wine "$exe" "-img:$(win "$img")" "/import:$(win "$work/$reg")" >/dev/null 2>&1; echo $?)
  rm -f "$fill/filler"
  rm -rf "$work/x" && mkdir "$work/x"
  if [ "$kind" = fat ]; then
    part "$img" "$fatstart" "$work/x/p"
    mcopy -n -i "$work/x/p" "::$config/SYSTEM" "$work/x/SYSTEM"
    mcopy -n -i "$work/x/p" "::$config/SOFTWARE" "$work/x/SOFTWARE"
    states="SYSTEM $(hive_state "$work/x/SYSTEM" v2399), SOFTWARE $(hive_state "$work/x/SOFTWARE" v2399)"
    if fsck.fat -n "$work/x/p" >"$work/x/fsck" 2>&1; then fsckv=", fsck clean"
    else fsckv=", fsck: $(grep -v '^fsck.fat\|^Checking\|^Leaving\|^/' "$work/x/fsck" | head -1)"; fi
    exported=$(wine "$exe" "-img:$(win "$img")" \
      "/export:$(win "$work/x/e.reg")::HKEY_LOCAL_MACHINE" >/dev/null 2>&1; echo $?)
  else
    part "$img" "$ntfsstart" "$work/x/p"
    ntfscat "$work/x/p" /Boot/BCD > "$work/x/BCD" 2>/dev/null || ntfsfix "$work/x/p" >/dev/null 2>&1
    ntfscat "$work/x/p" /Boot/BCD > "$work/x/BCD"
    states="BCD $(hive_state "$work/x/BCD" v0399)"
    exported=$(wine "$exe" "-img:$(win "$img")" \
      "/export:$(win "$work/x/e.reg")::HKEY_LOCAL_MACHINE\\BCD00000000" >/dev/null 2>&1; echo $?)
  fi
  local ours
  ours=$(iconv -f UTF-16 -t UTF-8 "$work/x/e.reg" 2>/dev/null | grep -c '^"v[0-9]*"=' || true)
  verdict=sound
  if [ "$code" = 0 ]; then
    case "$states" in *old*|*dirty*) verdict=UNSOUND;; esac
  else
    case "$states" in *new*|*dirty*) verdict=UNSOUND;; esac
  fi
  case "$fsckv" in ", fsck:"*) verdict=UNSOUND;; esac
  if [ "$verdict" = sound ]; then sound=$((sound + 1)); else unsound=$((unsound + 1)); fi
  printf '   %-4s %9s B free  exit %4s  %s%s; export %s (%s values)  %s\n' "$kind" "$room" \
    "$((code > 127 ? code - 256 : code))" "$states" "$fsckv" "$exported" "$ours" "$verdict"
}

for kind in fat ntfs; do
  # What a whole import takes on the host: the points lie below it.
  rm -f "$fill"/*
  cp --sparse=always "$work/$kind.img" "$fill/probe.img"
  before=$(du -B1 "$fill/probe.img" | cut -f1)
  if [ "$kind" = fat ]; then reg=two.reg; else reg=bcd.reg; fi
  wine "$exe" "-img:$(win "$fill/probe.img")" "/import:$(win "$work/$reg")" >/dev/null 2>&1 || true
  after=$(du -B1 "$fill/probe.img" | cut -f1)
  need=$((after - before))
  echo "== $kind: a whole import takes $need bytes on the host"
  for k in 0 1 2 3 4 5 6 7; do
    trial "$kind" $((need * k / 8))
  done
  trial "$kind" -1
done
echo "== $((sound + unsound)) trials: $sound sound, $unsound unsound"
[ "$unsound" -eq 0 ]
