#include "common/TextOps.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <vector>

#include "common/ProcessEnvironment.h"
#include "common/TextSearch.h"

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
  if (keepQuotes) {
    // Each field as written: only the commas inside quotes are passed over.
    fields.reserve(std::count(value.begin(), value.end(), L',') + 1);
    size_t start = 0;
    bool quoted = false;
    for (size_t i = 0;; ++i) {
      if (i == value.size() || (value[i] == L',' && !quoted && fields.size() + 1 < maxFields)) {
        fields.push_back(value.substr(start, i - start));
        if (i == value.size()) return fields;
        start = i + 1;
        quoted = false;
      } else if (value[i] == L'"') {
        quoted = !quoted;
      }
    }
  }
  std::wstring field;
  size_t keep = 0;      // characters of `field` the trim of its end keeps
  bool quoted = false;  // inside a quoted part
  for (size_t i = 0;; ++i) {
    const bool last = fields.size() + 1 >= maxFields;
    if (i == value.size() || (value[i] == L',' && !quoted && !last)) {
      field.resize(keep);
      fields.push_back(field);
      if (i == value.size()) return fields;
      field.clear();
      keep = 0;
      quoted = false;
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

namespace {

// Walks the %name% references of INF text: `plain` gets each run of text
// between them ("%%" and a "%" that opens no reference among it),
// `reference` each name (without its "%") and answers whether it was
// replaced; a name it leaves is given to `plain` as written. A name is
// visible characters: text with a blank or a quote between two "%" is no
// name, and its second "%" may open one ("50% of %Name%").
template <class Plain, class Reference>
void WalkInfReferences(const std::wstring& text, Plain plain, Reference reference) {
  size_t i = 0, from = 0;
  while (from < text.size()) {
    size_t at = text.find(L'%', from);
    if (at == std::wstring::npos) break;
    if (at + 1 < text.size() && text[at + 1] == L'%') {
      from = at + 2;
      continue;
    }
    size_t end = text.find(L'%', at + 1);
    if (end == std::wstring::npos) break;
    if (text.find_first_of(L" \t\"", at + 1) < end) {
      from = end;
      continue;
    }
    plain(text.substr(i, at - i));
    const std::wstring name = text.substr(at + 1, end - at - 1);
    if (!reference(name)) plain(L'%' + name + L'%');
    i = from = end + 1;
  }
  plain(text.substr(i));
}

}  // namespace

std::wstring SubstituteInfReferences(const std::wstring& text) {
  if (text.find(L'%') == std::wstring::npos) return text;
  std::wstring out;
  WalkInfReferences(
      text, [&](const std::wstring& run) { out += run; },
      [&](const std::wstring& name) {
        std::wstring value;
        if (!CProcessEnvironment::FindDefinition(name, &value)) return false;
        out += value;
        return true;
      });
  return out;
}

std::wstring FindUndefinedInfReference(const std::wstring& text) {
  std::wstring undefined;
  if (text.find(L'%') == std::wstring::npos) return undefined;
  WalkInfReferences(
      text, [](const std::wstring&) {},
      [&](const std::wstring& name) {
        if (CProcessEnvironment::FindDefinition(name, nullptr)) return true;
        if (undefined.empty()) undefined = L'%' + name + L'%';
        return true;
      });
  return undefined;
}

namespace {

// A string's value where a reference to it stood, as the line must hold it
// to be read again as that text.
void AppendInfString(std::wstring& out, const std::wstring& v, bool quoted) {
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
}

}  // namespace

std::wstring ExpandInfStrings(const std::wstring& text) {
  std::wstring out;
  bool quoted = false;
  WalkInfReferences(
      text,
      [&](const std::wstring& run) {
        for (wchar_t c : run)
          if (c == L'"') quoted = !quoted;
        out += run;
      },
      [&](const std::wstring& name) {
        std::wstring v;
        if (!CProcessEnvironment::FindDefinition(name, &v)) return false;
        AppendInfString(out, v, quoted);
        return true;
      });
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
  // The runtime's comparison folds A-Z alone, as the search does.
  return *text ? FindTextNoCase(text, -1, part) : nullptr;
}

bool FindNoCase(const std::wstring& text, const wchar_t* part, size_t* at) {
  const wchar_t* p = FindNoCase(text.c_str(), part);
  if (!p) return false;
  if (at) *at = (size_t)(p - text.c_str());
  return true;
}
