// The last user's hive file (UserHiveLookup.h).
#include "registry/UserHiveLookup.h"

#include <windows.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <new>
#include <vector>

#include "common/PathUtil.h"
#include "image/mount/MountedImage.h"
#include "registry/HiveFileStore.h"
#include "registry/RegHive.h"
#include "registry/RegistryFacade.h"
#include "registry/hive/HiveFileReader.h"

const wchar_t kSoftwareHiveFile[] = L"\\Windows\\System32\\config\\SOFTWARE";
const wchar_t kDefaultUserHiveFile[] = L"\\Windows\\System32\\config\\DEFAULT";

namespace {

const wchar_t kSystemHiveFile[] = L"\\Windows\\System32\\config\\SYSTEM";

const wchar_t kLogonUi[] = L"Microsoft\\Windows\\CurrentVersion\\Authentication\\LogonUI";
const wchar_t kWinlogon[] = L"Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
const wchar_t kProfileList[] = L"Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
const wchar_t kCurrentVersion[] = L"Microsoft\\Windows NT\\CurrentVersion";

// SOFTWARE as the lookup reads it: a string value, and a key's subkeys.
struct Software {
  std::function<bool(const std::wstring&, const wchar_t*, std::wstring*)> text;
  std::function<bool(const std::wstring&, std::vector<std::wstring>*)> subkeys;
};

Software OverHive(CRegHive* hive) {
  Software s;
  s.text = [hive](const std::wstring& key, const wchar_t* name, std::wstring* out) {
    out->clear();
    RegValueBuf* buf = nullptr;
    uint32_t type = 0;
    if (hive->QueryValue(key.c_str(), name, &type, &buf) != REG_STATUS_OK || !buf) return false;
    for (uint32_t i = 0; i + 1 < buf->length; i += 2) {
      wchar_t c = (wchar_t)(buf->data[i] | (buf->data[i + 1] << 8));
      if (!c) break;
      *out += c;
    }
    free(buf);
    return true;
  };
  s.subkeys = [hive](const std::wstring& key, std::vector<std::wstring>* names) {
    names->clear();
    uint32_t size = 0;
    uint32_t r = hive->EnumSubkeys(key.c_str(), nullptr, &size);
    if (r == REG_STATUS_OK) return true;
    if (r != REG_STATUS_BUFFER_TOO_SMALL) return false;
    std::vector<uint8_t> buffer(size);
    if (hive->EnumSubkeys(key.c_str(), buffer.data(), &size) != REG_STATUS_OK) return false;
    uint32_t count = *(const uint32_t*)buffer.data();
    for (uint32_t i = 0; i < count; i++)
      names->push_back(((const RegSubkeyEntry*)(buffer.data() + REG_ENUM_HEADER))[i].name);
    return true;
  };
  return s;
}

// A profile folder as ProfileImagePath gives it ("C:\Users\alice.PC",
// "%SystemDrive%\Users\alice") as a path of the main volume, or empty.
std::wstring VolumeFolder(std::wstring p) {
  static const wchar_t kDrive[] = L"%SystemDrive%";
  if (_wcsnicmp(p.c_str(), kDrive, 13) == 0)
    p.erase(0, 13);
  else if (p.size() >= 2 && iswalpha(p[0]) && p[1] == L':')
    p.erase(0, 2);
  while (p.size() > 1 && p.back() == L'\\') p.pop_back();
  if (p.size() < 2 || p[0] != L'\\' || p.find(L'%') != std::wstring::npos) return L"";
  return p;
}

// A profile folder's name as Windows makes it for the user: the user's name,
// or, when that folder is taken, the name with ".DOMAIN" (the domain the
// last user's record names), ".COMPUTER" (the computer's name) or ".NNN"
// (three digits), the last also behind either of the others. Another
// user's folder ("j.doe" for "j") is none of them.
bool IsUsersFolderName(const std::wstring& folder, const std::wstring& name,
                       const std::vector<std::wstring>& suffixes) {
  if (folder.size() < name.size() || _wcsnicmp(folder.c_str(), name.c_str(), name.size()) != 0)
    return false;
  std::wstring rest = folder.substr(name.size());
  auto cutNumber = [](std::wstring& r) {
    size_t n = r.size();
    if (n >= 4 && r[n - 4] == L'.' && iswdigit(r[n - 3]) && iswdigit(r[n - 2]) &&
        iswdigit(r[n - 1]))
      r.erase(n - 4);
  };
  if (rest.empty()) return true;
  cutNumber(rest);
  if (rest.empty()) return true;
  for (const std::wstring& suffix : suffixes)
    if (!suffix.empty() && rest.size() == suffix.size() + 1 && rest[0] == L'.' &&
        _wcsicmp(rest.c_str() + 1, suffix.c_str()) == 0)
      return true;
  return false;
}

// The user's profile folder by ProfileList: the entry of the user's SID
// when SOFTWARE names it, else the one folder ProfileList gives of the
// user's name as Windows makes it (IsUsersFolderName); empty when
// ProfileList does not tell.
std::wstring ProfileFolder(const Software& s, const std::wstring& sid, const std::wstring& name,
                           const std::function<std::vector<std::wstring>()>& suffixes) {
  std::wstring folder;
  if (!sid.empty() && s.text(std::wstring(kProfileList) + L"\\" + sid, L"ProfileImagePath", &folder))
    return VolumeFolder(folder);
  if (name.empty()) return L"";
  std::vector<std::wstring> sids;
  if (!s.subkeys(kProfileList, &sids)) return L"";
  std::vector<std::wstring> again, known;
  bool suffixesRead = false;
  for (const std::wstring& k : sids) {
    if (!s.text(std::wstring(kProfileList) + L"\\" + k, L"ProfileImagePath", &folder)) continue;
    std::wstring f = VolumeFolder(folder);
    std::wstring last = f.substr(f.rfind(L'\\') + 1);
    if (_wcsicmp(last.c_str(), name.c_str()) == 0) return f;
    if (last.size() <= name.size() || last[name.size()] != L'.' ||
        _wcsnicmp(last.c_str(), name.c_str(), name.size()) != 0)
      continue;
    if (!suffixesRead) {
      known = suffixes();
      suffixesRead = true;
    }
    if (IsUsersFolderName(last, name, known)) again.push_back(f);
  }
  return again.size() == 1 ? again[0] : L"";
}

// A hive of the image read for the lookup: the one loaded already, else its
// file where it lies, a few cells at a time (or loaded whole when a write
// Windows did not finish needs its logs).
struct HiveReading {
  Software s;
  std::unique_ptr<HiveFileReader> reader;
  std::unique_ptr<CRegHive> whole;

  bool Open(CMountedImage* image, HiveFileStore* store, CRegHive* loaded,
            const std::wstring& file) {
    if (loaded && loaded->IsLoaded()) {
      s = OverHive(loaded);
      return true;
    }
    if (!store) return false;
    int64_t size = store->SizeOf(file);
    if (size < 0) return false;
    reader.reset(new (std::nothrow) HiveFileReader(
        [store, file](uint64_t at, size_t n, void* out) { return store->ReadAt(file, at, n, out); },
        (uint64_t)size));
    if (!reader) return false;
    HiveFileReader::Outcome o = reader->Open();
    if (o == HiveFileReader::kUnreadable) return false;
    if (o == HiveFileReader::kRead) {
      HiveFileReader* r = reader.get();
      s.text = [r](const std::wstring& k, const wchar_t* n, std::wstring* out) {
        return r->QueryText(k, n, out);
      };
      s.subkeys = [r](const std::wstring& k, std::vector<std::wstring>* names) {
        return r->Subkeys(k, names);
      };
      return true;
    }
    whole.reset(new (std::nothrow) CRegHive());
    if (!whole) return false;
    if (image->NtfsVolume())
      whole->OpenFromNtfs(image->NtfsVolume(), file.c_str());
    else
      whole->OpenFromFat(image->FatVolume(), file.c_str());
    if (!whole->IsLoaded()) return false;
    s = OverHive(whole.get());
    return true;
  }
};

// The names the computer has in SYSTEM's control sets (one, unless it was
// renamed); none when SYSTEM cannot be read.
std::vector<std::wstring> ComputerNames(CMountedImage* image, HiveFileStore* store) {
  std::vector<std::wstring> names, sets;
  HiveReading system;
  if (!system.Open(image, store, FindLoadedHive(image, REG_ROOT_SYSTEM), kSystemHiveFile) ||
      !system.s.subkeys(L"", &sets))
    return names;
  for (const std::wstring& set : sets) {
    std::wstring name;
    if (_wcsnicmp(set.c_str(), L"ControlSet", 10) == 0 &&
        system.s.text(set + L"\\Control\\ComputerName\\ComputerName", L"ComputerName", &name) &&
        !name.empty())
      names.push_back(name);
  }
  return names;
}

}  // namespace

UserHiveFound FindUserHive(CMountedImage* image, CRegHive* software, std::wstring* path) {
  *path = kDefaultUserHiveFile;
  std::unique_ptr<HiveFileStore> store;
  if (image->NtfsVolume())
    store.reset(new (std::nothrow) NtfsHiveStore(image->NtfsVolume()));
  else if (image->FatVolume())
    store.reset(new (std::nothrow) FatHiveStore(image->FatVolume()));
  HiveReading soft;
  if (!soft.Open(image, store.get(), software, kSoftwareHiveFile)) return USER_HIVE_UNREADABLE;
  const Software& s = soft.s;
  // Before Vista the profile is the default logon name's; from Vista on the
  // last user's, with the SID from Windows 8 on.
  std::wstring version;
  unsigned major = 0;
  if (s.text(kCurrentVersion, L"CurrentVersion", &version)) major = (unsigned)_wtoi(version.c_str());
  if (!major) major = (image->GetWindowsVersion() >> 8) & 0xFF;
  std::wstring name, sid, base, domain;
  if (major < 6) {
    s.text(kWinlogon, L"DefaultUserName", &name);
    s.text(kWinlogon, L"DefaultDomainName", &domain);
    base = L"\\Documents and Settings\\";
  } else {
    std::wstring last;
    s.text(kLogonUi, L"LastLoggedOnUser", &last);
    size_t cut = last.rfind(L'\\');
    if (cut != std::wstring::npos && cut + 1 < last.size()) {
      name = last.substr(cut + 1);
      domain = last.substr(0, cut);
    }
    s.text(kLogonUi, L"LastLoggedOnUserSID", &sid);
    base = L"\\Users\\";
  }
  if (name.empty() && sid.empty()) return USER_HIVE_DEFAULT;
  HiveFileStore* st = store.get();
  std::wstring folder = ProfileFolder(s, sid, name, [&]() {
    std::vector<std::wstring> suffixes = ComputerNames(image, st);
    if (domain != L".") suffixes.push_back(domain);
    return suffixes;
  });
  if (folder.empty()) {
    if (name.empty()) return USER_HIVE_DEFAULT;
    // ProfileList names no folder of the user: the folder of the user's
    // name where the image holds its hive, else none is the user's.
    folder = base + name;
    if (!st || st->SizeOf(folder + L"\\ntuser.dat") < 0) return USER_HIVE_NO_PROFILE;
  }
  std::wstring file = folder + L"\\ntuser.dat";
  if (file.size() >= (size_t)kPathChars) return USER_HIVE_DEFAULT;
  *path = file;
  return USER_HIVE_PROFILE;
}
