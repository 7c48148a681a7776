// The offline Windows' identity: version word and build number from the
// hives and from the kernel file, file versions and version strings of
// files in the image, the Authenticode signer, PE machine and host version.
#include <windows.h>
#include <gtest/gtest.h>

#include "FacadeTestUtil.h"
#include "TestSupport.h"
#include "image/mount/MountedImage.h"
#include "registry/WindowsIdentity.h"

namespace {

struct Identity {
  uint32_t version = 0;
  int build = 0;
};

Identity Read(const rt::WinDisk& d, unsigned char hives) {
  Identity id;
  CMountedImage m;
  EXPECT_EQ(3, m.OpenImage(d.path.c_str(), nullptr, 0, 0));
  if (hives) {
    EXPECT_EQ(1, m.LoadHives(hives));
  }
  id.version = m.GetWindowsVersion();
  id.build = m.GetWindowsBuildNumber();
  return id;
}

}  // namespace

TEST(Identity, VersionWordAndBuildFromHivesAndKernel) {
  {
    rt::WinDisk d = rt::MakeWinDisk("--version 6.1.7601.17514");
    Identity id = Read(d, 0x3F);
    EXPECT_EQ(0x400601u, id.version);
    EXPECT_EQ(7601, id.build);
  }
  {
    // No kernel and no CurrentBuildNumber: the build comes from DriverVersion.
    rt::WinDisk d = rt::MakeWinDisk("--no-kernel --no-build --arch x86 --version 6.1.7600.16385");
    Identity id = Read(d, 1 | 2);
    EXPECT_EQ(0x560601u, id.version);
    EXPECT_EQ(7600, id.build);
  }
  {
    // Without DriverVersion: SOFTWARE's CurrentVersion and CurrentBuildNumber.
    rt::WinDisk d = rt::MakeWinDisk("--no-kernel --no-driver-version --version 6.3.9600.1");
    Identity id = Read(d, 1 | 2);
    EXPECT_EQ(0x400603u, id.version);
    EXPECT_EQ(9600, id.build);
  }
}

TEST(Identity, KernelAloneAndWindowsFolderOfAnotherName) {
  {
    rt::WinDisk d = rt::MakeWinDisk("--no-hives --version 10.0.19041.1");
    Identity id = Read(d, 0x3F);
    EXPECT_EQ(0x400A00u, id.version);
    EXPECT_EQ(19041, id.build);
  }
  rt::WinDisk d = rt::MakeWinDisk("--no-hives --arch x86 --windir WINNT --version 5.0.2195.6717");
  Identity id = Read(d, 0);
  EXPECT_EQ(0x560500u, id.version);
  EXPECT_EQ(2195, id.build);
  rt::WinDisk none = rt::MakeWinDisk("--no-hives --no-kernel");
  id = Read(none, 0x3F);
  EXPECT_EQ(0u, id.version);
  EXPECT_EQ(-1, id.build);
}

TEST(Identity, FileVersionsAndStrings) {
  rt::WinDisk d = rt::MakeWinDisk("--no-hives --version 6.1.7601.17514");
  CMountedImage m;
  ASSERT_EQ(3, m.OpenImage(d.path.c_str(), nullptr, 0, 0));
  const wchar_t* kernel = L"\\Windows\\System32\\ntoskrnl.exe";
  EXPECT_EQ((6ull << 48) | (1ull << 32) | (7601ull << 16) | 17514ull, m.GetFileVersion(kernel));
  wchar_t buf[64];
  EXPECT_EQ(1, m.GetFileCompanyName(kernel, buf, 64));
  EXPECT_STREQ(L"Vro Test Kernel Works", buf);
  EXPECT_EQ(1, m.GetFileOriginalName(kernel, buf, 64));
  EXPECT_STREQ(L"ntkrnlmp.exe", buf);
  EXPECT_EQ(1, m.GetFileSpecialBuild(kernel, buf, 64));
  EXPECT_STREQ(L"vro-special", buf);
  EXPECT_EQ(1, m.GetFileCompanyName(kernel, buf, 4));
  EXPECT_STREQ(L"Vro", buf);
  EXPECT_EQ(0, m.GetFileSignerName(kernel, buf, 64));  // not signed
  EXPECT_STREQ(L"", buf);
  EXPECT_EQ(0u, m.GetFileVersion(L"\\Windows\\System32\\config"));
  EXPECT_EQ(0u, m.GetFileVersion(L"\\Windows\\System32\\missing.dll"));
  EXPECT_EQ(0, m.GetFileCompanyName(L"\\Windows\\System32\\missing.dll", buf, 64));
  EXPECT_STREQ(L"", buf);
  // Temporary copies do not pile up.
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((std::wstring(temp) + L"ver*.tmp").c_str(), &fd);
  EXPECT_EQ(INVALID_HANDLE_VALUE, h);
  if (h != INVALID_HANDLE_VALUE) FindClose(h);
}

TEST(Identity, SignerName) {
  rt::WinDisk d = rt::MakeWinDisk(
      "--no-hives", "mbr2048", "raw",
      "cd Windows/System32 && openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj '/CN=Vro Test Signer' "
      "-keyout k.pem -out c.pem 2>/dev/null && osslsigncode sign -certs c.pem -key k.pem -in ntoskrnl.exe "
      "-out signed.exe >/dev/null && rm k.pem c.pem");
  CMountedImage m;
  ASSERT_EQ(3, m.OpenImage(d.path.c_str(), nullptr, 0, 0));
  wchar_t buf[64];
  ASSERT_EQ(1, m.GetFileSignerName(L"\\Windows\\System32\\signed.exe", buf, 64));
  EXPECT_STREQ(L"Vro Test Signer", buf);
  EXPECT_EQ(1, m.GetFileSignerName(L"\\Windows\\System32\\signed.exe", buf, 4));
  EXPECT_STREQ(L"Vro", buf);
}

TEST(Identity, PeMachineAndHostVersion) {
  std::string dir = vt::ScratchDirUnix();
  ASSERT_TRUE(vt::Fixture("mk-wintree.sh " + vt::Q(dir + "/a") + " --no-hives --arch x64"));
  ASSERT_TRUE(vt::Fixture("mk-wintree.sh " + vt::Q(dir + "/b") + " --no-hives --arch x86"));
  EXPECT_EQ(64u, GetPeMachineBits(vt::ToWin(dir + "/a/Windows/System32/ntoskrnl.exe").c_str()));
  EXPECT_EQ(86u, GetPeMachineBits(vt::ToWin(dir + "/b/Windows/System32/ntoskrnl.exe").c_str()));
  ASSERT_TRUE(vt::WriteAll(vt::ToWin(dir + "/text.txt"), "MZ but not a PE file at all", 27));
  EXPECT_EQ(0u, GetPeMachineBits(vt::ToWin(dir + "/text.txt").c_str()));
  EXPECT_EQ(0u, GetPeMachineBits(vt::ToWin(dir + "/missing.exe").c_str()));

  uint32_t host = GetHostWindowsVersion();
  BOOL wow = FALSE;
  IsWow64Process(GetCurrentProcess(), &wow);
  // The host is 64-bit Windows: the prefix is a 64-bit one.
  EXPECT_EQ(wow || sizeof(void*) == 8 ? 64u : 86u, host >> 16);
  DWORD v = GetVersion();
  EXPECT_EQ((uint32_t)LOBYTE(LOWORD(v)), (host >> 8) & 0xFF);
  EXPECT_EQ((uint32_t)HIBYTE(LOWORD(v)), host & 0xFF);
}
