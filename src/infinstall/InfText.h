// Reading INF text for the installation: sections as cleaned lines,
// directive lines, field lists, numbers, and .reg text for staged data.
#pragma once
#include <string>
#include <vector>

namespace inftext {

// A number as INF text writes it: hexadecimal after "0x", else decimal.
unsigned long ParseInfNumber(const wchar_t* text);
// A whole field read as a number: hexadecimal after "0x", else decimal
// (a "-" before it taken as Windows takes it), no more than 32 bits. False
// for text that is no such number (nothing is written to *value).
bool ReadInfNumber(const std::wstring& text, unsigned long* value);
// "dword:%08x".
std::wstring Dword(unsigned long value);
// A field as written between its commas, read as Windows reads it (its
// quotes, doubled quotes and blanks; keepQuotes: as written), cut to
// `chars` characters with the NUL (kWholeField: never cut), its %name%
// references replaced by what the installation defines (the INF's strings,
// the directory ids); "%%" stays for the value's own rules.
const size_t kWholeField = (size_t)-1;
std::wstring CleanField(std::wstring field, size_t chars, bool keepQuotes = false);
// REG_SZ data as .reg text: a backslash before each backslash and quote.
std::wstring Escaped(const std::wstring& text);
// The fields of a line split at commas, at most maxFields (the last takes
// the rest of the line).
std::vector<std::wstring> SplitCommas(const std::wstring& line, size_t maxFields);
// One line as the walkers see it: comment cut, blanks around commas
// dropped, trimmed.
std::wstring CleanLine(const wchar_t* raw);
// The cleaned lines of a section; empty when it cannot be read.
std::vector<std::wstring> SectionLines(const wchar_t* infPath, const wchar_t* section);
// key = value of a directive line, both trimmed; false without "=".
bool SplitDirective(const std::wstring& line, std::wstring& key, std::wstring& value);
// The section names of a comma-separated directive value.
std::vector<std::wstring> SectionNames(const std::wstring& value);
// One value of an INI or INF file through the whole-section reader ("key =
// value", the key compared without regard to case), comment cut; empty when
// missing.
std::wstring ReadInfValue(const wchar_t* infPath, const wchar_t* section, const wchar_t* key);

// The models section a [Manufacturer] value names: its text before the
// first comma, with "." and the whole rest when there is a comma (the value
// cut to 400 characters, the name to 199).
std::wstring ModelsSectionName(std::wstring value);

}  // namespace inftext
