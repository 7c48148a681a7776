#include "driverui/StorePackageDlg.h"

#include <shellapi.h>

#include "common/Dpi.h"
#include "common/PathUtil.h"
#include "common/SavedState.h"
#include "driverstore/DriverStore.h"
#include "driverstore/InfImporter.h"
#include "driverui/DriverIcons.h"
#include "driverui/DriverListDraw.h"
#include "image/mount/MountedImage.h"
#include "resources/ResourceIds.h"
#include "ui/FileDialogs.h"
#include "ui/UiResources.h"
#include "ui/WindowThread.h"
#include "ui/controls/ControlWrappers.h"
#include "ui/controls/ListView.h"
#include "ui/shared/TextProgress.h"
#include "ui/shared/TipControl.h"

namespace {

constexpr DWORD kFileBufferChars = 65536;
constexpr UINT kCellText = DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_END_ELLIPSIS;

BOOL OpenInfFiles(HWND owner, wchar_t* buffer, DWORD chars, const wchar_t* filter) {
  return ShowOpenFileDialog(GetUiModule(), owner, buffer, chars, filter, nullptr, 0,
                            OFN_HIDEREADONLY | OFN_ALLOWMULTISELECT | OFN_PATHMUSTEXIST |
                                OFN_FILEMUSTEXIST | OFN_NOREADONLYRETURN | OFN_EXPLORER |
                                OFN_LONGNAMES | OFN_ENABLESIZING);
}

StoreInfPicker g_infPicker = OpenInfFiles;
StoreFolderPicker g_folderPicker = PickFolder;

std::wstring SettingsFile() {
  wchar_t path[kPathChars];
  DWORD n = GetModuleFileNameW(nullptr, path, kPathChars);
  if (n == 0 || n >= (DWORD)kPathChars) return L"";
  lstrcpyW(FindExtensionPart(path), L"ini");
  return path;
}

// The combo's drop-down button drawn into a cell.
void DrawCellButton(HWND list, HDC dc, RECT cell, HWND combo) {
  int width = GetSystemMetrics(SM_CXVSCROLL);
  RECT button = {cell.right - width, cell.top, cell.right, cell.bottom};
  bool open = SendMessageW(combo, CB_GETDROPPEDSTATE, 0, 0) != 0;
  (void)list;
  DrawFrameControl(dc, &button, DFC_SCROLL, DFCS_SCROLLDOWN | (open ? DFCS_PUSHED | DFCS_FLAT : 0));
}

}  // namespace

StoreInfPicker SetStoreInfPicker(StoreInfPicker picker) {
  StoreInfPicker old = g_infPicker;
  g_infPicker = picker ? picker : OpenInfFiles;
  return old;
}

StoreFolderPicker SetStoreFolderPicker(StoreFolderPicker picker) {
  StoreFolderPicker old = g_folderPicker;
  g_folderPicker = picker ? picker : PickFolder;
  return old;
}

void FreeStoreItemData(HWND list, int row) {
  StorePackageItem* item = reinterpret_cast<StorePackageItem*>(ListGetItemParam(list, row));
  ListSetItemParam(list, row, 0);
  FreeStorePackageItem(item);
}

bool BeginOffscreenRow(NMLVCUSTOMDRAW* draw, OffscreenRow* r) {
  HWND list = draw->nmcd.hdr.hwndFrom;
  int item = (int)draw->nmcd.dwItemSpec;
  r->row = {LVIR_BOUNDS};
  SendMessageW(list, LVM_GETITEMRECT, item, (LPARAM)&r->row);
  r->width = r->row.right - r->row.left;
  r->height = r->row.bottom - r->row.top;
  if (r->width <= 0 || r->height <= 0) return false;
  r->dc = CreateCompatibleDC(draw->nmcd.hdc);
  r->bitmap = r->dc ? CreateCompatibleBitmap(draw->nmcd.hdc, r->width, r->height) : nullptr;
  if (!r->dc || !r->bitmap) {
    if (r->dc) DeleteDC(r->dc);
    return false;
  }
  r->oldBitmap = SelectObject(r->dc, r->bitmap);
  bool enabled = IsWindowEnabled(list) != 0;
  bool selected =
      enabled && (SendMessageW(list, LVM_GETITEMSTATE, item, LVIS_SELECTED) & LVIS_SELECTED);
  COLORREF back = !enabled   ? GetSysColor(COLOR_BTNFACE)
                  : selected ? kRowSelectedFrame
                             : (COLORREF)SendMessageW(list, LVM_GETBKCOLOR, 0, 0);
  RECT rc = {0, 0, r->width, r->height};
  SetBkColor(r->dc, back);
  ExtTextOutW(r->dc, 0, 0, ETO_OPAQUE, &rc, nullptr, 0, nullptr);
  if (selected) {
    RECT inner = {1, 1, r->width - 1, r->height - 1};
    SetBkColor(r->dc, kRowSelectedFill);
    ExtTextOutW(r->dc, 0, 0, ETO_OPAQUE, &inner, nullptr, 0, nullptr);
  }
  SetBkMode(r->dc, TRANSPARENT);
  return true;
}

void EndOffscreenRow(NMLVCUSTOMDRAW* draw, OffscreenRow* r) {
  BitBlt(draw->nmcd.hdc, r->row.left, r->row.top, r->width, r->height, r->dc, 0, 0, SRCCOPY);
  SelectObject(r->dc, r->oldBitmap);
  DeleteObject(r->bitmap);
  DeleteDC(r->dc);
}

LRESULT PaintStoreListItem(NMLVCUSTOMDRAW* draw, HWND deviceCombo, HWND versionCombo) {
  if (draw->nmcd.dwDrawStage == CDDS_PREPAINT) return CDRF_NOTIFYITEMDRAW;
  if (draw->nmcd.dwDrawStage != CDDS_ITEMPREPAINT) return 0;
  HWND list = draw->nmcd.hdr.hwndFrom;
  int item = (int)draw->nmcd.dwItemSpec;
  OffscreenRow r;
  if (!BeginOffscreenRow(draw, &r)) return CDRF_SKIPDEFAULT;
  HDC dc = r.dc;
  const int width = r.width, height = r.height;
  UINT state = (UINT)SendMessageW(list, LVM_GETITEMSTATE, item, 0xFFFFFFFF);
  int image = ListGetItemImage(list, item);
  int rowState = DriverRowStateOf(image < 0 ? 0 : image);
  COLORREF text = rowState == kRowProblem         ? kRowProblemText
                  : rowState == kRowNotAssociated ? kRowNotAssociatedText
                                                  : RGB(0, 0, 0);
  HFONT font = (HFONT)SendMessageW(GetParent(list), WM_GETFONT, 0, 0);
  HGDIOBJ oldFont = font ? SelectObject(dc, font) : nullptr;
  DWORD ex = (DWORD)SendMessageW(list, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0);
  const bool checks = (ex & LVS_EX_CHECKBOXES) != 0;
  const int half = height / 2;
  HWND header = (HWND)SendMessageW(list, LVM_GETHEADER, 0, 0);
  int columns = header ? (int)SendMessageW(header, HDM_GETITEMCOUNT, 0, 0) : 1;
  int x = 0;
  wchar_t buf[400];
  for (int column = 0; column < columns; ++column) {
    int cw = (int)SendMessageW(list, LVM_GETCOLUMNWIDTH, column, 0);
    RECT cell = {x + 2, 0, x + cw, half};
    x += cw;
    ListGetItemText(list, item, column, buf, 400);
    if (column == kStoreColInfPath) {
      if (cw != 0) {
        SetTextColor(dc, text);
        DrawTextW(dc, buf, -1, &cell, kCellText);
        continue;
      }
      wchar_t line[480];
      wchar_t prefix[64];
      LoadUiString(IDS_STORE_FILE_LINE, prefix, 64);
      _snwprintf(line, 479, L"%s%s", prefix, buf);
      line[479] = 0;
      RECT second = {22 + (checks ? half : 0), half, width, height};
      SetTextColor(dc, RGB(0, 0, 192));
      DrawTextW(dc, line, -1, &second, kCellText);
      continue;
    }
    if (cell.right <= cell.left) continue;
    SetTextColor(dc, text);
    if (column == kStoreColName) {
      int top = (half - 16) / 2;
      if (checks) {
        HIMAGELIST states = (HIMAGELIST)SendMessageW(list, LVM_GETIMAGELIST, LVSIL_STATE, 0);
        if (states)
          ImageList_Draw(states, (state & 0xF000) == 0x2000 ? 1 : 0, dc, cell.left, top,
                         ILD_TRANSPARENT);
        cell.left += half;
      }
      HIMAGELIST small = (HIMAGELIST)SendMessageW(list, LVM_GETIMAGELIST, LVSIL_SMALL, 0);
      if (small && image >= 0) {
        HICON icon = ImageList_GetIcon(small, image, ILD_TRANSPARENT);
        if (icon) {
          DrawIconEx(dc, cell.left, top, icon, 16, 16, 0, nullptr, DI_NORMAL);
          DestroyIcon(icon);
        }
        HICON overlay = rowState != kRowNormal
                            ? ImageList_GetIcon(small, kImageOverlay, ILD_TRANSPARENT)
                            : nullptr;
        if (overlay) {
          DrawIconEx(dc, cell.left, top, overlay, 16, 16, 0, nullptr, DI_NORMAL);
          DestroyIcon(overlay);
        }
      }
      cell.left += 20;
    }
    HWND combo = column == kStoreColName      ? deviceCombo
                 : column == kStoreColVersion ? versionCombo
                                              : nullptr;
    if (combo) {
      RECT textCell = cell;
      textCell.right -= GetSystemMetrics(SM_CXVSCROLL);
      DrawTextW(dc, buf, -1, &textCell, kCellText);
      DrawCellButton(list, dc, cell, combo);
    } else {
      DrawTextW(dc, buf, -1, &cell, kCellText);
    }
  }
  if (oldFont) SelectObject(dc, oldFont);
  EndOffscreenRow(draw, &r);
  return CDRF_SKIPDEFAULT;
}

CStorePackageDlg::CStorePackageDlg(CMountedImage* image, int storeClass)
    : m_tooltip(nullptr),
      m_busy(0),
      m_image(image),
      m_progress(nullptr),
      m_storeClass(storeClass),
      m_smallImages(nullptr),
      m_stateImages(nullptr) {}

std::wstring CStorePackageDlg::LoadString(UINT id) const {
  wchar_t text[512];
  LoadUiString(GetUiModule(), id, m_language, text, 512);
  return text;
}

std::wstring CStorePackageDlg::ItemText(int row, int column, int chars) const {
  std::wstring text(chars, L'\0');
  ListGetItemText(List(), row, column, &text[0], chars);
  text.resize(wcslen(text.c_str()));
  return text;
}

int CStorePackageDlg::SelectedRow() const {
  return (int)SendMessageW(List(), LVM_GETNEXTITEM, (WPARAM)-1, LVNI_SELECTED);
}

std::wstring CStorePackageDlg::StoreFolder() {
  wchar_t folder[kPathChars];
  GetDriverStoreFolder(m_storeClass, Target(), folder);
  return folder;
}

std::wstring CStorePackageDlg::TargetText() {
  uint32_t t = Target();
  wchar_t text[40];
  _snwprintf(text, 40, L"%u.%u_x%u", (t >> 8) & 0xFF, t & 0xFF, t >> 16);
  text[39] = 0;
  return text;
}

void CStorePackageDlg::InitStoreList(const wchar_t* widthsValue, bool checkBoxes) {
  // Images 0-2 the class's adapter, 3-5 the installation's own, 6-8 a
  // virtual one, 9 the problem overlay.
  static const int kNetIcons[10] = {kIconNetwork,    kIconNetwork,    kIconNetwork,    kIconNetOwn,
                                    kIconNetOwn,     kIconNetOwn,     kIconNetVirtual, kIconNetVirtual,
                                    kIconNetVirtual, kIconProblemOverlay};
  static const int kDisplayIcons[10] = {kIconDisplay,        kIconDisplay,        kIconDisplay,
                                        kIconDisplayOwn,     kIconDisplayOwn,     kIconDisplayOwn,
                                        kIconDisplayVirtual, kIconDisplayVirtual, kIconDisplayVirtual,
                                        kIconProblemOverlay};
  const int* icons = m_storeClass == kStoreNetwork ? kNetIcons : kDisplayIcons;
  HWND list = List();
  DWORD ex = LVS_EX_FULLROWSELECT | LVS_EX_INFOTIP | LVS_EX_DOUBLEBUFFER |
             (checkBoxes ? LVS_EX_CHECKBOXES : 0);
  SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, ex, ex);
  SendMessageW(list, LVM_ENABLEGROUPVIEW, TRUE, 0);
  m_smallImages = ImageList_Create(48, 48, ILC_COLOR32 | ILC_MASK, 10, 0);
  if (m_smallImages) {
    AppendDriverIcons(m_smallImages, GetUiModule(), icons, 10, 16);
    SendMessageW(list, LVM_SETIMAGELIST, LVSIL_SMALL, (LPARAM)m_smallImages);
  }
  if (checkBoxes) {
    m_stateImages = ImageList_Create(16, 16, ILC_COLOR32 | ILC_MASK, 2, 0);
    if (m_stateImages) {
      static const int kChecks[] = {kIconCheckOff, kIconCheckOn};
      AppendDriverIcons(m_stateImages, GetUiModule(), kChecks, 2, 16);
      SendMessageW(list, LVM_SETIMAGELIST, LVSIL_STATE, (LPARAM)m_stateImages);
    }
  }
  static const struct {
    UINT title;
    int width;
  } kColumns[] = {{IDS_COLUMN_NAME, 288},
                  {IDS_TAB_VERSION, 128},
                  {IDS_COLUMN_HARDWARE_ID, 128},
                  {IDS_STORE_COLUMN_SECTION, 0},
                  {IDS_STORE_COLUMN_FILE, 0}};
  for (int c = 0; c < 5; ++c) {
    std::wstring title = LoadString(kColumns[c].title);
    LVCOLUMNW col = {};
    col.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
    col.pszText = &title[0];
    col.cx = ScaleByDpi(kColumns[c].width);
    col.iSubItem = c;
    SendMessageW(list, LVM_INSERTCOLUMNW, c, (LPARAM)&col);
  }
  LoadListColumnWidths(list, widthsValue);

  m_tooltip = CreateWindowExW(WS_EX_NOACTIVATE | WS_EX_TOOLWINDOW, TOOLTIPS_CLASSW, nullptr,
                              TTS_ALWAYSTIP | WS_POPUP, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                              CW_USEDEFAULT, m_hWnd, nullptr, m_hInstance, nullptr);
  if (m_tooltip) {
    SendMessageW(m_tooltip, TTM_SETDELAYTIME, TTDT_INITIAL, 0);
    SendMessageW(m_tooltip, TTM_SETMAXTIPWIDTH, 0, 400);
  }
}

void CStorePackageDlg::AddTip(int control, UINT stringId) {
  HWND window = Item(control);
  if (!m_tooltip || !window) return;
  std::wstring text = LoadString(stringId);
  TOOLINFOW tool = {};
  tool.cbSize = sizeof tool;
  tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  tool.hwnd = window;
  tool.uId = (UINT_PTR)window;
  tool.lpszText = &text[0];
  SendMessageW(m_tooltip, TTM_ADDTOOLW, 0, (LPARAM)&tool);
  new CTipControl(window, this);
}

void CStorePackageDlg::InitStoreRootEdit() {
  wchar_t root[kPathChars];
  GetDriverStoreRoot(root);
  SetDlgItemTextW(m_hWnd, 1002, root);
  m_progress = new CTextProgress(Item(1039), this);
  SetTimer(Item(1039), CTextProgress::kPauseTimer, CTextProgress::kSweepPause, nullptr);
}

void CStorePackageDlg::CloseStoreList(const wchar_t* widthsValue) {
  HWND list = List();
  SaveListColumnWidths(list, widthsValue);
  int n = (int)SendMessageW(list, LVM_GETITEMCOUNT, 0, 0);
  for (int i = 0; i < n; ++i) FreeStoreItemData(list, i);
  SendMessageW(list, LVM_SETIMAGELIST, LVSIL_SMALL, 0);
  SendMessageW(list, LVM_SETIMAGELIST, LVSIL_STATE, 0);
  if (m_smallImages) ImageList_Destroy(m_smallImages);
  if (m_stateImages) ImageList_Destroy(m_stateImages);
  m_smallImages = m_stateImages = nullptr;
  if (m_tooltip) {
    SendMessageW(m_tooltip, TTM_ACTIVATE, FALSE, 0);
    DestroyWindow(m_tooltip);
    m_tooltip = nullptr;
  }
}

void CStorePackageDlg::BuildPackageList() {
  HWND list = List();
  int n = (int)SendMessageW(list, LVM_GETITEMCOUNT, 0, 0);
  for (int i = 0; i < n; ++i) FreeStoreItemData(list, i);
  SendMessageW(list, LVM_DELETEALLITEMS, 0, 0);
  const std::wstring folder = StoreFolder();
  for (const StorePackageChoice& c : ListStorePackages(folder.c_str()))
    BuildPackageItem(-1, folder.c_str(), c.package.c_str(), c.version.c_str());
}

int CStorePackageDlg::BuildPackageItem(int index, const wchar_t* folder, const wchar_t* package,
                                       const wchar_t* version) {
  StorePackageView v;
  if (!ReadStorePackage(folder, package, version, &v)) return index;
  HWND list = List();
  if (index < 0)
    index = ListAppendItemToGroup(list, v.name, 0, GroupOf(v), 0);
  else
    ListSetItemText(list, index, kStoreColName, v.name);
  if (index < 0) {
    FreeStorePackageItem(v.item);
    return index;
  }
  // A package whose files the store lacks cannot be installed: marked.
  wchar_t versionFolder[kPathChars];
  CopyParentPath(v.infPath, versionFolder, kPathChars);
  std::wstring missing = FindMissingPackageFile(versionFolder);
  if (!missing.empty()) {
    wchar_t mark[400];
    _snwprintf(mark, 400, LoadString(IDS_STORE_FILE_MISSING).c_str(), missing.c_str());
    mark[399] = 0;
    ListSetItemText(list, index, kStoreColName, (std::wstring(v.name) + mark).c_str());
  }
  ListSetItemText(list, index, kStoreColVersion, v.version);
  ListSetItemText(list, index, kStoreColHardwareId, v.hardwareId);
  ListSetItemText(list, index, kStoreColSection, v.installSection);
  ListSetItemText(list, index, kStoreColInfPath, v.infPath);
  ListSetItemImage(list, index, v.ownPackage ? kImageBaseOwn : kImageBaseDevice);
  ListSetItemParam(list, index, (LPARAM)v.item);
  return index;
}

void CStorePackageDlg::OnVersionChosen() {
  HWND combo = Item(1035);
  int sel = (int)SendMessageW(combo, CB_GETCURSEL, 0, 0);
  int row = SelectedRow();
  if (sel < 0 || row < 0) return;
  wchar_t version[100] = L"";
  if (SendMessageW(combo, CB_GETLBTEXTLEN, sel, 0) >= 100) return;
  SendMessageW(combo, CB_GETLBTEXT, sel, (LPARAM)version);
  if (!version[0]) return;
  // The package is the one whose folder holds the row's own version.
  std::wstring inf = ItemText(row, kStoreColInfPath, kPathChars);
  std::wstring package = PackageFolderOfInf(inf.c_str());
  if (package.empty()) return;
  ListSetItemText(List(), row, kStoreColVersion, version);
  SetStorePackageVersion(inf.c_str(), version);
  FreeStoreItemData(List(), row);
  wchar_t folder[kPathChars];
  CopyParentPath(package.c_str(), folder, kPathChars);
  BuildPackageItem(row, folder, FindFileNamePart(package.c_str()), version);
}

void CStorePackageDlg::WriteSelectedDevice() {
  HWND combo = Item(1036);
  int sel = (int)SendMessageW(combo, CB_GETCURSEL, 0, 0);
  int row = SelectedRow();
  if (sel < 0 || row < 0) return;
  const StoreDeviceRecord* r =
      (const StoreDeviceRecord*)SendMessageW(combo, CB_GETITEMDATA, sel, 0);
  if (!r || r == (const StoreDeviceRecord*)CB_ERR || !r->name[0]) return;
  HWND list = List();
  ListSetItemText(list, row, kStoreColName, r->name);
  ListSetItemText(list, row, kStoreColHardwareId, r->hardwareId);
  ListSetItemText(list, row, kStoreColSection, r->installSection);
  std::wstring inf = ItemText(row, kStoreColInfPath, kPathChars);
  WriteSelectedDeviceLine(inf.c_str(), r->name, r->installSection, r->hardwareId);
}

bool CStorePackageDlg::DeleteRow(int row) {
  std::wstring inf = ItemText(row, kStoreColInfPath, kPathChars);
  wchar_t remaining[100];
  std::wstring package = PackageFolderOfInf(inf.c_str());
  switch (DeleteStorePackageVersion(inf.c_str(), remaining)) {
    case kStoreDeletePackage:
      FreeStoreItemData(List(), row);
      SendMessageW(List(), LVM_DELETEITEM, row, 0);
      return true;
    case kStoreDeleteVersion: {
      FreeStoreItemData(List(), row);
      wchar_t folder[kPathChars];
      CopyParentPath(package.c_str(), folder, kPathChars);
      BuildPackageItem(row, folder, FindFileNamePart(package.c_str()), remaining);
      return false;
    }
    default:
      return false;
  }
}

bool CStorePackageDlg::ChooseStoreRoot() {
  wchar_t current[kPathChars] = L"", chosen[kPathChars] = L"";
  GetDlgItemTextW(m_hWnd, 1002, current, kPathChars);
  if (!g_folderPicker(m_hWnd, current, chosen)) return false;
  SetDlgItemTextW(m_hWnd, 1002, chosen);
  WritePrivateProfileStringW(L"Config", L"DrvPath", chosen, SettingsFile().c_str());
  return true;
}

void CStorePackageDlg::StartImport() {
  // Busy from here, not only from the worker's first step: a close request
  // in between would free the object the new thread is about to use.
  InterlockedExchange(&m_busy, 1);
  BeginImportControls();
  HANDLE thread = StartWindowThread(this, &CStorePackageDlg::ImportThread, 0);
  if (thread) {
    CloseHandle(thread);
  } else {
    InterlockedExchange(&m_busy, 0);
    EndImportControls();
  }
}

DWORD CStorePackageDlg::ImportThread(LPARAM) {
  InterlockedExchange(&m_busy, 1);
  wchar_t* files = new (std::nothrow) wchar_t[kFileBufferChars];
  if (files) {
    files[0] = files[1] = 0;
    std::wstring filter = LoadString(IDS_INF_FILTER);
    ReplaceCharInString(&filter[0], L'|', 0);
    if (g_infPicker(m_hWnd, files, kFileBufferChars, filter.c_str())) {
      const uint32_t target = Target();
      const uint32_t build = m_image ? (uint32_t)m_image->GetWindowsBuildNumber() : (uint32_t)-1;
      // The store folder, made level by level.
      wchar_t folder[kPathChars];
      GetDriverStoreRoot(folder);
      CreateDirectoryW(folder, nullptr);
      AppendPathPart(folder, kPathChars, m_storeClass == kStoreNetwork ? L"Network" : L"Display");
      CreateDirectoryW(folder, nullptr);
      AppendPathPart(folder, kPathChars, TargetText().c_str());
      CreateDirectoryW(folder, nullptr);
      // One path, or a folder followed by names.
      std::vector<std::wstring> paths;
      const wchar_t* next = files + wcslen(files) + 1;
      if (!*next) {
        paths.push_back(files);
      } else {
        for (; *next; next += wcslen(next) + 1) {
          wchar_t path[kPathChars];
          lstrcpynW(path, files, kPathChars);
          AppendPathPart(path, kPathChars, next);
          paths.push_back(path);
        }
      }
      const bool net = m_storeClass == kStoreNetwork;
      HWND bar = Item(1039);
      CInfImporter importer(m_image, target, build, m_storeClass, net ? L"Net" : L"Display",
                            net ? L"{4d36e972-e325-11ce-bfc1-08002be10318}"
                                : L"{4d36e968-e325-11ce-bfc1-08002be10318}",
                            bar);
      std::wstring format = LoadString(IDS_STORE_IMPORTING);
      m_rejected.clear();
      for (const std::wstring& path : paths) {
        wchar_t text[kPathChars + 100];
        _snwprintf(text, kPathChars + 99, format.c_str(), FindFileNamePart(path.c_str()));
        text[kPathChars + 99] = 0;
        SetWindowTextW(bar, text);
        ShowWindow(bar, SW_SHOW);
        SendMessageW(bar, PBM_SETPOS, 0, 0);
        if (importer.ImportInf(path.c_str(), folder) == 0) {
          m_rejected += FindFileNamePart(path.c_str());
          if (!importer.missingFile.empty()) m_rejected += L" (" + importer.missingFile + L")";
          m_rejected += L"\r\n";
          continue;
        }
        // The package's row rebuilt, or appended, and selected.
        wchar_t prefix[kPathChars];
        lstrcpynW(prefix, folder, kPathChars);
        AppendPathPart(prefix, kPathChars, importer.packageFolder.c_str());
        AppendPathPart(prefix, kPathChars, L"");
        HWND list = List();
        int row = ListFindItemPrefix(list, prefix);
        if (row >= 0) FreeStoreItemData(list, row);
        row = BuildPackageItem(row, folder, importer.packageFolder.c_str(),
                               importer.versionFolder.c_str());
        if (row >= 0) {
          ListClearItemSelection(list, -1);
          ListSelectItem(list, row);
        }
      }
      SendMessageW(bar, PBM_SETPOS, 0, 0);
      ShowWindow(bar, SW_HIDE);
      TidyDriverStoreIndex(m_storeClass, target);
    }
    delete[] files;
  }
  // Once the flag is clear the window may close and free this object: only
  // the handle read before is used afterwards.
  HWND window = m_hWnd;
  InterlockedExchange(&m_busy, 0);
  PostMessageW(window, kImportEndedMessage, 0, 0);
  return 0;
}

LRESULT CStorePackageDlg::PreDispatch(UINT message, WPARAM, LPARAM) {
  if (message != kImportEndedMessage) return 0;
  EndImportControls();
  if (!m_rejected.empty()) {
    std::wstring format = LoadString(IDS_STORE_IMPORT_REJECTED);
    std::vector<wchar_t> text(format.size() + m_rejected.size() + 1);
    _snwprintf(text.data(), text.size(), format.c_str(), m_rejected.c_str());
    text.back() = 0;
    m_rejected.clear();
    MessageBoxW(m_hWnd, text.data(), LoadString(IDS_PROMPT_CAPTION).c_str(),
                MB_OK | MB_ICONWARNING | MB_SETFOREGROUND);
  }
  return 1;
}

bool CStorePackageDlg::CommitDroppedCombo() {
  for (int id : {1035, 1036}) {
    HWND combo = Item(id);
    if (combo && SendMessageW(combo, CB_GETDROPPEDSTATE, 0, 0)) {
      SendMessageW(m_hWnd, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), (LPARAM)combo);
      SendMessageW(combo, CB_SHOWDROPDOWN, FALSE, 0);
      return true;
    }
  }
  return false;
}

void CStorePackageDlg::OnListClick(NMITEMACTIVATE* click) {
  HWND list = List();
  int row = click->iItem;
  if (row < 0 || row != SelectedRow()) return;
  RECT bounds = {LVIR_BOUNDS};
  SendMessageW(list, LVM_GETITEMRECT, row, (LPARAM)&bounds);
  const int height = bounds.bottom - bounds.top;
  if (click->ptAction.y >= bounds.top + height / 2) return;
  const StorePackageItem* item = (const StorePackageItem*)ListGetItemParam(list, row);
  if (click->iSubItem == kStoreColVersion) {
    std::wstring inf = ItemText(row, kStoreColInfPath, kPathChars);
    std::wstring package = PackageFolderOfInf(inf.c_str());
    HWND combo = Item(1035);
    int n = FillVersionCombo(m_storeClass, GetUiModule(), TargetText().c_str(),
                             FindFileNamePart(package.c_str()),
                             ItemText(row, kStoreColVersion, 100).c_str(), combo);
    if (n > 1) ShowCellCombo(m_hWnd, list, combo, row, kStoreColVersion, MAKELPARAM(0, height / 2));
  } else if (click->iSubItem == kStoreColName && click->ptAction.x - bounds.left > height / 2) {
    HWND combo = Item(1036);
    SendMessageW(combo, CB_RESETCONTENT, 0, 0);
    if (!item || item->deviceCount < 2) return;
    std::wstring name = ItemText(row, kStoreColName, 200),
                 id = ItemText(row, kStoreColHardwareId, 100),
                 section = ItemText(row, kStoreColSection, 100);
    for (const StoreDeviceRecord* r = item->devices; r; r = r->next) {
      int at = (int)SendMessageW(combo, CB_ADDSTRING, 0, (LPARAM)r->name);
      if (at < 0) continue;
      SendMessageW(combo, CB_SETITEMDATA, at, (LPARAM)r);
      if (!_wcsicmp(r->name, name.c_str()) && !_wcsicmp(r->hardwareId, id.c_str()) &&
          !_wcsicmp(r->installSection, section.c_str()))
        SendMessageW(combo, CB_SETCURSEL, at, 0);
    }
    ShowCellCombo(m_hWnd, list, combo, row, kStoreColName, MAKELPARAM(0, height / 2));
  }
}

void CStorePackageDlg::OnStoreListDblClk(NMITEMACTIVATE* click) {
  HWND list = List();
  int row = click->iItem;
  if (row < 0 || row != SelectedRow()) return;
  RECT bounds = {LVIR_BOUNDS};
  SendMessageW(list, LVM_GETITEMRECT, row, (LPARAM)&bounds);
  if (click->ptAction.y < bounds.top + (bounds.bottom - bounds.top) / 2) {
    PostMessageW(m_hWnd, WM_COMMAND, 1004, 0);
    return;
  }
  std::wstring inf = ItemText(row, kStoreColInfPath, kPathChars);
  SHELLEXECUTEINFOW info = {};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
  info.hwnd = m_hWnd;
  info.lpFile = inf.c_str();
  info.nShow = SW_SHOWDEFAULT;
  if (ShellExecuteExW(&info) && info.hProcess) CloseHandle(info.hProcess);
}

bool CStorePackageDlg::OnSharedListKey(WORD key) {
  const bool ctrl = GetKeyState(VK_CONTROL) < 0;
  HWND list = List();
  HWND versions = Item(1035), devices = Item(1036);
  if ((key == VK_F4 || key == VK_F6) && !ctrl) {
    HWND combo = key == VK_F4 ? versions : devices;
    if (SendMessageW(combo, CB_GETDROPPEDSTATE, 0, 0)) {
      SendMessageW(m_hWnd, WM_COMMAND, MAKEWPARAM(key == VK_F4 ? 1035 : 1036, CBN_SELCHANGE),
                   (LPARAM)combo);
      SendMessageW(combo, CB_SHOWDROPDOWN, FALSE, 0);
      return true;
    }
    int row = SelectedRow();
    if (row < 0) return true;
    // A click where the cell's choice opens: the version cell's top-left
    // corner, or inside the name cell to the right of the icon.
    int column = key == VK_F4 ? kStoreColVersion : kStoreColName;
    RECT cell = {LVIR_BOUNDS};
    cell.top = column;
    SendMessageW(list, LVM_GETSUBITEMRECT, row, (LPARAM)&cell);
    NMITEMACTIVATE click = {};
    click.hdr.hwndFrom = list;
    click.hdr.idFrom = 1001;
    click.hdr.code = NM_CLICK;
    click.iItem = row;
    click.iSubItem = column;
    click.ptAction.x = column == kStoreColName ? cell.left + 48 : cell.left + 1;
    click.ptAction.y = cell.top + 1;
    OnListClick(&click);
    return true;
  }
  if (key == VK_UP || key == VK_DOWN) {
    HWND combo = SendMessageW(versions, CB_GETDROPPEDSTATE, 0, 0)  ? versions
                 : SendMessageW(devices, CB_GETDROPPEDSTATE, 0, 0) ? devices
                                                                   : nullptr;
    if (!combo) return false;
    int sel = (int)SendMessageW(combo, CB_GETCURSEL, 0, 0);
    int count = (int)SendMessageW(combo, CB_GETCOUNT, 0, 0);
    int next = key == VK_UP ? sel - 1 : sel + 1;
    if (next >= 0 && next < count) SendMessageW(combo, CB_SETCURSEL, next, 0);
    return true;
  }
  return false;
}

LRESULT CStorePackageDlg::OnStoreListCustomDraw(NMLVCUSTOMDRAW* draw) {
  const StorePackageItem* item = nullptr;
  if (draw->nmcd.dwDrawStage == CDDS_ITEMPREPAINT)
    item = (const StorePackageItem*)ListGetItemParam(List(), (int)draw->nmcd.dwItemSpec);
  HWND devices = item && item->deviceCount > 1 ? Item(1036) : nullptr;
  HWND versions = item && item->versionCount > 1 ? Item(1035) : nullptr;
  return PaintStoreListItem(draw, devices, versions);
}

LRESULT CStorePackageDlg::OnStoreListNotify(int controlId, NMHDR* header, bool* handled) {
  *handled = true;
  if (header->code == HDN_BEGINTRACKW || header->code == HDN_BEGINTRACKA)
    return ((NMHEADERW*)header)->iItem >= kStoreColSection ? 1 : 0;
  if (controlId == 1001) {
    switch (header->code) {
      case NM_CUSTOMDRAW:
        return OnStoreListCustomDraw((NMLVCUSTOMDRAW*)header);
      case NM_DBLCLK:
        OnStoreListDblClk((NMITEMACTIVATE*)header);
        return 0;
      case LVN_ITEMCHANGED:
        UpdateButtons();
        return 0;
      case NM_CLICK:
        OnListClick((NMITEMACTIVATE*)header);
        return 0;
    }
  }
  *handled = false;
  return 0;
}

bool CStorePackageDlg::OnInPlaceComboCommand(int id, int code) {
  if (id != 1035 && id != 1036) return false;
  if (code == CBN_SELCHANGE) {
    if (id == 1035)
      OnVersionChosen();
    else
      WriteSelectedDevice();
  } else if (code == CBN_CLOSEUP) {
    RedrawWindow(List(), nullptr, nullptr, RDW_INVALIDATE | RDW_NOERASE);
  }
  return true;
}
