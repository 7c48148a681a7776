# Shared by the benchmark scripts (sourced, not run): builds the program,
# prepares Wine with one running server, and gives the timing helpers.
# Expects $root, $build and $work to be set; the caller lists its tools.

# require TOOL...: stops when a tool is missing.
require() {
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "missing $tool: run scripts/setup.sh" >&2; exit 2; }
  done
}

cmake -S "$root" -B "$build" -G Ninja >/dev/null
ninja -C "$build" VroMount >/dev/null
exe="$build/src/app/VroMount.exe"
export WINEPREFIX="$build/wineprefix"
"$root/tests/wine-prefix.sh" >/dev/null
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# A running wineserver for the whole benchmark, as on a machine where Wine
# is in use; without it every start pays about half a second more.
wineserver -p 2>/dev/null || true

# baseline_exe COMMIT TREE: prints the program of another build: the one
# $VRO_BASELINE_EXE names, or else COMMIT exported into the folder TREE
# (once) and built there (target VroMount).
baseline_exe() {
  if [ -n "${VRO_BASELINE_EXE:-}" ]; then
    printf '%s' "$VRO_BASELINE_EXE"
    return
  fi
  if [ ! -d "$2" ]; then
    mkdir -p "$2"
    git -C "$root" archive "$1" | tar -x -C "$2"
  fi
  cmake -S "$2" -B "$2/build" -G Ninja >/dev/null
  ninja -C "$2/build" VroMount >/dev/null
  printf '%s' "$2/build/src/app/VroMount.exe"
}

win() { printf 'Z:%s' "$1" | tr / '\\'; }
# utf16 FILE: standard input as UTF-16LE with its byte-order mark.
utf16() { { printf '\377\376'; iconv -f UTF-8 -t UTF-16LE; } > "$1"; }

# addreg_inf INF REG N: the sample display INF with an AddReg section of N
# values (V00000...) under HKLM\SOFTWARE\VroBench and N keys of one value
# (VroBench.k00000\Name) under HKCR, and a .reg of the same values.
addreg_inf() {
  python3 - "$root/tests/infinstall/fixtures/vrodisp.inf" "$1" "$2" "$3" <<'PY'
import sys
src, inf, reg, n = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
text = open(src, encoding="utf-8").read()
text = text.replace("AddReg       = VroGfx_SoftwareDeviceSettings",
                    "AddReg       = VroGfx_SoftwareDeviceSettings, Bench.reg")
lines = ["[Bench.reg]"]
lines += ['HKLM, SOFTWARE\\VroBench, V%05d, 0, "value %05d"' % (i, i) for i in range(n)]
lines += ['HKCR, VroBench.k%05d, Name, 0, "value %05d"' % (i, i) for i in range(n)]
open(inf, "w", encoding="utf-8").write(text + "\n" + "\n".join(lines) + "\n")
out = ["Windows Registry Editor Version 5.00", "", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\VroBench]"]
out += ['"V%05d"="value %05d"' % (i, i) for i in range(n)]
for i in range(n):
    out += ["", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\VroBench.k%05d]" % i,
            '"Name"="value %05d"' % i]
open(reg, "w", encoding="utf-16").write("\r\n".join(out) + "\r\n")
PY
}

# display_store STORE INF: a driver store at STORE holding the display
# package of INF for the device VEN_1234&DEV_1111 (as the store import lays
# it out), and a copy of the program (STORE.exe) whose settings name it.
display_store() {
  local device='VEN_1234&DEV_1111'
  local version="$1/Display/6.1_x64/$device/26.20.100.8141"
  rm -rf "$1"
  mkdir -p "$version"
  printf '[PCI\\%s]\r\n%s\r\n' "$device" "$device" | utf16 "$1/Display/6.1_x64/VroDir.ini"
  printf '[DeviceList]\r\n[PCI]\r\n%s\r\n' "$device" | utf16 "$version/VroPnp.ini"
  for f in vrogfx.sys vrogfxum.dll vrogfxd.dll; do head -c 20000 /dev/urandom > "$version/$f"; done
  python3 "$root/tests/infinstall/resolve-inf.py" "$2" "$version/VroPnp.inf" \
    NTamd64.6.1 Vro VroGfx.NTamd64
  cp "$exe" "$1.exe"
  printf '[Config]\r\nDrvPath=%s\r\n' "$(win "$1")" > "$1.ini"
}
now() { date +%s.%N; }
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
# timed NAME COMMAND...: runs the command, adds its seconds to $work/t/NAME.
# Dirty pages of the run before are written out first, so that no one pays
# for another's writes.
timed() {
  local name=$1 t0 t1
  shift
  sync
  t0=$(now)
  "$@" >/dev/null 2>&1 || echo "   ($name exited with $?)"
  t1=$(now)
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f\n", b - a }' >> "$work/t/$name"
}
med() { median < "$work/t/$1"; }
# peak NAME COMMAND...: runs the command under /usr/bin/time and adds the
# largest resident size in KiB to $work/t/NAME, and the bytes it wrote to
# files (the kernel's count of its file system outputs, 512-byte blocks)
# to $work/t/NAME.written (an exit code other than 0 is told, and the
# script goes on).
peak() {
  local name=$1 out
  shift
  sync
  out=$(/usr/bin/time -f '%M %O %x' "$@" 2>&1 >/dev/null | tail -1) || true
  set -- $out
  [ "$3" = 0 ] || echo "   ($name exited with $3)"
  echo "$1" >> "$work/t/$name"
  echo $(( $2 * 512 )) >> "$work/t/$name.written"
}
ours() { wine "$exe" "$@"; }

# make_small_tree DIR FOLDERS: 100 files of 1-8 KiB in each of FOLDERS
# folders (seeded, so every run makes the same tree).
make_small_tree() {
  python3 - "$1" "$2" <<'PY'
import os, random, sys
root, folders = sys.argv[1], int(sys.argv[2])
random.seed(11)
for d in range(folders):
    p = os.path.join(root, "d%03d" % d)
    os.makedirs(p)
    for f in range(100):
        size = random.randint(1024, 8192)
        with open(os.path.join(p, "f%03d.dat" % f), "wb") as out:
            out.write(random.randbytes(size))
PY
}

# make_file_tree DIR MEGABYTES: files of 1-16 MiB (seeded, so every run makes
# the same tree) in 20 folders, MEGABYTES in all.
make_file_tree() {
  python3 - "$1" "$2" <<'PY'
import os, random, sys
root, total = sys.argv[1], int(sys.argv[2]) << 20
random.seed(7)
block = os.urandom(1 << 20)
i = 0
while total > 0:
    size = min(total, random.randint(1, 16) << 20)
    d = os.path.join(root, "D%02d" % (i % 20))
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "f%04d.bin" % i), "wb") as f:
        for k in range(size >> 20):
            f.write(block[k % 7:] + block[:k % 7])
    total -= size
    i += 1
PY
}
# take_turns ROUNDS "SIDES": ROUNDS rounds in which each side (ours, base:
# the build $baseline, fuse) runs once on a fresh copy (the caller's
# `fresh`), timed under its name: ours and base through the caller's
# `inject EXE`, fuse through its `fuse_inject`. The order turns round every
# other round; the last round's result of each is read back by the caller's
# `differs WHAT`. Each round first times the start (the caller's `start_of
# EXE`) as `start` (and `start_base`).
take_turns() {
  local rounds=$1 sides=$2 r order side
  for r in $(seq 1 "$rounds"); do
    start_of "$exe" >/dev/null 2>&1 || true
    timed start start_of "$exe"
    [ -n "${baseline:-}" ] && timed start_base start_of "$baseline"
    [ $((r % 2)) = 1 ] && order="$sides" || order=$(echo "$sides" | tr ' ' '\n' | tac | tr '\n' ' ')
    for side in $order; do
      fresh
      case $side in
        ours) timed ours inject "$exe"; [ "$r" = "$rounds" ] && differs "our inject" ;;
        base) timed base inject "$baseline"; [ "$r" = "$rounds" ] && differs "the baseline's inject" ;;
        fuse) timed fuse fuse_inject; [ "$r" = "$rounds" ] && differs "the FUSE inject" ;;
      esac
    done
  done
  return 0
}

# mount_ntfs [OPTIONS]: the volume $ntfs_source at $work/mnt, served by a
# ntfs-3g kept in the foreground so that its end (the volume written and
# closed) is awaited by umount_ntfs.
ntfs_pid=
mount_ntfs() {
  ntfs-3g -o no_detach${1:+,$1} "$ntfs_source" "$work/mnt" >/dev/null 2>&1 &
  ntfs_pid=$!
  for _ in $(seq 1 200); do mountpoint -q "$work/mnt" && return 0; sleep 0.01; done
  echo "ntfs-3g did not mount" >&2
  return 1
}
# On leaving the script: the FUSE mount at $work/mnt undone and Wine's
# server ended, whatever stopped the run.
cleanup_on_exit() {
  trap 'umount "$work/mnt" 2>/dev/null || true; wineserver -k 2>/dev/null || true' EXIT
}
umount_ntfs() {
  umount "$work/mnt"
  wait "$ntfs_pid" || true
}

# ratio_row LABEL OURS PEERNAME PEER [WIDTH]: one line of the results, the
# ratio of the whole processes and with our start ($s, seconds) taken off.
ratio_row() {
  awk -v l="$1" -v o="$2" -v n="$3" -v p="$4" -v s="$s" -v w="${5:-20}" 'BEGIN {
    printf "   %-" w "s ours %7.2f  %-22s %7.2f  ratio %5.2fx  less start %5.2fx\n",
      l, o, n, p, o / p, (o - s) / p }'
}

# make_hive_regs DIR KEYS: DIR/big.reg fills SOFTWARE with KEYS keys of five
# 1000-character values and sets "\Vro" "Hive" to "imported"; DIR/del.reg
# deletes them again and sets it to "deleted" (a save that rewrites nearly
# every page of the hive).
make_hive_regs() {
  python3 - "$1/big.reg" "$2" <<'PY'
import sys
lines = ["Windows Registry Editor Version 5.00", "",
         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro]", '"Hive"="imported"', ""]
for k in range(int(sys.argv[2])):
    lines.append("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Big\\k%04d]" % k)
    for v in range(5):
        lines.append('"v%d"="%s"' % (v, ("%04d" % k) * 250))
    lines.append("")
open(sys.argv[1], "wb").write(("\r\n".join(lines) + "\r\n").encode("utf-16"))
PY
  printf '\xff\xfe' > "$1/del.reg"
  printf 'Windows Registry Editor Version 5.00\r\n\r\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Big]\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro]\r\n"Hive"="deleted"\r\n' |
    iconv -f UTF-8 -t UTF-16LE >> "$1/del.reg"
}

# kill_on_growth FILE DELAY COMMAND...: runs the command (its output into
# $work/kill.out) and kills it with kill -9 DELAY seconds after FILE first
# grows past the size it had at the start (polled in a tight loop; a file
# that does not exist yet grows when it appears; FILE "-": DELAY seconds
# after the start). Prints "killed GROWTH"
# (seconds from the start until the file grew), or "ended CODE GROWTH" when
# the command ended first (GROWTH "-" when the file did not grow).
kill_on_growth() {
  work="$work" python3 - "$@" <<'PY'
import os, signal, subprocess, sys, time
path, delay, argv = sys.argv[1], float(sys.argv[2]), sys.argv[3:]
out = os.environ["work"] + "/kill.out"
def size():
    if path == "-":
        return 1
    try:
        return os.stat(path).st_size
    except OSError:
        return -1
first = 0 if path == "-" else size()
start = time.monotonic()
with open(out, "wb") as f:
    p = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=f, stderr=subprocess.STDOUT)
grown = None
while p.poll() is None:
    if size() > first:
        grown = time.monotonic()
        break
if grown is None:
    code = p.wait()
    print("ended %d %s" % (code, "%.3f" % (time.monotonic() - start) if size() > first else "-"))
    sys.exit(0)
end = grown + delay
while p.poll() is None and time.monotonic() < end:
    time.sleep(min(0.001, max(0.0, end - time.monotonic())))
if p.poll() is not None:
    print("ended %d %.3f" % (p.wait(), grown - start))
    sys.exit(0)
os.kill(p.pid, signal.SIGKILL)
p.wait()
print("killed %.3f" % (grown - start))
PY
}

# reg_key FILE COUNT: a .reg that replaces the key SYSTEM\Bench by one
# holding COUNT string values.
reg_key() {
  python3 - "$1" "$2" <<'PY'
import sys
path, count = sys.argv[1], int(sys.argv[2])
key = "HKEY_LOCAL_MACHINE\\SYSTEM\\Bench"
lines = ["Windows Registry Editor Version 5.00", "", "[-%s]" % key, "", "[%s]" % key]
lines += ['"Value%05d"="Data of the value number %05d"' % (i, i) for i in range(count)]
with open(path, "w", encoding="utf-16") as f:
    f.write("\r\n".join(lines) + "\r\n")
PY
}
