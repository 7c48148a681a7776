// The command-line help: the usage text of resource DATA 101 shown in the
// modal dialog 166.
#pragma once
#include <windows.h>

#include "ui/Window.h"

class CHelpBox : public CWindow {
 public:
  CHelpBox();
  ~CHelpBox() override;
  LRESULT OnInitDialog() override;
  LRESULT OnCommand(WPARAM wParam, LPARAM lParam) override;
  LRESULT OnClose(WPARAM wParam) override;

  HFONT m_font;  // the fixed-pitch font of the text box; null when none
};

// The help text of `language` as a new UTF-16 text without its byte-order
// mark (the caller frees it with delete[]), or null when the resource is
// missing.
wchar_t* LoadCommandLineHelp(HMODULE module, LANGID language);

// Shows the help in `language` over owner (none from the command line)
// and returns when it is closed. 0 when there is no help text to show.
int ShowCommandLineHelp(LANGID language, CWindow* owner);
int ShowCommandLineHelp(LANGID language);
