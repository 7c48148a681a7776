// CFileManagerDlg: the main window, a modeless dialog with the host pane on
// the left and the pane of the one open disk image on the right, under a
// toolbar and above a status bar.
#pragma once
#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

#include "app/mainwnd/FileListRows.h"
#include "common/PathUtil.h"
#include "image/stack/OverlayNotice.h"
#include "ui/Window.h"

class CMountedImage;
class OperationFailures;
class CDropTarget;
class CComboListBox;

// Pane addresses and display paths hold this many characters.
constexpr int kAddressChars = 720;

class CFileManagerDlg : public CWindow {
 public:
  CFileManagerDlg();
  ~CFileManagerDlg() override;

  LRESULT OnInitDialog() override;
  void OnSize(UINT type, int cx, int cy) override;
  void OnTimer(UINT_PTR id) override;
  LRESULT OnCommand(WPARAM wParam, LPARAM lParam) override;
  LRESULT OnNotify(int controlId, NMHDR* header) override;
  LRESULT OnClose(WPARAM wParam) override;
  LRESULT OnDrawItem(UINT controlId, DRAWITEMSTRUCT* item) override;
  void OnChangeCbChain(HWND removed, HWND next) override;
  void OnDrawClipboard() override;
  BOOL PreTranslateMessage(MSG* msg) override;
  void OnInitMenuPopup(HMENU menu, UINT position, BOOL systemMenu) override;
  void OnDropFiles(HDROP drop) override;
  void OnSysCommand(WPARAM wParam, LPARAM lParam) override;
  void OnNcLButtonDown(UINT hitTest, LPARAM point) override;
  LRESULT OnMoving(UINT edge, RECT* rect) override;
  void OnExitSizeMove() override;

  // Keys of any window of the main window, and of a pane list: each posts
  // the command it stands for. 1 when the key was taken.
  int MapMainKeys(UINT key);
  int MapListKeys(HWND list, UINT key);

  // Status part 0: a worker's text in its colour (blue progress, red
  // failure); ClearStatus frees the part for the selection's details.
  void SetStatus(COLORREF colour, const wchar_t* text);
  void SetStatusString(COLORREF colour, UINT id, ...);
  void ClearStatus();

  // One file operation at a time on the one mounted image: BeginOperation
  // takes the turn (false, with a red note in the status bar, while another
  // runs); EndOperation gives it back.
  bool BeginOperation();
  void EndOperation();
  // A drop takes the turn: the window's own drag of image items already
  // holds it for the drag loop and hands it to the drop, anything else
  // asks BeginOperation.
  bool TakeDropTurn();
  // The panes and the toolbar are disabled while an operation runs.
  void EnablePanes(BOOL enable);

  // Worker threads (started with StartWindowThread).
  DWORD AddFilesThread(LPARAM);
  DWORD ExtractThread(LPARAM);
  DWORD MergeUpdateThread(LPARAM);
  DWORD MergeProgressThread(LPARAM);

  // The write-back balloon above an address bar, and the status bar's tip.
  void ShowWriteBackTip(HWND tip, HWND control, const wchar_t* text);
  static void HideTip(HWND tip);
  int AddStatusTool(HWND control, const wchar_t* text);
  int RemoveStatusTool(HWND control);
  // The in-place size editor over status part 2, opened by a click on that
  // part and committed by a click elsewhere.
  void OpenSizeEditor(BOOL rightClick);
  void CommitSizeEditor();

  // Puts the image named by the command line into the image address bar and
  // posts its selection change: 1, or 0 when no image was named.
  int HandleStartupImage();
  // Reloads every text of the window in the language set on the thread.
  void SwitchLanguage(LANGID language);
  // Runs the work a worker hands to the window's thread (kRunOnListThread)
  // and sorts a list again after a label edit (kSortListAgain).
  LRESULT PreDispatch(UINT message, WPARAM wParam, LPARAM lParam) override;
  // Sends the font of the language's main-window template to the window
  // and its bars, lists and status bar (the links follow their combos).
  void ApplyLanguageFont(LANGID language);

  HWND Item(int id) const { return GetDlgItem(m_hWnd, id); }

  UINT m_languageSwitched = 0;
  UINT m_imageType = 0;
  // The partition the open image was asked for ("IMAGE::N" of its address).
  int m_imagePartition = 0;
  // The cause of a refused grow from the size edit, until it is told.
  std::wstring m_growRefusal;
  CMountedImage* m_image = nullptr;
  wchar_t* m_writeBackPath = nullptr;
  BOOL m_elevated = FALSE;
  COLORREF m_partColour = 0;
  // Owner-drawn contents of status part 0 (a worker's message or the
  // selected item's details); an empty text draws nothing.
  COLORREF m_statusColour = 0;
  wchar_t m_statusText[kPathChars] = {};
  // The next window of the clipboard viewer chain, and the staging folder
  // of the last copy out of the image (empty when none).
  HWND m_nextViewer = nullptr;
  wchar_t m_stagingFolder[kPathChars] = {};
  wchar_t m_paths[4][kPathChars] = {};

  HWND m_toolbarTip = nullptr;
  HWND m_writeBackTip = nullptr;
  HWND m_statusTip = nullptr;
  CComboListBox* m_addressList = nullptr;
  CComboListBox* m_imageFilesList = nullptr;
  CDropTarget* m_imageDrop = nullptr;
  CDropTarget* m_hostDrop = nullptr;
  // 1 while an item made by New folder is being named, 0 for a rename.
  UINT m_newFolder = 0;
  // The size editor over status part 2 and its flag: its value is applied
  // at most once.
  HWND m_sizeEditor = nullptr;
  BOOL m_editingSize = FALSE;
  DWORD m_lastToolbarClick = 0;
  // The image items dragged out wait in this host folder during the drag;
  // what could not be put there is told when the drag ends.
  wchar_t m_dragOutFolder[kPathChars] = {};
  OperationFailures* m_dragOutFailures = nullptr;
  // The image address bar's text while its drop-down is open.
  wchar_t m_savedAddress[kAddressChars] = {};
  // The merge worker's progress: 0..100, negative on failure; the worker
  // (null once it ended) and the lines its merge gave about files.
  volatile int m_mergeProgress = 0;
  HANDLE m_mergeWorker = nullptr;
  std::vector<VroNoticeCollector::Notice> m_mergeNotices;
  volatile LONG m_busy = 0;
  // Set while a drag of image items holds the turn and no drop took it.
  BOOL m_dragHoldsTurn = FALSE;
  // The font of the last language switch (null before the first).
  HFONT m_languageFont = nullptr;
  // The rows of the host and the image list (owner-data lists).
  std::vector<FileListRow> m_hostRows, m_imageRows;
  // The overwrite answer shared by the paths of one drop.
  int m_dropAnswer = 0;

 private:
  void InitToolbar();
  void InitTips();
  void BindAddressEdit(HWND combo, UINT hintId);
  void InitList(HWND list, const wchar_t* widthsValue, const wchar_t* styleValue);
  void SetColumnTitles(HWND list);
  void SetStatusParts(int clientWidth);
  HIMAGELIST m_toolbarImages = nullptr;
  HIMAGELIST m_smallItems = nullptr;
  HIMAGELIST m_largeItems = nullptr;
  HIMAGELIST m_hostAddressImages = nullptr;
  HIMAGELIST m_imageAddressImages = nullptr;
  int m_listIconSize = 16;
};

// The start-up image of a command line (argv[1..argc-1]): "-img:"/"/img:"
// (any case) gives the image, or before it a bare argument that names an
// existing file; "-fix:"/"/fix:" the write-back file. With "/merge" on the line no write-back file is taken (the
// merge has used it up). Returns 1 when an image text was found, -1 when
// its partition behind "::" is not a whole decimal number, -2 when an
// option that names a file stands twice (image and writeBack then hold
// the two arguments: none is opened).
int FindStartupImage(int argc, wchar_t* const* argv, wchar_t (&image)[kPathChars],
                     wchar_t (&writeBack)[kPathChars]);

// Pixel layout of the main window's client area: the rectangles (x, y, cx,
// cy) of the host and image address bars and lists.
struct MainWindowLayout {
  RECT hostBar, imageBar, hostList, imageList;
};
MainWindowLayout ComputeMainLayout(int width, int height, int toolbarHeight, int comboHeight,
                                   int statusHeight);

// The window path of the program: creates the main window in `language`,
// runs the message loop until the window closes; returns 0.
int RunMainWindow(WORD language);
