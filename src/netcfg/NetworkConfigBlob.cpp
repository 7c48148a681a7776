#include "netcfg/NetworkConfigBlob.h"

#include <string.h>
#include <wchar.h>

#include "netcfg/NetRegistry.h"

namespace {

uint32_t Align8(uint32_t offset) {
  return (offset + 7) & ~7u;
}

// The NUL-terminated text at offset; false when no NUL comes before the end.
// next is the first byte after the NUL.
bool ReadText(const uint8_t* data, uint32_t length, uint32_t offset, std::wstring& text,
              uint32_t& next) {
  text.clear();
  for (uint32_t pos = offset; pos <= length && length - pos >= 2; pos += 2) {
    wchar_t c = (wchar_t)GetLe16(data + pos);
    if (!c) {
      next = pos + 2;
      return true;
    }
    text += c;
  }
  return false;
}

// Text with its NUL in a slot of ((characters + 4) rounded down to 4) units:
// the 64-bit placement, which always ends on an 8-byte boundary.
void AppendSlot(std::vector<uint8_t>& out, const wchar_t* text) {
  size_t chars = wcslen(text);
  size_t units = (chars + 4) & ~(size_t)3;
  size_t at = out.size();
  out.resize(at + units * 2, 0);
  for (size_t i = 0; i < chars; ++i) PutLe16(&out[at + i * 2], (uint16_t)text[i]);
}

void AppendText(std::vector<uint8_t>& out, const wchar_t* text) {
  size_t chars = wcslen(text);
  size_t at = out.size();
  out.resize(at + (chars + 1) * 2, 0);
  for (size_t i = 0; i < chars; ++i) PutLe16(&out[at + i * 2], (uint16_t)text[i]);
}

void AppendLe32(std::vector<uint8_t>& out, uint32_t value) {
  size_t at = out.size();
  out.resize(at + 4);
  PutLe32(&out[at], value);
}

}  // namespace

int NetworkConfigBlob::Parse(const uint8_t* data, uint32_t length) {
  int result = ParseParts(data, length);
  if (result != kNetConfigParsed) {
    Entries.clear();
    Bindings.clear();
    TableOffset = RestOffset = m_length = 0;
  }
  return result;
}

int NetworkConfigBlob::ParseParts(const uint8_t* data, uint32_t length) {
  Entries.clear();
  Bindings.clear();
  TableOffset = RestOffset = m_length = 0;
  if (!data || length == 0) return kNetConfigEmpty;
  const uint32_t header = m_layout64 ? 16 : 8;
  const uint32_t fixed = m_layout64 ? 32 : 24;  // GUID, class, characteristics
  if (length < header) return kNetConfigDamaged;
  uint32_t count = GetLe32(data + (m_layout64 ? 8 : 4));
  uint32_t pos = header;
  for (uint32_t i = 0; i < count; ++i) {
    // Every entry takes at least its fixed part: a count beyond what the
    // value can hold ends here, not after billions of turns.
    if (length - pos < fixed) return kNetConfigDamaged;
    NetConfigEntry e;
    e.offset = pos;
    memcpy(&e.guid, data + pos, 16);
    e.classIndex = GetLe32(data + pos + 16);
    e.characteristics = GetLe32(data + pos + (m_layout64 ? 24 : 20));
    uint32_t next = 0;
    if (!ReadText(data, length, pos + fixed, e.componentId, next)) return kNetConfigDamaged;
    if (m_layout64) next = Align8(next);
    if (next > length || !ReadText(data, length, next, e.pnpInstanceId, next))
      return kNetConfigDamaged;
    if (m_layout64) next = Align8(next);
    if (next > length) return kNetConfigDamaged;
    e.end = pos = next;
    Entries.push_back(e);
  }
  TableOffset = pos;
  if (length - pos < header) return kNetConfigDamaged;
  uint32_t records = GetLe32(data + pos + (m_layout64 ? 8 : 4));
  pos += header;
  if (records > (length - pos) / RecordSize()) return kNetConfigDamaged;
  for (uint32_t i = 0; i < records; ++i, pos += RecordSize()) {
    NetConfigBinding b;
    b.upper = GetLe32(data + pos);
    if (m_layout64) {
      b.reserved1 = GetLe32(data + pos + 4);
      b.lower = GetLe32(data + pos + 8);
      b.reserved2 = GetLe32(data + pos + 12);
    } else {
      b.lower = GetLe32(data + pos + 4);
    }
    Bindings.push_back(b);
  }
  RestOffset = pos;
  m_length = length;
  return kNetConfigParsed;
}

uint32_t NetworkConfigBlob::FindComponent(const wchar_t* guidText) const {
  for (size_t i = 0; i < Entries.size(); ++i) {
    std::wstring text = GuidText(Entries[i].guid);
    if (guidText && !text.empty() && _wcsicmp(text.c_str(), guidText) == 0) return (uint32_t)i;
  }
  return (uint32_t)Entries.size();
}

bool NetworkConfigBlob::HasBinding(uint32_t upper, uint32_t lower) const {
  for (const NetConfigBinding& b : Bindings)
    if (b.upper == upper && b.lower == lower) return true;
  return false;
}

void NetworkConfigBlob::AppendEntry(std::vector<uint8_t>& out, const GUID& guid,
                                    uint32_t classIndex, uint32_t characteristics,
                                    const wchar_t* componentId,
                                    const wchar_t* pnpInstanceId) const {
  size_t at = out.size();
  out.resize(at + 16);
  memcpy(&out[at], &guid, 16);
  AppendLe32(out, classIndex);
  if (m_layout64) AppendLe32(out, 0);
  AppendLe32(out, characteristics);
  if (m_layout64) {
    AppendLe32(out, 0);
    AppendSlot(out, componentId ? componentId : L"");
    AppendSlot(out, pnpInstanceId ? pnpInstanceId : L"");
  } else {
    AppendText(out, componentId ? componentId : L"");
    AppendText(out, pnpInstanceId ? pnpInstanceId : L"");
  }
}

void NetworkConfigBlob::AppendBinding(std::vector<uint8_t>& out,
                                      const NetConfigBinding& record) const {
  AppendLe32(out, record.upper);
  if (m_layout64) AppendLe32(out, record.reserved1);
  AppendLe32(out, record.lower);
  if (m_layout64) AppendLe32(out, record.reserved2);
}

void NetworkConfigBlob::AppendHeader(std::vector<uint8_t>& out, uint32_t count) const {
  if (m_layout64)
    out.resize(out.size() + 8, 0);
  else
    AppendLe32(out, 0);
  AppendLe32(out, count);
  if (m_layout64) AppendLe32(out, 0);
}

std::vector<uint8_t> NetworkConfigBlob::Rebuild(
    const uint8_t* data, size_t first, size_t last, const std::vector<uint8_t>& entryBytes,
    uint32_t added, const std::vector<NetConfigBinding>& records) const {
  const uint32_t header = m_layout64 ? 16 : 8;
  const uint32_t countAt = m_layout64 ? 8 : 4;
  if (last > Entries.size()) last = Entries.size();
  if (first > last) first = last;
  uint32_t cutFrom = first < Entries.size() ? Entries[first].offset : TableOffset;
  uint32_t cutTo = last < Entries.size() ? Entries[last].offset : TableOffset;

  std::vector<uint8_t> out(data, data + cutFrom);
  PutLe32(&out[countAt], (uint32_t)(Entries.size() - (last - first) + added));
  out.insert(out.end(), entryBytes.begin(), entryBytes.end());
  out.insert(out.end(), data + cutTo, data + TableOffset);
  size_t table = out.size();
  out.insert(out.end(), data + TableOffset, data + TableOffset + header);
  PutLe32(&out[table + countAt], (uint32_t)records.size());
  for (const NetConfigBinding& b : records) AppendBinding(out, b);
  out.insert(out.end(), data + RestOffset, data + m_length);
  return out;
}

std::vector<uint8_t> NetworkConfigBlob::WithoutEntry(const uint8_t* data, uint32_t index) const {
  std::vector<NetConfigBinding> records;
  for (NetConfigBinding b : Bindings) {
    if (b.upper == index || b.lower == index) continue;
    if (b.upper > index) --b.upper;
    if (b.lower > index) --b.lower;
    records.push_back(b);
  }
  return Rebuild(data, index, (size_t)index + 1, std::vector<uint8_t>(), 0, records);
}
