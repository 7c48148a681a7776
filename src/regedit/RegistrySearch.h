// The walk of the registry search: from a key (after a value of it) through
// its remaining values, its subkeys depth-first, the keys that follow it and
// then the following hives, until the first key or value that matches a text
// or a byte pattern. Names and data are read from the hives, never from the
// editor's lists. The walk polls a cancel flag before every step.
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

class CMountedImage;

// What a key or value must hold to be a hit.
struct SearchMatcher {
  bool hex = false;            // byte pattern: names' UTF-16LE bytes or data bytes
  std::wstring text;           // text search pattern
  std::vector<uint8_t> bytes;  // byte pattern
  bool keys = true, values = true, data = true, whole = false;

  bool MatchKeyName(const std::wstring& name) const;
  bool MatchValue(const std::wstring& name, const uint8_t* data, uint32_t length) const;
};

// Where a search begins: the key and, when a row of its value list was
// selected, the value that row stands for (the default value's name is
// empty).
struct SearchStart {
  std::wstring keyPath;
  bool afterValue = false;
  std::wstring valueName;
};

class CRegistrySearchWalk {
 public:
  CRegistrySearchWalk(CMountedImage* image, const SearchMatcher& matcher,
                      const volatile long* cancel, const std::wstring& defaultLabel);

  // The hit path, empty when nothing was found (or the walk was cancelled):
  // a key's full path followed by "\", or the key's path, "\" and the
  // value's name (`defaultLabel` for the default value).
  std::wstring Run(const SearchStart& start);

  // One key and what follows it in its hive.
  std::wstring SearchFromKey(const SearchStart& start);

 private:
  bool Cancelled() const { return *m_cancel != 0; }
  std::wstring SearchListedValues(const SearchStart& start);
  std::wstring SearchSubkeys(const std::wstring& keyPath);
  std::wstring SearchChild(const std::wstring& keyPath, const std::wstring& name);
  std::wstring SearchLaterSiblings(const std::wstring& path);
  std::wstring ValueHit(const std::wstring& keyPath, const std::wstring& name) const;

  CMountedImage* m_image;
  SearchMatcher m_matcher;
  const volatile long* m_cancel;
  std::wstring m_defaultLabel;
};

// The hive that follows the one a path lies in, in the search's order
// (current user, then BCD00000000, SAM, SECURITY, SOFTWARE, SYSTEM); empty
// after SYSTEM or for a path in no hive.
std::wstring NextSearchHive(const std::wstring& path);

// "4142" -> 41 42: each pair of characters one hexadecimal byte.
std::vector<uint8_t> ParseHexPattern(const std::wstring& text);
