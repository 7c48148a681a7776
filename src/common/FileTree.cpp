#include "common/FileTree.h"

#include <string>

#include "common/NoRedirect.h"
#include "common/PathUtil.h"
#include "common/ReparseLink.h"

namespace {

bool IsDotEntry(const wchar_t* name) {
  return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0));
}

bool DeleteOneFile(const wchar_t* path) {
  if (DeleteFileW(path)) return true;
  if (GetLastError() != ERROR_ACCESS_DENIED) return false;
  SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
  return DeleteFileW(path) != 0;
}

// Removes a junction or directory symbolic link itself, never its target.
// DeleteFileW is the second try: some file systems (Wine's view of a Linux
// link among them) keep a directory link as a file-like entry.
bool RemoveDirectoryLink(const wchar_t* path) {
  return RemoveDirectoryW(path) || DeleteFileW(path);
}

// Makes the link at `source` again at `target`.
int CopyLink(const wchar_t* source, const wchar_t* target) {
  wchar_t linkTarget[kPathChars];
  DWORD tag = ReadReparseTarget(source, linkTarget);
  return tag && linkTarget[0] && CreateReparseLink(target, linkTarget, tag, FALSE) ? 1 : 0;
}

}  // namespace

namespace {

// DeleteTree, keeping the error of the first thing that could not go.
int DeleteTreeAt(const wchar_t* path, BOOL recursive, DWORD* firstError) {
  auto failed = [&](DWORD error) {
    if (!*firstError) *firstError = error ? error : ERROR_ACCESS_DENIED;
  };
  DWORD self = GetFileAttributesW(path);
  if (self != INVALID_FILE_ATTRIBUTES && IsDirectoryLink(self)) {
    if (RemoveDirectoryLink(path)) return 1;
    failed(GetLastError());
    return 0;
  }

  int count = 0;
  const std::wstring base = path;
  WIN32_FIND_DATAW fd;
  HANDLE find = FindFirstFileW((base + L"\\*.*").c_str(), &fd);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      if (IsDotEntry(fd.cFileName)) continue;
      std::wstring child = base + L"\\" + fd.cFileName;
      if (IsDirectoryLink(fd.dwFileAttributes)) {
        if (!recursive) continue;
        if (RemoveDirectoryLink(child.c_str())) {
          ++count;
        } else {
          failed(GetLastError());
        }
      } else if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        if (recursive) count += DeleteTreeAt(child.c_str(), TRUE, firstError);
      } else if (DeleteOneFile(child.c_str())) {
        ++count;
      } else {
        failed(GetLastError());
      }
    } while (FindNextFileW(find, &fd));
    FindClose(find);
  }
  SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
  if (RemoveDirectoryW(path)) return count + 1;
  const DWORD folderError = GetLastError();
  if (DeleteFileW(path)) return count + 1;
  const bool folder = self != INVALID_FILE_ATTRIBUTES && (self & FILE_ATTRIBUTE_DIRECTORY);
  failed(folder ? folderError : GetLastError());
  return count;
}

}  // namespace

int DeleteTree(const wchar_t* path, BOOL recursive) {
  if (!path || !*path) return 0;
  DWORD firstError = 0;
  const int count = DeleteTreeAt(path, recursive, &firstError);
  if (firstError) SetLastError(firstError);
  return count;
}

int CopyTreeNoRedirect(const wchar_t* source, const wchar_t* target) {
  if (!source || !target) return 0;
  NoRedirectScope off;
  DWORD attributes = 0;
  int kind = GetPathInfoNoRedirect(source, &attributes, nullptr, nullptr);
  if (kind == 1) return CopyFileNoRedirect(source, target, FALSE) ? 1 : 0;
  if (kind != 2) return 0;
  if (IsDirectoryLink(attributes)) return CopyLink(source, target);

  CreateDirectoryW(target, nullptr);
  int count = 0;
  const std::wstring from = source, to = target;
  WIN32_FIND_DATAW fd;
  HANDLE find = FindFirstFileW((from + L"\\*.*").c_str(), &fd);
  if (find == INVALID_HANDLE_VALUE) return 0;
  do {
    if (IsDotEntry(fd.cFileName)) continue;
    std::wstring s = from + L"\\" + fd.cFileName, t = to + L"\\" + fd.cFileName;
    if (IsDirectoryLink(fd.dwFileAttributes))
      count += CopyLink(s.c_str(), t.c_str());
    else if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      count += CopyTreeNoRedirect(s.c_str(), t.c_str());
    else if (CopyFileNoRedirect(s.c_str(), t.c_str(), FALSE))
      ++count;
  } while (FindNextFileW(find, &fd));
  FindClose(find);
  return count;
}
