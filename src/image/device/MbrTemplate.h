// The one-partition MBR used for synthesised host-volume disks and for new
// images: boot code, zero disk signature, one active NTFS entry at LBA 63.
#pragma once
#include <cstdint>

const uint32_t VRO_MBR_ENTRY_OFFSET = 446;
const uint32_t VRO_MBR_PARTITION_START = 63;

// CHS for 255 heads and 63 sectors per track; cylinders above 1023 give
// 1023/254/63. Bytes: head, sector | cylinder bits 8-9, cylinder low byte.
void LbaToChs(uint8_t chs[3], uint64_t lba);
// Entry = 16-byte partition entry: end CHS of start + length - 1 and the
// sector count.
void SetMbrEntryLength(uint8_t* entry, uint32_t length);
// Copies the 512-byte template into sector.
void CopyMbrTemplate(uint8_t sector[512]);
