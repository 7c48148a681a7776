#!/usr/bin/env bash
# Cross-builds the third-party C libraries VroMount links statically, for both
# Windows targets, from Debian's source packages:
#   libntfs-3g (ntfs-3g)  -> <triplet>/lib/libntfs-3g.a, include/ntfs-3g/*.h
#   UCL (ucl)             -> <triplet>/lib/libucl.a,     include/ucl/*.h
# plus include/ntfs-3g-compat/ntfs3g_prelude.h, which the installed ntfs-3g
# headers need on Windows (see cmake/VroDeps.cmake for the consumer flags).
#
# Output: ${VRO_DEPS_DIR:-/var/cache/vromount-deps}/<triplet>/{include,lib}
# A triplet whose stamp matches RECIPE is left alone; change RECIPE whenever
# this script changes what ends up in the cache.
set -euo pipefail

RECIPE="vromount-deps 2 (ntfs-3g libonly, ucl no-asm)"
DEPS_DIR=${VRO_DEPS_DIR:-/var/cache/vromount-deps}
TRIPLETS=(i686-w64-mingw32 x86_64-w64-mingw32)
JOBS=$(nproc)

stamp_ok() { [ -f "$DEPS_DIR/$1/.stamp" ] && [ "$(cat "$DEPS_DIR/$1/.stamp")" = "$RECIPE" ]; }

todo=()
for t in "${TRIPLETS[@]}"; do
  stamp_ok "$t" || todo+=("$t")
done
if [ ${#todo[@]} -eq 0 ]; then
  echo "build-deps: cache up to date in $DEPS_DIR"
  exit 0
fi

for t in "${todo[@]}"; do
  command -v "$t-gcc-posix" >/dev/null || { echo "build-deps: $t-gcc-posix not found (run scripts/setup.sh)" >&2; exit 1; }
done

mkdir -p "$DEPS_DIR"
WORK=$(mktemp -d "${TMPDIR:-/tmp}/vro-deps.XXXXXX")
LOG="$DEPS_DIR/build-deps.log"
: >"$LOG"
cleanup() { rm -rf "$WORK" "$DEPS_DIR"/.*.new.$$; }
trap cleanup EXIT

# Runs a step quietly; on failure shows the end of the log and stops.
step() {
  local what=$1; shift
  echo "== $what" >>"$LOG"
  if ! "$@" >>"$LOG" 2>&1; then
    echo "build-deps: FAILED: $what (full log: $LOG)" >&2
    tail -n 40 "$LOG" >&2
    exit 1
  fi
}

# ---------------------------------------------------------------------------
# Sources.  apt-get source needs a deb-src entry (added by setup.sh) and
# dpkg-dev, which unpacks the tarball and applies the Debian patches.
# The newest version listed may not be downloadable yet (the security mirror
# can list a .dsc before serving it), so fall back to older ones.
fetch_source() {
  local pkg=$1 v
  (cd "$WORK/src" && apt-get source -q "$pkg") >>"$LOG" 2>&1 && return 0
  for v in $(apt-cache showsrc "$pkg" 2>/dev/null | sed -n 's/^Version: //p' | sort -u -r -V); do
    echo "== retrying $pkg=$v" >>"$LOG"
    rm -rf "$WORK/src/$pkg"-[0-9]*/
    (cd "$WORK/src" && apt-get source -q "$pkg=$v") >>"$LOG" 2>&1 && return 0
  done
  echo "build-deps: FAILED: apt-get source $pkg (full log: $LOG)" >&2
  tail -n 20 "$LOG" >&2
  exit 1
}

mkdir -p "$WORK/src"
fetch_source ntfs-3g
fetch_source ucl
NTFS_SRC=$(find "$WORK/src" -mindepth 1 -maxdepth 1 -type d -name 'ntfs-3g-*' | head -n1)
UCL_SRC=$(find "$WORK/src" -mindepth 1 -maxdepth 1 -type d -name 'ucl-*' | head -n1)
[ -d "$NTFS_SRC" ] && [ -d "$UCL_SRC" ] || { echo "build-deps: unpacked sources not found" >&2; exit 1; }

# ntfs-3g ships without a generated configure.
step "ntfs-3g: autoreconf" sh -c "cd '$NTFS_SRC' && autoreconf -fi"

# ---------------------------------------------------------------------------
# Headers mingw-w64 lacks but libntfs-3g's sources include.  They are only
# used while building the library; the prelude its installed headers need is
# installed with it.
COMPAT="$WORK/compat"
mkdir -p "$COMPAT/sys" "$COMPAT/ntfs-3g-compat"

cat >"$COMPAT/ntfs-3g-compat/ntfs3g_prelude.h" <<'EOF'
/*
 * Include before any <ntfs-3g/...> header (cmake/VroDeps.cmake forces it in).
 * libntfs-3g was built with this same file in front of every source, so:
 *  - uid_t/gid_t, used by acls.h and security.h, exist (mingw-w64 has none);
 *  - <sys/stat.h> is seen before device.h, so the stat member of
 *    struct ntfs_device_operations takes the same 64-bit struct on both
 *    sides (mingw-w64 renames "stat" when _FILE_OFFSET_BITS is 64).
 */
#ifndef NTFS3G_PRELUDE_H
#define NTFS3G_PRELUDE_H
#if !defined(_FILE_OFFSET_BITS) || _FILE_OFFSET_BITS != 64
#error "libntfs-3g was built with _FILE_OFFSET_BITS=64"
#endif
#include <sys/types.h>
#include <sys/stat.h>
#include <time.h>
typedef unsigned int uid_t;
typedef unsigned int gid_t;
#endif
EOF

# Forced into every libntfs-3g source file (-include).
cat >"$COMPAT/ntfs3g_build.h" <<'EOF'
#ifndef NTFS3G_BUILD_H
#define NTFS3G_BUILD_H
#include <ntfs-3g-compat/ntfs3g_prelude.h>

#ifndef S_ISUID
#define S_ISUID 0004000
#endif
#ifndef S_ISGID
#define S_ISGID 0002000
#endif
#ifndef S_ISVTX
#define S_ISVTX 0001000
#endif
#ifndef S_IFLNK
#define S_IFLNK 0120000
#endif
#ifndef S_IFSOCK
#define S_IFSOCK 0140000
#endif
#ifndef S_ISLNK
#define S_ISLNK(m) (((m) & S_IFMT) == S_IFLNK)
#endif
#ifndef S_ISSOCK
#define S_ISSOCK(m) (((m) & S_IFMT) == S_IFSOCK)
#endif

/* Supplied by the program (src/image/ntfs/ntfs_compat.c). */
uid_t getuid(void);
gid_t getgid(void);
long random(void);
void srandom(unsigned int seed);

/* Provided by libntfs-3g's own compat.c. */
int ffs(int i);
#endif
EOF

cat >"$COMPAT/pwd.h" <<'EOF'
#ifndef NTFS3G_COMPAT_PWD_H
#define NTFS3G_COMPAT_PWD_H
#include <ntfs-3g-compat/ntfs3g_prelude.h>
struct passwd {
	char *pw_name;
	char *pw_passwd;
	uid_t pw_uid;
	gid_t pw_gid;
	char *pw_gecos;
	char *pw_dir;
	char *pw_shell;
};
struct passwd *getpwuid(uid_t uid);
struct passwd *getpwnam(const char *name);
#endif
EOF

cat >"$COMPAT/grp.h" <<'EOF'
#ifndef NTFS3G_COMPAT_GRP_H
#define NTFS3G_COMPAT_GRP_H
#include <ntfs-3g-compat/ntfs3g_prelude.h>
struct group {
	char *gr_name;
	char *gr_passwd;
	gid_t gr_gid;
	char **gr_mem;
};
struct group *getgrgid(gid_t gid);
struct group *getgrnam(const char *name);
#endif
EOF

# No syslog on Windows: the syslog log handler becomes a no-op.
cat >"$COMPAT/syslog.h" <<'EOF'
#ifndef NTFS3G_COMPAT_SYSLOG_H
#define NTFS3G_COMPAT_SYSLOG_H
#include <stdarg.h>
#define LOG_PID 0x01
#define LOG_CONS 0x02
#define LOG_NDELAY 0x08
#define LOG_USER (1 << 3)
#define LOG_DAEMON (3 << 3)
#define LOG_EMERG 0
#define LOG_ALERT 1
#define LOG_CRIT 2
#define LOG_ERR 3
#define LOG_WARNING 4
#define LOG_NOTICE 5
#define LOG_INFO 6
#define LOG_DEBUG 7
static inline void openlog(const char *ident, int option, int facility)
{ (void)ident; (void)option; (void)facility; }
static inline void closelog(void) {}
static inline void vsyslog(int prio, const char *fmt, va_list ap)
{ (void)prio; (void)fmt; (void)ap; }
static inline void syslog(int prio, const char *fmt, ...)
{ (void)prio; (void)fmt; }
#endif
EOF

# Device numbers only matter for WSL special files; any consistent split does.
cat >"$COMPAT/sys/sysmacros.h" <<'EOF'
#ifndef NTFS3G_COMPAT_SYSMACROS_H
#define NTFS3G_COMPAT_SYSMACROS_H
#define major(dev) ((unsigned int)(((dev) >> 20) & 0xfff))
#define minor(dev) ((unsigned int)((dev) & 0xfffff))
#define makedev(ma, mi) ((dev_t)((((ma) & 0xfff) << 20) | ((mi) & 0xfffff)))
#endif
EOF

# ---------------------------------------------------------------------------
# Only libntfs-3g is built (no driver, no ntfsprogs), without its default
# device operations: the program brings its own device layer.
# ac_cv_func_daemon=yes keeps compat.c from building its fork()-based daemon(),
# which the library never calls and Windows cannot provide.
build_ntfs3g() {
  local t=$1 prefix=$2 b="$WORK/$1/ntfs-3g"
  mkdir -p "$b"
  step "ntfs-3g $t: configure" sh -c "cd '$b' && '$NTFS_SRC/configure' \
      --host=$t --prefix='$prefix' --exec-prefix='$prefix' \
      --enable-static --disable-shared \
      --disable-ntfs-3g --disable-ntfsprogs --disable-crypto --disable-plugins \
      --disable-device-default-io-ops --disable-mtab --disable-ldconfig \
      --without-uuid --without-hd \
      ac_cv_func_daemon=yes \
      CC='$t-gcc-posix' \
      CPPFLAGS='-I$COMPAT -include $COMPAT/ntfs3g_build.h -D_FILE_OFFSET_BITS=64 -D__timespec_defined' \
      CFLAGS='-O2 -g0'"
  # configure defines WINDOWS for mingw hosts, and compat.h then turns
  # __attribute__ into nothing: that silently drops __packed__ from the
  # on-disk structures in layout.h.  Nothing else in the library uses it.
  step "ntfs-3g $t: config.h" sed -i 's|^#define WINDOWS 1$|/* WINDOWS left undefined, see build-deps.sh */|' "$b/config.h"
  if grep -q '^#define WINDOWS' "$b/config.h"; then
    echo "build-deps: $t: could not undefine WINDOWS in config.h" >&2; exit 1
  fi
  step "ntfs-3g $t: make" make -C "$b/libntfs-3g" -j"$JOBS"
  step "ntfs-3g $t: install" make -C "$b/libntfs-3g" install
  step "ntfs-3g $t: install headers" make -C "$b/include/ntfs-3g" install
  mkdir -p "$prefix/include/ntfs-3g-compat"
  cp "$COMPAT/ntfs-3g-compat/ntfs3g_prelude.h" "$prefix/include/ntfs-3g-compat/"
}

build_ucl() {
  local t=$1 prefix=$2 b="$WORK/$1/ucl"
  mkdir -p "$b"
  step "ucl $t: configure" sh -c "cd '$b' && '$UCL_SRC/configure' \
      --host=$t --prefix='$prefix' --disable-asm --enable-static --disable-shared \
      CC='$t-gcc-posix' CFLAGS='-O2 -g0'"
  step "ucl $t: make" make -C "$b/src" -j"$JOBS"
  step "ucl $t: install" make -C "$b/src" install
  step "ucl $t: install headers" make -C "$b/include" install
}

for t in "${todo[@]}"; do
  start=$SECONDS
  prefix="$WORK/$t/prefix"
  build_ntfs3g "$t" "$prefix"
  build_ucl "$t" "$prefix"
  for f in lib/libntfs-3g.a lib/libucl.a include/ntfs-3g/volume.h include/ucl/ucl.h; do
    [ -f "$prefix/$f" ] || { echo "build-deps: $t: $f missing after install" >&2; exit 1; }
  done
  # Keep only what consumers use: static archives and headers.
  rm -rf "$prefix/lib/pkgconfig" "$prefix/share" "$prefix/bin"
  find "$prefix/lib" -name '*.la' -delete
  echo "$RECIPE" >"$prefix/.stamp"

  # Swap the finished prefix in: staged next to the cache so mv is a rename.
  stage="$DEPS_DIR/.$t.new.$$"
  rm -rf "$stage" "$DEPS_DIR/.$t.old.$$"
  cp -a "$prefix" "$stage"
  if [ -e "$DEPS_DIR/$t" ]; then mv "$DEPS_DIR/$t" "$DEPS_DIR/.$t.old.$$"; fi
  mv "$stage" "$DEPS_DIR/$t"
  rm -rf "$DEPS_DIR/.$t.old.$$"
  echo "build-deps: $t built in $((SECONDS - start))s -> $DEPS_DIR/$t"
done
