#include "common/MultiSz.h"

#include <windows.h>
#include <shlwapi.h>

#include <cwchar>

namespace {

// Calls f(entry) for each entry until f returns false.
template <typename F>
void ForEachEntry(const wchar_t* list, F f) {
  if (!list) return;
  for (const wchar_t* e = list; *e; e += wcslen(e) + 1)
    if (!f(e)) return;
}

}  // namespace

size_t MultiSzLength(const wchar_t* list) {
  if (!list || !*list) return 0;
  const wchar_t* e = list;
  while (*e) e += wcslen(e) + 1;
  return e - list + 1;
}

void MultiSzAppend(const wchar_t* list, std::wstring& out, const wchar_t* entry) {
  std::wstring result;
  ForEachEntry(list, [&](const wchar_t* e) {
    result.append(e, wcslen(e) + 1);
    return true;
  });
  result += entry ? entry : L"";
  result.append(2, L'\0');
  out.swap(result);
}

void MultiSzRemoveMatching(const wchar_t* list, std::wstring& out, const wchar_t* text) {
  std::wstring result;
  ForEachEntry(list, [&](const wchar_t* e) {
    if (!StrStrIW(e, text)) result.append(e, wcslen(e) + 1);
    return true;
  });
  result += L'\0';
  if (result.size() == 1) result += L'\0';
  out.swap(result);
}

int MultiSzFindEntry(const wchar_t* list, const wchar_t* text) {
  int index = 0, found = -1;
  ForEachEntry(list, [&](const wchar_t* e) {
    if (lstrcmpiW(e, text) == 0) found = index;
    ++index;
    return found < 0;
  });
  return found;
}

int MultiSzContainsText(const wchar_t* list, const wchar_t* text) {
  int found = -1;
  ForEachEntry(list, [&](const wchar_t* e) {
    if (StrStrIW(e, text)) found = 0;
    return found < 0;
  });
  return found;
}
