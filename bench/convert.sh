#!/usr/bin/env bash
# Speed of "/convert:" against qemu-img convert on the same disk (not a test:
# it prints numbers and asserts no speed).
#   bench/convert.sh [WORKDIR]     as root (FUSE mount while making the disk)
# The build dir is $VRO_BUILD_DIR (default build/); it is configured and the
# program built when needed. WORKDIR defaults to BUILD/bench-convert.
# Makes a 4 GiB raw disk (one MBR partition) whose NTFS volume holds
# $VRO_BENCH_MB MiB (2048) of files of 1-16 MiB, and a dynamic VHD of it
# (qemu-img), then times, whole processes, the median of $VRO_BENCH_ROUNDS
# rounds (3), for each of the two sources:
#   own      "-img:TARGET /convert:SOURCE": the used clusters into a new
#            image of the own sparse format; peer qemu-img convert -O qcow2
#            (the sparse format a user would pick instead)
#   plain    the same with /p: a plain image; peer qemu-img convert -O raw
#   start    the program with a malformed "/create:0"
# and prints the ratios as whole processes and with our start taken off.
# The copies are checked afterwards: a plain copy passes ntfsfix -n and one
# file reads back with ntfscat; the own copy passes our /check.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VRO_BUILD_DIR:-$root/build}
work=${1:-$build/bench-convert}
rounds=${VRO_BENCH_ROUNDS:-3}
megabytes=${VRO_BENCH_MB:-2048}
source "$root/bench/lib.sh"
require qemu-img ntfsfix ntfscat ntfs-3g mkntfs

trap 'wineserver -k 2>/dev/null || true' EXIT
rm -rf "$work"
mkdir -p "$work/t" "$work/tree"
echo "== a 4 GiB disk with $megabytes MiB of files and a dynamic VHD of it, in $work"
make_file_tree "$work/tree" "$megabytes"
start=$("$root/tests/fixtures/mk-disk.sh" "$work/source.img" --size 4094 --layout mbr2048 \
  --tree "$work/tree")
qemu-img convert -f raw -O vpc -o subformat=dynamic,force_size=on "$work/source.img" \
  "$work/source.vhd"

for r in $(seq 1 "$rounds"); do
  timed start sh -c 'wine "$1" "$2" /create:0; [ $? -eq 243 ]' sh "$exe" \
    "-img:$(win "$work/none.img")"
  for kind in img vhd; do
    format=raw
    [ "$kind" = vhd ] && format=vpc
    rm -f "$work"/out.*
    timed "own_$kind" ours "-img:$(win "$work/out.vmd")" "/convert:$(win "$work/source.$kind")"
    timed "qcow2_$kind" qemu-img convert -f "$format" -O qcow2 "$work/source.$kind" "$work/out.qcow2"
    timed "plain_$kind" ours "-img:$(win "$work/out.img")" /p "/convert:$(win "$work/source.$kind")"
    timed "raw_$kind" qemu-img convert -f "$format" -O raw "$work/source.$kind" "$work/out.raw"
  done
done

# The checks, on the last round's copies (from the dynamic VHD).
first=$(cd "$work/tree" && find . -name '*.bin' | sort | head -1)
dd if="$work/out.img" of="$work/plain.disk" bs=512 skip=$((1 + start)) count=$((4094 * 2048)) \
  conv=sparse status=none
ntfsfix -n "$work/plain.disk" >/dev/null 2>&1 || echo "   (our plain copy fails ntfsfix -n!)"
ntfscat "$work/plain.disk" "${first#./}" | cmp -s - "$work/tree/${first#./}" ||
  echo "   (our plain copy differs!)"
ours "-img:$(win "$work/out.vmd")" -noupd /check >/dev/null 2>&1 ||
  echo "   (our own-format copy does not pass /check!)"
du -h --apparent-size "$work/out.vmd" "$work/out.img" "$work/out.qcow2" "$work/out.raw" | sed 's/^/   /'
du -h "$work/out.vmd" "$work/out.img" "$work/out.qcow2" "$work/out.raw" | sed 's/^/   allocated /'

echo "== Medians (s); ratio = ours / peer; 'less start' takes our start off"
s=$(med start)
row() { ratio_row "$@" 28; }
printf '   %-28s %7.2f\n' "start, /create:0" "$s"
for kind in img vhd; do
  name="raw disk"
  [ "$kind" = vhd ] && name="dynamic VHD"
  row "$name -> own format" "$(med "own_$kind")" "qemu-img -O qcow2" "$(med "qcow2_$kind")"
  row "$name -> plain (/p)" "$(med "plain_$kind")" "qemu-img -O raw" "$(med "raw_$kind")"
done
