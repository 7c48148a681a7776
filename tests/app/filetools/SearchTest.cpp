// The search window on real windows: content searches over an NTFS volume
// compared with grep over the same tree, the hexadecimal and empty-content
// rules, and stopping and closing while a search runs.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "WindowDriver.h"
#include "app/search/SearchFileDlg.h"
#include "image/mount/MountedImage.h"
#include "resources/ResourceIds.h"
#include "ui/controls/ListView.h"

namespace {

using Paths = std::set<std::wstring>;

// Volume paths of grep's matches in the tree.
Paths GrepVolume(const std::string& tree, const std::string& arguments) {
  std::string out;
  vt::Sh("cd " + vt::Q(tree) + " && LC_ALL=C grep -rla " + arguments +
             " --exclude=pagefile.sys . | sort",
         &out);
  Paths paths;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.size() < 2) continue;
    std::wstring path = vt::Widen(line.substr(1));
    for (wchar_t& c : path)
      if (c == L'/') c = L'\\';
    paths.insert(path);
  }
  return paths;
}

Paths Results(HWND dialog) {
  Paths paths;
  HWND list = GetDlgItem(dialog, IDC_SEARCH_RESULTS);
  const int count = int(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) {
    wchar_t text[360] = L"";
    LVITEMW item = {};
    item.pszText = text;
    item.cchTextMax = 360;
    SendMessageW(list, LVM_GETITEMTEXTW, i, LPARAM(&item));
    paths.insert(text);
  }
  EXPECT_EQ(size_t(count), paths.size());
  return paths;
}

void Click(HWND dialog, int id, bool checked) {
  CheckDlgButton(dialog, id, checked ? BST_CHECKED : BST_UNCHECKED);
  SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), LPARAM(GetDlgItem(dialog, id)));
}

// One search of the session: the settings, then what it must show.
struct Round {
  const wchar_t* name;
  const wchar_t* content;
  int mode;  // IDC_SEARCH_ANSI, IDC_SEARCH_UNICODE or IDC_HEX_MODE
  bool matchCase;
  Paths expected;
  std::wstring message;  // a refusal's message box, else empty
};

TEST(FileSearch, VolumeContentsAgainstGrep) {
  const std::string dir = vt::ScratchDirUnix(), tree = dir + "/tree", img = dir + "/vol.img";
  // A 131,072-byte piece boundary runs through "Needle" in span.bin and
  // through its UTF-16 form in span16.bin.
  ASSERT_EQ(
      0, vt::Sh("set -e; mkdir -p " + vt::Q(tree) + " && cd " + vt::Q(tree) +
                " && mkdir -p ansi wide big hex/deep"
                " && printf 'a Needle here' > ansi/a1.txt && printf 'nEEDLE' > ansi/a2.txt"
                " && printf 'nothing' > ansi/no.txt && printf 'Needle' > pagefile.sys"
                " && printf 'N\\000e\\000e\\000d\\000l\\000e\\000' > wide/w1.txt"
                " && { head -c 131069 /dev/zero; printf 'Needle'; } > big/span.bin"
                " && { head -c 131067 /dev/zero; printf 'N\\000e\\000e\\000d\\000l\\000e\\000'; }"
                " > big/span16.bin"
                " && printf 'xxABxx' > hex/ab.bin && printf 'xxabxx' > hex/lower.bin"
                " && printf 'z\\n\\013z' > hex/deep/nl.bin"));
  ASSERT_TRUE(
      vt::Fixture("mk-disk.sh " + vt::Q(img) + " --layout none --size 16 --tree " + vt::Q(tree)));
  CMountedImage image;
  ASSERT_GE(image.OpenImage(vt::ToWin(img).c_str(), nullptr, 0, 0), 0);

  std::vector<Round> rounds = {
      {L"*", L"needle", IDC_SEARCH_ANSI, false, GrepVolume(tree, "-i needle"), L""},
      {L"*", L"Needle", IDC_SEARCH_UNICODE, true,
       GrepVolume(tree, "-P 'N\\x00e\\x00e\\x00d\\x00l\\x00e\\x00'"), L""},
      {L"*.txt", L"needle", IDC_SEARCH_UNICODE, false,
       GrepVolume(tree,
                  "--include='*.txt' -P "
                  "'(?i)n\\x00e\\x00e\\x00d\\x00l\\x00e\\x00'"),
       L""},
      // Hexadecimal bytes compare exactly even without match case.
      {L"*", L"4142", IDC_HEX_MODE, false, {L"\\hex\\ab.bin"}, L""},
      {L"*", L"0a0B", IDC_HEX_MODE, false, {L"\\hex\\deep\\nl.bin"}, L""},
      // An odd number of digits is refused: the last results stay.
      {L"*", L"abc", IDC_HEX_MODE, false, {L"\\hex\\deep\\nl.bin"}, L"请输入正确的十六进制数值！"},
      // No content: the names alone.
      {L"*.bin",
       L"",
       IDC_SEARCH_ANSI,
       false,
       {L"\\big\\span.bin", L"\\big\\span16.bin", L"\\hex\\ab.bin", L"\\hex\\lower.bin",
        L"\\hex\\deep\\nl.bin"},
       L""},
  };
  ASSERT_EQ(3u, rounds[0].expected.size()) << "a1.txt, a2.txt and span.bin";
  size_t round = 0;
  int phase = 0;
  std::vector<Paths> found(rounds.size());
  std::vector<std::wstring> boxes(rounds.size());
  std::wstring group;
  ft::StartSteps([&]() {
    HWND dialog = ft::FindThreadWindow(IDC_SEARCH_RESULTS);
    if (!dialog) return false;
    CSearchFileDlg* search = static_cast<CSearchFileDlg*>(CWindow::FromWindow(dialog));
    if (phase == 1) {
      std::wstring text;
      if (!rounds[round].message.empty()) {
        if (!ft::TakeMessageBox(&text)) return false;
        boxes[round] = text;
      } else if (search->m_running) {
        return false;
      }
      found[round] = Results(dialog);
      if (round == 0) group = ft::WindowText(GetDlgItem(dialog, IDC_SEARCH_GROUP));
      ++round;
      phase = 0;
    }
    if (round == rounds.size()) {
      // A result reported twice is listed once.
      const int before =
          int(SendMessageW(GetDlgItem(dialog, IDC_SEARCH_RESULTS), LVM_GETITEMCOUNT, 0, 0));
      SendMessageW(dialog, WM_SEARCH_MATCH, 0, LPARAM(L"\\twice.txt"));
      SendMessageW(dialog, WM_SEARCH_MATCH, 0, LPARAM(L"\\twice.txt"));
      EXPECT_EQ(before + 1,
                SendMessageW(GetDlgItem(dialog, IDC_SEARCH_RESULTS), LVM_GETITEMCOUNT, 0, 0));
      PostMessageW(dialog, WM_CLOSE, 0, 0);
      return true;
    }
    const Round& r = rounds[round];
    Click(dialog, r.mode, true);
    CheckDlgButton(dialog, IDC_MATCH_CASE, r.matchCase ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(dialog, IDC_SEARCH_SUBDIRS, BST_CHECKED);
    SetWindowTextW(GetDlgItem(dialog, IDC_SEARCH_NAME), r.name);
    SetWindowTextW(GetDlgItem(dialog, IDC_SEARCH_CONTENT), r.content);
    PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    phase = 1;
    return false;
  });
  CSearchFileDlg::Run(nullptr, &image, (vt::ToWin(img) + L"\\").c_str());
  for (size_t i = 0; i < rounds.size(); ++i) {
    EXPECT_EQ(rounds[i].expected, found[i]) << "round " << i;
    EXPECT_EQ(rounds[i].message, boxes[i]) << "round " << i;
  }
  EXPECT_TRUE(rounds[0].expected.count(L"\\big\\span.bin")) << "grep sees the split needle too";
  EXPECT_FALSE(rounds[0].expected.count(L"\\pagefile.sys"));
  EXPECT_EQ(L"共搜索到 " + std::to_wstring(rounds[0].expected.size()) + L" 个文件", group);
  wchar_t newest[64] = L"";
  DWORD size = sizeof newest;
  EXPECT_EQ(ERROR_SUCCESS,
            RegGetValueW(HKEY_CURRENT_USER, L"Software\\VroMount\\History\\SearchFile", L"0",
                         RRF_RT_REG_SZ, nullptr, newest, &size));
  EXPECT_STREQ(L"*.bin", newest);
  DWORD hex = 9;
  size = sizeof hex;
  EXPECT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_CURRENT_USER, L"Software\\VroMount", L"SearchFile_Hex",
                                        RRF_RT_REG_DWORD, nullptr, &hex, &size));
  EXPECT_EQ(0u, hex) << "the ANSI box was in force at the close";
}

TEST(FileSearch, StopAndCloseWhileRunning) {
  wchar_t windows[MAX_PATH];
  GetWindowsDirectoryW(windows, MAX_PATH);
  int phase = 0;
  bool sawRunning[2] = {}, stayed[2] = {};
  std::wstring button;
  ft::StartSteps([&]() {
    HWND dialog = ft::FindThreadWindow(IDC_SEARCH_RESULTS);
    if (!dialog) return false;
    CSearchFileDlg* search = static_cast<CSearchFileDlg*>(CWindow::FromWindow(dialog));
    switch (phase) {
      case 0:
      case 3:
        Click(dialog, IDC_SEARCH_ANSI, true);
        CheckDlgButton(dialog, IDC_SEARCH_SUBDIRS, BST_CHECKED);
        SetWindowTextW(GetDlgItem(dialog, IDC_SEARCH_NAME), L"*");
        SetWindowTextW(GetDlgItem(dialog, IDC_SEARCH_CONTENT), L"zq-no-file-holds-this-zq");
        SendMessageW(dialog, WM_COMMAND, IDOK, 0);
        sawRunning[phase / 3] = search->m_running != 0;
        // Closing during the search stops it; the stop button (id 2) too.
        if (phase == 0) {
          // No result is viewed while the worker runs (a double click
          // posts the view command).
          HWND results = GetDlgItem(dialog, IDC_SEARCH_RESULTS);
          ListSelectItem(
              results, ListAppendItem(results, (std::wstring(windows) + L"\\win.ini").c_str(), 2));
          SendMessageW(dialog, WM_COMMAND, IDC_SEARCH_VIEW, 0);
          EXPECT_FALSE(ft::FindThreadWindow(IDC_VIEWER_TEXT));
          // Sent, not posted: the close or stop arrives while the worker
          // still runs, however fast it is (its end is sent to this thread,
          // and sent messages go before posted ones).
          SendMessageW(dialog, WM_CLOSE, 0, 0);
        } else {
          SendMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
        }
        ++phase;
        return false;
      case 1:
      case 4:
        if (search->m_running) return false;
        stayed[phase / 3] = IsWindowVisible(dialog) != 0;
        button = ft::WindowText(GetDlgItem(dialog, IDOK));
        ++phase;
        return false;
      case 2:
        ++phase;
        return false;
      default:
        PostMessageW(dialog, WM_CLOSE, 0, 0);
        return true;
    }
  });
  CSearchFileDlg::Run(nullptr, nullptr, windows);
  EXPECT_TRUE(sawRunning[0]);
  EXPECT_TRUE(sawRunning[1]);
  EXPECT_TRUE(stayed[0]) << "closing during a search leaves the window open";
  EXPECT_TRUE(stayed[1]);
  EXPECT_EQ(L"搜索(&O)", button);
}

}  // namespace
