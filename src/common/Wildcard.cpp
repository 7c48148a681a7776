#include "common/Wildcard.h"

#include "common/TextSearch.h"

namespace {

// The name is used up: what is left of the pattern must be empty, ".", "*"
// or ".*".
bool RestMatchesNothing(const wchar_t* p) {
  if (*p == L'.') ++p;
  return *p == 0 || (p[0] == L'*' && p[1] == 0);
}

}  // namespace

int MatchWildcard(const wchar_t* pattern, const wchar_t* name) {
  if (!pattern || !name) return 0;
  const wchar_t* afterStar = nullptr;  // pattern position after the last "*"
  const wchar_t* start = name;         // where the walk after that "*" began
  const wchar_t* p = pattern;
  const wchar_t* n = name;
  for (;;) {
    bool failed = false;
    while (!failed) {
      if (*n == 0) {
        if (RestMatchesNothing(p)) return 1;
        failed = true;
      } else if (*p == L'*') {
        afterStar = ++p;
        if (*p == 0) return 1;
        start = n;
      } else if (*p == L'?') {
        if (*n == L'.')
          failed = true;
        else
          ++p, ++n;
      } else if (FoldAsciiCase(*p) != FoldAsciiCase(*n)) {
        failed = true;
      } else {
        bool dot = *p == L'.';
        ++p, ++n;
        if (dot && *p == 0 && *n != 0) return 0;
      }
    }
    if (!afterStar || *start == 0) return 0;
    p = afterStar;
    n = ++start;
  }
}
