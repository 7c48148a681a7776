// CMountedImage: open, mount and close.
#include "image/mount/MountedImage.h"
#include "image/ntfs/NtfsWin32Io.h"

#include <errno.h>
#include <string.h>
#include <wchar.h>
#include <winioctl.h>

#include <new>

#include "common/ConsoleOutput.h"
#include "common/PathUtil.h"
#include "image/device/DiskSectorSize.h"
#include "image/device/PartitionTable.h"
#include "image/mount/FatVolume.h"
#include "image/host/HostVolume.h"
#include "image/mount/ImageCapacity.h"
#include "image/device/HostWriteFailure.h"
#include "image/stack/KeptHandles.h"
#include "image/stack/MountRw.h"
#include "image/stack/OverlayNotice.h"
#include "image/ntfs/NtfsVolume.h"

namespace {

// Every layer's held-back writes, map blocks and header reach its file, and
// the files reach the disk: what the volume wrote before stays whatever
// comes after.
int SyncDiskObject(void* owner) {
  return owner && static_cast<_VROH_MOUNT_RW*>(owner)->Flush() < 0 ? -1 : 0;
}

// Base types whose back end drops writes: a physical drive, a host volume
// and a dynamic VHD.
bool BaseDropsWrites(int type) {
  return type == VRO_TYPE_PHYSICAL || type == VRO_TYPE_VOLUME || type == VRO_TYPE_VHD_DYNAMIC;
}

const wchar_t* FatKindName(int fileSystemType) {
  static const wchar_t* const kNames[] = {L"no volume", L"FAT12", L"FAT16", L"FAT32", L"exFAT"};
  return fileSystemType >= 0 && fileSystemType <= 4 ? kNames[fileSystemType] : L"FAT";
}

}  // namespace

CMountedImage::CMountedImage() = default;

CMountedImage::~CMountedImage() {
  UnloadHives();
  Close();
  delete m_pRegRootMap;
  m_pRegRootMap = nullptr;
}

bool CMountedImage::UnloadHives() {
  bool saved = m_pRegRootMap ? m_pRegRootMap->Release(this) : true;
  if (!saved) m_bHiveNotSaved = true;
  return saved;
}

void CMountedImage::MakeWriteBackPath(const wchar_t* secondPath, wchar_t* out) {
  out[0] = 0;
  if (!secondPath || !*secondPath) return;
  // Room for "Fix" after the cut path.
  wcsncpy(out, secondPath, kPathChars - 4);
  out[kPathChars - 4] = 0;
  wchar_t* name = out;
  for (wchar_t* p = out; *p; p++) {
    if (*p == L'\\' || *p == L'/') name = p + 1;
  }
  wchar_t* dot = wcsrchr(name, L'.');
  if (dot) dot[1] = 0;
  wcscat(out, L"Fix");
}

unsigned long CMountedImage::MountFlags() const {
  return NTFS_MOUNT_ACCEPT_DIRTY | (m_bReadOnly ? NTFS_MOUNT_READONLY : 0);
}

void CMountedImage::BuildIoBlock() {
  m_pIoBlock = new DiskIoBlock();
  m_pIoBlock->owner = m_pDisk;
  m_pIoBlock->second = INVALID_HANDLE_VALUE;
  m_pIoBlock->read = ReadDiskObjectBytes;
  m_pIoBlock->write = WriteDiskObjectBytes;
  m_pIoBlock->sync = SyncDiskObject;
  m_pIoBlock->bytes = m_pDisk->DiskBytes();
  m_pIoBlock->journal = m_pDisk;
  m_pIoBlock->command = DiskObjectCommand;
  m_pIoBlock->unkept = MarkDiskObjectUnkept;
}

int CMountedImage::OpenChain(const wchar_t* imagePath, const wchar_t* secondPath, int partition,
                             int writeMode, bool partialNtfs, int* notices) {
  Close();
  if (!imagePath || !*imagePath) return -1;
  // Every image that does not open is named on a line, once.
  *notices = VroOverlayNoticeCount();
  m_pDisk = new (std::nothrow) _VROH_MOUNT_RW();
  if (!m_pDisk) return -1;
  wchar_t fixPath[kPathChars];
  MakeWriteBackPath(secondPath, fixPath);
  int chain = m_pDisk->OpenChain(imagePath, fixPath[0] ? fixPath : nullptr, writeMode);
  if (chain < 0) {
    // A host that refused a file's write (a full disk under a new
    // write-back file) is the cause, and its line says so.
    if (!TellHostWriteFailure() && VroOverlayNoticeCount() == *notices)
      VroChainNotice(chain, imagePath, fixPath, writeMode);
    Close();
    return -1;
  }
  int type = m_pDisk->BaseType();
  BuildIoBlock();
  m_nWriteMode = writeMode;
  m_imagePath = imagePath;
  m_secondPath = secondPath ? secondPath : L"";
  m_bPartialNtfs = partialNtfs;
  // A device whose back end drops writes would take them silently: without
  // a write-back file its volume is browsed read-only.
  m_bReadOnly = writeMode == 0 || (BaseDropsWrites(type) && !m_pDisk->Layers()->Fix().IsOpen());
  if (writeMode != 0 && type == VRO_TYPE_VHD_DYNAMIC && m_bReadOnly)
    m_nWriteRefusal = VRO_NOTICE_WRITES_NEED_FIX;
  // A partition number the disk has no entry for (none below 0) opens
  // nothing: not the volume of another partition, nor the disk's FAT volume.
  const int index = PartitionIndexOf(partition);
  if (partition < 0 || (index > 0 && DiskHasPartition(m_pIoBlock, index) == 0)) {
    VroOverlayNoticeAbout(imagePath, VRO_NOTICE_NO_PARTITION, std::to_wstring(index).c_str());
    Close();
    return -1;
  }
  return type;
}

std::vector<int> CMountedImage::PartitionsToTry(int partition) {
  if (!IsDefaultPartition(partition)) return {PartitionIndexOf(partition)};
  DiskPartitions parts;
  if (!ReadDiskPartitions(m_pIoBlock, &parts) || parts.table == DiskPartitions::NONE ||
      parts.parts.empty())
    return {0};
  return parts.DefaultOrder();
}

bool CMountedImage::MountPartition(int index, bool partial, std::wstring* why) {
  if (partial) {
    m_pNtfs = MountNtfsPartially(m_pIoBlock, index, MountFlags());
  } else {
    // A FAT or exFAT boot sector at the partition's start is mounted as
    // such first: the NTFS mount would look for a backup through all of it.
    DiskPartitions parts;
    const DiskPartition* p = ReadDiskPartitions(m_pIoBlock, &parts) ? parts.At(index) : nullptr;
    uint8_t boot[512];
    const bool fatFirst =
        p && m_pIoBlock->read(m_pIoBlock->owner, p->first * parts.unit * 512, boot, 512) == 512 &&
        DeclaredVolumeSectorSize(boot) && memcmp(boot + 3, "NTFS    ", 8);
    std::wstring refusal;
    if (fatFirst && MountFatMain(index, &refusal) == 0) {
      m_nPartition = m_pFat->PartitionIndex();
      return true;
    }
    m_pNtfs = MountNtfsOnDisk(m_pIoBlock, index, MountFlags());
    // The library refuses to write the volume of a hibernated Windows, or
    // of one whose journal it left unclean (EPERM, EOPNOTSUPP): it is read
    // as it is, and every command that writes is refused with that cause.
    if (!m_pNtfs && !m_bReadOnly && (errno == EPERM || errno == EOPNOTSUPP)) {
      m_pNtfs = MountNtfsOnDisk(m_pIoBlock, index, MountFlags() | NTFS_MOUNT_READONLY);
      const int refusal = !m_pNtfs                               ? 0
                          : IsNtfsHibernated(m_pNtfs)            ? VRO_NOTICE_HIBERNATED
                          : IsNtfsJournalUnclean(m_pNtfs, false) ? VRO_NOTICE_UNCLEAN_SHUTDOWN
                                                                 : 0;
      if (refusal) {
        m_bReadOnly = true;
        m_nWriteRefusal = refusal;
      } else if (m_pNtfs) {
        UnmountNtfsVolume(m_pNtfs);
        m_pNtfs = nullptr;
      }
    }
    if (!m_pNtfs && !fatFirst && MountFatMain(index, &refusal) == 0) {
      m_nPartition = m_pFat->PartitionIndex();
      return true;
    }
    if (why->empty()) *why = refusal;
  }
  if (!m_pNtfs) return false;
  m_nPartition = GetMountedPartitionIndex(m_pNtfs);
  return true;
}

int CMountedImage::OpenImage(const wchar_t* imagePath, const wchar_t* secondPath, int partition,
                             int writeMode, bool partialNtfs) {
  int notices = 0;
  const int type = OpenChain(imagePath, secondPath, partition, writeMode, partialNtfs, &notices);
  if (type < 0) return -1;
  // Without a number, the first data partition that holds a volume (then
  // the first of another type that does); never the EFI system partition,
  // the MSR or a recovery partition.
  const std::vector<int> order = PartitionsToTry(partition);
  std::wstring why;
  for (bool partial : {false, true}) {
    if (partial && !partialNtfs) break;
    for (int index : order)
      if (MountPartition(index, partial, &why)) return type;
  }
  if (VroOverlayNoticeCount() == notices)
    VroOverlayNoticeAbout(imagePath, VRO_NOTICE_NO_VOLUME, why.c_str());
  Close();
  return -1;
}

int CMountedImage::OpenFormatTarget(const wchar_t* imagePath, const wchar_t* secondPath,
                                    int partition, int writeMode) {
  int notices = 0;
  const int type = OpenChain(imagePath, secondPath, partition, writeMode, false, &notices);
  if (type < 0) return -1;
  DiskPartitions parts;
  if (!ReadDiskPartitions(m_pIoBlock, &parts)) parts.parts.clear();
  const bool tableless = parts.table == DiskPartitions::NONE;
  // The partition formatted: the one named, else the first data
  // partition.
  const int target = IsDefaultPartition(partition) ? (tableless ? 0 : parts.FirstData())
                                                   : PartitionIndexOf(partition);
  std::wstring why;
  for (int index : PartitionsToTry(partition)) {
    if (MountPartition(index, false, &why)) {
      if (index == target) return type;
      // Another data partition holds the volume the reads take, while the
      // first holds none: which one the format is meant for is the user's
      // to say.
      std::wstring list;
      for (const DiskPartition& p : parts.parts) {
        if (p.role == PARTITION_CONTAINER) continue;
        list += (list.empty() ? L"::" : L"; ::") + std::to_wstring(p.index) + L" " +
                PartitionRoleName(p);
        if (p.index == index)
          list += std::wstring(L", ") + (m_pNtfs ? L"NTFS" : FatKindName(m_pFat->FileSystemType()));
        else if (p.index == target)
          list += L", no volume read";
      }
      WriteCommandLine(std::wstring(imagePath) +
                       L": a format that names no partition takes the "
                       L"first data partition, ::" +
                       std::to_wstring(target) +
                       L", which holds no volume this program reads, while ::" +
                       std::to_wstring(index) +
                       L" holds one: nothing formatted; name the partition to format with ::N "
                       L"behind the image (the disk's partitions: " +
                       list + L")\r\n");
      Close();
      return kFormatTargetNotNamed;
    }
  }
  // No volume: a data partition (or, named, an EFI system partition) is
  // formatted as its type says; any other holds nothing to format, nor
  // does a disk whose sector size cannot be told.
  const DiskPartition* p = parts.unitRule >= 0 ? parts.At(target) : nullptr;
  if (p &&
      (p->role == PARTITION_DATA || (p->role == PARTITION_ESP && !IsDefaultPartition(partition)))) {
    m_nPartition = target;
    return type;
  }
  if (VroOverlayNoticeCount() == notices)
    VroOverlayNoticeAbout(imagePath, VRO_NOTICE_NO_VOLUME, why.c_str());
  Close();
  return -1;
}

int CMountedImage::ReopenImage(const wchar_t* imagePath, const wchar_t* secondPath, int partition,
                               int writeMode) {
  CKeptLayerHandles kept(m_pDisk && !m_bLent ? m_pDisk->Layers() : nullptr);
  return OpenImage(imagePath, secondPath, partition, writeMode);
}

int CMountedImage::MountDiskObject(_VROH_DISK_COMBO* layers) {
  Close();
  if (!layers) return -1;
  m_pDisk = new (std::nothrow) _VROH_MOUNT_RW(layers);
  if (!m_pDisk) return -1;
  BuildIoBlock();
  m_nWriteMode = 1;
  m_bReadOnly = false;
  for (int index : PartitionsToTry(0)) {
    m_pNtfs = MountNtfsOnDisk(m_pIoBlock, index, NTFS_MOUNT_ACCEPT_DIRTY);
    if (m_pNtfs) break;
  }
  if (!m_pNtfs) {
    // The layers are the caller's: only what was made here goes.
    Close();
    return -1;
  }
  m_nPartition = GetMountedPartitionIndex(m_pNtfs);
  m_bLent = true;
  return VRO_TYPE_SPARSE;
}

int CMountedImage::RemountNtfs(const std::function<void()>& between, bool partial) {
  if ((!m_pNtfs && !between) || !m_pIoBlock) return 0;
  if (m_pNtfs) UnmountNtfsVolume(m_pNtfs);
  m_pNtfs = nullptr;
  if (between) between();
  if (m_pDisk) m_pIoBlock->bytes = m_pDisk->DiskBytes();
  m_pNtfs = MountNtfsOnDisk(m_pIoBlock, m_nPartition, MountFlags());
  if (!m_pNtfs && partial) m_pNtfs = MountNtfsPartially(m_pIoBlock, m_nPartition, MountFlags());
  if (!m_pNtfs) return 0;
  m_nPartition = GetMountedPartitionIndex(m_pNtfs);
  return 1;
}

bool CMountedImage::Close(bool keep) {
  // Hives and FAT volume objects live on the mounted volume: they are
  // written back and released before it goes.
  bool ok = UnloadHives() && !m_bHiveNotSaved;
  m_bHiveNotSaved = false;
  if (!ReleaseFat(m_pEspFat, keep)) ok = false;
  if (!ReleaseFat(m_pFat, keep)) ok = false;
  if (m_pNtfs) {
    if (UnmountNtfsVolume(m_pNtfs) != 0) ok = false;
    m_pNtfs = nullptr;
  }
  if (m_pDisk) {
    if (m_bLent) {
      // A lent layer set is flushed and left to its owner.
      if (m_pDisk->Flush() < 0) ok = false;
    } else if (!keep || !ok || m_pDisk->Flush() < 0 || m_pDisk->EndCommand(true) < 0) {
      // A command that failed, or could not write all it did, is taken
      // back whole.
      m_pDisk->EndCommand(false);
      ok = false;
    }
    if (m_pDisk->CloseLayers() < 0) ok = false;
    delete m_pDisk;
    m_pDisk = nullptr;
  }
  delete m_pIoBlock;
  m_pIoBlock = nullptr;
  m_imagePath.clear();
  m_secondPath.clear();
  // The volume is unlocked and the snapshot deleted only after the
  // library let go of the drive.
  delete m_pHostVolume;
  m_pHostVolume = nullptr;
  m_nPartition = 0;
  m_nWriteMode = 0;
  m_bLent = false;
  m_bReadOnly = false;
  m_nWriteRefusal = 0;
  m_bPartialNtfs = false;
  return ok;
}

bool CMountedImage::EndCommand(bool keep) {
  // A refusal of the volume's device is the command's own, and so is what
  // the FAT volume knows of the folders it searched.
  NtfsNoteDeviceRefusal(0);
  if (m_pFat) m_pFat->ForgetFolders();
  // A hive save that failed wrote on the volume outside any file's own
  // undo: the command is taken back whole.
  if (m_bHiveNotSaved) keep = false;
  m_bHiveNotSaved = false;
  if (!m_pDisk || m_bLent || m_bReadOnly || m_imagePath.empty()) return keep;
  // Nothing written, nothing to keep or take back.
  if (!m_pDisk->Layers()->WritesStopped() && !m_pDisk->HasUncommittedWrites()) return keep;
  // The files stay held until the end: should the command be taken back,
  // no other program gets in between the roll back and the open after it.
  CKeptLayerHandles kept(m_pDisk->Layers());
  // A commit that fails takes the command back and closes the layers: what
  // they were is known before.
  std::wstring update =
      m_pDisk->Layers()->Update().IsOpen() ? m_pDisk->Layers()->Update().Path() : std::wstring();
  // The volume lets go of everything it holds back, so the files hold the
  // whole command before it is kept.
  bool ok = keep;
  if (ok && m_pFat) ok = m_pFat->Flush();
  if (ok && m_pNtfs && !RemountNtfs()) ok = false;
  if (ok && m_pDisk->Flush() >= 0 && m_pDisk->EndCommand(true) == 0) return true;
  // Taken back: the image is opened again on its files as they were,
  // through the update file the session wrote to while that file is there
  // (a base opened anew would start another one).
  std::wstring image = m_imagePath, second = m_secondPath;
  int partition = m_nPartition, mode = m_nWriteMode;
  bool partial = m_bPartialNtfs;
  if (m_pRegRootMap) m_pRegRootMap->Release(this);
  if (m_pNtfs) UnmountNtfsVolume(m_pNtfs);
  m_pNtfs = nullptr;
  m_pDisk->EndCommand(false);
  Close(false);
  if (!update.empty() && GetFileAttributesW(update.c_str()) != INVALID_FILE_ATTRIBUTES)
    image = update;
  OpenImage(image.c_str(), second.empty() ? nullptr : second.c_str(), partition | kPartitionNamed,
            mode, partial);
  return false;
}
