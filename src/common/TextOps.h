// In-place operations on UTF-16 lines of INF and INI files, shared by the INF
// parser, the .reg staging of driver installation and the driver store.
// Every function here works on a NUL-terminated text that it may shorten but
// never lengthens, unless a capacity is given.
#pragma once
#include <string>
#include <vector>

// Each "%%" becomes "%"; a single "%" stays.
void CollapsePercentPairs(wchar_t* text);

// %name% references of INF text replaced by what the operation reading it
// defines (CProcessEnvironment::Define: the INF's strings, the directory
// ids); "%%", the INF's own "%", and a name nothing defines stay as they
// are written, and so does a "%" that no other closes.
std::wstring SubstituteInfReferences(const std::wstring& text);
// The first %name% of the text that the operation defines nothing for
// (written with its two "%"), or "" when every reference is defined. "%%"
// is no reference.
std::wstring FindUndefinedInfReference(const std::wstring& text);

// The entries of an INF section's string list (as ReadIniSection gives it)
// the way Windows' INF reader takes them: a ";" comment outside double
// quotes is cut from every line; a line whose last character left is a "\"
// outside quotes runs on into the next line (the backslash dropped), on any
// line of the section; each entry trimmed, empty ones dropped. Quotes are
// counted per physical line, so a "\" inside an open quote continues
// nothing.
std::vector<std::wstring> JoinInfLines(const wchar_t* list);

// Removes every tab, and the blanks before and after each ","; other blanks
// stay. "a , b\t,c" -> "a,b,c". Text inside double quotes is kept as it is.
void TrimAroundCommas(wchar_t* text);

// Each \ / : * ? " < > | becomes "_".
void SanitizeFileName(wchar_t* text);

// Removes one pair of surrounding double quotes (the text must be at least
// two characters long and begin and end with a quote).
void StripQuotes(wchar_t* text);

// An INF string as the INF reader takes it: one pair of surrounding quotes
// removed and each doubled quote inside them made one. Unquoted text stays.
void UnquoteInfText(wchar_t* text);
// The text as an INF quoted string: in quotes, each quote inside doubled.
std::wstring QuoteInfText(const std::wstring& text);
// SubstituteInfReferences the way an INF's strings are substituted into a
// line that is read again: inside a quoted string a value's quotes are
// doubled; a value standing outside quotes that holds a quote, "," or ";",
// or begins or ends with a blank, is written as a quoted string.
std::wstring ExpandInfStrings(const std::wstring& text);

// Removes leading and trailing blanks and tabs.
void TrimBlanks(wchar_t* text);

// Ends the text at the first ";" outside double quotes and removes the
// blanks and tabs before it. A line starting with ";" becomes empty.
void CutIniComment(wchar_t* text);

// The fields of an INF value as Windows reads them: split at each comma
// outside double quotes; quotes belong to each field, not to the whole value,
// so a quoted field may hold commas, and "" inside quotes is one quote;
// blanks and tabs around the unquoted text of a field are dropped, those
// inside quotes kept. At most maxFields fields (the last takes the rest of
// the value). keepQuotes: each field as written between its commas, quotes
// and blanks as they stand (for callers that unquote later).
std::vector<std::wstring> SplitInfValue(const std::wstring& value, size_t maxFields = (size_t)-1,
                                        bool keepQuotes = false);

// A comma-separated INF value list as a string list (each field
// NUL-terminated, the list ended by one more NUL; no field: two NULs): the
// fields as SplitInfValue reads them, "%%" collapsed in each. As in
// REG_MULTI_SZ data, an empty field ends the list for every reader of it,
// so the list stops before the first one.
void SplitInfFields(const wchar_t* text, std::wstring& out);

// Removes every character below 256 that is not an ASCII letter or digit;
// characters from 256 up stay.
void KeepAlphanumericChars(wchar_t* text);

// The first place where `part` stands in the text, ignoring case, or nullptr.
const wchar_t* FindNoCase(const wchar_t* text, const wchar_t* part);

// As above on a string; `at`, when given, receives the index of the match.
bool FindNoCase(const std::wstring& text, const wchar_t* part, size_t* at = nullptr);

// 1 when a sorts after b ignoring case (_wcsicmp), else 0: a sort predicate
// for descending order.
int CompareGreaterNoCase(const std::wstring& a, const std::wstring& b);
