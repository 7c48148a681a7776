// The size of the image's partition: CPartitionDlg shows the figures and a
// usage bar of the volume in the image pane; CStatusEdit is the in-place
// editor over status part 2 that grows the partition to a typed size in MiB.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ui/Window.h"

class CFileManagerDlg;
class CMountedImage;
struct VolumeInfoRecord;

class CPartitionDlg : public CWindow {
 public:
  // Runs the dialog modally; the framework deletes the object when its
  // window goes, so the caller does not touch it afterwards.
  CPartitionDlg(CWindow* parent, CMountedImage* image);
  LRESULT OnInitDialog() override;
  LRESULT OnPaint() override;
  LRESULT OnDrawItem(UINT controlId, DRAWITEMSTRUCT* item) override;
  LRESULT OnClose(WPARAM wParam) override;
  LRESULT OnCommand(WPARAM wParam, LPARAM lParam) override;

  UINT m_usedPercent = 0;
};

// The figures of the dialog filled into its format (the text of static
// 1000), and the used percentage (0 for a volume without clusters).
void FormatPartitionFigures(const wchar_t* format, const VolumeInfoRecord& record, wchar_t* out,
                            int outSize, UINT* usedPercent);

// A line of the figures split for its two columns: the label up to and with
// its colon (full-width or not), and the value without the spaces that pad
// it; a line without a colon is all label.
struct FigureLine {
  std::wstring label, value;
};
std::vector<FigureLine> SplitFigureLines(const wchar_t* text);

// Posted to the main window when a grow from the size edit was refused:
// it tells the cause it keeps (m_growRefusal) in a box.
constexpr UINT kTellGrowRefusal = WM_APP + 0x157;

class CStatusEdit : public CWindow {
 public:
  CStatusEdit(HWND edit, CFileManagerDlg* window);
  void OnKillFocus(HWND getting) override;
  LRESULT OnGetDlgCode(UINT key) override;

 private:
  void Apply();
  CFileManagerDlg* m_window;
};

// The partition size in MiB that a typed size becomes: limited to
// 2,000,000, rounded as the partition rounds, in bytes.
uint64_t StatusEditTargetBytes(int64_t typedMegabytes);
