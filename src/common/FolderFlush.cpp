#include "common/FolderFlush.h"

#include <windows.h>

#include <string>

#include "common/ConsoleOutput.h"

namespace {

// The folder that holds path (the current folder when the path names none).
std::wstring FolderOf(const wchar_t* path) {
  std::wstring folder = path ? path : L"";
  size_t cut = folder.find_last_of(L"\\/");
  if (cut == std::wstring::npos)
    folder = L".";
  else if (cut == 0 || folder[cut - 1] == L':' || folder[cut - 1] == L'?')
    folder.resize(cut + 1);  // "\", "C:\", "\\?\C:\": the root itself
  else
    folder.resize(cut);
  return folder;
}

}  // namespace

bool FlushFolderOf(const wchar_t* path) {
  std::wstring folder = FolderOf(path);
  // A folder's handle takes a flush when it may write; where only reading
  // is allowed, the read handle is tried.
  HANDLE h = INVALID_HANDLE_VALUE;
  for (DWORD access : {GENERIC_READ | GENERIC_WRITE, GENERIC_READ}) {
    h = CreateFileW(folder.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h != INVALID_HANDLE_VALUE) break;
  }
  if (h == INVALID_HANDLE_VALUE) return false;
  bool flushed = FlushFileBuffers(h) != 0;
  DWORD error = flushed ? 0 : GetLastError();
  CloseHandle(h);
  if (!flushed && (error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ||
                   error == ERROR_INVALID_PARAMETER))
    flushed = true;
  if (!flushed) SetLastError(error);
  return flushed;
}

namespace {
VroNameSource g_SystemNames;
VroNameSource* g_Names = &g_SystemNames;
}  // namespace

VroNameSource* VroSetNameSource(VroNameSource* source) {
  VroNameSource* old = g_Names;
  g_Names = source ? source : &g_SystemNames;
  return old;
}

VroNameSource* VroGetNameSource() {
  return g_Names;
}

bool FlushNameOf(const wchar_t* path) {
  return g_Names->FlushFolder(path) == 0;
}

bool RenameDurably(const wchar_t* from, const wchar_t* to, bool* renamed) {
  bool moved = g_Names->RenameFile(from, to) == 0;
  if (renamed) *renamed = moved;
  if (!moved) return false;
  if (FlushNameOf(to)) return true;
  // The file holds its new name, which a power loss may take back: the line
  // names the folder.
  DWORD error = GetLastError() ? GetLastError() : ERROR_WRITE_FAULT;
  WriteCommandLine(FailureLine(true, FolderOf(to), error));
  SetLastError(error);
  return false;
}
