// Header sectors of the own image container: sector 0 (image header) and
// sector 1 (map header). All fields little-endian.
//
// Crash invariant: a command that writes to the file (this program's)
// leaves it as it was before the command or with all of the command, when
// it fails, or its process dies or loses power at any write: the bytes it
// overwrites reach the file's rollback journal first, and the next open
// rolls a cut-off command back (image/stack/journal/JournalFile.h). Below
// that, and for a file another writer leaves, the format keeps a weaker
// rule of its own (files bearing kCheckedMark): whatever point a writer
// dies at, or its file refuses a write at, the disk the file gives is the
// disk before the open with the writes made to it from the first up to
// some point applied (the last one possibly in part), every write before
// the last completed flush included. It holds because the file's writes
// are ordered:
//  - a write's data reach the file before the leaf bits that make them
//    held; bits wait in memory in one leaf block at most, and reach the
//    file before any later data that would show at once (data over
//    sectors held already), before bits of another block, and at flush;
//  - a new table or leaf block is in the file (empty) before the entry
//    that points at it, so every entry points inside the file;
//  - the header (next free sector, sectors used) is written last, at
//    flush and close: it may lag behind the map after a crash, never lead;
//    a writable open moves the next free sector past everything the map
//    points at and past the end of the file.
// So a torn map shows on open: every leaf sector carries a check value
// (kOffLeafCheck), and the blocks reachable from the root are never fewer
// than the header's sectors used count (a zeroed table sector loses them).
//
// Other writers (the installation's server writes a workstation's
// write-back file) know nothing of the check values: they keep the leaf's
// bytes 8..15 as read, or leave them zero in a block of their own. The mark
// therefore records the identity and generation of the header this program
// wrote with it; a header that shows others means another writer has
// written since, and so does a leaf sector that fails its check but holds a
// leaf of a generation newer than the header (a writer whose header has not
// reached the file yet) or lies at or past the header's next free sector.
// Such a file is read as one without the mark, and a writable open stamps it
// again. Files without the mark get structural checks instead: every block
// and held sector in the file (save what a writer that died before its
// header write left past the end), no entry into the header, the root or
// another block or chunk, and no fewer blocks than the header counts.
#pragma once
#include <cstdint>
#include <cstring>

#include "common/ByteOrder.h"

namespace vroimg {
// sector 0
const uint32_t kMagicValue = 78;
const char kSignature[] = "VROMDISK";
const int kOffMagic = 0, kOffSignature = 4, kOffParentId = 14, kOffOwnId = 22, kOffCapacity = 30,
          kOffUnusable = 38, kOffCreated = 42, kOffKind = 50, kOffCreated2 = 54,
          kOffGeneration = 70, kOffChecksum = 74, kOffName = 102, kOffPrevParentId = 232;
const int kChecksumBytes = 74;
// Room the format leaves in sector 0 (zero on creation, kept as read): a
// write-back file over an image of another kind (raw, VHD, plain sectors
// behind a header), which has no identity to link to, keeps there the
// state of that image it was made over, and, from the merge into it on,
// the state the merge leaves it in (image/stack/BaseState.h).
const int kOffBaseState = 240, kOffMergedState = 320, kBaseStateBytes = 72;
const int kNameBytes = 128;
const uint32_t kUnusableMark = 0xFFFFFFFFu;
// kinds
const uint32_t kKindOverlay = 1, kKindSparse = 6;
// sector 1
const char kMapMagic[8] = {'C', 'm', 'p', 's', 's', 'F', 'l', 0};
const int kOffRootTable = 20, kOffNextFree = 24, kOffSectorsUsed = 32, kOffMapCapacity = 44,
          kOffOrderedMark = 48;
// Set by writers that put a map block into the file only after the data it
// points at. Earlier versions mend a file without it at its first writable
// open; this one checks every file the same way (below) and only writes it.
const uint32_t kOrderedMark = 0x4452524Fu;  // 'O', 'R', 'R', 'D'
// Set by writers that keep the crash invariant above: every leaf block
// sector carries its check value and the sectors used never exceed the
// blocks the map reaches. Files without it (earlier versions, other
// writers) get the structural checks and take the mark at their first
// writable open.
const int kOffCheckedMark = 52;
const uint32_t kCheckedMark = 0x4B434843u;  // 'C', 'H', 'C', 'K'
// The own identity and generation of the image header this program last
// wrote (with the mark).
const int kOffMarkOwnId = 56, kOffMarkGeneration = 64;
// In the first leaf of each 512-byte sector of a leaf block (the leaf's
// otherwise unused bytes 8..15): a tag and a check value of the sector
// taken with these 8 bytes zero.
const int kOffLeafCheck = 8;
const uint32_t kLeafCheckTag = 0x464C4B43u;  // 'C', 'K', 'L', 'F'
const uint32_t kRootSector = 8, kFirstFree = 16, kBlockSectors = 8, kChunkSectors = 128;

// The image header an image takes when a file is merged into it: the
// merged file's (its identity, by which the file is known as merged, its
// generation, times and name), but the image keeps what places it in its
// chain: its kind (a full image stays one, an update file stays an overlay
// of its base), the identities of the image below it and its unusable mark.
inline void TakeMergedHeader(uint8_t* image, const uint8_t* merged) {
  uint8_t parent[8], unusable[4], kind[4];
  memcpy(parent, image + kOffParentId, 8);
  memcpy(unusable, image + kOffUnusable, 4);
  memcpy(kind, image + kOffKind, 4);
  memcpy(image, merged, kOffPrevParentId);
  memcpy(image + kOffParentId, parent, 8);
  memcpy(image + kOffUnusable, unusable, 4);
  memcpy(image + kOffKind, kind, 4);
}

inline bool EndsWithBootSignature(const uint8_t* sector) {
  return sector[510] == 0x55 && sector[511] == 0xAA;
}

// An NTFS boot sector: a volume that begins at this sector (its boot
// signature does not make it an MBR).
inline bool IsNtfsBootSector(const uint8_t* sector) {
  return memcmp(sector + 3, "NTFS    ", 8) == 0 && EndsWithBootSignature(sector);
}

// A volume without a partition table can carry the boot signature in its
// second sector too: FAT32's FSInfo sector and exFAT's extended boot
// sectors end with it, and NTFS boot code may. Such a pair is a volume, not
// a leading sector before an MBR. Takes the first two sectors.
inline bool IsVolumeBootPair(const uint8_t* head) {
  return memcmp(head + 512, "RRaA", 4) == 0 || memcmp(head + 3, "EXFAT   ", 8) == 0 ||
         IsNtfsBootSector(head);
}
}  // namespace vroimg

// MiB x 2048 rounded up to a multiple of 16,384 sectors, plus the header slot.
uint64_t ImageSectorsFromMegabytes(uint32_t megabytes);
