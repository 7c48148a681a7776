#include "disktools/bootrepair/BcdRetarget.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "common/ByteOrder.h"
#include "disktools/clone/DiskSignature.h"
#include "image/mount/MountedImage.h"
#include "registry/RegistryFacade.h"
#include "registry/hive/RegTypes.h"

namespace {

const wchar_t kObjects[] = REG_ROOT_BCD L"\\Objects";
const wchar_t kBootManager[] = L"{9dea862c-5cdd-4e70-acc1-f32b344d4795}";
const wchar_t kMemoryTester[] = L"{b2721d73-1db4-4c62-bf78-c548a880142d}";
const wchar_t kElement[] = L"Element";

// Device element sizes and fields.
const uint32_t kDeviceBytes = 88;
const uint32_t kDeviceStyle = 52;  // 1: an MBR partition
const uint32_t kDeviceOffset = 32;
const uint32_t kDeviceSignature = 56;
const uint32_t kExtendedBytes = 144;
const uint32_t kExtendedStyle = 104;
const uint32_t kExtendedOffset = 84;
const uint32_t kExtendedSignature = 108;
const uint32_t kMbrStyle = 1;

struct Target {
  CMountedImage* image;
  uint32_t signature;
  uint64_t offset;
};

std::wstring ElementPath(const std::wstring& object, const wchar_t* element) {
  return std::wstring(kObjects) + L"\\" + object + L"\\Elements\\" + element;
}

// The GUID text an element of type REG_SZ or REG_MULTI_SZ names, or empty.
std::wstring NamedObject(CMountedImage* image, const std::wstring& object, const wchar_t* element) {
  uint32_t type = 0;
  RegValueBuf* buf = nullptr;
  std::wstring name;
  if (image->RegQueryValue(ElementPath(object, element).c_str(), kElement, &type, &buf) ==
          REG_STATUS_OK &&
      buf && (type == HIVE_REG_SZ || type == HIVE_REG_MULTI_SZ)) {
    const uint8_t* p = buf->data;
    for (uint32_t i = 0; i + 1 < buf->length && (p[i] | p[i + 1]); i += 2)
      name += (wchar_t)Ld16(p + i);
  }
  free(buf);
  return name;
}

// An MBR device element (rule A) or extended device element (rule B) of
// the object gets the signature and the offset; other elements stay.
// Rule B hands back the GUID in the element's first 16 bytes.
void Retarget(const Target& t, const std::wstring& object, const wchar_t* element, bool extended,
              std::wstring* named = nullptr) {
  std::wstring path = ElementPath(object, element);
  uint32_t type = 0;
  RegValueBuf* buf = nullptr;
  if (t.image->RegQueryValue(path.c_str(), kElement, &type, &buf) != REG_STATUS_OK || !buf) {
    free(buf);
    return;
  }
  uint8_t* p = buf->data;
  bool match = type == HIVE_REG_BINARY &&
               (extended ? buf->length >= kExtendedBytes && Ld32(p + kExtendedStyle) == kMbrStyle
                         : buf->length == kDeviceBytes && Ld32(p + kDeviceStyle) == kMbrStyle);
  if (match) {
    St64(p + (extended ? kExtendedOffset : kDeviceOffset), t.offset);
    St32(p + (extended ? kExtendedSignature : kDeviceSignature), t.signature);
    t.image->RegSetValue(path.c_str(), kElement, p, buf->length, HIVE_REG_BINARY);
    if (extended && named) {
      wchar_t text[40];
      _snwprintf(text, 40, L"{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", Ld32(p),
                 Ld16(p + 4), Ld16(p + 6), p[8], p[9], p[10], p[11], p[12], p[13], p[14], p[15]);
      text[39] = 0;
      *named = text;
    }
  }
  free(buf);
}

void RetargetDevices(const Target& t, const std::wstring& object) {
  Retarget(t, object, L"11000001", false);
  Retarget(t, object, L"21000001", false);
}

}  // namespace

int RetargetBcdDevices(CMountedImage* image) {
  if (!image || !image->LoadHives(HIVE_FLAG_BCD) || !FindLoadedHive(image, REG_ROOT_BCD)) {
    if (image) image->UnloadHives();
    return 0;
  }
  if (image->RegGetSubkeyCount(kObjects) <= 0) {
    image->UnloadHives();
    return 0;
  }
  Target t;
  t.image = image;
  t.signature = ReadDiskSignatureAndOffset(image->NtfsVolume(), &t.offset);
  Retarget(t, kMemoryTester, L"11000001", false);
  Retarget(t, kBootManager, L"11000001", false);
  std::wstring resume = NamedObject(image, kBootManager, L"23000006");
  if (!resume.empty()) RetargetDevices(t, resume);
  std::wstring loader = NamedObject(image, kBootManager, L"23000003");
  if (!loader.empty()) {
    RetargetDevices(t, loader);
    std::wstring settings = NamedObject(image, loader, L"14000008");
    if (!settings.empty()) {
      std::wstring named;
      Retarget(t, settings, L"11000001", true, &named);
      Retarget(t, settings, L"21000001", true, &named);
      if (!named.empty()) Retarget(t, named, L"31000003", false);
    }
  }
  image->UnloadHives();
  return 1;
}
