// Reading INF text for the installation: sections as cleaned lines,
// directive lines, field lists, numbers, and .reg text for staged data.
#include "infinstall/InfText.h"

#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include "common/IniSection.h"
#include "common/RegText.h"
#include "common/TextOps.h"

namespace inftext {

// A number as INF text writes it: hexadecimal after "0x", else decimal.
unsigned long ParseInfNumber(const wchar_t* text) {
  if (text[0] == L'0' && (text[1] == L'x' || text[1] == L'X'))
    return wcstoul(text + 2, nullptr, 16);
  return wcstoul(text, nullptr, 10);
}

bool ReadInfNumber(const std::wstring& text, unsigned long* value) {
  const wchar_t* p = text.c_str();
  const bool negative = *p == L'-';
  if (negative) ++p;
  const bool hex = p[0] == L'0' && (p[1] == L'x' || p[1] == L'X');
  if (hex) p += 2;
  if (!*p || (negative && hex)) return false;
  unsigned long long n = 0;
  for (; *p; ++p) {
    int digit = *p >= L'0' && *p <= L'9'                ? *p - L'0'
                : hex && *p >= L'a' && *p <= L'f'       ? *p - L'a' + 10
                : hex && *p >= L'A' && *p <= L'F'       ? *p - L'A' + 10
                                                        : -1;
    if (digit < 0) return false;
    n = n * (hex ? 16 : 10) + (unsigned)digit;
    if (n > 0xFFFFFFFFull) return false;
  }
  *value = (unsigned long)(negative ? (0x100000000ull - n) & 0xFFFFFFFFull : n);
  return true;
}

std::wstring Dword(unsigned long value) {
  wchar_t buffer[24];
  _snwprintf(buffer, 24, L"dword:%08lx", value);
  buffer[23] = 0;
  return buffer;
}

// A field as written, read as Windows reads it (its quotes, doubled quotes
// and blanks: SplitInfValue) unless keepQuotes, cut to `chars` characters
// (kWholeField: never), with %name% references substituted.
std::wstring CleanField(std::wstring field, size_t chars, bool keepQuotes) {
  std::wstring text;
  if (keepQuotes) {
    text = std::move(field);
  } else if (field.find(L'"') == std::wstring::npos) {
    // Without quotes a field reads as it stands, without its blanks at
    // either end.
    const size_t first = field.find_first_not_of(L" \t");
    if (first == std::wstring::npos) {
      field.clear();
    } else {
      field.erase(field.find_last_not_of(L" \t") + 1);
      field.erase(0, first);
    }
    text = std::move(field);
  } else {
    text = SplitInfValue(field, 1)[0];
  }
  if (chars != kWholeField && text.size() > chars - 1) text.resize(chars - 1);
  if (text.find(L'%') != std::wstring::npos) text = SubstituteInfReferences(text);
  if (chars != kWholeField && text.size() > chars - 1) text.resize(chars - 1);
  return text;
}

// REG_SZ data as .reg text: escaped so that the import gives back exactly
// the text.
std::wstring Escaped(const std::wstring& text) {
  if (text.find_first_of(L"\\\"") == std::wstring::npos) return text.c_str();
  std::vector<wchar_t> out(text.size() * 2 + 1);
  EscapeRegString(text.c_str(), out.data(), (int)out.size());
  return out.data();
}

// The fields of a line split at every comma outside double quotes, each as
// written.
std::vector<std::wstring> SplitCommas(const std::wstring& line, size_t maxFields) {
  return SplitInfValue(line, maxFields, true);
}

// One line of a section as the walkers see it: comment cut, blanks around
// commas dropped, trimmed.
namespace {

void CleanLineInPlace(std::wstring& line) {
  line.push_back(0);
  CutIniComment(&line[0]);
  TrimAroundCommas(&line[0]);
  TrimBlanks(&line[0]);
  line.resize(wcslen(line.c_str()));
}

}  // namespace

std::wstring CleanLine(const wchar_t* raw) {
  std::wstring line(raw);
  CleanLineInPlace(line);
  return line;
}

// The lines of a section, cleaned; empty when the section cannot be read.
std::vector<std::wstring> SectionLines(const wchar_t* infPath, const wchar_t* section) {
  std::vector<std::wstring> lines = ReadInfLines(infPath, section);
  size_t kept = 0;
  for (std::wstring& line : lines) {
    CleanLineInPlace(line);
    if (!line.empty()) lines[kept++].swap(line);
  }
  lines.resize(kept);
  return lines;
}

// key = value of a directive line; false when the line has no "=".
bool SplitDirective(const std::wstring& line, std::wstring& key, std::wstring& value) {
  size_t eq = line.find(L'=');
  if (eq == std::wstring::npos) return false;
  std::vector<wchar_t> k(line.begin(), line.begin() + eq);
  k.push_back(0);
  TrimBlanks(k.data());
  std::vector<wchar_t> v(line.begin() + eq + 1, line.end());
  v.push_back(0);
  TrimBlanks(v.data());
  key = k.data();
  value = v.data();
  return true;
}

std::vector<std::wstring> SectionNames(const std::wstring& value) {
  std::vector<std::wstring> names;
  for (const std::wstring& f : SplitCommas(value, (size_t)-1)) {
    std::vector<wchar_t> b(f.begin(), f.end());
    b.push_back(0);
    TrimBlanks(b.data());
    StripQuotes(b.data());
    if (b[0]) names.push_back(b.data());
  }
  return names;
}

}  // namespace inftext

namespace inftext {

std::wstring ReadInfValue(const wchar_t* infPath, const wchar_t* section, const wchar_t* key) {
  return ReadIniValue(infPath, section, key);
}

}  // namespace inftext

namespace inftext {

std::wstring ModelsSectionName(std::wstring value) {
  if (value.size() > 400) value.resize(400);
  size_t comma = value.find(L',');
  std::wstring models = value.substr(0, comma);
  if (comma != std::wstring::npos) {
    models += L"." + value.substr(comma + 1);
    if (models.size() > 199) models.resize(199);
  }
  return models;
}

}  // namespace inftext
