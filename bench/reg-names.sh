#!/usr/bin/env bash
# The .reg import of one key with many values whose names share the hive's
# name hash, against the same import with ordinary names (not a test: it
# prints numbers and asserts no speed).
#   bench/reg-names.sh [WORKDIR]
# The build dir is $VRO_BUILD_DIR (default build/); it is configured and the
# program built when needed. WORKDIR defaults to BUILD/bench-reg-names.
# For 10,000, 50,000 and 100,000 values ($VRO_BENCH_COUNTS) it writes two
# .reg files of one key under SYSTEM: "colliding" names made of 17 blocks of
# two characters, each "AZ" or "B5" (equal under h * 37 + c, so every name
# has the same "lh" hash), and "ordinary" names of the same length. Each is
# imported by "-img:DISK -noupd /import:FILE" into a fresh copy of a 64 MiB
# disk (the median of $VRO_BENCH_ROUNDS rounds, 3), the value count is read
# back with hivexsh, and the ratio colliding / ordinary is printed: about
# 1 when the lookup does not depend on what the names are.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VRO_BUILD_DIR:-$root/build}
work=${1:-$build/bench-reg-names}
rounds=${VRO_BENCH_ROUNDS:-3}
counts=${VRO_BENCH_COUNTS:-10000 50000 100000}
source "$root/bench/lib.sh"
require hivexsh ntfscat mkntfs python3

trap 'wineserver -k 2>/dev/null || true' EXIT
rm -rf "$work"
mkdir -p "$work/t"
"$root/tests/fixtures/mk-wintree.sh" "$work/tree" --no-kernel >/dev/null
start=$("$root/tests/fixtures/mk-disk.sh" "$work/pristine.img" --layout mbr2048 --size 64 \
  --tree "$work/tree")

# make_reg FILE COUNT KIND
make_reg() {
  python3 - "$@" <<'PY'
import sys
path, count, kind = sys.argv[1], int(sys.argv[2]), sys.argv[3]
lines = ["Windows Registry Editor Version 5.00", "", "[HKEY_LOCAL_MACHINE\\SYSTEM\\Names]"]
for i in range(count):
    if kind == "colliding":
        name = "".join("B5" if i >> b & 1 else "AZ" for b in range(17))
    else:
        name = "v%033d" % i
    lines.append('"%s"=dword:%08x' % (name, i))
open(path, "wb").write(("\r\n".join(lines) + "\r\n").encode("utf-16"))
PY
}

# values DISK: the number of values of SYSTEM\Names on the disk's volume.
values() {
  dd if="$1" of="$work/part.img" bs=512 skip="$start" status=none
  ntfscat "$work/part.img" /Windows/System32/config/SYSTEM > "$work/SYSTEM"
  printf 'cd Names\nlsval\n' | hivexsh "$work/SYSTEM" | wc -l
}

echo "== $rounds rounds of each import in $work"
for n in $counts; do
  for kind in colliding ordinary; do
    make_reg "$work/$kind-$n.reg" "$n" "$kind"
    for r in $(seq 1 "$rounds"); do
      cp --sparse=always "$work/pristine.img" "$work/disk.img"
      timed "$kind-$n" ours "-img:$(win "$work/disk.img")" -noupd \
        "/import:$(win "$work/$kind-$n.reg")"
    done
    got=$(values "$work/disk.img")
    [ "$got" -eq "$n" ] || echo "   ($kind-$n: $got values on the disk, not $n!)"
  done
done

echo "== Medians (s); ratio = colliding / ordinary"
for n in $counts; do
  c=$(med "colliding-$n")
  o=$(med "ordinary-$n")
  awk -v n="$n" -v c="$c" -v o="$o" 'BEGIN {
    printf "   %7d values  colliding %7.2f  ordinary %7.2f  ratio %5.2fx\n", n, c, o, c / o }'
done
