// The backup, clone, convert and create dialogs on real windows. Convert
// and create run to the end on fixture images, and the results are checked
// with sgdisk, ntfsfix, fsck.fat and ntfscat. Wine has no raw volumes: the
// backup runs over the scripted host-volume platform, which serves a disk
// image file as the physical drive of a drive letter.
#include <windows.h>
#include <winioctl.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "../../image/MountedImageTestUtil.h"
#include "../../registry/FacadeTestUtil.h"
#include "app/NewImage.h"
#include "DialogTestUtil.h"
#include "disktools/copy/VolumeCopy.h"
#include "disktools/dialogs/BackupImageDlg.h"
#include "disktools/dialogs/CloneImageDlg.h"
#include "disktools/dialogs/ConvertImageDlg.h"
#include "disktools/dialogs/CreateImageDlg.h"
#include "disktools/dialogs/DiskToolHistory.h"
#include "image/host/HostVolume.h"
#include "resources/ResourceIds.h"
#include "ui/UiResources.h"
#include "ui/controls/ListView.h"

namespace {

const wchar_t kHistoryRoot[] = L"Software\\VroMount\\History\\";

// ---- The scripted host volumes "P:" and "Q:", each the first partition of
// a disk image file served as "\\.\PhysicalDrive1" and "...2".
std::wstring g_driveFiles[2];
std::map<HANDLE, DWORD> g_volumeDisks;  // volume handle -> disk number
HANDLE WINAPI ScriptCreateFile(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                               DWORD disposition, DWORD, HANDLE) {
  std::wstring n(name), file;
  DWORD volumeDisk = 0;
  for (DWORD disk = 1; disk <= 2; ++disk) {
    if (g_driveFiles[disk - 1].empty()) continue;
    if (n == L"\\\\.\\PhysicalDrive" + std::to_wstring(disk)) file = g_driveFiles[disk - 1];
    if (n == std::wstring(L"\\\\.\\") + wchar_t(L'O' + disk) + L":") {
      file = g_driveFiles[disk - 1] + L".vol";
      volumeDisk = disk;
    }
  }
  if (file.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE h = CreateFileW(file.c_str(), access, share, nullptr, disposition, 0, nullptr);
  if (h != INVALID_HANDLE_VALUE && volumeDisk) g_volumeDisks[h] = volumeDisk;
  return h;
}
BOOL WINAPI ScriptIoctl(HANDLE h, DWORD code, LPVOID, DWORD, LPVOID out, DWORD, LPDWORD returned,
                        LPOVERLAPPED) {
  if (code == IOCTL_STORAGE_GET_DEVICE_NUMBER) {
    STORAGE_DEVICE_NUMBER* n = (STORAGE_DEVICE_NUMBER*)out;
    n->DeviceType = FILE_DEVICE_DISK;
    n->DeviceNumber = g_volumeDisks.count(h) ? g_volumeDisks[h] : 1;
    n->PartitionNumber = 1;
    *returned = sizeof *n;
    return TRUE;
  }
  return code == FSCTL_LOCK_VOLUME || code == FSCTL_DISMOUNT_VOLUME || code == FSCTL_UNLOCK_VOLUME;
}
const HostVolumeApi kScriptApi = {ScriptCreateFile, ScriptIoctl, FlushFileBuffers, CloseHandle};
struct NoShadowCopy : IShadowCopyClient {
  bool Load() override { return false; }
  bool Snapshot(wchar_t) override { return false; }
  HANDLE OpenSnapshotDevice() override { return INVALID_HANDLE_VALUE; }
  void Release() override {}
} g_noVss;
CHostVolume* ScriptVolume(wchar_t letter) {
  CHostVolume* v = new CHostVolume(letter == L'P' || letter == L'Q' ? &kScriptApi : nullptr);
  v->SetShadowCopyClient(&g_noVss);
  return v;
}

// ---- Helpers.
std::wstring String(UINT id) {
  wchar_t text[256];
  LoadUiString(GetModuleHandleW(nullptr), id, 2052, text, 256);
  return text;
}

void Command(HWND dlg, int id, int code = BN_CLICKED) {
  SendMessageW(dlg, WM_COMMAND, MAKEWPARAM(id, code), (LPARAM)GetDlgItem(dlg, id));
}

void TypeInto(HWND dlg, int comboId, const std::wstring& text) {
  SetDlgItemTextW(dlg, comboId, text.c_str());
  Command(dlg, comboId, CBN_EDITCHANGE);
}

std::vector<std::wstring> ReadHistory(const wchar_t* name) {
  std::vector<std::wstring> out;
  HKEY key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, (kHistoryRoot + std::wstring(name)).c_str(), 0, KEY_READ,
                    &key))
    return out;
  for (int i = 0;; ++i) {
    wchar_t text[400] = {};
    DWORD size = sizeof(text) - 2;
    if (RegQueryValueExW(key, std::to_wstring(i).c_str(), nullptr, nullptr, (BYTE*)text, &size))
      break;
    out.push_back(text);
  }
  RegCloseKey(key);
  return out;
}

void WriteHistory(const wchar_t* name, const std::vector<std::wstring>& entries) {
  std::wstring path = kHistoryRoot + std::wstring(name);
  RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
  HKEY key;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0,
                                           KEY_ALL_ACCESS, nullptr, &key, nullptr));
  for (size_t i = 0; i < entries.size(); ++i)
    RegSetValueExW(key, std::to_wstring(i).c_str(), 0, REG_SZ, (const BYTE*)entries[i].c_str(),
                   DWORD((entries[i].size() + 1) * 2));
  RegCloseKey(key);
}

std::vector<std::wstring> ComboItems(HWND combo) {
  std::vector<std::wstring> out;
  int n = (int)SendMessageW(combo, CB_GETCOUNT, 0, 0);
  for (int i = 0; i < n; ++i) {
    wchar_t text[400] = {};
    SendMessageW(combo, CB_GETLBTEXT, i, (LPARAM)text);
    out.push_back(text);
  }
  return out;
}

int Position(HWND dlg) {
  return (int)SendDlgItemMessageW(dlg, IDC_DT_PROGRESS, PBM_GETPOS, 0, 0);
}

// Waits until the dialog's worker has finished.
bool WaitIdle(CDiskToolDlg* dlg, int ms = 120000) {
  return uitest::WaitFor([&] { return dlg->m_running == 0; }, ms);
}
// Waits until a successful run has ended the dialog.
bool WaitEnded(HWND window, int ms = 120000) {
  return uitest::WaitFor([&] { return !IsWindowVisible(window); }, ms);
}

// The whole virtual disk of an image file as a raw file beside it.
std::string Flatten(const std::wstring& image) {
  return rt::Flatten(image, L"", vt::ToUnix(image) + ".raw");
}

// Runs a command on the sectors [first, first + count) of a raw disk.
int OnSectors(const std::string& raw, uint64_t first, uint64_t count, const std::string& command,
              std::string* out) {
  std::string part = raw + ".p" + std::to_string(first);
  vt::Sh("dd if=" + vt::Q(raw) + " of=" + vt::Q(part) + " bs=512 skip=" + std::to_string(first) +
         " count=" + std::to_string(count) + " status=none");
  return vt::Sh("DEV=" + vt::Q(part) + "; " + command, out);
}

// The first sector and sector count of partition n of a raw disk, as
// sgdisk prints its table.
bool PartitionOf(const std::string& raw, int n, uint64_t* first, uint64_t* count) {
  std::string out;
  vt::Sh("sgdisk -p " + vt::Q(raw) + " 2>/dev/null | awk '$1 == " + std::to_string(n) +
             " { print $2, $3 }'",
         &out);
  unsigned long long a = 0, b = 0;
  if (sscanf(out.c_str(), "%llu %llu", &a, &b) != 2 || b < a) return false;
  *first = a;
  *count = b - a + 1;
  return true;
}

// The copy of the standard fixture tree in partition n: ntfsfix finds it
// clean and big.bin and small.txt are the fixture's.
void ExpectCopiedVolume(const std::string& raw, int n, const mi::Disk& source) {
  uint64_t first = 0, count = 0;
  ASSERT_TRUE(PartitionOf(raw, n, &first, &count)) << raw;
  std::string out;
  EXPECT_EQ(0, OnSectors(raw, first, count, "ntfsfix -n \"$DEV\"", &out)) << out;
  EXPECT_EQ(0, OnSectors(raw, first, count,
                         "ntfscat \"$DEV\" /big.bin | cmp - " + vt::Q(source.tree + "/big.bin") +
                             " && ntfscat \"$DEV\" /Dir/Sub/small.txt | cmp - " +
                             vt::Q(source.tree + "/Dir/Sub/small.txt"),
                         &out))
      << out;
}

class DiskToolDlgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const wchar_t* name :
         {kBackupTargetHistory, kConvertSourceHistory, kConvertTargetHistory, kCreateTargetHistory})
      RegDeleteTreeW(HKEY_CURRENT_USER, (kHistoryRoot + std::wstring(name)).c_str());
  }
  void TearDown() override {
    SetHostVolumeFactory(nullptr);
    g_driveFiles[0].clear();
    g_driveFiles[1].clear();
  }
};

// Fake rows stand for host volumes (Wine's drives are not NTFS).
void ShowVolumes(HWND list, std::initializer_list<wchar_t> letters) {
  SendMessageW(list, LVM_DELETEALLITEMS, 0, 0);
  for (wchar_t l : letters) CDiskToolDlg::AddVolumeRow(list, l, l == L'P' ? L"Data" : L"", 24);
}

// Progress of 300,000,000 clusters runs from 0 to 100; a stop request is
// answered false. The history moves: entry 5 to the top with 0-4 moved
// down and 6-19 kept, a new entry dropping the oldest of 20.
TEST_F(DiskToolDlgTest, ProgressAndHistory) {
  std::vector<std::wstring> old;
  for (int i = 0; i < 20; ++i) old.push_back(L"C:\\img\\old" + std::to_wstring(i) + L".img");
  WriteHistory(kConvertSourceHistory, old);
  dlgtest::Parent parent(2052);
  dlgtest::Run<CConvertImageDlg>(
      [&] { new CConvertImageDlg(&parent); },
      [&](CConvertImageDlg* dlg) {
        HWND w = dlg->m_hWnd, combo = GetDlgItem(w, IDC_DT_SOURCE_IMAGE);
        const uint32_t total = 300000000;
        EXPECT_EQ(1, CDiskToolDlg::DialogEngineProgress(0, total, dlg));
        EXPECT_EQ(0, Position(w));
        EXPECT_EQ(1, CDiskToolDlg::DialogEngineProgress(total / 2, total, dlg));
        EXPECT_EQ(50, Position(w));
        EXPECT_EQ(1, CDiskToolDlg::DialogEngineProgress(total - 1, total, dlg));
        EXPECT_EQ(99, Position(w));
        EXPECT_EQ(1, CDiskToolDlg::DialogEngineProgress(total, total, dlg));
        EXPECT_EQ(100, Position(w));
        EXPECT_EQ(1, CDiskToolDlg::DialogEngineProgress(5, 0, dlg));
        EXPECT_EQ(0, Position(w));
        dlg->m_stop = 1;
        EXPECT_EQ(0, CDiskToolDlg::DialogEngineProgress(1, 2, dlg));
        dlg->m_stop = 0;
        EXPECT_EQ(1, CDiskToolDlg::DialogEngineProgress(1, 2, nullptr));

        EXPECT_EQ(old, ComboItems(combo));
        // Start waits for both names.
        EXPECT_FALSE(IsWindowEnabled(GetDlgItem(w, IDOK)));
        SendMessageW(combo, CB_SETCURSEL, 3, 0);
        Command(w, IDC_DT_SOURCE_IMAGE, CBN_SELCHANGE);
        EXPECT_FALSE(IsWindowEnabled(GetDlgItem(w, IDOK)));
        TypeInto(w, IDC_DT_TARGET_IMAGE, L"x.img");
        EXPECT_TRUE(IsWindowEnabled(GetDlgItem(w, IDOK)));

        EXPECT_TRUE(SaveHistory(combo, kConvertSourceHistory, old[5].c_str()));
        std::vector<std::wstring> moved = {old[5], old[0], old[1], old[2], old[3], old[4]};
        moved.insert(moved.end(), old.begin() + 6, old.end());
        EXPECT_EQ(moved, ReadHistory(kConvertSourceHistory));
        EXPECT_EQ(moved, ComboItems(combo));
        EXPECT_EQ(old[5], dlgtest::Text(w, IDC_DT_SOURCE_IMAGE));

        EXPECT_TRUE(SaveHistory(combo, kConvertSourceHistory, L"D:\\new.img"));
        moved.insert(moved.begin(), L"D:\\new.img");
        moved.pop_back();
        EXPECT_EQ(moved, ReadHistory(kConvertSourceHistory));
        EXPECT_EQ(moved, ComboItems(combo));
      });
}

// Backup of "P:" over the scripted platform: closing the window during the
// run stops it with the stopped message and the dialog open and no image
// left; a second start copies the volume, saves the history and closes.
TEST_F(DiskToolDlgTest, BackupStopsOnCloseThenCopiesTheVolume) {
  mi::Disk disk = mi::MakeDisk("mbr2048");
  g_driveFiles[0] = disk.path;
  ASSERT_TRUE(vt::WriteAll(disk.path + L".vol", "", 0));
  SetHostVolumeFactory(ScriptVolume);
  const std::wstring target = vt::ToWin(disk.dir + "/backup.img");
  dlgtest::Parent parent(2052);
  dlgtest::Run<CBackupImageDlg>(
      [&] { new CBackupImageDlg(&parent); },
      [&](CBackupImageDlg* dlg) {
        HWND w = dlg->m_hWnd, list = GetDlgItem(w, IDC_DT_VOLUMES);
        ShowVolumes(list, {L'P'});
        EXPECT_EQ(L"Data (P:)", [&] {
          wchar_t t[64];
          ListGetItemText(list, 0, 0, t, 64);
          return std::wstring(t);
        }());
        ListSelectItem(list, 0);
        EXPECT_FALSE(IsWindowEnabled(GetDlgItem(w, IDOK)));
        TypeInto(w, IDC_DT_TARGET_IMAGE, target);
        EXPECT_TRUE(IsWindowEnabled(GetDlgItem(w, IDOK)));

        // A 32-bit program on 64-bit Windows does not back up.
        dlg->m_wow64 = TRUE;
        Command(w, IDOK);
        ASSERT_TRUE(WaitIdle(dlg));
        EXPECT_EQ(String(IDS_BACKUP_NEEDS_X64), dlgtest::Text(w, IDC_DT_STATUS));
        dlg->m_wow64 = FALSE;

        Command(w, IDOK);
        SendMessageW(w, WM_CLOSE, 0, 0);
        EXPECT_TRUE(IsWindowVisible(w));
        ASSERT_TRUE(WaitIdle(dlg));
        EXPECT_EQ(String(IDS_DISK_TOOL_STOPPED), dlgtest::Text(w, IDC_DT_STATUS));
        EXPECT_TRUE(IsWindowVisible(w));
        EXPECT_TRUE(IsWindowEnabled(GetDlgItem(w, IDOK)));
        EXPECT_TRUE(IsWindowEnabled(list));
        EXPECT_EQ(0, Position(w));
        EXPECT_FALSE(vt::FileExists(target));

        Command(w, IDOK);
        EXPECT_TRUE(WaitEnded(w));
      });
  EXPECT_EQ(std::vector<std::wstring>{target}, ReadHistory(kBackupTargetHistory));
  ExpectCopiedVolume(Flatten(target), 1, disk);
}

// The clone dialog's choice of rows, its failure paths, and a clone of
// "P:" onto the larger "Q:" over the scripted platform: the target holds
// the source's files in a file system grown back to its own size.
TEST_F(DiskToolDlgTest, CloneChoosesTwoVolumesAndCopies) {
  mi::Disk disk = mi::MakeDisk("mbr2048");
  const std::string targetUnix = disk.dir + "/target.img";
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(targetUnix) + " --size 32 --layout mbr2048"));
  dlgtest::Parent parent(2052);
  dlgtest::Run<CCloneImageDlg>(
      [&] { new CCloneImageDlg(&parent); },
      [&](CCloneImageDlg* dlg) {
        HWND w = dlg->m_hWnd;
        HWND source = GetDlgItem(w, IDC_DT_VOLUMES), target = GetDlgItem(w, IDC_DT_TARGET_VOLUMES);
        ShowVolumes(source, {L'P', L'Q'});
        ShowVolumes(target, {L'P', L'Q'});
        auto click = [&](HWND list, int id, int row) {
          ListSelectItem(list, row);
          NMITEMACTIVATE n = {};
          n.hdr = {list, (UINT_PTR)id, (UINT)NM_CLICK};
          n.iItem = row;
          SendMessageW(w, WM_NOTIFY, id, (LPARAM)&n);
        };
        click(target, IDC_DT_TARGET_VOLUMES, 0);
        EXPECT_FALSE(IsWindowEnabled(GetDlgItem(w, IDOK)));
        click(source, IDC_DT_VOLUMES, 0);  // the same row: the target's goes
        EXPECT_EQ(-1, ListView_GetNextItem(target, -1, LVNI_SELECTED));
        EXPECT_FALSE(IsWindowEnabled(GetDlgItem(w, IDOK)));
        click(target, IDC_DT_TARGET_VOLUMES, 1);
        EXPECT_TRUE(IsWindowEnabled(GetDlgItem(w, IDOK)));
        dlg->m_wow64 = TRUE;
        Command(w, IDOK);
        ASSERT_TRUE(WaitIdle(dlg));
        EXPECT_EQ(String(IDS_CLONE_NEEDS_X64), dlgtest::Text(w, IDC_DT_STATUS));
        // Volumes that cannot be opened: the error message, and a box with
        // the line that names the volume; the dialog stays.
        dlg->m_wow64 = FALSE;
        dlgtest::ArmAnswer(w, IDOK);
        Command(w, IDOK);
        EXPECT_NE(std::wstring::npos, dlgtest::AnsweredText().find(L"Q:\\: it cannot be opened"));
        ASSERT_TRUE(WaitIdle(dlg));
        EXPECT_EQ(String(IDS_DISK_TOOL_ERROR), dlgtest::Text(w, IDC_DT_STATUS));
        EXPECT_TRUE(IsWindowVisible(w));

        g_driveFiles[0] = disk.path;
        g_driveFiles[1] = vt::ToWin(targetUnix);
        ASSERT_TRUE(vt::WriteAll(g_driveFiles[0] + L".vol", "", 0));
        ASSERT_TRUE(vt::WriteAll(g_driveFiles[1] + L".vol", "", 0));
        SetHostVolumeFactory(ScriptVolume);
        Command(w, IDOK);
        EXPECT_TRUE(WaitEnded(w));
      });
  ExpectCopiedVolume(targetUnix, 1, disk);
  std::string out;
  EXPECT_EQ(0, OnSectors(targetUnix, 2048, 32 * 2048,
                         "ntfsinfo -m \"$DEV\" | grep -q 'Volume Size in Clusters: " +
                             std::to_string(32 * 2048 * 512 / 4096 - 1) + "'",
                         &out))
      << out;
}

// Convert to the end: an existing target is kept when the answer is No,
// a target that is the source is refused, and the GPT conversion with Yes
// gives a disk that sgdisk, fsck.fat and ntfsfix find sound, with the
// files of the source.
TEST_F(DiskToolDlgTest, ConvertRunsToTheEnd) {
  mi::Disk disk = mi::MakeDisk("mbr2048");
  const std::wstring target = vt::ToWin(disk.dir + "/converted.img");
  ASSERT_TRUE(vt::WriteAll(target, "keep", 4));
  const std::string sourceSum = vt::Sha256(disk.path);
  dlgtest::Parent parent(2052);
  dlgtest::Run<CConvertImageDlg>(
      [&] { new CConvertImageDlg(&parent); },
      [&](CConvertImageDlg* dlg) {
        HWND w = dlg->m_hWnd;
        TypeInto(w, IDC_DT_SOURCE_IMAGE, disk.path);
        TypeInto(w, IDC_DT_TARGET_IMAGE, disk.path);
        dlgtest::ArmAnswer(w, IDOK);
        Command(w, IDOK);
        // The box names the cause as the command line's line does.
        EXPECT_NE(std::wstring::npos,
                  dlgtest::AnsweredText().find(disk.path + L": it is the image to be converted"));
        ASSERT_TRUE(WaitIdle(dlg));
        EXPECT_EQ(String(IDS_DISK_TOOL_ERROR), dlgtest::Text(w, IDC_DT_STATUS));

        TypeInto(w, IDC_DT_TARGET_IMAGE, target);
        CheckDlgButton(w, IDC_DT_GPT, BST_CHECKED);
        dlgtest::ArmAnswer(w, IDNO);
        Command(w, IDOK);
        std::wstring question = dlgtest::AnsweredText();
        EXPECT_NE(std::wstring::npos, question.find(String(IDS_FILE_EXISTS_OVERWRITE)))
            << vt::Narrow(question);
        EXPECT_NE(std::wstring::npos, question.find(target));
        ASSERT_TRUE(WaitIdle(dlg));
        EXPECT_TRUE(IsWindowVisible(w));
        EXPECT_TRUE(IsWindowEnabled(GetDlgItem(w, IDOK)));

        dlgtest::ArmAnswer(w, IDYES);
        Command(w, IDOK);
        EXPECT_FALSE(dlgtest::AnsweredText().empty());
        EXPECT_TRUE(WaitEnded(w));
      });
  EXPECT_EQ(sourceSum, vt::Sha256(disk.path));
  EXPECT_EQ(std::vector<std::wstring>{disk.path}, ReadHistory(kConvertSourceHistory));
  EXPECT_EQ(std::vector<std::wstring>{target}, ReadHistory(kConvertTargetHistory));
  std::string raw = Flatten(target), out;
  EXPECT_EQ(0, vt::Sh("sgdisk -v " + vt::Q(raw), &out)) << out;
  EXPECT_NE(std::string::npos, out.find("No problems found")) << out;
  uint64_t first = 0, count = 0;
  ASSERT_TRUE(PartitionOf(raw, 1, &first, &count));
  EXPECT_EQ(2048u, first);
  EXPECT_EQ(0, OnSectors(raw, first, count, "fsck.fat -n \"$DEV\"", &out)) << out;
  ExpectCopiedVolume(raw, 2, disk);
}

CreateImageParams DefaultParams() {
  static const wchar_t kFilter[] = L"映像文件 (*.img)\0\0";
  CreateImageParams p = {};
  p.filePattern = L"*.img";
  p.filter = kFilter;
  p.pathCapacity = 360;
  p.sizeMiB = 102400;
  p.maxSizeMiB = 2000000;
  p.driveLetter = L'Z';
  return p;
}

// Runs the create dialog in the scratch folder and answers with name.
void RunCreate(CreateImageParams* params, const std::string& dirUnix, bool gpt,
               std::function<void(CCreateImageDlg*)> more = nullptr) {
  dlgtest::Parent parent(2052);
  dlgtest::Run<CCreateImageDlg>([&] { new CCreateImageDlg(&parent, params); },
                                [&](CCreateImageDlg* dlg) {
                                  HWND w = dlg->m_hWnd, drives = GetDlgItem(w, IDC_DT_VOLUMES);
                                  int z = -1;
                                  for (int i = 0; i < ListView_GetItemCount(drives); ++i)
                                    if (ListGetItemParam(drives, i) == L'Z') z = i;
                                  ASSERT_GE(z, 0) << "Wine's drive Z: is not listed as fixed";
                                  EXPECT_EQ(z, ListView_GetNextItem(drives, -1, LVNI_SELECTED));
                                  dlg->ShowFolder(vt::ToWin(dirUnix).substr(3).c_str());
                                  if (more) more(dlg);
                                  // With the EFI system partition 168 MiB: a whole
                                  // number of the own format's 8 MiB steps, so the
                                  // backup GPT lies at the disk's end.
                                  SetDlgItemTextW(w, IDC_DT_SIZE, L"69");
                                  CheckDlgButton(w, IDC_DT_GPT, gpt ? BST_CHECKED : BST_UNCHECKED);
                                  TypeInto(w, IDC_DT_TARGET_IMAGE, gpt ? L"gpt" : L"mbr");
                                  ASSERT_TRUE(IsWindowEnabled(GetDlgItem(w, IDOK)));
                                  Command(w, IDOK);
                                  EXPECT_TRUE(WaitEnded(w, 5000));
                                });
}

// Create: the size edit's limits, the folder list, the overwrite question,
// the extension, the history; the images made from the dialog's answers
// are sound for sgdisk, fsck.fat and ntfsfix (MBR with plain data, and GPT
// with its EFI system partition).
TEST_F(DiskToolDlgTest, CreateDescribesImagesThatAreMadeSound) {
  const std::string dir = vt::ScratchDirUnix();
  ASSERT_EQ(0,
            vt::Sh("echo old > " + vt::Q(dir + "/old.img") + " && mkdir " + vt::Q(dir + "/sub")));
  CreateImageParams params = DefaultParams();
  params.plainData = 1;
  RunCreate(&params, dir, false, [&](CCreateImageDlg* dlg) {
    HWND w = dlg->m_hWnd, files = GetDlgItem(w, IDC_DT_FOLDER_LIST),
         size = GetDlgItem(w, IDC_DT_SIZE);
    EXPECT_EQ(L"102400", dlgtest::Text(w, IDC_DT_SIZE));
    EXPECT_TRUE(IsDlgButtonChecked(w, IDC_DT_RAW));
    EXPECT_EQ(7, (int)SendMessageW(size, EM_GETLIMITTEXT, 0, 0));
    SetWindowTextW(size, L"3000000");
    EXPECT_EQ(L"2000000", dlgtest::Text(w, IDC_DT_SIZE));
    SetWindowTextW(size, L"0");
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(w, IDOK)));
    // "..", the folder, then the file.
    ASSERT_EQ(3, ListView_GetItemCount(files));
    wchar_t t[64];
    ListGetItemText(files, 1, 0, t, 64);
    EXPECT_STREQ(L"sub", t);
    ListSelectItem(files, 2);
    EXPECT_EQ(L"old.img", dlgtest::Text(w, IDC_DT_TARGET_IMAGE));
    SetWindowTextW(size, L"64");
    dlgtest::ArmAnswer(w, IDNO);
    Command(w, IDOK);
    EXPECT_FALSE(dlgtest::AnsweredText().empty());
    uitest::Pump();
    EXPECT_TRUE(IsWindowVisible(w));
    EXPECT_EQ(L"", std::wstring(params.imagePath));
  });
  const std::wstring mbr = vt::ToWin(dir + "/mbr.img");
  EXPECT_EQ(mbr, std::wstring(params.imagePath));
  EXPECT_EQ(69u, params.sizeMiB);
  EXPECT_EQ(L'Z', params.driveLetter);
  EXPECT_EQ(0u, params.gpt);
  EXPECT_EQ(1u, params.plainData);
  ASSERT_TRUE(CreateEmptyImageFile(params.imagePath, params.sizeMiB, params.gpt, params.plainData));
  std::string raw = Flatten(mbr), out;
  uint64_t first = 0, count = 0;
  ASSERT_TRUE(PartitionOf(raw, 1, &first, &count));
  EXPECT_EQ(0, OnSectors(raw, first, count, "ntfsfix -n \"$DEV\"", &out)) << out;

  CreateImageParams gptParams = DefaultParams();
  RunCreate(&gptParams, dir, true);
  const std::wstring gpt = vt::ToWin(dir + "/gpt.img");
  ASSERT_EQ(gpt, std::wstring(gptParams.imagePath));
  ASSERT_TRUE(CreateEmptyImageFile(gptParams.imagePath, gptParams.sizeMiB, gptParams.gpt,
                                   gptParams.plainData));
  raw = Flatten(gpt);
  // The layout the creation was given: the EFI system partition, then the
  // data partition up to the backup GPT in the disk's last 4098 sectors.
  EXPECT_EQ(0, vt::Sh("test $(stat -c %s " + vt::Q(raw) +
                      ") = " + std::to_string(uint64_t(69 + 99) << 20)));
  EXPECT_EQ(0, vt::Sh("sgdisk -v " + vt::Q(raw), &out)) << out;
  ASSERT_TRUE(PartitionOf(raw, 1, &first, &count));
  EXPECT_EQ(2048u, first);
  EXPECT_EQ(202752u, count);
  EXPECT_EQ(0, OnSectors(raw, first, count, "fsck.fat -n \"$DEV\"", &out)) << out;
  ASSERT_TRUE(PartitionOf(raw, 2, &first, &count));
  EXPECT_EQ(204800u, first);
  EXPECT_EQ((69u + 99) * 2048 - 4098 - 204800 + 1, count);
  EXPECT_EQ(0, OnSectors(raw, first, count, "ntfsfix -n \"$DEV\"", &out)) << out;
  EXPECT_EQ((std::vector<std::wstring>{L"gpt", L"mbr"}), ReadHistory(kCreateTargetHistory));
}

// A path put into a combo box as a user types it: the dialog hears of it
// and turns Start on or off as in the live dialog.
void TypePath(HWND dialog, int id, const wchar_t* path) {
  HWND combo = GetDlgItem(dialog, id);
  SetWindowTextW(combo, path);
  SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, CBN_EDITCHANGE), LPARAM(combo));
}

// Pictures of the four dialogs in the three languages, whose texts fit.
TEST_F(DiskToolDlgTest, PicturesInThreeLanguages) {
  for (LANGID language : {2052, 1041, 1042}) {
    dlgtest::Parent parent(language);
    dlgtest::Run<CBackupImageDlg>(
        [&] { new CBackupImageDlg(&parent); },
        [&](CBackupImageDlg* dlg) {
          ShowVolumes(GetDlgItem(dlg->m_hWnd, IDC_DT_VOLUMES), {L'C', L'P'});
          ListSelectItem(GetDlgItem(dlg->m_hWnd, IDC_DT_VOLUMES), 1);
          TypePath(dlg->m_hWnd, IDC_DT_TARGET_IMAGE, L"D:\\Images\\Data.img");
          EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dlg->m_hWnd, IDOK)));
          dlgtest::Picture(dlg->m_hWnd, "backup", language);
        });
    dlgtest::Run<CCloneImageDlg>(
        [&] { new CCloneImageDlg(&parent); },
        [&](CCloneImageDlg* dlg) {
          ShowVolumes(GetDlgItem(dlg->m_hWnd, IDC_DT_VOLUMES), {L'C', L'P'});
          ShowVolumes(GetDlgItem(dlg->m_hWnd, IDC_DT_TARGET_VOLUMES), {L'C', L'P'});
          dlgtest::Picture(dlg->m_hWnd, "clone", language);
        });
    dlgtest::Run<CConvertImageDlg>(
        [&] { new CConvertImageDlg(&parent); },
        [&](CConvertImageDlg* dlg) {
          TypePath(dlg->m_hWnd, IDC_DT_SOURCE_IMAGE, L"D:\\Images\\Win10.img");
          TypePath(dlg->m_hWnd, IDC_DT_TARGET_IMAGE, L"D:\\Images\\Win10-gpt.img");
          EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dlg->m_hWnd, IDOK)));
          dlgtest::Picture(dlg->m_hWnd, "convert", language);
        });
    CreateImageParams params = DefaultParams();
    // The file types as the main window hands them over, in the language.
    wchar_t filter[128] = L"";
    LoadUiString(GetModuleHandleW(nullptr), IDS_CREATE_IMAGE_FILTER, language, filter, 126);
    for (wchar_t* p = filter; *p; ++p)
      if (*p == L'|') *p = 0;
    params.filter = filter;
    dlgtest::Run<CCreateImageDlg>(
        [&] { new CCreateImageDlg(&parent, &params); },
        [&](CCreateImageDlg* dlg) { dlgtest::Picture(dlg->m_hWnd, "create", language); });
  }
}

}  // namespace
