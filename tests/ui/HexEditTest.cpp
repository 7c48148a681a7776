// The hex editor on a real control, driven by messages: the text column's
// filter, typing in both columns, read-only refusals and the menu, the
// clipboard in both directions, keys, mouse, scrolling and painting.
#include <windows.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "UiTestUtil.h"
#include "resources/ResourceIds.h"
#include "ui/UiResources.h"
#include "ui/hexedit/HexEdit.h"

namespace {

typedef std::vector<BYTE> Bytes;

class HexEditTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static ATOM atom = [] {
      WNDCLASSW wc = {};
      wc.lpfnWndProc = DefWindowProcW;
      wc.lpszClassName = L"VroTestHexHost";
      return RegisterClassW(&wc);
    }();
    (void)atom;
    host_ = uitest::MakeHost(700, 400);
    control_ = CreateWindowExW(0, L"VroTestHexHost", L"", WS_CHILD | WS_VISIBLE | WS_VSCROLL, 0, 0,
                               660, 200, host_, nullptr, nullptr, nullptr);
    original_ = GetWindowLongPtrW(control_, GWLP_WNDPROC);
    SetKeys(false, false);
  }
  void TearDown() override {
    SetKeys(false, false);
    if (record_) DeleteHexEdit(record_);
    DestroyWindow(host_);
  }

  HexEditControl* Attach(const Bytes& data, BOOL readOnly, int bytesPerLine = 16) {
    data_ = data;
    record_ = AttachHexEdit(new HexEditControl, control_, data_.data(), int(data_.size()), readOnly,
                            bytesPerLine, nullptr);
    return record_;
  }
  Bytes Data() const { return Bytes(record_->data, record_->data + record_->size); }

  void SetKeys(bool shift, bool control) {
    BYTE keys[256];
    GetKeyboardState(keys);
    keys[VK_SHIFT] = shift ? 0x80 : 0;
    keys[VK_CONTROL] = control ? 0x80 : 0;
    SetKeyboardState(keys);
  }
  void Key(UINT key) { SendMessageW(control_, WM_KEYDOWN, key, 1); }
  void Type(const char* text) {
    for (; *text; ++text) SendMessageW(control_, WM_CHAR, BYTE(*text), 1);
  }
  // A click at a client point that DragDetect sees released at once.
  void Click(int x, int y) {
    PostMessageW(control_, WM_LBUTTONUP, 0, MAKELPARAM(x, y));
    SendMessageW(control_, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, y));
    uitest::Pump();
  }
  std::string ClipboardText() {
    std::string text;
    if (!OpenClipboard(host_)) return text;
    if (HANDLE h = GetClipboardData(CF_TEXT)) {
      text = static_cast<const char*>(GlobalLock(h));
      GlobalUnlock(h);
    }
    CloseClipboard();
    return text;
  }

  HWND host_ = nullptr, control_ = nullptr;
  LONG_PTR original_ = 0;
  Bytes data_;
  HexEditControl* record_ = nullptr;
};

TEST(HexEditFilter, ControlBytesDotsAndDoubleByteCharacters) {
  const BYTE line[] = {0x41, 0x00, 0x7F, 0x80, 0xFF};
  char out[8] = {};
  FilterHexEditText(line, 5, out);
  EXPECT_STREQ("A....", out);

  const BYTE pair[] = {0x82, 0xA0, 0x82};
  char text[4] = {};
  FilterHexEditText(pair, 3, text);
  EXPECT_EQ('\x82', text[0]);
  EXPECT_EQ('\xA0', text[1]);
  EXPECT_EQ('.', text[2]) << "a lead byte without its second byte on the line";
  for (UINT codePage : {936u, 932u, 949u}) {
    wchar_t wide[4];
    EXPECT_EQ(1, MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text, 2, wide, 4))
        << "one character in code page " << codePage;
  }
}

TEST_F(HexEditTest, AttachDefaultsAndDetachRestores) {
  HexEditControl* r = Attach(Bytes{1, 2, 3}, FALSE);
  EXPECT_EQ(-1, r->selectionStart);
  EXPECT_EQ(kHexPaneHigh, r->pane);
  EXPECT_TRUE(r->wideOffsets && r->showHex && r->showText && r->showOffsets);
  EXPECT_EQ(9 * r->charWidth, r->hexColumnX);
  EXPECT_EQ(r->hexColumnX + 48 * r->charWidth, r->textColumnX);
  EXPECT_NE(data_.data(), r->data) << "a writable editor edits its own copy";
  EXPECT_EQ(DLGC_WANTALLKEYS, SendMessageW(control_, WM_GETDLGCODE, 0, 0));
  EXPECT_EQ(r, DeleteHexEdit(r));
  record_ = nullptr;
  EXPECT_EQ(original_, GetWindowLongPtrW(control_, GWLP_WNDPROC));
  EXPECT_EQ(0, GetWindowLongPtrW(control_, GWLP_USERDATA));
}

TEST_F(HexEditTest, TypingInBothColumns) {
  Attach(Bytes{0x00, 0x00}, FALSE);
  Type("41");
  EXPECT_EQ((Bytes{0x41, 0x00}), Data());
  EXPECT_EQ(1, record_->caretOffset);
  EXPECT_EQ(kHexPaneHigh, record_->pane);
  Type("xZ");  // not hex digits
  EXPECT_EQ((Bytes{0x41, 0x00}), Data());
  Type("f");
  EXPECT_EQ(0xF0, record_->data[1]);
  EXPECT_EQ(kHexPaneLow, record_->pane);

  Key(VK_TAB);
  EXPECT_EQ(kHexPaneText, record_->pane);
  SetHexEditSelection(record_, 1, kHexPaneText, -1, -1);
  Type("hi");  // over the byte at the caret, then past the end
  EXPECT_EQ((Bytes{0x41, 'h', 'i'}), Data());
  Key(VK_TAB);
  EXPECT_EQ(kHexPaneHigh, record_->pane);

  SendMessageW(control_, WM_CHAR, VK_BACK, 1);
  EXPECT_EQ((Bytes{0x41, 'h'}), Data());
  EXPECT_EQ(2, record_->caretOffset);
}

TEST_F(HexEditTest, InsertAndDeleteKeys) {
  Attach(Bytes{1, 2, 3, 4}, FALSE);
  SetHexEditSelection(record_, 1, kHexPaneHigh, -1, -1);
  Key(VK_INSERT);
  EXPECT_EQ((Bytes{1, 0, 2, 3, 4}), Data()) << "one zero byte without a selection";
  SetHexEditSelection(record_, 0, kHexPaneHigh, 0, 2);
  Key(VK_INSERT);
  EXPECT_EQ((Bytes{0, 0, 1, 0, 2, 3, 4}), Data()) << "as many as are selected";
  SetHexEditSelection(record_, 2, kHexPaneHigh, 2, 5);
  Key(VK_DELETE);
  EXPECT_EQ((Bytes{0, 0, 3, 4}), Data());
  SetHexEditSelection(record_, 3, kHexPaneHigh, -1, -1);
  Key(VK_DELETE);
  EXPECT_EQ((Bytes{0, 0, 3}), Data());
  EXPECT_EQ(3, record_->caretOffset);
}

TEST_F(HexEditTest, ReadOnlyRefusesChangesAndItsMenuOffersCopyOnly) {
  Bytes original{0x10, 0x20, 0x30};
  HexEditControl* r = Attach(original, TRUE);
  EXPECT_EQ(data_.data(), r->data) << "shown in place";
  Type("4A");
  Key(VK_INSERT);
  Key(VK_DELETE);
  SendMessageW(control_, WM_CHAR, VK_BACK, 1);
  SendMessageW(control_, WM_CHAR, 0x16, 1);  // Ctrl+V
  SendMessageW(control_, WM_COMMAND, kHexCmdPaste, 0);
  SendMessageW(control_, WM_COMMAND, kHexCmdDelete, 0);
  EXPECT_EQ(original, Data());
  EXPECT_EQ(original, data_);

  HMENU menu = LoadUiMenu(GetModuleHandleW(nullptr), IDM_HEX_EDIT, 2052);
  ASSERT_NE(nullptr, menu);
  HMENU popup = GetSubMenu(menu, 0);
  auto grayed = [popup](UINT id) {
    return (GetMenuState(popup, id, MF_BYCOMMAND) & MF_GRAYED) != 0;
  };
  SetHexEditMenuState(r, popup);
  for (UINT id : {kHexCmdUndo, kHexCmdCut, kHexCmdCopy, kHexCmdPaste, kHexCmdDelete})
    EXPECT_TRUE(grayed(id)) << id;
  EXPECT_FALSE(grayed(kHexCmdSelectAll));
  SendMessageW(control_, WM_COMMAND, kHexCmdSelectAll, 0);
  SetHexEditMenuState(r, popup);
  EXPECT_FALSE(grayed(kHexCmdCopy));
  EXPECT_TRUE(grayed(kHexCmdCut));
  EXPECT_TRUE(grayed(kHexCmdSelectAll)) << "everything is selected already";
  DestroyMenu(menu);
}

TEST_F(HexEditTest, WritableMenuFollowsSelectionAndClipboard) {
  HexEditControl* r = Attach(Bytes{1, 2, 3}, FALSE);
  ASSERT_TRUE(OpenClipboard(host_));
  EmptyClipboard();
  CloseClipboard();
  HMENU menu = LoadUiMenu(GetModuleHandleW(nullptr), IDM_HEX_EDIT, 1041);
  HMENU popup = GetSubMenu(menu, 0);
  auto grayed = [popup](UINT id) {
    return (GetMenuState(popup, id, MF_BYCOMMAND) & MF_GRAYED) != 0;
  };
  SetHexEditMenuState(r, popup);
  EXPECT_TRUE(grayed(kHexCmdCut) && grayed(kHexCmdCopy) && grayed(kHexCmdDelete));
  EXPECT_TRUE(grayed(kHexCmdPaste)) << "nothing to paste";
  SetHexEditSelection(r, 0, kHexPaneHigh, 0, 1);
  SendMessageW(control_, WM_COMMAND, kHexCmdCopy, 0);
  SetHexEditMenuState(r, popup);
  EXPECT_FALSE(grayed(kHexCmdCut) || grayed(kHexCmdCopy) || grayed(kHexCmdDelete) ||
               grayed(kHexCmdPaste));
  DestroyMenu(menu);
}

TEST_F(HexEditTest, CopyFromEachColumn) {
  Attach(Bytes{0x0A, 0xFF, 0x41}, FALSE);
  SetHexEditSelection(record_, 0, kHexPaneHigh, 0, 2);
  SendMessageW(control_, WM_COMMAND, kHexCmdCopy, 0);
  EXPECT_EQ("0A FF ", ClipboardText());
  ASSERT_TRUE(OpenClipboard(host_));
  HANDLE binary = GetClipboardData(RegisterClipboardFormatW(L"BinaryData"));
  ASSERT_NE(nullptr, binary);
  const BYTE* p = static_cast<const BYTE*>(GlobalLock(binary));
  EXPECT_EQ(0x0A, p[0]);
  EXPECT_EQ(0xFF, p[1]);
  GlobalUnlock(binary);
  CloseClipboard();

  SetHexEditSelection(record_, 0, kHexPaneText, 1, 3);
  SendMessageW(control_, WM_CHAR, 0x03, 1);  // Ctrl+C
  EXPECT_EQ(".A", ClipboardText());

  // Cut from the hex column takes the bytes out.
  SetHexEditSelection(record_, 0, kHexPaneHigh, 0, 1);
  SendMessageW(control_, WM_COMMAND, kHexCmdCut, 0);
  EXPECT_EQ((Bytes{0xFF, 0x41}), Data());
  EXPECT_EQ("0A ", ClipboardText());
}

TEST_F(HexEditTest, PasteTakesBinaryDataElseTextUpToItsNul) {
  Attach(Bytes{1, 2}, FALSE);
  // A text block larger than its text, as other programs hand them out.
  ASSERT_TRUE(OpenClipboard(host_));
  EmptyClipboard();
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 16);
  memcpy(GlobalLock(block), "AB", 3);
  GlobalUnlock(block);
  SetClipboardData(CF_TEXT, block);
  CloseClipboard();
  SendMessageW(control_, WM_CHAR, 0x16, 1);
  EXPECT_EQ((Bytes{'A', 'B', 1, 2}), Data()) << "the text's NUL is no byte of it";
  EXPECT_EQ(2, record_->caretOffset);

  // On the low digit the bytes go after the byte at the caret; a selection
  // is replaced.
  SetHexEditSelection(record_, 0, kHexPaneLow, -1, -1);
  SendMessageW(control_, WM_CHAR, 0x16, 1);
  EXPECT_EQ((Bytes{'A', 'A', 'B', 'B', 1, 2}), Data());
  SetHexEditSelection(record_, 0, kHexPaneHigh, 0, 2);
  SendMessageW(control_, WM_COMMAND, kHexCmdCopy, 0);  // "BinaryData" 41 41
  SetHexEditSelection(record_, 4, kHexPaneHigh, 4, 6);
  SendMessageW(control_, WM_COMMAND, kHexCmdPaste, 0);
  EXPECT_EQ((Bytes{'A', 'A', 'B', 'B', 'A', 'A'}), Data());
}

TEST_F(HexEditTest, KeysMoveTheCaretAndShiftSelects) {
  Bytes data(100);
  Attach(data, FALSE);
  Key(VK_RIGHT);
  EXPECT_EQ(kHexPaneLow, record_->pane);
  Key(VK_RIGHT);
  EXPECT_EQ(1, record_->caretOffset);
  EXPECT_EQ(kHexPaneHigh, record_->pane);
  Key(VK_DOWN);
  EXPECT_EQ(17, record_->caretOffset);
  Key(VK_END);
  EXPECT_EQ(31, record_->caretOffset);
  Key(VK_HOME);
  EXPECT_EQ(16, record_->caretOffset);
  SetKeys(true, false);
  Key(VK_DOWN);
  EXPECT_EQ(16, record_->selectionStart);
  EXPECT_EQ(32, record_->selectionEnd);
  SetKeys(false, true);
  Key(VK_END);
  EXPECT_EQ(100, record_->caretOffset);
  EXPECT_EQ(-1, record_->selectionStart);
  Key('A');
  uitest::Pump();
  EXPECT_EQ(0, record_->selectionStart);
  EXPECT_EQ(100, record_->selectionEnd);
}

TEST_F(HexEditTest, MouseHitsEachColumn) {
  Bytes data(64);
  HexEditControl* r = Attach(data, FALSE);
  UpdateWindow(control_);
  const int cw = r->charWidth, lh = r->lineHeight;
  Click(r->hexColumnX + (3 * 5 + 1) * cw + 1, lh + 1);  // line 1, byte 5, low digit
  EXPECT_EQ(21, r->caretOffset);
  EXPECT_EQ(kHexPaneLow, r->pane);
  Click(r->textColumnX + 2 * cw + 1, 1);
  EXPECT_EQ(2, r->caretOffset);
  EXPECT_EQ(kHexPaneText, r->pane);
  Click(1, 2 * lh + 1);
  EXPECT_EQ(32, r->caretOffset);
  EXPECT_EQ(kHexPaneOffset, r->pane);
  Click(r->hexColumnX + 1, 10 * lh);  // below the data
  EXPECT_EQ(64, r->caretOffset);
  EXPECT_EQ(GetFocus(), control_);
}

TEST_F(HexEditTest, ScrollingKeepsTheCaretOnThePage) {
  Bytes data(4096);
  HexEditControl* r = Attach(data, TRUE);
  ResizeHexEdit(r);
  ASSERT_GT(r->linesPerPage, 2);
  const int page = r->linesPerPage;
  SendMessageW(control_, WM_VSCROLL, SB_PAGEDOWN, 0);
  EXPECT_EQ(page * 16, r->topOffset);
  EXPECT_GE(r->caretOffset, r->topOffset);
  SendMessageW(control_, WM_MOUSEWHEEL, MAKEWPARAM(0, WHEEL_DELTA), 0);
  EXPECT_EQ((page - 1) * 16, r->topOffset);
  SendMessageW(control_, WM_VSCROLL, SB_LINEDOWN, 0);
  EXPECT_EQ(page * 16, r->topOffset);
  SetHexEditSelection(r, 4000, kHexPaneHigh, 4000, 4010);
  EXPECT_LE(r->topOffset, 4000);
  EXPECT_GT(r->topOffset + page * 16, 4000);
}

TEST_F(HexEditTest, FindAndPaintWithASelection) {
  Bytes data;
  const char text[] = "VroMount hex editor: Find me, FIND ME.";
  data.assign(text, text + sizeof text - 1);
  for (int i = 0; i < 40; ++i) data.push_back(BYTE(i * 7));
  data.push_back(0x82);
  data.push_back(0xA0);
  HexEditControl* r = Attach(data, FALSE);
  EXPECT_EQ(21, FindBytesInHexEdit(r, 0, reinterpret_cast<const BYTE*>("Find"), 4, TRUE));
  EXPECT_EQ(30, FindBytesInHexEdit(r, 22, reinterpret_cast<const BYTE*>("find"), 4, FALSE));
  EXPECT_EQ(-1, FindBytesInHexEdit(r, 22, reinterpret_cast<const BYTE*>("find"), 4, TRUE));

  SetHexEditSelection(r, 21, kHexPaneHigh, 21, 29);
  RedrawWindow(control_, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
  uitest::Pump();
  RECT rect;
  GetWindowRect(control_, &rect);
  EXPECT_TRUE(uitest::Screenshot(rect, vt::BinaryDirUnix() + "/tests/ui/hex-edit.png"));
  HDC dc = GetDC(control_);
  // A selected hex cell (line 1, byte 5) wears the highlight colour.
  COLORREF cell = GetPixel(dc, r->hexColumnX + 15 * r->charWidth + 1, r->lineHeight + 1);
  ReleaseDC(control_, dc);
  EXPECT_EQ(GetSysColor(COLOR_HIGHLIGHT), cell);
}

}  // namespace
