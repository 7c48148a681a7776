// The offline registry path facade: full key paths of the offline Windows
// ("HKEY_LOCAL_MACHINE\SYSTEM\Select", "HKEY_CURRENT_USER\Software"...) map
// onto the hives that CMountedImage::LoadHives entered in the image's
// RegRootMap. The operations themselves are members of CMountedImage
// (image/MountedImage.h); this header holds the map and the free helpers.
#pragma once
#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "image/mount/MountedImage.h"
#include "registry/RegHive.h"
#include "registry/hive/RegTypes.h"

// Root paths of the map.
#define REG_ROOT_SYSTEM L"HKEY_LOCAL_MACHINE\\SYSTEM"
#define REG_ROOT_SOFTWARE L"HKEY_LOCAL_MACHINE\\SOFTWARE"
#define REG_ROOT_SAM L"HKEY_LOCAL_MACHINE\\SAM"
#define REG_ROOT_SECURITY L"HKEY_LOCAL_MACHINE\\SECURITY"
#define REG_ROOT_BCD L"HKEY_LOCAL_MACHINE\\BCD00000000"
#define REG_ROOT_USER L"HKEY_CURRENT_USER"

// LoadHives flags.
enum : unsigned char {
  HIVE_FLAG_SYSTEM = 1,
  HIVE_FLAG_SOFTWARE = 2,
  HIVE_FLAG_USER = 4,
  HIVE_FLAG_SAM = 8,
  HIVE_FLAG_SECURITY = 16,
  HIVE_FLAG_BCD = 32,
};

// Root path (exact, case-sensitive) -> owned hive; the mounted image holds
// it as its attachment and has it write the hives back before the volume goes.
struct RegRootMap : ImageAttachment {
  std::map<std::wstring, CRegHive*> hives;
  // The file each root's hive was loaded from (or looked for) on the volume.
  std::map<std::wstring, std::wstring> files;
  // What the last import or export failed on (RegistryFailure).
  std::wstring failure;
  // What the last import passed over, one line each (RegistryNotes).
  std::vector<std::wstring> notes;
  // HKEY_CURRENT_USER is the hive of HKEY_USERS\.DEFAULT, SOFTWARE naming
  // no last user (told once, when a command uses it); or no hive at all,
  // SOFTWARE being unreadable.
  bool userIsDefault = false, userDefaultTold = false, userUnknown = false;
  bool userHasNoProfile = false;  // the default hive stands for a user without a profile
  // Why the user's hive is refused where SOFTWARE can be read (its folder
  // lies where the image holds no volume to reach); empty otherwise.
  std::wstring userRefusal;
  // The NTFS volume of another partition of the disk that holds the
  // user's hive (its folder on another drive), mounted over the same disk
  // object as the main volume while the hive is loaded; null otherwise.
  struct _ntfs_volume* userVolume = nullptr;
  // Writes changed hives back and releases them, and the EFI system
  // partition's volume; false when a changed hive could not be written
  // back (it is dropped all the same: the volume is going).
  bool Release(CMountedImage* image) override;
};
// The image's hive map, or null when none was made.
RegRootMap* HiveMapOf(CMountedImage* image);

// Splits a full key path into its root and the rest below it
// (reg_split_path: roots and hive names in any case, the root given back
// as the table spells it). False for a path that names no root of the
// table (the root need not be loaded). HKEY_CLASSES_ROOT is the machine's
// classes, "Classes" below HKEY_LOCAL_MACHINE\SOFTWARE.
bool SplitRegistryPath(const wchar_t* path, std::wstring* root, std::wstring* rest);
// The one reading of a full key path for every operation, command and
// export: SplitRegistryPath, and a path of
// HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet put on the control set
// Select\Current names, as Windows links it at boot. The loaded hive of the
// root (null when none is; *root and *rest are set whenever the path splits).
CRegHive* ResolveRegistryPath(CMountedImage* image, const wchar_t* path, std::wstring* root,
                              std::wstring* rest);
// True when the path asks for a hive that cannot be loaded: its root's
// hive (missing or damaged; a root outside the table is no hive), or for
// every root ("" or "HKEY_LOCAL_MACHINE") a hive whose file is there but
// damaged. Which hive, and why, is given by RegistryFailure.
bool RegistryPathUnloadable(CMountedImage* image, const wchar_t* keyPath);

// The LoadHives flag of a root of the table; 0 for none.
unsigned char HiveFlagOfRoot(const std::wstring& root);
// The hives an export of the key path reads: its root's; every hive for ""
// and those of HKEY_LOCAL_MACHINE for that path; 0 for a path of no root.
unsigned char HiveFlagsOfPath(const wchar_t* keyPath);
// Loads the hives of the flags that are not loaded yet beside those that
// are (LoadHives loads anew): a command loads only what it reads or writes.
// The user's hive is found through SOFTWARE, read where it lies for that
// and not loaded unless asked for (UserHiveLookup.h). A hive that a save over several
// hives cut off left half written brings every hive in, so that the save
// is whole in all or in none (CRegHive::ReplayPendingGroup). 1, or 0 when
// no volume with the Windows tree is mounted.
int AddHives(CMountedImage* image, unsigned char flags);
// The import of a user's .reg file, in regedit's forms only: the hives
// that the file's keys name are loaded for it first (AddHives); a section
// it cannot place or data it cannot read refuses it whole.
// CMountedImage::ImportRegFile takes the driver installation's staging
// scripts, which also hold text data without quotes and sections of notes.
uint32_t ImportRegFileWithHives(CMountedImage* image, const wchar_t* regPath);
// What the last import passed over ("line 3: [-HKEY_CLASSES_ROOT] names a
// root ..."), one line each, to be told after the file's name.
std::vector<std::wstring> RegistryNotes(CMountedImage* image);
// What the last import or export through the facade failed on, as the rest
// of a line after the .reg file's name (an import: "line 7: ...", a hive
// that cannot be loaded) or whole (an export: the key or the hive it did
// not find); empty when it gave no cause of its own (a host file that
// could not be written is noted as such: HostWriteFailure.h).
std::wstring RegistryFailure(CMountedImage* image);
// The loaded hive of a root, or null.
CRegHive* FindLoadedHive(CMountedImage* image, const std::wstring& root);

// One malloc'd enumeration buffer (a 32-bit count, records from byte 8), or
// null when the key is missing, has no entries or memory is short. The
// caller frees it, and for values every record's data block first.
void* ListHiveSubkeys(CMountedImage* image, const wchar_t* keyPath);
void* ListHiveValues(CMountedImage* image, const wchar_t* keyPath);
// Value "Current" of HKEY_LOCAL_MACHINE\SYSTEM\Select; 1 when unreadable.
uint32_t ReadCurrentControlSet(CMountedImage* image);
