#!/usr/bin/python3
"""Prints keys of a hive value by value, with the exact stored bytes in view.

usage: hivedump.py HIVE KEY...   (an empty KEY is the whole hive)

One line per value, subkeys included (sorted, case-insensitively):
  KEY\\SUB|name|type|data
REG_SZ and REG_EXPAND_SZ data is printed as text only when it is UTF-16LE
ending in exactly one NUL; REG_MULTI_SZ as its strings joined by ";" only
when it ends in two NULs; REG_DWORD in decimal; anything else, and any data
that breaks these rules, as "hex:" and its bytes. A missing key prints
"KEY|<missing>".
"""
import sys

import hivex


def text(data, nuls):
    if len(data) % 2 or not data.endswith(b"\0\0" * nuls):
        return None
    body = data[: len(data) - 2 * nuls].decode("utf-16-le")
    if nuls == 1 and "\0" in body:
        return None
    return body.replace("\0", ";") if nuls == 2 else body


def show(h, node, path, out):
    for v in sorted(h.node_values(node), key=lambda v: h.value_key(v).lower()):
        kind, data = h.value_value(v)
        shown = None
        if kind in (1, 2):
            shown = text(data, 1)
        elif kind == 7:
            shown = text(data, 2)
        elif kind == 4 and len(data) == 4:
            shown = str(int.from_bytes(data, "little"))
        if shown is None:
            shown = "hex:" + data.hex()
        out.append("%s|%s|%d|%s" % (path, h.value_key(v), kind, shown))
    for c in sorted(h.node_children(node), key=lambda c: h.node_name(c).lower()):
        show(h, c, path + "\\" + h.node_name(c), out)


def main():
    h = hivex.Hivex(sys.argv[1])
    out = []
    for key in sys.argv[2:]:
        node = h.root()
        for part in [p for p in key.split("\\") if p]:
            node = h.node_get_child(node, part) if node else None
        if not node:
            out.append("%s|<missing>" % key)
            continue
        show(h, node, key, out)
    sys.stdout.write("".join(line + "\n" for line in out))


main()
