#!/usr/bin/env python3
"""Counts the times a file opened for writing was let go by everyone.

usage: close-watch.py FILE STOP OUT

Linux sends IN_CLOSE_WRITE when the last descriptor of an open made for
writing is closed (a Wine handle and its duplicates share one). The watch
writes OUT.ready once it is in place and, when the file STOP appears, the
number of such events in OUT.
"""
import ctypes
import os
import select
import struct
import sys

IN_CLOSE_WRITE = 0x08

path, stop, out = sys.argv[1:4]
libc = ctypes.CDLL("libc.so.6", use_errno=True)
fd = libc.inotify_init()
if fd < 0 or libc.inotify_add_watch(fd, path.encode(), IN_CLOSE_WRITE) < 0:
    sys.exit("close-watch: cannot watch %s" % path)
open(out + ".ready", "w").close()
closes = 0
while not os.path.exists(stop):
    ready, _, _ = select.select([fd], [], [], 0.1)
    if not ready:
        continue
    data = os.read(fd, 4096)
    at = 0
    while at + 16 <= len(data):
        _, mask, _, length = struct.unpack_from("iIII", data, at)
        if mask & IN_CLOSE_WRITE:
            closes += 1
        at += 16 + length
with open(out, "w") as f:
    f.write("%d\n" % closes)
