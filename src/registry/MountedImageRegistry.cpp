// The registry members of CMountedImage: loading and unloading the hives of
// the offline Windows and every operation by full key path.
#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "common/FolderFlush.h"
#include "common/PathUtil.h"
#include "common/RegText.h"
#include "common/ReplacedFile.h"
#include "image/device/HostWriteFailure.h"
#include "image/mount/FatVolume.h"
#include "image/mount/MountedImage.h"
#include "image/ntfs/NtfsVolume.h"
#include "image/stack/MountRw.h"
#include "image/stack/OverlayNotice.h"
#include "registry/BcdStore.h"
#include "registry/hive/HiveImage.h"
#include "registry/hive/RegFile.h"
#include "registry/RegHive.h"
#include "registry/RegistryFacade.h"
#include "registry/UserHiveLookup.h"

namespace {

// Import and export visit the roots in this order.
const wchar_t* const kRootOrder[] = {REG_ROOT_USER,     REG_ROOT_BCD,      REG_ROOT_SAM,
                                     REG_ROOT_SECURITY, REG_ROOT_SOFTWARE, REG_ROOT_SYSTEM};

struct HiveFile {
  unsigned char flag;
  const wchar_t* root;
  const wchar_t* file;  // on the volume; the boot store and the user's hive are looked for
};
// The order of loading: the user's hive comes last, named through SOFTWARE.
const HiveFile kHiveFiles[] = {
    {HIVE_FLAG_BCD, REG_ROOT_BCD, nullptr},
    {HIVE_FLAG_SYSTEM, REG_ROOT_SYSTEM, L"\\Windows\\System32\\config\\SYSTEM"},
    {HIVE_FLAG_SAM, REG_ROOT_SAM, L"\\Windows\\System32\\config\\SAM"},
    {HIVE_FLAG_SECURITY, REG_ROOT_SECURITY, L"\\Windows\\System32\\config\\SECURITY"},
    {HIVE_FLAG_SOFTWARE, REG_ROOT_SOFTWARE, kSoftwareHiveFile},
    {HIVE_FLAG_USER, REG_ROOT_USER, nullptr},
};
const unsigned char kEveryHive = 0x3F;

RegRootMap* EnsureMap(CMountedImage* image) {
  if (!image->m_pRegRootMap) image->m_pRegRootMap = new (std::nothrow) RegRootMap();
  return HiveMapOf(image);
}

CRegHive* UseHive(CMountedImage* image, const std::wstring& root);

// The hive of a path and the path below its root; null for a path that
// cannot be split or whose root is not loaded.
CRegHive* Resolve(CMountedImage* image, const wchar_t* path, std::wstring* rest) {
  std::wstring root;
  return ResolveRegistryPath(image, path, &root, rest);
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

void SetFailure(CMountedImage* image, const std::wstring& text) {
  if (RegRootMap* map = EnsureMap(image)) map->failure = text;
}

// The NTFS volume of another partition of the image's disk, over the same
// disk object as the main volume: what a command writes there is kept or
// taken back with the rest of the command. Null when none mounts there.
struct _ntfs_volume* MountUserVolume(CMountedImage* image, RegRootMap* map, int partition) {
  if (map->userVolume) UnmountNtfsVolume(map->userVolume);
  map->userVolume = MountNtfsOnDisk(
      image->IoBlock(), partition,
      NTFS_MOUNT_ACCEPT_DIRTY | (image->IsReadOnly() ? NTFS_MOUNT_READONLY : 0));
  if (map->userVolume && GetMountedPartitionIndex(map->userVolume) != partition) {
    UnmountNtfsVolume(map->userVolume);
    map->userVolume = nullptr;
  }
  return map->userVolume;
}

// Opens the hives of the flags that the map does not hold yet.
void OpenHives(CMountedImage* image, RegRootMap* map, unsigned char flags) {
  struct _ntfs_volume* ntfs = image->NtfsVolume();
  CFatVolume* fat = ntfs ? nullptr : image->FatVolume();
  for (const HiveFile& h : kHiveFiles) {
    if (!(flags & h.flag) || map->hives.count(h.root)) continue;
    if (h.flag == HIVE_FLAG_BCD) {
      if (CRegHive* bcd = OpenImageBcdStore(image)) {
        EnterHive(map, h.root, bcd);
        map->files[h.root] = bcd->IsLoaded() ? bcd->Image()->path : std::wstring(L"\\Boot\\BCD");
      }
      continue;
    }
    std::wstring file = h.file ? h.file : L"";
    CRegHive* hive = new (std::nothrow) CRegHive();
    if (!hive) continue;
    std::wstring shown = file;
    struct _ntfs_volume* volume = ntfs;
    if (h.flag == HIVE_FLAG_USER) {
      UserHive user;
      UserHiveFound found = FindUserHive(image, FindLoadedHive(image, REG_ROOT_SOFTWARE), &user);
      map->userIsDefault = found == USER_HIVE_DEFAULT || found == USER_HIVE_NO_PROFILE;
      map->userHasNoProfile = found == USER_HIVE_NO_PROFILE;
      map->userDefaultTold = false;
      map->userRefusal = user.why;
      file = user.file;
      shown = user.shown;
      if (user.partition >= 0 && found == USER_HIVE_PROFILE &&
          !(volume = MountUserVolume(image, map, user.partition)))
        map->userRefusal = L"the last user's hive file " + user.shown +
                           L": no NTFS volume of that partition can be mounted";
      map->userUnknown = found == USER_HIVE_UNREADABLE || !map->userRefusal.empty();
      if (map->userUnknown) {
        // No hive: every command that asks for it is refused (UnloadableText).
        EnterHive(map, h.root, hive);
        map->files[h.root] = found == USER_HIVE_UNREADABLE ? kSoftwareHiveFile : user.shown;
        continue;
      }
    }
    if (volume)
      hive->OpenFromNtfs(volume, file.c_str());
    else
      hive->OpenFromFat(fat, file.c_str());
    EnterHive(map, h.root, hive);
    map->files[h.root] = shown;
  }
}

// Some hive holds a log of a save over several hives that was cut off.
bool SaveOfSeveralCutOff(const RegRootMap* map) {
  for (const auto& entry : map->hives)
    if (entry.second && (entry.second->PendingGroup() || entry.second->ReplayedGroup()))
      return true;
  return false;
}

// "ROOT: its hive file FILE is ...": why the hive of a root cannot serve.
std::wstring UnloadableText(CMountedImage* image, const std::wstring& root) {
  RegRootMap* map = HiveMapOf(image);
  CRegHive* hive = FindLoadedHive(image, root);
  auto file = map ? map->files.find(root) : std::map<std::wstring, std::wstring>::iterator();
  if (!map || file == map->files.end()) return root + L": its hive is not loaded";
  if (root == REG_ROOT_USER && !map->userRefusal.empty()) return root + L": " + map->userRefusal;
  if (root == REG_ROOT_USER && map->userUnknown)
    return root + L": the last user is named in SOFTWARE, and its hive file " + file->second +
           L" cannot be read (damaged or not in the image)";
  if (hive && hive->IsLoaded() && hive->IsReadOnly())
    return root + L": its hive file " + file->second +
           L" holds a write that Windows did not finish and whose logs cannot be applied: it is "
           L"read-only";
  return root + L": its hive file " + file->second +
         (hive && hive->IsFileDamaged() ? L" is damaged (no hive can be read from it)"
                                        : L" is not in the image");
}

// A hive asked for that cannot serve although it belongs to the
// installation: its file is damaged, or (the user's) SOFTWARE cannot tell
// which file it is.
bool HiveRefused(CMountedImage* image, const std::wstring& root, CRegHive* hive) {
  RegRootMap* map = HiveMapOf(image);
  return hive->IsFileDamaged() || (root == REG_ROOT_USER && map && map->userUnknown);
}

// The loaded hive of a root for a command that reads or writes it; the
// default hive standing for the user's is told the first time.
CRegHive* UseHive(CMountedImage* image, const std::wstring& root) {
  CRegHive* hive = FindLoadedHive(image, root);
  RegRootMap* map = HiveMapOf(image);
  if (hive && hive->IsLoaded() && root == REG_ROOT_USER && map && map->userIsDefault &&
      !map->userDefaultTold) {
    map->userDefaultTold = true;
    VroOverlayNotice(map->files[root].c_str(), map->userHasNoProfile
                                                   ? VRO_NOTICE_USER_HIVE_NO_PROFILE
                                                   : VRO_NOTICE_USER_HIVE_DEFAULT);
  }
  return hive;
}

std::wstring FaultText(const RegImportFault& fault) {
  if (fault.line) return L"line " + std::to_wstring(fault.line) + L": " + fault.what;
  return fault.what;
}

// A section that names a registry root ("HKEY_..."), as against the
// sections of other text a staging script carries beside its keys (a
// driver cache's [File], [Digests], [Installation]), which name no key and
// are passed over there.
bool NamesARoot(const std::wstring& section) {
  return _wcsnicmp(section.c_str(), L"HKEY_", 5) == 0;
}

// The root of the table a section path lies in, or null.
const wchar_t* RootOfSection(const std::wstring& section) {
  std::wstring root, rest;
  if (!reg_split_path(section, 0, &root, &rest)) return nullptr;
  for (const wchar_t* r : kRootOrder)
    if (root == r) return r;
  return nullptr;
}

void AddNote(CMountedImage* image, const std::wstring& text) {
  if (RegRootMap* map = EnsureMap(image)) map->notes.push_back(text);
}

// A user's .reg file (kRegeditForms) is imported whole or not at all: a
// section the import cannot place refuses it. A staging script passes
// over the sections of its notes. loadNamed: the hives the file names are
// loaded for it.
uint32_t ImportInto(CMountedImage* image, const wchar_t* regPath, bool loadNamed,
                    RegTextForms forms) {
  SetFailure(image, L"");
  if (RegRootMap* map = HiveMapOf(image)) map->notes.clear();
  std::wstring text;
  std::vector<RegTextSection> sections;
  RegImportFault fault;
  int read = regPath ? read_reg_file(regPath, text) : EINVAL;
  if (read) {
    SetFailure(image, read == -1
                          ? std::wstring(L"its text cannot be read in the system's code page")
                          : L"it cannot be read (" + std::wstring(_wcserror(read)) + L")");
    return REG_STATUS_FAILURE;
  }
  if (!reg_text_sections(text, &sections, &fault)) {
    SetFailure(image, FaultText(fault));
    return REG_STATUS_FAILURE;
  }
  // Only the hives the file names take part. A hive it names that was
  // asked for but could not be loaded fails the import before anything
  // changes (REG_STATUS_NOT_FOUND); a root the caller did not load at all
  // (a driver installation loads SYSTEM only) is passed over, but a file
  // of which no section reaches a loaded hive imports nothing and fails
  // the same.
  unsigned char named = 0;
  for (const RegTextSection& s : sections) {
    const std::wstring line = L"line " + std::to_wstring(s.line) + L": ";
    const std::wstring shown = L"[" + std::wstring(s.remove ? L"-" : L"") + s.path + L"]";
    const wchar_t* root = RootOfSection(s.path);
    // No root is deleted, nor what a mapped root stands for (all of the
    // machine's classes, the control set Windows boots): passed over as
    // regedit passes over the deletion of a hive's root.
    if (s.remove && reg_names_root(s.path)) {
      AddNote(image, line + shown + L" names a root of the registry, which is never deleted: "
                                    L"passed over");
      if (root) named |= HiveFlagOfRoot(root);
      continue;
    }
    if (root) {
      named |= HiveFlagOfRoot(root);
      continue;
    }
    // A key of a root no hive of the image holds (HKEY_USERS,
    // HKEY_CURRENT_CONFIG, a key Windows keeps only in memory), or of no
    // root at all ("HKLM\...", a stray quote), would be left out while the
    // rest went in: the file is refused whole.
    if (NamesARoot(s.path)) {
      SetFailure(image, line + L"the key " + shown + L" lies in no hive of the image");
      return REG_STATUS_FAILURE;
    }
    if (forms == kRegeditForms) {
      SetFailure(image, line + L"the key line " + shown +
                            L" names no root of the registry (HKEY_LOCAL_MACHINE\\..., "
                            L"HKEY_CURRENT_USER or HKEY_CLASSES_ROOT, written out in full)");
      return REG_STATUS_FAILURE;
    }
  }
  if (loadNamed && named) AddHives(image, named);
  std::vector<std::pair<const wchar_t*, CRegHive*>> touched;
  const wchar_t* firstNamed = nullptr;
  for (const wchar_t* root : kRootOrder) {
    if (!(named & HiveFlagOfRoot(root))) continue;
    if (!firstNamed) firstNamed = root;
    CRegHive* hive = UseHive(image, root);
    if (!hive) continue;
    if (!hive->IsLoaded()) {
      SetFailure(image, UnloadableText(image, root));
      return REG_STATUS_NOT_FOUND;
    }
    touched.push_back({root, hive});
  }
  if (!sections.empty() && !firstNamed) {
    SetFailure(image, L"no section of it names a key of the registry");
    return REG_STATUS_FAILURE;
  }
  if (!sections.empty() && touched.empty()) {
    SetFailure(image, UnloadableText(image, firstNamed));
    return REG_STATUS_NOT_FOUND;
  }
  // Keys of CurrentControlSet go to the control set it links to at boot.
  uint32_t controlSet = 0;
  CRegHive* system = FindLoadedHive(image, REG_ROOT_SYSTEM);
  if (system && system->IsLoaded()) controlSet = image->GetCurrentControlSet();
  // All or nothing over every hive the file touches: each keeps a record
  // of what the import changes in it until all have taken their part.
  std::vector<CRegHive*> recorded;
  uint32_t result = REG_STATUS_OK;
  for (const auto& t : touched) {
    int began = hive_undo_begin(t.second->Image());
    if (began < 0) {
      SetFailure(image, L"no memory for the record of its changes in " + std::wstring(t.first));
      result = REG_STATUS_FAILURE;
      break;
    }
    if (began) recorded.push_back(t.second);
  }
  for (size_t i = 0; i < touched.size() && result == REG_STATUS_OK; i++) {
    if (touched[i].second->ImportRegText(text, touched[i].first, controlSet, &fault, forms) != 0) {
      SetFailure(image, fault.what.empty()
                            ? L"it could not be imported into " + std::wstring(touched[i].first)
                            : FaultText(fault));
      result = REG_STATUS_FAILURE;
    }
  }
  for (CRegHive* hive : recorded) {
    if (result == REG_STATUS_OK)
      hive_undo_commit(hive->Image());
    else
      hive_undo_rollback(hive->Image());
  }
  return result;
}

// The export of one key path or of every root into a file written afresh
// (append 0) or appended to; *hostError: the system's error when the file
// could not be written.
uint32_t ExportInto(CMountedImage* image, const wchar_t* keyPath, const wchar_t* regPath,
                    int append, int filter, unsigned long* hostError) {
  *hostError = 0;
  bool all = keyPath[0] == 0;
  bool machine = _wcsicmp(keyPath, L"HKEY_LOCAL_MACHINE") == 0;
  if (!all && !machine) {
    std::wstring root, rest;
    CRegHive* hive = ResolveRegistryPath(image, keyPath, &root, &rest);
    if (!hive) {
      SetFailure(image, std::wstring(keyPath) + L": no hive of the image holds this key");
      return REG_STATUS_FAILURE;
    }
    if (!hive->IsLoaded()) {
      SetFailure(image, UnloadableText(image, root));
      return REG_STATUS_FAILURE;
    }
    bool user = root == REG_ROOT_USER;
    uint32_t r = hive->ExportRegFile(root.c_str(), rest.c_str(), nullptr, regPath, append,
                                     user ? 0 : filter, hostError);
    if (r == REG_STATUS_NOT_FOUND)
      SetFailure(image, std::wstring(keyPath) + L": no such key in the image");
    else if (r != REG_STATUS_OK && !*hostError)
      SetFailure(image, std::wstring(keyPath) +
                            L": its hive is damaged there (a key listed twice, or a list that "
                            L"cannot be read)");
    return r;
  }
  // Several roots into one file: the first root actually written creates
  // it, so neither a headerless file nor an append to an old one is left.
  // A root that fails fails the whole export, whatever the roots after it do.
  uint32_t result = REG_STATUS_OK;
  bool created = false;
  for (const wchar_t* root : kRootOrder) {
    if (machine && wcscmp(root, REG_ROOT_USER) == 0) continue;
    CRegHive* hive = UseHive(image, root);
    if (!hive) continue;
    // A hive file that is there but cannot be loaded is a hive asked for and
    // not written; a missing one is no part of this installation.
    if (!hive->IsLoaded()) {
      if (HiveRefused(image, root, hive)) {
        SetFailure(image, UnloadableText(image, root));
        result = REG_STATUS_FAILURE;
      }
      continue;
    }
    bool system = wcscmp(root, REG_ROOT_SYSTEM) == 0;
    uint32_t r = hive->ExportRegFile(root, L"", nullptr, regPath, created ? 1 : 0,
                                     system ? filter : 0, hostError);
    if (r == REG_STATUS_OK) {
      created = true;
    } else {
      if (!*hostError)
        SetFailure(image, std::wstring(root) +
                              L": its hive is damaged (a key listed twice, or a list that cannot "
                              L"be read)");
      result = REG_STATUS_FAILURE;
      if (*hostError) break;
    }
  }
  if (!created && !*hostError && RegistryFailure(image).empty())
    SetFailure(image, L"no hive of the image could be read");
  return created ? result : REG_STATUS_FAILURE;
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
  if (saved && !CRegHive::SaveAll(dirty)) {
    saved = false;
    // The hive file the volume did not take back, by its root (every
    // changed one when the save cannot tell).
    bool told = false;
    for (auto& entry : hives) told = told || (entry.second && entry.second->SaveFailed());
    std::wstring which;
    size_t count = 0;
    for (auto& entry : hives) {
      if (!entry.second || !entry.second->IsDirty() || (told && !entry.second->SaveFailed()))
        continue;
      auto file = files.find(entry.first);
      which += (which.empty() ? L"" : L", ") + entry.first +
               (file == files.end() ? std::wstring() : L" (" + file->second + L")");
      ++count;
    }
    // Writes the image's files refused (a full or read-only host, an
    // update file that cannot be made) are the cause, not the volume.
    const bool refused = image->DiskObject() && image->DiskObject()->Layers()->WritesStopped();
    failure = std::wstring(count == 1 ? L"the changed hive file " : L"the changed hive files ") +
              which +
              (refused ? L" could not be written back: a write to the image's files was refused"
                       : L" could not be written back: the volume has too little room for it as "
                         L"it grew and its log, or refused a write") +
              L"; every hive file is as it was";
  } else if (!saved) {
    failure = L"the EFI system partition holding the boot store could not be mounted again to "
              L"write it back; every hive file is as it was";
  }
  for (auto& entry : hives) {
    if (entry.second) entry.second->Discard();
    delete entry.second;
  }
  hives.clear();
  files.clear();
  if (!ReleaseImageEsp(image)) saved = false;
  if (userVolume && UnmountNtfsVolume(userVolume) != 0) saved = false;
  userVolume = nullptr;
  return saved;
}

RegRootMap* HiveMapOf(CMountedImage* image) {
  return dynamic_cast<RegRootMap*>(image->m_pRegRootMap);
}

bool SplitRegistryPath(const wchar_t* path, std::wstring* root, std::wstring* rest) {
  if (!path) return false;
  try {
    return reg_split_path(path, 0, root, rest);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

CRegHive* ResolveRegistryPath(CMountedImage* image, const wchar_t* path, std::wstring* root,
                              std::wstring* rest) {
  if (!SplitRegistryPath(path, root, rest)) return nullptr;
  CRegHive* hive = UseHive(image, *root);
  // CurrentControlSet is the link Windows makes at boot to the set
  // Select\Current names: read through it (the Select key itself is no
  // such path, so the lookup of the set does not come back here).
  if (hive && *root == REG_ROOT_SYSTEM) {
    std::wstring machineKey = L"SYSTEM\\" + *rest;
    if (MapCurrentControlSet(machineKey, 1) != machineKey) {
      std::wstring mapped = MapCurrentControlSet(machineKey, image->GetCurrentControlSet());
      *rest = mapped.substr(7);
    }
  }
  return hive;
}

CRegHive* FindLoadedHive(CMountedImage* image, const std::wstring& root) {
  RegRootMap* map = image ? HiveMapOf(image) : nullptr;
  if (!map) return nullptr;
  auto it = map->hives.find(root);
  return it == map->hives.end() ? nullptr : it->second;
}

int CMountedImage::LoadHives(unsigned char flags) {
  UnloadHives();
  return AddHives(this, flags);
}

int AddHives(CMountedImage* image, unsigned char flags) {
  // The Windows tree lies on the NTFS volume, or on a FAT main volume.
  if (!image || (!image->NtfsVolume() && !image->FatVolume())) return 0;
  RegRootMap* map = EnsureMap(image);
  if (!map) return 0;
  // The user's hive is named in SOFTWARE, read for it where it lies.
  OpenHives(image, map, flags);
  if (SaveOfSeveralCutOff(map)) {
    // A save over several hives cut off after one of them was begun: the
    // others take their logs too, whichever of them was asked for.
    OpenHives(image, map, kEveryHive);
    for (auto& a : map->hives) {
      if (!a.second || !a.second->PendingGroup()) continue;
      for (auto& b : map->hives)
        if (b.second && b.second->ReplayedGroup() == a.second->PendingGroup()) {
          a.second->ReplayPendingGroup();
          break;
        }
    }
  }
  return 1;
}

unsigned char HiveFlagOfRoot(const std::wstring& root) {
  for (const HiveFile& h : kHiveFiles)
    if (root == h.root) return h.flag;
  return 0;
}

unsigned char HiveFlagsOfPath(const wchar_t* keyPath) {
  if (!keyPath) return 0;
  if (!keyPath[0]) return kEveryHive;
  if (_wcsicmp(keyPath, L"HKEY_LOCAL_MACHINE") == 0) return kEveryHive & ~HIVE_FLAG_USER;
  std::wstring root, rest;
  return SplitRegistryPath(keyPath, &root, &rest) ? HiveFlagOfRoot(root) : 0;
}

std::wstring RegistryFailure(CMountedImage* image) {
  RegRootMap* map = image ? HiveMapOf(image) : nullptr;
  return map ? map->failure : std::wstring();
}

uint32_t ImportRegFileWithHives(CMountedImage* image, const wchar_t* regPath) {
  return image ? ImportInto(image, regPath, true, kRegeditForms) : REG_STATUS_FAILURE;
}

std::vector<std::wstring> RegistryNotes(CMountedImage* image) {
  RegRootMap* map = image ? HiveMapOf(image) : nullptr;
  return map ? map->notes : std::vector<std::wstring>();
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
  return ImportInto(this, regPath, false, kStagingForms);
}

uint32_t CMountedImage::ExportRegFile(const wchar_t* keyPath, uint32_t reserved,
                                      const wchar_t* regPath, int append, int filter) {
  (void)reserved;
  SetFailure(this, L"");
  if (!keyPath || !regPath || !*regPath) return REG_STATUS_FAILURE;
  unsigned long error = 0;
  if (append) {
    uint32_t r = ExportInto(this, keyPath, regPath, 1, filter, &error);
    if (error) NoteTargetWriteFailure(regPath, error);
    return r;
  }
  // A new file is made whole under a temporary name beside its place and
  // takes its name only then, its name flushed with its folder: a failure
  // leaves no piece of it, and a file that was there stays as it was.
  ReplacedFile made(regPath, VroNoticeLeftoverRemoved);
  if (!made.IsReady()) {
    NoteTargetWriteFailure(regPath, GetLastError());
    return REG_STATUS_FAILURE;
  }
  uint32_t r = ExportInto(this, keyPath, made.Path(), 0, filter, &error);
  if (r != REG_STATUS_OK) {
    if (error) NoteTargetWriteFailure(regPath, error);
    return r;
  }
  if (!made.Commit()) {
    NoteTargetWriteFailure(regPath, GetLastError());
    return REG_STATUS_FAILURE;
  }
  return REG_STATUS_OK;
}

bool RegistryPathUnloadable(CMountedImage* image, const wchar_t* keyPath) {
  if (!keyPath) return false;
  bool all = keyPath[0] == 0, machine = _wcsicmp(keyPath, L"HKEY_LOCAL_MACHINE") == 0;
  if (all || machine) {
    for (const wchar_t* root : kRootOrder) {
      if (machine && wcscmp(root, REG_ROOT_USER) == 0) continue;
      CRegHive* hive = FindLoadedHive(image, root);
      if (hive && !hive->IsLoaded() && HiveRefused(image, root, hive)) {
        SetFailure(image, UnloadableText(image, root));
        return true;
      }
    }
    return false;
  }
  std::wstring root, rest;
  if (!SplitRegistryPath(keyPath, &root, &rest)) return false;
  // A root outside the table is a wrong path, not a hive.
  if (!HiveFlagOfRoot(root)) return false;
  CRegHive* hive = FindLoadedHive(image, root);
  if (hive && hive->IsLoaded()) return false;
  SetFailure(image, UnloadableText(image, root));
  return true;
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
