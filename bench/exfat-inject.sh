#!/usr/bin/env bash
# One small file injected into an exFAT volume that holds 40,000 files, the
# command's first allocation checked against the clusters the volume's
# records use, against exfat-fuse doing the same copy (not a test: it
# prints times and ratios and asserts no speed).
#   bench/exfat-inject.sh [WORKDIR]    as root (loop device, FUSE mount)
# 40,000 files of 1-8 KiB in 400 folders (seeded) go into a 4 GiB sparse
# image of an exFAT volume alone (mkfs.exfat's own cluster size, filled
# once by exfat-fuse); each round copies it afresh and injects one 64 KiB
# file: ours `-img:IMAGE -noupd /inject:` against `mount.exfat-fuse`, `cp`
# and the unmount, and, with $VRO_BASELINE_EXE naming another build of the
# program (the one before the check, say), that build's inject. Medians of
# $VRO_BENCH_ROUNDS rounds (5), the sides taking turns at going first; the
# ratio is given whole and with our start (a malformed "/create:0") taken
# off. The last inject of each side is read back by a read-only FUSE mount.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VRO_BUILD_DIR:-$root/build}
work=$(realpath -m "${1:-$build/bench-exfat-inject}")
rounds=${VRO_BENCH_ROUNDS:-5}
folders=${VRO_BENCH_FOLDERS:-400}
baseline=${VRO_BASELINE_EXE:-}
source "$root/bench/lib.sh"
require mkfs.exfat mount.exfat-fuse fsck.exfat losetup python3

rm -rf "$work"
mkdir -p "$work/tree/Small" "$work/mnt" "$work/t"
loop=
trap 'umount "$work/mnt" 2>/dev/null || true; [ -n "$loop" ] && losetup -d "$loop" 2>/dev/null;
      wineserver -k 2>/dev/null || true' EXIT
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

echo "== Making $((folders * 100)) files and the 4 GiB exFAT volume in $work"
make_small_tree "$work/tree/Small" "$folders"
head -c 65536 /dev/urandom > "$work/one.bin"
truncate -s 4G "$work/pristine.img"
mkfs.exfat "$work/pristine.img" >/dev/null
fuse_mount "$work/pristine.img"
cp -r "$work/tree/Small" "$work/mnt/Small"
fuse_umount
printf '   image %s bytes on the disk\n' "$(du -B1 "$work/pristine.img" | cut -f1)"

fresh() { rm -f "$work"/plain.img*; cp --sparse=always "$work/pristine.img" "$work/plain.img"; }
inject() { wine "$1" "-img:$(win "$work/plain.img")" -noupd "/inject:\\one.bin::$(win "$work/one.bin")"; }
fuse_inject() { fuse_mount "$work/plain.img" && cp "$work/one.bin" "$work/mnt/one.bin" && fuse_umount; }
start_of() { wine "$1" /create:0 || [ $? -eq 243 ]; }
differs() {
  fsck.exfat -n "$work/plain.img" >/dev/null 2>&1 || echo "   (fsck.exfat fails $1!)"
  fuse_mount "$work/plain.img" ro
  cmp -s "$work/mnt/one.bin" "$work/one.bin" || echo "   ($1 differs from the file!)"
  fuse_umount
}

sides="ours fuse${baseline:+ base}"
echo "== $rounds rounds: $sides"
take_turns "$rounds" "$sides"
[ -e "$work/plain.img.journal" ] && echo "   (a journal was left beside the image!)"

echo "== Medians (s); ratio = ours / peer, whole and with our start taken off"
s=$(med start)
printf '   %-34s %7.2f\n' "start, /create:0" "$s"
ratio_row "one-file inject, $((folders * 100)) files" "$(med ours)" "exfat-fuse + cp" "$(med fuse)" 34
if [ -n "$baseline" ]; then
  ratio_row "baseline's inject" "$(med base)" "exfat-fuse + cp" "$(med fuse)" 34
  # Against the baseline each side's own start comes off; the fastest
  # round of each shows through a loaded machine.
  printf '   %-34s %7.2f\n' "baseline's start, /create:0" "$(med start_base)"
  printf '   %-34s ours %7.2f  baseline %7.2f\n' "fastest round" \
    "$(sort -g "$work/t/ours" | head -1)" "$(sort -g "$work/t/base" | head -1)"
  awk -v o="$(med ours)" -v b="$(med base)" -v s="$s" -v t="$(med start_base)" 'BEGIN {
    printf "   %-34s ours %7.2f  %-22s %7.2f  ratio %5.2fx  each less start %5.2fx\n",
      "one-file inject, against baseline", o, "baseline", b, o / b, (o - s) / (b - t) }'
fi
