// Host paths: splitting and joining, what a path names, PE machine class and
// dotted version numbers. Both "\" and "/" are separators everywhere here.
#pragma once
#include <string>
#include <cstdint>

// Path buffers hold this many UTF-16 characters, the terminator included.
constexpr int kPathChars = 360;

bool IsPathSeparator(wchar_t c);

// Copies the folder part of `path` (up to, not including, its last
// separator) into `out` of `outSize` characters; `out` becomes empty when
// the path has no separator.
void CopyParentPath(const wchar_t* path, wchar_t* out, int outSize = kPathChars);

// The text after the last separator (the whole path when there is none).
const wchar_t* FindFileNamePart(const wchar_t* path);
wchar_t* FindFileNamePart(wchar_t* path);

// The text after the last "." of the file-name part, or the terminating NUL
// when the file name has no "." ("C:\a.b\file" -> "").
const wchar_t* FindExtensionPart(const wchar_t* path);
wchar_t* FindExtensionPart(wchar_t* path);

// Ends the path at its last separator (the separator becomes NUL) and returns
// the part that followed it; does nothing and returns null when there is no
// separator or it is the first character.
wchar_t* CutFileNamePart(wchar_t* path);

// Appends `tail` to `path` (a buffer of `size` characters) with one "\"
// between them: none is added when the path is empty or already ends in a
// separator, and one leading separator of the tail is dropped. The result is
// cut at the buffer size. Argument order: (path, size, tail).
void AppendPathPart(wchar_t* path, int size, const wchar_t* tail);

// 0 missing, 1 file, 2 folder; "X:" or "X:\" is a drive root and gives 3 when
// that drive exists, else 0. A path holding "*" or "?" names nothing (0).
int GetPathKind(const wchar_t* path);

// Low 32 bits of a file's size; 0 when it is missing.
uint32_t GetFileSizeByName(const wchar_t* path);

// 1 for a PE file for AMD64, 0 for i386, -1 for another machine, a file that
// is not PE (too short for its headers included) or cannot be opened.
int GetPeMachineClass(const wchar_t* path);

// "a.b.c.d" -> a<<48 | b<<32 | c<<16 | d (decimal parts, 16 bits each, at
// most 200 characters read, parts after the fourth ignored). Missing trailing
// parts count as 0, so "1.2.3" equals "1.2.3.0" and compares in its place
// among four-part versions; a text without any "." is no version and gives 0.
uint64_t ParseVersionString(const wchar_t* text);

// True for a name Windows opens as a device wherever it stands: CON, PRN,
// AUX, NUL, COM1-COM9, LPT1-LPT9 (with the superscript digits 1 to 3 too),
// CONIN$ and CONOUT$, in any case, with or without an extension, with
// trailing dots and blanks ("nul .sys", "COM1. .").
bool IsDeviceName(const wchar_t* name);
// True for one name that stays in its folder and names it as Windows
// does: not empty, no separator, no ":" (drive or stream), no trailing dot
// or blank (Windows drops them, so "a.sys." is "a.sys" on the host while a
// volume would keep it, and ".. " names the parent), and no device name
// (IsDeviceName).
bool IsPlainName(const wchar_t* name);
// True for a path of plain names joined by separators (one leading
// separator allowed): no part is empty, "." or "..", none holds a ":",
// none is a device name.
bool IsContainedPath(const wchar_t* path);
// The name of a file below a folder, as given by a file it names, made
// canonical: "/" becomes "\", "." parts go and ".." parts take the part
// before them away. Empty when it would name anything but a file below the
// folder: an absolute, drive, UNC or "\\?\" path, a leading separator, a
// stream (":"), an empty part, a part of dots and blanks only other than "."
// and "..", a device name, or a ".." above the folder.
std::wstring ContainedFileName(const wchar_t* name);

// The full path in upper case: one key for every way of naming a file.
std::wstring FullPathKey(const wchar_t* path);
// True when two paths name the same host file: the same full path in any
// case, or, both there, one file by its identity on its volume (a short
// name, another drive letter or share for the same folder, a hard link).
bool IsSameHostFile(const wchar_t* a, const wchar_t* b);

// A host path the file API takes also past MAX_PATH: one long enough that
// the API would refuse it (a folder's limit, MAX_PATH - 12, included) as a
// full "\\?\" path ("\\?\UNC\" for a share); shorter ones, and paths
// that carry a "\\?\" or "\\.\" prefix already, as they are.
std::wstring WidePath(const std::wstring& path);
