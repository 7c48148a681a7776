#include "app/mainwnd/FileManagerDlg.h"

#include <commctrl.h>
#include <shellapi.h>

#include <cwchar>
#include <cwctype>
#include <new>

#include "app/CommandLine.h"
#include "app/ImagePartitionText.h"
#include "app/ProgramModule.h"
#include "app/mainwnd/AddressBarEdit.h"
#include "app/mainwnd/AddressLinks.h"
#include "app/mainwnd/FileCommands.h"
#include "app/mainwnd/FileListRows.h"
#include "app/mainwnd/ToolCommands.h"
#include "app/mainwnd/FileWorkers.h"
#include "app/mainwnd/MainMenus.h"
#include "app/mainwnd/OperationFailures.h"
#include "app/mainwnd/PartitionDlg.h"
#include "app/mainwnd/DrawnIcons.h"
#include "app/mainwnd/FilePanes.h"
#include "common/CrashDump.h"
#include "common/Dpi.h"
#include "common/FileTree.h"
#include "common/Format.h"
#include "common/SavedState.h"
#include "image/mount/MountedImage.h"
#include "resources/ResourceIds.h"
#include "ui/DialogTemplateFont.h"
#include "ui/OwnerMessageBox.h"
#include "ui/UiLanguage.h"
#include "ui/UiResources.h"
#include "ui/TextMeasure.h"
#include "ui/VersionInfo.h"
#include "ui/dragdrop/OleObjects.h"
#include "ui/shared/TipControl.h"

namespace {

const int kCrashFilterTimer = 1;
const int kColumnWidths[4] = {168, 80, 136, 40};

// A column's width at first start: its designed width, or more where the
// list's font needs it for the title or the widest text the column shows
// (a size of six figures, a time of wide digits, the attribute word).
int DefaultColumnWidth(HWND list, int column, const wchar_t* title) {
  wchar_t sample[64] = L"";
  if (column == 1) {
    FormatUiByteSize(uint64_t(999999) * 1024, sample, 64);
  } else if (column == 2) {
    const SYSTEMTIME wide = {2000, 12, 0, 28, 20, 58, 58, 0};
    FILETIME time = {};
    SystemTimeToFileTime(&wide, &time);
    FormatFileTime(sample, 64, time);
  } else if (column == 3) {
    lstrcpyW(sample, L"FFFF");
  }
  const int padding = ScaleByDpi(16);
  int width = ScaleByDpi(kColumnWidths[column]);
  for (const wchar_t* text : {title, static_cast<const wchar_t*>(sample)}) {
    const int needed = int(SendMessageW(list, LVM_GETSTRINGWIDTHW, 0, LPARAM(text))) + padding;
    if (needed > width) width = needed;
  }
  return width;
}

// String 102 with every "|" made a NUL and a second NUL at the end.
int LoadToolbarTexts(wchar_t* out, int size) {
  const int length = LoadUiString(IDS_TOOLBAR_TEXTS, out, size - 1);
  for (int i = 0; i < length; ++i) {
    if (out[i] == L'|') out[i] = 0;
  }
  out[length + 1] = 0;
  return length;
}

// The texts 1 to 8 of string 102 on the buttons 1001 to 1008.
void SetToolbarButtonTexts(HWND toolbar) {
  wchar_t texts[512];
  LoadToolbarTexts(texts, 512);
  const wchar_t* text = texts;
  for (int command = 1001; command <= 1008 && *text; ++command) {
    TBBUTTONINFOW info = {};
    info.cbSize = sizeof info;
    info.dwMask = TBIF_TEXT;
    info.pszText = const_cast<wchar_t*>(text);
    SendMessageW(toolbar, TB_SETBUTTONINFOW, command, LPARAM(&info));
    text += lstrlenW(text) + 1;
  }
}

void SetTitle(CFileManagerDlg* window, int size) {
  wchar_t format[128], version[40], title[128];
  LoadUiString(IDS_MAIN_TITLE, format, 128);
  FormatOwnVersion(version);
  _snwprintf(title, size, format, version);
  title[size - 1] = 0;
  SetWindowTextW(window->m_hWnd, title);
}

// SetWindowTheme from uxtheme.dll when it is there: true when it succeeded.
bool SetExplorerTheme(HWND list) {
  HMODULE uxtheme = LoadLibraryW(L"uxtheme.dll");
  if (!uxtheme) return false;
  typedef HRESULT(WINAPI * SetThemeFn)(HWND, LPCWSTR, LPCWSTR);
  SetThemeFn setTheme = reinterpret_cast<SetThemeFn>(
      reinterpret_cast<void*>(GetProcAddress(uxtheme, "SetWindowTheme")));
  return setTheme && SUCCEEDED(setTheme(list, L"explorer", nullptr));
}

HIMAGELIST AddressImages(const int* pictures, int count) {
  HIMAGELIST list = ImageList_Create(16, 16, ILC_COLOR32 | ILC_MASK, count, 1);
  for (int i = 0; list && i < count; ++i) {
    HICON icon = CreateAddressIcon(pictures[i], 16);
    if (!icon) continue;
    ImageList_AddIcon(list, icon);
    DestroyIcon(icon);
  }
  return list;
}

// The control's own visibility, also while the window itself is still hidden.
bool HasVisibleStyle(HWND control) {
  return (GetWindowLongPtrW(control, GWL_STYLE) & WS_VISIBLE) != 0;
}

// A path dragged over a pane: its drop effect (a drop shares one answer to
// the overwrite question; every drag over a pane starts a new one).
DWORD DropOnPane(LPARAM context, HWND target, const wchar_t* path, wchar_t* description,
                 int descriptionSize, BOOL drop) {
  CFileManagerDlg* window = reinterpret_cast<CFileManagerDlg*>(context);
  if (!drop) window->m_dropAnswer = 0;
  wchar_t list[kPathChars + 1] = {};
  lstrcpynW(list, path, kPathChars);
  const bool image = target == window->Item(IDC_IMAGE_LIST);
  const DWORD effect = image ? DropIntoImagePane(target, list, description, descriptionSize, window,
                                                 drop, &window->m_dropAnswer)
                             : DropIntoHostPane(target, list, description, descriptionSize, window,
                                                drop, &window->m_dropAnswer);
  return effect == kDropOpen ? DROPEFFECT_LINK : effect == kDropCopy ? DROPEFFECT_COPY : 0;
}

CDropTarget* RegisterPaneDropTarget(HWND list, CFileManagerDlg* window) {
  CDropTarget* target = new (std::nothrow) CDropTarget(list, DropOnPane, LPARAM(window));
  if (target && FAILED(RegisterDragDrop(list, target))) {
    delete target;
    target = nullptr;
  }
  return target;
}

HWND CreateTip(HWND owner, DWORD style, DWORD exStyle) {
  return CreateWindowExW(exStyle, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP | style,
                         CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, owner, nullptr,
                         nullptr, nullptr);
}

}  // namespace

CFileManagerDlg::CFileManagerDlg() {
  m_language = kLangChinese;
  m_version = GetVersion();
}

CFileManagerDlg::~CFileManagerDlg() {
  delete[] m_writeBackPath;
  for (CDropTarget** target : {&m_imageDrop, &m_hostDrop}) {
    if (!*target) continue;
    RevokeDragDrop((*target)->m_target);
    delete *target;
    *target = nullptr;
  }
  const HIMAGELIST lists[] = {m_toolbarImages, m_smallItems, m_largeItems, m_hostAddressImages,
                              m_imageAddressImages};
  for (HIMAGELIST list : lists) {
    if (list) ImageList_Destroy(list);
  }
  if (m_languageFont) DeleteObject(m_languageFont);
  UnregisterFileListRows(&m_hostRows);
  UnregisterFileListRows(&m_imageRows);
}

void CFileManagerDlg::BindAddressEdit(HWND combo, UINT hintId) {
  HWND edit = reinterpret_cast<HWND>(SendMessageW(combo, CBEM_GETEDITCONTROL, 0, 0));
  // The binding lives on the heap until its window is destroyed.
  if (edit) new (std::nothrow) CAddressBarEdit(edit, this, hintId);
}

void CFileManagerDlg::InitToolbar() {
  HWND toolbar = Item(IDC_TOOLBAR);
  SendMessageW(toolbar, TB_BUTTONSTRUCTSIZE, sizeof(TBBUTTON), 0);
  SendMessageW(toolbar, TB_SETEXTENDEDSTYLE, 0,
               TBSTYLE_EX_DRAWDDARROWS | TBSTYLE_EX_HIDECLIPPEDBUTTONS | TBSTYLE_EX_DOUBLEBUFFER);
  SendMessageW(toolbar, TB_SETEXTENDEDSTYLE, 0,
               SendMessageW(toolbar, TB_GETEXTENDEDSTYLE, 0, 0) | TBSTYLE_EX_MIXEDBUTTONS);
  const int side = ScaleByDpi(64);
  m_toolbarImages = ImageList_Create(side, side, ILC_COLOR32 | ILC_MASK, kToolbarPictures, 1);
  for (int i = 0; m_toolbarImages && i < kToolbarPictures; ++i) {
    HICON icon = CreateToolbarIcon(i, side);
    if (!icon) continue;
    ImageList_AddIcon(m_toolbarImages, icon);
    DestroyIcon(icon);
  }
  SendMessageW(toolbar, TB_SETIMAGELIST, 0, LPARAM(m_toolbarImages));
  wchar_t texts[512];
  LoadToolbarTexts(texts, 512);
  SendMessageW(toolbar, TB_ADDSTRINGW, 0, LPARAM(texts));
  ResetToolbarButtons(toolbar);
  // A restored layout keeps the buttons' order, not their texts.
  if (RestoreToolbarLayout(toolbar)) SetToolbarButtonTexts(toolbar);
  if (LoadToolbarHidden()) ShowWindow(toolbar, SW_HIDE);
  SendMessageW(toolbar, TB_AUTOSIZE, 0, 0);
}

void CFileManagerDlg::SetColumnTitles(HWND list) {
  // The titles go to the header alone: a column's text set through the
  // list sets its format too (under Wine), and the sort arrow would go.
  HWND header = reinterpret_cast<HWND>(SendMessageW(list, LVM_GETHEADER, 0, 0));
  for (int i = 0; i < 4; ++i) {
    wchar_t title[64];
    LoadUiString(IDS_COLUMN_NAME + i, title, 64);
    HDITEMW item = {};
    item.mask = HDI_TEXT;
    item.pszText = title;
    item.cchTextMax = 64;
    SendMessageW(header, HDM_SETITEMW, i, LPARAM(&item));
  }
}

void CFileManagerDlg::InitList(HWND list, const wchar_t* widthsValue, const wchar_t* styleValue) {
  SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0,
               SendMessageW(list, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0) | LVS_EX_FULLROWSELECT |
                   LVS_EX_INFOTIP | LVS_EX_DOUBLEBUFFER);
  if (LOBYTE(LOWORD(m_version)) >= 6 && SetExplorerTheme(list)) m_listIconSize = 24;
  if (!m_smallItems) m_smallItems = CreateItemImageList(m_listIconSize);
  if (!m_largeItems) m_largeItems = CreateItemImageList(32);
  SendMessageW(list, LVM_SETIMAGELIST, LVSIL_SMALL, LPARAM(m_smallItems));
  SendMessageW(list, LVM_SETIMAGELIST, LVSIL_NORMAL, LPARAM(m_largeItems));
  // The lists share the image lists, which the window destroys.
  SetWindowLongPtrW(list, GWL_STYLE, GetWindowLongPtrW(list, GWL_STYLE) | LVS_SHAREIMAGELISTS);
  for (int i = 0; i < 4; ++i) {
    wchar_t title[64];
    LoadUiString(IDS_COLUMN_NAME + i, title, 64);
    LVCOLUMNW column = {};
    column.mask = LVCF_TEXT | LVCF_WIDTH;
    column.pszText = title;
    column.cx = DefaultColumnWidth(list, i, title);
    SendMessageW(list, LVM_INSERTCOLUMNW, i, LPARAM(&column));
  }
  SortFileList(list, 0);
  LoadListColumnWidths(list, widthsValue);
  LoadListViewStyle(styleValue, list);
}

void CFileManagerDlg::SetStatusParts(int clientWidth) {
  int parts[4] = {clientWidth - 460, clientWidth - 220, clientWidth - 100, -1};
  SendMessageW(Item(IDC_STATUS_BAR), SB_SETPARTS, 4, LPARAM(parts));
}

LRESULT CFileManagerDlg::OnInitDialog() {
  OleInitialize(nullptr);
  g_ScreenDpiPercent = GetScreenDpiPercent();

  HANDLE token = nullptr;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    DWORD elevation = 0, size = 0;
    if (GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
        size == 4) {
      m_elevated = elevation != 0;
    }
    CloseHandle(token);
  }
  const bool win8 = LOBYTE(LOWORD(m_version)) > 6 ||
                    (LOBYTE(LOWORD(m_version)) == 6 && HIBYTE(LOWORD(m_version)) >= 2);
  if (m_elevated && win8) {
    SetWindowLongPtrW(m_hWnd, GWL_EXSTYLE,
                      GetWindowLongPtrW(m_hWnd, GWL_EXSTYLE) | WS_EX_ACCEPTFILES);
  }
  SetTitle(this, 100);
  SetMenu(m_hWnd, LoadUiMenu(GetUiModule(), IDM_MAIN, m_language));
  HICON small = CreateAddressIcon(0, 16), big = CreateAddressIcon(0, 32);
  SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, LPARAM(small));
  SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, LPARAM(big));

  InitToolbar();

  static const int kHostPictures[] = {3, 4};
  m_hostAddressImages = AddressImages(kHostPictures, 2);
  SendMessageW(Item(IDC_HOST_ADDRESS), CBEM_SETIMAGELIST, 0, LPARAM(m_hostAddressImages));
  BindAddressEdit(Item(IDC_HOST_ADDRESS), IDS_CUE_HOST_ADDRESS);
  RegisterFileListRows(Item(IDC_HOST_LIST), &m_hostRows);
  InitList(Item(IDC_HOST_LIST), L"ListviewLocalColumn", L"ListviewLocalStyle");
  // An elevated process on Windows 8 and later takes files by WM_DROPFILES.
  if (!(m_elevated && win8)) m_hostDrop = RegisterPaneDropTarget(Item(IDC_HOST_LIST), this);

  wchar_t drives[100] = L"";
  GetLogicalDriveStringsW(100, drives);
  for (const wchar_t* drive = drives; *drive; drive += lstrlenW(drive) + 1) {
    const wchar_t letter = wchar_t(towupper(drive[0]));
    if (letter == L'A' || letter == L'B' || GetDriveTypeW(drive) != DRIVE_FIXED) continue;
    COMBOBOXEXITEMW item = {};
    item.mask = CBEIF_TEXT | CBEIF_IMAGE | CBEIF_SELECTEDIMAGE;
    item.iItem = -1;
    item.pszText = const_cast<wchar_t*>(drive);
    SendMessageW(Item(IDC_HOST_ADDRESS), CBEM_SETITEMW, 0, LPARAM(&item));
    NavigateHostAddress(this, reinterpret_cast<HWND>(-1));
    break;
  }

  static const int kImagePictures[] = {0, 1, 2, 4};
  m_imageAddressImages = AddressImages(kImagePictures, 4);
  // The image-file list only lends its drop-down to the open-image button.
  ShowWindow(Item(IDC_IMAGE_FILES), SW_HIDE);
  SendMessageW(Item(IDC_IMAGE_FILES), CBEM_SETIMAGELIST, 0, LPARAM(m_imageAddressImages));
  SendMessageW(Item(IDC_IMAGE_ADDRESS), CBEM_SETIMAGELIST, 0, LPARAM(m_imageAddressImages));
  BindAddressEdit(Item(IDC_IMAGE_ADDRESS), IDS_CUE_IMAGE_ADDRESS);

  m_image = new (std::nothrow) CMountedImage();
  RegisterFileListRows(Item(IDC_IMAGE_LIST), &m_imageRows);
  InitList(Item(IDC_IMAGE_LIST), L"ListviewImageColumn", L"ListviewImageStyle");
  if (!(m_elevated && win8)) m_imageDrop = RegisterPaneDropTarget(Item(IDC_IMAGE_LIST), this);

  RECT client;
  GetClientRect(m_hWnd, &client);
  SetStatusParts(client.right);
  HWND status = Item(IDC_STATUS_BAR);
  RECT part;
  SendMessageW(status, SB_GETRECT, 1, LPARAM(&part));
  CreateWindowExW(WS_EX_STATICEDGE, PROGRESS_CLASSW, L"", WS_CHILD | WS_CLIPSIBLINGS | PBS_SMOOTH,
                  part.left + 1, part.top + 1, part.right - part.left - 2,
                  part.bottom - part.top - 2, status, HMENU(IDC_PROGRESS), m_hInstance, nullptr);
  SendMessageW(status, SB_SETTEXTW, 0 | SBT_OWNERDRAW, 0);

  if (!HandleStartupImage()) {
    COMBOBOXEXITEMW item = {};
    item.mask = CBEIF_TEXT | CBEIF_IMAGE | CBEIF_SELECTEDIMAGE;
    item.iItem = -1;
    item.pszText = const_cast<wchar_t*>(L"");
    SendMessageW(Item(IDC_IMAGE_ADDRESS), CBEM_SETITEMW, 0, LPARAM(&item));
  }
  InitTips();
  m_addressList = CreateAddressLinks(this, Item(IDC_IMAGE_ADDRESS));
  m_imageFilesList = CreateAddressLinks(this, Item(IDC_IMAGE_FILES));
  if (LoadStatusBarHidden()) ShowWindow(status, SW_HIDE);
  new (std::nothrow) CTipStatus(status, this);
  typedef BOOL(WINAPI * FilterFn)(UINT, DWORD);
  FilterFn allow = reinterpret_cast<FilterFn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"user32.dll"), "ChangeWindowMessageFilter")));
  if (allow) {
    for (UINT message : {UINT(WM_DROPFILES), UINT(WM_COPYDATA), 0x0049u}) allow(message, 1);
  }
  m_nextViewer = SetClipboardViewer(m_hWnd);
  RestoreWindowPlacement(m_hWnd, L"WindowPlacement", SW_SHOWNORMAL);
  SetTimer(m_hWnd, kCrashFilterTimer, 500, nullptr);
  return 1;
}

int FindStartupImage(int argc, wchar_t* const* argv, wchar_t (&image)[kPathChars],
                     wchar_t (&writeBack)[kPathChars]) {
  image[0] = writeBack[0] = 0;
  const wchar_t *first, *second;
  if (FindRepeatedFileOption(argc, argv, &first, &second)) {
    lstrcpynW(image, first, kPathChars);
    lstrcpynW(writeBack, second, kPathChars);
    return -2;
  }
  for (int i = 1; i < argc; ++i) {
    const wchar_t* arg = argv[i];
    if (!_wcsnicmp(arg, L"-img:", 5) || !_wcsnicmp(arg, L"/img:", 5)) {
      lstrcpynW(image, arg + 5, kPathChars);
    } else if (!_wcsnicmp(arg, L"-fix:", 5) || !_wcsnicmp(arg, L"/fix:", 5)) {
      lstrcpynW(writeBack, arg + 5, kPathChars);
    } else if (!image[0] && GetPathKind(arg) == 1) {
      lstrcpynW(image, arg, kPathChars);
    }
  }
  // "/merge" has folded the write-back file into the image and removed it:
  // the window shows the merged image rather than start a new, empty one.
  for (int i = 1; i < argc; ++i) {
    if (!lstrcmpiW(argv[i], L"/merge") || !lstrcmpiW(argv[i], L"-merge")) writeBack[0] = 0;
  }
  // A partition behind "::" that is no number opens nothing, as on the
  // command line.
  const ImagePartitionText text = ReadImagePartitionText(image);
  if (text.hasPartition && !text.partitionValid) return -1;
  return image[0] ? 1 : 0;
}

int CFileManagerDlg::HandleStartupImage() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv) return 0;
  wchar_t image[kPathChars], writeBack[kPathChars];
  const int found = FindStartupImage(argc, argv, image, writeBack);
  LocalFree(argv);
  if (found < 0) {
    wchar_t format[512], line[1400];
    if (LoadUiString(found == -2 ? IDS_OPTION_GIVEN_TWICE : IDS_IMAGE_PARTITION_NOT_NUMBER, format,
                     512)) {
      _snwprintf(line, 1400, format, image, writeBack);
      line[1399] = 0;
      OwnerMessageBox(m_hWnd, line, MB_ICONWARNING | MB_SETFOREGROUND);
    }
    return 0;
  }
  if (!found) return 0;
  int picture = 0;
  if (writeBack[0]) {
    wchar_t* copy = new (std::nothrow) wchar_t[lstrlenW(writeBack) + 1];
    if (!copy) return 0;
    lstrcpyW(copy, writeBack);
    delete[] m_writeBackPath;
    m_writeBackPath = copy;
    picture = 1;
  }
  COMBOBOXEXITEMW item = {};
  item.mask = CBEIF_TEXT | CBEIF_IMAGE | CBEIF_SELECTEDIMAGE;
  item.iItem = -1;
  item.pszText = image;
  item.iImage = item.iSelectedImage = picture;
  SendMessageW(Item(IDC_IMAGE_ADDRESS), CBEM_SETITEMW, 0, LPARAM(&item));
  PostMessageW(m_hWnd, WM_COMMAND, MAKEWPARAM(IDC_IMAGE_ADDRESS, CBN_SELCHANGE), LPARAM(-1));
  return 1;
}

MainWindowLayout ComputeMainLayout(int width, int height, int toolbarHeight, int comboHeight,
                                   int statusHeight) {
  const int half = width / 2;
  const int listHeight = height - comboHeight - toolbarHeight - statusHeight + 1;
  MainWindowLayout layout;
  layout.hostBar = {0, toolbarHeight, half, comboHeight};
  layout.imageBar = {half, toolbarHeight, width - half, comboHeight};
  layout.hostList = {0, toolbarHeight + comboHeight, half, listHeight};
  layout.imageList = {half, toolbarHeight + comboHeight, width - half, listHeight};
  return layout;
}

void CFileManagerDlg::OnSize(UINT, int cx, int cy) {
  HWND status = Item(IDC_STATUS_BAR);
  HWND toolbar = Item(IDC_TOOLBAR);
  MoveWindow(status, 0, 0, 0, 0, TRUE);
  int statusHeight = 0;
  if (HasVisibleStyle(status)) {
    RECT rc;
    GetClientRect(status, &rc);
    statusHeight = rc.bottom;
  }
  HDWP batch = BeginDeferWindowPos(6);
  SetStatusParts(cx);
  RECT part;
  SendMessageW(status, SB_GETRECT, 1, LPARAM(&part));
  HWND progress = GetDlgItem(status, IDC_PROGRESS);
  if (progress) {
    batch = DeferWindowPos(batch, progress, nullptr, part.left + 1, part.top + 1,
                           part.right - part.left - 2, part.bottom - part.top - 2, SWP_NOZORDER);
  }
  int toolbarHeight = 0;
  if (HasVisibleStyle(toolbar)) {
    // The toolbar's own height: one row of buttons and its edges.
    const DWORD button = DWORD(SendMessageW(toolbar, TB_GETBUTTONSIZE, 0, 0));
    toolbarHeight = HIWORD(button) + 4;
    batch = DeferWindowPos(batch, toolbar, nullptr, 0, 0, cx, toolbarHeight, SWP_NOZORDER);
  }
  RECT combo;
  GetWindowRect(Item(IDC_HOST_ADDRESS), &combo);
  const int comboHeight = combo.bottom - combo.top;
  const MainWindowLayout layout =
      ComputeMainLayout(cx, cy, toolbarHeight, comboHeight, statusHeight);
  const struct {
    int id;
    RECT rc;
    UINT flags;
  } moves[] = {{IDC_HOST_ADDRESS, layout.hostBar, SWP_NOZORDER},
               {IDC_IMAGE_ADDRESS, layout.imageBar, SWP_NOZORDER},
               {IDC_IMAGE_FILES, layout.imageBar, SWP_NOZORDER | SWP_NOMOVE},
               {IDC_HOST_LIST, layout.hostList, SWP_NOZORDER},
               {IDC_IMAGE_LIST, layout.imageList, SWP_NOZORDER}};
  for (const auto& m : moves) {
    if (batch) {
      batch = DeferWindowPos(batch, Item(m.id), nullptr, m.rc.left, m.rc.top, m.rc.right,
                             m.rc.bottom, m.flags);
    }
  }
  if (batch) EndDeferWindowPos(batch);
}

void CFileManagerDlg::OnTimer(UINT_PTR id) {
  if (id == kCrashFilterTimer) SetUnhandledExceptionFilter(WriteCrashDump);
}

LRESULT CFileManagerDlg::OnCommand(WPARAM wParam, LPARAM lParam) {
  if (HandleFileCommand(this, wParam, lParam) || HandleToolCommand(this, wParam, lParam)) return 1;
  if (HIWORD(wParam) == CBN_SELCHANGE && LOWORD(wParam) == IDC_HOST_ADDRESS) {
    NavigateHostAddress(this, reinterpret_cast<HWND>(lParam));
    return 1;
  }
  if (HIWORD(wParam) == CBN_DROPDOWN && LOWORD(wParam) == IDC_HOST_ADDRESS) {
    FillHostAddressList(Item(IDC_HOST_ADDRESS), Item(IDC_HOST_LIST));
    return 0;
  }
  return 0;
}

LRESULT CFileManagerDlg::OnDrawItem(UINT controlId, DRAWITEMSTRUCT* item) {
  if (controlId != IDC_STATUS_BAR) return 0;
  wchar_t text[32];
  const wchar_t* shown = nullptr;
  if (item->itemID == 2 && item->itemData) {
    _snwprintf(text, 32, L" %u MB", unsigned(item->itemData));
    text[31] = 0;
    shown = text;
    SetTextColor(item->hDC, m_partColour);
  } else if (item->itemID == 0) {
    shown = m_statusText;
    SetTextColor(item->hDC, m_statusColour);
  }
  if (!shown) return 0;
  SetBkMode(item->hDC, TRANSPARENT);
  DrawTextW(item->hDC, shown, -1, &item->rcItem, DT_NOPREFIX | DT_SINGLELINE | DT_VCENTER);
  return 1;
}

LRESULT CFileManagerDlg::OnClose(WPARAM) {
  CommitSizeEditor();
  SaveWindowPlacement(m_hWnd, L"WindowPlacement");
  ShowWindow(m_hWnd, SW_HIDE);
  ChangeClipboardChain(m_hWnd, m_nextViewer);
  m_nextViewer = nullptr;
  if (m_stagingFolder[0]) {
    DeleteTree(m_stagingFolder);
    m_stagingFolder[0] = 0;
    if (OpenClipboard(m_hWnd)) {
      EmptyClipboard();
      CloseClipboard();
    }
  }
  HideTip(m_writeBackTip);
  if (SaveListViewStyle(Item(IDC_HOST_LIST), L"ListviewLocalStyle") == LVS_REPORT)
    SaveListColumnWidths(Item(IDC_HOST_LIST), L"ListviewLocalColumn");
  if (SaveListViewStyle(Item(IDC_IMAGE_LIST), L"ListviewImageStyle") == LVS_REPORT)
    SaveListColumnWidths(Item(IDC_IMAGE_LIST), L"ListviewImageColumn");
  if (m_image) {
    m_image->Close();
    delete m_image;
    m_image = nullptr;
  }
  ClearImageAddressList(Item(IDC_IMAGE_ADDRESS));
  ClearImageAddressList(Item(IDC_IMAGE_FILES));
  for (WPARAM which : {WPARAM(ICON_SMALL), WPARAM(ICON_BIG)}) {
    HICON icon = reinterpret_cast<HICON>(SendMessageW(m_hWnd, WM_SETICON, which, 0));
    if (icon) DestroyIcon(icon);
  }
  KillTimer(m_hWnd, kCrashFilterTimer);
  for (CDropTarget** target : {&m_imageDrop, &m_hostDrop}) {
    if (!*target) continue;
    RevokeDragDrop((*target)->m_target);
    delete *target;
    *target = nullptr;
  }
  DestroyWindow(m_hWnd);
  OleUninitialize();
  PostQuitMessage(0);
  return 1;
}

void CFileManagerDlg::InitTips() {
  HWND toolbar = Item(IDC_TOOLBAR);
  m_toolbarTip = CreateTip(m_hWnd, 0, WS_EX_TOOLWINDOW);
  if (m_toolbarTip) {
    SendMessageW(m_toolbarTip, TTM_SETDELAYTIME, TTDT_INITIAL, 100);
    SendMessageW(m_toolbarTip, TTM_SETMAXTIPWIDTH, 0, 400);
    TOOLINFOW info = {};
    info.cbSize = sizeof info;
    info.uFlags = TTF_TRACK | TTF_ABSOLUTE;
    info.hwnd = toolbar;
    info.lpszText = const_cast<wchar_t*>(L"");
    SendMessageW(m_toolbarTip, TTM_ADDTOOLW, 0, LPARAM(&info));
    SendMessageW(toolbar, TB_SETTOOLTIPS, WPARAM(m_toolbarTip), 0);
  }
  m_writeBackTip = CreateTip(m_hWnd, 0, WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE);
  HWND status = Item(IDC_STATUS_BAR);
  m_statusTip = CreateWindowExW(WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE, TOOLTIPS_CLASSW, nullptr,
                                WS_POPUP | TTS_BALLOON | TTS_NOANIMATE | TTS_ALWAYSTIP,
                                CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, status,
                                nullptr, nullptr, nullptr);
  if (m_statusTip) {
    SendMessageW(m_statusTip, TTM_SETDELAYTIME, TTDT_INITIAL, 0);
    SendMessageW(m_statusTip, TTM_SETMAXTIPWIDTH, 0, 400);
  }
}

namespace {

// The index of the status tip's tool for the control, or -1.
int FindStatusTool(HWND tip, HWND control) {
  const int count = int(SendMessageW(tip, TTM_GETTOOLCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) {
    TOOLINFOW info = {};
    info.cbSize = sizeof info;
    if (SendMessageW(tip, TTM_ENUMTOOLSW, i, LPARAM(&info)) && info.uId == UINT_PTR(control))
      return i;
  }
  return -1;
}

}  // namespace

int CFileManagerDlg::AddStatusTool(HWND control, const wchar_t* text) {
  if (!m_statusTip || FindStatusTool(m_statusTip, control) >= 0) return 0;
  TOOLINFOW info = {};
  info.cbSize = sizeof info;
  info.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  info.hwnd = GetParent(control);
  info.uId = UINT_PTR(control);
  info.lpszText = const_cast<wchar_t*>(text);
  return int(SendMessageW(m_statusTip, TTM_ADDTOOLW, 0, LPARAM(&info)));
}

int CFileManagerDlg::RemoveStatusTool(HWND control) {
  if (!m_statusTip || FindStatusTool(m_statusTip, control) < 0) return 0;
  TOOLINFOW info = {};
  info.cbSize = sizeof info;
  info.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  info.hwnd = GetParent(control);
  info.uId = UINT_PTR(control);
  SendMessageW(m_statusTip, TTM_DELTOOLW, 0, LPARAM(&info));
  return 1;
}

void CFileManagerDlg::HideTip(HWND tip) {
  if (tip) SendMessageW(tip, TTM_ACTIVATE, FALSE, 0);
}

void CFileManagerDlg::ShowWriteBackTip(HWND tip, HWND control, const wchar_t* text) {
  if (!tip || !text) return;
  TOOLINFOW info = {};
  info.cbSize = sizeof info;
  info.uFlags = TTF_IDISHWND | TTF_TRACK;
  info.hwnd = control;
  info.uId = UINT_PTR(control);
  info.lpszText = const_cast<wchar_t*>(text);
  wchar_t title[128];
  LoadUiString(IDS_WRITE_BACK_FILE, title, 128);
  SendMessageW(tip, TTM_SETTITLEW, TTI_NONE, LPARAM(title));
  int width = 0, height = 0;
  MeasureTextRect(reinterpret_cast<HFONT>(SendMessageW(tip, WM_GETFONT, 0, 0)), text, &width,
                  &height);
  RECT size = {0, 0, width, height};
  SendMessageW(tip, TTM_ADJUSTRECT, TRUE, LPARAM(&size));
  const int tipWidth = size.right - size.left + 2, tipHeight = size.bottom - size.top + 6;
  RECT bar;
  GetWindowRect(control, &bar);
  const LPARAM at = MAKELPARAM(bar.right - tipWidth, bar.top - tipHeight);
  if (!IsWindowVisible(tip) && text[0]) {
    if (!SendMessageW(tip, TTM_GETTOOLCOUNT, 0, 0))
      SendMessageW(tip, TTM_ADDTOOLW, 0, LPARAM(&info));
    SendMessageW(tip, TTM_TRACKPOSITION, 0, at);
    SendMessageW(tip, TTM_ACTIVATE, TRUE, 0);
    SendMessageW(tip, TTM_TRACKACTIVATE, TRUE, LPARAM(&info));
  } else {
    SendMessageW(tip, TTM_TRACKPOSITION, 0, at);
    SendMessageW(tip, TTM_UPDATETIPTEXTW, 0, LPARAM(&info));
  }
}

void CFileManagerDlg::OnChangeCbChain(HWND removed, HWND next) {
  if (removed == m_nextViewer) {
    m_nextViewer = next;
  } else if (m_nextViewer) {
    if (!IsWindow(m_nextViewer)) {
      m_nextViewer = nullptr;
      return;
    }
    DWORD_PTR result;
    SendMessageTimeoutW(m_nextViewer, WM_CHANGECBCHAIN, WPARAM(removed), LPARAM(next),
                        SMTO_ABORTIFHUNG, 500, &result);
  }
}

void CFileManagerDlg::OnDrawClipboard() {
  if (m_nextViewer && !IsWindow(m_nextViewer)) m_nextViewer = nullptr;
  if (m_nextViewer) {
    DWORD_PTR result;
    SendMessageTimeoutW(m_nextViewer, WM_DRAWCLIPBOARD, 0, 0, SMTO_ABORTIFHUNG, 500, &result);
  }
  // The clipboard has changed hands: the files staged for it are no longer
  // offered.
  if (m_stagingFolder[0]) {
    DeleteTree(m_stagingFolder);
    m_stagingFolder[0] = 0;
  }
}

void CFileManagerDlg::SwitchLanguage(LANGID language) {
  m_languageSwitched = 1;
  wchar_t settings[kPathChars], value[16];
  GetSettingsFilePath(GetProgramModule(), settings);
  _snwprintf(value, 16, L"%u", unsigned(language));
  value[15] = 0;
  WritePrivateProfileStringW(L"Config", L"Language", value, settings);
  SetTitle(this, 128);
  HMENU oldMenu = GetMenu(m_hWnd);
  SetMenu(m_hWnd, LoadUiMenu(GetUiModule(), IDM_MAIN, language));
  if (oldMenu) DestroyMenu(oldMenu);
  SetToolbarButtonTexts(Item(IDC_TOOLBAR));
  RedrawWindow(Item(IDC_TOOLBAR), nullptr, nullptr, RDW_INVALIDATE | RDW_NOERASE | RDW_ALLCHILDREN);
  SetColumnTitles(Item(IDC_HOST_LIST));
  SetColumnTitles(Item(IDC_IMAGE_LIST));
  wchar_t kind[128] = L"";
  if (m_imageType == 3 || m_imageType == 4 || m_imageType == 9)
    LoadUiString(IDS_PHYSICAL_DISK, kind, 128);
  if (m_imageType == 6) LoadUiString(IDS_VIRTUAL_DISK, kind, 128);
  SendMessageW(Item(IDC_STATUS_BAR), SB_SETTEXTW, 3, LPARAM(kind));
  // The text of part 0 was in the old language: blank until the next message.
  m_statusText[0] = 0;
  SendMessageW(Item(IDC_STATUS_BAR), SB_SETTEXTW, 0 | SBT_OWNERDRAW, 0);
  if (m_statusTip) {
    wchar_t tip[256];
    LoadUiString(IDS_CHANGE_PARTITION_SIZE, tip, 256);
    TOOLINFOW info = {};
    info.cbSize = sizeof info;
    info.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    info.hwnd = GetParent(Item(IDC_STATUS_BAR));
    info.uId = UINT_PTR(Item(IDC_STATUS_BAR));
    info.lpszText = tip;
    SendMessageW(m_statusTip, TTM_UPDATETIPTEXTW, 0, LPARAM(&info));
  }
  // The lists make their texts when shown: sizes come in the new language.
  InvalidateRect(Item(IDC_HOST_LIST), nullptr, TRUE);
  InvalidateRect(Item(IDC_IMAGE_LIST), nullptr, TRUE);
  ApplyLanguageFont(language);
  RefreshAddressLinks(m_addressList);
  RefreshAddressLinks(m_imageFilesList);
}

LRESULT CFileManagerDlg::PreDispatch(UINT message, WPARAM, LPARAM lParam) {
  if (message == kTellGrowRefusal) {
    OperationFailures refused(IDS_RESIZE_FAILED);
    refused.GrowRefused(std::wstring(), m_growRefusal);
    m_growRefusal.clear();
    TellOperation(m_hWnd, refused);
    return 1;
  }
  if (message == kSortListAgain) {
    HWND list = reinterpret_cast<HWND>(lParam);
    if (list != Item(IDC_HOST_LIST) && list != Item(IDC_IMAGE_LIST)) return 0;
    SortFileList(list, -1);
    const int focused = int(SendMessageW(list, LVM_GETNEXTITEM, WPARAM(-1), LVNI_FOCUSED));
    if (focused >= 0) SendMessageW(list, LVM_ENSUREVISIBLE, focused, FALSE);
    return 1;
  }
  if (message != kRunOnListThread || !lParam) return 0;
  (*reinterpret_cast<const std::function<void()>*>(lParam))();
  return 1;
}

void CFileManagerDlg::ApplyLanguageFont(LANGID language) {
  DWORD size = 0;
  const void* tpl = FindUiResource(GetUiModule(), RT_DIALOG, MAKEINTRESOURCEW(IDD_FILE_MANAGER),
                                   language, &size);
  LOGFONTW face;
  if (!ReadDialogTemplateFont(tpl, size, m_hWnd, &face)) return;
  HFONT font = CreateFontIndirectW(&face);
  if (!font) return;
  for (HWND control : {m_hWnd, Item(IDC_TOOLBAR), Item(IDC_IMAGE_ADDRESS), Item(IDC_HOST_ADDRESS),
                       Item(IDC_IMAGE_FILES), Item(IDC_HOST_LIST), Item(IDC_IMAGE_LIST),
                       Item(IDC_STATUS_BAR), m_sizeEditor}) {
    if (control) SendMessageW(control, WM_SETFONT, WPARAM(font), FALSE);
  }
  for (int id : {IDC_HOST_LIST, IDC_IMAGE_LIST})
    RedrawWindow(Item(id), nullptr, nullptr, RDW_INVALIDATE | RDW_NOERASE);
  RedrawWindow(m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN);
  // Only a font made here is deleted: the template's first font belongs to
  // the dialog manager, which deletes it with the window.
  if (m_languageFont) DeleteObject(m_languageFont);
  m_languageFont = font;
}

int RunMainWindow(WORD language) {
  CFileManagerDlg* window = new (std::nothrow) CFileManagerDlg();
  if (!window) return 0;
  SetWindowLanguage(language ? language : kLangChinese, window);
  if (!window->Create(nullptr, IDD_FILE_MANAGER, FALSE, 0)) {
    delete window;
    return 0;
  }
  window->RunMessageLoop();
  return 0;
}
