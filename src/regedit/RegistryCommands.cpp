// The editing commands of the registry editor: delete, rename, new keys and
// values with their label edits, the value editors and copy key name.
#include "regedit/RegistryCommands.h"

#include <windowsx.h>
#include <stdio.h>

#include <vector>

#include "common/Clipboard.h"
#include "image/mount/MountedImage.h"
#include "registry/hive/RegTypes.h"
#include "regedit/RegistryDlg.h"
#include "regedit/ResourceViewers.h"
#include "regedit/ValueAccess.h"
#include "regedit/ValueEditors.h"
#include "regedit/ValueText.h"
#include "resources/ResourceIds.h"
#include "ui/controls/ListView.h"
#include "ui/controls/TreeView.h"

namespace {

const int kNameMax = 360;

struct NewValueKind {
  UINT command;
  uint32_t type;
  uint32_t bytes;
};
const NewValueKind kNewValues[] = {
    {ID_REG_NEW_STRING, REG_SZ, 2},      {ID_REG_NEW_BINARY, REG_BINARY, 2},
    {ID_REG_NEW_DWORD, REG_DWORD, 4},    {ID_REG_NEW_QWORD, REG_QWORD, 8},
    {ID_REG_NEW_MULTI, REG_MULTI_SZ, 4}, {ID_REG_NEW_EXPAND, REG_EXPAND_SZ, 4},
};

const NewValueKind* FindNewValueKind(uint32_t type) {
  for (const NewValueKind& k : kNewValues)
    if (k.type == type) return &k;
  return nullptr;
}

std::wstring Numbered(CRegistryDlg* editor, UINT formatId, unsigned n) {
  std::wstring format = LoadWindowString(editor, formatId);
  wchar_t name[101];
  _snwprintf(name, 100, format.c_str(), n);
  name[100] = 0;
  return name;
}

// The text a label edit ended with: the notification's, else (cancelled)
// what still stands in the edit control.
std::wstring LabelEditText(const wchar_t* given, HWND edit) {
  if (given) return given;
  wchar_t text[kNameMax] = {};
  if (edit) GetWindowTextW(edit, text, kNameMax);
  return text;
}

void ProposeLabel(HWND edit, const std::wstring& name) {
  if (!edit) return;
  SetWindowTextW(edit, name.c_str());
  SendMessageW(edit, EM_SETSEL, 0, -1);
}

std::wstring ParentPath(const std::wstring& path) {
  size_t cut = path.rfind(L'\\');
  return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut);
}

void ShowAddress(CRegistryDlg* editor, const std::wstring& path) {
  HWND combo = editor->Combo();
  ComboBox_SetCurSel(combo, -1);
  SetWindowTextW(combo, path.c_str());
}

}  // namespace

void DeleteRegistrySelection(CRegistryDlg* editor) {
  HWND tree = editor->Tree(), list = editor->List();
  CMountedImage* image = editor->m_image;
  if (GetFocus() != tree) {
    const int n = ListView_GetSelectedCount(list);
    const std::wstring path = SelectedKeyPath(editor);
    if (n <= 0 || path.empty()) return;
    if (ShowEditorMessage(editor, editor->m_hWnd, IDS_REG_DELETE_VALUES, IDS_PROMPT_CAPTION,
                          MB_YESNO | MB_ICONEXCLAMATION) != IDYES)
      return;
    int row = -1;
    for (int i = 0; i < n; ++i) {
      row = ListView_GetNextItem(list, row, LVNI_SELECTED);
      if (row < 0) break;
      const std::wstring name = RowValueName(editor, row);
      if (image->RegDeleteValue(path.c_str(), name.c_str()) != REG_STATUS_OK) continue;
      if (row == 0) {
        ListSetItemText(list, 0, 2, L"");
      } else {
        ListView_DeleteItem(list, row);
        --row;
      }
    }
    return;
  }
  HTREEITEM item = TreeView_GetSelection(tree);
  if (!item) return;
  if (ShowEditorMessage(editor, editor->m_hWnd, IDS_REG_DELETE_KEY, IDS_PROMPT_CAPTION,
                        MB_YESNO | MB_ICONEXCLAMATION) != IDYES)
    return;
  if (image->RegDeleteKey(GetKeyItemPath(tree, item).c_str()) == REG_STATUS_OK)
    TreeDeleteItem(tree, item);
}

void StartRegistryRename(CRegistryDlg* editor) {
  HWND tree = editor->Tree(), list = editor->List();
  if (GetFocus() == tree) {
    if (HTREEITEM item = TreeView_GetSelection(tree)) TreeView_EditLabel(tree, item);
    return;
  }
  int row = ListView_GetNextItem(list, -1, LVNI_SELECTED);
  if (row < 0) return;
  if (row == 0 && ListCellText(list, 0, 0) == DefaultValueLabel(editor)) return;
  SetFocus(list);
  ListView_EditLabel(list, row);
}

void ModifySelectedValue(CRegistryDlg* editor, bool binary) {
  HWND list = editor->List();
  if (GetFocus() != list) return;
  const int row = ListView_GetNextItem(list, -1, LVNI_SELECTED);
  if (row < 0) return;
  CMountedImage* image = editor->m_image;
  if (binary) {
    new CBinaryDlg(editor, image, row);
    return;
  }
  const std::wstring type = ListCellText(list, row, 1);
  const wchar_t* t = type.c_str();
  if (!_wcsicmp(t, L"REG_SZ") || !_wcsicmp(t, L"REG_EXPAND_SZ"))
    new CStringDlg(editor, image, row);
  else if (!_wcsicmp(t, L"REG_MULTI_SZ"))
    new CMultiSzDlg(editor, image, row);
  else if (!_wcsicmp(t, L"REG_DWORD") || !_wcsicmp(t, L"REG_DWORD_BIG_ENDIAN"))
    new CIntegerDlg(editor, image, IDD_REG_EDIT_DWORD, row);
  else if (!_wcsicmp(t, L"REG_QWORD"))
    new CIntegerDlg(editor, image, IDD_REG_EDIT_QWORD, row);
  else if (!_wcsicmp(t, L"REG_RESOURCE_REQUIREMENTS_LIST"))
    new CRequirementsListDlg(editor, image, row);
  else if (!_wcsicmp(t, L"REG_RESOURCE_LIST"))
    new CResourceListDlg(editor, image, 1, row);
  else if (!_wcsicmp(t, L"REG_FULL_RESOURCE_DESCRIPTOR"))
    new CResourceListDlg(editor, image, 0, row);
  else
    new CBinaryDlg(editor, image, row);
}

void CreateNewKey(CRegistryDlg* editor) {
  HWND tree = editor->Tree();
  HTREEITEM parent = TreeView_GetSelection(tree);
  if (!parent) return;
  const std::wstring path = GetKeyItemPath(tree, parent);
  std::wstring name;
  for (unsigned n = 1;; ++n) {
    name = Numbered(editor, IDS_REG_NEW_KEY_NAME, n);
    if (editor->m_image->RegGetSubkeyCount((path + L"\\" + name).c_str()) < 0) break;
  }
  SetFocus(tree);
  TreeView_Expand(tree, parent, TVE_EXPAND);
  if (!TreeGetItemChildren(tree, parent)) TreeSetItemChildren(tree, parent, TRUE);
  HTREEITEM item = TreeAppendItem(tree, parent, L"", FALSE);
  if (!item) return;
  TreeView_SelectItem(tree, item);
  ProposeLabel(TreeView_EditLabel(tree, item), name);
}

void CreateNewValue(CRegistryDlg* editor, UINT command) {
  HWND list = editor->List();
  const std::wstring path = SelectedKeyPath(editor);
  if (path.empty()) return;
  const NewValueKind* kind = nullptr;
  for (const NewValueKind& k : kNewValues)
    if (k.command == command) kind = &k;
  if (!kind) return;
  std::wstring name;
  for (unsigned n = 1;; ++n) {
    name = Numbered(editor, IDS_REG_NEW_VALUE_NAME, n);
    uint32_t type = 0xFFFFFFFF;
    editor->m_image->RegQueryValue(path.c_str(), name.c_str(), &type, nullptr);
    if (type == 0xFFFFFFFF) break;
  }
  SetFocus(list);
  ListClearItemSelection(list, -1);
  const int row = ListAppendItem(list, L"", ValueTypeImage(kind->type));
  ListView_EnsureVisible(list, row, FALSE);
  wchar_t typeName[64];
  FormatValueTypeName(kind->type, typeName, 64);
  ListSetItemText(list, row, 1, typeName);
  ListSetItemParam(list, row, kind->type);
  ProposeLabel(ListView_EditLabel(list, row), name);
}

namespace {

// A message box shown while a label edit ends takes the focus from the edit
// box, which some tree and list controls answer with the same end once
// more: that second end finds the work done and does nothing.
bool g_endingLabelEdit = false;

struct LabelEditEnd {
  LabelEditEnd() : first(!g_endingLabelEdit) { g_endingLabelEdit = true; }
  ~LabelEditEnd() {
    if (first) g_endingLabelEdit = false;
  }
  const bool first;
};

}  // namespace

void EndKeyLabelEdit(CRegistryDlg* editor, NMTVDISPINFOW* info) {
  LabelEditEnd end;
  if (!end.first) return;
  HWND tree = editor->Tree();
  HTREEITEM item = info->item.hItem ? info->item.hItem : TreeView_GetSelection(tree);
  if (!item) return;
  const std::wstring text = LabelEditText(info->item.pszText, TreeView_GetEditControl(tree));
  wchar_t old[kNameMax];
  TreeGetItemText(tree, item, old);
  // A name with a backslash would make nested keys: refused as empty is.
  const bool usable = !text.empty() && text.find(L'\\') == std::wstring::npos;
  if (old[0]) {
    if (!usable || !_wcsicmp(text.c_str(), old)) return;
    const std::wstring path = GetKeyItemPath(tree, item);
    const uint32_t r = editor->m_image->RegRenameKey(path.c_str(), text.c_str());
    // As Windows' editor: a name taken by a sibling is said so.
    if (r == REG_STATUS_EXISTS)
      ShowEditorMessage(editor, editor->m_hWnd, IDS_REG_RENAME_KEY_EXISTS, IDS_REG_EDITOR_NAME,
                        MB_ICONERROR, old);
    if (r != REG_STATUS_OK) return;
    TreeSetItemText(tree, item, text.c_str());
    ShowAddress(editor, ParentPath(path) + L"\\" + text);
    return;
  }
  // A new key: made now, or the placeholder goes.
  HTREEITEM parent = TreeView_GetParent(tree, item);
  const std::wstring path = GetKeyItemPath(tree, parent) + L"\\" + text;
  if (usable && editor->m_image->RegGetSubkeyCount(path.c_str()) < 0 &&
      editor->m_image->RegCreateKey(path.c_str()) == REG_STATUS_OK) {
    TreeSetItemText(tree, item, text.c_str());
    ShowAddress(editor, path);
    return;
  }
  TreeDeleteItem(tree, item);
  if (!TreeView_GetChild(tree, parent)) TreeSetItemChildren(tree, parent, FALSE);
  TreeView_SelectItem(tree, parent);
}

void EndValueLabelEdit(CRegistryDlg* editor, NMLVDISPINFOW* info) {
  LabelEditEnd end;
  if (!end.first) return;
  HWND list = editor->List();
  const int row = info->item.iItem;
  if (row < 0) return;
  const std::wstring text = LabelEditText(info->item.pszText, ListView_GetEditControl(list));
  const std::wstring old = ListCellText(list, row, 0);
  const std::wstring path = SelectedKeyPath(editor);
  CMountedImage* image = editor->m_image;
  if (!old.empty()) {
    if (text.empty() || text == old || (row == 0 && old == DefaultValueLabel(editor))) return;
    // The registry refuses a name that another value has, and the user is
    // told so.
    const uint32_t r = image->RegRenameValue(path.c_str(), old.c_str(), text.c_str());
    if (r == REG_STATUS_OK)
      ListSetItemText(list, row, 0, text.c_str());
    else if (r == REG_STATUS_EXISTS)
      ShowEditorMessage(editor, editor->m_hWnd, IDS_REG_RENAME_VALUE_EXISTS, IDS_REG_EDITOR_NAME,
                        MB_ICONERROR, old.c_str());
    return;
  }
  if (text.empty()) {
    ListView_DeleteItem(list, row);
    return;
  }
  // A new value: never over one that exists already.
  const NewValueKind* kind = FindNewValueKind((uint32_t)ListGetItemParam(list, row));
  uint32_t existing = 0xFFFFFFFF;
  image->RegQueryValue(path.c_str(), text.c_str(), &existing, nullptr);
  const uint8_t zeros[8] = {};
  if (kind && existing == 0xFFFFFFFF &&
      image->RegSetValue(path.c_str(), text.c_str(), zeros, kind->bytes, kind->type) ==
          REG_STATUS_OK) {
    ListSetItemText(list, row, 0, text.c_str());
    wchar_t data[kNameMax];
    FormatValueData(kind->type, zeros, kind->bytes, data, kNameMax);
    ListSetItemText(list, row, 2, data);
    return;
  }
  ListView_DeleteItem(list, row);
}

void CopySelectedKeyName(CRegistryDlg* editor) {
  const std::wstring path = SelectedKeyPath(editor);
  if (!path.empty()) CopyTextToClipboard(path.c_str(), (int)path.size());
}
