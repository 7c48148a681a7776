// .reg export and import: exact text, round trips, import rules, and
// cross-checks with hivexregedit.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <vector>

#include "HiveTestUtil.h"
#include "TestSupport.h"
#include "registry/hive/HiveOps.h"
#include "registry/hive/RegFile.h"

namespace {

const wchar_t kPrefix[] = L"HKEY_LOCAL_MACHINE\\SOFTWARE";

std::vector<uint8_t> U16(const std::wstring& s, bool nul = true) {
  std::vector<uint8_t> v;
  for (wchar_t c : s) {
    v.push_back((uint8_t)c);
    v.push_back((uint8_t)(c >> 8));
  }
  if (nul) {
    v.push_back(0);
    v.push_back(0);
  }
  return v;
}

void Set(HiveImage* img, uint32_t key, const wchar_t* name, uint32_t type,
         const std::vector<uint8_t>& d) {
  ASSERT_NE(0u, add_value(img, key, name, type));
  ASSERT_NE(0u, put_data_to_value(img, d.data(), (uint32_t)d.size(), key, name, 0));
}

std::wstring ReadUtf16File(const std::wstring& path) {
  std::vector<uint8_t> b;
  EXPECT_TRUE(vt::ReadAll(path, b));
  std::wstring s;
  for (size_t i = 0; i + 1 < b.size(); i += 2) s += (wchar_t)(b[i] | (b[i + 1] << 8));
  return s;
}

bool WriteUtf16File(const std::wstring& path, const std::wstring& text) {
  std::vector<uint8_t> b = {0xFF, 0xFE};
  std::vector<uint8_t> t = U16(text, false);
  b.insert(b.end(), t.begin(), t.end());
  return vt::WriteAll(path, b);
}

// asciiText keeps string data ASCII: hivexregedit --merge takes the bytes of
// quoted strings as Latin-1, so other text cannot pass through it.
HiveImage* AllTypesHive(bool asciiText = false) {
  HiveImage* img = ht::Load(ht::EmptyHive());
  uint32_t v = add_key(img, hive_root_key(img), L"Vendor");
  Set(img, v, L"", 1, U16(L"line1\r\nline2"));
  Set(img, v, L"none", 0, {1, 2});
  Set(img, v, L"sz", 1, U16(L"a\"b\\c"));
  Set(img, v, L"expand", 2, U16(L"%Sys%"));
  std::vector<uint8_t> bin(30);
  for (int i = 0; i < 30; i++) bin[i] = (uint8_t)i;
  Set(img, v, L"ab", 3, bin);
  Set(img, v, L"dw", 4, {0x78, 0x56, 0x34, 0x12});
  Set(img, v, L"be", 5, {0x12, 0x34, 0x56, 0x78});
  Set(img, v, L"link", 6, U16(L"\\R", false));
  Set(img, v, L"multi", 7, {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0});
  Set(img, v, L"res", 8, {1, 0, 0, 0});
  Set(img, v, L"full", 9, {0xAA});
  Set(img, v, L"req", 10, {});
  Set(img, v, L"q", 11, {1, 2, 3, 4, 5, 6, 7, 8});
  Set(img, v, L"unk", 0x1234, {0xFF});
  Set(img, v, L"esc\"na\\me", 1, U16(asciiText ? L"e" : L"\u00e9\u4e2d"));
  Set(img, v, L"emptysz", 1, {});
  if (!asciiText) {
    // names that are not the default value, or that span lines
    Set(img, v, L"@", 1, U16(L"at"));
    Set(img, v, L"two\r\nli\"n\\es\n\n", 4, {1, 0, 0, 0});
  }
  uint32_t sub = add_key(img, v, L"Sub");
  Set(img, sub, L"x", 4, {1, 0, 0, 0});
  return img;
}

const wchar_t kAllTypesText[] =
    L"Windows Registry Editor Version 5.00\r\n"
    L"\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor]\r\n"
    L"@=hex(1):6c,00,69,00,6e,00,65,00,31,00,0d,00,0a,00,6c,00,69,00,6e,00,65,00,32,\\\r\n"
    L"  00,00,00\r\n"
    L"\"none\"=hex(0):01,02\r\n"
    L"\"sz\"=\"a\\\"b\\\\c\"\r\n"
    L"\"expand\"=hex(2):25,00,53,00,79,00,73,00,25,00,00,00\r\n"
    L"\"ab\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,\\\r\n"
    L"  17,18,19,1a,1b,1c,1d\r\n"
    L"\"dw\"=dword:12345678\r\n"
    L"\"be\"=hex(5):12,34,56,78\r\n"
    L"\"link\"=hex(6):5c,00,52,00\r\n"
    L"\"multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
    L"\"res\"=hex(8):01,00,00,00\r\n"
    L"\"full\"=hex(9):aa\r\n"
    L"\"req\"=hex(a):\r\n"
    L"\"q\"=hex(b):01,02,03,04,05,06,07,08\r\n"
    L"\"unk\"=hex(1234):ff\r\n"
    L"\"esc\\\"na\\\\me\"=\"\u00e9\u4e2d\"\r\n"
    L"\"emptysz\"=hex(1):\r\n"
    L"\"@\"=\"at\"\r\n"
    L"\"two\r\nli\\\"n\\\\es\n\n\"=dword:00000001\r\n"
    L"\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Sub]\r\n"
    L"\"x\"=dword:00000001\r\n"
    L"\r\n";

}  // namespace

TEST(RegFile, ExportWritesTheExactTextAndReimportsToTheSameText) {
  std::wstring dir = vt::ScratchDir();
  HiveImage* img = AllTypesHive();
  std::wstring file = dir + L"\\all.reg";
  ASSERT_EQ(0u, export_key_reg(img, 0, kPrefix, L"Vendor", file.c_str(), false, false));
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(vt::ReadAll(file, bytes));
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_EQ(0xFF, bytes[0]);
  EXPECT_EQ(0xFE, bytes[1]);
  std::wstring text = ReadUtf16File(file).substr(1);
  EXPECT_EQ(std::wstring(kAllTypesText), text);

  HiveImage* fresh = ht::Load(ht::EmptyHive());
  ASSERT_EQ(0, import_reg_file(fresh, file.c_str(), kPrefix));
  EXPECT_EQ(ht::Dump(img), ht::Dump(fresh)) << "same values and bytes";
  std::wstring again = dir + L"\\again.reg";
  ASSERT_EQ(0u, export_key_reg(fresh, 0, kPrefix, L"Vendor", again.c_str(), false, false));
  std::vector<uint8_t> bytes2;
  ASSERT_TRUE(vt::ReadAll(again, bytes2));
  EXPECT_TRUE(bytes == bytes2);

  // appending adds sections without a second header; the root is the prefix alone
  ASSERT_EQ(0u, export_key_reg(fresh, 0, kPrefix, L"Vendor\\Sub", again.c_str(), true, false));
  std::wstring appended = ReadUtf16File(again).substr(1);
  EXPECT_EQ(
      text + L"\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Sub]\r\n\"x\"=dword:00000001\r\n\r\n",
      appended);
  std::wstring rootText;
  HiveImage* small = ht::Load(ht::EmptyHive());
  export_key_text(small, 0, kPrefix, L"", true, false, rootText);
  EXPECT_EQ(L"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\r\n\r\n",
            rootText);
  EXPECT_EQ(REG_STATUS_NOT_FOUND,
            export_key_reg(small, 0, kPrefix, L"Missing", again.c_str(), false, false));
  EXPECT_EQ(REG_STATUS_FAILURE,
            export_key_reg(small, 0, kPrefix, L"", (dir + L"\\no\\such\\dir\\x.reg").c_str(), false,
                           false));
  close_hive(small);
  close_hive(fresh);
  close_hive(img);
}

TEST(RegFile, FilterLeavesOutLogConfAndPropertiesAtEveryDepth) {
  HiveImage* img = ht::Load(ht::EmptyHive());
  uint32_t e = add_key(img, hive_root_key(img), L"Enum");
  uint32_t dev = add_key(img, e, L"Dev");
  add_key(img, add_key(img, dev, L"logconf"), L"Inner");
  add_key(img, dev, L"PROPERTIES");
  add_key(img, dev, L"Keep");
  std::wstring t;
  export_key_text(img, 0, L"X", L"Enum", false, true, t);
  EXPECT_EQ(L"\r\n[X\\Enum]\r\n\r\n[X\\Enum\\Dev]\r\n\r\n[X\\Enum\\Dev\\Keep]\r\n\r\n", t);
  t.clear();
  export_key_text(img, 0, L"X", L"Enum", false, false, t);
  EXPECT_NE(std::wstring::npos, t.find(L"[X\\Enum\\Dev\\logconf\\Inner]"));
  close_hive(img);
}

TEST(RegFile, ImportRules) {
  HiveImage* img = ht::Load(ht::EmptyHive());
  uint32_t root = hive_root_key(img);
  uint32_t k = add_key(img, root, L"K");
  Set(img, k, L"over", 1, U16(L"old"));
  Set(img, k, L"gone", 1, U16(L"x"));
  add_key(img, add_key(img, root, L"Tree"), L"Leaf");
  std::wstring text =
      L"Windows Registry Editor Version 5.00\r\n\r\n"
      L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\K]\r\n"
      L"\"over\"=dword:0000002a\r\n"
      L"\"gone\"=-\r\n"
      L"\"str\"=\"hex:01,02\"\r\n"
      L"\"str2\"=\"dword:00000001\"\r\n"
      L"\"dash\"=\"-\"\r\n"
      L"\"q\\\"=x\"=\"v\"\r\n"
      L"\"back\\\\slash\"=\"C:\\\\\"\r\n"
      L"  \"spaced\" = hex:01,\\\r\n"
      L"     02,03\r\n"
      L"[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Tree]\r\n"
      L"[HKEY_LOCAL_MACHINE\\SOFTWARE2\\Other]\r\n"
      L"\"ignored\"=\"x\"\r\n"
      L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\New\\Deep]\r\n"
      L"\"@\"=\"a\"\r\n"
      L"@=\"default\"\r\n"
      L"\"last\"=hex(7):61,00,00,00,00,00";
  ASSERT_EQ(0, import_reg_text(img, text, kPrefix));
  k = find_key(img, 0, L"K");
  EXPECT_EQ(4, get_value_type(img, k, L"over"));
  EXPECT_EQ(-1, get_value_type(img, k, L"gone"));
  auto data = [&](uint32_t key, const wchar_t* n) {
    RegValueBuf* b = copy_value_to_buf(img, nullptr, key, n, 0);
    std::vector<uint8_t> v;
    if (b) v.assign(b->data, b->data + b->length);
    free(b);
    return v;
  };
  EXPECT_EQ(U16(L"hex:01,02"), data(k, L"str")) << "quoted data is a string";
  EXPECT_EQ(1, get_value_type(img, k, L"str2"));
  EXPECT_EQ(U16(L"-"), data(k, L"dash")) << "only a bare - deletes";
  EXPECT_EQ(U16(L"v"), data(k, L"q\"=x"));
  EXPECT_EQ(U16(L"C:\\"), data(k, L"back\\slash"));
  EXPECT_EQ(std::vector<uint8_t>({1, 2, 3}), data(k, L"spaced"));
  EXPECT_EQ(0u, find_key(img, 0, L"Tree"));
  EXPECT_EQ(0u, find_key(img, 0, L"2"));
  EXPECT_EQ(0u, find_key(img, 0, L"Other"));
  uint32_t deep = find_key(img, 0, L"New\\Deep");
  ASSERT_NE(0u, deep);
  EXPECT_EQ(U16(L"default"), data(deep, L""));
  EXPECT_EQ(U16(L"a"), data(deep, L"@")) << "\"@\"= is not the default value";
  EXPECT_EQ(std::vector<uint8_t>({'a', 0, 0, 0, 0, 0}), data(deep, L"last"))
      << "last line without a line break";
  EXPECT_EQ(-1, import_reg_text(img, L"Not a registry file\r\n", kPrefix));
  EXPECT_EQ(ENOENT, import_reg_file(img, L"Z:\\no\\such\\file.reg", kPrefix));
  close_hive(img);
}

TEST(RegFile, BadLineLeavesTheHiveAsItWas) {
  HiveImage* img = ht::Load(ht::EmptyHive());
  add_key(img, hive_root_key(img), L"Before");
  std::vector<uint8_t> clean;
  save_hive_buffer(img, clean);
  std::string before = ht::Dump(img);
  for (const wchar_t* bad : {L"\"v\"=hex:01,zz,03\r\n", L"\"v\"=dword:xyz\r\n",
                             L"\"v\"=\"unclosed\r\n", L"garbage line\r\n", L"\"v\"=hex(1x):00\r\n",
                             // a file cut inside a section line: the key it would name is no key
                             L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Selec\r\n",
                             // names in none of regedit's forms
                             L"- \"NvBackend\"=\"\\\"C:\\\\x.exe\\\"\"\r\n", L"Name=\"value\"\r\n",
                             L"Two Words=dword:1\r\n", L"\u201cx\u201d=\"y\"\r\n"}) {
    std::wstring text = std::wstring(L"Windows Registry Editor Version 5.00\r\n\r\n") +
                        L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Added]\r\n\"a\"=\"1\"\r\n" + bad +
                        L"\"b\"=\"2\"\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\More]\r\n";
    RegImportFault fault;
    EXPECT_EQ(-1, import_reg_text(img, text, kPrefix, 0, &fault));
    EXPECT_EQ(5u, fault.line);
    EXPECT_EQ(before, ht::Dump(img));
    EXPECT_FALSE(img->state & HIVE_STATE_DIRTY) << "clean before, clean after";
    // The staging scripts of driver installation write names without
    // quotes: read there, never in a .reg file.
    if (bad == std::wstring(L"Name=\"value\"\r\n")) {
      HiveImage* staged = ht::Load(ht::EmptyHive());
      EXPECT_EQ(0, import_reg_text(staged, text, kPrefix, 0, nullptr, kStagingForms));
      close_hive(staged);
    }
  }
  std::wstring cutAtEnd =
      L"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Added]\r\n"
      L"\"a\"=\"1\"\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Selec";
  EXPECT_EQ(-1, import_reg_text(img, cutAtEnd, kPrefix));
  EXPECT_EQ(before, ht::Dump(img));
  std::vector<RegTextSection> sections;
  EXPECT_FALSE(reg_text_sections(cutAtEnd, &sections));
  EXPECT_TRUE(reg_text_sections(cutAtEnd.substr(0, cutAtEnd.rfind(L"\r\n")), &sections));
  add_key(img, hive_root_key(img), L"Dirty");
  EXPECT_EQ(
      -1, import_reg_text(img, L"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\r\n\"v\"=hex:q\r\n",
                          kPrefix));
  EXPECT_TRUE(img->state & HIVE_STATE_DIRTY) << "dirty before, dirty after";
  EXPECT_NE(0u, find_key(img, 0, L"Dirty"));
  EXPECT_EQ(0u, find_key(img, 0, L"X"));
  // the restored image keeps working
  EXPECT_NE(0u, add_key(img, hive_root_key(img), L"After"));
  img = ht::Reload(img);
  EXPECT_NE(0u, find_key(img, 0, L"After"));
  close_hive(img);
}

TEST(RegFile, AnsiRegedit4AndLongLines) {
  std::wstring dir = vt::ScratchDir();
  std::string ansi =
      "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Old]\r\n\"s\"=\"plain text\"\r\n"
      "\"d\"=dword:00000010\r\n\"b\"=hex:";
  for (int i = 0; i < 21000; i++) ansi += (i ? ",7f" : "7f");  // one line of 62999 characters
  ansi += "\r\n";
  if (GetACP() == 1252) ansi += "\"caf\xe9\"=\"\xe9t\xe9\"\r\n";
  std::wstring file = dir + L"\\old.reg";
  ASSERT_TRUE(vt::WriteAll(file, ansi.data(), ansi.size()));
  HiveImage* img = ht::Load(ht::EmptyHive());
  ASSERT_EQ(0, import_reg_file(img, file.c_str(), kPrefix));
  uint32_t k = find_key(img, 0, L"Old");
  ASSERT_NE(0u, k);
  EXPECT_EQ(22, get_value_len(img, k, L"s"));
  EXPECT_EQ(4, get_value_type(img, k, L"d"));
  EXPECT_EQ(21000, get_value_len(img, k, L"b"));
  if (GetACP() == 1252) {
    EXPECT_EQ(1, get_value_type(img, k, L"caf\u00e9"));
  }

  // a long value written with continuation lines comes back byte for byte
  std::vector<uint8_t> big(70000);
  for (size_t i = 0; i < big.size(); i++) big[i] = (uint8_t)(i * 151);
  Set(img, k, L"big", 3, big);
  std::wstring out = dir + L"\\big.reg";
  ASSERT_EQ(0u, export_key_reg(img, 0, kPrefix, L"Old", out.c_str(), false, false));
  HiveImage* fresh = ht::Load(ht::EmptyHive());
  ASSERT_EQ(0, import_reg_file(fresh, out.c_str(), kPrefix));
  EXPECT_EQ(ht::Dump(img), ht::Dump(fresh));
  close_hive(fresh);
  close_hive(img);
}

TEST(RegFile, HivexregeditAgreesBothWays) {
  std::string dir = vt::ScratchDirUnix();
  std::wstring wdir = vt::ToWin(dir);
  HiveImage* img = AllTypesHive(true);
  uint32_t v = find_key(img, 0, L"Vendor");
  uint32_t cjk = add_key(img, v, L"\u4e2d\u6587 caf\u00e9");
  Set(img, cjk, L"\ud55c\uad6d", 1, U16(L"ascii"));
  Set(img, cjk, L"wide", 2, U16(L"\u65e5\u672c"));  // hex(2): passes
  std::vector<uint8_t> big(40000, 0x3C);
  Set(img, cjk, L"big", 3, big);
  std::string ours = ht::Dump(img);
  std::vector<uint8_t> bytes;
  save_hive_buffer(img, bytes);
  ASSERT_TRUE(vt::WriteAll(vt::ToWin(dir + "/src.hiv"), bytes));
  std::vector<uint8_t> empty = ht::EmptyHive();
  ASSERT_TRUE(vt::WriteAll(vt::ToWin(dir + "/a.hiv"), empty));
  ASSERT_TRUE(vt::WriteAll(vt::ToWin(dir + "/b.hiv"), empty));
  std::string out;

  // our export, merged by hivexregedit, gives the same hive content
  ASSERT_EQ(0u, export_key_reg(img, 0, kPrefix, L"", (wdir + L"\\ours.reg").c_str(), false, false));
  ASSERT_EQ(
      0, vt::Sh("cd " + vt::Q(dir) +
                    " && iconv -f UTF-16 -t UTF-8 ours.reg > ours8.reg && "
                    "hivexregedit --merge --prefix 'HKEY_LOCAL_MACHINE\\SOFTWARE' a.hiv ours8.reg",
                &out))
      << out;
  ht::ExpectSameDump(ours, ht::HivexDump(dir + "/a.hiv"), dir);

  // hivexregedit's export, imported by us, gives the same hive content
  ASSERT_EQ(0, vt::Sh("cd " + vt::Q(dir) +
                          " && hivexregedit --export --prefix 'HKEY_LOCAL_MACHINE\\SOFTWARE' "
                          "src.hiv '\\' > theirs.reg",
                      &out))
      << out;
  std::vector<uint8_t> theirs;
  ASSERT_TRUE(vt::ReadAll(vt::ToWin(dir + "/theirs.reg"), theirs));
  std::wstring text = vt::Widen(std::string(theirs.begin(), theirs.end()));
  HiveImage* fresh = ht::Load(empty);
  ASSERT_EQ(0, import_reg_text(fresh, text, kPrefix));
  ht::ExpectSameDump(ours, ht::Dump(fresh), dir);
  close_hive(fresh);

  // one .reg file merged by both into copies of one hive
  std::wstring script =
      L"Windows Registry Editor Version 5.00\r\n\r\n"
      L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor]\r\n\"sz\"=\"changed\"\r\n\"dw\"=-\r\n\"n\"=dword:00000007\r\n\r\n"
      L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\\u65b0]\r\n\"h\"=hex(2):41,00,00,00\r\n@=\"d\"\r\n\r\n"
      L"[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Sub]\r\n";
  ASSERT_TRUE(WriteUtf16File(wdir + L"\\merge.reg", script));
  ASSERT_EQ(
      0,
      vt::Sh(
          "cd " + vt::Q(dir) +
              " && cp src.hiv theirs.hiv && iconv -f UTF-16 -t UTF-8 merge.reg > m8.reg && "
              "hivexregedit --merge --prefix 'HKEY_LOCAL_MACHINE\\SOFTWARE' theirs.hiv m8.reg && "
              "hivexml theirs.hiv > /dev/null",
          &out))
      << out;
  ASSERT_EQ(0, import_reg_file(img, (wdir + L"\\merge.reg").c_str(), kPrefix));
  save_hive_buffer(img, bytes);
  ASSERT_TRUE(vt::WriteAll(vt::ToWin(dir + "/mine.hiv"), bytes));
  EXPECT_EQ(0, vt::Sh("hivexml " + vt::Q(dir + "/mine.hiv") + " > /dev/null"));
  ht::ExpectSameDump(ht::HivexDump(dir + "/theirs.hiv"), ht::HivexDump(dir + "/mine.hiv"), dir);
  close_hive(img);
}
