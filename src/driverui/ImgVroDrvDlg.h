// CImgVroDrvDlg: the own-programs page of the image driver manager. It lists
// the installation's client programs, hook library and drivers that the
// setup packages in the store root carry as resources and that the image
// already holds, with the build inside the package and the build in the
// image, and copies the checked ones over the image's files. The packages
// are UPX-packed; each is unpacked to a temporary file first, and read
// itself when that fails.
#pragma once
#include <windows.h>
#include <commctrl.h>
#include <stdint.h>

#include "ui/Window.h"

class CMountedImage;

// The build version of a host file: the first word of its file version
// followed by the build date its OriginalFilename ("name yyyy-mm-dd") or
// SpecialBuild ("yyyy.mm.dd") names; the file version itself without one.
uint64_t ReadBuildVersion(const wchar_t* path);
// "%u.%04u.%04u.%04u" of the four words.
void FormatBuildVersion(uint64_t version, wchar_t* out, int chars);

class CImgVroDrvDlg : public CWindow {
 public:
  // Creates the modeless page 163 inside the manager.
  CImgVroDrvDlg(CWindow* container, CMountedImage* image);

  LRESULT OnInitDialog() override;
  LRESULT OnCtlColor(HDC dc, HWND control, int kind) override;
  LRESULT OnCommand(WPARAM wParam, LPARAM lParam) override;
  LRESULT OnNotify(int controlId, NMHDR* header) override;
  LRESULT OnClose(WPARAM wParam) override;

  void BuildFileTable();
  void AddFileRow(HMODULE package, int group, const wchar_t* resource, const wchar_t* shown,
                  uint64_t imageVersion, const wchar_t* imagePath, const wchar_t* packageName,
                  int icon);
  uint64_t ReadImageBuildVersion(const wchar_t* path);
  // The resource written to a new temporary file (out: 360); nonzero on
  // success. The caller deletes the file.
  int ExtractResourceFile(const wchar_t* packagePath, const wchar_t* resource, wchar_t* out);
  void InstallSelected();
  void OnItemChanged(NMLISTVIEW* change);
  void ShowContextMenu();
  LRESULT DrawItem(NMLVCUSTOMDRAW* draw);

  bool IsChecked(int row) const;
  void SetChecked(int row, bool checked);
  HWND List() const { return GetDlgItem(m_hWnd, 1001); }

  CMountedImage* m_image;
  uint32_t m_versionWord;
  HIMAGELIST m_smallImages;
  HIMAGELIST m_stateImages;
};
