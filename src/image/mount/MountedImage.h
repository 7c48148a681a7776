// CMountedImage: one opened disk with its mounted volume. It owns the device
// stack (_VROH_MOUNT_RW with its layers), the device block the NTFS library
// (or the FAT module) does its I/O through, the mounted volume, and the slot
// of the hive map that the registry keeps on it. Every other part reaches
// disks, files and the offline registry through it.
#pragma once
#include <windows.h>
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "image/device/DiskIoBlock.h"
#include "image/ntfs/NtfsCloneIo.h"
#include "image/volume/VolumeFiles.h"

class _VROH_MOUNT_RW;
class _VROH_DISK_COMBO;
class CFatVolume;
class CMountedImage;
struct RegValueBuf;
struct _ntfs_volume;

// What a higher layer keeps on a mounted image (the registry its map of
// loaded hives, which derives from this): the mounted image has it let go
// of the volume before the volume goes, and deletes it with itself.
class ImageAttachment {
 public:
  virtual ~ImageAttachment() = default;
  // Writes back what changed on the image's volume and releases it; the
  // attachment itself stays. False when a change could not be written back.
  virtual bool Release(CMountedImage* image) = 0;
};

class CMountedImage : public VolumeFiles {
 public:
  // The NTFS formatter, installed by the disk tools (the mounted image
  // sits below them): format of one partition of a device block, 0 on
  // success. Without one, creating and formatting NTFS volumes fails.
  typedef int (*NtfsFormatter)(DiskIoBlock* device, uint32_t partition, int bootChoice,
                               uint8_t align, const void* bootCode, const void* gptEntries);
  static void SetNtfsFormatter(NtfsFormatter formatter);

  // The NTFS clone engine, installed by the disk tools like the formatter:
  // (source volume, target volume, skip list, boot-sector mode, callback,
  // context) -> copied clusters, -5 stopped, -1 failed.
  typedef int (*NtfsCloner)(struct _ntfs_volume* source, struct _ntfs_volume* target,
                            const ClusterRun* skip, int bootMode, DiskCopyProgressCallback callback,
                            void* context);
  static void SetNtfsCloner(NtfsCloner cloner);
  // Copy of the EFI system partition of the disk under one NTFS volume
  // onto the one under another: 0, or -1.
  typedef int (*EspCopier)(struct _ntfs_volume* source, struct _ntfs_volume* target);
  static void SetEspCopier(EspCopier copier);
  // Clones this image's NTFS volume onto target's (the engine's result);
  // -1 when either has no NTFS volume or no engine is installed.
  int CloneVolumeTo(CMountedImage* target, const ClusterRun* skip, int bootMode,
                    DiskCopyProgressCallback callback, void* context);
  // Copies the EFI system partition of this image's disk onto target's
  // (the engine's result); -1 without NTFS volumes or an engine.
  int CopyEspTo(CMountedImage* target);
  // The disk-layout routines of the disk tools for copies of the NTFS
  // volume (installed with the clone engine); each wrapper gives 0 when
  // no NTFS volume is mounted or none is installed.
  struct DiskLayoutRoutines {
    bool (*readBootCode)(struct _ntfs_volume* vol, uint8_t* buffer8192);
    bool (*readMbrTemplate)(struct _ntfs_volume* vol, uint8_t* buffer512);
    int (*prepareGptCopy)(struct _ntfs_volume* vol, uint8_t* diskGuid, uint8_t* entries256);
    int (*getPartitionGuid)(struct _ntfs_volume* vol, uint8_t* guid);
  };
  static void SetDiskLayoutRoutines(const DiskLayoutRoutines& routines);
  bool ReadBootCode(uint8_t* buffer8192);
  bool ReadMbrTemplate(uint8_t* buffer512);
  int PrepareGptCopy(uint8_t* diskGuid, uint8_t* entries256);
  int GetPartitionGuid(uint8_t* guid);

  CMountedImage();
  ~CMountedImage();
  CMountedImage(const CMountedImage&) = delete;
  CMountedImage& operator=(const CMountedImage&) = delete;

  // Opens image (with its update chain) and the write-back file named after
  // secondPath (null: none), then mounts the NTFS, FAT or exFAT volume of
  // the partition (a number as PartitionTable.h says: 0, none named, takes
  // the first data partition that holds a volume, never the EFI system
  // partition, the MSR or a recovery partition); with partialNtfs, else an
  // NTFS volume as far as the check and the repair need
  // (MountNtfsPartially). Returns the base layer's type code (0..9), or -1.
  int OpenImage(const wchar_t* imagePath, const wchar_t* secondPath, int partition, int writeMode,
                bool partialNtfs = false);
  // OpenImage for a format: the partition named, else the disk's first data
  // partition, mounted when it holds a volume and left open without one
  // when it holds none (a data partition, or an EFI system partition
  // named: FormatVolume then writes the kind its type says). Where the
  // first data partition holds none while another holds the volume reads
  // would take, nothing is opened and a line names the disk's partitions:
  // kFormatTargetNotNamed. Else as OpenImage.
  enum { kFormatTargetNotNamed = -2 };
  int OpenFormatTarget(const wchar_t* imagePath, const wchar_t* secondPath, int partition,
                       int writeMode);
  // OpenImage for an object that has an image open: the files open now stay
  // held (other programs keep out of them) until the new open has opened
  // again those it opens, and the rest are let go only then. A window that
  // shows an image opens it anew this way.
  int ReopenImage(const wchar_t* imagePath, const wchar_t* secondPath, int partition,
                  int writeMode);
  // Mounts the NTFS volume of a host drive letter: read-only through a
  // shadow-copy snapshot where one can be taken (else locked and
  // dismounted), writable locked and dismounted. 0, or -1 with nothing
  // open. volume (owned from then on) replaces the system's host-volume
  // object, for tests.
  int OpenHostVolume(wchar_t letter, int writable, class CHostVolume* volume = nullptr);
  // Creates an image of megabytes MiB (own sparse format, or a header
  // with plain sectors), puts firstSector (512 bytes) at disk sector 0
  // when given, formats NTFS through the installed formatter (the last
  // five arguments are its own) and mounts it read-write: 1, or 0 with
  // nothing open.
  int CreateImage(const wchar_t* path, uint32_t megabytes, int plain, int bootChoice, uint8_t align,
                  const void* firstSector, const void* bootCode, const void* gptEntries);
  // Mounts NTFS over a layer set the caller keeps (write mode 1): 6, or -1
  // with nothing mounted and the caller's layers untouched.
  int MountDiskObject(_VROH_DISK_COMBO* layers);
  // Unmounts and mounts the NTFS volume again: 1, or 0 (nothing mounted).
  // `between`, when given, runs while the library holds nothing of the
  // volume (its result is the caller's), and the volume is mounted after it
  // also when none was. With `partial`, a volume the full mount refuses is
  // mounted as far as the check and the repair need (OpenImage's
  // partialNtfs).
  int RemountNtfs(const std::function<void()>& between = nullptr, bool partial = false);
  // Writes the hives back, unmounts, closes the device stack and host
  // handles. May be called at any time. Everything written to the image's
  // files since the open (or the last EndCommand) is one command: `keep`
  // keeps it whole, else (or when any of it did not reach the files) it is
  // rolled back, each file as it was before it. False when something
  // changed did not reach the image (a hive, the volume's unmount, the final
  // flush of the overlays) or keep was false: the command's changes are not
  // in the files then.
  bool Close(bool keep = true);
  // Ends one command of a session that goes on (a window's operation):
  // keep makes what the command wrote durable in the files and the next
  // write begins a new command; else, or when that fails, the command is
  // rolled back and the image opened again as it was before it. True when
  // kept. Hives the command changed must be unloaded first.
  bool EndCommand(bool keep);
  // Writes changed hives back and releases them (through the registry's
  // attachment). False when a changed hive could not be written back: its
  // changes are lost, and the operation that made them has failed. What
  // that save wrote before it failed (its logs, the volume's records) is
  // then the command's to take back: the next EndCommand or Close rolls the
  // command back whatever it is asked to keep.
  bool UnloadHives();

  // The write-back path for a second path: the characters after the last
  // '.' of its file name become "Fix" ("Fix" is appended without a '.').
  // out holds 360 characters.
  static void MakeWriteBackPath(const wchar_t* secondPath, wchar_t* out);

  // ---- File API (paths rooted at the volume; "\::{UEFI}\..." addresses
  // the EFI system partition of an NTFS disk). 1 / 0 with the last error.
  // The operations the tree copies walk are those of VolumeFiles, which
  // also gives IsWindowsExecutable.
  int GetPathType(const wchar_t* path) override;  // 0 missing, 1 file, 2 folder
  int GetFileInfo(const wchar_t* path, FILETIME* creation, FILETIME* lastWrite,
                  FILETIME* lastAccess, DWORD* attributes, uint64_t* size) override;
  // *attributes comes back with the previous value.
  int SetFileInfo(const wchar_t* path, const FILETIME* creation, const FILETIME* lastWrite,
                  const FILETIME* lastAccess, DWORD* attributes) override;
  // Bytes read (the count is cut at the end of the data); 0 on failure.
  uint64_t ReadFile(const wchar_t* path, void* buffer, uint64_t offset, uint64_t count) override;
  // Bytes written (the file grows as needed); 0 on failure.
  uint64_t WriteFile(const wchar_t* path, const void* buffer, uint64_t offset,
                     uint64_t count) override;
  // Creates a node by mode: 0x8000 file, 0x4000 folder, 0xA000 symbolic-link
  // node (target), 0x2000 device node.
  int CreatePath(const wchar_t* path, unsigned int mode, const wchar_t* target = nullptr) override;
  int CreateDirectory(const wchar_t* path);
  int CreateDirectoryTree(const wchar_t* path) override;
  int DeletePath(const wchar_t* path) override;
  int RenamePath(const wchar_t* oldPath, const wchar_t* newPath);
  int EnumDirectory(const wchar_t* path, VolumeEnumCallback callback, void* user) override;
  int EnumDirectoryChecked(const wchar_t* path, VolumeEnumCallback callback, void* user,
                           IndexBitmapFaults* faults) override;
  DWORD GetReparseTag(const wchar_t* path) override;
  int GetLinkTarget(const wchar_t* path, wchar_t* buffer, int length) override;
  int CreateLink(const wchar_t* path, const wchar_t* target, unsigned int createMode,
                 DWORD tag) override;
  // Free bytes of the side of path (none known for the EFI system partition).
  int RoomFor(const wchar_t* path, uint64_t size, uint64_t* missing) override;
  // The time as the side of path keeps it (the FAT volume's resolution).
  FILETIME KeptWriteTime(const wchar_t* path, const FILETIME& time) override;
  // The NTFS volume for a path on the NTFS side, else null.
  struct _ntfs_volume* NtfsVolumeFor(const wchar_t* path) override;
  // True when a write at path would touch a metafile of the NTFS volume:
  // the path names one of the system records 0 to 23 (the root aside,
  // which takes names) or lies in one, such as $Extend and everything in
  // it, whether the rest of the path exists or not and whatever its case
  // (image/ntfs/NtfsMetafiles.h). Ask before writing anything of a set
  // (a driver package's destination): the writers refuse a metafile
  // themselves, one file at a time, with ERROR_ACCESS_DENIED.
  bool IsMetafilePath(const wchar_t* path);
  // Tree copies between the host and the volume (image/copy/TreeCopy.h).
  int InjectHostPath(const wchar_t* hostPath, const wchar_t* volumePath, uint64_t* missing,
                     VolumeCopyCallback callback, void* user);
  int ExtractToHost(const wchar_t* volumePath, const wchar_t* hostPath, VolumeCopyCallback callback,
                    void* user);

  // ---- Volume information.
  int GetVolumeInfo(int selector, VolumeInfoRecord* record);
  int GetVolumeSpace(uint64_t* totalBytes, uint64_t* freeBytes);
  uint64_t GetVolumeSize();
  int FindWindowsDirectory(wchar_t* buffer, int length);
  int GetImagePath(wchar_t* buffer, int length);
  // Quick-formats the mounted volume in the partition it was opened on,
  // and nothing outside it, and mounts it again: NTFS (option: the
  // formatter's boot-code choice), FAT as the kind it is; a partition that
  // OpenFormatTarget left without a volume as its type says (FAT32 for an
  // EFI system partition and MBR types 0B and 0C, FAT12/16 for the other
  // FAT types, NTFS for the rest). 1, or 0 (read-only, no formatter, or
  // failure).
  int FormatVolume(int option);

  // ---- Offline registry and Windows identity (defined in src/registry).
  // Key paths are full paths beginning with a root such as
  // "HKEY_LOCAL_MACHINE\SYSTEM" or "HKEY_CURRENT_USER"; results are the
  // registry status codes of registry/RegTypes.h.
  int LoadHives(unsigned char flags);
  uint32_t RegCreateKey(const wchar_t* keyPath);
  uint32_t RegRenameKey(const wchar_t* keyPath, const wchar_t* newName);
  uint32_t RegDeleteKey(const wchar_t* keyPath);
  uint32_t RegSetValue(const wchar_t* keyPath, const wchar_t* name, const void* data,
                       uint32_t length, uint32_t type);
  uint32_t RegWriteValueData(const wchar_t* keyPath, const wchar_t* name, const void* data,
                             uint32_t length);
  uint32_t RegSetValueFromFile(const wchar_t* keyPath, const wchar_t* name,
                               const wchar_t* hostPath);
  uint32_t RegRenameValue(const wchar_t* keyPath, const wchar_t* oldName, const wchar_t* newName);
  uint32_t RegDeleteValue(const wchar_t* keyPath, const wchar_t* name);
  uint32_t RegQueryValue(const wchar_t* keyPath, const wchar_t* name, uint32_t* type,
                         RegValueBuf** data);
  int32_t RegGetSubkeyCount(const wchar_t* keyPath);
  uint32_t RegEnumSubkeys(const wchar_t* keyPath, void* buffer, uint32_t* size);
  uint32_t RegEnumValues(const wchar_t* keyPath, void* buffer, uint32_t* size);
  uint32_t ImportRegFile(const wchar_t* regPath);
  uint32_t ExportRegFile(const wchar_t* keyPath, uint32_t reserved, const wchar_t* regPath,
                         int append, int filter);
  uint32_t GetCurrentControlSet();
  uint32_t GetWindowsVersion();
  int GetWindowsBuildNumber();
  uint64_t GetFileVersion(const wchar_t* path);
  int GetFileSignerName(const wchar_t* path, wchar_t* buffer, int length);
  int GetFileCompanyName(const wchar_t* path, wchar_t* buffer, int length);
  int GetFileOriginalName(const wchar_t* path, wchar_t* buffer, int length);
  int GetFileSpecialBuild(const wchar_t* path, wchar_t* buffer, int length);

  // ---- State.
  _VROH_MOUNT_RW* DiskObject() const { return m_pDisk; }
  DiskIoBlock* IoBlock() const { return m_pIoBlock; }
  struct _ntfs_volume* NtfsVolume() const {
    return m_pNtfs;
  }
  CFatVolume* FatVolume() const { return m_pFat; }
  int PartitionIndex() const { return m_nPartition; }
  int WriteMode() const { return m_nWriteMode; }
  // The path OpenImage opened ("" for other opens).
  const std::wstring& ImagePath() const { return m_imagePath; }
  // True when the volume was mounted read-only (write mode 0, or a device
  // that cannot be written opened without a write-back file).
  bool IsReadOnly() const { return m_bReadOnly; }
  // Why a volume opened to write takes no writes, as the notice kind of the
  // line a command it refuses gives (image/stack/OverlayNotice.h):
  // VRO_NOTICE_WRITES_NEED_FIX for a dynamic VHD without a write-back file,
  // VRO_NOTICE_HIBERNATED for the NTFS volume of a hibernated Windows,
  // which is mounted read-only; 0 when it takes them or the open only reads.
  int WriteRefusal() const { return m_nWriteRefusal; }
  // Registry side: the hive map and the EFI partition volume of the BCD.
  ImageAttachment* m_pRegRootMap = nullptr;
  CFatVolume* m_pEspFat = nullptr;
  // Host-volume side: the drive, locked volume and snapshot of
  // OpenHostVolume, released by Close.
  class CHostVolume* m_pHostVolume = nullptr;

 private:
  enum Side { SIDE_NONE, SIDE_NTFS, SIDE_ESP, SIDE_FAT };
  Side SideOf(const wchar_t* path) const;
  unsigned long MountFlags() const;
  void BuildIoBlock();
  // The opens' first half: the chain, the device block, the write mode and
  // a partition number the disk has. The base type code, or -1 (closed,
  // named on a line); *notices: the lines given before.
  int OpenChain(const wchar_t* imagePath, const wchar_t* secondPath, int partition, int writeMode,
                bool partialNtfs, int* notices);
  // The partitions a number takes the volume from, in order (the default
  // rule's, PartitionTable.h); mounting the volume one holds (fully, or
  // partially for the check): true when mounted. *why: a FAT refusal's
  // cause, the first one met.
  std::vector<int> PartitionsToTry(int partition);
  bool MountPartition(int index, bool partial, std::wstring* why);
  int FormatEmptyPartition(int option);

  // The FAT half (MountedImageFat.cpp): the main FAT volume, the EFI system
  // partition mounted for one call, and the FAT side of the file API.
  // *refusal: why the disk was refused where more is known than that it
  // holds no volume (CFatVolume::MountRefusal), else empty.
  int MountFatMain(int partition, std::wstring* refusal);
  // A borrowing volume over the EFI system partition, or null with
  // ERROR_PATH_NOT_FOUND.
  CFatVolume* MountEspForCall();
  // Unmounts and frees a volume (the disk object stays); volume becomes
  // null. With keep its last changes are written first (false when they
  // did not reach the disk); without, they are dropped with the command.
  bool ReleaseFat(CFatVolume*& volume, bool keep = true);
  // The FAT volume of one call with the path it sees.
  class FatCall;
  friend class FatCall;
  int FatGetPathType(Side side, const wchar_t* path);
  int FatGetFileInfo(Side side, const wchar_t* path, FILETIME* creation, FILETIME* lastWrite,
                     FILETIME* lastAccess, DWORD* attributes, uint64_t* size);
  int FatSetFileInfo(Side side, const wchar_t* path, const FILETIME* creation,
                     const FILETIME* lastWrite, const FILETIME* lastAccess, DWORD* attributes);
  uint64_t FatReadFile(Side side, const wchar_t* path, void* buffer, uint64_t offset,
                       uint64_t count);
  uint64_t FatWriteFile(Side side, const wchar_t* path, const void* buffer, uint64_t offset,
                        uint64_t count);
  int FatCreatePath(Side side, const wchar_t* path, unsigned int mode);
  int FatDeletePath(Side side, const wchar_t* path);
  int FatRenamePath(Side side, const wchar_t* oldPath, const wchar_t* newPath);
  int FatEnumDirectory(Side side, const wchar_t* path, VolumeEnumCallback callback, void* user);
  int FatGetVolumeInfo(Side side, VolumeInfoRecord* record);
  int FatGetVolumeSpace(Side side, uint64_t* totalBytes, uint64_t* freeBytes);
  int FatRoomFor(Side side, const wchar_t* path, uint64_t size, uint64_t* missing);

  _VROH_MOUNT_RW* m_pDisk = nullptr;
  CFatVolume* m_pFat = nullptr;
  struct _ntfs_volume* m_pNtfs = nullptr;
  DiskIoBlock* m_pIoBlock = nullptr;
  int m_nPartition = 0;
  int m_nWriteMode = 0;
  std::wstring m_imagePath;
  std::wstring m_secondPath;  // as OpenImage was given it
  bool m_bPartialNtfs = false;
  bool m_bLent = false;
  bool m_bReadOnly = false;
  bool m_bHiveNotSaved = false;  // a write-back failed in the command under way
  int m_nWriteRefusal = 0;
};

// 64-bit count of the bad clusters recorded in $BadClus:$Bad.
uint64_t CountVolumeBadSectors(CMountedImage* image);
// 1 when disk sector 0 holds a protective MBR (first entry type 0xEE).
int HasProtectiveMbr(CMountedImage* image);
