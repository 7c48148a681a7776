// New empty images made by the main window's create command: an NTFS volume
// on an MBR disk, or on a GPT disk behind an EFI system partition that gets
// the host's boot files and a new boot store.
#pragma once
#include <stdint.h>

// The first data sector and size of the EFI system partition of a new GPT
// image, and the MiB it adds to the chosen size.
enum : uint32_t {
  NEW_IMAGE_ESP_FIRST_LBA = 2048,
  NEW_IMAGE_ESP_SECTORS = 202752,
  NEW_IMAGE_DATA_FIRST_LBA = 204800,
  NEW_IMAGE_GPT_EXTRA_MIB = 99,
};

// The table handed to image creation for a GPT disk: the protective MBR
// with the disk GUID in bytes 462-477 (the GPT writer takes it from there)
// and two partition entries.
struct NewImageGptLayout {
  uint8_t firstSector[512];
  uint8_t entries[2][128];
  uint8_t diskGuid[16];
};

// Fills the layout for a chosen size of sizeMiB MiB with new GUIDs: entry 1
// the EFI system partition (2048..204799), entry 2 the basic data
// partition from 204800 to where the backup GPT that follows it ends in
// the last sector of the disk the image of sizeMiB + 99 MiB holds.
void PrepareNewImageGpt(uint32_t sizeMiB, NewImageGptLayout* layout);

// Replaces any file at path with a new image of sizeMiB MiB (own sparse
// format, or the own header followed by plain sectors when plain is set)
// holding an NTFS volume; with gpt, the disk is GPT and 99 MiB larger for
// its EFI system partition, which is formatted and given boot files. 1 on
// success; 0 with the last error set and no file left behind.
int CreateEmptyImageFile(const wchar_t* path, uint32_t sizeMiB, int gpt, int plain);
