// CFatVolume: mounting over a disk object, formatting, and the file and
// folder operations over the FAT module.
#include "image/mount/FatVolume.h"

#include <string.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "common/ConsoleOutput.h"
#include "common/LastError.h"
#include "common/PathUtil.h"
#include "common/TempFiles.h"
#include "image/stack/MountRw.h"

namespace {

const uint32_t kIoChunk = 64 * 1024;

const uint16_t* U16(const wchar_t* path) {
  return reinterpret_cast<const uint16_t*>(path);
}

// A path naming the root: nothing but separators.
bool IsRootPath(const wchar_t* path) {
  for (; *path; path++) {
    if (!IsPathSeparator(*path)) return false;
  }
  return true;
}

DWORD EntryAttributes(uint8_t fat) {
  return fat & (FAT_ATTR_READONLY | FAT_ATTR_HIDDEN | FAT_ATTR_SYSTEM | FAT_ATTR_DIRECTORY |
                FAT_ATTR_ARCHIVE);
}

// The file object is large (a sector buffer): kept off the stack.
struct FatOpenObject {
  FatWorkArea* fs;
  FatFileObject object;
  bool open = false;

  explicit FatOpenObject(FatWorkArea* area) : fs(area) {}
  ~FatOpenObject() { Close(); }
  int Open(const wchar_t* path, unsigned mode) {
    int r = FatOpenFile(fs, &object, U16(path), mode);
    open = r == FAT_OK;
    return r;
  }
  int Close() {
    if (!open) return FAT_OK;
    open = false;
    return FatCloseFile(fs, &object);
  }
};

}  // namespace

DWORD FatResultToWin32(int result) {
  switch (result) {
    case FAT_OK:
      return ERROR_SUCCESS;
    case FAT_DISK_ERR:
      return ERROR_IO_DEVICE;
    case FAT_INT_ERR:
      return ERROR_FILE_CORRUPT;
    // The NTFS side reports a missing parent as a missing file too.
    case FAT_NO_FILE:
    case FAT_NO_PATH:
      return ERROR_FILE_NOT_FOUND;
    case FAT_INVALID_NAME:
      return ERROR_INVALID_NAME;
    case FAT_DENIED:
      return ERROR_ACCESS_DENIED;
    case FAT_FULL:
      return ERROR_DISK_FULL;
    // As Windows answers a name its folder has no room for.
    case FAT_FOLDER_FULL:
      return ERROR_CANNOT_MAKE;
    case FAT_EXIST:
      return ERROR_ALREADY_EXISTS;
    case FAT_INVALID_OBJECT:
      return ERROR_INVALID_HANDLE;
    case FAT_WRITE_PROTECTED:
      return ERROR_WRITE_PROTECT;
    case FAT_NOT_ENABLED:
    case FAT_NO_FILESYSTEM:
    case FAT_SECTOR_SIZE:
    case FAT_DISK_SECTOR_UNKNOWN:
      return ERROR_UNRECOGNIZED_VOLUME;
    case FAT_NOT_ENOUGH_CORE:
      return ERROR_NOT_ENOUGH_MEMORY;
    case FAT_INVALID_PARAMETER:
      return ERROR_INVALID_PARAMETER;
    // Not ERROR_DISK_CORRUPT: the copy tells that one as an NTFS index
    // bitmap's damage. These have lines of their own (ErrorOf).
    case FAT_MAP_DAMAGED:
    case FAT_UPCASE_DAMAGED:
    case FAT_SET_DAMAGED:
      return ERROR_FILE_CORRUPT;
    default:
      return ERROR_GEN_FAILURE;
  }
}

DWORD CFatVolume::ErrorOf(int result) {
  // A cluster the allocator refused because a file uses it: named once a
  // mount, with what mends it.
  uint32_t cluster = 0;
  const uint16_t* other = nullptr;
  const uint16_t* owner = FatMapDamageOwner(&m_Work, &cluster, &other);
  if (result == FAT_MAP_DAMAGED && owner && !m_bMapDamageNamed) {
    m_bMapDamageNamed = 1;
    bool exfat = m_Work.fsType == FAT_TYPE_EXFAT;
    const std::wstring mends =
        std::wstring(exfat ? L"fsck.exfat" : L"fsck.fat") + L" mends the volume\r\n";
    const wchar_t* name = reinterpret_cast<const wchar_t*>(owner);
    if (!other)
      WriteCommandLine(std::wstring(exfat ? L"The allocation bitmap" : L"The FAT") +
                       L" marks free a cluster that " + name + L" uses (cluster " +
                       std::to_wstring(cluster) + L"): refused, nothing written over it; " + mends);
    else
      WriteCommandLine(L"Cluster " + std::to_wstring(cluster) +
                       (*other ? L" is in the chains of both " + std::wstring(name) + L" and " +
                                     reinterpret_cast<const wchar_t*>(other)
                               : L" is in the chain of " + std::wstring(name) + L" twice") +
                       L" (cross-linked): refused, neither freed nor handed out; " + mends);
  }
  // An up-case table or an entry set that fails its check: named once a
  // mount, nothing written.
  if (result == FAT_UPCASE_DAMAGED && !m_bNamesDamageNamed) {
    m_bNamesDamageNamed = 1;
    const char* why = FatUpcaseDamage(&m_Work);
    WriteCommandLine(L"The up-case table of the exFAT volume " +
                     std::wstring(why, why + strlen(why)) +
                     L": names cannot be compared as the volume does, nothing is written to it "
                     L"until it is checked (fsck.exfat)\r\n");
  }
  // A folder without a free entry left: named once a mount, with its
  // entries and, for a FAT12/16 root, that it cannot grow.
  uint32_t entries = 0;
  bool fixedRoot = false;
  const uint16_t* full = FatFullFolder(&m_Work, &entries, &fixedRoot);
  if (result == FAT_FOLDER_FULL && full &&
      m_FullFoldersNamed.insert(reinterpret_cast<const wchar_t*>(full)).second) {
    const std::wstring kind = m_Work.fsType == FAT_TYPE_EXFAT ? L"exFAT"
                              : m_Work.fsType == FAT_TYPE_32  ? L"FAT32"
                              : m_Work.fsType == FAT_TYPE_16  ? L"FAT16"
                                                              : L"FAT12";
    WriteCommandLine(L"The folder " + std::wstring(reinterpret_cast<const wchar_t*>(full)) +
                     L" is full: all its " + std::to_wstring(entries) +
                     L" entries are taken (a long name takes more than one), " +
                     (fixedRoot
                          ? L"and the root folder of a " + kind +
                                L" volume cannot grow (its entries are fixed when it is formatted)"
                          : L"the most a folder of a " + kind + L" volume holds") +
                     L": no name more goes into it\r\n");
  }
  const uint16_t* folder = FatDamagedSetFolder(&m_Work);
  if (result == FAT_SET_DAMAGED && folder && m_DamagedSetNamed != (const wchar_t*)folder) {
    m_DamagedSetNamed = (const wchar_t*)folder;
    WriteCommandLine(L"The folder " + m_DamagedSetNamed +
                     L" holds an entry set that fails its check (its check value or its name "
                     L"hash): nothing is written into the folder until the volume is checked "
                     L"(fsck.exfat)\r\n");
  }
  return FatResultToWin32(result);
}

int CFatVolume::FailFat(int result) {
  SetLastError(ErrorOf(result));
  return 0;
}

CFatVolume::CFatVolume() {
  memset(&m_Work, 0, sizeof m_Work);
}

CFatVolume::~CFatVolume() {
  Release();
}

FILETIME CFatVolume::FatTimeToUtc(uint16_t date, uint16_t time, uint8_t tenMs, uint8_t utcOffset) {
  FILETIME utc = {0, 0};
  if (!date) return utc;
  SYSTEMTIME st = {};
  st.wYear = (WORD)((date >> 9) + 1980);
  st.wMonth = (WORD)((date >> 5) & 15);
  st.wDay = (WORD)(date & 31);
  st.wHour = (WORD)(time >> 11);
  st.wMinute = (WORD)((time >> 5) & 63);
  st.wSecond = (WORD)((time & 31) * 2);
  FILETIME local;
  if (!SystemTimeToFileTime(&st, &local)) return utc;
  if (tenMs > 199) tenMs = 0;  // no increment exFAT writes
  ULARGE_INTEGER t;
  t.LowPart = local.dwLowDateTime;
  t.HighPart = local.dwHighDateTime;
  t.QuadPart += (ULONGLONG)tenMs * 100000;
  local.dwLowDateTime = t.LowPart;
  local.dwHighDateTime = t.HighPart;
  if (!FatLocalToUtc(&local, utcOffset, &utc)) utc.dwLowDateTime = utc.dwHighDateTime = 0;
  return utc;
}

void CFatVolume::UtcToFatTime(const FILETIME& utc, uint16_t* date, uint16_t* time, uint8_t* tenMs,
                              uint8_t* utcOffset) {
  FILETIME local;
  SYSTEMTIME st;
  uint8_t offset = 0;
  bool known =
      utcOffset ? FatUtcToLocal(&utc, &local, &offset) : FileTimeToLocalFileTime(&utc, &local) != 0;
  if (!known || !FileTimeToSystemTime(&local, &st)) st.wYear = 0;
  if (utcOffset) *utcOffset = offset;
  // FAT counts 1980 to 2107: times outside are pinned to the ends.
  if (st.wYear < 1980) {
    *date = (1 << 5) | 1;
    *time = 0;
    if (tenMs) *tenMs = 0;
    return;
  }
  if (st.wYear > 2107) {
    *date = (127 << 9) | (12 << 5) | 31;
    *time = (23 << 11) | (59 << 5) | 29;
    if (tenMs) *tenMs = 199;
    return;
  }
  *date = (uint16_t)((st.wYear - 1980) << 9 | st.wMonth << 5 | st.wDay);
  *time = (uint16_t)(st.wHour << 11 | st.wMinute << 5 | st.wSecond / 2);
  if (tenMs) *tenMs = (uint8_t)((st.wSecond % 2) * 100 + st.wMilliseconds / 10);
}

FILETIME CFatVolume::KeptWriteTime(const FILETIME& utc) const {
  uint16_t date = 0, time = 0;
  uint8_t tenMs = 0, offset = 0;
  if (m_Work.fsType != FAT_TYPE_EXFAT) {
    UtcToFatTime(utc, &date, &time);
    return FatTimeToUtc(date, time);
  }
  UtcToFatTime(utc, &date, &time, &tenMs, &offset);
  return FatTimeToUtc(date, time, tenMs, offset);
}

// ---- Mounting ----

int CFatVolume::Mount(_VROH_MOUNT_RW* disk, int writable, bool borrowed, int partition) {
  // Whatever was mounted is let go first; an owned disk object survives
  // only when it is the one being mounted again.
  if (m_pDisk && !m_bBorrowed && m_pDisk != disk)
    Close();
  else
    Detach();
  if (!disk) return Fail(ERROR_INVALID_PARAMETER) - 1;
  memset(&m_Work, 0, sizeof m_Work);
  if (FatOpenDiskBlock(&m_Work.disk, disk, ReadDiskObjectBytes, WriteDiskObjectBytes))
    return Fail(ERROR_NOT_ENOUGH_MEMORY) - 1;
  m_Work.disk->diskBytes = disk->DiskBytes();
  // Until a volume is found the disk object stays its caller's; it stays
  // attached so that Format can still write a volume into it.
  m_pDisk = disk;
  m_bBorrowed = 1;
  m_bWritable = writable ? 1 : 0;
  m_bMapDamageNamed = 0;
  m_bNamesDamageNamed = 0;
  m_DamagedSetNamed.clear();
  m_FullFoldersNamed.clear();
  int r = FatMount(&m_Work, writable ? 0 : FAT_MOUNT_READONLY, partition);
  m_MountRefusal = RefusalCause(r);
  if (r != FAT_OK) {
    FatUnmount(&m_Work);
    return FailFat(r) - 1;
  }
  m_bBorrowed = borrowed ? 1 : 0;
  return disk->BaseType();
}

int CFatVolume::MountOnImage(_VROH_MOUNT_RW* disk, int writable, int partition) {
  return Mount(disk, writable, false, partition);
}

int CFatVolume::MountShared(_VROH_MOUNT_RW* disk, int writable, int partition) {
  return Mount(disk, writable, true, partition);
}

void CFatVolume::Unmount() {
  Detach();
}

bool CFatVolume::Detach() {
  // The module leaves a changed directory sector in its window until the
  // next sector is needed: it is written before the volume goes.
  bool ok = true;
  if (m_Work.fsType && m_bWritable) ok = FatFlushVolume(&m_Work) == FAT_OK;
  FatUnmount(&m_Work);
  FatCloseDiskBlock(&m_Work.disk);
  m_pDisk = nullptr;
  m_bBorrowed = 0;
  m_bWritable = 0;
  return ok;
}

void CFatVolume::Abandon() {
  m_Work.winDirty = 0;
  FatUnmount(&m_Work);
  FatCloseDiskBlock(&m_Work.disk);
  m_pDisk = nullptr;
  m_bBorrowed = 0;
  m_bWritable = 0;
}

bool CFatVolume::Close() {
  _VROH_MOUNT_RW* disk = m_pDisk;
  bool owned = !m_bBorrowed;
  bool ok = Detach();
  if (disk && owned) {
    if (disk->Flush() < 0 || disk->CloseLayers() < 0) ok = false;
    delete disk;
  }
  return ok;
}

bool CFatVolume::Flush() {
  if (!m_Work.fsType || !m_bWritable || !m_pDisk) return Fail(ERROR_WRITE_PROTECT) != 0;
  int r = FatFlushVolume(&m_Work);
  if (r != FAT_OK) return FailFat(r) != 0;
  return m_pDisk->Flush() >= 0 || Fail(ERROR_WRITE_FAULT) != 0;
}

bool CFatVolume::Release() {
  return m_bBorrowed ? Detach() : Close();
}

std::wstring CFatVolume::RefusalCause(int result) const {
  if (result == FAT_SECTOR_SIZE)
    return L"its FAT/exFAT volume declares " + std::to_wstring(m_Work.declaredSectorSize) +
           L"-byte sectors; FAT and exFAT sectors are 512, 1024, 2048 or 4096 bytes";
  if (result != FAT_DISK_SECTOR_UNKNOWN) return L"";
  std::wstring sizes;
  for (uint32_t unit = 1; unit <= 8; unit *= 2) {
    if (!(m_Work.diskSectorChoices & unit)) continue;
    if (!sizes.empty()) sizes += L" and of ";
    sizes += std::to_wstring(unit * FAT_MIN_SECTOR);
  }
  return L"its partition table reads alike as sectors of " + sizes +
         L" bytes, a volume at an entry's start by each: the disk's sector size cannot be told";
}

int CFatVolume::Format(unsigned type, uint32_t unitBytes) {
  if (!m_pDisk || !m_Work.disk) return Fail(ERROR_NOT_READY);
  // Formatting resets the disk block's write protection: a read-only
  // mount must not be formatted through it.
  if (!m_bWritable) return Fail(ERROR_WRITE_PROTECT);
  FatUnmount(&m_Work);
  uint8_t work[FAT_MAX_SECTOR];
  int r = FatFormatVolume(&m_Work, (type & 7) | FAT_FMT_KEEP_TABLE, unitBytes, work, sizeof work);
  const uint32_t sector = m_Work.diskSectorSize;
  if (r == FAT_MKFS_ABORTED) {
    // What keeps the volume from being made, said; nothing was written.
    const wchar_t* kind = (type & 7) == 4   ? L"an exFAT"
                          : (type & 7) == 2 ? L"a FAT32"
                                            : L"a FAT12/16";
    // Counted in the disk's sectors where they are not of 512 bytes.
    const uint32_t per = sector > FAT_MIN_SECTOR ? sector / FAT_MIN_SECTOR : 1;
    const std::wstring of =
        per > 1 ? L" of " + std::to_wstring(sector) + L" bytes" : std::wstring();
    WriteCommandLine(
        !m_Work.partSectors
            ? std::wstring(L"The disk has no partition to format: nothing formatted\r\n")
            : L"The partition (" + std::to_wstring(m_Work.partSectors / per) + L" sectors" + of +
                  L" from sector " + std::to_wstring(m_Work.partStart / per) + L") cannot hold " +
                  kind + L" volume" +
                  (per > 1 ? L" of " + std::to_wstring(sector) + L"-byte sectors" : L"") +
                  L": nothing formatted\r\n");
  } else if (r == FAT_DISK_SECTOR_UNKNOWN) {
    const std::wstring why = RefusalCause(r);
    WriteCommandLine(L"The partition (" + std::to_wstring(m_Work.partSectors) +
                     L" sectors of 512 bytes from sector " + std::to_wstring(m_Work.partStart) +
                     L"): " +
                     (m_Work.diskSectorChoices & (m_Work.diskSectorChoices - 1)
                          ? why
                          : std::wstring(L"nothing on the disk tells its sector size")) +
                     L": nothing formatted\r\n");
  }
  if (r != FAT_OK) return FailFat(r);
  // The partition formatted, and no other.
  r = FatMount(&m_Work, 0, m_Work.partIndex);
  return r == FAT_OK ? 1 : FailFat(r);
}

bool CFatVolume::FindDamagedNames(std::vector<std::wstring>* findings) {
  if (m_Work.fsType != FAT_TYPE_EXFAT) return true;
  if (const char* why = FatUpcaseDamage(&m_Work))
    findings->push_back(L"The up-case table of the exFAT volume " +
                        std::wstring(why, why + strlen(why)) + L".");
  auto report = [](void* context, const uint16_t* folder, uint32_t offset, const uint16_t* name,
                   bool hashOnly) {
    std::wstring where = reinterpret_cast<const wchar_t*>(folder);
    std::wstring text = reinterpret_cast<const wchar_t*>(name);
    static_cast<std::vector<std::wstring>*>(context)->push_back(
        hashOnly ? L"The entry set of " + text + L" in the folder " + where +
                       L" has a name hash that does not fit its name."
                 : L"The entry set at byte " + std::to_wstring(offset) + L" of the folder " +
                       where + L" fails its check value (its name reads \"" + text + L"\").");
  };
  int r = FatFindDamagedSets(&m_Work, report, findings);
  return r == FAT_OK || FailFat(r) != 0;
}

// ---- Files and folders ----

bool CFatVolume::Stat(const wchar_t* path, FatFileInfo* info, int* isRoot) {
  *isRoot = 0;
  if (!path) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (IsRootPath(path)) {
    int r = FatCheckVolume(0, &m_Work);
    if (r) {
      SetLastError(FatResultToWin32(r));
      return false;
    }
    memset(info, 0, sizeof *info);
    info->attributes = FAT_ATTR_DIRECTORY;
    *isRoot = 1;
    return true;
  }
  int r = FatStatPath(&m_Work, U16(path), info);
  if (r) {
    SetLastError(ErrorOf(r));
    return false;
  }
  return true;
}

int CFatVolume::GetPathType(const wchar_t* path) {
  FatFileInfo info;
  int root;
  if (!Stat(path, &info, &root)) return 0;
  return (info.attributes & FAT_ATTR_DIRECTORY) ? VOLUME_PATH_FOLDER : VOLUME_PATH_FILE;
}

int CFatVolume::GetFileInfo(const wchar_t* path, FILETIME* creation, FILETIME* lastWrite,
                            FILETIME* lastAccess, DWORD* attributes, uint64_t* size) {
  FatFileInfo info;
  int root;
  if (!Stat(path, &info, &root)) return 0;
  if (creation) *creation = FatTimeToUtc(info.cdate, info.ctime, info.cms, info.coff);
  if (lastWrite) *lastWrite = FatTimeToUtc(info.wdate, info.wtime, info.wms, info.woff);
  if (lastAccess) *lastAccess = FatTimeToUtc(info.adate, info.atime, 0, info.aoff);
  if (attributes) *attributes = EntryAttributes(info.attributes);
  if (size) *size = (info.attributes & FAT_ATTR_DIRECTORY) ? 0 : info.size;
  return 1;
}

int CFatVolume::SetFileInfo(const wchar_t* path, const FILETIME* creation,
                            const FILETIME* lastWrite, const FILETIME* lastAccess,
                            const DWORD* attributes) {
  if (!creation && !lastWrite && !lastAccess && !attributes) return Fail(ERROR_INVALID_PARAMETER);
  FatFileInfo info;
  int root;
  if (!Stat(path, &info, &root)) return 0;
  // The root has no entry to hold times or attributes.
  if (root) return Fail(ERROR_ACCESS_DENIED);
  if (creation || lastWrite || lastAccess) {
    // exFAT keeps each time with the offset from UTC it was written at.
    const bool exfat = m_Work.fsType == FAT_TYPE_EXFAT;
    if (creation)
      UtcToFatTime(*creation, &info.cdate, &info.ctime, &info.cms, exfat ? &info.coff : nullptr);
    if (lastWrite)
      UtcToFatTime(*lastWrite, &info.wdate, &info.wtime, &info.wms, exfat ? &info.woff : nullptr);
    if (lastAccess) {
      UtcToFatTime(*lastAccess, &info.adate, &info.atime, nullptr, exfat ? &info.aoff : nullptr);
      // Only exFAT keeps the time of day of the last access.
      if (!exfat) info.atime = 0;
    }
    int r = FatSetTimes(&m_Work, U16(path), &info);
    if (r) return FailFat(r);
  }
  if (attributes) {
    int r = FatSetAttributes(&m_Work, U16(path), (uint8_t)(*attributes & 0x27), 0x27);
    if (r) return FailFat(r);
  }
  return 1;
}

uint64_t CFatVolume::ReadFile(const wchar_t* path, void* buffer, uint64_t offset, uint64_t count) {
  if (!path || (!buffer && count)) return Fail(ERROR_INVALID_PARAMETER);
  FatOpenObject f(&m_Work);
  int r = f.Open(path, FAT_OPEN_READ);
  if (r) return FailFat(r);
  if ((r = FatSeekFile(&m_Work, &f.object, offset))) return FailFat(r);
  uint8_t* out = static_cast<uint8_t*>(buffer);
  uint64_t done = 0;
  while (done < count) {
    uint64_t left = count - done;
    uint32_t n = left > 0x40000000 ? 0x40000000 : (uint32_t)left;
    uint32_t got = 0;
    if ((r = FatReadFile(&m_Work, &f.object, out + done, n, &got))) return FailFat(r);
    done += got;
    if (got < n) break;
  }
  f.Close();
  SetLastError(ERROR_SUCCESS);
  return done;
}

// Seeks (a shorter file grows with zeros), writes, optionally ends the file
// after the data, and closes. Bytes written, 0 with the last error when
// anything failed.
uint64_t CFatVolume::WriteOpened(FatFileObject* file, const void* buffer, uint64_t offset,
                                 uint64_t count, bool truncate) {
  int r = FatSeekFile(&m_Work, file, offset);
  if (r == FAT_FULL) r = -1;  // no room for the gap
  uint64_t done = 0;
  const uint8_t* in = static_cast<const uint8_t*>(buffer);
  while (!r && done < count) {
    uint64_t left = count - done;
    uint32_t n = left > 0x40000000 ? 0x40000000 : (uint32_t)left;
    uint32_t put = 0;
    r = FatWriteFile(&m_Work, file, in + done, n, &put);
    done += put;
    if (!r && put < n) r = -1;  // the volume is full
  }
  if (!r && truncate) r = FatTruncateFile(&m_Work, file);
  // A write cut off part way may have linked clusters that the entry does
  // not cover yet: entry and chain are made to agree before the close.
  if (r) FatSettleFile(&m_Work, file);
  int c = FatCloseFile(&m_Work, file);
  if (r == -1) return Fail(ERROR_DISK_FULL);
  if (r || c) return FailFat(r ? r : c);
  SetLastError(ERROR_SUCCESS);
  return done;
}

uint64_t CFatVolume::WriteFile(const wchar_t* path, const void* buffer, uint64_t offset,
                               uint64_t count) {
  if (!path || (!buffer && count)) return Fail(ERROR_INVALID_PARAMETER);
  FatOpenObject f(&m_Work);
  // At offset 0 the file is emptied first; above 0 what lies before the
  // offset stays.
  unsigned mode = FAT_OPEN_READ | FAT_OPEN_WRITE | (offset ? FAT_OPEN_ALWAYS : FAT_CREATE_ALWAYS);
  int r = f.Open(path, mode);
  if (r) return FailFat(r);
  f.open = false;
  return WriteOpened(&f.object, buffer, offset, count, true);
}

uint64_t CFatVolume::WriteFileData(const wchar_t* path, const void* buffer, uint64_t offset,
                                   uint64_t count) {
  if (!path || (!buffer && count)) return Fail(ERROR_INVALID_PARAMETER);
  FatOpenObject f(&m_Work);
  int r = f.Open(path, FAT_OPEN_READ | FAT_OPEN_WRITE);
  if (r) return FailFat(r);
  f.open = false;
  return WriteOpened(&f.object, buffer, offset, count, false);
}

int CFatVolume::CreateEmptyFile(const wchar_t* path) {
  if (!path) return Fail(ERROR_INVALID_PARAMETER);
  FatOpenObject f(&m_Work);
  int r = f.Open(path, FAT_OPEN_READ | FAT_OPEN_WRITE | FAT_CREATE_NEW);
  if (r) return FailFat(r);
  r = f.Close();
  if (!r) r = FatFlushVolume(&m_Work);
  return r ? FailFat(r) : 1;
}

int CFatVolume::ListDirectory(const wchar_t* path, FatEntryCallback callback, void* user) {
  if (!path || !callback) return Fail(ERROR_INVALID_PARAMETER);
  FatDirObject dir;
  int r = FatOpenDirectory(&m_Work, &dir, U16(path));
  if (r) return FailFat(r);
  // The whole listing is read first: callbacks may change the folder or
  // use the module's shared name buffer.
  struct Item {
    std::wstring name;
    FatFileInfo info;
  };
  std::vector<Item> items;
  FatFileInfo info;
  for (;;) {
    if ((r = FatReadDirectory(&m_Work, &dir, &info))) {
      FatCloseDirectory(&m_Work, &dir);
      return FailFat(r);
    }
    if (!info.name[0]) break;
    items.push_back({std::wstring(reinterpret_cast<const wchar_t*>(info.name)), info});
  }
  if ((r = FatCloseDirectory(&m_Work, &dir))) return FailFat(r);
  for (const Item& item : items) {
    FatEntryInfo e;
    e.name = item.name.c_str();
    e.isDirectory = (item.info.attributes & FAT_ATTR_DIRECTORY) ? 1 : 0;
    e.size = e.isDirectory ? 0 : item.info.size;
    e.creation = FatTimeToUtc(item.info.cdate, item.info.ctime, item.info.cms, item.info.coff);
    e.lastWrite = FatTimeToUtc(item.info.wdate, item.info.wtime, item.info.wms, item.info.woff);
    e.lastAccess = FatTimeToUtc(item.info.adate, item.info.atime, 0, item.info.aoff);
    e.attributes = EntryAttributes(item.info.attributes);
    if (!callback(&e, user)) break;
  }
  SetLastError(ERROR_SUCCESS);
  return 1;
}

namespace {

struct PlainEnum {
  VolumeEnumCallback callback;
  void* user;
};

int PlainEntry(const FatEntryInfo* e, void* user) {
  PlainEnum* p = static_cast<PlainEnum*>(user);
  return p->callback(e->name, (unsigned)e->isDirectory, (DWORD)e->size, (DWORD)(e->size >> 32),
                     nullptr, &e->lastWrite, nullptr, e->attributes, p->user);
}

}  // namespace

int CFatVolume::EnumDirectory(const wchar_t* path, VolumeEnumCallback callback, void* user) {
  PlainEnum p = {callback, user};
  if (ListDirectory(path, PlainEntry, &p)) return FAT_OK;
  switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
      return FAT_NO_PATH;
    case ERROR_INVALID_PARAMETER:
      return FAT_INVALID_PARAMETER;
    case ERROR_UNRECOGNIZED_VOLUME:
      return FAT_NO_FILESYSTEM;
    case ERROR_IO_DEVICE:
      return FAT_DISK_ERR;
    default:
      return FAT_INT_ERR;
  }
}

int CFatVolume::CreateDirectory(const wchar_t* path) {
  if (!path) return Fail(ERROR_INVALID_PARAMETER);
  int r = FatMakeDirectory(&m_Work, U16(path));
  return r ? FailFat(r) : 1;
}

int CFatVolume::CreateDirectories(const wchar_t* path) {
  if (!path) return Fail(ERROR_INVALID_PARAMETER);
  std::wstring p(path);
  for (size_t i = 2; i < p.size(); i++) {
    if (IsPathSeparator(p[i]) && !IsPathSeparator(p[i - 1]))
      CreateDirectory(p.substr(0, i).c_str());
  }
  return CreateDirectory(path);
}

int CFatVolume::RenamePath(const wchar_t* oldPath, const wchar_t* newPath) {
  if (!oldPath || !newPath) return Fail(ERROR_INVALID_PARAMETER);
  int r = FatRenamePath(&m_Work, U16(oldPath), U16(newPath));
  return r ? FailFat(r) : 1;
}

namespace {

int CollectName(const FatEntryInfo* e, void* user) {
  static_cast<std::vector<std::wstring>*>(user)->push_back(e->name);
  return 1;
}

}  // namespace

// Deletes everything inside a folder, depth first.
int CFatVolume::DeleteBelow(const wchar_t* path) {
  std::vector<std::wstring> names;
  if (!ListDirectory(path, CollectName, &names)) return 0;
  std::wstring folder(path);
  if (folder.empty() || !IsPathSeparator(folder.back())) folder += L'\\';
  for (const std::wstring& name : names) {
    if (!DeleteTree((folder + name).c_str())) return 0;
  }
  return 1;
}

int CFatVolume::DeleteTree(const wchar_t* path) {
  int type = GetPathType(path);
  if (!type) return 0;
  if (type == VOLUME_PATH_FOLDER && !DeleteBelow(path)) return 0;
  if (IsRootPath(path)) return 1;  // the root itself stays
  int r = FatUnlinkPath(&m_Work, U16(path));
  return r ? FailFat(r) : 1;
}

int CFatVolume::GetSpace(uint64_t* totalBytes, uint64_t* freeBytes) {
  uint32_t freeClusters = 0;
  int r = FatGetFreeClusters(&m_Work, U16(L"\\"), &freeClusters);
  if (r) return FailFat(r);
  uint64_t cluster = (uint64_t)m_Work.clusterSize * m_Work.sectorSize;
  if (totalBytes) *totalBytes = (uint64_t)(m_Work.fatEntries - 2) * cluster;
  if (freeBytes) *freeBytes = (uint64_t)freeClusters * cluster;
  return 1;
}

int CFatVolume::RoomFor(const wchar_t* path, uint64_t size, uint64_t* missing) {
  uint32_t freeClusters = 0;
  if (!path || FatGetFreeClusters(&m_Work, U16(L"\\"), &freeClusters)) return -1;
  const uint64_t cluster = (uint64_t)m_Work.clusterSize * m_Work.sectorSize;
  const uint64_t clusters = (size + cluster - 1) / cluster;
  // With a cluster to spare for the folder it fits, whatever is there.
  if (clusters < freeClusters) return 1;
  uint64_t given = 0;
  bool grows = false;
  if (FatPathRoom(&m_Work, U16(path), &given, &grows)) return -1;
  const uint64_t room = (freeClusters + (given + cluster - 1) / cluster) * cluster;
  const uint64_t takes = size + (grows ? cluster : 0);
  if (takes <= room) return 1;
  if (missing) *missing = takes - room;
  return 0;
}

int CFatVolume::GetVolumeInfo(VolumeInfoRecord* record) {
  if (!record) return Fail(ERROR_INVALID_PARAMETER);
  uint32_t freeClusters = 0;
  int r = FatGetFreeClusters(&m_Work, U16(L"\\"), &freeClusters);
  if (r) return FailFat(r);
  memset(record, 0, sizeof *record);
  record->fileSystem = m_Work.fsType;
  record->totalClusters = m_Work.fatEntries - 2;
  record->freeClusters = freeClusters;
  record->clusterSize = (uint64_t)m_Work.clusterSize * m_Work.sectorSize;
  record->sectorSize = m_Work.sectorSize;
  return 1;
}
