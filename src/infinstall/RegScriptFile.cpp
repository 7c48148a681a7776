// The staging script's header and its string data.
#include "infinstall/RegScriptFile.h"

#include <wchar.h>
#include <wctype.h>

int CreateRegScriptFile(const wchar_t* path) {
  return WriteUnicodeFile(path, L"Windows Registry Editor Version 5.00\r\n\r\n");
}

std::wstring RegScriptStringData(const std::wstring& escaped) {
  bool ambiguous = escaped == L"-" || _wcsnicmp(escaped.c_str(), L"dword:", 6) == 0 ||
                   _wcsnicmp(escaped.c_str(), L"hex", 3) == 0 ||
                   (!escaped.empty() && (escaped.back() == L'\\' || escaped.front() == L'"' ||
                                         iswblank(escaped.front()) || iswblank(escaped.back())));
  return ambiguous ? L"\"" + escaped + L"\"" : escaped;
}

std::wstring RegScriptValueName(const std::wstring& name) {
  const bool plain =
      name.empty() || (name.find_first_of(L"=\"\\\r\n") == std::wstring::npos &&
                       name[0] != L'[' && name[0] != L';' && !iswspace(name.front()) &&
                       !iswspace(name.back()));
  if (plain) return name;
  std::wstring quoted = L"\"";
  for (wchar_t c : name) {
    if (c == L'\\' || c == L'"') quoted += L'\\';
    quoted += c;
  }
  return quoted + L"\"";
}

bool RegScriptNamesRoot(const wchar_t* path, const wchar_t* root) {
  const std::wstring prefix = std::wstring(root) + L"\\";
  for (const std::wstring& section : ListProfileSections(path)) {
    const wchar_t* name = section.c_str();
    if (*name == L'-') ++name;
    if (_wcsnicmp(name, prefix.c_str(), prefix.size()) == 0 || _wcsicmp(name, root) == 0)
      return true;
  }
  return false;
}
