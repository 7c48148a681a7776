// CCreateImageDlg: chooses the folder, file name, size and layout of a new
// empty image; its creator makes the image from the parameter block.
#pragma once
#include <stdint.h>

#include "disktools/dialogs/DiskToolDlg.h"

// Filled in by the creator, changed by the dialog.
struct CreateImageParams {
  const wchar_t* filePattern;  // "*.img": its extension is added to a name without one
  const wchar_t* filter;       // descriptions and patterns, each ended by a NUL, then a NUL
  uint32_t reserved;
  wchar_t imagePath[360];  // the chosen path; empty when cancelled
  uint32_t pathCapacity;   // 360
  uint32_t sizeMiB;
  uint32_t maxSizeMiB;
  wchar_t driveLetter;
  uint32_t gpt;        // nonzero: a GPT disk
  uint32_t plainData;  // nonzero: own header with plain data, not sparse
};

class CCreateImageDlg : public CDiskToolDlg {
 public:
  // Runs the dialog modally over parent on params; the framework has
  // deleted the object when it returns. params->imagePath is empty unless
  // Create was pressed.
  CCreateImageDlg(CWindow* parent, CreateImageParams* params);

  LRESULT OnInitDialog() override;
  LRESULT OnCommand(WPARAM wParam, LPARAM lParam) override;
  LRESULT OnNotify(int controlId, NMHDR* header) override;
  LRESULT OnCtlColor(HDC dc, HWND control, int kind) override;

  // Shows the entries of a folder of the chosen drive ("" for its root).
  void ShowFolder(const wchar_t* folder);
  // The full path the dialog would create, empty when incomplete.
  void GetTargetPath(wchar_t* out);

  CreateImageParams* m_params;
  uint32_t m_maxSizeMiB;
  wchar_t m_folder[360];  // below the drive, without a leading separator

 private:
  void OnSizeChange();
  void CheckCreate();
  void OnCreate();
  void UpdatePathText();
};
