#!/usr/bin/python3
"""Fills a file system once a file on it has been written to a number of times.

usage: fill-on-write.py WATCHED COUNT FILLER READY

Watches WATCHED, and the files beside it whose names begin with its name
(its journal), for writes (inotify; writes that follow one another before
they are read count once). When the watch stands, READY is written with this
process's id. After COUNT writes, FILLER is written until the file system
holding it takes no further byte, and the script waits to be ended. Ended by
SIGTERM, it prints the number of writes it saw.
"""
import ctypes
import errno
import os
import signal
import struct
import sys

IN_MODIFY = 0x2


def fill(path):
    with open(path, "wb", buffering=0) as f:
        for size in (1 << 20, 1 << 16, 4096, 512, 1):
            block = b"\xff" * size
            while True:
                try:
                    f.write(block)
                except OSError as e:
                    if e.errno != errno.ENOSPC:
                        raise
                    break


def main():
    watched, count, filler, ready = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
    libc = ctypes.CDLL("libc.so.6", use_errno=True)
    fd = libc.inotify_init()
    folder, name = os.path.split(os.path.abspath(watched))
    if fd < 0 or libc.inotify_add_watch(fd, folder.encode(), IN_MODIFY) < 0:
        sys.exit("cannot watch " + watched)
    seen = [0]

    def end(*_):
        print(seen[0], flush=True)
        os._exit(0)

    signal.signal(signal.SIGTERM, end)
    with open(ready + ".tmp", "w") as f:
        f.write(str(os.getpid()))
    os.rename(ready + ".tmp", ready)
    filled = False
    while True:
        data = os.read(fd, 65536)
        at = 0
        while at + 16 <= len(data):
            _, _, _, length = struct.unpack_from("iIII", data, at)
            written = data[at + 16:at + 16 + length].split(b"\0", 1)[0].decode(errors="replace")
            at += 16 + length
            if written.startswith(name):
                seen[0] += 1
        if not filled and seen[0] >= count:
            fill(filler)
            filled = True


main()
