// The partition grow behind the size commands: the MBR entry of an own
// sparse image, or the last GPT entry with both tables, then the NTFS file
// system inside. Disk access goes through the mounted image's device block.
#include "disktools/partition/PartitionResize.h"

#include <string.h>

#include <string>
#include <vector>

#include "common/ConsoleOutput.h"
#include "disktools/clone/GptLayout.h"
#include "disktools/partition/GptTables.h"
#include "disktools/ntfsformat/NtfsFormat.h"
#include "image/device/DiskSectorSize.h"
#include "image/device/DiskWriteJournal.h"
#include "image/device/HostWriteFailure.h"
#include "image/device/MbrTemplate.h"
#include "image/formats/sparse/ObjImg.h"
#include "image/mount/ImageCapacity.h"
#include "image/mount/HostRoom.h"
#include "image/mount/MountedImage.h"
#include "image/ntfs/NtfsFormatSupport.h"
#include "image/ntfs/NtfsResize.h"
#include "image/stack/MountRw.h"
#include "image/stack/OverlayNotice.h"

namespace {

const uint32_t kSector = 512;
const uint8_t kTypeNtfs = 0x07, kTypeProtective = 0xEE;
const uint32_t kGptEntryBytes = 128;

uint32_t Get32(const uint8_t* p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return v;
}
uint64_t Get64(const uint8_t* p) {
  uint64_t v;
  memcpy(&v, p, 8);
  return v;
}
void Put32(uint8_t* p, uint32_t v) {
  memcpy(p, &v, 4);
}
void Put64(uint8_t* p, uint64_t v) {
  memcpy(p, &v, 8);
}

bool ReadDisk(DiskIoBlock* block, uint64_t offset, void* buffer, uint32_t count) {
  return block->read(block->owner, offset, buffer, count) == (int)count;
}

bool ReadBlock(void* block, uint64_t offset, void* buffer, uint32_t count) {
  return ReadDisk(static_cast<DiskIoBlock*>(block), offset, buffer, count);
}

bool WriteDisk(DiskIoBlock* block, uint64_t offset, const void* buffer, uint32_t count) {
  return block->write(block->owner, offset, buffer, count) == (int)count;
}

// The line of a grow refused for a cause the disk shows: "IMAGE: WHY: not
// grown". Every front end's grow comes here.
void RefuseGrow(CMountedImage* image, const std::wstring& why) {
  WriteCommandLine((image->ImagePath().empty() ? std::wstring(L"The disk") : image->ImagePath()) +
                   L": " + why + L": not grown\r\n");
}

// The disk's present size in sectors: the largest size one of its layers
// declares (an update file the image grew in declares more than its base).
uint64_t DiskSectors(CMountedImage* image) {
  uint64_t capacity = 0;
  for (_VROH_RW_CLASS& layer : image->DiskObject()->Layers()->m_Layers)
    if (layer.IsOpen() && layer.m_nCapacity > capacity) capacity = layer.m_nCapacity;
  return capacity ? capacity - 1 : 0;
}

std::wstring MiB(uint64_t sectors) {
  return std::to_wstring((unsigned long long)(sectors / 2048)) + L" MiB";
}

// What a refusal offers: "NAME can take at most K MiB", K the most the
// disk has room for when the size rule takes it; else, the rule growing in
// steps of 8 MiB past the volume, that there is no such size.
std::wstring MostItCanTake(CMountedImage* image, const std::wstring& name, uint64_t most,
                           uint64_t length) {
  uint64_t volume = 0;
  if (most && image->GetVolumeSpace(&volume, nullptr) && SizeRuleTakes(most, volume))
    return name + L" can take at most " + std::to_wstring((unsigned long long)most) + L" MiB";
  if (most * 2048 <= length) return name + L" has no room to grow";
  return name + L" has no room to grow by a size the size commands take (they go in steps of "
                L"8 MiB past its volume's " +
         std::to_wstring((unsigned long long)((volume + 0xFFFFF) >> 20)) + L" MiB)";
}

bool IsOwnFormat(CMountedImage* image) {
  _VROH_MOUNT_RW* disk = image->DiskObject();
  return disk && disk->BaseType() == VRO_TYPE_SPARSE;
}

// Sets the capacity of every own-format layer of the image; the writable
// ones write their header. False when the base is not of the own format or
// no layer could take the new capacity.
bool SetImageCapacity(CMountedImage* image, uint64_t capacity) {
  if (!IsOwnFormat(image)) return false;
  _VROH_MOUNT_RW* disk = image->DiskObject();
  // Writes that go to update files open the next one now, so that the
  // new capacity has a writable header to go to.
  _VROH_DISK_COMBO* layers = disk->Layers();
  if (!layers->Fix().IsOpen() && !layers->Update().IsOpen() && disk->BasePath()[0])
    disk->CreateNextUpdate();
  bool written = false;
  for (int i = 0; i < _VROH_DISK_COMBO::LAYER_COUNT; i++) {
    _VROH_RW_CLASS& layer = layers->m_Layers[i];
    if (!IsOwnFormatLayer(layer)) continue;
    if (!SetLayerCapacity(layer, capacity)) return false;
    if (layer.m_nMode != VRO_MODE_READ) written = true;
  }
  return written;
}

// The other MBR entry (an extended one holds the logical partitions) that
// lies in sectors [start, end) of the disk, or -1 when they are free. The
// line names it, the image, the disk's size and the most the partition can
// take: the size whose disk, rounded as the own format rounds it, ends
// before the first entry behind the partition's start.
int MbrEntryInTheWay(CMountedImage* image, const uint8_t* mbr, uint64_t start, uint64_t end,
                     uint64_t megabytes) {
  int index = image->PartitionIndex();
  int inWay = -1;
  uint64_t room = ~0ull;  // the first sector of another entry from start on
  for (int i = 0; i < 4; i++) {
    const uint8_t* e = mbr + VRO_MBR_ENTRY_OFFSET + 16 * i;
    uint64_t first = Get32(e + 8), count = Get32(e + 12);
    if (i == index || !e[4] || !count || first + count <= start) continue;
    room = first < start ? 0 : (first < room ? first : room);
    if (first < end && inWay < 0) inWay = i;
  }
  if (inWay < 0) return -1;
  const uint8_t* e = mbr + VRO_MBR_ENTRY_OFFSET + 16 * inWay;
  uint64_t first = Get32(e + 8), count = Get32(e + 12);
  bool extended = e[4] == 0x05 || e[4] == 0x0F || e[4] == 0x85;
  uint64_t most = room / 16384 * 8;  // ImageSectorsFromMegabytes(most) - 1 <= room
  uint64_t length = Get32(mbr + VRO_MBR_ENTRY_OFFSET + 16 * index + 12);
  // The sectors the partition would have with the disk of `most` MiB.
  uint64_t reach = most ? ImageSectorsFromMegabytes((uint32_t)most) - 1 - start : 0;
  wchar_t line[400];
  _snwprintf(line, 400,
             L": partition %d cannot grow to %I64u MiB: %s %d (sectors %I64u-%I64u) lies in the "
             L"sectors it would take (the disk is %ls; ",
             index, megabytes, extended ? L"the extended partition" : L"partition", inWay, first,
             first + count - 1, MiB(DiskSectors(image)).c_str());
  line[399] = 0;
  std::wstring text = image->ImagePath() + line;
  text += MostItCanTake(image, L"partition " + std::to_wstring(index),
                        reach > length ? most : 0, length);
  WriteCommandLine(text + L"): nothing was written\r\n");
  return inWay;
}

// The grows write the partition table and then the file system; a step
// that fails leaves the rest to the caller's journal.
int GrowMbrPartition(CMountedImage* image, uint8_t* mbr, uint64_t megabytes) {
  DiskIoBlock* block = image->IoBlock();
  int index = image->PartitionIndex();
  uint8_t* entry = mbr + VRO_MBR_ENTRY_OFFSET + 16 * index;
  uint64_t capacity = ImageSectorsFromMegabytes((uint32_t)megabytes);
  uint64_t start = Get32(entry + 8), length = Get32(entry + 12);
  uint64_t disk = DiskSectors(image);
  // The partition runs from its own start to the last sector of a disk of
  // the size asked (the capacity counts the header slot too), over no
  // other partition.
  if (capacity - 1 <= start || capacity - 1 - start > 0xFFFFFFFFull) return 0;
  // Only the own format declares its size; a raw image or a VHD keeps its
  // sectors, and an MBR partition cannot run past them.
  if (!IsOwnFormat(image)) {
    RefuseGrow(image,
               L"an MBR partition grows only in an image of the own sparse format (this "
               L"image's size is fixed at " +
                   MiB(disk) + L": a plain image or a VHD)");
    return 0;
  }
  uint64_t end = capacity - 1;
  if (end - start <= length) {
    RefuseGrow(image, L"partition " + std::to_wstring(index) + L" takes " + MiB(length) +
                          L" already, no less than a grow to " +
                          std::to_wstring((unsigned long long)megabytes) + L" MiB would give it");
    return 0;
  }
  if (MbrEntryInTheWay(image, mbr, start, end, megabytes) >= 0) return 0;
  // A disk larger than the size asked keeps its size (and whatever lies
  // behind the grown partition): the image's size only grows.
  if (capacity - 1 > disk && !SetImageCapacity(image, capacity)) return 0;
  SetMbrEntryLength(entry, (uint32_t)(end - start));
  _VROH_OBJ_IMG* base = image->DiskObject()->Layers()->Base().Container();
  Put32(mbr + 440, (uint32_t)Ld64(base->Header() + vroimg::kOffOwnId));
  if (!WriteDisk(block, 0, mbr, kSector) || !image->RemountNtfs()) return 0;
  return ResizeNtfsFileSystem(image, uint64_t(Get32(entry + 12)) * kSector);
}

// Every LBA of the table counts the disk's sectors of `ss` bytes.
int GrowGptPartition(CMountedImage* image, const uint8_t* mbr, uint64_t megabytes, uint32_t ss) {
  DiskIoBlock* block = image->IoBlock();
  uint8_t header[kSector];
  uint64_t headerLba = Get32(mbr + VRO_MBR_ENTRY_OFFSET + 8);
  uint32_t index = (uint32_t)image->PartitionIndex();
  const std::wstring name = L"partition " + std::to_wstring(index);
  if (!ReadDisk(block, headerLba * ss, header, kSector) || memcmp(header, "EFI PART", 8)) {
    RefuseGrow(image, L"its protective MBR points to no GPT header at sector " +
                          std::to_wstring((unsigned long long)headerLba));
    return 0;
  }
  uint32_t headerSize = Get32(header + 12);
  uint64_t arrayLba = Get64(header + 72);
  uint32_t count = Get32(header + 80), entrySize = Get32(header + 84);
  if (entrySize < kGptEntryBytes || index >= count || headerSize < 92 || headerSize > kSector ||
      uint64_t(count) * entrySize > (64u << 20)) {
    RefuseGrow(image, L"its GPT header does not describe a table that holds " + name);
    return 0;
  }
  uint32_t arrayBytes = count * entrySize;
  std::vector<uint8_t> entries((arrayBytes + ss - 1) / ss * ss);
  if (!ReadDisk(block, arrayLba * ss, entries.data(), (uint32_t)entries.size())) {
    RefuseGrow(image, L"its GPT entries (from sector " +
                          std::to_wstring((unsigned long long)arrayLba) + L") cannot be read");
    return 0;
  }
  uint8_t* own = &entries[size_t(index) * entrySize];
  uint64_t first = Get64(own + 32), last = Get64(own + 40);
  for (uint32_t i = 0; i < count; i++) {
    const uint8_t* e = &entries[size_t(i) * entrySize];
    if (i != index && Get64(e + 40) > first) {
      RefuseGrow(image, L"partition " + std::to_wstring(i) + L" is in the way (it lies " +
                            L"behind " + name + L", which can grow only as the disk's last)");
      return 0;
    }
  }
  // Sizes in 512-byte sectors for the lines.
  const uint64_t per = ss / kSector;
  uint64_t length = megabytes * (1ull << 20) / ss;
  if (last < first || length <= last - first + 1) {
    RefuseGrow(image, name + L" takes " + MiB(last < first ? 0 : (last - first + 1) * per) +
                          L" already, no less than a grow to " +
                          std::to_wstring((unsigned long long)megabytes) + L" MiB would give it");
    return 0;
  }
  // The backup array and header take the disk's last sectors; the
  // partition ends before them.
  uint64_t disk = DiskSectors(image) / per, tail = 1 + entries.size() / ss;
  uint64_t lastUsable = disk > tail + first ? disk - tail - 1 : 0;
  uint64_t newLast = first + length - 1;
  if (newLast > lastUsable) {
    // An own-format image declares its size: it grows, in its own steps,
    // and the partition takes the disk up to the backup table. Any other
    // disk ends where it ends.
    if (!IsOwnFormat(image)) {
      uint64_t most = lastUsable >= first ? (lastUsable - first + 1) * per / 2048 : 0;
      RefuseGrow(image,
                 name + L" cannot grow to " + std::to_wstring((unsigned long long)megabytes) +
                     L" MiB: the disk's size is fixed (a plain image or a VHD) at " +
                     MiB(disk * per) + L" (" + std::to_wstring((unsigned long long)disk) +
                     L" sectors" + (per > 1 ? L" of " + std::to_wstring(ss) + L" bytes" : L"") +
                     L", the backup GPT in the last " + std::to_wstring((unsigned long long)tail) +
                     L"), so " + MostItCanTake(image, name, most, (last - first + 1) * per));
      return 0;
    }
    // The own format holds disks of 512-byte sectors only.
    if (per > 1) {
      RefuseGrow(image, L"the disk's sectors are " + std::to_wstring(ss) +
                            L" bytes: an own-format image grows only a disk of 512-byte sectors");
      return 0;
    }
    uint64_t sectors = newLast + kGptTailSectors;
    uint64_t capacity = ImageSectorsFromMegabytes((uint32_t)((sectors + 2047) / 2048));
    if (!SetImageCapacity(image, capacity)) return 0;
    disk = capacity - 1;
    newLast = disk - kGptTailSectors;
  }
  Put64(own + 40, newLast);
  if (!WriteDisk(block, arrayLba * ss, entries.data(), (uint32_t)entries.size()) ||
      !WriteGptTables(block, header, entries, disk - 1, ss))
    return 0;
  if (!image->RemountNtfs()) return 0;
  return ResizeNtfsFileSystem(image, (newLast - first + 1) * ss);
}

}  // namespace

uint64_t RoundedPartitionBytes(uint64_t megabytes) {
  const uint64_t eight = 8ULL << 20;
  return ((megabytes + 7) << 20) / eight * eight - eight;
}

bool SizeRuleTakes(uint64_t megabytes, uint64_t volumeBytes) {
  return RoundedPartitionBytes(megabytes) > volumeBytes + 4608;
}

void BuildProtectiveMbr(uint8_t* sector) {
  memset(sector, 0, 510);
  sector[510] = 0x55;
  sector[511] = 0xAA;
  uint8_t* e = sector + VRO_MBR_ENTRY_OFFSET;
  static const uint8_t kEntry[16] = {
      0x00, 0x00, 0x02, 0x00, kTypeProtective, 0xFF, 0xFF, 0xFF, 0x01, 0x00, 0x00, 0x00,
      0xFF, 0xFF, 0xFF, 0xFF};
  memcpy(e, kEntry, sizeof kEntry);
}

int ResizeNtfsFileSystem(CMountedImage* image, uint64_t newBytes) {
  if (!image || !image->NtfsVolume()) return 0;
  int result =
      ResizeNtfsVolume(image->NtfsVolume(), image->IoBlock(), image->PartitionIndex(), newBytes);
  // The library's figures of the volume are those of before: mount anew.
  if (result && !image->RemountNtfs()) return 0;
  return result;
}

// The new host room a grow may take: $Bitmap written whole at its new size,
// the tables, boot sectors and the container's maps at the new end, all of
// $LogFile, which the journal reset writes (into an update file, or its old
// bytes into the command's rollback journal), and the old bytes of what the
// grow overwrites ($Bitmap at most). A host without it refuses the grow
// before anything is written.
bool HostHasRoomToGrow(CMountedImage* image, uint64_t megabytes) {
  if (image->ImagePath().empty()) return true;
  uint64_t need = 2 * (megabytes * (1ull << 20) / 4096 / 8) + (4ull << 20);
  uint64_t logFile = 0;
  image->GetFileInfo(L"\\$LogFile", nullptr, nullptr, nullptr, nullptr, &logFile);
  if (HostHasRoom(image, need + logFile)) return true;
  // Refused before anything is written: the command names the host file
  // the grow writes (a write-back or update file before the image) and the
  // system's error, as a write that failed would.
  const DWORD error = GetLastError();
  const std::wstring written = HostWriteFile(image);
  NoteHostWriteFailure(written.empty() ? image->ImagePath() : written, error);
  return false;
}

int ResizeImagePartition(CMountedImage* image, uint64_t megabytes) {
  if (!image || !image->IoBlock() || !image->DiskObject()) return 0;
  // A volume that takes no writes offers no size: the line names why.
  if (int why = image->WriteRefusal()) {
    VroOverlayNotice(image->ImagePath().c_str(), why);
    return 0;
  }
  if (!image->NtfsVolume()) {
    RefuseGrow(image, L"the volume is not NTFS (only an NTFS volume grows)");
    return 0;
  }
  uint8_t mbr[kSector];
  if (!ReadDisk(image->IoBlock(), 0, mbr, kSector)) return 0;
  int index = image->PartitionIndex();
  bool onMbr = index >= 0 && index < 4 && mbr[VRO_MBR_ENTRY_OFFSET + 16 * index + 4] == kTypeNtfs;
  if (!onMbr && mbr[VRO_MBR_ENTRY_OFFSET + 4] != kTypeProtective) {
    // The volume fills the disk from its first sector: no table holds a
    // partition to make longer.
    RefuseGrow(image, !memcmp(mbr + 3, "NTFS    ", 8)
                          ? std::wstring(L"the disk has no partition table (its volume begins at "
                                         L"sector 0), so there is no partition to grow")
                          : L"partition " + std::to_wstring(index) +
                                L" of the disk is not an NTFS partition of its MBR");
    return 0;
  }
  // The table counts the disk's sectors. The own format, where alone an
  // MBR partition grows, holds disks of 512-byte sectors only.
  unsigned long long at = 0, bytes = 0;
  int used = 0;
  unsigned ss = kSector;
  if (LocateNtfsPartition(image->IoBlock(), index, &at, &bytes, &used, &ss) < 0) ss = kSector;
  if (onMbr && ss != kSector) {
    RefuseGrow(image, L"the disk's sectors are " + std::to_wstring(ss) +
                          L" bytes: an MBR partition grows only in an own-format image, whose "
                          L"disk has 512-byte sectors");
    return 0;
  }
  if (!HostHasRoomToGrow(image, megabytes)) return 0;
  // The grow is one transaction: every byte it writes is kept, and a step
  // that fails (a full host disk, a write error) puts the disk and its
  // declared capacity back as they were before the volume is mounted
  // again. A process that dies on the way leaves the files to the rollback
  // journal of the command that grows.
  CImageCapacity capacity(image);
  CDiskWriteJournal journal(image->IoBlock());
  int grown =
      onMbr ? GrowMbrPartition(image, mbr, megabytes) : GrowGptPartition(image, mbr, megabytes, ss);
  if (grown && !journal.WriteFailed() && image->DiskObject()->Flush() >= 0) return 1;
  image->RemountNtfs([&] {
    if (journal.RollBack()) capacity.Restore(image);
  });
  return 0;
}

int HasEfiSystemPartition(CMountedImage* image) {
  static const uint8_t kEsp[16] = {0x28, 0x73, 0x2A, 0xC1, 0x1F, 0xF8, 0xD2, 0x11,
                                   0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B};
  DiskIoBlock* block = image ? image->IoBlock() : nullptr;
  uint8_t mbr[kSector], header[kSector];
  if (!block || !ReadDisk(block, 0, mbr, kSector) ||
      mbr[VRO_MBR_ENTRY_OFFSET + 4] != kTypeProtective)
    return 0;
  const uint64_t ss =
      GptSectorUnit(ReadBlock, block, Get32(mbr + VRO_MBR_ENTRY_OFFSET + 8)) * kSector;
  if (!ss ||
      !ReadDisk(block, uint64_t(Get32(mbr + VRO_MBR_ENTRY_OFFSET + 8)) * ss, header, kSector))
    return 0;
  uint32_t count = Get32(header + 80);
  if (count == 0 || count > 4096) return 0;
  std::vector<uint8_t> entries(size_t(count) * kGptEntryBytes);
  if (!ReadDisk(block, Get64(header + 72) * ss, entries.data(), (uint32_t)entries.size())) return 0;
  for (uint32_t i = 0; i < count; i++)
    if (!memcmp(&entries[size_t(i) * kGptEntryBytes], kEsp, 16)) return 1;
  return 0;
}

void CollectFileClusterRuns(CMountedImage* image, const wchar_t* path,
                            std::vector<ClusterRun>* runs) {
  runs->clear();
  if (image && image->NtfsVolume()) CollectNtfsFileRuns(image->NtfsVolume(), path, runs);
}
