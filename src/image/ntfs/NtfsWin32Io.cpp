// Win32 file and device calls of the NTFS device layer.
#include "image/ntfs/NtfsWin32Io.h"

#include <windows.h>
#include <winioctl.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "common/ConsoleOutput.h"

namespace {

const DWORD kMaxRun = 0x40000000;

int FailWin32() {
  errno = NtfsLastErrno();
  return -1;
}

std::wstring Widen(const char* s) {
  int n = MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, s, -1, NULL, 0);
  if (n <= 0) return std::wstring();
  std::wstring w(n, L'\0');
  MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, s, -1, &w[0], n);
  w.resize(wcslen(w.c_str()));
  return w;
}

bool QueryLength(HANDLE h, unsigned long long* length) {
  DWORD got = 0;
  GET_LENGTH_INFORMATION len;
  if (DeviceIoControl(h, IOCTL_DISK_GET_LENGTH_INFO, NULL, 0, &len, sizeof len, &got, NULL)) {
    *length = (unsigned long long)len.Length.QuadPart;
    return true;
  }
  NTFS_VOLUME_DATA_BUFFER vd;
  if (DeviceIoControl(h, FSCTL_GET_NTFS_VOLUME_DATA, NULL, 0, &vd, sizeof vd, &got, NULL)) {
    *length = (unsigned long long)vd.NumberSectors.QuadPart * vd.BytesPerSector;
    return true;
  }
  LARGE_INTEGER size;
  if (GetFileSizeEx(h, &size)) {
    *length = (unsigned long long)size.QuadPart;
    return true;
  }
  return false;
}

// Partition by its number (from 1) in the drive's layout.
bool FindDrivePartition(HANDLE h, unsigned int number, NtfsWin32Open* out) {
  DWORD size = sizeof(DRIVE_LAYOUT_INFORMATION_EX) + 127 * sizeof(PARTITION_INFORMATION_EX);
  DRIVE_LAYOUT_INFORMATION_EX* layout = static_cast<DRIVE_LAYOUT_INFORMATION_EX*>(malloc(size));
  if (!layout) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  DWORD got = 0;
  bool found = false;
  if (DeviceIoControl(h, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, NULL, 0, layout, size, &got, NULL)) {
    for (DWORD i = 0; i < layout->PartitionCount; i++) {
      const PARTITION_INFORMATION_EX& p = layout->PartitionEntry[i];
      if (p.PartitionNumber == number) {
        out->start = (unsigned long long)p.StartingOffset.QuadPart;
        out->length = (unsigned long long)p.PartitionLength.QuadPart;
        found = true;
        break;
      }
    }
    if (!found) SetLastError(ERROR_FILE_NOT_FOUND);
  }
  free(layout);
  return found;
}

}  // namespace

int ntfs_disk_dev_errno(unsigned long win32Error) {
  switch (win32Error) {
    case ERROR_INVALID_FUNCTION:
      return 56;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
      return ENOENT;
    case ERROR_TOO_MANY_OPEN_FILES:
      return EMFILE;
    case ERROR_ACCESS_DENIED:
      return EACCES;
    case ERROR_INVALID_HANDLE:
      return EBADF;
    case ERROR_NOT_ENOUGH_MEMORY:
      return ENOMEM;
    case ERROR_OUTOFMEMORY:
      return ENOSPC;
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_UNIT:
      return ENODEV;
    case ERROR_WRITE_PROTECT:
      return EROFS;
    case ERROR_NOT_READY:
    case ERROR_SHARING_VIOLATION:
      return EBUSY;
    case ERROR_BAD_COMMAND:
      return EINVAL;
    case ERROR_SEEK:
    case ERROR_NEGATIVE_SEEK:
      return ESPIPE;
    // The library's own "not supported" value in this build.
    case ERROR_NOT_SUPPORTED:
      return EOPNOTSUPP;
    case ERROR_BAD_NETPATH:
      return 136;
    default:
      return EILSEQ;
  }
}

namespace {
thread_local int t_deviceRefusal = 0;
}  // namespace

void NtfsNoteDeviceRefusal(int err) {
  t_deviceRefusal = err;
}

unsigned long NtfsErrnoToWin32(int err) {
  if (t_deviceRefusal && err) err = t_deviceRefusal;
  switch (err) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case EMFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case EACCES:
    case EPERM:
    case EISDIR:
      return ERROR_ACCESS_DENIED;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case ENOSPC:
      return ERROR_DISK_FULL;
    case ENODEV:
      return ERROR_BAD_UNIT;
    case EROFS:
      return ERROR_WRITE_PROTECT;
    case EBUSY:
      return ERROR_BUSY;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case ESPIPE:
      return ERROR_SEEK;
    case EEXIST:
      return ERROR_ALREADY_EXISTS;
    case ENOTEMPTY:
      return ERROR_DIR_NOT_EMPTY;
    case ENOTDIR:
      return ERROR_DIRECTORY;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case EXDEV:
      return ERROR_NOT_SAME_DEVICE;
    case EFBIG:
      return ERROR_FILE_TOO_LARGE;
    case EOPNOTSUPP:
    case ENOTSUP:
      return ERROR_NOT_SUPPORTED;
    case EIO:
      return ERROR_IO_DEVICE;
    case 56:
      return ERROR_INVALID_FUNCTION;
    case 136:
      return ERROR_BAD_NETPATH;
    case NTFS_EINDEXBITMAP:
      return ERROR_DISK_CORRUPT;
    case NTFS_EBITMAPFREE:
    case NTFS_EDAMAGED:
      return ERROR_FILE_CORRUPT;
    default:
      return ERROR_GEN_FAILURE;
  }
}

int NtfsLastErrno() {
  DWORD e = GetLastError();
  return e ? ntfs_disk_dev_errno(e) : EIO;
}

void NtfsSetLastWin32Error(unsigned long err) {
  SetLastError(err);
}

void NtfsClearLastWin32Error() {
  SetLastError(0);
}

void NtfsCommandLine(const wchar_t* text) {
  WriteCommandLine(text);
}

void NtfsWin32QueryGeometry(NtfsWin32Open* dev) {
  DISK_GEOMETRY g;
  DWORD got = 0;
  if (DeviceIoControl(dev->handle, IOCTL_DISK_GET_DRIVE_GEOMETRY, NULL, 0, &g, sizeof g, &got,
                      NULL)) {
    dev->heads = (int)g.TracksPerCylinder;
    dev->sectorsPerTrack = (int)g.SectorsPerTrack;
    dev->cylinders = (int)g.Cylinders.QuadPart;
    if (g.BytesPerSector) dev->sectorSize = (int)g.BytesPerSector;
  }
}

int NtfsWin32OpenDevice(const char* name, int access, bool create, NtfsWin32Open* out) {
  out->handle = out->lockHandle = INVALID_HANDLE_VALUE;
  out->start = out->length = 0;
  out->lengthKnown = out->bounded = false;
  out->heads = out->sectorsPerTrack = out->cylinders = -1;
  out->sectorSize = 512;
  DWORD rights = access == 0   ? GENERIC_READ
                 : access == 1 ? GENERIC_WRITE
                               : GENERIC_READ | GENERIC_WRITE;
  char letter = 0;
  unsigned int part = 0;
  int fields = sscanf(name, "/dev/hd%c%u", &letter, &part);
  enum { kFile, kDrive, kPartition, kVolume } kind = kFile;
  std::wstring path;
  if (fields >= 1 && letter >= 'a' && letter <= 'z') {
    wchar_t buf[40];
    _snwprintf(buf, 40, L"\\\\.\\PhysicalDrive%d", letter - 'a');
    buf[39] = 0;
    path = buf;
    kind = fields == 2 ? kPartition : kDrive;
  } else if (strlen(name) == 2 && name[1] == ':') {
    wchar_t buf[8] = {L'\\', L'\\', L'.', L'\\', (wchar_t)(unsigned char)name[0], L':', 0};
    path = buf;
    kind = kVolume;
  } else {
    path = Widen(name);
  }
  DWORD disposition = (kind == kFile && create) ? OPEN_ALWAYS : OPEN_EXISTING;
  HANDLE h = CreateFileW(path.c_str(), rights, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                         disposition, FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) return FailWin32();
  out->handle = h;
  DWORD got = 0;
  switch (kind) {
    case kFile:
      if (rights & GENERIC_WRITE)
        DeviceIoControl(h, FSCTL_SET_SPARSE, NULL, 0, NULL, 0, &got, NULL);
      out->lengthKnown = QueryLength(h, &out->length);
      break;
    case kDrive:
      NtfsWin32QueryGeometry(out);
      out->lengthKnown = QueryLength(h, &out->length);
      break;
    case kPartition:
      NtfsWin32QueryGeometry(out);
      if (!FindDrivePartition(h, part, out)) {
        int e = NtfsLastErrno();
        CloseHandle(h);
        out->handle = INVALID_HANDLE_VALUE;
        errno = e;
        return -1;
      }
      out->lengthKnown = out->bounded = true;
      break;
    case kVolume:
      if (!DeviceIoControl(h, FSCTL_LOCK_VOLUME, NULL, 0, NULL, 0, &got, NULL)) {
        int e = NtfsLastErrno();
        CloseHandle(h);
        out->handle = INVALID_HANDLE_VALUE;
        errno = e;
        return -1;
      }
      out->lockHandle = h;
      out->lengthKnown = QueryLength(h, &out->length);
      break;
  }
  return 0;
}

int NtfsWin32CloseDevice(NtfsWin32Open* dev, bool written) {
  int result = 0;
  if (dev->lockHandle != INVALID_HANDLE_VALUE) {
    DWORD got = 0;
    if (written)
      DeviceIoControl(dev->lockHandle, FSCTL_DISMOUNT_VOLUME, NULL, 0, NULL, 0, &got, NULL);
    DeviceIoControl(dev->lockHandle, FSCTL_UNLOCK_VOLUME, NULL, 0, NULL, 0, &got, NULL);
    CloseHandle(dev->lockHandle);
    if (dev->handle == dev->lockHandle) dev->handle = INVALID_HANDLE_VALUE;
    dev->lockHandle = INVALID_HANDLE_VALUE;
  }
  if (dev->handle != INVALID_HANDLE_VALUE && !CloseHandle(dev->handle)) result = FailWin32();
  dev->handle = INVALID_HANDLE_VALUE;
  return result;
}

long long NtfsWin32Transfer(void* handle, unsigned long long offset, void* buffer, long long count,
                            bool write) {
  LARGE_INTEGER li;
  li.QuadPart = (LONGLONG)offset;
  if (!SetFilePointerEx(handle, li, NULL, FILE_BEGIN)) return FailWin32();
  long long done = 0;
  while (done < count) {
    DWORD n = (DWORD)(count - done > kMaxRun ? kMaxRun : count - done);
    DWORD moved = 0;
    char* p = static_cast<char*>(buffer) + done;
    BOOL ok = write ? WriteFile(handle, p, n, &moved, NULL) : ReadFile(handle, p, n, &moved, NULL);
    if (!ok) {
      if (done) break;
      return FailWin32();
    }
    done += moved;
    if (moved < n) break;
  }
  return done;
}

int NtfsWin32Flush(void* handle, void* lockHandle) {
  if (lockHandle != INVALID_HANDLE_VALUE && lockHandle != handle && !FlushFileBuffers(lockHandle))
    return FailWin32();
  if (handle != INVALID_HANDLE_VALUE && !FlushFileBuffers(handle)) return FailWin32();
  return 0;
}
