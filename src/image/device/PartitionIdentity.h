// Which partition of a disk a volume's identity names, as Windows records
// it for a drive letter in SYSTEM\MountedDevices: the disk's MBR signature
// and the partition's starting byte (12 bytes), or "DMIO:ID:" and the GPT
// partition's unique GUID (24 bytes).
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "image/device/DiskIoBlock.h"

enum VolumeIdMatch {
  VOLUME_ID_FOUND = 1,         // *index: the partition's 0-based table entry
  VOLUME_ID_NOT_ON_DISK = 0,   // another disk's signature, or no entry of that start or GUID
  VOLUME_ID_UNREADABLE = -1,   // the disk's table cannot be read
  VOLUME_ID_OTHER_FORM = -2,   // no partition identity (a device path, a removable volume)
};

VolumeIdMatch FindPartitionOfVolumeId(DiskIoBlock* block, const uint8_t* id, size_t length,
                                      int* index);
