#!/usr/bin/env bash
# Throughput of the batch operations against the native Linux tools on the
# same data (not a test: it prints numbers and passes no judgement).
#   bench/run.sh [WORKDIR]      (default: $VRO_BUILD_DIR/bench or build/bench)
# Builds VroMount.exe, makes a 1 GiB NTFS image holding a tree of mixed files
# (small, medium and large) and a large generated SOFTWARE hive, then times:
#   extract of the tree   VroMount /extract:  vs  ntfscat, file by file
#   inject of the tree    VroMount /inject:   vs  ntfscp, file by file
#   registry export       VroMount /export:   vs  hivexregedit --export
# Ours runs under Wine and includes its start and the image's mount; the
# native tools are started once per file as a script would use them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VRO_BUILD_DIR:-$root/build}
work=${1:-$build/bench}
hive_mb=${VRO_BENCH_HIVE_MB:-40}

cmake -S "$root" -B "$build" -G Ninja >/dev/null
ninja -C "$build" VroMount >/dev/null
exe="$build/src/app/VroMount.exe"
export WINEPREFIX="$build/wineprefix"
"$root/tests/wine-prefix.sh" >/dev/null
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
win() { printf 'Z:%s' "$1" | tr / '\\'; }
now() { date +%s.%N; }
rate() { awk -v b="$1" -v t="$2" 'BEGIN { printf "%8.1f MB/s (%6.2f s)", b / 1048576 / t, t }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2fx", b / a }'; }

rm -rf "$work"
mkdir -p "$work/tree/Data" "$work/out"
echo "== Making the tree, the hive and the 1 GiB image in $work"
(
  cd "$work/tree/Data"
  for d in $(seq -w 1 30); do
    mkdir -p "small/d$d"
    for f in $(seq -w 1 20); do
      head -c $(( (RANDOM % 64 + 1) * 1024 )) /dev/urandom > "small/d$d/f$f.bin"
    done
  done
  mkdir -p medium large
  for f in $(seq -w 1 60); do head -c $(( (RANDOM % 1800 + 256) * 1024 )) /dev/urandom > "medium/m$f.bin"; done
  for f in 1 2 3 4; do head -c $((40 * 1048576)) /dev/urandom > "large/l$f.bin"; done
)
"$root/tests/fixtures/mk-wintree.sh" "$work/tree" --no-kernel
/usr/bin/python3 "$root/tests/app/reg-tool.py" big "$work/tree/Windows/System32/config/SOFTWARE" "$hive_mb"
start=$("$root/tests/fixtures/mk-disk.sh" "$work/disk.img" --layout mbr2048 --size 1024 --tree "$work/tree")
# The program opens the whole disk; the native tools get its NTFS partition
# through a loop device over the same file.
img=$(losetup -f --show -o $((start * 512)) --sizelimit $((1024 * 1048576)) "$work/disk.img")
trap 'umount "$work/mnt" 2>/dev/null || true; losetup -d "$img" 2>/dev/null || true' EXIT
tree_bytes=$(du -sb --apparent-size "$work/tree/Data" | cut -f1)
files=$(cd "$work/tree/Data" && find . -type f | wc -l)
hive=$work/tree/Windows/System32/config/SOFTWARE
hive_bytes=$(stat -c %s "$hive")
printf '   tree: %d files, %d MB; hive: %d MB\n' "$files" $((tree_bytes / 1048576)) $((hive_bytes / 1048576))
sync

echo "== Extract"
t0=$(now)
wine "$exe" "-img:$(win "$work/disk.img")" "/extract:\\Data::$(win "$work/out/ours")"
t1=$(now)
ours_extract=$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')
t0=$(now)
(cd "$work/tree/Data" && find . -type d) | while read -r d; do mkdir -p "$work/out/native/$d"; done
(cd "$work/tree/Data" && find . -type f) | while read -r f; do
  ntfscat "$img" "/Data/${f#./}" > "$work/out/native/$f"
done
t1=$(now)
native_extract=$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')
diff -r "$work/out/ours" "$work/tree/Data" >/dev/null || echo "   (our extract differs from the tree!)"
diff -r "$work/out/native" "$work/tree/Data" >/dev/null || echo "   (ntfscat's extract differs from the tree!)"
echo "   VroMount /extract: $(rate "$tree_bytes" "$ours_extract")"
echo "   ntfscat per file:  $(rate "$tree_bytes" "$native_extract")"

echo "== Inject"
# ntfscp makes no folders: they are made first, outside the timing.
mkdir -p "$work/mnt"
ntfs-3g "$img" "$work/mnt"
(cd "$work/tree/Data" && find . -type d) | while read -r d; do mkdir -p "$work/mnt/Native/$d"; done
umount "$work/mnt"
sync
t0=$(now)
wine "$exe" "-img:$(win "$work/disk.img")" "/inject:\\Ours::$(win "$work/tree/Data")"
t1=$(now)
ours_inject=$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')
t0=$(now)
(cd "$work/tree/Data" && find . -type f) | while read -r f; do
  ntfscp -q "$img" "$work/tree/Data/$f" "/Native/${f#./}"
done
t1=$(now)
native_inject=$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')
ntfs-3g -o ro "$img" "$work/mnt"
diff -r "$work/mnt/Ours" "$work/tree/Data" >/dev/null || echo "   (our inject differs from the tree!)"
diff -r "$work/mnt/Native" "$work/tree/Data" >/dev/null || echo "   (ntfscp's inject differs from the tree!)"
umount "$work/mnt"
echo "   VroMount /inject:  $(rate "$tree_bytes" "$ours_inject")"
echo "   ntfscp per file:   $(rate "$tree_bytes" "$native_inject")"

echo "== Registry export of the $((hive_bytes / 1048576)) MB SOFTWARE hive"
t0=$(now)
wine "$exe" "-img:$(win "$work/disk.img")" "/export:$(win "$work/out/ours.reg")::HKEY_LOCAL_MACHINE\\SOFTWARE"
t1=$(now)
ours_export=$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')
t0=$(now)
hivexregedit --export --prefix 'HKEY_LOCAL_MACHINE\SOFTWARE' "$hive" '\' > "$work/out/hivex.reg" 2>/dev/null
t1=$(now)
native_export=$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')
canon() { /usr/bin/python3 "$root/tests/app/reg-tool.py" canon "$1"; }
cmp -s <(canon "$work/out/ours.reg") <(canon "$work/out/hivex.reg") ||
  echo "   (the two .reg files do not hold the same keys and values!)"
echo "   VroMount /export:      $(rate "$hive_bytes" "$ours_export")  (.reg $(( $(stat -c %s "$work/out/ours.reg") / 1048576 )) MB, UTF-16)"
echo "   hivexregedit --export: $(rate "$hive_bytes" "$native_export")  (.reg $(( $(stat -c %s "$work/out/hivex.reg") / 1048576 )) MB, UTF-8)"

echo "== Ours against native (throughput ratio, above 1 is faster)"
echo "   extract: $(ratio "$ours_extract" "$native_extract")"
echo "   inject:  $(ratio "$ours_inject" "$native_inject")"
echo "   export:  $(ratio "$ours_export" "$native_export")"
