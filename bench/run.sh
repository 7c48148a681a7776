#!/usr/bin/env bash
# Speed of the batch operations against the tools a user would pick instead,
# on the same data (not a test: it prints numbers and asserts no speed).
#   bench/run.sh [WORKDIR]     as root (loop device, FUSE mount)
# The build dir is $VRO_BUILD_DIR (default build/); it is configured and the
# program built when needed. WORKDIR defaults to BUILD/bench.
# Makes a 1 GiB MBR disk whose NTFS volume holds a tree of 664 files (600 of
# 1-64 KiB, 60 of 0.25-2 MiB, 4 of 40 MiB, about 250 MB), a SOFTWARE hive of
# about 95 MB (VRO_BENCH_HIVE_MB, 68 MB of value data) and a SYSTEM hive of
# about 9 MB, then
# times, whole processes with the page cache warm, the median of
# $VRO_BENCH_ROUNDS rounds (3) each running ours and its peers once:
#   extract   /extract:       7zz x on the partition file; ntfs-3g mount + cp -r;
#                             cp -r between host folders (the limit)
#   inject    /inject: -noupd ntfs-3g mount + cp -r + umount
#   export    /export:        reged -x; hivexregedit --export
#   start     the program with a malformed "/create:0" (Wine's start and the
#             program's own; without a command the program opens its window)
# Each row prints the ratio of the whole processes and the ratio with our
# start taken off. The results are checked: the same files, the same keys
# and values. The peak working set of the extract and the big export is
# printed too (the largest resident size of the process under Wine).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VRO_BUILD_DIR:-$root/build}
work=${1:-$build/bench}
hive_mb=${VRO_BENCH_HIVE_MB:-68}
rounds=${VRO_BENCH_ROUNDS:-3}
source "$root/bench/lib.sh"
require 7zz reged hivexregedit ntfs-3g mkntfs losetup

win() { printf 'Z:%s' "$1" | tr / '\\'; }

rm -rf "$work"
mkdir -p "$work/tree/Data" "$work/out" "$work/mnt" "$work/t"
echo "== Making the tree, the hives and the 1 GiB image in $work"
(
  cd "$work/tree/Data"
  for d in $(seq -w 1 30); do
    mkdir -p "small/d$d"
    for f in $(seq -w 1 20); do
      head -c $(( (RANDOM % 64 + 1) * 1024 )) /dev/urandom > "small/d$d/f$f.bin"
    done
  done
  mkdir -p medium large
  for f in $(seq -w 1 60); do head -c $(( (RANDOM % 1793 + 256) * 1024 )) /dev/urandom > "medium/m$f.bin"; done
  for f in 1 2 3 4; do head -c $((40 * 1048576)) /dev/urandom > "large/l$f.bin"; done
)
"$root/tests/fixtures/mk-wintree.sh" "$work/tree" --no-kernel
config=$work/tree/Windows/System32/config
/usr/bin/python3 "$root/tests/app/reg-tool.py" big "$config/SOFTWARE" "$hive_mb"
/usr/bin/python3 "$root/tests/app/reg-tool.py" big "$config/SYSTEM" 7
start=$("$root/tests/fixtures/mk-disk.sh" "$work/disk.img" --layout mbr2048 --size 1024 --tree "$work/tree")
# The program opens the whole disk; 7-Zip reads its NTFS partition cut out
# into a file of its own, as a user with an image file would give it; the
# FUSE mounts go through a loop device over the disk. The loop device's own
# cache is dropped whenever the program has written the file.
dd if="$work/disk.img" of="$work/part.img" bs=1M iflag=skip_bytes,count_bytes \
  skip=$((start * 512)) count=$((1024 * 1048576)) status=none
dev=$(losetup -f --show -o $((start * 512)) --sizelimit $((1024 * 1048576)) "$work/disk.img")
cleanup() {
  umount "$work/mnt" 2>/dev/null || true
  losetup -d "$dev" 2>/dev/null || true
  wineserver -k 2>/dev/null || true
}
trap cleanup EXIT
tree_bytes=$(du -sb --apparent-size "$work/tree/Data" | cut -f1)
files=$(cd "$work/tree/Data" && find . -type f | wc -l)
printf '   tree: %d files, %d MB; SOFTWARE %d MB, SYSTEM %d MB\n' "$files" $((tree_bytes / 1048576)) \
  $(( $(stat -c %s "$config/SOFTWARE") / 1048576 )) $(( $(stat -c %s "$config/SYSTEM") / 1048576 ))
sync

ntfs_source=$dev
fuse_extract() { mount_ntfs ro && cp -r "$work/mnt/Data" "$work/out/fuse$1" && umount_ntfs; }
fuse_inject() { mount_ntfs && cp -r "$work/tree/Data" "$work/mnt/Native" && umount_ntfs; }
differs() { diff -r "$1" "$work/tree/Data" >/dev/null || echo "   ($2 differs from the tree!)"; }

echo "== Start, extract ($rounds rounds)"
for r in $(seq 1 "$rounds"); do
  timed start ours /create:0
  # Each into a new folder: see bench/small-files.sh.
  timed extract ours "-img:$(win "$work/disk.img")" "/extract:\\Data::$(win "$work/out/ours$r")"
  timed 7zz 7zz x -y "-o$work/out/7zz$r" "$work/part.img" Data
  timed fuse_extract fuse_extract "$r"
  timed host cp -r "$work/tree/Data" "$work/out/host$r"
done
differs "$work/out/ours1" "our extract"
differs "$work/out/7zz1/Data" "7zz's extract"
differs "$work/out/fuse1" "the FUSE extract"

echo "== Inject ($rounds rounds)"
for r in $(seq 1 "$rounds"); do
  mount_ntfs && rm -rf "$work/mnt/Ours" "$work/mnt/Native" && umount_ntfs
  sync
  timed inject ours "-img:$(win "$work/disk.img")" -noupd "/inject:\\Ours::$(win "$work/tree/Data")"
  blockdev --flushbufs "$dev"
  timed fuse_inject fuse_inject
done
mount_ntfs ro
differs "$work/mnt/Ours" "our inject"
differs "$work/mnt/Native" "the FUSE inject"
umount_ntfs

canon() { /usr/bin/python3 "$root/tests/app/reg-tool.py" canon "$1"; }
for hive in SYSTEM SOFTWARE; do
  echo "== Export of $hive ($rounds rounds)"
  for r in $(seq 1 "$rounds"); do
    rm -f "$work/out/"*.reg
    timed "ours_$hive" ours "-img:$(win "$work/disk.img")" \
      "/export:$(win "$work/out/ours.reg")::HKEY_LOCAL_MACHINE\\$hive"
    timed "reged_$hive" reged -x "$config/$hive" "HKEY_LOCAL_MACHINE\\$hive" '\' "$work/out/reged.reg"
    timed "hivex_$hive" sh -c 'hivexregedit --export --prefix "$1" "$2" "\\" > "$3"' sh \
      "HKEY_LOCAL_MACHINE\\$hive" "$config/$hive" "$work/out/hivex.reg"
  done
  cmp -s <(canon "$work/out/ours.reg") <(canon "$work/out/hivex.reg") ||
    echo "   (our .reg and hivexregedit's do not hold the same keys and values!)"
  grep -q '^\[HKEY_LOCAL_MACHINE' "$work/out/reged.reg" || echo "   (reged wrote no keys!)"
done

reg_key "$work/out/keys8k.reg" 8000
reg_key "$work/out/keys20k.reg" 20000
echo "== Import ($rounds rounds)"
for r in $(seq 1 "$rounds"); do
  timed import8k ours "-img:$(win "$work/disk.img")" -noupd "/import:$(win "$work/out/keys8k.reg")"
  timed import20k ours "-img:$(win "$work/disk.img")" -noupd "/import:$(win "$work/out/keys20k.reg")"
  timed reimport ours "-img:$(win "$work/disk.img")" -noupd "/import:$(win "$work/out/ours.reg")"
done
rm -f "$work/out/check.reg"
ours "-img:$(win "$work/disk.img")" "/export:$(win "$work/out/check.reg")::HKEY_LOCAL_MACHINE\\SOFTWARE"
cmp -s <(canon "$work/out/ours.reg") <(canon "$work/out/check.reg") ||
  echo "   (SOFTWARE after its re-import does not hold the same keys and values!)"

echo "== Peak working set (largest resident size under Wine)"
rss() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1; }
rm -rf "$work/out/ours"
echo "   start:  $(( $(rss wine "$exe" /create:0) / 1024 )) MB"
echo "   extract: $(( $(rss wine "$exe" "-img:$(win "$work/disk.img")" "/extract:\\Data::$(win "$work/out/ours")") / 1024 )) MB"
echo "   export of SOFTWARE: $(( $(rss wine "$exe" "-img:$(win "$work/disk.img")" "/export:$(win "$work/out/ours.reg")::HKEY_LOCAL_MACHINE\\SOFTWARE") / 1024 )) MB"

echo "== Medians (s); ratio = ours / peer, time; 'less start' takes our start off"
s=$(med start)
row() { ratio_row "$@" 22; }
printf '   %-22s %6.2f\n' "start, /create:0" "$s"
row "extract ($((tree_bytes / 1048576)) MB)" "$(med extract)" "7zz x" "$(med 7zz)"
row "extract" "$(med extract)" "ntfs-3g FUSE + cp -r" "$(med fuse_extract)"
row "extract" "$(med extract)" "host cp -r (the limit)" "$(med host)"
row "inject -noupd" "$(med inject)" "ntfs-3g FUSE + cp -r" "$(med fuse_inject)"
for hive in SYSTEM SOFTWARE; do
  mb=$(( $(stat -c %s "$config/$hive") / 1048576 ))
  row "export $hive $mb MB" "$(med "ours_$hive")" "reged -x" "$(med "reged_$hive")"
  row "export $hive $mb MB" "$(med "ours_$hive")" "hivexregedit --export" "$(med "hivex_$hive")"
done
mb=$(( $(stat -c %s "$config/SOFTWARE") / 1048576 ))
# Our own operations against each other: both sides start the program.
awk -v a="$(med import8k)" -v b="$(med import20k)" -v s="$s" 'BEGIN {
  printf "   %-22s %7.2f  20,000 values %7.2f  ratio %5.2fx  less start %5.2fx\n",
    "import, 8,000 values", a, b, b / a, (b - s) / (a - s) }'
awk -v a="$(med ours_SOFTWARE)" -v b="$(med reimport)" -v s="$s" -v l="re-import SOFTWARE $mb MB" 'BEGIN {
  printf "   %-22s %7.2f  its export    %7.2f  ratio %5.2fx  less start %5.2fx\n",
    l, b, a, b / a, (b - s) / (a - s) }'

