#include "app/mainwnd/FileWorkers.h"

#include <commctrl.h>

#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>

#include "app/mainwnd/FileListRows.h"
#include "app/mainwnd/FileManagerDlg.h"
#include "app/mainwnd/FilePanes.h"
#include "app/mainwnd/FileTypes.h"
#include "app/mainwnd/OperationFailures.h"
#include "common/ConsoleOutput.h"
#include "common/FileTree.h"
#include "common/Format.h"
#include "common/NoRedirect.h"
#include "common/PathUtil.h"
#include "disktools/partition/PartitionResize.h"
#include "image/mount/MountedImage.h"
#include "image/stack/ImageMerge.h"
#include "image/stack/OverlayNotice.h"
#include "resources/ResourceIds.h"
#include "ui/AskYesAllNo.h"
#include "ui/OwnerMessageBox.h"
#include "ui/UiResources.h"
#include "ui/WindowThread.h"
#include "ui/controls/ListView.h"

namespace {

const COLORREF kProgressColour = RGB(0, 0, 255);
const COLORREF kFailureColour = RGB(255, 0, 0);
const uint64_t kMiB = 1 << 20;
const uint64_t kGrowthReserve = 0x40000000;  // 1 GiB beyond the shortfall
const wchar_t kUefiItem[] = L"::{UEFI}";

enum CopyOutcome { kCopied, kSkipped, kFailed, kStopped };

// What one operation keeps from item to item; failures: the text of
// the items it could not do (IDS_*_FAILED).
struct OperationState {
  explicit OperationState(UINT failed) : failures(failed) {}
  int answer = 0;
  bool asked = false;
  bool resizeFailed = false;
  std::vector<std::wstring> added;
  OperationFailures failures;
  // The file the operation had written into when it was taken back before
  // its end (a failed grow ends its command); empty while it goes on.
  std::wstring takenBack;
};

std::wstring ItemText(HWND list, int item) {
  wchar_t name[kPathChars] = L"";
  ListGetItemText(list, item, 0, name, kPathChars);
  return name;
}

bool IsPseudoItem(const wchar_t* name) {
  return !name[0] || !lstrcmpW(name, L"..") || !lstrcmpW(name, kUefiItem);
}

HWND ProgressBar(CFileManagerDlg* window) {
  return GetDlgItem(window->Item(IDC_STATUS_BAR), IDC_PROGRESS);
}

// The image folder of the pane's address ("\" at the root).
void ImageFolder(HWND imageList, wchar_t (&folder)[kAddressChars]) {
  wchar_t address[kAddressChars];
  GetWindowTextW(imageList, address, kAddressChars);
  SplitImageAddress(address, nullptr, 0, folder, kAddressChars);
  if (!folder[0]) lstrcpyW(folder, L"\\");
}

void JoinPath(const wchar_t* folder, const wchar_t* name, wchar_t (&out)[kAddressChars]) {
  lstrcpynW(out, folder, kAddressChars);
  AppendPathPart(out, kAddressChars, name);
}

// Question 183: replace the existing target with the new one?
int AskReplace(CFileManagerDlg* window, const wchar_t* target, uint64_t oldSize,
               const FILETIME& oldTime, uint64_t newSize, const FILETIME& newTime) {
  wchar_t format[512], caption[128], oldCount[40], newCount[40], oldText[40], newText[40];
  LoadUiString(IDS_ASK_REPLACE, format, 512);
  LoadUiString(IDS_PROMPT, caption, 128);
  FormatThousands(oldCount, 40, oldSize);
  FormatThousands(newCount, 40, newSize);
  FormatFileTime(oldText, 40, oldTime);
  FormatFileTime(newText, 40, newTime);
  wchar_t text[1400];
  _snwprintf(text, 1400, format, target, oldCount, oldText, newCount, newText);
  text[1399] = 0;
  return AskYesAllNo(window->m_hWnd, text, caption);
}

// The row of `name`: updated when the list has one, else appended.
void PutListItem(HWND list, const wchar_t* name, int image, uint64_t size,
                 const FILETIME* lastWrite, DWORD attributes) {
  OnListThread(list, [&] {
    const int index = ListFindItemText(list, name);
    if (index < 0) {
      AddFileListItem(list, name, image, size, lastWrite, attributes);
      return;
    }
    ChangeFileListRow(list, index, [&](FileListRow& row) {
      row.size = size;
      if (lastWrite) {
        row.lastWrite = *lastWrite;
        row.hasTime = true;
      }
      row.attributes = attributes;
    });
  });
}

// Question 117 and the grow of the partition by the shortfall and 1 GiB;
// true when the image was reopened on its larger partition. A grow that
// fails takes back the operation's command with it, everything it copied
// before included: told at its end, naming the item that found no room.
bool GrowPartitionFor(CFileManagerDlg* window, const wchar_t* target, uint64_t shortfall,
                      OperationState& state) {
  wchar_t text[512];
  LoadUiString(IDS_ASK_GROW_PARTITION, text, 512);
  state.asked = true;
  if (OwnerMessageBox(window->m_hWnd, text, MB_YESNO | MB_ICONQUESTION | MB_SETFOREGROUND) !=
      IDYES) {
    return false;
  }
  uint64_t total = 0, freeBytes = 0;
  window->m_image->GetVolumeSpace(&total, &freeBytes);
  const uint64_t megabytes = (total + shortfall + kGrowthReserve) >> 20;
  window->SetStatusString(kProgressColour, IDS_RESIZING,
                          unsigned(window->m_image->PartitionIndex()), megabytes);
  const std::wstring written = WrittenFile(window->m_image);
  std::wstring why;
  const bool grown = GrowImagePartition(window, megabytes, &why);
  const DWORD error = grown ? 0 : GetLastError();
  if (!EndImageResize(window, grown, FALSE)) {
    window->SetStatusString(kFailureColour, IDS_RESIZE_FAILED);
    state.resizeFailed = true;
    state.takenBack = written;
    // A grow refused for a cause it names is told with it; one that failed
    // on its way (a host disk without room) by the system's error.
    if (!why.empty()) {
      state.failures.GrowRefused(target, why);
    } else {
      state.failures.Add(target, error);
    }
    return false;
  }
  window->SetStatusString(kProgressColour, IDS_RESIZE_DONE);
  return true;
}

// One host file or folder into the image folder of the pane, asked about
// when its target exists; a lack of space may grow the partition, after
// which the same item is tried again.
CopyOutcome CopyIntoImage(CFileManagerDlg* window, const wchar_t* source, const wchar_t* name,
                          int image, OperationState& state) {
  HWND list = window->Item(IDC_IMAGE_LIST);
  bool retry = false;
  for (;;) {
    wchar_t address[kAddressChars], folder[kAddressChars], target[kAddressChars];
    GetWindowTextW(list, address, kAddressChars);
    if (!address[0] || !window->m_image) return kStopped;
    ImageFolder(list, folder);
    JoinPath(folder, name, target);
    window->SetStatusString(kProgressColour, IDS_ADDING_FILE, source);
    int answer = IDYES;
    if (!retry && state.answer != kAnswerAll && window->m_image->GetPathType(target) != 0) {
      FILETIME oldTime = {}, newTime = {};
      uint64_t oldSize = 0, newSize = 0;
      window->m_image->GetFileInfo(target, nullptr, &oldTime, nullptr, nullptr, &oldSize);
      GetPathInfoNoRedirect(source, nullptr, &newTime, &newSize);
      answer = state.answer = AskReplace(window, target, oldSize, oldTime, newSize, newTime);
      state.asked = true;
    }
    if (answer == IDNO) return kSkipped;
    uint64_t shortfall = 0;
    CopyWatch watch = {ProgressBar(window), 0, 0};
    const int copied =
        window->m_image->InjectHostPath(source, target, &shortfall, ListCopyProgress, &watch);
    const DWORD error = GetLastError();
    if (copied) {
      FILETIME lastWrite = {};
      DWORD attributes = 0;
      uint64_t size = 0;
      window->m_image->GetFileInfo(target, nullptr, &lastWrite, nullptr, &attributes, &size);
      PutListItem(list, name, image, size, &lastWrite, attributes);
      if (std::find(state.added.begin(), state.added.end(), name) == state.added.end())
        state.added.push_back(name);
    }
    // A folder copies what fits and counts it: what found no room in it is
    // asked about as a file that did not fit is; what the volume refused
    // is told at the end.
    if (copied && !shortfall) {
      state.failures.Add(target, watch.error, watch.failed);
      return kCopied;
    }
    ShowWindow(ProgressBar(window), SW_HIDE);
    if (!shortfall) {
      state.failures.Add(target, watch.failed ? watch.error : error,
                         watch.failed ? watch.failed : 1);
      return kFailed;
    }
    if (!GrowPartitionFor(window, target, shortfall, state)) return kStopped;
    retry = true;
  }
}

// Question 183 when the host target exists (unless All was answered):
// the answer, IDYES without a question.
int AskAboutHostTarget(CFileManagerDlg* window, const wchar_t* target, uint64_t newSize,
                       const FILETIME& newTime, OperationState& state) {
  if (state.answer == kAnswerAll || !GetPathInfoNoRedirect(target, nullptr, nullptr, nullptr))
    return IDYES;
  FILETIME oldTime = {};
  uint64_t oldSize = 0;
  GetPathInfoNoRedirect(target, nullptr, &oldTime, &oldSize);
  state.asked = true;
  return state.answer = AskReplace(window, target, oldSize, oldTime, newSize, newTime);
}

// The host pane's row of a copied item, from the host's own figures.
void ShowHostItem(HWND list, const wchar_t* name, const wchar_t* target, bool folder,
                  OperationState& state) {
  FILETIME lastWrite = {};
  DWORD attributes = 0;
  uint64_t size = 0;
  GetPathInfoNoRedirect(target, &attributes, &lastWrite, &size);
  PutListItem(list, name, folder ? kItemFolder : ClassifyFileType(name), size, &lastWrite,
              attributes);
  state.added.push_back(name);
}

// One item of the open image (a volume path) to the host folder of the pane.
CopyOutcome ExtractToHostPane(CFileManagerDlg* window, const wchar_t* source, const wchar_t* name,
                              OperationState& state) {
  HWND list = window->Item(IDC_HOST_LIST);
  wchar_t folder[kAddressChars], target[kAddressChars];
  GetWindowTextW(list, folder, kAddressChars);
  if (!folder[0] || !window->m_image) return kStopped;
  JoinPath(folder, name, target);
  window->SetStatusString(kProgressColour, IDS_EXTRACTING_FILE, source);
  FILETIME newTime = {};
  DWORD newAttributes = 0;
  uint64_t newSize = 0;
  const int kind = window->m_image->GetPathType(source);
  window->m_image->GetFileInfo(source, nullptr, &newTime, nullptr, &newAttributes, &newSize);
  if (AskAboutHostTarget(window, target, newSize, newTime, state) == IDNO) return kSkipped;
  CopyWatch watch = {ProgressBar(window), 0, 0};
  if (!window->m_image->ExtractToHost(source, target, ListCopyProgress, &watch)) {
    const DWORD error = GetLastError();
    ShowWindow(ProgressBar(window), SW_HIDE);
    state.failures.Add(source, watch.failed ? watch.error : error, watch.failed ? watch.failed : 1);
    return kFailed;
  }
  ShowHostItem(list, name, target, kind == 2, state);
  return kCopied;
}

// A host file or folder to the host folder of the pane.
CopyOutcome CopyWithinHost(CFileManagerDlg* window, const wchar_t* source, OperationState& state) {
  HWND list = window->Item(IDC_HOST_LIST);
  wchar_t folder[kAddressChars], target[kAddressChars];
  GetWindowTextW(list, folder, kAddressChars);
  const wchar_t* name = FindFileNamePart(source);
  if (!folder[0] || !name[0]) return kStopped;
  JoinPath(folder, name, target);
  if (!lstrcmpiW(source, target)) return kSkipped;
  window->SetStatusString(kProgressColour, IDS_COPYING_FILE, source);
  DWORD newAttributes = 0;
  FILETIME newTime = {};
  uint64_t newSize = 0;
  const int kind = GetPathInfoNoRedirect(source, &newAttributes, &newTime, &newSize);
  if (AskAboutHostTarget(window, target, newSize, newTime, state) == IDNO) return kSkipped;
  if (!CopyTreeNoRedirect(source, target)) {
    state.failures.Add(source, GetLastError());
    return kFailed;
  }
  ShowHostItem(list, name, target, kind == 2, state);
  return kCopied;
}

// The pane shows the open image as it is now (its size, the folder's rows)
// by the image bar's selection change, posted or sent: the image stays open
// (a roll back may have opened it again through the session's update file,
// whose address the bar takes).
void ShowImageAsItIs(CFileManagerDlg* window, BOOL post) {
  RefreshImageAddress(window);
  wchar_t address[kAddressChars];
  GetWindowTextW(window->Item(IDC_IMAGE_LIST), address, kAddressChars);
  HWND combo = window->Item(IDC_IMAGE_ADDRESS);
  HWND edit = reinterpret_cast<HWND>(SendMessageW(combo, CBEM_GETEDITCONTROL, 0, 0));
  SendMessageW(edit, WM_SETTEXT, 0, LPARAM(address));
  const WPARAM command = MAKEWPARAM(IDC_IMAGE_ADDRESS, CBN_SELCHANGE);
  if (post) {
    PostMessageW(window->m_hWnd, WM_COMMAND, command, LPARAM(-1));
  } else {
    SendMessageW(window->m_hWnd, WM_COMMAND, command, LPARAM(-1));
  }
}

// Ends the operation as one command on the image, kept when `keep`, else
// taken back, and tells in one box what it could not do and, when what it
// wrote could not be kept whole, that it was taken back, naming the file
// (the pane then shows the image as it was before, by a selection change
// posted or sent). `takenBack`: the file of an operation already taken back
// before its end. True when kept.
bool EndImageOperation(CFileManagerDlg* window, bool keep, const OperationFailures& failures,
                       BOOL post, std::wstring takenBack = std::wstring()) {
  bool kept = keep && takenBack.empty();
  if (window->m_image) {
    const std::wstring file = WrittenFile(window->m_image);
    const bool ended = window->m_image->EndCommand(keep);
    if (keep && !ended) {
      ShowImageAsItIs(window, post);
      takenBack = file;
    }
    kept = kept && ended;
  }
  TellOperation(window->m_hWnd, failures, takenBack);
  return kept;
}

// The end of every copying operation: the new items selected, the status
// freed (a failed resize keeps its red text), the panes enabled, and the
// focus on the source pane when a question was asked, else on the target.
void FinishOperation(CFileManagerDlg* window, HWND target, HWND source, OperationState& state,
                     bool refreshImage) {
  // The operation is one command on the image: kept whole, or, when a
  // write failed, taken back whole (the pane shows the image as it was).
  if (!EndImageOperation(window, true, state.failures, FALSE, state.takenBack)) {
    refreshImage = false;
    state.asked = true;
  }
  if (state.failures.Count()) state.asked = true;
  // The added rows take their places in the order of the list.
  if (!state.added.empty()) OnListThread(target, [&] { SortFileList(target, -1); });
  for (const std::wstring& name : state.added) {
    const int index = ListFindItemText(target, name.c_str());
    if (index < 0) continue;
    SendMessageW(target, LVM_ENSUREVISIBLE, index, FALSE);
    LVITEMW item = {};
    item.stateMask = item.state = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageW(target, LVM_SETITEMSTATE, index, LPARAM(&item));
  }
  if (refreshImage && !state.added.empty()) RefreshImageAddress(window);
  if (!state.resizeFailed) window->ClearStatus();
  window->EnablePanes(TRUE);
  // Posted: a worker thread cannot move the window thread's focus itself.
  PostMessageW(window->m_hWnd, WM_NEXTDLGCTL, WPARAM(state.asked ? source : target), TRUE);
  UpdateToolbarState(window, state.asked ? source : target);
  window->EndOperation();
}

bool HasImageExtension(const wchar_t* path) {
  const wchar_t* extension = FindExtensionPart(path);
  return extension && (!lstrcmpiW(extension, L"img") || !lstrcmpiW(extension, L"upd") ||
                       !lstrcmpiW(extension, L"vfd"));
}

}  // namespace

bool RefusesImageWrites(CFileManagerDlg* window) {
  CMountedImage* image = window->m_image;
  const int refusal = image ? image->WriteRefusal() : 0;
  if (!refusal) return false;
  TellNotices(window, {{image->ImagePath(), refusal}}, nullptr);
  return true;
}

bool GrowImagePartition(CFileManagerDlg* window, uint64_t megabytes, std::wstring* why) {
  FrontEndLines lines;
  const bool grown = ResizeImagePartition(window->m_image, megabytes) != 0;
  *why = grown ? std::wstring() : lines.Text();
  return grown;
}

bool EndImageResize(CFileManagerDlg* window, bool grown, BOOL post) {
  const bool kept = window->m_image->EndCommand(grown);
  ShowImageAsItIs(window, post);
  return grown && kept;
}

int CountPathList(const wchar_t* paths) {
  int count = 0;
  for (const wchar_t* p = paths; p && *p; p += lstrlenW(p) + 1) ++count;
  return count;
}

DWORD CALLBACK ListCopyProgress(DWORD event, DWORD totalLow, DWORD totalHigh, DWORD doneLow,
                                DWORD doneHigh, DWORD stepLow, DWORD stepHigh, DWORD error,
                                void* user) {
  CopyWatch* watch = static_cast<CopyWatch*>(user);
  if (event == VCC_FILE_FAILED) {
    if (!watch->failed++) watch->error = error;
    return 1;
  }
  if (event != VCC_PROGRESS) return 1;
  HWND bar = watch->bar;
  const uint64_t total = (uint64_t(totalHigh) << 32) | totalLow;
  const uint64_t done = (uint64_t(doneHigh) << 32) | doneLow;
  const uint64_t step = (uint64_t(stepHigh) << 32) | stepLow;
  if (total > 0 && done == 0 && step == 0) {
    // Whole MiB rounded up: a total below 1 MiB still has a range of 1.
    SendMessageW(bar, PBM_SETRANGE32, 0, LPARAM((total + kMiB - 1) >> 20));
    SendMessageW(bar, PBM_SETPOS, 0, 0);
    ShowWindow(bar, SW_SHOW);
  } else if (done >= total && step == 0) {
    ShowWindow(bar, SW_HIDE);
  } else {
    SendMessageW(bar, PBM_SETPOS, WPARAM((done + step + kMiB - 1) >> 20), 0);
  }
  return 1;
}

DWORD CFileManagerDlg::AddFilesThread(LPARAM) {
  HWND host = Item(IDC_HOST_LIST), image = Item(IDC_IMAGE_LIST);
  OperationState state(IDS_COPY_IN_FAILED);
  wchar_t address[kAddressChars];
  GetWindowTextW(image, address, kAddressChars);
  if (address[0] && !RefusesImageWrites(this)) {
    wchar_t folder[kAddressChars];
    GetWindowTextW(host, folder, kAddressChars);
    for (int i = -1;
         (i = int(SendMessageW(host, LVM_GETNEXTITEM, WPARAM(i), LVNI_SELECTED))) >= 0;) {
      const std::wstring name = ItemText(host, i);
      if (name.empty() || name == L"..") continue;
      wchar_t source[kAddressChars];
      JoinPath(folder, name.c_str(), source);
      if (CopyIntoImage(this, source, name.c_str(), ListGetItemImage(host, i), state) == kStopped)
        break;
    }
  }
  FinishOperation(this, image, host, state, true);
  return 0;
}

DWORD CFileManagerDlg::ExtractThread(LPARAM) {
  HWND host = Item(IDC_HOST_LIST), image = Item(IDC_IMAGE_LIST);
  OperationState state(IDS_COPY_OUT_FAILED);
  wchar_t folder[kAddressChars];
  ImageFolder(image, folder);
  for (int i = -1;
       (i = int(SendMessageW(image, LVM_GETNEXTITEM, WPARAM(i), LVNI_SELECTED))) >= 0;) {
    const std::wstring name = ItemText(image, i);
    if (name.empty() || name == L"..") continue;
    wchar_t source[kAddressChars];
    JoinPath(folder, name.c_str(), source);
    if (ExtractToHostPane(this, source, name.c_str(), state) == kStopped) break;
  }
  FinishOperation(this, host, image, state, false);
  return 0;
}

DWORD DropIntoImagePane(HWND list, const wchar_t* paths, wchar_t* name, int nameSize,
                        CFileManagerDlg* window, BOOL perform, int* answer) {
  if (!paths || !paths[0] || !window) return kDropRefused;
  wchar_t address[kAddressChars];
  GetWindowTextW(list, address, kAddressChars);
  const bool open = address[0] && window->m_image;
  const DWORD effect = HasImageExtension(paths) ? kDropOpen : open ? kDropCopy : kDropRefused;
  if (name && nameSize > 0) {
    name[0] = 0;
    if (effect == kDropOpen) {
      lstrcpynW(name, FindFileNamePart(paths), nameSize);
    } else if (effect == kDropCopy) {
      wchar_t folder[kAddressChars];
      ImageFolder(list, folder);
      lstrcpynW(name, lstrcmpW(folder, L"\\") ? FindFileNamePart(folder) : address, nameSize);
    }
  }
  if (!perform || effect == kDropRefused) return effect;
  if (effect == kDropOpen) {
    // Another image: a write-back file chosen for the old one goes.
    delete[] window->m_writeBackPath;
    window->m_writeBackPath = nullptr;
    CFileManagerDlg::HideTip(window->m_writeBackTip);
    HWND combo = window->Item(IDC_IMAGE_ADDRESS);
    HWND edit = reinterpret_cast<HWND>(SendMessageW(combo, CBEM_GETEDITCONTROL, 0, 0));
    SendMessageW(edit, WM_SETTEXT, 0, LPARAM(L""));
    SendMessageW(edit, WM_SETTEXT, 0, LPARAM(paths));
    PostMessageW(window->m_hWnd, WM_COMMAND, MAKEWPARAM(IDC_IMAGE_ADDRESS, CBN_SELCHANGE),
                 LPARAM(-1));
    return effect;
  }
  if (!window->TakeDropTurn()) return kDropRefused;
  window->EnablePanes(FALSE);
  OperationState state(IDS_COPY_IN_FAILED);
  state.answer = answer ? *answer : 0;
  const bool refused = RefusesImageWrites(window);
  for (const wchar_t* path = paths; !refused && *path; path += lstrlenW(path) + 1) {
    const int kind = GetPathInfoNoRedirect(path, nullptr, nullptr, nullptr);
    if (!kind) continue;
    const wchar_t* itemName = FindFileNamePart(path);
    const int image = kind == 2 ? kItemFolder : ClassifyFileType(itemName);
    if (CopyIntoImage(window, path, itemName, image, state) == kStopped) break;
  }
  if (answer) *answer = state.answer;
  FinishOperation(window, list, window->Item(IDC_HOST_LIST), state, true);
  return effect;
}

DWORD DropIntoHostPane(HWND list, const wchar_t* paths, wchar_t* name, int nameSize,
                       CFileManagerDlg* window, BOOL perform, int* answer) {
  if (!paths || !paths[0] || !window) return kDropRefused;
  wchar_t folder[kAddressChars];
  GetWindowTextW(list, folder, kAddressChars);
  if (name && nameSize > 0) lstrcpynW(name, FindFileNamePart(folder), nameSize);
  if (!perform) return kDropCopy;
  if (!window->TakeDropTurn()) return kDropRefused;
  window->EnablePanes(FALSE);
  OperationState state(IDS_COPY_OUT_FAILED);
  state.answer = answer ? *answer : 0;
  for (const wchar_t* path = paths; *path; path += lstrlenW(path) + 1) {
    CopyOutcome outcome;
    if (path[0] == L'\\') {
      if (!window->m_image || !window->m_image->GetPathType(path)) continue;
      outcome = ExtractToHostPane(window, path, FindFileNamePart(path), state);
    } else {
      if (!GetPathInfoNoRedirect(path, nullptr, nullptr, nullptr)) continue;
      outcome = CopyWithinHost(window, path, state);
    }
    if (outcome == kStopped) break;
  }
  if (answer) *answer = state.answer;
  FinishOperation(window, list, window->Item(IDC_IMAGE_LIST), state, false);
  return kDropCopy;
}

int DeleteImageSelection(HWND list, CFileManagerDlg* window) {
  if (!window->m_image || RefusesImageWrites(window)) return 0;
  wchar_t folder[kAddressChars];
  ImageFolder(list, folder);
  OperationFailures failures(IDS_DELETE_FAILED);
  int deleted = 0;
  for (int i = -1; (i = int(SendMessageW(list, LVM_GETNEXTITEM, WPARAM(i), LVNI_SELECTED))) >= 0;) {
    const std::wstring name = ItemText(list, i);
    if (IsPseudoItem(name.c_str())) continue;
    wchar_t path[kAddressChars];
    JoinPath(folder, name.c_str(), path);
    if (!window->m_image->DeletePath(path)) {
      failures.Add(path, GetLastError());
      continue;
    }
    DeleteFileListRow(list, i);
    --i;
    ++deleted;
  }
  if (!EndImageOperation(window, true, failures, FALSE)) deleted = 1;
  if (deleted) RefreshImageAddress(window);
  return deleted;
}

int DeleteHostSelection(HWND list, CFileManagerDlg* window) {
  NoRedirectScope noRedirect;
  wchar_t folder[kAddressChars];
  GetWindowTextW(list, folder, kAddressChars);
  OperationFailures failures(IDS_DELETE_FAILED);
  int deleted = 0;
  for (int i = -1; (i = int(SendMessageW(list, LVM_GETNEXTITEM, WPARAM(i), LVNI_SELECTED))) >= 0;) {
    const std::wstring name = ItemText(list, i);
    if (name.empty() || name == L"..") continue;
    wchar_t path[kAddressChars];
    JoinPath(folder, name.c_str(), path);
    // A link is removed as a link: its attributes are its own, and neither
    // they nor what lies behind it are touched.
    const DWORD attributes = GetFileAttributesW(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
      SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
    const int removed = DeleteTree(path);
    const DWORD error = GetLastError();
    if (!removed || GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES) {
      failures.Add(path, error);
      continue;
    }
    DeleteFileListRow(list, i);
    --i;
    ++deleted;
  }
  TellOperation(window->m_hWnd, failures);
  return deleted;
}

namespace {

// The checks both label edits share: 0 ends the edit without a change.
bool AcceptableLabel(CFileManagerDlg* window, HWND list, int item, const wchar_t* text) {
  if (text && text[0] && lstrcmpW(text, L".") && !IsPseudoItem(text)) return true;
  if (window->m_newFolder) DeleteFileListRow(list, item);
  return false;
}

// The row of an accepted label: its new name, and for a new folder its
// time and attributes.
void NameRow(HWND list, int item, const wchar_t* name, const FILETIME* lastWrite,
             DWORD attributes) {
  ChangeFileListRow(list, item, [&](FileListRow& row) {
    row.name = name;
    if (lastWrite) {
      row.lastWrite = *lastWrite;
      row.hasTime = true;
      row.attributes = attributes;
    }
  });
}

}  // namespace

int EndImageLabelEdit(CFileManagerDlg* window, HWND list, int item, const wchar_t* text) {
  if (!AcceptableLabel(window, list, item, text) || !window->m_image) return 0;
  if (RefusesImageWrites(window)) {
    if (window->m_newFolder) DeleteFileListRow(list, item);
    window->m_newFolder = 0;
    return 0;
  }
  wchar_t folder[kAddressChars], path[kAddressChars];
  ImageFolder(list, folder);
  JoinPath(folder, text, path);
  if (window->m_newFolder) {
    window->m_newFolder = 0;
    OperationFailures failures(IDS_NEW_FOLDER_FAILED);
    const bool made = window->m_image->CreateDirectory(path) != 0;
    if (!made) failures.Add(path, GetLastError());
    if (!EndImageOperation(window, made, failures, TRUE)) {
      DeleteFileListRow(list, item);
      return 0;
    }
    FILETIME lastWrite = {};
    DWORD attributes = 0;
    window->m_image->GetFileInfo(path, nullptr, &lastWrite, nullptr, &attributes, nullptr);
    NameRow(list, item, text, &lastWrite, attributes);
  } else {
    const std::wstring old = ItemText(list, item);
    if (!lstrcmpiW(old.c_str(), text)) return 0;
    wchar_t oldPath[kAddressChars];
    JoinPath(folder, old.c_str(), oldPath);
    OperationFailures failures(IDS_RENAME_FAILED);
    failures.SetNewName(text);
    const bool renamed = window->m_image->RenamePath(oldPath, path) != 0;
    if (!renamed) failures.Add(oldPath, GetLastError());
    if (!EndImageOperation(window, renamed, failures, TRUE)) return 0;
    NameRow(list, item, text, nullptr, 0);
  }
  RefreshImageAddress(window);
  return 1;
}

int EndHostLabelEdit(CFileManagerDlg* window, HWND list, int item, const wchar_t* text) {
  if (!AcceptableLabel(window, list, item, text)) return 0;
  wchar_t folder[kAddressChars], path[kAddressChars];
  GetWindowTextW(list, folder, kAddressChars);
  JoinPath(folder, text, path);
  if (window->m_newFolder) {
    window->m_newFolder = 0;
    if (!CreateDirectoryNoRedirect(path)) {
      OperationFailures failures(IDS_NEW_FOLDER_FAILED);
      failures.Add(path, GetLastError());
      DeleteFileListRow(list, item);
      TellOperation(window->m_hWnd, failures);
      return 0;
    }
    FILETIME lastWrite = {};
    DWORD attributes = 0;
    GetPathInfoNoRedirect(path, &attributes, &lastWrite, nullptr);
    NameRow(list, item, text, &lastWrite, attributes);
    return 1;
  }
  const std::wstring old = ItemText(list, item);
  if (!lstrcmpiW(old.c_str(), text)) return 0;
  wchar_t oldPath[kAddressChars];
  JoinPath(folder, old.c_str(), oldPath);
  if (!MoveFileNoRedirect(oldPath, path)) {
    OperationFailures failures(IDS_RENAME_FAILED);
    failures.Add(oldPath, GetLastError());
    failures.SetNewName(text);
    TellOperation(window->m_hWnd, failures);
    return 0;
  }
  NameRow(list, item, text, nullptr, 0);
  return 1;
}

void MergeUpdateIntoImage(CFileManagerDlg* window, const wchar_t* image, const wchar_t* update) {
  wchar_t format[512], caption[128], text[1400];
  LoadUiString(IDS_ASK_MERGE, format, 512);
  LoadUiString(IDS_PROMPT, caption, 128);
  _snwprintf(text, 1400, format, image, update);
  text[1399] = 0;
  if (MessageBoxW(window->m_hWnd, text, caption, MB_YESNO | MB_ICONQUESTION | MB_SETFOREGROUND) !=
      IDYES) {
    return;
  }
  if (!window->BeginOperation()) return;
  SendMessageW(window->m_hWnd, WM_COMMAND, ID_CLOSE_IMAGE, 0);
  lstrcpynW(window->m_paths[2], image, kPathChars);
  lstrcpynW(window->m_paths[3], update, kPathChars);
  window->EnablePanes(FALSE);
  window->m_mergeProgress = 0;
  window->m_mergeNotices.clear();
  // The monitor waits for the worker's end before it tells its lines.
  window->m_mergeWorker = StartWindowThread(window, &CFileManagerDlg::MergeUpdateThread, 0);
  if (!window->m_mergeWorker) window->m_mergeProgress = -1;
  HANDLE monitor = StartWindowThread(window, &CFileManagerDlg::MergeProgressThread, 0);
  if (monitor) {
    CloseHandle(monitor);
  } else {
    // Nothing watches the merge: the window waits for it here.
    while (window->m_mergeProgress >= 0 && window->m_mergeProgress < 100) Sleep(100);
    window->MergeProgressThread(0);
  }
}

DWORD CFileManagerDlg::MergeUpdateThread(LPARAM) {
  // What the merge does to the image's other files (update files it
  // unlinks, a file merged already) and why it refuses one are told when
  // it ends. A file merged whole that could not be removed afterwards is
  // merged: its line tells that it is left.
  VroNoticeCollector notices;
  const int done = ConvertImageChain(m_paths[2], m_paths[3], &m_mergeProgress);
  m_mergeNotices = notices.Notices();
  m_mergeProgress = done == 1 || done == 0 ? 100 : -1;
  return 0;
}

DWORD CFileManagerDlg::MergeProgressThread(LPARAM) {
  int value;
  while ((value = m_mergeProgress) >= 0 && value < 100) {
    SetStatusString(kProgressColour, IDS_MERGING, unsigned(value));
    Sleep(100);
  }
  if (value >= 100) {
    ClearStatus();
  } else {
    SetStatusString(kFailureColour, IDS_MERGE_FAILED);
  }
  if (m_mergeWorker) {
    WaitForSingleObject(m_mergeWorker, INFINITE);
    CloseHandle(m_mergeWorker);
    m_mergeWorker = nullptr;
  }
  TellNotices(this, m_mergeNotices, nullptr);
  EnablePanes(TRUE);
  UpdateToolbarState(this, nullptr);
  EndOperation();
  return 0;
}
