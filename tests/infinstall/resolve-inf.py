#!/usr/bin/env python3
"""Cuts a per-device INF out of a sample package the way the driver store
does for the tests: %token% references of [Strings] are replaced by their
text (directory ids such as %12% and %% stay), and [Manufacturer] is cut to
its first maker with one decoration.

usage: resolve-inf.py IN(UTF-8) OUT(UTF-16LE with BOM) DECORATION
"""
import re
import sys

src, dst, decoration = sys.argv[1:4]
text = open(src, encoding="utf-8").read()
strings = {}
section = None
for line in text.splitlines():
    s = line.strip()
    if s.startswith("["):
        section = s[1:s.index("]")].lower()
        continue
    if section == "strings" and "=" in s and not s.startswith(";"):
        k, v = s.split("=", 1)
        strings[k.strip().lower()] = v.strip()


def token(m):
    name = m.group(1)
    if name.lower() in strings:
        return strings[name.lower()]
    return m.group(0)


out = []
section = None
for line in text.splitlines():
    s = line.strip()
    if s.startswith("["):
        section = s[1:s.index("]")].lower()
    elif section == "manufacturer" and "=" in s and not s.startswith(";"):
        k, v = s.split("=", 1)
        line = "%s = %s, %s" % (k.strip(), v.split(",")[0].strip(), decoration)
    out.append(re.sub(r"%([A-Za-z_][A-Za-z0-9_.]*)%", token, line))
open(dst, "wb").write(b"\xff\xfe" + ("\r\n".join(out) + "\r\n").encode("utf-16-le"))
