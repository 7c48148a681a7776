// Partition tables of a mounted image: the GPT protective MBR, the grow of
// the NTFS partition with its file system, a file's cluster runs and the
// test for an EFI system partition.
#pragma once
#include <stdint.h>

#include <vector>

#include "image/ntfs/NtfsClusterRuns.h"

class CMountedImage;

// Makes a 512-byte sector a whole protective MBR, whatever it held: no boot
// code, one entry (type 0xEE) that covers the whole disk from LBA 1, and
// the signature without which no reader takes the disk for a GPT one.
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
