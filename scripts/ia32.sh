#!/usr/bin/env bash
# How this machine runs 32-bit x86 Linux programs, which the 32-bit Wine that
# runs VroMount.exe is.
#
#   ia32.sh mode     prints one word: "native" (the kernel runs them),
#                    "emulated" (a binfmt_misc entry hands them to an
#                    emulator) or "none" (they do not run: Exec format error)
#   ia32.sh env      prints the shell assignments that make emulated 32-bit
#                    Wine start quickly (nothing where they run natively),
#                    for eval
#   ia32.sh ensure   setup's step: says in one line what it found; where they
#                    do not run, registers i386 ELF with qemu-user's emulator
#                    (qemu-user-static, installed then) and says so. Ends
#                    with 1 and one line naming the cause and what to do where
#                    that cannot be done.
#
# Seams for tests: VRO_BINFMT_DIR (binfmt_misc's folder), VRO_QEMU_I386 (the
# emulator registered), VRO_IA32_PROBE (the 32-bit program run).
set -uo pipefail
binfmt=${VRO_BINFMT_DIR:-/proc/sys/fs/binfmt_misc}
qemu=${VRO_QEMU_I386:-/usr/bin/qemu-i386-static}
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo

# A static i386 program that sleeps two seconds and exits 0, assembled into
# a scratch folder (binutils comes with dpkg-dev). While it sleeps, the link
# of its process's exe tells who runs it: the program itself where the kernel
# does, the emulator where binfmt_misc hands it over. A 32-bit program cannot
# be asked itself: an emulator answers for it as the kernel would.
make_probe() {
  if [ -n "${VRO_IA32_PROBE:-}" ]; then cp "$VRO_IA32_PROBE" "$1/probe"; return; fi
  cat > "$1/probe.s" <<'EOF'
.globl _start
_start:
  pushl $0            # tv_nsec
  pushl $2            # tv_sec
  movl %esp, %ebx
  xorl %ecx, %ecx
  movl $162, %eax     # nanosleep
  int $0x80
  movl $1, %eax       # exit(0)
  xorl %ebx, %ebx
  int $0x80
EOF
  as --32 -o "$1/probe.o" "$1/probe.s" && ld -m elf_i386 -o "$1/probe" "$1/probe.o"
}

mode() {
  local t probe pid exe self n rc
  t=$(mktemp -d "${TMPDIR:-/tmp}/vro-ia32.XXXXXX") || return 1
  probe=$t/probe
  if ! make_probe "$t" >/dev/null 2>&1; then
    rm -rf "$t"
    echo "ia32: the 32-bit probe could not be assembled (as and ld of binutils)" >&2
    return 1
  fi
  self=$(readlink /proc/$$/exe)
  "$probe" 2>/dev/null &
  pid=$!
  exe=$self n=0
  while [ "$exe" = "$self" ] && [ $n -lt 200 ]; do
    exe=$(readlink "/proc/$pid/exe" 2>/dev/null) || { exe=; break; }
    n=$((n + 1))
    [ "$exe" = "$self" ] && sleep 0.02
  done
  if [ -z "$exe" ] || [ "$exe" = "$self" ]; then
    # Ended before it could be seen running: it did not run.
    rc=0; wait "$pid" 2>/dev/null || rc=$?
    [ "$rc" -eq 0 ] && echo native || echo none
    rm -rf "$t"
    return 0
  fi
  kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null
  if [ "$exe" = "$(readlink -f "$probe")" ]; then echo native; else echo emulated; fi
  rm -rf "$t"
}

# The binfmt_misc entry that takes i386 ELF programs, if one is registered.
i386_entry() {
  local f
  for f in "$binfmt"/*; do
    [ -f "$f" ] || continue
    case ${f##*/} in register|status) continue;; esac
    grep -qx 'magic 7f454c4601010100000000000000000002000300' "$f" 2>/dev/null && { echo "$f"; return 0; }
  done
  return 1
}

ensure() {
  local m entry
  m=$(mode) || return 1
  case $m in
  native)
    echo "setup: this kernel runs 32-bit programs: the 32-bit program runs natively"
    return 0;;
  emulated)
    entry=$(i386_entry) && entry=" (binfmt_misc entry ${entry##*/}: $(sed -n 's/^interpreter //p' "$entry"))"
    echo "setup: 32-bit programs are handed to an emulator${entry:-}: the 32-bit program runs under emulation (slow)"
    return 0;;
  esac
  # Nothing runs them: hand them to qemu-user's emulator.
  if entry=$(i386_entry); then
    echo "setup: this kernel runs no 32-bit programs, and the binfmt_misc entry ${entry##*/} that should run them does not (it may be disabled): enable it (echo 1 > $entry) or remove it, then run this command again" >&2
    return 1
  fi
  if [ ! -x "$qemu" ]; then
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
      qemu-user-static >/dev/null 2>&1 || true
  fi
  if [ ! -x "$qemu" ]; then
    echo "setup: this kernel runs no 32-bit programs, and $qemu could not be installed to run them under emulation: install Debian's qemu-user-static, then run this command again" >&2
    return 1
  fi
  if [ ! -e "$binfmt/register" ]; then
    if ! $SUDO mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null || [ ! -e "$binfmt/register" ]; then
      echo "setup: this kernel runs no 32-bit programs, and binfmt_misc could not be mounted at $binfmt to run them under emulation: as root, run 'mount -t binfmt_misc binfmt_misc $binfmt' (or boot the kernel with ia32_emulation=on), then run this command again" >&2
      return 1
    fi
  fi
  # The magic and mask of a 32-bit little-endian x86 ELF executable or shared
  # object; F opens the emulator now, so it is found in every mount namespace.
  local line=':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$qemu"':F'
  if ! printf '%s\n' "$line" | $SUDO tee "$binfmt/register" >/dev/null 2>&1; then
    echo "setup: this kernel runs no 32-bit programs, and registering them with binfmt_misc ($binfmt/register) was refused: as root, with binfmt_misc writable, run this command again (or boot the kernel with ia32_emulation=on)" >&2
    return 1
  fi
  m=$(mode) || return 1
  if [ "$m" != emulated ]; then
    echo "setup: this kernel runs no 32-bit programs, and they still do not run after registering $qemu with binfmt_misc: boot the kernel with ia32_emulation=on, or run the 64-bit tests alone (VRO_TEST_ARCH=x86_64)" >&2
    return 1
  fi
  echo "setup: this kernel runs no 32-bit programs: the 32-bit program runs under emulation (slow)"
}

# qemu-user 7.2 (bookworm's) takes about 50 s to start a 32-bit Wine
# process: Wine reserves the guest's address space above 2 GiB, and qemu
# spends that time on the reservation. With a guest address space of 2 GiB
# and 16 MiB (Wine needs a little above 2 GiB) it starts in about 3 s. The
# program then has 2 GiB of address space under emulation instead of 4.
emulation_env() {
  local m
  m=$(mode) || return 1
  [ "$m" = emulated ] && [ -z "${QEMU_RESERVED_VA:-}" ] && echo "export QEMU_RESERVED_VA=0x81000000"
  return 0
}

case ${1:-} in
mode) mode;;
env) emulation_env;;
ensure) ensure;;
*) echo "usage: ia32.sh mode|env|ensure" >&2; exit 2;;
esac
