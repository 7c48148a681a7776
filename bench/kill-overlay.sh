#!/usr/bin/env bash
# Overlays under kill -9 and on a host disk that fills up (not a test: it
# prints counts, and ends with 1 when earlier work was lost).
#   bench/kill-overlay.sh [WORKDIR]
# Cases ($VRO_KILL_CASES, all by default):
#   upd, fix  An own-format image (512 MiB, NTFS) whose \Data holds 50 small
#             files gets \Data\A (4 files, 4 MiB) through "/inject:" into its
#             update file (or a write-back file); then, $VRO_KILL_TRIALS
#             times (300), a copy of that state takes "/inject:" of 625 more
#             files ($VRO_KILL_MB MiB, 100; 4 KiB to 1 MiB, mixed-case, long
#             and non-ASCII names) into that same \Data, killed with kill -9
#             0 to 200 ms (spread evenly over the trials) after the overlay
#             file first grows. After each kill one process runs the later
#             commands on the file: "/extract:" of \Data\A (its 4 files must
#             match), "/check", "/extract:" of the whole \Data (it must hold
#             the files of before the inject or those of after it, byte for
#             byte, nothing between) and a small "/inject:"; each must give
#             0 (a failure is run again command by command and shown). Whether
#             the first of them rolled the cut-off inject back is told by its
#             line; a kill that left the journal beside a file that does not
#             take it (set aside) is counted too.
#   hive      An own-format image of an offline Windows whose SOFTWARE took
#             a large .reg import into its update file; a .reg that deletes
#             it (so the save rewrites most pages) is killed after a delay
#             spread over a whole run, $VRO_KILL_HIVE_TRIALS times (100).
#             Each time SOFTWARE and its logs are taken off a plain copy with
#             ntfscat; hivexsh must load the hive as it lies (or after the
#             logs' replay when its base block says a write was cut off),
#             hivexget and the program's "/export:" must agree on the old
#             value or the new one. (bench/hive-kill.sh kills an import that
#             changes two hives.)
#   full      The inject of the upd and fix cases into overlays on a tmpfs of
#             10 sizes that it fills: the result must be non-zero and
#             \Data\A must extract and match afterwards.
# Uses a Wine prefix of its own: the kills never reach another run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VRO_BUILD_DIR:-$root/build}
work=$(realpath -m "${1:-$build/bench-kill}")
trials=${VRO_KILL_TRIALS:-300}
hive_trials=${VRO_KILL_HIVE_TRIALS:-100}
megabytes=${VRO_KILL_MB:-100}
cases=${VRO_KILL_CASES:-upd fix hive full}
source "$root/bench/lib.sh"
require ntfscat hivexsh hivexget mkntfs python3
export WINEPREFIX="$work-prefix"
"$root/tests/wine-prefix.sh" >/dev/null
wineserver -p 2>/dev/null || true
trap 'wineserver -k 2>/dev/null || true; umount "$work/small" 2>/dev/null || true' EXIT
umount "$work/small" 2>/dev/null || true
rm -rf "$work"
mkdir -p "$work/tree/Data" "$work/A" "$work/B"
# The files: 50 small ones in \Data from the start, \Data\A, and the 625 of
# the later inject (seeded: every run makes the same ones).
python3 - "$work" "$megabytes" <<'PY'
import math, os, random, sys
work, total = sys.argv[1], int(sys.argv[2]) << 20
rnd = random.Random(11)
for i in range(50):
    with open(os.path.join(work, "tree", "Data", "small-%02d.txt" % i), "wb") as f:
        f.write(rnd.randbytes(rnd.randint(100, 16 << 10)))
for i in range(4):
    with open(os.path.join(work, "A", "a%d.bin" % i), "wb") as f:
        f.write(rnd.randbytes(1 << 20))
names = ["Report_%04d_Quarterly Summary.DAT",
         "A Rather Long Name Of A File That Goes On For Quite A While, Past "
         "The Old Eight-Dot-Three Limit By Far, Number %04d.Bin",
         "Übersicht Größe Straße %04d.txt",
         "日本語のファイル名 %04d.doc",
         "Ωμέγα файл ÀÉÎõü %04d.Log"]
sizes = [math.exp(rnd.uniform(math.log(4096), math.log(1 << 20))) for _ in range(625)]
scale = total / sum(sizes)
sizes = [min(1 << 20, max(4096, int(s * scale))) for s in sizes]
for i, size in enumerate(sizes):
    with open(os.path.join(work, "B", names[i % len(names)] % i), "wb") as f:
        f.write(rnd.randbytes(size))
PY
b_count=$(ls "$work/B" | wc -l)
b_bytes=$(du -sb --apparent-size "$work/B" | cut -f1)
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
# a_matches DIR: DIR holds the 4 files of \Data\A as they were injected.
a_matches() {
  local f
  for f in "$work"/A/*; do cmp -s "$f" "$1/${f##*/}" || return 1; done
}
# a_intact ARGS...: \Data\A extracts through the chain and matches.
a_intact() {
  rm -rf "$work/out"
  ours "$@" "/extract:\\Data\\A::$(win "$work/out")" >/dev/null 2>&1 && a_matches "$work/out"
}
# tree_state DIR: "before" when DIR holds exactly the files \Data held
# before the later inject, "done" when it holds those and all of the inject,
# else what differs.
python3 - "$work" <<'PY'
import hashlib, json, os, sys
work = sys.argv[1]
def manifest(*roots):
    m = {}
    for prefix, top in roots:
        for d, _, files in os.walk(top):
            for name in files:
                p = os.path.join(d, name)
                rel = os.path.join(prefix, os.path.relpath(p, top)).lstrip("/")
                m[rel] = hashlib.md5(open(p, "rb").read()).hexdigest()
    return m
before = manifest(("", work + "/tree/Data"), ("A", work + "/A"))
done = dict(before, **manifest(("", work + "/B")))
json.dump({"before": before, "done": done}, open(work + "/states.json", "w"))
PY
tree_state() {
  python3 - "$work/states.json" "$1" <<'PY'
import hashlib, json, os, sys
states, top = json.load(open(sys.argv[1])), sys.argv[2]
m = {}
for d, _, files in os.walk(top):
    for name in files:
        p = os.path.join(d, name)
        m[os.path.relpath(p, top)] = hashlib.md5(open(p, "rb").read()).hexdigest()
for state in ("before", "done"):
    if m == states[state]:
        print(state)
        sys.exit(0)
b, d = states["before"], states["done"]
missing = [k for k in b if k not in m]
changed = [k for k in m if k in d and m[k] != d[k]]
foreign = [k for k in m if k not in d]
print("OTHER: %d files, %d of before missing, %d changed, %d unknown, %d of the %d new" % (
    len(m), len(missing), len(changed), len(foreign),
    len([k for k in m if k in d and k not in b]), len(d) - len(b)))
PY
}

"$root/tests/fixtures/mk-disk.sh" "$work/raw.img" --size 512 --layout mbr2048 \
  --tree "$work/tree" >/dev/null
ours "-img:$(win "$work/base.img")" "/convert:$(win "$work/raw.img")" >/dev/null 2>&1 || {
  echo "cannot make the own image" >&2; exit 1; }
rm -f "$work/raw.img"
cp "$work/base.img" "$work/base.pristine"

# setup_inject upd|fix: the first inject; sets img (the chain's arguments)
# and top (the overlay file), saved as $work/top.saved.
setup_inject() {
  cp "$work/base.pristine" "$work/base.img"
  rm -f "$work"/base.img_*.Upd* "$work"/wb.Fix*
  if [ "$1" = fix ]; then
    img=(-img:"$(win "$work/base.img")" -fix:"$(win "$work/wb.x")")
    top="$work/wb.Fix"
  else
    img=(-img:"$(win "$work/base.img")")
    top="$work/base.img_01.Upd"
  fi
  ours "${img[@]}" "/inject:\\Data\\A::$(win "$work/A")" >/dev/null 2>&1 || {
    echo "first inject failed" >&2; exit 1; }
  [ "$1" = fix ] || img=(-img:"$(win "$top")")
  a_intact "${img[@]}" || { echo "\\Data\\A does not read back after the first inject" >&2; exit 1; }
  cp "$top" "$work/top.saved"
}
printf 'after the kill' > "$work/after.txt"

for c in $cases; do
  case $c in
  upd|fix)
    setup_inject "$c"
    later=("/inject:\\Data::$(win "$work/B")\\*")
    cp "$work/top.saved" "$top"
    t0=$(now); r=0; ours "${img[@]}" "${later[@]}" >/dev/null 2>&1 || r=$?; t1=$(now)
    [ $r -eq 0 ] || { echo "an uncut inject gave $r" >&2; exit 1; }
    rm -rf "$work/out"
    ours "${img[@]}" "/extract:\\Data::$(win "$work/out")" >/dev/null 2>&1 || true
    s=$(tree_state "$work/out")
    [ "$s" = done ] || { echo "an uncut inject left \\Data $s" >&2; exit 1; }
    echo "== $c: an uncut inject of $b_count files ($((b_bytes >> 20)) MiB) into \\Data takes $(seconds "$t0" "$t1") s; $trials kills 0-200 ms after $(basename "$top") first grows"
    n=0 a_lost=0 later_bad=0 retried=0 before=0 finished=0 other=0 rolled=0 aside=0 ended=0 leftover=0
    for t in $(seq 1 "$trials"); do
      rm -f "$top".* "$work"/*.journal*
      cp "$work/top.saved" "$top"
      delay=$(awk -v t="$t" -v n="$trials" 'BEGIN { printf "%.4f", (n > 1 ? 0.2 * (t - 1) / (n - 1) : 0) }')
      k=$(kill_on_growth "$top" "$delay" wine "$exe" "${img[@]}" "${later[@]}")
      case $k in killed*) n=$((n + 1));; *) ended=$((ended + 1));; esac
      # The later commands, in one process: its code is that of the last
      # one that failed.
      rm -rf "$work/out"
      mkdir -p "$work/out"
      r=0
      ours "${img[@]}" "/extract:\\Data\\A::$(win "$work/out/A")" /check \
        "/extract:\\Data::$(win "$work/out/Data")" "/inject:\\Data\\after.txt::$(win "$work/after.txt")" \
        > "$work/later.out" 2>&1 || r=$?
      back=no
      grep -q 'rolled back from its journal' "$work/later.out" && { back=yes; rolled=$((rolled + 1)); }
      if grep -q 'set aside' "$work/later.out" || ls "$work"/*.aside >/dev/null 2>&1; then
        aside=$((aside + 1)); back="$back, A JOURNAL SET ASIDE"
      fi
      # Whatever is left beside the overlay or the base once the later
      # commands ran.
      left=$(ls -d "$top".* "$work"/base.img.* 2>/dev/null | xargs -r -n1 basename | tr '\n' ' ' || true)
      [ -z "$left" ] || { leftover=$((leftover + 1)); back="$back, LEFT: $left"; }
      codes=0
      if [ $r -ne 0 ]; then
        # Which one: each again on its own (the state is the one the first
        # process left), shown.
        later_bad=$((later_bad + 1))
        cp "$work/later.out" "$work/later.failed.$c.$t"
        codes=
        for cmd in "/extract:\\Data\\A::$(win "$work/again/A")" /check \
          "/extract:\\Data::$(win "$work/again/Data")" "/inject:\\Data\\after2.txt::$(win "$work/after.txt")"; do
          rm -rf "$work/again"; mkdir -p "$work/again"
          q=0; ours "${img[@]}" "$cmd" >/dev/null 2>&1 || q=$?
          codes="$codes $q"
        done
        codes="$r, again one by one:$codes"
      fi
      a=intact
      a_matches "$work/out/A" || { a=LOST; a_lost=$((a_lost + 1)); }
      s=$(tree_state "$work/out/Data")
      case $s in
        before) before=$((before + 1));;
        done) finished=$((finished + 1));;
        *) other=$((other + 1));;
      esac
      if [ $a = LOST ] || { [ "$s" != before ] && [ "$s" != done ]; } || [ $r -ne 0 ]; then
        lost=$((lost + 1))
        mkdir -p /work/bench-keep
        keep=/work/bench-keep/kill-overlay-$c-$t
        rm -rf "$keep"; mkdir -p "$keep"
        cp "$work/top.saved" "$keep/top.saved"; cp "$work/later.out" "$keep/"
        echo "   (kept: $keep; delay $delay s, the command: ${img[*]} ${later[*]})"
      fi
      printf '   trial %3d  %-14s +%6s s  A %-6s later %-3s  \\Data %-7s rolled back %s\n' \
        "$t" "$k" "$delay" "$a" "$codes" "$s" "$back"
    done
    echo "== $c: $n kills ($ended ended before the kill): \\Data\\A lost in $a_lost;" \
      "later commands non-zero in $later_bad of $trials;" \
      "\\Data as before $before, as done $finished, other $other;" \
      "$rolled rolled back with a line, $aside journals set aside, $leftover left a file beside"
    cmp -s "$work/base.img" "$work/base.pristine" || { echo "== $c: THE BASE IMAGE CHANGED"; lost=$((lost + 1)); }
    [ $((a_lost + later_bad + other + aside)) -eq 0 ] || lost=$((lost + 1))
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
    echo "== hive: a whole delete and save into the update file takes $full s; $hive_trials kills spread over it"
    old=0 new=0 bad=0 raw=0
    for t in $(seq 1 "$hive_trials"); do
      cp "$work/hive.saved" "$top"
      delay=$(awk -v f="$full" -v t="$t" -v n="$hive_trials" 'BEGIN { printf "%.3f", f * (t - 0.5) / n }')
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
    echo "== hive: $hive_trials kills: $old old, $new new, $bad lost; hivexsh loaded the hive as it lay in $raw"
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
        size=$((used + k * (b_bytes >> 10) / 12))
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
        a=lost; a_intact "${chain[@]}" && { a=intact; intact=$((intact + 1)); }
        [ $a = intact ] || lost=$((lost + 1))
        printf '   %s on a tmpfs of %6d KiB: inject %4d, A %s\n' "$c2" "$size" "$r" "$a"
        umount "$work/small"
      done
      echo "== full $c2: 10 sizes: $refused injects failed (non-zero), $intact with \\Data\\A intact"
    done
    ;;
  esac
done
[ "$lost" -eq 0 ]
