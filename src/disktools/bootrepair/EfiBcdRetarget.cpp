#include <windows.h>

#include "disktools/bootrepair/EfiBcdRetarget.h"

#include <stdlib.h>
#include <string.h>

#include <string>

#include "common/ByteOrder.h"
#include "image/mount/FatVolume.h"
#include "registry/BcdStore.h"
#include "registry/RegHive.h"
#include "registry/hive/RegTypes.h"

namespace {

const wchar_t kBootManager[] = L"{9dea862c-5cdd-4e70-acc1-f32b344d4795}";
const wchar_t kElement[] = L"Element";
const wchar_t kFirmwareVariable[] = L"FirmwareVariable";

// The firmware variable's fields that name the EFI system partition.
const uint32_t kVariableFirstLba = 228;
const uint32_t kVariableSectors = 236;
const uint32_t kVariableGuid = 244;

// GPT device element and the extended element's partition and disk fields.
const uint32_t kDeviceBytes = EFI_DEVICE_ELEMENT_BYTES;
const uint32_t kExtendedPartition = 84;
const uint32_t kExtendedDisk = 108;

std::wstring Elements(const std::wstring& object) {
  return L"Objects\\" + object + L"\\Elements\\";
}

void SetDevice(CRegHive* hive, const std::wstring& object, const wchar_t* element,
               const uint8_t* partition, const uint8_t* disk) {
  uint8_t blob[kDeviceBytes];
  MakeGptDeviceElement(blob, partition, disk);
  std::wstring path = Elements(object) + element;
  hive->CreateKey(path.c_str());
  hive->SetValue(path.c_str(), kElement, blob, kDeviceBytes, HIVE_REG_BINARY);
}

// The first GUID text an element of type REG_SZ or REG_MULTI_SZ holds.
std::wstring Named(CRegHive* hive, const std::wstring& object, const wchar_t* element) {
  uint32_t type = 0;
  RegValueBuf* buf = nullptr;
  std::wstring name;
  std::wstring path = Elements(object) + element;
  if (hive->QueryValue(path.c_str(), kElement, &type, &buf) == REG_STATUS_OK && buf &&
      (type == HIVE_REG_SZ || type == HIVE_REG_MULTI_SZ)) {
    for (uint32_t i = 0; i + 1 < buf->length && (buf->data[i] | buf->data[i + 1]); i += 2)
      name += (wchar_t)Ld16(buf->data + i);
  }
  free(buf);
  return name;
}

std::wstring GuidText(const uint8_t* p) {
  wchar_t text[40];
  _snwprintf(text, 40, L"{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", Ld32(p), Ld16(p + 4),
             Ld16(p + 6), p[8], p[9], p[10], p[11], p[12], p[13], p[14], p[15]);
  text[39] = 0;
  return text;
}

// The extended elements of the settings object Y get the data partition
// and the disk; the object their first 16 bytes name gets the device.
void RetargetSettings(CRegHive* hive, const std::wstring& settings, const EfiBootTarget& t) {
  static const wchar_t* const kElements[] = {L"11000001", L"21000001"};
  for (const wchar_t* element : kElements) {
    std::wstring path = Elements(settings) + element;
    uint32_t type = 0;
    RegValueBuf* buf = nullptr;
    if (hive->QueryValue(path.c_str(), kElement, &type, &buf) == REG_STATUS_OK && buf &&
        buf->length >= kExtendedDisk + 16) {
      memcpy(buf->data + kExtendedPartition, t.dataPartitionGuid, 16);
      memcpy(buf->data + kExtendedDisk, t.diskGuid, 16);
      hive->SetValue(path.c_str(), kElement, buf->data, buf->length, type);
      SetDevice(hive, GuidText(buf->data), L"31000003", t.dataPartitionGuid, t.diskGuid);
    }
    free(buf);
  }
}

}  // namespace

void MakeGptDeviceElement(uint8_t* blob, const uint8_t* partition, const uint8_t* disk) {
  memset(blob, 0, kDeviceBytes);
  St32(blob + 16, 6);
  St32(blob + 24, 72);
  memcpy(blob + 32, partition, 16);
  memcpy(blob + 56, disk, 16);
}

int RetargetEfiBcdDevices(CFatVolume* volume, const EfiBootTarget& t) {
  if (!volume || volume->LoadBcdHive() != 1 || !volume->m_pBcdHive) return 0;
  CRegHive* hive = volume->m_pBcdHive;
  std::wstring description = std::wstring(L"Objects\\") + kBootManager + L"\\Description";
  uint32_t type = 0;
  RegValueBuf* variable = nullptr;
  if (hive->QueryValue(description.c_str(), kFirmwareVariable, &type, &variable) == REG_STATUS_OK &&
      variable && variable->length >= kVariableGuid + 16) {
    St64(variable->data + kVariableFirstLba, t.espFirstLba);
    St64(variable->data + kVariableSectors, t.espSectors);
    memcpy(variable->data + kVariableGuid, t.espGuid, 16);
    hive->SetValue(description.c_str(), kFirmwareVariable, variable->data, variable->length, type);
  }
  free(variable);
  SetDevice(hive, kBootManager, L"11000001", t.espGuid, t.diskGuid);
  static const wchar_t* const kLoaders[] = {L"23000003", L"23000006", L"24000001"};
  for (const wchar_t* element : kLoaders) {
    std::wstring loader = Named(hive, kBootManager, element);
    if (loader.empty()) continue;
    SetDevice(hive, loader, L"11000001", t.dataPartitionGuid, t.diskGuid);
    SetDevice(hive, loader, L"21000001", t.dataPartitionGuid, t.diskGuid);
    std::wstring settings = Named(hive, loader, L"14000008");
    if (!settings.empty()) RetargetSettings(hive, settings, t);
    if (wcscmp(element, L"23000003") == 0) {
      std::wstring resume = Named(hive, loader, L"23000003");
      if (!resume.empty()) {
        SetDevice(hive, resume, L"11000001", t.dataPartitionGuid, t.diskGuid);
        SetDevice(hive, resume, L"21000001", t.dataPartitionGuid, t.diskGuid);
      }
    }
  }
  std::wstring tester = Named(hive, kBootManager, L"24000010");
  if (!tester.empty()) SetDevice(hive, tester, L"11000001", t.espGuid, t.diskGuid);
  return CloseBcdHive(volume) ? 1 : 0;
}
