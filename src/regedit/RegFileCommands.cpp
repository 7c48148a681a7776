// The registry editor's .reg file commands (import, export, dropped files)
// and its search commands.
#include <windows.h>
#include <commdlg.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "common/PathUtil.h"
#include "image/mount/MountedImage.h"
#include "registry/hive/RegTypes.h"
#include "regedit/ImportRegistryDlg.h"
#include "regedit/RegistryCommands.h"
#include "regedit/RegistryDlg.h"
#include "regedit/SearchDialogs.h"
#include "regedit/ValueAccess.h"
#include "resources/ResourceIds.h"
#include "ui/UiResources.h"
#include "ui/dragdrop/OleObjects.h"

namespace {

const DWORD kImportBufferChars = 65536;
const int kExportPathChars = 360;
const int kDialogPathChars = 260;

// The ".reg" filter with its "|" separators turned into NULs.
std::wstring RegFileFilter(CRegistryDlg* editor) {
  std::wstring filter = LoadWindowString(editor, IDS_REG_FILE_FILTER);
  for (wchar_t& c : filter)
    if (c == L'|') c = 0;
  filter.push_back(0);
  return filter;
}

void ReportImport(CRegistryDlg* editor, HWND owner, bool ok, const wchar_t* paths) {
  ShowEditorMessage(editor, owner, ok ? IDS_REG_IMPORT_DONE : IDS_REG_IMPORT_FAILED,
                    IDS_PROMPT_CAPTION, ok ? MB_ICONINFORMATION : MB_ICONWARNING, paths);
}

bool EndsWithRegNoCase(const wchar_t* name) {
  const size_t n = wcslen(name);
  return n >= 4 && !_wcsicmp(name + n - 4, L".reg");
}

// What the save dialog's hook hands back.
struct ExportChoice {
  wchar_t* branch;  // 260 characters
  int filter;
};

}  // namespace

void ImportRegistryFiles(CRegistryDlg* editor) {
  std::vector<wchar_t> files(kImportBufferChars, 0);
  std::wstring filter = RegFileFilter(editor);
  OPENFILENAMEW ofn = {};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = editor->m_hWnd;
  ofn.lpstrFilter = filter.c_str();
  ofn.nFilterIndex = 1;
  ofn.lpstrFile = files.data();
  ofn.nMaxFile = kImportBufferChars;
  ofn.Flags = OFN_ALLOWMULTISELECT | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_EXPLORER |
              OFN_ENABLESIZING | OFN_LONGNAMES | OFN_HIDEREADONLY;
  if (!GetOpenFileNameW(&ofn) || !files[0]) return;
  ImportRegFileSelection(editor, files.data());
}

void ImportRegFileSelection(CRegistryDlg* editor, const wchar_t* selection) {
  if (!selection || !selection[0]) return;
  const wchar_t* names = selection + wcslen(selection) + 1;
  if (!names[0]) {
    bool ok = CImportRegistryDlg::Run(editor, selection) == 1;
    ReportImport(editor, editor->m_hWnd, ok, selection);
    return;
  }
  std::wstring done, failed;
  for (const wchar_t* name = names; *name; name += wcslen(name) + 1) {
    wchar_t path[kPathChars];
    wcsncpy(path, selection, kPathChars - 1);
    path[kPathChars - 1] = 0;
    AppendPathPart(path, kPathChars, name);
    (CImportRegistryDlg::Run(editor, path) == 1 ? done : failed) += std::wstring(path) + L"\r\n";
  }
  if (!done.empty()) ReportImport(editor, editor->m_hWnd, true, (done + L"\r\n").c_str());
  if (!failed.empty()) ReportImport(editor, editor->m_hWnd, false, (failed + L"\r\n").c_str());
}

namespace {

void LayOutExportOptions(HWND options, int width) {
  // The group box keeps its left margin on the right; the branch edit
  // ends inside it as far from its edge as the radio buttons start.
  HWND group = GetDlgItem(options, IDC_EXPORT_RANGE);
  HWND edit = GetDlgItem(options, IDC_EXPORT_BRANCH_PATH);
  RECT box, field, radio;
  if (!GetWindowRect(group, &box) || !GetWindowRect(edit, &field) ||
      !GetWindowRect(GetDlgItem(options, IDC_EXPORT_ALL), &radio))
    return;
  MapWindowPoints(nullptr, options, reinterpret_cast<POINT*>(&box), 2);
  MapWindowPoints(nullptr, options, reinterpret_cast<POINT*>(&field), 2);
  MapWindowPoints(nullptr, options, reinterpret_cast<POINT*>(&radio), 2);
  const int boxRight = width - box.left;
  const int fieldRight = boxRight - (radio.left - box.left);
  if (boxRight - box.left > 0)
    SetWindowPos(group, nullptr, 0, 0, boxRight - box.left, box.bottom - box.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  if (fieldRight - field.left > 0)
    SetWindowPos(edit, nullptr, 0, 0, fieldRight - field.left, field.bottom - field.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace

UINT_PTR CALLBACK ExportSaveDialogHook(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: {
      OPENFILENAMEW* ofn = reinterpret_cast<OPENFILENAMEW*>(lParam);
      ExportChoice* choice = reinterpret_cast<ExportChoice*>(ofn->lCustData);
      CheckRadioButton(dialog, IDC_EXPORT_ALL, IDC_EXPORT_BRANCH, IDC_EXPORT_BRANCH);
      SetDlgItemTextW(dialog, IDC_EXPORT_BRANCH_PATH, choice->branch);
      SetWindowLongPtrW(dialog, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(choice));
      break;
    }
    case WM_SIZE:
      if (wParam == SIZE_RESTORED || wParam == SIZE_MAXIMIZED)
        LayOutExportOptions(dialog, LOWORD(lParam));
      break;
    case WM_NOTIFY: {
      OFNOTIFYW* notify = reinterpret_cast<OFNOTIFYW*>(lParam);
      if (notify->hdr.code != CDN_FILEOK) break;
      ExportChoice* choice =
          reinterpret_cast<ExportChoice*>(GetWindowLongPtrW(dialog, GWLP_USERDATA));
      if (!choice) break;
      choice->filter = IsDlgButtonChecked(dialog, IDC_EXPORT_FILTER) == BST_CHECKED;
      if (IsDlgButtonChecked(dialog, IDC_EXPORT_ALL) == BST_CHECKED)
        choice->branch[0] = 0;
      else
        GetDlgItemTextW(dialog, IDC_EXPORT_BRANCH_PATH, choice->branch, kDialogPathChars);
      break;
    }
    default:
      break;
  }
  return 0;
}

BOOL ShowExportSaveDialog(CRegistryDlg* owner, wchar_t* file, const wchar_t* filter,
                          wchar_t* branch, int* filterKeys) {
  HMODULE module = owner->m_hInstance ? owner->m_hInstance : GetUiModule();
  DWORD size = 0;
  const void* options = FindUiResource(module, RT_DIALOG, MAKEINTRESOURCEW(IDD_REG_EXPORT_OPTIONS),
                                       owner->m_language, &size);
  ExportChoice choice = {branch, 0};
  OPENFILENAMEW ofn = {};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = owner->m_hWnd;
  ofn.hInstance = reinterpret_cast<HINSTANCE>(const_cast<void*>(options));
  ofn.lpstrFilter = filter;
  ofn.nFilterIndex = 1;
  ofn.lpstrFile = file;
  ofn.nMaxFile = kDialogPathChars;
  ofn.lCustData = reinterpret_cast<LPARAM>(&choice);
  ofn.lpfnHook = ExportSaveDialogHook;
  ofn.Flags = OFN_EXPLORER | OFN_ENABLESIZING | OFN_LONGNAMES | OFN_OVERWRITEPROMPT |
              OFN_NOVALIDATE | OFN_HIDEREADONLY | OFN_ENABLEHOOK |
              (options ? OFN_ENABLETEMPLATEHANDLE : 0);
  if (!GetSaveFileNameW(&ofn)) return FALSE;
  *filterKeys = choice.filter;
  return TRUE;
}

uint32_t ExportRegistryBranch(CRegistryDlg* editor, const wchar_t* file, const wchar_t* branch,
                              int filter) {
  if (!file || !file[0]) return REG_STATUS_FAILURE;
  wchar_t name[kExportPathChars + 4];
  wcsncpy(name, file, kExportPathChars);
  name[kExportPathChars] = 0;
  if (!EndsWithRegNoCase(name) && wcslen(name) + 4 < (size_t)kExportPathChars)
    wcscat(name, L".reg");
  return editor->m_image->ExportRegFile(branch, 0, name, 0, filter);
}

void ExportRegistryFile(CRegistryDlg* editor) {
  wchar_t branch[kExportPathChars] = {};
  wcsncpy(branch, SelectedKeyPath(editor).c_str(), kDialogPathChars - 1);
  wchar_t file[kExportPathChars] = {};
  std::wstring filter = RegFileFilter(editor);
  int filterKeys = 0;
  if (!ShowExportSaveDialog(editor, file, filter.c_str(), branch, &filterKeys)) return;
  ExportRegistryBranch(editor, file, branch, filterKeys);
}

DWORD RegFileDropCallback(LPARAM context, HWND target, const wchar_t* path, wchar_t* description,
                          int descriptionSize, BOOL drop) {
  CRegistryDlg* editor = reinterpret_cast<CRegistryDlg*>(context);
  if (!path || !path[0]) return DROPEFFECT_NONE;
  if (!drop) {
    if (_wcsicmp(FindExtensionPart(path), L"reg") != 0) return DROPEFFECT_NONE;
    if (description && descriptionSize > 0) {
      const wchar_t* name = FindFileNamePart(path);
      wcsncpy(description, name[0] ? name : path, (size_t)descriptionSize - 1);
      description[descriptionSize - 1] = 0;
    }
    return DROPEFFECT_MOVE;
  }
  if (!editor) return DROPEFFECT_NONE;
  const bool ok = CImportRegistryDlg::Run(editor, path) == 1;
  ShowEditorMessage(editor, GetParent(target), ok ? IDS_REG_IMPORT_DONE : IDS_REG_IMPORT_FAILED,
                    IDS_REG_EDITOR_NAME, ok ? MB_ICONINFORMATION : MB_ICONWARNING, path);
  return ok ? DROPEFFECT_MOVE : DROPEFFECT_NONE;
}

void RegisterRegFileDropTargets(CRegistryDlg* editor) {
  const LPARAM context = reinterpret_cast<LPARAM>(editor);
  editor->m_treeDropTarget = new CDropTarget(editor->Tree(), RegFileDropCallback, context);
  RegisterDragDrop(editor->Tree(), editor->m_treeDropTarget);
  editor->m_listDropTarget = new CDropTarget(editor->List(), RegFileDropCallback, context);
  RegisterDragDrop(editor->List(), editor->m_listDropTarget);
}

void RevokeRegFileDropTargets(CRegistryDlg* editor) {
  RevokeDragDrop(editor->Tree());
  RevokeDragDrop(editor->List());
  delete editor->m_treeDropTarget;
  delete editor->m_listDropTarget;
  editor->m_treeDropTarget = editor->m_listDropTarget = nullptr;
}

namespace {

void AfterSearch(CRegistryDlg* editor, INT_PTR result) {
  if (result == 1) {
    ShowEditorMessage(editor, editor->m_hWnd, IDS_REG_SEARCH_DONE, IDS_PROMPT_CAPTION,
                      MB_ICONINFORMATION);
  } else if (ListView_GetSelectedCount(editor->List()) > 0) {
    SetFocus(editor->List());
  }
}

void RunTextSearch(CRegistryDlg* editor) {
  CFindNextDlg* progress = new CFindNextDlg(editor, editor->m_image);
  AfterSearch(editor, progress->Create(editor, IDD_REG_FIND_PROGRESS, TRUE, 0));
}

void RunHexSearch(CRegistryDlg* editor) {
  CFindHexNextDlg* progress = new CFindHexNextDlg(editor->m_hexSearchText, editor->m_image);
  AfterSearch(editor, progress->Create(editor, IDD_REG_FIND_PROGRESS, TRUE, 0));
}

}  // namespace

void FindInRegistry(CRegistryDlg* editor) {
  CFindDlg* find = new CFindDlg(editor);
  if (find->Create(editor, IDD_REG_FIND, TRUE, 0) != 1 || !editor->m_textSearchPattern) return;
  editor->m_hexSearchText.clear();
  RunTextSearch(editor);
}

void FindHexInRegistry(CRegistryDlg* editor) {
  CFindHexDlg* find = new CFindHexDlg(editor->m_hexSearchText);
  if (find->Create(editor, IDD_REG_FIND_HEX, TRUE, 0) != 1 || editor->m_hexSearchText.empty())
    return;
  free(editor->m_textSearchPattern);
  editor->m_textSearchPattern = nullptr;
  RunHexSearch(editor);
}

void FindNextInRegistry(CRegistryDlg* editor) {
  if (editor->m_textSearchPattern)
    RunTextSearch(editor);
  else if (!editor->m_hexSearchText.empty())
    RunHexSearch(editor);
  else
    FindInRegistry(editor);
}
