// The registry path facade of CMountedImage: the whole road from mounting an
// image to the changed hive in the base image, status codes by full path,
// enumeration helpers, .reg import and export across roots, the profile
// choice for HKEY_CURRENT_USER and the current control set.
#include <windows.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "FacadeTestUtil.h"
#include "TestSupport.h"
#include "image/stack/ImageMerge.h"
#include "image/mount/MountedImage.h"
#include "registry/RegistryFacade.h"

namespace {

using rt::WriteRegFile;

const wchar_t kVroSoft[] = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro";
const wchar_t kVroSys[] = L"HKEY_LOCAL_MACHINE\\SYSTEM\\Vro";

std::wstring ReadUtf16File(const std::wstring& path) {
  std::vector<uint8_t> b;
  EXPECT_TRUE(vt::ReadAll(path, b));
  if (b.size() < 2 || b[0] != 0xFF || b[1] != 0xFE) return L"<no bom>";
  std::wstring s;
  for (size_t i = 2; i + 1 < b.size(); i += 2) s += (wchar_t)(b[i] | (b[i + 1] << 8));
  return s;
}

// Mount -> LoadHives -> change by full path -> close; the base stays as it
// was, the change is seen through the write-back file, and after merging
// the write-back file into the base hivex reads it from the hive file.
void Road(const std::wstring& image, int type, const rt::WinDisk& d) {
  std::wstring second = vt::ToWin(d.dir) + L"\\client.cfg";
  std::wstring fix = vt::ToWin(d.dir) + L"\\client.Fix";
  std::string baseHash = vt::Sha256(image);
  {
    CMountedImage m;
    ASSERT_EQ(type, m.OpenImage(image.c_str(), second.c_str(), 0, 1));
    ASSERT_EQ(1, m.LoadHives(0x3F));
    std::vector<uint8_t> text = rt::Utf16z(L"road value");
    ASSERT_EQ(REG_STATUS_OK, m.RegCreateKey(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro\\Road"));
    ASSERT_EQ(REG_STATUS_OK, m.RegSetValue(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro\\Road", L"Text",
                                           text.data(), (uint32_t)text.size(), 1));
    uint32_t seven = 7;
    ASSERT_EQ(REG_STATUS_OK, m.RegSetValue(kVroSys, L"Seven", &seven, 4, 4));
  }  // destroying the mounted image writes the hives back
  EXPECT_EQ(baseHash, vt::Sha256(image));
  ASSERT_TRUE(vt::FileExists(fix));
  {
    CMountedImage m;
    ASSERT_EQ(type, m.OpenImage(image.c_str(), second.c_str(), 0, 0));
    ASSERT_EQ(1, m.LoadHives(1 | 2));
    EXPECT_EQ(L"road value",
              rt::QueryString(m, L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro\\Road", L"Text"));
    uint32_t t = 0;
    RegValueBuf* buf = nullptr;
    ASSERT_EQ(REG_STATUS_OK, m.RegQueryValue(kVroSys, L"Seven", &t, &buf));
    EXPECT_EQ(7u, *(uint32_t*)buf->data);
    free(buf);
  }
  {
    CMountedImage m;  // the base alone never saw it
    ASSERT_EQ(type, m.OpenImage(image.c_str(), nullptr, 0, 0));
    ASSERT_EQ(1, m.LoadHives(2));
    EXPECT_EQ(L"<c0000003>",
              rt::QueryString(m, L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro\\Road", L"Text"));
  }
  ASSERT_EQ(1, ConvertImageFile(image.c_str(), fix.c_str(), nullptr));
  EXPECT_FALSE(vt::FileExists(fix));
  std::string raw = rt::Flatten(image, L"", d.dir + "/merged.img");
  std::string soft = rt::NtfsCat(d, raw, "/Windows/System32/config/SOFTWARE", d.dir + "/soft.hiv");
  EXPECT_EQ("road value", rt::HivexGet(soft, "\\Vro\\Road", "Text"));
  std::string sys = rt::NtfsCat(d, raw, "/Windows/System32/config/SYSTEM", d.dir + "/sys.hiv");
  EXPECT_EQ("7", rt::HivexGet(sys, "\\Vro", "Seven"));
}

}  // namespace

TEST(Facade, RoadOnVhdWithWriteBackFile) {
  rt::WinDisk d = rt::MakeWinDisk("--no-kernel", "mbr2048", "vhd-fixed", "", "disk.vhd");
  Road(d.path, 7, d);
}

TEST(Facade, RoadOnOwnImageWithWriteBackFile) {
  rt::WinDisk d = rt::MakeWinDisk("--no-kernel");
  std::wstring own = rt::MakeOwnImage(d);
  Road(own, 6, d);
}

TEST(Facade, ReadOnlyUseWritesNothing) {
  rt::WinDisk d = rt::MakeWinDisk("--no-kernel --user alice --bcd");
  std::string hash = vt::Sha256(d.path);
  {
    CMountedImage m;  // writable, but nothing is changed
    ASSERT_EQ(3, m.OpenImage(d.path.c_str(), nullptr, 0, 2));
    ASSERT_EQ(1, m.LoadHives(0x3F));
    EXPECT_EQ(L"SYSTEM", rt::QueryString(m, kVroSys, L"Hive"));
    void* list = ListHiveSubkeys(&m, L"HKEY_LOCAL_MACHINE\\SOFTWARE");
    EXPECT_NE(nullptr, list);
    free(list);
    std::wstring out = vt::ToWin(d.dir) + L"\\all.reg";
    EXPECT_EQ(REG_STATUS_OK, m.ExportRegFile(L"", 0, out.c_str(), 0, 0));
    m.UnloadHives();
    ASSERT_EQ(1, m.LoadHives(0x3F));
  }
  EXPECT_EQ(hash, vt::Sha256(d.path));
}

TEST(Facade, StatusCodesByPath) {
  rt::WinDisk d = rt::MakeWinDisk("--no-kernel --user alice");
  CMountedImage m;
  uint32_t t = 0, size = 0;
  ASSERT_EQ(3, m.OpenImage(d.path.c_str(), nullptr, 0, 2));
  // Nothing loaded yet: every root is unknown.
  EXPECT_EQ(REG_STATUS_FAILURE, m.RegQueryValue(kVroSys, L"Hive", &t, nullptr));
  ASSERT_EQ(1, m.LoadHives(1 | 2 | 4));

  // Roots and hive names match in any case, as in Windows; an unloaded
  // hive's root is unknown.
  EXPECT_EQ(REG_STATUS_OK, m.RegQueryValue(kVroSys, L"Hive", &t, nullptr));
  EXPECT_EQ(REG_STATUS_OK,
            m.RegQueryValue(L"hkey_local_machine\\SYSTEM\\Vro", L"Hive", &t, nullptr));
  EXPECT_EQ(REG_STATUS_OK,
            m.RegQueryValue(L"HKEY_LOCAL_MACHINE\\system\\Vro", L"Hive", &t, nullptr));
  EXPECT_EQ(REG_STATUS_FAILURE,
            m.RegQueryValue(L"HKEY_LOCAL_MACHINE\\SAM\\Vro", L"Hive", &t, nullptr));
  EXPECT_EQ(REG_STATUS_FAILURE, m.RegQueryValue(L"HKEY_USERS\\x", L"Hive", &t, nullptr));
  EXPECT_EQ((int32_t)REG_STATUS_FAILURE, m.RegGetSubkeyCount(L"HKEY_LOCAL_MACHINE"));
  EXPECT_EQ(REG_STATUS_FAILURE, m.RegEnumSubkeys(L"HKEY_LOCAL_MACHINE", nullptr, &size));
  EXPECT_EQ(REG_STATUS_FAILURE, m.RegCreateKey(nullptr));

  // Missing keys and values.
  EXPECT_EQ(REG_STATUS_NOT_FOUND, m.RegQueryValue(kVroSys, L"Missing", &t, nullptr));
  EXPECT_EQ(REG_STATUS_NOT_FOUND,
            m.RegQueryValue(L"HKEY_LOCAL_MACHINE\\SYSTEM\\Nope", L"Hive", &t, nullptr));
  EXPECT_EQ((int32_t)REG_STATUS_NOT_FOUND,
            m.RegGetSubkeyCount(L"HKEY_LOCAL_MACHINE\\SYSTEM\\Nope"));
  EXPECT_EQ(REG_STATUS_NOT_FOUND, m.RegDeleteValue(L"HKEY_LOCAL_MACHINE\\SYSTEM\\Nope", L"x"));
  EXPECT_EQ(REG_STATUS_NOT_FOUND, m.RegDeleteKey(L"HKEY_LOCAL_MACHINE\\SYSTEM\\Nope"));
  size = 0;
  EXPECT_EQ(REG_STATUS_NOT_FOUND,
            m.RegEnumValues(L"HKEY_LOCAL_MACHINE\\SYSTEM\\Nope", nullptr, &size));
  EXPECT_EQ(0u, size);
  uint32_t one = 1;
  EXPECT_EQ(REG_STATUS_NOT_FOUND,
            m.RegSetValue(L"HKEY_LOCAL_MACHINE\\SYSTEM\\Nope", L"x", &one, 4, 4));
  EXPECT_EQ(REG_STATUS_FAILURE, m.RegWriteValueData(kVroSys, L"Missing", &one, 4));

  // Keys by full path.
  EXPECT_EQ(REG_STATUS_OK, m.RegCreateKey(L"HKEY_LOCAL_MACHINE\\SYSTEM\\Vro\\A\\B"));
  EXPECT_EQ(REG_STATUS_EXISTS, m.RegCreateKey(L"HKEY_LOCAL_MACHINE\\SYSTEM\\Vro\\A"));
  EXPECT_EQ(REG_STATUS_OK, m.RegCreateKey(L"HKEY_LOCAL_MACHINE\\SYSTEM\\Vro\\C"));
  EXPECT_EQ(REG_STATUS_EXISTS, m.RegRenameKey(L"HKEY_LOCAL_MACHINE\\SYSTEM\\Vro\\A", L"c"));
  EXPECT_EQ(REG_STATUS_OK, m.RegRenameKey(L"HKEY_LOCAL_MACHINE\\SYSTEM\\Vro\\A", L"D"));
  EXPECT_EQ(1, m.RegGetSubkeyCount(L"HKEY_LOCAL_MACHINE\\SYSTEM\\Vro\\D"));
  EXPECT_EQ(REG_STATUS_FAILURE, m.RegDeleteKey(L"HKEY_LOCAL_MACHINE\\SYSTEM"));
  EXPECT_EQ(REG_STATUS_FAILURE, m.RegDeleteKey(L"HKEY_CURRENT_USER"));
  EXPECT_EQ(REG_STATUS_OK, m.RegDeleteKey(L"HKEY_LOCAL_MACHINE\\SYSTEM\\Vro\\D"));
  EXPECT_EQ((int32_t)REG_STATUS_NOT_FOUND,
            m.RegGetSubkeyCount(L"HKEY_LOCAL_MACHINE\\SYSTEM\\Vro\\D"));

  // Values by full path.
  EXPECT_EQ(REG_STATUS_OK, m.RegSetValue(kVroSys, L"N", &one, 4, 4));
  EXPECT_EQ(REG_STATUS_OK, m.RegRenameValue(kVroSys, L"N", L"M"));
  EXPECT_EQ(REG_STATUS_EXISTS, m.RegRenameValue(kVroSys, L"M", L"hive"));
  EXPECT_EQ(REG_STATUS_OK, m.RegDeleteValue(kVroSys, L"M"));
  EXPECT_EQ(REG_STATUS_NOT_FOUND, m.RegQueryValue(kVroSys, L"M", &t, nullptr));

  // HKEY_CURRENT_USER alone is the user hive's root.
  EXPECT_EQ(1, m.RegGetSubkeyCount(L"HKEY_CURRENT_USER"));
  EXPECT_EQ(L"USER alice", rt::QueryString(m, L"HKEY_CURRENT_USER\\Vro", L"Hive"));

  // Enumeration sizes and the list helpers.
  size = 0;
  EXPECT_EQ(REG_STATUS_BUFFER_TOO_SMALL,
            m.RegEnumSubkeys(L"HKEY_LOCAL_MACHINE\\SYSTEM\\Vro", nullptr, &size));
  EXPECT_EQ(1 * 2052u + 2056u, size);
  std::vector<uint8_t> small(100);
  size = 100;
  EXPECT_EQ(REG_STATUS_BUFFER_TOO_SMALL,
            m.RegEnumSubkeys(L"HKEY_LOCAL_MACHINE\\SYSTEM\\Vro", small.data(), &size));
  EXPECT_EQ(4108u, size);
  EXPECT_EQ(nullptr, ListHiveSubkeys(&m, L"HKEY_LOCAL_MACHINE\\SYSTEM\\Vro\\C"));
  EXPECT_EQ(nullptr, ListHiveSubkeys(&m, L"HKEY_LOCAL_MACHINE\\SYSTEM\\Nope"));
  EXPECT_EQ(nullptr, ListHiveValues(&m, L"HKEY_LOCAL_MACHINE\\SYSTEM\\Vro\\C"));
  uint8_t* keys = (uint8_t*)ListHiveSubkeys(&m, L"HKEY_LOCAL_MACHINE\\SYSTEM");
  ASSERT_NE(nullptr, keys);
  EXPECT_EQ(3u, *(uint32_t*)keys);
  RegSubkeyEntry* k = (RegSubkeyEntry*)(keys + 8);
  EXPECT_STREQ(L"ControlSet001", k[0].name);
  EXPECT_STREQ(L"Select", k[1].name);
  EXPECT_STREQ(L"Vro", k[2].name);
  free(keys);
  uint8_t* values = (uint8_t*)ListHiveValues(&m, kVroSys);
  ASSERT_NE(nullptr, values);
  ASSERT_EQ(1u, *(uint32_t*)values);
  RegValueEntry* v = (RegValueEntry*)(values + 8);
  EXPECT_STREQ(L"Hive", v->name);
  EXPECT_EQ(1u, v->type);
  ASSERT_NE(nullptr, v->data);
  EXPECT_STREQ(L"SYSTEM", (const wchar_t*)v->data->data);
  free(v->data);
  free(values);

  // A value from a host file creates its key.
  std::wstring host = vt::ToWin(d.dir) + L"\\blob.bin";
  ASSERT_TRUE(vt::WriteAll(host, "abc", 3));
  EXPECT_EQ(REG_STATUS_OK,
            m.RegSetValueFromFile(L"HKEY_CURRENT_USER\\From\\File", L"Blob", host.c_str()));
  EXPECT_EQ(REG_STATUS_OK, m.RegQueryValue(L"HKEY_CURRENT_USER\\From\\File", L"Blob", &t, nullptr));
  EXPECT_EQ(3u, t);
}

TEST(Facade, ExportAcrossRootsCreatesTheFileWithTheFirstRootWritten) {
  rt::WinDisk d = rt::MakeWinDisk("--no-kernel --bcd");
  CMountedImage m;
  ASSERT_EQ(3, m.OpenImage(d.path.c_str(), nullptr, 0, 2));
  std::wstring out = vt::ToWin(d.dir) + L"\\out.reg";
  // Without the user hive loaded, an old file is still replaced, header first.
  WriteRegFile(out, L"Windows Registry Editor Version 5.00\r\n\r\n[OLD]\r\n");
  ASSERT_EQ(1, m.LoadHives(1 | 2));
  ASSERT_EQ(REG_STATUS_OK, m.ExportRegFile(L"", 0, out.c_str(), 1, 0));
  std::wstring text = ReadUtf16File(out);
  EXPECT_EQ(
      0u,
      text.find(L"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\r\n"));
  EXPECT_EQ(std::wstring::npos, text.find(L"[OLD]"));
  size_t soft = text.find(L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro]");
  size_t sys = text.find(L"[HKEY_LOCAL_MACHINE\\SYSTEM\\Vro]");
  ASSERT_NE(std::wstring::npos, soft);
  ASSERT_NE(std::wstring::npos, sys);
  EXPECT_LT(soft, sys);
  EXPECT_EQ(text.rfind(L"Windows Registry"), 0u);

  // The bare HKEY_LOCAL_MACHINE: BCD, SAM, SECURITY, SOFTWARE, SYSTEM.
  ASSERT_EQ(1, m.LoadHives(0x3F));
  ASSERT_EQ(REG_STATUS_OK, m.ExportRegFile(L"HKEY_LOCAL_MACHINE", 0, out.c_str(), 0, 0));
  text = ReadUtf16File(out);
  size_t at = 0;
  for (const wchar_t* root : {L"BCD00000000", L"SAM", L"SECURITY", L"SOFTWARE", L"SYSTEM"}) {
    size_t next = text.find(std::wstring(L"[HKEY_LOCAL_MACHINE\\") + root + L"]\r\n");
    ASSERT_NE(std::wstring::npos, next) << vt::Narrow(root);
    EXPECT_LE(at, next) << vt::Narrow(root);
    at = next;
  }
  EXPECT_EQ(std::wstring::npos, text.find(L"HKEY_CURRENT_USER"));
  // A single key, and paths that name nothing.
  ASSERT_EQ(REG_STATUS_OK, m.ExportRegFile(kVroSoft, 0, out.c_str(), 0, 0));
  EXPECT_EQ(
      L"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro]\r\n"
      L"\"Hive\"=\"SOFTWARE\"\r\n\r\n",
      ReadUtf16File(out));
  EXPECT_EQ(REG_STATUS_FAILURE, m.ExportRegFile(L"HKEY_USERS", 0, out.c_str(), 0, 0));
  m.UnloadHives();
  EXPECT_EQ(REG_STATUS_FAILURE, m.ExportRegFile(L"", 0, (out + L".none").c_str(), 0, 0));
  EXPECT_FALSE(vt::FileExists(out + L".none"));
}

TEST(Facade, ImportAcrossRoots) {
  // The image has no SAM hive file.
  rt::WinDisk d =
      rt::MakeWinDisk("--no-kernel", "mbr2048", "raw", "rm Windows/System32/config/SAM");
  std::wstring reg = vt::ToWin(d.dir) + L"\\in.reg";
  WriteRegFile(reg,
               L"Windows Registry Editor Version 5.00\r\n\r\n"
               L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro\\Imported]\r\n\"S\"=\"soft\"\r\n\r\n"
               L"[File]\r\n\"x\"=\"y\"\r\n\r\n"
               L"[HKEY_LOCAL_MACHINE\\SYSTEM\\Vro]\r\n\"Hive\"=-\r\n\"D\"=dword:0000002a\r\n\r\n");
  // A file naming a hive that was asked for but could not be loaded changes
  // nothing and fails as a missing hive; a root the caller did not load is
  // passed over.
  std::wstring sam = vt::ToWin(d.dir) + L"\\sam.reg";
  WriteRegFile(sam,
               L"Windows Registry Editor Version 5.00\r\n\r\n"
               L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro]\r\n\"Hive\"=\"changed\"\r\n\r\n"
               L"[hkey_local_machine\\sam\\Vro]\r\n\"x\"=\"not loaded\"\r\n");
  CMountedImage m;
  ASSERT_EQ(3, m.OpenImage(d.path.c_str(), nullptr, 0, 2));
  ASSERT_EQ(1, m.LoadHives(1 | 2 | 8));
  EXPECT_EQ(REG_STATUS_NOT_FOUND, m.ImportRegFile(sam.c_str()));
  EXPECT_EQ(L"SOFTWARE", rt::QueryString(m, L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro", L"Hive"));
  ASSERT_EQ(1, m.LoadHives(1 | 2));
  EXPECT_EQ(REG_STATUS_OK, m.ImportRegFile(sam.c_str()));
  EXPECT_EQ(L"changed", rt::QueryString(m, L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro", L"Hive"));
  EXPECT_EQ(REG_STATUS_OK, m.ImportRegFile(reg.c_str()));
  EXPECT_EQ(L"soft", rt::QueryString(m, L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro\\Imported", L"S"));
  uint32_t t;
  EXPECT_EQ(REG_STATUS_NOT_FOUND, m.RegQueryValue(kVroSys, L"Hive", &t, nullptr));
  RegValueBuf* buf = nullptr;
  ASSERT_EQ(REG_STATUS_OK, m.RegQueryValue(kVroSys, L"D", &t, &buf));
  EXPECT_EQ(42u, *(uint32_t*)buf->data);
  free(buf);
  EXPECT_EQ(REG_STATUS_FAILURE, m.ImportRegFile((reg + L".missing").c_str()));
}

TEST(Facade, CurrentControlSet) {
  {
    rt::WinDisk d = rt::MakeWinDisk("--no-kernel --current 2");
    CMountedImage m;
    ASSERT_EQ(3, m.OpenImage(d.path.c_str(), nullptr, 0, 0));
    EXPECT_EQ(1u, ReadCurrentControlSet(&m));  // SYSTEM not loaded
    ASSERT_EQ(1, m.LoadHives(1));
    EXPECT_EQ(2u, ReadCurrentControlSet(&m));
    EXPECT_EQ(2u, m.GetCurrentControlSet());
  }
  rt::WinDisk d = rt::MakeWinDisk("--no-kernel --current 0");
  CMountedImage m;
  ASSERT_EQ(3, m.OpenImage(d.path.c_str(), nullptr, 0, 0));
  ASSERT_EQ(1, m.LoadHives(1));
  EXPECT_EQ(1u, m.GetCurrentControlSet());
}

TEST(Facade, UserHiveFollowsTheLastUser) {
  {
    rt::WinDisk d = rt::MakeWinDisk("--no-kernel --user alice");
    CMountedImage m;
    ASSERT_EQ(3, m.OpenImage(d.path.c_str(), nullptr, 0, 0));
    ASSERT_EQ(1, m.LoadHives(0x3F));
    EXPECT_EQ(L"USER alice", rt::QueryString(m, L"HKEY_CURRENT_USER\\Vro", L"Hive"));
    // The user's hive alone is the same: SOFTWARE, which names it, is read
    // for it and let go again.
    ASSERT_EQ(1, m.LoadHives(4));
    EXPECT_EQ(L"USER alice", rt::QueryString(m, L"HKEY_CURRENT_USER\\Vro", L"Hive"));
    EXPECT_EQ(nullptr, FindLoadedHive(&m, L"HKEY_LOCAL_MACHINE\\SOFTWARE"));
    EXPECT_EQ(nullptr, FindLoadedHive(&m, L"HKEY_LOCAL_MACHINE\\SYSTEM"));
  }
  {
    rt::WinDisk d = rt::MakeWinDisk("--no-kernel --version 5.1.2600.5512 --xp-user bob");
    CMountedImage m;
    ASSERT_EQ(3, m.OpenImage(d.path.c_str(), nullptr, 0, 0));
    ASSERT_EQ(1, m.LoadHives(0x3F));
    EXPECT_EQ(L"USER bob", rt::QueryString(m, L"HKEY_CURRENT_USER\\Vro", L"Hive"));
  }
  rt::WinDisk d = rt::MakeWinDisk("--no-kernel --bcd");
  CMountedImage m;
  ASSERT_EQ(3, m.OpenImage(d.path.c_str(), nullptr, 0, 0));
  ASSERT_EQ(1, m.LoadHives(0x3F));
  EXPECT_EQ(L"DEFAULT", rt::QueryString(m, L"HKEY_CURRENT_USER\\Vro", L"Hive"));
  EXPECT_EQ(L"BCD", rt::QueryString(m, L"HKEY_LOCAL_MACHINE\\BCD00000000\\Vro", L"Hive"));
  EXPECT_EQ(REG_STATUS_OK, m.RegQueryValue(L"HKEY_LOCAL_MACHINE\\BCD00000000\\Objects\\"
                                           L"{9dea862c-5cdd-4e70-acc1-f32b344d4795}\\Description",
                                           L"Type", nullptr, nullptr));
}

TEST(Facade, NoVolumeNoHives) {
  CMountedImage m;
  EXPECT_EQ(0, m.LoadHives(0x3F));
  uint32_t t;
  EXPECT_EQ(REG_STATUS_FAILURE, m.RegQueryValue(kVroSys, L"Hive", &t, nullptr));
  EXPECT_EQ(1u, ReadCurrentControlSet(&m));
}
