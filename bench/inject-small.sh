#!/usr/bin/env bash
# An inject of many small files into a plain image, with its rollback
# journal, against ntfs-3g (not a test: it prints times and ratios and
# asserts no speed).
#   bench/inject-small.sh [WORKDIR]    as root (FUSE mount)
# 40,000 files of 1-8 KiB in 400 folders (seeded) go into an empty 20 GiB
# NTFS volume (an image of the volume alone, sparse), each round on a fresh
# sparse copy: ours `-img:IMAGE -noupd /inject:` against the same copy
# mounted by ntfs-3g (FUSE), `cp -r` and the unmount. Medians of
# $VRO_BENCH_ROUNDS rounds (3), the two taking turns at going first; the
# ratio is given whole and with our start (a malformed "/create:0") taken
# off. $VRO_BASELINE_EXE, when set, names another build of the program that
# runs the same inject in each round (the build before the journal, say).
# The last inject of each side is read back by a read-only FUSE mount.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VRO_BUILD_DIR:-$root/build}
work=$(realpath -m "${1:-$build/bench-inject-small}")
rounds=${VRO_BENCH_ROUNDS:-3}
folders=${VRO_BENCH_FOLDERS:-400}
baseline=${VRO_BASELINE_EXE:-}
source "$root/bench/lib.sh"
require ntfs-3g mkntfs python3

rm -rf "$work"
mkdir -p "$work/tree/Small" "$work/mnt" "$work/t"
cleanup_on_exit
echo "== Making $((folders * 100)) files and the empty 20 GiB volume in $work"
make_small_tree "$work/tree/Small" "$folders"
TMPDIR=$work "$root/tests/fixtures/mk-disk.sh" "$work/pristine.img" --layout none --size 20480 \
  >/dev/null
printf '   tree: %s bytes; image %s bytes on the disk\n' \
  "$(du -sb --apparent-size "$work/tree" | cut -f1)" "$(du -B1 "$work/pristine.img" | cut -f1)"

ntfs_source=$work/plain.img
fresh() { rm -f "$work"/plain.img*; cp --sparse=always "$work/pristine.img" "$work/plain.img"; }
inject() { wine "$1" "-img:$(win "$work/plain.img")" -noupd "/inject:\\Small::$(win "$work/tree/Small")"; }
fuse_inject() { mount_ntfs && cp -r "$work/tree/Small" "$work/mnt/Small" && umount_ntfs; }
start_of() { wine "$1" /create:0 || [ $? -eq 243 ]; }
differs() {
  mount_ntfs ro
  diff -r "$work/mnt/Small" "$work/tree/Small" >/dev/null || echo "   ($1 differs from the tree!)"
  umount_ntfs
}

sides="ours fuse${baseline:+ base}"
echo "== $rounds rounds: $sides"
take_turns "$rounds" "$sides"
[ -e "$work/plain.img.journal" ] && echo "   (a journal was left beside the image!)"

echo "== Medians (s); ratio = ours / peer, whole and with our start taken off"
s=$(med start)
printf '   %-30s %7.2f\n' "start, /create:0" "$s"
ratio_row "inject -noupd, $((folders * 100)) files" "$(med ours)" "ntfs-3g FUSE + cp -r" \
  "$(med fuse)" 30
if [ -n "$baseline" ]; then
  ratio_row "inject -noupd, $((folders * 100)) files" "$(med ours)" "baseline" "$(med base)" 30
  s=$(med start_base)
  ratio_row "baseline's inject" "$(med base)" "ntfs-3g FUSE + cp -r" "$(med fuse)" 30
fi
