#include <windows.h>

#include "driverui/StorePackageItem.h"

#include <stdlib.h>

#include "common/FileTree.h"
#include "common/IniSection.h"
#include "common/PathUtil.h"
#include "common/TextOps.h"
#include "common/UnicodeProfile.h"
#include "driverstore/DriverStore.h"
#include "driverstore/PnpRegistration.h"

namespace {

std::wstring Join(const std::wstring& a, const wchar_t* b) {
  wchar_t path[kPathChars];
  lstrcpynW(path, a.c_str(), kPathChars);
  AppendPathPart(path, kPathChars, b);
  return path;
}

// Copies at most size - 1 characters of [from, from + count).
void CopyCut(wchar_t* out, int size, const wchar_t* from, size_t count) {
  size_t n = count < (size_t)(size - 1) ? count : (size_t)(size - 1);
  wmemcpy(out, from, n);
  out[n] = 0;
}

}  // namespace

void FreeStorePackageItem(StorePackageItem* item) {
  if (!item) return;
  for (StoreDeviceRecord* r = item->devices; r;) {
    StoreDeviceRecord* next = r->next;
    delete r;
    r = next;
  }
  delete item;
}

const StoreDeviceRecord* FirstListedDevice(const StorePackageItem* item) {
  const StoreDeviceRecord* r = item ? item->devices : nullptr;
  while (r && r->next) r = r->next;
  return r;
}

StorePackageItem* ReadStoreDeviceList(const wchar_t* iniPath, wchar_t* selName, wchar_t* selSection,
                                      wchar_t* selId) {
  StorePackageItem* item = new StorePackageItem{0, 0, nullptr};
  wchar_t* lines = ReadIniSection(iniPath, L"DeviceList");
  for (const wchar_t* line = lines; line && *line; line += wcslen(line) + 1) {
    const wchar_t* eq = wcschr(line, L'=');
    if (!eq) continue;
    const wchar_t* comma = wcschr(eq + 1, L',');
    if (!comma) continue;
    wchar_t key[400];
    CopyCut(key, 400, line, eq - line);
    TrimBlanks(key);
    size_t len = wcslen(key);
    if (len > 1 && key[0] == L'"' && key[len - 1] == L'"') StripQuotes(key);
    const wchar_t* id = comma + 1;
    if (const wchar_t* slash = wcschr(id, L'\\')) id = slash + 1;
    StoreDeviceRecord* r = new StoreDeviceRecord();
    lstrcpynW(r->name, key, 200);
    lstrcpynW(r->hardwareId, id, 100);
    CopyCut(r->installSection, 100, eq + 1, comma - eq - 1);
    r->next = item->devices;
    item->devices = r;
    item->deviceCount++;
  }
  delete[] lines;

  selName[0] = selSection[0] = selId[0] = 0;
  lines = ReadIniSection(iniPath, L"DeviceSelected");
  if (lines && *lines) {
    const wchar_t* eq = wcschr(lines, L'=');
    const wchar_t* comma = eq ? wcschr(eq + 1, L',') : nullptr;
    if (comma) {
      CopyCut(selName, 200, lines, eq - lines);
      StripQuotes(selName);
      CopyCut(selSection, 100, eq + 1, comma - eq - 1);
      lstrcpynW(selId, comma + 1, 100);
    }
  }
  delete[] lines;
  return item;
}

int ReadStorePackage(const wchar_t* storeFolder, const wchar_t* package, const wchar_t* version,
                     StorePackageView* view) {
  const std::wstring packageFolder = Join(storeFolder, package);
  const std::wstring versionFolder = Join(packageFolder, version);
  StorePackageItem* item = ReadStoreDeviceList(Join(versionFolder, L"VroPnp.ini").c_str(),
                                               view->name, view->installSection, view->hardwareId);
  const std::wstring inf = Join(versionFolder, L"VroPnp.inf");
  if (item->deviceCount == 0 || GetPathKind(inf.c_str()) != 1) {
    FreeStorePackageItem(item);
    view->item = nullptr;
    return 0;
  }
  if (!view->name[0] || !view->installSection[0] || !view->hardwareId[0]) {
    const StoreDeviceRecord* first = FirstListedDevice(item);
    lstrcpynW(view->name, first->name, 200);
    lstrcpynW(view->installSection, first->installSection, 100);
    lstrcpynW(view->hardwareId, first->hardwareId, 100);
  }
  lstrcpynW(view->version, version, 100);
  lstrcpynW(view->infPath, inf.c_str(), 360);
  view->ownPackage = _wtoi(ReadIniValue(inf.c_str(), L"Version", L"Vro").c_str()) != 0;
  wchar_t* history = ReadIniSection(Join(packageFolder, L"NConfig.ini").c_str(), L"History");
  view->used = false;
  for (const wchar_t* line = history; line && *line && !view->used; line += wcslen(line) + 1)
    view->used = wcschr(line, L'=') != nullptr;
  delete[] history;
  item->versionCount = (uint32_t)CountSubfolders(Join(packageFolder, L"*.*").c_str());
  view->item = item;
  return 1;
}

std::vector<StorePackageChoice> ListStorePackages(const wchar_t* storeFolder) {
  std::vector<StorePackageChoice> out;
  WIN32_FIND_DATAW fd;
  HANDLE find = FindFirstFileW(Join(storeFolder, L"*.*").c_str(), &fd);
  if (find == INVALID_HANDLE_VALUE) return out;
  do {
    if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !wcscmp(fd.cFileName, L".") ||
        !wcscmp(fd.cFileName, L".."))
      continue;
    const std::wstring package = Join(storeFolder, fd.cFileName);
    const std::wstring version = VersionToInstall(package, nullptr);
    if (!version.empty()) out.push_back({fd.cFileName, version});
  } while (FindNextFileW(find, &fd));
  FindClose(find);
  return out;
}

std::wstring PackageFolderOfInf(const wchar_t* infPath) {
  wchar_t version[kPathChars], package[kPathChars];
  CopyParentPath(infPath, version, kPathChars);
  CopyParentPath(version, package, kPathChars);
  if (!package[0] || !*FindFileNamePart(package)) return L"";
  return package;
}

int SetStorePackageVersion(const wchar_t* infPath, const wchar_t* version) {
  const std::wstring package = PackageFolderOfInf(infPath);
  if (package.empty()) return 0;
  return WritePrivateProfileStringW(L"Config", L"Version", version,
                                    Join(package, L"NConfig.ini").c_str());
}

int WriteSelectedDeviceLine(const wchar_t* infPath, const wchar_t* name,
                            const wchar_t* installSection, const wchar_t* hardwareId) {
  wchar_t ini[kPathChars];
  CopyParentPath(infPath, ini, kPathChars);
  AppendPathPart(ini, kPathChars, L"VroPnp.ini");
  wchar_t line[401] = {0};
  _snwprintf(line, 399, L"\"%s\"=%s,%s", name, installSection, hardwareId);
  line[399] = 0;
  line[wcslen(line) + 1] = 0;  // a list of one line
  return WriteProfileSection(ini, L"DeviceSelected", line);
}

StoreDeleteResult DeleteStorePackageVersion(const wchar_t* infPath, wchar_t* remaining) {
  remaining[0] = 0;
  if (wcslen(infPath) <= 20) return kStoreDeleteSkipped;
  if (_wtoi(ReadIniValue(infPath, L"Version", L"Vro").c_str()) != 0) return kStoreDeleteSkipped;
  const std::wstring package = PackageFolderOfInf(infPath);
  if (package.empty()) return kStoreDeleteSkipped;
  wchar_t versionFolder[kPathChars], storeFolder[kPathChars];
  CopyParentPath(infPath, versionFolder, kPathChars);
  CopyParentPath(package.c_str(), storeFolder, kPathChars);
  wchar_t section[100] = L"PCI";
  ReadPendingDeviceSection(Join(versionFolder, L"VroPnp.ini").c_str(), section, 100);
  if (!section[0]) lstrcpyW(section, L"PCI");
  const std::wstring indexSection =
      std::wstring(section) + L"\\" + FindFileNamePart(package.c_str());

  DeleteTree(versionFolder);
  wchar_t newest[100] = L"";
  FindNewestVersionFolder(Join(package, L"*.*").c_str(), newest);
  if (!newest[0]) {
    DeleteTree(package.c_str());
    RemoveProfileSection(Join(storeFolder, L"VroDir.ini").c_str(), indexSection.c_str());
    return kStoreDeletePackage;
  }
  WritePrivateProfileStringW(L"Config", L"Version", newest, Join(package, L"NConfig.ini").c_str());
  lstrcpynW(remaining, newest, 100);
  return kStoreDeleteVersion;
}

std::vector<std::wstring> ListVersionFolders(const std::wstring& packageFolder) {
  std::vector<std::wstring> out;
  WIN32_FIND_DATAW fd;
  HANDLE find = FindFirstFileW(Join(packageFolder, L"*.*").c_str(), &fd);
  if (find == INVALID_HANDLE_VALUE) return out;
  do {
    if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && wcscmp(fd.cFileName, L".") &&
        wcscmp(fd.cFileName, L".."))
      out.push_back(fd.cFileName);
  } while (FindNextFileW(find, &fd));
  FindClose(find);
  return out;
}
