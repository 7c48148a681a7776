#include "image/device/DeviceSource.h"
#include <winioctl.h>

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

VroDeviceSource* VroSetDeviceSource(VroDeviceSource* source) {
  VroDeviceSource* old = g_Source;
  g_Source = source ? source : &g_HostSource;
  VroSetNameSource(g_Source);
  return old;
}

VroDeviceSource* VroGetDeviceSource() {
  return g_Source;
}
