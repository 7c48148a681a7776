#!/usr/bin/python3
"""Adds the boot menu and system options of a test Windows to the hives of a
tree made by tests/fixtures/mk-wintree.sh (with --bcd).

    boot-hives.py TREE win7|win10

win7: menu shown, timeout 0, no debug output, a paging file named with the
executive paging switched off, Remote Desktop off with TermService on
demand, kernel dumps, no automatic restart. win10: no menu-style element
(the tile menu), timeout 30, debug output on, no paging file, Remote
Desktop on, automatic dumps (none of the list), automatic restart.
Both stores list three entries, the first the default with load options.
"""
import struct
import sys

import hivex

LOADERS = ["{a1b2c3d4-0000-4000-8000-000000000001}",
           "{a1b2c3d4-0000-4000-8000-000000000002}",
           "{a1b2c3d4-0000-4000-8000-000000000003}"]
NAMES = ["Windows Main", "Windows Spare", "Memory Test"]
BOOTMGR = "{9dea862c-5cdd-4e70-acc1-f32b344d4795}"


def sz(text):
    return (text + "\0").encode("utf-16-le")


def multi(items):
    return "".join(i + "\0" for i in items).encode("utf-16-le") + b"\0\0"


def dword(n):
    return struct.pack("<I", n)


def node(h, path):
    n = h.root()
    for part in path.split("\\"):
        child = h.node_get_child(n, part)
        n = child if child else h.node_add_child(n, part)
    return n


def setv(h, path, name, kind, data):
    h.node_set_value(node(h, path), {"key": name, "t": kind, "value": data})


def main():
    tree, profile = sys.argv[1], sys.argv[2]
    win7 = profile == "win7"
    bcd = hivex.Hivex(tree + "/Boot/BCD", write=True)
    el = "Objects\\%s\\Elements\\%s"
    setv(bcd, el % (BOOTMGR, "24000001"), "Element", 7, multi(LOADERS))
    setv(bcd, el % (BOOTMGR, "23000003"), "Element", 1, sz(LOADERS[0]))
    setv(bcd, el % (BOOTMGR, "25000004"), "Element", 3, struct.pack("<Q", 0 if win7 else 30))
    if win7:
        setv(bcd, el % (BOOTMGR, "26000020"), "Element", 3, b"\x01")
    for guid, name in zip(LOADERS, NAMES):
        setv(bcd, el % (guid, "12000004"), "Element", 1, sz(name))
    setv(bcd, el % (LOADERS[0], "12000030"), "Element", 1, sz("NOEXECUTE=OPTIN"))
    setv(bcd, el % (LOADERS[0], "16000049"), "Element", 3, b"\x00")
    setv(bcd, el % (LOADERS[0], "260000a0"), "Element", 3, b"\x01")
    bcd.commit(None)

    sys_hive = hivex.Hivex(tree + "/Windows/System32/config/SYSTEM", write=True)
    cs = "ControlSet001\\"
    if win7:
        setv(sys_hive, cs + "Control\\Session Manager\\Debug Print Filter", "DEFAULT", 4, dword(0))
    else:
        setv(sys_hive, cs + "Control\\Session Manager\\Debug Print Filter", "DEFAULT", 4,
             dword(0xF))
    mm = cs + "Control\\Session Manager\\Memory Management"
    setv(sys_hive, mm, "DisablePagingExecutive", 4, dword(1))
    setv(sys_hive, mm, "PagingFiles", 7,
         multi(["C:\\pagefile.sys 2048 4096"]) if win7 else b"\0\0\0\0")
    setv(sys_hive, cs + "Control\\Terminal Server", "fDenyTSConnections", 4, dword(1 if win7 else 0))
    setv(sys_hive, cs + "Services\\TermService", "Start", 4, dword(3 if win7 else 2))
    setv(sys_hive, cs + "Control\\CrashControl", "CrashDumpEnabled", 4, dword(2 if win7 else 7))
    setv(sys_hive, cs + "Control\\CrashControl", "AutoReboot", 4, dword(0 if win7 else 1))
    sys_hive.commit(None)


main()
