// The EFI system partition of a GPT disk made ready to boot the Windows on
// the disk: either built from scratch (formatted, boot files copied from a
// source image's Windows or from the host's, a new boot store written from
// the base store the program carries) or its existing store pointed at the
// disk the volume now lies on.
#pragma once
#include <stdint.h>

#include <vector>

#include "disktools/bootrepair/EfiBcdRetarget.h"

class CFatVolume;
class CMountedImage;

enum EfiBootMode {
  EFI_BOOT_BUILD = 0,     // format, copy boot files, write a new store
  EFI_BOOT_RETARGET = 1,  // point the existing store at the target
};

// Mounts the EFI system partition of the image's disk (writable as the
// image is), runs CreateEfiBootFiles (EFI_BOOT_BUILD) or
// RetargetEfiBcdDevices (EFI_BOOT_RETARGET) and releases the partition.
// 1 on success, 0 on failure or when the partition cannot be mounted.
// source: the image whose Windows gives the boot files, or null for the
// host's; version: the Windows version word (architecture in bits 16-31,
// major in 8-15, minor in 0-7).
int UpdateEfiBootConfiguration(CMountedImage* image, int mode, CMountedImage* source,
                               uint32_t version, const EfiBootTarget& target);

// Formats the mounted partition as FAT32 of the disk's sectors (clusters of
// 512 bytes, or of one sector where they are larger), copies the boot files
// and writes a new store for the target. 1, or 0 when the partition cannot
// hold such a volume (a line names it) or the new store cannot be written
// or opened.
int CreateEfiBootFiles(CFatVolume* volume, CMountedImage* source, uint32_t version,
                       const EfiBootTarget& target);

// The base store: a hive whose root key is "System" holding the objects a
// new store starts from. False when memory is short.
bool BuildBaseBcdStore(std::vector<uint8_t>& out);
