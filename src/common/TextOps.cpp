#include "common/TextOps.h"

#include <windows.h>

#include <cwchar>
#include <vector>

namespace {

bool IsBlank(wchar_t c) {
  return c == L' ' || c == L'\t';
}

// Copies [from, from+n) to the end of out with "%%" collapsed.
void AppendCollapsed(std::wstring& out, const wchar_t* from, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    out += from[i];
    if (from[i] == L'%' && i + 1 < n && from[i + 1] == L'%') ++i;
  }
}

}  // namespace

void CollapsePercentPairs(wchar_t* text) {
  if (!text) return;
  wchar_t* w = text;
  for (const wchar_t* r = text; *r; ++r) {
    *w++ = *r;
    if (r[0] == L'%' && r[1] == L'%') ++r;
  }
  *w = 0;
}

namespace {

// The expansion of `text`, or false when the system cannot expand it.
bool Expand(const wchar_t* text, std::wstring& out) {
  DWORD need = ExpandEnvironmentStringsW(text, nullptr, 0);
  for (int tries = 0; need && tries < 4; ++tries) {
    std::vector<wchar_t> scratch(need + 1);
    DWORD n = ExpandEnvironmentStringsW(text, scratch.data(), need + 1);
    if (n == 0) return false;
    if (n <= need + 1) {
      out = scratch.data();
      return true;
    }
    need = n;  // a variable grew in between
  }
  return false;
}

}  // namespace

int ExpandEnvironmentInPlace(wchar_t* text, int size) {
  if (!text || size <= 0) return 0;
  std::wstring expanded;
  if (!Expand(text, expanded)) return 0;
  lstrcpynW(text, expanded.c_str(), size);
  return 1;
}

std::wstring ExpandEnvironmentText(const std::wstring& text) {
  std::wstring expanded;
  return Expand(text.c_str(), expanded) ? expanded : text;
}

std::vector<std::wstring> JoinInfLines(const wchar_t* list) {
  std::vector<std::wstring> lines;
  std::wstring joined;
  auto finish = [&]() {
    joined.push_back(0);
    TrimBlanks(&joined[0]);
    if (joined[0]) lines.push_back(joined.c_str());
    joined.clear();
  };
  bool continued = false;
  for (const wchar_t* p = list; p && *p; p += wcslen(p) + 1) {
    // The line up to its comment; `open` tells whether a quote is open
    // where its text ends.
    size_t end = 0, last = 0;
    bool quoted = false, open = false;
    for (; p[end] && !(p[end] == L';' && !quoted); ++end) {
      if (p[end] == L'"') quoted = !quoted;
      if (!IsBlank(p[end])) {
        last = end + 1;
        open = quoted;
      }
    }
    continued = last > 0 && p[last - 1] == L'\\' && !open;
    joined.append(p, continued ? last - 1 : last);
    if (!continued) finish();
  }
  if (continued) finish();
  return lines;
}

void TrimAroundCommas(wchar_t* text) {
  if (!text) return;
  wchar_t* w = text;
  bool quoted = false;
  for (const wchar_t* r = text; *r; ++r) {
    if (*r == L'"') quoted = !quoted;
    if (quoted) {
      *w++ = *r;
      continue;
    }
    if (*r == L'\t') continue;
    if (*r == L',') {
      while (w > text && IsBlank(w[-1])) --w;
      *w++ = L',';
      while (IsBlank(r[1])) ++r;
      continue;
    }
    *w++ = *r;
  }
  *w = 0;
}

void SanitizeFileName(wchar_t* text) {
  if (!text) return;
  for (; *text; ++text)
    if (wcschr(L"\\/:*?\"<>|", *text)) *text = L'_';
}

void StripQuotes(wchar_t* text) {
  if (!text) return;
  size_t len = wcslen(text);
  if (len < 2 || text[0] != L'"' || text[len - 1] != L'"') return;
  wmemmove(text, text + 1, len - 2);
  text[len - 2] = 0;
}

std::vector<std::wstring> SplitInfValue(const std::wstring& value, size_t maxFields,
                                        bool keepQuotes) {
  std::vector<std::wstring> fields;
  std::wstring field;
  size_t start = 0;     // where the field begins in `value`
  size_t keep = 0;      // characters of `field` the trim of its end keeps
  bool quoted = false;  // inside a quoted part
  for (size_t i = 0;; ++i) {
    const bool last = fields.size() + 1 >= maxFields;
    if (i == value.size() || (value[i] == L',' && !quoted && !last)) {
      if (keepQuotes) {
        fields.push_back(value.substr(start, i - start));
      } else {
        field.resize(keep);
        fields.push_back(field);
      }
      if (i == value.size()) return fields;
      field.clear();
      keep = 0;
      quoted = false;
      start = i + 1;
      continue;
    }
    const wchar_t c = value[i];
    if (c == L'"') {
      if (quoted && i + 1 < value.size() && value[i + 1] == L'"') {
        field += L'"';
        keep = field.size();
        ++i;
      } else {
        quoted = !quoted;
      }
      continue;
    }
    if (!quoted && (c == L' ' || c == L'\t') && field.size() == keep && keep == 0) continue;
    field += c;
    if (quoted || (c != L' ' && c != L'\t')) keep = field.size();
  }
}

void UnquoteInfText(wchar_t* text) {
  if (!text) return;
  size_t len = wcslen(text);
  if (len < 2 || text[0] != L'"' || text[len - 1] != L'"') return;
  wchar_t* w = text;
  for (size_t r = 1; r + 1 < len; ++r) {
    *w++ = text[r];
    if (text[r] == L'"' && text[r + 1] == L'"' && r + 2 < len) ++r;
  }
  *w = 0;
}

std::wstring QuoteInfText(const std::wstring& text) {
  std::wstring out = L"\"";
  for (wchar_t c : text) {
    out += c;
    if (c == L'"') out += c;
  }
  return out + L"\"";
}

std::wstring ExpandInfStrings(const std::wstring& text) {
  std::wstring out;
  bool quoted = false;
  for (size_t i = 0; i < text.size();) {
    wchar_t c = text[i];
    size_t end = c == L'%' ? text.find(L'%', i + 1) : std::wstring::npos;
    if (end == std::wstring::npos) {
      if (c == L'"') quoted = !quoted;
      out += c;
      ++i;
      continue;
    }
    std::wstring name = text.substr(i + 1, end - i - 1);
    DWORD n = name.empty() ? 0 : GetEnvironmentVariableW(name.c_str(), nullptr, 0);
    if (n == 0) {
      // Not a variable: the "%" and the name stay, and the closing "%" may
      // open the next reference.
      out += L'%' + name;
      i = end;
      continue;
    }
    std::vector<wchar_t> value(n + 1, 0);
    GetEnvironmentVariableW(name.c_str(), value.data(), n + 1);
    std::wstring v = value.data();
    if (quoted) {
      for (wchar_t ch : v) {
        out += ch;
        if (ch == L'"') out += ch;
      }
    } else if (v.find_first_of(L"\",;") != std::wstring::npos ||
               (!v.empty() && (IsBlank(v.front()) || IsBlank(v.back())))) {
      out += QuoteInfText(v);
    } else {
      out += v;
    }
    i = end + 1;
  }
  return out;
}

void TrimBlanks(wchar_t* text) {
  if (!text) return;
  wchar_t* start = text;
  while (IsBlank(*start)) ++start;
  size_t len = wcslen(start);
  while (len && IsBlank(start[len - 1])) --len;
  wmemmove(text, start, len);
  text[len] = 0;
}

void CutIniComment(wchar_t* text) {
  if (!text) return;
  bool quoted = false;
  for (wchar_t* p = text; *p; ++p) {
    if (*p == L'"') quoted = !quoted;
    if (*p == L';' && !quoted) {
      while (p > text && IsBlank(p[-1])) --p;
      *p = 0;
      return;
    }
  }
}

void SplitInfFields(const wchar_t* text, std::wstring& out) {
  out.clear();
  for (const std::wstring& field : SplitInfValue(text ? text : L"")) {
    if (field.empty()) break;
    AppendCollapsed(out, field.c_str(), field.size());
    out += L'\0';
  }
  out += L'\0';
  if (out.size() == 1) out += L'\0';
}

void KeepAlphanumericChars(wchar_t* text) {
  if (!text) return;
  wchar_t* w = text;
  for (const wchar_t* r = text; *r; ++r) {
    wchar_t c = *r;
    bool keep = c >= 256 || (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'z') ||
                (c >= L'A' && c <= L'Z');
    if (keep) *w++ = c;
  }
  *w = 0;
}

int CompareGreaterNoCase(const std::wstring& a, const std::wstring& b) {
  return _wcsicmp(a.c_str(), b.c_str()) > 0 ? 1 : 0;
}

const wchar_t* FindNoCase(const wchar_t* text, const wchar_t* part) {
  size_t n = wcslen(part);
  for (const wchar_t* p = text; *p; ++p)
    if (_wcsnicmp(p, part, n) == 0) return p;
  return nullptr;
}

bool FindNoCase(const std::wstring& text, const wchar_t* part, size_t* at) {
  const wchar_t* p = FindNoCase(text.c_str(), part);
  if (!p) return false;
  if (at) *at = (size_t)(p - text.c_str());
  return true;
}
