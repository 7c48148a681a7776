#!/usr/bin/env bash
# What the walk over $MFT before a command's first write costs a one-file
# inject into a large volume (not a test: it prints times and ratios and
# asserts no speed).
#   bench/inject-gate.sh [WORKDIR]    as root (FUSE mount)
# 40,000 files of 1-8 KiB in 400 folders (seeded; $VRO_BENCH_FOLDERS) go
# into an empty 20 GiB NTFS volume (an image of the volume alone, sparse)
# through an ntfs-3g FUSE mount. Then one file of 1 MiB goes into the
# folder \Small\d007, each round on a fresh sparse copy of that image:
#   ours   this tree's program: "-img:IMAGE -noupd /inject:";
#   base   the program before the walk: $VRO_BASELINE_EXE, or else commit
#          $VRO_BASELINE_COMMIT (0777623) exported into
#          $VRO_BASELINE_TREE (BUILD/gate-baseline-src) and built there;
#   ntfscp ntfs-3g's ntfscp onto the same copy.
# Medians of $VRO_BENCH_ROUNDS rounds (5), the sides taking turns at going
# first; the ratios whole and with each program's start (a malformed
# "/create:0") taken off. Each side's last copy is read back by ntfscat.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VRO_BUILD_DIR:-$root/build}
work=$(realpath -m "${1:-$build/bench-inject-gate}")
rounds=${VRO_BENCH_ROUNDS:-5}
folders=${VRO_BENCH_FOLDERS:-400}
source "$root/bench/lib.sh"
require ntfs-3g mkntfs ntfscp ntfscat python3 git
baseline=$(baseline_exe "${VRO_BASELINE_COMMIT:-0777623}" \
  "${VRO_BASELINE_TREE:-$build/gate-baseline-src}")
[ -f "$baseline" ] || { echo "no baseline program at $baseline" >&2; exit 2; }

rm -rf "$work"
mkdir -p "$work/tree/Small" "$work/mnt" "$work/t"
cleanup_on_exit
echo "== Making $((folders * 100)) files on a 20 GiB volume in $work (through ntfs-3g)"
make_small_tree "$work/tree/Small" "$folders"
TMPDIR=$work "$root/tests/fixtures/mk-disk.sh" "$work/full.img" --layout none --size 20480 >/dev/null
ntfs_source=$work/full.img
mount_ntfs && cp -r "$work/tree/Small" "$work/mnt/Small" && umount_ntfs
head -c $((1 << 20)) /dev/urandom > "$work/one.bin"
printf '   image %s bytes on the disk; baseline %s\n' "$(du -B1 "$work/full.img" | cut -f1)" \
  "$baseline"

fresh() { rm -f "$work"/plain.img*; cp --sparse=always "$work/full.img" "$work/plain.img"; }
inject() {
  wine "$1" "-img:$(win "$work/plain.img")" -noupd "/inject:\\Small\\d007::$(win "$work/one.bin")"
}
peer() { ntfscp "$work/plain.img" "$work/one.bin" /Small/d007/one.bin; }
start_of() { wine "$1" /create:0 || [ $? -eq 243 ]; }
# The file as the volume holds it, read back by ntfs-3g.
differs() {
  ntfscat "$work/plain.img" /Small/d007/one.bin | cmp -s - "$work/one.bin" ||
    echo "   ($1: the file read back differs!)"
}

sides="ours base ntfscp"
echo "== $rounds rounds: $sides"
for r in $(seq 1 "$rounds"); do
  start_of "$exe" >/dev/null 2>&1 || true
  timed start_ours start_of "$exe"
  timed start_base start_of "$baseline"
  [ $((r % 2)) = 1 ] && order="$sides" || order=$(echo "$sides" | tr ' ' '\n' | tac | tr '\n' ' ')
  for side in $order; do
    fresh
    case $side in
      ours) timed ours inject "$exe" ;;
      base) timed base inject "$baseline" ;;
      ntfscp) timed ntfscp peer ;;
    esac
    [ "$r" = "$rounds" ] && differs "$side"
  done
done
[ -e "$work/plain.img.journal" ] && echo "   (a journal was left beside the image!)"

echo "== Medians (s); ratio whole and with the program's start taken off"
so=$(med start_ours) sb=$(med start_base)
printf '   %-34s ours %6.2f  base %6.2f\n' "start, /create:0" "$so" "$sb"
awk -v o="$(med ours)" -v b="$(med base)" -v so="$so" -v sb="$sb" 'BEGIN {
  printf "   %-34s ours %6.2f  base %6.2f  ratio %5.2fx  less start %5.2fx\n",
    "one-file inject, with the walk", o, b, o / b, (o - so) / (b - sb) }'
s=$so
ratio_row "one-file inject, ours" "$(med ours)" "ntfscp" "$(med ntfscp)" 32
s=$sb
ratio_row "one-file inject, base" "$(med base)" "ntfscp" "$(med ntfscp)" 32
