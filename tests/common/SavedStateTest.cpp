// Saved window placements and column widths under HKCU "Software\VroMount".
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/Dpi.h"
#include "common/SavedState.h"

namespace {

const wchar_t kValue[] = L"VroTest_Placement";
const wchar_t kColumns[] = L"VroTest_Columns";

void Store(const wchar_t* name, const void* data, DWORD size) {
  HKEY key;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0,
                                           KEY_WRITE, nullptr, &key, nullptr));
  RegSetValueExW(key, name, 0, REG_BINARY, static_cast<const BYTE*>(data), size);
  RegCloseKey(key);
}

std::vector<BYTE> Stored(const wchar_t* name) {
  BYTE buf[256];
  DWORD size = sizeof buf;
  if (RegGetValueW(HKEY_CURRENT_USER, kSettingsKey, name, RRF_RT_REG_BINARY, nullptr, buf, &size) !=
      ERROR_SUCCESS)
    return {};
  return std::vector<BYTE>(buf, buf + size);
}

void Forget(const wchar_t* name) {
  HKEY key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_WRITE, &key) == ERROR_SUCCESS) {
    RegDeleteValueW(key, name);
    RegCloseKey(key);
  }
}

struct Window {
  HWND hwnd;
  explicit Window(const wchar_t* cls, DWORD style, HWND parent = nullptr)
      : hwnd(CreateWindowExW(0, cls, L"t", style, 10, 20, 300, 200, parent, nullptr,
                             GetModuleHandleW(nullptr), nullptr)) {}
  ~Window() {
    if (hwnd) DestroyWindow(hwnd);
  }
};

}  // namespace

TEST(SavedState, DefaultPlacementIsCentredAndScaled) {
  Forget(kValue);
  int saved = g_ScreenDpiPercent;
  g_ScreenDpiPercent = 125;
  WINDOWPLACEMENT wp;
  LoadWindowPlacement(kValue, SW_SHOWNORMAL, &wp);
  g_ScreenDpiPercent = saved;
  EXPECT_EQ(44u, wp.length);
  EXPECT_EQ(static_cast<UINT>(SW_SHOWNORMAL), wp.showCmd);
  EXPECT_EQ(1250, wp.rcNormalPosition.right - wp.rcNormalPosition.left);
  EXPECT_EQ(775, wp.rcNormalPosition.bottom - wp.rcNormalPosition.top);
  EXPECT_EQ((GetSystemMetrics(SM_CXSCREEN) - 1250) >> 1, wp.rcNormalPosition.left);
  EXPECT_EQ((GetSystemMetrics(SM_CYSCREEN) - 775) >> 1, wp.rcNormalPosition.top);
  EXPECT_EQ(-1, wp.ptMaxPosition.x);
}

TEST(SavedState, MalformedPlacementsAreIgnored) {
  WINDOWPLACEMENT bad = {};
  bad.length = 40;
  bad.rcNormalPosition = {1, 2, 3, 4};
  Store(kValue, &bad, sizeof bad);
  WINDOWPLACEMENT wp;
  LoadWindowPlacement(kValue, SW_SHOWNORMAL, &wp);
  EXPECT_EQ(1000 * g_ScreenDpiPercent / 100, wp.rcNormalPosition.right - wp.rcNormalPosition.left);

  // Right length field but too few bytes stored: not read past the value.
  DWORD shortValue[2] = {44, 0x7777};
  Store(kValue, shortValue, sizeof shortValue);
  LoadWindowPlacement(kValue, SW_SHOWNORMAL, &wp);
  EXPECT_EQ(1000 * g_ScreenDpiPercent / 100, wp.rcNormalPosition.right - wp.rcNormalPosition.left);

  WINDOWPLACEMENT good = {};
  good.length = 44;
  good.showCmd = SW_SHOWMAXIMIZED;
  good.rcNormalPosition = {5, 6, 405, 306};
  Store(kValue, &good, sizeof good);
  LoadWindowPlacement(kValue, SW_SHOWNORMAL, &wp);
  EXPECT_EQ(405, wp.rcNormalPosition.right);
  EXPECT_EQ(static_cast<UINT>(SW_SHOWMAXIMIZED), wp.showCmd);  // stored command kept
  LoadWindowPlacement(kValue, SW_HIDE, &wp);
  EXPECT_EQ(static_cast<UINT>(SW_HIDE), wp.showCmd);  // a special command wins
  Forget(kValue);
}

TEST(SavedState, SavesOnlyVisibleUnminimisedWindows) {
  Forget(kValue);
  Window w(L"STATIC", WS_OVERLAPPEDWINDOW);
  if (!w.hwnd) GTEST_SKIP() << "no window can be made here (no display)";
  SaveWindowPlacement(w.hwnd, kValue);  // hidden
  EXPECT_TRUE(Stored(kValue).empty());
  ShowWindow(w.hwnd, SW_SHOWNORMAL);
  SaveWindowPlacement(w.hwnd, kValue);
  std::vector<BYTE> v = Stored(kValue);
  ASSERT_EQ(44u, v.size());
  EXPECT_EQ(44, v[0]);
  EXPECT_TRUE(RestoreWindowPlacement(w.hwnd, kValue, SW_SHOWNORMAL));
  Forget(kValue);
  ShowWindow(w.hwnd, SW_MINIMIZE);
  SaveWindowPlacement(w.hwnd, kValue);
  EXPECT_TRUE(Stored(kValue).empty());
}

TEST(SavedState, ColumnWidthsRoundTripOnlyForTheSameColumns) {
  INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_LISTVIEW_CLASSES};
  ASSERT_TRUE(InitCommonControlsEx(&icc));
  Forget(kColumns);
  Window parent(L"STATIC", WS_OVERLAPPEDWINDOW);
  if (!parent.hwnd) GTEST_SKIP() << "no window can be made here (no display)";
  Window list(WC_LISTVIEWW, WS_CHILD | LVS_REPORT, parent.hwnd);
  ASSERT_NE(nullptr, list.hwnd);
  LVCOLUMNW col = {LVCF_WIDTH};
  for (int i = 0; i < 3; ++i) {
    col.cx = 50 + 10 * i;
    ASSERT_EQ(i, SendMessageW(list.hwnd, LVM_INSERTCOLUMNW, i, reinterpret_cast<LPARAM>(&col)));
  }
  SaveListColumnWidths(list.hwnd, kColumns);
  std::vector<BYTE> v = Stored(kColumns);
  ASSERT_EQ(12u, v.size());
  EXPECT_EQ(60, v[4]);

  DWORD widths[3] = {111, 122, 133};
  Store(kColumns, widths, sizeof widths);
  LoadListColumnWidths(list.hwnd, kColumns, 2);  // only the first two
  EXPECT_EQ(111, SendMessageW(list.hwnd, LVM_GETCOLUMNWIDTH, 0, 0));
  EXPECT_EQ(122, SendMessageW(list.hwnd, LVM_GETCOLUMNWIDTH, 1, 0));
  EXPECT_EQ(70, SendMessageW(list.hwnd, LVM_GETCOLUMNWIDTH, 2, 0));

  DWORD other[4] = {9, 9, 9, 9};  // from a list with four columns
  Store(kColumns, other, sizeof other);
  LoadListColumnWidths(list.hwnd, kColumns, -1);
  EXPECT_EQ(111, SendMessageW(list.hwnd, LVM_GETCOLUMNWIDTH, 0, 0));
  Forget(kColumns);
}
