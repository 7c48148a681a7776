#!/usr/bin/env bash
# Kill -9 loop over "/inject:" into overlays (not a test: it prints counts).
#   bench/kill-overlay.sh [WORKDIR]
# The build dir is $VRO_BUILD_DIR (default build/). An own-format image with
# an NTFS volume gets folder A through "/inject:" into its update file (or,
# with VRO_KILL_FIX=1, into a write-back file); then, $VRO_KILL_TRIALS times
# (30), a copy of that state takes "/inject:" of a bigger folder B, killed
# with kill -9 after a delay that grows over the trials ($VRO_KILL_MB MiB in
# B, 40 by default). After each kill it counts the overlays that reopen
# ("/extract:" of folder A returns 0 and matches), whose whole volume
# extracts ("/extract:\"), and whose plain copy ("/p /convert:") reads A
# back with ntfscat.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VRO_BUILD_DIR:-$root/build}
work=${1:-$build/bench-kill}
trials=${VRO_KILL_TRIALS:-30}
megabytes=${VRO_KILL_MB:-40}
fix=${VRO_KILL_FIX:-0}
source "$root/bench/lib.sh"
require ntfscat mkntfs
trap 'wineserver -k 2>/dev/null || true' EXIT
rm -rf "$work"
mkdir -p "$work/A/Sub" "$work/B"
head -c 300000 /dev/urandom > "$work/A/one.bin"
printf acknowledged > "$work/A/Sub/two.txt"
python3 - "$work/B" "$megabytes" <<'PY'
import os, sys
root, total = sys.argv[1], int(sys.argv[2]) << 20
i = 0
while total > 0:
    size = min(total, 64 * 1024 + (i * 7919) % (600 * 1024))
    with open(os.path.join(root, "f%04d.bin" % i), "wb") as f:
        f.write(os.urandom(size))
    total -= size
    i += 1
PY
"$root/tests/fixtures/mk-disk.sh" "$work/raw.img" --size 256 --layout mbr2048 >/dev/null
ours "-img:$(win "$work/base.img")" "/convert:$(win "$work/raw.img")" >/dev/null 2>&1 || {
  echo "cannot make the own image" >&2; exit 1; }
if [ "$fix" = 1 ]; then
  img=(-img:"$(win "$work/base.img")" -fix:"$(win "$work/wb.x")")
  top="$work/wb.Fix"
else
  img=(-img:"$(win "$work/base.img")")
  top="$work/base.img_01.Upd"
fi
ours "${img[@]}" "/inject:\\A::$(win "$work/A")" >/dev/null 2>&1 || { echo "first inject failed" >&2; exit 1; }
[ "$fix" = 1 ] || img=(-img:"$(win "$top")")
cp "$top" "$work/top.saved"
reopened=0 whole=0 plain=0
for t in $(seq 1 "$trials"); do
  cp "$work/top.saved" "$top"
  rm -rf "$work/out" "$work/all" "$work/plain.img"
  delay=$(awk -v t="$t" -v n="$trials" 'BEGIN { printf "%.2f", 0.3 + 2.0 * t / n }')
  wine "$exe" "${img[@]}" "/inject:\\B::$(win "$work/B")" >/dev/null 2>&1 &
  pid=$!
  sleep "$delay"
  kill -9 "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  r=0
  ours "${img[@]}" "/extract:\\A::$(win "$work/out")" >/dev/null 2>&1 || r=$?
  if [ $r -eq 0 ] && cmp -s "$work/out/one.bin" "$work/A/one.bin"; then reopened=$((reopened + 1)); fi
  e=0
  ours "${img[@]}" "/extract:\\::$(win "$work/all")" >/dev/null 2>&1 || e=$?
  [ $e -eq 0 ] && whole=$((whole + 1))
  c=0
  ours -img:"$(win "$work/plain.img")" /p "/convert:$(win "$top")" >/dev/null 2>&1 || c=$?
  if [ $c -eq 0 ]; then
    # A header sector, then the disk: the volume starts at disk sector 2048.
    dd if="$work/plain.img" of="$work/plain.vol" bs=512 skip=2049 status=none
    ntfscat "$work/plain.vol" /A/one.bin 2>/dev/null | cmp -s - "$work/A/one.bin" && plain=$((plain + 1))
  fi
  echo "trial $t: killed after ${delay}s; extract A $r, extract whole $e, convert $c"
done
echo "== $trials trials: $reopened reopened with A intact, $whole extracted whole, $plain plain copies read A with ntfscat"
