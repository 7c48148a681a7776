// The boot store on the EFI system partition of a GPT disk pointed at the
// disk a Windows volume now lies on: the boot manager's firmware variable
// and device, the loaders and resume object with the objects they name,
// and the memory tester.
#pragma once
#include <stdint.h>

class CFatVolume;

// The GPT identities the store is pointed at.
struct EfiBootTarget {
  uint8_t diskGuid[16];
  uint8_t dataPartitionGuid[16];
  uint8_t espGuid[16];
  uint64_t espFirstLba;
  uint64_t espSectors;
};

// The 88-byte device element of a GPT partition: the partition's unique
// GUID and the disk GUID.
enum { EFI_DEVICE_ELEMENT_BYTES = 88 };
void MakeGptDeviceElement(uint8_t* blob, const uint8_t* partition, const uint8_t* disk);

// Opens "\EFI\Microsoft\Boot\BCD" of the mounted FAT volume, rewrites its
// device elements and saves it. 1, or 0 when the store cannot be opened
// or saved.
int RetargetEfiBcdDevices(CFatVolume* volume, const EfiBootTarget& target);
