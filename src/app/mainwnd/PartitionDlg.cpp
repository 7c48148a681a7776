#include "app/mainwnd/PartitionDlg.h"

#include <commctrl.h>

#include <cwchar>
#include <new>
#include <string>
#include <vector>

#include "app/ImageOperations.h"
#include "app/mainwnd/FileManagerDlg.h"
#include "app/mainwnd/FilePanes.h"
#include "app/mainwnd/FileWorkers.h"
#include "common/Dpi.h"
#include "disktools/partition/PartitionResize.h"
#include "image/fat/FatModule.h"
#include "image/mount/MountedImage.h"
#include "image/stack/ImageMerge.h"
#include "resources/ResourceIds.h"
#include "ui/UiResources.h"
#include "ui/shared/TipControl.h"

namespace {

const COLORREF kUsedColour = RGB(38, 160, 218);
const COLORREF kFrameColour = RGB(128, 128, 128);

void FillRect(HDC dc, const RECT& rc, COLORREF colour) {
  SetBkColor(dc, colour);
  ExtTextOutW(dc, 0, 0, ETO_OPAQUE, &rc, L"", 0, nullptr);
}

bool IsUefiFolder(const wchar_t* folder) {
  return !_wcsnicmp(folder, L"::{UEFI}", 8) || !_wcsnicmp(folder, L"\\::{UEFI}", 9);
}

}  // namespace

std::vector<FigureLine> SplitFigureLines(const wchar_t* text) {
  std::vector<FigureLine> lines;
  for (const wchar_t* p = text;;) {
    const wchar_t* end = wcschr(p, L'\n');
    std::wstring line(p, end ? size_t(end - p) : wcslen(p));
    if (!line.empty() && line.back() == L'\r') line.pop_back();
    FigureLine split;
    const size_t colon = line.find_first_of(L"\xFF1A:");
    if (colon == std::wstring::npos) {
      split.label = line;
    } else {
      split.label = line.substr(0, colon + 1);
      const size_t value = line.find_first_not_of(L"\x3000 ", colon + 1);
      if (value != std::wstring::npos) split.value = line.substr(value);
    }
    lines.push_back(split);
    if (!end) break;
    p = end + 1;
  }
  return lines;
}

void FormatPartitionFigures(const wchar_t* format, const VolumeInfoRecord& record, wchar_t* out,
                            int outSize, UINT* usedPercent) {
  wchar_t name[60];
  switch (record.fileSystem) {
    case FAT_TYPE_12:
      lstrcpyW(name, L"FAT12");
      break;
    case FAT_TYPE_16:
      lstrcpyW(name, L"FAT16");
      break;
    case FAT_TYPE_32:
      lstrcpyW(name, L"FAT32");
      break;
    case FAT_TYPE_EXFAT:
      lstrcpyW(name, L"exFAT");
      break;
    default:
      _snwprintf(name, 60, L"NTFS %d.%d", record.majorVersion, record.minorVersion);
      name[59] = 0;
  }
  const uint64_t cluster = record.clusterSize;
  _snwprintf(out, outSize, format, name, record.gpt ? L"GPT" : L"MBR",
             (record.totalClusters * cluster) >> 10, (record.freeClusters * cluster) >> 10,
             (record.badClusters * cluster) >> 10, cluster, uint64_t(record.sectorSize),
             record.totalClusters, record.freeClusters);
  out[outSize - 1] = 0;
  // A volume without clusters shows 0 % rather than divide by zero.
  *usedPercent =
      record.totalClusters ? UINT(100 - record.freeClusters * 100 / record.totalClusters) : 0;
}

CPartitionDlg::CPartitionDlg(CWindow* parent, CMountedImage* image) {
  m_language = parent ? parent->m_language : m_language;
  m_version = GetVersion();
  Create(parent, IDD_PARTITION_INFO, TRUE, LPARAM(image));
}

LRESULT CPartitionDlg::OnInitDialog() {
  CMountedImage* image = reinterpret_cast<CMountedImage*>(m_param);
  wchar_t address[kAddressChars] = L"", folder[kAddressChars] = L"";
  if (m_parent) {
    HWND edit = reinterpret_cast<HWND>(
        SendMessageW(GetDlgItem(m_parent->m_hWnd, IDC_IMAGE_ADDRESS), CBEM_GETEDITCONTROL, 0, 0));
    GetWindowTextW(edit, address, kAddressChars);
  }
  SplitImageAddress(address, nullptr, 0, folder, kAddressChars);
  VolumeInfoRecord record = {};
  if (image) image->GetVolumeInfo(IsUefiFolder(folder) ? 1 : 0, &record);
  wchar_t format[256], text[kAddressChars];
  GetDlgItemTextW(m_hWnd, IDC_PARTITION_FIGURES, format, 256);
  FormatPartitionFigures(format, record, text, kAddressChars, &m_usedPercent);
  SetDlgItemTextW(m_hWnd, IDC_PARTITION_FIGURES, text);
  // The static draws its lines in two columns (OnDrawItem).
  HWND figures = GetDlgItem(m_hWnd, IDC_PARTITION_FIGURES);
  const LONG_PTR style = GetWindowLongPtrW(figures, GWL_STYLE);
  SetWindowLongPtrW(figures, GWL_STYLE, (style & ~LONG_PTR(SS_TYPEMASK)) | SS_OWNERDRAW);
  CenterWindowOnParent(this);
  return 1;
}

LRESULT CPartitionDlg::OnPaint() {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(m_hWnd, &paint);
  RECT figures;
  GetWindowRect(GetDlgItem(m_hWnd, IDC_PARTITION_FIGURES), &figures);
  MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(&figures), 2);
  const int margin = ScaleByDpi(8), height = ScaleByDpi(18);
  RECT bar = {figures.left, figures.bottom + margin, figures.right,
              figures.bottom + margin + height};
  const int width = bar.right - bar.left, tall = bar.bottom - bar.top;
  if (width > 2 && tall > 2) {
    HDC memory = CreateCompatibleDC(dc);
    HBITMAP bitmap = CreateCompatibleBitmap(dc, width, tall);
    HGDIOBJ oldBitmap = SelectObject(memory, bitmap);
    RECT all = {0, 0, width, tall};
    FillRect(memory, all, kFrameColour);
    RECT inner = {1, 1, width - 1, tall - 1};
    const int used =
        (inner.right - inner.left) * int(m_usedPercent > 100 ? 100 : m_usedPercent) / 100;
    RECT usedPart = {inner.left, inner.top, inner.left + used, inner.bottom};
    RECT freePart = {inner.left + used, inner.top, inner.right, inner.bottom};
    FillRect(memory, usedPart, kUsedColour);
    FillRect(memory, freePart, RGB(255, 255, 255));
    wchar_t label[16];
    _snwprintf(label, 16, L"%%%u", m_usedPercent);
    label[15] = 0;
    HGDIOBJ oldFont = SelectObject(memory, HGDIOBJ(SendMessageW(m_hWnd, WM_GETFONT, 0, 0)));
    SetBkMode(memory, TRANSPARENT);
    SetTextColor(memory, RGB(0, 0, 0));
    DrawTextW(memory, label, -1, &all, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    SelectObject(memory, oldFont);
    BitBlt(dc, bar.left, bar.top, width, tall, memory, 0, 0, SRCCOPY);
    SelectObject(memory, oldBitmap);
    DeleteObject(bitmap);
    DeleteDC(memory);
  }
  EndPaint(m_hWnd, &paint);
  return 1;
}

LRESULT CPartitionDlg::OnDrawItem(UINT controlId, DRAWITEMSTRUCT* item) {
  if (controlId != IDC_PARTITION_FIGURES || !item) return 0;
  wchar_t text[kAddressChars] = L"";
  GetWindowTextW(item->hwndItem, text, kAddressChars);
  HDC dc = item->hDC;
  ::FillRect(dc, &item->rcItem, GetSysColorBrush(COLOR_BTNFACE));
  HGDIOBJ oldFont = SelectObject(dc, HGDIOBJ(SendMessageW(item->hwndItem, WM_GETFONT, 0, 0)));
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
  const std::vector<FigureLine> lines = SplitFigureLines(text);
  SIZE extent = {};
  int labelWidth = 0;
  for (const FigureLine& line : lines) {
    GetTextExtentPoint32W(dc, line.label.c_str(), int(line.label.size()), &extent);
    if (extent.cx > labelWidth) labelWidth = extent.cx;
  }
  TEXTMETRICW metrics = {};
  GetTextMetricsW(dc, &metrics);
  GetTextExtentPoint32W(dc, L"\x3000", 1, &extent);
  const int valueLeft = item->rcItem.left + labelWidth + extent.cx;
  int top = item->rcItem.top;
  for (const FigureLine& line : lines) {
    TextOutW(dc, item->rcItem.left, top, line.label.c_str(), int(line.label.size()));
    TextOutW(dc, valueLeft, top, line.value.c_str(), int(line.value.size()));
    top += metrics.tmHeight;
  }
  SelectObject(dc, oldFont);
  return 1;
}

LRESULT CPartitionDlg::OnClose(WPARAM wParam) {
  return EndDialogOnClose(wParam);
}

LRESULT CPartitionDlg::OnCommand(WPARAM wParam, LPARAM) {
  if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) EndDialog(m_hWnd, LOWORD(wParam));
  return 0;
}

namespace {

uint64_t ClampedMegabytes(int64_t typedMegabytes) {
  const uint64_t number = uint64_t(typedMegabytes);
  const uint64_t megabytes = number & 0xFFFFFFFFu;
  return (number >> 32) != 0 || megabytes > kStatusSizeLimit ? kStatusSizeLimit : megabytes;
}

}  // namespace

uint64_t StatusEditTargetBytes(int64_t typedMegabytes) {
  return RoundedPartitionBytes(ClampedMegabytes(typedMegabytes));
}

CStatusEdit::CStatusEdit(HWND edit, CFileManagerDlg* window) : CWindow(edit, window) {
  m_version = GetVersion();
  m_window = window;
}

void CStatusEdit::OnKillFocus(HWND) {
  if (m_window->m_editingSize) Apply();
}

LRESULT CStatusEdit::OnGetDlgCode(UINT key) {
  if (key == VK_ESCAPE) {
    if (m_window->m_editingSize) {
      m_window->m_editingSize = FALSE;
      m_window->m_sizeEditor = nullptr;
      PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
    }
    return DLGC_WANTCHARS;
  }
  if (key == VK_RETURN && m_window->m_editingSize) Apply();
  return 0;
}

void CStatusEdit::Apply() {
  CFileManagerDlg* window = m_window;
  window->m_editingSize = FALSE;
  window->m_sizeEditor = nullptr;
  PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
  wchar_t text[32] = L"";
  GetWindowTextW(m_hWnd, text, 32);
  if (!text[0] || !window->m_image) return;
  const int64_t typed = _wtoi64(text);
  if (uint32_t(typed) == uint32_t(GetWindowLongPtrW(m_hWnd, GWLP_USERDATA))) return;
  uint64_t current = 0, freeBytes = 0;
  window->m_image->GetVolumeSpace(&current, &freeBytes);
  const uint64_t target = StatusEditTargetBytes(typed);
  if (!SizeRuleTakes(ClampedMegabytes(typed), current)) {
    window->SetStatusString(RGB(255, 0, 0), IDS_SIZE_NOT_LARGER);
    return;
  }
  if (!window->BeginOperation()) return;
  window->SetStatusString(RGB(0, 0, 255), IDS_RESIZING, unsigned(window->m_image->PartitionIndex()),
                          target >> 20);
  UpdateWindow(window->Item(IDC_STATUS_BAR));
  std::wstring why;
  if (EndImageResize(window, GrowImagePartition(window, target >> 20, &why), TRUE)) {
    window->SetStatusString(RGB(0, 0, 255), IDS_RESIZE_DONE);
  } else {
    window->SetStatusString(RGB(255, 0, 0), IDS_RESIZE_FAILED);
    // A grow refused for a cause it names tells it in a box, once the
    // editor (whose message this runs in) has gone.
    if (!why.empty()) {
      window->m_growRefusal = why;
      PostMessageW(window->m_hWnd, kTellGrowRefusal, 0, 0);
    }
  }
  window->EndOperation();
}

void CFileManagerDlg::OpenSizeEditor(BOOL rightClick) {
  if (m_writeBackPath || !m_image || m_sizeEditor) return;
  wchar_t address[kAddressChars], imageText[kAddressChars], image[kAddressChars];
  GetWindowTextW(Item(IDC_IMAGE_LIST), address, kAddressChars);
  if (!address[0]) return;
  SplitImageAddress(address, imageText, kAddressChars, nullptr, 0);
  int partition = 0;
  ReadImageText(imageText, image, kAddressChars, &partition);
  std::vector<std::wstring> updates;
  int type = 0;
  uint64_t total = 0, freeBytes = 0;
  if (ListImageUpdateFiles(image, &updates, &type) < 0 ||
      !m_image->GetVolumeSpace(&total, &freeBytes)) {
    return;
  }
  HWND status = Item(IDC_STATUS_BAR);
  RECT part;
  SendMessageW(status, SB_GETRECT, 2, LPARAM(&part));
  HWND edit = CreateWindowExW(0, L"Edit", L"", WS_CHILD | WS_VISIBLE | ES_NUMBER | ES_AUTOHSCROLL,
                              part.left, part.top, part.right - part.left, part.bottom - part.top,
                              status, HMENU(kStatusSizeEdit), m_hInstance, nullptr);
  if (!edit) return;
  SendMessageW(edit, WM_SETFONT, SendMessageW(status, WM_GETFONT, 0, 0), FALSE);
  SendMessageW(edit, EM_LIMITTEXT, 7, 0);
  const uint64_t megabytes = total >> 20;
  wchar_t text[32];
  _snwprintf(text, 32, L"%I64u", megabytes);
  text[31] = 0;
  SetWindowTextW(edit, text);
  SetWindowLongPtrW(edit, GWLP_USERDATA, LONG_PTR(megabytes));
  if (!new (std::nothrow) CStatusEdit(edit, this)) {
    DestroyWindow(edit);
    return;
  }
  m_sizeEditor = edit;
  m_editingSize = TRUE;
  SendMessageW(edit, EM_SETSEL, 0, -1);
  SetFocus(edit);
  if (rightClick) {
    POINT cursor;
    GetCursorPos(&cursor);
    PostMessageW(edit, WM_CONTEXTMENU, WPARAM(edit), MAKELPARAM(cursor.x, cursor.y));
  }
}

void CFileManagerDlg::CommitSizeEditor() {
  HWND editor = m_sizeEditor;
  m_sizeEditor = nullptr;
  if (editor && IsWindow(editor)) SendMessageW(editor, WM_GETDLGCODE, VK_RETURN, 0);
}
