#!/usr/bin/env bash
# What an import holds and costs against the hive it goes into, and what
# HKEY_CURRENT_USER costs beside a large SOFTWARE (not a test: it prints
# numbers and asserts nothing).
#   bench/hive-import-peak.sh [WORKDIR]
# The build dir is $VRO_BUILD_DIR (default build/); it is configured and the
# program built when needed. WORKDIR defaults to BUILD/bench-hive-import.
# Three trees of an offline Windows with a last user (alice), the same but
# for SOFTWARE: the fixture's small one, one of about 90 MB
# ($VRO_BENCH_HIVE_MB of value data, 68) and one above 300 MB
# ($VRO_BENCH_BIG_MB, 250), each on an NTFS disk. The median of
# $VRO_BENCH_ROUNDS rounds (3) of:
#   huge hive   the peak of the whole process (/usr/bin/time, MiB) of the
#               /export: of a small key of SOFTWARE (the hive loaded) and of
#               the -noupd /import: of one value into SOFTWARE (on a fresh
#               copy of the disk): ratio import / export
#   wildcard    seconds of the -noupd /import: of 20 files of one value each
#               (a wildcard) into the 90 MB SOFTWARE and of one file of the
#               same 20 values: ratio wildcard / one file
#   user hive   the peak of the /export: of HKEY_CURRENT_USER (a hive of a
#               few hundred bytes) beside the 90 MB SOFTWARE and beside the
#               small one: ratio large / small
# The imported values are read back with hivexget.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VRO_BUILD_DIR:-$root/build}
work=${1:-$build/bench-hive-import}
hive_mb=${VRO_BENCH_HIVE_MB:-68}
big_mb=${VRO_BENCH_BIG_MB:-250}
rounds=${VRO_BENCH_ROUNDS:-3}
source "$root/bench/lib.sh"
require mkntfs ntfscat hivexget python3 /usr/bin/time

trap 'wineserver -k 2>/dev/null || true' EXIT
rm -rf "$work"
mkdir -p "$work/t" "$work/out" "$work/many"
echo "== Making the hives and the three disks in $work"
"$root/tests/fixtures/mk-wintree.sh" "$work/small" --no-kernel --user alice >/dev/null
config=Windows/System32/config
cp -r "$work/small" "$work/large"
cp -r "$work/small" "$work/huge"
/usr/bin/python3 "$root/tests/app/reg-tool.py" big "$work/large/$config/SOFTWARE" "$hive_mb"
/usr/bin/python3 "$root/tests/app/reg-tool.py" big "$work/huge/$config/SOFTWARE" "$big_mb"
declare -A start
for kind in small large huge; do
  mb=$(( $(stat -c %s "$work/$kind/$config/SOFTWARE") / 1048576 ))
  start[$kind]=$("$root/tests/fixtures/mk-disk.sh" "$work/$kind.img" --layout mbr2048 \
    --size $(( mb * 2 + 192 )) --tree "$work/$kind")
  printf '   %s: SOFTWARE %d MB\n' "$kind" "$mb"
done

# reg FILE BODY: a .reg file of the body's lines (UTF-16).
reg() {
  python3 - "$1" "$2" <<'PY'
import sys
with open(sys.argv[1], "w", encoding="utf-16") as f:
    f.write("Windows Registry Editor Version 5.00\r\n\r\n" + sys.argv[2].replace("\n", "\r\n") + "\r\n")
PY
}
reg "$work/one.reg" $'[HKEY_LOCAL_MACHINE\\SOFTWARE\\Bench]\n"One"="value"'
body=$'[HKEY_LOCAL_MACHINE\\SOFTWARE\\Bench]'
for i in $(seq -w 1 20); do
  reg "$work/many/v$i.reg" $'[HKEY_LOCAL_MACHINE\\SOFTWARE\\Bench]\n"V'"$i"$'"="value '"$i"'"'
  body+=$'\n"V'"$i"$'"="value '"$i"'"'
done
reg "$work/twenty.reg" "$body"

# got KIND FILE KEY VALUE: the value as hivexget reads it from the copy.
got() {
  dd if="$work/copy.img" of="$work/part.img" bs=512 skip="${start[$1]}" status=none
  ntfscat "$work/part.img" "/$2" > "$work/hive"
  hivexget "$work/hive" "$3" "$4" 2>/dev/null || echo "<missing>"
}

echo "== $rounds rounds of each command"
for r in $(seq 1 "$rounds"); do
  rm -f "$work/out/"*.reg
  peak export_huge wine "$exe" "-img:$(win "$work/huge.img")" \
    "/export:$(win "$work/out/vro.reg")::HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro"
  cp --sparse=always "$work/huge.img" "$work/copy.img"
  peak import_huge wine "$exe" "-img:$(win "$work/copy.img")" -noupd \
    "/import:$(win "$work/one.reg")"
  [ "$(got huge "$config/SOFTWARE" '\Bench' One)" = value ] || echo "   (the import is missing!)"

  cp --sparse=always "$work/large.img" "$work/copy.img"
  timed wildcard wine "$exe" "-img:$(win "$work/copy.img")" -noupd \
    "/import:$(win "$work/many")\\*.reg"
  [ "$(got large "$config/SOFTWARE" '\Bench' V20)" = "value 20" ] || echo "   (V20 is missing!)"
  cp --sparse=always "$work/large.img" "$work/copy.img"
  timed onefile wine "$exe" "-img:$(win "$work/copy.img")" -noupd \
    "/import:$(win "$work/twenty.reg")"

  for kind in small large; do
    peak "user_$kind" wine "$exe" "-img:$(win "$work/$kind.img")" \
      "/export:$(win "$work/out/user_$kind.reg")::HKEY_CURRENT_USER"
  done
done
cmp -s "$work/out/user_small.reg" "$work/out/user_large.reg" ||
  echo "   (the two exports of HKEY_CURRENT_USER differ!)"

echo "== Medians"
awk -v e="$(med export_huge)" -v i="$(med import_huge)" 'BEGIN {
  printf "   huge SOFTWARE: /export: of a key %7.1f MiB  /import: of one value %7.1f MiB  ratio %5.2fx\n",
    e / 1024, i / 1024, i / e }'
awk -v w="$(med wildcard)" -v o="$(med onefile)" 'BEGIN {
  printf "   90 MB SOFTWARE: 20 files of one value %6.2f s  one file of 20 values %6.2f s  ratio %5.2fx\n",
    w, o, w / o }'
awk -v s="$(med user_small)" -v l="$(med user_large)" 'BEGIN {
  printf "   HKEY_CURRENT_USER /export:: beside small SOFTWARE %6.1f MiB  beside 90 MB %6.1f MiB  ratio %5.2fx\n",
    s / 1024, l / 1024, l / s }'
