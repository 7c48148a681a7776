#include "disktools/dialogs/BootOptions.h"

#include <cwchar>

#include "image/mount/MountedImage.h"
#include "registry/RegistryReads.h"
#include "registry/hive/RegTypes.h"

namespace {

const wchar_t kObjects[] = L"HKEY_LOCAL_MACHINE\\BCD00000000\\Objects\\";
const wchar_t kBootManager[] = L"{9dea862c-5cdd-4e70-acc1-f32b344d4795}";
const wchar_t kElement[] = L"Element";
const wchar_t kPagingFile[] = L"?:\\pagefile.sys";

std::wstring ElementKey(const std::wstring& object, const wchar_t* element) {
  return kObjects + object + L"\\Elements\\" + element;
}

std::wstring SystemKey(CMountedImage* image, const wchar_t* below) {
  wchar_t key[512];
  _snwprintf(key, 512, L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet%03u\\%s",
             image->GetCurrentControlSet(), below);
  key[511] = 0;
  return key;
}

const wchar_t kDebugPrint[] = L"Control\\Session Manager\\Debug Print Filter";
const wchar_t kMemory[] = L"Control\\Session Manager\\Memory Management";
const wchar_t kTerminalServer[] = L"Control\\Terminal Server";
const wchar_t kTermService[] = L"Services\\TermService";
const wchar_t kCrashControl[] = L"Control\\CrashControl";

// The first byte of a binary element; false when it cannot be read.
bool ReadFirstByte(CMountedImage* image, const std::wstring& key, uint8_t* out) {
  std::vector<uint8_t> data;
  if (!ReadRegistryBytes(image, key, kElement, data) || data.empty()) return false;
  *out = data[0];
  return true;
}

// The strings of a string list (the list ends at its first empty string).
std::vector<std::wstring> SplitList(const std::wstring& list) {
  std::vector<std::wstring> out;
  for (size_t at = 0; at < list.size();) {
    size_t end = list.find(L'\0', at);
    if (end == std::wstring::npos) end = list.size();
    if (end == at) break;
    out.push_back(list.substr(at, end - at));
    at = end + 1;
  }
  return out;
}

// The first string of PagingFiles is empty (or the value missing).
bool PagingFilesEmpty(CMountedImage* image) {
  std::wstring list;
  if (!ReadRegistryList(image, SystemKey(image, kMemory), L"PagingFiles", list)) return true;
  return list.empty() || list[0] == 0;
}

int DumpItemOf(uint32_t value) {
  switch (value) {
    case 1:
      return BOOT_DUMP_COMPLETE;
    case 2:
      return BOOT_DUMP_KERNEL;
    case 3:
      return BOOT_DUMP_SMALL;
  }
  return BOOT_DUMP_NONE;
}

uint32_t DumpValueOf(int item) {
  switch (item) {
    case BOOT_DUMP_COMPLETE:
      return 1;
    case BOOT_DUMP_KERNEL:
      return 2;
    case BOOT_DUMP_SMALL:
      return 3;
  }
  return 0;
}

// Writes one value, creating its key first when it is missing.
bool Write(CMountedImage* image, const std::wstring& key, const wchar_t* name, const void* data,
           uint32_t length, uint32_t type) {
  uint32_t created = image->RegCreateKey(key.c_str());
  if (created != REG_STATUS_OK && created != REG_STATUS_EXISTS) return false;
  return image->RegSetValue(key.c_str(), name, data, length, type) == REG_STATUS_OK;
}

bool WriteDword(CMountedImage* image, const std::wstring& key, const wchar_t* name,
                uint32_t value) {
  return Write(image, key, name, &value, 4, HIVE_REG_DWORD);
}

bool WriteByteElement(CMountedImage* image, const std::wstring& key, bool value) {
  uint8_t byte = value ? 1 : 0;
  return Write(image, key, kElement, &byte, 1, HIVE_REG_BINARY);
}

uint32_t TimeoutToWrite(const BootOptions& o) {
  return o.wait ? o.timeout : 0;
}

std::vector<std::wstring> GuidsOf(const BootOptions& o) {
  std::vector<std::wstring> guids;
  for (const BootEntry& e : o.entries) guids.push_back(e.guid);
  return guids;
}

}  // namespace

bool IsBeforeWindows8(uint32_t versionWord) {
  uint32_t major = (versionWord >> 8) & 0xFF, minor = versionWord & 0xFF;
  return major < 6 || (major == 6 && minor < 2);
}

void ReadBootOptions(CMountedImage* image, BootOptions* o) {
  std::wstring list;
  if (ReadRegistryList(image, ElementKey(kBootManager, L"24000001"), kElement, list)) {
    o->entries.clear();
    for (const std::wstring& guid : SplitList(list)) {
      BootEntry entry;
      entry.guid = guid;
      ReadRegistryText(image, ElementKey(guid, L"12000004"), kElement, entry.name);
      o->entries.push_back(entry);
    }
  }
  uint8_t byte = 0;
  bool known = ReadFirstByte(image, ElementKey(kBootManager, L"26000020"), &byte);
  if (o->beforeWindows8) {
    if (known) o->menu = byte != 0;
  } else {
    std::vector<uint8_t> data;
    bool present = ReadRegistryBytes(image, ElementKey(kBootManager, L"26000020"), kElement, data);
    o->menu = !present || data.empty() || data[0] == 0;
  }
  uint32_t number = 0;
  if (ReadRegistryDword(image, ElementKey(kBootManager, L"25000004"), kElement, number)) {
    o->timeoutKnown = true;
    o->timeout = number;
    o->wait = number != 0;
  }
  std::wstring loader;
  if (ReadRegistryText(image, ElementKey(kBootManager, L"23000003"), kElement, loader) &&
      !loader.empty()) {
    if (ReadFirstByte(image, ElementKey(loader, L"16000049"), &byte)) o->noSigning = byte != 0;
    if (ReadFirstByte(image, ElementKey(loader, L"260000a0"), &byte)) o->debug = byte != 0;
  }
  if (ReadRegistryDword(image, SystemKey(image, kDebugPrint), L"DEFAULT", number))
    o->debugPrint = number != 0;
  if (ReadRegistryDword(image, SystemKey(image, kMemory), L"DisablePagingExecutive", number))
    o->noPaging = number != 0 && PagingFilesEmpty(image);
  uint32_t start = 0;
  if (ReadRegistryDword(image, SystemKey(image, kTerminalServer), L"fDenyTSConnections", number) &&
      ReadRegistryDword(image, SystemKey(image, kTermService), L"Start", start))
    o->remoteDesktop = number == 0 && start == 2;
  o->dumpItem = BOOT_DUMP_NONE;
  if (ReadRegistryDword(image, SystemKey(image, kCrashControl), L"CrashDumpEnabled", number))
    o->dumpItem = DumpItemOf(number);
  if (ReadRegistryDword(image, SystemKey(image, kCrashControl), L"AutoReboot", number))
    o->autoRestart = number != 0;
}

bool WriteChangedBootOptions(CMountedImage* image, const BootOptions& before,
                             const BootOptions& after) {
  bool ok = true;
  std::vector<std::wstring> guids = GuidsOf(after);
  if (guids != GuidsOf(before)) {
    std::vector<wchar_t> multi;
    for (const std::wstring& g : guids) {
      multi.insert(multi.end(), g.begin(), g.end());
      multi.push_back(0);
    }
    multi.push_back(0);
    if (guids.empty()) multi.push_back(0);
    ok = Write(image, ElementKey(kBootManager, L"24000001"), kElement, multi.data(),
               uint32_t(multi.size() * sizeof(wchar_t)), HIVE_REG_MULTI_SZ) &&
         ok;
  }
  if (after.menu != before.menu) {
    bool value = after.beforeWindows8 ? after.menu : !after.menu;
    ok = WriteByteElement(image, ElementKey(kBootManager, L"26000020"), value) && ok;
  }
  if (TimeoutToWrite(after) != TimeoutToWrite(before)) {
    uint64_t timeout = TimeoutToWrite(after);
    ok = Write(image, ElementKey(kBootManager, L"25000004"), kElement, &timeout, 8,
               HIVE_REG_BINARY) &&
         ok;
  }
  if (after.noSigning != before.noSigning || after.debug != before.debug) {
    std::wstring loader;
    if (!ReadRegistryText(image, ElementKey(kBootManager, L"23000003"), kElement, loader) ||
        loader.empty()) {
      ok = false;
    } else {
      if (after.noSigning != before.noSigning) {
        ok = WriteByteElement(image, ElementKey(loader, L"16000049"), after.noSigning) && ok;
        std::wstring options =
            after.noSigning ? L"DISABLE_INTEGRITY_CHECKS" : L"ENABLE_INTEGRITY_CHECKS";
        ok = Write(image, ElementKey(loader, L"12000030"), kElement, options.c_str(),
                   uint32_t((options.size() + 1) * sizeof(wchar_t)), HIVE_REG_SZ) &&
             ok;
      }
      if (after.debug != before.debug)
        ok = WriteByteElement(image, ElementKey(loader, L"260000a0"), after.debug) && ok;
    }
  }
  if (after.debugPrint != before.debugPrint)
    ok = WriteDword(image, SystemKey(image, kDebugPrint), L"DEFAULT", after.debugPrint ? 0xF : 0) &&
         ok;
  if (after.noPaging != before.noPaging) {
    std::wstring key = SystemKey(image, kMemory);
    ok = WriteDword(image, key, L"DisablePagingExecutive", after.noPaging ? 1 : 0) && ok;
    bool empty = PagingFilesEmpty(image);
    if (after.noPaging && !empty) {
      const uint8_t none[4] = {};
      ok = Write(image, key, L"PagingFiles", none, 4, HIVE_REG_MULTI_SZ) && ok;
    } else if (!after.noPaging && empty) {
      // The list with its two terminating NULs.
      std::vector<wchar_t> list(kPagingFile, kPagingFile + wcslen(kPagingFile));
      list.push_back(0);
      list.push_back(0);
      ok = Write(image, key, L"PagingFiles", list.data(), uint32_t(list.size() * sizeof(wchar_t)),
                 HIVE_REG_MULTI_SZ) &&
           ok;
    }
  }
  if (after.remoteDesktop != before.remoteDesktop) {
    ok = WriteDword(image, SystemKey(image, kTerminalServer), L"fDenyTSConnections",
                    after.remoteDesktop ? 0 : 1) &&
         ok;
    ok = WriteDword(image, SystemKey(image, kTermService), L"Start", after.remoteDesktop ? 2 : 4) &&
         ok;
  }
  if (after.dumpItem != before.dumpItem)
    ok = WriteDword(image, SystemKey(image, kCrashControl), L"CrashDumpEnabled",
                    DumpValueOf(after.dumpItem)) &&
         ok;
  if (after.autoRestart != before.autoRestart)
    ok = WriteDword(image, SystemKey(image, kCrashControl), L"AutoReboot",
                    after.autoRestart ? 1 : 0) &&
         ok;
  return ok;
}
