#!/usr/bin/env bash
# The repair's never-worse rule over many single damages (not a test of
# speed: it prints counts). Runs the mutation test of test_ntfscheck with
# $VRO_MUTATIONS damages (600), drawn from $VRO_MUTATION_SEED (63), and
# prints its tally: how many damages the check found, how many the repair
# mended or refused, and how many broke the rule (a repair that said it
# mended while its check or ntfsfix -n still failed, a file readable before
# that changed or went, a stream ntfs-3g read before that it no longer reads
# the same once the free space is filled), or that the check passed while
# ntfsfix -n or an ntfs-3g mount failed.
#   bench/repair-mutations.sh            as root (FUSE mount)
# The build dir is $VRO_BUILD_DIR (default build/).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VRO_BUILD_DIR:-$root/build}
work=$build/bench-repair-mutations
source "$root/bench/lib.sh"
require mkntfs ntfsfix ntfs-3g ntfscat sha256sum python3
ninja -C "$build" test_ntfscheck >/dev/null
mkdir -p "$work"
export VRO_MUTATIONS=${VRO_MUTATIONS:-600}
echo "== $VRO_MUTATIONS single damages"
WINEPREFIX="$build/wineprefix" "$root/tests/wine-run.sh" "$build/tests/disktools/ntfscheck/test_ntfscheck.exe" \
  --gtest_filter=NtfsRepair.NeverMakesAVolumeWorse >"$work/run.log" 2>&1 && rc=0 || rc=$?
grep -E '^damages ' "$work/run.log" || true
grep -c 'Failure' "$work/run.log" | sed 's/^/failure lines: /' || true
echo "test exit code $rc (log: $work/run.log)"
