// The shared pieces of the driver lists on a real list view: the painter's
// stages, colours by row state, the selection frame, a disabled list, the
// overlay, the combo button of column 2; the version combo filled from a
// store package's folders; the in-place combo laid over a cell and cut at
// the list's right edge, opened and closed by two calls.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <string>

#include "../../ui/UiTestUtil.h"
#include "../StoreTestUtil.h"
#include "TestSupport.h"
#include "driverui/DriverIcons.h"
#include "driverui/DriverListDraw.h"

namespace {

struct ListHost {
  HWND host, list, combo;
  ListHost() {
    host = uitest::MakeHost(500, 300);
    list = CreateWindowExW(0, WC_LISTVIEWW, L"", WS_CHILD | WS_VISIBLE | LVS_REPORT, 10, 10, 400,
                           200, host, (HMENU)1001, nullptr, nullptr);
    combo = CreateWindowExW(0, L"COMBOBOX", L"", WS_CHILD | CBS_DROPDOWNLIST | WS_VSCROLL, 0, 0, 80,
                            200, host, (HMENU)1035, nullptr, nullptr);
    SendMessageW(host, WM_SETFONT, (WPARAM)GetStockObject(DEFAULT_GUI_FONT), 0);
    HIMAGELIST images = ImageList_Create(24, 24, ILC_COLOR32 | ILC_MASK, 10, 0);
    const int icons[10] = {161, 161, 161, 129, 129, 129, 128, 128, 128, 130};
    EXPECT_EQ(10, AppendDriverIcons(images, GetModuleHandleW(nullptr), icons, 10, 16));
    ListView_SetImageList(list, images, LVSIL_SMALL);
    const int widths[3] = {150, 100, 200};
    for (int c = 0; c < 3; ++c) {
      LVCOLUMNW col = {};
      col.mask = LVCF_WIDTH | LVCF_TEXT;
      col.cx = widths[c];
      col.pszText = const_cast<wchar_t*>(L"c");
      ListView_InsertColumn(list, c, &col);
    }
    for (int i = 0; i < 3; ++i) {
      LVITEMW it = {};
      it.mask = LVIF_TEXT | LVIF_IMAGE;
      it.iItem = i;
      it.iImage = i;
      it.pszText = const_cast<wchar_t*>(L"WWWWWWWWWW");
      ListView_InsertItem(list, &it);
      ListView_SetItemText(list, i, 2, const_cast<wchar_t*>(L"1.0"));
    }
    uitest::Pump();
  }
  ~ListHost() { DestroyWindow(host); }
};

// Paints row `item` into a bitmap.
struct Painted {
  HDC dc;
  HBITMAP bitmap;
  RECT row;
  LRESULT result;
  Painted(HWND list, int item, const DriverListPaintContext* context) {
    // Wide enough for the whole row, which runs past the list's client.
    HDC screen = GetDC(list);
    dc = CreateCompatibleDC(screen);
    bitmap = CreateCompatibleBitmap(screen, 600, 300);
    ReleaseDC(list, screen);
    SelectObject(dc, bitmap);
    NMLVCUSTOMDRAW draw = {};
    draw.nmcd.hdr = {list, 1001, (UINT)NM_CUSTOMDRAW};
    draw.nmcd.hdc = dc;
    draw.nmcd.dwDrawStage = CDDS_ITEMPREPAINT;
    draw.nmcd.dwItemSpec = item;
    result = PaintDriverListItem(&draw, context);
    row.left = LVIR_BOUNDS;
    SendMessageW(list, LVM_GETITEMRECT, item, (LPARAM)&row);
  }
  ~Painted() {
    DeleteDC(dc);
    DeleteObject(bitmap);
  }
  int Count(COLORREF colour, int fromX, int toX) {
    int n = 0;
    for (int y = row.top; y < row.bottom; ++y)
      for (int x = row.left + fromX; x < row.left + toX; ++x)
        if (GetPixel(dc, x, y) == colour) ++n;
    return n;
  }
};

TEST(DriverListDraw, StagesColoursSelectionOverlayAndComboButton) {
  ListHost h;
  NMLVCUSTOMDRAW draw = {};
  draw.nmcd.hdr = {h.list, 1001, (UINT)NM_CUSTOMDRAW};
  draw.nmcd.dwDrawStage = CDDS_PREPAINT;
  EXPECT_EQ(CDRF_NOTIFYITEMDRAW, PaintDriverListItem(&draw, nullptr));
  draw.nmcd.dwDrawStage = CDDS_ITEMPOSTPAINT;
  EXPECT_EQ(0, PaintDriverListItem(&draw, nullptr));

  DriverListPaintContext none = {};
  {
    Painted normal(h.list, 0, &none);
    EXPECT_EQ(CDRF_SKIPDEFAULT, normal.result);
    EXPECT_EQ(0, normal.Count(kRowProblemText, 40, 150));
    EXPECT_EQ(0, normal.Count(RGB(230, 40, 30), 0, 24)) << "no overlay on a normal row";
  }
  {
    Painted red(h.list, 1, &none);
    EXPECT_GT(red.Count(kRowProblemText, 40, 150), 10) << "red text";
    EXPECT_GT(red.Count(RGB(230, 40, 30), 0, 24), 5) << "the overlay over the icon";
  }
  {
    Painted grey(h.list, 2, &none);
    EXPECT_GT(grey.Count(kRowNotAssociatedText, 40, 150), 10) << "grey text";
    EXPECT_GT(grey.Count(RGB(230, 40, 30), 0, 24), 5);
  }
  ListView_SetItemState(h.list, 0, LVIS_SELECTED, LVIS_SELECTED);
  {
    Painted selected(h.list, 0, &none);
    int right = selected.row.right - 1;
    EXPECT_EQ(kRowSelectedFrame, GetPixel(selected.dc, right, selected.row.top));
    EXPECT_EQ(kRowSelectedFill, GetPixel(selected.dc, right - 2, selected.row.top + 2));
  }
  EnableWindow(h.list, FALSE);
  {
    Painted disabled(h.list, 0, &none);
    COLORREF face = GetSysColor(COLOR_BTNFACE);
    EXPECT_EQ(face, GetPixel(disabled.dc, disabled.row.right - 1, disabled.row.top));
    EXPECT_EQ(face, GetPixel(disabled.dc, disabled.row.right - 3, disabled.row.top + 2))
        << "no selection frame on a disabled list";
  }
  EnableWindow(h.list, TRUE);
  // Column 2 with the combo: its button at the cell's right end.
  DriverListPaintContext withCombo = {{nullptr, nullptr, h.combo}};
  Painted plain(h.list, 1, &none), button(h.list, 1, &withCombo);
  int differing = 0;
  for (int y = plain.row.top; y < plain.row.bottom; ++y)
    for (int x = plain.row.left + 430; x < plain.row.left + 450; ++x)
      if (GetPixel(plain.dc, x, y) != GetPixel(button.dc, x, y)) ++differing;
  EXPECT_GT(differing, 10) << "the drop-down button is drawn";
}

TEST(DriverListDraw, VersionComboFromTheStoreAndCellPlacement) {
  std::wstring root = vt::ScratchDir() + L"\\store";
  st::SetStoreRoot(root);
  std::string pkg = vt::ToUnix(root) + "/Network/6.1_x64/VEN_1";
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(pkg + "/1.0") + " " + vt::Q(pkg + "/2.0") + " && touch " +
                      vt::Q(pkg + "/VroDir.ini")));
  ListHost h;
  EXPECT_EQ(2, FillVersionCombo(kStoreNetwork, nullptr, L"6.1_x64", L"VEN_1", L"2.0", h.combo));
  wchar_t text[20] = {};
  SendMessageW(h.combo, CB_GETLBTEXT, SendMessageW(h.combo, CB_GETCURSEL, 0, 0), (LPARAM)text);
  EXPECT_STREQ(L"2.0", text);
  EXPECT_EQ(0, FillVersionCombo(kStoreNetwork, nullptr, L"6.1_x64", L"VEN_2", L"2.0", h.combo));
  EXPECT_EQ(0, SendMessageW(h.combo, CB_GETCOUNT, 0, 0));
  EXPECT_EQ(2, FillVersionCombo(kStoreNetwork, nullptr, L"6.1_x64", L"VEN_1", L"1.0", h.combo));

  ShowCellCombo(h.host, h.list, h.combo, 1, 2, 0);
  EXPECT_TRUE(SendMessageW(h.combo, CB_GETDROPPEDSTATE, 0, 0));
  EXPECT_FALSE(IsWindowVisible(h.combo)) << "only the drop-down list shows";
  RECT list, combo;
  GetWindowRect(h.list, &list);
  GetWindowRect(h.combo, &combo);
  EXPECT_LE(combo.right, list.right) << "cut at the list's right edge";
  EXPECT_LT(combo.right - combo.left, 200);
  RECT cell = {};
  cell.top = 2;
  cell.left = LVIR_BOUNDS;
  SendMessageW(h.list, LVM_GETSUBITEMRECT, 1, (LPARAM)&cell);
  POINT bottom = {cell.left, cell.bottom};
  ClientToScreen(h.list, &bottom);
  EXPECT_EQ(bottom.y, combo.bottom) << "the list drops directly below the row";
  ShowCellCombo(h.host, h.list, h.combo, 1, 2, 0);
  EXPECT_FALSE(SendMessageW(h.combo, CB_GETDROPPEDSTATE, 0, 0)) << "a second call closes it";
  DeleteFileW(st::SettingsFile().c_str());
}

}  // namespace
