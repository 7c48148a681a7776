#!/usr/bin/env bash
# What a driver installation holds of a large SOFTWARE hive against an
# import of the same values (not a test: it prints numbers and asserts
# nothing).
#   bench/iadapter-peak.sh [WORKDIR]
# The build dir is $VRO_BUILD_DIR (default build/); it is configured and the
# program built when needed. WORKDIR defaults to BUILD/bench-iadapter-peak.
# Two trees of a Windows 7 x64, the same but for SOFTWARE: one of about
# 90 MB ($VRO_BENCH_HIVE_MB of value data, 68) and one above 300 MB
# ($VRO_BENCH_BIG_MB, 250), each on an NTFS disk. A driver store (built
# here as the store import lays it out) holds a display driver package of
# the sample INF whose AddReg adds $VRO_BENCH_VALUES (200) values under
# HKLM\SOFTWARE and as many keys under HKCR, and a second store whose
# package's DelReg deletes the key HKLM\SOFTWARE\Big that holds nearly all
# of the hive. The median of $VRO_BENCH_ROUNDS rounds (3), each on a fresh
# copy of the disk, of the peak of the whole process (/usr/bin/time, MiB) of
#   iadapter   /iadapter:3: of the package's device
#   import     -noupd /import: of a .reg of the same SOFTWARE values
#   delete     /iadapter:3: of the deleting package's device
#   import -   -noupd /import: of a .reg deleting the same key
# for each disk, with the ratios iadapter / import and delete / import -,
# and each command's exit code, and the MB each wrote to host files (the
# image and the temporary files; the kernel's count). The last value of
# each addition is read back with hivexget, and the deleted key is looked
# for.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VRO_BUILD_DIR:-$root/build}
work=${1:-$build/bench-iadapter-peak}
hive_mb=${VRO_BENCH_HIVE_MB:-68}
big_mb=${VRO_BENCH_BIG_MB:-250}
values=${VRO_BENCH_VALUES:-200}
rounds=${VRO_BENCH_ROUNDS:-3}
source "$root/bench/lib.sh"
require mkntfs ntfscat hivexget iconv python3 /usr/bin/time

trap 'wineserver -k 2>/dev/null || true' EXIT
rm -rf "$work"
mkdir -p "$work/t"
echo "== Making the hives and the two disks in $work"
"$root/tests/fixtures/mk-wintree.sh" "$work/large" --no-kernel >/dev/null
config=Windows/System32/config
cp -r "$work/large" "$work/huge"
/usr/bin/python3 "$root/tests/app/reg-tool.py" big "$work/large/$config/SOFTWARE" "$hive_mb"
/usr/bin/python3 "$root/tests/app/reg-tool.py" big "$work/huge/$config/SOFTWARE" "$big_mb"
declare -A start
for kind in large huge; do
  mb=$(( $(stat -c %s "$work/$kind/$config/SOFTWARE") / 1048576 ))
  start[$kind]=$("$root/tests/fixtures/mk-disk.sh" "$work/$kind.img" --layout mbr2048 \
    --size $(( mb * 2 + 192 )) --tree "$work/$kind")
  printf '   %s: SOFTWARE %d MB\n' "$kind" "$mb"
done

echo "== The stores and the .reg files of the same values"
device='VEN_1234&DEV_1111'
addreg_inf "$work/bench.inf" "$work/bench.reg" "$values"
python3 - "$root/tests/infinstall/fixtures/vrodisp.inf" "$work/delete.inf" "$work/delete.reg" <<'PY'
import sys
text = open(sys.argv[1], encoding="utf-8").read()
text = text.replace("AddReg       = VroGfx_SoftwareDeviceSettings",
                    "AddReg       = VroGfx_SoftwareDeviceSettings\nDelReg       = Bench.del")
open(sys.argv[2], "w", encoding="utf-8").write(text + "\n[Bench.del]\nHKLM, SOFTWARE\\Big\n")
open(sys.argv[3], "w", encoding="utf-16").write(
    "Windows Registry Editor Version 5.00\r\n\r\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Big]\r\n")
PY
display_store "$work/VroBench" "$work/bench.inf"
display_store "$work/VroDelete" "$work/delete.inf"

# got KIND KEY VALUE: the value of the copy's SOFTWARE as hivexget reads it.
got() {
  dd if="$work/copy.img" of="$work/part.img" bs=512 skip="${start[$1]}" status=none
  ntfscat "$work/part.img" "/$config/SOFTWARE" > "$work/hive"
  hivexget "$work/hive" "$2" "$3" 2>/dev/null || echo "<missing>"
}
last=$(printf '%05d' $((values - 1)))

echo "== $rounds rounds of each command on each disk"
for r in $(seq 1 "$rounds"); do
  for kind in large huge; do
    cp --sparse=always "$work/$kind.img" "$work/copy.img"
    rm -rf "$work/Cache"
    peak "iadapter_$kind" wine "$work/VroBench.exe" "-img:$(win "$work/copy.img")" \
      "/iadapter:3:$device:1"
    [ "$(got "$kind" '\VroBench' "V$last")" = "value $last" ] ||
      echo "   ($kind: the installation's values are missing)"
    cp --sparse=always "$work/$kind.img" "$work/copy.img"
    peak "import_$kind" wine "$exe" "-img:$(win "$work/copy.img")" -noupd \
      "/import:$(win "$work/bench.reg")"
    [ "$(got "$kind" "\\Classes\\VroBench.k$last" Name)" = "value $last" ] ||
      echo "   ($kind: the import's values are missing)"
    cp --sparse=always "$work/$kind.img" "$work/copy.img"
    rm -rf "$work/Cache"
    peak "delete_$kind" wine "$work/VroDelete.exe" "-img:$(win "$work/copy.img")" \
      "/iadapter:3:$device:1"
    [ "$(got "$kind" '\Big\Group0000\Key00' Value00)" = "<missing>" ] ||
      echo "   ($kind: the installation left the key)"
    cp --sparse=always "$work/$kind.img" "$work/copy.img"
    peak "import_delete_$kind" wine "$exe" "-img:$(win "$work/copy.img")" -noupd \
      "/import:$(win "$work/delete.reg")"
    [ "$(got "$kind" '\Big\Group0000\Key00' Value00)" = "<missing>" ] ||
      echo "   ($kind: the import left the key)"
  done
done

echo "== Medians"
# written NAME: MB of the median run's writes.
written() { awk '{ printf "%.1f", $1 / 1048576 }' <<<"$(median < "$work/t/$1.written")"; }
for kind in large huge; do
  awk -v k="$kind" -v a="$(med "iadapter_$kind")" -v i="$(med "import_$kind")" 'BEGIN {
    printf "   %s SOFTWARE: /iadapter: %7.1f MiB  /import: of the same values %7.1f MiB  ratio %5.2fx\n",
      k, a / 1024, i / 1024, a / i }'
  printf '   %s SOFTWARE: written by /iadapter: %s MB, by /import: %s MB\n' "$kind" \
    "$(written "iadapter_$kind")" "$(written "import_$kind")"
  awk -v k="$kind" -v a="$(med "delete_$kind")" -v i="$(med "import_delete_$kind")" 'BEGIN {
    printf "   %s SOFTWARE: /iadapter: deleting Big %7.1f MiB  /import: deleting it %7.1f MiB  ratio %5.2fx\n",
      k, a / 1024, i / 1024, a / i }'
done
