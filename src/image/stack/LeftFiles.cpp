#include "image/stack/LeftFiles.h"

#include <windows.h>

#include <cstring>
#include <cwctype>
#include <map>
#include <vector>

#include "common/ByteOrder.h"
#include "image/formats/sparse/ObjImg.h"
#include "image/stack/OverlayNotice.h"
#include "image/stack/RwClass.h"
#include "image/stack/journal/JournalFile.h"

using namespace vroimg;

namespace {

// An overlay this program was making (head: its first bytes, got of them,
// of size): empty or all zeros no longer than a fresh one's head (cut off
// before its header, or its header lost with the power), an own-format
// header of an overlay whose checksum holds, or a fresh container that
// holds nothing yet (an earlier version wrote it before the link that
// makes it an overlay).
bool IsOurOverlay(const uint8_t* head, DWORD got, uint64_t size) {
  bool zeros = true;
  for (DWORD i = 0; i < got; i++) zeros = zeros && !head[i];
  if (zeros && size <= kFirstFree * VRO_SECTOR) return true;
  if (got < 2 * VRO_SECTOR || Ld32(head + kOffMagic) != kMagicValue ||
      memcmp(head + kOffSignature, kSignature, 8) != 0 ||
      _VROH_OBJ_IMG::HeaderChecksum(head) != Ld32(head + kOffChecksum))
    return false;
  const uint8_t* map = head + VRO_SECTOR;
  return Ld32(head + kOffKind) == kKindOverlay ||
         (Ld32(head + kOffKind) == kKindSparse && memcmp(map, kMapMagic, sizeof kMapMagic) == 0 &&
          Ld32(map + kOffNextFree) == kFirstFree && size <= kFirstFree * VRO_SECTOR);
}

// A journal this program was making for the file `owner`: empty (cut off
// before its first head), or a head that holds and names that file.
bool IsOurJournal(const uint8_t* head, DWORD got, const std::wstring& owner) {
  if (got == 0) return true;
  for (int i = 0; i < 2; i++) {
    uint8_t slot[vrojournal::kSlotBytes];
    memcpy(slot, head + i * vrojournal::kSlotBytes, sizeof slot);
    vrojournal::Head h;
    if (vrojournal::DecodeHead(slot, &h) &&
        _wcsicmp(h.name.c_str(), vrojournal::FileNameOf(owner).c_str()) == 0)
      return true;
  }
  return false;
}

// The file alone: nobody else may have it open (a maker at work holds it
// without sharing its removal, and nobody else reads it).
HANDLE OpenAlone(const std::wstring& left) {
  return CreateFileW(left.c_str(), GENERIC_READ | DELETE, 0, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

}  // namespace

bool VroLeftFileInMaking(const std::wstring& left) {
  HANDLE h = OpenAlone(left);
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  return h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION;
}

namespace {

// The files named in a line since the round began, by thread. (Not a
// thread_local: an object with a destructor there leaves the runtime's
// thread keys locked at the process's exit.)
struct Told {
  CRITICAL_SECTION lock;
  std::map<DWORD, std::vector<std::wstring>> names;
  std::map<DWORD, int> commands;  // the command rounds in force, by thread
  // The lines given in the command round in force, by thread.
  std::map<DWORD, std::vector<std::wstring>> lines;
  Told() { InitializeCriticalSection(&lock); }
};

Told& TheTold() {
  static Told told;
  return told;
}

// Names the file once a round. An open that only looks for another file
// says nothing, and leaves the line to the open of the command's own.
void TellOnce(const std::wstring& left, int kind) {
  if (VroNoticesQuiet()) return;
  Told& t = TheTold();
  EnterCriticalSection(&t.lock);
  std::vector<std::wstring>& mine = t.names[GetCurrentThreadId()];
  bool told = false;
  for (const std::wstring& name : mine) told = told || _wcsicmp(name.c_str(), left.c_str()) == 0;
  if (!told) mine.push_back(left);
  LeaveCriticalSection(&t.lock);
  if (!told) VroOverlayNotice(left.c_str(), kind);
}

// Names in `folder` that match `pattern` and end in `suffix` (any case).
std::vector<std::wstring> NamesEndingIn(const std::wstring& folder, const wchar_t* pattern,
                                        const wchar_t* suffix) {
  std::vector<std::wstring> out;
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((folder + pattern).c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return out;
  size_t s = wcslen(suffix);
  do {
    size_t length = wcslen(found.cFileName);
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && length > s &&
        _wcsicmp(found.cFileName + length - s, suffix) == 0)
      out.push_back(found.cFileName);
  } while (FindNextFileW(find, &found));
  FindClose(find);
  return out;
}

}  // namespace

void VroLeftFilesRoundBegins() {
  Told& t = TheTold();
  EnterCriticalSection(&t.lock);
  if (!t.commands.count(GetCurrentThreadId())) t.names.erase(GetCurrentThreadId());
  LeaveCriticalSection(&t.lock);
}

VroLeftFilesCommandRound::VroLeftFilesCommandRound() {
  Told& t = TheTold();
  EnterCriticalSection(&t.lock);
  if (t.commands[GetCurrentThreadId()]++ == 0) {
    t.names.erase(GetCurrentThreadId());
    t.lines.erase(GetCurrentThreadId());
  }
  LeaveCriticalSection(&t.lock);
}

VroLeftFilesCommandRound::~VroLeftFilesCommandRound() {
  Told& t = TheTold();
  EnterCriticalSection(&t.lock);
  if (--t.commands[GetCurrentThreadId()] == 0) {
    t.commands.erase(GetCurrentThreadId());
    t.names.erase(GetCurrentThreadId());
    t.lines.erase(GetCurrentThreadId());
  }
  LeaveCriticalSection(&t.lock);
}

bool VroLineToldInCommand(const wchar_t* path, int kind, const wchar_t* other) {
  Told& t = TheTold();
  const DWORD thread = GetCurrentThreadId();
  std::wstring line = std::to_wstring(kind) + L"|" + (path ? path : L"") + L"|" + (other ? other : L"");
  EnterCriticalSection(&t.lock);
  bool told = false;
  if (t.commands.count(thread)) {
    std::vector<std::wstring>& mine = t.lines[thread];
    for (const std::wstring& l : mine) told = told || _wcsicmp(l.c_str(), line.c_str()) == 0;
    if (!told) mine.push_back(line);
  }
  LeaveCriticalSection(&t.lock);
  return told;
}

int VroSettleLeftFile(const std::wstring& left, const std::wstring* journalOf) {
  const int notOurs = journalOf ? VRO_NOTICE_JOURNAL_NAME_TAKEN : VRO_NOTICE_LEFTOVER_NOT_OURS;
  HANDLE h = OpenAlone(left);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return VRO_LEFT_NONE;
    if (error == ERROR_SHARING_VIOLATION) return VRO_LEFT_IN_MAKING;
    TellOnce(left, notOurs);
    return VRO_LEFT_NOT_OURS;
  }
  // As much as a fresh overlay's head (a journal's head is within it).
  uint8_t head[kFirstFree * VRO_SECTOR] = {};
  DWORD got = 0;
  BY_HANDLE_FILE_INFORMATION info = {};
  bool read = GetFileInformationByHandle(h, &info) &&
              !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
              ReadFile(h, head, sizeof head, &got, nullptr);
  const uint64_t size = (uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  bool ours = read && (journalOf ? IsOurJournal(head, got, *journalOf)
                                 : IsOurOverlay(head, got, size));
  FILE_DISPOSITION_INFO gone = {TRUE};
  bool removed = ours && SetFileInformationByHandle(h, FileDispositionInfo, &gone, sizeof gone);
  CloseHandle(h);
  if (ours && !removed) removed = DeleteFileW(left.c_str()) != 0;
  if (removed) {
    VroOverlayNotice(left.c_str(), VRO_NOTICE_LEFTOVER_REMOVED);
    return VRO_LEFT_REMOVED;
  }
  TellOnce(left, notOurs);
  return VRO_LEFT_NOT_OURS;
}

bool VroSettleLeftFilesOf(const std::wstring& path) {
  VroSettleLeftFile(path + L".new", nullptr);
  // A journal is made only by a writer of its file, which this open keeps
  // out; one of this process may be making it now.
  bool writable = true;
  if (!VroHeldWritableHere(path.c_str())) {
    std::wstring journal = vrojournal::JournalPathOf(path);
    writable = VroSettleLeftFile(journal + L".new", &path) != VRO_LEFT_NOT_OURS;
  }
  size_t cut = path.find_last_of(L"\\/");
  std::wstring folder = cut == std::wstring::npos ? std::wstring() : path.substr(0, cut + 1);
  std::wstring name = path.substr(folder.size());
  // "<path>_NN.Upd.new": the next update file of the image.
  for (const std::wstring& n : NamesEndingIn(folder, (name + L"_*.Upd.new").c_str(), L".Upd.new")) {
    size_t length = n.size();
    if (length <= name.size() + 9 || _wcsnicmp(n.c_str(), name.c_str(), name.size()) != 0 ||
        n[name.size()] != L'_')
      continue;
    bool digits = true;
    for (size_t i = name.size() + 1; i < length - 8; i++) digits = digits && iswdigit(n[i]);
    if (digits) VroSettleLeftFile(folder + n, nullptr);
  }
  // "*.Fix.new": a write-back file a workstation's command was making
  // beside the image (its own name is the workstation's, not the image's).
  for (const std::wstring& n : NamesEndingIn(folder, L"*.Fix.new", L".Fix.new"))
    VroSettleLeftFile(folder + n, nullptr);
  return writable;
}
