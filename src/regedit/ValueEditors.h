// The value editors of the registry editor: modal dialogs over one value of
// the selected key, opened with the row index of the value in the value
// list. Each shows the key path and value name, edits the data read from the
// hive (never the list row's shortened text), writes it back with the
// value's type kept and updates the row's data column.
#pragma once
#include <stdint.h>

#include <string>

#include "ui/Window.h"

class CMountedImage;
class CRegistryDlg;
struct HexEditControl;

// REG_SZ and REG_EXPAND_SZ (dialog 103).
class CStringDlg : public CWindow {
 public:
  CStringDlg(CRegistryDlg* parent, CMountedImage* image, int row);
  LRESULT OnInitDialog() override;
  LRESULT OnCommand(WPARAM wParam, LPARAM lParam) override;
  LRESULT OnClose(WPARAM wParam) override;

  CMountedImage* m_image;
};

// REG_MULTI_SZ (dialog 106): one line per string.
class CMultiSzDlg : public CWindow {
 public:
  CMultiSzDlg(CRegistryDlg* parent, CMountedImage* image, int row);
  LRESULT OnInitDialog() override;
  LRESULT OnCommand(WPARAM wParam, LPARAM lParam) override;
  LRESULT OnClose(WPARAM wParam) override;

  CMountedImage* m_image;
};

// REG_DWORD and REG_DWORD_BIG_ENDIAN (dialog 104), REG_QWORD (105), in
// hexadecimal or decimal.
class CIntegerDlg : public CWindow {
 public:
  CIntegerDlg(CRegistryDlg* parent, CMountedImage* image, UINT templateId, int row);
  LRESULT OnInitDialog() override;
  LRESULT OnCommand(WPARAM wParam, LPARAM lParam) override;
  LRESULT OnClose(WPARAM wParam) override;

  CMountedImage* m_image;
  uint32_t m_radix = 16;
};

// Any value as bytes on the hex editor (dialog 111).
class CBinaryDlg : public CWindow {
 public:
  CBinaryDlg(CRegistryDlg* parent, CMountedImage* image, int row);
  LRESULT OnInitDialog() override;
  LRESULT OnCommand(WPARAM wParam, LPARAM lParam) override;
  LRESULT OnClose(WPARAM wParam) override;

  CMountedImage* m_image;
  HexEditControl* m_hexEdit = nullptr;
};

// Multi-string data <-> the editor's text of CR LF separated lines.
// Every non-empty string of the list becomes a line ending in CR LF.
std::wstring MultiSzToLines(const uint8_t* data, uint32_t length);
// Every line becomes a string with its terminator and the list ends with one
// more zero unit; a text not ending in CR LF is taken as if it did ("a" ->
// a 0 0; "" -> 0 0). Empty lines are left out (Windows stops reading a list
// at its first empty string); *droppedEmpty tells whether there were any.
std::wstring LinesToMultiSz(const std::wstring& text, bool* droppedEmpty = nullptr);
