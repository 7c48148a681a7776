#!/bin/sh
# Runs one Windows program under Wine, quietly, in the build tree's prefix.
# The prefix is made once (see the wineprefix test) and reused.
: "${WINEPREFIX:?WINEPREFIX must name the build tree's prefix}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
exec wine "$@"
