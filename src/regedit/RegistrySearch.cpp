#include "regedit/RegistrySearch.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "common/TextSearch.h"
#include "image/mount/MountedImage.h"
#include "registry/RegistryFacade.h"
#include "regedit/ValueText.h"

namespace {

const wchar_t* const kHiveOrder[] = {L"HKEY_CURRENT_USER",
                                     L"HKEY_LOCAL_MACHINE\\BCD00000000",
                                     L"HKEY_LOCAL_MACHINE\\SAM",
                                     L"HKEY_LOCAL_MACHINE\\SECURITY",
                                     L"HKEY_LOCAL_MACHINE\\SOFTWARE",
                                     L"HKEY_LOCAL_MACHINE\\SYSTEM"};

bool BeginsWithNoCase(const std::wstring& path, const wchar_t* prefix) {
  const size_t n = wcslen(prefix);
  return path.size() >= n && _wcsnicmp(path.c_str(), prefix, n) == 0;
}

bool EqualNoCase(const wchar_t* a, size_t na, const wchar_t* b, size_t nb) {
  if (na != nb) return false;
  for (size_t i = 0; i < na; ++i)
    if (FoldAsciiCase(a[i]) != FoldAsciiCase(b[i])) return false;
  return true;
}

struct ValueRecord {
  std::wstring name;
  std::vector<uint8_t> data;
};

// The values of a key in the value list's order: the default value first,
// then by name; empty when the key cannot be read.
std::vector<ValueRecord> ReadValues(CMountedImage* image, const std::wstring& keyPath) {
  std::vector<ValueRecord> out;
  void* buffer = ListHiveValues(image, keyPath.c_str());
  if (!buffer) return out;
  const uint32_t count = *static_cast<uint32_t*>(buffer);
  for (uint32_t i = 0; i < count; ++i) {
    RegValueEntry* e = reinterpret_cast<RegValueEntry*>(
        static_cast<uint8_t*>(buffer) + REG_ENUM_HEADER + i * sizeof(RegValueEntry));
    ValueRecord r;
    r.name.assign(e->name, wcsnlen(e->name, 1024));
    if (e->data) r.data.assign(e->data->data, e->data->data + e->data->length);
    free(e->data);
    out.push_back(std::move(r));
  }
  free(buffer);
  std::stable_sort(out.begin(), out.end(), [](const ValueRecord& a, const ValueRecord& b) {
    if (a.name.empty() != b.name.empty()) return a.name.empty();
    return CompareNamesAsciiNoCase(a.name.c_str(), b.name.c_str()) < 0;
  });
  return out;
}

std::vector<std::wstring> ReadSubkeyNames(CMountedImage* image, const std::wstring& keyPath) {
  std::vector<std::wstring> out;
  void* buffer = ListHiveSubkeys(image, keyPath.c_str());
  if (!buffer) return out;
  const uint32_t count = *static_cast<uint32_t*>(buffer);
  for (uint32_t i = 0; i < count; ++i) {
    const RegSubkeyEntry* e = reinterpret_cast<const RegSubkeyEntry*>(
        static_cast<uint8_t*>(buffer) + REG_ENUM_HEADER + i * sizeof(RegSubkeyEntry));
    out.emplace_back(e->name, wcsnlen(e->name, 1024));
  }
  free(buffer);
  return out;
}

}  // namespace

bool SearchMatcher::MatchKeyName(const std::wstring& name) const {
  if (hex || !keys || name.empty() || text.empty()) return false;
  if (whole) return EqualNoCase(name.c_str(), name.size(), text.c_str(), text.size());
  return FindTextNoCaseCounted(name.c_str(), (ptrdiff_t)name.size(), text.c_str(), text.size()) !=
         nullptr;
}

bool SearchMatcher::MatchValue(const std::wstring& name, const uint8_t* data,
                               uint32_t length) const {
  if (hex) {
    if (bytes.empty()) return false;
    const char* pattern = reinterpret_cast<const char*>(bytes.data());
    std::vector<char> nameBytes(name.size() * 2);
    for (size_t i = 0; i < name.size(); ++i) {
      nameBytes[2 * i] = (char)(name[i] & 0xFF);
      nameBytes[2 * i + 1] = (char)(name[i] >> 8);
    }
    if (!nameBytes.empty() &&
        FindBytesNoCase(nameBytes.data(), (ptrdiff_t)nameBytes.size(), pattern, bytes.size()))
      return true;
    return length &&
           FindBytesNoCase(reinterpret_cast<const char*>(data), length, pattern, bytes.size());
  }
  if (text.empty()) return false;
  if (values && !name.empty()) {
    if (whole ? EqualNoCase(name.c_str(), name.size(), text.c_str(), text.size())
              : FindTextNoCaseCounted(name.c_str(), (ptrdiff_t)name.size(), text.c_str(),
                                      text.size()) != nullptr)
      return true;
  }
  if (!this->data || length < 2) return false;
  std::wstring units(length / 2, L'\0');
  for (size_t i = 0; i < units.size(); ++i)
    units[i] = (wchar_t)(data[2 * i] | (data[2 * i + 1] << 8));
  if (whole) {
    // The stored terminator does not count: "abc" matches the data a b c 0.
    size_t n = units.size();
    if (n && units[n - 1] == 0) --n;
    return EqualNoCase(units.c_str(), n, text.c_str(), text.size());
  }
  return FindTextNoCaseCounted(units.c_str(), (ptrdiff_t)units.size(), text.c_str(), text.size()) !=
         nullptr;
}

CRegistrySearchWalk::CRegistrySearchWalk(CMountedImage* image, const SearchMatcher& matcher,
                                         const volatile long* cancel,
                                         const std::wstring& defaultLabel)
    : m_image(image), m_matcher(matcher), m_cancel(cancel), m_defaultLabel(defaultLabel) {}

std::wstring CRegistrySearchWalk::ValueHit(const std::wstring& keyPath,
                                           const std::wstring& name) const {
  return keyPath + L"\\" + (name.empty() ? m_defaultLabel : name);
}

std::wstring CRegistrySearchWalk::Run(const SearchStart& start) {
  std::wstring hit = SearchFromKey(start);
  std::wstring hive = start.keyPath;
  while (hit.empty() && !Cancelled()) {
    hive = NextSearchHive(hive);
    if (hive.empty()) break;
    SearchStart root;
    root.keyPath = hive;
    hit = SearchFromKey(root);
  }
  return hit;
}

std::wstring CRegistrySearchWalk::SearchFromKey(const SearchStart& start) {
  std::wstring hit = SearchListedValues(start);
  if (hit.empty() && !Cancelled()) hit = SearchSubkeys(start.keyPath);
  std::wstring path = start.keyPath;
  while (hit.empty() && !Cancelled()) {
    hit = SearchLaterSiblings(path);
    size_t cut = path.rfind(L'\\');
    if (cut == std::wstring::npos) break;
    path.resize(cut);
  }
  return hit;
}

std::wstring CRegistrySearchWalk::SearchListedValues(const SearchStart& start) {
  std::vector<ValueRecord> values = ReadValues(m_image, start.keyPath);
  // The values after the selected one in the list's order: the default
  // row stands first, the others follow by name.
  size_t i = 0;
  if (start.afterValue) {
    while (i < values.size() &&
           (values[i].name.empty() ||
            (!start.valueName.empty() &&
             CompareNamesAsciiNoCase(values[i].name.c_str(), start.valueName.c_str()) <= 0)))
      ++i;
  }
  for (; i < values.size() && !Cancelled(); ++i) {
    const ValueRecord& v = values[i];
    if (m_matcher.MatchValue(v.name, v.data.data(), (uint32_t)v.data.size()))
      return ValueHit(start.keyPath, v.name);
  }
  return std::wstring();
}

std::wstring CRegistrySearchWalk::SearchChild(const std::wstring& keyPath,
                                              const std::wstring& name) {
  const std::wstring child = keyPath + L"\\" + name;
  if (m_matcher.MatchKeyName(name)) return child + L"\\";
  if (m_matcher.hex || m_matcher.values || m_matcher.data) {
    for (const ValueRecord& v : ReadValues(m_image, child)) {
      if (Cancelled()) return std::wstring();
      if (m_matcher.MatchValue(v.name, v.data.data(), (uint32_t)v.data.size()))
        return ValueHit(child, v.name);
    }
  }
  return SearchSubkeys(child);
}

std::wstring CRegistrySearchWalk::SearchSubkeys(const std::wstring& keyPath) {
  for (const std::wstring& name : ReadSubkeyNames(m_image, keyPath)) {
    if (Cancelled()) break;
    std::wstring hit = SearchChild(keyPath, name);
    if (!hit.empty()) return hit;
  }
  return std::wstring();
}

std::wstring CRegistrySearchWalk::SearchLaterSiblings(const std::wstring& path) {
  const size_t cut = path.rfind(L'\\');
  if (cut == std::wstring::npos) return std::wstring();
  const std::wstring parent = path.substr(0, cut), own = path.substr(cut + 1);
  bool passed = false;
  for (const std::wstring& name : ReadSubkeyNames(m_image, parent)) {
    if (Cancelled()) break;
    if (!passed) {
      passed = EqualNoCase(name.c_str(), name.size(), own.c_str(), own.size());
      continue;
    }
    std::wstring hit = SearchChild(parent, name);
    if (!hit.empty()) return hit;
  }
  return std::wstring();
}

std::wstring NextSearchHive(const std::wstring& path) {
  if (!_wcsicmp(path.c_str(), L"HKEY_LOCAL_MACHINE")) return kHiveOrder[1];
  for (size_t i = 0; i + 1 < sizeof kHiveOrder / sizeof kHiveOrder[0]; ++i)
    if (BeginsWithNoCase(path, kHiveOrder[i])) return kHiveOrder[i + 1];
  return std::wstring();
}

std::vector<uint8_t> ParseHexPattern(const std::wstring& text) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < text.size(); i += 2) {
    wchar_t pair[3] = {text[i], text[i + 1], 0};
    out.push_back((uint8_t)wcstoul(pair, nullptr, 16));
  }
  return out;
}
