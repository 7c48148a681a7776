#!/usr/bin/env python3
"""Checks that a hive changed by exactly what a staging script says.

usage: regdiff.py BEFORE.reg AFTER.reg SCRIPT.reg ROOT

BEFORE and AFTER are `hivexregedit --export` texts of one hive (keys under
ROOT, e.g. HKEY_LOCAL_MACHINE\\SYSTEM); SCRIPT is the staging script (UTF-16
.reg text as the driver installation writes it). The script is read here on
its own terms, independently of the program's importer: sections are key
paths, "-" before a section deletes the key, name=data lines set values
("dword:", "hex:", "hex(t):", "-" deletes, other text is REG_SZ with
backslash escapes removed, one pair of quotes around name or data dropped).
Only sections under ROOT count. Prints the differences; exit 1 when any.
"""
import re
import sys


def read_text(path):
    raw = open(path, "rb").read()
    if raw.startswith(b"\xff\xfe"):
        return raw[2:].decode("utf-16-le")
    return raw.decode("utf-8", errors="replace")


def logical_lines(text):
    lines, cur = [], ""
    for line in text.replace("\r\n", "\n").split("\n"):
        if cur:
            line = line.lstrip()
        if line.endswith("\\") and not line.rstrip().endswith('"'):
            cur += line[:-1]
            continue
        lines.append(cur + line)
        cur = ""
    if cur:
        lines.append(cur)
    return lines


def unescape(s):
    out, i = [], 0
    while i < len(s):
        if s[i] == "\\" and i + 1 < len(s):
            out.append(s[i + 1])
            i += 2
        else:
            out.append(s[i])
            i += 1
    return "".join(out)


def parse_data(data):
    d = data.strip()
    if d.lower().startswith("dword:"):
        return (4, int(d[6:], 16).to_bytes(4, "little"))
    m = re.match(r"hex(?:\(([0-9a-fA-F]+)\))?:(.*)$", d, re.S)
    if m:
        t = int(m.group(1), 16) if m.group(1) else 3
        hexes = [h for h in re.split(r"[,\s\\]+", m.group(2)) if h]
        return (t, bytes(int(h, 16) for h in hexes))
    if len(d) >= 2 and d[0] == '"' and d[-1] == '"':
        d = d[1:-1]
    return (1, (unescape(d) + "\0").encode("utf-16-le"))


def split_line(line):
    """name, data split at the first '=' outside double quotes."""
    q = False
    for i, c in enumerate(line):
        if c == '"':
            q = not q
        elif c == "=" and not q:
            return line[:i], line[i + 1:]
    return None, None


def parse_export(path):
    """hivexregedit --export -> {key_lower: (key, {name_lower: (name, (type, bytes))})}"""
    keys, cur = {}, None
    for line in logical_lines(read_text(path)):
        if line.startswith("[") and line.rstrip().endswith("]"):
            k = line.strip()[1:-1].rstrip("\\")
            cur = keys.setdefault(k.lower(), (k, {}))[1]
            continue
        if cur is None or "=" not in line:
            continue
        name, data = split_line(line)
        if name is None:
            continue
        name = name.strip()
        name = "" if name == "@" else unescape(name[1:-1]) if name.startswith('"') else name
        cur[name.lower()] = (name, parse_data(data))
    return keys


def apply_script(before, script, root):
    after = {k: (v[0], dict(v[1])) for k, v in before.items()}
    rl = root.lower()
    cur = None
    for line in logical_lines(read_text(script)):
        s = line.strip()
        if s.startswith("[") and s.endswith("]"):
            k = s[1:-1]
            if k.startswith("-"):
                k = k[1:].lower()
                if k == rl or k.startswith(rl + "\\"):
                    for key in [x for x in after if x == k or x.startswith(k + "\\")]:
                        del after[key]
                cur = None
                continue
            if not (k.lower() == rl or k.lower().startswith(rl + "\\")):
                cur = None
                continue
            parts = k.split("\\")
            for n in range(len(root.split("\\")), len(parts) + 1):
                sub = "\\".join(parts[:n])
                after.setdefault(sub.lower(), (sub, {}))
            cur = after[k.lower()][1]
            continue
        if cur is None or not s:
            continue
        name, data = split_line(s)
        if name is None:
            continue
        name = name.strip()
        if len(name) >= 2 and name[0] == '"' and name[-1] == '"':
            name = name[1:-1]
        name = "" if name == "@" else name
        if data.strip() == "-":
            cur.pop(name.lower(), None)
        else:
            cur[name.lower()] = (name, parse_data(data))
    return after


def main():
    before_path, after_path, script, root = sys.argv[1:5]
    expected = apply_script(parse_export(before_path), script, root)
    actual = parse_export(after_path)
    faults = []
    for k in sorted(set(expected) | set(actual)):
        if k not in actual:
            faults.append("missing key " + expected[k][0])
            continue
        if k not in expected:
            faults.append("unexpected key " + actual[k][0])
            continue
        ev, av = expected[k][1], actual[k][1]
        for n in sorted(set(ev) | set(av)):
            if n not in av:
                faults.append("missing value %s\\%s" % (expected[k][0], ev[n][0]))
            elif n not in ev:
                faults.append("unexpected value %s\\%s" % (actual[k][0], av[n][0]))
            elif ev[n][1] != av[n][1]:
                faults.append("value %s\\%s: want %r got %r" % (actual[k][0], av[n][0], ev[n][1], av[n][1]))
    for f in faults:
        print(f)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
