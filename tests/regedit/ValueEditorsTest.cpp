// The value editors and resource viewers on real windows, opened through the
// editor's modify commands over a disk made for the test; what they write is
// read back with hivexregedit once the editor has closed.
#include <windows.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../registry/FacadeTestUtil.h"
#include "EditorTestUtil.h"
#include "regedit/ResourceData.h"
#include "regedit/ResourceViewers.h"
#include "regedit/ValueEditors.h"
#include "resources/ResourceIds.h"
#include "ui/hexedit/HexEdit.h"

namespace {

using namespace edtest;

const wchar_t kEdit[] = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro\\Edit";

std::wstring Text(HWND dialog, int id) {
  HWND control = GetDlgItem(dialog, id);
  std::wstring text((size_t)GetWindowTextLengthW(control) + 1, L'\0');
  text.resize((size_t)GetWindowTextW(control, &text[0], (int)text.size()));
  return text;
}

void Command(HWND dialog, int id) {
  SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(dialog, id));
}

// Opens the editor for the row of `name` (modify, or modify binary data) and
// runs `inside` with the dialog's window.
template <class T>
bool Modify(CRegistryDlg* dlg, const std::wstring& name, std::function<void(HWND)> inside,
            UINT command = ID_REG_MODIFY) {
  if (SelectRow(dlg, name) < 0) return false;
  return RunModal<T>([&] { SendMessageW(dlg->m_hWnd, WM_COMMAND, command, 0); },
                     [&] { inside(g_innerDialog->m_hWnd); });
}

class ValueEditorsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearSettings();
    disk = rt::MakeWinDisk("");
    ASSERT_EQ(3, image.OpenImage(disk.path.c_str(), nullptr, 0, 2));
  }
  void Set(const wchar_t* name, uint32_t type, const std::vector<uint8_t>& data) {
    ASSERT_EQ(REG_STATUS_OK,
              image.RegSetValue(kEdit, name, data.data(), (uint32_t)data.size(), type))
        << name;
  }
  std::string Software() {
    EXPECT_TRUE(image.Close());
    return rt::NtfsCat(disk, disk.unixPath, "/Windows/System32/config/SOFTWARE",
                       disk.dir + "/software.hiv");
  }
  rt::WinDisk disk;
  CMountedImage image;
};

// Every editor on its edge cases; a 5,000-character string and a 100-line
// multi-string keep every character.
TEST_F(ValueEditorsTest, EditorsWriteTheWholeValue) {
  std::wstring longText;
  for (int i = 0; i < 5000; ++i) longText += (wchar_t)(L'a' + i % 26);
  std::wstring hundred;
  std::vector<uint8_t> hundredData;
  for (int i = 0; i < 100; ++i) {
    std::wstring line = L"line " + std::to_wstring(i) + std::wstring(i % 7, L'x');
    hundred += line + L"\r\n";
    std::vector<uint8_t> b = Bytes(line);
    hundredData.insert(hundredData.end(), b.begin(), b.end());
  }
  hundredData.insert(hundredData.end(), {0, 0});

  // Pictures of the editors: each in one of the three languages.
  RunEditor(&image, 1041, [&](CRegistryDlg* dlg) {
    ASSERT_EQ(REG_STATUS_OK, image.RegCreateKey(kEdit));
    Set(L"pic", REG_DWORD, {0x2a, 0, 0, 0});
    Set(L"pictext", REG_SZ, Bytes(L"C:\\Windows"));
    Set(L"picbin", REG_BINARY, Bytes(L"binary data!", false));
    SelectKeyPath(dlg, kEdit);
    auto shoot = [&](const char* name, LANGID language) {
      dlg->m_language = language;
      return [=](HWND h) {
        Picture(h, name, language);
        Command(h, IDCANCEL);
      };
    };
    EXPECT_TRUE(Modify<CStringDlg>(dlg, L"pictext", shoot("edit-string", 1041)));
    EXPECT_TRUE(Modify<CIntegerDlg>(dlg, L"pic", shoot("edit-dword", 1042)));
    EXPECT_TRUE(Modify<CBinaryDlg>(dlg, L"picbin", shoot("edit-binary", 2052)));
  });

  RunEditor(&image, 2052, [&](CRegistryDlg* dlg) {
    Set(L"long", REG_SZ, Bytes(longText));
    Set(L"lines", REG_MULTI_SZ, hundredData);
    Set(L"dw", REG_DWORD, {0xff, 0, 0, 0});
    Set(L"dw2", REG_DWORD, {1, 0, 0, 0});
    Set(L"be", REG_DWORD_BIG_ENDIAN, {0, 0, 0, 1});
    Set(L"qw", REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0});
    Set(L"qw3", REG_QWORD, {9, 9, 9, 9, 9, 9, 9, 9});
    Set(L"ms", REG_MULTI_SZ, {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0});
    Set(L"empty", REG_MULTI_SZ, {'z', 0, 0, 0});
    Set(L"gaps", REG_MULTI_SZ, {'z', 0, 0, 0});
    SelectKeyPath(dlg, kEdit);
    SendMessageW(dlg->m_hWnd, WM_COMMAND, ID_REG_REFRESH, 0);
    HWND list = dlg->List();
    auto data = [&](const wchar_t* name) { return Cell(list, ListFindItemText(list, name), 2); };

    // The unset default row edits the default value under "@".
    EXPECT_TRUE(Modify<CStringDlg>(dlg, L"(默认)", [&](HWND h) {
      EXPECT_EQ(L"@", Text(h, IDC_VALUE_NAME));
      EXPECT_EQ(kEdit, Text(h, IDC_VALUE_PATH));
      EXPECT_EQ(L"", Text(h, IDC_VALUE_DATA));
      SetDlgItemTextW(h, IDC_VALUE_DATA, L"dflt");
      Command(h, IDOK);
    }));
    EXPECT_EQ(L"dflt", Cell(list, 0, 2));

    // The long string opens whole (the row shows only its start) and saves whole.
    EXPECT_LT(data(L"long").size(), 360u);
    EXPECT_TRUE(Modify<CStringDlg>(dlg, L"long", [&](HWND h) {
      EXPECT_EQ(longText, Text(h, IDC_VALUE_DATA));
      SetDlgItemTextW(h, IDC_VALUE_DATA, (longText + L"!").c_str());
      Command(h, IDOK);
    }));
    EXPECT_TRUE(Modify<CMultiSzDlg>(dlg, L"lines", [&](HWND h) {
      EXPECT_EQ(hundred, Text(h, IDC_VALUE_DATA));
      SetDlgItemTextW(h, IDC_VALUE_DATA, (hundred + L"last").c_str());
      Command(h, IDOK);
    }));

    // Numbers: ff <-> 255, 4294967296 -> 0, -1 -> 0xFFFFFFFF, big-endian
    // 100, QWORD 100000000.
    EXPECT_TRUE(Modify<CIntegerDlg>(dlg, L"dw", [&](HWND h) {
      EXPECT_EQ(L"ff", Text(h, IDC_VALUE_DATA));
      CheckRadioButton(h, IDC_RADIX_HEX, IDC_RADIX_DECIMAL, IDC_RADIX_DECIMAL);
      Command(h, IDC_RADIX_DECIMAL);
      EXPECT_EQ(L"255", Text(h, IDC_VALUE_DATA));
      Command(h, IDC_RADIX_DECIMAL);
      EXPECT_EQ(L"255", Text(h, IDC_VALUE_DATA)) << "the radix in force changes nothing";
      CheckRadioButton(h, IDC_RADIX_HEX, IDC_RADIX_DECIMAL, IDC_RADIX_HEX);
      Command(h, IDC_RADIX_HEX);
      EXPECT_EQ(L"ff", Text(h, IDC_VALUE_DATA));
      CheckRadioButton(h, IDC_RADIX_HEX, IDC_RADIX_DECIMAL, IDC_RADIX_DECIMAL);
      Command(h, IDC_RADIX_DECIMAL);
      SetDlgItemTextW(h, IDC_VALUE_DATA, L"4294967296");
      Command(h, IDOK);
    }));
    EXPECT_EQ(L"0x00000000 (0)", data(L"dw"));
    EXPECT_TRUE(Modify<CIntegerDlg>(dlg, L"dw2", [&](HWND h) {
      CheckRadioButton(h, IDC_RADIX_HEX, IDC_RADIX_DECIMAL, IDC_RADIX_DECIMAL);
      Command(h, IDC_RADIX_DECIMAL);
      SetDlgItemTextW(h, IDC_VALUE_DATA, L"-1");
      Command(h, IDOK);
    }));
    EXPECT_EQ(L"0xffffffff (4294967295)", data(L"dw2"));
    EXPECT_TRUE(Modify<CIntegerDlg>(dlg, L"be", [&](HWND h) {
      EXPECT_EQ(L"1", Text(h, IDC_VALUE_DATA));
      SetDlgItemTextW(h, IDC_VALUE_DATA, L"100");
      Command(h, IDOK);
    }));
    EXPECT_EQ(L"0x00000100 (256)", data(L"be"));
    EXPECT_TRUE(Modify<CIntegerDlg>(dlg, L"qw", [&](HWND h) {
      SetDlgItemTextW(h, IDC_VALUE_DATA, L"100000000");
      Command(h, IDOK);
    }));
    EXPECT_EQ(L"0x100000000 (4294967296)", data(L"qw"));

    // Multi-strings: an empty string inside is skipped; a b saves as a 0 b 0 0.
    EXPECT_TRUE(Modify<CMultiSzDlg>(dlg, L"ms", [&](HWND h) {
      EXPECT_EQ(L"a\r\nb\r\n", Text(h, IDC_VALUE_DATA));
      SetDlgItemTextW(h, IDC_VALUE_DATA, L"a\r\nb");
      Command(h, IDOK);
    }));
    EXPECT_EQ(L"a b ", data(L"ms"));
    EXPECT_TRUE(Modify<CMultiSzDlg>(dlg, L"empty", [&](HWND h) {
      SetDlgItemTextW(h, IDC_VALUE_DATA, L"");
      Command(h, IDOK);
    }));
    // Empty lines are no strings: Windows stops reading the list at the
    // first one. They go, and the user is told, as Windows' editor does.
    {
      BoxAnswerer ok(IDOK);
      EXPECT_TRUE(Modify<CMultiSzDlg>(dlg, L"gaps", [&](HWND h) {
        SetDlgItemTextW(h, IDC_VALUE_DATA, L"first\r\n\r\nthird\r\n\r\n");
        Command(h, IDOK);
      }));
      ASSERT_EQ(1u, ok.texts.size());
      EXPECT_EQ(L"REG_MULTI_SZ 类型的数据不能包含空字符串。注册表编辑器将删除找到的所有空字符串。",
                ok.texts[0]);
    }
    EXPECT_EQ(L"first third ", data(L"gaps"));

    // The hex editor: a QWORD cut to three bytes.
    EXPECT_TRUE(Modify<CBinaryDlg>(
        dlg, L"qw3",
        [&](HWND h) {
          CBinaryDlg* binary = dynamic_cast<CBinaryDlg*>(CWindow::FromWindow(h));
          ASSERT_TRUE(binary && binary->m_hexEdit);
          EXPECT_EQ(8, binary->m_hexEdit->size);
          const BYTE three[] = {1, 2, 3};
          SetHexEditData(binary->m_hexEdit, three, 3, FALSE, 8);
          Command(h, IDOK);
        },
        ID_REG_MODIFY_BINARY));
    EXPECT_EQ(L"0x00030201 (197121)", data(L"qw3"));
    EXPECT_EQ(L"REG_QWORD", Cell(list, ListFindItemText(list, L"qw3"), 1));
  });

  // After the editor closed: hivexregedit reads what it wrote.
  const std::string hive = Software();
  auto value = [&](const char* name) { return HivexValue(hive, "\\Vro\\Edit", name); };
  ExportedValue d = value("");
  EXPECT_EQ("hex(1)", d.type);
  EXPECT_EQ(Bytes(L"dflt"), d.bytes);
  EXPECT_EQ(Bytes(longText + L"!"), value("long").bytes) << "every character kept";
  std::vector<uint8_t> lines = hundredData;
  lines.pop_back();
  lines.pop_back();
  std::vector<uint8_t> last = Bytes(L"last");
  lines.insert(lines.end(), last.begin(), last.end());
  lines.insert(lines.end(), {0, 0});
  EXPECT_EQ(lines, value("lines").bytes);
  EXPECT_EQ("dword", value("dw").type);
  EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, 0}), value("dw").bytes);
  EXPECT_EQ((std::vector<uint8_t>{0xff, 0xff, 0xff, 0xff}), value("dw2").bytes);
  EXPECT_EQ("hex(5)", value("be").type);
  EXPECT_EQ((std::vector<uint8_t>{0, 0, 1, 0}), value("be").bytes);
  EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, 0, 1, 0, 0, 0}), value("qw").bytes);
  EXPECT_EQ((std::vector<uint8_t>{'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}), value("ms").bytes);
  EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, 0}), value("empty").bytes);
  std::vector<uint8_t> gaps = Bytes(L"first"), third = Bytes(L"third");
  gaps.insert(gaps.end(), third.begin(), third.end());
  gaps.insert(gaps.end(), {0, 0});
  EXPECT_EQ(gaps, value("gaps").bytes);
  EXPECT_EQ("hex(b)", value("qw3").type);
  EXPECT_EQ((std::vector<uint8_t>{1, 2, 3}), value("qw3").bytes);
}

}  // namespace
