#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian bookworm machine.
# Safe to run again: packages already present are skipped, the dependency
# libraries are rebuilt only when their cache is missing.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
# APT_ETC names another apt configuration folder (for tests).
etc=${APT_ETC:-/etc/apt}

PKGS=(
  cmake ninja-build ccache make pkg-config autoconf automake libtool dpkg-dev
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
  wine wine32:i386 wine64 xvfb xauth fonts-wqy-microhei fonts-noto-cjk fonts-wine imagemagick x11-apps xdotool
  ntfs-3g dosfstools exfatprogs mtools qemu-utils libhivex-bin libwin-hivex-perl
  python3 python3-hivex fdisk gdisk exfat-fuse 7zip libxml2-utils qemu-system-x86
  perl          # its Unicode database makes the FAT module's up-case table
  forensics-samples-ntfs forensics-samples-vfat forensics-samples-exfat
  googletest
  7zip chntpw   # bench/run.sh's peers only
)

need_update=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
  need_update=1
fi
# Source packages of the same suite, for libntfs-3g and UCL: derived from the
# machine's own Debian entries (same URIs, suites, components and keys), in
# the one-line or the deb822 format, so a machine behind a proxy or an
# internal mirror fetches its sources where it fetches its packages.
if ! grep -rqs '^[[:space:]]*\(deb-src\|Types:.*deb-src\)' "$etc/sources.list" "$etc/sources.list.d/"; then
  src=$("$here/derive-deb-src.sh")
  if [ -z "$src" ]; then
    echo "setup: no Debian 'deb' entry in the apt sources to derive source entries from" >&2
    exit 1
  fi
  printf '%s\n' "$src" | $SUDO tee "$etc/sources.list.d/vromount-src.sources" >/dev/null
  need_update=1
fi

# The package indexes. A mirror in the middle of a sync serves an index whose
# size or hash is not the one its release file names ("Mirror sync in
# progress?"); that settles within minutes, so the update is tried again after
# a pause. When it still fails, the last line names each index that failed
# and says whose fault it is: nothing is installed from a half-updated list.
apt_update() {
  local tries=${VRO_APT_TRIES:-4} pause=${VRO_APT_PAUSE:-30} n log rc
  log=$(mktemp "${TMPDIR:-/tmp}/vro-apt-update.XXXXXX")
  for ((n = 1; n <= tries; n++)); do
    rc=0
    $SUDO apt-get update -q 2>&1 | tee "$log" || rc=$?
    if [ "$rc" -eq 0 ]; then rm -f "$log"; return 0; fi
    if [ "$n" -lt "$tries" ]; then
      echo "setup: apt-get update failed (try $n of $tries); trying again in ${pause}s" >&2
      sleep "$pause"
    fi
  done
  local failed
  failed=$(sed -n 's/^E: Failed to fetch \([^ ]*\) *\(.*\)$/\1 (\2)/p' "$log")
  rm -f "$log"
  if [ -n "$failed" ]; then
    while IFS= read -r line; do
      echo "setup: the package index $line could not be fetched in $tries tries: the package mirror is at fault (it may be in the middle of a sync), not this project; run this command again later" >&2
    done <<<"$failed"
  else
    echo "setup: apt-get update failed in $tries tries (see apt's lines above); nothing was installed" >&2
  fi
  return 1
}

missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ $need_update -eq 1 ] || [ -z "$(ls -A /var/lib/apt/lists 2>/dev/null | grep -v lock)" ]; then
    apt_update || exit 1
  fi
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" \
    || { apt_update || exit 1; $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"; }
elif [ $need_update -eq 1 ]; then
  apt_update || exit 1
fi

# The program is 32-bit, and so is the Wine that runs it. Where the kernel
# runs no 32-bit programs, they are run under qemu-user's emulation; setup
# says which it found, and ends here where neither can be had.
"$here/ia32.sh" ensure || exit 1

"$here/build-deps.sh"
