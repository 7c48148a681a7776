// CFatVolume: one mounted FAT12/16/32 or exFAT volume of a disk object, with
// a file API in the program's terms (UTF-16 paths, 64-bit offsets and sizes,
// UTC FILETIMEs, Win32 attribute bits), copies between the host and the
// volume, and the slot of the EFI system partition's boot configuration hive.
// FAT entries keep local time (exFAT's with its offset from UTC); every
// time crossing this interface is UTC.
//
// The FAT module shares buffers between all volumes and takes no lock: all
// CFatVolume calls of the process must come from one thread at a time.
//
// Failures set the Win32 last error (ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED,
// ERROR_ALREADY_EXISTS, ERROR_WRITE_PROTECT, ERROR_DISK_FULL, ...).
#pragma once
#include <windows.h>
#include <stdint.h>

#include <set>
#include <string>
#include <vector>

#include "image/volume/VolumeTypes.h"
#include "image/fat/FatModule.h"

class _VROH_MOUNT_RW;
class CMountedImage;
class CRegHive;

// One directory entry with everything the volume keeps about it.
struct FatEntryInfo {
  const wchar_t* name;
  int isDirectory;
  uint64_t size;
  FILETIME creation;
  FILETIME lastWrite;
  FILETIME lastAccess;  // FAT12/16/32 keep only the date
  DWORD attributes;     // FILE_ATTRIBUTE_* bits as stored in the entry
};
// Returns nonzero to go on, 0 to stop.
typedef int (*FatEntryCallback)(const FatEntryInfo* entry, void* user);

class CFatVolume {
 public:
  CFatVolume();
  // Releases what is still mounted (closes an owned disk object).
  ~CFatVolume();
  CFatVolume(const CFatVolume&) = delete;
  CFatVolume& operator=(const CFatVolume&) = delete;

  // ---- Mounting and closing.
  // Mounts the FAT or exFAT volume of the disk object's partition (an index
  // into its table, FatModule.h; by default the boot partition: the EFI
  // system partition of a GPT disk, the first FAT partition of an MBR, a
  // partitionless volume), read-only unless writable. Returns the disk
  // object's image type code, or -1. On success the disk object is owned:
  // Close destroys it.
  int MountOnImage(_VROH_MOUNT_RW* disk, int writable, int partition = FAT_BOOT_PARTITION);
  // The same over a disk object that stays its owner's (borrowed).
  int MountShared(_VROH_MOUNT_RW* disk, int writable, int partition = FAT_BOOT_PARTITION);
  // Unmount and Detach: unmount, free the disk control block, forget the
  // disk object without destroying it. Detach, Close and Release return
  // false when the last changes (the directory sector in the module's
  // window, the disk object's final flush) did not reach the disk.
  void Unmount();
  bool Detach();
  // Unmounts without writing what the volume holds back (the sector
  // window, the table and directory sectors held for the flush): the
  // command they belong to is being taken back. The disk object is
  // forgotten, never destroyed.
  void Abandon();
  // Unmounts and destroys the disk object (flushed first).
  bool Close();
  // Close when the disk object is owned, else Detach.
  bool Release();
  // Puts what the volume holds unwritten (the module's sector window) and
  // the disk object's pending writes on the disk. False when either failed.
  bool Flush();
  // Lets go of what the volume keeps of the folders a command searched
  // (their names are read afresh by the next one).
  void ForgetFolders() { FatDropFolders(&m_Work); }
  // Writes a new FAT file system (type: 1 FAT12/16, 2 FAT32, 4 exFAT;
  // unit: allocation unit in bytes, 0 automatic) into the partition the
  // mount chose, and nowhere else, and mounts it. Works after a mount that
  // found the partition but no volume in it (the disk object stays
  // attached then). 1 on success; a volume the partition cannot hold is
  // named on a line.
  int Format(unsigned type, uint32_t unitBytes);
  // The check of an exFAT volume's names: a line for an up-case table that
  // cannot be trusted and one for each entry set that fails its check value
  // or whose name hash does not fit its name. False (last error set) when
  // the walk could not finish; nothing to find on FAT12/16/32.
  bool FindDamagedNames(std::vector<std::wstring>* findings);
  // The index of the partition mounted (0 on a disk without a table).
  int PartitionIndex() const { return m_Work.partIndex; }
  // Why the last mount refused the disk, where a line says more than that
  // no volume was found: a sector size the volume declares that neither FAT
  // nor exFAT allows, a disk whose sector size cannot be told; empty
  // otherwise.
  const std::wstring& MountRefusal() const { return m_MountRefusal; }
  // The first 512-byte sector of the partition mounted (or chosen), and
  // whether it is an EFI system partition found through a GPT.
  uint32_t PartitionStart() const { return m_Work.partStart; }
  bool IsGptEsp() const { return m_Work.partGpt && m_Work.partEsp; }
  // Whether the partition mounted was found through a GPT.
  bool OnGptDisk() const { return m_Work.partGpt != 0; }
  // The size of the disk's sectors as its table counts them (what Format
  // makes), 0 where nothing on the disk tells it.
  uint32_t DiskSectorSize() const { return m_Work.diskSectorSize; }

  bool IsMounted() const { return m_Work.fsType != 0; }
  bool IsBorrowed() const { return m_bBorrowed != 0; }
  _VROH_MOUNT_RW* DiskObject() const { return m_pDisk; }
  // 1 FAT12, 2 FAT16, 3 FAT32, 4 exFAT; 0 when nothing is mounted.
  int FileSystemType() const { return m_Work.fsType; }

  // ---- Files and folders (paths from the volume root, "\" or "/").
  // Bytes read; 0 when the file cannot be opened.
  uint64_t ReadFile(const wchar_t* path, void* buffer, uint64_t offset, uint64_t count);
  // Writes count bytes at offset into a file created when missing; the
  // file ends after them. At offset 0 the file holds exactly these bytes;
  // above 0 its bytes before the offset are kept (a shorter file is
  // extended with zeros). Bytes written.
  uint64_t WriteFile(const wchar_t* path, const void* buffer, uint64_t offset, uint64_t count);
  // Writes into an existing file at offset, keeping everything else of it
  // (it grows as needed). Bytes written; 0 with the last error on failure.
  uint64_t WriteFileData(const wchar_t* path, const void* buffer, uint64_t offset, uint64_t count);
  // Creates an empty file; fails with ERROR_ALREADY_EXISTS when the name is taken.
  int CreateEmptyFile(const wchar_t* path);
  int GetFileInfo(const wchar_t* path, FILETIME* creation, FILETIME* lastWrite,
                  FILETIME* lastAccess, DWORD* attributes, uint64_t* size);
  // Sets the given times and the read-only, hidden, system and archive
  // bits of *attributes (each may be null).
  int SetFileInfo(const wchar_t* path, const FILETIME* creation, const FILETIME* lastWrite,
                  const FILETIME* lastAccess, const DWORD* attributes);
  // A last-write time as this volume keeps it: FAT to its 2 seconds (in
  // local time), exFAT to its 10 ms (with its offset from UTC).
  FILETIME KeptWriteTime(const FILETIME& utc) const;
  int GetPathType(const wchar_t* path);  // 0 missing, 1 file, 2 folder
  // The callback gets (name, is-directory 0/1, size low, size high, 0,
  // last-write FILETIME, 0, attributes, user) and stops by returning 0.
  // The FAT module's convention: FAT_OK (0) when the folder was listed,
  // else the module's result code (FatModule.h).
  int EnumDirectory(const wchar_t* path, VolumeEnumCallback callback, void* user);
  // The same listing with every entry's full record. The Win32
  // convention of the rest of this class: 1 when listed, else 0 with the
  // last error.
  int ListDirectory(const wchar_t* path, FatEntryCallback callback, void* user);
  int CreateDirectory(const wchar_t* path);
  // Creates every missing component; a separator within the first two
  // characters creates nothing. 1 when the last one was created.
  int CreateDirectories(const wchar_t* path);
  int RenamePath(const wchar_t* oldPath, const wchar_t* newPath);
  // A file, or a folder with everything below it. 1 on success.
  int DeleteTree(const wchar_t* path);
  int GetSpace(uint64_t* totalBytes, uint64_t* freeBytes);
  // Whether a file of size bytes written at path finds room: the free
  // clusters with those of the file a replace frees there, against its
  // data's and, for a new name its folder has no room for, a cluster more.
  // 1 fits; 0 not, *missing the bytes lacking; -1 unknown.
  int RoomFor(const wchar_t* path, uint64_t size, uint64_t* missing);
  // fileSystem 1..4, clusters, free clusters, cluster and sector size.
  int GetVolumeInfo(VolumeInfoRecord* record);
  // Version resource of a file of the volume (read through a temporary
  // host copy, prefix "ver"); 0 when unknown.
  uint64_t GetFileVersion(const wchar_t* path);

  // ---- Copies (progress and overwrite questions through the callback,
  // 64 KiB transfers; WOW64 redirection off), run by the tree-copy engine
  // (image/copy/TreeCopy.h) over CFatVolumeFiles: host links are never
  // followed. ExtractFile and InjectHostFile copy one file to the path
  // itself; ExtractPath puts a file or folder into hostFolder under its
  // own name (a wildcard set or the root's content into hostFolder
  // itself), making every missing host folder.
  int ExtractFile(const wchar_t* volumePath, const wchar_t* hostPath, VolumeCopyCallback callback,
                  void* user);
  int ExtractPath(const wchar_t* volumePath, const wchar_t* hostFolder, VolumeCopyCallback callback,
                  void* user);
  int InjectHostFile(const wchar_t* hostPath, const wchar_t* volumePath, uint64_t* missing,
                     VolumeCopyCallback callback, void* user);
  // Returns the number of items copied (a created folder counts 1).
  int InjectHostPath(const wchar_t* hostPath, const wchar_t* volumePath, uint64_t* missing,
                     VolumeCopyCallback callback, void* user);
  // Copies a tree of the image's NTFS volume onto this volume (folders
  // created, files copied with their times). Returns the files copied, -1
  // when the source is missing or a file failed.
  int CopyFromMountedImage(CMountedImage* image, const wchar_t* sourcePath,
                           const wchar_t* targetPath);

  // ---- Boot configuration of the EFI system partition. The hive object
  // belongs to the registry side, which defines these two (src/registry)
  // and closes the hive when the mounted image unloads its hives.
  int LoadBcdHive();
  uint32_t DeleteBcdKey(const wchar_t* keyPath);
  CRegHive* m_pBcdHive = nullptr;

  // FAT date and time words (local time), with exFAT's 10 ms increments
  // past them (0-199) and its offset from UTC (FatDisk.h), <-> UTC
  // FILETIME. Without a valid offset (FAT, or an exFAT time written
  // without one) the local time is the host zone's; asked for an offset,
  // the time is written as local time of the host's zone with its offset.
  static FILETIME FatTimeToUtc(uint16_t date, uint16_t time, uint8_t tenMs = 0,
                               uint8_t utcOffset = 0);
  static void UtcToFatTime(const FILETIME& utc, uint16_t* date, uint16_t* time,
                           uint8_t* tenMs = nullptr, uint8_t* utcOffset = nullptr);

 private:
  // The Win32 error of a FAT module result (a cluster refused because a
  // file uses it is named on a line, once a mount); FailFat also sets it as
  // the last error and returns 0.
  DWORD ErrorOf(int result);
  int FailFat(int result);
  int Mount(_VROH_MOUNT_RW* disk, int writable, bool borrowed, int partition);
  std::wstring RefusalCause(int result) const;
  bool Stat(const wchar_t* path, FatFileInfo* info, int* isRoot);
  uint64_t WriteOpened(FatFileObject* file, const void* buffer, uint64_t offset, uint64_t count,
                       bool truncate);
  int DeleteBelow(const wchar_t* path);

  _VROH_MOUNT_RW* m_pDisk = nullptr;
  FatWorkArea m_Work;
  int m_bBorrowed = 0;
  int m_bWritable = 0;
  int m_bMapDamageNamed = 0;
  int m_bNamesDamageNamed = 0;     // the up-case table's refusal was told
  std::wstring m_DamagedSetNamed;  // the folder whose damaged set was told last
  std::set<std::wstring> m_FullFoldersNamed;  // the full folders told since the mount
  std::wstring m_MountRefusal;
};

// The Win32 error for a FAT module result code.
DWORD FatResultToWin32(int result);
