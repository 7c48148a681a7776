#!/usr/bin/env python3
"""Cuts a per-device INF out of a sample package the way the driver store
does for the tests: %token% references of [Strings] are replaced by their
text (directory ids such as %12% and %% stay), and [Manufacturer] is cut to
its first maker with one decoration.

usage: resolve-inf.py IN(UTF-8) OUT(UTF-16LE with BOM) DECORATION [MAKER MODELS]

With MAKER and MODELS it writes a combined INF as the store keeps it: the
maker's [Manufacturer] line names MAKER with DECORATION, and the package's
models section MODELS is renamed MAKER.DECORATION.
"""
import re
import sys

src, dst, decoration = sys.argv[1:4]
maker, models = (sys.argv[4], sys.argv[5]) if len(sys.argv) > 5 else (None, None)
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
        if maker and section == models.lower():
            line = "[%s.%s]" % (maker, decoration)
    elif section == "manufacturer" and "=" in s and not s.startswith(";"):
        k, v = s.split("=", 1)
        if maker:
            line = "%s=%s,%s" % (maker, maker, decoration)
        else:
            line = "%s = %s, %s" % (k.strip(), v.split(",")[0].strip(), decoration)
    out.append(re.sub(r"%([A-Za-z_][A-Za-z0-9_.]*)%", token, line))
open(dst, "wb").write(b"\xff\xfe" + ("\r\n".join(out) + "\r\n").encode("utf-16-le"))
