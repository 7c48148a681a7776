// DOS-style wildcard match of one file name, used by the file search and the
// file filters.
#pragma once

// 1 when `name` matches `pattern`, else 0. "*" matches any run of characters
// (one backtracking point: the last "*"); "?" matches one character other
// than "."; A-Z fold to a-z. A used-up name still matches a pattern rest of
// ".", "*" or ".*", so "abc." and "abc.*" match "abc"; a pattern that ends
// right after a matched "." fails while the name goes on ("*." does not match
// "a.b").
int MatchWildcard(const wchar_t* pattern, const wchar_t* name);
