// CStorePackageDlg: what the store manager's package pages and the driver
// setup dialogs share. Both list the packages of one store folder (a device
// class and target Windows) with a StorePackageItem per row, draw two-line
// rows, offer the in-place version and device choices, delete stored
// versions, move the store root and import INF packages on one worker
// thread guarded by an interlocked busy flag. The subclasses differ in their
// target, grouping, which rows a delete takes and which controls an import
// disables.
#pragma once
#include <windows.h>
#include <commctrl.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "driverui/StorePackageItem.h"
#include "ui/Window.h"

class CMountedImage;
class CTextProgress;

// Columns of every store package list.
enum StoreListColumn : int {
  kStoreColName = 0,
  kStoreColVersion = 1,
  kStoreColHardwareId = 2,
  kStoreColSection = 3,
  kStoreColInfPath = 4,
};

// The INF files an import takes: the open-file dialog's buffer (a full path,
// or a folder followed by names, the list ended by an empty name). Nonzero
// when files were chosen. Tests put their own picker in place.
typedef BOOL (*StoreInfPicker)(HWND owner, wchar_t* buffer, DWORD chars, const wchar_t* filter);
StoreInfPicker SetStoreInfPicker(StoreInfPicker picker);  // null: the open-file dialog
// The folder a store-root change takes (360 characters); nonzero when one was
// chosen. Tests put their own picker in place.
typedef int (*StoreFolderPicker)(HWND owner, const wchar_t* start, wchar_t* out);
StoreFolderPicker SetStoreFolderPicker(StoreFolderPicker picker);  // null: PickFolder

// Frees the StorePackageItem of a row and sets its lParam to 0.
void FreeStoreItemData(HWND list, int row);

// NM_CUSTOMDRAW of a store list: the row painted in two lines; drop-down
// buttons in column 0 when deviceCombo is given and in column 1 when
// versionCombo is given (the combos of the row being drawn).
LRESULT PaintStoreListItem(NMLVCUSTOMDRAW* draw, HWND deviceCombo, HWND versionCombo);

// A list row painted off-screen: Begin makes the memory surface of the
// row's bounds and fills it with the row's background (the selection frame
// and fill, the face colour of a disabled list); End copies it to the list.
struct OffscreenRow {
  HDC dc;
  HBITMAP bitmap;
  HGDIOBJ oldBitmap;
  RECT row;
  int width, height;
};
bool BeginOffscreenRow(NMLVCUSTOMDRAW* draw, OffscreenRow* out);
void EndOffscreenRow(NMLVCUSTOMDRAW* draw, OffscreenRow* row);

class CStorePackageDlg : public CWindow {
 public:
  CStorePackageDlg(CMountedImage* image, int storeClass);

  // The import worker's end reaches the window as a message, so that the
  // worker never touches the window object once its busy flag is clear.
  static const UINT kImportEndedMessage = WM_APP + 0x21;
  LRESULT PreDispatch(UINT message, WPARAM wParam, LPARAM lParam) override;

  // The target Windows of the list.
  virtual uint32_t Target() = 0;
  // The group a new row goes to.
  virtual int GroupOf(const StorePackageView& view) = 0;
  // Controls while an import runs and after it.
  virtual void BeginImportControls() = 0;
  virtual void EndImportControls() = 0;
  // The button states after a list change.
  virtual void UpdateButtons() = 0;
  // The list rebuilt from the store.
  virtual void BuildPackageList();

  // Rebuilds the row (index) or appends one (-1); returns the row, or the
  // index given when the package cannot be shown.
  int BuildPackageItem(int index, const wchar_t* folder, const wchar_t* package,
                       const wchar_t* version);
  // The store folder of the class and target.
  std::wstring StoreFolder();
  std::wstring TargetText();

  // Commands shared by the pages and the setup dialogs.
  void OnVersionChosen();
  void WriteSelectedDevice();
  // Deletes the stored version of a row; true when the row went away.
  bool DeleteRow(int row);
  // The folder picker over the store root; true when a folder was chosen
  // (the settings file and edit 1002 then hold it).
  bool ChooseStoreRoot();
  void StartImport();
  DWORD ImportThread(LPARAM);
  // Esc: a dropped-down in-place combo is committed and closed; true when
  // one was.
  bool CommitDroppedCombo();
  void OnListClick(NMITEMACTIVATE* click);
  void OnStoreListDblClk(NMITEMACTIVATE* click);
  // Keys shared by both lists: F4, F6, Up and Down in a dropped combo.
  bool OnSharedListKey(WORD key);
  LRESULT OnStoreListCustomDraw(NMLVCUSTOMDRAW* draw);
  // The notifications both lists answer alike (header tracking of the
  // hidden columns, drawing, clicks, item changes); *handled is false for
  // the others.
  LRESULT OnStoreListNotify(int controlId, NMHDR* header, bool* handled);
  // Selection change and close-up of the in-place combos; false for other
  // commands.
  bool OnInPlaceComboCommand(int id, int code);

  // Setup of the list (the pictures of the store class), its tips and the
  // store root edit.
  void InitStoreList(const wchar_t* widthsValue, bool checkBoxes);
  void AddTip(int control, UINT stringId);
  void InitStoreRootEdit();
  void CloseStoreList(const wchar_t* widthsValue);

  HWND Item(int id) const { return GetDlgItem(m_hWnd, id); }
  HWND List() const { return Item(1001); }
  std::wstring ItemText(int row, int column, int chars = 400) const;
  int SelectedRow() const;
  std::wstring LoadString(UINT id) const;

  HWND m_tooltip;
  volatile LONG m_busy;
  CMountedImage* m_image;
  CTextProgress* m_progress;
  int m_storeClass;
  HIMAGELIST m_smallImages;
  HIMAGELIST m_stateImages;
  // The INF files the last import turned away, one per line; written by
  // the worker before its end message, shown by the window on it.
  std::wstring m_rejected;
};
