// Driver cache files: names, encipherment checked against an independent
// RC4 (Python, from the derivation the default provider uses), and a replay
// into an image read back with hivexget and ntfscat.
#include <windows.h>
#include <wincrypt.h>
#include <gtest/gtest.h>

#include <string>

#include "../registry/FacadeTestUtil.h"
#include "TestSupport.h"
#include "image/mount/MountedImage.h"
#include "infinstall/DriverCache.h"
#include "infinstall/InfInstaller.h"

namespace {

// The RC4 key length (bits) the platform's default provider derives: 40 on
// Windows' base provider, 128 on Wine's.
DWORD DefaultRc4KeyBits() {
  HCRYPTPROV prov = 0;
  HCRYPTHASH hash = 0;
  HCRYPTKEY key = 0;
  DWORD bits = 0, size = sizeof bits;
  if (CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
    if (CryptCreateHash(prov, CALG_MD5, 0, 0, &hash) &&
        CryptHashData(hash, (const BYTE*)"x", 1, 0) &&
        CryptDeriveKey(prov, CALG_RC4, hash, 0, &key))
      CryptGetKeyParam(key, KP_KEYLEN, (BYTE*)&bits, &size, 0);
    if (key) CryptDestroyKey(key);
    if (hash) CryptDestroyHash(hash);
    CryptReleaseContext(prov, 0);
  }
  return bits;
}

TEST(DriverCache, NamesAndEncipherment) {
  wchar_t path[360];
  FormatDriverCachePath(0, L"VEN_8086&DEV_100E", path);
  EXPECT_EQ(L"\\Cache\\0_VEN_8086&DEV_100E.dat", std::wstring(wcsstr(path, L"\\Cache\\")));
  FormatDriverCachePath(0x1F, L"VEN_1&DEV_2&SUBSYS_3&REV_04", path);
  EXPECT_EQ(L"\\Cache\\1F_VEN_1&DEV_2&SUBSYS_3&REV_04.dat",
            std::wstring(wcsstr(path, L"\\Cache\\")));

  std::string dir = vt::ScratchDirUnix();
  ASSERT_EQ(
      0, vt::Sh("cd " + vt::Q(dir) + " && head -c 5000 /dev/urandom > plain && printf ab > tiny"));
  std::wstring w = vt::ToWin(dir);
  ASSERT_EQ(1, EncryptFileWithValueKey((w + L"\\plain").c_str(), (w + L"\\cipher").c_str(),
                                       0x89ABCDEF, 0x1234));
  ASSERT_EQ(1, DecryptFileWithValueKey((w + L"\\cipher").c_str(), (w + L"\\back").c_str(),
                                       0x89ABCDEF, 0x1234));
  EXPECT_EQ(vt::Sha256(w + L"\\plain"), vt::Sha256(w + L"\\back"));
  EXPECT_NE(vt::Sha256(w + L"\\plain"), vt::Sha256(w + L"\\cipher"));
  EXPECT_EQ(0, EncryptFileWithValueKey((w + L"\\tiny").c_str(), (w + L"\\t2").c_str(), 1, 0));
  // The same cipher from the key text alone: MD5 of the id in 16 digits,
  // its first bytes as the RC4 key (a 40-bit key padded with 11 zero bytes,
  // as the provider salts it).
  DWORD bits = DefaultRc4KeyBits();
  ASSERT_TRUE(bits == 40 || bits == 128) << bits;
  std::string out;
  ASSERT_EQ(0,
            vt::Sh("cd " + vt::Q(dir) +
                       " && python3 - <<'EOF'\n"
                       "import hashlib\n"
                       "h = hashlib.md5(b'0000123489abcdef').digest()\n"
                       "key = h if " +
                       std::to_string(bits) +
                       " == 128 else h[:5] + bytes(11)\n"
                       "S = list(range(256)); j = 0\n"
                       "for i in range(256):\n"
                       "    j = (j + S[i] + key[i % len(key)]) % 256; S[i], S[j] = S[j], S[i]\n"
                       "data = open('plain', 'rb').read(); out = bytearray(); i = j = 0\n"
                       "for b in data:\n"
                       "    i = (i + 1) % 256; j = (j + S[i]) % 256; S[i], S[j] = S[j], S[i]\n"
                       "    out.append(b ^ S[(S[i] + S[j]) % 256])\n"
                       "print('same' if bytes(out) == open('cipher', 'rb').read() else 'differs')\n"
                       "EOF",
                   &out));
  EXPECT_EQ("same\n", out);
}

// A cache file is replayed only when it is whole and was made by the
// installation the target would make now (this Windows, this package
// version and adapter, the same combined INF), while its driver key and
// service belong to no other device, and only when every file it places is
// one of the package's, from the version folder as it was, and not onto a
// folder. Damaged anywhere, it is never replayed and nothing of the image
// changes.
TEST(DriverCache, ReplayOnlyOfTheSameInstallationAndWhole) {
  rt::WinDisk d = rt::MakeWinDisk("--hw-profile {5c310893-31c0-11e8-9b10-806e6f6e6963}");
  std::wstring dir = vt::ToWin(d.dir);
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(d.dir + "/12.1.0.0") + " && printf 'cached driver' > " +
                      vt::Q(d.dir + "/12.1.0.0/cached.sys") + " && printf '[Version]' > " +
                      vt::Q(d.dir + "/12.1.0.0/VroPnp.inf")));
  const std::wstring versionFolder = dir + L"\\12.1.0.0";
  const std::wstring header =
      L"Windows Registry Editor Version 5.00\r\n\r\n"
      L"[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\Cached]\r\nStart=dword:00000003\r\n";
  const std::wstring driverDigest = vt::Widen(vt::Sha256(versionFolder + L"\\cached.sys"));
  auto files = [&](const std::wstring& target, const std::wstring& source,
                   const std::wstring& digest) {
    return L"[File]\r\n" + target + L"=" + source +
           L"\r\n\\Windows\\skipped.sys=\r\n[Digests]\r\n" + source + L"=" + digest + L"\r\n";
  };
  const std::wstring body =
      header + files(L"\\Windows\\cached.sys", versionFolder + L"\\cached.sys", driverDigest);
  const std::wstring combined = versionFolder + L"\\VroPnp.inf";
  const std::wstring infDigest = vt::Widen(vt::Sha256(combined));
  auto owner = [&](const wchar_t* windows, const wchar_t* version, const std::wstring& inf = L"",
                   const wchar_t* controlSet = L"1") {
    return std::wstring(L"[Installation]\r\nWindows=") + windows + L"\r\nControlSet=" + controlSet +
           L"\r\nDriver={4D36E972-E325-11CE-BFC1-08002BE10318}\\0000\r\nService=Cached\r\n"
           L"Version=" +
           version +
           L"\r\nAdapter={0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}\r\nForms=2\r\n[Read]\r\n" +
           combined + L"=" + (inf.empty() ? infDigest : inf) + L"\r\n";
  };
  const wchar_t* windows = L"{5C310893-31C0-11E8-9B10-806E6F6E6963}";
  const wchar_t* hw = L"VEN_8086&DEV_10D3";
  wchar_t cache[360];
  FormatDriverCachePath(0x1A2B, hw, cache);
  std::wstring plain = dir + L"\\plain.reg";
  auto keep = [&](const std::wstring& text) {
    rt::WriteRegFile(plain, text);
    ASSERT_EQ(1, WriteDriverCacheFile(plain.c_str(), 0x1A2B, hw));
  };
  std::vector<std::wstring> names = {L"cached.sys", L"skipped.sys", L"Windows"};
  std::vector<std::wstring> read = {combined};
  DriverReplayTarget target = {hw, 0x1A2B, L"12.1.0.0", versionFolder.c_str(),
                               L"{0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9}", &names, &read};
  const std::wstring kdnic =
      L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Enum\\ROOT\\KDNIC\\0000";
  std::string before = vt::Sha256(d.path);
  {
    CMountedImage m;
    ASSERT_GE(m.OpenImage(d.path.c_str(), nullptr, 0, 1), 0);
    ASSERT_EQ(1, m.LoadHives(1));
    CInfInstaller inst;
    inst.Init(&m, 0x400601, 1, kInfClassNet, L"Net", kNetClassGuid, 0, 0x1A2B);
    EXPECT_EQ(L"{5c310893-31c0-11e8-9b10-806e6f6e6963}", ReadWindowsInstallationId(&m, 1));
    // A file of an earlier version: enciphered plain text, no digest.
    rt::WriteRegFile(plain, body + owner(windows, L"12.1.0.0"));
    ASSERT_EQ(1, EncryptFileWithValueKey(plain.c_str(), cache, 0x1A2B, 0));
    EXPECT_EQ(kReplayNotDone, ReplayDriverCache(&inst, target)) << "no digest";
    keep(body);
    EXPECT_EQ(kReplayNotDone, ReplayDriverCache(&inst, target)) << "no installation";
    keep(body + owner(L"{11111111-31c0-11e8-9b10-806e6f6e6963}", L"12.1.0.0"));
    EXPECT_EQ(kReplayNotDone, ReplayDriverCache(&inst, target)) << "another Windows";
    keep(body + owner(windows, L"12.0.0.0"));
    EXPECT_EQ(kReplayNotDone, ReplayDriverCache(&inst, target)) << "another version";
    keep(body + owner(windows, L"12.1.0.0", L"", L"2"));
    EXPECT_EQ(kReplayNotDone, ReplayDriverCache(&inst, target)) << "another control set";
    std::wstring earlier = owner(windows, L"12.1.0.0");
    earlier.replace(earlier.find(L"Forms=2"), 7, L"Forms=1");
    keep(body + earlier);
    EXPECT_EQ(kReplayNotDone, ReplayDriverCache(&inst, target)) << "the entries of another build";
    keep(body + owner(windows, L"12.1.0.0", std::wstring(64, L'0')));
    EXPECT_EQ(kReplayNotDone, ReplayDriverCache(&inst, target)) << "another combined INF";
    keep(body + owner(windows, L"12.1.0.0"));
    std::vector<std::wstring> more = {combined, versionFolder + L"\\cached.sys"};
    DriverReplayTarget readsMore = target;
    readsMore.readFiles = &more;
    EXPECT_EQ(kReplayNotDone, ReplayDriverCache(&inst, readsMore)) << "a file read now, not then";
    // Files that are not the package's, lead out of the volume, land on a
    // folder, come from outside the version folder, are not there, or are
    // no longer what the installation placed.
    const std::wstring source = versionFolder + L"\\cached.sys";
    for (const std::wstring& f :
         {files(L"\\Windows\\other.sys", source, driverDigest),
          files(L"\\Windows\\..\\cached.sys", source, driverDigest),
          files(L"\\Windows", source, driverDigest),
          files(L"\\Windows\\cached.sys", versionFolder + L"\\..\\12.1.0.0\\cached.sys",
                driverDigest),
          files(L"\\Windows\\cached.sys", dir + L"\\plain.reg", driverDigest),
          files(L"\\Windows\\cached.sys", versionFolder + L"\\gone.sys", driverDigest),
          files(L"\\Windows\\cached.sys", source, std::wstring(64, L'0'))}) {
      keep(header + f + owner(windows, L"12.1.0.0"));
      EXPECT_EQ(kReplayNotDone, ReplayDriverCache(&inst, target)) << vt::Narrow(f);
    }
    keep(body + owner(windows, L"12.1.0.0"));
    DriverReplayTarget otherProfile = target;
    otherProfile.profileId = 0x1A2C;
    EXPECT_EQ(kReplayNotDone, ReplayDriverCache(&inst, otherProfile));
    DriverReplayTarget otherAdapter = target;
    otherAdapter.adapter = L"{11111111-4E5F-6071-8293-A4B5C6D7E8F9}";
    EXPECT_EQ(kReplayNotDone, ReplayDriverCache(&inst, otherAdapter));
    // Every byte of the file flipped in turn.
    std::vector<uint8_t> whole;
    ASSERT_TRUE(vt::ReadAll(cache, whole));
    for (size_t i = 0; i < whole.size(); ++i) {
      std::vector<uint8_t> damaged = whole;
      damaged[i] ^= uint8_t(1 + i % 255);
      ASSERT_TRUE(vt::WriteAll(cache, damaged));
      ASSERT_EQ(kReplayNotDone, ReplayDriverCache(&inst, target)) << "byte " << i;
    }
    ASSERT_TRUE(vt::WriteAll(cache, whole));
    EXPECT_EQ(0, m.GetPathType(L"\\Windows\\cached.sys")) << "nothing of the refused replays";
    EXPECT_EQ(2, m.GetPathType(L"\\Windows"));
  }
  EXPECT_EQ(before, vt::Sha256(d.path)) << "the refused replays left the image as it was";
  {
    CMountedImage m;
    ASSERT_GE(m.OpenImage(d.path.c_str(), nullptr, 0, 1), 0);
    ASSERT_EQ(1, m.LoadHives(1));
    CInfInstaller inst;
    inst.Init(&m, 0x400601, 1, kInfClassNet, L"Net", kNetClassGuid, 0, 0x1A2B);
    // Another device's driver key, then another device's service.
    ASSERT_EQ(REG_STATUS_OK, m.RegCreateKey(kdnic.c_str()));
    std::vector<uint8_t> key = rt::Utf16z(L"{4d36e972-e325-11ce-bfc1-08002be10318}\\0000");
    ASSERT_EQ(REG_STATUS_OK,
              m.RegSetValue(kdnic.c_str(), L"Driver", key.data(), (uint32_t)key.size(), 1));
    EXPECT_EQ(kReplayNotDone, ReplayDriverCache(&inst, target));
    ASSERT_EQ(REG_STATUS_OK, m.RegDeleteValue(kdnic.c_str(), L"Driver"));
    std::vector<uint8_t> service = rt::Utf16z(L"cached");
    ASSERT_EQ(REG_STATUS_OK, m.RegSetValue(kdnic.c_str(), L"Service", service.data(),
                                           (uint32_t)service.size(), 1));
    EXPECT_EQ(kReplayNotDone, ReplayDriverCache(&inst, target));
    ASSERT_EQ(REG_STATUS_OK, m.RegDeleteKey(kdnic.c_str()));
    EXPECT_EQ(kReplayDone, ReplayDriverCache(&inst, target));
    EXPECT_EQ(0, m.GetPathType(L"\\Windows\\skipped.sys"));
  }
  DeleteFileW(cache);
  std::string sys =
      rt::NtfsCat(d, d.unixPath, "/Windows/System32/config/SYSTEM", d.dir + "/SYSTEM");
  EXPECT_EQ("3", rt::HivexGet(sys, "ControlSet001\\Services\\Cached", "Start"));
  std::string file = rt::NtfsCat(d, d.unixPath, "/Windows/cached.sys", d.dir + "/cached.sys");
  EXPECT_EQ(vt::Sha256(versionFolder + L"\\cached.sys"), vt::Sha256(vt::ToWin(file)));
}

}  // namespace
