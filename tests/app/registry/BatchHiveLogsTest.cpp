// Hive files as Windows and damage leave them, through the real program.
// "/import:" into images whose SYSTEM hive Windows left with an unfinished
// write and its newest changes in SYSTEM.LOG1 and SYSTEM.LOG2 (real data):
// the import lands on the hive brought up to date and is saved through the
// logs; a log that fails its checks leaves the hive read-only and as it
// was; without logs the hive as it stands takes the import. Read back with
// ntfscat, hivexsh, hivexregedit and an independent replay of the logs.
#include <gtest/gtest.h>

#include "../BatchTestUtil.h"
#include "../../registry/hive/RealHives.h"
#include "registry/hive/HiveOps.h"

using namespace bt;

namespace {

const char kConfig[] = "/Windows/System32/config/";

// A partitionless NTFS image holding the hive and whichever logs setup
// leaves in the config folder.
std::string MakeImage(const std::string& dir, const std::string& setup) {
  std::string tree = dir + "/tree", config = tree + kConfig;
  EXPECT_EQ(0,
            vt::Sh("mkdir -p " + vt::Q(config) + " && cp " + vt::Q(dir + "/SYSTEM_B") + " " +
                   vt::Q(config + "SYSTEM") + " && cp " + vt::Q(dir + "/SYSTEM_B.LOG1") + " " +
                   vt::Q(config + "SYSTEM.LOG1") + " && cp " + vt::Q(dir + "/SYSTEM_B.LOG2") + " " +
                   vt::Q(config + "SYSTEM.LOG2") + " && cd " + vt::Q(config) + " && " + setup));
  std::string image = dir + "/disk.img";
  EXPECT_TRUE(
      vt::Fixture("mk-disk.sh " + vt::Q(image) + " --layout none --size 64 --tree " + vt::Q(tree)));
  return image;
}

std::string Cat(const std::string& image, const std::string& file, const std::string& out) {
  EXPECT_EQ(0, vt::Sh("ntfscat " + vt::Q(image) + " " + vt::Q(std::string(kConfig) + file) + " > " +
                      vt::Q(out)));
  return out;
}

std::string Output(const std::string& command) {
  std::string out;
  vt::Sh(command, &out);
  return out;
}

// A .reg file (UTF-16) that sets SOFTWARE\VroBig's value "v" to a text of
// `chars` characters `fill`.
std::wstring BigReg(const std::string& path, size_t chars, wchar_t fill) {
  std::wstring text = L"Windows Registry Editor Version 5.00\r\n\r\n"
                      L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\VroBig]\r\n\"v\"=\"" +
                      std::wstring(chars, fill) + L"\"\r\n";
  std::vector<uint8_t> bytes = {0xFF, 0xFE};
  for (wchar_t c : text) {
    bytes.push_back(uint8_t(c));
    bytes.push_back(uint8_t(c >> 8));
  }
  std::wstring win = vt::ToWin(path);
  EXPECT_TRUE(vt::WriteAll(win, bytes));
  return win;
}

}  // namespace

TEST(BatchHiveLogs, ImportLandsOnTheHiveBroughtUpToDate) {
  std::string dir = vt::ScratchDirUnix();
  if (!rh::Unpack(dir, {"SYSTEM_B", "SYSTEM_B.LOG1", "SYSTEM_B.LOG2"}))
    GTEST_SKIP() << "no real hives in " << rh::Dir();
  std::string py = rh::HiveLogsPy();
  std::string replayed = dir + "/replayed";
  unsigned long lastInLogs =
      std::stoul(Output(py + " recover " + vt::Q(dir + "/SYSTEM_B") + " " + vt::Q(replayed) + " " +
                        vt::Q(dir + "/SYSTEM_B.LOG1") + " " + vt::Q(dir + "/SYSTEM_B.LOG2")));
  ASSERT_EQ(2130u, lastInLogs) << "the highest sequence number in either log";
  // The logs hold changes the hive file lacks.
  ASSERT_NE(Output(py + " dump " + vt::Q(dir + "/SYSTEM_B")),
            Output(py + " dump " + vt::Q(replayed)));

  std::wstring reg = vt::ToWin(dir + "/in.reg");
  std::vector<uint8_t> text = {0xFF, 0xFE};
  for (wchar_t c :
       std::wstring(L"Windows Registry Editor Version 5.00\r\n\r\n"
                    L"[HKEY_LOCAL_MACHINE\\SYSTEM\\VroImport]\r\n"
                    L"\"@\"=\"named at\"\r\n@=\"default\"\r\n\"n\"=dword:00000007\r\n")) {
    text.push_back(uint8_t(c));
    text.push_back(uint8_t(c >> 8));
  }
  ASSERT_TRUE(vt::WriteAll(reg, text));

  struct Case {
    const char* what;
    const char* setup;  // run in the config folder
    DWORD exitCode;
    bool fromLogs;  // the saved hive is the replayed one plus the import
  };
  const Case cases[] = {
      {"pending logs", "true", 0, true},
      {"a broken entry", "printf x | dd of=SYSTEM.LOG1 bs=1 seek=1536 conv=notrunc status=none",
       DWORD(-16), false},
      {"logs removed", "rm SYSTEM.LOG1 SYSTEM.LOG2", 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string sub = dir + "/" + std::to_string(&c - cases);
    ASSERT_EQ(
        0, vt::Sh("mkdir -p " + vt::Q(sub) + " && cp " + vt::Q(dir) + "/SYSTEM_B* " + vt::Q(sub)));
    std::string image = MakeImage(sub, c.setup);
    EXPECT_EQ(c.exitCode, RunVro(ImageArgs(vt::ToWin(image)) + L"\"/import:" + reg + L"\""));
    std::string saved = Cat(image, "SYSTEM", sub + "/saved");
    if (c.exitCode != 0) {
      // Read-only: the hive file is exactly as Windows left it.
      EXPECT_EQ(0, vt::Sh("cmp " + vt::Q(saved) + " " + vt::Q(dir + "/SYSTEM_B")));
      continue;
    }
    // Equal sequence numbers above every one in the logs, a valid checksum.
    unsigned long s1 = 0, s2 = 0, sound = 0;
    ASSERT_EQ(3,
              sscanf(Output(py + " seq " + vt::Q(saved)).c_str(), "%lu %lu %lu", &s1, &s2, &sound));
    EXPECT_EQ(s1, s2);
    EXPECT_GT(s1, c.fromLogs ? lastInLogs : 1622ul) << "above the logs', or the hive's own";
    EXPECT_EQ(1u, sound);
    // hivexregedit and hivexsh read it whole.
    std::string out;
    EXPECT_EQ(0, vt::Sh("hivexregedit --export " + vt::Q(saved) + " '\\' > /dev/null", &out))
        << out;
    EXPECT_EQ(0, vt::Sh("printf 'cd VroImport\\nlsval\\n' | hivexsh " + vt::Q(saved), &out)) << out;
    EXPECT_NE(std::string::npos, out.find("named at")) << out;
    EXPECT_NE(std::string::npos, out.find("default")) << out;
    // The imported values, and nothing else changed.
    std::string dump = Output(py + " dump " + vt::Q(saved));
    for (const char* line : {"V \\VroImport|@|1|named at\n", "V \\VroImport||1|default\n",
                             "V \\VroImport|n|4|07000000\n"})
      EXPECT_NE(std::string::npos, dump.find(line)) << line;
    std::string rest = Output(py + " dump " + vt::Q(saved) + " | grep -v '^[KV] .VroImport'");
    EXPECT_TRUE(rest == Output(py + " dump " + vt::Q(c.fromLogs ? replayed : dir + "/SYSTEM_B")))
        << "only the imported key differs";
    // The save went through the logs as Windows' own does: replayed over
    // the hive file as it lay before the save, the logs now on the volume
    // give exactly the saved hive.
    if (c.fromLogs) {
      std::string again = sub + "/again";
      Output(py + " recover " + vt::Q(dir + "/SYSTEM_B") + " " + vt::Q(again) + " " +
             vt::Q(Cat(image, "SYSTEM.LOG1", sub + "/log1")) + " " +
             vt::Q(Cat(image, "SYSTEM.LOG2", sub + "/log2")));
      EXPECT_EQ(0, vt::Sh("cmp -n $(stat -c %s " + vt::Q(again) + ") " + vt::Q(again) + " " +
                          vt::Q(saved)));
    }
  }
}

// A .reg import whose hive save fails part way is taken back whole: the
// image byte for byte as before (the hive, both logs at their old length
// and bytes, the records and the maps of the volume). Once when the volume
// has not the room for the save, after two imports left SOFTWARE.LOG1 and
// .LOG2 on it; once when $Bitmap marks free the clusters of a file, and
// the save's log or the hive's growth would take them.
TEST(BatchHiveLogs, AnImportWhoseSaveFailsLeavesTheImageAsItWas) {
  const std::string dir = vt::ScratchDirUnix(), tree = dir + "/tree", image = dir + "/disk.img";
  ASSERT_TRUE(vt::Fixture("mk-wintree.sh " + vt::Q(tree) + " --no-kernel"));
  ASSERT_EQ(0, vt::Sh("head -c 8000000 /dev/urandom > " + vt::Q(tree + "/fill.bin")));
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(image) + " --layout none --size 24 --tree " +
                          vt::Q(tree)));
  const std::wstring args = ImageArgs(vt::ToWin(image));
  // Two imports: each save writes the log the other does not hold.
  for (wchar_t c : {L'a', L'b'})
    ASSERT_EQ(0u, RunVro(args + L"\"/import:" +
                         BigReg(dir + "/small.reg", 2000 + (c - L'a') * 5000, c) + L"\""));
  std::string logs = Output("ntfsls " + vt::Q(image) + " -p " + vt::Q(kConfig));
  ASSERT_NE(std::string::npos, logs.find("SOFTWARE.LOG1")) << logs;
  ASSERT_NE(std::string::npos, logs.find("SOFTWARE.LOG2")) << logs;
  const std::string logged = dir + "/logged.img";
  ASSERT_EQ(0, vt::Sh("cp " + vt::Q(image) + " " + vt::Q(logged)));
  const std::wstring big = BigReg(dir + "/big.reg", 1500000, L'z');

  struct Case {
    const char* what;
    const char* setup;  // run over the image
  } cases[] = {
      {"no room", "head -c $(( ($(ntfsinfo -m IMG 2>/dev/null | awk '/Free Clusters/ "
                  "{ print $3 }') - 100) * 4096 )) /dev/zero > FILL && ntfscp IMG FILL "
                  "/filler.bin >/dev/null 2>&1"},
      {"$Bitmap marks free a file's clusters",
       "python3 tests/fixtures/ntfs-bitmap-damage.py IMG file fill.bin >/dev/null"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string setup = c.setup, out;
    for (size_t at; (at = setup.find("IMG")) != std::string::npos;) setup.replace(at, 3, vt::Q(image));
    for (size_t at; (at = setup.find("FILL")) != std::string::npos;)
      setup.replace(at, 4, vt::Q(dir + "/filler"));
    ASSERT_EQ(0, vt::Sh("cp " + vt::Q(logged) + " " + vt::Q(image) + " && " + setup, &out)) << out;
    const std::string before = dir + "/before.img";
    ASSERT_EQ(0, vt::Sh("cp " + vt::Q(image) + " " + vt::Q(before)));
    EXPECT_EQ(DWORD(-16), RunVro(args + L"\"/import:" + big + L"\"", &out)) << out;
    EXPECT_EQ(0, vt::Sh("cmp " + vt::Q(before) + " " + vt::Q(image), &out)) << out;
    EXPECT_FALSE(vt::FileExists(vt::ToWin(image + ".journal")));
  }
}

// Damage that stops an export fails it: a key listed as its own subkey is
// written once, and the export ends with -12 instead of nesting the key
// again and again.
TEST(BatchHiveLogs, AKeyListedAsItsOwnSubkeyFailsTheExport) {
  std::string dir = vt::ScratchDirUnix(), tree = dir + "/tree";
  ASSERT_TRUE(vt::Fixture("mk-wintree.sh " + vt::Q(tree) + " --no-kernel"));
  std::wstring system = vt::ToWin(tree + kConfig + "SYSTEM");
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(vt::ReadAll(system, bytes));
  HiveImage* img = nullptr;
  ASSERT_EQ(REG_STATUS_OK, load_hive_buffer(bytes.data(), bytes.size(), &img));
  uint32_t vro = find_key(img, 0, L"Vro");
  ASSERT_NE(0u, add_key(img, vro, L"Child"));
  vro = find_key(img, 0, L"Vro");
  uint32_t index = read_le32(img->buffer + vro + 0x1C) + 0x1000 + 4;
  write_le32(img->buffer + index + 4, vro - 4 - 0x1000);  // its first subkey is itself
  save_hive_buffer(img, bytes);
  close_hive(img);
  ASSERT_TRUE(vt::WriteAll(system, bytes));
  std::string image = dir + "/disk.img";
  ASSERT_TRUE(
      vt::Fixture("mk-disk.sh " + vt::Q(image) + " --layout none --size 24 --tree " + vt::Q(tree)));
  std::wstring out = vt::ToWin(dir);
  EXPECT_EQ(DWORD(-12), RunVro(ImageArgs(vt::ToWin(image)) + L"\"/export:" + out +
                               L"\\all.reg::HKEY_LOCAL_MACHINE\\SYSTEM\""));
  EXPECT_EQ(DWORD(0), RunVro(ImageArgs(vt::ToWin(image)) + L"\"/export:" + out +
                             L"\\select.reg::HKEY_LOCAL_MACHINE\\SYSTEM\\Select\""));
}
