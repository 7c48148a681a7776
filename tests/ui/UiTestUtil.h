// Helpers of the window tests: pumping messages, the dialog every test
// creates, and screenshots of the virtual display.
#pragma once
#include <windows.h>

#include <functional>
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

// Window states a key script waits for. Keys sent from a shell script in
// the background reach a window only once it has the display's focus, and a
// menu or modal dialog runs its own message loop, in which the test's own
// waits do not run. So the script waits for a marker file instead: the
// marker (a Linux path, returned) appears when a window of this thread
// receives a message that `when` accepts (sent or posted).
// With `pointAt`, the marker names the top-level window of the message's
// window, for AwaitSh to put the pointer over it.
std::string SignalWhen(std::function<bool(HWND, UINT, WPARAM, LPARAM)> when, bool pointAt = false);
// Common states: a click (client or frame) arrived at `window` or one of
// its children; a menu popped up; a window other than `except` was
// activated (a dialog that came up, which takes the keys after it).
std::string SignalClick(HWND window);
std::string SignalMenu();
std::string SignalActivated(HWND except);
// Shell text that waits for `marker` (up to 30 s) and removes it. When the
// marker names a window, the pointer is then put over it, and the text
// waits until the display shows that window under the pointer: the display
// has no window manager, its keyboard focus follows the pointer, and a key
// typed over the root window (where a box that closed under the pointer
// leaves it) is lost.
std::string AwaitSh(const std::string& marker);
// Shell text that puts the pointer on the caption of the top-level window
// that holds `window` and waits as AwaitSh does.
std::string PointerOverSh(HWND window);

// The X window in which Wine shows the top-level window that holds `window`
// (of any process of the session; 0 when it has none), and the top-level X
// window under the pointer.
unsigned long XWindowOf(HWND window);
unsigned long XWindowUnderPointer();
// Shell text that runs the xdotool arguments `click` (a pointer move and a
// click) again until `marker` appears (a window just shown may not be on
// the display yet), then removes it.
std::string ClickUntilSh(const std::string& click, const std::string& marker);

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

// What of a menu does not fit, one line each: every popup of the menu (and
// each popup within) is shown at the display under `owner` (a window of
// this thread), and in each item's width as the system laid it out, the
// item's text, a gap of half an average character of the menu font and the
// column of shortcuts (the texts after a tab, as wide as the widest) must
// fit between the rooms of a check mark and a submenu arrow.
std::vector<std::string> MenuTextsThatDoNotFit(HWND owner, HMENU menu);

}  // namespace uitest
