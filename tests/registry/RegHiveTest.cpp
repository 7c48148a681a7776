// CRegHive on an NTFS volume of a mounted image: load and save, status
// codes of its methods, enumeration buffers, and the cases where nothing may
// be saved (read-only use, a failed write, a failed import, a hive that
// Windows left with an unfinished write).
#include <windows.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "FacadeTestUtil.h"
#include "TestSupport.h"
#include "image/mount/MountedImage.h"
#include "image/ntfs/NtfsFiles.h"
#include "registry/hive/HiveImage.h"
#include "registry/hive/HiveOps.h"
#include "registry/RegHive.h"

namespace {

using rt::WriteRegFile;

const wchar_t kSoftware[] = L"\\Windows\\System32\\config\\SOFTWARE";

FILETIME LastWrite(CMountedImage& m, const wchar_t* path) {
  FILETIME t = {0, 0};
  EXPECT_EQ(1, m.GetFileInfo(path, nullptr, &t, nullptr, nullptr, nullptr));
  return t;
}

uint64_t Ticks(FILETIME t) {
  return ((uint64_t)t.dwHighDateTime << 32) | t.dwLowDateTime;
}

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | ((uint32_t)b[at + 3] << 24);
}

}  // namespace

TEST(RegHive, ReadOnlyUseWritesNothingAndEachChangeSavesOnce) {
  rt::WinDisk d = rt::MakeWinDisk("--no-kernel");
  FILETIME before;
  {
    CMountedImage m;
    ASSERT_EQ(3, m.OpenImage(d.path.c_str(), nullptr, 0, 2));
    before = LastWrite(m, kSoftware);
    CRegHive hive;
    ASSERT_EQ(1, hive.OpenFromNtfs(m.NtfsVolume(), kSoftware));
    EXPECT_FALSE(hive.IsReadOnly());
    uint32_t type = 0;
    RegValueBuf* buf = nullptr;
    ASSERT_EQ(REG_STATUS_OK, hive.QueryValue(L"Vro", L"Hive", &type, &buf));
    EXPECT_EQ(1u, type);
    EXPECT_STREQ(L"SOFTWARE", (const wchar_t*)buf->data);
    free(buf);
    uint32_t size = 0;
    EXPECT_EQ(REG_STATUS_BUFFER_TOO_SMALL, hive.EnumSubkeys(L"", nullptr, &size));
    EXPECT_EQ(HIVE_SAVE_NOTHING, hive.SaveToNtfs());
    EXPECT_EQ(HIVE_SAVE_NOTHING, hive.Close());
    EXPECT_FALSE(hive.IsLoaded());
    EXPECT_EQ(Ticks(before), Ticks(LastWrite(m, kSoftware)));
  }
  Sleep(20);
  {
    CMountedImage m;
    ASSERT_EQ(3, m.OpenImage(d.path.c_str(), nullptr, 0, 2));
    CRegHive hive;
    ASSERT_EQ(1, hive.OpenFromNtfs(m.NtfsVolume(), kSoftware));
    std::vector<uint8_t> data = rt::Utf16z(L"changed");
    ASSERT_EQ(REG_STATUS_OK, hive.SetValue(L"Vro", L"Hive", data.data(), (uint32_t)data.size(), 1));
    EXPECT_TRUE(hive.IsDirty());
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    EXPECT_EQ(HIVE_SAVE_WRITTEN, hive.SaveToNtfs());
    EXPECT_FALSE(hive.IsDirty());
    FILETIME saved = LastWrite(m, kSoftware);
    EXPECT_GT(Ticks(saved), Ticks(before));
    EXPECT_LT(Ticks(saved) > Ticks(now) ? Ticks(saved) - Ticks(now) : Ticks(now) - Ticks(saved),
              60ull * 10000000ull);
    // Nothing new: nothing written, the time stays.
    EXPECT_EQ(HIVE_SAVE_NOTHING, hive.SaveToNtfs());
    EXPECT_EQ(HIVE_SAVE_NOTHING, hive.Close());
    EXPECT_EQ(Ticks(saved), Ticks(LastWrite(m, kSoftware)));
  }
  // The saved file is a sound hive to hivex, checksum included.
  std::string hive =
      rt::NtfsCat(d, d.unixPath, "/Windows/System32/config/SOFTWARE", d.dir + "/soft.hiv");
  EXPECT_EQ("changed", rt::HivexGet(hive, "\\Vro", "Hive"));
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(vt::ReadAll(vt::ToWin(hive), bytes));
  uint32_t x = 0;
  for (int i = 0; i < 127; i++) x ^= Le32(bytes, 4 * i);
  EXPECT_EQ(x, Le32(bytes, 0x1FC));
}

TEST(RegHive, StatusCodesOfTheMethods) {
  rt::WinDisk d = rt::MakeWinDisk("--no-kernel");
  CMountedImage m;
  ASSERT_EQ(3, m.OpenImage(d.path.c_str(), nullptr, 0, 2));
  CRegHive none;
  EXPECT_EQ(0, none.OpenFromNtfs(m.NtfsVolume(), L"\\Windows\\System32\\config\\MISSING"));
  EXPECT_EQ(0, none.OpenFromNtfs(m.NtfsVolume(), L"\\Windows\\System32\\ntoskrnl.exe"));
  uint32_t type, size = 0;
  EXPECT_EQ(REG_STATUS_NOT_FOUND, none.QueryValue(L"Vro", L"Hive", &type, nullptr));
  EXPECT_EQ(REG_STATUS_FAILURE, none.CreateKey(L"A"));
  EXPECT_EQ(REG_STATUS_NOT_FOUND, none.RenameKey(L"", L"Vro", L"X"));
  EXPECT_EQ(REG_STATUS_NOT_FOUND, none.DeleteKey(L"", L"Vro"));
  EXPECT_EQ(REG_STATUS_NOT_FOUND, none.GetSubkeyCount(L""));
  EXPECT_EQ(REG_STATUS_NOT_FOUND, none.EnumSubkeys(L"", nullptr, &size));
  EXPECT_EQ(REG_STATUS_NOT_FOUND, none.ExportRegFile(L"X", L"", nullptr, L"C:\\none.reg", 0, 0));
  EXPECT_EQ(0, none.ImportRegFile(L"C:\\none.reg", L"X"));

  CRegHive h;
  ASSERT_EQ(1, h.OpenFromNtfs(m.NtfsVolume(), kSoftware));
  EXPECT_EQ(REG_STATUS_OK, h.CreateKey(L"A\\B\\C"));
  EXPECT_EQ(REG_STATUS_EXISTS, h.CreateKey(L"A\\B\\C"));
  EXPECT_EQ(REG_STATUS_EXISTS, h.CreateKey(L"a\\b"));
  EXPECT_EQ(REG_STATUS_OK, h.CreateKey(L"A\\B\\D"));
  EXPECT_EQ(REG_STATUS_OK, h.CreateKey(L"A\\B\\E"));
  EXPECT_EQ(3u, h.GetSubkeyCount(L"A\\B"));
  EXPECT_EQ(REG_STATUS_NOT_FOUND, h.GetSubkeyCount(L"A\\Nope"));

  // The default value (the empty name) is created as REG_SZ, any other
  // missing name fails; "@" is a name like any other.
  std::vector<uint8_t> text = rt::Utf16z(L"dflt");
  EXPECT_EQ(REG_STATUS_FAILURE,
            h.WriteValueData(L"A", L"Other", text.data(), (uint32_t)text.size()));
  EXPECT_EQ(REG_STATUS_FAILURE, h.WriteValueData(L"A", L"@", text.data(), (uint32_t)text.size()));
  EXPECT_EQ(REG_STATUS_OK, h.WriteValueData(L"A", L"", text.data(), (uint32_t)text.size()));
  EXPECT_EQ(REG_STATUS_OK, h.QueryValue(L"A", nullptr, &type, nullptr));
  EXPECT_EQ(1u, type);
  EXPECT_EQ(REG_STATUS_NOT_FOUND, h.QueryValue(L"A", L"@", &type, nullptr));
  std::vector<uint8_t> at = rt::Utf16z(L"at");
  EXPECT_EQ(REG_STATUS_OK, h.SetValue(L"A", L"@", at.data(), (uint32_t)at.size(), 2));
  RegValueBuf* both[2] = {nullptr, nullptr};
  ASSERT_EQ(REG_STATUS_OK, h.QueryValue(L"A", L"@", &type, &both[0]));
  EXPECT_EQ(2u, type);
  ASSERT_EQ(REG_STATUS_OK, h.QueryValue(L"A", L"", &type, &both[1]));
  EXPECT_EQ(1u, type);
  EXPECT_STREQ(L"at", (const wchar_t*)both[0]->data);
  EXPECT_STREQ(L"dflt", (const wchar_t*)both[1]->data);
  free(both[0]);
  free(both[1]);
  uint32_t enumSize = 0;
  h.EnumValues(L"A", nullptr, &enumSize);
  std::vector<uint8_t> list(enumSize);
  ASSERT_EQ(REG_STATUS_OK, h.EnumValues(L"A", list.data(), &enumSize));
  const RegValueEntry* e = (const RegValueEntry*)(list.data() + REG_ENUM_HEADER);
  ASSERT_EQ(2u, read_le32(list.data()));
  EXPECT_STREQ(L"", e[0].name) << "the default value";
  EXPECT_STREQ(L"@", e[1].name);
  for (int i = 0; i < 2; i++) free(e[i].data);
  EXPECT_EQ(REG_STATUS_OK, h.DeleteValue(L"A", L"@"));
  EXPECT_EQ(REG_STATUS_OK, h.QueryValue(L"A", L"", &type, nullptr)) << "the default value stays";
  EXPECT_EQ(REG_STATUS_NOT_FOUND,
            h.WriteValueData(L"Nope", L"", text.data(), (uint32_t)text.size()));

  // An existing value keeps its type; REG_DWORD takes four bytes.
  uint32_t five = 5;
  ASSERT_EQ(REG_STATUS_OK, h.SetValue(L"A", L"N", &five, 4, 4));
  uint64_t wide = 0x1122334455667788ull;
  ASSERT_EQ(REG_STATUS_OK, h.SetValue(L"A", L"N", &wide, 8, 3));
  RegValueBuf* buf = nullptr;
  ASSERT_EQ(REG_STATUS_OK, h.QueryValue(L"A", L"n", &type, &buf));
  EXPECT_EQ(4u, type);
  EXPECT_EQ(4u, buf->length);
  EXPECT_EQ(0x55667788u, *(uint32_t*)buf->data);
  free(buf);
  EXPECT_EQ(REG_STATUS_NOT_FOUND, h.SetValue(L"Nope", L"N", &five, 4, 4));
  EXPECT_EQ(REG_STATUS_NOT_FOUND, h.QueryValue(L"A", L"Missing", &type, &buf));
  EXPECT_EQ(nullptr, buf);
  EXPECT_EQ(REG_STATUS_NOT_FOUND, h.QueryValue(L"Nope", L"N", &type, &buf));
  EXPECT_EQ(REG_STATUS_FAILURE, h.DeleteValue(L"A", L"Missing"));
  EXPECT_EQ(REG_STATUS_NOT_FOUND, h.DeleteValue(L"Nope", L"N"));

  // Keys: rename onto a sibling, delete results.
  EXPECT_EQ(REG_STATUS_EXISTS, h.RenameKey(L"A\\B", L"C", L"d"));
  EXPECT_EQ(REG_STATUS_FAILURE, h.RenameKey(L"A\\Nope", L"C", L"X"));
  EXPECT_EQ(REG_STATUS_OK, h.RenameKey(L"A\\B", L"C", L"F"));
  EXPECT_EQ(REG_STATUS_NOT_FOUND, h.DeleteKey(L"Nope", L"X"));
  EXPECT_EQ((uint32_t)-1, h.DeleteKey(L"A", L"Nope"));
  EXPECT_EQ(0u, h.DeleteKey(L"A", L"B"));
  EXPECT_EQ(0u, h.GetSubkeyCount(L"A"));

  // A value from a host file is a binary value under a created key.
  std::wstring host = vt::ToWin(d.dir) + L"\\blob.bin";
  ASSERT_TRUE(vt::WriteAll(host, "\x01\x02\x03\x04\x05\x06", 6));
  EXPECT_EQ(REG_STATUS_OK, h.SetValueFromFile(L"New\\Key", L"", host.c_str()));
  ASSERT_EQ(REG_STATUS_OK, h.QueryValue(L"New\\Key", L"", &type, &buf));
  EXPECT_EQ(3u, type);
  EXPECT_EQ(6u, buf->length);
  free(buf);
  EXPECT_EQ(REG_STATUS_FAILURE, h.SetValueFromFile(L"New", L"x", (host + L".missing").c_str()));
  // A value of another type takes the bytes in place: it is never deleted
  // before they are written, and keeps its place among the values.
  ASSERT_EQ(REG_STATUS_OK, h.SetValue(L"New\\Key", L"S", text.data(), (uint32_t)text.size(), 1));
  ASSERT_EQ(REG_STATUS_OK, h.SetValue(L"New\\Key", L"T", &five, 4, 4));
  EXPECT_EQ(REG_STATUS_FAILURE,
            h.SetValueFromFile(L"New\\Key", L"S", (host + L".missing").c_str()));
  EXPECT_EQ(REG_STATUS_OK, h.SetValueFromFile(L"New\\Key", L"S", host.c_str()));
  ASSERT_EQ(REG_STATUS_OK, h.QueryValue(L"New\\Key", L"S", &type, &buf));
  EXPECT_EQ(3u, type);
  EXPECT_EQ(0, memcmp(buf->data, "\x01\x02\x03\x04\x05\x06", 6));
  free(buf);
  std::vector<std::wstring> order;
  uint32_t vi = 0;
  HiveValue v;
  while (next_value(h.Image(), find_key(h.Image(), 0, L"New\\Key"), &vi, &v) == 1)
    order.push_back(v.name);
  EXPECT_EQ((std::vector<std::wstring>{L"", L"S", L"T"}), order);
  h.Discard();
}

TEST(RegHive, RenameValue) {
  rt::WinDisk d = rt::MakeWinDisk("--no-kernel");
  CMountedImage m;
  ASSERT_EQ(3, m.OpenImage(d.path.c_str(), nullptr, 0, 2));
  CRegHive h;
  ASSERT_EQ(1, h.OpenFromNtfs(m.NtfsVolume(), kSoftware));
  ASSERT_EQ(REG_STATUS_OK, h.CreateKey(L"K"));
  std::vector<uint8_t> big(300000);
  for (size_t i = 0; i < big.size(); i++) big[i] = (uint8_t)(i * 7);
  ASSERT_EQ(REG_STATUS_OK, h.SetValue(L"K", L"First", big.data(), (uint32_t)big.size(), 3));
  uint32_t two = 2;
  ASSERT_EQ(REG_STATUS_OK, h.SetValue(L"K", L"Second", &two, 4, 4));

  EXPECT_EQ(REG_STATUS_FAILURE, h.RenameValue(L"K", L"Missing", L"X"));
  // Onto another existing value: refused, both unchanged.
  EXPECT_EQ(REG_STATUS_EXISTS, h.RenameValue(L"K", L"First", L"second"));
  uint32_t type = 0;
  RegValueBuf* buf = nullptr;
  ASSERT_EQ(REG_STATUS_OK, h.QueryValue(L"K", L"Second", &type, &buf));
  EXPECT_EQ(4u, type);
  free(buf);
  // Only the case differs: renamed in place, data and order kept.
  ASSERT_EQ(REG_STATUS_OK, h.RenameValue(L"K", L"First", L"FIRST"));
  uint32_t size = 0;
  ASSERT_EQ(REG_STATUS_BUFFER_TOO_SMALL, h.EnumValues(L"K", nullptr, &size));
  std::vector<uint8_t> list(size);
  ASSERT_EQ(REG_STATUS_OK, h.EnumValues(L"K", list.data(), &size));
  RegValueEntry* e = (RegValueEntry*)(list.data() + 8);
  EXPECT_STREQ(L"FIRST", e[0].name);
  EXPECT_STREQ(L"Second", e[1].name);
  ASSERT_NE(nullptr, e[0].data);
  EXPECT_EQ(big.size(), e[0].data->length);
  EXPECT_EQ(0, memcmp(big.data(), e[0].data->data, big.size()));
  free(e[0].data);
  free(e[1].data);
  // A real rename moves type and the whole (big) data.
  ASSERT_EQ(REG_STATUS_OK, h.RenameValue(L"K", L"first", L"Third"));
  EXPECT_EQ(REG_STATUS_NOT_FOUND, h.QueryValue(L"K", L"First", &type, nullptr));
  ASSERT_EQ(REG_STATUS_OK, h.QueryValue(L"K", L"Third", &type, &buf));
  EXPECT_EQ(3u, type);
  ASSERT_EQ(big.size(), buf->length);
  EXPECT_EQ(0, memcmp(big.data(), buf->data, big.size()));
  free(buf);
  h.Discard();
}

TEST(RegHive, EnumerationBuffers) {
  rt::WinDisk d = rt::MakeWinDisk("--no-kernel");
  CMountedImage m;
  ASSERT_EQ(3, m.OpenImage(d.path.c_str(), nullptr, 0, 2));
  CRegHive h;
  ASSERT_EQ(1, h.OpenFromNtfs(m.NtfsVolume(), kSoftware));
  for (const wchar_t* k : {L"E\\c", L"E\\A", L"E\\b", L"E\\b\\x", L"Empty"})
    ASSERT_EQ(REG_STATUS_OK, h.CreateKey(k));
  uint32_t v = 1;
  ASSERT_EQ(REG_STATUS_OK, h.SetValue(L"E", L"v1", &v, 4, 4));
  ASSERT_EQ(REG_STATUS_OK, h.SetValue(L"E", L"v2", "", 0, 1));

  uint32_t size = 0;
  EXPECT_EQ(REG_STATUS_BUFFER_TOO_SMALL, h.EnumSubkeys(L"E", nullptr, &size));
  EXPECT_EQ(8212u, size);
  size = 0;
  EXPECT_EQ(REG_STATUS_BUFFER_TOO_SMALL, h.EnumSubkeys(L"Empty", nullptr, &size));
  EXPECT_EQ(0u, size);
  size = 77;
  EXPECT_EQ(REG_STATUS_NOT_FOUND, h.EnumSubkeys(L"Nope", nullptr, &size));
  EXPECT_EQ(77u, size);

  // A buffer one byte short of the records is refused and left untouched.
  std::vector<uint8_t> buf(8 + 3 * 2052 + 64, 0xAB);
  size = 8 + 3 * 2052 - 1;
  EXPECT_EQ(REG_STATUS_BUFFER_TOO_SMALL, h.EnumSubkeys(L"E", buf.data(), &size));
  EXPECT_EQ(8212u, size);
  for (uint8_t b : buf) ASSERT_EQ(0xAB, b);
  size = 8 + 3 * 2052;
  ASSERT_EQ(REG_STATUS_OK, h.EnumSubkeys(L"E", buf.data(), &size));
  EXPECT_EQ(3u, *(uint32_t*)buf.data());
  RegSubkeyEntry* s = (RegSubkeyEntry*)(buf.data() + 8);
  EXPECT_STREQ(L"A", s[0].name);
  EXPECT_STREQ(L"b", s[1].name);
  EXPECT_EQ(1u, s[1].subkeyCount);
  EXPECT_STREQ(L"c", s[2].name);
  for (size_t i = 8 + 3 * 2052; i < buf.size(); i++) ASSERT_EQ(0xAB, buf[i]);

  size = 0;
  EXPECT_EQ(REG_STATUS_BUFFER_TOO_SMALL, h.EnumValues(L"E", nullptr, &size));
  // A value record holds the caller's data pointer: 2056 bytes in the
  // 32-bit program.
  const uint32_t record = sizeof(RegValueEntry);
  EXPECT_EQ(4 + 3 * record, size);
  std::vector<uint8_t> vbuf(3 * record, 0xCD);
  size = 8 + 2 * record - 1;
  EXPECT_EQ(REG_STATUS_BUFFER_TOO_SMALL, h.EnumValues(L"E", vbuf.data(), &size));
  for (uint8_t b : vbuf) ASSERT_EQ(0xCD, b);
  size = 3 * record;
  ASSERT_EQ(REG_STATUS_OK, h.EnumValues(L"E", vbuf.data(), &size));
  RegValueEntry* e = (RegValueEntry*)(vbuf.data() + 8);
  EXPECT_EQ(2u, *(uint32_t*)vbuf.data());
  EXPECT_STREQ(L"v1", e[0].name);
  EXPECT_EQ(4u, e[0].type);
  ASSERT_NE(nullptr, e[0].data);
  EXPECT_EQ(1u, *(uint32_t*)e[0].data->data);
  EXPECT_EQ(nullptr, e[1].data);  // empty data: no block
  free(e[0].data);
  h.Discard();
}

TEST(RegHive, FailedWriteKeepsTheHiveDirty) {
  rt::WinDisk d = rt::MakeWinDisk("--no-kernel");
  std::string hash = vt::Sha256(d.path);
  {
    CMountedImage m;
    ASSERT_EQ(3, m.OpenImage(d.path.c_str(), nullptr, 0, 0));  // read-only mount
    CRegHive h;
    ASSERT_EQ(1, h.OpenFromNtfs(m.NtfsVolume(), kSoftware));
    ASSERT_EQ(REG_STATUS_OK, h.CreateKey(L"Lost"));
    EXPECT_EQ(HIVE_SAVE_FAILED, h.SaveToNtfs());
    EXPECT_TRUE(h.IsDirty());
    EXPECT_EQ(HIVE_SAVE_FAILED, h.Close());
    EXPECT_TRUE(h.IsLoaded());
    EXPECT_EQ(REG_STATUS_EXISTS, h.CreateKey(L"Lost"));
  }
  EXPECT_EQ(hash, vt::Sha256(d.path));
}

TEST(RegHive, FailedImportLeavesTheHiveAsItWas) {
  rt::WinDisk d = rt::MakeWinDisk("--no-kernel");
  std::wstring dir = vt::ToWin(d.dir);
  std::wstring bad = dir + L"\\bad.reg";
  std::wstring longName(300, L'k');
  WriteRegFile(
      bad,
      L"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro]\r\n"
      L"\"Hive\"=\"imported\"\r\n\"New\"=dword:00000001\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\" +
          longName + L"]\r\n\"x\"=\"y\"\r\n");
  CMountedImage m;
  ASSERT_EQ(3, m.OpenImage(d.path.c_str(), nullptr, 0, 2));
  FILETIME before = LastWrite(m, kSoftware);
  CRegHive h;
  ASSERT_EQ(1, h.OpenFromNtfs(m.NtfsVolume(), kSoftware));
  EXPECT_NE(0, h.ImportRegFile(bad.c_str(), L"HKEY_LOCAL_MACHINE\\SOFTWARE"));
  EXPECT_FALSE(h.IsDirty());
  uint32_t type;
  RegValueBuf* buf = nullptr;
  ASSERT_EQ(REG_STATUS_OK, h.QueryValue(L"Vro", L"Hive", &type, &buf));
  EXPECT_STREQ(L"SOFTWARE", (const wchar_t*)buf->data);
  free(buf);
  EXPECT_EQ(REG_STATUS_NOT_FOUND, h.QueryValue(L"Vro", L"New", &type, nullptr));
  // A change made before stays, and so does its dirty state.
  ASSERT_EQ(REG_STATUS_OK, h.CreateKey(L"Before"));
  EXPECT_NE(0, h.ImportRegFile(bad.c_str(), L"HKEY_LOCAL_MACHINE\\SOFTWARE"));
  EXPECT_TRUE(h.IsDirty());
  EXPECT_EQ(REG_STATUS_EXISTS, h.CreateKey(L"Before"));
  EXPECT_EQ(REG_STATUS_NOT_FOUND, h.QueryValue(L"Vro", L"New", &type, nullptr));
  h.Discard();
  EXPECT_EQ(Ticks(before), Ticks(LastWrite(m, kSoftware)));
}

TEST(RegHive, UnfinishedWriteIsServedReadOnly) {
  // Primary sequence number 7, secondary 6, and a log that fails its checks:
  // what Windows would replay is unknown.
  rt::WinDisk d = rt::MakeWinDisk(
      "--no-kernel", "mbr2048", "raw",
      "printf '\\007' | dd of=Windows/System32/config/SOFTWARE bs=1 seek=4 conv=notrunc status=none && "
      "printf '\\006' | dd of=Windows/System32/config/SOFTWARE bs=1 seek=8 conv=notrunc status=none && "
      "(printf regf; head -c 4092 /dev/zero) > Windows/System32/config/SOFTWARE.LOG1");
  std::wstring dir = vt::ToWin(d.dir);
  std::wstring touching = dir + L"\\touch.reg", other = dir + L"\\other.reg";
  WriteRegFile(
      touching,
      L"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro]\r\n"
      L"\"Hive\"=\"imported\"\r\n");
  WriteRegFile(other,
               L"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\Vro]\r\n"
               L"\"Hive\"=\"imported\"\r\n");
  std::string before;
  {
    CMountedImage m;
    ASSERT_EQ(3, m.OpenImage(d.path.c_str(), nullptr, 0, 2));
    CRegHive h;
    ASSERT_EQ(1, h.OpenFromNtfs(m.NtfsVolume(), kSoftware));
    EXPECT_TRUE(h.IsReadOnly());
    uint32_t type;
    EXPECT_EQ(REG_STATUS_OK, h.QueryValue(L"Vro", L"Hive", &type, nullptr));
    uint32_t one = 1;
    EXPECT_EQ(REG_STATUS_FAILURE, h.CreateKey(L"New"));
    EXPECT_EQ(REG_STATUS_FAILURE, h.SetValue(L"Vro", L"Hive", &one, 4, 4));
    EXPECT_EQ(REG_STATUS_FAILURE, h.WriteValueData(L"Vro", L"Hive", &one, 4));
    EXPECT_EQ(REG_STATUS_FAILURE, h.DeleteValue(L"Vro", L"Hive"));
    EXPECT_EQ(REG_STATUS_FAILURE, h.RenameValue(L"Vro", L"Hive", L"X"));
    EXPECT_EQ(REG_STATUS_FAILURE, h.RenameKey(L"", L"Vro", L"X"));
    EXPECT_EQ(REG_STATUS_FAILURE, h.DeleteKey(L"", L"Vro"));
    EXPECT_NE(0, h.ImportRegFile(touching.c_str(), L"HKEY_LOCAL_MACHINE\\SOFTWARE"));
    EXPECT_EQ(0, h.ImportRegFile(other.c_str(), L"HKEY_LOCAL_MACHINE\\SOFTWARE"));
    EXPECT_FALSE(h.IsDirty());
    RegValueBuf* buf = nullptr;
    ASSERT_EQ(REG_STATUS_OK, h.QueryValue(L"Vro", L"Hive", &type, &buf));
    EXPECT_STREQ(L"SOFTWARE", (const wchar_t*)buf->data);
    free(buf);
    EXPECT_EQ(HIVE_SAVE_NOTHING, h.Close());
  }
  std::string hive =
      rt::NtfsCat(d, d.unixPath, "/Windows/System32/config/SOFTWARE", d.dir + "/soft.hiv");
  EXPECT_EQ(
      0, vt::Sh("cmp " + vt::Q(hive) + " " + vt::Q(d.tree + "/Windows/System32/config/SOFTWARE")));
}
