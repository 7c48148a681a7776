#include "app/mainwnd/AddressLinks.h"

#include <cwchar>
#include <new>
#include <string>
#include <vector>

#include "app/mainwnd/FileManagerDlg.h"
#include "app/mainwnd/FilePanes.h"
#include "app/mainwnd/FileWorkers.h"
#include "common/PathUtil.h"
#include "image/stack/ImageMerge.h"
#include "resources/ResourceIds.h"
#include "ui/TextMeasure.h"
#include "ui/UiResources.h"
#include "ui/shared/LinkText.h"

namespace {

const int kImageRow = 0, kWriteBackRow = 1, kUpdateRow = 2;

HFONT ComboFont(HWND combo) {
  return reinterpret_cast<HFONT>(SendMessageW(combo, WM_GETFONT, 0, 0));
}

HWND DropDownList(HWND combo) {
  HWND inner = reinterpret_cast<HWND>(SendMessageW(combo, CBEM_GETCOMBOCONTROL, 0, 0));
  COMBOBOXINFO info = {sizeof info};
  return inner && GetComboBoxInfo(inner, &info) ? info.hwndList : nullptr;
}

void LinkText(UINT id, wchar_t (&text)[160]) {
  wchar_t caption[128];
  LoadUiString(id, caption, 128);
  _snwprintf(text, 160, L"<a>%s</a>", caption);
  text[159] = 0;
}

COMBOBOXEXITEMW ReadRow(HWND combo, int index, wchar_t* text, int size) {
  COMBOBOXEXITEMW item = {};
  item.mask = CBEIF_TEXT | CBEIF_IMAGE | CBEIF_INDENT | CBEIF_LPARAM;
  item.iItem = index;
  item.pszText = text;
  item.cchTextMax = size;
  text[0] = 0;
  SendMessageW(combo, CBEM_GETITEMW, 0, LPARAM(&item));
  return item;
}

int InsertRow(HWND combo, const wchar_t* text, int image, int indent, LPARAM record) {
  COMBOBOXEXITEMW item = {};
  item.mask = CBEIF_TEXT | CBEIF_IMAGE | CBEIF_SELECTEDIMAGE | CBEIF_INDENT | CBEIF_LPARAM;
  item.iItem = -1;
  item.pszText = const_cast<wchar_t*>(text);
  item.iImage = item.iSelectedImage = image;
  item.iIndent = indent;
  item.lParam = record;
  return int(SendMessageW(combo, CBEM_INSERTITEMW, 0, LPARAM(&item)));
}

}  // namespace

CSysLink::CSysLink(HWND link, CWindow* owner) : CWindow(link, owner) {
  m_version = GetVersion();
}

LRESULT CSysLink::OnPaint() {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(m_hWnd, &paint);
  PaintLinkText(m_hWnd, dc, POINT{0, 0});
  EndPaint(m_hWnd, &paint);
  return 1;
}

CComboListBox::CComboListBox(HWND list, CFileManagerDlg* window, HWND combo)
    : CWindow(list, window), m_window(window), m_combo(combo) {
  m_version = GetVersion();
}

void CComboListBox::LayOutLinks() {
  wchar_t merge[128], writeBack[128];
  LoadUiString(IDS_MERGE_IMAGE, merge, 128);
  LoadUiString(IDS_OPEN_WRITE_BACK, writeBack, 128);
  int w1 = 0, h1 = 0, w2 = 0, h2 = 0;
  MeasureTextRect(ComboFont(m_combo), merge, &w1, &h1);
  MeasureTextRect(ComboFont(m_combo), writeBack, &w2, &h2);
  RECT rc;
  GetWindowRect(m_hWnd, &rc);
  const int width = rc.right - rc.left;
  const int itemHeight = int(SendMessageW(m_combo, CB_GETITEMHEIGHT, 0, 0));
  SetWindowPos(GetDlgItem(m_hWnd, IDC_MERGE_LINK), nullptr, width - w2 - w1 - 80,
               (itemHeight - h1) / 2, w1, h1, SWP_NOZORDER);
  SetWindowPos(GetDlgItem(m_hWnd, IDC_WRITE_BACK_LINK), nullptr, width - w2 - 60,
               (itemHeight - h2) / 2, w2, h2, SWP_NOZORDER);
}

void CComboListBox::OnSize(UINT, int, int) {
  LayOutLinks();
}

LRESULT CComboListBox::OnLButtonDown(UINT, int, int) {
  POINT at;
  GetCursorPos(&at);
  ScreenToClient(m_hWnd, &at);
  const LRESULT hit = SendMessageW(m_hWnd, LB_ITEMFROMPOINT, 0, MAKELPARAM(at.x, at.y));
  const int index = LOWORD(hit);
  if (HIWORD(hit) || index != int(SendMessageW(m_hWnd, LB_GETTOPINDEX, 0, 0))) return 0;
  wchar_t text[kPathChars];
  const COMBOBOXEXITEMW row = ReadRow(m_combo, index, text, kPathChars);
  if (row.iImage < kImageRow || row.iImage > kUpdateRow) return 0;
  RECT link;
  GetWindowRect(GetDlgItem(m_hWnd, IDC_WRITE_BACK_LINK), &link);
  MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(&link), 2);
  if (at.x > link.left && at.x < link.right) {
    m_writeBackLink = 1;
    return 0;
  }
  GetWindowRect(GetDlgItem(m_hWnd, IDC_MERGE_LINK), &link);
  MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(&link), 2);
  if (row.iImage != kUpdateRow || at.x <= link.left || at.x >= link.right) return 0;
  wchar_t image[kPathChars] = L"";
  for (int i = index - 1; i >= 0; --i) {
    const COMBOBOXEXITEMW above = ReadRow(m_combo, i, image, kPathChars);
    if (above.iImage == kImageRow || i == 0) break;
  }
  SendMessageW(m_combo, CB_SHOWDROPDOWN, FALSE, 0);
  if (image[0] && text[0]) MergeUpdateIntoImage(m_window, image, text);
  return 1;
}

CComboListBoxEx::CComboListBoxEx(HWND combo, CWindow* owner, CSysLink* mergeLink,
                                 CSysLink* writeBackLink)
    : CWindow(combo, owner), m_mergeLink(mergeLink), m_writeBackLink(writeBackLink) {
  m_version = GetVersion();
}

LRESULT CComboListBoxEx::OnDrawItem(UINT, DRAWITEMSTRUCT* item) {
  const int id = GetDlgCtrlID(m_hWnd);
  if ((id != IDC_IMAGE_ADDRESS && id != IDC_IMAGE_FILES) || item->CtlType != ODT_COMBOBOX ||
      int(item->itemID) < 0 || (item->itemState & ODS_COMBOBOXEDIT)) {
    return 0;
  }
  const int width = item->rcItem.right - item->rcItem.left;
  const int height = item->rcItem.bottom - item->rcItem.top;
  if (width <= 0 || height <= 0) return 0;
  HDC dc = CreateCompatibleDC(item->hDC);
  HBITMAP bitmap = CreateCompatibleBitmap(item->hDC, width, height);
  HGDIOBJ oldBitmap = SelectObject(dc, bitmap);
  const bool selected = (item->itemState & ODS_SELECTED) != 0;
  SetBkColor(dc, GetSysColor(selected ? COLOR_HIGHLIGHT : COLOR_WINDOW));
  SetTextColor(dc, GetSysColor(selected ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT));
  RECT all = {0, 0, width, height};
  ExtTextOutW(dc, 0, 0, ETO_OPAQUE, &all, L"", 0, nullptr);

  wchar_t text[kPathChars];
  const COMBOBOXEXITEMW row = ReadRow(m_hWnd, int(item->itemID), text, kPathChars);
  const int indent = row.iIndent * (height * 2 / 3);
  HIMAGELIST images = reinterpret_cast<HIMAGELIST>(SendMessageW(m_hWnd, CBEM_GETIMAGELIST, 0, 0));
  int iconWidth = 16, iconHeight = 16;
  if (images) ImageList_GetIconSize(images, &iconWidth, &iconHeight);
  if (images) {
    ImageList_DrawEx(images, row.iImage, dc, height - iconWidth + indent, (height - iconHeight) / 2,
                     0, 0, CLR_NONE, CLR_NONE, ILD_TRANSPARENT);
  }
  int x = indent + 2 * height - iconWidth;
  HGDIOBJ oldFont = SelectObject(dc, HGDIOBJ(SendMessageW(m_hWnd, WM_GETFONT, 0, 0)));
  SetBkMode(dc, TRANSPARENT);
  const UINT flags = DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX;
  RECT textRect = {x, 0, width, height};
  DrawTextW(dc, text, -1, &textRect, flags);
  RECT measured = textRect;
  DrawTextW(dc, text, -1, &measured, flags | DT_CALCRECT);
  x += measured.right - measured.left;
  const ImageRowRecord* record = reinterpret_cast<const ImageRowRecord*>(row.lParam);
  if (record) {
    wchar_t note[kPathChars];
    if (!selected && record->name[0]) {
      LoadUiString(IDS_REMARK, note, kPathChars);
      lstrcatW(note, record->name);
      SetTextColor(dc, RGB(192, 192, 192));
    } else if (selected && row.iIndent == 0 && record->ownSparse) {
      LoadUiString(IDS_UPDATE_FILE_NOTE, note, kPathChars);
      SetTextColor(dc, RGB(255, 0, 0));
    } else {
      note[0] = 0;
    }
    RECT noteRect = {x, 0, width, height};
    if (note[0]) DrawTextW(dc, note, -1, &noteRect, flags);
  }
  SelectObject(dc, oldFont);
  if (selected) {
    CSysLink* links[] = {row.iImage == kUpdateRow ? m_mergeLink : nullptr, m_writeBackLink};
    for (CSysLink* link : links) {
      if (!link || row.iImage > kUpdateRow) continue;
      RECT rc;
      GetWindowRect(link->m_hWnd, &rc);
      MapWindowPoints(nullptr, GetParent(link->m_hWnd), reinterpret_cast<POINT*>(&rc), 2);
      PaintLinkText(link->m_hWnd, dc, POINT{rc.left - 1, (height - (rc.bottom - rc.top)) / 2});
    }
  }
  BitBlt(item->hDC, item->rcItem.left, item->rcItem.top, width, height, dc, 0, 0, SRCCOPY);
  SelectObject(dc, oldBitmap);
  DeleteObject(bitmap);
  DeleteDC(dc);
  return 1;
}

CComboListBox* CreateAddressLinks(CFileManagerDlg* window, HWND combo) {
  HWND list = DropDownList(combo);
  if (!list) return nullptr;
  HWND links[2] = {};
  const int ids[2] = {IDC_MERGE_LINK, IDC_WRITE_BACK_LINK};
  const UINT texts[2] = {IDS_MERGE_IMAGE, IDS_OPEN_WRITE_BACK};
  for (int i = 0; i < 2; ++i) {
    wchar_t text[160];
    LinkText(texts[i], text);
    links[i] = CreateWindowExW(WS_EX_TRANSPARENT | WS_EX_NOPARENTNOTIFY, WC_LINK, text,
                               WS_CHILD | LWS_TRANSPARENT, 0, 0, 0, 0, list, HMENU(INT_PTR(ids[i])),
                               window->m_hInstance, nullptr);
    if (links[i]) SendMessageW(links[i], WM_SETFONT, WPARAM(ComboFont(combo)), FALSE);
  }
  CComboListBox* binding = new (std::nothrow) CComboListBox(list, window, combo);
  CSysLink* merge = links[0] ? new (std::nothrow) CSysLink(links[0], window) : nullptr;
  CSysLink* writeBack = links[1] ? new (std::nothrow) CSysLink(links[1], window) : nullptr;
  new (std::nothrow) CComboListBoxEx(combo, window, merge, writeBack);
  if (binding) binding->LayOutLinks();
  return binding;
}

void RefreshAddressLinks(CComboListBox* list) {
  if (!list) return;
  const int ids[2] = {IDC_MERGE_LINK, IDC_WRITE_BACK_LINK};
  const UINT texts[2] = {IDS_MERGE_IMAGE, IDS_OPEN_WRITE_BACK};
  for (int i = 0; i < 2; ++i) {
    wchar_t text[160];
    LinkText(texts[i], text);
    HWND link = GetDlgItem(list->m_hWnd, ids[i]);
    SetWindowTextW(link, text);
    SendMessageW(link, WM_SETFONT, WPARAM(ComboFont(list->m_combo)), FALSE);
  }
  list->LayOutLinks();
}

void ClearImageAddressList(HWND combo) {
  const int count = int(SendMessageW(combo, CB_GETCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) {
    wchar_t text[8];
    delete reinterpret_cast<ImageRowRecord*>(ReadRow(combo, i, text, 8).lParam);
  }
  SendMessageW(combo, CB_RESETCONTENT, 0, 0);
}

int FillImageAddressList(CFileManagerDlg* window, HWND combo) {
  ClearImageAddressList(combo);
  wchar_t address[kAddressChars], text[kAddressChars], open[kAddressChars];
  GetWindowTextW(window->Item(IDC_IMAGE_LIST), address, kAddressChars);
  SplitImageAddress(address, text, kAddressChars, nullptr, 0);
  int partition = 0;
  ReadImageText(text, open, kAddressChars, &partition);
  wchar_t drives[100] = L"";
  GetLogicalDriveStringsW(100, drives);
  int selected = -1;
  for (const wchar_t* drive = drives; *drive; drive += lstrlenW(drive) + 1) {
    if (GetDriveTypeW(drive) != DRIVE_FIXED) continue;
    wchar_t pattern[kPathChars];
    _snwprintf(pattern, kPathChars, L"%s*.*", drive);
    pattern[kPathChars - 1] = 0;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(pattern, &found);
    if (find == INVALID_HANDLE_VALUE) continue;
    do {
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
      const wchar_t* extension = FindExtensionPart(found.cFileName);
      if (!extension || (lstrcmpiW(extension, L"img") && lstrcmpiW(extension, L"vfd"))) continue;
      wchar_t path[kPathChars];
      lstrcpynW(path, drive, kPathChars);
      AppendPathPart(path, kPathChars, found.cFileName);
      std::vector<std::wstring> updates;
      int type = 0;
      if (ListImageUpdateFiles(path, &updates, &type) < 0) continue;
      ImageRowRecord* record = new (std::nothrow) ImageRowRecord();
      if (record) {
        record->ownSparse = type == 6;
        GetImageHeaderName(path, record->name, 128);
      }
      const bool isOpen = open[0] && !lstrcmpiW(open, path);
      const int index =
          InsertRow(combo, path, isOpen && window->m_writeBackPath ? kWriteBackRow : kImageRow, 0,
                    LPARAM(record));
      if (index < 0) {
        delete record;
        continue;
      }
      if (isOpen) selected = index;
      for (const std::wstring& update : updates) InsertRow(combo, update.c_str(), kUpdateRow, 1, 0);
    } while (FindNextFileW(find, &found));
    FindClose(find);
  }
  return selected;
}
