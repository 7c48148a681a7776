#!/usr/bin/env bash
# What the rollback journal costs an inject (not a test: it prints times and
# ratios and asserts no speed).
#   bench/inject-cost.sh [WORKDIR]     as root (FUSE mount)
# The program of this tree ($VRO_BUILD_DIR, built when needed) against the
# build before the journal: $VRO_BASELINE_EXE, or else commit
# $VRO_BASELINE_COMMIT (585a1f9) exported into the folder
# $VRO_BASELINE_TREE (BUILD/baseline-src) and built there (target VroMount).
# A tree like bench/run.sh's (600 files of 1-64 KiB in 30 folders, 60 of
# 0.25-2 MiB, one of 12 MiB: about 100 MB, seeded) is injected, the median
# of $VRO_BENCH_ROUNDS rounds (3) each running every side once, into
#   upd    the update file of an own-format image (512 MiB, NTFS), which a
#          first small inject made: "-img:UPDATE /inject:"; each side makes
#          its own image and update file, and each round starts from a copy
#          of that update file;
#   plain  a plain image (the NTFS volume alone, 512 MiB) with "-noupd",
#          each round on a fresh sparse copy, and again on a copy that is
#          not sparse (every block of it on the disk); against it the same
#          sparse copy mounted by ntfs-3g (FUSE), "cp -r" and the unmount.
# The ratios are given whole and with each program's start (a malformed
# "/create:0") taken off. Then one more plain inject of the current program
# with its journal's size polled throughout: the journal's largest size
# against the tree's bytes and the 4 KiB blocks of the image the inject
# changed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VRO_BUILD_DIR:-$root/build}
work=$(realpath -m "${1:-$build/bench-inject-cost}")
rounds=${VRO_BENCH_ROUNDS:-3}
source "$root/bench/lib.sh"
require ntfs-3g mkntfs python3 git
baseline=$(baseline_exe "${VRO_BASELINE_COMMIT:-585a1f9}" \
  "${VRO_BASELINE_TREE:-$build/baseline-src}")
[ -f "$baseline" ] || { echo "no baseline program at $baseline" >&2; exit 2; }

rm -rf "$work"
mkdir -p "$work/t" "$work/mnt" "$work/tree"
cleanup_on_exit
python3 - "$work/tree" <<'PY'
import os, random, sys
top = sys.argv[1]
rnd = random.Random(5)
for d in range(1, 31):
    os.makedirs(os.path.join(top, "small", "d%02d" % d))
    for f in range(1, 21):
        with open(os.path.join(top, "small", "d%02d" % d, "f%02d.bin" % f), "wb") as out:
            out.write(rnd.randbytes(rnd.randint(1, 64) << 10))
os.makedirs(os.path.join(top, "medium"))
for f in range(1, 61):
    with open(os.path.join(top, "medium", "m%02d.bin" % f), "wb") as out:
        out.write(rnd.randbytes(rnd.randint(256, 2048) << 10))
os.makedirs(os.path.join(top, "large"))
with open(os.path.join(top, "large", "l1.bin"), "wb") as out:
    out.write(rnd.randbytes(12 << 20))
PY
tree_bytes=$(du -sb --apparent-size "$work/tree" | cut -f1)
files=$(find "$work/tree" -type f | wc -l)
mkdir -p "$work/empty"
"$root/tests/fixtures/mk-disk.sh" "$work/plain.pristine" --layout none --size 512 >/dev/null
"$root/tests/fixtures/mk-disk.sh" "$work/raw.img" --layout mbr2048 --size 512 >/dev/null
printf 'first' > "$work/first.txt"
# Each side's own image and update file, made by that side.
for side in cur base; do
  [ $side = cur ] && prog=$exe || prog=$baseline
  wine "$prog" "-img:$(win "$work/own-$side.vmd")" "/convert:$(win "$work/raw.img")" >/dev/null 2>&1
  wine "$prog" "-img:$(win "$work/own-$side.vmd")" "/inject:\\first.txt::$(win "$work/first.txt")" \
    >/dev/null 2>&1
  [ -f "$work/own-$side.vmd_01.Upd" ] || { echo "$side: no update file" >&2; exit 1; }
  cp "$work/own-$side.vmd_01.Upd" "$work/upd-$side.saved"
done
rm -f "$work/raw.img"
printf '   tree: %d files, %d MB; baseline %s\n' "$files" $((tree_bytes / 1000000)) "$baseline"

# One side's runs: the start, then the inject into the update file and into
# the plain image, each on a fresh copy.
start_of() { wine "$1" /create:0 || [ $? -eq 243 ]; }
upd_inject() {
  wine "$1" "-img:$(win "$work/own-$2.vmd_01.Upd")" "/inject:\\Ours::$(win "$work/tree")"
}
plain_inject() { wine "$1" "-img:$(win "$work/plain.img")" -noupd "/inject:\\Ours::$(win "$work/tree")"; }
ntfs_source=$work/plain.img
fuse_inject() { mount_ntfs && cp -r "$work/tree" "$work/mnt/Native" && umount_ntfs; }
fresh_plain() { rm -f "$work"/plain.img*; cp --sparse="${1:-always}" "$work/plain.pristine" "$work/plain.img"; }
fresh_upd() { rm -f "$work/own-$1.vmd_01.Upd"*; cp "$work/upd-$1.saved" "$work/own-$1.vmd_01.Upd"; }

echo "== $rounds rounds"
for r in $(seq 1 "$rounds"); do
  # The first start after the FUSE peer's unmount pays for it (about 0.3 s
  # more): an untimed start takes that, and the sides take turns at going
  # first.
  start_of "$exe" >/dev/null 2>&1 || true
  [ $((r % 2)) = 1 ] && order="base cur" || order="cur base"
  for side in $order; do
    [ $side = cur ] && prog=$exe || prog=$baseline
    timed "start_$side" start_of "$prog"
    fresh_upd $side
    timed "upd_$side" upd_inject "$prog" $side
    fresh_plain
    timed "plain_$side" plain_inject "$prog"
    fresh_plain never
    timed "full_$side" plain_inject "$prog"
  done
  fresh_plain
  timed fuse fuse_inject
done

# The last results read back: our inject into the update file by our own
# extract, the plain image's by a read-only FUSE mount.
check() { echo "   ($1 differs from the tree!)"; }
for side in base cur; do
  [ $side = cur ] && prog=$exe || prog=$baseline
  rm -rf "$work/out"
  wine "$prog" "-img:$(win "$work/own-$side.vmd_01.Upd")" "/extract:\\Ours::$(win "$work/out")" >/dev/null 2>&1 || true
  diff -r "$work/out" "$work/tree" >/dev/null || check "$side: the update file's \\Ours"
done
fresh_plain
plain_inject "$exe" >/dev/null 2>&1 || check "the current plain inject's code"
mount_ntfs ro
diff -r "$work/mnt/Ours" "$work/tree" >/dev/null || check "the plain image's \\Ours"
umount_ntfs
fresh_plain
fuse_inject
mount_ntfs ro
diff -r "$work/mnt/Native" "$work/tree" >/dev/null || check "the FUSE inject"
umount_ntfs

# journal_max JOURNAL COMMAND...: runs the command with the journal's size
# polled throughout; prints the largest size and the command's code.
journal_max() {
  python3 - "$@" <<'PY'
import os, subprocess, sys
path, argv = sys.argv[1], sys.argv[2:]
p = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                     stderr=subprocess.DEVNULL)
top = 0
while p.poll() is None:
    try:
        top = max(top, os.stat(path).st_size)
    except OSError:
        pass
print(top, p.wait())
PY
}
echo "== The journals of the current program's injects (their sizes polled throughout)"
fresh_upd cur
set -- $(journal_max "$work/own-cur.vmd_01.Upd.journal" wine "$exe" \
  "-img:$(win "$work/own-cur.vmd_01.Upd")" "/inject:\\Ours::$(win "$work/tree")")
[ "$2" = 0 ] || echo "   (the polled inject gave $2)"
[ -e "$work/own-cur.vmd_01.Upd.journal" ] && echo "   (a journal was left beside the update file!)"
printf '   into the update file: journal max %d bytes (update file %d bytes before, %d after)\n' \
  "$1" "$(stat -c %s "$work/upd-cur.saved")" "$(stat -c %s "$work/own-cur.vmd_01.Upd")"
fresh_plain
set -- $(journal_max "$work/plain.img.journal" wine "$exe" \
  "-img:$(win "$work/plain.img")" -noupd "/inject:\\Ours::$(win "$work/tree")")
jmax=$1
[ "$2" = 0 ] || echo "   (the polled inject gave $2)"
[ -e "$work/plain.img.journal" ] && echo "   (a journal was left beside the image!)"
changed=$(python3 - "$work/plain.pristine" "$work/plain.img" <<'PY'
import sys
a, b = open(sys.argv[1], "rb"), open(sys.argv[2], "rb")
n = 0
while True:
    x, y = a.read(1 << 20), b.read(1 << 20)
    if not x and not y:
        break
    for i in range(0, max(len(x), len(y)), 4096):
        if x[i:i + 4096] != y[i:i + 4096]:
            n += 1
print(n * 4096)
PY
)
awk -v j="$jmax" -v t="$tree_bytes" -v c="$changed" 'BEGIN {
  printf "   into the plain image: journal max %d bytes (%.1f MB); tree %d bytes (%.1f MB): %.2fx; 4 KiB blocks of the image changed %d bytes: %.2fx\n",
    j, j / 1e6, t, t / 1e6, j / t, c, j / c }'

echo "== Medians (s); ratio = current / other, whole and with each program's start taken off"
sc=$(med start_cur) sb=$(med start_base)
printf '   %-34s current %6.2f  baseline %6.2f\n' "start, /create:0" "$sc" "$sb"
for k in upd plain full; do
  case $k in
    upd) label="inject into the update file" ;;
    plain) label="inject -noupd into a plain image" ;;
    full) label="the same, image not sparse" ;;
  esac
  awk -v l="$label" -v c="$(med "${k}_cur")" -v b="$(med "${k}_base")" -v sc="$sc" -v sb="$sb" 'BEGIN {
    printf "   %-34s current %6.2f  baseline %6.2f  ratio %5.2fx  less start %5.2fx\n",
      l, c, b, c / b, (c - sc) / (b - sb) }'
done
for side in cur base; do
  [ $side = cur ] && label="current" || label="baseline"
  awk -v l="inject -noupd, $label" -v c="$(med "plain_$side")" -v f="$(med fuse)" -v s="$(med "start_$side")" 'BEGIN {
    printf "   %-34s %6.2f  ntfs-3g FUSE + cp -r %6.2f  ratio %5.2fx  less start %5.2fx\n",
      l, c, f, c / f, (c - s) / f }'
done
