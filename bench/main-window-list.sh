#!/usr/bin/env bash
# Time until the main window's image list is filled with a folder of 20,000
# files, against ntfsls listing the same folder, as a ratio; and the peak
# working set of the process with that list open (not a test: it prints
# numbers and asserts nothing).
#   bench/main-window-list.sh [WORKDIR]
# The build dir is $VRO_BUILD_DIR (default build/); WORKDIR defaults to
# BUILD/bench-list. Needs a display ($DISPLAY) for the window.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VRO_BUILD_DIR:-$root/build}
work=${1:-$build/bench-list}
count=${VRO_BENCH_FILES:-20000}
cmake -S "$root" -B "$build" -G Ninja >/dev/null
ninja -C "$build" test_mainwnd >/dev/null
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all
"$root/tests/wine-prefix.sh" >/dev/null

rm -rf "$work"
mkdir -p "$work/tree/many"
( cd "$work/tree/many" && seq -f "file%05.0f.txt" 1 "$count" | xargs touch )
"$root/tests/fixtures/mk-disk.sh" "$work/disk.img" --layout none --size 256 --tree "$work/tree" >/dev/null

start=$(date +%s%N)
ntfsls "$work/disk.img" -p /many | wc -l
end=$(date +%s%N)
peer_ms=$(( (end - start) / 1000000 ))

image="Z:$(printf '%s' "$work/disk.img" | tr / '\\')"
out=$(VRO_BENCH_ADDRESS="$image\\many" "$root/tests/wine-run.sh" \
      "$build/tests/app/mainwnd/test_mainwnd.exe" --gtest_also_run_disabled_tests \
      --gtest_filter='*DISABLED_ListFillBenchmark' | grep -E '^(list-filled|enumerate)-ms')
ours_ms=$(echo "$out" | awk '/^list-filled/ {print $2}')
echo "$out"
echo "ntfsls-ms $peer_ms"
awk -v o="$ours_ms" -v p="$peer_ms" 'BEGIN { printf "ratio ours/ntfsls %.2f\n", o / (p > 0 ? p : 1) }'
