// Disk glue of the FAT module: the disk control block through which every
// sector of a FAT volume is read and written, and the FAT time stamp.
#pragma once
#include <windows.h>
#include <stdint.h>

// Same shapes as the read and write callbacks of DiskIoBlock
// (image/DiskIoBlock.h), so a device block's routines can be handed in as
// they are: bytes done, 0 or negative on failure.
typedef int (*FatReadRoutine)(void* context, unsigned long long offset, void* buffer,
                              unsigned int count);
typedef int (*FatWriteRoutine)(void* context, unsigned long long offset, const void* buffer,
                               unsigned int count);

enum {
  FAT_DISK_NOINIT = 0x01,   // status: not initialised
  FAT_DISK_PROTECT = 0x04,  // status: write-protected
};

// Largest single transfer in bytes; also what the "sector count" query reports.
const uint32_t FAT_DISK_TRANSFER_LIMIT = 0x40000;

struct FatDiskBlock {
  uint32_t status;
  // The size of the sectors the module counts in (the volume's, 512 until
  // a volume says otherwise); sector n starts at byte n * sectorSize +
  // bias, bias being where a volume of larger sectors begins past a whole
  // number of them (its partition table counts 512-byte sectors).
  uint16_t sectorSize;
  uint16_t bias;
  uint32_t sectorCount;  // the transfer limit
  HANDLE file;           // direct file access, INVALID_HANDLE_VALUE with routines
  void* context;
  FatReadRoutine read;
  FatWriteRoutine write;
  // The disk's size in bytes, 0 when not known: a partition table whose
  // entries would pass it, counted in some sector size, does not count in
  // that size.
  uint64_t diskBytes;
};

// Disk results.
enum { FAT_DISK_OK = 0, FAT_DISK_ERROR = 1, FAT_DISK_WRPRT = 2, FAT_DISK_PARERR = 4 };

// Allocates the block. With routines, context is handed to them; without
// (both null) context is a Win32 file handle the block takes over and closes.
// Selects the short-name code page from the host's ANSI code page.
int FatOpenDiskBlock(FatDiskBlock** holder, void* context, FatReadRoutine read,
                     FatWriteRoutine write);
void FatCloseDiskBlock(FatDiskBlock** holder);

int FatDiskRead(FatDiskBlock* block, uint64_t sector, void* buffer, uint32_t count);
int FatDiskWrite(FatDiskBlock* block, uint64_t sector, const void* buffer, uint32_t count);
// 0 flush, 1 sector count, 2 sector size, 3 erase-block size.
int FatDiskIoctl(FatDiskBlock* block, int command, void* out);

// Resets the block for a mount or format: 512-byte sectors, no bias, the
// transfer limit, status 0.
void FatResetDiskBlock(FatDiskBlock* block);

// Local time packed as FAT date (high 16 bits) and time (low 16 bits).
uint32_t FatGetTimestamp();

// exFAT keeps each time as local time with the offset from UTC it was
// written at: bit 7 says the offset is valid, bits 0-6 hold it in steps of
// 15 minutes (signed). UTC = local time - offset.
// A UTC time as local time of the host's zone as it is now, and that
// zone's offset byte (0, no valid offset, for an offset exFAT cannot hold).
bool FatUtcToLocal(const FILETIME* utc, FILETIME* local, uint8_t* utcOffset);
// A local time back to UTC by its offset byte; without a valid offset the
// host's zone stands for the one it was written in.
bool FatLocalToUtc(const FILETIME* local, uint8_t utcOffset, FILETIME* utc);
// The clock now for an exFAT entry: packed as FatGetTimestamp, the 10 ms
// past its even second (0-199) and the offset byte.
void FatGetExfatNow(uint32_t* stamp, uint8_t* tenMs, uint8_t* utcOffset);
