#include "driverui/DriverListDraw.h"

#include <commctrl.h>
#include <uxtheme.h>
#include <vssym32.h>

#include <cwchar>
#include <new>

#include "common/PathUtil.h"
#include "driverstore/DriverStore.h"

namespace {

constexpr int kTextChars = 400;
constexpr UINT kCellTextFlags = DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS;

wchar_t FoldAZ(wchar_t c) {
  return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 32) : c;
}

// Visual-styles functions of an already loaded uxtheme.dll (never loaded
// here); all null when the library is absent or a function is missing.
struct ThemeApi {
  BOOL(WINAPI* isThemeActive)();
  HTHEME(WINAPI* open)(HWND, LPCWSTR);
  HRESULT(WINAPI* close)(HTHEME);
  HRESULT(WINAPI* draw)(HTHEME, HDC, int, int, const RECT*, const RECT*);
};

bool GetThemeApi(ThemeApi* api) {
  HMODULE ux = GetModuleHandleW(L"uxtheme.dll");
  if (!ux) return false;
  api->isThemeActive = reinterpret_cast<BOOL(WINAPI*)()>(GetProcAddress(ux, "IsThemeActive"));
  api->open = reinterpret_cast<HTHEME(WINAPI*)(HWND, LPCWSTR)>(GetProcAddress(ux, "OpenThemeData"));
  api->close = reinterpret_cast<HRESULT(WINAPI*)(HTHEME)>(GetProcAddress(ux, "CloseThemeData"));
  api->draw = reinterpret_cast<HRESULT(WINAPI*)(HTHEME, HDC, int, int, const RECT*, const RECT*)>(
      GetProcAddress(ux, "DrawThemeBackground"));
  return api->isThemeActive && api->open && api->close && api->draw;
}

// The combo's drop-down button at the right end of a cell.
void DrawComboButton(HWND list, HDC dc, const RECT& button, bool open) {
  ThemeApi api;
  if (GetThemeApi(&api) && api.isThemeActive()) {
    HTHEME theme = api.open(list, L"COMBOBOX");
    if (theme) {
      int part = 1, state = 1;
      if (open) {
        state = 3;
      } else if (LOBYTE(LOWORD(GetVersion())) >= 6) {
        part = 6;
      }
      HRESULT hr = api.draw(theme, dc, part, state, &button, nullptr);
      api.close(theme);
      if (SUCCEEDED(hr)) return;
    }
  }
  RECT rc = button;
  DrawFrameControl(dc, &rc, DFC_SCROLL, DFCS_SCROLLDOWN | (open ? DFCS_PUSHED | DFCS_FLAT : 0));
}

void PaintRow(NMLVCUSTOMDRAW* draw, const DriverListPaintContext* context, HDC memory,
              const RECT& row) {
  HWND list = draw->nmcd.hdr.hwndFrom;
  int item = static_cast<int>(draw->nmcd.dwItemSpec);
  UINT itemState = static_cast<UINT>(SendMessageW(list, LVM_GETITEMSTATE, item, 0xFFFFFFFF));
  bool selected = (itemState & LVIS_SELECTED) != 0;
  COLORREF back;
  if (!IsWindowEnabled(list)) {
    back = GetSysColor(COLOR_BTNFACE);
    selected = false;  // no frame on a disabled list
  } else if (selected) {
    back = kRowSelectedFrame;
  } else {
    back = static_cast<COLORREF>(SendMessageW(list, LVM_GETBKCOLOR, 0, 0));
  }

  wchar_t text[kTextChars] = L"";
  LVITEMW lv = {};
  lv.mask = LVIF_TEXT | LVIF_IMAGE | LVIF_INDENT;
  lv.iItem = item;
  lv.pszText = text;
  lv.cchTextMax = kTextChars;
  SendMessageW(list, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&lv));
  int width = row.right - row.left, height = row.bottom - row.top;
  RECT rc = {0, 0, width, height};
  SetBkColor(memory, back);
  ExtTextOutW(memory, 0, 0, ETO_OPAQUE, &rc, nullptr, 0, nullptr);
  if (selected) {
    InflateRect(&rc, -1, -1);
    SetBkColor(memory, kRowSelectedFill);
    ExtTextOutW(memory, 0, 0, ETO_OPAQUE, &rc, nullptr, 0, nullptr);
    InflateRect(&rc, 1, 1);
  }
  int state = DriverRowStateOf(lv.iImage < 0 ? 0 : lv.iImage);
  SetTextColor(memory, state == kRowProblem         ? kRowProblemText
                       : state == kRowNotAssociated ? kRowNotAssociatedText
                                                    : RGB(0, 0, 0));
  HFONT font = reinterpret_cast<HFONT>(SendMessageW(GetParent(list), WM_GETFONT, 0, 0));
  HGDIOBJ oldFont = font ? SelectObject(memory, font) : nullptr;
  SetBkMode(memory, TRANSPARENT);

  HWND header = reinterpret_cast<HWND>(SendMessageW(list, LVM_GETHEADER, 0, 0));
  int columns = header ? static_cast<int>(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0)) : 1;
  DWORD exStyle = static_cast<DWORD>(SendMessageW(list, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0));
  HIMAGELIST small =
      reinterpret_cast<HIMAGELIST>(SendMessageW(list, LVM_GETIMAGELIST, LVSIL_SMALL, 0));
  int x = 0;
  for (int column = 0; column < columns; ++column) {
    int columnWidth = static_cast<int>(SendMessageW(list, LVM_GETCOLUMNWIDTH, column, 0));
    // Column 0 runs from the indent to its right edge; the others follow.
    RECT cell = {column == 0 ? lv.iIndent * 24 : x, 0, x + columnWidth, height};
    x += columnWidth;
    if (cell.right <= cell.left) continue;
    cell.left += 2;
    if (column == 0) {
      int top = (height - 16) / 2;
      if (exStyle & LVS_EX_CHECKBOXES) {
        HIMAGELIST states =
            reinterpret_cast<HIMAGELIST>(SendMessageW(list, LVM_GETIMAGELIST, LVSIL_STATE, 0));
        int checked = (itemState & 0xF000) == 0x2000 ? 1 : 0;
        if (states) {
          ImageList_DrawEx(states, checked, memory, cell.left, top, 16, 16, CLR_NONE, CLR_NONE,
                           ILD_TRANSPARENT);
          int cx = 16, cy = 16;
          ImageList_GetIconSize(states, &cx, &cy);
          cell.left += cx;
        }
      }
      if (small && lv.iImage >= 0) {
        HICON icon = ImageList_GetIcon(small, lv.iImage, ILD_TRANSPARENT);
        if (icon) {
          DrawIconEx(memory, cell.left, top, icon, 16, 16, 0, nullptr, DI_NORMAL);
          DestroyIcon(icon);
        }
        if (state != kRowNormal) {
          HICON overlay = ImageList_GetIcon(small, kImageOverlay, ILD_TRANSPARENT);
          if (overlay) {
            DrawIconEx(memory, cell.left, top, overlay, 16, 16, 0, nullptr, DI_NORMAL);
            DestroyIcon(overlay);
          }
        }
      }
      cell.left += 20;
      DrawTextW(memory, text, -1, &cell, kCellTextFlags);
      continue;
    }
    wchar_t sub[kTextChars] = L"";
    LVITEMW sv = {};
    sv.iSubItem = column;
    sv.pszText = sub;
    sv.cchTextMax = kTextChars;
    SendMessageW(list, LVM_GETITEMTEXTW, item, reinterpret_cast<LPARAM>(&sv));
    HWND combo = column == 2 && context ? context->columns[2] : nullptr;
    if (combo) {
      COMBOBOXINFO info = {};
      info.cbSize = sizeof info;
      int buttonWidth = GetSystemMetrics(SM_CXVSCROLL);
      if (SendMessageW(combo, CB_GETCOMBOBOXINFO, 0, reinterpret_cast<LPARAM>(&info)) &&
          info.rcButton.right > info.rcButton.left) {
        buttonWidth = info.rcButton.right - info.rcButton.left;
      }
      RECT textCell = cell;
      textCell.right -= buttonWidth;
      if (textCell.right > textCell.left) DrawTextW(memory, sub, -1, &textCell, kCellTextFlags);
      RECT button = {cell.right - buttonWidth, 0, cell.right, height};
      if (button.left < cell.left - 2) button.left = cell.left - 2;
      bool open = SendMessageW(combo, CB_GETDROPPEDSTATE, 0, 0) != 0;
      DrawComboButton(list, memory, button, open);
    } else {
      DrawTextW(memory, sub, -1, &cell, kCellTextFlags);
    }
  }
  if (oldFont) SelectObject(memory, oldFont);
}

}  // namespace

bool SameTextAZ(const wchar_t* a, const wchar_t* b) {
  if (!a || !b) return a == b;
  for (;; ++a, ++b) {
    if (FoldAZ(*a) != FoldAZ(*b)) return false;
    if (!*a) return true;
  }
}

LRESULT PaintDriverListItem(NMLVCUSTOMDRAW* draw, const DriverListPaintContext* context) {
  if (draw->nmcd.dwDrawStage == CDDS_PREPAINT) return CDRF_NOTIFYITEMDRAW;
  if (draw->nmcd.dwDrawStage != CDDS_ITEMPREPAINT) return 0;
  HWND list = draw->nmcd.hdr.hwndFrom;
  int item = static_cast<int>(draw->nmcd.dwItemSpec);
  RECT row = {};
  row.left = LVIR_BOUNDS;
  SendMessageW(list, LVM_GETITEMRECT, item, reinterpret_cast<LPARAM>(&row));
  if ((GetWindowLongW(list, GWL_STYLE) & LVS_TYPEMASK) == LVS_LIST) {
    wchar_t text[kTextChars] = L"";
    LVITEMW lv = {};
    lv.pszText = text;
    lv.cchTextMax = kTextChars;
    SendMessageW(list, LVM_GETITEMTEXTW, item, reinterpret_cast<LPARAM>(&lv));
    row.right = row.left +
                static_cast<int>(
                    SendMessageW(list, LVM_GETSTRINGWIDTHW, 0, reinterpret_cast<LPARAM>(text))) +
                28;
  }
  int width = row.right - row.left, height = row.bottom - row.top;
  if (width <= 0 || height <= 0) return CDRF_SKIPDEFAULT;
  HDC memory = CreateCompatibleDC(draw->nmcd.hdc);
  HBITMAP bitmap = memory ? CreateCompatibleBitmap(draw->nmcd.hdc, width, height) : nullptr;
  if (memory && bitmap) {
    HGDIOBJ old = SelectObject(memory, bitmap);
    PaintRow(draw, context, memory, row);
    BitBlt(draw->nmcd.hdc, row.left, row.top, width, height, memory, 0, 0, SRCCOPY);
    SelectObject(memory, old);
  }
  if (bitmap) DeleteObject(bitmap);
  if (memory) DeleteDC(memory);
  return CDRF_SKIPDEFAULT;
}

LRESULT PaintMissingRowsRed(NMLVCUSTOMDRAW* draw) {
  if (draw->nmcd.dwDrawStage == CDDS_PREPAINT) return CDRF_NOTIFYITEMDRAW;
  if (draw->nmcd.dwDrawStage != CDDS_ITEMPREPAINT || !draw->nmcd.lItemlParam) return CDRF_DODEFAULT;
  HWND list = draw->nmcd.hdr.hwndFrom;
  bool selected =
      SendMessageW(list, LVM_GETITEMSTATE, draw->nmcd.dwItemSpec, LVIS_SELECTED) & LVIS_SELECTED;
  draw->clrText = RGB(255, 0, 0);
  draw->clrTextBk = GetSysColor(selected ? COLOR_HIGHLIGHT : COLOR_WINDOW);
  return CDRF_DODEFAULT;
}

int FillVersionCombo(int storeClass, HINSTANCE module, const wchar_t* targetFolder,
                     const wchar_t* packageFolder, const wchar_t* currentVersion, HWND combo) {
  (void)module;  // the settings file is the program's own, found by the store
  SendMessageW(combo, CB_RESETCONTENT, 0, 0);
  wchar_t pattern[kPathChars];
  GetDriverStoreRoot(pattern);
  if (storeClass == kStoreNetwork) AppendPathPart(pattern, kPathChars, L"Network");
  if (storeClass == kStoreDisplay) AppendPathPart(pattern, kPathChars, L"Display");
  AppendPathPart(pattern, kPathChars, targetFolder);
  AppendPathPart(pattern, kPathChars, packageFolder);
  AppendPathPart(pattern, kPathChars, L"*.*");
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(pattern, &found);
  if (find == INVALID_HANDLE_VALUE) return 0;
  int added = 0;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
    if (!wcscmp(found.cFileName, L".") || !wcscmp(found.cFileName, L"..")) continue;
    LRESULT index = SendMessageW(combo, CB_INSERTSTRING, static_cast<WPARAM>(-1),
                                 reinterpret_cast<LPARAM>(found.cFileName));
    if (index < 0) continue;
    ++added;
    if (currentVersion && SameTextAZ(found.cFileName, currentVersion)) {
      SendMessageW(combo, CB_SETCURSEL, index, 0);
    }
  } while (FindNextFileW(find, &found));
  FindClose(find);
  return added;
}

LRESULT ShowCellCombo(HWND dialog, HWND list, HWND combo, int item, int subItem, LPARAM offset) {
  // The drop-down is as wide as its widest entry.
  HDC screen = GetDC(nullptr);
  if (screen) {
    HFONT font = reinterpret_cast<HFONT>(SendMessageW(dialog, WM_GETFONT, 0, 0));
    HGDIOBJ old = font ? SelectObject(screen, font) : nullptr;
    int widest = 0;
    int count = static_cast<int>(SendMessageW(combo, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
      LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, i, 0);
      if (length < 0) continue;
      wchar_t* text = new (std::nothrow) wchar_t[length + 1];
      if (!text) continue;
      SendMessageW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
      RECT rc = {0, 0, 0, 0};
      DrawTextW(screen, text, -1, &rc, DT_CALCRECT | DT_SINGLELINE);
      if (rc.right - rc.left > widest) widest = rc.right - rc.left;
      delete[] text;
    }
    if (old) SelectObject(screen, old);
    ReleaseDC(nullptr, screen);
    SendMessageW(combo, CB_SETDROPPEDWIDTH, widest + 24, 0);
  }
  RECT listRect;
  GetWindowRect(list, &listRect);
  MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&listRect), 2);
  int dx = static_cast<short>(LOWORD(offset)), dy = static_cast<short>(HIWORD(offset));
  int before = 0;
  for (int c = 0; c < subItem; ++c)
    before += static_cast<int>(SendMessageW(list, LVM_GETCOLUMNWIDTH, c, 0));
  POINT position = {0, 0};
  SendMessageW(list, LVM_GETITEMPOSITION, item, reinterpret_cast<LPARAM>(&position));
  int x = listRect.left + dx + before + position.x;
  if (SendMessageW(list, LVM_GETIMAGELIST, LVSIL_STATE, 0)) x -= 20;
  x -= 4;
  int width = static_cast<int>(SendMessageW(list, LVM_GETCOLUMNWIDTH, subItem, 0));
  if (x < listRect.left + dx) {
    width -= (listRect.left + dx) - x;  // the cell is partly scrolled out on the left
    x = listRect.left + dx;
  }
  RECT bounds = {};
  bounds.left = LVIR_BOUNDS;
  SendMessageW(list, LVM_GETITEMRECT, item, reinterpret_cast<LPARAM>(&bounds));
  RECT comboRect;
  GetWindowRect(combo, &comboRect);
  int comboHeight = comboRect.bottom - comboRect.top;
  int y = listRect.top + bounds.bottom - comboHeight - dy;
  if (x + width > listRect.right) width = listRect.right - x;
  if (width < 0) width = 0;
  SetWindowPos(combo, nullptr, x, y, width, comboHeight, SWP_NOZORDER | SWP_NOACTIVATE);
  SendMessageW(list, LVM_REDRAWITEMS, item, item);
  BOOL open = SendMessageW(combo, CB_GETDROPPEDSTATE, 0, 0) != 0;
  return SendMessageW(combo, CB_SHOWDROPDOWN, open ? FALSE : TRUE, 0);
}
