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

#include "../SessionHarness.h"
#include "TestSupport.h"
#include "resources/ResourceIds.h"

namespace {

using namespace session;

void RunSession(const std::string& language, const std::string& pictures) {
  // Pictures show the addresses: a short folder beside them then.
  const std::string dir =
      pictures.empty() ? vt::ScratchSubdirUnix(language) : pictures + "/" + language;
  ASSERT_EQ(0, vt::Sh(Program::Prepare(dir, language) +
                      " && mkdir -p host/data/sub"
                      " && yes 'hello session' | head -c 2000 > host/data/readme.txt"
                      " && head -c 50000 /dev/urandom > host/data/sub/blob.bin"));
  const std::wstring image = vt::ToWin(dir + "/new.img"), host = vt::ToWin(dir + "/host");
  Program program;
  ASSERT_NO_FATAL_FAILURE(program.Start(dir, IDC_IMAGE_LIST));
  const PROCESS_INFORMATION& pi = program.pi;
  const DWORD id = program.id;
  HWND main = program.main;
  HWND hostList = GetDlgItem(main, IDC_HOST_LIST), imageList = GetDlgItem(main, IDC_IMAGE_LIST);
  ASSERT_TRUE(Poll([&] { return !Text(hostList).empty(); }));  // the first drive is shown

  // File menu, "create an empty image": a 64 MiB plain image by its path.
  const DWORD ui = program.ui;
  ASSERT_NO_FATAL_FAILURE(MenuKey(ui, main, "alt+f", "n"));
  HWND create = nullptr;
  ASSERT_TRUE(Poll([&] { return (create = FindTopWindow(id, IDC_DT_RAW)) != nullptr; }))
      << "the File menu opened no create dialog";
  ASSERT_TRUE(Poll([&] { return Gui(ui).hwndActive == create && Gui(ui).hwndFocus; }));
  // Each field by its access key, each key once the one before has landed.
  HWND name = GetWindow(GetDlgItem(create, IDC_DT_TARGET_IMAGE), GW_CHILD);
  HWND megabytes = GetDlgItem(create, IDC_DT_SIZE), raw = GetDlgItem(create, IDC_DT_RAW);
  ASSERT_NO_FATAL_FAILURE(KeysTo(ui, create, "key alt+n"));
  ASSERT_NO_FATAL_FAILURE(TypeInto(ui, name, image));
  ASSERT_NO_FATAL_FAILURE(KeysTo(ui, create, "key alt+z"));
  ASSERT_NO_FATAL_FAILURE(TypeInto(ui, megabytes, L"64"));
  ASSERT_NO_FATAL_FAILURE(KeysTo(ui, create, "key alt+r"));
  ASSERT_TRUE(Poll([&] { return SendMessageW(raw, BM_GETCHECK, 0, 0) == BST_CHECKED; }));
  ASSERT_NO_FATAL_FAILURE(KeysTo(ui, create, "key alt+c"));
  ASSERT_TRUE(Poll([&] { return !IsWindow(create); }, 30)) << "the image was not created";
  // The image is made once the dialog has closed, and appears at its path
  // only when it is whole.
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  EXPECT_TRUE(Poll([&] {
    return GetFileAttributesExW(image.c_str(), GetFileExInfoStandard, &data) &&
           data.nFileSizeLow == 64u * 1048576 + 512;
  }, 30)) << "the plain disk and its header sector: " << data.nFileSizeLow;
  EXPECT_TRUE(Text(imageList).empty()) << "the new image is not opened by itself";

  // Both addresses typed, each opened by Enter.
  ASSERT_NO_FATAL_FAILURE(ClickAndType(ui, GetDlgItem(main, IDC_HOST_ADDRESS), host));
  ASSERT_NO_FATAL_FAILURE(KeysTo(ui, main, "key Return"));
  ASSERT_TRUE(Poll([&] { return lstrcmpiW(Text(hostList).c_str(), host.c_str()) == 0; }))
      << vt::Narrow(Text(hostList));
  ASSERT_NO_FATAL_FAILURE(ClickAndType(ui, GetDlgItem(main, IDC_IMAGE_ADDRESS), image));
  ASSERT_NO_FATAL_FAILURE(KeysTo(ui, main, "key Return"));
  ASSERT_TRUE(Poll([&] { return Text(imageList) == image + L"\\"; }))
      << vt::Narrow(Text(imageList));

  // The host folder selected by a click and added by Ctrl+U.
  std::string at;
  int row = -1;
  ASSERT_TRUE(ItemCentre(pi.hProcess, hostList, L"data", &at, &row));
  ASSERT_NO_FATAL_FAILURE(ClickToSelect(ui, hostList, at, row));
  ASSERT_NO_FATAL_FAILURE(KeysTo(ui, main, "key ctrl+u"));
  ASSERT_TRUE(Poll([&] {
    return IsWindowEnabled(imageList) && ItemCentre(pi.hProcess, imageList, L"data", &at, &row);
  })) << "the folder did not reach the image";

  // Into the added folder (Enter), the file chosen by a click, Alt+Enter.
  ASSERT_NO_FATAL_FAILURE(ClickToSelect(ui, imageList, at, row));
  ASSERT_NO_FATAL_FAILURE(KeysTo(ui, main, "key Return"));
  ASSERT_TRUE(Poll([&] { return Text(imageList) == image + L"\\data"; }))
      << vt::Narrow(Text(imageList));
  ASSERT_TRUE(
      Poll([&] { return ItemCentre(pi.hProcess, imageList, L"readme.txt", &at, &row); }));
  ASSERT_NO_FATAL_FAILURE(ClickToSelect(ui, imageList, at, row));
  if (!pictures.empty()) {
    Sleep(500);
    Picture(main, pictures + "/main-" + language + ".png");
  }
  ASSERT_NO_FATAL_FAILURE(KeysTo(ui, main, "key alt+Return"));
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
  ASSERT_NO_FATAL_FAILURE(KeysTo(ui, properties, "key Return"));
  ASSERT_TRUE(Poll([&] { return !IsWindow(properties); }));

  // File menu, Exit: the program ends by itself.
  ASSERT_NO_FATAL_FAILURE(MenuKey(ui, main, "alt+f", "x"));
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
