// The image operations: one temporary mounted image per call, with the crash
// filter in force for the call.
#include "app/ImageOperations.h"

#include "app/ConsoleProgress.h"
#include "app/HostEntry.h"

#include <shellapi.h>
#include <stdint.h>
#include <wchar.h>

#include <new>
#include <string>

#include "common/ConsoleOutput.h"
#include "common/CrashDump.h"
#include "disktools/NtfsFormatterInstall.h"
#include "disktools/copy/NewImageTarget.h"
#include "disktools/ntfscheck/NtfsCheck.h"
#include "disktools/partition/PartitionResize.h"
#include "common/PathUtil.h"
#include "common/ReplacedFile.h"
#include "image/device/HostWriteFailure.h"
#include "image/device/PartitionTable.h"
#include "image/formats/sparse/ImageHeader.h"
#include "image/stack/ImageMerge.h"
#include "image/stack/LeftFiles.h"
#include "image/mount/MountedImage.h"
#include "image/stack/MountRw.h"
#include "image/stack/OverlayNotice.h"
#include "infinstall/InfInstaller.h"
#include "infinstall/driverpack/DriverPackInjection.h"
#include "registry/RegistryFacade.h"

const ImageOperationTable kImageOperations = {
    ImageExtractFileW,      ImageInjectFileW,     ImageExportRegistryW,  ImageImportRegistryW,
    ImageImportFileValueW,  ImageMergeUpdateW,    ImageCreateDiskW,      ImageFormatPartitionW,
    ImageSetPartitionSizeW, ImageCheckPartitionW, ImageRepairPartitionW, ImageAddAdapterW,
    ConsoleBackupVolume,    ConsoleCloneVolume,   ConsoleConvertImage,
};

namespace {

const int kReadOnlyOpen = 0;

// When a command's writes stay: only when it succeeded, by default (a
// command that fails leaves every file it wrote as it was before it).
enum KeepRule { kKeepOnSuccess, kKeepAlways, kKeepUnlessNegative };

bool Keeps(KeepRule rule, int result) {
  return rule == kKeepAlways || result == kImageOk || (rule == kKeepUnlessNegative && result > 0);
}

// What the operation opens: the volume, also as far as the check and the
// repair need one the full mount refuses, or the partition a format writes.
enum OpenFor { kOpenVolume, kOpenPartialNtfs, kOpenFormatTarget };

// The common frame: filter, temporary mounted image, open, the operation's
// steps, close, release. `steps` maps the opened image to a result code. The
// close writes what the operation left (the volume's unmount, the overlays'
// maps, headers and pending writes) and keeps the command's writes by
// `keep`, else takes them back: when a close that keeps fails, a
// successful operation becomes `closeFailed`, its own failure code.
template <class Steps>
int RunOnImage(LPCWSTR imagePath, LPCWSTR fixPath, int partition, int openMode, Steps steps,
               int closeFailed = kImageOperationFailed, OpenFor open = kOpenVolume,
               KeepRule keep = kKeepOnSuccess) {
  CrashDumpFilterScope filter;  // for the call; the host's own comes back
  VroLeftFilesCommandRound round;  // a file the steps open again is named once
  CMountedImage* image = new (std::nothrow) CMountedImage();
  if (!image) return kImageNoMemory;
  int result = kImageNotOpened;
  const wchar_t* second = fixPath && *fixPath ? fixPath : nullptr;
  int opened = -1;
  if (imagePath && *imagePath)
    opened =
        open == kOpenFormatTarget
            ? image->OpenFormatTarget(imagePath, second, partition, openMode)
            : image->OpenImage(imagePath, second, partition, openMode, open == kOpenPartialNtfs);
  if (opened == CMountedImage::kFormatTargetNotNamed) result = kImageBadArgument;
  if (opened >= 0) {
    result = steps(*image);
    bool kept = Keeps(keep, result);
    if (!image->Close(kept) && kept && result >= kImageOk) result = closeFailed;
  }
  delete image;
  return result;
}

// The first step of a command that writes the volume: true, with a line
// naming why, when the volume was opened to write but takes no writes (a
// dynamic VHD without its write-back file, a hibernated Windows); the
// command is then refused with its failure code, nothing written.
bool RefusesWrites(CMountedImage& image) {
  if (!image.WriteRefusal()) return false;
  VroOverlayNotice(image.ImagePath().c_str(), image.WriteRefusal());
  return true;
}

// The line of a registry command that failed for a cause the facade names:
// "SUBJECT: CAUSE: nothing DONE" (the subject may be empty: the cause names
// its key or hive).
void RegistryFailureLine(CMountedImage& image, const std::wstring& subject, const wchar_t* done) {
  std::wstring cause = RegistryFailure(&image);
  if (cause.empty()) return;
  // A host disk that refused a write is the first cause: its line goes
  // before the registry's.
  TellHostWriteFailure();
  WriteCommandLine((subject.empty() ? L"" : subject + L": ") + cause + L": nothing " + done +
                   L"\r\n");
}

// Runs a registry change on the hives of the flags (the change may load
// more: AddHives) and writes them back; a change or a write-back that fails
// gives -16, a write-back with a line naming the subject and the hives.
template <class Change>
int ChangeRegistry(CMountedImage& image, unsigned char hives, const wchar_t* subject,
                   Change change) {
  if (!image.LoadHives(hives)) return kImageHivesNotLoaded;
  int result = change();
  if (!image.UnloadHives()) {
    result = kImageImportFailed;
    RegistryFailureLine(image, subject ? subject : L"", L"imported");
  }
  return result;
}

bool IsNoUpdateArgument(const wchar_t* arg) {
  return _wcsicmp(arg, L"-noupd") == 0 || _wcsicmp(arg, L"/noupd") == 0;
}

bool HasWildcard(const wchar_t* path) {
  return wcspbrk(path, L"*?") != nullptr;
}

// Imports every file that the wildcard (or plain path) matches, each with
// the hives its keys name; a file that fails is named with its cause. A
// pattern that matches no file (nothing, or folders only) is -15.
int ImportMatches(CMountedImage& image, LPCWSTR pattern) {
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(pattern, &found);
  // The names found are joined to the pattern's own folder.
  std::wstring folder(pattern, FindFileNamePart(pattern) - pattern);
  int result = kImageOk;
  bool files = false;
  while (find != INVALID_HANDLE_VALUE) {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      files = true;
      std::wstring path = folder + found.cFileName;
      // A path that does not fit a path buffer would be opened cut, as
      // another file: it fails instead.
      if (path.size() >= size_t(kPathChars)) {
        WriteCommandLine(path + L": the path is longer than " + std::to_wstring(kPathChars - 1) +
                         L" characters: nothing imported\r\n");
        result = kImageImportFailed;
      } else {
        uint32_t r = ImportRegFileWithHives(&image, path.c_str());
        if (r != REG_STATUS_OK) RegistryFailureLine(image, path, L"imported");
        // What it passed over (a root it would not delete) is told.
        if (r == REG_STATUS_OK)
          for (const std::wstring& note : RegistryNotes(&image))
            WriteCommandLine(path + L": " + note + L"\r\n");
        if (r == REG_STATUS_NOT_FOUND && result == kImageOk)
          result = kImageHivesNotLoaded;
        else if (r != REG_STATUS_OK && r != REG_STATUS_NOT_FOUND)
          result = kImageImportFailed;
      }
    }
    if (!FindNextFileW(find, &found)) {
      FindClose(find);
      find = INVALID_HANDLE_VALUE;
    }
  }
  if (!files) {
    VroOverlayNotice(pattern, VRO_NOTICE_NO_MATCH);
    return kImageNotOpened;
  }
  return result;
}

}  // namespace

int GetWriteOpenMode() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv) return 1;
  int mode = 1;
  for (int i = 0; i < argc; ++i)
    if (IsNoUpdateArgument(argv[i])) mode = 2;
  LocalFree(argv);
  return mode;
}

DWORD CALLBACK AlwaysContinueCopyCallback(DWORD event, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD,
                                          DWORD, void* user) {
  CopyOutcome* outcome = static_cast<CopyOutcome*>(user);
  if (event == VCC_TARGET_EXISTS) {
    if (!outcome) return VCC_REPLACE;
    outcome->asked = true;
    return outcome->overwriteMode;
  }
  if (event == VCC_FILE_FAILED && outcome) outcome->failed = true;
  return 1;
}

bool IsAddressInImage(LPCWSTR imagePath, LPCWSTR address) {
  if (!imagePath || !*imagePath || !address) return false;
  size_t length = wcslen(imagePath);
  if (_wcsnicmp(address, imagePath, length) != 0) return false;
  return address[length] == 0 || IsPathSeparator(address[length]);
}

int WINAPI ImageExtractFileW(LPCWSTR imagePath, LPCWSTR fixPath, int partition, LPCWSTR volumePath,
                             LPCWSTR hostPath, int overwriteMode) {
  if (!IsProgramRuntimeStarted()) return kImageNotOpened;
  return RunOnImage(imagePath, fixPath, partition, kReadOnlyOpen, [&](CMountedImage& image) {
    if (!volumePath || !hostPath) return int(kImageOperationFailed);
    CopyOutcome outcome = {DWORD(overwriteMode), false, false};
    int copied = image.ExtractToHost(volumePath, hostPath, AlwaysContinueCopyCallback, &outcome);
    return copied && !outcome.failed ? int(kImageOk) : int(kImageOperationFailed);
  });
}

int WINAPI ImageInjectFileW(LPCWSTR imagePath, LPCWSTR fixPath, int partition, LPCWSTR volumePath,
                            LPCWSTR hostPath, int overwriteMode) {
  if (!IsProgramRuntimeStarted()) return kImageNotOpened;
  return RunOnImage(imagePath, fixPath, partition, GetWriteOpenMode(), [&](CMountedImage& image) {
    if (RefusesWrites(image)) return int(kImageOperationFailed);
    if (!volumePath || !hostPath) return int(kImageOperationFailed);
    CopyOutcome outcome = {DWORD(overwriteMode), false, false};
    uint64_t missing = 0;
    int items =
        image.InjectHostPath(hostPath, volumePath, &missing, AlwaysContinueCopyCallback, &outcome);
    if (outcome.failed) return int(kImageOperationFailed);
    // Nothing copied is a success only when targets were kept by choice or
    // the source is a folder that was already there (and empty); a missing
    // source or a pattern that matches nothing has copied nothing at all.
    if (items == 0 && !outcome.asked) {
      DWORD attributes =
          HasWildcard(hostPath) ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(hostPath);
      if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return int(kImageOperationFailed);
    }
    return int(kImageOk);
  });
}

int WINAPI ImageExportRegistryW(LPCWSTR imagePath, LPCWSTR fixPath, int partition,
                                LPCWSTR registryPath, LPCWSTR regFile) {
  if (!IsProgramRuntimeStarted()) return kImageNotOpened;
  return RunOnImage(imagePath, fixPath, partition, kReadOnlyOpen, [&](CMountedImage& image) {
    // Only the hives the key lies in.
    if (!image.LoadHives(HiveFlagsOfPath(registryPath))) return int(kImageHivesNotLoaded);
    int result = kImageOk;
    if (RegistryPathUnloadable(&image, registryPath)) {
      result = kImageHivesNotLoaded;
      RegistryFailureLine(image, L"", L"exported");
    } else if (!registryPath || !regFile || !*regFile ||
               image.ExportRegFile(registryPath, 0, regFile, 0, 0) != 0) {
      result = kImageOperationFailed;
      RegistryFailureLine(image, L"", L"exported");
    }
    image.UnloadHives();
    return result;
  });
}

int WINAPI ImageImportRegistryW(LPCWSTR imagePath, LPCWSTR fixPath, int partition,
                                LPCWSTR regFileOrWildcard) {
  if (!IsProgramRuntimeStarted()) return kImageNotOpened;
  return RunOnImage(
      imagePath, fixPath, partition, GetWriteOpenMode(),
      [&](CMountedImage& image) {
        if (RefusesWrites(image)) return int(kImageImportFailed);
        if (!regFileOrWildcard || !*regFileOrWildcard) return int(kImageNotOpened);
        // Each file loads the hives its keys name.
        return ChangeRegistry(image, 0, regFileOrWildcard,
                              [&] { return ImportMatches(image, regFileOrWildcard); });
      },
      // A bad file of a wildcard changes nothing, and the others stay.
      kImageImportFailed, kOpenVolume, kKeepAlways);
}

int WINAPI ImageImportFileValueW(LPCWSTR imagePath, LPCWSTR fixPath, int partition, LPCWSTR keyPath,
                                 LPCWSTR valueName, LPCWSTR hostFile) {
  return RunOnImage(
      imagePath, fixPath, partition, GetWriteOpenMode(),
      [&](CMountedImage& image) {
        if (RefusesWrites(image)) return int(kImageImportFailed);
        if (!keyPath || !valueName || !hostFile) return int(kImageImportFailed);
        // The key's hive and the host file are looked at before any hive
        // is loaded: each refusal names what it refused.
        if (!HiveFlagsOfPath(keyPath)) {
          WriteCommandLine(std::wstring(keyPath) +
                           L": no hive of the image holds this key (its root is none of "
                           L"HKEY_LOCAL_MACHINE\\SYSTEM, SOFTWARE, SAM, SECURITY, BCD00000000, "
                           L"HKEY_CURRENT_USER or HKEY_CLASSES_ROOT): nothing imported\r\n");
          return int(kImageImportFailed);
        }
        DWORD attributes = GetFileAttributesW(hostFile);
        if (attributes == INVALID_FILE_ATTRIBUTES) {
          WriteCommandLine(FailureLine(false, hostFile, GetLastError()));
          return int(kImageImportFailed);
        }
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
          WriteCommandLine(std::wstring(hostFile) +
                           L": a folder, not a file whose bytes could be a value: nothing "
                           L"imported\r\n");
          return int(kImageImportFailed);
        }
        return ChangeRegistry(image, HiveFlagsOfPath(keyPath), keyPath, [&] {
          if (RegistryPathUnloadable(&image, keyPath)) {
            RegistryFailureLine(image, L"", L"imported");
            return int(kImageHivesNotLoaded);
          }
          if (image.RegSetValueFromFile(keyPath, valueName, hostFile) == 0) return int(kImageOk);
          WriteCommandLine(std::wstring(keyPath) + L"\\" + valueName + L"=" + hostFile +
                           L": the file could not be read or stored as the value: nothing "
                           L"imported\r\n");
          return int(kImageImportFailed);
        });
      },
      kImageImportFailed);
}

int WINAPI ImageMergeUpdateW(LPCWSTR imagePath, LPCWSTR updatePath) {
  CrashDumpFilterScope filter;  // for the call; the host's own comes back
  VroLeftFilesCommandRound round;
  // Nothing is mounted: the allocation only tells a short memory early.
  CMountedImage* probe = new (std::nothrow) CMountedImage();
  if (!probe) return kImageNoMemory;
  delete probe;
  if (!imagePath || !*imagePath) return kImageOperationFailed;
  if (!updatePath || !*updatePath) {
    WriteCommandLine(std::wstring(imagePath) +
                     L": no update or write-back file is named to merge into it (-fix:FILE): "
                     L"nothing merged\r\n");
    return kImageOperationFailed;
  }
  // "-fix:" names the write-back file the way the opens do ("client.cfg"
  // for client.Fix); an update or write-back file named as it stands is
  // taken first.
  std::wstring second = updatePath;
  if (GetPathKind(updatePath) != 1) {
    wchar_t writeBack[kPathChars];
    CMountedImage::MakeWriteBackPath(updatePath, writeBack);
    second = writeBack;
  }
  // Merging a file into itself would destroy it; only the whole path
  // decides that ("x.img" and "x.img_01.Upd" are two files).
  if (IsSameHostFile(imagePath, second.c_str())) {
    WriteCommandLine(second + L": it is the image itself, not a file to merge into it: nothing "
                              L"merged\r\n");
    return kImageOperationFailed;
  }
  // Nothing to merge: named as the file looked for.
  if (GetFileAttributesW(second.c_str()) == INVALID_FILE_ATTRIBUTES) {
    VroOverlayNotice(second.c_str(), VRO_NOTICE_MISSING);
    return kImageOperationFailed;
  }
  // A folder where a file is asked for is named as one.
  for (const wchar_t* path : {imagePath, second.c_str()}) {
    if (GetPathKind(path) >= 2) {
      VroOverlayNotice(path, VRO_NOTICE_FOLDER);
      return kImageOperationFailed;
    }
  }
  // Another file's merge into this base was cut off: the base takes no
  // other writes until that one is merged again.
  std::wstring unfinished;
  int legacy = FindUnfinishedMerge(imagePath, &unfinished);
  if (legacy == 2 || (legacy && !IsSameHostFile(unfinished.c_str(), second.c_str()))) {
    NoticeUnfinishedMerge(imagePath);
    return kImageNotOpened;
  }
  if (_VROH_RW_CLASS::HeldByAnotherProgram(imagePath) ||
      _VROH_RW_CLASS::HeldByAnotherProgram(second.c_str()))
    return kImageNotOpened;
  const long linesBefore = CommandLinesGiven();
  int merged = ConvertImageChain(imagePath, second.c_str(), nullptr);
  if (merged == 1) return kImageOk;
  // A file held by what a command cut off left beside it (a line names
  // it) cannot be opened.
  if (merged == -41 || ((merged == -2 || merged == -60) && (IsHeldBySideFile(imagePath) ||
                                                            IsHeldBySideFile(second.c_str()))))
    return kImageNotOpened;
  const wchar_t* why = merged == -2    ? L"not an update or write-back file of the own image format"
                       : merged == -52 ? L"not an update or write-back file made for this image"
                       : merged == -3  ? L"marked unusable"
                       : merged == -40 ? L"the image it was made for is not there"
                       : merged == -1  ? L"no memory for the merge"
                                       : nullptr;
  // A refusal the merge named itself (why the file is not this image's),
  // and a merged file it could not remove, have their line already.
  if (why && CommandLinesGiven() == linesBefore)
    WriteCommandLine(second + L": " + why + L" (" + imagePath + L"): nothing merged\r\n");
  return kImageOperationFailed;
}

int WINAPI ImageCreateDiskW(LPCWSTR imagePath, int megabytes) {
  if (!IsProgramRuntimeStarted()) return kImageOperationFailed;
  CrashDumpFilterScope filter;
  if (megabytes < kMinCreateMegabytes || megabytes > kMaxCreateMegabytes) return kImageBadArgument;
  if (!imagePath || !*imagePath) return kImageOperationFailed;
  // The target is looked at first (a line says why it cannot be taken).
  int target = CheckNewImageTarget(imagePath);
  if (target != NEW_IMAGE_TARGET_OK)
    return target == NEW_IMAGE_TARGET_HELD ? kImageNotOpened : kImageOperationFailed;
  CMountedImage* image = new (std::nothrow) CMountedImage();
  if (!image) return kImageNoMemory;
  InstallNtfsFormatter();
  // An image already there stays as it was until the new one is complete;
  // a half-made one (a full disk, a format that failed) never takes its
  // name.
  ReplacedFile made(imagePath, VroNoticeLeftoverRemoved);
  // A failure is named as the image asked for, never as its temporary
  // (the host's refusal of a write to it is noted on the way).
  DWORD error = made.IsReady() ? 0 : GetLastError();
  int result = kImageOperationFailed;
  if (made.IsReady() &&
      image->CreateImage(made.Path(), uint32_t(megabytes), 0, 1, 1, nullptr, nullptr, nullptr) == 1)
    result = kImageOk;
  if (!image->Close() && result == kImageOk) result = kImageOperationFailed;
  delete image;
  if (result == kImageOk) {
    // Another program may have taken hold of the target meanwhile.
    target = CommitNewImage(made, imagePath);
    if (target != NEW_IMAGE_TARGET_OK)
      result = target == NEW_IMAGE_TARGET_HELD ? kImageNotOpened : kImageOperationFailed;
  } else {
    NoteTargetWriteFailure(imagePath, error);
  }
  return result;
}

int WINAPI ImageFormatPartitionW(LPCWSTR imagePath, LPCWSTR fixPath, int partition) {
  if (!IsProgramRuntimeStarted()) return kImageNotOpened;
  InstallNtfsFormatter();
  return RunOnImage(
      imagePath, fixPath, partition, GetWriteOpenMode(),
      [&](CMountedImage& image) {
        if (RefusesWrites(image)) return int(kImageVolumeOperationFailed);
        return image.FormatVolume(1) == 1 ? int(kImageOk) : int(kImageVolumeOperationFailed);
      },
      kImageOperationFailed, kOpenFormatTarget);
}

int WINAPI ImageSetPartitionSizeW(LPCWSTR imagePath, LPCWSTR fixPath, int partition, DWORD sizeLow,
                                  DWORD sizeHigh) {
  if (!IsProgramRuntimeStarted()) return kImageNotOpened;
  // The size is a signed number: nothing at or below 0, nothing past the
  // largest image, is wrapped into a size.
  int64_t megabytes = int64_t((uint64_t(sizeHigh) << 32) | sizeLow);
  if (megabytes < kMinCreateMegabytes || megabytes > kMaxCreateMegabytes) {
    CrashDumpFilterScope filter;
    WriteCommandLine(std::wstring(imagePath ? imagePath : L"") + L": a size of " + std::to_wstring((long long)megabytes) +
                     L" MiB: the size must be " + std::to_wstring(kMinCreateMegabytes) + L" to " +
                     std::to_wstring(kMaxCreateMegabytes) + L" MiB: not grown\r\n");
    return kImageBadArgument;
  }
  return RunOnImage(imagePath, fixPath, partition, GetWriteOpenMode(), [&](CMountedImage& image) {
    if (RefusesWrites(image)) return int(kImageVolumeOperationFailed);
    uint64_t current = 0;
    if (!image.GetVolumeSpace(&current, nullptr)) {
      WriteCommandLine(std::wstring(imagePath) +
                       L": the size of its volume cannot be read: not grown\r\n");
      return int(kImageBadArgument);
    }
    if (!SizeRuleTakes(uint64_t(megabytes), current)) {
      // The size is taken in whole steps of 8 MiB: one at or below the
      // volume's leaves nothing to grow.
      WriteCommandLine(std::wstring(imagePath) + L": a size of " +
                       std::to_wstring((long long)megabytes) +
                       L" MiB is not above its volume's (" +
                       std::to_wstring((unsigned long long)((current + 0xFFFFF) >> 20)) +
                       L" MiB, taken in steps of 8 MiB): the size must exceed it: not grown\r\n");
      return int(kImageBadArgument);
    }
    long given = CommandLinesGiven();
    if (ListImageUpdateFiles(imagePath, nullptr, nullptr) < 0) {
      DWORD error = GetLastError();
      if (CommandLinesGiven() == given)
        WriteCommandLine(std::wstring(imagePath) + L": its update files cannot be listed (error " +
                         std::to_wstring(error) + L": " + ErrorText(error) + L"): not grown\r\n");
      return int(kImageBadArgument);
    }
    return ResizeImagePartition(&image, uint64_t(megabytes)) ? int(kImageOk)
                                                             : int(kImageVolumeOperationFailed);
  });
}

// The check and the repair open also a volume the full mount refuses: the
// damage it meets is what they are for. The check only looks: it opens the
// image and its overlays read-only (a stale write-back makes it fail).
int WINAPI ImageCheckPartitionW(LPCWSTR imagePath, LPCWSTR fixPath, int partition) {
  if (!IsProgramRuntimeStarted()) return kImageNotOpened;
  return RunOnImage(
      imagePath, fixPath, partition, kReadOnlyOpen,
      [&](CMountedImage& image) {
        return CheckNtfsPartition(&image) ? int(kImageOk) : int(kImageVolumeOperationFailed);
      },
      kImageOperationFailed, kOpenPartialNtfs);
}

int WINAPI ImageRepairPartitionW(LPCWSTR imagePath, LPCWSTR fixPath, int partition) {
  if (!IsProgramRuntimeStarted()) return kImageNotOpened;
  return RunOnImage(
      imagePath, fixPath, partition, GetWriteOpenMode(),
      [&](CMountedImage& image) {
        if (RefusesWrites(image)) return int(kImageVolumeOperationFailed);
        return RepairNtfsPartition(&image) ? int(kImageOk) : int(kImageVolumeOperationFailed);
      },
      // What the repair mended stays even where it could not mend all.
      kImageOperationFailed, kOpenPartialNtfs, kKeepAlways);
}

int WINAPI ImageAddAdapterW(LPCWSTR imagePath, LPCWSTR fixPath, int partition, int adapterType,
                            LPCWSTR deviceId, LPCWSTR workstation, LPCWSTR address) {
  if (!IsProgramRuntimeStarted()) return kImageVolumeOperationFailed;
  // The arguments "/iadapter:" refuses are refused here alike.
  if ((adapterType != kDriverPackNetwork && adapterType != kDriverPackDisplay) || !deviceId ||
      !deviceId[0])
    return kImageBadArgument;
  // The number as text ("7" -> "007"); a text without digits reads as 0.
  // Without a workstation there is none to note in the history.
  // A host that loaded the program as a library has not run its start:
  // the driver file pass grows the partition through the disk tools.
  SetPartitionGrowFunction(ResizeImagePartition);
  wchar_t number[20] = L"";
  if (workstation) _snwprintf(number, 20, L"%03u", unsigned(wcstol(workstation, nullptr, 10)));
  number[19] = 0;
  int result = RunOnImage(
      imagePath, fixPath, partition, GetWriteOpenMode(),
      [&](CMountedImage& image) {
        if (RefusesWrites(image)) return int(kImageVolumeOperationFailed);
        return int(InstallHardwareDriverPack(&image, uint32_t(adapterType), deviceId, number,
                                             address, imagePath, 0, 0));
      },
      kDriverPackImportFailed, kOpenVolume, kKeepUnlessNegative);
  return result == kImageNotOpened ? int(kImageVolumeOperationFailed) : result;
}

int WINAPI ImageHardwarePnpW(void* diskObject, DWORD profileLow, DWORD profileHigh, int adapterType,
                             DWORD, LPCWSTR deviceId, DWORD workstation, DWORD address,
                             LPCWSTR text) {
  if (!IsProgramRuntimeStarted()) return kImageVolumeOperationFailed;
  CrashDumpFilterScope filter;
  SetPartitionGrowFunction(ResizeImagePartition);
  CMountedImage* image = new (std::nothrow) CMountedImage();
  if (!image) return kImageNoMemory;
  int result = kImageVolumeOperationFailed;
  if (diskObject && image->MountDiskObject(static_cast<_VROH_DISK_COMBO*>(diskObject)) >= 0) {
    wchar_t number[20], ip[40];
    _snwprintf(number, 20, L"%03u", unsigned(workstation));
    number[19] = 0;
    _snwprintf(ip, 40, L"%d.%d.%d.%d", int(address >> 24), int((address >> 16) & 0xFF),
               int((address >> 8) & 0xFF), int(address & 0xFF));
    ip[39] = 0;
    result = InstallHardwareDriverPack(image, uint32_t(adapterType), deviceId, number, ip, text,
                                       profileLow, profileHigh);
    if (!image->Close() && result >= 0) result = kDriverPackImportFailed;
  }
  delete image;
  return result;
}
