// Helpers of the window tests: pumping messages, the dialog every test
// creates, and screenshots of the virtual display.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

namespace uitest {

// Dispatches the thread's pending messages.
void Pump();

// Waits (pumping) until `done` answers true or about `ms` milliseconds pass.
template <class F>
bool WaitFor(F done, int ms = 5000) {
  for (int waited = 0; waited < ms; waited += 20) {
    Pump();
    if (done()) return true;
    Sleep(20);
  }
  return done();
}

// A plain top-level window to own controls (destroyed by the caller).
HWND MakeHost(int width = 400, int height = 300);

// Saves the display's pixels inside `rect` (screen coordinates) as a PNG
// (through ImageMagick on the Linux side). True on success.
bool Screenshot(const RECT& rect, const std::string& unixPath);

// What of a dialog's face does not fit, one line each: a static's, a
// button's or a combo box's text (each of its rows too) measured in the
// control's font against its client rectangle, and a visible control that
// leaves the dialog's client area or the group box its top-left lies in.
std::vector<std::string> TextsThatDoNotFit(HWND dialog);

}  // namespace uitest
