#!/usr/bin/env bash
# Overlays under kill -9 and on a host disk that fills up (not a test: it
# prints counts, and ends with 1 when earlier work was lost).
#   bench/kill-overlay.sh [WORKDIR]
# Cases ($VRO_KILL_CASES, all by default):
#   upd, fix  An own-format image (256 MiB, NTFS) gets folder \Data through
#             "/inject:" into its update file (or a write-back file); then,
#             $VRO_KILL_TRIALS times (100), a copy of that state takes
#             "/inject:" of $VRO_KILL_MB MiB more files (40; 1-600 KiB each)
#             into that same folder \Data, killed with kill -9 after a delay
#             spread evenly over a whole uncut run. Counted after each kill:
#             \Data\one.bin extracts and matches, "/check" returns 0, the
#             whole volume extracts, and (every tenth trial) a plain copy
#             ("/p /convert:") reads one.bin back with ntfscat.
#   hive      An own-format image of an offline Windows whose SOFTWARE took
#             a large .reg import into its update file; a .reg that deletes
#             it (so the save rewrites most pages) is killed the same way.
#             Each time SOFTWARE and its logs are taken off a plain copy with
#             ntfscat; hivexsh must load the hive as it lies (or after the
#             logs' replay when its base block says a write was cut off),
#             hivexget and the program's "/export:" must agree on the old
#             value or the new one.
#   full      The inject of the upd and fix cases into overlays on a tmpfs of
#             10 sizes that it fills: the result must be non-zero and
#             \Data\one.bin must extract and match afterwards.
# Uses a Wine prefix of its own: the kills never reach another run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VRO_BUILD_DIR:-$root/build}
work=${1:-$build/bench-kill}
trials=${VRO_KILL_TRIALS:-100}
megabytes=${VRO_KILL_MB:-40}
cases=${VRO_KILL_CASES:-upd fix hive full}
source "$root/bench/lib.sh"
require ntfscat hivexsh hivexget mkntfs python3
export WINEPREFIX="$work-prefix"
"$root/tests/wine-prefix.sh" >/dev/null
wineserver -p 2>/dev/null || true
trap 'wineserver -k 2>/dev/null || true; umount "$work/small" 2>/dev/null || true' EXIT
rm -rf "$work"
mkdir -p "$work/A" "$work/B"
head -c 300000 /dev/urandom > "$work/A/one.bin"
printf acknowledged > "$work/A/two.txt"
python3 - "$work/B" "$megabytes" <<'PY'
import os, sys
root, total = sys.argv[1], int(sys.argv[2]) << 20
i = 0
while total > 0:
    size = min(total, 1024 + (i * 7919 * 13) % (600 * 1024))
    with open(os.path.join(root, "later-file-%04d.bin" % i), "wb") as f:
        f.write(os.urandom(size))
    total -= size
    i += 1
PY
lost=0
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
# kill_at DELAY ARGS...: the program, killed with kill -9 after DELAY s.
kill_at() {
  local delay=$1 pid
  shift
  wine "$exe" "$@" >/dev/null 2>&1 &
  pid=$!
  sleep "$delay"
  kill -9 "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}
# one_intact ARGS...: \Data\one.bin extracts through the chain and matches.
one_intact() {
  rm -rf "$work/out"
  ours "$@" "/extract:\\Data\\one.bin::$(win "$work/out")" >/dev/null 2>&1 &&
    cmp -s "$work/out" "$work/A/one.bin"
}

"$root/tests/fixtures/mk-disk.sh" "$work/raw.img" --size 256 --layout mbr2048 >/dev/null
ours "-img:$(win "$work/base.img")" "/convert:$(win "$work/raw.img")" >/dev/null 2>&1 || {
  echo "cannot make the own image" >&2; exit 1; }
rm -f "$work/raw.img"
cp "$work/base.img" "$work/base.pristine"

# setup_inject upd|fix: the first inject; sets img (the chain's arguments)
# and top (the overlay file), saved as $work/top.saved.
setup_inject() {
  cp "$work/base.pristine" "$work/base.img"
  rm -f "$work"/base.img_*.Upd "$work/wb.Fix"
  if [ "$1" = fix ]; then
    img=(-img:"$(win "$work/base.img")" -fix:"$(win "$work/wb.x")")
    top="$work/wb.Fix"
  else
    img=(-img:"$(win "$work/base.img")")
    top="$work/base.img_01.Upd"
  fi
  ours "${img[@]}" "/inject:\\Data::$(win "$work/A")" >/dev/null 2>&1 || {
    echo "first inject failed" >&2; exit 1; }
  [ "$1" = fix ] || img=(-img:"$(win "$top")")
  cp "$top" "$work/top.saved"
}

for c in $cases; do
  case $c in
  upd|fix)
    setup_inject "$c"
    later=("/inject:\\Data::$(win "$work/B")\\*")
    t0=$(now); ours "${img[@]}" "${later[@]}" >/dev/null 2>&1 || true; t1=$(now)
    full=$(seconds "$t0" "$t1")
    echo "== $c: a whole inject of $megabytes MiB into \\Data takes $full s; $trials kills spread over it"
    intact=0 checked=0 whole=0 plain=0 plains=0
    for t in $(seq 1 "$trials"); do
      cp "$work/top.saved" "$top"
      delay=$(awk -v f="$full" -v t="$t" -v n="$trials" 'BEGIN { printf "%.3f", f * (t - 0.5) / n }')
      kill_at "$delay" "${img[@]}" "${later[@]}"
      # A run right after a kill can fail while Wine still takes the dead
      # process down: a failure is tried once more a second later, and
      # shown.
      a=lost
      if one_intact "${img[@]}"; then a=intact
      else sleep 1; one_intact "${img[@]}" && a=again
      fi
      [ $a = lost ] || intact=$((intact + 1))
      k=0; ours "${img[@]}" /check >/dev/null 2>&1 || k=$?
      [ $k -eq 0 ] && checked=$((checked + 1))
      rm -rf "$work/all"
      e=0; ours "${img[@]}" "/extract:\\::$(win "$work/all")" >/dev/null 2>&1 || e=$?
      [ $e -eq 0 ] && whole=$((whole + 1))
      p=-
      if [ $((t % 10)) -eq 0 ]; then
        plains=$((plains + 1)); p=lost
        rm -f "$work/plain.img"
        if ours -img:"$(win "$work/plain.img")" /p "/convert:$(win "$top")" >/dev/null 2>&1; then
          # A header sector, then the disk: the volume starts at disk sector 2048.
          dd if="$work/plain.img" of="$work/plain.vol" bs=512 skip=2049 status=none
          ntfscat "$work/plain.vol" /Data/one.bin 2>/dev/null | cmp -s - "$work/A/one.bin" &&
            { p=read; plain=$((plain + 1)); }
          rm -f "$work/plain.img" "$work/plain.vol"
        fi
      fi
      [ $a = lost ] && lost=$((lost + 1))
      printf '   trial %3d  kill after %6s s  one.bin %-6s check %3d  whole %3d  ntfscat %s\n' \
        "$t" "$delay" "$a" "$k" "$e" "$p"
    done
    echo "== $c: $trials kills: $intact with \\Data\\one.bin intact, $checked checked 0," \
      "$whole extracted whole, $plain of $plains plain copies read one.bin with ntfscat"
    ;;
  hive)
    "$root/tests/fixtures/mk-wintree.sh" "$work/tree" --no-kernel >/dev/null
    "$root/tests/fixtures/mk-disk.sh" "$work/hraw.img" --layout none --size 160 \
      --tree "$work/tree" >/dev/null
    rm -f "$work/hive.img" "$work"/hive.img_*.Upd
    ours "-img:$(win "$work/hive.img")" "/convert:$(win "$work/hraw.img")" >/dev/null 2>&1
    rm -f "$work/hraw.img"
    make_hive_regs "$work" 2000
    ours "-img:$(win "$work/hive.img")" "/import:$(win "$work/big.reg")" >/dev/null 2>&1 || {
      echo "the first import failed" >&2; exit 1; }
    top="$work/hive.img_01.Upd"
    cp "$top" "$work/hive.saved"
    replay="/usr/bin/python3 $root/tests/fixtures/hive-logs.py"
    config=/Windows/System32/config
    t0=$(now); ours "-img:$(win "$top")" "/import:$(win "$work/del.reg")" >/dev/null 2>&1 || true
    t1=$(now); full=$(seconds "$t0" "$t1")
    echo "== hive: a whole delete and save into the update file takes $full s; $trials kills spread over it"
    old=0 new=0 bad=0 raw=0
    for t in $(seq 1 "$trials"); do
      cp "$work/hive.saved" "$top"
      delay=$(awk -v f="$full" -v t="$t" -v n="$trials" 'BEGIN { printf "%.3f", f * (t - 0.5) / n }')
      kill_at "$delay" "-img:$(win "$top")" "/import:$(win "$work/del.reg")"
      rm -rf "$work/x" && mkdir "$work/x"
      ours -img:"$(win "$work/x/plain.img")" /p "/convert:$(win "$top")" >/dev/null 2>&1 || true
      dd if="$work/x/plain.img" of="$work/x/vol" bs=512 skip=1 status=none 2>/dev/null || true
      rm -f "$work/x/plain.img"
      what="LOST: SOFTWARE cannot be taken off the disk"
      if ntfscat "$work/x/vol" "$config/SOFTWARE" > "$work/x/h" 2>/dev/null; then
        logs=""
        for l in LOG1 LOG2; do
          ntfscat "$work/x/vol" "$config/SOFTWARE.$l" > "$work/x/h.$l" 2>/dev/null &&
            logs="$logs $work/x/h.$l"
        done
        set -- $($replay seq "$work/x/h")
        if [ "$1" = "$2" ] && [ "$3" = 1 ]; then state=clean; cp "$work/x/h" "$work/x/r"
        else state=replayed; $replay recover "$work/x/h" "$work/x/r" $logs >/dev/null || state=unreplayable
        fi
        loads=no
        printf 'cd \\Vro\nlsval\n' | hivexsh "$work/x/r" >/dev/null 2>&1 && loads=yes
        printf 'cd \\Vro\nlsval\n' | hivexsh "$work/x/h" >/dev/null 2>&1 && raw=$((raw + 1))
        seen=$(hivexget "$work/x/r" '\Vro' Hive 2>&1 || true)
        code=$(ours "-img:$(win "$top")" \
          "/export:$(win "$work/x/vro.reg")::HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro" >/dev/null 2>&1; echo $?)
        text=$(iconv -f UTF-16 -t UTF-8 "$work/x/vro.reg" 2>/dev/null | grep '"Hive"' | tr -d '\r' || true)
        case "$loads|$seen|$code|$text" in
          'yes|imported|0|"Hive"="imported"') old=$((old + 1)); what="$state old";;
          'yes|deleted|0|"Hive"="deleted"') new=$((new + 1)); what="$state new";;
          *) what="LOST ($state): hivexsh $loads, hivexget '$seen', export $code '$text'";;
        esac
      fi
      case $what in LOST*) bad=$((bad + 1)); lost=$((lost + 1));; esac
      printf '   trial %3d  kill after %6s s  %s\n' "$t" "$delay" "$what"
    done
    echo "== hive: $trials kills: $old old, $new new, $bad lost; hivexsh loaded the hive as it lay in $raw"
    ;;
  full)
    mkdir -p "$work/small"
    for c2 in upd fix; do
      setup_inject "$c2"
      cp "$work/base.img" "$work/base.keep"
      refused=0 intact=0
      for k in $(seq 1 10); do
        used=$(( $(du -k "$work/top.saved" | cut -f1) + 64 ))
        [ "$c2" = upd ] && used=$((used + $(du -k "$work/base.img" | cut -f1)))
        size=$((used + k * megabytes * 1024 / 12))
        mount -t tmpfs -o size=${size}k vro-small "$work/small"
        if [ "$c2" = fix ]; then
          cp "$work/top.saved" "$work/small/wb.Fix"
          chain=(-img:"$(win "$work/base.img")" -fix:"$(win "$work/small/wb.x")")
        else
          cp "$work/base.keep" "$work/small/base.img"
          cp "$work/top.saved" "$work/small/base.img_01.Upd"
          chain=(-img:"$(win "$work/small/base.img_01.Upd")")
        fi
        r=0; ours "${chain[@]}" "/inject:\\Data::$(win "$work/B")\\*" >/dev/null 2>&1 || r=$?
        [ $r -ne 0 ] && refused=$((refused + 1))
        a=lost; one_intact "${chain[@]}" && { a=intact; intact=$((intact + 1)); }
        [ $a = intact ] || lost=$((lost + 1))
        printf '   %s on a tmpfs of %6d KiB: inject %4d, one.bin %s\n' "$c2" "$size" "$r" "$a"
        umount "$work/small"
      done
      echo "== full $c2: 10 sizes: $refused injects failed (non-zero), $intact with \\Data\\one.bin intact"
    done
    ;;
  esac
done
[ "$lost" -eq 0 ]
