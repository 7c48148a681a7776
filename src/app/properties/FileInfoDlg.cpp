// The General page of the property sheet.
#include <windows.h>
#include <commctrl.h>

#include <cwchar>

#include "app/mainwnd/FileListRows.h"
#include "app/mainwnd/OperationFailures.h"
#include "app/properties/FilePropertyDlg.h"
#include "app/properties/PageTheme.h"
#include "common/Format.h"
#include "image/mount/MountedImage.h"
#include "resources/ResourceIds.h"
#include "ui/UiResources.h"
#include "ui/controls/ListView.h"
#include "ui/shared/ChildPage.h"

namespace {

const int kPickers[3] = {IDC_INFO_CREATED, IDC_INFO_MODIFIED, IDC_INFO_ACCESSED};

HMODULE ModuleOf(const CWindow* window) {
  return window->m_hInstance ? window->m_hInstance : GetUiModule();
}

bool SameSecond(const SYSTEMTIME& a, const SYSTEMTIME& b) {
  return a.wYear == b.wYear && a.wMonth == b.wMonth && a.wDay == b.wDay && a.wHour == b.wHour &&
         a.wMinute == b.wMinute && a.wSecond == b.wSecond;
}

// A picker's local time as a UTC FILETIME.
bool PickerTime(HWND picker, SYSTEMTIME* shown, FILETIME* utc) {
  if (SendMessageW(picker, DTM_GETSYSTEMTIME, 0, LPARAM(shown)) != GDT_VALID) return false;
  FILETIME local;
  return SystemTimeToFileTime(shown, &local) && LocalFileTimeToFileTime(&local, utc);
}

}  // namespace

CFileInfoDlg::CFileInfoDlg(const wchar_t* path) : m_path(path) {}

LRESULT CFileInfoDlg::OnInitDialog() {
  PlaceChildPage(m_hWnd, 25, 70);
  EnablePageTabTexture(m_hWnd);
  CMountedImage* image = Image();

  wchar_t text[kPathChars];
  CopyParentPath(m_path, text);
  SetDlgItemTextW(m_hWnd, IDC_INFO_LOCATION, text[0] ? text : L"\\");

  FILETIME times[3] = {};
  DWORD attributes = 0;
  uint64_t size = 0;
  if (!image || !image->GetFileInfo(m_path, &times[0], &times[1], &times[2], &attributes, &size)) {
    memset(times, 0, sizeof times);
    attributes = 0;
    size = 0;
  }
  wchar_t format[64], number[40];
  LoadUiString(ModuleOf(this), IDS_BYTES_SIZE, m_language, format, 64);
  FormatThousands(number, 40, size);
  _snwprintf(text, kPathChars, format, number);
  text[kPathChars - 1] = 0;
  SetDlgItemTextW(m_hWnd, IDC_INFO_SIZE, text);

  wchar_t target[kPathChars] = L"";
  if (image && image->GetReparseTag(m_path) && image->GetLinkTarget(m_path, target, kPathChars)) {
    // a symbolic link or mount point
  } else if (image && ResolveShortcutTarget(image, m_path, target)) {
    m_shortcut = TRUE;
  } else {
    lstrcpynW(target, m_path, kPathChars);
  }
  SetDlgItemTextW(m_hWnd, IDC_INFO_TARGET, target);

  for (int i = 0; i < 3; ++i) {
    HWND picker = GetDlgItem(m_hWnd, kPickers[i]);
    SendMessageW(picker, DTM_SETFORMATW, 0, LPARAM(L" yyyy-MM-dd HH:mm:ss"));
    FILETIME local;
    if (FileTimeToLocalFileTime(&times[i], &local) && FileTimeToSystemTime(&local, &m_shown[i])) {
      SendMessageW(picker, DTM_SETSYSTEMTIME, GDT_VALID, LPARAM(&m_shown[i]));
      // What the picker really holds (it may clamp to its own range).
      m_hasTime[i] = SendMessageW(picker, DTM_GETSYSTEMTIME, 0, LPARAM(&m_shown[i])) == GDT_VALID;
    }
  }
  CheckDlgButton(m_hWnd, IDC_INFO_READ_ONLY, attributes & FILE_ATTRIBUTE_READONLY ? 1 : 0);
  CheckDlgButton(m_hWnd, IDC_INFO_HIDDEN, attributes & FILE_ATTRIBUTE_HIDDEN ? 1 : 0);
  CheckDlgButton(m_hWnd, IDC_INFO_SYSTEM, attributes & FILE_ATTRIBUTE_SYSTEM ? 1 : 0);
  CheckDlgButton(m_hWnd, IDC_INFO_ARCHIVE, attributes & FILE_ATTRIBUTE_ARCHIVE ? 1 : 0);
  CheckDlgButton(m_hWnd, IDC_INFO_SYMLINK, attributes & FILE_ATTRIBUTE_REPARSE_POINT ? 1 : 0);
  CheckDlgButton(m_hWnd, IDC_INFO_SHORTCUT, m_shortcut ? 1 : 0);
  return 0;
}

bool CFileInfoDlg::Save() {
  CMountedImage* image = Image();
  if (!image) return false;
  // A change the volume refuses, or one the image could not take whole,
  // is told in a box.
  OperationFailures failures(IDS_PROPERTIES_FAILED);
  DWORD attributes = 0;
  if (!image->GetFileInfo(m_path, nullptr, nullptr, nullptr, &attributes, nullptr)) {
    failures.Add(m_path, GetLastError());
    TellOperation(m_hWnd, failures);
    return false;
  }
  const DWORD before = attributes;
  const struct {
    int control;
    DWORD bit;
  } boxes[] = {{IDC_INFO_READ_ONLY, FILE_ATTRIBUTE_READONLY},
               {IDC_INFO_HIDDEN, FILE_ATTRIBUTE_HIDDEN},
               {IDC_INFO_SYSTEM, FILE_ATTRIBUTE_SYSTEM}};
  for (const auto& box : boxes) {
    if (IsDlgButtonChecked(m_hWnd, box.control) == BST_CHECKED) {
      attributes |= box.bit;
    } else {
      attributes &= ~box.bit;
    }
  }
  // Only what the user changed is written: a picker holds whole seconds of
  // local time, so writing an untouched time back would cut its fraction.
  FILETIME times[3];
  const FILETIME* changed[3] = {};
  for (int i = 0; i < 3; ++i) {
    SYSTEMTIME shown;
    if (PickerTime(GetDlgItem(m_hWnd, kPickers[i]), &shown, &times[i]) &&
        !(m_hasTime[i] && SameSecond(shown, m_shown[i])))
      changed[i] = &times[i];
  }
  const bool attributesChanged = attributes != before;
  if (!attributesChanged && !changed[0] && !changed[1] && !changed[2]) return true;
  DWORD written = attributes;
  const std::wstring file = WrittenFile(image);
  const bool set = image->SetFileInfo(m_path, changed[0], changed[1], changed[2],
                                      attributesChanged ? &written : nullptr) != 0;
  if (!set) failures.Add(m_path, GetLastError());
  if (!image->EndCommand(set)) {
    TellOperation(m_hWnd, failures, set ? file : std::wstring());
    return false;
  }

  // The main window's image list shows the new time and attributes of the
  // selected item.
  HWND owner = GetWindow(GetParent(m_hWnd), GW_OWNER);
  HWND list = owner ? GetDlgItem(owner, IDC_IMAGE_LIST) : nullptr;
  if (!list) return true;
  const int item = int(SendMessageW(list, LVM_GETNEXTITEM, WPARAM(-1), LVNI_SELECTED));
  if (item < 0) return true;
  FILETIME lastWrite = {};
  const bool hasTime =
      image->GetFileInfo(m_path, nullptr, &lastWrite, nullptr, nullptr, nullptr) != 0;
  // The pane lists keep their rows in the program and show them on demand.
  ChangeFileListRow(list, item, [&](FileListRow& row) {
    row.attributes = attributes;
    if (hasTime) {
      row.lastWrite = lastWrite;
      row.hasTime = true;
    }
  });
  NMLISTVIEW change = {};
  change.hdr.hwndFrom = list;
  change.hdr.idFrom = IDC_IMAGE_LIST;
  change.hdr.code = LVN_ITEMCHANGED;
  change.iItem = item;
  change.uChanged = LVIF_STATE;
  SendMessageW(owner, WM_NOTIFY, IDC_IMAGE_LIST, LPARAM(&change));
  return true;
}

LRESULT CFileInfoDlg::OnCommand(WPARAM wParam, LPARAM) {
  switch (LOWORD(wParam)) {
    case IDCANCEL:
      PostMessageW(GetParent(m_hWnd), WM_CLOSE, IDCANCEL, 0);
      return 1;
    case IDOK:
      Save();
      return 1;
  }
  return 0;
}

LRESULT CFileInfoDlg::OnClose(WPARAM) {
  // The page ends with its sheet.
  return 1;
}
