// The file viewer on real windows: the view each file opens in, the
// encodings, the saved fonts, and searching again with F3 in the text and
// hex views, from the find dialog with its history.
#include <windows.h>
#include <commctrl.h>
#include <richedit.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestSupport.h"
#include "WindowDriver.h"
#include "app/viewer/ViewFile.h"
#include "app/viewer/ViewerDlg.h"
#include "common/SavedState.h"
#include "resources/ResourceIds.h"
#include "ui/hexedit/HexEdit.h"

namespace {

std::wstring Write(const std::wstring& dir, const wchar_t* name,
                   const std::vector<uint8_t>& bytes) {
  const std::wstring path = dir + L"\\" + name;
  EXPECT_TRUE(vt::WriteAll(path, bytes));
  return path;
}

std::vector<uint8_t> Bytes(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

// A 3 x 2 PNG picture.
std::vector<uint8_t> Png() {
  std::string out;
  vt::Sh(
      "python3 -c \"import zlib,struct,sys\n"
      "def c(t,d): return struct.pack('>I',len(d))+t+d+struct.pack('>I',zlib.crc32(t+d))\n"
      "raw=b''.join(b'\\\\x00'+b'\\\\xff\\\\x00\\\\x00'*3 for _ in range(2))\n"
      "sys.stdout.buffer.write(b'\\\\x89PNG\\\\r\\\\n\\\\x1a\\\\n'+c(b'IHDR',struct.pack('>IIBBBBB',3,2,8,2,0,0,0))"
      "+c(b'IDAT',zlib.compress(raw))+c(b'IEND',b''))\" | xxd -p | tr -d '\\n'",
      &out);
  std::vector<uint8_t> png;
  for (size_t i = 0; i + 1 < out.size(); i += 2)
    png.push_back(uint8_t(std::stoul(out.substr(i, 2), nullptr, 16)));
  return png;
}

CViewerDlg* Open(const std::wstring& path) {
  HWND window = ViewFile(nullptr, nullptr, path.c_str(), path.c_str());
  ft::Pump();
  return window ? static_cast<CViewerDlg*>(CWindow::FromWindow(window)) : nullptr;
}

void Close(CViewerDlg* viewer) {
  SendMessageW(viewer->m_hWnd, WM_CLOSE, 0, 0);
  ft::Pump();
}

std::wstring Status(CViewerDlg* viewer, int part) {
  wchar_t text[256] = L"";
  SendMessageW(GetDlgItem(viewer->m_hWnd, IDC_STATUS_BAR), SB_GETTEXTW, part, LPARAM(text));
  return text;
}

HWND Edit(CViewerDlg* viewer) {
  return GetDlgItem(viewer->m_hWnd, IDC_VIEWER_TEXT);
}

CHARRANGE Selection(CViewerDlg* viewer) {
  CHARRANGE range = {};
  SendMessageW(Edit(viewer), EM_EXGETSEL, 0, LPARAM(&range));
  return range;
}

std::wstring FaceName(CViewerDlg* viewer) {
  CHARFORMAT2W format = {};
  format.cbSize = sizeof format;
  SendMessageW(Edit(viewer), EM_GETCHARFORMAT, SCF_DEFAULT, LPARAM(&format));
  return format.szFaceName;
}

void SetFontValue(const void* data, DWORD size) {
  HKEY key;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0,
                                           KEY_WRITE, nullptr, &key, nullptr));
  if (data) {
    RegSetValueExW(key, kViewerFontValue, 0, REG_BINARY, static_cast<const BYTE*>(data), size);
  } else {
    RegDeleteValueW(key, kViewerFontValue);
  }
  RegCloseKey(key);
}

// Runs the command; a message box it opens is read and closed.
std::wstring CommandWithBox(CViewerDlg* viewer, UINT command) {
  std::wstring text;
  ft::StartSteps([&]() { return ft::TakeMessageBox(&text); });
  SendMessageW(viewer->m_hWnd, WM_COMMAND, command, 0);
  ft::Pump();
  ft::CurrentStep() = nullptr;
  return text;
}

TEST(FileViewer, ViewByContentAndName) {
  const std::wstring dir = vt::ScratchDir();
  std::vector<uint8_t> u16 = {0xFF, 0xFE};
  for (wchar_t c : std::wstring(L"Hello 你好")) {
    u16.push_back(uint8_t(c));
    u16.push_back(uint8_t(c >> 8));
  }
  const std::wstring u16Path = Write(dir, L"wide.txt", u16);
  const std::wstring u8Path = Write(dir, L"utf8.txt",
                                    Bytes("\xEF\xBB\xBFGr\xC3\xBC\xC3\x9F"
                                          "e \xE4\xBD\xA0\xE5\xA5\xBD"));
  std::vector<uint8_t> binary(400, 0x41);
  const std::wstring dllPath = Write(dir, L"lib.dll", binary);
  const std::wstring picturePath = Write(dir, L"photo.txt", Png());

  CViewerDlg* viewer = Open(u16Path);
  ASSERT_TRUE(viewer);
  EXPECT_EQ(kViewerUtf16, viewer->Encoding());
  EXPECT_FALSE(viewer->IsHexView());
  EXPECT_EQ(L"Hello 你好", ft::WindowText(Edit(viewer)));
  EXPECT_EQ(L"UNICODE", Status(viewer, 1));
  EXPECT_EQ(L"18 字节", Status(viewer, 0));
  EXPECT_EQ(L"查看 - " + u16Path, ft::WindowText(viewer->m_hWnd));
  // The encoding in force chosen again changes nothing (the text is not
  // streamed in again, so the selection stays); another one does.
  CHARRANGE range = {1, 3};
  SendMessageW(Edit(viewer), EM_EXSETSEL, 0, LPARAM(&range));
  SendMessageW(viewer->m_hWnd, WM_COMMAND, ID_VIEW_UNICODE, 0);
  EXPECT_EQ(1, Selection(viewer).cpMin);
  EXPECT_EQ(3, Selection(viewer).cpMax);
  SendMessageW(viewer->m_hWnd, WM_COMMAND, ID_VIEW_ANSI, 0);
  EXPECT_EQ(kViewerAnsi, viewer->Encoding());
  EXPECT_NE(L"Hello 你好", ft::WindowText(Edit(viewer)));
  EXPECT_EQ(L"ANSI", Status(viewer, 1));
  // To the hex view and back to the text.
  SendMessageW(viewer->m_hWnd, WM_COMMAND, ID_VIEW_HEX, 0);
  EXPECT_TRUE(viewer->IsHexView());
  EXPECT_EQ(L"十六进制数据", Status(viewer, 1));
  SendMessageW(viewer->m_hWnd, WM_COMMAND, ID_VIEW_UNICODE, 0);
  EXPECT_FALSE(viewer->IsHexView());
  EXPECT_EQ(L"Hello 你好", ft::WindowText(Edit(viewer)));
  Close(viewer);

  viewer = Open(u8Path);
  ASSERT_TRUE(viewer);
  EXPECT_EQ(kViewerUtf8, viewer->Encoding());
  EXPECT_EQ(L"Grüße 你好", ft::WindowText(Edit(viewer)));
  Close(viewer);

  viewer = Open(dllPath);
  ASSERT_TRUE(viewer);
  EXPECT_TRUE(viewer->IsHexView());
  ASSERT_TRUE(viewer->HexControl());
  EXPECT_EQ(400, viewer->HexControl()->size);
  EXPECT_EQ(L"十六进制数据", Status(viewer, 1));
  Close(viewer);

  viewer = Open(picturePath);
  ASSERT_TRUE(viewer);
  EXPECT_TRUE(viewer->IsPictureView()) << "a picture whatever its extension";
  EXPECT_EQ(L"图像尺寸 3×2", Status(viewer, 0));
  Close(viewer);

  int w, h;
  FitPictureSize(400, 100, 200, 300, &w, &h);
  EXPECT_EQ(200, w);
  EXPECT_EQ(50, h);
  FitPictureSize(100, 400, 200, 300, &w, &h);
  EXPECT_EQ(75, w);
  EXPECT_EQ(300, h);
  FitPictureSize(10, 10, 200, 300, &w, &h);
  EXPECT_EQ(10, w) << "never enlarged";
}

TEST(FileViewer, SavedFontAndFindAgain) {
  const std::wstring dir = vt::ScratchDir();
  const std::wstring textPath = Write(dir, L"plain.txt", Bytes("abc x abc y abc"));
  std::vector<uint8_t> binary(400, 0x20);
  binary[100] = binary[300] = 0x0A;
  binary[101] = binary[301] = 0x0B;
  const std::wstring dllPath = Write(dir, L"lib.dll", binary);

  // A font value of 60 bytes is ignored; one of a whole LOGFONTW is used.
  LOGFONTW font = {};
  font.lfHeight = -16;
  lstrcpyW(font.lfFaceName, L"Courier New");
  SetFontValue(&font, 60);
  CViewerDlg* viewer = Open(textPath);
  ASSERT_TRUE(viewer);
  EXPECT_NE(L"Courier New", FaceName(viewer));
  Close(viewer);
  SetFontValue(&font, sizeof font);
  viewer = Open(textPath);
  ASSERT_TRUE(viewer);
  EXPECT_EQ(L"Courier New", FaceName(viewer));
  SetFontValue(nullptr, 0);

  // F3 goes on after the selection; after a miss it starts at the top.
  ViewerFindState& last = LastViewerFind();
  last = ViewerFindState();
  lstrcpyW(last.text, L"abc");
  const LONG hits[] = {0, 6, 12};
  for (LONG at : hits) {
    SendMessageW(viewer->m_hWnd, WM_COMMAND, ID_VIEW_FIND_NEXT, 0);
    EXPECT_EQ(at, Selection(viewer).cpMin);
    EXPECT_EQ(at + 3, Selection(viewer).cpMax);
  }
  EXPECT_EQ(L"找不到“abc”！", CommandWithBox(viewer, ID_VIEW_FIND_NEXT));
  SendMessageW(viewer->m_hWnd, WM_COMMAND, ID_VIEW_FIND_NEXT, 0);
  EXPECT_EQ(0, Selection(viewer).cpMin);

  // The find dialog opens with the last search; its search goes into the
  // "Viewer" history.
  SendMessageW(viewer->m_hWnd, WM_COMMAND, ID_VIEW_FIND, 0);
  HWND find = viewer->m_findWindow;
  ASSERT_TRUE(find);
  HWND combo = GetDlgItem(find, IDC_FIND_TEXT);
  EXPECT_EQ(L"abc", ft::WindowText(combo));
  SetWindowTextW(combo, L"y");
  SendMessageW(find, WM_COMMAND, MAKEWPARAM(IDC_FIND_TEXT, CBN_EDITCHANGE), LPARAM(combo));
  SendMessageW(find, WM_COMMAND, IDOK, 0);
  EXPECT_EQ(10, Selection(viewer).cpMin);
  wchar_t newest[64] = L"";
  DWORD size = sizeof newest;
  EXPECT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_CURRENT_USER, L"Software\\VroMount\\History\\Viewer",
                                        L"0", RRF_RT_REG_SZ, nullptr, newest, &size));
  EXPECT_STREQ(L"y", newest);
  Close(viewer);
  EXPECT_FALSE(IsWindow(find)) << "the find dialog ends with its viewer";

  // In the hex view, hexadecimal bytes are found one hit after the other.
  viewer = Open(dllPath);
  ASSERT_TRUE(viewer && viewer->IsHexView());
  last = ViewerFindState();
  lstrcpyW(last.text, L"0a0B");
  last.hex = TRUE;
  SendMessageW(viewer->m_hWnd, WM_COMMAND, ID_VIEW_FIND_NEXT, 0);
  EXPECT_EQ(100, viewer->HexControl()->selectionStart);
  EXPECT_EQ(102, viewer->HexControl()->selectionEnd);
  SendMessageW(viewer->m_hWnd, WM_COMMAND, ID_VIEW_FIND_NEXT, 0);
  EXPECT_EQ(300, viewer->HexControl()->selectionStart);
  EXPECT_EQ(L"找不到“0a0B”！", CommandWithBox(viewer, ID_VIEW_FIND_NEXT));
  SendMessageW(viewer->m_hWnd, WM_COMMAND, ID_VIEW_FIND_NEXT, 0);
  EXPECT_EQ(100, viewer->HexControl()->selectionStart);
  Close(viewer);
  last = ViewerFindState();
}

}  // namespace
