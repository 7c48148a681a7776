// The image address bar's drop-down and its links: the image files of the
// fixed drives' roots with their update files, where the selected row shows
// "merge into the image" (update files) and "open write-back file" as links.
// The links are SysLink children of the drop-down list that stay hidden:
// their pictures are painted into the selected row.
#pragma once
#include <windows.h>
#include <commctrl.h>

#include "ui/Window.h"

class CFileManagerDlg;

// The record of an image row (its lParam).
struct ImageRowRecord {
  UINT ownSparse;
  wchar_t name[128];
};

// A link control that paints itself as a highlighted link.
class CSysLink : public CWindow {
 public:
  CSysLink(HWND link, CWindow* owner);
  LRESULT OnPaint() override;
};

// The drop-down list of 1022 or 1156: a click on a link in the selected row.
class CComboListBox : public CWindow {
 public:
  CComboListBox(HWND list, CFileManagerDlg* window, HWND combo);
  LRESULT OnLButtonDown(UINT keys, int x, int y) override;
  void OnSize(UINT type, int cx, int cy) override;
  // Places the two links in the first row by their texts' sizes.
  void LayOutLinks();

  CFileManagerDlg* m_window;
  HWND m_combo;
  // Set when the write-back link was clicked: the choice then asks for a
  // write-back file.
  UINT m_writeBackLink = 0;
};

// The combo box itself: draws its rows (icon, text, remark, links).
class CComboListBoxEx : public CWindow {
 public:
  CComboListBoxEx(HWND combo, CWindow* owner, CSysLink* mergeLink, CSysLink* writeBackLink);
  LRESULT OnDrawItem(UINT controlId, DRAWITEMSTRUCT* item) override;

  CSysLink* m_mergeLink;
  CSysLink* m_writeBackLink;
};

// Builds the links and the bindings of one address combo; returns its list
// binding (null when it could not be made).
CComboListBox* CreateAddressLinks(CFileManagerDlg* window, HWND combo);
// Sets the links' texts in the window's language again and lays them out.
void RefreshAddressLinks(CComboListBox* list);

// Fills the image drop-down; returns the index to select (-1 for none).
int FillImageAddressList(CFileManagerDlg* window, HWND combo);
// Frees the records of the rows and empties the combo.
void ClearImageAddressList(HWND combo);
