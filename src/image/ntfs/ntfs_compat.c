/*
 * POSIX functions libntfs-3g calls that the Windows C runtime lacks.
 *
 * scripts/build-deps.sh builds libntfs-3g for mingw-w64 with stub pwd.h and
 * grp.h headers; the functions they declare, plus a few from unistd.h and
 * stdlib.h, are defined here.  There are no POSIX users or groups on Windows:
 * every file belongs to uid 0 / gid 0, and name look-ups find nothing, which
 * libntfs-3g treats as "no user mapping" and falls back to its defaults.
 *
 * Not needed here: major()/minor()/makedev() are macros in the build's
 * <sys/sysmacros.h>, and the library is built without default device
 * operations, so it references no default table; the program always passes
 * its own operations to ntfs_device_alloc().
 */
#include <errno.h>
#include <stddef.h>
#include <stdint.h>

#include <ntfs-3g-compat/ntfs3g_prelude.h>

struct passwd;
struct group;

uid_t getuid(void);
gid_t getgid(void);
struct passwd* getpwuid(uid_t uid);
struct passwd* getpwnam(const char* name);
struct group* getgrgid(gid_t gid);
struct group* getgrnam(const char* name);
long random(void);
void srandom(unsigned int seed);

uid_t getuid(void) {
  return 0;
}

gid_t getgid(void) {
  return 0;
}

struct passwd* getpwuid(uid_t uid) {
  (void)uid;
  errno = ENOENT;
  return NULL;
}

struct passwd* getpwnam(const char* name) {
  (void)name;
  errno = ENOENT;
  return NULL;
}

struct group* getgrgid(gid_t gid) {
  (void)gid;
  errno = ENOENT;
  return NULL;
}

struct group* getgrnam(const char* name) {
  (void)name;
  errno = ENOENT;
  return NULL;
}

/*
 * The library only uses random() to fill in fresh security ids and GUIDs, so
 * a small generator suffices (xorshift32; never seeded with 0).  It returns
 * 31 bits like the POSIX one; rand() from the CRT gives only 15.
 * Not thread-safe, like the original.
 */
static uint32_t random_state = 2463534242u;

void srandom(unsigned int seed) {
  random_state = seed ? (uint32_t)seed : 2463534242u;
}

long random(void) {
  uint32_t x = random_state;

  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  random_state = x;
  return (long)(x >> 1);
}
