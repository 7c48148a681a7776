#include "image/device/DeviceSource.h"
#include <winioctl.h>

#include <algorithm>

namespace {
class HostDeviceSource : public VroDeviceSource {
 public:
  HANDLE OpenDevice(const wchar_t* path, int type, DWORD access, DWORD share, uint64_t* bytes,
                    int* diskNumber) override {
    HANDLE h = CreateFileW(path, access, share, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return h;
    DWORD got = 0;
    *diskNumber = -1;
    *bytes = 0;
    if (type == VRO_TYPE_PHYSICAL) {
      DISK_GEOMETRY_EX gx;
      DISK_GEOMETRY g;
      if (DeviceIoControl(h, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, &gx, sizeof(gx), &got,
                          nullptr)) {
        *bytes = (uint64_t)gx.DiskSize.QuadPart;
      } else if (DeviceIoControl(h, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &g, sizeof(g), &got,
                                 nullptr)) {
        *bytes = (uint64_t)g.Cylinders.QuadPart * g.TracksPerCylinder * g.SectorsPerTrack *
                 g.BytesPerSector;
      } else {
        CloseHandle(h);
        return INVALID_HANDLE_VALUE;
      }
      const wchar_t* digits = path + wcslen(L"\\\\.\\PhysicalDrive");
      if (wcslen(path) > wcslen(L"\\\\.\\PhysicalDrive"))
        *diskNumber = (int)wcstoul(digits, nullptr, 10);
    } else {
      GET_LENGTH_INFORMATION len;
      if (!DeviceIoControl(h, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &len, sizeof(len), &got,
                           nullptr)) {
        CloseHandle(h);
        return INVALID_HANDLE_VALUE;
      }
      *bytes = (uint64_t)len.Length.QuadPart;
      // The first extent names the disk the volume lies on.
      union {
        VOLUME_DISK_EXTENTS ext;
        uint8_t raw[sizeof(VOLUME_DISK_EXTENTS) + 32 * sizeof(DISK_EXTENT)];
      } u;
      if (DeviceIoControl(h, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, &u, sizeof(u), &got,
                          nullptr) &&
          u.ext.NumberOfDiskExtents > 0)
        *diskNumber = (int)u.ext.Extents[0].DiskNumber;
    }
    return h;
  }
};

HostDeviceSource g_HostSource;
VroDeviceSource* g_Source = &g_HostSource;
}  // namespace

bool SystemQueryHoles(HANDLE hFile, uint64_t start, uint64_t end,
                      std::vector<std::pair<uint64_t, uint64_t>>* holes) {
  holes->clear();
  FILE_ALLOCATED_RANGE_BUFFER got[64];
  // Each answer lists the allocated ranges from `at` on, as many as fit;
  // what lies between them, and after the last one of a full answer, is a
  // hole.
  for (uint64_t at = start; at < end;) {
    FILE_ALLOCATED_RANGE_BUFFER ask;
    ask.FileOffset.QuadPart = (LONGLONG)at;
    ask.Length.QuadPart = (LONGLONG)(end - at);
    DWORD bytes = 0;
    BOOL ok = DeviceIoControl(hFile, FSCTL_QUERY_ALLOCATED_RANGES, &ask, sizeof ask, got,
                              sizeof got, &bytes, nullptr);
    DWORD n = bytes / sizeof got[0];
    if (!ok && (GetLastError() != ERROR_MORE_DATA || n == 0)) return false;
    uint64_t was = at;
    for (DWORD i = 0; i < n; i++) {
      uint64_t from = (uint64_t)got[i].FileOffset.QuadPart;
      uint64_t to = from + (uint64_t)got[i].Length.QuadPart;
      if (to <= at) continue;
      if (from > at) holes->emplace_back(at, std::min(from, end));
      at = std::max(at, std::min(to, end));
      if (at >= end) break;
    }
    if (ok) {
      if (at < end) holes->emplace_back(at, end);
      break;
    }
    if (at == was) return false;
  }
  return true;
}

int SystemPunchHole(HANDLE hFile, uint64_t start, uint64_t end) {
  FILE_ZERO_DATA_INFORMATION zero;
  zero.FileOffset.QuadPart = (LONGLONG)start;
  zero.BeyondFinalZero.QuadPart = (LONGLONG)end;
  DWORD got = 0;
  return DeviceIoControl(hFile, FSCTL_SET_ZERO_DATA, &zero, sizeof zero, nullptr, 0, &got, nullptr)
             ? 0
             : -1;
}

VroDeviceSource* VroSetDeviceSource(VroDeviceSource* source) {
  VroDeviceSource* old = g_Source;
  g_Source = source ? source : &g_HostSource;
  VroSetNameSource(g_Source);
  return old;
}

VroDeviceSource* VroGetDeviceSource() {
  return g_Source;
}
