#!/usr/bin/env bash
# Many small files into one folder and out of it again, on an exFAT and a
# FAT32 volume, against exfat-fuse + cp and mtools (not a test: it prints
# times and ratios and asserts no speed).
#   bench/one-folder.sh [WORKDIR]    as root (loop device, FUSE mount)
# $VRO_BENCH_FILES files (20,000) of 1-4 KiB (seeded), half of them named
# "Name with spaces NNNNN.txt" (a long name; on FAT a numbered short one as
# well), half "fNNNNN.dat", go into the new folder \Many of a 2 GiB sparse
# image of a volume alone (mkfs.exfat's and mkfs.fat -F 32's own cluster
# sizes), each inject on a fresh sparse copy of the empty volume, each
# extract from the volume the peer's first inject filled, into a new host
# folder. Ours:
# `-img:IMAGE -noupd /inject:\Many::FOLDER` and `/extract:\Many::FOLDER`;
# exFAT's peer: mount.exfat-fuse over a loop device, cp -r, umount; FAT32's:
# mcopy -s in, mcopy -s -n -m out. $VRO_BASELINE_EXE, when set, names
# another build of the program (the one before the folder index, say) that
# runs the same copies as a second series. Medians of $VRO_BENCH_ROUNDS
# rounds (1); the ratio is given whole and with our start (a malformed
# "/create:0") taken off. Every inject is read back (fsck -n, the peer
# lists and reads the files), every extract compared with the tree.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VRO_BUILD_DIR:-$root/build}
work=$(realpath -m "${1:-$build/bench-one-folder}")
rounds=${VRO_BENCH_ROUNDS:-1}
files=${VRO_BENCH_FILES:-20000}
baseline=${VRO_BASELINE_EXE:-}
source "$root/bench/lib.sh"
require mkfs.exfat mount.exfat-fuse fsck.exfat mkfs.fat fsck.fat mcopy losetup python3

rm -rf "$work"
mkdir -p "$work/tree/Many" "$work/out" "$work/mnt" "$work/t"
loop=
trap 'umount "$work/mnt" 2>/dev/null || true; [ -n "$loop" ] && losetup -d "$loop" 2>/dev/null;
      wineserver -k 2>/dev/null || true' EXIT
export MTOOLS_SKIP_CHECK=1

echo "== Making $files files and the 2 GiB exFAT and FAT32 volumes in $work"
python3 - "$work/tree/Many" "$files" <<'PY'
import os, random, sys
root, files = sys.argv[1], int(sys.argv[2])
random.seed(5)
for i in range(files):
    name = ("Name with spaces %05d.txt" if i % 2 else "f%05d.dat") % (i // 2)
    with open(os.path.join(root, name), "wb") as out:
        out.write(random.randbytes(random.randint(1024, 4096)))
PY
for fs in exfat fat32; do
  truncate -s 2G "$work/$fs-empty.img"
done
mkfs.exfat "$work/exfat-empty.img" >/dev/null
mkfs.fat -F 32 "$work/fat32-empty.img" >/dev/null

# exfat-fuse as root insists on a block device.
fuse_mount() {
  loop=$(losetup -f --show "$1")
  mount.exfat-fuse ${2:+-o $2} "$loop" "$work/mnt" >/dev/null
}
fuse_umount() {
  umount "$work/mnt"
  losetup -d "$loop"
  loop=
}
peer_inject() {
  if [ "$1" = exfat ]; then
    fuse_mount "$2" && cp -r "$work/tree/Many" "$work/mnt/Many" && fuse_umount
  else
    mcopy -s -i "$2" "$work/tree/Many" ::/
  fi
}
peer_extract() {
  mkdir -p "$3"
  if [ "$1" = exfat ]; then
    fuse_mount "$2" ro && cp -r "$work/mnt/Many" "$3/Many" && fuse_umount
  else
    mcopy -s -n -m -i "$2" ::/Many "$3/"
  fi
}
fresh() { rm -f "$work"/plain.img*; cp --sparse=always "$work/$1-empty.img" "$work/plain.img"; }
inject() { wine "$1" "-img:$(win "$work/plain.img")" -noupd "/inject:\\Many::$(win "$work/tree/Many")"; }
extract() { wine "$1" "-img:$(win "$work/$2-full.img")" "/extract:\\Many::$(win "$3/Many")"; }
start_of() { wine "$1" /create:0 || [ $? -eq 243 ]; }
# The image an inject made, read back: fsck, and the peer's copy of the
# folder equal to the tree.
inject_differs() {
  local fs=$1 what=$2 got="$work/out/check"
  rm -rf "$got"
  if [ "$fs" = exfat ]; then
    fsck.exfat -n "$work/plain.img" >/dev/null 2>&1 || echo "   (fsck.exfat fails $what!)"
  else
    fsck.fat -n "$work/plain.img" >/dev/null 2>&1 || echo "   (fsck.fat fails $what!)"
  fi
  peer_extract "$fs" "$work/plain.img" "$got"
  diff -r "$got/Many" "$work/tree/Many" >/dev/null || echo "   ($what differs from the tree!)"
  rm -rf "$got"
}
extract_differs() {
  diff -r "$2/Many" "$work/tree/Many" >/dev/null || echo "   ($1 differs from the tree!)"
  rm -rf "$2"
}

# The peer goes first: the volume its first inject fills is the one every
# side extracts from.
sides="peer ours${baseline:+ base}"
echo "== $rounds rounds: $sides"
for r in $(seq 1 "$rounds"); do
  timed start start_of "$exe"
  [ -n "$baseline" ] && timed start_base start_of "$baseline"
  for fs in exfat fat32; do
    for side in $sides; do
      fresh "$fs"
      case $side in
        ours) timed "$fs-in-ours" inject "$exe" ;;
        base) timed "$fs-in-base" inject "$baseline" ;;
        peer) timed "$fs-in-peer" peer_inject "$fs" "$work/plain.img" ;;
      esac
      [ "$r" = "$rounds" ] && inject_differs "$fs" "the $side inject into $fs"
      [ "$side" = peer ] && [ ! -e "$work/$fs-full.img" ] &&
        cp --sparse=always "$work/plain.img" "$work/$fs-full.img"
      out="$work/out/$side-$fs-$r"
      case $side in
        ours) timed "$fs-out-ours" extract "$exe" "$fs" "$out" ;;
        base) timed "$fs-out-base" extract "$baseline" "$fs" "$out" ;;
        peer) timed "$fs-out-peer" peer_extract "$fs" "$work/$fs-full.img" "$out" ;;
      esac
      extract_differs "the $side extract from $fs" "$out"
    done
  done
done
[ -e "$work/plain.img.journal" ] && echo "   (a journal was left beside the image!)"

echo "== Medians (s); ratio = ours / peer, whole and with our start taken off"
s=$(med start)
printf '   %-30s %7.2f\n' "start, /create:0" "$s"
ratio_row "exFAT inject, $files files" "$(med exfat-in-ours)" "exfat-fuse + cp -r" \
  "$(med exfat-in-peer)" 30
ratio_row "exFAT extract, $files files" "$(med exfat-out-ours)" "exfat-fuse + cp -r" \
  "$(med exfat-out-peer)" 30
ratio_row "FAT32 inject, $files files" "$(med fat32-in-ours)" "mcopy -s" "$(med fat32-in-peer)" 30
ratio_row "FAT32 extract, $files files" "$(med fat32-out-ours)" "mcopy -s -n -m" \
  "$(med fat32-out-peer)" 30
if [ -n "$baseline" ]; then
  echo "== The baseline build (its own start taken off against the peer)"
  s=$(med start_base)
  printf '   %-30s %7.2f\n' "baseline's start, /create:0" "$s"
  ratio_row "baseline exFAT inject" "$(med exfat-in-base)" "exfat-fuse + cp -r" \
    "$(med exfat-in-peer)" 30
  ratio_row "baseline exFAT extract" "$(med exfat-out-base)" "exfat-fuse + cp -r" \
    "$(med exfat-out-peer)" 30
  ratio_row "baseline FAT32 inject" "$(med fat32-in-base)" "mcopy -s" "$(med fat32-in-peer)" 30
  ratio_row "baseline FAT32 extract" "$(med fat32-out-base)" "mcopy -s -n -m" \
    "$(med fat32-out-peer)" 30
  for op in exfat-in exfat-out fat32-in fat32-out; do
    awk -v l="$op" -v o="$(med $op-ours)" -v b="$(med $op-base)" 'BEGIN {
      printf "   %-30s ours %7.2f  baseline %7.2f  ratio %5.2fx\n", l ", against baseline", o, b, o / b }'
  done
fi
