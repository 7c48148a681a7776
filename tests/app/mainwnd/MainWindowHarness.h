// The main window created as the program creates it, in the test's own
// thread, with the helpers the window tests share: a message pump that
// gives keys to the window as its loop does, the rows of a list, and the
// program's own way of opening an address.
#pragma once
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "SessionHarness.h"
#include "app/mainwnd/FileManagerDlg.h"
#include "resources/ResourceIds.h"
#include "ui/UiLanguage.h"

// Answers the message boxes of this process in order, as the operator would
// click them, and keeps their texts.
class Answerer {
 public:
  explicit Answerer(std::deque<int> answers) : answers_(std::move(answers)) {
    thread_ = std::thread([this] { Run(); });
  }
  ~Answerer() {
    stop_ = true;
    thread_.join();
  }
  std::vector<std::wstring> Texts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return texts_;
  }

 private:
  static BOOL CALLBACK Visit(HWND window, LPARAM self) {
    Answerer* answerer = reinterpret_cast<Answerer*>(self);
    if (!session::IsMessageBoxOf(window, GetCurrentProcessId()) || answerer->seen_.count(window))
      return TRUE;
    wchar_t text[2048] = L"";
    GetDlgItemTextW(window, 0xFFFF, text, 2048);
    std::lock_guard<std::mutex> lock(answerer->mutex_);
    if (answerer->answers_.empty()) return TRUE;
    answerer->seen_.insert(window);
    answerer->texts_.push_back(text);
    PostMessageW(window, WM_COMMAND, answerer->answers_.front(), 0);
    answerer->answers_.pop_front();
    return TRUE;
  }
  void Run() {
    while (!stop_) {
      EnumWindows(Visit, LPARAM(this));
      Sleep(50);
    }
  }
  std::deque<int> answers_;
  std::set<HWND> seen_;
  std::vector<std::wstring> texts_;
  std::mutex mutex_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

inline CFileManagerDlg*& PumpedWindow() {
  static CFileManagerDlg* window = nullptr;
  return window;
}

// The window's own loop: its key maps, then the dialog manager.
inline void Pump() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    CFileManagerDlg* window = PumpedWindow();
    if (window && IsWindow(window->m_hWnd) && msg.hwnd) {
      if (window->PreTranslateMessage(&msg)) continue;
      if (IsDialogMessageW(window->m_hWnd, &msg)) continue;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

// Pumps until done() or about `seconds` have passed.
template <class F>
bool PumpUntil(F done, int seconds = 60) {
  for (int i = 0; i < seconds * 50; ++i) {
    Pump();
    if (done()) return true;
    Sleep(20);
  }
  return done();
}

struct Row {
  std::wstring name, size;
  int image;
};

inline std::vector<Row> Rows(HWND list) {
  std::vector<Row> rows;
  const int count = int(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) {
    wchar_t name[360] = L"", size[64] = L"";
    LVITEMW lv = {};
    lv.pszText = name;
    lv.cchTextMax = 360;
    SendMessageW(list, LVM_GETITEMTEXTW, i, LPARAM(&lv));
    lv.iSubItem = 1;
    lv.pszText = size;
    lv.cchTextMax = 64;
    SendMessageW(list, LVM_GETITEMTEXTW, i, LPARAM(&lv));
    LVITEMW img = {};
    img.mask = LVIF_IMAGE;
    img.iItem = i;
    SendMessageW(list, LVM_GETITEMW, 0, LPARAM(&img));
    rows.push_back({name, size, img.iImage});
  }
  return rows;
}

inline std::wstring Text(HWND window) {
  wchar_t text[720] = L"";
  GetWindowTextW(window, text, 720);
  return text;
}

class MainWindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    INITCOMMONCONTROLSEX icc = {
        sizeof icc, ICC_WIN95_CLASSES | ICC_USEREX_CLASSES | ICC_LINK_CLASS | ICC_BAR_CLASSES};
    InitCommonControlsEx(&icc);
  }
  void SetUp() override { OpenWindow(kLangChinese); }
  // Creates the main window in a language (the test's window goes first).
  void OpenWindow(LANGID language) {
    if (window_) TearDown();
    window_ = new CFileManagerDlg();
    SetWindowLanguage(language, window_);
    ASSERT_NE(0, window_->Create(nullptr, IDD_FILE_MANAGER, FALSE, 0));
    hwnd_ = window_->m_hWnd;
    PumpedWindow() = window_;
    ShowWindow(hwnd_, SW_SHOWNORMAL);
    Pump();
  }
  void TearDown() override {
    PumpedWindow() = nullptr;
    if (IsWindow(hwnd_)) SendMessageW(hwnd_, WM_CLOSE, 0, 0);
    Pump();
  }
  HWND Item(int id) { return GetDlgItem(hwnd_, id); }
  // The program's own way to open an address: into the bar, then the
  // posted selection change with -1 for the control.
  void Navigate(int bar, const std::wstring& address) {
    COMBOBOXEXITEMW item = {};
    item.mask = CBEIF_TEXT;
    item.iItem = -1;
    item.pszText = const_cast<wchar_t*>(address.c_str());
    SendMessageW(Item(bar), CBEM_SETITEMW, 0, LPARAM(&item));
    PostMessageW(hwnd_, WM_COMMAND, MAKEWPARAM(bar, CBN_SELCHANGE), LPARAM(-1));
    Pump();
  }
  CFileManagerDlg* window_ = nullptr;
  HWND hwnd_ = nullptr;
};
