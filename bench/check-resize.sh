#!/usr/bin/env bash
# Speed of the NTFS check and grow against ntfsfix and ntfsresize on volumes
# of the same size and content (not a test: it prints numbers and asserts no
# speed).
#   bench/check-resize.sh [WORKDIR]     as root (FUSE mount)
# The build dir is $VRO_BUILD_DIR (default build/); it is configured and the
# program built when needed. WORKDIR defaults to BUILD/bench-check-resize.
# Makes a tree of $VRO_BENCH_FILES files (20,000) in 100 folders, puts it on
# a 20 GiB own sparse image ("/create:" and "/inject:") and on a 20 GiB
# volume of mkntfs (ntfs-3g mount and cp -r), then times, whole processes,
# the median of $VRO_BENCH_ROUNDS rounds (3):
#   check     "-noupd /check"            ntfsfix -n
#   grow      "-noupd /size:40960" on a copy   ntfsresize -f -s 40G on a copy
#   start     the program with a malformed "/create:0"
# and prints each ratio as whole processes and with our start taken off.
# Our grown volume is checked afterwards with "/check".
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VRO_BUILD_DIR:-$root/build}
work=${1:-$build/bench-check-resize}
rounds=${VRO_BENCH_ROUNDS:-3}
files=${VRO_BENCH_FILES:-20000}
source "$root/bench/lib.sh"
require mkntfs ntfsfix ntfsresize ntfs-3g truncate

trap 'umount "$work/mnt" 2>/dev/null || true; wineserver -k 2>/dev/null || true' EXIT
win() { printf 'Z:%s' "$1" | tr / '\\'; }

rm -rf "$work"
mkdir -p "$work/t" "$work/tree" "$work/mnt"
echo "== $files files, 20 GiB volumes, in $work"
python3 - "$work/tree" "$files" <<'PY'
import os, sys
root, count = sys.argv[1], int(sys.argv[2])
for i in range(count):
    d = os.path.join(root, "D%03d" % (i % 100))
    if i < 100:
        os.mkdir(d)
    with open(os.path.join(d, "f%06d.txt" % i), "w") as f:
        f.write("file %d\n" % i * (1 + i % 7))
PY
image="$work/ours.img"
peer="$work/peer.img"
ours "-img:$(win "$image")" /create:20480 >/dev/null 2>&1
ours "-img:$(win "$image")" -noupd "/inject:\\T::$(win "$work/tree")" >/dev/null 2>&1 ||
  echo "   (the inject into our image failed)"
truncate -s 20G "$peer"
mkntfs -Q -F -q "$peer"
ntfs-3g "$peer" "$work/mnt"
cp -r "$work/tree" "$work/mnt/T"
umount "$work/mnt"

for r in $(seq 1 "$rounds"); do
  timed start sh -c 'wine "$1" "$2" /create:0; [ $? -eq 243 ]' sh "$exe" "-img:$(win "$work/none.img")"
  timed check ours "-img:$(win "$image")" -noupd /check
  timed ntfsfix ntfsfix -n "$peer"
  rm -f "$work/ours-grow.img"* "$work/peer-grow.img"
  cp --sparse=always "$image" "$work/ours-grow.img"
  cp --sparse=always "$peer" "$work/peer-grow.img"
  truncate -s 40G "$work/peer-grow.img"
  timed grow ours "-img:$(win "$work/ours-grow.img")" -noupd /size:40960
  timed ntfsresize sh -c 'echo y | ntfsresize -f -s 40G "$1"' sh "$work/peer-grow.img"
done

ours "-img:$(win "$work/ours-grow.img")" -noupd /check >/dev/null 2>&1 ||
  echo "   (our grown volume does not pass /check!)"

echo "== Medians (s); ratio = ours / peer; 'less start' takes our start off"
s=$(med start)
row() { ratio_row "$@" 20; }
printf '   %-20s %7.2f\n' "start, /create:0" "$s"
row "/check" "$(med check)" "ntfsfix -n" "$(med ntfsfix)"
row "/size:40960" "$(med grow)" "ntfsresize" "$(med ntfsresize)"
