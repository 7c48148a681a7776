#!/usr/bin/env bash
# scripts/ia32.sh, which tells how this machine runs 32-bit programs and, for
# setup, hands them to qemu-user where the kernel does not run them. The
# probe, the binfmt_misc folder and the emulator are stand-ins here: a
# program that runs natively, one the kernel refuses (Exec format error) and
# one that another program runs for it, a plain folder with a "register"
# file, and apt-get as a stub.
set -u
ia32=$(cd "$(dirname "$0")/../../scripts" && pwd)/ia32.sh
t=$(mktemp -d); trap 'rm -rf "$t"' EXIT
pass=0 fail=0
check() { if eval "$2"; then pass=$((pass + 1)); else fail=$((fail + 1)); echo "FAIL: $1"; fi; }

# A native program that sleeps as the probe does; the same with a machine
# no kernel runs; a script, which its interpreter runs as an emulator would.
cat > "$t/sleep.s" <<'EOF'
.globl _start
_start:
  pushq $0
  pushq $2
  movq %rsp, %rdi
  xorl %esi, %esi
  movl $35, %eax
  syscall
  movl $60, %eax
  xorl %edi, %edi
  syscall
EOF
as --64 -o "$t/sleep.o" "$t/sleep.s" && ld -o "$t/native" "$t/sleep.o" || exit 1
cp "$t/native" "$t/refused"
printf '\x34\x12' | dd of="$t/refused" bs=1 seek=18 conv=notrunc status=none   # e_machine
printf '#!/bin/sh\nsleep 2\n' > "$t/interpreted"
chmod +x "$t/native" "$t/refused" "$t/interpreted"

mkdir -p "$t/bin" "$t/binfmt" "$t/qemu"
printf '#!/bin/sh\necho "$*" >> %s/apt-calls\nexit 100\n' "$t" > "$t/bin/apt-get"
printf '#!/bin/sh\nexit 0\n' > "$t/qemu/qemu-i386-static"
chmod +x "$t/bin/apt-get" "$t/qemu/qemu-i386-static"
# The test command sets QEMU_RESERVED_VA for the whole run: each case
# starts without it.
run() {
  local probe=$1; shift
  env -u QEMU_RESERVED_VA PATH="$t/bin:$PATH" VRO_IA32_PROBE="$t/$probe" VRO_BINFMT_DIR="$t/binfmt" \
    VRO_QEMU_I386="$t/qemu/qemu-i386-static" "$@" bash "$ia32" "${CMD:-ensure}" 2>&1
}

# What each probe shows.
check "a native program not told native" '[ "$(CMD=mode run native)" = native ]'
check "a refused program not told none" '[ "$(CMD=mode run refused)" = none ]'
check "an interpreted program not told emulated" '[ "$(CMD=mode run interpreted)" = emulated ]'
check "env where they run natively" '[ -z "$(CMD=env run native)" ]'
check "no env under emulation" '[ "$(CMD=env run interpreted)" = "export QEMU_RESERVED_VA=0x81000000" ]'
check "a QEMU_RESERVED_VA the user set is overridden" \
  '[ -z "$(CMD=env run interpreted env QEMU_RESERVED_VA=0xc0000000)" ]'

# Native and emulated: one line, nothing registered, nothing installed.
: > "$t/binfmt/register"
out=$(run native); rc=$?
check "native: $out" '[ $rc -eq 0 ] && [ "$out" = "setup: this kernel runs 32-bit programs: the 32-bit program runs natively" ]'
check "native: registered" '[ ! -s "$t/binfmt/register" ] && [ ! -e "$t/apt-calls" ]'
out=$(run interpreted); rc=$?
check "emulated: $out" '[ $rc -eq 0 ] && [[ $out == "setup: 32-bit programs are handed to an emulator"*"(slow)" ]]'
check "emulated: registered" '[ ! -s "$t/binfmt/register" ]'

# None: the emulator is registered for i386 ELF with flag F. The stand-in
# folder runs nothing, so the probe still fails and setup says so.
out=$(run refused); rc=$?
line=$(cat "$t/binfmt/register")
check "registration: $line" '[ "$line" = ":qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:$t/qemu/qemu-i386-static:F" ]'
check "none, registered, still none: $out" '[ $rc -ne 0 ] && [[ $out == *"still do not run after registering"*"ia32_emulation=on"* ]]'

# An i386 entry that is there but runs nothing is named, not registered over.
: > "$t/binfmt/register"
printf 'disabled\ninterpreter /usr/bin/qemu-i386-static\nflags: F\noffset 0\nmagic 7f454c4601010100000000000000000002000300\n' \
  > "$t/binfmt/qemu-i386"
out=$(run refused); rc=$?
check "a disabled entry: $out" '[ $rc -ne 0 ] && [[ $out == *"the binfmt_misc entry qemu-i386"*"enable it"* ]] && [ ! -s "$t/binfmt/register" ]'
rm "$t/binfmt/qemu-i386"

# No emulator, and apt-get cannot install it: one line naming the package.
out=$(PATH="$t/bin:$PATH" VRO_IA32_PROBE="$t/refused" VRO_BINFMT_DIR="$t/binfmt" \
      VRO_QEMU_I386="$t/missing/qemu-i386-static" bash "$ia32" ensure 2>&1); rc=$?
check "no emulator: $out" '[ $rc -ne 0 ] && [ "$(printf "%s\n" "$out" | wc -l)" = 1 ] && [[ $out == *"qemu-user-static"* ]]'
check "no install tried: $(cat "$t/apt-calls" 2>/dev/null)" 'grep -q "install.*qemu-user-static" "$t/apt-calls"'

# No binfmt_misc to register with (a folder that cannot be mounted on).
out=$(PATH="$t/bin:$PATH" VRO_IA32_PROBE="$t/refused" VRO_BINFMT_DIR="$t/none/binfmt_misc" \
      VRO_QEMU_I386="$t/qemu/qemu-i386-static" bash "$ia32" ensure 2>&1); rc=$?
check "no binfmt_misc: $out" '[ $rc -ne 0 ] && [ "$(printf "%s\n" "$out" | wc -l)" = 1 ] && [[ $out == *"binfmt_misc could not be mounted"*"then run this command again" ]]'

echo "ia32 setup: $pass passed, $fail failed"
[ $fail -eq 0 ]
