#!/usr/bin/env bash
# Speed of the cluster-by-cluster NTFS clone against ntfsclone on the same
# volume (not a test: it prints numbers and asserts no speed).
#   bench/clone.sh [WORKDIR]     as root (FUSE mount)
# The build dir is $VRO_BUILD_DIR (default build/); it is configured and the
# program built when needed. WORKDIR defaults to BUILD/bench-clone.
# Makes a 4 GiB NTFS volume (mk-disk.sh: mkntfs, ntfs-3g) holding a tree of
# $VRO_BENCH_MB MiB (2048) in files of 1-16 MiB, as a plain disk image with
# one MBR partition, then times, whole processes, the median of
# $VRO_BENCH_ROUNDS rounds (3):
#   clone    "-img:TARGET /p /convert:SOURCE": the used clusters of the
#            volume into a new plain image
#   ntfsclone --overwrite onto a 4 GiB file, from the same volume cut out
#   start    the program with a malformed "/create:0"
# and prints the ratio as whole processes and with our start taken off. The
# copy is checked afterwards: ntfsfix -n and one file's content.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VRO_BUILD_DIR:-$root/build}
work=${1:-$build/bench-clone}
rounds=${VRO_BENCH_ROUNDS:-3}
megabytes=${VRO_BENCH_MB:-2048}
source "$root/bench/lib.sh"
require ntfsclone ntfsfix ntfscat ntfs-3g mkntfs truncate

trap 'wineserver -k 2>/dev/null || true' EXIT
rm -rf "$work"
mkdir -p "$work/t" "$work/tree"
echo "== a 4 GiB volume with $megabytes MiB of files, in $work"
make_file_tree "$work/tree" "$megabytes"
source_img="$work/source.img"
start=$("$root/tests/fixtures/mk-disk.sh" "$source_img" --size 4096 --layout mbr2048 \
  --tree "$work/tree")
dd if="$source_img" of="$work/volume.img" bs=1M skip=$((start / 2048)) count=4096 status=none

for r in $(seq 1 "$rounds"); do
  timed start sh -c 'wine "$1" "$2" /create:0; [ $? -eq 243 ]' sh "$exe" \
    "-img:$(win "$work/none.img")"
  rm -f "$work/ours.img" "$work/peer.img"
  timed clone ours "-img:$(win "$work/ours.img")" /p "/convert:$(win "$source_img")"
  truncate -s 4G "$work/peer.img"
  timed ntfsclone ntfsclone --overwrite "$work/peer.img" "$work/volume.img"
done

first=$(cd "$work/tree" && find . -name '*.bin' | sort | head -1)
if ours "-img:$(win "$work/ours.img")" -noupd /check >/dev/null 2>&1; then
  echo "   our copy passes /check"
else
  echo "   (our copy does not pass /check!)"
fi
ntfscat "$work/peer.img" "${first#./}" | cmp -s - "$work/tree/${first#./}" ||
  echo "   (ntfsclone's copy differs!)"

echo "== Medians (s); ratio = ours / peer; 'less start' takes our start off"
s=$(med start)
row() { ratio_row "$@" 20; }
printf '   %-20s %7.2f\n' "start, /create:0" "$s"
row "clone (/convert: /p)" "$(med clone)" "ntfsclone" "$(med ntfsclone)"
