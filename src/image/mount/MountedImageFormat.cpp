// CMountedImage: new images and quick formats. The NTFS formatter belongs
// to the disk tools above this layer; they install it here.
#include "image/mount/MountedImage.h"

#include <new>

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
  // existed already would otherwise mount its old volume.
  if ((firstSector &&
       WriteDiskObjectBytes(m_pDisk, 0, firstSector, kDiskSector) != (int)kDiskSector) ||
      g_NtfsFormatter(m_pIoBlock, 0, bootChoice, align, bootCode, gptEntries) != 0) {
    Close();
    return 0;
  }
  m_pNtfs = MountNtfsOnDisk(m_pIoBlock, 0, 0);
  if (!m_pNtfs) {
    Close();
    return 0;
  }
  m_nPartition = GetMountedPartitionIndex(m_pNtfs);
  return 1;
}

int CMountedImage::FormatVolume(int option) {
  if (m_bReadOnly || !m_pIoBlock) return 0;
  if (m_pFat) return m_pFat->Format(FatFormatKind(m_pFat->FileSystemType()), 0) == 1 ? 1 : 0;
  if (!m_pNtfs || !g_NtfsFormatter) return 0;
  // Hives live on the volume; the library lets go of it before the
  // formatter writes, so nothing of the old volume is written back over
  // the new one.
  UnloadHives();
  UnmountNtfsVolume(m_pNtfs);
  m_pNtfs = nullptr;
  // The partition the volume was opened on (the one the mount found for
  // the number asked), and no other.
  int opened = m_nPartition;
  int formatted = g_NtfsFormatter(m_pIoBlock, (uint32_t)opened, option, 1, nullptr, nullptr);
  m_pNtfs = MountNtfsOnDisk(m_pIoBlock, opened, MountFlags());
  if (m_pNtfs) m_nPartition = GetMountedPartitionIndex(m_pNtfs);
  return formatted == 0 && m_pNtfs ? 1 : 0;
}
