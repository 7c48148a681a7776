#!/usr/bin/env python3
"""Fails when a source folder includes a header of a folder above it.

The order below is the one place where the layering of src/ is written:
a folder may include headers of its own folder and of the folders listed
before it, never of those listed after it. A file belongs to the longest
listed folder that holds it, and so does an included path.

usage: check-layers.py [SRC_DIR]    (default: the src/ beside this script)
"""
import os
import re
import sys

LAYERS = [
    "common",
    "resources",
    "upxlib",
    "image/device",
    "image/formats/vhd",
    "image/formats/sparse",
    "image/host",
    "image/stack",
    "image/fat",
    "image/ntfs",
    "image/volume",
    "image/copy",
    "image/mount",
    "image",
    "registry/hive",
    "registry",
    "ui",
    "driverstore",
    "infinstall",
    "netcfg",
    "infinstall/driverpack",
    "disktools",
    "regedit",
    "driverui",
    "app",
]

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def layer_of(path):
    """Index of the longest listed folder holding path, or None."""
    best = None
    for i, layer in enumerate(LAYERS):
        if path == layer or path.startswith(layer + "/"):
            if best is None or len(layer) > len(LAYERS[best]):
                best = i
    return best


def check(src):
    faults = []
    for root, _dirs, files in os.walk(src):
        for name in files:
            if not name.endswith((".h", ".hpp", ".c", ".cpp", ".rc")):
                continue
            full = os.path.join(root, name)
            rel = os.path.relpath(full, src).replace(os.sep, "/")
            own = layer_of(rel)
            if own is None:
                continue
            with open(full, encoding="utf-8", errors="replace") as f:
                for lineno, line in enumerate(f, 1):
                    m = INCLUDE.match(line)
                    if not m:
                        continue
                    target = layer_of(m.group(1))
                    if target is not None and target > own:
                        faults.append('%s:%d: includes "%s": %s may not include %s'
                                      % (rel, lineno, m.group(1), LAYERS[own], LAYERS[target]))
    return faults


def main():
    src = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "src")
    faults = check(src)
    for f in faults:
        print(f, file=sys.stderr)
    if faults:
        print("layer check: %d upward include(s)" % len(faults), file=sys.stderr)
        return 1
    print("layer check: no upward include")
    return 0


if __name__ == "__main__":
    sys.exit(main())
