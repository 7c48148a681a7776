// String lists: UTF-16 entries each ended by a NUL, the list ended by an
// empty entry (so two NULs at the end). Built lists are held in a
// std::wstring whose characters include every NUL; c_str() is the list.
#pragma once
#include <cstddef>
#include <string>

// Characters of the list including the final NUL; 0 for a null or empty
// list.
size_t MultiSzLength(const wchar_t* list);

// out = the entries of `list` (may be null), then `entry` and two NULs.
// `list` may point into `out`.
void MultiSzAppend(const wchar_t* list, std::wstring& out, const wchar_t* entry);

// out = the entries that do not contain `text` (case-insensitive), then one
// more NUL; two NULs when none is kept.
void MultiSzRemoveMatching(const wchar_t* list, std::wstring& out, const wchar_t* text);

// Index of the first entry equal to `text` ignoring case, or -1. An index,
// not a yes/no: a match on the first entry gives 0, the same value a
// 0-for-found convention would give, and later matches give 1, 2, ...
int MultiSzFindEntry(const wchar_t* list, const wchar_t* text);

// 0 when some entry contains `text` (case-insensitive), else -1 (also for an
// empty list).
int MultiSzContainsText(const wchar_t* list, const wchar_t* text);
