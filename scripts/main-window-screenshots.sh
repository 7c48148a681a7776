#!/usr/bin/env bash
# Takes the README's pictures of the main window: the program, run under Wine
# on a virtual display, opens a sample GPT disk image (EFI system partition
# and an NTFS volume) in each of its three languages; each window is saved as
# docs/main-LANG.png. Rerun it after changing the window or its texts.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VRO_BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -G Ninja >/dev/null
ninja -C "$build" VroMount
export WINEPREFIX="$build/wineprefix"
"$root/tests/wine-prefix.sh" >/dev/null
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

if [ -z "${DISPLAY:-}" ]; then
  for n in $(seq 80 89); do
    [ -e /tmp/.X11-unix/X$n ] && continue
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb_pid=$!
    export DISPLAY=":$n"
    trap 'kill $xvfb_pid 2>/dev/null || true' EXIT
    sleep 1
    break
  done
fi

work="$build/screenshots"
rm -rf "$work"
mkdir -p "$work/tree/Windows/System32/drivers" "$work/tree/Users/Public" "$work/tree/Program Files" \
         "$work/esp/EFI/Boot"
printf 'sample\r\n' > "$work/tree/readme.txt"
head -c 120000 /dev/zero > "$work/tree/Windows/System32/kernel32.dll"
head -c 30000 /dev/zero > "$work/tree/Windows/System32/drivers/disk.sys"
head -c 4000 /dev/zero > "$work/tree/Windows/notepad.exe"
printf '[boot]\r\n' > "$work/tree/Windows/system.ini"
head -c 9000 /dev/zero > "$work/tree/tools.zip"
head -c 2000 /dev/zero > "$work/tree/logo.png"
printf 'x' > "$work/esp/EFI/Boot/bootx64.efi"
"$root/tests/fixtures/mk-disk.sh" "$work/disk.img" --layout gpt-esp --esp-size 40 --size 24 \
  --tree "$work/tree" --esp-tree "$work/esp" --label SAMPLE >/dev/null
image="Z:$(printf '%s' "$work/disk.img" | tr / '\\')"

for lang in 2052 1041 1042; do
  dir="$work/$lang"
  mkdir -p "$dir"
  cp "$build/src/app/VroMount.exe" "$dir/"
  printf '[Config]\r\nLanguage=%s\r\n' "$lang" > "$dir/VroMount.ini"
  wine "$dir/VroMount.exe" "-img:$image" >/dev/null 2>&1 &
  pid=$!
  window=$(timeout 60 xdotool search --sync --onlyvisible --name "VroMount" | head -1)
  sleep 3   # the posted open of the image and the first paint
  import -window "$window" "$work/main-$lang-full.png"
  convert "$work/main-$lang-full.png" -resize 800x -colors 128 "$root/docs/main-$lang.png"
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
done
echo "docs/main-2052.png docs/main-1041.png docs/main-1042.png written"
