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

// The names a profile folder of the user may carry behind the user's name
// and a dot: Windows makes "NAME.DOMAIN" (the user's domain; a local
// account's is the computer's name) when the folder "NAME" is another
// account's, and adds ".NNN" (three digits) when that is taken too.
struct FolderSuffixes {
  std::wstring domain;  // as the image records the last user's ("." or empty: the computer)
  std::function<std::vector<std::wstring>()> readComputerNames;  // SYSTEM read once, if needed
  std::vector<std::wstring> computers;
  bool computersRead = false;

  const std::vector<std::wstring>& Computers() {
    if (!computersRead) computers = readComputerNames();
    computersRead = true;
    return computers;
  }
  bool LocalDomain() const { return domain.empty() || domain == L"."; }
  // The user's own domain: the one the record names, else the computer's.
  std::vector<std::wstring> Own() {
    return LocalDomain() ? Computers() : std::vector<std::wstring>{domain};
  }
  // Every name Windows may have given a folder of the user made again.
  std::vector<std::wstring> All() {
    std::vector<std::wstring> all = Computers();
    if (!LocalDomain()) all.push_back(domain);
    return all;
  }
};

// "rest" (what follows the user's name in a folder's name) is "." and one of
// suffixes (any case), with ".NNN" (three digits) behind it when numbered;
// an empty suffix stands for none (".NNN" alone).
bool IsDotSuffix(std::wstring rest, const std::vector<std::wstring>& suffixes, bool numbered) {
  if (numbered) {
    size_t n = rest.size();
    if (n < 4 || rest[n - 4] != L'.' || !iswdigit(rest[n - 3]) || !iswdigit(rest[n - 2]) ||
        !iswdigit(rest[n - 1]))
      return false;
    rest.erase(n - 4);
  }
  for (const std::wstring& suffix : suffixes)
    if (suffix.empty() ? numbered && rest.empty()
                       : rest.size() == suffix.size() + 1 && rest[0] == L'.' &&
                             _wcsicmp(rest.c_str() + 1, suffix.c_str()) == 0)
      return true;
  return false;
}

// The user's profile folder by ProfileList, and whether a folder of the
// user's name exactly is another account's there.
struct ProfileChoice {
  std::wstring folder;     // empty when ProfileList does not tell
  bool nameTaken = false;  // "NAME" is known to be another account's: not the user's either
};

// The entry of the user's SID when SOFTWARE names it (a SID that ProfileList
// lacks makes every folder it lists another account's); else, by the name:
// the folder of the user's own domain ("NAME.DOMAIN", which Windows makes
// only when "NAME" is another account's), the folder "NAME", or the one
// folder of the name made again in another form.
ProfileChoice ProfileFolder(const Software& s, const std::wstring& sid, const std::wstring& name,
                            FolderSuffixes* suffixes) {
  ProfileChoice choice;
  std::wstring folder;
  if (!sid.empty() && s.text(std::wstring(kProfileList) + L"\\" + sid, L"ProfileImagePath", &folder)) {
    choice.folder = VolumeFolder(folder);
    return choice;
  }
  if (name.empty()) return choice;
  std::vector<std::wstring> sids;
  if (!s.subkeys(kProfileList, &sids)) return choice;
  // The folders of the user's name in any form, by their last name.
  std::vector<std::pair<std::wstring, std::wstring>> named;
  bool madeAgain = false;
  for (const std::wstring& k : sids) {
    if (!s.text(std::wstring(kProfileList) + L"\\" + k, L"ProfileImagePath", &folder)) continue;
    std::wstring f = VolumeFolder(folder);
    std::wstring last = f.substr(f.rfind(L'\\') + 1);
    if (last.size() < name.size() || _wcsnicmp(last.c_str(), name.c_str(), name.size()) != 0 ||
        (last.size() > name.size() && last[name.size()] != L'.'))
      continue;
    named.push_back({f, last.substr(name.size())});
    madeAgain = madeAgain || last.size() > name.size();
  }
  auto unique = [&](const std::function<bool(const std::wstring&)>& fits, std::wstring* out) {
    int found = 0;
    for (const auto& n : named)
      if (fits(n.second)) {
        *out = n.first;
        found++;
      }
    return found;
  };
  if (!sid.empty()) {
    choice.nameTaken = unique([](const std::wstring& r) { return r.empty(); }, &folder) > 0;
    return choice;
  }
  if (!madeAgain) {
    choice.folder = named.empty() ? L"" : named[0].first;
    return choice;
  }
  // The user's own domain's folder: "NAME" is then another account's.
  // Two of them (a computer renamed) do not tell which is the user's.
  std::vector<std::wstring> own = suffixes->Own();
  for (bool numbered : {false, true}) {
    int found = unique([&](const std::wstring& r) { return IsDotSuffix(r, own, numbered); },
                       &choice.folder);
    if (found == 1) return choice;
    choice.folder.clear();
    if (found > 1) {
      choice.nameTaken = true;
      return choice;
    }
  }
  if (unique([](const std::wstring& r) { return r.empty(); }, &choice.folder)) return choice;
  // Made again in another form: only the one such folder.
  std::vector<std::wstring> all = suffixes->All();
  all.push_back(L"");
  std::wstring again;
  if (unique([&](const std::wstring& r) {
        return IsDotSuffix(r, all, false) || IsDotSuffix(r, all, true);
      }, &again) == 1)
    choice.folder = again;
  return choice;
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
    // "DOMAIN\\name"; a local account's domain is "." from Windows 8 on,
    // where the SAM form names the computer.
    for (const wchar_t* value : {L"LastLoggedOnUser", L"LastLoggedOnSAMUser"}) {
      std::wstring last;
      s.text(kLogonUi, value, &last);
      size_t cut = last.rfind(L'\\');
      if (cut == std::wstring::npos || cut + 1 >= last.size()) continue;
      if (name.empty()) name = last.substr(cut + 1);
      if (domain.empty() || domain == L".") domain = last.substr(0, cut);
    }
    s.text(kLogonUi, L"LastLoggedOnUserSID", &sid);
    base = L"\\Users\\";
  }
  if (name.empty() && sid.empty()) return USER_HIVE_DEFAULT;
  HiveFileStore* st = store.get();
  FolderSuffixes suffixes;
  suffixes.domain = domain;
  suffixes.readComputerNames = [&]() { return ComputerNames(image, st); };
  ProfileChoice choice = ProfileFolder(s, sid, name, &suffixes);
  std::wstring folder = choice.folder;
  if (folder.empty()) {
    if (name.empty()) return USER_HIVE_DEFAULT;
    // ProfileList names no folder of the user: the folder of the user's
    // name where the image holds its hive, unless ProfileList gives it to
    // another account; else none is the user's.
    folder = base + name;
    if (choice.nameTaken || !st || st->SizeOf(folder + L"\\ntuser.dat") < 0)
      return USER_HIVE_NO_PROFILE;
  }
  std::wstring file = folder + L"\\ntuser.dat";
  if (file.size() >= (size_t)kPathChars) return USER_HIVE_DEFAULT;
  *path = file;
  return USER_HIVE_PROFILE;
}
