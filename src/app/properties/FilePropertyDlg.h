// The property sheet of a file or folder of the mounted volume: the
// General page (location, link or shortcut target, size, times and
// attributes, written back into the volume on OK) and, for Windows
// executables, the Version page (version strings and signer).
#pragma once
#include <windows.h>
#include <commctrl.h>

#include "common/PathUtil.h"
#include "ui/Window.h"

class CMountedImage;

class CFilePropertyDlg : public CWindow {
 public:
  explicit CFilePropertyDlg(const wchar_t* path);

  // The properties command's entry: runs the sheet modal over `owner` (the
  // main window, whose image list gets the new time and attributes) for a
  // path in the image's volume. The object is freed when the window goes.
  static INT_PTR Run(CWindow* owner, CMountedImage* image, const wchar_t* volumePath);

  LRESULT OnInitDialog() override;
  LRESULT OnCommand(WPARAM wParam, LPARAM lParam) override;
  LRESULT OnNotify(int controlId, NMHDR* header) override;
  LRESULT OnClose(WPARAM wParam) override;

  wchar_t m_path[kPathChars];
};

class CFileInfoDlg : public CWindow {
 public:
  explicit CFileInfoDlg(const wchar_t* path);
  LRESULT OnInitDialog() override;
  LRESULT OnCommand(WPARAM wParam, LPARAM lParam) override;
  LRESULT OnClose(WPARAM wParam) override;

  // Writes what the user changed back into the volume; true when that
  // succeeded or nothing changed.
  bool Save();

  const wchar_t* m_path;  // the sheet's
  BOOL m_shortcut = FALSE;
  // The times as the pickers were given them: a picker still showing its
  // time is not written back.
  SYSTEMTIME m_shown[3] = {};
  BOOL m_hasTime[3] = {};

 private:
  CMountedImage* Image() const { return reinterpret_cast<CMountedImage*>(m_param); }
};

class CFileVersionDlg : public CWindow {
 public:
  explicit CFileVersionDlg(const wchar_t* path);
  LRESULT OnInitDialog() override;
  LRESULT OnClose(WPARAM wParam) override;
  void OnDestroy() override;

  const wchar_t* m_path;
  HFONT m_font = nullptr;
  HIMAGELIST m_rowHeight = nullptr;

 private:
  void FillVersionRows(const wchar_t* hostFile);
};

// The target of a shortcut file ("lnk", "url", "pif") of the volume into
// `target` (kPathChars characters); 1 when one was found.
int ResolveShortcutTarget(CMountedImage* image, const wchar_t* path, wchar_t* target);

// Loads a COM object through IPersistStream from the bytes of a volume
// file; 1 when Load succeeded.
int LoadShortcutObject(CMountedImage* image, const wchar_t* path, IUnknown* object);
