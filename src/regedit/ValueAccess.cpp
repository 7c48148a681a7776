#include "regedit/ValueAccess.h"

#include <commctrl.h>
#include <stdlib.h>

#include "image/mount/MountedImage.h"
#include "registry/hive/RegTypes.h"
#include "regedit/RegistryDlg.h"
#include "resources/ResourceIds.h"
#include "ui/UiResources.h"
#include "ui/controls/ListView.h"

namespace {
const int kCellMax = 1024;
const int kMessageMax = 65536;
}  // namespace

std::wstring SelectedKeyPath(CRegistryDlg* editor) {
  if (!editor) return std::wstring();
  HWND tree = editor->Tree();
  HTREEITEM item = TreeView_GetSelection(tree);
  return item ? GetKeyItemPath(tree, item) : std::wstring();
}

std::wstring ListCellText(HWND list, int row, int column) {
  wchar_t text[kCellMax];
  ListGetItemText(list, row, column, text, kCellMax);
  return text;
}

std::wstring LoadWindowString(CWindow* window, UINT id) {
  wchar_t text[1024];
  HMODULE module = window && window->m_hInstance ? window->m_hInstance : GetUiModule();
  LoadUiString(module, id, window ? window->m_language : 2052, text, 1024);
  return text;
}

std::wstring DefaultValueLabel(CWindow* window) {
  return LoadWindowString(window, IDS_REG_DEFAULT_NAME);
}

std::wstring RowValueName(CRegistryDlg* editor, int row) {
  std::wstring name = ListCellText(editor->List(), row, 0);
  if (row == 0 && name == DefaultValueLabel(editor)) name.clear();
  return name;
}

bool ReadHiveValue(CMountedImage* image, const std::wstring& keyPath, const std::wstring& name,
                   uint32_t* type, std::vector<uint8_t>* data) {
  data->clear();
  *type = 0;
  if (!image || keyPath.empty()) return false;
  RegValueBuf* buf = nullptr;
  if (image->RegQueryValue(keyPath.c_str(), name.c_str(), type, &buf) != REG_STATUS_OK) {
    free(buf);
    return false;
  }
  if (buf) data->assign(buf->data, buf->data + buf->length);
  free(buf);
  return true;
}

int ShowEditorMessage(CWindow* window, HWND owner, UINT textId, UINT captionId, UINT flags,
                      const wchar_t* argument) {
  std::wstring format = LoadWindowString(window, textId);
  std::wstring caption = captionId ? LoadWindowString(window, captionId) : std::wstring();
  std::wstring text = format;
  if (argument) {
    size_t at = format.find(L"%s");
    if (at != std::wstring::npos) text = format.substr(0, at) + argument + format.substr(at + 2);
  }
  if (text.size() >= kMessageMax) text.resize(kMessageMax - 1);
  return MessageBoxW(owner, text.c_str(), caption.c_str(), flags | MB_SETFOREGROUND);
}
