// The file operations of the main window on real windows: add and extract on
// their workers with the Yes/All/No questions answered as the operator
// would, the grow of a full partition, drops, deletes, the size editor, the
// partition information and the merge; every image the operations wrote is
// read back with ntfscat, ntfsls and ntfsfix -n.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>
#include <shlobj.h>

#include <string>
#include <thread>
#include <vector>

#include "../../image/MountedImageTestUtil.h"
#include "MainWindowHarness.h"
#include "SessionHarness.h"
#include "TestSupport.h"
#include "app/mainwnd/FilePanes.h"
#include "app/mainwnd/FileWorkers.h"
#include "app/mainwnd/PartitionDlg.h"
#include "common/ReparseLink.h"
#include "image/mount/MountedImage.h"
#include "image/stack/MountRw.h"
#include "image/volume/VolumeTypes.h"
#include "ui/UiResources.h"

namespace {

// AskYesAllNo's buttons as the box ends with them.
const int kYes = IDYES, kAll = IDNO, kNo = IDCANCEL;

void SelectNames(HWND list, const std::vector<std::wstring>& names) {
  const int count = int(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) {
    wchar_t text[360] = L"";
    LVITEMW lv = {};
    lv.pszText = text;
    lv.cchTextMax = 360;
    SendMessageW(list, LVM_GETITEMTEXTW, i, LPARAM(&lv));
    bool wanted = false;
    for (const std::wstring& name : names) wanted = wanted || name == text;
    LVITEMW state = {};
    state.stateMask = LVIS_SELECTED;
    state.state = wanted ? LVIS_SELECTED : 0;
    SendMessageW(list, LVM_SETITEMSTATE, i, LPARAM(&state));
  }
}

bool HasRow(HWND list, const std::wstring& name) {
  for (const Row& row : Rows(list)) {
    if (row.name == name) return true;
  }
  return false;
}

std::string NtfsCat(const std::string& part, const std::string& path) {
  std::string out;
  EXPECT_EQ(0, vt::Sh("ntfscat " + vt::Q(part) + " " + vt::Q(path), &out)) << path;
  return out;
}

std::string FileText(const std::string& unixPath) {
  std::string out;
  vt::Sh("cat " + vt::Q(unixPath), &out);
  return out;
}

std::string CutMbrPartition(const std::string& disk) {
  const std::string part = disk + ".part";
  // The first partition's sectors, its last one the alternate boot sector.
  std::string size;
  vt::Sh("sfdisk -d " + vt::Q(disk) +
             " | awk -F'size=' '/start=/{split($2,a,\",\"); print a[1]+0; exit}'",
         &size);
  EXPECT_EQ(0, vt::Sh("dd if=" + vt::Q(disk) + " of=" + vt::Q(part) + " bs=512 skip=2048 count=" +
                      std::to_string(atol(size.c_str())) + " status=none"));
  EXPECT_EQ(0, vt::Sh("ntfsfix -n " + vt::Q(part) + " >/dev/null")) << "ntfsfix -n on " << disk;
  return part;
}

BOOL CALLBACK FindFiguresDialog(HWND window, LPARAM out) {
  if (GetDlgItem(window, 1000) && IsWindowVisible(window)) *reinterpret_cast<HWND*>(out) = window;
  return TRUE;
}

class FileOperationsTest : public MainWindowTest {
 protected:
  std::string dir_ = vt::ScratchDirUnix() + "/fileops";
  void SetUp() override {
    vt::Sh("rm -rf " + vt::Q(dir_) + " && mkdir -p " + vt::Q(dir_ + "/tree/Zeta") + " " +
           vt::Q(dir_ + "/host/sub") + " " + vt::Q(dir_ + "/out"));
    vt::Sh("cd " + vt::Q(dir_) + " && printf hello > tree/a.txt && printf x > tree/noext" +
           " && printf 'new content' > host/a.txt && printf y > host/noext" +
           " && head -c 5000 /dev/urandom > host/fresh.bin && printf inner > host/sub/inner.txt");
    MainWindowTest::SetUp();
  }
  // Runs a command that starts an operation and waits for its end.
  void RunOperation(UINT command) {
    SendMessageW(hwnd_, WM_COMMAND, command, 0);
    EXPECT_TRUE(PumpUntil([&] { return window_->m_busy == 0; }, 120));
    Pump();
    for (int id : {IDC_IMAGE_ADDRESS, IDC_IMAGE_LIST, IDC_HOST_ADDRESS, IDC_HOST_LIST, IDC_TOOLBAR})
      EXPECT_TRUE(IsWindowEnabled(Item(id))) << "control " << id << " enabled again";
  }
  void CloseImage() {
    SendMessageW(hwnd_, WM_COMMAND, ID_CLOSE_IMAGE, 0);
    Pump();
    ASSERT_EQ(L"", Text(Item(IDC_IMAGE_LIST)));
  }
};

// Add with All on the first question, then No and Yes; extract; delete with
// ".." in the selection. ntfscat and ntfsls read the image after each.
TEST_F(FileOperationsTest, AddExtractDeleteCheckedByNtfsTools) {
  const std::string img = dir_ + "/ntfs.img";
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(img) + " --layout mbr2048 --size 16 --tree " +
                          vt::Q(dir_ + "/tree")));
  Navigate(IDC_IMAGE_ADDRESS, vt::ToWin(img));
  Navigate(IDC_HOST_ADDRESS, vt::ToWin(dir_ + "/host"));
  HWND host = Item(IDC_HOST_LIST), image = Item(IDC_IMAGE_LIST);
  {
    Answerer answers({kAll});
    SelectNames(host, {L"a.txt", L"noext", L"fresh.bin", L"sub", L".."});
    RunOperation(ID_ADD_FILES);
    EXPECT_EQ(1u, answers.Texts().size()) << "All answers every later existing target";
  }
  for (const wchar_t* name : {L"a.txt", L"noext", L"fresh.bin", L"sub"})
    EXPECT_TRUE(HasRow(image, name)) << vt::Narrow(name);
  EXPECT_EQ(0u, window_->m_statusColour) << "the status is freed after the run";

  // No skips only its item: a.txt keeps the first copy, fresh.bin is replaced.
  vt::Sh("cd " + vt::Q(dir_) + " && printf third > host/a.txt && head -c 7000 /dev/urandom > " +
         "host/fresh.bin");
  {
    Answerer answers({kNo, kYes});
    SelectNames(host, {L"a.txt", L"fresh.bin"});
    RunOperation(ID_ADD_FILES);
    EXPECT_EQ(2u, answers.Texts().size());
  }
  CloseImage();
  std::string part = CutMbrPartition(img);
  EXPECT_EQ("new content", NtfsCat(part, "/a.txt"));
  EXPECT_EQ("y", NtfsCat(part, "/noext"));
  EXPECT_EQ(FileText(dir_ + "/host/fresh.bin"), NtfsCat(part, "/fresh.bin"));
  EXPECT_EQ("inner", NtfsCat(part, "/sub/inner.txt"));

  // Extract into an empty host folder: the files ntfscat reads.
  Navigate(IDC_IMAGE_ADDRESS, vt::ToWin(img));
  Navigate(IDC_HOST_ADDRESS, vt::ToWin(dir_ + "/out"));
  SelectNames(image, {L"a.txt", L"sub", L"fresh.bin"});
  RunOperation(ID_EXTRACT_FILES);
  EXPECT_EQ("new content", FileText(dir_ + "/out/a.txt"));
  EXPECT_EQ("inner", FileText(dir_ + "/out/sub/inner.txt"));
  EXPECT_EQ(NtfsCat(part, "/fresh.bin"), FileText(dir_ + "/out/fresh.bin"));
  EXPECT_TRUE(HasRow(host, L"sub"));

  // Deleting a selection with "..": the others go, ".." stays.
  Navigate(IDC_IMAGE_ADDRESS, vt::ToWin(img) + L"\\sub");
  SelectNames(image, {L"..", L"inner.txt"});
  EXPECT_EQ(1, DeleteImageSelection(image, window_));
  ASSERT_EQ(1u, Rows(image).size());
  EXPECT_EQ(L"..", Rows(image)[0].name);
  CloseImage();
  part = CutMbrPartition(img);
  std::string listing;
  EXPECT_EQ(0, vt::Sh("ntfsls " + vt::Q(part) + " -p /sub", &listing));
  EXPECT_EQ(".\n", listing) << "the folder is empty on the volume";
}

// The bar of a copy: a total below 1 MiB has a range of 1; a total of 0
// hides the bar without dividing.
TEST_F(FileOperationsTest, ProgressRangeOfSmallAndEmptyTotals) {
  HWND bar = GetDlgItem(Item(IDC_STATUS_BAR), IDC_PROGRESS);
  CopyWatch watch = {bar, 0, 0};
  ListCopyProgress(0, 1000, 0, 0, 0, 0, 0, 0, &watch);
  EXPECT_EQ(1, SendMessageW(bar, PBM_GETRANGE, FALSE, 0));
  EXPECT_TRUE(IsWindowVisible(bar));
  ListCopyProgress(0, 1000, 0, 500, 0, 100, 0, 0, &watch);
  EXPECT_EQ(1, SendMessageW(bar, PBM_GETPOS, 0, 0));
  ListCopyProgress(0, 1000, 0, 1000, 0, 0, 0, 0, &watch);
  EXPECT_FALSE(IsWindowVisible(bar));
  ListCopyProgress(0, 0, 0, 0, 0, 0, 0, 0, &watch);
  EXPECT_FALSE(IsWindowVisible(bar));
  EXPECT_EQ(1u, ListCopyProgress(1, 0, 0, 0, 0, 0, 0, 0, &watch))
      << "an existing target is replaced";
  EXPECT_EQ(0, watch.failed);

  // While an operation runs a second one is refused, and said so.
  window_->m_busy = 1;
  SendMessageW(hwnd_, WM_COMMAND, ID_ADD_FILES, 0);
  EXPECT_TRUE(IsWindowEnabled(Item(IDC_HOST_LIST))) << "nothing started";
  wchar_t running[256];
  LoadUiString(GetModuleHandleW(nullptr), IDS_OPERATION_RUNNING, kLangChinese, running, 256);
  EXPECT_STREQ(running, window_->m_statusText);
  window_->m_busy = 0;

  // The usage of a volume without clusters is 0 %.
  VolumeInfoRecord empty = {};
  wchar_t text[720];
  UINT used = 99;
  FormatPartitionFigures(L"%s %s %I64u %I64u %I64u %I64u %I64u %I64u %I64u", empty, text, 720,
                         &used);
  EXPECT_EQ(0u, used);

  // The figures' two columns: a label with its colon (full-width or not),
  // the value without its padding, even where a label has none; an empty
  // line stays.
  const std::vector<FigureLine> lines = SplitFigureLines(
      L"\x5408\x8A08\xFF1A\x3000\x3000 16380 KB\n\n\x5358\x4F4D\xFF1A" L"4096 B\r\n"
      L"\xD30C\xC77C \xC2DC\xC2A4\xD15C:\x3000NTFS 3.1");
  ASSERT_EQ(4u, lines.size());
  EXPECT_EQ(L"\x5408\x8A08\xFF1A", lines[0].label);
  EXPECT_EQ(L"16380 KB", lines[0].value);
  EXPECT_TRUE(lines[1].label.empty() && lines[1].value.empty());
  EXPECT_EQ(L"4096 B", lines[2].value);
  EXPECT_EQ(L"\xD30C\xC77C \xC2DC\xC2A4\xD15C:", lines[3].label);
  EXPECT_EQ(L"NTFS 3.1", lines[3].value);
}

// An own image that fills up: Yes to the space question grows the partition
// by the shortfall and 1 GiB, keeps the image open and copies the same file.
TEST_F(FileOperationsTest, FullOwnImageGrowsAndRetries) {
  const std::string raw = dir_ + "/raw.img";
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(raw) + " --layout mbr2048 --size 16 --tree " +
                          vt::Q(dir_ + "/tree")));
  const std::wstring own = mi::CopyIntoOwnImage(vt::ToWin(raw), dir_, L"full.img");
  ASSERT_EQ(0, vt::Sh("head -c 25000000 /dev/urandom > " + vt::Q(dir_ + "/host/big.bin")));
  // The pane writes into an update file of the image, which takes the grow
  // too; the pane shows the image on throughout.
  Navigate(IDC_IMAGE_ADDRESS, own);
  ASSERT_EQ(own + L"\\", Text(Item(IDC_IMAGE_LIST)));
  uint64_t before = 0, freeBytes = 0;
  window_->m_image->GetVolumeSpace(&before, &freeBytes);
  Navigate(IDC_HOST_ADDRESS, vt::ToWin(dir_ + "/host"));
  {
    Answerer answers({IDYES});
    SelectNames(Item(IDC_HOST_LIST), {L"big.bin"});
    RunOperation(ID_ADD_FILES);
    ASSERT_EQ(1u, answers.Texts().size()) << "the space question";
  }
  EXPECT_TRUE(HasRow(Item(IDC_IMAGE_LIST), L"big.bin"));
  const std::wstring update = own + L"_01.Upd";
  EXPECT_EQ(own + L"\\", Text(Item(IDC_IMAGE_LIST)));
  EXPECT_TRUE(vt::FileExists(update));
  EXPECT_EQ(0u, window_->m_statusColour) << vt::Narrow(window_->m_statusText);
  uint64_t after = 0;
  window_->m_image->GetVolumeSpace(&after, &freeBytes);
  EXPECT_GT(after, before + (1ull << 30)) << "grown by the shortfall and 1 GiB";
  CloseImage();

  // The grown volume read back through the image's own layers, written out
  // sparse for ntfsfix and ntfscat.
  const std::string part = dir_ + "/grown.part";
  {
    _VROH_MOUNT_RW disk;
    ASSERT_GE(disk.OpenChain(update.c_str(), nullptr, 0), 0);
    HANDLE out =
        CreateFileW(vt::ToWin(part).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, out);
    // The partition's extent from the first MBR entry.
    uint8_t mbr[512];
    ASSERT_EQ(512, disk.ReadBytes(nullptr, 0, mbr, 512));
    const int64_t start = int64_t(*reinterpret_cast<uint32_t*>(mbr + 446 + 8)) * 512;
    const int64_t length = int64_t(*reinterpret_cast<uint32_t*>(mbr + 446 + 12)) * 512;
    ASSERT_GT(length, int64_t(1) << 30);
    std::vector<char> chunk(1 << 20);
    int64_t offset = 0;
    for (; offset < length; offset += int64_t(chunk.size())) {
      const int64_t n = length - offset < int64_t(chunk.size()) ? length - offset : chunk.size();
      ASSERT_EQ(n, disk.ReadBytes(nullptr, start + offset, chunk.data(), unsigned(n)));
      bool zero = true;
      for (int64_t i = 0; i < n && zero; ++i) zero = !chunk[size_t(i)];
      if (zero) continue;
      LARGE_INTEGER at;
      at.QuadPart = offset;
      SetFilePointerEx(out, at, nullptr, FILE_BEGIN);
      DWORD written = 0;
      WriteFile(out, chunk.data(), DWORD(n), &written, nullptr);
    }
    offset = length;
    LARGE_INTEGER end;
    end.QuadPart = offset;
    SetFilePointerEx(out, end, nullptr, FILE_BEGIN);
    SetEndOfFile(out);
    CloseHandle(out);
  }
  EXPECT_EQ(0, vt::Sh("ntfsfix -n " + vt::Q(part) + " >/dev/null"));
  EXPECT_EQ(
      0, vt::Sh("ntfscat " + vt::Q(part) + " /big.bin | cmp - " + vt::Q(dir_ + "/host/big.bin")));
  vt::Sh("rm -f " + vt::Q(part));
}

// Drops: an "img" file opens (also over an open image) instead of being
// copied; drops on the status bar or the toolbar do nothing.
TEST_F(FileOperationsTest, ImageFileDropOpensAndBarsTakeNoDrops) {
  const std::string first = dir_ + "/first.img", second = dir_ + "/second.img";
  for (const std::string& img : {first, second}) {
    ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(img) + " --layout mbr2048 --size 16 --tree " +
                            vt::Q(dir_ + "/tree")));
  }
  Navigate(IDC_IMAGE_ADDRESS, vt::ToWin(first));
  std::wstring paths = vt::ToWin(second) + L'\0';
  wchar_t name[360];
  EXPECT_EQ(DWORD(kDropOpen), DropIntoImagePane(Item(IDC_IMAGE_LIST), paths.c_str(), name, 360,
                                                window_, FALSE, nullptr));
  EXPECT_STREQ(L"second.img", name);
  int answer = 0;
  DropIntoImagePane(Item(IDC_IMAGE_LIST), paths.c_str(), nullptr, 0, window_, TRUE, &answer);
  Pump();
  EXPECT_EQ(vt::ToWin(second) + L"\\", Text(Item(IDC_IMAGE_LIST)));
  EXPECT_FALSE(HasRow(Item(IDC_IMAGE_LIST), L"second.img"));

  // A write-back file stays with its image and the folders inside it, and
  // goes with another image whose path merely begins with the same text.
  ASSERT_EQ(0, vt::Sh("cp " + vt::Q(second) + " " + vt::Q(second + "x")));
  const std::wstring fix = vt::ToWin(dir_ + "/wks.fix");
  window_->m_writeBackPath = new wchar_t[fix.size() + 1];
  lstrcpyW(window_->m_writeBackPath, fix.c_str());
  Navigate(IDC_IMAGE_ADDRESS, vt::ToWin(second) + L"\\Zeta");
  ASSERT_NE(nullptr, window_->m_writeBackPath) << "a folder inside the image keeps it";
  Navigate(IDC_IMAGE_ADDRESS, vt::ToWin(second + "x"));
  EXPECT_EQ(nullptr, window_->m_writeBackPath) << "another image drops it";

  // WM_DROPFILES over the status bar and the toolbar.
  Navigate(IDC_HOST_ADDRESS, vt::ToWin(dir_ + "/out"));
  const std::wstring file = vt::ToWin(dir_ + "/host/noext");
  for (int bar : {IDC_STATUS_BAR, IDC_TOOLBAR}) {
    RECT rc;
    GetWindowRect(Item(bar), &rc);
    SetCursorPos((rc.left + rc.right) / 2, (rc.top + rc.bottom) / 2);
    HGLOBAL block = GlobalAlloc(GHND, sizeof(DROPFILES) + (file.size() + 2) * sizeof(wchar_t));
    DROPFILES* drop = static_cast<DROPFILES*>(GlobalLock(block));
    drop->pFiles = sizeof(DROPFILES);
    drop->fWide = TRUE;
    memcpy(drop + 1, file.c_str(), file.size() * sizeof(wchar_t));
    GlobalUnlock(block);
    SendMessageW(hwnd_, WM_DROPFILES, WPARAM(block), 0);
    Pump();
  }
  EXPECT_FALSE(vt::FileExists(vt::ToWin(dir_ + "/out/noext")));
}

// The size editor over status part 2: the shown size with Enter changes
// nothing, one MiB more is refused unless it reaches the next 8 MiB step,
// Escape closes; the rounding takes 3,000,000 as 2,000,000.
TEST_F(FileOperationsTest, SizeEditorRules) {
  EXPECT_EQ(StatusEditTargetBytes(2000000), StatusEditTargetBytes(3000000));
  EXPECT_EQ(StatusEditTargetBytes(2000000), StatusEditTargetBytes((1ll << 32) + 5));
  EXPECT_EQ(8ull << 20, StatusEditTargetBytes(9));
  EXPECT_EQ(8ull << 20, StatusEditTargetBytes(16));
  EXPECT_EQ(16ull << 20, StatusEditTargetBytes(17));

  const std::string raw = dir_ + "/raw.img";
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(raw) + " --layout mbr2048 --size 16 --tree " +
                          vt::Q(dir_ + "/tree")));
  const std::wstring own = mi::CopyIntoOwnImage(vt::ToWin(raw), dir_, L"size.img");
  Navigate(IDC_IMAGE_ADDRESS, own);
  uint64_t total = 0, freeBytes = 0;
  window_->m_image->GetVolumeSpace(&total, &freeBytes);
  HWND status = Item(IDC_STATUS_BAR);
  auto open = [&]() -> HWND {
    window_->OpenSizeEditor(FALSE);
    return GetDlgItem(status, 1047);
  };
  auto typeAndPress = [&](HWND edit, const wchar_t* text, UINT key) {
    SetWindowTextW(edit, text);
    PostMessageW(edit, WM_KEYDOWN, key, 0);
    Pump();
  };
  HWND edit = open();
  ASSERT_TRUE(edit);
  wchar_t shown[32] = L"";
  GetWindowTextW(edit, shown, 32);
  EXPECT_EQ(std::to_wstring(total >> 20), shown);
  typeAndPress(edit, shown, VK_RETURN);
  EXPECT_FALSE(IsWindow(edit)) << "Enter closes the editor";
  EXPECT_STREQ(L"", window_->m_statusText) << "the unchanged size shows nothing";

  edit = open();
  typeAndPress(edit, std::to_wstring((total >> 20) + 1).c_str(), VK_ESCAPE);
  EXPECT_FALSE(IsWindow(edit));
  EXPECT_STREQ(L"", window_->m_statusText) << "Escape changes nothing";

  wchar_t refused[256];
  LoadUiString(GetModuleHandleW(nullptr), IDS_SIZE_NOT_LARGER, kLangChinese, refused, 256);
  edit = open();
  typeAndPress(edit, std::to_wstring((total >> 20) + 1).c_str(), VK_RETURN);
  EXPECT_STREQ(refused, window_->m_statusText);
  EXPECT_EQ(COLORREF(RGB(255, 0, 0)), window_->m_statusColour);
  const uint64_t stillSame = total;
  window_->m_image->GetVolumeSpace(&total, &freeBytes);
  EXPECT_EQ(stillSame, total);

  edit = open();
  typeAndPress(edit, std::to_wstring((total >> 20) + 16).c_str(), VK_RETURN);
  // The image opens again on its larger partition.
  EXPECT_TRUE(PumpUntil([&] { return window_->m_image->GetVolumeSpace(&total, &freeBytes) == 1; }))
      << vt::Narrow(Text(Item(IDC_IMAGE_LIST)));
  EXPECT_GT(total, stillSame + (4 << 20)) << vt::Narrow(window_->m_statusText);
}

// The partition information of the "::{UEFI}" folder describes the EFI
// system partition: FAT figures of its own.
TEST_F(FileOperationsTest, PartitionInformationOfTheEfiPartition) {
  const std::string gpt = dir_ + "/gpt.img";
  vt::Sh("mkdir -p " + vt::Q(dir_ + "/esp/EFI/Boot") + " && printf x > " +
         vt::Q(dir_ + "/esp/EFI/Boot/bootx64.efi"));
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(gpt) + " --layout gpt-esp --esp-size 40 --size 8 " +
                          "--tree " + vt::Q(dir_ + "/tree") + " --esp-tree " +
                          vt::Q(dir_ + "/esp")));
  Navigate(IDC_IMAGE_ADDRESS, vt::ToWin(gpt) + L"\\::{UEFI}\\EFI");
  std::wstring figures;
  std::thread reader([&] {
    for (int i = 0; i < 300 && figures.empty(); ++i) {
      Sleep(50);
      HWND dialog = nullptr;
      EnumThreadWindows(GetWindowThreadProcessId(hwnd_, nullptr), FindFiguresDialog,
                        LPARAM(&dialog));
      if (!dialog) continue;
      wchar_t text[720] = L"";
      GetDlgItemTextW(dialog, 1000, text, 720);
      figures = text;
      PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
    }
  });
  SendMessageW(hwnd_, WM_COMMAND, ID_PARTITION_INFO, 0);
  reader.join();
  EXPECT_NE(std::wstring::npos, figures.find(L"FAT")) << vt::Narrow(figures);
  EXPECT_NE(std::wstring::npos, figures.find(L"GPT")) << vt::Narrow(figures);
  EXPECT_EQ(std::wstring::npos, figures.find(L"NTFS")) << vt::Narrow(figures);
}

// A merge that fails shows its text in red, says why in a box and gives
// the panes back.
TEST_F(FileOperationsTest, FailedMergeShowsRedAndEnablesThePanes) {
  const std::wstring image = vt::ToWin(dir_ + "/host/noext");
  const std::wstring update = vt::ToWin(dir_ + "/host/a.txt");
  std::vector<std::wstring> texts;
  {
    Answerer answers({IDYES, IDOK});
    MergeUpdateIntoImage(window_, image.c_str(), update.c_str());
    EXPECT_TRUE(PumpUntil([&] { return window_->m_busy == 0; }));
    texts = answers.Texts();
  }
  // The box says why: the file named is no overlay of the image.
  ASSERT_EQ(2u, texts.size());
  EXPECT_EQ(0u, texts[1].find(update + L"\uff1a")) << vt::Narrow(texts[1]);
  Pump();
  wchar_t failed[256];
  LoadUiString(GetModuleHandleW(nullptr), IDS_MERGE_FAILED, kLangChinese, failed, 256);
  EXPECT_STREQ(failed, window_->m_statusText);
  EXPECT_EQ(COLORREF(RGB(255, 0, 0)), window_->m_statusColour);
  for (int id : {IDC_IMAGE_ADDRESS, IDC_IMAGE_LIST, IDC_HOST_ADDRESS, IDC_HOST_LIST, IDC_TOOLBAR})
    EXPECT_TRUE(IsWindowEnabled(Item(id)));
  EXPECT_EQ("y", FileText(dir_ + "/host/noext")) << "the files stay as they were";
}

// A merge from the image bar's link that unlinks another update file made
// against the image says so in a box that names that file; the image then
// holds the merged file's work. Another program keeps the merged file from
// being removed: the box says it was merged and is left, naming it, and the
// status tells no failure; the next merge removes it.
TEST_F(FileOperationsTest, MergeTellsOfTheUpdateFileItUnlinks) {
  const std::wstring base = vt::ToWin(dir_ + "/base.img");
  const std::wstring first = base + L"_01.Upd", second = base + L"_02.Upd";
  std::string out;
  ASSERT_EQ(0u, session::Batch(L"\"-img:" + base + L"\" /create:24", &out)) << out;
  for (const char* name : {"a.txt", "noext"}) {
    ASSERT_EQ(0u, session::Batch(L"\"-img:" + base + L"\" \"/inject:\\" + vt::Widen(name) + L"::" +
                                     vt::ToWin(dir_ + "/host/" + name) + L"\"",
                                 &out))
        << out;
  }
  ASSERT_TRUE(vt::FileExists(second)) << "the second inject made no second update file";
  std::vector<std::wstring> texts;
  HANDLE held = CreateFileW(first.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, held);
  {
    Answerer answers({IDYES, IDOK});
    MergeUpdateIntoImage(window_, base.c_str(), first.c_str());
    EXPECT_TRUE(PumpUntil([&] { return window_->m_busy == 0; }));
    texts = answers.Texts();
  }
  CloseHandle(held);
  ASSERT_EQ(2u, texts.size()) << "no box told of the unlinked update file";
  wchar_t format[512], left[512], failed[256];
  LoadUiString(GetModuleHandleW(nullptr), IDS_NOTICE_MERGE_UNLINKS, kLangChinese, format, 512);
  EXPECT_EQ(0u, texts[1].find(second + (format + 2))) << vt::Narrow(texts[1]);
  LoadUiString(GetModuleHandleW(nullptr), IDS_NOTICE_MERGED_FILE_LEFT, kLangChinese, left, 512);
  EXPECT_NE(std::wstring::npos, texts[1].find(first + (left + 2))) << vt::Narrow(texts[1]);
  Pump();
  LoadUiString(GetModuleHandleW(nullptr), IDS_MERGE_FAILED, kLangChinese, failed, 256);
  EXPECT_STRNE(failed, window_->m_statusText);
  EXPECT_NE(COLORREF(RGB(255, 0, 0)), window_->m_statusColour);
  EXPECT_TRUE(vt::FileExists(first));
  EXPECT_EQ(0u, session::Batch(L"\"-img:" + base + L"\" \"-fix:" + first + L"\" /merge", &out))
      << out;
  EXPECT_NE(std::string::npos, out.find("merged into its image already")) << out;
  EXPECT_FALSE(vt::FileExists(first));
  EXPECT_EQ(0u, session::Batch(L"\"-img:" + base + L"\" -noupd \"/extract:\\a.txt::" +
                                   vt::ToWin(dir_ + "/a.out") + L"\"",
                               &out))
      << out;
  EXPECT_EQ(FileText(dir_ + "/host/a.txt"), FileText(dir_ + "/a.out"));
}

}  // namespace

namespace {

// Deleting a link on the host side never reaches into what it points to:
// the target and its files stay.
TEST_F(FileOperationsTest, HostDeleteNeverFollowsALink) {
  const std::wstring keep = vt::ToWin(dir_ + "/keep"), out = vt::ToWin(dir_ + "/out");
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(dir_ + "/keep") + " && printf data > " +
                      vt::Q(dir_ + "/keep/precious.txt")));
  // Under Wine a link of the host's file system shows as a reparse point.
  if (!CreateReparseLink((out + L"\\link").c_str(), keep.c_str(), kReparseTagJunction, TRUE)) {
    ASSERT_EQ(0, vt::Sh("ln -s ../keep " + vt::Q(dir_ + "/out/link")));
  }
  if (!(GetFileAttributesW((out + L"\\link").c_str()) & FILE_ATTRIBUTE_REPARSE_POINT))
    GTEST_SKIP() << "no link that shows as one on this platform";
  Navigate(IDC_HOST_ADDRESS, out);
  SelectNames(Item(IDC_HOST_LIST), {L"link", L".."});
  // Whether the link itself can go is the platform's (Wine keeps a host
  // file system's link, and a box says so); what it points to is never
  // touched.
  {
    Answerer answers({IDOK});
    DeleteHostSelection(Item(IDC_HOST_LIST), window_);
  }
  EXPECT_TRUE(HasRow(Item(IDC_HOST_LIST), L".."));
  EXPECT_EQ("data", FileText(dir_ + "/keep/precious.txt"));
}

}  // namespace

namespace {

// A volume that is read but takes no writes (a hibernated Windows, a
// Windows whose journal was left unclean, a dynamic VHD without its
// write-back file): each operation that would write tells why in one box,
// in the window's language and naming the image, and writes nothing; reads
// go on.
TEST_F(FileOperationsTest, AVolumeThatTakesNoWritesNamesItsCauseOncePerOperation) {
  vt::Sh("cd " + vt::Q(dir_) + " && (printf HIBR; head -c 8188 /dev/zero) > tree/hiberfil.sys");
  const std::string hibernated = dir_ + "/hibernated.img", unclean = dir_ + "/unclean.img",
                    dynamic = dir_ + "/dynamic.vhd";
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(hibernated) + " --size 16 --tree " +
                          vt::Q(dir_ + "/tree")));
  ASSERT_EQ(0, vt::Sh("rm " + vt::Q(dir_ + "/tree/hiberfil.sys")));
  ASSERT_TRUE(
      vt::Fixture("mk-disk.sh " + vt::Q(unclean) + " --size 16 --tree " + vt::Q(dir_ + "/tree")));
  ASSERT_EQ(0, vt::Sh("python3 " + vt::Q(vt::SourceDirUnix() + "/tests/fixtures/ntfs-damage.py") +
                      " " + vt::Q(unclean) + " logfile-2.0"));
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(dynamic) +
                          " --size 16 --format vhd-dynamic --tree " + vt::Q(dir_ + "/tree")));
  const struct {
    std::string image;
    UINT cause;
  } volumes[] = {{hibernated, IDS_NOTICE_HIBERNATED},
                 {unclean, IDS_NOTICE_UNCLEAN_SHUTDOWN},
                 {dynamic, IDS_NOTICE_WRITES_NEED_FIX}};
  Navigate(IDC_HOST_ADDRESS, vt::ToWin(dir_ + "/host"));
  HWND host = Item(IDC_HOST_LIST), image = Item(IDC_IMAGE_LIST);
  for (const auto& v : volumes) {
    const std::wstring path = vt::ToWin(v.image);
    SCOPED_TRACE(v.image);
    wchar_t format[1024], cause[2048];
    ASSERT_TRUE(LoadUiString(v.cause, format, 1024));
    _snwprintf(cause, 2048, format, path.c_str());
    std::string beside;
    vt::Sh("ls " + vt::Q(dir_), &beside);
    const std::string hash = vt::Sha256(path);
    {
      Answerer opened({IDOK});
      Navigate(IDC_IMAGE_ADDRESS, path);
      EXPECT_EQ(std::vector<std::wstring>{}, opened.Texts()) << "the open tells nothing";
    }
    ASSERT_EQ(path + L"\\", Text(image));
    // Each operation: one box, its cause; the pane as it was.
    auto once = [&](const char* operation, auto run) {
      SCOPED_TRACE(operation);
      Answerer answers({IDOK, IDOK, IDOK});
      run();
      Pump();
      EXPECT_EQ(std::vector<std::wstring>{cause}, answers.Texts());
      EXPECT_TRUE(HasRow(image, L"a.txt"));
      EXPECT_FALSE(HasRow(image, L"fresh.bin"));
      EXPECT_FALSE(HasRow(image, L"b.txt"));
    };
    once("copy in", [&] {
      SelectNames(host, {L"fresh.bin", L"noext", L"sub"});
      RunOperation(ID_ADD_FILES);
    });
    once("paste", [&] {
      const std::wstring paths =
          vt::ToWin(dir_ + "/host/fresh.bin") + L'\0' + vt::ToWin(dir_ + "/host/noext") + L'\0';
      int answer = 0;
      DropIntoImagePane(image, paths.c_str(), nullptr, 0, window_, TRUE, &answer);
    });
    once("delete", [&] {
      SelectNames(image, {L"a.txt", L"Zeta"});
      EXPECT_EQ(0, DeleteImageSelection(image, window_));
    });
    once("rename", [&] {
      SelectNames(image, {L"a.txt"});
      const int item = int(SendMessageW(image, LVM_GETNEXTITEM, WPARAM(-1), LVNI_SELECTED));
      EXPECT_EQ(0, EndImageLabelEdit(window_, image, item, L"b.txt"));
    });
    const size_t rows = Rows(image).size();
    once("new folder", [&] {
      SetFocus(image);
      SendMessageW(hwnd_, WM_COMMAND, ID_NEW_FOLDER, 0);
    });
    EXPECT_EQ(rows, Rows(image).size()) << "no row for a folder that is not made";
    // Reads go on.
    vt::Sh("rm -rf " + vt::Q(dir_ + "/out") + " && mkdir " + vt::Q(dir_ + "/out"));
    Navigate(IDC_HOST_ADDRESS, vt::ToWin(dir_ + "/out"));
    SelectNames(image, {L"a.txt"});
    RunOperation(ID_EXTRACT_FILES);
    EXPECT_EQ("hello", FileText(dir_ + "/out/a.txt"));
    Navigate(IDC_HOST_ADDRESS, vt::ToWin(dir_ + "/host"));
    CloseImage();
    EXPECT_EQ(hash, vt::Sha256(path));
    std::string now;
    vt::Sh("ls " + vt::Q(dir_), &now);
    EXPECT_EQ(beside, now);
  }
}

}  // namespace
