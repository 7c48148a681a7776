// The key tree of the registry editor: the hive roots, children made when a
// key is first expanded, the refresh that merges the registry into the shown
// items, and item paths.
#include <windows.h>
#include <stdlib.h>

#include "image/mount/MountedImage.h"
#include "registry/RegistryFacade.h"
#include "regedit/RegistryDlg.h"
#include "regedit/ValueText.h"
#include "ui/controls/TreeView.h"

namespace {

const wchar_t kUser[] = L"HKEY_CURRENT_USER";
const wchar_t kMachine[] = L"HKEY_LOCAL_MACHINE";
const wchar_t* const kMachineHives[] = {L"BCD00000000", L"SAM", L"SECURITY", L"SOFTWARE",
                                        L"SYSTEM"};
const int kPathMax = 360;

HTREEITEM InsertKeyItem(HWND tree, HTREEITEM parent, HTREEITEM after, const wchar_t* name,
                        BOOL children) {
  TVINSERTSTRUCTW ins = {};
  ins.hParent = parent;
  ins.hInsertAfter = after;
  ins.item.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE | TVIF_CHILDREN;
  ins.item.pszText = const_cast<wchar_t*>(name);
  ins.item.iImage = 0;
  ins.item.iSelectedImage = 1;
  ins.item.cChildren = children ? 1 : 0;
  return reinterpret_cast<HTREEITEM>(
      SendMessageW(tree, TVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&ins)));
}

// The subkey records of a key (malloc'd, count first, records from byte 8)
// or null; *sized tells whether the registry reported a size at all.
uint8_t* EnumSubkeys(CMountedImage* image, const wchar_t* path, bool* sized) {
  uint32_t size = 0;
  image->RegEnumSubkeys(path, nullptr, &size);
  *sized = size != 0;
  if (!size) return nullptr;
  uint8_t* buffer = static_cast<uint8_t*>(malloc(size));
  if (!buffer) return nullptr;
  if (image->RegEnumSubkeys(path, buffer, &size) != REG_STATUS_OK || size < 8) {
    free(buffer);
    return nullptr;
  }
  return buffer;
}

uint32_t SubkeyCount(const uint8_t* buffer) {
  return *reinterpret_cast<const uint32_t*>(buffer);
}
const RegSubkeyEntry* SubkeyAt(const uint8_t* buffer, uint32_t i) {
  return reinterpret_cast<const RegSubkeyEntry*>(buffer + 8 + (size_t)i * sizeof(RegSubkeyEntry));
}

void DeleteChildren(HWND tree, HTREEITEM item) {
  HTREEITEM child;
  while ((child = TreeView_GetChild(tree, item)) != nullptr) TreeDeleteItem(tree, child);
}

}  // namespace

bool IsRegistryRootPath(const wchar_t* path, bool withMachine) {
  if (!_wcsicmp(path, kUser)) return true;
  if (!_wcsicmp(path, kMachine)) return withMachine;
  for (const wchar_t* hive : kMachineHives) {
    wchar_t full[64];
    _snwprintf(full, 64, L"%s\\%s", kMachine, hive);
    full[63] = 0;
    if (!_wcsicmp(path, full)) return true;
  }
  return false;
}

void PopulateKeyTree(CRegistryDlg* window) {
  CMountedImage* image = window->m_image;
  HWND tree = window->Tree();
  if (!image || !image->LoadHives(0x3F)) return;
  HTREEITEM user =
      InsertKeyItem(tree, TVI_ROOT, TVI_LAST, kUser, image->RegGetSubkeyCount(kUser) >= 1);
  if (user) TreeView_SelectItem(tree, user);
  HTREEITEM machine = InsertKeyItem(tree, TVI_ROOT, TVI_LAST, kMachine, TRUE);
  if (!machine) return;
  for (const wchar_t* hive : kMachineHives) {
    wchar_t path[64];
    _snwprintf(path, 64, L"%s\\%s", kMachine, hive);
    path[63] = 0;
    InsertKeyItem(tree, machine, TVI_LAST, hive, image->RegGetSubkeyCount(path) >= 1);
  }
}

int ExpandKeyItem(CRegistryDlg* window, const wchar_t* path, HWND tree, HTREEITEM item) {
  bool sized = false;
  uint8_t* buffer = EnumSubkeys(window->m_image, path, &sized);
  int added = 0;
  if (buffer) {
    for (uint32_t i = 0, n = SubkeyCount(buffer); i < n; ++i) {
      const RegSubkeyEntry* e = SubkeyAt(buffer, i);
      wchar_t name[1024];
      wcsncpy(name, e->name, 1023);
      name[1023] = 0;
      if (InsertKeyItem(tree, item, TVI_LAST, name, e->subkeyCount != 0)) ++added;
    }
    free(buffer);
  }
  if (!added) TreeSetItemChildren(tree, item, FALSE);
  return added;
}

void RefreshKeySubtree(CRegistryDlg* window, HWND tree, HTREEITEM item, const wchar_t* path) {
  CMountedImage* image = window->m_image;
  HTREEITEM child = TreeView_GetChild(tree, item);
  if (!child) {
    if (!TreeGetItemChildren(tree, item) && image->RegGetSubkeyCount(path) >= 1)
      TreeSetItemChildren(tree, item, TRUE);
    return;
  }
  bool sized = false;
  uint8_t* buffer = EnumSubkeys(image, path, &sized);
  if (!sized) {
    DeleteChildren(tree, item);
    return;
  }
  if (!buffer) return;
  HTREEITEM previous = nullptr;
  for (uint32_t i = 0, n = SubkeyCount(buffer); i < n;) {
    wchar_t name[1024];
    wcsncpy(name, SubkeyAt(buffer, i)->name, 1023);
    name[1023] = 0;
    wchar_t sub[kPathMax + 1];
    _snwprintf(sub, kPathMax, L"%s\\%s", path, name);
    sub[kPathMax] = 0;
    int order = 1;  // no item left: the name is missing
    if (child) {
      wchar_t text[kPathMax];
      TreeGetItemText(tree, child, text);
      order = CompareNamesAsciiNoCase(text, name);
    }
    if (order == 0) {
      RefreshKeySubtree(window, tree, child, sub);
      previous = child;
      child = TreeView_GetNextSibling(tree, child);
      ++i;
    } else if (order < 0) {
      HTREEITEM gone = child;
      child = TreeView_GetNextSibling(tree, child);
      TreeDeleteItem(tree, gone);
    } else {
      HTREEITEM added = InsertKeyItem(tree, item, previous ? previous : TVI_FIRST, name, FALSE);
      if (added) {
        RefreshKeySubtree(window, tree, added, sub);
        previous = added;
      }
      ++i;
    }
  }
  free(buffer);
  while (child) {
    HTREEITEM gone = child;
    child = TreeView_GetNextSibling(tree, child);
    TreeDeleteItem(tree, gone);
  }
}

void RefreshKeyTree(CRegistryDlg* window) {
  HWND tree = window->Tree();
  HTREEITEM root = TreeView_GetRoot(tree);
  wchar_t text[kPathMax];
  if (root) {
    TreeGetItemText(tree, root, text);
    if (!_wcsicmp(text, kUser)) RefreshKeySubtree(window, tree, root, kUser);
    root = TreeView_GetNextSibling(tree, root);
  }
  if (root) {
    TreeGetItemText(tree, root, text);
    if (!_wcsicmp(text, kMachine)) {
      HTREEITEM hive = TreeView_GetChild(tree, root);
      for (const wchar_t* name : kMachineHives) {
        if (!hive) break;
        TreeGetItemText(tree, hive, text);
        if (!_wcsicmp(text, name)) {
          wchar_t path[64];
          _snwprintf(path, 64, L"%s\\%s", kMachine, name);
          path[63] = 0;
          RefreshKeySubtree(window, tree, hive, path);
        }
        hive = TreeView_GetNextSibling(tree, hive);
      }
    }
  }
  HTREEITEM selected = TreeView_GetSelection(tree);
  if (selected) FillValueList(GetKeyItemPath(tree, selected).c_str(), window, window->List());
}

std::wstring GetKeyItemPath(HWND tree, HTREEITEM item) {
  wchar_t text[kPathMax];
  TreeGetItemText(tree, item, text);
  std::wstring path = text;
  for (HTREEITEM up = TreeView_GetParent(tree, item); up; up = TreeView_GetParent(tree, up)) {
    TreeGetItemText(tree, up, text);
    path = std::wstring(text) + L"\\" + path;
  }
  return path;
}
