// Tree deletion and copies, links, the compressed-twin copy and temp folders.
#include <windows.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "Wow64Only.h"
#include "common/FileTree.h"
#include "common/NoRedirect.h"
#include "common/PathUtil.h"
#include "common/ReparseLink.h"
#include "common/TempFiles.h"

namespace {

void Write(const std::wstring& path, const std::string& text) {
  ASSERT_TRUE(vt::WriteAll(path, text.data(), text.size())) << vt::Narrow(path);
}

std::string Read(const std::wstring& path) {
  std::vector<uint8_t> d;
  if (!vt::ReadAll(path, d)) return "<missing>";
  return std::string(d.begin(), d.end());
}

// Makes a junction, or returns why this platform cannot (Wine may not).
std::string MakeJunction(const std::wstring& link, const std::wstring& target) {
  if (CreateReparseLink(link.c_str(), target.c_str(), kReparseTagJunction, TRUE)) return "";
  return "this platform cannot make junctions (error " + std::to_string(GetLastError()) + ")";
}

// A link to a folder: a junction where the platform makes them, else a
// Linux symbolic link, which Wine shows as a directory reparse point (Wine
// cannot make junctions). True for a junction.
bool MakeFolderLink(const std::wstring& link, const std::wstring& target) {
  if (MakeJunction(link, target).empty()) return true;
  EXPECT_EQ(0, vt::Sh("ln -s " + vt::Q(vt::ToUnix(target)) + " " + vt::Q(vt::ToUnix(link))));
  EXPECT_TRUE(IsDirectoryLink(GetFileAttributesW(link.c_str())));
  return false;
}

// A file in the SZDD form that expand.exe unpacks: the header, then the
// data as LZ literals (a flag byte of 0xFF before every eight bytes).
std::vector<uint8_t> Szdd(const std::string& data, char lastChar) {
  std::vector<uint8_t> out = {'S',  'Z',  'D',  'D', 0x88,
                              0xF0, 0x27, 0x33, 'A', static_cast<uint8_t>(lastChar)};
  uint32_t n = static_cast<uint32_t>(data.size());
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(n >> (8 * i)));
  for (size_t i = 0; i < data.size(); ++i) {
    if (i % 8 == 0) out.push_back(0xFF);
    out.push_back(static_cast<uint8_t>(data[i]));
  }
  return out;
}

}  // namespace

TEST(FileTree, DeleteTreeRemovesEverythingAndCounts) {
  std::wstring root = vt::ScratchDir() + L"\\t";
  ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW((root + L"\\sub").c_str(), nullptr));
  Write(root + L"\\a.txt", "a");
  Write(root + L"\\sub\\b.txt", "b");
  Write(root + L"\\sub\\ro.txt", "r");
  ASSERT_TRUE(SetFileAttributesW((root + L"\\sub\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(5, DeleteTree(root.c_str(), TRUE));
  EXPECT_EQ(0, GetPathKind(root.c_str()));

  // Not recursive: only the files directly inside go; the folder stays.
  ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW((root + L"\\sub").c_str(), nullptr));
  Write(root + L"\\a.txt", "a");
  Write(root + L"\\sub\\b.txt", "b");
  EXPECT_EQ(1, DeleteTree(root.c_str(), FALSE));
  EXPECT_EQ(1, GetPathKind((root + L"\\sub\\b.txt").c_str()));

  // A plain file.
  Write(root + L"\\single", "x");
  EXPECT_EQ(1, DeleteTree((root + L"\\single").c_str(), TRUE));
  EXPECT_EQ(0, DeleteTree((root + L"\\missing").c_str(), TRUE));

  // A file another program holds stays with its folders, and the last
  // error is why it stayed, not that its folder was not empty.
  const std::wstring held = root + L"\\sub\\b.txt";
  HANDLE h = CreateFileW(held.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  SetLastError(0);
  EXPECT_EQ(0, DeleteTree(root.c_str(), TRUE));
  EXPECT_EQ(DWORD(ERROR_SHARING_VIOLATION), GetLastError());
  EXPECT_EQ(1, GetPathKind(held.c_str()));
  CloseHandle(h);
  EXPECT_EQ(3, DeleteTree(root.c_str(), TRUE));
}

TEST(FileTree, DeleteTreeLeavesAJunctionTargetUntouched) {
  std::wstring dir = vt::ScratchDir();
  std::wstring keep = dir + L"\\keep", staging = dir + L"\\staging";
  ASSERT_TRUE(CreateDirectoryW(keep.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW(staging.c_str(), nullptr));
  Write(keep + L"\\precious.txt", "data");
  if (MakeFolderLink(staging + L"\\link", keep)) {
    wchar_t target[kPathChars];
    EXPECT_EQ(kReparseTagJunction, ReadReparseTarget((staging + L"\\link").c_str(), target));
    EXPECT_EQ(keep, target);
  }

  DeleteTree(staging.c_str(), TRUE);  // the link and the folder
  EXPECT_EQ("data", Read(keep + L"\\precious.txt"));
  EXPECT_EQ(1, GetPathKind((keep + L"\\precious.txt").c_str()));

  // A link handed to DeleteTree itself is removed as a link.
  const bool junction = MakeFolderLink(dir + L"\\link2", keep);
  int removed = DeleteTree((dir + L"\\link2").c_str(), TRUE);
  EXPECT_EQ("data", Read(keep + L"\\precious.txt"));
  if (junction) {
    EXPECT_EQ(1, removed);
    EXPECT_EQ(0, GetPathKind(staging.c_str()));
  }
}

// Wine shows a Linux symbolic link to a folder as a directory reparse point:
// the same case as a directory symbolic link on Windows.
TEST(FileTree, DeleteTreeDoesNotFollowADirectorySymlink) {
  std::wstring dir = vt::ScratchDir();
  std::string unix = vt::ScratchDirUnix();
  ASSERT_EQ(0, vt::Sh("mkdir " + vt::Q(unix + "/keep") + " " + vt::Q(unix + "/staging") +
                      " && echo data >" + vt::Q(unix + "/keep/precious.txt") + " && ln -s " +
                      vt::Q(unix + "/keep") + " " + vt::Q(unix + "/staging/link")));
  DWORD a = GetFileAttributesW((dir + L"\\staging\\link").c_str());
  if (a == INVALID_FILE_ATTRIBUTES || !IsDirectoryLink(a))
    GTEST_SKIP() << "the platform shows the link as a plain folder (attributes " << a << ")";
  int removed = DeleteTree((dir + L"\\staging").c_str(), TRUE);
  EXPECT_EQ("data\n", Read(dir + L"\\keep\\precious.txt"));
  EXPECT_EQ(1, GetPathKind((dir + L"\\keep\\precious.txt").c_str()));
  if (GetPathKind((dir + L"\\staging\\link").c_str()))
    std::printf("note: this platform cannot remove the link itself\n");
  else
    EXPECT_EQ(2, removed);
}

TEST(FileTree, CreateReparseLinkFailIfExistsKeepsWhatIsThere) {
  std::wstring dir = vt::ScratchDir();
  std::wstring existing = dir + L"\\existing";
  ASSERT_TRUE(CreateDirectoryW(existing.c_str(), nullptr));
  Write(existing + L"\\inside.txt", "x");
  Write(dir + L"\\file.txt", "f");
  EXPECT_FALSE(CreateReparseLink(existing.c_str(), L"C:\\windows", kReparseTagJunction, TRUE));
  EXPECT_FALSE(
      CreateReparseLink((dir + L"\\file.txt").c_str(), L"C:\\windows", kReparseTagSymlink, TRUE));
  EXPECT_EQ("x", Read(existing + L"\\inside.txt"));
  EXPECT_EQ("f", Read(dir + L"\\file.txt"));
  // Without fail-if-exists a folder with content is not replaced either.
  EXPECT_FALSE(CreateReparseLink(existing.c_str(), L"C:\\windows", kReparseTagJunction, FALSE));
  EXPECT_EQ("x", Read(existing + L"\\inside.txt"));
  // A failed new link leaves nothing behind.
  std::wstring fresh = dir + L"\\fresh";
  if (!CreateReparseLink(fresh.c_str(), L"C:\\windows", kReparseTagJunction, TRUE)) {
    EXPECT_EQ(0, GetPathKind(fresh.c_str()));
  }
  wchar_t target[kPathChars];
  EXPECT_EQ(0u, ReadReparseTarget(existing.c_str(), target));
  EXPECT_STREQ(L"", target);
}

TEST(FileTree, CopyTreeCopiesFilesAndKeepsLinksAsLinks) {
  std::wstring dir = vt::ScratchDir();
  std::wstring src = dir + L"\\src", dst = dir + L"\\dst";
  ASSERT_TRUE(CreateDirectoryW(src.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW((src + L"\\sub").c_str(), nullptr));
  Write(src + L"\\a.txt", "alpha");
  Write(src + L"\\sub\\b.txt", "beta");
  FILETIME old = {0x12345600, 0x01D00000};
  HANDLE h =
      CreateFileW((src + L"\\a.txt").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  SetFileTime(h, nullptr, nullptr, &old);
  CloseHandle(h);

  EXPECT_EQ(2, CopyTreeNoRedirect(src.c_str(), dst.c_str()));
  EXPECT_EQ("alpha", Read(dst + L"\\a.txt"));
  EXPECT_EQ("beta", Read(dst + L"\\sub\\b.txt"));
  DWORD attr;
  FILETIME copied;
  uint64_t size;
  EXPECT_EQ(1, GetPathInfoNoRedirect((dst + L"\\a.txt").c_str(), &attr, &copied, &size));
  EXPECT_EQ(5u, size);
  EXPECT_EQ(old.dwHighDateTime, copied.dwHighDateTime);
  EXPECT_EQ(old.dwLowDateTime / 10000000, copied.dwLowDateTime / 10000000);
  EXPECT_EQ(1, CopyTreeNoRedirect((src + L"\\a.txt").c_str(), (dir + L"\\one.txt").c_str()));
  EXPECT_EQ(0, CopyTreeNoRedirect((src + L"\\none").c_str(), (dir + L"\\none").c_str()));

  std::wstring outside = dir + L"\\outside";
  ASSERT_TRUE(CreateDirectoryW(outside.c_str(), nullptr));
  Write(outside + L"\\o.txt", "o");
  const bool junction = MakeFolderLink(src + L"\\link", outside);
  std::wstring dst2 = dir + L"\\dst2";
  const int copied2 = CopyTreeNoRedirect(src.c_str(), dst2.c_str());
  // The link is never followed: what it points at is not copied.
  EXPECT_FALSE(vt::FileExists(dst2 + L"\\link\\o.txt") && !IsDirectoryLink(GetFileAttributesW(
                                                             (dst2 + L"\\link").c_str())));
  if (junction) {
    EXPECT_EQ(3, copied2);
    wchar_t target[kPathChars];
    EXPECT_EQ(kReparseTagJunction, ReadReparseTarget((dst2 + L"\\link").c_str(), target));
    EXPECT_EQ(outside, target);
  } else {
    // Under Wine no link can be made at the target: the two files only.
    EXPECT_EQ(2, copied2);
    EXPECT_EQ(0, GetPathKind((dst2 + L"\\link").c_str()));
  }
}

TEST(NoRedirect, CopyFileExpandsTheCompressedTwin) {
  std::wstring top = vt::ScratchDir();
  std::string body = "driver bytes, more than eight of them.";
  // The folder as it stands, and one as deep as a checkout far down a
  // build machine's tree (expand.exe cannot open such paths everywhere).
  std::wstring deep = top;
  for (const wchar_t* part :
       {L"\\builds-of-the-nightly-machine-number-seven-for-drivers",
        L"\\workspace-checkout-of-the-repository-under-test", L"\\VroMount"}) {
    deep += part;
    ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr));
  }
  for (const std::wstring& dir : {top, deep}) {
    SCOPED_TRACE(vt::Narrow(dir));
    ASSERT_TRUE(vt::WriteAll(dir + L"\\x.sy_", Szdd(body, 's')));
    // With SystemRoot unset the copy sets it only for the expansion.
    wchar_t saved[kPathChars];
    DWORD had = GetEnvironmentVariableW(L"SystemRoot", saved, kPathChars);
    SetEnvironmentVariableW(L"SystemRoot", nullptr);
    BOOL ok = CopyFileNoRedirect((dir + L"\\x.sys").c_str(), (dir + L"\\out.sys").c_str(), FALSE);
    wchar_t after[8];
    EXPECT_EQ(0u, GetEnvironmentVariableW(L"SystemRoot", after, 8));
    if (had) SetEnvironmentVariableW(L"SystemRoot", saved);
    EXPECT_TRUE(ok);
    EXPECT_EQ(body, Read(dir + L"\\out.sys"));
    EXPECT_FALSE(vt::FileExists(dir + L"\\out.sys.~ex"));
  }
  std::wstring dir = top;

  // Fail-if-exists leaves an existing target alone, twin or not.
  Write(dir + L"\\keep.sys", "old");
  EXPECT_FALSE(CopyFileNoRedirect((dir + L"\\x.sys").c_str(), (dir + L"\\keep.sys").c_str(), TRUE));
  EXPECT_EQ("old", Read(dir + L"\\keep.sys"));
  EXPECT_FALSE(
      CopyFileNoRedirect((dir + L"\\none.dll").c_str(), (dir + L"\\n.dll").c_str(), FALSE));
}

TEST(NoRedirect, SeesTheRealSystemFolder) {
  // A 32-bit process sees SysWOW64 as System32; with redirection off the
  // 64-bit system's own notepad.exe is found.
  wchar_t sys[kPathChars];
  GetSystemDirectoryW(sys, kPathChars);
  std::wstring exe = std::wstring(sys) + L"\\notepad.exe";
  HANDLE h = CreateFileNoRedirect(exe.c_str());
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  CloseHandle(h);
  VRO_WOW64_ONLY("file-system redirection");
  BOOL wow = FALSE;
  IsWow64Process(GetCurrentProcess(), &wow);
  if (!wow) GTEST_SKIP() << "not under WOW64";
  {
    NoRedirectScope off;
    EXPECT_EQ(1, GetPeMachineClass(exe.c_str()));
  }
  EXPECT_EQ(0, GetPeMachineClass(exe.c_str()));
  WIN32_FIND_DATAW fd;
  HANDLE f = FindFirstFileNoRedirect(exe.c_str(), &fd);
  ASSERT_NE(INVALID_HANDLE_VALUE, f);
  FindClose(f);
}

TEST(NoRedirect, DirectoryAndMove) {
  std::wstring dir = vt::ScratchDir();
  EXPECT_TRUE(CreateDirectoryNoRedirect((dir + L"\\d").c_str()));
  EXPECT_FALSE(CreateDirectoryNoRedirect((dir + L"\\d").c_str()));
  Write(dir + L"\\d\\m.txt", "m");
  EXPECT_TRUE(MoveFileNoRedirect((dir + L"\\d\\m.txt").c_str(), (dir + L"\\moved.txt").c_str()));
  EXPECT_EQ("m", Read(dir + L"\\moved.txt"));
  EXPECT_EQ(2, GetPathInfoNoRedirect((dir + L"\\d").c_str(), nullptr, nullptr, nullptr));
  EXPECT_EQ(0, GetPathInfoNoRedirect((dir + L"\\gone").c_str(), nullptr, nullptr, nullptr));
}

TEST(TempFiles, FolderOrderSkipsAnUnusableTemp) {
  wchar_t path[kPathChars];
  unsigned n = CreateTempFileName(path, L"ver");
  ASSERT_NE(0u, n);
  EXPECT_EQ(1, GetPathKind(path));
  EXPECT_EQ(0, wcsncmp(FindFileNamePart(path), L"ver", 3));
  DeleteFileW(path);

  // %TEMP% naming a file cannot hold temp files: the Windows TEMP is next.
  std::wstring blocker = vt::ScratchDir() + L"\\not-a-folder";
  Write(blocker, "x");
  wchar_t savedTemp[kPathChars], savedTmp[kPathChars];
  DWORD hadTemp = GetEnvironmentVariableW(L"TEMP", savedTemp, kPathChars);
  DWORD hadTmp = GetEnvironmentVariableW(L"TMP", savedTmp, kPathChars);
  SetEnvironmentVariableW(L"TMP", blocker.c_str());
  SetEnvironmentVariableW(L"TEMP", blocker.c_str());
  n = CreateTempFileName(path, L"Copy$");
  if (hadTemp) SetEnvironmentVariableW(L"TEMP", savedTemp);
  if (hadTmp) SetEnvironmentVariableW(L"TMP", savedTmp);
  ASSERT_NE(0u, n);
  wchar_t windows[kPathChars], parent[kPathChars];
  GetWindowsDirectoryW(windows, kPathChars);
  CopyParentPath(path, parent);
  EXPECT_EQ(0, lstrcmpiW((std::wstring(windows) + L"\\TEMP").c_str(), parent)) << vt::Narrow(path);
  DeleteFileW(path);
}
