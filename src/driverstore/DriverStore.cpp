// Driver store layout and lookups.
#include "driverstore/DriverStore.h"

#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include "common/IniSection.h"
#include "common/PathUtil.h"
#include "common/ProgramLanguage.h"
#include "common/TextOps.h"

namespace {

const wchar_t kDefaultRoot[] = L"G:\\VroDrv";

}  // namespace

void GetDriverStoreRoot(wchar_t* out) {
  const std::wstring settings = ProgramSettingsFile();
  if (settings.empty()) {
    lstrcpynW(out, kDefaultRoot, kPathChars);
    return;
  }
  GetPrivateProfileStringW(L"Config", L"DrvPath", kDefaultRoot, out, kPathChars, settings.c_str());
  if (!out[0]) lstrcpynW(out, kDefaultRoot, kPathChars);
}

void GetDriverStoreFolder(int storeClass, uint32_t windowsVersion, wchar_t* out) {
  GetDriverStoreRoot(out);
  static const wchar_t* const kClassFolders[] = {L"Network", L"Display", L"Sound"};
  if (storeClass >= kStoreNetwork && storeClass <= kStoreSound)
    AppendPathPart(out, kPathChars, kClassFolders[storeClass - kStoreNetwork]);
  wchar_t target[100];
  _snwprintf(target, 100, L"%u.%u_x%u", (windowsVersion >> 8) & 0xFF, windowsVersion & 0xFF,
             windowsVersion >> 16);
  target[99] = 0;
  AppendPathPart(out, kPathChars, target);
}

int FindDriverInStore(int storeClass, uint32_t windowsVersion, wchar_t* id, int length) {
  if (!id || length <= 0) return 0;
  wchar_t index[kPathChars];
  GetDriverStoreFolder(storeClass, windowsVersion, index);
  AppendPathPart(index, kPathChars, L"VroDir.ini");
  std::wstring names = ReadIniSectionNames(index);
  for (const wchar_t* name = names.c_str(); *name; name += wcslen(name) + 1) {
    wchar_t* lines = ReadIniSection(index, name);
    bool hit = false;
    for (const wchar_t* line = lines; line && *line && !hit; line += wcslen(line) + 1)
      hit = _wcsicmp(line, id) == 0;
    delete[] lines;
    if (hit) {
      const wchar_t* slash = wcschr(name, L'\\');
      lstrcpynW(id, slash ? slash + 1 : name, length);
      return 1;
    }
  }
  return 0;
}

uint64_t FindNewestVersionFolder(const wchar_t* pattern, wchar_t* out) {
  WIN32_FIND_DATAW fd;
  HANDLE h = pattern ? FindFirstFileW(pattern, &fd) : INVALID_HANDLE_VALUE;
  if (h == INVALID_HANDLE_VALUE) return 0;
  uint64_t best = 0;
  do {
    if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || wcscmp(fd.cFileName, L".") == 0 ||
        wcscmp(fd.cFileName, L"..") == 0)
      continue;
    uint64_t v = ParseVersionString(fd.cFileName);
    if (v > best) {
      best = v;
      lstrcpynW(out, fd.cFileName, 100);
    }
  } while (FindNextFileW(h, &fd));
  FindClose(h);
  return best;
}

std::wstring VersionToInstall(const std::wstring& packagePath, const wchar_t* workstation) {
  wchar_t nconfig[kPathChars], pattern[kPathChars];
  lstrcpynW(nconfig, packagePath.c_str(), kPathChars);
  AppendPathPart(nconfig, kPathChars, L"NConfig.ini");
  lstrcpynW(pattern, packagePath.c_str(), kPathChars);
  AppendPathPart(pattern, kPathChars, L"*.*");
  std::wstring version =
      workstation ? ReadIniValue(nconfig, L"Workstation", workstation) : std::wstring();
  if (version.empty()) version = ReadIniValue(nconfig, L"Config", L"Version");
  if (version.empty()) {
    wchar_t newest[100] = L"";
    FindNewestVersionFolder(pattern, newest);
    version = newest;
  }
  return version.substr(0, 99);
}

int CountSubfolders(const wchar_t* pattern) {
  WIN32_FIND_DATAW fd;
  HANDLE h = pattern ? FindFirstFileW(pattern, &fd) : INVALID_HANDLE_VALUE;
  if (h == INVALID_HANDLE_VALUE) return 0;
  int count = 0;
  do {
    if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && wcscmp(fd.cFileName, L".") != 0 &&
        wcscmp(fd.cFileName, L"..") != 0)
      ++count;
  } while (FindNextFileW(h, &fd));
  FindClose(h);
  return count;
}

uint32_t ParsePciVendorId(const wchar_t* hardwareId) {
  const wchar_t* at = hardwareId ? FindNoCase(hardwareId, L"VEN_") : nullptr;
  if (!at) return 0;
  wchar_t digits[5];
  lstrcpynW(digits, at + 4, 5);
  return (uint32_t)wcstoul(digits, nullptr, 16);
}

uint32_t CollectVendorIds(const wchar_t* ids) {
  return ids && *ids ? ParsePciVendorId(ids) : 0;
}
