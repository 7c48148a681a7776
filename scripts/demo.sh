#!/usr/bin/env bash
# Sets up the machine, builds the program and shows its main job on a sample
# disk image that this script makes: the batch mode of VroMount.exe, run
# under Wine, puts a folder into the image, exports a registry key, imports a
# change, takes the results out again, and reports every step's exit code.
#
# Where the kernel runs no 32-bit programs, the 32-bit Wine that runs the
# program does so under emulation (setup registers it), which is slower.
# Exit code: 0 when every step ended with the code it shows, 1 otherwise.
# scripts/test.sh runs it as its check of the shipped program, with
# VRO_DEMO_SETUP=0 (no setup) and VRO_DEMO_WINEPREFIX (its suite's prefix).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VRO_BUILD_DIR:-$root/build}
[ "${VRO_DEMO_SETUP:-1}" = 0 ] || "$root/scripts/setup.sh"
mode=$("$root/scripts/ia32.sh" mode)
if [ "$mode" != native ]; then
  echo "== This kernel runs no 32-bit programs: VroMount.exe, a 32-bit program, runs"
  echo "   here under emulation (qemu-i386): each run takes a few seconds more, and"
  echo "   the demo about a minute more, than where they run natively"
  eval "$("$root/scripts/ia32.sh" env)"
fi
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686.cmake" >/dev/null
ninja -C "$build" VroMount
exe="$build/src/app/VroMount.exe"

export WINEPREFIX=${VRO_DEMO_WINEPREFIX:-$build/wineprefix}
# Under emulation the prefix is made and set up by the 64-bit loader, which
# runs natively; the program itself still runs in the 32-bit Wine.
if [ "$mode" != native ] && [ -x /usr/lib/wine/wine64 ]; then
  VRO_WINE=/usr/lib/wine/wine64 "$root/tests/wine-prefix.sh" >/dev/null
else
  "$root/tests/wine-prefix.sh" >/dev/null
fi
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

demo="$build/demo"
rm -rf "$demo"
mkdir -p "$demo/host/Tools/bin" "$demo/out"
win() { printf 'Z:%s' "$1" | tr / '\\'; }   # Wine maps / to Z:

echo "== Making the sample image: a 64 MiB MBR disk with an NTFS volume holding"
echo "   a small Windows tree (SYSTEM and SOFTWARE hives, a kernel file)"
"$root/tests/fixtures/mk-wintree.sh" "$demo/tree" --version 10.0.19045.1
mkdir -p "$demo/tree/Users/Public/Documents"
printf 'Hello from the image\r\n' > "$demo/tree/Users/Public/Documents/hello.txt"
start=$("$root/tests/fixtures/mk-disk.sh" "$demo/disk.img" --layout mbr2048 --size 64 \
        --tree "$demo/tree" --label DEMO)
image=$(win "$demo/disk.img")

# The folder to inject and the registry change to import.
printf 'Demo tool settings\r\n' > "$demo/host/Tools/tool.ini"
head -c 200000 /dev/urandom > "$demo/host/Tools/bin/tool.dat"
printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n"RegisteredOwner"="VroMount demo"\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\DemoService]\r\n"Start"=dword:00000003\r\n"ImagePath"="\\\\Tools\\\\bin\\\\tool.dat"\r\n' \
  | iconv -f utf-8 -t utf-16 > "$demo/change.reg"
printf 'not a registry file\r\n' > "$demo/broken.reg"

# Runs the program in batch mode and reports its exit code. A Unix shell
# sees only the low byte of the 32-bit code; the program's codes are small
# negative numbers, so the byte read as signed is the code.
summary=()
wrong=0
run() {
  local expect=$1 what=$2; shift 2
  echo
  echo "== $what"
  echo "   VroMount.exe $*"
  local code=0
  wine "$exe" "$@" || code=$?
  [ "$code" -gt 127 ] && code=$((code - 256))
  local meaning
  case $code in
    0) meaning="success";;
    -12) meaning="the copy, export or merge failed";;
    -13) meaning="malformed argument";;
    -14) meaning="the registry hives cannot be loaded";;
    -15) meaning="the image cannot be opened";;
    -16) meaning="an import into the registry failed";;
    *) meaning="?";;
  esac
  echo "   exit code $code: $meaning"
  if [ "$code" -ne "$expect" ]; then
    echo "   expected exit code $expect"
    wrong=$((wrong + 1))
  fi
  summary+=("$(printf '%4d  %s' "$code" "$what")")
}

key='HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion'
run 0 "Inject the folder Tools into the image" \
  "-img:$image" "/inject:\\Tools::$(win "$demo/host/Tools")"
run 0 "Export a registry key to a .reg file" \
  "-img:$image" "/export:$(win "$demo/out/before.reg")::$key"
echo "   --- before.reg:"
iconv -f utf-16 -t utf-8 "$demo/out/before.reg" | tr -d '\r' | sed 's/^/   /'
run 0 "Import a change from a .reg file" \
  "-img:$image" "/import:$(win "$demo/change.reg")"
run 0 "Export the key again" \
  "-img:$image" "/export:$(win "$demo/out/after.reg")::$key"
echo "   --- what changed (diff before.reg after.reg):"
diff <(iconv -f utf-16 -t utf-8 "$demo/out/before.reg" | tr -d '\r') \
     <(iconv -f utf-16 -t utf-8 "$demo/out/after.reg" | tr -d '\r') | sed 's/^/   /' || true
run 0 "Extract the injected folder and the SOFTWARE and SYSTEM hives" \
  "-img:$image" "/extract:\\Tools::$(win "$demo/out/Tools")" \
  "/extract:\\Windows\\System32\\config\\SOFTWARE::$(win "$demo/out/SOFTWARE")" \
  "/extract:\\Windows\\System32\\config\\SYSTEM::$(win "$demo/out/SYSTEM")"
echo "   --- checked with independent tools:"
if diff -r "$demo/host/Tools" "$demo/out/Tools" >/dev/null 2>&1; then
  echo "   diff -r: the extracted Tools folder equals the injected one"
else
  echo "   diff -r: the extracted Tools folder differs from the injected one"
  wrong=$((wrong + 1))
fi
owner=$(hivexget "$demo/out/SOFTWARE" '\Microsoft\Windows NT\CurrentVersion' RegisteredOwner 2>&1) || true
start_value=$(hivexget "$demo/out/SYSTEM" '\ControlSet001\Services\DemoService' Start 2>&1) || true
echo "   hivexget SOFTWARE RegisteredOwner: $owner"
echo "   hivexget SYSTEM DemoService Start:  $start_value"
[ "$owner" = "VroMount demo" ] && [ "$start_value" = 3 ] || wrong=$((wrong + 1))
dd if="$demo/disk.img" of="$demo/volume.ntfs" bs=512 skip="$start" count=$((64 * 2048)) status=none
echo "   ntfsls -l /Tools/bin on the image's volume:"
ntfsls -l -p /Tools/bin "$demo/volume.ntfs" | sed 's/^/     /'
ntfsfix -n "$demo/volume.ntfs" 2>&1 | tail -1 | sed 's/^/   ntfsfix -n: /'

echo
echo "== What goes wrong is reported by the exit code:"
run -16 "Import a broken .reg file" "-img:$image" "/import:$(win "$demo/broken.reg")"
run -12 "Extract a file that is not there" "-img:$image" "/extract:\\nothing.txt::$(win "$demo/out/x")"
run -13 "A malformed command (no '::')" "-img:$image" "/extract:\\Tools"
run -15 "An image that does not exist" "-img:$(win "$demo/missing.img")" "/extract:\\Tools::$(win "$demo/out/y")"

echo
echo "== Summary (exit code, step)"
printf '   %s\n' "${summary[@]}"
if [ $wrong -ne 0 ]; then
  echo "demo: $wrong step(s) or check(s) ended otherwise than expected (see above)" >&2
  exit 1
fi
