// The built program at the X display, as a user has it: the helpers of the
// session tests. Keys and clicks go through xdotool; what the program's
// windows hold is read across the process boundary (a list or header of
// another process reads its pointers in its own memory, so such requests
// go through a block in that process).
#pragma once
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <functional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "../../ui/UiTestUtil.h"
#include "../ProgramImage.h"
#include "TestSupport.h"

namespace session {

inline std::string Env(const char* name) {
  char value[512] = "";
  const DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
  return n && n < sizeof value ? value : "";
}

// The program in batch mode: its exit code, its output in *out.
inline DWORD Batch(const std::wstring& arguments, std::string* out) {
  DWORD code = 0xDEADBEEF;
  EXPECT_TRUE(apptest::RunProgram(arguments, code, out)) << vt::Narrow(arguments);
  return code;
}

inline bool Xdo(const std::string& arguments) {
  return vt::Sh("xdotool " + arguments) == 0;
}

inline bool Poll(const std::function<bool()>& done, int seconds = 20) {
  for (DWORD start = GetTickCount(); GetTickCount() - start < DWORD(seconds) * 1000;) {
    if (done()) return true;
    Sleep(100);
  }
  return done();
}

// The text of a window of the program: GetWindowText would give a control
// of another process its caption only, not what an edit holds.
inline std::wstring Text(HWND window) {
  wchar_t text[720] = L"";
  SendMessageW(window, WM_GETTEXT, 720, LPARAM(text));
  return text;
}

inline std::string Centre(const RECT& rc) {
  return std::to_string((rc.left + rc.right) / 2) + " " + std::to_string((rc.top + rc.bottom) / 2);
}

inline std::string Centre(HWND window) {
  RECT rc;
  GetWindowRect(window, &rc);
  return Centre(rc);
}

struct Search {
  DWORD process;
  int id;
  HWND found;
};

inline BOOL CALLBACK MatchTopWindow(HWND window, LPARAM param) {
  Search* s = reinterpret_cast<Search*>(param);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner != s->process || !IsWindowVisible(window) || !GetDlgItem(window, s->id)) return TRUE;
  s->found = window;
  return FALSE;
}

inline BOOL CALLBACK MatchChild(HWND child, LPARAM param) {
  Search* s = reinterpret_cast<Search*>(param);
  if (GetDlgCtrlID(child) != s->id) return TRUE;
  s->found = child;
  return FALSE;
}

// A visible top-level window of the process with a child of the given id.
inline HWND FindTopWindow(DWORD process, int childId) {
  Search search = {process, childId, nullptr};
  EnumWindows(MatchTopWindow, LPARAM(&search));
  return search.found;
}

// A control anywhere below `window` by its id.
inline HWND FindDescendant(HWND window, int id) {
  Search search = {0, id, nullptr};
  EnumChildWindows(window, MatchChild, LPARAM(&search));
  return search.found;
}

// A block of memory in another process for the requests that carry
// pointers: written before the request, read back after it.
class RemoteBlock {
 public:
  RemoteBlock(HANDLE process, size_t size) : process_(process) {
    base_ = static_cast<char*>(
        VirtualAllocEx(process, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  }
  ~RemoteBlock() {
    if (base_) VirtualFreeEx(process_, base_, 0, MEM_RELEASE);
  }
  RemoteBlock(const RemoteBlock&) = delete;
  RemoteBlock& operator=(const RemoteBlock&) = delete;
  char* At(size_t offset) const { return base_ + offset; }
  bool Write(const void* data, size_t size, size_t offset = 0) const {
    return base_ && WriteProcessMemory(process_, base_ + offset, data, size, nullptr);
  }
  bool Read(void* data, size_t size, size_t offset = 0) const {
    return base_ && ReadProcessMemory(process_, base_ + offset, data, size, nullptr);
  }

 private:
  HANDLE process_;
  char* base_ = nullptr;
};

// The screen point in the middle of the label of the program's list item
// named `name`. A list of another process reads its pointers in its own
// memory, so the request goes there.
inline bool ItemCentre(HANDLE process, HWND list, const std::wstring& name, std::string* at,
                       int* row = nullptr) {
  struct Block {
    LVFINDINFOW find;
    RECT rect;
    wchar_t text[260];
  } local = {};
  RemoteBlock remote(process, sizeof local);
  local.find.flags = LVFI_STRING;
  local.find.psz = reinterpret_cast<LPCWSTR>(remote.At(offsetof(Block, text)));
  lstrcpynW(local.text, name.c_str(), 260);
  local.rect.left = LVIR_LABEL;
  if (!remote.Write(&local, sizeof local)) return false;
  const int index = int(SendMessageW(list, LVM_FINDITEMW, WPARAM(-1), LPARAM(remote.At(0))));
  RECT rc;
  if (index < 0 ||
      !SendMessageW(list, LVM_GETITEMRECT, index, LPARAM(remote.At(offsetof(Block, rect)))) ||
      !remote.Read(&rc, sizeof rc, offsetof(Block, rect))) {
    return false;
  }
  MapWindowPoints(list, nullptr, reinterpret_cast<POINT*>(&rc), 2);
  *at = Centre(rc);
  if (row) *row = index;
  return true;
}

// A picture of a window (with what lies over it) from the screen.
inline void Picture(HWND window, const std::string& path) {
  RECT rc;
  GetWindowRect(window, &rc);
  std::ostringstream crop;
  crop << rc.right - rc.left << "x" << rc.bottom - rc.top << "+" << rc.left << "+" << rc.top;
  EXPECT_EQ(0, vt::Sh("import -window root -crop " + crop.str() + " " + vt::Q(path))) << path;
}

// The program's window states a key waits for, read across the process
// boundary: which window of its interface thread has the focus or is
// active, and whether one of its menus is open.
inline GUITHREADINFO Gui(DWORD thread) {
  GUITHREADINFO info = {sizeof info};
  GetGUIThreadInfo(thread, &info);
  return info;
}

inline BOOL CALLBACK FindMenu(HWND window, LPARAM process) {
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  wchar_t cls[16] = L"";
  GetClassNameW(window, cls, 16);
  if (owner == DWORD(*reinterpret_cast<DWORD*>(process)) && IsWindowVisible(window) &&
      lstrcmpW(cls, L"#32768") == 0) {
    *reinterpret_cast<DWORD*>(process) = 0;
    return FALSE;
  }
  return TRUE;
}

inline bool MenuOpen(DWORD process) {
  DWORD probe = process;
  EnumWindows(FindMenu, LPARAM(&probe));
  return probe == 0;
}

// Moves the pointer to the screen point `at()` gives, over `window`, until
// the display has the window's X window there. The virtual display has no
// window manager: its keyboard focus follows the pointer, and a click or a
// key that came before a window just shown was mapped and placed (or after
// a box under the pointer closed) would go to the root window and be lost.
inline void PointAt(HWND window, const std::function<std::string()>& at) {
  const unsigned long x = uitest::XWindowOf(window);
  ASSERT_NE(0ul, x) << "the window has no X window";
  ASSERT_TRUE(Poll([&] { return Xdo("mousemove " + at()) && uitest::XWindowUnderPointer() == x; }))
      << "the pointer never came over the window";
}

inline void PointAt(HWND window, const std::string& at) {
  PointAt(window, [&] { return at; });
}

// The middle of a top-level window's caption: the pointer rests there
// without starting anything.
inline std::string CaptionPoint(HWND top) {
  RECT frame;
  GetWindowRect(top, &frame);
  return std::to_string((frame.left + frame.right) / 2) + " " +
         std::to_string(frame.top + GetSystemMetrics(SM_CYCAPTION) / 2 + 2);
}

// xdotool's `keys` ("key ...", "type ...") for the top-level window `top`
// of the interface thread `thread`: once it is the thread's active window
// and the display's foreground window, and the pointer lies over it (moved
// onto its caption when it does not).
inline void KeysTo(DWORD thread, HWND top, const std::string& keys) {
  ASSERT_TRUE(Poll([&] { return Gui(thread).hwndActive == top && GetForegroundWindow() == top; }))
      << "not in the foreground for " << keys;
  if (uitest::XWindowUnderPointer() != uitest::XWindowOf(top)) {
    ASSERT_NO_FATAL_FAILURE(PointAt(top, CaptionPoint(top)));
  }
  ASSERT_TRUE(Xdo(keys));
}

// Opens the menu of `alt` (a key name such as "alt+f") of the top-level
// window `top` and, once it is open, presses `item`.
inline void MenuKey(DWORD thread, HWND top, const std::string& alt, const std::string& item) {
  DWORD process = 0;
  GetWindowThreadProcessId(top, &process);
  ASSERT_NO_FATAL_FAILURE(KeysTo(thread, top, "key " + alt));
  ASSERT_TRUE(Poll([&] { return MenuOpen(process); })) << alt << " opened no menu";
  ASSERT_TRUE(Xdo("key " + item));
}

// Clicks `window` and waits until it has the program's keyboard focus.
inline void ClickToFocus(DWORD thread, HWND window, const std::string& at) {
  ASSERT_NO_FATAL_FAILURE(PointAt(window, at));
  ASSERT_TRUE(Xdo("click 1"));
  ASSERT_TRUE(Poll([&] { return Gui(thread).hwndFocus == window; })) << "the click gave no focus";
}

// Clicks `row` of a list (at `at`) and waits until the list has the focus
// and that row alone is selected.
inline void ClickToSelect(DWORD thread, HWND list, const std::string& at, int row) {
  ASSERT_NO_FATAL_FAILURE(PointAt(list, at));
  ASSERT_TRUE(Xdo("click 1"));
  ASSERT_TRUE(Poll([&] {
    return Gui(thread).hwndFocus == list && SendMessageW(list, LVM_GETSELECTEDCOUNT, 0, 0) == 1 &&
           SendMessageW(list, LVM_GETITEMSTATE, row, LVIS_SELECTED) != 0;
  })) << "the click selected no row";
}

// Types `text` into the edit that has the focus and waits until it holds it.
inline void TypeInto(DWORD thread, HWND edit, const std::wstring& text) {
  ASSERT_TRUE(Poll([&] { return Gui(thread).hwndFocus == edit; })) << "the edit has no focus";
  ASSERT_NO_FATAL_FAILURE(KeysTo(thread, GetAncestor(edit, GA_ROOT), "key ctrl+a"));
  ASSERT_TRUE(Xdo("type --delay 10 " + vt::Q(vt::Narrow(text))));
  ASSERT_TRUE(Poll([&] { return session::Text(edit) == text; }))
      << vt::Narrow(session::Text(edit));
}

inline void ClickAndType(DWORD thread, HWND combo, const std::wstring& text) {
  HWND edit = reinterpret_cast<HWND>(SendMessageW(combo, CBEM_GETEDITCONTROL, 0, 0));
  if (!edit) edit = combo;
  ASSERT_NO_FATAL_FAILURE(ClickToFocus(thread, edit, Centre(edit)));
  ASSERT_NO_FATAL_FAILURE(TypeInto(thread, edit, text));
}

// The text of a cell of a list of the program.
inline std::wstring CellText(HANDLE process, HWND list, int row, int column) {
  struct Block {
    LVITEMW item;
    wchar_t text[400];
  } local = {};
  RemoteBlock remote(process, sizeof local);
  local.item.iSubItem = column;
  local.item.pszText = reinterpret_cast<LPWSTR>(remote.At(offsetof(Block, text)));
  local.item.cchTextMax = 400;
  if (!remote.Write(&local, sizeof local)) return L"";
  SendMessageW(list, LVM_GETITEMTEXTW, row, LPARAM(remote.At(0)));
  remote.Read(&local, sizeof local);
  local.text[399] = 0;
  return local.text;
}

// The texts of the first column of a list of the program, row by row.
inline std::vector<std::wstring> ListNames(HANDLE process, HWND list) {
  std::vector<std::wstring> names;
  const int count = int(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) names.push_back(CellText(process, list, i, 0));
  return names;
}

// The sort arrow a column of a list's header shows: 1 up, -1 down, 0 none.
inline int HeaderArrow(HANDLE process, HWND list, int column) {
  HWND header = reinterpret_cast<HWND>(SendMessageW(list, LVM_GETHEADER, 0, 0));
  RemoteBlock remote(process, sizeof(HDITEMW));
  HDITEMW item = {};
  item.mask = HDI_FORMAT;
  if (!remote.Write(&item, sizeof item) ||
      !SendMessageW(header, HDM_GETITEMW, column, LPARAM(remote.At(0))) ||
      !remote.Read(&item, sizeof item)) {
    return 0;
  }
  return (item.fmt & HDF_SORTUP) ? 1 : (item.fmt & HDF_SORTDOWN) ? -1 : 0;
}

// Whether a window is a visible message box of the process: a dialog with
// its text in static 0xFFFF.
inline bool IsMessageBoxOf(HWND window, DWORD process) {
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  wchar_t cls[16] = L"";
  GetClassNameW(window, cls, 16);
  return owner == process && IsWindowVisible(window) && !lstrcmpW(cls, L"#32770") &&
         GetDlgItem(window, 0xFFFF);
}

inline BOOL CALLBACK MatchMessageBox(HWND window, LPARAM param) {
  Search* s = reinterpret_cast<Search*>(param);
  if (!IsMessageBoxOf(window, s->process)) return TRUE;
  s->found = window;
  return FALSE;
}

// A message box of the process that is up, or null.
inline HWND FindMessageBox(DWORD process) {
  Search search = {process, 0, nullptr};
  EnumWindows(MatchMessageBox, LPARAM(&search));
  return search.found;
}

inline BOOL CALLBACK AddVisibleButton(HWND child, LPARAM out) {
  wchar_t cls[16] = L"";
  GetClassNameW(child, cls, 16);
  if (!IsWindowVisible(child) || lstrcmpiW(cls, L"Button")) return TRUE;
  RECT rc;
  GetWindowRect(child, &rc);
  reinterpret_cast<std::vector<std::pair<LONG, std::wstring>>*>(out)->push_back(
      {rc.left, session::Text(child)});
  return TRUE;
}

// The labels of a box's visible buttons, left to right, "|" after each.
inline std::wstring ButtonLabels(HWND box) {
  std::vector<std::pair<LONG, std::wstring>> buttons;
  EnumChildWindows(box, AddVisibleButton, LPARAM(&buttons));
  std::sort(buttons.begin(), buttons.end());
  std::wstring labels;
  for (const auto& b : buttons) labels += b.second + L"|";
  return labels;
}

// The built program started from a copy in `dir` (which holds its ini file
// and the session's files); ended at the end of the test if it has not
// ended by itself. Start() waits for its main window to come up, activates
// it by a click on its caption, and fills main, ui and process; arguments
// follow the program's path on its command line.
struct Program {
  PROCESS_INFORMATION pi = {};
  HWND main = nullptr;
  DWORD ui = 0, id = 0;
  ~Program() {
    if (!pi.hProcess) return;
    if (WaitForSingleObject(pi.hProcess, 0) != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 1);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
  // Copies the program and writes its ini file with the language.
  static std::string Prepare(const std::string& dir, const std::string& language) {
    return "rm -rf " + vt::Q(dir) + " && mkdir -p " + vt::Q(dir) + " && cd " + vt::Q(dir) +
           " && cp " + vt::Q(VRO_PROGRAM_UNIX) + " . && printf '[Config]\\r\\nLanguage=" +
           language + "\\r\\n' > VroMount.ini";
  }
  // With `waitForMain` false it returns once the process runs (a box its
  // start shows may come before the main window).
  void Start(const std::string& dir, int mainChildId, const std::wstring& arguments = L"",
             bool waitForMain = true) {
    std::wstring line = L"\"" + vt::ToWin(dir + "/VroMount.exe") + L"\" " + arguments;
    STARTUPINFOW si = {sizeof si};
    ASSERT_TRUE(
        CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    id = pi.dwProcessId;
    ui = pi.dwThreadId;
    if (!waitForMain) return;
    ASSERT_TRUE(Poll([&] { return (main = FindTopWindow(id, mainChildId)) != nullptr; }, 30));
    ASSERT_NO_FATAL_FAILURE(PointAt(main, [&] { return CaptionPoint(main); }));
    ASSERT_TRUE(Xdo("click 1"));
    ASSERT_TRUE(Poll([&] { return Gui(ui).hwndActive == main; })) << "the click did not activate";
  }
};

// Waits for a message box of the program to be up and active (a worker
// thread of the program may own it).
inline HWND AwaitBox(const Program& program) {
  HWND box = nullptr;
  EXPECT_TRUE(Poll([&] {
    box = FindMessageBox(program.id);
    return box && Gui(GetWindowThreadProcessId(box, nullptr)).hwndActive == box;
  })) << "no message box came up";
  return box;
}

// Presses `key` in the box, the pointer over its text (as a user's would
// be), and waits until it has gone.
inline void AnswerBox(HWND box, const std::string& key) {
  ASSERT_NO_FATAL_FAILURE(PointAt(box, Centre(GetDlgItem(box, 0xFFFF))));
  ASSERT_NO_FATAL_FAILURE(KeysTo(GetWindowThreadProcessId(box, nullptr), box, "key " + key));
  ASSERT_TRUE(Poll([&] { return !IsWindow(box); })) << key << " did not close the box";
}

// Clicks the row, F2, types the new name over the old one, Enter.
inline void RenameByKeys(const Program& program, HWND list, const std::wstring& name,
                         const std::string& to) {
  std::string at;
  int row = -1;
  ASSERT_TRUE(ItemCentre(program.pi.hProcess, list, name, &at, &row));
  ASSERT_NO_FATAL_FAILURE(ClickToSelect(program.ui, list, at, row));
  ASSERT_NO_FATAL_FAILURE(KeysTo(program.ui, program.main, "key F2"));
  HWND edit = nullptr;
  ASSERT_TRUE(Poll([&] {
    edit = Gui(program.ui).hwndFocus;
    return edit && edit != list;
  })) << "no label edit";
  ASSERT_NO_FATAL_FAILURE(TypeInto(program.ui, edit, vt::Widen(to)));
  ASSERT_NO_FATAL_FAILURE(KeysTo(program.ui, program.main, "key Return"));
}

}  // namespace session
