#include "disktools/dialogs/NewImage.h"

#include <objbase.h>
#include <string.h>

#include <cwchar>
#include <new>

#include "common/ByteOrder.h"
#include "common/PathUtil.h"
#include "disktools/NtfsFormatterInstall.h"
#include "disktools/bootrepair/EfiBootFiles.h"
#include "disktools/clone/GptLayout.h"
#include "disktools/dialogs/CreateImageDlg.h"
#include "image/mount/MountedImage.h"
#include "registry/WindowsIdentity.h"
#include "resources/ResourceIds.h"
#include "ui/UiResources.h"

namespace {

const uint64_t kEspFirstLba = 2048;
const uint64_t kEspLastLba = 204799;
const uint64_t kDataFirstLba = 204800;
const uint64_t kEspSectors = kEspLastLba - kEspFirstLba + 1;
const int kBootChoiceOwn = 1;
const uint8_t kAlign = 1;

void NewGuid(uint8_t* out) {
  GUID g;
  if (CoCreateGuid(&g) != S_OK) memset(&g, 0, sizeof g);
  memcpy(out, &g, 16);
}

void FillEntry(uint8_t* entry, const uint8_t* type, uint64_t first, uint64_t last,
               const wchar_t* name) {
  memset(entry, 0, 128);
  memcpy(entry, type, 16);
  NewGuid(entry + 16);
  St64(entry + 32, first);
  St64(entry + 40, last);
  for (int i = 0; name[i] && i < 36; ++i) St16(entry + 56 + 2 * i, uint16_t(name[i]));
}

// The protective MBR with the new disk GUID in bytes 462-477, and the two
// entries: the EFI system partition and the data partition.
void BuildGptLayout(uint32_t sizeMiB, uint8_t* mbr, uint8_t* entries) {
  memset(mbr, 0, 512);
  mbr[446 + 2] = 0x02;
  mbr[446 + 4] = 0xEE;
  mbr[446 + 5] = mbr[446 + 6] = mbr[446 + 7] = 0xFF;
  St32(mbr + 446 + 8, 1);
  St32(mbr + 446 + 12, 0xFFFFFFFF);
  mbr[510] = 0x55;
  mbr[511] = 0xAA;
  NewGuid(mbr + 462);
  FillEntry(entries, kEfiSystemPartitionType, kEspFirstLba, kEspLastLba, L"EFI system partition");
  uint64_t dataLast = kDataFirstLba + (uint64_t(sizeMiB) * 1048576 - 3146240) / 512;
  FillEntry(entries + 128, kBasicDataType, kDataFirstLba, dataLast, L"Basic data partition");
}

}  // namespace

bool CreateImageFromParams(HWND owner, const CreateImageParams& params) {
  const wchar_t* path = params.imagePath;
  if (!path[0]) return false;
  CMountedImage* image = new (std::nothrow) CMountedImage();
  if (!image) return false;
  InstallNtfsFormatter();
  SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
  DeleteFileW(path);
  int created = 0;
  DWORD error = 0;
  if (params.gpt) {
    // The data partition ends where the chosen size puts it; the disk is
    // larger by the EFI system partition.
    uint8_t mbr[512], entries[256];
    BuildGptLayout(params.sizeMiB, mbr, entries);
    created = params.sizeMiB >= 4 &&
              image->CreateImage(path, params.sizeMiB + kNewImageEspMiB, params.plainData,
                                 kBootChoiceOwn, kAlign, mbr, nullptr, entries);
    error = GetLastError();
    if (created) {
      EfiBootTarget target;
      memcpy(target.diskGuid, mbr + 462, 16);
      memcpy(target.dataPartitionGuid, entries + 128 + 16, 16);
      memcpy(target.espGuid, entries + 16, 16);
      target.espFirstLba = kEspFirstLba;
      target.espSectors = kEspSectors;
      UpdateEfiBootConfiguration(image, EFI_BOOT_BUILD, nullptr, GetHostWindowsVersion(), target);
    }
  } else {
    created = image->CreateImage(path, params.sizeMiB, params.plainData, kBootChoiceOwn, kAlign,
                                 nullptr, nullptr, nullptr);
    error = GetLastError();
  }
  // What did not reach the image file makes the creation fail too.
  if (!image->Close()) created = 0;
  delete image;
  if (created) return true;
  wchar_t format[256], text[256 + kPathChars];
  LoadUiString(IDS_CREATE_IMAGE_FAILED, format, 256);
  _snwprintf(text, sizeof(text) / sizeof(text[0]), format, (unsigned)error, path);
  text[sizeof(text) / sizeof(text[0]) - 1] = 0;
  MessageBoxW(owner, text, nullptr, MB_ICONEXCLAMATION | MB_SETFOREGROUND);
  SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
  DeleteFileW(path);
  return false;
}
