// CRegHive: load, save and the registry operations on one hive.
#include "registry/RegHive.h"

#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "image/ntfs/NtfsVolume.h"
#include "registry/HiveFileStore.h"
#include "registry/hive/HiveImage.h"
#include "registry/hive/HiveLog.h"
#include "registry/hive/HiveNames.h"
#include "registry/hive/HiveOps.h"
#include "registry/hive/HiveRecords.h"
#include "registry/hive/RegFile.h"

namespace {

// Components of a key path; a doubled backslash stands for one backslash
// inside a name, empty components are skipped (as the path walk does).
std::vector<std::wstring> SplitComponents(const wchar_t* p) {
  std::vector<std::wstring> out;
  std::wstring cur;
  for (size_t i = 0; p && p[i];) {
    cur.clear();
    while (p[i] && !(p[i] == L'\\' && p[i + 1] != L'\\')) {
      if (p[i] == L'\\') {
        cur += L'\\';
        i += 2;
      } else {
        cur += p[i++];
      }
    }
    if (p[i] == L'\\') i++;
    if (!cur.empty()) out.push_back(cur);
  }
  return out;
}

std::wstring EscapeComponent(const std::wstring& name) {
  std::wstring out;
  for (wchar_t c : name) {
    out += c;
    if (c == L'\\') out += L'\\';
  }
  return out;
}

bool SameName(const wchar_t* a, const wchar_t* b) {
  size_t na = value_name_len(a), nb = value_name_len(b);
  if (na == 0 || nb == 0) return na == nb;
  return hive_compare_wide(a, na, b, nb) == 0;
}

// A missing name is the default value (the empty name).
const wchar_t* NameOrDefault(const wchar_t* name) {
  return name ? name : L"";
}

}  // namespace

CRegHive::~CRegHive() {
  Discard();
}

void CRegHive::Discard() {
  close_hive(m_pImage);
  m_pImage = nullptr;
}

bool CRegHive::IsDirty() const {
  return m_pImage && (m_pImage->state & HIVE_STATE_DIRTY);
}

bool CRegHive::IsReadOnly() const {
  return m_pImage && m_pImage->unfinishedWrite;
}

const wchar_t* const CRegHive::kLogSuffixes[2] = {L".LOG1", L".LOG2"};

bool CRegHive::Adopt(const std::vector<uint8_t>& data, const std::vector<HiveLogFile>& logs,
                     void* volume, int kind, const wchar_t* path) {
  HiveImage* img = nullptr;
  uint32_t logSequence = 0;
  HiveLogOutcome outcome;
  {
    std::vector<uint8_t> recovered;
    outcome = hive_apply_logs(data, logs, &logSequence, &recovered);
    // Logs whose result is no sound hive are not applied after all.
    if (outcome == HIVE_LOG_RECOVERED &&
        load_hive_buffer(recovered.data(), recovered.size(), &img) != REG_STATUS_OK)
      outcome = HIVE_LOG_REFUSED;
  }
  if (!img && (load_hive_buffer(data.data(), data.size(), &img) != REG_STATUS_OK || !img))
    return false;
  // Changes pending in logs that cannot be applied are unknown: the hive
  // as it stands is served for reading only. Without any log the base
  // block is all there is, for Windows too.
  img->unfinishedWrite = outcome == HIVE_LOG_REFUSED;
  img->logSequence = logSequence;
  img->path = path;
  img->volume = volume;
  img->backingKind = kind;
  m_pImage = img;
  return true;
}

std::vector<HiveLogFile> CRegHive::LogView(const std::vector<std::vector<uint8_t>>& bytes,
                                           const int* found) {
  std::vector<HiveLogFile> logs(bytes.size());
  for (size_t i = 0; i < bytes.size(); i++) {
    logs[i].data = bytes[i].data();
    logs[i].size = found[i] > 0 ? bytes[i].size() : 0;
    logs[i].unreadable = found[i] < 0;
  }
  return logs;
}

int CRegHive::OpenThrough(HiveFileStore& store, void* volume, int kind, const wchar_t* path) {
  Discard();
  m_bDamaged = false;
  m_replayedGroup = m_pendingGroup = 0;
  if (!volume || !path) return 0;
  std::vector<uint8_t> data;
  int got = store.ReadWhole(path, data);
  m_bDamaged = got < 0 || (got == 1 && data.empty());
  if (got != 1 || data.empty()) return 0;
  std::vector<std::vector<uint8_t>> logs(2);
  int found[2];
  for (int i = 0; i < 2; i++)
    found[i] = store.ReadWhole(std::wstring(path) + kLogSuffixes[i], logs[i]);
  // A log of a save over several hives written for the step after this
  // very file: replayed when the file shows that step begun, pending when
  // the file is still the old one (see ReplayPendingGroup).
  if (data.size() >= HIVE_BASE_SIZE) {
    uint32_t seq1 = read_le32(data.data() + 4), seq2 = read_le32(data.data() + 8);
    for (int i = 0; i < 2; i++) {
      const std::vector<uint8_t>& l = logs[i];
      if (found[i] != 1 || l.size() < 0x200 || memcmp(l.data() + kGroupMarkAt, kGroupMark, 4) != 0 ||
          read_le32(l.data() + 4) != seq2 + 1)
        continue;
      uint64_t group = read_le32(l.data() + kGroupMarkAt + 4) |
                       (uint64_t)read_le32(l.data() + kGroupMarkAt + 8) << 32;
      if (seq1 == seq2 + 1 && read_le32(l.data() + 4) == seq1) {
        m_replayedGroup = group;
      } else if (seq1 == seq2 && group == m_replayGroup) {
        // The file as the save leaves it when it begins the write.
        write_le32(data.data() + 4, seq2 + 1);
        uint32_t x = 0;
        for (int k = 0; k < 127; k++) x ^= read_le32(data.data() + 4 * k);
        write_le32(data.data() + 0x1FC, x);
        m_replayedGroup = group;
      } else if (seq1 == seq2) {
        m_pendingGroup = group;
      }
    }
  }
  if (Adopt(data, LogView(logs, found), volume, kind, path)) return 1;
  m_bDamaged = true;
  return 0;
}

int CRegHive::OpenFromNtfs(_ntfs_volume* volume, const wchar_t* path) {
  NtfsHiveStore store(volume);
  return OpenThrough(store, volume, HIVE_BACKING_NTFS, path);
}

int CRegHive::SaveToNtfs() {
  if (!m_pImage || !(m_pImage->state & HIVE_STATE_DIRTY)) return HIVE_SAVE_NOTHING;
  if (m_pImage->backingKind != HIVE_BACKING_NTFS || !m_pImage->volume) return HIVE_SAVE_FAILED;
  NtfsHiveStore store((ntfs_volume*)m_pImage->volume);
  return SaveThrough(store);
}

int CRegHive::Save() {
  if (!m_pImage || !(m_pImage->state & HIVE_STATE_DIRTY)) return HIVE_SAVE_NOTHING;
  switch (m_pImage->backingKind) {
    case HIVE_BACKING_NTFS:
      return SaveToNtfs();
    case HIVE_BACKING_FAT:
      return SaveToFat();
    default:
      return HIVE_SAVE_FAILED;
  }
}

const char CRegHive::kGroupMark[5] = "VroG";

int CRegHive::ReplayPendingGroup() {
  if (!m_pImage || !m_pendingGroup) return 0;
  std::wstring path = m_pImage->path;
  void* volume = m_pImage->volume;
  int kind = m_pImage->backingKind;
  m_replayGroup = m_pendingGroup;
  int r = kind == HIVE_BACKING_NTFS  ? OpenFromNtfs((ntfs_volume*)volume, path.c_str())
          : kind == HIVE_BACKING_FAT ? OpenFromFat((CFatVolume*)volume, path.c_str())
                                     : 0;
  m_replayGroup = 0;
  if (r == 1) m_pImage->state |= HIVE_STATE_DIRTY;
  return r;
}

bool CRegHive::SaveAll(const std::vector<CRegHive*>& hives) {
  std::vector<std::unique_ptr<HiveFileStore>> stores;
  std::vector<std::pair<CRegHive*, HiveFileStore*>> list;
  for (CRegHive* h : hives) {
    if (!h || !h->IsDirty()) continue;
    const HiveImage* img = h->m_pImage;
    if (!img->volume) return false;
    if (img->backingKind == HIVE_BACKING_NTFS)
      stores.emplace_back(new (std::nothrow) NtfsHiveStore((ntfs_volume*)img->volume));
    else if (img->backingKind == HIVE_BACKING_FAT)
      stores.emplace_back(new (std::nothrow) FatHiveStore((CFatVolume*)img->volume));
    else
      return false;
    if (!stores.back()) return false;
    list.push_back({h, stores.back().get()});
  }
  return list.empty() || SaveAllThrough(list);
}

int CRegHive::Close() {
  if (!m_pImage) return HIVE_SAVE_NOTHING;
  int r = Save();
  if (r == HIVE_SAVE_FAILED) return r;
  Discard();
  return r;
}

uint32_t CRegHive::FindKey(const wchar_t* keyPath) {
  if (!m_pImage) return 0;
  return find_key(m_pImage, 0, keyPath ? keyPath : L"");
}

uint32_t CRegHive::CreateKey(const wchar_t* keyPath) {
  if (!m_pImage || IsReadOnly() || !keyPath) return REG_STATUS_FAILURE;
  uint32_t key = hive_root_key(m_pImage);
  bool added = false;
  for (const std::wstring& c : SplitComponents(keyPath)) {
    uint32_t next = find_key(m_pImage, key, EscapeComponent(c).c_str());
    if (!next) {
      if (!add_key(m_pImage, key, c.c_str())) return REG_STATUS_FAILURE;
      next = find_key(m_pImage, key, EscapeComponent(c).c_str());
      if (!next) return REG_STATUS_FAILURE;
      added = true;
    }
    key = next;
  }
  return added ? REG_STATUS_OK : REG_STATUS_EXISTS;
}

uint32_t CRegHive::RenameKey(const wchar_t* parentPath, const wchar_t* oldName,
                             const wchar_t* newName) {
  if (!m_pImage) return REG_STATUS_NOT_FOUND;
  if (IsReadOnly() || !oldName || !newName) return REG_STATUS_FAILURE;
  uint32_t parent = FindKey(parentPath);
  if (!parent) return REG_STATUS_FAILURE;
  std::wstring esc = EscapeComponent(newName);
  if (find_key(m_pImage, parent, esc.c_str()) && !SameName(oldName, newName))
    return REG_STATUS_EXISTS;
  return rename_key(m_pImage, parent, oldName, newName) ? REG_STATUS_OK : REG_STATUS_FAILURE;
}

uint32_t CRegHive::DeleteKey(const wchar_t* parentPath, const wchar_t* name) {
  if (!m_pImage) return REG_STATUS_NOT_FOUND;
  uint32_t parent = FindKey(parentPath);
  if (!parent) return REG_STATUS_NOT_FOUND;
  if (IsReadOnly()) return REG_STATUS_FAILURE;
  return (uint32_t)del_key_tree(m_pImage, name, parent);
}

uint32_t CRegHive::QueryValue(const wchar_t* keyPath, const wchar_t* name, uint32_t* type,
                              RegValueBuf** data) {
  if (data) *data = nullptr;
  if (!m_pImage) return REG_STATUS_NOT_FOUND;
  uint32_t key = FindKey(keyPath);
  if (!key) return REG_STATUS_NOT_FOUND;
  int64_t t = get_value_type(m_pImage, key, name ? name : L"");
  if (t < 0) return REG_STATUS_NOT_FOUND;
  if (data) {
    *data = copy_value_to_buf(m_pImage, nullptr, key, name ? name : L"", 0);
    if (!*data) return REG_STATUS_NOT_FOUND;
  }
  if (type) *type = (uint32_t)t;
  return REG_STATUS_OK;
}

uint32_t CRegHive::SetValue(const wchar_t* keyPath, const wchar_t* name, const void* data,
                            uint32_t length, uint32_t type) {
  if (!m_pImage) return REG_STATUS_NOT_FOUND;
  uint32_t key = FindKey(keyPath);
  if (!key) return REG_STATUS_NOT_FOUND;
  if (IsReadOnly()) return REG_STATUS_FAILURE;
  const wchar_t* n = NameOrDefault(name);
  bool added = false;
  if (get_value_type(m_pImage, key, n) < 0) {
    if (!add_value(m_pImage, key, n, type)) return REG_STATUS_FAILURE;
    added = true;
  }
  uint32_t r = WriteValueData(keyPath, n, data, length);
  // A value made here for data that could not be written goes again.
  if (r != REG_STATUS_OK && added) del_value(m_pImage, FindKey(keyPath), n);
  return r;
}

uint32_t CRegHive::WriteValueData(const wchar_t* keyPath, const wchar_t* name, const void* data,
                                  uint32_t length) {
  if (!m_pImage) return REG_STATUS_NOT_FOUND;
  uint32_t key = FindKey(keyPath);
  if (!key) return REG_STATUS_NOT_FOUND;
  if (IsReadOnly() || (length && !data)) return REG_STATUS_FAILURE;
  name = NameOrDefault(name);
  int64_t type = get_value_type(m_pImage, key, name);
  bool added = false;
  if (type < 0) {
    // Only the default value is made here.
    if (name[0] || !add_value(m_pImage, key, L"", HIVE_REG_SZ)) return REG_STATUS_FAILURE;
    type = HIVE_REG_SZ;
    added = true;
  }
  uint32_t r;
  if (type == HIVE_REG_DWORD) {
    uint8_t b[4] = {0, 0, 0, 0};
    memcpy(b, data, length < 4 ? length : 4);
    r = put_dword_value(m_pImage, key, name, read_le32(b));
    if (r == REG_STATUS_FAILURE) r = 0;
  } else {
    r = put_data_to_value(m_pImage, data, length, key, name, (uint32_t)type);
  }
  if (!r && added) del_value(m_pImage, key, L"");
  return r ? REG_STATUS_OK : REG_STATUS_FAILURE;
}

uint32_t CRegHive::DeleteValue(const wchar_t* keyPath, const wchar_t* name) {
  if (!m_pImage) return REG_STATUS_NOT_FOUND;
  uint32_t key = FindKey(keyPath);
  if (!key) return REG_STATUS_NOT_FOUND;
  if (IsReadOnly()) return REG_STATUS_FAILURE;
  return del_value(m_pImage, key, name ? name : L"") == 0 ? REG_STATUS_OK : REG_STATUS_FAILURE;
}

uint32_t CRegHive::RenameValue(const wchar_t* keyPath, const wchar_t* oldName,
                               const wchar_t* newName) {
  if (!m_pImage) return REG_STATUS_NOT_FOUND;
  uint32_t key = FindKey(keyPath);
  if (!key || !oldName || !newName || get_value_len(m_pImage, key, oldName) < 0)
    return REG_STATUS_FAILURE;
  if (IsReadOnly()) return REG_STATUS_FAILURE;
  const wchar_t* to = NameOrDefault(newName);
  if (SameName(oldName, to)) {
    // Only the case differs: the record keeps its place and data and takes
    // the new spelling when it has the same stored length.
    uint32_t vk = walk_key_path(m_pImage, key, oldName, WALK_LITERAL | WALK_VALUE);
    if (!vk) return REG_STATUS_FAILURE;
    size_t n = value_name_len(to);
    bool comp = false;
    std::string stored = hive_encode_name(to, n, &comp);
    HiveName cur = vk_name(m_pImage, vk);
    if (stored.size() == cur.bytes && comp == cur.compressed) {
      if (memcmp(cur.p, stored.data(), stored.size()) != 0) {
        memcpy(hive_write_at(m_pImage, vk + 4 + VK_NAME, (uint32_t)stored.size()), stored.data(),
               stored.size());
        hive_mark_dirty(m_pImage);
      }
      return REG_STATUS_OK;
    }
    // A different stored form: moved through a copy below.
  } else if (get_value_type(m_pImage, key, to) >= 0) {
    return REG_STATUS_EXISTS;
  }
  // The data is copied out first: adding the new value can move the buffer.
  uint32_t type = (uint32_t)get_value_type(m_pImage, key, oldName);
  RegValueBuf* copy = copy_value_to_buf(m_pImage, nullptr, key, oldName, 0);
  if (!copy) return REG_STATUS_FAILURE;
  uint32_t r = REG_STATUS_OK;
  if (SameName(oldName, to)) {
    HiveImage* snap = hive_snapshot(m_pImage);
    if (!snap)
      r = REG_STATUS_FAILURE;
    else if (del_value(m_pImage, key, oldName) != 0 ||
             !add_value(m_pImage, FindKey(keyPath), to, type) ||
             !put_data_to_value(m_pImage, copy->data, copy->length, FindKey(keyPath), to, type)) {
      hive_restore(m_pImage, snap);
      r = REG_STATUS_FAILURE;
    } else {
      close_hive(snap);
    }
    free(copy);
    return r;
  }
  if (!add_value(m_pImage, key, to, type)) {
    r = REG_STATUS_FAILURE;
  } else if (!put_data_to_value(m_pImage, copy->data, copy->length, FindKey(keyPath), to, type)) {
    del_value(m_pImage, FindKey(keyPath), to);
    r = REG_STATUS_FAILURE;
  } else if (del_value(m_pImage, FindKey(keyPath), oldName) != 0) {
    del_value(m_pImage, FindKey(keyPath), to);
    r = REG_STATUS_FAILURE;
  }
  free(copy);
  return r;
}

uint32_t CRegHive::SetValueFromFile(const wchar_t* keyPath, const wchar_t* name,
                                    const wchar_t* hostPath) {
  if (!m_pImage || !FindKey(L"")) return REG_STATUS_NOT_FOUND;
  if (IsReadOnly() || !hostPath) return REG_STATUS_FAILURE;
  HANDLE h = CreateFileW(hostPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return REG_STATUS_FAILURE;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(h, &size) || size.QuadPart > 0x7FFFFFF0LL) {
    CloseHandle(h);
    return REG_STATUS_FAILURE;
  }
  HANDLE map = nullptr;
  const void* view = nullptr;
  if (size.QuadPart > 0) {
    map = CreateFileMappingW(h, nullptr, PAGE_READONLY, 0, 0, nullptr);
    view = map ? MapViewOfFile(map, FILE_MAP_READ, 0, 0, 0) : nullptr;
    if (!view) {
      if (map) CloseHandle(map);
      CloseHandle(h);
      return REG_STATUS_FAILURE;
    }
  }
  uint32_t r = CreateKey(keyPath);
  if (r == REG_STATUS_OK || r == REG_STATUS_EXISTS) {
    const wchar_t* n = NameOrDefault(name);
    uint32_t key = FindKey(keyPath);
    int64_t t = get_value_type(m_pImage, key, n);
    if (t >= 0 && t != HIVE_REG_BINARY) {
      // The file's bytes become a binary value, whatever the name held
      // before; the old value goes only once the new data is in place.
      r = put_data_to_value(m_pImage, view, (uint32_t)size.QuadPart, key, n, 0) &&
                  set_value_type(m_pImage, key, n, HIVE_REG_BINARY)
              ? REG_STATUS_OK
              : REG_STATUS_FAILURE;
    } else {
      r = SetValue(keyPath, n, view, (uint32_t)size.QuadPart, HIVE_REG_BINARY);
    }
  }
  if (view) UnmapViewOfFile(view);
  if (map) CloseHandle(map);
  CloseHandle(h);
  return r == REG_STATUS_OK ? REG_STATUS_OK : REG_STATUS_FAILURE;
}

uint32_t CRegHive::GetSubkeyCount(const wchar_t* keyPath) {
  uint32_t key = FindKey(keyPath);
  if (!key) return REG_STATUS_NOT_FOUND;
  return key_subkey_count(m_pImage, key);
}

uint32_t CRegHive::EnumSubkeys(const wchar_t* keyPath, void* buffer, uint32_t* size) {
  if (!size) return REG_STATUS_FAILURE;
  uint32_t key = FindKey(keyPath);
  if (!key) return REG_STATUS_NOT_FOUND;
  uint32_t count = key_subkey_count(m_pImage, key);
  uint32_t needed = SubkeyEnumSize(count);
  uint64_t fits = REG_ENUM_HEADER + (uint64_t)count * sizeof(RegSubkeyEntry);
  if (!buffer || (count && *size < fits)) {
    *size = needed;
    return REG_STATUS_BUFFER_TOO_SMALL;
  }
  if (*size < 4) return REG_STATUS_OK;
  uint8_t* out = (uint8_t*)buffer;
  uint32_t got = 0, li = 0, slot = 0;
  HiveSubkey sk;
  int r;
  while (got < count && (r = next_subkey(m_pImage, key, &li, &slot, &sk)) == 1) {
    RegSubkeyEntry* e = (RegSubkeyEntry*)(out + REG_ENUM_HEADER + got * sizeof(RegSubkeyEntry));
    e->subkeyCount = key_subkey_count(m_pImage, sk.cell + 4);
    size_t n = sk.name.size() < 1023 ? sk.name.size() : 1023;
    memcpy(e->name, sk.name.data(), n * sizeof(wchar_t));
    e->name[n] = 0;
    got++;
  }
  write_le32(out, got);
  return REG_STATUS_OK;
}

uint32_t CRegHive::EnumValues(const wchar_t* keyPath, void* buffer, uint32_t* size) {
  if (!size) return REG_STATUS_FAILURE;
  uint32_t key = FindKey(keyPath);
  if (!key) return REG_STATUS_NOT_FOUND;
  uint32_t count = key_value_count(m_pImage, key);
  uint32_t needed = ValueEnumSize(count);
  uint64_t fits = REG_ENUM_HEADER + (uint64_t)count * sizeof(RegValueEntry);
  if (!buffer || (count && *size < fits)) {
    *size = needed;
    return REG_STATUS_BUFFER_TOO_SMALL;
  }
  if (*size < 4) return REG_STATUS_OK;
  uint8_t* out = (uint8_t*)buffer;
  uint32_t got = 0, index = 0;
  HiveValue v;
  while (got < count && next_value(m_pImage, key, &index, &v) == 1) {
    RegValueEntry* e = (RegValueEntry*)(out + REG_ENUM_HEADER + got * sizeof(RegValueEntry));
    e->type = v.type;
    size_t n = v.name.size() < 1023 ? v.name.size() : 1023;
    memcpy(e->name, v.name.data(), n * sizeof(wchar_t));
    e->name[n] = 0;
    e->data = nullptr;
    RegValueBuf* data = copy_value_to_buf(m_pImage, nullptr, key, v.name.c_str(), 0);
    if (data && data->length == 0) {
      free(data);
      data = nullptr;
    }
    e->data = data;
    got++;
  }
  write_le32(out, got);
  return REG_STATUS_OK;
}

int CRegHive::ImportRegFile(const wchar_t* regPath, const wchar_t* rootPrefix, uint32_t controlSet,
                            RegImportFault* fault, int forms) {
  if (!m_pImage) return 0;
  std::wstring text;
  int r = read_reg_file(regPath, text);
  return r ? r : ImportRegText(text, rootPrefix, controlSet, fault, forms);
}

int CRegHive::ImportRegText(const std::wstring& text, const wchar_t* rootPrefix,
                            uint32_t controlSet, RegImportFault* fault, int forms) {
  if (!m_pImage) return 0;
  const RegTextForms textForms = RegTextForms(forms);
  if (!IsReadOnly())
    return import_reg_text(m_pImage, text, rootPrefix, controlSet, fault, textForms);
  // A read-only hive takes the file only when nothing in it concerns this
  // hive; anything that would change it is undone and reported.
  int own = hive_undo_begin(m_pImage);
  if (own < 0) return -1;
  uint32_t before = m_pImage->state;
  m_pImage->state &= ~HIVE_STATE_DIRTY;
  int r = import_reg_text(m_pImage, text, rootPrefix, controlSet, fault, textForms);
  bool changed = (m_pImage->state & HIVE_STATE_DIRTY) != 0;
  if (r == 0 && !changed) {
    m_pImage->state = before;
    if (own) hive_undo_commit(m_pImage);
    return 0;
  }
  // A record of the caller's is undone by the caller, on this failure.
  if (own) hive_undo_rollback(m_pImage);
  if (r == 0 && fault && fault->what.empty())
    fault->what = L"its hive had a write that Windows did not finish and is read-only";
  return r ? r : -1;
}

uint32_t CRegHive::ExportRegFile(const wchar_t* rootPrefix, const wchar_t* keyPath,
                                 const wchar_t* valueName, const wchar_t* regPath, int append,
                                 int filter, unsigned long* hostError) {
  (void)valueName;
  if (hostError) *hostError = 0;
  if (!m_pImage) return REG_STATUS_NOT_FOUND;
  if (!regPath) return REG_STATUS_FAILURE;
  return export_key_reg(m_pImage, 0, rootPrefix ? rootPrefix : L"", keyPath ? keyPath : L"",
                        regPath, append != 0, filter != 0, hostError);
}
