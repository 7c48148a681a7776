#!/usr/bin/python3
"""Registry helpers for the batch-mode tests, on python3-hivex.

    reg-tool.py canon FILE.reg      one line per key ("K path") and value
                                    ("V path|name|type|hex"), sorted; reads
                                    UTF-16 (with BOM) and 8-bit .reg text
    reg-tool.py enrich HIVE         adds the key Vro\\Types with a value of
                                    each kind, and an empty and a non-ASCII
                                    name, so an export has every form to write
    reg-tool.py big HIVE MB         fills a hive with keys and values until it
                                    holds about MB megabytes of data
    reg-tool.py value HIVE KEY NAME the type and the bytes (hex) of a value
                                    (KEY below the root: "\\Vro\\Types")

Run with /usr/bin/python3: Debian installs the hivex bindings for it.
"""
import random
import sys

import hivex


def read_text(path):
    data = open(path, "rb").read()
    if data.startswith(b"\xff\xfe"):
        return data[2:].decode("utf-16-le")
    if data.startswith(b"\xef\xbb\xbf"):
        return data[3:].decode("utf-8")
    return data.decode("utf-8", errors="surrogateescape")


def logical_lines(text):
    pending = ""
    for raw in text.replace("\r\n", "\n").split("\n"):
        line = pending + (raw.lstrip() if pending else raw)
        if line.endswith("\\") and not line.startswith("["):
            pending = line[:-1]
            continue
        pending = ""
        yield line
    if pending:
        yield pending


def parse_quoted(s, i):
    """The quoted text starting at s[i] == '"'; returns (text, index after)."""
    out = []
    i += 1
    while i < len(s):
        c = s[i]
        if c == "\\" and i + 1 < len(s):
            out.append(s[i + 1])
            i += 2
            continue
        if c == '"':
            return "".join(out), i + 1
        out.append(c)
        i += 1
    raise ValueError("unterminated text: " + s)


def parse_hex(text):
    text = text.replace(" ", "").strip(",")
    return bytes(int(b, 16) for b in text.split(",")) if text else b""


def canon(path):
    lines = []
    key = None
    it = logical_lines(read_text(path))
    first = next(it)
    if not first.startswith(("Windows Registry Editor Version 5.00", "REGEDIT4")):
        raise ValueError("no header: " + first)
    for line in it:
        if not line.strip():
            continue
        if line.startswith("["):
            key = line[1:line.rindex("]")].rstrip("\\")
            lines.append("K " + key)
            continue
        if line.startswith("@="):
            name, rest = "@", line[2:]
        elif line.startswith('"'):
            name, j = parse_quoted(line, 0)
            if line[j] != "=":
                raise ValueError("bad value line: " + line)
            rest = line[j + 1:]
        else:
            raise ValueError("bad line: " + line)
        if name == "":
            name = "@"
        if rest.startswith('"'):
            text, _ = parse_quoted(rest, 0)
            vtype, data = 1, (text + "\0").encode("utf-16-le")
        elif rest.startswith("dword:"):
            vtype, data = 4, int(rest[6:], 16).to_bytes(4, "little")
        elif rest.startswith("hex:"):
            vtype, data = 3, parse_hex(rest[4:])
        elif rest.startswith("hex("):
            close = rest.index(")")
            vtype, data = int(rest[4:close], 16), parse_hex(rest[close + 2:])
        else:
            raise ValueError("bad data: " + line)
        lines.append("V %s|%s|%d|%s" % (key, name, vtype, data.hex()))
    for line in sorted(lines):
        print(line)


def enrich(path):
    h = hivex.Hivex(path, write=True)
    root = h.root()
    vro = h.node_get_child(root, "Vro") or h.node_add_child(root, "Vro")
    types = h.node_add_child(vro, "Types")
    h.node_add_child(types, "Sub key")

    def sz(s):
        return (s + "\0").encode("utf-16-le")

    h.node_set_values(types, [
        {"key": "", "t": 1, "value": sz("default text")},
        {"key": "Text", "t": 1, "value": sz('quote " and \\ back')},
        {"key": "Expand", "t": 2, "value": sz("%SystemRoot%\\system32")},
        {"key": "Blob", "t": 3, "value": bytes(range(256)) * 2},
        {"key": "Empty blob", "t": 3, "value": b""},
        {"key": "Count", "t": 4, "value": (0x12345678).to_bytes(4, "little")},
        {"key": "List", "t": 7, "value": sz("one") + sz("two") + b"\0\0"},
        {"key": "Wide", "t": 11, "value": (2**40 + 7).to_bytes(8, "little")},
        {"key": "Name \u540d\u524d", "t": 1, "value": sz("\u5024")},
    ])
    h.commit(None)


def big(path, megabytes):
    rng = random.Random(12)
    h = hivex.Hivex(path, write=True)
    root = h.root()
    top = h.node_get_child(root, "Big") or h.node_add_child(root, "Big")
    goal = megabytes * 1024 * 1024
    done = 0
    k = 0
    while done < goal:
        folder = h.node_add_child(top, "Group%04d" % k)
        for j in range(20):
            node = h.node_add_child(folder, "Key%02d" % j)
            values = []
            for v in range(12):
                kind = v % 4
                if kind == 0:
                    data = ("value %d.%d.%d " % (k, j, v) * 6 + "\0").encode("utf-16-le")
                    t = 1
                elif kind == 1:
                    data = rng.getrandbits(32).to_bytes(4, "little")
                    t = 4
                elif kind == 2:
                    data = rng.randbytes(rng.randint(16, 600))
                    t = 3
                else:
                    data = ("C:\\Path\\%d\0D:\\Other\\%d\0\0" % (k, v)).encode("utf-16-le")
                    t = 7
                values.append({"key": "Value%02d" % v, "t": t, "value": data})
                done += len(data) + 40
            h.node_set_values(node, values)
        k += 1
    h.commit(None)


def value(path, key, name):
    h = hivex.Hivex(path)
    node = h.root()
    for part in key.split("\\")[1:]:
        node = h.node_get_child(node, part)
    vtype, data = h.value_value(h.node_get_value(node, name))
    print("%d %s" % (vtype, data.hex()))


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "canon":
        canon(sys.argv[2])
    elif len(sys.argv) == 3 and sys.argv[1] == "enrich":
        enrich(sys.argv[2])
    elif len(sys.argv) == 4 and sys.argv[1] == "big":
        big(sys.argv[2], int(sys.argv[3]))
    elif len(sys.argv) == 5 and sys.argv[1] == "value":
        value(sys.argv[2], sys.argv[3], sys.argv[4])
    else:
        sys.stderr.write(__doc__)
        sys.exit(2)


if __name__ == "__main__":
    main()
