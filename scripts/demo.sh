#!/usr/bin/env bash
# Sets up the machine, builds the program and shows its main job on a sample
# disk image that this script makes.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VRO_BUILD_DIR:-$root/build}
"$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -G Ninja >/dev/null
ninja -C "$build" -j"$(nproc)"
cd "$build"
ctest --output-on-failure -R '^(wineprefix|test_image)$'
