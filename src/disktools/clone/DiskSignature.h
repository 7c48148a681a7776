// The MBR identity of the disk under a mounted NTFS volume, as Windows
// records it for the volume (boot store device elements, MountedDevices).
#pragma once
#include <stdint.h>

#include "image/ntfs/NtfsCloneIo.h"

// The 32-bit disk signature at byte 440 of sector 0 (0 when it cannot be
// read); *offset (optional) gets the byte offset of the partition the
// volume was mounted from, 0 when unknown.
uint32_t ReadDiskSignatureAndOffset(ntfs_volume* vol, uint64_t* offset);
