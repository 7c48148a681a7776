// CRegistryDlg: the offline registry editor, a resizable modal window with
// the key tree over the six hives of a mounted image beside the value list.
// The hives are loaded when it opens and written back when it closes; in
// between every change stays in the hives in memory.
#pragma once
#include <windows.h>
#include <commctrl.h>

#include <string>

#include "ui/Window.h"

class CMountedImage;
class CDropTarget;

class CRegistryDlg : public CWindow {
 public:
  // Creates the window modally in `parent`'s language and returns when it
  // has closed; the framework has deleted the object by then.
  CRegistryDlg(CWindow* parent, CMountedImage* image);

  LRESULT OnInitDialog() override;
  void OnSize(UINT type, int cx, int cy) override;
  LRESULT OnCommand(WPARAM wParam, LPARAM lParam) override;
  void OnInitMenu(HMENU menu) override;
  void OnInitMenuPopup(HMENU menu, UINT position, BOOL systemMenu) override;
  LRESULT OnNotify(int controlId, NMHDR* header) override;
  LRESULT OnClose(WPARAM wParam) override;

  HWND Tree() const { return GetDlgItem(m_hWnd, 1009); }
  HWND List() const { return GetDlgItem(m_hWnd, 1010); }
  HWND Combo() const { return GetDlgItem(m_hWnd, 1088); }
  HWND Splitter() const { return GetDlgItem(m_hWnd, 1014); }

  std::wstring m_hexSearchText;
  wchar_t* m_textSearchPattern = nullptr;
  DWORD m_lookInKeys = 1;
  DWORD m_lookInValues = 1;
  DWORD m_lookInData = 1;
  DWORD m_wholeString = 0;
  CDropTarget* m_treeDropTarget = nullptr;
  CDropTarget* m_listDropTarget = nullptr;
  CMountedImage* m_image;

 private:
  ~CRegistryDlg() override;
  LRESULT OnTreeNotify(NMHDR* header);
  LRESULT OnListNotify(NMHDR* header);
  void ShowTreeMenu();
  void ShowListMenu();
  LRESULT OnKeyCommand(WORD key);
  void JumpToFavorite(UINT id);

  HIMAGELIST m_treeImages = nullptr;
  HIMAGELIST m_listImages = nullptr;
  HICON m_smallIcon = nullptr;
  HICON m_largeIcon = nullptr;
};

// The key tree and value list.
void PopulateKeyTree(CRegistryDlg* window);
void RefreshKeyTree(CRegistryDlg* window);
void RefreshKeySubtree(CRegistryDlg* window, HWND tree, HTREEITEM item, const wchar_t* path);
int ExpandKeyItem(CRegistryDlg* window, const wchar_t* path, HWND tree, HTREEITEM item);
void FillValueList(const wchar_t* keyPath, CRegistryDlg* window, HWND list);
std::wstring GetKeyItemPath(HWND tree, HTREEITEM item);
// True for the seven hive root paths (without "HKEY_LOCAL_MACHINE" itself
// when `withMachine` is false), compared without regard to case.
bool IsRegistryRootPath(const wchar_t* path, bool withMachine = true);
void UpdateEditMenuState(CRegistryDlg* window, HMENU menu);
int LayoutRegistryPanes(CRegistryDlg* window, int treeWidth);
