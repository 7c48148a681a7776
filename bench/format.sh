#!/usr/bin/env bash
# Speed of the NTFS quick format against mkntfs on the same size (not a
# test: it prints numbers and asserts no speed).
#   bench/format.sh [WORKDIR]
# The build dir is $VRO_BUILD_DIR (default build/); it is configured and the
# program built when needed. WORKDIR defaults to BUILD/bench-format.
# Times, whole processes, the median of $VRO_BENCH_ROUNDS rounds (5), each
# round running once:
#   create    "/create:65536": a new 64 GiB own sparse image, formatted
#   format    "-noupd /format" on that image
#   mkntfs    mkntfs -Q -F on a 64 GiB sparse file
#   start     the program with a malformed "/create:0" (Wine's start and the
#             program's own, nothing opened or formatted)
# and prints each ratio to mkntfs as whole processes and with our start
# taken off. Every volume is checked afterwards (ntfsfix -n for mkntfs's,
# an inject and extract round trip for ours).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VRO_BUILD_DIR:-$root/build}
work=${1:-$build/bench-format}
rounds=${VRO_BENCH_ROUNDS:-5}
source "$root/bench/lib.sh"
require mkntfs ntfsfix truncate

trap 'wineserver -k 2>/dev/null || true' EXIT
win() { printf 'Z:%s' "$1" | tr / '\\'; }

rm -rf "$work"
mkdir -p "$work/t"
size_mib=65536
image="$work/ours.img"
peer="$work/mkntfs.img"


echo "== $rounds rounds on 64 GiB (sparse) in $work"
for r in $(seq 1 "$rounds"); do
  timed start sh -c 'wine "$1" "$2" /create:0; [ $? -eq 243 ]' sh "$exe" "-img:$(win "$work/none.img")"
  rm -f "$image"*
  timed create ours "-img:$(win "$image")" "/create:$size_mib"
  timed format ours "-img:$(win "$image")" -noupd /format
  rm -f "$peer"
  truncate -s $((size_mib * 1048576)) "$peer"
  timed mkntfs mkntfs -Q -F "$peer"
done

ntfsfix -n "$peer" >/dev/null || echo "   (mkntfs's volume does not pass ntfsfix -n!)"
mkdir -p "$work/in" && echo "round trip" > "$work/in/a.txt"
ours "-img:$(win "$image")" -noupd "/inject:\\In::$(win "$work/in")" >/dev/null 2>&1 &&
  ours "-img:$(win "$image")" "/extract:\\In::$(win "$work/out")" >/dev/null 2>&1 &&
  diff -r "$work/in" "$work/out" >/dev/null || echo "   (our volume does not take an inject and extract!)"
printf '   image file: %d MB on disk for %d MiB\n' $(( $(du -k "$image" | cut -f1) / 1024 )) "$size_mib"

echo "== Medians (s); ratio = ours / mkntfs, time; 'less start' takes our start off"
s=$(med start)
m=$(med mkntfs)
row() {  # row LABEL OURS
  awk -v l="$1" -v o="$2" -v p="$m" -v s="$s" 'BEGIN {
    printf "   %-26s ours %6.2f  mkntfs -Q -F %6.2f  ratio %5.2fx  less start %5.2fx\n",
      l, o, p, o / p, (o - s) / p }'
}
printf '   %-26s %6.2f\n' "start, /create:0" "$s"
row "/create:$size_mib" "$(med create)"
row "-noupd /format" "$(med format)"
