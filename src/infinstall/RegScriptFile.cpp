// The staging script's header and its string data.
#include "infinstall/RegScriptFile.h"

#include <wchar.h>
#include <wctype.h>

#include "common/TextSearch.h"

int CreateRegScriptFile(const wchar_t* path) {
  return WriteUnicodeFile(path, L"Windows Registry Editor Version 5.00\r\n\r\n");
}

namespace {

// The runtime's classes of blank and space, asked of it only beyond ASCII.
bool IsBlankChar(wchar_t c) {
  return c < 0x80 ? c == L' ' || c == L'\t' : iswblank(c) != 0;
}
bool IsSpaceChar(wchar_t c) {
  return c < 0x80 ? c == L' ' || (c >= L'\t' && c <= L'\r') : iswspace(c) != 0;
}

}  // namespace

std::wstring RegScriptStringData(std::wstring escaped) {
  bool ambiguous = escaped == L"-" || CompareNoCaseN(escaped.c_str(), L"dword:", 6) == 0 ||
                   CompareNoCaseN(escaped.c_str(), L"hex", 3) == 0 ||
                   (!escaped.empty() && (escaped.back() == L'\\' || escaped.front() == L'"' ||
                                         IsBlankChar(escaped.front()) ||
                                         IsBlankChar(escaped.back())));
  return ambiguous ? L"\"" + escaped + L"\"" : std::move(escaped);
}

bool IsPlainRegScriptName(const wchar_t* name) {
  const size_t n = wcslen(name);
  return n == 0 || (wcspbrk(name, L"=\"\\\r\n") == nullptr && name[0] != L'[' && name[0] != L';' &&
                    !IsSpaceChar(name[0]) && !IsSpaceChar(name[n - 1]));
}

std::wstring RegScriptValueName(const std::wstring& name) {
  if (IsPlainRegScriptName(name.c_str())) return name;
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
    if (CompareNoCaseN(name, prefix.c_str(), prefix.size()) == 0 || CompareNoCase(name, root) == 0)
      return true;
  }
  return false;
}
