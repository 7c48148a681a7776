// Overlay files the program must never lose: a write-back or update file,
// or the base below it, with one byte changed, a sector zeroed or cut short
// is refused by every command (-15) with a line naming it, and every file
// stays byte for byte as it was. A write-back made for an earlier state of
// its base is discarded only by a command that writes, which says so; a
// command that only looks ("/check" included) fails and changes nothing.
#include <gtest/gtest.h>

#include <functional>

#include "BatchTestUtil.h"
#include "common/ByteOrder.h"

using namespace bt;

namespace {

const Kind kOwn = {"Own", "mbr2048", "raw", false, true, false};

// First sector of the leaf block that maps disk chunk 0 (root, second- and
// third-level tables each through entry 0), 0 when absent.
uint32_t FirstLeafBlock(const std::vector<uint8_t>& f) {
  uint32_t s = 8;
  for (int level = 0; level < 3; level++) {
    if ((size_t)s * 512 + 4 > f.size()) return 0;
    s = Ld32(&f[(size_t)s * 512]);
    if (!s) return 0;
  }
  return s;
}

struct Damage {
  const char* what;
  std::function<void(std::vector<uint8_t>&)> apply;
};

const Damage kOverlayDamage[] = {
    {"the header's magic", [](std::vector<uint8_t>& f) { f[0] ^= 1; }},
    {"the map header's magic", [](std::vector<uint8_t>& f) { f[512] ^= 1; }},
    {"a byte of a leaf block",
     [](std::vector<uint8_t>& f) { f[(size_t)FirstLeafBlock(f) * 512 + 16] ^= 0x10; }},
    {"a zeroed sector of a table block",
     [](std::vector<uint8_t>& f) { memset(&f[(size_t)Ld32(&f[8 * 512]) * 512], 0, 512); }},
    {"a zeroed sector of a leaf block",
     [](std::vector<uint8_t>& f) { memset(&f[(size_t)FirstLeafBlock(f) * 512], 0, 512); }},
    {"the file cut to one sector", [](std::vector<uint8_t>& f) { f.resize(512); }},
    {"the file cut in half", [](std::vector<uint8_t>& f) { f.resize(f.size() / 2 / 512 * 512); }},
};

class OverlayFiles {
 public:
  OverlayFiles() : d(MakeDisk(kOwn)) {
    EXPECT_EQ(0, vt::Sh("cd " + vt::Q(d.dir) +
                        " && mkdir -p Data && head -c 90000 /dev/urandom >"
                        " Data/one.bin && printf kept > Data/two.txt && printf new > new.txt"));
    image = d.ImageWin();
    fix = vt::ToWin(d.disks + "/wks.fix");
    update = image + L"_01.Upd";
  }
  std::wstring Inject(const std::wstring& to) const {
    return L"\"/inject:" + to + L"::" + vt::ToWin(d.dir + "/new.txt") + L"\"";
  }
  std::wstring Extract() const {
    return L"\"/extract:\\Data::" + vt::ToWin(d.dir + "/out") + L"\"";
  }
  // Every command on the chain given by args: -15, a line naming the file,
  // no file changed.
  void ExpectRefused(const std::wstring& args, const std::string& named, const std::string& where) {
    std::string before = FolderHashes(d.disks);
    for (const std::wstring& cmd : {Extract(), Inject(L"\\Data\\x.txt"), std::wstring(L"/check")}) {
      std::string out;
      EXPECT_EQ(DWORD(-15), RunVroOut(args + cmd, &out)) << where << ": " << vt::Narrow(cmd);
      EXPECT_NE(std::string::npos, out.find(named)) << where << ": " << vt::Narrow(cmd) << out;
      EXPECT_EQ(before, FolderHashes(d.disks)) << where << ": " << vt::Narrow(cmd);
    }
  }
  void Damaged(const std::string& unixPath, const std::string& saved, const Damage& damage) {
    std::vector<uint8_t> f;
    ASSERT_TRUE(vt::ReadAll(vt::ToWin(saved), f));
    damage.apply(f);
    ASSERT_TRUE(vt::WriteAll(vt::ToWin(unixPath), f));
  }

  Disk d;
  std::wstring image, fix, update;
};

TEST(OverlayDamage, DamagedOverlaysAndBasesAreRefusedAndKept) {
  OverlayFiles o;
  std::string data = o.d.dir + "/Data";
  std::wstring injectData = L"\"/inject:\\Data::" + vt::ToWin(data) + L"\"";
  ASSERT_EQ(0u, RunVroOut(ImageArgs(o.image, o.fix) + injectData, nullptr));
  ASSERT_EQ(0u, RunVroOut(ImageArgs(o.image) + injectData, nullptr));
  std::string fixUnix = o.d.disks + "/wks.Fix", updUnix = vt::ToUnix(o.update);
  std::string baseUnix = o.d.image;
  ASSERT_EQ(0, vt::Sh("cd " + vt::Q(o.d.disks) + " && cp wks.Fix ../fix.saved && cp " +
                      vt::Q(updUnix) + " ../upd.saved && cp disk.vmd ../base.saved"));
  for (const Damage& damage : kOverlayDamage) {
    o.Damaged(fixUnix, o.d.dir + "/fix.saved", damage);
    o.ExpectRefused(ImageArgs(o.image, o.fix), "wks.Fix",
                    std::string("write-back: ") + damage.what);
    ASSERT_EQ(0, vt::Sh("cp " + vt::Q(o.d.dir + "/fix.saved") + " " + vt::Q(fixUnix)));
    o.Damaged(updUnix, o.d.dir + "/upd.saved", damage);
    o.ExpectRefused(ImageArgs(o.update), "disk.vmd_01.Upd",
                    std::string("update file: ") + damage.what);
    ASSERT_EQ(0, vt::Sh("cp " + vt::Q(o.d.dir + "/upd.saved") + " " + vt::Q(updUnix)));
  }
  // The base's header: one byte, or its checksum zeroed; with the
  // write-back, the update file and alone.
  for (int zeroed : {0, 1}) {
    o.Damaged(baseUnix, o.d.dir + "/base.saved", {"", [&](std::vector<uint8_t>& f) {
                                                    if (zeroed)
                                                      memset(&f[74], 0, 4);
                                                    else
                                                      f[60] ^= 0x40;
                                                  }});
    std::string where = zeroed ? "base checksum zeroed" : "base header byte";
    o.ExpectRefused(ImageArgs(o.image, o.fix), "disk.vmd", where + ", write-back");
    o.ExpectRefused(ImageArgs(o.image), "disk.vmd", where);
  }
  ASSERT_EQ(0, vt::Sh("cp " + vt::Q(o.d.dir + "/base.saved") + " " + vt::Q(baseUnix)));
  // Whole again, everything opens with the earlier files.
  EXPECT_EQ(0u, RunVroOut(ImageArgs(o.image, o.fix) + L"/check", nullptr));
  EXPECT_EQ(0u, RunVroOut(ImageArgs(o.update) + o.Extract(), nullptr));
  EXPECT_EQ(0, vt::Sh("cmp " + vt::Q(o.d.dir + "/out/one.bin") + " " + vt::Q(data + "/one.bin")));
}

TEST(OverlayDamage, StaleWriteBackIsDiscardedOnlyByACommandThatWrites) {
  OverlayFiles o;
  ASSERT_EQ(0u, RunVroOut(ImageArgs(o.image, o.fix) + o.Inject(L"\\kept.txt"), nullptr));
  // The base changes on its own: the write-back now belongs to its
  // earlier state.
  ASSERT_EQ(0u, RunVroOut(ImageArgs(o.image) + L"-noupd " + o.Inject(L"\\base.txt"), nullptr));
  std::string fixUnix = o.d.disks + "/wks.Fix";
  std::string before = FolderHashes(o.d.disks);
  for (const std::wstring& cmd : {o.Extract(), std::wstring(L"/check")}) {
    std::string out;
    EXPECT_EQ(DWORD(-15), RunVroOut(ImageArgs(o.image, o.fix) + cmd, &out)) << vt::Narrow(cmd);
    EXPECT_NE(std::string::npos, out.find("wks.Fix")) << out;
    EXPECT_EQ(std::string::npos, out.find("discarded")) << out;
    EXPECT_EQ(before, FolderHashes(o.d.disks)) << vt::Narrow(cmd);
  }
  std::string out;
  EXPECT_EQ(0u, RunVroOut(ImageArgs(o.image, o.fix) + o.Inject(L"\\after.txt"), &out));
  EXPECT_NE(std::string::npos, out.find("wks.Fix")) << out;
  EXPECT_NE(std::string::npos, out.find("discarded")) << out;
  EXPECT_EQ(0u, RunVroOut(ImageArgs(o.image, o.fix) + L"\"/extract:\\after.txt::" +
                              vt::ToWin(o.d.dir + "/after.txt") + L"\"",
                          nullptr));
  EXPECT_NE(0u, RunVroOut(ImageArgs(o.image, o.fix) + L"\"/extract:\\kept.txt::" +
                              vt::ToWin(o.d.dir + "/kept.txt") + L"\"",
                          nullptr));
}

}  // namespace
