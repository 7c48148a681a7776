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
#include "registry/hive/HiveFileReader.h"

const wchar_t kSoftwareHiveFile[] = L"\\Windows\\System32\\config\\SOFTWARE";
const wchar_t kDefaultUserHiveFile[] = L"\\Windows\\System32\\config\\DEFAULT";

namespace {

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

// The user's profile folder by ProfileList: the entry of the user's SID
// when SOFTWARE names it, else the one folder of the user's name (or, made
// again, "NAME.SOMETHING"); empty when ProfileList does not tell.
std::wstring ProfileFolder(const Software& s, const std::wstring& sid, const std::wstring& name) {
  std::wstring folder;
  if (!sid.empty() && s.text(std::wstring(kProfileList) + L"\\" + sid, L"ProfileImagePath", &folder))
    return VolumeFolder(folder);
  if (name.empty()) return L"";
  std::vector<std::wstring> sids;
  if (!s.subkeys(kProfileList, &sids)) return L"";
  std::vector<std::wstring> again;
  for (const std::wstring& k : sids) {
    if (!s.text(std::wstring(kProfileList) + L"\\" + k, L"ProfileImagePath", &folder)) continue;
    std::wstring f = VolumeFolder(folder);
    std::wstring last = f.substr(f.rfind(L'\\') + 1);
    if (_wcsicmp(last.c_str(), name.c_str()) == 0) return f;
    if (last.size() > name.size() + 1 && last[name.size()] == L'.' &&
        _wcsnicmp(last.c_str(), name.c_str(), name.size()) == 0)
      again.push_back(f);
  }
  return again.size() == 1 ? again[0] : L"";
}

}  // namespace

UserHiveFound FindUserHive(CMountedImage* image, CRegHive* software, std::wstring* path) {
  *path = kDefaultUserHiveFile;
  std::unique_ptr<HiveFileStore> store;
  if (image->NtfsVolume())
    store.reset(new (std::nothrow) NtfsHiveStore(image->NtfsVolume()));
  else if (image->FatVolume())
    store.reset(new (std::nothrow) FatHiveStore(image->FatVolume()));
  std::unique_ptr<HiveFileReader> reader;
  std::unique_ptr<CRegHive> whole;
  Software s;
  if (software && software->IsLoaded()) {
    s = OverHive(software);
  } else {
    if (!store) return USER_HIVE_UNREADABLE;
    const std::wstring file = kSoftwareHiveFile;
    int64_t size = store->SizeOf(file);
    if (size < 0) return USER_HIVE_UNREADABLE;
    HiveFileStore* st = store.get();
    reader.reset(new (std::nothrow) HiveFileReader(
        [st, file](uint64_t at, size_t n, void* out) { return st->ReadAt(file, at, n, out); },
        (uint64_t)size));
    if (!reader) return USER_HIVE_UNREADABLE;
    HiveFileReader::Outcome o = reader->Open();
    if (o == HiveFileReader::kUnreadable) return USER_HIVE_UNREADABLE;
    if (o == HiveFileReader::kRead) {
      HiveFileReader* r = reader.get();
      s.text = [r](const std::wstring& k, const wchar_t* n, std::wstring* out) {
        return r->QueryText(k, n, out);
      };
      s.subkeys = [r](const std::wstring& k, std::vector<std::wstring>* names) {
        return r->Subkeys(k, names);
      };
    } else {
      // A write Windows did not finish: only a load with its logs reads it.
      whole.reset(new (std::nothrow) CRegHive());
      if (!whole) return USER_HIVE_UNREADABLE;
      if (image->NtfsVolume())
        whole->OpenFromNtfs(image->NtfsVolume(), kSoftwareHiveFile);
      else
        whole->OpenFromFat(image->FatVolume(), kSoftwareHiveFile);
      if (!whole->IsLoaded()) return USER_HIVE_UNREADABLE;
      s = OverHive(whole.get());
    }
  }
  // Before Vista the profile is the default logon name's; from Vista on the
  // last user's, with the SID from Windows 8 on.
  std::wstring version;
  unsigned major = 0;
  if (s.text(kCurrentVersion, L"CurrentVersion", &version)) major = (unsigned)_wtoi(version.c_str());
  if (!major) major = (image->GetWindowsVersion() >> 8) & 0xFF;
  std::wstring name, sid, base;
  if (major < 6) {
    s.text(kWinlogon, L"DefaultUserName", &name);
    base = L"\\Documents and Settings\\";
  } else {
    std::wstring last;
    s.text(kLogonUi, L"LastLoggedOnUser", &last);
    size_t cut = last.rfind(L'\\');
    if (cut != std::wstring::npos && cut + 1 < last.size()) name = last.substr(cut + 1);
    s.text(kLogonUi, L"LastLoggedOnUserSID", &sid);
    base = L"\\Users\\";
  }
  if (name.empty() && sid.empty()) return USER_HIVE_DEFAULT;
  std::wstring folder = ProfileFolder(s, sid, name);
  if (folder.empty()) {
    if (name.empty()) return USER_HIVE_DEFAULT;
    folder = base + name;
  }
  std::wstring file = folder + L"\\ntuser.dat";
  if (file.size() >= (size_t)kPathChars) return USER_HIVE_DEFAULT;
  *path = file;
  return USER_HIVE_PROFILE;
}
