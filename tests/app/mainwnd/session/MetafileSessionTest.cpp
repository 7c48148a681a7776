// The built program at the X display in $Extend, typed in another case
// than the volume's: a delete of $Quota, a rename of $ObjId, a new folder
// and the properties' OK on $Quota change nothing, and each says so in one
// box in the window's language that names the item and gives the system's
// reason (error 5); once the program has ended, ntfsls and ntfsinfo read
// $Extend and records 24 to 26 as mkntfs made them.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "../SessionHarness.h"
#include "TestSupport.h"
#include "resources/ResourceIds.h"

namespace {

using namespace session;

std::string ExtendAsShown(const std::string& image) {
  std::string out;
  EXPECT_EQ(0, vt::Sh("ntfsls -i -a -p '/$Extend' " + vt::Q(image) +
                          " 2>/dev/null && for i in 11 24 25 26; do ntfsinfo -i $i " +
                          vt::Q(image) + " 2>/dev/null; done",
                      &out));
  return out;
}

// The system's text for an error in a language, as FormatMessage gives it.
std::wstring SystemText(DWORD error, LANGID language) {
  wchar_t text[512] = L"";
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           error, language, text, 512, nullptr);
  if (!n)
    n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                       0, text, 512, nullptr);
  std::wstring t(text, n);
  while (!t.empty() && (t.back() == L'\n' || t.back() == L'\r' || t.back() == L' ')) t.pop_back();
  return t;
}

// The box that comes up next tells of a refusal: it names the item and
// gives error 5 with the system's text in the window's language. Pictured
// when pictures are asked for; then answered.
void ExpectRefusalBox(const Program& program, const std::wstring& item, LANGID language,
                      const std::string& picture) {
  HWND box = AwaitBox(program);
  ASSERT_NE(nullptr, box) << "no box told of the refusal of " << vt::Narrow(item);
  const std::wstring said = Text(GetDlgItem(box, 0xFFFF));
  EXPECT_NE(std::wstring::npos, said.find(item)) << vt::Narrow(said);
  EXPECT_NE(std::wstring::npos, said.find(L" 5")) << vt::Narrow(said);
  EXPECT_NE(std::wstring::npos, said.find(SystemText(ERROR_ACCESS_DENIED, language)))
      << vt::Narrow(said);
  if (!picture.empty()) Picture(box, picture);
  ASSERT_NO_FATAL_FAILURE(AnswerBox(box, "Return"));
}

TEST(MainWindowMetafiles, RefusalsInExtendChangeNothingAndSayWhy) {
  if (vt::Sh("command -v xdotool >/dev/null") != 0) GTEST_SKIP() << "xdotool is missing";
  // Pictures of every box in each language when asked for; else one
  // language (every text in all three is loaded by FailureTextsInEveryLanguage).
  const std::string pictures = Env("VRO_SESSION_PICTURES");
  for (const char* language : pictures.empty() ? std::vector<const char*>{"1041"}
                                               : std::vector<const char*>{"2052", "1041", "1042"}) {
    SCOPED_TRACE(language);
    const LANGID lang = LANGID(atoi(language));
    const std::string dir = vt::ScratchSubdirUnix(std::string("metafiles") + language);
    const std::string shot = pictures.empty() ? "" : pictures + "/refused-" + language + "-";
    ASSERT_EQ(0, vt::Sh(Program::Prepare(dir, language) +
                        " && mkdir -p tree && printf one > tree/one.txt"));
    const std::string img = dir + "/ntfs.img";
    ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(img) + " --layout none --size 16 --tree " +
                            vt::Q(dir + "/tree")));
    const std::string before = ExtendAsShown(img);
    ASSERT_NE(std::string::npos, before.find("24 $Quota")) << before;
    Program program;
    ASSERT_NO_FATAL_FAILURE(program.Start(dir, IDC_IMAGE_LIST));
    HANDLE process = program.pi.hProcess;
    HWND main = program.main, imageList = GetDlgItem(main, IDC_IMAGE_LIST);
    ASSERT_NO_FATAL_FAILURE(ClickAndType(program.ui, GetDlgItem(main, IDC_IMAGE_ADDRESS),
                                         vt::ToWin(img) + L"\\$EXTEND"));
    ASSERT_NO_FATAL_FAILURE(KeysTo(program.ui, main, "key Return"));
    std::string at;
    int row = -1;
    ASSERT_TRUE(Poll([&] { return ItemCentre(process, imageList, L"$Quota", &at, &row); }))
        << "$Extend is not listed";

    // Del on $Quota, answered Yes: the row stays, the file with it, and a
    // box says why.
    ASSERT_NO_FATAL_FAILURE(ClickToSelect(program.ui, imageList, at, row));
    ASSERT_NO_FATAL_FAILURE(KeysTo(program.ui, main, "key Delete"));
    HWND box = AwaitBox(program);
    ASSERT_NE(nullptr, box);
    ASSERT_NO_FATAL_FAILURE(AnswerBox(box, "Return"));
    ASSERT_NO_FATAL_FAILURE(
        ExpectRefusalBox(program, L"\\$Quota", lang, shot.empty() ? "" : shot + "delete.png"));
    ASSERT_TRUE(
        Poll([&] { return IsWindowEnabled(imageList) && Gui(program.ui).hwndActive == main; }));
    EXPECT_TRUE(ItemCentre(process, imageList, L"$Quota", &at)) << "the row of $Quota went";

    // F2 on $ObjId: the rename is refused, and the box names both names.
    ASSERT_NO_FATAL_FAILURE(RenameByKeys(program, imageList, L"$ObjId", "ObjId.old"));
    ASSERT_NO_FATAL_FAILURE(
        ExpectRefusalBox(program, L"\\$ObjId", lang, shot.empty() ? "" : shot + "rename.png"));
    EXPECT_TRUE(ItemCentre(process, imageList, L"$ObjId", &at)) << "the row of $ObjId was renamed";
    EXPECT_FALSE(ItemCentre(process, imageList, L"ObjId.old", &at));

    // Ctrl+T, a name, Enter: no folder goes into $Extend; its row goes again.
    const int rows = int(SendMessageW(imageList, LVM_GETITEMCOUNT, 0, 0));
    ASSERT_NO_FATAL_FAILURE(KeysTo(program.ui, main, "key ctrl+t"));
    HWND edit = nullptr;
    ASSERT_TRUE(Poll([&] {
      edit = Gui(program.ui).hwndFocus;
      return edit && edit != imageList && GetParent(edit) == imageList;
    })) << "Ctrl+T began no label edit";
    ASSERT_NO_FATAL_FAILURE(TypeInto(program.ui, edit, L"NewDir"));
    ASSERT_NO_FATAL_FAILURE(KeysTo(program.ui, main, "key Return"));
    ASSERT_NO_FATAL_FAILURE(ExpectRefusalBox(program, L"\\$EXTEND\\NewDir", lang,
                                             shot.empty() ? "" : shot + "folder.png"));
    EXPECT_TRUE(Poll([&] { return SendMessageW(imageList, LVM_GETITEMCOUNT, 0, 0) == rows; }));

    // Alt+Enter on $Quota, read-only ticked, OK: the attributes stay.
    ASSERT_TRUE(ItemCentre(process, imageList, L"$Quota", &at, &row));
    ASSERT_NO_FATAL_FAILURE(ClickToSelect(program.ui, imageList, at, row));
    ASSERT_NO_FATAL_FAILURE(KeysTo(program.ui, main, "key alt+Return"));
    HWND properties = nullptr, readOnly = nullptr;
    ASSERT_TRUE(Poll([&] {
      return (properties = FindTopWindow(program.id, IDC_PROPERTY_TABS)) != nullptr &&
             (readOnly = FindDescendant(properties, IDC_INFO_READ_ONLY)) != nullptr;
    })) << "Alt+Enter opened no properties";
    ASSERT_NO_FATAL_FAILURE(PointAt(readOnly, Centre(readOnly)));
    ASSERT_TRUE(Xdo("click 1"));
    ASSERT_TRUE(Poll([&] { return SendMessageW(readOnly, BM_GETCHECK, 0, 0) == BST_CHECKED; }));
    ASSERT_NO_FATAL_FAILURE(KeysTo(program.ui, properties, "key Return"));
    ASSERT_NO_FATAL_FAILURE(
        ExpectRefusalBox(program, L"\\$Quota", lang, shot.empty() ? "" : shot + "properties.png"));
    ASSERT_TRUE(Poll([&] { return !IsWindow(properties); }));

    ASSERT_NO_FATAL_FAILURE(MenuKey(program.ui, main, "alt+f", "x"));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process, 30000));
    EXPECT_EQ(before, ExtendAsShown(img));
    std::string out;
    EXPECT_EQ(0, vt::Sh("ntfsfix -n " + vt::Q(img), &out)) << out;
  }
}

}  // namespace
