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
# HKLM\SOFTWARE and as many keys under HKCR. The median of
# $VRO_BENCH_ROUNDS rounds (3), each on a fresh copy of the disk, of the
# peak of the whole process (/usr/bin/time, MiB) of
#   iadapter   /iadapter:3: of the package's device
#   import     -noupd /import: of a .reg of the same SOFTWARE values
# for each disk, with the ratio iadapter / import and each command's exit
# code. The last value of each is read back with hivexget.
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

echo "== The store and the .reg of the same values"
device='VEN_1234&DEV_1111'
version="$work/store/Display/6.1_x64/$device/26.20.100.8141"
mkdir -p "$version"
# utf16 FILE: standard input as UTF-16LE with its byte-order mark.
utf16() { { printf '\377\376'; iconv -f UTF-8 -t UTF-16LE; } > "$1"; }
printf '[PCI\\%s]\r\n%s\r\n' "$device" "$device" | utf16 "$work/store/Display/6.1_x64/VroDir.ini"
printf '[DeviceList]\r\n[PCI]\r\n%s\r\n' "$device" | utf16 "$version/VroPnp.ini"
for f in vrogfx.sys vrogfxum.dll vrogfxd.dll; do head -c 20000 /dev/urandom > "$version/$f"; done
python3 - "$root/tests/infinstall/fixtures/vrodisp.inf" "$work/bench.inf" "$work/bench.reg" \
  "$values" <<'PY'
import sys
src, inf, reg, n = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
text = open(src, encoding="utf-8").read()
text = text.replace("AddReg       = VroGfx_SoftwareDeviceSettings",
                    "AddReg       = VroGfx_SoftwareDeviceSettings, Bench.reg")
lines = ["[Bench.reg]"]
lines += ['HKLM, SOFTWARE\\VroBench, V%04d, 0, "value %04d"' % (i, i) for i in range(n)]
lines += ['HKCR, VroBench.k%04d, Name, 0, "value %04d"' % (i, i) for i in range(n)]
open(inf, "w", encoding="utf-8").write(text + "\n" + "\n".join(lines) + "\n")
out = ["Windows Registry Editor Version 5.00", "", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\VroBench]"]
out += ['"V%04d"="value %04d"' % (i, i) for i in range(n)]
for i in range(n):
    out += ["", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\VroBench.k%04d]" % i,
            '"Name"="value %04d"' % i]
open(reg, "w", encoding="utf-16").write("\r\n".join(out) + "\r\n")
PY
python3 "$root/tests/infinstall/resolve-inf.py" "$work/bench.inf" "$version/VroPnp.inf" \
  NTamd64.6.1 Vro VroGfx.NTamd64
# A copy of the program whose settings name the store.
cp "$exe" "$work/VroBench.exe"
printf '[Config]\r\nDrvPath=%s\r\n' "$(win "$work/store")" > "$work/VroBench.ini"

# got KIND KEY VALUE: the value of the copy's SOFTWARE as hivexget reads it.
got() {
  dd if="$work/copy.img" of="$work/part.img" bs=512 skip="${start[$1]}" status=none
  ntfscat "$work/part.img" "/$config/SOFTWARE" > "$work/hive"
  hivexget "$work/hive" "$2" "$3" 2>/dev/null || echo "<missing>"
}
last=$(printf '%04d' $((values - 1)))

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
  done
done

echo "== Medians"
for kind in large huge; do
  awk -v k="$kind" -v a="$(med "iadapter_$kind")" -v i="$(med "import_$kind")" 'BEGIN {
    printf "   %s SOFTWARE: /iadapter: %7.1f MiB  /import: of the same values %7.1f MiB  ratio %5.2fx\n",
      k, a / 1024, i / 1024, a / i }'
done
