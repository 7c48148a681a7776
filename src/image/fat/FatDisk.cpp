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

static uint32_t PackTimestamp(const SYSTEMTIME& t) {
  return (uint32_t)(t.wYear - 1980) << 25 | (uint32_t)t.wMonth << 21 | (uint32_t)t.wDay << 16 |
         (uint32_t)t.wHour << 11 | (uint32_t)t.wMinute << 5 | (uint32_t)t.wSecond / 2;
}

uint32_t FatGetTimestamp() {
  SYSTEMTIME t;
  GetLocalTime(&t);
  return PackTimestamp(t);
}

namespace {

const int64_t kQuarterHour = 15LL * 60 * 10000000;  // in FILETIME units

int64_t Ticks(const FILETIME& f) {
  return (int64_t)((uint64_t)f.dwHighDateTime << 32 | f.dwLowDateTime);
}

// A FILETIME of ticks, false outside what a FILETIME holds.
bool FromTicks(int64_t t, FILETIME* f) {
  if (t < 0) return false;
  f->dwLowDateTime = (DWORD)t;
  f->dwHighDateTime = (DWORD)((uint64_t)t >> 32);
  return true;
}

}  // namespace

bool FatUtcToLocal(const FILETIME* utc, FILETIME* local, uint8_t* utcOffset) {
  FILETIME zoned;
  if (!FileTimeToLocalFileTime(utc, &zoned)) return false;
  // The zone's offset in whole steps (every zone in use has such an
  // offset); the local time is the UTC time moved by exactly that, so
  // that the two always give the UTC time back.
  const int64_t diff = Ticks(zoned) - Ticks(*utc);
  const int64_t steps = diff >= 0 ? (diff + kQuarterHour / 2) / kQuarterHour
                                  : -((kQuarterHour / 2 - diff) / kQuarterHour);
  if (steps < -64 || steps > 63 || !FromTicks(Ticks(*utc) + steps * kQuarterHour, local)) {
    *local = zoned;
    *utcOffset = 0;
    return true;
  }
  *utcOffset = (uint8_t)(0x80 | (steps & 0x7F));
  return true;
}

bool FatLocalToUtc(const FILETIME* local, uint8_t utcOffset, FILETIME* utc) {
  if (!(utcOffset & 0x80)) return LocalFileTimeToFileTime(local, utc) != 0;
  const int64_t steps = (int8_t)(uint8_t)(utcOffset << 1) >> 1;
  return FromTicks(Ticks(*local) - steps * kQuarterHour, utc);
}

void FatGetExfatNow(uint32_t* stamp, uint8_t* tenMs, uint8_t* utcOffset) {
  FILETIME now, local;
  SYSTEMTIME t;
  GetSystemTimeAsFileTime(&now);
  if (!FatUtcToLocal(&now, &local, utcOffset) || !FileTimeToSystemTime(&local, &t)) {
    *stamp = FatGetTimestamp();
    *tenMs = 0;
    *utcOffset = 0;
    return;
  }
  *stamp = PackTimestamp(t);
  *tenMs = (uint8_t)(t.wSecond % 2 * 100 + t.wMilliseconds / 10);
}
