#include "image/fat/FatDisk.h"
#include "image/fat/FatCodePage.h"

int FatOpenDiskBlock(FatDiskBlock** holder, void* context, FatReadRoutine read,
                     FatWriteRoutine write) {
  if (!holder) return 1;
  FatDiskBlock* b = (FatDiskBlock*)VirtualAlloc(nullptr, sizeof(FatDiskBlock),
                                                MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  if (!b) return 1;
  b->status = FAT_DISK_NOINIT;
  b->sectorSize = 512;
  b->bias = 0;
  b->sectorCount = FAT_DISK_TRANSFER_LIMIT;
  if (read || write) {
    b->file = INVALID_HANDLE_VALUE;
    b->context = context;
    b->read = read;
    b->write = write;
  } else {
    b->file = context ? (HANDLE)context : INVALID_HANDLE_VALUE;
    b->context = nullptr;
    b->read = nullptr;
    b->write = nullptr;
  }
  FatSelectCodePage(GetACP());
  *holder = b;
  return 0;
}

void FatCloseDiskBlock(FatDiskBlock** holder) {
  if (!holder || !*holder) return;
  FatDiskBlock* b = *holder;
  if (b->file != INVALID_HANDLE_VALUE && b->file != nullptr) CloseHandle(b->file);
  VirtualFree(b, 0, MEM_RELEASE);
  *holder = nullptr;
}

void FatResetDiskBlock(FatDiskBlock* block) {
  block->sectorSize = 512;
  block->bias = 0;
  block->sectorCount = FAT_DISK_TRANSFER_LIMIT;
  block->status = 0;
}

// Checks a request and works out its byte offset and length.
static int Prepare(FatDiskBlock* b, uint64_t sector, uint32_t count, uint64_t* offset,
                   uint32_t* bytes) {
  if (!b || (b->status & FAT_DISK_NOINIT)) return FAT_DISK_ERROR;
  uint64_t len = (uint64_t)count * b->sectorSize;
  if (count == 0 || len > b->sectorCount) return FAT_DISK_PARERR;
  *offset = sector * b->sectorSize + b->bias;
  *bytes = (uint32_t)len;
  return FAT_DISK_OK;
}

static bool SeekHandle(HANDLE h, uint64_t offset) {
  LARGE_INTEGER li;
  li.QuadPart = (LONGLONG)offset;
  li.LowPart = SetFilePointer(h, li.LowPart, &li.HighPart, FILE_BEGIN);
  return !(li.LowPart == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR);
}

int FatDiskRead(FatDiskBlock* b, uint64_t sector, void* buffer, uint32_t count) {
  uint64_t off;
  uint32_t len;
  int r = Prepare(b, sector, count, &off, &len);
  if (r) return r;
  if (b->read)
    return b->read(b->context, off, buffer, len) == (int)len ? FAT_DISK_OK : FAT_DISK_ERROR;
  if (b->file == INVALID_HANDLE_VALUE) return FAT_DISK_ERROR;
  DWORD done = 0;
  if (!SeekHandle(b->file, off) || !ReadFile(b->file, buffer, len, &done, nullptr) || done != len)
    return FAT_DISK_ERROR;
  return FAT_DISK_OK;
}

int FatDiskWrite(FatDiskBlock* b, uint64_t sector, const void* buffer, uint32_t count) {
  if (b && !(b->status & FAT_DISK_NOINIT) && (b->status & FAT_DISK_PROTECT)) return FAT_DISK_WRPRT;
  uint64_t off;
  uint32_t len;
  int r = Prepare(b, sector, count, &off, &len);
  if (r) return r;
  if (b->write)
    return b->write(b->context, off, buffer, len) == (int)len ? FAT_DISK_OK : FAT_DISK_ERROR;
  if (b->file == INVALID_HANDLE_VALUE) return FAT_DISK_ERROR;
  DWORD done = 0;
  if (!SeekHandle(b->file, off) || !WriteFile(b->file, buffer, len, &done, nullptr) || done != len)
    return FAT_DISK_ERROR;
  return FAT_DISK_OK;
}

int FatDiskIoctl(FatDiskBlock* b, int command, void* out) {
  if (!b || (b->status & FAT_DISK_NOINIT)) return FAT_DISK_ERROR;
  switch (command) {
    case 0:
      return FAT_DISK_OK;
    case 1:
      *(uint32_t*)out = b->sectorCount;
      return FAT_DISK_OK;
    case 2:
      *(uint16_t*)out = b->sectorSize;
      return FAT_DISK_OK;
    case 3:
      *(uint32_t*)out = 256;
      return FAT_DISK_OK;
  }
  return FAT_DISK_PARERR;
}

uint32_t FatGetTimestamp() {
  SYSTEMTIME t;
  GetLocalTime(&t);
  return (uint32_t)(t.wYear - 1980) << 25 | (uint32_t)t.wMonth << 21 | (uint32_t)t.wDay << 16 |
         (uint32_t)t.wHour << 11 | (uint32_t)t.wMinute << 5 | (uint32_t)t.wSecond / 2;
}
