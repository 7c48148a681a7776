// The mounted image over a host drive letter: the NTFS library reads the
// physical drive that holds the volume (or the volume's snapshot) through
// the host-volume object.
#include "image/mount/MountedImage.h"

#include <new>

#include "image/host/HostVolume.h"
#include "image/ntfs/NtfsVolume.h"

int CMountedImage::OpenHostVolume(wchar_t letter, int writable, CHostVolume* volume) {
  Close();
  m_pHostVolume = volume ? volume : new (std::nothrow) CHostVolume();
  if (!m_pHostVolume || m_pHostVolume->Open(letter, writable != 0) != 0) {
    Close();
    return -1;
  }
  m_pIoBlock = new (std::nothrow) DiskIoBlock();
  if (!m_pIoBlock) {
    Close();
    return -1;
  }
  m_pHostVolume->FillIoBlock(m_pIoBlock);
  m_nWriteMode = writable ? 1 : 0;
  m_bReadOnly = !writable;
  // Partition numbers count from 1, the library's index from 0.
  m_pNtfs = MountNtfsOnDisk(m_pIoBlock, (int)m_pHostVolume->PartitionNumber() - 1,
                            writable ? 0x10000000 : 0x10000001);
  if (!m_pNtfs) {
    Close();
    return -1;
  }
  m_nPartition = GetMountedPartitionIndex(m_pNtfs);
  return 0;
}
