// Overlay files the program must never lose: a write-back or update file,
// or the base below it, with one byte changed, a sector zeroed or cut short
// is refused by every command (-15) with a line naming it, and every file
// stays byte for byte as it was; so is one without the program's checked
// mark (an earlier version's, or another writer's) whose structure fails.
// A write-back made for an earlier state of its base is discarded only by a
// command that writes, which says so; a command that only looks ("/check"
// included) fails and changes nothing. Over a raw image or VHD every
// command refuses it.
#include <gtest/gtest.h>

#include <functional>

#include "../../BatchTestUtil.h"
#include "../SparseFileMap.h"
#include "image/formats/sparse/ImageHeader.h"

using namespace bt;

namespace {

const Kind kOwn = {"Own", "mbr2048", "raw", false, true, false};

// First sector of the leaf block that maps disk chunk 0 (root, second- and
// third-level tables each through entry 0), 0 when absent.
uint32_t FirstLeafBlock(const std::vector<uint8_t>& f) {
  return sfm::FindLeaf(f, 0).block;
}

// First sector of the second-level table below root entry 0.
uint32_t SecondTable(const std::vector<uint8_t>& f) {
  return sfm::EntryAt(f, 8, 0);
}

// The first leaf of the first leaf block that has a chunk.
uint8_t* FirstChunkLeaf(std::vector<uint8_t>& f) {
  uint8_t* block = &f[(size_t)FirstLeafBlock(f) * 512];
  for (int i = 0; i < 128; i++)
    if (Ld32(block + i * 32)) return block + i * 32;
  return nullptr;
}

struct Damage {
  const char* what;
  std::function<void(std::vector<uint8_t>&)> apply;
};

// The file as an earlier version or another writer leaves it: no checked
// mark (nor what it records).
void Unmark(std::vector<uint8_t>& f) {
  memset(&f[512 + vroimg::kOffOrderedMark], 0,
         vroimg::kOffMarkGeneration + 4 - vroimg::kOffOrderedMark);
}

const Damage kEmptied = {"the file cut to 0 bytes", [](std::vector<uint8_t>& f) { f.clear(); }};

const Damage kOverlayDamage[] = {
    {"the header's signature", [](std::vector<uint8_t>& f) { f[4] ^= 1; }},
    {"a zeroed header sector", [](std::vector<uint8_t>& f) { memset(&f[0], 0, 512); }},
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

// Damage to a file without the mark that its structure shows.
const Damage kUnmarkedDamage[] = {
    {"the file cut in half", [](std::vector<uint8_t>& f) { f.resize(f.size() / 2 / 512 * 512); }},
    {"the file short by 4 KiB", [](std::vector<uint8_t>& f) { f.resize(f.size() - 4096); }},
    {"the file short by one sector", [](std::vector<uint8_t>& f) { f.resize(f.size() - 512); }},
    {"a zeroed root table sector", [](std::vector<uint8_t>& f) { memset(&f[8 * 512], 0, 512); }},
    {"a zeroed sector of a table block",
     [](std::vector<uint8_t>& f) { memset(&f[(size_t)SecondTable(f) * 512], 0, 512); }},
    {"a chunk in the header", [](std::vector<uint8_t>& f) { St32(FirstChunkLeaf(f), 8); }},
    {"a chunk over a table block",
     [](std::vector<uint8_t>& f) { St32(FirstChunkLeaf(f), SecondTable(f)); }},
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
      EXPECT_EQ(DWORD(-15), RunVro(args + cmd, &out)) << where << ": " << vt::Narrow(cmd);
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
  ASSERT_EQ(0u, RunVro(ImageArgs(o.image, o.fix) + injectData, nullptr));
  ASSERT_EQ(0u, RunVro(ImageArgs(o.image) + injectData, nullptr));
  std::string fixUnix = o.d.disks + "/wks.Fix", updUnix = vt::ToUnix(o.update);
  std::string baseUnix = o.d.image;
  ASSERT_EQ(0, vt::Sh("cd " + vt::Q(o.d.disks) + " && cp wks.Fix ../fix.saved && cp " +
                      vt::Q(updUnix) + " ../upd.saved && cp disk.vmd ../base.saved"));
  auto each = [&](const Damage& damage, bool unmarked, bool writeBack) {
    Damage d = {damage.what, [&](std::vector<uint8_t>& f) {
                  if (unmarked) Unmark(f);
                  damage.apply(f);
                }};
    std::string kind = std::string(unmarked ? " without the mark: " : ": ") + damage.what;
    if (writeBack) {
      o.Damaged(fixUnix, o.d.dir + "/fix.saved", d);
      o.ExpectRefused(ImageArgs(o.image, o.fix), "wks.Fix", "write-back" + kind);
      ASSERT_EQ(0, vt::Sh("cp " + vt::Q(o.d.dir + "/fix.saved") + " " + vt::Q(fixUnix)));
    }
    o.Damaged(updUnix, o.d.dir + "/upd.saved", d);
    o.ExpectRefused(ImageArgs(o.update), "disk.vmd_01.Upd", "update file" + kind);
    ASSERT_EQ(0, vt::Sh("cp " + vt::Q(o.d.dir + "/upd.saved") + " " + vt::Q(updUnix)));
  };
  for (const Damage& damage : kOverlayDamage) each(damage, false, true);
  for (const Damage& damage : kUnmarkedDamage) each(damage, true, true);
  // An empty write-back file is a new one to a command that writes.
  each(kEmptied, false, false);
  // The base's header: one byte, its checksum zeroed, its signature, all
  // of it zeroed, or the file emptied; with the write-back, the update
  // file and alone.
  const Damage kBaseDamage[] = {
      {"base header byte", [](std::vector<uint8_t>& f) { f[60] ^= 0x40; }},
      {"base checksum zeroed", [](std::vector<uint8_t>& f) { memset(&f[74], 0, 4); }},
      kOverlayDamage[0],
      kOverlayDamage[1],
      kEmptied};
  for (const Damage& damage : kBaseDamage) {
    o.Damaged(baseUnix, o.d.dir + "/base.saved", damage);
    std::string where = std::string("base: ") + damage.what;
    o.ExpectRefused(ImageArgs(o.image, o.fix), "disk.vmd", where + ", write-back");
    o.ExpectRefused(ImageArgs(o.update), "disk.vmd", where + ", update file");
    o.ExpectRefused(ImageArgs(o.image), "disk.vmd", where);
  }
  ASSERT_EQ(0, vt::Sh("cp " + vt::Q(o.d.dir + "/base.saved") + " " + vt::Q(baseUnix)));
  // Whole again, everything opens with the earlier files; without the mark
  // too, and a command that writes then takes the file under its checks.
  EXPECT_EQ(0u, RunVro(ImageArgs(o.image, o.fix) + L"/check", nullptr));
  EXPECT_EQ(0u, RunVro(ImageArgs(o.update) + o.Extract(), nullptr));
  EXPECT_EQ(0, vt::Sh("cmp " + vt::Q(o.d.dir + "/out/one.bin") + " " + vt::Q(data + "/one.bin")));
  o.Damaged(fixUnix, o.d.dir + "/fix.saved", {"", Unmark});
  EXPECT_EQ(0u, RunVro(ImageArgs(o.image, o.fix) + o.Inject(L"\\Data\\x.txt"), nullptr));
  std::vector<uint8_t> stamped;
  ASSERT_TRUE(vt::ReadAll(vt::ToWin(fixUnix), stamped));
  stamped[(size_t)FirstLeafBlock(stamped) * 512 + 16] ^= 0x10;
  ASSERT_TRUE(vt::WriteAll(vt::ToWin(fixUnix), stamped));
  std::string out;
  EXPECT_EQ(DWORD(-15), RunVro(ImageArgs(o.image, o.fix) + o.Extract(), &out)) << out;
}

// Whatever a command cannot open is named: an image that is not there or
// holds no volume, an update file whose base is not beside it (whatever
// else lies there), a write-back file that cannot be made, a pattern of
// files to import that matches none.
TEST(OverlayDamage, EveryFileNotOpenedIsNamed) {
  OverlayFiles o;
  ASSERT_EQ(0u, RunVro(ImageArgs(o.image) + o.Inject(L"\\x.txt"), nullptr));
  std::string lone = o.d.dir + "/lone";
  ASSERT_EQ(0, vt::Sh("head -c 1048576 /dev/zero > " + vt::Q(o.d.disks + "/plain.img") +
                      " && mkdir " + vt::Q(lone) + " && cp " + vt::Q(vt::ToUnix(o.update)) + " " +
                      vt::Q(lone) + " && head -c 4096 " + vt::Q(vt::ToUnix(o.update)) + " > " +
                      vt::Q(lone + "/cut.Fix")));
  std::wstring disks = vt::ToWin(o.d.disks);
  const struct {
    std::wstring args;
    const char* named;
  } kCases[] = {
      {ImageArgs(disks + L"\\none.vmd") + o.Extract(), "none.vmd"},
      {ImageArgs(disks + L"\\plain.img") + o.Extract(), "plain.img"},
      {ImageArgs(vt::ToWin(lone + "/disk.vmd_01.Upd")) + o.Extract(), "disk.vmd_01.Upd"},
      {ImageArgs(o.image, disks + L"\\gone\\wks.fix") + o.Inject(L"\\x.txt"), "wks.Fix"},
      {ImageArgs(o.image) + L"\"/import:" + disks + L"\\none*.reg\"", "none*.reg"},
  };
  std::string before = FolderHashes(o.d.disks);
  for (const auto& c : kCases) {
    std::string out;
    EXPECT_EQ(DWORD(-15), RunVro(c.args, &out)) << vt::Narrow(c.args);
    EXPECT_NE(std::string::npos, out.find(c.named)) << vt::Narrow(c.args) << out;
  }
  EXPECT_EQ(before, FolderHashes(o.d.disks));

  // A new write-back file on a full host disk: the host's line first, and
  // nothing left there.
  {
    const std::string full = o.d.dir + "/full";
    vt::SmallVolume volume(full, "1m");
    ASSERT_TRUE(volume.Mounted());
    vt::Sh("head -c 2000000 /dev/zero > " + vt::Q(full + "/fill") + " 2>/dev/null");
    std::string out;
    EXPECT_EQ(DWORD(-15), RunVro(ImageArgs(o.image, vt::ToWin(full + "/wks.fix")) +
                                     o.Inject(L"\\x.txt"),
                                 &out));
    EXPECT_EQ(0u, out.find("Could not write " + vt::Narrow(vt::ToWin(full + "/wks.Fix")) +
                           " (error 112"))
        << out;
    EXPECT_EQ(std::string::npos, out.find("no such folder")) << out;
    std::string left;
    vt::Sh("ls " + vt::Q(full), &left);
    EXPECT_EQ("fill\n", left);
  }
  // An own image on read-only media: each writing command names the update
  // file it cannot make beside the image, with the host's cause, and
  // nothing else is blamed; the image stays as it was.
  {
    const std::string ro = o.d.dir + "/ro";
    vt::SmallVolume volume(ro, "64m");
    ASSERT_TRUE(volume.Mounted());
    const std::wstring reg = vt::ToWin(o.d.dir + "/one.reg");
    rt::WriteRegFile(reg, L"Windows Registry Editor Version 5.00\r\n\r\n"
                          L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ro]\r\n\"v\"=\"1\"\r\n\r\n");
    ASSERT_EQ(0, vt::Sh("cp " + vt::Q(o.d.image) + " " + vt::Q(ro) + " && mount -o remount,ro " +
                        vt::Q(ro)));
    const std::wstring image = vt::ToWin(ro + "/disk.vmd");
    const std::string line = vt::Narrow(image) +
                             "_01.Upd: the update file that takes the changes cannot be made "
                             "beside the image: nothing written (error ";
    const std::string hash = vt::Sha256(image);
    for (const std::wstring& cmd :
         {o.Inject(L"\\x.txt"), std::wstring(L"/format"), std::wstring(L"/size:40"),
          std::wstring(L"/repair"), L"\"/import:" + reg + L"\""}) {
      std::string out;
      EXPECT_NE(0u, RunVro(ImageArgs(image) + cmd, &out)) << vt::Narrow(cmd);
      EXPECT_EQ(0u, out.find(line)) << vt::Narrow(cmd) << out;
      EXPECT_EQ(std::string::npos, out.find("room")) << vt::Narrow(cmd) << out;
      EXPECT_EQ(hash, vt::Sha256(image)) << vt::Narrow(cmd);
    }
  }
}

// Commands that fail, or that write nothing, through a write-back file:
// each keeps every file of the folder as it was (no file discarded, none
// made) and says nothing of a discard.
void ExpectNothingChanged(const std::wstring& args, const std::string& folder,
                          const std::vector<std::pair<std::wstring, DWORD>>& commands) {
  const std::string before = FolderHashes(folder);
  for (const auto& c : commands) {
    std::string out;
    EXPECT_EQ(c.second, RunVro(args + c.first, &out)) << vt::Narrow(c.first) << out;
    EXPECT_EQ(std::string::npos, out.find("discarded")) << vt::Narrow(c.first) << out;
    EXPECT_EQ(before, FolderHashes(folder)) << vt::Narrow(c.first);
  }
}

TEST(OverlayDamage, StaleWriteBackIsDiscardedOnlyByACommandThatWrites) {
  OverlayFiles o;
  ASSERT_EQ(0u, RunVro(ImageArgs(o.image, o.fix) + o.Inject(L"\\kept.txt"), nullptr));
  // The base changes on its own: the write-back now belongs to its
  // earlier state.
  ASSERT_EQ(0u, RunVro(ImageArgs(o.image) + L"-noupd " + o.Inject(L"\\base.txt"), nullptr));
  std::string fixUnix = o.d.disks + "/wks.Fix";
  std::string before = FolderHashes(o.d.disks);
  for (const std::wstring& cmd : {o.Extract(), std::wstring(L"/check")}) {
    std::string out;
    EXPECT_EQ(DWORD(-15), RunVro(ImageArgs(o.image, o.fix) + cmd, &out)) << vt::Narrow(cmd);
    EXPECT_NE(std::string::npos, out.find("wks.Fix")) << out;
    EXPECT_EQ(std::string::npos, out.find("discarded")) << out;
    EXPECT_EQ(before, FolderHashes(o.d.disks)) << vt::Narrow(cmd);
  }
  // Writing commands that fail, or write nothing, discard nothing.
  const std::wstring disks = vt::ToWin(o.d.disks);
  const std::vector<std::pair<std::wstring, DWORD>> failing = {
      {L"\"/import:" + disks + L"\\none*.reg\"", DWORD(-15)},
      {L"\"/inject:\\x.txt::" + disks + L"\\missing.txt\"", DWORD(-12)},
      {L"\"/importfile:HKEY_USERS\\X\\v=" + vt::ToWin(o.d.dir + "/new.txt") + L"\"", DWORD(-16)},
  };
  ExpectNothingChanged(ImageArgs(o.image, o.fix), o.d.disks, failing);
  std::string out;
  EXPECT_EQ(0u, RunVro(ImageArgs(o.image, o.fix) + o.Inject(L"\\after.txt"), &out));
  EXPECT_NE(std::string::npos, out.find("wks.Fix")) << out;
  EXPECT_NE(std::string::npos, out.find("discarded")) << out;
  EXPECT_EQ(0u, RunVro(ImageArgs(o.image, o.fix) + L"\"/extract:\\after.txt::" +
                              vt::ToWin(o.d.dir + "/after.txt") + L"\"",
                          nullptr));
  EXPECT_NE(0u, RunVro(ImageArgs(o.image, o.fix) + L"\"/extract:\\kept.txt::" +
                              vt::ToWin(o.d.dir + "/kept.txt") + L"\"",
                          nullptr));

  // Over a raw image, whose state is told by what a write changes (which a
  // copy of it may change too), no command discards it: each refuses it.
  Disk raw = MakeDisk({"Raw", "mbr2048", "raw", false, false, false}, o.d.dir + "/raw");
  const std::wstring rawFix = vt::ToWin(raw.disks + "/wks.fix");
  const std::wstring inject = L"\"/inject:\\kept.txt::" + vt::ToWin(o.d.dir + "/new.txt") + L"\"";
  ASSERT_EQ(0u, RunVro(ImageArgs(raw.ImageWin(), rawFix) + inject));
  ASSERT_EQ(0u, RunVro(ImageArgs(raw.ImageWin()) + inject));
  before = FolderHashes(raw.disks);
  for (const std::wstring& cmd : {o.Extract(), std::wstring(L"/check"), inject}) {
    EXPECT_EQ(DWORD(-15), RunVro(ImageArgs(raw.ImageWin(), rawFix) + cmd, &out)) << vt::Narrow(cmd);
    EXPECT_NE(std::string::npos,
              out.find("wks.Fix: it was made for an earlier state of its base image"))
        << out;
    EXPECT_EQ(std::string::npos, out.find("discarded")) << out;
    EXPECT_EQ(before, FolderHashes(raw.disks)) << vt::Narrow(cmd);
  }
  // A new write-back file is made only by a write that happens: a failing
  // command makes none, over a plain image as over the own format, nor does
  // a repair that cannot work on an exFAT volume.
  const std::wstring fresh = vt::ToWin(raw.disks + "/fresh.fix");
  ExpectNothingChanged(ImageArgs(raw.ImageWin(), fresh), raw.disks, failing);
  ExpectNothingChanged(ImageArgs(o.image, fresh), o.d.disks, failing);
  const std::string exfat = o.d.dir + "/exfat";
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(exfat)));
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(exfat + "/ex.img") + " --size 16 --fs exfat"));
  ExpectNothingChanged(ImageArgs(vt::ToWin(exfat + "/ex.img"), vt::ToWin(exfat + "/fresh.fix")),
                       exfat, {{L"/repair", DWORD(-2)}});
}

}  // namespace
