// Partition tables of a mounted image: the GPT protective MBR, the grow of
// the NTFS partition with its file system, a file's cluster runs and the
// test for an EFI system partition.
#pragma once
#include <stdint.h>

#include <vector>

#include "image/ntfs/NtfsClusterRuns.h"

class CMountedImage;

// Fills bytes 0-461 of a 512-byte sector with a protective MBR whose first
// entry (type 0xEE) covers the whole disk from LBA 1; bytes 462-511 stay.
void BuildProtectiveMbr(uint8_t* sector);

// The size rule of the size commands (the command line, the export and the
// window's size edit): a size of megabytes stands for (megabytes + 7) MiB
// rounded down to whole 8 MiB, less 8 MiB, and grows only a volume it
// exceeds by more than 4,608 bytes.
uint64_t RoundedPartitionBytes(uint64_t megabytes);
bool SizeRuleTakes(uint64_t megabytes, uint64_t volumeBytes);

// Grows the image's NTFS partition (MBR: own sparse images only; GPT: the
// last partition) and its file system to megabytes MiB: 1, or 0. A grow it
// refuses for a cause the disk shows has a line naming it, and where the
// disk has room for the partition to grow, the most it can take (a size
// the size rule takes).
int ResizeImagePartition(CMountedImage* image, uint64_t megabytes);

// Resizes the mounted NTFS volume to a partition of newBytes bytes: 1, or 0.
int ResizeNtfsFileSystem(CMountedImage* image, uint64_t newBytes);

// 1 when the disk is GPT and one of its entries is an EFI system partition.
int HasEfiSystemPartition(CMountedImage* image);

// The cluster runs of a file's non-resident attributes (see
// CollectNtfsFileRuns); empty without a mounted NTFS volume.
void CollectFileClusterRuns(CMountedImage* image, const wchar_t* path,
                            std::vector<ClusterRun>* runs);
