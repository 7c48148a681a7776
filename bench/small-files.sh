#!/usr/bin/env bash
# Many small files: extraction and injection of 40,000 files of 1-8 KiB in
# 400 folders on a 20 GiB sparse NTFS volume (an image of the volume alone),
# against `7zz x` reading the same image file and an ntfs-3g FUSE mount
# with `cp -r` (not a test: it prints numbers and asserts no speed).
#   bench/small-files.sh [WORKDIR]    as root (FUSE mount)
# The build dir is $VRO_BUILD_DIR (default build/); WORKDIR defaults to
# BUILD/bench-small. Medians of $VRO_BENCH_ROUNDS rounds (3), each running
# ours and its peers once, the page cache warm; every extract and inject
# goes into a new folder (a host file system without a journal searches
# past the inodes of files deleted in the last minute for each new file,
# which would weigh on whoever runs first after a deletion). Each row prints the ratio of the whole
# processes and the ratio with our start taken off.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VRO_BUILD_DIR:-$root/build}
work=${1:-$build/bench-small}
rounds=${VRO_BENCH_ROUNDS:-3}
folders=${VRO_BENCH_FOLDERS:-400}
source "$root/bench/lib.sh"
require 7zz ntfs-3g mkntfs

rm -rf "$work"
mkdir -p "$work/tree/Small" "$work/out" "$work/mnt" "$work/t"
echo "== Making $((folders * 100)) files and the 20 GiB volume in $work"
make_small_tree "$work/tree/Small" "$folders"
TMPDIR=$work "$root/tests/fixtures/mk-disk.sh" "$work/disk.img" --layout none --size 20480 \
  --tree "$work/tree" >/dev/null
cleanup_on_exit
sync

ntfs_source=$work/disk.img
fuse_inject() { mount_ntfs && cp -r "$work/tree/Small" "$work/mnt/Fuse$1" && umount_ntfs; }
differs() { diff -r "$1" "$work/tree/Small" >/dev/null || echo "   ($2 differs from the tree!)"; }

echo "== Start, extract, inject ($rounds rounds)"
for r in $(seq 1 "$rounds"); do
  timed start ours /create:0
  timed extract ours "-img:$(win "$work/disk.img")" "/extract:\\Small::$(win "$work/out/ours$r")"
  timed 7zz 7zz x -y "-o$work/out/7zz$r" "$work/disk.img" Small
  timed inject ours "-img:$(win "$work/disk.img")" -noupd "/inject:\\Ours$r::$(win "$work/tree/Small")"
  timed fuse_inject fuse_inject "$r"
done
differs "$work/out/ours1" "our extract"
differs "$work/out/7zz1/Small" "7zz's extract"
mount_ntfs ro
differs "$work/mnt/Ours1" "our inject"
differs "$work/mnt/Fuse1" "the FUSE inject"
umount_ntfs

echo "== Medians (s); ratio = ours / peer, time; 'less start' takes our start off"
s=$(med start)
printf '   %-22s %6.2f\n' "start, /create:0" "$s"
ratio_row "extract $((folders * 100)) files" "$(med extract)" "7zz x" "$(med 7zz)" 22
ratio_row "inject -noupd" "$(med inject)" "ntfs-3g FUSE + cp -r" "$(med fuse_inject)" 22
