// Searches over UTF-16 text and raw bytes. "NoCase" folds only the ASCII
// letters A-Z to a-z, on both sides; no other character is folded.
#pragma once
#include <cstddef>

// First occurrence of `needle` (NUL-terminated) in the first `length`
// characters of `haystack` (-1: up to its NUL). Null for a null argument, an
// empty haystack or a zero length; an empty needle gives the haystack.
const wchar_t* FindTextNoCase(const wchar_t* haystack, ptrdiff_t length, const wchar_t* needle);

// As FindTextNoCase with the needle's length given.
const wchar_t* FindTextNoCaseCounted(const wchar_t* haystack, ptrdiff_t length,
                                     const wchar_t* needle, size_t needleLength);

// Byte searches over `length` bytes (-1: up to a NUL byte); the NoCase one
// folds the bytes 0x41-0x5A to 0x61-0x7A.
const char* FindBytesNoCase(const char* buffer, ptrdiff_t length, const char* pattern,
                            size_t patternLength);
const char* FindBytes(const char* buffer, ptrdiff_t length, const char* pattern,
                      size_t patternLength);

// A-Z -> a-z, nothing else.
inline wchar_t FoldAsciiCase(wchar_t c) {
  return c >= L'A' && c <= L'Z' ? c + 32 : c;
}

// Texts compared with A-Z folded (<0, 0, >0), as the runtime's _wcsicmp
// and _wcsnicmp compare them in the C locale the program keeps, without
// their look-up of the locale on every call; the N form compares at most
// n characters.
inline int CompareNoCaseN(const wchar_t* a, const wchar_t* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const int d = (int)FoldAsciiCase(a[i]) - (int)FoldAsciiCase(b[i]);
    if (d || !a[i]) return d;
  }
  return 0;
}
inline int CompareNoCase(const wchar_t* a, const wchar_t* b) {
  return CompareNoCaseN(a, b, (size_t)-1);
}
