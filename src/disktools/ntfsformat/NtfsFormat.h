// The NTFS formatter: writes a fresh NTFS 3.1 file system into one partition
// of a disk reached only through a DiskIoBlock, after completing the disk's
// partition table (MBR alignment, or the primary and backup GPT). Results:
// 0 success, 1 failure (errno tells why where it can). The format state is
// process-wide: FormatNtfsVolume lets one format run at a time.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "image/device/DiskIoBlock.h"

// Options of the next format. WriteFormatPartitionTable resets them to the
// defaults below, so every format starts from the same options; a caller of
// the two steps may change them in between.
struct NtfsFormatOptions {
  const char* deviceName;     // not used: the device is always the block
  bool enableCompression;     // root directory gets the compressed attribute
  bool quickFormat;           // 1; 0 zeroes every cluster first
  bool force;                 // allows compression with clusters over 4,096 bytes
  int32_t heads;              // 255; negative: ask the device
  bool disableIndexing;       // root directory gets not-content-indexed
  bool noAction;              // skip the MFT writes
  int64_t partitionStart;     // hidden sectors; negative: ask the device
  int32_t sectorSize;         // 512; negative: ask the device
  int32_t sectorsPerTrack;    // 63; negative: ask the device
  bool useEpochTime;          // all times and the volume GUID zero
  int32_t mftZoneMultiplier;  // 1 = clusters/8, 2 = /4, 3 = 3/8, 4 = /2
  int64_t numberOfSectors;    // 0: the partition less its last sector
  int32_t clusterSize;        // 4,096; 0 picks one from the volume size
  bool withObjectId;          // $Volume and $ObjId carry the volume GUID
  const wchar_t* label;       // none: an empty volume name
  uint32_t partitionIndex;    // handed to the partition lookup
  DiskIoBlock* device;
};

NtfsFormatOptions& GetNtfsFormatOptions();

// The whole format: partition table, then file system. bootCode is none or
// an 8,192-byte $Boot image whose first sector is a complete NTFS boot
// sector; without it bootChoice picks the built-in code (nonzero: the
// non-bootable one). gptEntries is none or two 128-byte GPT entries.
int FormatNtfsVolume(DiskIoBlock* device, uint32_t partition, int bootChoice, uint8_t align,
                     const void* bootCode, const void* gptEntries);

// Completes the partition table and resets the options: 1, or 0 when a read
// or write of the disk failed.
int WriteFormatPartitionTable(DiskIoBlock* device, const void* gptEntries, uint32_t partition,
                              uint8_t align, const void* bootCode);

// Lays out and writes the file system with the current options: 0 or 1.
// closeFlag is accepted for callers that hand over a handle of their own;
// a DiskIoBlock has none, so it changes nothing.
int RunNtfsFormat(int closeFlag, int bootChoice, const void* bootCode);

// CRC-32 as GPT uses it (reflected 0xEDB88320, init and final XOR ~0).
uint32_t ComputeGptCrc32(const void* data, size_t length);
// CRC-64 of $UpCase:$Info (reflected 0x9A6C9329AC4BC9B5, XOR ~0 on entry
// and exit). No buffer: builds the table and returns crc unchanged.
uint64_t ComputeCrc64(size_t length, const void* buffer, uint64_t crc);

// The GPT type of a Basic data partition, as stored in an entry.
extern const uint8_t kBasicDataPartitionType[16];
