// A drive-letter volume of the host opened for the NTFS library: read-only
// opens read a shadow-copy snapshot of the volume where one can be taken,
// else (and for writable opens) the volume is locked and dismounted. The
// NTFS library reaches the data through the physical drive that holds the
// volume, with the partition found by its number.
#pragma once
#include <windows.h>

#include "image/device/DiskIoBlock.h"
#include "image/host/ShadowCopy.h"

// The platform calls of a host-volume open, replaceable by tests.
struct HostVolumeApi {
  HANDLE(WINAPI* CreateFileW)
  (LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
   DWORD flags, HANDLE hTemplate);
  BOOL(WINAPI* DeviceIoControl)
  (HANDLE h, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned,
   LPOVERLAPPED ov);
  BOOL(WINAPI* FlushFileBuffers)(HANDLE h);
  BOOL(WINAPI* CloseHandle)(HANDLE h);
};

// The system's own functions.
const HostVolumeApi& SystemHostVolumeApi();

class CHostVolume {
 public:
  // api null: the system's functions. The table must outlive the object.
  explicit CHostVolume(const HostVolumeApi* api = nullptr);
  ~CHostVolume();
  CHostVolume(const CHostVolume&) = delete;
  CHostVolume& operator=(const CHostVolume&) = delete;

  // Opens the volume "%c:" (closing what is open first): 0 with the drive
  // handle open and either a snapshot device or the volume locked and
  // dismounted; -1 on any failure, with everything closed again.
  int Open(wchar_t letter, bool writable);
  // Closes the drive, unlocks and closes the volume, closes the snapshot
  // device and releases the shadow copy. May be called at any time.
  void Close();

  // The device block of the opened volume: owner the drive handle, second
  // handle the snapshot device (or INVALID_HANDLE_VALUE), callbacks
  // ReadHandleBytes, WriteHandleBytes and FlushHandle.
  void FillIoBlock(DiskIoBlock* block) const;

  bool IsOpen() const { return m_hDrive != INVALID_HANDLE_VALUE; }
  HANDLE DriveHandle() const { return m_hDrive; }
  HANDLE LockedVolumeHandle() const { return m_hLockedVolume; }
  HANDLE SnapshotHandle() const { return m_hSnapshot; }
  DWORD DiskNumber() const { return m_DiskNumber; }
  // 1-based; the NTFS mount takes PartitionNumber() - 1 as its index.
  DWORD PartitionNumber() const { return m_PartitionNumber; }

  // The shadow-copy client used by read-only opens (null: the built-in
  // one). It must outlive the object.
  void SetShadowCopyClient(IShadowCopyClient* client);

 private:
  HANDLE OpenVolume(const wchar_t* path, DWORD access);
  bool QueryLocation(HANDLE hVolume);
  void CloseAndInvalidate(HANDLE& h);

  const HostVolumeApi* m_pApi;
  CShadowCopy m_ShadowCopy;
  IShadowCopyClient* m_pClient;
  bool m_bClientUsed = false;  // loaded since the last release
  HANDLE m_hDrive = INVALID_HANDLE_VALUE;
  HANDLE m_hLockedVolume = INVALID_HANDLE_VALUE;
  HANDLE m_hSnapshot = INVALID_HANDLE_VALUE;
  DWORD m_DiskNumber = 0;
  DWORD m_PartitionNumber = 0;
};
