#include "image/host/HostVolume.h"
#include "image/host/HostVolumeIo.h"

#include <winioctl.h>
#include <cwchar>

namespace {

const DWORD kShareRw = FILE_SHARE_READ | FILE_SHARE_WRITE;

// Room for the extents of any volume that can still be one partition; more
// extents than this come back as a failed query.
const DWORD kMaxExtents = 16;

}  // namespace

const HostVolumeApi& SystemHostVolumeApi() {
  static const HostVolumeApi api = {
      ::CreateFileW,
      ::DeviceIoControl,
      ::FlushFileBuffers,
      ::CloseHandle,
  };
  return api;
}

CHostVolume::CHostVolume(const HostVolumeApi* api)
    : m_pApi(api ? api : &SystemHostVolumeApi()), m_pClient(&m_ShadowCopy) {}

CHostVolume::~CHostVolume() {
  Close();
}

void CHostVolume::SetShadowCopyClient(IShadowCopyClient* client) {
  m_pClient = client ? client : &m_ShadowCopy;
}

void CHostVolume::CloseAndInvalidate(HANDLE& h) {
  if (h != INVALID_HANDLE_VALUE) {
    m_pApi->CloseHandle(h);
    h = INVALID_HANDLE_VALUE;
  }
}

HANDLE CHostVolume::OpenVolume(const wchar_t* path, DWORD access) {
  return m_pApi->CreateFileW(path, access, kShareRw, nullptr, OPEN_EXISTING, FILE_FLAG_NO_BUFFERING,
                             nullptr);
}

bool CHostVolume::QueryLocation(HANDLE hVolume) {
  DWORD got = 0;
  STORAGE_DEVICE_NUMBER number = {};
  if (m_pApi->DeviceIoControl(hVolume, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number,
                              sizeof number, &got, nullptr)) {
    m_DiskNumber = number.DeviceNumber;
    m_PartitionNumber = number.PartitionNumber;
  } else {
    union {
      VOLUME_DISK_EXTENTS v;
      BYTE raw[sizeof(VOLUME_DISK_EXTENTS) + (kMaxExtents - 1) * sizeof(DISK_EXTENT)];
    } extents = {};
    if (!m_pApi->DeviceIoControl(hVolume, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0,
                                 &extents, sizeof extents, &got, nullptr))
      return false;
    // A volume spread over several extents is no single partition: the
    // drive seen through one partition would give wrong data.
    if (extents.v.NumberOfDiskExtents != 1) return false;
    PARTITION_INFORMATION partition = {};
    if (!m_pApi->DeviceIoControl(hVolume, IOCTL_DISK_GET_PARTITION_INFO, nullptr, 0, &partition,
                                 sizeof partition, &got, nullptr))
      return false;
    m_DiskNumber = extents.v.Extents[0].DiskNumber;
    m_PartitionNumber = partition.PartitionNumber;
  }
  // 0 is the whole disk; all ones is a device without partitions.
  return m_PartitionNumber != 0 && m_PartitionNumber != (DWORD)-1;
}

int CHostVolume::Open(wchar_t letter, bool writable) {
  Close();
  wchar_t volume[8];
  _snwprintf(volume, 8, L"\\\\.\\%c:", letter);
  volume[7] = 0;

  // Cached writes reach the disk before it is read past the file system.
  // A volume that refuses the flush is still read: there is nothing of
  // ours in its cache.
  HANDLE h = OpenVolume(volume, GENERIC_READ | GENERIC_WRITE);
  if (h == INVALID_HANDLE_VALUE) return -1;
  m_pApi->FlushFileBuffers(h);
  m_pApi->CloseHandle(h);

  // No snapshot is not an error: the open goes on locked and dismounted.
  if (!writable) {
    m_bClientUsed = true;
    if (m_pClient->Load() && m_pClient->Snapshot(letter))
      m_hSnapshot = m_pClient->OpenSnapshotDevice();
    if (m_hSnapshot == INVALID_HANDLE_VALUE) {
      m_pClient->Release();
      m_bClientUsed = false;
    }
  }

  h = OpenVolume(volume, GENERIC_READ);
  if (h == INVALID_HANDLE_VALUE) {
    Close();
    return -1;
  }
  if (!QueryLocation(h)) {
    m_pApi->CloseHandle(h);
    Close();
    return -1;
  }

  if (m_hSnapshot == INVALID_HANDLE_VALUE) {
    DWORD got = 0;
    if (!m_pApi->DeviceIoControl(h, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &got, nullptr)) {
      m_pApi->CloseHandle(h);
      Close();
      return -1;
    }
    m_hLockedVolume = h;
    if (!m_pApi->DeviceIoControl(h, FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0, &got, nullptr)) {
      Close();
      return -1;
    }
  } else {
    m_pApi->CloseHandle(h);
  }

  wchar_t drive[40];
  _snwprintf(drive, 40, L"\\\\.\\PhysicalDrive%u", (unsigned)m_DiskNumber);
  drive[39] = 0;
  m_hDrive = m_pApi->CreateFileW(drive, writable ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ,
                                 kShareRw, nullptr, OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
  if (m_hDrive == INVALID_HANDLE_VALUE) {
    Close();
    return -1;
  }
  return 0;
}

void CHostVolume::Close() {
  CloseAndInvalidate(m_hDrive);
  if (m_hLockedVolume != INVALID_HANDLE_VALUE) {
    DWORD got = 0;
    m_pApi->DeviceIoControl(m_hLockedVolume, FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0, &got,
                            nullptr);
    CloseAndInvalidate(m_hLockedVolume);
  }
  CloseAndInvalidate(m_hSnapshot);
  if (m_bClientUsed) {
    m_pClient->Release();
    m_bClientUsed = false;
  }
  m_DiskNumber = 0;
  m_PartitionNumber = 0;
}

void CHostVolume::FillIoBlock(DiskIoBlock* block) const {
  block->owner = m_hDrive;
  block->second = m_hSnapshot;
  block->read = ReadHandleBytes;
  block->write = WriteHandleBytes;
  block->sync = FlushHandle;
}
