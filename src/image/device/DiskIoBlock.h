// The device record through which the NTFS library, the FAT module and the
// disk engines reach a disk: byte-granular reads and writes at 64-bit
// offsets from disk byte 0 (the first byte of disk sector 0).
#pragma once
// Kept free of <windows.h>: the NTFS glue includes it next to the
// libntfs-3g headers, which clash with the Win32 ones.

#ifdef __cplusplus
extern "C" {
#endif

// Bytes done; 0 or a negative number on failure. A write of 0 bytes does
// nothing and returns 0.
typedef int (*DiskIoReadFn)(void* owner, unsigned long long offset, void* buffer,
                            unsigned int count);
typedef int (*DiskIoWriteFn)(void* owner, unsigned long long offset, const void* buffer,
                             unsigned int count);
// Writes what the layers below hold back and has the disk keep it: 0, or
// -1 when that failed (what was written may not last).
typedef int (*DiskIoSyncFn)(void* owner);
// The rollback journal under the disk (see `journal` below): nonzero while
// a command is under way on the disk (something was written that no end
// of a command has kept or taken back yet); *ended: how many commands it
// ended so far.
typedef int (*DiskIoCommandFn)(void* journal, unsigned long long* ended);
// The bytes [offset, offset + count) of the disk need no old bytes kept
// for the command under way, or for the one the next write begins: what a
// volume writes there lies in clusters that were free when the command
// began, which the roll back of the volume's own records frees again.
typedef void (*DiskIoUnkeptFn)(void* journal, unsigned long long offset, unsigned long long count);

struct DiskIoBlock {
  // The disk object (_VROH_MOUNT_RW), or the drive handle of a host volume.
  void* owner;
  // A Win32 HANDLE: INVALID_HANDLE_VALUE for disk objects; for a host
  // volume the snapshot device, which then serves volume-relative reads.
  void* second;
  DiskIoReadFn read;
  DiskIoWriteFn write;
  DiskIoSyncFn sync;
  // The disk's size in bytes; 0 when not known (a host volume).
  unsigned long long bytes;
  // The rollback journal of the disk's files, with an owner of its own, so
  // that whoever wraps read and write passes it on untouched. Null
  // functions: nothing to tell (a disk whose writes keep no journal).
  void* journal;
  DiskIoCommandFn command;
  DiskIoUnkeptFn unkept;
};

#ifdef __cplusplus
}
#endif
