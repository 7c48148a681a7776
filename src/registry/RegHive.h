// CRegHive: one hive file of the offline Windows (SYSTEM, SOFTWARE, SAM,
// SECURITY, a user's ntuser.dat or the boot store BCD) loaded whole from a
// volume, edited in memory and written back to where it came from. Key paths
// are relative to the hive root; an empty (or null) value name is the
// default value, and "@" a value of that name. Results are registry status
// codes (RegTypes.h).
#pragma once
#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

#include "registry/hive/HiveLog.h"
#include "registry/hive/RegTypes.h"

class HiveFileStore;
struct HiveImage;
struct RegImportFault;
struct _ntfs_volume;
class CFatVolume;

enum : int {
  HIVE_BACKING_NTFS = 1,
  HIVE_BACKING_FAT = 2,
};

// Save results: written, nothing to write, and a write that did not reach
// the volume (the hive stays dirty).
enum : int {
  HIVE_SAVE_WRITTEN = 0,
  HIVE_SAVE_NOTHING = -1,
  HIVE_SAVE_FAILED = (int)REG_STATUS_FAILURE,
};

class CRegHive {
 public:
  CRegHive() = default;
  // Frees the hive without saving it; Close saves.
  ~CRegHive();
  CRegHive(const CRegHive&) = delete;
  CRegHive& operator=(const CRegHive&) = delete;

  // 1 loaded, 0 not. A hive already held is dropped unsaved first. A hive
  // that Windows left with an unfinished write is brought up to date from
  // its transaction logs beside it (<path>.LOG1, .LOG2) as Windows would at
  // load; when logs exist but none can be applied it is read-only.
  int OpenFromNtfs(_ntfs_volume* volume, const wchar_t* path);
  // HIVE_SAVE_*: only a dirty hive is written, with a fresh checksum and the
  // current time as the file's last-write time. The save goes through a
  // transaction log beside the hive (HiveSave.cpp): cut off at any write,
  // the file loads as the old hive or the new one.
  int SaveToNtfs();
  // The same on a FAT or exFAT volume (RegHiveFat.cpp). A save that would
  // not fit on the volume fails before the file is touched.
  int OpenFromFat(CFatVolume* volume, const wchar_t* path);
  int SaveToFat();
  // The save itself, over any store of the hive's files.
  int SaveThrough(HiveFileStore& store);
  // The dirty hives of the list saved together, each over its store: all
  // or none. A failure leaves every file as it was and the hives dirty;
  // the hive whose file did not take its save then tells SaveFailed.
  static bool SaveAllThrough(const std::vector<std::pair<CRegHive*, HiveFileStore*>>& hives);
  // The same over the stores the hives came from.
  static bool SaveAll(const std::vector<CRegHive*>& hives);
  // SaveToNtfs or SaveToFat by where the hive came from. The store on the
  // EFI system partition of a mounted image is saved by UnloadHives, which
  // first mounts that partition again (other calls may have written to it).
  int Save();
  // Saves a dirty hive to where it came from and frees it. A save that
  // fails keeps the hive loaded and dirty and returns HIVE_SAVE_FAILED.
  int Close();
  // Drops the hive without saving.
  void Discard();

  bool IsLoaded() const { return m_pImage != nullptr; }
  // The last open found the file but no hive it could load (damaged,
  // unreadable or empty); a missing file is not damaged.
  bool IsFileDamaged() const { return m_bDamaged; }
  bool IsDirty() const;
  // The last save of several hives together failed at this one's file
  // (its log, its room or its pages); false for the others of that save.
  bool SaveFailed() const { return m_bSaveFailed; }
  // A hive with an unfinished write whose logs cannot be applied is served
  // for reading only.
  bool IsReadOnly() const;
  HiveImage* Image() const { return m_pImage; }

  uint32_t CreateKey(const wchar_t* keyPath);
  uint32_t RenameKey(const wchar_t* parentPath, const wchar_t* oldName, const wchar_t* newName);
  // 0 deleted, 1 not deleted, -1 key missing; REG_STATUS_NOT_FOUND without
  // a hive or parent, REG_STATUS_FAILURE for a read-only hive.
  uint32_t DeleteKey(const wchar_t* parentPath, const wchar_t* name);
  // data may be null; a returned block is malloc'd and the caller frees it.
  uint32_t QueryValue(const wchar_t* keyPath, const wchar_t* name, uint32_t* type,
                      RegValueBuf** data);
  uint32_t SetValue(const wchar_t* keyPath, const wchar_t* name, const void* data, uint32_t length,
                    uint32_t type);
  uint32_t WriteValueData(const wchar_t* keyPath, const wchar_t* name, const void* data,
                          uint32_t length);
  uint32_t DeleteValue(const wchar_t* keyPath, const wchar_t* name);
  uint32_t RenameValue(const wchar_t* keyPath, const wchar_t* oldName, const wchar_t* newName);
  uint32_t SetValueFromFile(const wchar_t* keyPath, const wchar_t* name, const wchar_t* hostPath);
  // The number of subkeys, or REG_STATUS_NOT_FOUND.
  uint32_t GetSubkeyCount(const wchar_t* keyPath);
  // Buffers: a 32-bit count, then the records from byte 8. Without a buffer
  // or with one too small: REG_STATUS_BUFFER_TOO_SMALL and the size needed.
  uint32_t EnumSubkeys(const wchar_t* keyPath, void* buffer, uint32_t* size);
  uint32_t EnumValues(const wchar_t* keyPath, void* buffer, uint32_t* size);
  // The .reg import's result (0 success); 0 when no hive is loaded. Keys
  // of CurrentControlSet go to controlSet (0: not resolved); a failure is
  // described in *fault when given (RegFile.h).
  // forms: a RegTextForms (RegFile.h), regedit's own by default.
  int ImportRegFile(const wchar_t* regPath, const wchar_t* rootPrefix, uint32_t controlSet = 0,
                    RegImportFault* fault = nullptr, int forms = 0);
  // The same for a .reg text read already.
  int ImportRegText(const std::wstring& text, const wchar_t* rootPrefix, uint32_t controlSet = 0,
                    RegImportFault* fault = nullptr, int forms = 0);
  // *hostError: the system's error when the file could not be written.
  uint32_t ExportRegFile(const wchar_t* rootPrefix, const wchar_t* keyPath,
                         const wchar_t* valueName, const wchar_t* regPath, int append, int filter,
                         unsigned long* hostError = nullptr);

  // The transaction logs beside a hive: its path and ".LOG1", ".LOG2".
  static const wchar_t* const kLogSuffixes[2];
  // Hives saved together mark their logs' base blocks (in bytes Windows
  // leaves unused) with this and the save's 64-bit number.
  static const char kGroupMark[5];
  enum : uint32_t { kGroupMarkAt = 0xB0 };
  // The save whose log the last open replayed, and the one whose log lies
  // unreplayed over a hive file it has not reached (0: none).
  uint64_t ReplayedGroup() const { return m_replayedGroup; }
  uint64_t PendingGroup() const { return m_pendingGroup; }
  // Opens the hive again with its pending log replayed, because another
  // hive of the same save was found written: a save over several hives is
  // then whole in all. The hive is dirty afterwards, so that it is saved
  // whole. 1 done.
  int ReplayPendingGroup();

 private:
  // Loads the hive and its logs from a store.
  int OpenThrough(HiveFileStore& store, void* volume, int kind, const wchar_t* path);
  // The key offset of a path, 0 when missing.
  uint32_t FindKey(const wchar_t* keyPath);
  // Applies the logs when the hive needs them and takes the result.
  bool Adopt(const std::vector<uint8_t>& data, const std::vector<HiveLogFile>& logs, void* volume,
             int kind, const wchar_t* path);
  // The logs as read: found[i] 1 read, 0 missing, -1 unreadable.
  static std::vector<HiveLogFile> LogView(const std::vector<std::vector<uint8_t>>& bytes,
                                          const int* found);

  HiveImage* m_pImage = nullptr;
  bool m_bDamaged = false;
  bool m_bSaveFailed = false;
  uint64_t m_replayedGroup = 0;
  uint64_t m_pendingGroup = 0;
  uint64_t m_replayGroup = 0;  // the open replays this save's log
};

// Enumeration sizes: room for the count and one spare record.
inline uint32_t SubkeyEnumSize(uint32_t count) {
  return count ? count * (uint32_t)sizeof(RegSubkeyEntry) + (uint32_t)sizeof(RegSubkeyEntry) + 4
               : 0;
}
inline uint32_t ValueEnumSize(uint32_t count) {
  return count ? count * (uint32_t)sizeof(RegValueEntry) + (uint32_t)sizeof(RegValueEntry) + 4 : 0;
}
// Records begin at byte 8 of an enumeration buffer.
enum : uint32_t { REG_ENUM_HEADER = 8 };
