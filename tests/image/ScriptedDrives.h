// Host drives for tests: Wine has no raw volumes, so a scripted platform
// (HostVolumeApi) serves disk files as the physical drives behind drive
// letters, and the NTFS library reads and writes them as it would real
// drives. Letter L is "\\.\L:" (any case) on drive number L - 'W' (X is
// "\\.\PhysicalDrive1"); every volume opens one empty file, and its
// partition number is 1 unless set.
#pragma once
#include <windows.h>
#include <winioctl.h>

#include <map>
#include <set>
#include <string>

#include "image/host/HostVolume.h"

namespace sd {

struct Script {
  std::map<wchar_t, std::wstring> drives;  // letter -> disk file
  std::map<wchar_t, DWORD> partitions;     // letter -> 1-based partition number
  std::wstring volumeFile;                 // what every "\\.\L:" opens
  bool failDrives = false;                 // the physical drives do not open
  std::map<HANDLE, wchar_t> volumes;       // open volume handles
  std::set<HANDLE> open;                   // every open handle
  std::set<std::string> calls;             // "lock", "dismount", "unlock"
  int opens = 0;                           // CreateFile calls
};

inline Script*& Current() {
  static Script* script = nullptr;
  return script;
}

inline DWORD DriveNumber(wchar_t letter) {
  return DWORD(towupper(letter) - L'W');
}

inline HANDLE WINAPI ScriptCreateFile(LPCWSTR name, DWORD access, DWORD share,
                                      LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD, HANDLE) {
  Script& s = *Current();
  ++s.opens;
  for (auto& drive : s.drives) {
    std::wstring physical = L"\\\\.\\PhysicalDrive" + std::to_wstring(DriveNumber(drive.first));
    std::wstring volume = std::wstring(L"\\\\.\\") + drive.first + L":";
    const std::wstring* file = nullptr;
    if (name == physical && !s.failDrives) file = &drive.second;
    if (_wcsicmp(name, volume.c_str()) == 0) file = &s.volumeFile;
    if (!file) continue;
    HANDLE h = CreateFileW(file->c_str(), access, share, nullptr, disposition, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return h;
    s.open.insert(h);
    if (file == &s.volumeFile) s.volumes[h] = drive.first;
    return h;
  }
  SetLastError(ERROR_FILE_NOT_FOUND);
  return INVALID_HANDLE_VALUE;
}

inline BOOL WINAPI ScriptIoctl(HANDLE h, DWORD code, LPVOID, DWORD, LPVOID out, DWORD,
                               LPDWORD returned, LPOVERLAPPED) {
  Script& s = *Current();
  switch (code) {
    case IOCTL_STORAGE_GET_DEVICE_NUMBER: {
      STORAGE_DEVICE_NUMBER* n = (STORAGE_DEVICE_NUMBER*)out;
      wchar_t letter = s.volumes[h];
      n->DeviceType = FILE_DEVICE_DISK;
      n->DeviceNumber = DriveNumber(letter);
      n->PartitionNumber = s.partitions.count(letter) ? s.partitions[letter] : 1;
      *returned = sizeof *n;
      return TRUE;
    }
    case FSCTL_LOCK_VOLUME:
      s.calls.insert("lock");
      return TRUE;
    case FSCTL_DISMOUNT_VOLUME:
      s.calls.insert("dismount");
      return TRUE;
    case FSCTL_UNLOCK_VOLUME:
      s.calls.insert("unlock");
      return TRUE;
  }
  return FALSE;
}

inline BOOL WINAPI ScriptClose(HANDLE h) {
  Current()->open.erase(h);
  Current()->volumes.erase(h);
  return CloseHandle(h);
}

inline const HostVolumeApi& Api() {
  static const HostVolumeApi api = {ScriptCreateFile, ScriptIoctl, FlushFileBuffers, ScriptClose};
  return api;
}

// A shadow-copy service that is not there.
struct NoShadowCopy : IShadowCopyClient {
  bool Load() override { return false; }
  bool Snapshot(wchar_t) override { return false; }
  HANDLE OpenSnapshotDevice() override { return INVALID_HANDLE_VALUE; }
  void Release() override {}
};

// A host volume on the current script, without shadow copies.
inline CHostVolume* NewVolume(wchar_t = 0) {
  static NoShadowCopy noVss;
  CHostVolume* v = new CHostVolume(&Api());
  v->SetShadowCopyClient(&noVss);
  return v;
}

}  // namespace sd
