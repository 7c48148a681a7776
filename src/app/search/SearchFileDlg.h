// CSearchFileDlg: the modal search window over a host folder or a folder of
// the open image's volume; finds files by a wildcard name and, optionally,
// by an ANSI, UTF-16 or hexadecimal pattern in their contents, on a worker
// thread. A result can be viewed or located in the main window's pane.
#pragma once
#include <windows.h>
#include <commctrl.h>

#include <set>
#include <string>

#include "app/search/FileSearch.h"
#include "ui/Window.h"

class CMountedImage;

// Sent by the worker: a folder being searched (lParam: its text), a match
// (lParam: its path), the end of the search.
constexpr UINT WM_SEARCH_FOLDER = WM_APP + 20;
constexpr UINT WM_SEARCH_MATCH = WM_APP + 21;
constexpr UINT WM_SEARCH_DONE = WM_APP + 22;

class CSearchFileDlg : public CWindow, private FileSearchSink {
 public:
  // image: the main window's open image (null when none); its volume is
  // searched when the start folder is an image-pane address.
  explicit CSearchFileDlg(CMountedImage* image);

  // The search command's entry: runs the dialog modal over `owner` (the
  // main window, whose panes "locate" drives) from `startFolder` (the
  // focused pane's address). The object is freed when the window goes.
  static INT_PTR Run(CWindow* owner, CMountedImage* image, const wchar_t* startFolder);

  LRESULT OnInitDialog() override;
  LRESULT OnCommand(WPARAM wParam, LPARAM lParam) override;
  LRESULT OnNotify(int controlId, NMHDR* header) override;
  LRESULT OnClose(WPARAM wParam) override;
  LRESULT PreDispatch(UINT message, WPARAM wParam, LPARAM lParam) override;

  volatile LONG m_stop = 0;
  volatile LONG m_running = 0;

 private:
  HWND Item(int id) const { return GetDlgItem(m_hWnd, id); }
  void OnModeClicked(int id);
  void StartSearch();
  void EndSearch();
  void ViewResult();
  void LocateResult();
  void SetInputsEnabled(BOOL enabled);
  DWORD SearchThread(LPARAM);
  // FileSearchSink, called on the worker thread.
  void OnFolder(const wchar_t* folder) override;
  void OnMatch(const wchar_t* path) override;

  CMountedImage* m_image;
  FileSearchSpec m_spec;
  bool m_inVolume = false;
  std::wstring m_imagePath;  // the image file of an image-pane start folder
  std::set<std::wstring> m_listed;
  unsigned m_found = 0;
  HIMAGELIST m_images = nullptr;
};

// Where a search runs: an image-pane address (an image file followed by a
// folder of its volume) gives the image file and the volume folder ("\" at
// its root) and true; a host folder gives false.
bool SplitSearchFolder(const wchar_t* folder, std::wstring* image, std::wstring* volumeFolder);
