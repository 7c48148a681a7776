// The primary and backup GPT of a disk written as one: the header's
// locations and checksums follow from where the backup goes.
#pragma once
#include <stdint.h>

#include <vector>

#include "image/device/DiskIoBlock.h"

// Writes the primary header (the sector `header`, at its own LBA) and the
// backup array and header around a backup header at backupLba: the
// primary gets that alternate LBA, the last usable LBA just before the
// backup array, and the checksums of the array and of itself; the backup
// is the primary with the two LBAs exchanged and the array behind the last
// usable LBA. entries: the whole array (entry count x size bytes, padded
// to whole sectors). LBAs count sectors of sectorBytes, the disk's. False
// when a write fails.
bool WriteGptTables(DiskIoBlock* disk, uint8_t* header, const std::vector<uint8_t>& entries,
                    uint64_t backupLba, uint32_t sectorBytes = 512);

// Moves the backup GPT of a disk of diskSectors sectors to the disk's last
// sectors, where GPT requires it, and clears the backup header it leaves
// behind. False without a GPT, when a partition would reach into the
// backup array, or when a read or write fails.
bool MoveGptBackupToDiskEnd(DiskIoBlock* disk, uint64_t diskSectors);
