// Kelt on Wine's 64-bit side, started from this 32-bit process: its exit
// codes, the calls it makes into the recording 64-bit client library, the
// whole road through SetVolumeSystemRestore and through the program's
// "/backup:", and that only a completely written, checked file of a fresh
// name is ever run.
#include <windows.h>
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "ProgramImage.h"
#include "RestoreTestSupport.h"
#include "TestSupport.h"
#include "Wow64Only.h"
#include "disktools/restore/KeltRunner.h"
#include "disktools/restore/SystemRestore.h"
#include "disktools/restore/SystemRestoreApi.h"

namespace {

// The 64-bit system folder, seen from a 32-bit process.
const wchar_t kNativeClient[] = L"C:\\windows\\sysnative\\srclient.dll";
const wchar_t kSavedClient[] = L"C:\\windows\\sysnative\\srclient.dll.saved";

std::wstring TempDir() {
  wchar_t dir[MAX_PATH];
  DWORD n = GetTempPathW(MAX_PATH, dir);
  return std::wstring(dir, n);
}

// The Kelt*.exe files in the temporary folder.
std::set<std::wstring> KeltFiles() {
  std::set<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((TempDir() + L"Kelt*.exe").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do names.insert(found.cFileName);
  while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

std::vector<uint8_t> KeltImage() {
  DWORD size = 0;
  const void* image = FindKeltImage(GetModuleHandleW(nullptr), &size);
  if (!image) return {};
  const uint8_t* bytes = static_cast<const uint8_t*>(image);
  return std::vector<uint8_t>(bytes, bytes + size);
}

// Runs a program and gives its exit code, -1 when it did not start or end.
long RunProgram(const std::wstring& program, const std::wstring& arguments) {
  std::wstring line = L"\"" + program + L"\" " + arguments;
  STARTUPINFOW si = {sizeof(si)};
  PROCESS_INFORMATION pi;
  if (!CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                      &pi)) {
    ADD_FAILURE() << "CreateProcess failed: " << GetLastError();
    return -1;
  }
  DWORD code = DWORD(-1);
  if (WaitForSingleObject(pi.hProcess, 30000) != WAIT_OBJECT_0 ||
      !GetExitCodeProcess(pi.hProcess, &code))
    code = DWORD(-1);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return long(code);
}

// The recording library takes the place of Wine's stub in the 64-bit system
// folder for the suite, and the programs started from here load it.
class KeltTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    BOOL wow64 = FALSE;
    s_wow64 = IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
    if (!s_wow64) return;
    if (GetFileAttributesW(kSavedClient) == INVALID_FILE_ATTRIBUTES)
      MoveFileW(kNativeClient, kSavedClient);
    s_installed = CopyFileW(vt::ToWin(VRO_SRCLIENT_DIR_UNIX "/x86_64/srclient.dll").c_str(),
                            kNativeClient, FALSE) != FALSE;
    SetEnvironmentVariableW(L"WINEDLLOVERRIDES", L"mscoree,mshtml=;srclient=n");
  }
  static void TearDownTestSuite() {
    if (GetFileAttributesW(kSavedClient) != INVALID_FILE_ATTRIBUTES)
      MoveFileExW(kSavedClient, kNativeClient, MOVEFILE_REPLACE_EXISTING);
  }
  void SetUp() override {
    VRO_WOW64_ONLY("the hand-off to the 64-bit helper");
    if (!s_wow64) GTEST_SKIP() << "not a 32-bit process on 64-bit Windows";
    ASSERT_TRUE(s_installed) << "the 64-bit recording client could not be put in place";
    m_dir = vt::ScratchDir();
    m_log = rt::StartClientLog(m_dir);
    m_volume = rt::VolumeOf(L'C');
    ASSERT_FALSE(m_volume.empty());
    m_before = KeltFiles();
  }
  void TearDown() override {
    if (s_wow64) {
      EXPECT_EQ(m_before, KeltFiles()) << "a Kelt file was left behind";
    }
  }

  static bool s_wow64, s_installed;
  std::wstring m_dir;
  std::wstring m_log;
  std::string m_volume;
  std::set<std::wstring> m_before;
};
bool KeltTest::s_wow64 = false;
bool KeltTest::s_installed = false;

// The carried program is a 64-bit one; its command line and exit codes.
TEST_F(KeltTest, CommandLineAndExitCodes) {
  std::vector<uint8_t> image = KeltImage();
  ASSERT_GT(image.size(), 0x200u);
  const uint32_t pe = *reinterpret_cast<const uint32_t*>(&image[0x3C]);
  ASSERT_LT(pe + 6, image.size());
  EXPECT_EQ(0x8664, *reinterpret_cast<const uint16_t*>(&image[pe + 4])) << "not an x86_64 image";
  const std::wstring program = m_dir + L"\\Kelt.exe";
  ASSERT_TRUE(vt::WriteAll(program, image));

  struct Row {
    const wchar_t* arguments;
    long code;
    const char* call;  // what the client library records, or null
  } rows[] = {
      {L"-c", 0, "64 DisableSR "}, {L"+C", 0, "64 EnableSREx "},
      {L"-Q", 1, nullptr},         {L"C", 2, nullptr},
      {L"", 2, nullptr},           {L"+CD", 2, nullptr},
      {L"*C", 2, nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(vt::Narrow(row.arguments));
    if (row.code == 1) {
      ASSERT_TRUE(rt::VolumeOf(L'Q').empty());
    }
    m_log = rt::StartClientLog(m_dir);
    EXPECT_EQ(row.code, RunProgram(program, row.arguments));
    std::vector<std::string> expected;
    if (row.call) expected.push_back(row.call + m_volume + (row.call[3] == 'E' ? " 1" : ""));
    EXPECT_EQ(expected, rt::ClientLogLines(m_log));
  }
}

// The whole road of a 32-bit process: written out, run on the 64-bit side,
// its exit code taken as the result, removed.
TEST_F(KeltTest, SwitchesThroughKeltAndRemovesIt) {
  EXPECT_EQ(1, SetVolumeSystemRestore(L'c', 0));
  EXPECT_EQ(1, SetVolumeSystemRestore(L'C', 1));
  ASSERT_TRUE(rt::VolumeOf(L'Q').empty());
  EXPECT_EQ(0, SetVolumeSystemRestore(L'Q', 0));
  EXPECT_EQ(
      (std::vector<std::string>{"64 DisableSR " + m_volume, "64 EnableSREx " + m_volume + " 1"}),
      rt::ClientLogLines(m_log));
}

// "/backup:" looks at its target before it changes anything: onto an image
// another program holds it is refused (-15, the line naming the image) with
// System Restore never switched, and "/clone:" onto a volume it cannot open
// leaves it alone too; onto a target it may write the backup switches
// System Restore off first (Wine's drive C: then gives no volume to copy).
TEST_F(KeltTest, ABackupOntoAHeldImageLeavesSystemRestoreAlone) {
  const std::wstring held = m_dir + L"\\held.vmd", free = m_dir + L"\\free.vmd";
  ASSERT_TRUE(vt::WriteAll(held, "an image another program writes", 31));
  HANDLE holder = CreateFileW(held.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, holder);
  DWORD code = 0;
  std::string out;
  ASSERT_TRUE(apptest::RunProgram(L"\"-img:" + held + L"\" /backup:C", code, &out));
  CloseHandle(holder);
  EXPECT_EQ(DWORD(-15), code) << out;
  EXPECT_NE(std::string::npos,
            out.find(vt::Narrow(held) + ": another program holds the image"))
      << out;
  EXPECT_EQ(std::vector<std::string>{}, rt::ClientLogLines(m_log)) << out;
  std::vector<uint8_t> left;
  ASSERT_TRUE(vt::ReadAll(held, left));
  EXPECT_EQ("an image another program writes", std::string(left.begin(), left.end()));
  // The same for "/clone:" onto a volume it cannot open.
  ASSERT_TRUE(rt::VolumeOf(L'Q').empty());
  ASSERT_TRUE(apptest::RunProgram(L"/clone:CQ", code, &out));
  EXPECT_EQ(DWORD(-12), code) << out;
  EXPECT_NE(std::string::npos, out.find("Q:\\: it cannot be opened")) << out;
  EXPECT_EQ(std::vector<std::string>{}, rt::ClientLogLines(m_log)) << out;

  m_log = rt::StartClientLog(m_dir);
  ASSERT_TRUE(apptest::RunProgram(L"\"-img:" + free + L"\" /backup:C", code, &out));
  EXPECT_EQ(DWORD(-12), code) << out;
  EXPECT_NE(std::string::npos, out.find("C:\\: it cannot be opened")) << out;
  EXPECT_EQ(std::vector<std::string>{"64 DisableSR " + m_volume}, rt::ClientLogLines(m_log))
      << out;
  EXPECT_FALSE(vt::FileExists(free));
}

// Seams for the file handling of RunKelt.
struct FileScript {
  enum Write { kWhole, kFailHalfway, kTruncateSilently, kCorruptSilently } write = kWhole;
  int planted = 0;  // names to take before RunKelt gets one
  std::vector<std::wstring> plantedPaths;
  int runs = 0;
  bool writerKeptOut = false;
};
FileScript* f = nullptr;

HANDLE WINAPI PlantingCreateFile(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                                 DWORD disposition, DWORD flags, HANDLE hTemplate) {
  // A partial Kelt of the very name asked for, as a crashed run leaves it.
  if (disposition == CREATE_NEW && f->planted > 0) {
    --f->planted;
    std::vector<uint8_t> image = KeltImage();
    image.resize(image.size() / 3);
    if (vt::WriteAll(name, image)) f->plantedPaths.push_back(name);
  }
  return CreateFileW(name, access, share, sa, disposition, flags, hTemplate);
}

BOOL WINAPI ScriptedWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD done,
                              LPOVERLAPPED ov) {
  std::vector<uint8_t> copy(static_cast<const uint8_t*>(data),
                            static_cast<const uint8_t*>(data) + size);
  switch (f->write) {
    case FileScript::kWhole:
      return WriteFile(file, data, size, done, ov);
    case FileScript::kFailHalfway:
      WriteFile(file, data, size / 2, done, ov);
      SetLastError(ERROR_DISK_FULL);
      return FALSE;
    case FileScript::kTruncateSilently:
      if (!WriteFile(file, data, size / 2, done, ov)) return FALSE;
      *done = size;
      return TRUE;
    case FileScript::kCorruptSilently:
      copy[size / 2] ^= 0x5A;
      return WriteFile(file, copy.data(), size, done, ov);
  }
  return FALSE;
}

BOOL WINAPI CountingShellExecute(SHELLEXECUTEINFOW* info) {
  ++f->runs;
  HANDLE writer = CreateFileW(info->lpFile, GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  f->writerKeptOut = writer == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION;
  if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
  return ShellExecuteExW(info);
}

// Only a file written whole under a name nobody else used is run: names
// already taken (here by partial copies) are passed over and left alone,
// and a failed, short or altered write runs nothing and leaves nothing.
TEST_F(KeltTest, RunsOnlyAWholeFreshFile) {
  std::vector<uint8_t> image = KeltImage();
  ASSERT_FALSE(image.empty());
  struct Row {
    const char* name;
    FileScript::Write write;
    int planted;
    int result;
  } rows[] = {
      {"names taken by partial copies", FileScript::kWhole, 3, 1},
      {"write fails halfway", FileScript::kFailHalfway, 0, 0},
      {"write comes up short unreported", FileScript::kTruncateSilently, 0, 0},
      {"written bytes altered", FileScript::kCorruptSilently, 0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FileScript script;
    script.write = row.write;
    script.planted = row.planted;
    f = &script;
    m_log = rt::StartClientLog(m_dir);
    SystemRestoreApi api = SystemSystemRestoreApi();
    api.CreateFileW = PlantingCreateFile;
    api.WriteFile = ScriptedWriteFile;
    api.ShellExecuteExW = CountingShellExecute;
    EXPECT_EQ(row.result, RunKelt(api, image.data(), DWORD(image.size()), L'C', 0));
    EXPECT_EQ(row.result, script.runs);
    EXPECT_EQ(row.result, int(rt::ClientLogLines(m_log).size()));
    if (row.result) {
      EXPECT_TRUE(script.writerKeptOut) << "the checked file could be rewritten";
    }
    EXPECT_EQ(size_t(row.planted), script.plantedPaths.size());
    for (const std::wstring& path : script.plantedPaths) {
      std::vector<uint8_t> left;
      EXPECT_TRUE(vt::ReadAll(path, left)) << "a file RunKelt did not write was removed";
      EXPECT_EQ(image.size() / 3, left.size());
      DeleteFileW(path.c_str());
    }
    f = nullptr;
  }
}

}  // namespace
