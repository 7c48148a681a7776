#include <windows.h>

#include "app/NewImage.h"

#include <objbase.h>
#include <string.h>

#include <new>

#include "common/ByteOrder.h"
#include "common/ReplacedFile.h"
#include "image/stack/OverlayNotice.h"
#include "disktools/NtfsFormatterInstall.h"
#include "disktools/bootrepair/EfiBootFiles.h"
#include "disktools/copy/NewImageTarget.h"
#include "disktools/clone/GptLayout.h"
#include "disktools/partition/PartitionResize.h"
#include "image/formats/sparse/ImageHeader.h"
#include "image/mount/MountedImage.h"
#include "image/stack/ImageMerge.h"
#include "registry/WindowsIdentity.h"

namespace {

const uint32_t kDiskGuidOffset = 462;

void NewGuid(uint8_t* out) {
  GUID guid = {};
  CoCreateGuid(&guid);
  memcpy(out, &guid, 16);
}

void FillEntry(uint8_t* entry, const uint8_t* type, uint64_t first, uint64_t last,
               const wchar_t* name) {
  memset(entry, 0, 128);
  memcpy(entry, type, 16);
  NewGuid(entry + 16);
  St64(entry + 32, first);
  St64(entry + 40, last);
  for (int i = 0; name[i] && i < 36; i++) St16(entry + 56 + 2 * i, (uint16_t)name[i]);
}

}  // namespace

void PrepareNewImageGpt(uint32_t sizeMiB, NewImageGptLayout* layout) {
  memset(layout, 0, sizeof *layout);
  BuildProtectiveMbr(layout->firstSector);
  NewGuid(layout->diskGuid);
  memcpy(layout->firstSector + kDiskGuidOffset, layout->diskGuid, 16);
  FillEntry(layout->entries[0], kEfiSystemPartitionType, NEW_IMAGE_ESP_FIRST_LBA,
            NEW_IMAGE_DATA_FIRST_LBA - 1, L"EFI system partition");
  // The image holds more than the size asked for (its format counts in
  // whole steps): the data partition takes the rest of the disk.
  const uint64_t disk = ImageSectorsFromMegabytes(sizeMiB + NEW_IMAGE_GPT_EXTRA_MIB) - 1;
  const uint64_t last = disk - kGptTailSectors;
  FillEntry(layout->entries[1], kBasicDataType, NEW_IMAGE_DATA_FIRST_LBA, last,
            L"Basic data partition");
}

int CreateEmptyImageFile(const wchar_t* path, uint32_t sizeMiB, int gpt, int plain) {
  InstallNtfsFormatter();
  CMountedImage* job = new (std::nothrow) CMountedImage();
  if (!job) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  // A base that a merge left unfinished is written by nothing but that merge.
  if (FindUnfinishedMerge(path, nullptr)) {
    delete job;
    SetLastError(ERROR_SHARING_VIOLATION);
    return 0;
  }
  // An image already there is replaced only by a complete new one.
  ReplacedFile made(path, VroNoticeLeftoverRemoved);
  if (!made.IsReady()) {
    DWORD error = GetLastError();
    delete job;
    SetLastError(error ? error : ERROR_WRITE_FAULT);
    return 0;
  }
  int ok;
  if (gpt) {
    NewImageGptLayout layout;
    PrepareNewImageGpt(sizeMiB, &layout);
    ok = job->CreateImage(made.Path(), sizeMiB + NEW_IMAGE_GPT_EXTRA_MIB, plain, 1, 1,
                          layout.firstSector, nullptr, layout.entries);
    if (ok) {
      EfiBootTarget target;
      memcpy(target.diskGuid, layout.diskGuid, 16);
      memcpy(target.dataPartitionGuid, layout.entries[1] + 16, 16);
      memcpy(target.espGuid, layout.entries[0] + 16, 16);
      target.espFirstLba = NEW_IMAGE_ESP_FIRST_LBA;
      target.espSectors = NEW_IMAGE_ESP_SECTORS;
      // The boot files are a convenience: an image whose partition could
      // not get them is still a sound empty image.
      UpdateEfiBootConfiguration(job, EFI_BOOT_BUILD, nullptr, GetHostWindowsVersion(), target);
    }
  } else {
    ok = job->CreateImage(made.Path(), sizeMiB, plain, 1, 1, nullptr, nullptr, nullptr);
  }
  // What the creation wrote must reach the file, or the image is no good.
  if (ok && !job->Close()) ok = 0;
  delete job;
  if (ok) {
    // The dialog asked before: a read-only image is replaced too.
    SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
    int target = CommitNewImage(made, path);
    if (target != NEW_IMAGE_TARGET_OK) {
      ok = 0;
      // Another program took hold of the image meanwhile.
      if (target == NEW_IMAGE_TARGET_HELD) SetLastError(ERROR_SHARING_VIOLATION);
    }
  }
  DWORD error = ok ? ERROR_SUCCESS : GetLastError();
  if (!ok) SetLastError(error ? error : ERROR_WRITE_FAULT);
  return ok;
}
