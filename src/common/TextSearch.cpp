#include "common/TextSearch.h"

#include <cstring>
#include <cwchar>
#include <string>

namespace {

char FoldByte(char c) {
  return c >= 'A' && c <= 'Z' ? c + 32 : c;
}

template <typename C>
size_t LengthOf(const C* s, ptrdiff_t length) {
  if (length >= 0) return static_cast<size_t>(length);
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}

// The first position of `pat` in `hay` where every unit matches after `fold`.
template <typename C, typename Fold>
const C* Search(const C* hay, ptrdiff_t length, const C* pat, size_t patLen, Fold fold) {
  if (!hay || !pat) return nullptr;
  if (patLen == 0) return hay;
  size_t n = LengthOf(hay, length);
  if (n < patLen) return nullptr;
  const C first = fold(pat[0]);
  // A first unit that is no letter matches only itself: the places it
  // stands are found by the runtime's own scan.
  const bool exact = !(first >= 'a' && first <= 'z');
  for (size_t i = 0; i + patLen <= n; ++i) {
    if (exact) {
      const C* at = std::char_traits<C>::find(hay + i, n - patLen + 1 - i, first);
      if (!at) return nullptr;
      i = at - hay;
    } else if (fold(hay[i]) != first) {
      continue;
    }
    size_t k = 1;
    while (k < patLen && fold(hay[i + k]) == fold(pat[k])) ++k;
    if (k == patLen) return hay + i;
  }
  return nullptr;
}

}  // namespace

const wchar_t* FindTextNoCase(const wchar_t* haystack, ptrdiff_t length, const wchar_t* needle) {
  if (!needle) return nullptr;
  return FindTextNoCaseCounted(haystack, length, needle, wcslen(needle));
}

const wchar_t* FindTextNoCaseCounted(const wchar_t* haystack, ptrdiff_t length,
                                     const wchar_t* needle, size_t needleLength) {
  return Search(haystack, length, needle, needleLength, [](wchar_t c) { return FoldAsciiCase(c); });
}

const char* FindBytesNoCase(const char* buffer, ptrdiff_t length, const char* pattern,
                            size_t patternLength) {
  return Search(buffer, length, pattern, patternLength, FoldByte);
}

const char* FindBytes(const char* buffer, ptrdiff_t length, const char* pattern,
                      size_t patternLength) {
  return Search(buffer, length, pattern, patternLength, [](char c) { return c; });
}
