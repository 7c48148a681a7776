// The backup/convert and clone engines.
#include "disktools/copy/VolumeCopy.h"

#include <windows.h>
#include <objbase.h>
#include <string.h>

#include <string>
#include <vector>

#include "common/ByteOrder.h"
#include "common/ConsoleOutput.h"
#include "common/ReplacedFile.h"
#include "image/device/HostWriteFailure.h"
#include "image/device/MbrTemplate.h"
#include "image/stack/OverlayNotice.h"
#include "disktools/bootrepair/BcdRetarget.h"
#include "disktools/bootrepair/MountedDevices.h"
#include "disktools/clone/DiskLayout.h"
#include "disktools/clone/GptLayout.h"
#include "disktools/clone/NtfsClone.h"
#include "disktools/clone/NtfsCloneInstall.h"
#include "disktools/copy/NewImageTarget.h"
#include "disktools/bootrepair/EfiBootFiles.h"
#include "disktools/partition/GptTables.h"
#include "disktools/partition/PartitionResize.h"
#include "image/mount/MountedImage.h"
#include "image/ntfs/NtfsFormatSupport.h"
#include "image/ntfs/NtfsResize.h"
#include "image/ntfs/NtfsVolume.h"
#include "image/stack/MountRw.h"
#include "registry/RegistryFacade.h"

namespace {

const uint32_t kSector = 512;
const uint32_t kMbrDiskGuidSlot = 462;
const uint32_t kMbrFirstEntryStart = 454;
const uint32_t kEntryBytes = 128;
const uint64_t kNewEspFirstLba = 2048;
const uint64_t kNewEspLastLba = 204799;
const int kBootChoiceOwn = 1;

uint32_t ImageMegabytes(uint64_t bytes) {
  return uint32_t((bytes >> 20) + 1);
}

// The files whose clusters a copy leaves out: their content is rebuilt by
// Windows at its next start.
const wchar_t* const kSkippedFiles[] = {L"\\pagefile.sys", L"\\Hiberfil.sys", L"\\swapfile.sys",
                                        L"\\windows\\bootstat.dat"};

std::vector<ClusterRun> BuildSkipList(CMountedImage* source, const ClusterRun* extra) {
  std::vector<ClusterRun> list, runs;
  for (const wchar_t* file : kSkippedFiles) {
    CollectFileClusterRuns(source, file, &runs);
    list.insert(list.end(), runs.begin(), runs.end());
  }
  for (const ClusterRun* r = extra; r && r->length; ++r) list.push_back(*r);
  list.push_back(ClusterRun{0, 0, 0});
  return list;
}

void NewGuid(uint8_t* out) {
  GUID g;
  if (CoCreateGuid(&g) != S_OK) memset(&g, 0, sizeof g);
  memcpy(out, &g, 16);
}

// "Name" as the 72-byte UTF-16 name field of a GPT entry.
void PutEntryName(uint8_t* entry, const wchar_t* name) {
  for (int i = 0; name[i] && i < 36; ++i) St16(entry + 56 + 2 * i, uint16_t(name[i]));
}

void FillNewEsp(uint8_t* entry) {
  memset(entry, 0, kEntryBytes);
  memcpy(entry, kEfiSystemPartitionType, 16);
  NewGuid(entry + 16);
  St64(entry + 32, kNewEspFirstLba);
  St64(entry + 40, kNewEspLastLba);
  PutEntryName(entry, L"EFI system partition");
}

// The sectors of the new data partition: the volume and, behind it, the
// sector of the volume's size that holds its backup boot sector, as Windows
// lays NTFS out. A source partition longer than its volume is not copied
// longer (the disk need not hold what the volume does not use).
uint64_t DataPartitionSectors(const NtfsVolumeFigures& f) {
  uint64_t tail = f.sectorSize > kSector ? f.sectorSize : kSector;
  return (f.sectorSize * f.totalSectors + tail + kSector - 1) / kSector;
}

// The layout of the new image: its first sector, the GPT entry pair and the
// size, worked out from the source's disk; every partition lies inside it.
struct NewImageLayout {
  uint8_t mbr[kSector];
  uint8_t bootCode[kBootCodeBytes];
  uint8_t entries[kGptEntryPairBytes];
  bool gpt = false;
  bool freshBootFiles = false;
  uint64_t imageBytes = 0;
  uint64_t volumeFirst = 0;  // the sector the volume begins at

  uint8_t* Esp() { return entries; }
  uint8_t* Data() { return entries + kEntryBytes; }
};

bool PlanNewImage(CMountedImage* source, bool wantGpt, NewImageLayout* l) {
  memset(l->mbr, 0, sizeof l->mbr);
  memset(l->bootCode, 0, sizeof l->bootCode);
  memset(l->entries, 0, sizeof l->entries);
  NtfsVolumeFigures figures;
  if (GetNtfsVolumeFigures(source->NtfsVolume(), &figures, false) < 0 || !figures.totalSectors)
    return false;
  const uint64_t total = figures.sectorSize * figures.totalSectors;
  const uint64_t sectors = DataPartitionSectors(figures);
  if (!source->ReadMbrTemplate(l->mbr) || !source->ReadBootCode(l->bootCode)) return false;
  uint8_t diskGuid[16] = {};
  l->gpt = source->PrepareGptCopy(diskGuid, l->entries) == 1;
  if (l->gpt) {
    BuildProtectiveMbr(l->mbr);
    memcpy(l->mbr + kMbrDiskGuidSlot, diskGuid, 16);
    if (memcmp(l->Esp(), kEfiSystemPartitionType, 16) != 0) {
      FillNewEsp(l->Esp());
      l->freshBootFiles = true;
    } else {
      // The partition keeps its length and starts at LBA 2048.
      uint64_t first = Ld64(l->Esp() + 32), last = Ld64(l->Esp() + 40);
      St64(l->Esp() + 32, kNewEspFirstLba);
      St64(l->Esp() + 40, last - first + kNewEspFirstLba);
    }
  } else if (wantGpt) {
    l->gpt = l->freshBootFiles = true;
    BuildProtectiveMbr(l->mbr);
    NewGuid(l->mbr + kMbrDiskGuidSlot);
    FillNewEsp(l->Esp());
    memset(l->Data(), 0, kEntryBytes);
    memcpy(l->Data(), kBasicDataType, 16);
    NewGuid(l->Data() + 16);
    PutEntryName(l->Data(), L"Basic data partition");
  }
  if (!l->gpt) {
    // Where the volume lies on the source's disk: the partition its mount
    // found.
    unsigned long long at = 0, length = 0;
    int used = 0;
    if (LocateNtfsPartition(source->IoBlock(), source->PartitionIndex(), &at, &length, &used) < 0)
      return false;
    // A volume alone on its disk stays so: its boot sector (as the volume
    // reads it, from its backup where it was lost) is the first sector,
    // whatever its code holds where a table would lie.
    if (at == 0) {
      l->imageBytes = sectors * kSector;
      return ReadNtfsDeviceAt(source->NtfsVolume(), 0, l->mbr, kSector) == kSector;
    }
    // Its entry becomes the first and only one: the volume keeps its first
    // sector, and its partition ends with the sector that holds its backup
    // boot sector.
    uint8_t sector0[kSector];
    DiskIoBlock* disk = source->IoBlock();
    const uint64_t start = at / kSector;
    if (used < 0 || used > 3 || start + sectors > 0xFFFFFFFFull ||
        disk->read(disk->owner, 0, sector0, kSector) != int(kSector))
      return false;
    uint8_t* entry = l->mbr + VRO_MBR_ENTRY_OFFSET;
    memcpy(entry, sector0 + VRO_MBR_ENTRY_OFFSET + 16 * used, 16);
    St32(entry + 8, (uint32_t)start);
    LbaToChs(entry + 1, start);
    SetMbrEntryLength(entry, (uint32_t)sectors);
    l->volumeFirst = start;
    l->imageBytes = (start + sectors) * kSector;
    return true;
  }
  uint64_t espFirst = Ld64(l->Esp() + 32), espLast = Ld64(l->Esp() + 40);
  uint64_t dataFirst = espLast + 1;
  uint64_t dataLast = dataFirst + sectors - 1;
  l->imageBytes = total + (espLast - espFirst + 6146) * kSector;
  for (uint64_t last : {espLast, dataLast + kGptTailSectors - 1})
    if ((last + 1) * kSector > l->imageBytes) l->imageBytes = (last + 1) * kSector;
  St64(l->Data() + 32, dataFirst);
  St64(l->Data() + 40, dataLast);
  l->volumeFirst = dataFirst;
  return true;
}

// The version word of the Windows on a volume (0 when there is none).
uint32_t ReadWindowsVersion(CMountedImage* source) {
  if (!source->LoadHives(HIVE_FLAG_SYSTEM | HIVE_FLAG_SOFTWARE)) return 0;
  uint32_t version = source->GetWindowsVersion();
  source->UnloadHives();
  return version;
}

// Steps 10 to 12 of a copy into a new image, on the remounted target.
bool FinishNewImage(CMountedImage* source, CMountedImage* target, NewImageLayout& l) {
  if (!target->RemountNtfs()) return false;  // a copy that does not mount is no copy
  // The boot sector names the new partition's first sector as its hidden
  // sectors (the source's may lie elsewhere), and so does the backup boot
  // sector in the partition's last sector, over the source's copy that the
  // clone brought along.
  uint8_t boot[kSector];
  uint64_t first = l.volumeFirst;
  ntfs_volume* vol = target->NtfsVolume();
  if (ReadNtfsDeviceAt(vol, 0, boot, kSector) != kSector) return false;
  if (Ld32(boot + 28) != first) {
    St32(boot + 28, (uint32_t)first);
    if (WriteNtfsDeviceAt(vol, 0, boot, kSector) != kSector) return false;
  }
  if (SyncBackupBootSector(vol)) return false;
  if (l.gpt) {
    EfiBootTarget t;
    memcpy(t.diskGuid, l.mbr + kMbrDiskGuidSlot, 16);
    memcpy(t.dataPartitionGuid, l.Data() + 16, 16);
    memcpy(t.espGuid, l.Esp() + 16, 16);
    t.espFirstLba = Ld64(l.Esp() + 32);
    t.espSectors = Ld64(l.Esp() + 40) - t.espFirstLba + 1;
    uint32_t version = ReadWindowsVersion(source);
    if (l.freshBootFiles) {
      // The new EFI system partition is part of the image asked for: one
      // that could not be formatted or given its store fails the copy.
      if (!UpdateEfiBootConfiguration(target, EFI_BOOT_BUILD, source, version, t)) return false;
    } else {
      source->CopyEspTo(target);
      UpdateEfiBootConfiguration(target, EFI_BOOT_RETARGET, nullptr, version, t);
    }
  }
  SetMountedDevicesSystemDrive(target, l.gpt ? 1 : 0, l.Data() + 16);
  return true;
}

// The GPT identities of the disk under a mounted volume as they stand: the
// disk GUID, the volume's own partition GUID and the EFI system partition.
// The boot store of a clone must name these, not new ones: the target's
// partition table is not rewritten. False on an MBR disk or without an
// EFI system partition.
bool ReadDiskGptIdentity(CMountedImage* image, EfiBootTarget* t) {
  DiskIoBlock* disk = image->IoBlock();
  GptArray gpt;
  uint8_t mbr[kSector], header[kSector], entry[kEntryBytes];
  if (!disk || !ReadGptArray(disk, &gpt) || image->GetPartitionGuid(t->dataPartitionGuid) != 1)
    return false;
  if (disk->read(disk->owner, 0, mbr, kSector) != int(kSector) ||
      disk->read(disk->owner, uint64_t(Ld32(mbr + 454)) * gpt.sectorBytes, header, kSector) !=
          int(kSector))
    return false;
  memcpy(t->diskGuid, header + 56, 16);
  for (uint32_t i = 0; i < gpt.count; ++i) {
    if (!ReadGptEntry(disk, gpt, i, entry)) return false;
    if (memcmp(entry, kEfiSystemPartitionType, 16) != 0) continue;
    memcpy(t->espGuid, entry + 16, 16);
    t->espFirstLba = Ld64(entry + 32);
    t->espSectors = Ld64(entry + 40) - t->espFirstLba + 1;
    return true;
  }
  return false;
}

// The line of a source whose volume the copy cannot take: only NTFS is
// copied, and of a disk with an MBR only the volume its first partition
// (or, without a table, the whole disk) holds.
void TellSourceNotNtfs(CMountedImage* source) {
  std::wstring why = L"the volume is FAT or exFAT, not NTFS";
  uint8_t mbr[kSector];
  DiskIoBlock* disk = source->IoBlock();
  if (disk && disk->read(disk->owner, 0, mbr, kSector) == int(kSector) && mbr[510] == 0x55 &&
      mbr[511] == 0xAA && mbr[kMbrFirstEntryStart - 8 + 4] != 0xEE) {
    for (int i = 1; i < 4; i++)
      if (mbr[kMbrFirstEntryStart - 8 + 16 * i + 4] == 0x07) {
        why = L"its first partition holds FAT or exFAT, and NTFS lies only in partition " +
              std::to_wstring(i) + L" (of an MBR disk, the volume of the first partition is "
                                       L"copied)";
        break;
      }
  }
  WriteCommandLine((source->ImagePath().empty() ? std::wstring(L"The source") : source->ImagePath()) +
                   L": " + why + L": only an NTFS volume is copied into a new image: nothing "
                                 L"copied\r\n");
}

// A source whose journal ($LogFile) Windows left unclean is copied with it,
// and its copy then takes no writes, as the source would not: the steps
// that let the copy start from its new disk could not run. True, with the
// line naming the cause, for such a source: nothing is made or written.
bool RefusesUncleanSource(CMountedImage* source, const std::wstring& from, const wchar_t* nothing) {
  if (!IsNtfsJournalUnclean(source->NtfsVolume(), true)) return false;
  WriteFrontEndLine(from +
                    L": Windows on its volume did not shut down cleanly (its journal, $LogFile, "
                    L"holds changes not yet written to the volume, or metadata Windows keeps in "
                    L"its cache for Fast Startup), so its copy would take none of the writes that "
                    L"let it start from its new disk; start that Windows and shut it down fully "
                    L"(shutdown /s /t 0, or Shift with Shut down), or have chkdsk repair the "
                    L"volume, then copy it: " +
                    nothing + L"\r\n");
  return true;
}

// The caller's progress callback, and whether it asked the copy to stop.
struct WatchedProgress {
  DiskCopyProgressCallback callback;
  void* context;
  bool stopped = false;

  static int __stdcall Report(uint32_t done, uint32_t total, void* self) {
    WatchedProgress* w = static_cast<WatchedProgress*>(self);
    if (!w->callback || w->callback(done, total, w->context)) return 1;
    w->stopped = true;
    return 0;
  }
};

// What the lines call a mounted image: the name given, else its image path,
// else `role`.
std::wstring NameOf(CMountedImage* image, const wchar_t* given, const wchar_t* role) {
  if (given && *given) return given;
  return image && !image->ImagePath().empty() ? image->ImagePath() : std::wstring(role);
}

// The cause of a copy that failed, unless it was stopped: a host write that
// failed (a full host disk) first; else, when nothing the copy ran gave a
// line since `linesBefore`, the failed step's own line.
void TellCopyFailure(bool stopped, size_t linesBefore, const std::wstring& step) {
  if (stopped || !FrontEndShowsLines() || TellHostWriteFailure()) return;
  if (FrontEndLinesKept() == linesBefore) WriteFrontEndLine(step + L"\r\n");
}

}  // namespace

int CopyResultOfTarget(int target) {
  return target == NEW_IMAGE_TARGET_OK     ? VOLUME_COPY_DONE
         : target == NEW_IMAGE_TARGET_HELD ? VOLUME_COPY_TARGET_REFUSED
                                           : VOLUME_COPY_FAILED;
}

int CopyVolumeToNewImage(CMountedImage* source, const wchar_t* path, int raw, int gpt,
                         const ClusterRun* extraSkip, DiskCopyProgressCallback callback,
                         void* context, const wchar_t* sourceName) {
  if (!source || !path || !*path) return VOLUME_COPY_FAILED;
  if (!source->NtfsVolume()) {
    TellSourceNotNtfs(source);
    return VOLUME_COPY_FAILED;
  }
  // A host write that failed before belongs to what ran then.
  TakeHostWriteFailure(nullptr, nullptr);
  const std::wstring from = NameOf(source, sourceName, L"The source volume"), to(path);
  if (RefusesUncleanSource(source, from, L"nothing copied")) return VOLUME_COPY_REFUSED;
  const size_t lines = FrontEndLinesKept();
  InstallNtfsCloneEngine();
  std::vector<ClusterRun> skip = BuildSkipList(source, extraSkip);
  NewImageLayout* layout = new NewImageLayout();
  if (!PlanNewImage(source, gpt != 0, layout)) {
    delete layout;
    TellCopyFailure(false, lines,
                    from +
                        L": the size of its volume or its first sectors (partition table, "
                        L"boot code) cannot be read: nothing copied");
    return VOLUME_COPY_FAILED;
  }
  int taken = CheckNewImageTarget(path);
  if (taken != NEW_IMAGE_TARGET_OK) {
    delete layout;
    return CopyResultOfTarget(taken);
  }
  WatchedProgress progress = {callback, context};
  ReplacedFile made(path, VroNoticeLeftoverRemoved);
  DWORD madeError = made.IsReady() ? 0 : GetLastError();
  const wchar_t* step = L"the new image could not be made beside it";
  CMountedImage* target =
      made.IsReady() ? CreateImageFileMount(made.Path(), ImageMegabytes(layout->imageBytes), raw,
                                            kBootChoiceOwn, 0, layout->mbr, layout->bootCode,
                                            layout->gpt ? layout->entries : nullptr)
                     : nullptr;
  int result = VOLUME_COPY_FAILED;
  // The image is created in whole steps of its format, larger than asked:
  // the backup GPT, which the formatter puts behind the last partition,
  // moves to the disk's last sectors as GPT requires.
  if (target) step = L"the new image's backup partition table could not be put at its end";
  if (target &&
      (!layout->gpt ||
       MoveGptBackupToDiskEnd(target->IoBlock(), target->DiskObject()->DiskBytes() / kSector))) {
    step = L"the volume could not be copied into the new image";
    if (source->CloneVolumeTo(target, skip.data(), NTFS_CLONE_BOOT_AS_IS, WatchedProgress::Report,
                              &progress) > 0) {
      step =
          L"the copied volume does not mount, or its boot sectors or EFI system partition "
          L"could not be written";
      if (FinishNewImage(source, target, *layout)) result = VOLUME_COPY_DONE;
    }
  }
  if (target && !target->Close() && result == VOLUME_COPY_DONE) {
    result = VOLUME_COPY_FAILED;
    step = L"the new image could not be written whole";
  }
  DestroyImageMount(target);
  delete layout;
  // A failed or cancelled copy leaves the old image as it was (the
  // temporary one goes with `made`); a write the host refused is named as
  // the image asked for, never as its temporary.
  if (result == VOLUME_COPY_DONE) return CopyResultOfTarget(CommitNewImage(made, path));
  NoteTargetWriteFailure(path, madeError);
  TellCopyFailure(progress.stopped, lines,
                  to + L": " + step + L" (the copy of " + from +
                      L"): nothing copied, the file there is as it was");
  return result;
}

int CloneVolumeToDisk(CMountedImage* source, CMountedImage* target, const ClusterRun* extraSkip,
                      DiskCopyProgressCallback callback, void* context, const wchar_t* sourceName,
                      const wchar_t* targetName) {
  if (!source || !target) return VOLUME_COPY_FAILED;
  TakeHostWriteFailure(nullptr, nullptr);  // one that failed before belongs to what ran then
  const std::wstring from = NameOf(source, sourceName, L"The source volume");
  const std::wstring onto = NameOf(target, targetName, L"The target volume");
  const size_t lines = FrontEndLinesKept();
  WatchedProgress progress = {callback, context};
  auto fail = [&](const std::wstring& line) {
    TellCopyFailure(progress.stopped, lines, line);
    return VOLUME_COPY_FAILED;
  };
  for (CMountedImage* m : {source, target})
    if (!m->NtfsVolume())
      return fail((m == source ? from : onto) +
                  L": the volume is not NTFS: only an NTFS volume is cloned: nothing cloned");
  if (RefusesUncleanSource(source, from, L"nothing cloned")) return VOLUME_COPY_REFUSED;
  InstallNtfsCloneEngine();
  uint64_t sourceTotal = 0, targetTotal = 0;
  if (!source->GetVolumeSpace(&sourceTotal, nullptr) ||
      !target->GetVolumeSpace(&targetTotal, nullptr))
    return fail(onto + L": the size of its volume or of " + from +
                L"'s cannot be read: nothing cloned");
  if (targetTotal < sourceTotal)
    return fail(onto + L": its volume (" + std::to_wstring(targetTotal >> 20) +
                L" MiB) is smaller than that of " + from + L" (" +
                std::to_wstring(sourceTotal >> 20) + L" MiB): nothing cloned");
  std::vector<ClusterRun> skip = BuildSkipList(source, extraSkip);
  uint64_t targetSize = target->GetVolumeSize();
  if (source->CloneVolumeTo(target, skip.data(), NTFS_CLONE_KEEP_TARGET_HIDDEN,
                            WatchedProgress::Report, &progress) <= 0)
    return fail(onto + L": the volume of " + from +
                L" could not be copied onto it (a read or a write did not complete)");
  if (!target->RemountNtfs()) return fail(onto + L": the volume copied onto it does not mount");
  if (target->GetVolumeSize() < targetSize) ResizeNtfsFileSystem(target, targetSize);
  EfiBootTarget t;
  if (ReadDiskGptIdentity(target, &t))
    UpdateEfiBootConfiguration(target, EFI_BOOT_RETARGET, nullptr, ReadWindowsVersion(target), t);
  else if (!HasProtectiveMbr(target))
    RetargetBcdDevices(target);
  uint8_t guid[16] = {};
  int isGpt = target->GetPartitionGuid(guid) == 1 ? 1 : 0;
  SetMountedDevicesSystemDrive(target, isGpt, guid);
  return VOLUME_COPY_DONE;
}
