// The last user's hive file (UserHiveLookup.h).
#include "registry/UserHiveLookup.h"

#include <windows.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <new>
#include <vector>

#include "common/PathUtil.h"
#include "image/device/PartitionIdentity.h"
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

// A hive as the lookup reads it: a string value, any value's data, and a
// key's subkeys.
struct Software {
  std::function<bool(const std::wstring&, const wchar_t*, std::wstring*)> text;
  std::function<bool(const std::wstring&, const wchar_t*, std::vector<uint8_t>*)> data;
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
  s.data = [hive](const std::wstring& key, const wchar_t* name, std::vector<uint8_t>* out) {
    out->clear();
    RegValueBuf* buf = nullptr;
    uint32_t type = 0;
    if (hive->QueryValue(key.c_str(), name, &type, &buf) != REG_STATUS_OK || !buf) return false;
    out->assign(buf->data, buf->data + buf->length);
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
// "%SystemDrive%\Users\alice"): its drive (0: the system drive) and its
// path below the drive's root, empty when the text names no folder of a
// drive (another variable, a share).
struct ProfileDir {
  std::wstring given;
  wchar_t drive = 0;
  std::wstring path;
  // The folder's last name, as the text gives it whatever its form.
  std::wstring Last() const { return given.substr(given.rfind(L'\\') + 1); }
};

ProfileDir ParseProfileDir(const std::wstring& given) {
  static const wchar_t kDrive[] = L"%SystemDrive%";
  ProfileDir d;
  std::wstring p = given;
  while (p.size() > 1 && p.back() == L'\\') p.pop_back();
  d.given = p;
  if (_wcsnicmp(p.c_str(), kDrive, 13) == 0) {
    p.erase(0, 13);
  } else if (p.size() >= 2 && iswalpha(p[0]) && p[1] == L':') {
    d.drive = towupper(p[0]);
    p.erase(0, 2);
  }
  if (p.size() >= 2 && p[0] == L'\\' && p[1] != L'\\' && p.find(L'%') == std::wstring::npos)
    d.path = p;
  return d;
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
  bool found = false;      // ProfileList tells the folder
  ProfileDir folder;
  bool nameTaken = false;  // "NAME" is known to be another account's: not the user's either
};

// The entry of the user's SID when SOFTWARE names it (a SID that ProfileList
// lacks makes every folder it lists another account's); else, by the name:
// the folder of the user's own domain ("NAME.DOMAIN", which Windows makes
// only when "NAME" is another account's), the folder "NAME", or the one
// folder of the name made again in another form. Two folders that fit
// alike (on two drives, or a computer renamed) do not tell which is the
// user's.
ProfileChoice ProfileFolder(const Software& s, const std::wstring& sid, const std::wstring& name,
                            FolderSuffixes* suffixes) {
  ProfileChoice choice;
  std::wstring text;
  if (!sid.empty() && s.text(std::wstring(kProfileList) + L"\\" + sid, L"ProfileImagePath", &text)) {
    choice.found = true;
    choice.folder = ParseProfileDir(text);
    return choice;
  }
  if (name.empty()) return choice;
  std::vector<std::wstring> sids;
  if (!s.subkeys(kProfileList, &sids)) return choice;
  // The folders of the user's name in any form, by their last name.
  std::vector<std::pair<ProfileDir, std::wstring>> named;
  for (const std::wstring& k : sids) {
    if (!s.text(std::wstring(kProfileList) + L"\\" + k, L"ProfileImagePath", &text)) continue;
    ProfileDir f = ParseProfileDir(text);
    std::wstring last = f.Last();
    if (last.size() < name.size() || _wcsnicmp(last.c_str(), name.c_str(), name.size()) != 0 ||
        (last.size() > name.size() && last[name.size()] != L'.'))
      continue;
    named.push_back({f, last.substr(name.size())});
  }
  // How many folders fit; *out: the one when just one does.
  auto unique = [&](const std::function<bool(const std::wstring&)>& fits, ProfileChoice* out) {
    int found = 0;
    for (const auto& n : named)
      if (fits(n.second)) {
        out->folder = n.first;
        found++;
      }
    out->found = found == 1;
    out->nameTaken = out->nameTaken || found > 1;
    return found;
  };
  auto exact = [](const std::wstring& r) { return r.empty(); };
  if (!sid.empty()) {
    ProfileChoice taken;
    choice.nameTaken = unique(exact, &taken) > 0;
    return choice;
  }
  bool madeAgain = false;
  for (const auto& n : named) madeAgain = madeAgain || !n.second.empty();
  if (!madeAgain) {
    unique(exact, &choice);
    return choice;
  }
  // The user's own domain's folder: "NAME" is then another account's.
  std::vector<std::wstring> own = suffixes->Own();
  for (bool numbered : {false, true})
    if (unique([&](const std::wstring& r) { return IsDotSuffix(r, own, numbered); }, &choice))
      return choice;
  if (unique(exact, &choice)) return choice;
  // Made again in another form: only the one such folder.
  std::vector<std::wstring> all = suffixes->All();
  all.push_back(L"");
  unique([&](const std::wstring& r) { return IsDotSuffix(r, all, false) || IsDotSuffix(r, all, true); },
         &choice);
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
      s.data = [r](const std::wstring& k, const wchar_t* n, std::vector<uint8_t>* out) {
        uint32_t type = 0;
        return r->QueryData(k, n, &type, out);
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

// SYSTEM, read the first time the lookup asks (most lookups never do).
struct SystemReading {
  CMountedImage* image;
  HiveFileStore* store;
  HiveReading reading;
  int state = 0;  // 0 not tried, 1 read, -1 unreadable

  const Software* Get() {
    if (!state)
      state = reading.Open(image, store, FindLoadedHive(image, REG_ROOT_SYSTEM), kSystemHiveFile)
                  ? 1
                  : -1;
    return state > 0 ? &reading.s : nullptr;
  }
};

// The names the computer has in SYSTEM's control sets (one, unless it was
// renamed); none when SYSTEM cannot be read.
std::vector<std::wstring> ComputerNames(SystemReading* system) {
  std::vector<std::wstring> names, sets;
  const Software* s = system->Get();
  if (!s || !s->subkeys(L"", &sets)) return names;
  for (const std::wstring& set : sets) {
    std::wstring name;
    if (_wcsnicmp(set.c_str(), L"ControlSet", 10) == 0 &&
        s->text(set + L"\\Control\\ComputerName\\ComputerName", L"ComputerName", &name) &&
        !name.empty())
      names.push_back(name);
  }
  return names;
}

// The volume a folder ProfileList gives lies on: the main volume for the
// system drive (the drive of SOFTWARE's SystemRoot, else C:); for another
// drive the partition of this disk SYSTEM's MountedDevices gives it
// (hive->partition; the main volume when that is the one opened). False,
// with hive->why, when the image holds no such volume.
bool PlaceFolder(CMountedImage* image, const Software& soft, SystemReading* system,
                 const ProfileDir& dir, UserHive* hive) {
  hive->partition = -1;
  const std::wstring folder = L"the last user's profile folder " + dir.given + L" (ProfileList) ";
  if (dir.path.empty()) {
    hive->why = folder + L"names no folder on a drive of this Windows";
    return false;
  }
  std::wstring root;
  wchar_t systemDrive = L'C';
  if (soft.text(kCurrentVersion, L"SystemRoot", &root) && root.size() >= 2 && iswalpha(root[0]) &&
      root[1] == L':')
    systemDrive = towupper(root[0]);
  if (!dir.drive || dir.drive == systemDrive) return true;
  const std::wstring drive = std::wstring(1, dir.drive) + L":";
  const Software* s = system->Get();
  std::vector<uint8_t> id;
  if (!s) {
    hive->why = folder + L"lies on drive " + drive +
                L", and SYSTEM, whose MountedDevices tells which volume that is, cannot be read";
    return false;
  }
  if (!s->data(L"MountedDevices", (L"\\DosDevices\\" + drive).c_str(), &id)) {
    hive->why = folder + L"lies on drive " + drive + L", to which SYSTEM's MountedDevices gives no volume";
    return false;
  }
  int index = -1;
  switch (FindPartitionOfVolumeId(image->IoBlock(), id.data(), id.size(), &index)) {
    case VOLUME_ID_FOUND:
      if (index != image->PartitionIndex()) hive->partition = index;
      return true;
    case VOLUME_ID_NOT_ON_DISK:
      hive->why = folder + L"lies on drive " + drive +
                  L", which SYSTEM's MountedDevices places on another disk than this image or on "
                  L"no partition of its table";
      return false;
    case VOLUME_ID_OTHER_FORM:
      hive->why = folder + L"lies on drive " + drive +
                  L", which SYSTEM's MountedDevices gives a volume that is no partition of a disk";
      return false;
    default:
      hive->why = folder + L"lies on drive " + drive +
                  L", and the partition table of this image cannot be read";
      return false;
  }
}

}  // namespace

UserHiveFound FindUserHive(CMountedImage* image, CRegHive* software, UserHive* hive) {
  *hive = UserHive();
  hive->file = hive->shown = kDefaultUserHiveFile;
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
    // where the SAM form names the computer. A name without a domain is
    // a local account's.
    for (const wchar_t* value : {L"LastLoggedOnUser", L"LastLoggedOnSAMUser"}) {
      std::wstring last;
      s.text(kLogonUi, value, &last);
      size_t cut = last.rfind(L'\\');
      if (cut == std::wstring::npos) {
        if (name.empty()) name = last;
        continue;
      }
      if (cut + 1 >= last.size()) continue;
      if (name.empty()) name = last.substr(cut + 1);
      if (domain.empty() || domain == L".") domain = last.substr(0, cut);
    }
    s.text(kLogonUi, L"LastLoggedOnUserSID", &sid);
    base = L"\\Users\\";
  }
  if (name.empty() && sid.empty()) return USER_HIVE_DEFAULT;
  HiveFileStore* st = store.get();
  SystemReading system{image, st};
  FolderSuffixes suffixes;
  suffixes.domain = domain;
  suffixes.readComputerNames = [&]() { return ComputerNames(&system); };
  ProfileChoice choice = ProfileFolder(s, sid, name, &suffixes);
  std::wstring folder;
  if (choice.found) {
    if (!PlaceFolder(image, s, &system, choice.folder, hive)) return USER_HIVE_UNREACHED;
    folder = choice.folder.path;
  } else {
    // ProfileList names no folder of the user: the folder of the user's
    // name where the image holds its hive, unless ProfileList gives it to
    // another account; else none is the user's.
    if (name.empty()) return USER_HIVE_NO_PROFILE;
    folder = base + name;
    if (choice.nameTaken || !st || st->SizeOf(folder + L"\\ntuser.dat") < 0)
      return USER_HIVE_NO_PROFILE;
  }
  hive->file = folder + L"\\ntuser.dat";
  hive->shown = hive->file;
  if (hive->partition >= 0)
    hive->shown = choice.folder.given + L"\\ntuser.dat (partition ::" +
                  std::to_wstring(hive->partition) + L" of the image)";
  if (hive->file.size() >= (size_t)kPathChars) {
    hive->why = L"the last user's hive file " + hive->shown + L" has a path longer than " +
                std::to_wstring(kPathChars - 1) + L" characters";
    return USER_HIVE_UNREACHED;
  }
  return USER_HIVE_PROFILE;
}
