#!/bin/sh
# Makes the Wine prefix the tests run in (once per build tree) and keeps a
# wineserver running for the whole test run so each test starts quickly.
set -e
: "${WINEPREFIX:?}"
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# The loader of the build's width (the build sets VRO_WINE).
wine=${VRO_WINE:-wine}
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  log=$("$wine" wineboot -i 2>&1) || true
  wineserver -w
fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  printf '%s\n' "${log:-}" | tail -n 5 >&2
  echo "wine prefix was not created in $WINEPREFIX by '$wine wineboot -i' (its last lines above)" >&2
  exit 1
fi
# Wine draws the caption buttons with Marlett. Debian ships Wine's own fonts
# apart (fonts-wine, which setup installs), and this build of Wine does not
# find them there: the prefix's font folder, which Wine reads as a program
# starts, gets its Marlett.
fonts="$WINEPREFIX/drive_c/windows/Fonts"
if [ ! -f "$fonts/marlett.ttf" ] && [ -f /usr/share/wine/fonts/marlett.ttf ]; then
  mkdir -p "$fonts"
  cp /usr/share/wine/fonts/marlett.ttf "$fonts/"
fi
# Start the server and Wine's services now, detached from ctest's output
# pipes: a test whose pipe a long-lived Wine process inherits would otherwise
# be held open until that process ends.
wineserver -p300 </dev/null >/dev/null 2>&1 || true
"$wine" cmd /c exit </dev/null >/dev/null 2>&1 || true
# A crashing test child must not leave Wine's crash dialog waiting on the
# display (the minidump tests crash on purpose).
"$wine" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
  </dev/null >/dev/null 2>&1 || true
# Windows draw their own caption and frame on the virtual display (it has no
# window manager). The dialog fonts of the three languages, missing on
# Linux, are each drawn with a font of their own language that the setup
# installs.
"$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f </dev/null >/dev/null 2>&1 || true
for pair in "SimSun=WenQuanYi Micro Hei Mono" "MS UI Gothic=Noto Sans CJK JP" \
            "Gulim=Noto Sans CJK KR"; do
  "$wine" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "${pair%%=*}" \
    /d "${pair#*=}" /f </dev/null >/dev/null 2>&1 || true
done
echo "wine prefix ready: $WINEPREFIX"
