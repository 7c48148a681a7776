#!/usr/bin/env bash
# The time of a driver installation against its number of AddReg lines,
# against an import of the same values (not a test: it prints numbers and
# asserts nothing).
#   bench/iadapter-lines.sh [WORKDIR]
# The build dir is $VRO_BUILD_DIR (default build/); it is configured and the
# program built when needed. WORKDIR defaults to BUILD/bench-iadapter-lines.
# A Windows 7 x64 of the fixture's size on an NTFS disk; a driver store
# (built here as the store import lays it out) holding a display driver
# package of the sample INF whose AddReg holds N lines: half of them values
# of one key of HKLM\SOFTWARE, half one value each of as many keys of HKCR,
# for each N of $VRO_BENCH_LINES ("5000 20000"). The median of
# $VRO_BENCH_ROUNDS rounds (3), each on a fresh copy of the disk (the first
# also takes the device's INF out of the store's combined INF, as the first
# installation of a device does), of the seconds of the whole process of
#   iadapter   /iadapter:3: of the package's device
#   import     -noupd /import: of a .reg of the same values
# with the ratio iadapter / import. The last value of each is read back
# with hivexget.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VRO_BUILD_DIR:-$root/build}
work=${1:-$build/bench-iadapter-lines}
counts=${VRO_BENCH_LINES:-5000 20000}
rounds=${VRO_BENCH_ROUNDS:-3}
source "$root/bench/lib.sh"
require mkntfs ntfscat hivexget iconv python3

trap 'wineserver -k 2>/dev/null || true' EXIT
rm -rf "$work"
mkdir -p "$work/t"
echo "== Making the hives and the disk in $work"
"$root/tests/fixtures/mk-wintree.sh" "$work/tree" --no-kernel >/dev/null
config=Windows/System32/config
start=$("$root/tests/fixtures/mk-disk.sh" "$work/disk.img" --layout mbr2048 --size 192 \
  --tree "$work/tree")
device='VEN_1234&DEV_1111'

# got KEY VALUE: the value of the copy's SOFTWARE as hivexget reads it.
got() {
  dd if="$work/copy.img" of="$work/part.img" bs=512 skip="$start" status=none
  ntfscat "$work/part.img" "/$config/SOFTWARE" > "$work/hive"
  hivexget "$work/hive" "$1" "$2" 2>/dev/null || echo "<missing>"
}

for n in $counts; do
  echo "== $rounds rounds of each command for $n lines"
  addreg_inf "$work/bench.inf" "$work/bench.reg" $((n / 2))
  display_store "$work/VroBench" "$work/bench.inf"
  last=$(printf '%05d' $((n / 2 - 1)))
  for r in $(seq 1 "$rounds"); do
    cp --sparse=always "$work/disk.img" "$work/copy.img"
    rm -rf "$work/Cache"
    timed "iadapter_$n" wine "$work/VroBench.exe" "-img:$(win "$work/copy.img")" \
      "/iadapter:3:$device:1"
    [ "$(got '\VroBench' "V$last")" = "value $last" ] ||
      echo "   (the installation's values are missing)"
    cp --sparse=always "$work/disk.img" "$work/copy.img"
    timed "import_$n" wine "$exe" "-img:$(win "$work/copy.img")" -noupd \
      "/import:$(win "$work/bench.reg")"
    [ "$(got "\\Classes\\VroBench.k$last" Name)" = "value $last" ] ||
      echo "   (the import's values are missing)"
  done
done

echo "== Medians"
for n in $counts; do
  awk -v n="$n" -v a="$(med "iadapter_$n")" -v i="$(med "import_$n")" 'BEGIN {
    printf "   %6d lines: /iadapter: %7.2f s  /import: of the same values %7.2f s  ratio %5.2fx\n",
      n, a, i, a / i }'
done
