#!/bin/sh
# UTF-8 text with LF line ends -> UTF-16LE with byte-order mark and CR LF.
set -e
{ printf '\377\376'; sed 's/$/\r/' "$1" | iconv -f UTF-8 -t UTF-16LE; } > "$2.tmp"
mv "$2.tmp" "$2"
