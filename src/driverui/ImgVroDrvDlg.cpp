#include "driverui/ImgVroDrvDlg.h"

#include <commctrl.h>

#include <string>

#include "common/Dpi.h"
#include "common/PathUtil.h"
#include "common/SavedState.h"
#include "common/TempFiles.h"
#include "driverstore/DriverStore.h"
#include "driverstore/InfSectionCopy.h"
#include "driverui/DriverIcons.h"
#include "driverui/DriverListDraw.h"
#include "driverui/StorePackageDlg.h"
#include "driverui/ThemeHelpers.h"
#include "image/mount/MountedImage.h"
#include "resources/ResourceIds.h"
#include "ui/UiResources.h"
#include "ui/VersionInfo.h"
#include "ui/controls/ListView.h"
#include "ui/shared/ChildPage.h"
#include "upxlib/upxlib.h"

namespace {

const wchar_t kWidthsValue[] = L"ListviewColumnVroDrivers";
constexpr COLORREF kNewer = 0xFF0000, kOlder = 0xA0A0A0;

// The installation's files: target on 64-bit and on 32-bit Windows, the
// resource name, the names shown and the icon.
const struct {
  const wchar_t* target64;
  const wchar_t* target32;
  const wchar_t* resource;
  const wchar_t* shown64;
  const wchar_t* shown32;
  int icon;
} kFiles[8] = {
    {L"SysWOW64\\VroClient.exe", L"System32\\VroClient.exe", L"VROCLIENTEXE", L"VroClient.exe",
     L"VroClient.exe", 0},
    {L"SysWOW64\\VroRunClient.exe", L"System32\\VroRunClient.exe", L"VRORUNCLIENTEXE",
     L"VroRunClient.exe", L"VroRunClient.exe", 0},
    {L"SysWOW64\\Pindle.dll", L"System32\\Pindle.dll", L"PINDLE", L"Pindle.dll", L"Pindle.dll", 1},
    {L"SysWOW64\\VroDomain.exe", L"System32\\VroDomain.exe", L"VRODOMAINEXE", L"VroDomain.exe",
     L"VroDomain.exe", 0},
    {L"System32\\Drivers\\VroNdis64.sys", L"System32\\Drivers\\VroNdis.sys", L"VRONDISSYS",
     L"VroNdis64.sys", L"VroNdis.sys", 1},
    {L"System32\\Drivers\\VroPnp64.sys", L"System32\\Drivers\\VroPnp.sys", L"VROPNPSYS",
     L"VroPnp64.sys", L"VroPnp.sys", 1},
    {L"System32\\Drivers\\VroScsi64.sys", L"System32\\Drivers\\VroScsi.sys", L"VROSCSISYS",
     L"VroScsi64.sys", L"VroScsi.sys", 1},
    {L"System32\\Drivers\\Vro_Lwf64.sys", nullptr, L"VROLWFSYS", L"Vro_Lwf64.sys", nullptr, 1},
};

// Splits "<name> a-b-c" (or with '.' as separator, no name) into a, b x 100 + c.
bool SplitBuildText(const wchar_t* text, wchar_t separator, bool afterSpace, uint32_t* a,
                    uint32_t* bc) {
  const wchar_t* p = text;
  if (afterSpace) {
    p = wcschr(text, L' ');
    if (!p) return false;
    ++p;
  }
  const wchar_t* s1 = wcschr(p, separator);
  const wchar_t* s2 = s1 ? wcschr(s1 + 1, separator) : nullptr;
  if (!s2) return false;
  *a = (uint32_t)_wtoi(p);
  *bc = (uint32_t)_wtoi(s1 + 1) * 100 + (uint32_t)_wtoi(s2 + 1);
  return true;
}

uint64_t CombineBuild(uint64_t fileVersion, const wchar_t* original, const wchar_t* special) {
  uint32_t a = 0, bc = 0;
  bool got = original && SplitBuildText(original, L'-', true, &a, &bc);
  if ((!got || (a == 0 && bc == 0)) && special) got = SplitBuildText(special, L'.', false, &a, &bc);
  if (!got) return fileVersion;
  return (fileVersion & 0xFFFF000000000000ull) | ((uint64_t)(a & 0xFFFF) << 32) |
         ((uint64_t)(bc & 0xFFFF) << 16);
}

std::wstring Settings() {
  wchar_t path[kPathChars];
  GetModuleFileNameW(nullptr, path, kPathChars);
  lstrcpyW(FindExtensionPart(path), L"ini");
  return path;
}

// The package unpacked to a temporary file (unpacked set) and loaded as
// data, or the package itself when it cannot be unpacked.
HMODULE LoadPackage(const wchar_t* packagePath, wchar_t* unpacked) {
  unpacked[0] = 0;
  if (CreateTempFileName(unpacked, L"exe")) DeleteFileW(unpacked);
  int r = unpacked[0] ? unpack_one_file(packagePath, unpacked) : 87;
  return LoadLibraryExW(r == 0 ? unpacked : packagePath, nullptr, LOAD_LIBRARY_AS_DATAFILE);
}

// A resource (name = type) written to a new temporary file; nonzero on success.
int WriteResourceFile(HMODULE module, const wchar_t* resource, wchar_t* out) {
  HRSRC found = FindResourceW(module, resource, resource);
  HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
  DWORD size = found ? SizeofResource(module, found) : 0;
  const void* bytes = loaded && size ? LockResource(loaded) : nullptr;
  if (!bytes || !CreateTempFileName(out, L"Vro")) return 0;
  HANDLE file = CreateFileW(out, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD written = 0;
  BOOL ok = file != INVALID_HANDLE_VALUE && WriteFile(file, bytes, size, &written, nullptr) &&
            written == size;
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return ok ? 1 : 0;
}

COLORREF CompareColour(uint64_t package, uint64_t image) {
  return package > image ? kNewer : package < image ? kOlder : 0;
}

}  // namespace

uint64_t ReadBuildVersion(const wchar_t* path) {
  wchar_t original[kPathChars] = L"", special[kPathChars] = L"";
  bool hasOriginal = GetFileOriginalName(path, original, kPathChars) != 0;
  bool hasSpecial = GetFileSpecialBuild(path, special, kPathChars) != 0;
  return CombineBuild(GetFileVersionNumber(path), hasOriginal ? original : nullptr,
                      hasSpecial ? special : nullptr);
}

void FormatBuildVersion(uint64_t v, wchar_t* out, int chars) {
  _snwprintf(out, chars, L"%u.%04u.%04u.%04u", (unsigned)(v >> 48), (unsigned)(v >> 32) & 0xFFFF,
             (unsigned)(v >> 16) & 0xFFFF, (unsigned)v & 0xFFFF);
  out[chars - 1] = 0;
}

CImgVroDrvDlg::CImgVroDrvDlg(CWindow* container, CMountedImage* image)
    : m_image(image),
      m_versionWord(image ? image->GetWindowsVersion() : 0),
      m_smallImages(nullptr),
      m_stateImages(nullptr) {
  Create(container, IDD_IMG_VRO_DRV, FALSE, 0);
}

uint64_t CImgVroDrvDlg::ReadImageBuildVersion(const wchar_t* path) {
  wchar_t original[kPathChars] = L"", special[kPathChars] = L"";
  bool hasOriginal = m_image->GetFileOriginalName(path, original, kPathChars) != 0;
  bool hasSpecial = m_image->GetFileSpecialBuild(path, special, kPathChars) != 0;
  return CombineBuild(m_image->GetFileVersion(path), hasOriginal ? original : nullptr,
                      hasSpecial ? special : nullptr);
}

bool CImgVroDrvDlg::IsChecked(int row) const {
  return (SendMessageW(List(), LVM_GETITEMSTATE, row, LVIS_STATEIMAGEMASK) & 0xF000) == 0x2000;
}

void CImgVroDrvDlg::SetChecked(int row, bool checked) {
  ListSetItemStateImage(List(), row, checked ? 0x2000 : 0x1000);
}

LRESULT CImgVroDrvDlg::OnInitDialog() {
  PlaceChildPage(m_hWnd, 32, 45);
  EnableTabTexture(m_hWnd);
  HWND list = List();
  DWORD ex = LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT | LVS_EX_INFOTIP | LVS_EX_DOUBLEBUFFER;
  SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, ex, ex);
  m_smallImages = ImageList_Create(24, 24, ILC_COLOR32 | ILC_MASK, 2, 0);
  if (m_smallImages) {
    const int icons[2] = {kIconFileProgram, kIconFileDriver};
    AppendDriverIcons(m_smallImages, GetUiModule(), icons, 2, 16);
    SendMessageW(list, LVM_SETIMAGELIST, LVSIL_SMALL, (LPARAM)m_smallImages);
  }
  m_stateImages = ImageList_Create(16, 16, ILC_COLOR32 | ILC_MASK, 2, 0);
  if (m_stateImages) {
    const int checks[2] = {kIconCheckOff, kIconCheckOn};
    AppendDriverIcons(m_stateImages, GetUiModule(), checks, 2, 16);
    SendMessageW(list, LVM_SETIMAGELIST, LVSIL_STATE, (LPARAM)m_stateImages);
  }
  const struct {
    UINT title;
    int width;
  } columns[6] = {{IDS_STORE_COLUMN_FILE, 288},        {IDS_VRO_COLUMN_FILE_VERSION, 128},
                  {IDS_VRO_COLUMN_IMAGE_VERSION, 128}, {IDS_VRO_COLUMN_RESOURCE, 0},
                  {IDS_VRO_COLUMN_IMAGE_FILE, 0},      {IDS_COLUMN_NAME, 0}};
  for (int c = 0; c < 6; ++c) {
    wchar_t title[100];
    LoadUiString(GetUiModule(), columns[c].title, m_language, title, 100);
    LVCOLUMNW col = {};
    col.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
    col.pszText = title;
    col.cx = ScaleByDpi(columns[c].width);
    col.iSubItem = c;
    SendMessageW(list, LVM_INSERTCOLUMNW, c, (LPARAM)&col);
  }
  LoadListColumnWidths(list, kWidthsValue, 3);
  BuildFileTable();
  SendMessageW(list, LVM_ENABLEGROUPVIEW, TRUE, 0);
  return 1;
}

void CImgVroDrvDlg::BuildFileTable() {
  HWND list = List();
  SendMessageW(list, LVM_DELETEALLITEMS, 0, 0);
  SendMessageW(list, LVM_REMOVEALLGROUPS, 0, 0);
  const bool x64 = (m_versionWord >> 16) == 64;
  const int rows = x64 ? 8 : 7;
  wchar_t windows[kPathChars] = L"";
  m_image->FindWindowsDirectory(windows, kPathChars);
  wchar_t imagePaths[8][kPathChars];
  uint64_t imageVersions[8] = {};
  for (int i = 0; i < rows; ++i) {
    lstrcpynW(imagePaths[i], windows, kPathChars);
    AppendPathPart(imagePaths[i], kPathChars, x64 ? kFiles[i].target64 : kFiles[i].target32);
    imageVersions[i] = ReadImageBuildVersion(imagePaths[i]);
  }
  wchar_t root[kPathChars];
  GetPrivateProfileStringW(L"Config", L"DrvPath", L"G:\\VroDrv", root, kPathChars,
                           Settings().c_str());
  wchar_t pattern[kPathChars];
  lstrcpynW(pattern, root, kPathChars);
  AppendPathPart(pattern, kPathChars, L"*.exe");
  WIN32_FIND_DATAW fd;
  HANDLE find = FindFirstFileW(pattern, &fd);
  if (find == INVALID_HANDLE_VALUE) return;
  int group = 0;
  do {
    if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    wchar_t path[kPathChars];
    lstrcpynW(path, root, kPathChars);
    AppendPathPart(path, kPathChars, fd.cFileName);
    int machine = GetPeMachineClass(path);
    if (machine == 0 ? x64 : !x64) continue;
    wchar_t original[kPathChars] = L"";
    if (!GetFileOriginalName(path, original, kPathChars) || _wcsicmp(original, L"VroSetup.exe"))
      continue;
    uint64_t v = GetFileVersionNumber(path);
    wchar_t header[kPathChars + 60];
    _snwprintf(header, kPathChars + 59, L"%s <%u.%u.%u.%u>", fd.cFileName, (unsigned)(v >> 48),
               (unsigned)(v >> 32) & 0xFFFF, (unsigned)(v >> 16) & 0xFFFF, (unsigned)v & 0xFFFF);
    header[kPathChars + 59] = 0;
    ListInsertGroup(list, header, ++group, m_version);
    wchar_t unpacked[kPathChars];
    HMODULE module = LoadPackage(path, unpacked);
    if (module) {
      for (int i = 0; i < rows; ++i) {
        if (imageVersions[i] == 0) continue;
        AddFileRow(module, group, kFiles[i].resource, x64 ? kFiles[i].shown64 : kFiles[i].shown32,
                   imageVersions[i], imagePaths[i], fd.cFileName, kFiles[i].icon);
      }
      FreeLibrary(module);
    }
    if (unpacked[0]) DeleteFileW(unpacked);
  } while (FindNextFileW(find, &fd));
  FindClose(find);
}

void CImgVroDrvDlg::AddFileRow(HMODULE package, int group, const wchar_t* resource,
                               const wchar_t* shown, uint64_t imageVersion,
                               const wchar_t* imagePath, const wchar_t* packageName, int icon) {
  wchar_t temp[kPathChars];
  if (!WriteResourceFile(package, resource, temp)) {
    if (temp[0]) DeleteFileW(temp);
    return;
  }
  uint64_t packageVersion = ReadBuildVersion(temp);
  DeleteFileW(temp);
  HWND list = List();
  int row = ListAppendItemToGroup(list, shown, icon, group, 1);
  if (row < 0) return;
  wchar_t text[40];
  FormatBuildVersion(packageVersion, text, 40);
  ListSetItemText(list, row, 1, text);
  FormatBuildVersion(imageVersion, text, 40);
  ListSetItemText(list, row, 2, text);
  ListSetItemText(list, row, 3, resource);
  ListSetItemText(list, row, 4, imagePath);
  ListSetItemText(list, row, 5, packageName);
  ListSetItemParam(list, row, CompareColour(packageVersion, imageVersion));
}

int CImgVroDrvDlg::ExtractResourceFile(const wchar_t* packagePath, const wchar_t* resource,
                                       wchar_t* out) {
  int result = 0;
  wchar_t unpacked[kPathChars];
  HMODULE module = LoadPackage(packagePath, unpacked);
  if (module) {
    wchar_t temp[kPathChars] = L"";
    result = WriteResourceFile(module, resource, temp);
    if (result)
      lstrcpynW(out, temp, kPathChars);
    else if (temp[0])
      DeleteFileW(temp);
    FreeLibrary(module);
  }
  if (unpacked[0]) DeleteFileW(unpacked);
  return result;
}

void CImgVroDrvDlg::InstallSelected() {
  HWND list = List();
  wchar_t root[kPathChars];
  GetPrivateProfileStringW(L"Config", L"DrvPath", L"G:\\VroDrv", root, kPathChars,
                           Settings().c_str());
  int n = (int)SendMessageW(list, LVM_GETITEMCOUNT, 0, 0);
  for (int i = 0; i < n; ++i) {
    if (!IsChecked(i)) continue;
    wchar_t package[kPathChars], name[kPathChars], resource[128], imagePath[kPathChars];
    ListGetItemText(list, i, 5, name, kPathChars);
    lstrcpynW(package, root, kPathChars);
    AppendPathPart(package, kPathChars, name);
    ListGetItemText(list, i, 3, resource, 128);
    wchar_t extracted[kPathChars];
    if (!ExtractResourceFile(package, resource, extracted)) continue;
    ListGetItemText(list, i, 4, imagePath, kPathChars);
    if (m_image->InjectHostPath(extracted, imagePath, nullptr, ReplaceExistingCopyCallback,
                                nullptr)) {
      wchar_t now[40];
      ListGetItemText(list, i, 1, now, 40);
      ListSetItemText(list, i, 2, now);
      ListSetItemParam(list, i, 0);
      for (int j = 0; j < n; ++j) {
        wchar_t other[128];
        ListGetItemText(list, j, 3, other, 128);
        if (j == i || _wcsicmp(other, resource)) continue;
        ListSetItemText(list, j, 2, now);
        wchar_t offered[40];
        ListGetItemText(list, j, 1, offered, 40);
        ListSetItemParam(list, j,
                         CompareColour(ParseVersionString(offered), ParseVersionString(now)));
      }
    }
    DeleteFileW(extracted);
  }
  InvalidateRect(list, nullptr, FALSE);
}

void CImgVroDrvDlg::OnItemChanged(NMLISTVIEW* change) {
  HWND list = List();
  if ((change->uChanged & LVIF_STATE) && (change->uOldState & 0xF000) != 0x2000 &&
      (change->uNewState & 0xF000) == 0x2000) {
    int group = ListGetItemGroup(list, change->iItem);
    wchar_t name[kPathChars];
    ListGetItemText(list, change->iItem, 0, name, kPathChars);
    int n = (int)SendMessageW(list, LVM_GETITEMCOUNT, 0, 0);
    for (int j = 0; j < n; ++j) {
      if (j == change->iItem || ListGetItemGroup(list, j) == group || !IsChecked(j)) continue;
      wchar_t other[kPathChars];
      ListGetItemText(list, j, 0, other, kPathChars);
      if (!_wcsicmp(other, name)) SetChecked(j, false);
    }
  }
  bool any = false;
  int n = (int)SendMessageW(list, LVM_GETITEMCOUNT, 0, 0);
  for (int j = 0; j < n && !any; ++j) any = IsChecked(j);
  EnableWindow(GetDlgItem(m_hWnd, IDC_VRO_UPDATE), any);
}

void CImgVroDrvDlg::ShowContextMenu() {
  HMENU menu = LoadUiMenu(GetUiModule(), IDM_SETUP_DRV, m_language);
  if (!menu) return;
  HMENU popup = GetSubMenu(menu, 0);
  DeleteMenu(popup, ID_SETUP_DELETE_CHECKED, MF_BYCOMMAND);
  DeleteMenu(popup, 3, MF_BYPOSITION);
  POINT at;
  GetCursorPos(&at);
  SetForegroundWindow(m_hWnd);
  TrackPopupMenu(popup, TPM_NONOTIFY, at.x, at.y, 0, m_hWnd, nullptr);
  DestroyMenu(menu);
}

LRESULT CImgVroDrvDlg::OnCommand(WPARAM wParam, LPARAM) {
  HWND list = List();
  const int n = (int)SendMessageW(list, LVM_GETITEMCOUNT, 0, 0);
  const int first = (int)SendMessageW(list, LVM_GETNEXTITEM, (WPARAM)-1, LVNI_SELECTED);
  auto selected = [&](int i) {
    return (SendMessageW(list, LVM_GETITEMSTATE, i, LVIS_SELECTED) & LVIS_SELECTED) != 0;
  };
  switch (LOWORD(wParam)) {
    case IDCANCEL:
      return 1;
    case IDC_VRO_UPDATE:
      InstallSelected();
      return 0;
    case ID_SETUP_CHECK_SELECTED: {
      if (first < 0) return 0;
      int g = ListGetItemGroup(list, first);
      for (int i = 0; i < n; ++i)
        if (selected(i) && ListGetItemGroup(list, i) == g && !IsChecked(i)) SetChecked(i, true);
      return 0;
    }
    case ID_SETUP_CHECK_ALL: {
      if (first < 0) return 0;
      int g = ListGetItemGroup(list, first);
      for (int i = 0; i < n; ++i) {
        bool mine = ListGetItemGroup(list, i) == g;
        if (mine && !IsChecked(i)) SetChecked(i, true);
        if (!mine && IsChecked(i)) SetChecked(i, false);
      }
      return 0;
    }
    case ID_SETUP_UNCHECK_ALL:
      for (int i = 0; i < n; ++i)
        if (IsChecked(i)) SetChecked(i, false);
      return 0;
    case ID_SETUP_REFRESH:
      BuildFileTable();
      return 0;
  }
  return 0;
}

LRESULT CImgVroDrvDlg::OnNotify(int controlId, NMHDR* header) {
  if (header->code == HDN_BEGINTRACKW || header->code == HDN_BEGINTRACKA)
    return ((NMHEADERW*)header)->iItem >= 3 ? 1 : 0;
  if (controlId != 1001) return 0;
  HWND list = List();
  switch (header->code) {
    case NM_CUSTOMDRAW: {
      NMLVCUSTOMDRAW* draw = (NMLVCUSTOMDRAW*)header;
      if (draw->nmcd.dwDrawStage == CDDS_PREPAINT) return CDRF_NOTIFYITEMDRAW;
      if (draw->nmcd.dwDrawStage == CDDS_ITEMPREPAINT) return DrawItem(draw);
      return 0;
    }
    case LVN_ITEMCHANGED:
      OnItemChanged((NMLISTVIEW*)header);
      return 0;
    case NM_RCLICK:
      if (SendMessageW(list, LVM_GETSELECTEDCOUNT, 0, 0) > 0) ShowContextMenu();
      return 0;
    case NM_DBLCLK: {
      int item = ((NMITEMACTIVATE*)header)->iItem;
      int first = (int)SendMessageW(list, LVM_GETNEXTITEM, (WPARAM)-1, LVNI_SELECTED);
      if (item >= 0 && item == first) SetChecked(item, !IsChecked(item));
      return 0;
    }
  }
  return 0;
}

LRESULT CImgVroDrvDlg::DrawItem(NMLVCUSTOMDRAW* draw) {
  HWND list = List();
  int item = (int)draw->nmcd.dwItemSpec;
  OffscreenRow r;
  if (!BeginOffscreenRow(draw, &r)) return CDRF_SKIPDEFAULT;
  HDC dc = r.dc;
  const int height = r.height;
  SetTextColor(dc, (COLORREF)ListGetItemParam(list, item));
  HFONT font = (HFONT)SendMessageW(m_hWnd, WM_GETFONT, 0, 0);
  HGDIOBJ oldFont = font ? SelectObject(dc, font) : nullptr;
  HWND header = (HWND)SendMessageW(list, LVM_GETHEADER, 0, 0);
  int columns = header ? (int)SendMessageW(header, HDM_GETITEMCOUNT, 0, 0) : 1;
  int x = 0;
  for (int c = 0; c < columns; ++c) {
    int cw = (int)SendMessageW(list, LVM_GETCOLUMNWIDTH, c, 0);
    RECT cell = {x + 2, 0, x + cw, height};
    x += cw;
    if (cw < 2) continue;
    wchar_t text[400];
    int image = ListGetItemText(list, item, c, text, 400);
    if (c == 0) {
      if (m_stateImages)
        ImageList_Draw(m_stateImages, IsChecked(item) ? 1 : 0, dc, cell.left, (height - 15) / 2,
                       ILD_TRANSPARENT);
      cell.left += height;
      if (m_smallImages) {
        HICON icon = ImageList_GetIcon(m_smallImages, image, ILD_TRANSPARENT);
        if (icon) {
          DrawIconEx(dc, cell.left + 2, (height - 16) / 2, icon, 16, 16, 0, nullptr, DI_NORMAL);
          DestroyIcon(icon);
        }
      }
      cell.left += 20;
    }
    DrawTextW(dc, text, -1, &cell, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_END_ELLIPSIS);
  }
  if (oldFont) SelectObject(dc, oldFont);
  EndOffscreenRow(draw, &r);
  return CDRF_SKIPDEFAULT;
}

LRESULT CImgVroDrvDlg::OnCtlColor(HDC dc, HWND control, int kind) {
  if (kind != 6 || GetDlgCtrlID(control) != 1000) return 0;
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, 0xFF0000);
  return (LRESULT)GetStockObject(NULL_BRUSH);
}

LRESULT CImgVroDrvDlg::OnClose(WPARAM) {
  HWND list = List();
  SaveListColumnWidths(list, kWidthsValue);
  SendMessageW(list, LVM_SETIMAGELIST, LVSIL_SMALL, 0);
  if (m_smallImages) ImageList_Destroy(m_smallImages);
  m_smallImages = nullptr;
  DestroyWindow(m_hWnd);
  return 1;
}
