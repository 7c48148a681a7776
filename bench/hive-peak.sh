#!/usr/bin/env bash
# Peak memory of a registry command that names one hive, on an image whose
# SOFTWARE hive is large against the same image with a small SOFTWARE (not
# a test: it prints numbers and asserts nothing): a command loads only the
# hives it reads or writes, so the large hive beside it costs nothing.
#   bench/hive-peak.sh [WORKDIR]
# The build dir is $VRO_BUILD_DIR (default build/); it is configured and the
# program built when needed. WORKDIR defaults to BUILD/bench-hive-peak.
# Two trees of an offline Windows, the same but for SOFTWARE: a SYSTEM hive
# of about 8 MB in both (tests/app/reg-tool.py big), a SOFTWARE hive of
# about 90 MB ($VRO_BENCH_HIVE_MB of value data, 68) in one and the small
# fixture's in the other, each on a 256 MiB NTFS disk. On each disk, the
# median of $VRO_BENCH_ROUNDS rounds (3) of:
#   export   /export: of HKEY_LOCAL_MACHINE\SYSTEM
#   import   -noupd /import: of a key of 20,000 string values into SYSTEM
#            (on a fresh copy of the disk each round)
# with the peak of the whole process (the largest resident size, from
# /usr/bin/time, in MiB). Each row prints both peaks and the ratio
# large / small: about 1 when the large hive is not loaded. The two exports
# are compared (the same text), and the import's key is counted with
# hivexsh.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VRO_BUILD_DIR:-$root/build}
work=${1:-$build/bench-hive-peak}
hive_mb=${VRO_BENCH_HIVE_MB:-68}
rounds=${VRO_BENCH_ROUNDS:-3}
source "$root/bench/lib.sh"
require mkntfs ntfscat hivexsh python3 /usr/bin/time

trap 'wineserver -k 2>/dev/null || true' EXIT
rm -rf "$work"
mkdir -p "$work/t" "$work/out"
echo "== Making the hives and the two disks in $work"
"$root/tests/fixtures/mk-wintree.sh" "$work/small" --no-kernel >/dev/null
config=Windows/System32/config
/usr/bin/python3 "$root/tests/app/reg-tool.py" big "$work/small/$config/SYSTEM" 7
cp -r "$work/small" "$work/large"
/usr/bin/python3 "$root/tests/app/reg-tool.py" big "$work/large/$config/SOFTWARE" "$hive_mb"
declare -A start
for kind in small large; do
  start[$kind]=$("$root/tests/fixtures/mk-disk.sh" "$work/$kind.img" --layout mbr2048 \
    --size 256 --tree "$work/$kind")
  printf '   %s: SYSTEM %d MB, SOFTWARE %d MB\n' "$kind" \
    $(( $(stat -c %s "$work/$kind/$config/SYSTEM") / 1048576 )) \
    $(( $(stat -c %s "$work/$kind/$config/SOFTWARE") / 1048576 ))
done

reg_key "$work/keys20k.reg" 20000

echo "== $rounds rounds of each command on each disk"
for r in $(seq 1 "$rounds"); do
  for kind in small large; do
    rm -f "$work/out/$kind.reg"
    peak "export_$kind" wine "$exe" "-img:$(win "$work/$kind.img")" \
      "/export:$(win "$work/out/$kind.reg")::HKEY_LOCAL_MACHINE\\SYSTEM"
    cp --sparse=always "$work/$kind.img" "$work/copy.img"
    peak "import_$kind" wine "$exe" "-img:$(win "$work/copy.img")" -noupd \
      "/import:$(win "$work/keys20k.reg")"
  done
done
cmp -s "$work/out/small.reg" "$work/out/large.reg" ||
  echo "   (the two exports of SYSTEM differ!)"
dd if="$work/copy.img" of="$work/part.img" bs=512 skip="${start[large]}" status=none
ntfscat "$work/part.img" "/$config/SYSTEM" > "$work/SYSTEM"
got=$(printf 'cd Bench\nlsval\n' | hivexsh "$work/SYSTEM" | wc -l)
[ "$got" -eq 20000 ] || echo "   (the import left $got values, not 20000!)"

echo "== Peak resident size, median (MiB); ratio = large SOFTWARE / small SOFTWARE"
for op in export import; do
  awk -v op="$op" -v s="$(med "${op}_small")" -v l="$(med "${op}_large")" 'BEGIN {
    printf "   %-7s SYSTEM  small SOFTWARE %7.1f  large SOFTWARE %7.1f  ratio %5.2fx\n",
      op, s / 1024, l / 1024, l / s }'
done
