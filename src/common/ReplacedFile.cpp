#include "common/ReplacedFile.h"

#include <wchar.h>
#include <wctype.h>

#include "common/FolderFlush.h"
#include "common/PathSet.h"
#include "common/PathUtil.h"

namespace {

CPathSet& Temporaries() {
  static CPathSet made;
  return made;
}

}  // namespace

bool ReplacedFile::IsBeingMade(const wchar_t* path) {
  return Temporaries().Has(path);
}

namespace {

bool IsHexName(const wchar_t* p, int digits) {
  for (int i = 0; i < digits; i++)
    if (!iswxdigit(p[i])) return false;
  return true;
}

// Removes "~vro<8 hex digits>.<name>" files in folder that no maker holds.
void RemoveLeftovers(const std::wstring& folder, const std::wstring& name,
                     void (*removed)(const wchar_t* path)) {
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((folder + L"~vro*." + name).c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const wchar_t* n = found.cFileName;
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || wcslen(n) != 13 + name.size() ||
        _wcsnicmp(n, L"~vro", 4) != 0 || !IsHexName(n + 4, 8) || n[12] != L'.' ||
        _wcsicmp(n + 13, name.c_str()) != 0)
      continue;
    // A maker still at work holds it: its removal fails for sharing.
    std::wstring path = folder + n;
    if (DeleteFileW(path.c_str()) && removed) removed(path.c_str());
  } while (FindNextFileW(find, &found));
  FindClose(find);
}

}  // namespace

ReplacedFile::ReplacedFile(const wchar_t* target, void (*removed)(const wchar_t* path))
    : m_Target(target ? target : L"") {
  if (m_Target.empty()) return;
  size_t cut = m_Target.find_last_of(L"\\/");
  std::wstring folder = cut == std::wstring::npos ? std::wstring() : m_Target.substr(0, cut + 1);
  std::wstring name = cut == std::wstring::npos ? m_Target : m_Target.substr(cut + 1);
  RemoveLeftovers(folder, name, removed);
  // "~vro<number>.<name>": the target's extension stays last, as image
  // detection reads it. The file stays open, its removal not shared, until
  // it takes the target's place or goes; its writer opens it beside.
  DWORD seed = GetTickCount() ^ (GetCurrentProcessId() << 16);
  for (DWORD i = 0; i < 64; i++) {
    wchar_t prefix[32];
    _snwprintf(prefix, 32, L"~vro%08lX.", (unsigned long)(seed + i * 7919));
    prefix[31] = 0;
    std::wstring path = folder + prefix + name;
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      m_hHeld = h;
      m_Temp = path;
      Temporaries().Note(m_Temp.c_str());
      return;
    }
    if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) return;
  }
}

ReplacedFile::~ReplacedFile() {
  if (m_hHeld != INVALID_HANDLE_VALUE) CloseHandle(m_hHeld);
  if (!m_Temp.empty() && !m_bCommitted) DeleteFileW(m_Temp.c_str());
  if (!m_Temp.empty()) Temporaries().Drop(m_Temp.c_str());
}

bool ReplacedFile::Commit() {
  if (m_Temp.empty() || m_bCommitted) return m_bCommitted;
  if (m_hHeld != INVALID_HANDLE_VALUE) CloseHandle(m_hHeld);
  m_hHeld = INVALID_HANDLE_VALUE;
  // The name reaches the disk with its folder: a power loss after the
  // command ended never brings the old file back.
  return RenameDurably(m_Temp.c_str(), m_Target.c_str(), &m_bCommitted);
}
