// The hive read a few cells at a time (HiveFileReader.h).
#include "registry/hive/HiveFileReader.h"

#include <algorithm>
#include <cstring>
#include <cwchar>

#include "registry/hive/HiveRecords.h"
#include "registry/hive/RegTypes.h"

namespace {

const uint32_t kBlock = 1 << 16;
const size_t kMaxBlocks = 64;          // 4 MiB read at most at a time
const uint32_t kMaxRecord = 1 << 20;   // no record a lookup reads is larger
const int kMaxIndexDepth = 2;          // "ri" over leaves

HiveName NameOf(const std::vector<uint8_t>& r, uint32_t lenField, uint32_t flagsField,
                uint16_t comp, uint32_t nameField) {
  HiveName n;
  n.p = r.data() + nameField;
  n.bytes = read_le16(r.data() + lenField);
  n.compressed = (read_le16(r.data() + flagsField) & comp) != 0;
  if (!n.compressed) n.bytes &= ~1u;
  return n;
}

bool SoundRecord(const std::vector<uint8_t>& r, uint16_t id, uint32_t nameField,
                 uint32_t lenField) {
  return r.size() >= nameField && read_le16(r.data()) == id &&
         r.size() >= nameField + (size_t)read_le16(r.data() + lenField);
}

std::vector<std::wstring> Components(const std::wstring& path) {
  std::vector<std::wstring> out;
  size_t at = 0;
  while (at <= path.size()) {
    size_t cut = path.find(L'\\', at);
    if (cut == std::wstring::npos) cut = path.size();
    if (cut > at) out.push_back(path.substr(at, cut - at));
    at = cut + 1;
  }
  return out;
}

}  // namespace

bool HiveFileReader::Bytes(uint64_t offset, size_t count, uint8_t* out) {
  if (offset > m_size || m_size - offset < count) return false;
  while (count) {
    uint64_t block = offset / kBlock * kBlock;
    auto it = m_blocks.find(block);
    if (it == m_blocks.end()) {
      if (m_blocks.size() >= kMaxBlocks) m_blocks.clear();
      std::vector<uint8_t> data((size_t)std::min<uint64_t>(kBlock, m_size - block));
      if (!m_read(block, data.size(), data.data())) return false;
      it = m_blocks.emplace(block, std::move(data)).first;
    }
    size_t at = (size_t)(offset - block), n = std::min(count, it->second.size() - at);
    memcpy(out, it->second.data() + at, n);
    out += n;
    offset += n;
    count -= n;
  }
  return true;
}

HiveFileReader::Outcome HiveFileReader::Open() {
  uint8_t base[512];
  if (m_size < HIVE_BASE_SIZE || !Bytes(0, sizeof(base), base) || memcmp(base, "regf", 4) != 0)
    return kUnreadable;
  uint32_t x = 0;
  for (int i = 0; i < 127; i++) x ^= read_le32(base + 4 * i);
  if (x != read_le32(base + 0x1FC) || read_le32(base + 4) != read_le32(base + 8)) return kNeedsLogs;
  m_root = read_le32(base + 0x24);
  m_bins = read_le32(base + 0x28);
  if (m_bins > m_size - HIVE_BASE_SIZE) m_bins = (uint32_t)(m_size - HIVE_BASE_SIZE);
  std::vector<uint8_t> root;
  return Cell(m_root, &root) && SoundRecord(root, HiveId('n', 'k'), NK_NAME, NK_NAMELEN)
             ? kRead
             : kUnreadable;
}

bool HiveFileReader::Cell(uint32_t rel, std::vector<uint8_t>* record) {
  record->clear();
  uint8_t head[4];
  if (rel == HIVE_NONE || (rel & 7) || rel >= m_bins || m_bins - rel < 8 ||
      !Bytes(HIVE_BASE_SIZE + (uint64_t)rel, 4, head))
    return false;
  int32_t size = (int32_t)read_le32(head);
  if (size >= 0) return false;  // a free cell
  uint32_t bytes = (uint32_t)-size;
  if (bytes < 8 || bytes - 4 > kMaxRecord || bytes > m_bins - rel) return false;
  record->resize(bytes - 4);
  return Bytes(HIVE_BASE_SIZE + (uint64_t)rel + 4, bytes - 4, record->data());
}

bool HiveFileReader::EachSubkey(
    const std::vector<uint8_t>& nk,
    const std::function<bool(uint32_t, const std::vector<uint8_t>&)>& fn) {
  if (read_le32(nk.data() + NK_SUBCOUNT) == 0) return true;
  bool stop = false;
  std::function<bool(uint32_t, int)> walk = [&](uint32_t rel, int depth) -> bool {
    std::vector<uint8_t> list, child;
    if (!Cell(rel, &list) || list.size() < 4) return false;
    uint16_t id = read_le16(list.data()), count = read_le16(list.data() + 2);
    uint32_t stride = id == HiveId('l', 'f') || id == HiveId('l', 'h') ? 8 : 4;
    if (id != HiveId('l', 'f') && id != HiveId('l', 'h') && id != HiveId('l', 'i') &&
        id != HiveId('r', 'i'))
      return false;
    if (list.size() < 4 + (size_t)count * stride) return false;
    for (uint32_t i = 0; i < count && !stop; i++) {
      uint32_t at = read_le32(list.data() + 4 + i * stride);
      if (id == HiveId('r', 'i')) {
        if (depth >= kMaxIndexDepth || !walk(at, depth + 1)) return false;
        continue;
      }
      if (!Cell(at, &child) || !SoundRecord(child, HiveId('n', 'k'), NK_NAME, NK_NAMELEN))
        return false;
      if (!fn(at, child)) stop = true;
    }
    return true;
  };
  return walk(read_le32(nk.data() + NK_INDEX), 1);
}

uint32_t HiveFileReader::FindKey(const std::wstring& keyPath) {
  uint32_t rel = m_root;
  std::vector<uint8_t> nk;
  for (const std::wstring& c : Components(keyPath)) {
    if (!Cell(rel, &nk) || !SoundRecord(nk, HiveId('n', 'k'), NK_NAME, NK_NAMELEN)) return HIVE_NONE;
    uint32_t found = HIVE_NONE;
    bool ok = EachSubkey(nk, [&](uint32_t at, const std::vector<uint8_t>& child) {
      if (!hive_name_equals(NameOf(child, NK_NAMELEN, NK_FLAGS, NK_COMP_NAME, NK_NAME), c.c_str(),
                            c.size()))
        return true;
      found = at;
      return false;
    });
    if (!ok || found == HIVE_NONE) return HIVE_NONE;
    rel = found;
  }
  return rel;
}

bool HiveFileReader::Subkeys(const std::wstring& keyPath, std::vector<std::wstring>* names) {
  names->clear();
  std::vector<uint8_t> nk;
  uint32_t rel = FindKey(keyPath);
  if (!Cell(rel, &nk) || !SoundRecord(nk, HiveId('n', 'k'), NK_NAME, NK_NAMELEN)) return false;
  return EachSubkey(nk, [&](uint32_t, const std::vector<uint8_t>& child) {
    names->push_back(
        hive_name_to_wide(NameOf(child, NK_NAMELEN, NK_FLAGS, NK_COMP_NAME, NK_NAME)));
    return true;
  });
}

bool HiveFileReader::QueryData(const std::wstring& keyPath, const wchar_t* name, uint32_t* type,
                               std::vector<uint8_t>* data) {
  data->clear();
  std::vector<uint8_t> nk, list, vk;
  uint32_t rel = FindKey(keyPath);
  if (!Cell(rel, &nk) || !SoundRecord(nk, HiveId('n', 'k'), NK_NAME, NK_NAMELEN)) return false;
  uint32_t count = read_le32(nk.data() + NK_VALCOUNT);
  if (!count || !Cell(read_le32(nk.data() + NK_VALLIST), &list) || list.size() / 4 < count)
    return false;
  size_t n = wcslen(name);
  for (uint32_t i = 0; i < count; i++) {
    if (!Cell(read_le32(list.data() + 4 * i), &vk) ||
        !SoundRecord(vk, HiveId('v', 'k'), VK_NAME, VK_NAMELEN))
      continue;
    if (!hive_name_equals(NameOf(vk, VK_NAMELEN, VK_FLAGS, VK_COMP_NAME, VK_NAME), name, n))
      continue;
    *type = read_le32(vk.data() + VK_TYPE);
    uint32_t length = read_le32(vk.data() + VK_DATALEN);
    if (length & 0x80000000u) {
      length &= 0x7FFFFFFFu;
      if (length > 4) return false;
      data->assign(vk.data() + VK_DATA, vk.data() + VK_DATA + length);
    } else {
      if (length > HIVE_BIG_SEGMENT || !Cell(read_le32(vk.data() + VK_DATA), data) ||
          data->size() < length)
        return false;
      data->resize(length);
    }
    return true;
  }
  return false;
}

bool HiveFileReader::QueryText(const std::wstring& keyPath, const wchar_t* name,
                               std::wstring* text) {
  text->clear();
  uint32_t type = 0;
  std::vector<uint8_t> data;
  if (!QueryData(keyPath, name, &type, &data) ||
      (type != HIVE_REG_SZ && type != HIVE_REG_EXPAND_SZ))
    return false;
  for (size_t k = 0; k + 1 < data.size(); k += 2) {
    wchar_t c = (wchar_t)(data[k] | (data[k + 1] << 8));
    if (!c) break;
    *text += c;
  }
  return true;
}
