#include "FileBlock.h"

#include <windows.h>

namespace {

struct FileDisk {
  DiskIoBlock block;
  HANDLE file;
  FileBlockStats stats;
};

int Transfer(void* owner, unsigned long long offset, void* buffer, unsigned int count, bool write) {
  FileDisk* d = static_cast<FileDisk*>(owner);
  if (!d || count == 0) return 0;
  LARGE_INTEGER li;
  li.QuadPart = (LONGLONG)offset;
  if (!SetFilePointerEx(d->file, li, NULL, FILE_BEGIN)) return -(int)count;
  DWORD moved = 0;
  BOOL ok = write ? WriteFile(d->file, buffer, count, &moved, NULL)
                  : ReadFile(d->file, buffer, count, &moved, NULL);
  if (write)
    d->stats.writes++;
  else {
    d->stats.reads++;
    d->stats.bytesRead += moved;
  }
  return ok && moved ? (int)moved : -(int)count;
}

int ReadCb(void* owner, unsigned long long offset, void* buffer, unsigned int count) {
  return Transfer(owner, offset, buffer, count, false);
}

int WriteCb(void* owner, unsigned long long offset, const void* buffer, unsigned int count) {
  return Transfer(owner, offset, const_cast<void*>(buffer), count, true);
}

int SyncCb(void* owner) {
  return FlushFileBuffers(static_cast<FileDisk*>(owner)->file) ? 0 : -1;
}

}  // namespace

DiskIoBlock* OpenFileBlock(const std::wstring& path, bool writable) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | (writable ? GENERIC_WRITE : 0),
                         FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  FileDisk* d = new FileDisk();
  d->file = h;
  d->block.owner = d;
  d->block.second = INVALID_HANDLE_VALUE;
  d->block.read = ReadCb;
  d->block.write = WriteCb;
  d->block.sync = SyncCb;
  return &d->block;
}

void CloseFileBlock(DiskIoBlock* block) {
  if (!block) return;
  FileDisk* d = static_cast<FileDisk*>(block->owner);
  CloseHandle(d->file);
  delete d;
}

FileBlockStats GetFileBlockStats(DiskIoBlock* block) {
  return static_cast<FileDisk*>(block->owner)->stats;
}
