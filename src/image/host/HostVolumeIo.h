// Byte-granular I/O on a handle that only moves whole 512-byte sectors: the
// physical drive, volume or shadow-copy device under a host volume, opened
// without buffering. These are the DiskIoBlock callbacks of host volumes;
// the owner is the handle itself.
#pragma once
#include <windows.h>

// Reads count bytes at a byte offset. Partial first and last sectors go
// through an aligned bounce sector; whole sectors go straight into the
// caller's buffer when it is aligned, else through an aligned staging buffer.
// Returns count when every transfer succeeded, else 0 (also for count 0 and
// for counts above INT_MAX, which the int result cannot carry).
int ReadHandleBytes(void* owner, unsigned long long offset, void* buffer, unsigned int count);

// Writes count bytes at a byte offset; partial first and last sectors are
// read, merged and written back. Same results as ReadHandleBytes.
int WriteHandleBytes(void* owner, unsigned long long offset, const void* buffer,
                     unsigned int count);

// FlushFileBuffers on the handle.
int FlushHandle(void* owner);
