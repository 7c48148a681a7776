#!/usr/bin/env bash
# The layer checker itself: a clean tree passes, a planted upward include
# (and only that) fails with its file and line, a same-layer or downward
# include passes.
set -u
checker=$(dirname "$0")/../../scripts/check-layers.py
t=$(mktemp -d); trap 'rm -rf "$t"' EXIT
mkdir -p "$t/src/image/device" "$t/src/image/mount" "$t/src/app"
printf '#include "image/device/A.h"\n#include "common/B.h"\n' > "$t/src/image/mount/M.cpp"
printf '#include "image/mount/M.h"\n#include "registry/R.h"\n' > "$t/src/app/X.cpp"
printf '#include <windows.h>\n#include "SectorDevice.h"\n' > "$t/src/image/device/D.cpp"
python3 "$checker" "$t/src" || { echo "FAIL: clean tree refused"; exit 1; }
printf '\n#include "image/copy/TreeCopy.h"\n' >> "$t/src/image/device/D.cpp"
out=$(python3 "$checker" "$t/src" 2>&1) && { echo "FAIL: upward include passed"; exit 1; }
echo "$out" | grep -q 'image/device/D.cpp:4: includes "image/copy/TreeCopy.h"' ||
  { echo "FAIL: wrong report: $out"; exit 1; }
[ "$(echo "$out" | grep -c 'may not include')" = 1 ] || { echo "FAIL: extra reports: $out"; exit 1; }
echo "layer checker: 3 passed, 0 failed"
