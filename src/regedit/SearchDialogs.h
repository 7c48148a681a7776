// The registry search dialogs: CFindDlg asks for a text and where to look,
// CFindHexDlg for a byte pattern in hex digits; CFindNextDlg and
// CFindHexNextDlg run the search on a worker thread behind a modal progress
// dialog with Cancel and select the hit in the editor's tree and list.
#pragma once
#include <windows.h>

#include <string>

#include "regedit/RegistrySearch.h"
#include "ui/Window.h"

class CMountedImage;
class CRegistryDlg;

class CFindDlg : public CWindow {
 public:
  // Takes the editor's pattern and options; hands them back when it closes.
  explicit CFindDlg(CRegistryDlg* editor);
  LRESULT OnInitDialog() override;
  LRESULT OnCommand(WPARAM wParam, LPARAM lParam) override;
  LRESULT OnClose(WPARAM wParam) override;

  wchar_t* m_pattern;
  DWORD m_lookInKeys, m_lookInValues, m_lookInData, m_wholeString;

 private:
  void UpdateOkButton();
};

class CFindHexDlg : public CWindow {
 public:
  explicit CFindHexDlg(const std::wstring& hexText);
  LRESULT OnInitDialog() override;
  LRESULT OnCommand(WPARAM wParam, LPARAM lParam) override;
  LRESULT OnClose(WPARAM wParam) override;

  std::wstring m_hexText;

 private:
  void FilterAndUpdateOk();
};

// The progress dialog both searches share: the worker runs SearchThread
// (the class's own slot) and ends the dialog by posting its close message
// with 1 (nothing found) or 0 (a hit was selected, or cancelled).
class CSearchProgressDlg : public CWindow {
 public:
  explicit CSearchProgressDlg(CMountedImage* image) : m_image(image) {}
  LRESULT OnInitDialog() override;
  LRESULT OnCommand(WPARAM wParam, LPARAM lParam) override;
  LRESULT OnClose(WPARAM wParam) override;
  LRESULT PreDispatch(UINT message, WPARAM wParam, LPARAM lParam) override;
  virtual DWORD SearchThread(LPARAM parameter) = 0;
  // The thread routine: calls SearchThread.
  DWORD RunSearchWorker(LPARAM parameter);

  volatile long m_cancel = 0;
  volatile long m_done = 0;
  CMountedImage* m_image;

 protected:
  // Runs the walk with the matcher from the start taken when the dialog
  // opened, selects the hit and posts the close message.
  DWORD Search(const SearchMatcher& matcher);

  SearchStart m_start;
  std::wstring m_defaultLabel;
};

class CFindNextDlg : public CSearchProgressDlg {
 public:
  CFindNextDlg(CRegistryDlg* editor, CMountedImage* image);
  DWORD SearchThread(LPARAM parameter) override;

  const wchar_t* m_pattern;
  DWORD m_lookInKeys, m_lookInValues, m_lookInData, m_wholeString;
};

class CFindHexNextDlg : public CSearchProgressDlg {
 public:
  CFindHexNextDlg(const std::wstring& hexText, CMountedImage* image);
  DWORD SearchThread(LPARAM parameter) override;

  std::wstring m_hexText;
};

// Selects a hit path in the editor: the key (expanding on the way) and, for
// a value, its row. Runs on any thread: it works through window messages.
void SelectSearchHit(CRegistryDlg* editor, const std::wstring& hit);
