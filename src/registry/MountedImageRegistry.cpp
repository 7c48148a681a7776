// The registry members of CMountedImage: loading and unloading the hives of
// the offline Windows and every operation by full key path.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "common/PathUtil.h"
#include "image/mount/FatVolume.h"
#include "image/mount/MountedImage.h"
#include "registry/BcdStore.h"
#include "registry/hive/HiveImage.h"
#include "registry/hive/RegFile.h"
#include "registry/RegHive.h"
#include "registry/RegistryFacade.h"

namespace {

// Import and export visit the roots in this order.
const wchar_t* const kRootOrder[] = {REG_ROOT_USER,     REG_ROOT_BCD,      REG_ROOT_SAM,
                                     REG_ROOT_SECURITY, REG_ROOT_SOFTWARE, REG_ROOT_SYSTEM};

RegRootMap* EnsureMap(CMountedImage* image) {
  if (!image->m_pRegRootMap) image->m_pRegRootMap = new (std::nothrow) RegRootMap();
  return HiveMapOf(image);
}

// The hive of a path and the path below its root; null for a path that
// cannot be split or whose root is not loaded.
CRegHive* Resolve(CMountedImage* image, const wchar_t* path, std::wstring* rest) {
  std::wstring root;
  if (!SplitRegistryPath(path, &root, rest)) return nullptr;
  return FindLoadedHive(image, root);
}

// Parent and last name of a path inside a hive.
void SplitLast(const std::wstring& rest, std::wstring* parent, std::wstring* name) {
  size_t cut = rest.rfind(L'\\');
  if (cut == std::wstring::npos) {
    parent->clear();
    *name = rest;
  } else {
    *parent = rest.substr(0, cut);
    *name = rest.substr(cut + 1);
  }
}

void EnterHive(RegRootMap* map, const wchar_t* root, CRegHive* hive) {
  CRegHive*& slot = map->hives[root];
  if (slot && slot != hive) {
    slot->Close();
    delete slot;
  }
  slot = hive;
}

// A REG_SZ-like value as text, empty when missing.
std::wstring QueryText(CMountedImage* image, const wchar_t* key, const wchar_t* name) {
  RegValueBuf* buf = nullptr;
  uint32_t type = 0;
  std::wstring text;
  if (image->RegQueryValue(key, name, &type, &buf) == REG_STATUS_OK && buf) {
    size_t units = buf->length / 2;
    const uint8_t* p = buf->data;
    for (size_t i = 0; i < units; i++) {
      wchar_t c = (wchar_t)(p[2 * i] | (p[2 * i + 1] << 8));
      if (!c) break;
      text += c;
    }
  }
  free(buf);
  return text;
}

// The ntuser.dat of the last user for the profile choice, or empty.
std::wstring UserHivePath(CMountedImage* image) {
  uint32_t version = image->GetWindowsVersion();
  unsigned major = (version >> 8) & 0xFF;
  std::wstring path;
  if (major < 6) {
    std::wstring user =
        QueryText(image, REG_ROOT_SOFTWARE L"\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon",
                  L"DefaultUserName");
    if (!user.empty()) path = L"\\Documents and Settings\\" + user + L"\\ntuser.dat";
  } else {
    std::wstring last = QueryText(
        image, REG_ROOT_SOFTWARE L"\\Microsoft\\Windows\\CurrentVersion\\Authentication\\LogonUI",
        L"LastLoggedOnUser");
    size_t cut = last.rfind(L'\\');
    if (cut != std::wstring::npos && cut + 1 < last.size())
      path = L"\\Users\\" + last.substr(cut + 1) + L"\\ntuser.dat";
  }
  if (path.size() >= (size_t)kPathChars) path.clear();
  return path;
}

}  // namespace

bool RegRootMap::Release(CMountedImage* image) {
  // The changed hives are saved together, all or none: a change over
  // several hives never lands in some of them only.
  bool saved = true;
  std::vector<CRegHive*> dirty;
  for (auto& entry : hives) {
    CRegHive* hive = entry.second;
    if (!hive || !hive->IsDirty()) continue;
    bool onEsp = image->m_pEspFat && hive->Image()->volume == image->m_pEspFat;
    if (onEsp && !RefreshImageEsp(image)) saved = false;
    dirty.push_back(hive);
  }
  if (saved && !CRegHive::SaveAll(dirty)) saved = false;
  for (auto& entry : hives) {
    if (entry.second) entry.second->Discard();
    delete entry.second;
  }
  hives.clear();
  if (!ReleaseImageEsp(image)) saved = false;
  return saved;
}

RegRootMap* HiveMapOf(CMountedImage* image) {
  return dynamic_cast<RegRootMap*>(image->m_pRegRootMap);
}

bool SplitRegistryPath(const wchar_t* path, std::wstring* root, std::wstring* rest) {
  if (!path) return false;
  std::wstring p;
  try {
    p = path;
  } catch (const std::bad_alloc&) {
    return false;
  }
  size_t first = p.find(L'\\');
  if (p.compare(0, 17, REG_ROOT_USER) == 0) {
    *root = p.substr(0, first);
    *rest = first == std::wstring::npos ? std::wstring() : p.substr(first + 1);
    return true;
  }
  if (p.compare(0, 18, L"HKEY_LOCAL_MACHINE") == 0) {
    if (first == std::wstring::npos) return false;
    size_t second = p.find(L'\\', first + 1);
    *root = p.substr(0, second);
    *rest = second == std::wstring::npos ? std::wstring() : p.substr(second + 1);
    return true;
  }
  return false;
}

CRegHive* FindLoadedHive(CMountedImage* image, const std::wstring& root) {
  RegRootMap* map = image ? HiveMapOf(image) : nullptr;
  if (!map) return nullptr;
  auto it = map->hives.find(root);
  return it == map->hives.end() ? nullptr : it->second;
}

int CMountedImage::LoadHives(unsigned char flags) {
  UnloadHives();
  // The Windows tree lies on the NTFS volume, or on a FAT main volume.
  struct _ntfs_volume* ntfs = NtfsVolume();
  CFatVolume* fat = ntfs ? nullptr : FatVolume();
  if (!ntfs && !fat) return 0;
  RegRootMap* map = EnsureMap(this);
  if (!map) return 0;
  auto open = [&](const wchar_t* root, const wchar_t* file) {
    CRegHive* hive = new (std::nothrow) CRegHive();
    if (!hive) return;
    if (ntfs)
      hive->OpenFromNtfs(ntfs, file);
    else
      hive->OpenFromFat(fat, file);
    EnterHive(map, root, hive);
  };
  if (flags & HIVE_FLAG_BCD) {
    if (CRegHive* bcd = OpenImageBcdStore(this)) EnterHive(map, REG_ROOT_BCD, bcd);
  }
  if (flags & HIVE_FLAG_SYSTEM) open(REG_ROOT_SYSTEM, L"\\WINDOWS\\system32\\config\\system");
  if (flags & HIVE_FLAG_SAM) open(REG_ROOT_SAM, L"\\WINDOWS\\system32\\config\\sam");
  if (flags & HIVE_FLAG_SECURITY) open(REG_ROOT_SECURITY, L"\\WINDOWS\\system32\\config\\security");
  if (flags & HIVE_FLAG_SOFTWARE) open(REG_ROOT_SOFTWARE, L"\\WINDOWS\\system32\\config\\software");
  if (flags & HIVE_FLAG_USER) {
    std::wstring profile = UserHivePath(this);
    open(REG_ROOT_USER,
         profile.empty() ? L"\\WINDOWS\\system32\\config\\default" : profile.c_str());
  }
  // A save over several hives cut off after one of them was begun: the
  // others take their logs too.
  for (auto& a : map->hives) {
    if (!a.second || !a.second->PendingGroup()) continue;
    for (auto& b : map->hives)
      if (b.second && b.second->ReplayedGroup() == a.second->PendingGroup()) {
        a.second->ReplayPendingGroup();
        break;
      }
  }
  return 1;
}

uint32_t CMountedImage::RegCreateKey(const wchar_t* keyPath) {
  std::wstring rest;
  CRegHive* hive = Resolve(this, keyPath, &rest);
  return hive ? hive->CreateKey(rest.c_str()) : REG_STATUS_FAILURE;
}

uint32_t CMountedImage::RegRenameKey(const wchar_t* keyPath, const wchar_t* newName) {
  std::wstring rest, parent, name;
  CRegHive* hive = Resolve(this, keyPath, &rest);
  if (!hive) return REG_STATUS_FAILURE;
  SplitLast(rest, &parent, &name);
  if (name.empty()) return REG_STATUS_FAILURE;
  return hive->RenameKey(parent.c_str(), name.c_str(), newName);
}

uint32_t CMountedImage::RegDeleteKey(const wchar_t* keyPath) {
  std::wstring rest, parent, name;
  CRegHive* hive = Resolve(this, keyPath, &rest);
  if (!hive || rest.empty()) return REG_STATUS_FAILURE;
  SplitLast(rest, &parent, &name);
  if (name.empty()) return REG_STATUS_FAILURE;
  uint32_t r = hive->DeleteKey(parent.c_str(), name.c_str());
  if (r == (uint32_t)-1) return REG_STATUS_NOT_FOUND;
  if (r == 1) return REG_STATUS_FAILURE;
  return r;
}

uint32_t CMountedImage::RegSetValue(const wchar_t* keyPath, const wchar_t* name, const void* data,
                                    uint32_t length, uint32_t type) {
  std::wstring rest;
  CRegHive* hive = Resolve(this, keyPath, &rest);
  return hive ? hive->SetValue(rest.c_str(), name, data, length, type) : REG_STATUS_FAILURE;
}

uint32_t CMountedImage::RegWriteValueData(const wchar_t* keyPath, const wchar_t* name,
                                          const void* data, uint32_t length) {
  std::wstring rest;
  CRegHive* hive = Resolve(this, keyPath, &rest);
  return hive ? hive->WriteValueData(rest.c_str(), name, data, length) : REG_STATUS_FAILURE;
}

uint32_t CMountedImage::RegSetValueFromFile(const wchar_t* keyPath, const wchar_t* name,
                                            const wchar_t* hostPath) {
  std::wstring rest;
  CRegHive* hive = Resolve(this, keyPath, &rest);
  return hive ? hive->SetValueFromFile(rest.c_str(), name, hostPath) : REG_STATUS_FAILURE;
}

uint32_t CMountedImage::RegRenameValue(const wchar_t* keyPath, const wchar_t* oldName,
                                       const wchar_t* newName) {
  std::wstring rest;
  CRegHive* hive = Resolve(this, keyPath, &rest);
  return hive ? hive->RenameValue(rest.c_str(), oldName, newName) : REG_STATUS_FAILURE;
}

uint32_t CMountedImage::RegDeleteValue(const wchar_t* keyPath, const wchar_t* name) {
  std::wstring rest;
  CRegHive* hive = Resolve(this, keyPath, &rest);
  return hive ? hive->DeleteValue(rest.c_str(), name) : REG_STATUS_FAILURE;
}

uint32_t CMountedImage::RegQueryValue(const wchar_t* keyPath, const wchar_t* name, uint32_t* type,
                                      RegValueBuf** data) {
  if (data) *data = nullptr;
  std::wstring rest;
  CRegHive* hive = Resolve(this, keyPath, &rest);
  return hive ? hive->QueryValue(rest.c_str(), name, type, data) : REG_STATUS_FAILURE;
}

int32_t CMountedImage::RegGetSubkeyCount(const wchar_t* keyPath) {
  std::wstring rest;
  CRegHive* hive = Resolve(this, keyPath, &rest);
  return (int32_t)(hive ? hive->GetSubkeyCount(rest.c_str()) : REG_STATUS_FAILURE);
}

uint32_t CMountedImage::RegEnumSubkeys(const wchar_t* keyPath, void* buffer, uint32_t* size) {
  std::wstring rest;
  CRegHive* hive = Resolve(this, keyPath, &rest);
  return hive ? hive->EnumSubkeys(rest.c_str(), buffer, size) : REG_STATUS_FAILURE;
}

uint32_t CMountedImage::RegEnumValues(const wchar_t* keyPath, void* buffer, uint32_t* size) {
  std::wstring rest;
  CRegHive* hive = Resolve(this, keyPath, &rest);
  return hive ? hive->EnumValues(rest.c_str(), buffer, size) : REG_STATUS_FAILURE;
}

uint32_t CMountedImage::ImportRegFile(const wchar_t* regPath) {
  std::wstring text;
  std::vector<std::wstring> sections;
  if (!regPath || read_reg_file(regPath, text) != 0 || !reg_text_sections(text, &sections))
    return REG_STATUS_FAILURE;
  // Only the hives the file names take part. A hive it names that was
  // asked for but could not be loaded fails the import before anything
  // changes (REG_STATUS_NOT_FOUND); a root the caller did not load at all
  // (a driver installation loads SYSTEM only) is passed over, but a file
  // of which no section reaches a hive imports nothing and fails the same.
  std::vector<std::pair<const wchar_t*, CRegHive*>> touched;
  bool named = false;
  for (const wchar_t* root : kRootOrder) {
    size_t n = wcslen(root);
    bool here = false;
    for (const std::wstring& s : sections)
      if (s.size() >= n && _wcsnicmp(s.c_str(), root, n) == 0 && (s.size() == n || s[n] == L'\\'))
        here = true;
    if (!here) continue;
    named = true;
    CRegHive* hive = FindLoadedHive(this, root);
    if (!hive) continue;
    if (!hive->IsLoaded()) return REG_STATUS_NOT_FOUND;
    touched.push_back({root, hive});
  }
  if (!sections.empty() && touched.empty()) return named ? REG_STATUS_NOT_FOUND : REG_STATUS_FAILURE;
  // All or nothing over every hive the file touches: each keeps a copy of
  // itself until all have taken their part.
  std::vector<HiveImage*> copies;
  for (const auto& t : touched) {
    HiveImage* copy = hive_snapshot(t.second->Image());
    if (!copy) break;
    copies.push_back(copy);
  }
  uint32_t result = copies.size() == touched.size() ? REG_STATUS_OK : REG_STATUS_FAILURE;
  for (size_t i = 0; i < touched.size() && result == REG_STATUS_OK; i++)
    if (touched[i].second->ImportRegText(text, touched[i].first) != 0) result = REG_STATUS_FAILURE;
  for (size_t i = 0; i < copies.size(); i++) {
    if (result == REG_STATUS_OK)
      close_hive(copies[i]);
    else
      hive_restore(touched[i].second->Image(), copies[i]);
  }
  return result;
}

uint32_t CMountedImage::ExportRegFile(const wchar_t* keyPath, uint32_t reserved,
                                      const wchar_t* regPath, int append, int filter) {
  (void)reserved;
  if (!keyPath) return REG_STATUS_FAILURE;
  bool all = keyPath[0] == 0;
  bool machine = wcscmp(keyPath, L"HKEY_LOCAL_MACHINE") == 0;
  if (!all && !machine) {
    std::wstring root, rest;
    if (!SplitRegistryPath(keyPath, &root, &rest)) return REG_STATUS_FAILURE;
    CRegHive* hive = FindLoadedHive(this, root);
    if (!hive) return REG_STATUS_FAILURE;
    bool user = root == REG_ROOT_USER;
    return hive->ExportRegFile(root.c_str(), rest.c_str(), nullptr, regPath, append,
                               user ? 0 : filter);
  }
  // Several roots into one file: the first root actually written creates
  // it, so neither a headerless file nor an append to an old one is left.
  // A root that fails fails the whole export, whatever the roots after it do.
  uint32_t result = REG_STATUS_OK;
  bool created = false;
  for (const wchar_t* root : kRootOrder) {
    if (machine && wcscmp(root, REG_ROOT_USER) == 0) continue;
    CRegHive* hive = FindLoadedHive(this, root);
    if (!hive) continue;
    // A hive file that is there but cannot be loaded is a hive asked for and
    // not written; a missing one is no part of this installation.
    if (!hive->IsLoaded()) {
      if (hive->IsFileDamaged()) result = REG_STATUS_FAILURE;
      continue;
    }
    bool system = wcscmp(root, REG_ROOT_SYSTEM) == 0;
    uint32_t r =
        hive->ExportRegFile(root, L"", nullptr, regPath, created ? 1 : 0, system ? filter : 0);
    if (r == REG_STATUS_OK)
      created = true;
    else
      result = REG_STATUS_FAILURE;
  }
  return created ? result : REG_STATUS_FAILURE;
}

bool RegistryPathUnloadable(CMountedImage* image, const wchar_t* keyPath) {
  if (!keyPath) return false;
  bool all = keyPath[0] == 0, machine = wcscmp(keyPath, L"HKEY_LOCAL_MACHINE") == 0;
  if (all || machine) {
    for (const wchar_t* root : kRootOrder) {
      if (machine && wcscmp(root, REG_ROOT_USER) == 0) continue;
      CRegHive* hive = FindLoadedHive(image, root);
      if (hive && !hive->IsLoaded() && hive->IsFileDamaged()) return true;
    }
    return false;
  }
  std::wstring root, rest;
  if (!SplitRegistryPath(keyPath, &root, &rest)) return false;
  // A root outside the table is a wrong path, not a hive.
  bool known = false;
  for (const wchar_t* r : kRootOrder) known = known || root == r;
  CRegHive* hive = FindLoadedHive(image, root);
  return known && (!hive || !hive->IsLoaded());
}

uint32_t CMountedImage::GetCurrentControlSet() {
  uint32_t type = 0;
  RegValueBuf* buf = nullptr;
  uint32_t set = 1;
  if (RegQueryValue(REG_ROOT_SYSTEM L"\\Select", L"Current", &type, &buf) == REG_STATUS_OK && buf &&
      buf->length >= 4) {
    uint32_t v =
        buf->data[0] | (buf->data[1] << 8) | (buf->data[2] << 16) | ((uint32_t)buf->data[3] << 24);
    if (v) set = v;
  }
  free(buf);
  return set;
}

uint32_t ReadCurrentControlSet(CMountedImage* image) {
  return image ? image->GetCurrentControlSet() : 1;
}

static void* ListHive(CMountedImage* image, const wchar_t* keyPath, bool values) {
  if (!image) return nullptr;
  uint32_t size = 0;
  uint32_t r = values ? image->RegEnumValues(keyPath, nullptr, &size)
                      : image->RegEnumSubkeys(keyPath, nullptr, &size);
  if (r != REG_STATUS_BUFFER_TOO_SMALL || size == 0) return nullptr;
  void* buffer = calloc(1, size);
  if (!buffer) return nullptr;
  r = values ? image->RegEnumValues(keyPath, buffer, &size)
             : image->RegEnumSubkeys(keyPath, buffer, &size);
  if (r != REG_STATUS_OK) {
    free(buffer);
    return nullptr;
  }
  return buffer;
}

void* ListHiveSubkeys(CMountedImage* image, const wchar_t* keyPath) {
  return ListHive(image, keyPath, false);
}

void* ListHiveValues(CMountedImage* image, const wchar_t* keyPath) {
  return ListHive(image, keyPath, true);
}
