#include "image/stack/LeftFiles.h"

#include <windows.h>

#include <cstring>
#include <cwctype>

#include "common/ByteOrder.h"
#include "image/formats/sparse/ObjImg.h"
#include "image/stack/OverlayNotice.h"
#include "image/stack/RwClass.h"
#include "image/stack/journal/JournalFile.h"

using namespace vroimg;

namespace {

// An overlay this program was making: empty (cut off before its header),
// or an own-format header of an overlay whose checksum holds.
bool IsOurOverlay(const uint8_t* head, DWORD got) {
  if (got == 0) return true;
  return got >= VRO_SECTOR && Ld32(head + kOffMagic) == kMagicValue &&
         memcmp(head + kOffSignature, kSignature, 8) == 0 &&
         _VROH_OBJ_IMG::HeaderChecksum(head) == Ld32(head + kOffChecksum) &&
         Ld32(head + kOffKind) == kKindOverlay;
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

int VroSettleLeftFile(const std::wstring& left, const std::wstring* journalOf) {
  HANDLE h = OpenAlone(left);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return VRO_LEFT_NONE;
    if (error == ERROR_SHARING_VIOLATION) return VRO_LEFT_IN_MAKING;
    VroOverlayNotice(left.c_str(), VRO_NOTICE_LEFTOVER_NOT_OURS);
    return VRO_LEFT_NOT_OURS;
  }
  uint8_t head[2 * vrojournal::kSlotBytes] = {};
  DWORD got = 0;
  BY_HANDLE_FILE_INFORMATION info = {};
  bool read = GetFileInformationByHandle(h, &info) &&
              !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
              ReadFile(h, head, sizeof head, &got, nullptr);
  bool ours = read && (journalOf ? IsOurJournal(head, got, *journalOf) : IsOurOverlay(head, got));
  FILE_DISPOSITION_INFO gone = {TRUE};
  bool removed = ours && SetFileInformationByHandle(h, FileDispositionInfo, &gone, sizeof gone);
  CloseHandle(h);
  if (ours && !removed) removed = DeleteFileW(left.c_str()) != 0;
  VroOverlayNotice(left.c_str(), removed ? VRO_NOTICE_LEFTOVER_REMOVED : VRO_NOTICE_LEFTOVER_NOT_OURS);
  return removed ? VRO_LEFT_REMOVED : VRO_LEFT_NOT_OURS;
}

void VroSettleLeftFilesOf(const std::wstring& path) {
  VroSettleLeftFile(path + L".new", nullptr);
  // A journal is made only by a writer of its file, which this open keeps
  // out; one of this process may be making it now.
  if (!VroHeldWritableHere(path.c_str())) {
    std::wstring journal = vrojournal::JournalPathOf(path);
    VroSettleLeftFile(journal + L".new", &path);
  }
  // "<path>_NN.Upd.new": the next update file of the image.
  size_t cut = path.find_last_of(L"\\/");
  std::wstring folder = cut == std::wstring::npos ? std::wstring() : path.substr(0, cut + 1);
  std::wstring name = path.substr(folder.size());
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((path + L"_*.Upd.new").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const wchar_t* n = found.cFileName;
    size_t length = wcslen(n);
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || length <= name.size() + 9 ||
        _wcsnicmp(n, name.c_str(), name.size()) != 0 || n[name.size()] != L'_' ||
        _wcsicmp(n + length - 8, L".Upd.new") != 0)
      continue;
    bool digits = true;
    for (size_t i = name.size() + 1; i < length - 8; i++) digits = digits && iswdigit(n[i]);
    if (digits) VroSettleLeftFile(folder + n, nullptr);
  } while (FindNextFileW(find, &found));
  FindClose(find);
}
