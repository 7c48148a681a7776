// Tooltip placement: CTipControl keeps the tip of a tool window inside the
// screen; CTipStatus shows the status bar's tip above one of its parts and
// guards the size field in the status bar.
#pragma once
#include "ui/Window.h"

class CTipControl : public CWindow {
 public:
  // Binds the tool window (the window the tooltip's tool names, which gets
  // its TTN_SHOW).
  CTipControl(HWND tool, CWindow* owner);
  LRESULT OnNotify(int controlId, NMHDR* header) override;
};

class CTipStatus : public CWindow {
 public:
  // Binds the status bar; the tip is shown over part `part`.
  CTipStatus(HWND statusBar, CWindow* owner, int part = 2);
  LRESULT OnCtlColor(HDC dc, HWND control, int kind) override;
  LRESULT OnCommand(WPARAM wParam, LPARAM lParam) override;
  LRESULT OnNotify(int controlId, NMHDR* header) override;

  int m_part;
};

// The size field in the status bar and its upper limit.
constexpr int kStatusSizeEdit = 1047;
constexpr unsigned kStatusSizeLimit = 2000000;
