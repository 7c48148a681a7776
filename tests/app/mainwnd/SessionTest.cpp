// A whole session with the built program at the X display (xdotool), as a
// user has it: a new plain image made from the File menu, opened by typing
// its path into the image address bar, a host folder added to it, the
// properties of an added file, and the program closed from the File menu;
// ntfs-3g's tools then read the image. The session runs in 2052, or in the
// languages VRO_SESSION_LANGUAGES names ("2052 1041 1042"); with
// VRO_SESSION_PICTURES naming a folder, it saves pictures of the main window
// and the properties there (scripts/main-window-screenshots.sh).
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <sstream>
#include <string>

#include "TestSupport.h"
#include "resources/ResourceIds.h"

namespace {

std::string Env(const char* name) {
  char value[512] = "";
  const DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
  return n && n < sizeof value ? value : "";
}

bool Xdo(const std::string& arguments) {
  return vt::Sh("xdotool " + arguments) == 0;
}

bool Poll(const std::function<bool()>& done, int seconds = 20) {
  for (DWORD start = GetTickCount(); GetTickCount() - start < DWORD(seconds) * 1000;) {
    if (done()) return true;
    Sleep(100);
  }
  return done();
}

// The text of a window of the program: GetWindowText would give a control
// of another process its caption only, not what an edit holds.
std::wstring Text(HWND window) {
  wchar_t text[720] = L"";
  SendMessageW(window, WM_GETTEXT, 720, LPARAM(text));
  return text;
}

std::string Centre(const RECT& rc) {
  return std::to_string((rc.left + rc.right) / 2) + " " + std::to_string((rc.top + rc.bottom) / 2);
}

std::string Centre(HWND window) {
  RECT rc;
  GetWindowRect(window, &rc);
  return Centre(rc);
}

struct Search {
  DWORD process;
  int id;
  HWND found;
};

BOOL CALLBACK MatchTopWindow(HWND window, LPARAM param) {
  Search* s = reinterpret_cast<Search*>(param);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner != s->process || !IsWindowVisible(window) || !GetDlgItem(window, s->id)) return TRUE;
  s->found = window;
  return FALSE;
}

BOOL CALLBACK MatchChild(HWND child, LPARAM param) {
  Search* s = reinterpret_cast<Search*>(param);
  if (GetDlgCtrlID(child) != s->id) return TRUE;
  s->found = child;
  return FALSE;
}

// A visible top-level window of the process with a child of the given id.
HWND FindTopWindow(DWORD process, int childId) {
  Search search = {process, childId, nullptr};
  EnumWindows(MatchTopWindow, LPARAM(&search));
  return search.found;
}

// A control anywhere below `window` by its id.
HWND FindDescendant(HWND window, int id) {
  Search search = {0, id, nullptr};
  EnumChildWindows(window, MatchChild, LPARAM(&search));
  return search.found;
}

// The screen point in the middle of the label of the program's list item
// named `name`. A list of another process reads its pointers in its own
// memory, so the request goes there.
bool ItemCentre(HANDLE process, HWND list, const std::wstring& name, std::string* at,
                int* row = nullptr) {
  struct Block {
    LVFINDINFOW find;
    RECT rect;
    wchar_t text[260];
  } local = {};
  char* remote = static_cast<char*>(
      VirtualAllocEx(process, nullptr, sizeof local, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  if (!remote) return false;
  local.find.flags = LVFI_STRING;
  local.find.psz = reinterpret_cast<LPCWSTR>(remote + offsetof(Block, text));
  lstrcpynW(local.text, name.c_str(), 260);
  local.rect.left = LVIR_LABEL;
  bool ok = false;
  if (WriteProcessMemory(process, remote, &local, sizeof local, nullptr)) {
    const int index = int(SendMessageW(list, LVM_FINDITEMW, WPARAM(-1), LPARAM(remote)));
    RECT rc;
    if (index >= 0 &&
        SendMessageW(list, LVM_GETITEMRECT, index, LPARAM(remote + offsetof(Block, rect))) &&
        ReadProcessMemory(process, remote + offsetof(Block, rect), &rc, sizeof rc, nullptr)) {
      MapWindowPoints(list, nullptr, reinterpret_cast<POINT*>(&rc), 2);
      *at = Centre(rc);
      if (row) *row = index;
      ok = true;
    }
  }
  VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  return ok;
}

// A picture of a window (with what lies over it) from the screen.
void Picture(HWND window, const std::string& path) {
  RECT rc;
  GetWindowRect(window, &rc);
  std::ostringstream crop;
  crop << rc.right - rc.left << "x" << rc.bottom - rc.top << "+" << rc.left << "+" << rc.top;
  EXPECT_EQ(0, vt::Sh("import -window root -crop " + crop.str() + " " + vt::Q(path))) << path;
}

// The program's window states a key waits for, read across the process
// boundary: which window of its interface thread has the focus or is
// active, and whether one of its menus is open.
GUITHREADINFO Gui(DWORD thread) {
  GUITHREADINFO info = {sizeof info};
  GetGUIThreadInfo(thread, &info);
  return info;
}

BOOL CALLBACK FindMenu(HWND window, LPARAM process) {
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

bool MenuOpen(DWORD process) {
  DWORD probe = process;
  EnumWindows(FindMenu, LPARAM(&probe));
  return probe == 0;
}

// Opens the menu of `alt` (a key name such as "alt+f") and, once it is
// open, presses `item`.
void MenuKey(DWORD process, const std::string& alt, const std::string& item) {
  ASSERT_TRUE(Xdo("key " + alt));
  ASSERT_TRUE(Poll([&] { return MenuOpen(process); })) << alt << " opened no menu";
  ASSERT_TRUE(Xdo("key " + item));
}

// Clicks `window` and waits until it has the program's keyboard focus.
void ClickToFocus(DWORD thread, HWND window, const std::string& at) {
  ASSERT_TRUE(Xdo("mousemove " + at + " click 1"));
  ASSERT_TRUE(Poll([&] { return Gui(thread).hwndFocus == window; })) << "the click gave no focus";
}

// Clicks `row` of a list (at `at`) and waits until the list has the focus
// and that row alone is selected.
void ClickToSelect(DWORD thread, HWND list, const std::string& at, int row) {
  ASSERT_TRUE(Xdo("mousemove " + at + " click 1"));
  ASSERT_TRUE(Poll([&] {
    return Gui(thread).hwndFocus == list && SendMessageW(list, LVM_GETSELECTEDCOUNT, 0, 0) == 1 &&
           SendMessageW(list, LVM_GETITEMSTATE, row, LVIS_SELECTED) != 0;
  })) << "the click selected no row";
}

void ClickAndType(DWORD thread, HWND combo, const std::wstring& text) {
  HWND edit = reinterpret_cast<HWND>(SendMessageW(combo, CBEM_GETEDITCONTROL, 0, 0));
  if (!edit) edit = combo;
  ClickToFocus(thread, edit, Centre(edit));
  ASSERT_TRUE(Xdo("key ctrl+a"));
  ASSERT_TRUE(Xdo("type --delay 10 " + vt::Q(vt::Narrow(text))));
  ASSERT_TRUE(Poll([&] { return Text(edit) == text; })) << vt::Narrow(Text(edit));
}

void RunSession(const std::string& language, const std::string& pictures) {
  // Pictures show the addresses: a short folder beside them then.
  const std::string dir =
      pictures.empty() ? vt::ScratchSubdirUnix(language) : pictures + "/" + language;
  ASSERT_EQ(0, vt::Sh("rm -rf " + vt::Q(dir) + " && mkdir -p " + vt::Q(dir) + " && cd " +
                      vt::Q(dir) + " && cp " + vt::Q(VRO_PROGRAM_UNIX) +
                      " . && printf '[Config]\\r\\nLanguage=" + language +
                      "\\r\\n' > VroMount.ini && mkdir -p host/data/sub"
                      " && yes 'hello session' | head -c 2000 > host/data/readme.txt"
                      " && head -c 50000 /dev/urandom > host/data/sub/blob.bin"));
  const std::wstring image = vt::ToWin(dir + "/new.img"), host = vt::ToWin(dir + "/host");
  std::wstring line = L"\"" + vt::ToWin(dir + "/VroMount.exe") + L"\"";
  STARTUPINFOW si = {sizeof si};
  PROCESS_INFORMATION pi;
  ASSERT_TRUE(
      CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  struct Closer {
    PROCESS_INFORMATION& pi;
    ~Closer() {
      if (WaitForSingleObject(pi.hProcess, 0) != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 1);
      CloseHandle(pi.hThread);
      CloseHandle(pi.hProcess);
    }
  } closer = {pi};
  const DWORD id = pi.dwProcessId;
  HWND main = nullptr;
  ASSERT_TRUE(Poll([&] { return (main = FindTopWindow(id, IDC_IMAGE_LIST)) != nullptr; }, 30));
  HWND hostList = GetDlgItem(main, IDC_HOST_LIST), imageList = GetDlgItem(main, IDC_IMAGE_LIST);
  ASSERT_TRUE(Poll([&] { return !Text(hostList).empty(); }));  // the first drive is shown
  RECT frame;
  GetWindowRect(main, &frame);
  ASSERT_TRUE(Xdo("mousemove " + std::to_string(frame.left + 300) + " " +
                  std::to_string(frame.top + GetSystemMetrics(SM_CYCAPTION) / 2 + 2) + " click 1"));

  // File menu, "create an empty image": a 64 MiB plain image by its path.
  const DWORD ui = pi.dwThreadId;
  ASSERT_TRUE(Poll([&] { return Gui(ui).hwndActive == main; })) << "the click did not activate";
  MenuKey(id, "alt+f", "n");
  HWND create = nullptr;
  ASSERT_TRUE(Poll([&] { return (create = FindTopWindow(id, IDC_DT_RAW)) != nullptr; }))
      << "the File menu opened no create dialog";
  ASSERT_TRUE(Poll([&] { return Gui(ui).hwndActive == create && Gui(ui).hwndFocus; }));
  ASSERT_TRUE(Xdo("key alt+n"));
  ASSERT_TRUE(Xdo("type --delay 10 " + vt::Q(vt::Narrow(image))));
  ASSERT_TRUE(Xdo("key alt+z ctrl+a"));
  ASSERT_TRUE(Xdo("type 64"));
  ASSERT_TRUE(Xdo("key alt+r"));
  ASSERT_TRUE(Poll([&] {
    return SendMessageW(GetDlgItem(create, IDC_DT_RAW), BM_GETCHECK, 0, 0) == BST_CHECKED &&
           Text(GetDlgItem(create, IDC_DT_SIZE)) == L"64" &&
           Text(GetDlgItem(create, IDC_DT_TARGET_IMAGE)) == image;
  })) << vt::Narrow(Text(GetDlgItem(create, IDC_DT_TARGET_IMAGE)))
      << " / " << vt::Narrow(Text(GetDlgItem(create, IDC_DT_SIZE)));
  ASSERT_TRUE(Xdo("key alt+c"));
  ASSERT_TRUE(Poll([&] { return !IsWindow(create); }, 30)) << "the image was not created";
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  ASSERT_TRUE(GetFileAttributesExW(image.c_str(), GetFileExInfoStandard, &data));
  EXPECT_EQ(64u * 1048576 + 512, data.nFileSizeLow) << "the plain disk and its header sector";
  EXPECT_TRUE(Text(imageList).empty()) << "the new image is not opened by itself";

  // Both addresses typed, each opened by Enter.
  ClickAndType(ui, GetDlgItem(main, IDC_HOST_ADDRESS), host);
  ASSERT_TRUE(Xdo("key Return"));
  ASSERT_TRUE(Poll([&] { return lstrcmpiW(Text(hostList).c_str(), host.c_str()) == 0; }))
      << vt::Narrow(Text(hostList));
  ClickAndType(ui, GetDlgItem(main, IDC_IMAGE_ADDRESS), image);
  ASSERT_TRUE(Xdo("key Return"));
  ASSERT_TRUE(Poll([&] { return Text(imageList) == image + L"\\"; }))
      << vt::Narrow(Text(imageList));

  // The host folder selected by a click and added by Ctrl+U.
  std::string at;
  int row = -1;
  ASSERT_TRUE(ItemCentre(pi.hProcess, hostList, L"data", &at, &row));
  ClickToSelect(ui, hostList, at, row);
  ASSERT_TRUE(Xdo("key ctrl+u"));
  ASSERT_TRUE(Poll([&] {
    return IsWindowEnabled(imageList) && ItemCentre(pi.hProcess, imageList, L"data", &at, &row);
  })) << "the folder did not reach the image";

  // Into the added folder (Enter), the file chosen by a click, Alt+Enter.
  ClickToSelect(ui, imageList, at, row);
  ASSERT_TRUE(Xdo("key Return"));
  ASSERT_TRUE(Poll([&] { return Text(imageList) == image + L"\\data"; }))
      << vt::Narrow(Text(imageList));
  ASSERT_TRUE(
      Poll([&] { return ItemCentre(pi.hProcess, imageList, L"readme.txt", &at, &row); }));
  ClickToSelect(ui, imageList, at, row);
  if (!pictures.empty()) {
    Sleep(500);
    Picture(main, pictures + "/main-" + language + ".png");
  }
  ASSERT_TRUE(Xdo("key alt+Return"));
  HWND properties = nullptr;
  ASSERT_TRUE(Poll([&] { return (properties = FindTopWindow(id, IDC_PROPERTY_TABS)) != nullptr; }))
      << "Alt+Enter opened no properties";
  HWND size = nullptr;
  ASSERT_TRUE(Poll([&] { return (size = FindDescendant(properties, IDC_INFO_SIZE)) != nullptr; }));
  EXPECT_EQ(0u, Text(size).find(L"2,000 ")) << vt::Narrow(Text(size));
  EXPECT_NE(std::wstring::npos, Text(properties).find(L"readme.txt"));
  if (!pictures.empty()) {
    Sleep(500);
    Picture(properties, pictures + "/main-properties-" + language + ".png");
  }
  ASSERT_TRUE(Xdo("key Return"));
  ASSERT_TRUE(Poll([&] { return !IsWindow(properties); }));

  // File menu, Exit: the program ends by itself.
  ASSERT_TRUE(Poll([&] { return Gui(ui).hwndActive == main; }));
  MenuKey(id, "alt+f", "x");
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(pi.hProcess, 30000));
  DWORD code = 1;
  GetExitCodeProcess(pi.hProcess, &code);
  EXPECT_EQ(0u, code);

  // The plain image is its header sector followed by the disk.
  std::string out;
  EXPECT_EQ(
      0, vt::Sh("cd " + vt::Q(dir) +
                    " && dd if=new.img of=disk.raw bs=512 skip=1 status=none"
                    " && start=$(sfdisk -d disk.raw | sed -n 's/.*start= *\\([0-9]*\\),.*/\\1/p')"
                    " && dd if=disk.raw of=part.raw bs=512 skip=$start status=none"
                    " && ntfsfix -n part.raw && ntfsls -R part.raw"
                    " && ntfscat part.raw /data/readme.txt | cmp - host/data/readme.txt"
                    " && ntfscat part.raw /data/sub/blob.bin | cmp - host/data/sub/blob.bin",
                &out))
      << out;
  EXPECT_NE(std::string::npos, out.find("processed successfully")) << out;
  EXPECT_NE(std::string::npos, out.find("/data/sub:")) << out;
}

TEST(MainWindowSession, NewImageAddedFolderPropertiesAndExit) {
  if (vt::Sh("command -v xdotool >/dev/null") != 0) GTEST_SKIP() << "xdotool is missing";
  std::string languages = Env("VRO_SESSION_LANGUAGES");
  if (languages.empty()) languages = "2052";
  const std::string pictures = Env("VRO_SESSION_PICTURES");
  std::istringstream list(languages);
  for (std::string language; list >> language;) {
    SCOPED_TRACE("language " + language);
    RunSession(language, pictures);
  }
}

}  // namespace
