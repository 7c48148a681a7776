// The property sheet of volume files on real windows: location, targets,
// the Version tab only for executables, and times and attributes written
// back into an NTFS image as ntfs-3g's tools read them.
#include <windows.h>
#include <commctrl.h>
#include <shlobj.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "WindowDriver.h"
#include "app/properties/FilePropertyDlg.h"
#include "image/mount/MountedImage.h"
#include "resources/ResourceIds.h"

namespace {

struct SheetView {
  int tabs = 0;
  std::wstring title, location, target, size;
  bool shortcut = false;
  std::vector<std::wstring> versionValues;
};

// Opens the sheet for `path`, reads it, runs `change` on the General page
// and ends with OK (`ok`) or Cancel.
SheetView OpenSheet(CMountedImage* image, const wchar_t* path, std::function<void(HWND)> change,
                    bool ok) {
  SheetView view;
  ft::StartSteps([&]() {
    HWND sheet = ft::FindThreadWindow(IDC_PROPERTY_TABS);
    if (!sheet) return false;
    HWND general = GetDlgItem(sheet, IDD_FILE_INFO);
    view.tabs = int(SendMessageW(GetDlgItem(sheet, IDC_PROPERTY_TABS), TCM_GETITEMCOUNT, 0, 0));
    view.title = ft::WindowText(sheet);
    view.location = ft::WindowText(GetDlgItem(general, IDC_INFO_LOCATION));
    view.target = ft::WindowText(GetDlgItem(general, IDC_INFO_TARGET));
    view.size = ft::WindowText(GetDlgItem(general, IDC_INFO_SIZE));
    view.shortcut = IsDlgButtonChecked(general, IDC_INFO_SHORTCUT) == BST_CHECKED;
    if (HWND version = GetDlgItem(sheet, IDD_FILE_VERSION)) {
      HWND list = GetDlgItem(version, IDC_VERSION_LIST);
      for (int row = 0; row < 8; ++row) {
        wchar_t text[360] = L"";
        LVITEMW item = {};
        item.iSubItem = 1;
        item.pszText = text;
        item.cchTextMax = 360;
        SendMessageW(list, LVM_GETITEMTEXTW, row, LPARAM(&item));
        view.versionValues.push_back(text);
      }
    }
    if (change) change(general);
    PostMessageW(sheet, WM_COMMAND, ok ? IDOK : IDCANCEL, 0);
    return true;
  });
  CFilePropertyDlg::Run(nullptr, image, path);
  return view;
}

// The 48-byte $STANDARD_INFORMATION of a file as ntfscat reads it: the four
// times (creation, altered, MFT changed, accessed) and the attributes.
struct StandardInfo {
  uint64_t times[4] = {};
  uint32_t attributes = 0;
};

StandardInfo ReadStandardInfo(const std::string& volume, const std::string& path) {
  std::string out;
  EXPECT_EQ(
      0, vt::Sh("ntfscat -a 0x10 " + vt::Q(volume) + " " + vt::Q(path) + " | xxd -p | tr -d '\\n'",
                &out));
  StandardInfo info;
  if (out.size() < 72) {
    ADD_FAILURE() << out;
    return info;
  }
  auto field = [&](int at, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
      v = v << 8 | strtoul(out.substr((at + i) * 2, 2).c_str(), nullptr, 16);
    return v;
  };
  for (int i = 0; i < 4; ++i) info.times[i] = field(i * 8, 8);
  info.attributes = uint32_t(field(32, 4));
  return info;
}

std::string AttributeLine(const std::string& volume, const std::string& path) {
  std::string out;
  vt::Sh("ntfsinfo -F " + vt::Q(path) + " " + vt::Q(volume) +
             " | grep -m1 'File attributes' | sed 's/.*:[[:space:]]*//'",
         &out);
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

std::string AlteredLine(const std::string& volume, const std::string& path) {
  std::string out;
  vt::Sh("ntfsinfo -F " + vt::Q(path) + " " + vt::Q(volume) +
             " | grep -m1 'File Altered Time' | sed 's/.*:\\t *//'",
         &out);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

TEST(FileProperties, PagesTargetsAndWriteBack) {
  const std::string dir = vt::ScratchDirUnix(), tree = dir + "/tree", img = dir + "/vol.img";
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(tree + "/Dir") + " && printf 'hello world' > " +
                      vt::Q(tree + "/a.txt") + " && printf 'not a shell link' > " +
                      vt::Q(tree + "/Dir/broken.lnk")));
  // A Windows executable with a version resource: one of Wine's own.
  wchar_t system[MAX_PATH];
  GetSystemDirectoryW(system, MAX_PATH);
  const std::wstring exe = std::wstring(system) + L"\\kernel32.dll";
  ASSERT_TRUE(CopyFileW(exe.c_str(), vt::ToWin(tree + "/k32.dll").c_str(), FALSE));
  // A shell link made by the shell's own object.
  ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
  IShellLinkW* link = nullptr;
  ASSERT_TRUE(SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                         IID_IShellLinkW, reinterpret_cast<void**>(&link))));
  link->SetPath(exe.c_str());
  IPersistFile* file = nullptr;
  ASSERT_TRUE(SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))));
  EXPECT_TRUE(SUCCEEDED(file->Save(vt::ToWin(tree + "/good.lnk").c_str(), TRUE)));
  file->Release();
  link->Release();
  ASSERT_TRUE(
      vt::Fixture("mk-disk.sh " + vt::Q(img) + " --layout none --size 16 --tree " + vt::Q(tree)));
  const StandardInfo original = ReadStandardInfo(img, "/a.txt");
  ASSERT_EQ(0x20u, original.attributes & 0x27)
      << "files copied in by ntfs-3g carry the archive bit";

  CMountedImage image;
  ASSERT_GE(image.OpenImage(vt::ToWin(img).c_str(), nullptr, 0, 2), 0);

  // A root file: location "\", its own path as target, one tab.
  SheetView view = OpenSheet(&image, L"\\a.txt", nullptr, false);
  EXPECT_EQ(1, view.tabs);
  EXPECT_EQ(L"a.txt 属性", view.title);
  EXPECT_EQ(L"\\", view.location);
  EXPECT_EQ(L"\\a.txt", view.target);
  EXPECT_EQ(L"11 字节", view.size);
  // A folder has no Version tab either.
  view = OpenSheet(&image, L"\\Dir", nullptr, false);
  EXPECT_EQ(1, view.tabs);
  // A shortcut whose target cannot be read shows its own path, unchecked.
  view = OpenSheet(&image, L"\\Dir\\broken.lnk", nullptr, false);
  EXPECT_EQ(L"\\Dir", view.location);
  EXPECT_EQ(L"\\Dir\\broken.lnk", view.target);
  EXPECT_FALSE(view.shortcut);
  // A shortcut that resolves: its target, checked.
  view = OpenSheet(&image, L"\\good.lnk", nullptr, false);
  EXPECT_EQ(exe, view.target);
  EXPECT_TRUE(view.shortcut);
  // An executable: the Version tab with what the version functions read
  // from the host original.
  view = OpenSheet(&image, L"\\k32.dll", nullptr, false);
  EXPECT_EQ(2, view.tabs);
  ASSERT_EQ(8u, view.versionValues.size());
  DWORD handle = 0, size = GetFileVersionInfoSizeW(exe.c_str(), &handle);
  std::vector<BYTE> block(size);
  ASSERT_TRUE(size && GetFileVersionInfoW(exe.c_str(), 0, size, block.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  wchar_t number[64];
  swprintf(number, 64, L"%u.%u.%u.%u", HIWORD(fixed->dwFileVersionMS),
           LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS),
           LOWORD(fixed->dwFileVersionLS));
  EXPECT_EQ(number, view.versionValues[1]);
  WORD* translation = nullptr;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                             reinterpret_cast<void**>(&translation), &length));
  wchar_t key[128];
  swprintf(key, 128, L"\\StringFileInfo\\%04x%04x\\OriginalFilename", translation[0],
           translation[1]);
  wchar_t* original_name = nullptr;
  ASSERT_TRUE(VerQueryValueW(block.data(), key, reinterpret_cast<void**>(&original_name), &length));
  EXPECT_EQ(original_name, view.versionValues[6]);
  EXPECT_EQ(L"", view.versionValues[7]) << "not signed";

  // Cancel writes nothing; OK with read-only and hidden checked and a new
  // modification time writes those and leaves the other times exactly.
  SYSTEMTIME set = {2021, 3, 4, 4, 5, 6, 7, 0};
  OpenSheet(
      &image, L"\\a.txt",
      [&](HWND general) {
        CheckDlgButton(general, IDC_INFO_READ_ONLY, BST_CHECKED);
        CheckDlgButton(general, IDC_INFO_HIDDEN, BST_CHECKED);
        SendMessageW(GetDlgItem(general, IDC_INFO_MODIFIED), DTM_SETSYSTEMTIME, GDT_VALID,
                     LPARAM(&set));
      },
      true);
  ASSERT_TRUE(image.Close());
  FILETIME local, expected;
  ASSERT_TRUE(SystemTimeToFileTime(&set, &local) && LocalFileTimeToFileTime(&local, &expected));
  StandardInfo after = ReadStandardInfo(img, "/a.txt");
  EXPECT_EQ(0x23u, after.attributes & 0x27);
  EXPECT_EQ("READONLY HIDDEN ARCHIVE (0x00000023)", AttributeLine(img, "/a.txt"));
  EXPECT_EQ(original.times[0], after.times[0]) << "creation untouched to the 100 ns";
  EXPECT_EQ((uint64_t(expected.dwHighDateTime) << 32) | expected.dwLowDateTime, after.times[1]);
  EXPECT_EQ(original.times[3], after.times[3]) << "last access untouched to the 100 ns";
  SYSTEMTIME utc;
  FileTimeToSystemTime(&expected, &utc);
  char altered[64];
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  snprintf(altered, 64, "%s %s %2d %02d:%02d:%02d %d UTC", kDays[utc.wDayOfWeek],
           kMonths[utc.wMonth - 1], utc.wDay, utc.wHour, utc.wMinute, utc.wSecond, utc.wYear);
  EXPECT_EQ(altered, AlteredLine(img, "/a.txt"));

  // Unchecking read-only clears bit 0x1 only; no time moves.
  CMountedImage again;
  ASSERT_GE(again.OpenImage(vt::ToWin(img).c_str(), nullptr, 0, 2), 0);
  OpenSheet(
      &again, L"\\a.txt",
      [](HWND general) { CheckDlgButton(general, IDC_INFO_READ_ONLY, BST_UNCHECKED); }, true);
  ASSERT_TRUE(again.Close());
  const StandardInfo last = ReadStandardInfo(img, "/a.txt");
  EXPECT_EQ("HIDDEN ARCHIVE (0x00000022)", AttributeLine(img, "/a.txt"));
  EXPECT_EQ(after.times[0], last.times[0]);
  EXPECT_EQ(after.times[1], last.times[1]);
  EXPECT_EQ(after.times[3], last.times[3]);
  std::string out;
  EXPECT_EQ(0, vt::Sh("ntfsfix -n " + vt::Q(img), &out)) << out;
}

}  // namespace
