#include "regedit/RegistryDlg.h"

#include <windowsx.h>

#include "common/Dpi.h"
#include "common/SavedState.h"
#include "image/mount/MountedImage.h"
#include "regedit/AddFavoritesDlg.h"
#include "regedit/ComboBoxWheel.h"
#include "regedit/DelFavoritesDlg.h"
#include "regedit/EditorKeys.h"
#include "regedit/RegistryCommands.h"
#include "regedit/RegistryIcons.h"
#include "regedit/RegistrySettings.h"
#include "regedit/SeparatorCtrl.h"
#include "regedit/TreeviewEdit.h"
#include "resources/ResourceIds.h"
#include "ui/UiResources.h"
#include "ui/VersionInfo.h"
#include "ui/controls/TreeView.h"

namespace {

const int kTextMax = 360;
const int kMinPaneWidth = 40;
const int kFavoritesMenuPosition = 3;

const UINT kNewItems[] = {ID_REG_NEW_KEY,    ID_REG_NEW_STRING, ID_REG_NEW_DWORD, ID_REG_NEW_QWORD,
                          ID_REG_NEW_BINARY, ID_REG_NEW_MULTI,  ID_REG_NEW_EXPAND};

int WindowHeight(HWND window) {
  RECT rc = {};
  GetWindowRect(window, &rc);
  return rc.bottom - rc.top;
}

int WindowWidth(HWND window) {
  RECT rc = {};
  GetWindowRect(window, &rc);
  return rc.right - rc.left;
}

HMODULE ModuleOf(CWindow* window) {
  return window->m_hInstance ? window->m_hInstance : GetUiModule();
}

}  // namespace

CRegistryDlg::CRegistryDlg(CWindow* parent, CMountedImage* image) : m_image(image) {
  Create(parent, IDD_REGISTRY_EDITOR, TRUE, 0);
}

CRegistryDlg::~CRegistryDlg() {
  RemoveEditorKeys(this);
  free(m_textSearchPattern);
}

LRESULT CRegistryDlg::OnInitDialog() {
  LayoutRegistryPanes(this, LoadKeyTreeWidth());

  wchar_t format[200], version[40], title[200];
  LoadUiString(ModuleOf(this), IDS_REG_TITLE, m_language, format, 200);
  FormatOwnVersion(version);
  _snwprintf(title, 200, format, version);
  title[199] = 0;
  SetWindowTextW(m_hWnd, title);
  // The template's menu comes in the platform's choice of language; the
  // window's own language replaces it.
  if (HMENU menu = LoadUiMenu(ModuleOf(this), IDM_REGISTRY, m_language)) {
    HMENU old = GetMenu(m_hWnd);
    SetMenu(m_hWnd, menu);
    if (old) DestroyMenu(old);
  }
  RestoreWindowPlacement(m_hWnd, L"RegistryPlacement", SW_SHOWNORMAL);

  HWND tree = Tree();
  SendMessageW(tree, TVM_SETEXTENDEDSTYLE, TVS_EX_DOUBLEBUFFER, TVS_EX_DOUBLEBUFFER);
  m_smallIcon = MakeRegistryIcon(REG_ICON_EDITOR, 16);
  m_largeIcon = MakeRegistryIcon(REG_ICON_EDITOR, 32);
  SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_smallIcon));
  SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_largeIcon));
  const RegistryIconKind treeIcons[] = {REG_ICON_KEY_CLOSED, REG_ICON_KEY_OPEN};
  m_treeImages = MakeRegistryImageList(treeIcons, 2);
  TreeView_SetImageList(tree, m_treeImages, TVSIL_NORMAL);
  RegisterRegFileDropTargets(this);

  HWND list = List();
  ListView_SetExtendedListViewStyleEx(list, LVS_EX_DOUBLEBUFFER | LVS_EX_INFOTIP,
                                      LVS_EX_DOUBLEBUFFER | LVS_EX_INFOTIP);
  const RegistryIconKind listIcons[] = {REG_ICON_VALUE_STRING, REG_ICON_VALUE_BINARY};
  m_listImages = MakeRegistryImageList(listIcons, 2);
  ListView_SetImageList(list, m_listImages, LVSIL_SMALL);
  const UINT headers[] = {IDS_COLUMN_NAME, IDS_COLUMN_TYPE, IDS_COLUMN_DATA};
  const int widths[] = {240, 96, 224};
  for (int i = 0; i < 3; ++i) {
    wchar_t text[64];
    LoadUiString(ModuleOf(this), headers[i], m_language, text, 64);
    LVCOLUMNW col = {};
    col.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
    col.pszText = text;
    col.cx = ScaleByDpi(widths[i]);
    col.iSubItem = i;
    SendMessageW(list, LVM_INSERTCOLUMNW, i, reinterpret_cast<LPARAM>(&col));
  }
  LoadListColumnWidths(list, L"ListviewKeyColumn");

  LoadRegistryHistory(this);
  PopulateKeyTree(this);
  RestoreLastKey(this);
  new CSeparatorCtrl(Splitter(), this);
  new CComboBoxWheel(Combo(), this);
  InstallEditorKeys(this);
  return 1;
}

int LayoutRegistryPanes(CRegistryDlg* window, int treeWidth) {
  RECT client;
  GetClientRect(window->m_hWnd, &client);
  int w = treeWidth < kMinPaneWidth ? kMinPaneWidth : treeWidth;
  if (w > client.right - kMinPaneWidth) w = client.right - kMinPaneWidth;
  const int h0 = WindowHeight(window->Combo());
  const int h = client.bottom - h0;
  const int s = WindowWidth(window->Splitter());
  MoveWindow(window->Tree(), 0, h0, w, h, TRUE);
  MoveWindow(window->Splitter(), w, h0, s, h, TRUE);
  MoveWindow(window->List(), w + s, h0, client.right - w - s, h, TRUE);
  return w;
}

void CRegistryDlg::OnSize(UINT, int cx, int cy) {
  const int h0 = WindowHeight(Combo());
  const int w = WindowWidth(Tree());
  const int s = WindowWidth(Splitter());
  RECT combo;
  GetWindowRect(Combo(), &combo);
  MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(&combo), 2);
  MoveWindow(Combo(), combo.left, combo.top, cx, h0, TRUE);
  MoveWindow(Tree(), 0, h0, w, cy - h0, TRUE);
  MoveWindow(Splitter(), w, h0, s, cy - h0, TRUE);
  MoveWindow(List(), w + s, h0, cx - w - s, cy - h0, TRUE);
}

void UpdateEditMenuState(CRegistryDlg* window, HMENU menu) {
  CheckMenuItem(menu, ID_REG_STATUS_BAR, MF_BYCOMMAND | MF_CHECKED);
  EnableMenuItem(menu, ID_REG_STATUS_BAR, MF_BYCOMMAND | MF_GRAYED);
  HWND tree = window->Tree();
  HTREEITEM selected = TreeView_GetSelection(tree);
  std::wstring path = selected ? GetKeyItemPath(tree, selected) : std::wstring();
  const UINT newState =
      selected && _wcsicmp(path.c_str(), L"HKEY_LOCAL_MACHINE") ? MF_ENABLED : MF_GRAYED;
  for (UINT id : kNewItems) EnableMenuItem(menu, id, MF_BYCOMMAND | newState);
  BOOL allowed;
  if (GetFocus() != tree)
    allowed = ListView_GetSelectedCount(window->List()) > 0;
  else
    allowed = selected && !IsRegistryRootPath(path.c_str());
  EnableMenuItem(menu, ID_REG_DELETE, MF_BYCOMMAND | (allowed ? MF_ENABLED : MF_GRAYED));
  EnableMenuItem(menu, ID_REG_RENAME, MF_BYCOMMAND | (allowed ? MF_ENABLED : MF_GRAYED));
}

void CRegistryDlg::OnInitMenu(HMENU menu) {
  if (menu == GetMenu(m_hWnd)) UpdateEditMenuState(this, menu);
}

void CRegistryDlg::OnInitMenuPopup(HMENU menu, UINT position, BOOL systemMenu) {
  if (systemMenu || position != kFavoritesMenuPosition) return;
  if (GetSubMenu(GetMenu(m_hWnd), kFavoritesMenuPosition) != menu) return;
  FillFavoritesMenu(menu);
}

void CRegistryDlg::JumpToFavorite(UINT id) {
  wchar_t name[128];
  if (!GetMenuStringW(GetMenu(m_hWnd), id, name, 128, MF_BYCOMMAND)) return;
  HKEY key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kRegistryFavoritesKey, 0, 0x20019, &key) != ERROR_SUCCESS)
    return;
  wchar_t path[kTextMax + 1] = {};
  DWORD size = kTextMax * sizeof(wchar_t);
  LONG rc = RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(path), &size);
  RegCloseKey(key);
  if (rc == ERROR_SUCCESS) SelectKeyPath(this, path);
}

LRESULT CRegistryDlg::OnCommand(WPARAM wParam, LPARAM) {
  const UINT id = LOWORD(wParam), code = HIWORD(wParam);
  if (id == IDC_REG_ADDRESS) {
    HWND combo = Combo();
    wchar_t text[kTextMax];
    if (code == CBN_SELCHANGE) {
      int sel = ComboBox_GetCurSel(combo);
      if (sel < 0 || ComboBox_GetLBTextLen(combo, sel) >= kTextMax) return 0;
      ComboBox_GetLBText(combo, sel, text);
      SelectKeyPath(this, text);
      SetFocus(Tree());
    } else if (code == CBN_EDITCHANGE) {
      GetWindowTextW(combo, text, kTextMax);
      DWORD selection = ComboBox_GetEditSel(combo);
      SelectKeyPath(this, text);
      ComboBox_SetEditSel(combo, LOWORD(selection), HIWORD(selection));
    }
    return 0;
  }
  if (id >= ID_REG_FAVORITE_FIRST && id < ID_REG_FAVORITE_FIRST + kRegistryFavoritesMax) {
    JumpToFavorite(id);
    return 0;
  }
  HWND tree = Tree();
  switch (id) {
    case IDOK:
      if (GetFocus() == List()) PostMessageW(m_hWnd, WM_COMMAND, ID_REG_MODIFY, 0);
      break;
    case ID_REG_EXPAND:
    case ID_REG_COLLAPSE:
      if (HTREEITEM item = TreeView_GetSelection(tree))
        TreeView_Expand(tree, item, id == ID_REG_EXPAND ? TVE_EXPAND : TVE_COLLAPSE);
      break;
    case ID_REG_REFRESH:
      RefreshKeyTree(this);
      break;
    case ID_REG_DELETE:
      DeleteRegistrySelection(this);
      break;
    case ID_REG_RENAME:
      StartRegistryRename(this);
      break;
    case ID_REG_MODIFY:
    case ID_REG_MODIFY_BINARY:
      ModifySelectedValue(this, id == ID_REG_MODIFY_BINARY);
      break;
    case ID_REG_NEW_KEY:
      CreateNewKey(this);
      break;
    case ID_REG_NEW_STRING:
    case ID_REG_NEW_BINARY:
    case ID_REG_NEW_DWORD:
    case ID_REG_NEW_QWORD:
    case ID_REG_NEW_MULTI:
    case ID_REG_NEW_EXPAND:
      CreateNewValue(this, id);
      break;
    case ID_REG_IMPORT:
      ImportRegistryFiles(this);
      break;
    case ID_REG_EXPORT:
      ExportRegistryFile(this);
      break;
    case ID_REG_COPY_KEY_NAME:
      CopySelectedKeyName(this);
      break;
    case ID_REG_FIND:
      FindInRegistry(this);
      break;
    case ID_REG_FIND_NEXT:
      FindNextInRegistry(this);
      break;
    case ID_REG_FIND_HEX:
      FindHexInRegistry(this);
      break;
    case ID_REG_ADD_FAVORITE:
      new CAddFavoritesDlg(this, m_image);
      break;
    case ID_REG_REMOVE_FAVORITE:
      new CDelFavoritesDlg(this, m_image);
      break;
    case ID_REG_EXIT:
      PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
      break;
    default:
      break;
  }
  return 0;
}

LRESULT CRegistryDlg::OnKeyCommand(WORD key) {
  const UINT command = RegistryKeyCommand(key, GetKeyState(VK_CONTROL) < 0, false);
  if (command) PostMessageW(m_hWnd, WM_COMMAND, command, 0);
  return 0;
}

void CRegistryDlg::ShowTreeMenu() {
  HWND tree = Tree();
  TVHITTESTINFO hit = {};
  GetCursorPos(&hit.pt);
  POINT screen = hit.pt;
  ScreenToClient(tree, &hit.pt);
  HTREEITEM item = TreeView_HitTest(tree, &hit);
  if (!item) return;
  TreeView_SelectItem(tree, item);
  HMENU menu = LoadUiMenu(ModuleOf(this), IDM_REG_KEY, m_language);
  if (!menu) return;
  UpdateEditMenuState(this, menu);
  SetForegroundWindow(m_hWnd);
  if (TreeGetItemChildren(tree, item)) {
    const bool expanded = TreeGetItemState(tree, item) & TVIS_EXPANDED;
    DeleteMenu(menu, expanded ? ID_REG_EXPAND : ID_REG_COLLAPSE, MF_BYCOMMAND);
    SetMenuDefaultItem(GetSubMenu(menu, 0), expanded ? ID_REG_COLLAPSE : ID_REG_EXPAND, FALSE);
  } else {
    DeleteMenu(menu, ID_REG_COLLAPSE, MF_BYCOMMAND);
    EnableMenuItem(menu, ID_REG_EXPAND, MF_BYCOMMAND | MF_GRAYED);
  }
  TrackPopupMenu(GetSubMenu(menu, 0), TPM_LEFTALIGN, screen.x, screen.y, 0, m_hWnd, nullptr);
  DestroyMenu(menu);
}

void CRegistryDlg::ShowListMenu() {
  const bool none = ListView_GetSelectedCount(List()) == 0;
  HMENU menu = LoadUiMenu(ModuleOf(this), none ? IDM_REG_LIST : IDM_REG_VALUE, m_language);
  if (!menu) return;
  if (none)
    UpdateEditMenuState(this, menu);
  else
    SetMenuDefaultItem(GetSubMenu(menu, 0), ID_REG_MODIFY, FALSE);
  POINT pt;
  GetCursorPos(&pt);
  TrackPopupMenu(GetSubMenu(menu, 0), TPM_LEFTALIGN, pt.x, pt.y, 0, m_hWnd, nullptr);
  DestroyMenu(menu);
}

LRESULT CRegistryDlg::OnTreeNotify(NMHDR* header) {
  HWND tree = header->hwndFrom;
  switch (header->code) {
    case TVN_SELCHANGEDW:
    case TVN_SELCHANGEDA: {
      HTREEITEM item = reinterpret_cast<NMTREEVIEWW*>(header)->itemNew.hItem;
      if (!item) break;
      std::wstring path = GetKeyItemPath(tree, item);
      if (path.empty() || path.back() == L'\\') {
        FillValueList(L"", this, List());
        break;
      }
      FillValueList(path.c_str(), this, List());
      AddRegistryHistory(this);
      break;
    }
    case TVN_ITEMEXPANDINGW:
    case TVN_ITEMEXPANDINGA: {
      HTREEITEM item = reinterpret_cast<NMTREEVIEWW*>(header)->itemNew.hItem;
      if (item && !TreeView_GetChild(tree, item))
        ExpandKeyItem(this, GetKeyItemPath(tree, item).c_str(), tree, item);
      return 0;
    }
    case NM_RCLICK:
      ShowTreeMenu();
      return 1;
    case TVN_BEGINLABELEDITW: {
      HTREEITEM item = reinterpret_cast<NMTVDISPINFOW*>(header)->item.hItem;
      if (IsRegistryRootPath(GetKeyItemPath(tree, item).c_str())) return 1;
      if (HWND edit = TreeView_GetEditControl(tree)) new CTreeviewEdit(edit, this, tree);
      return 0;
    }
    case TVN_ENDLABELEDITW:
      EndKeyLabelEdit(this, reinterpret_cast<NMTVDISPINFOW*>(header));
      return 0;
    case TVN_KEYDOWN:
      return OnKeyCommand(reinterpret_cast<NMTVKEYDOWN*>(header)->wVKey);
    case NM_CUSTOMDRAW: {
      NMTVCUSTOMDRAW* draw = reinterpret_cast<NMTVCUSTOMDRAW*>(header);
      if (draw->nmcd.dwDrawStage == CDDS_PREPAINT) return CDRF_NOTIFYITEMDRAW;
      if (draw->nmcd.dwDrawStage == CDDS_ITEMPREPAINT && (draw->nmcd.uItemState & CDIS_SELECTED)) {
        draw->clrText = GetSysColor(COLOR_HIGHLIGHTTEXT);
        draw->clrTextBk = GetSysColor(COLOR_HIGHLIGHT);
      }
      return CDRF_DODEFAULT;
    }
    default:
      break;
  }
  return 0;
}

LRESULT CRegistryDlg::OnListNotify(NMHDR* header) {
  switch (header->code) {
    case NM_RCLICK:
      ShowListMenu();
      return 1;
    case NM_DBLCLK:
      PostMessageW(m_hWnd, WM_COMMAND, ID_REG_MODIFY, 0);
      break;
    case LVN_ENDLABELEDITW:
      EndValueLabelEdit(this, reinterpret_cast<NMLVDISPINFOW*>(header));
      return 0;
    case LVN_KEYDOWN:
      return OnKeyCommand(reinterpret_cast<NMLVKEYDOWN*>(header)->wVKey);
    case NM_CUSTOMDRAW: {
      NMLVCUSTOMDRAW* draw = reinterpret_cast<NMLVCUSTOMDRAW*>(header);
      if (draw->nmcd.dwDrawStage == CDDS_PREPAINT) return CDRF_NOTIFYITEMDRAW;
      if (draw->nmcd.dwDrawStage == CDDS_ITEMPREPAINT &&
          ListView_GetItemState(header->hwndFrom, (int)draw->nmcd.dwItemSpec, LVIS_SELECTED)) {
        draw->clrText = GetSysColor(COLOR_HIGHLIGHTTEXT);
        draw->clrTextBk = GetSysColor(COLOR_HIGHLIGHT);
        draw->clrFace = GetSysColor(COLOR_HIGHLIGHT);
      }
      return CDRF_DODEFAULT;
    }
    default:
      break;
  }
  return 0;
}

LRESULT CRegistryDlg::OnNotify(int controlId, NMHDR* header) {
  if (controlId == IDC_REG_TREE) return OnTreeNotify(header);
  if (controlId == IDC_REG_VALUES) return OnListNotify(header);
  return 0;
}

LRESULT CRegistryDlg::OnClose(WPARAM wParam) {
  RemoveEditorKeys(this);
  SaveWindowPlacement(m_hWnd, L"RegistryPlacement");
  SaveListColumnWidths(List(), L"ListviewKeyColumn");
  RevokeRegFileDropTargets(this);
  // What the editor changed is one command on the image, kept whole once
  // the hives are back in it (or taken back whole).
  if (m_image) m_image->EndCommand(m_image->UnloadHives());
  HWND tree = Tree();
  HTREEITEM selected = TreeView_GetSelection(tree);
  SaveLastKey(selected ? GetKeyItemPath(tree, selected).c_str() : L"HKEY_CURRENT_USER");
  TreeView_SetImageList(tree, nullptr, TVSIL_NORMAL);
  ListView_SetImageList(List(), nullptr, LVSIL_SMALL);
  if (m_treeImages) ImageList_Destroy(m_treeImages);
  if (m_listImages) ImageList_Destroy(m_listImages);
  m_treeImages = m_listImages = nullptr;
  SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, 0);
  SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, 0);
  if (m_smallIcon) DestroyIcon(m_smallIcon);
  if (m_largeIcon) DestroyIcon(m_largeIcon);
  m_smallIcon = m_largeIcon = nullptr;
  return EndDialogOnClose(wParam);
}
