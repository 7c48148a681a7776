// CMountedImage: new images and quick formats. The NTFS formatter belongs
// to the disk tools above this layer; they install it here.
#include "image/mount/MountedImage.h"

#include <string.h>

#include <new>

#include "common/ByteOrder.h"
#include "image/device/PartitionTable.h"
#include "image/mount/FatVolume.h"
#include "image/ntfs/NtfsVolume.h"
#include "image/stack/MountRw.h"

namespace {

CMountedImage::NtfsFormatter g_NtfsFormatter = nullptr;

// Kinds of _VROH_RW_CLASS::Create.
const int kCreatePlain = 5;
const int kCreateSparse = 6;
const unsigned kDiskSector = 512;

// CFatVolume::Format's kind for a mounted FAT type.
unsigned FatFormatKind(int fileSystemType) {
  return fileSystemType == 3 ? 2 : fileSystemType == 4 ? 4 : 1;
}

// A volume without a partition table on a disk longer than the volume (as
// a conversion makes it): readers take the disk's last sector for its
// backup boot sector, so the new boot sector goes there too, over the old
// volume's copy. The sectors between stay as they are. False when a read
// or write fails.
bool CopyBootSectorToDiskEnd(DiskIoBlock* block) {
  uint8_t boot[4096];
  if (block->read(block->owner, 0, boot, kDiskSector) != (int)kDiskSector) return false;
  uint32_t bps = Ld16(boot + 0x0B);
  if (memcmp(boot + 3, "NTFS    ", 8) || bps < kDiskSector || bps > sizeof boot || (bps & (bps - 1)))
    return true;
  if (block->bytes < 2ull * bps) return true;
  uint64_t last = block->bytes / bps * bps - bps, backup = Ld64(boot + 0x28) * bps;
  if (last <= backup) return true;
  return block->read(block->owner, 0, boot, bps) == (int)bps &&
         block->write(block->owner, last, boot, bps) == (int)bps;
}

}  // namespace

void CMountedImage::SetNtfsFormatter(NtfsFormatter formatter) {
  g_NtfsFormatter = formatter;
}

int CMountedImage::CreateImage(const wchar_t* path, uint32_t megabytes, int plain, int bootChoice,
                               uint8_t align, const void* firstSector, const void* bootCode,
                               const void* gptEntries) {
  Close();
  if (!path || !*path || !g_NtfsFormatter) return 0;
  m_pDisk = new (std::nothrow) _VROH_MOUNT_RW();
  if (!m_pDisk) return 0;
  if (_VROH_RW_CLASS::Create(path, megabytes, plain ? kCreatePlain : kCreateSparse) < 0 ||
      !m_pDisk->Base().Open(path, VRO_MODE_WRITE)) {
    Close();
    return 0;
  }
  BuildIoBlock();
  m_nWriteMode = 1;
  m_bReadOnly = false;
  // A failed format fails the creation: an image of that size that
  // existed already would otherwise mount its old volume. The volume goes
  // into the MBR's first entry, or the GPT's data partition.
  const int data = gptEntries ? kFirstDataPartition : 0;
  if ((firstSector &&
       WriteDiskObjectBytes(m_pDisk, 0, firstSector, kDiskSector) != (int)kDiskSector) ||
      g_NtfsFormatter(m_pIoBlock, (uint32_t)data, bootChoice, align, bootCode, gptEntries) != 0) {
    Close();
    return 0;
  }
  m_pNtfs = MountNtfsOnDisk(m_pIoBlock, data, 0);
  if (!m_pNtfs) {
    Close();
    return 0;
  }
  m_nPartition = GetMountedPartitionIndex(m_pNtfs);
  return 1;
}

int CMountedImage::FormatEmptyPartition(int option) {
  DiskPartitions parts;
  const DiskPartition* p =
      ReadDiskPartitions(m_pIoBlock, &parts) ? parts.At(m_nPartition) : nullptr;
  if (!p) return 0;
  const uint8_t t = p->mbrType;
  const bool fat32 = p->role == PARTITION_ESP || t == 0x0B || t == 0x0C;
  if (fat32 || t == 0x01 || t == 0x04 || t == 0x06 || t == 0x0E) {
    // The FAT module chooses the partition (it holds no volume) and
    // writes one of the disk's sectors into it.
    CFatVolume* volume = new (std::nothrow) CFatVolume();
    if (!volume) return 0;
    volume->MountShared(m_pDisk, 1, m_nPartition);
    const uint32_t unit =
        fat32 ? (volume->DiskSectorSize() > 512 ? volume->DiskSectorSize() : 512) : 0;
    if (volume->Format(fat32 ? 2 : 1, unit) != 1) {
      ReleaseFat(volume, false);
      return 0;
    }
    m_pFat = volume;
    return 1;
  }
  if (!g_NtfsFormatter) return 0;
  int formatted = g_NtfsFormatter(m_pIoBlock, (uint32_t)m_nPartition, option, 0, nullptr, nullptr);
  m_pNtfs = MountNtfsOnDisk(m_pIoBlock, m_nPartition, MountFlags());
  return formatted == 0 && m_pNtfs ? 1 : 0;
}

int CMountedImage::FormatVolume(int option) {
  if (m_bReadOnly || !m_pIoBlock) return 0;
  if (m_pFat) return m_pFat->Format(FatFormatKind(m_pFat->FileSystemType()), 0) == 1 ? 1 : 0;
  if (!m_pNtfs) return m_pDisk && !m_bLent ? FormatEmptyPartition(option) : 0;
  if (!g_NtfsFormatter) return 0;
  // Hives live on the volume; the library lets go of it before the
  // formatter writes, so nothing of the old volume is written back over
  // the new one.
  UnloadHives();
  UnmountNtfsVolume(m_pNtfs);
  m_pNtfs = nullptr;
  // The partition the volume was opened on (the one the mount found for
  // the number asked), and no other: its entry stays where it is, at any
  // alignment, and so does the disk's boot code.
  int opened = m_nPartition;
  int formatted = g_NtfsFormatter(m_pIoBlock, (uint32_t)opened, option, 0, nullptr, nullptr);
  if (formatted == 0 && !CopyBootSectorToDiskEnd(m_pIoBlock)) formatted = 1;
  m_pNtfs = MountNtfsOnDisk(m_pIoBlock, opened, MountFlags());
  if (m_pNtfs) m_nPartition = GetMountedPartitionIndex(m_pNtfs);
  return formatted == 0 && m_pNtfs ? 1 : 0;
}
