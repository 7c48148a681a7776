// Overlays after a writer that died or whose file refused a write: for every
// write of a command into an update file or a write-back file, the command
// is stopped (or that write fails) there; the chain must open again, hold
// every sector of the earlier command and a prefix of the interrupted
// command's writes, and take a later command's writes without harm to
// either.
#include <gtest/gtest.h>
#include <cstring>
#include <algorithm>
#include <map>

#include "../ImageTestUtil.h"
#include "../WriteFaults.h"
#include "image/formats/sparse/ImageHeader.h"
#include "image/stack/MountRw.h"
#include "image/stack/OverlayNotice.h"

using namespace it;

namespace {

// Four 512 KiB windows in different leaf blocks (8 MiB of disk each), so
// map blocks leave the caches and come back while a command runs.
const uint64_t kWindowSectors = 1024;
const uint64_t kWindows[] = {0, 16384, 32768, 49152};

struct Op {
  uint64_t sector;
  uint32_t count;
  uint32_t seed;
};

std::vector<Op> MakeOps(uint32_t seed, int n) {
  std::mt19937 rng(seed);
  std::vector<Op> ops;
  for (int i = 0; i < n; i++) {
    uint32_t count = rng() % 4 == 0 ? 1 + rng() % 400 : 1 + rng() % 16;
    uint64_t at = kWindows[rng() % 4] + rng() % (kWindowSectors - count);
    ops.push_back({at, count, seed * 1000 + i});
  }
  return ops;
}

uint64_t Hash(const uint8_t* p) {
  uint64_t h = 1469598103934665603ull;
  for (int i = 0; i < 512; i++) h = (h ^ p[i]) * 1099511628211ull;
  return h;
}

// Every window sector, read through the chain.
std::vector<uint8_t> ReadWindows(_VROH_MOUNT_RW& d) {
  std::vector<uint8_t> all(4 * kWindowSectors * 512);
  for (int w = 0; w < 4; w++) {
    uint32_t n = (uint32_t)(kWindowSectors * 512);
    EXPECT_EQ((int64_t)n, d.ReadBytes(nullptr, kWindows[w] * 512, &all[w * n], n));
  }
  return all;
}

size_t WindowIndex(uint64_t sector) {
  for (int w = 0; w < 4; w++)
    if (sector >= kWindows[w] && sector < kWindows[w] + kWindowSectors)
      return (size_t)(w * kWindowSectors + sector - kWindows[w]);
  return (size_t)-1;
}

// Writes the ops; false when any write or the final close reported a failure.
bool RunCommand(_VROH_MOUNT_RW& d, const std::vector<Op>& ops) {
  bool ok = true;
  for (const Op& op : ops) {
    std::vector<uint8_t> data = Random(op.count * 512, op.seed);
    if (d.WriteBytes(nullptr, op.sector * 512, data.data(), data.size()) != (int64_t)data.size())
      ok = false;
  }
  return d.CloseLayers() == 0 && ok;
}

class Chain {
 public:
  // fix: commands write a write-back file over the base, else the update
  // file the first command made, opened as the image.
  explicit Chain(bool fix) : m_Fix(fix) {
    std::wstring dir = vt::ScratchDir();
    m_Base = Path(dir, L"b.img");
    EXPECT_EQ(0, _VROH_RW_CLASS::Create(m_Base.c_str(), 32, 6));
    {
      _VROH_MOUNT_RW d;
      EXPECT_EQ(12, d.OpenChain(m_Base.c_str(), L"", VRO_WRITE_OVERLAY));
      for (int w = 0; w < 4; w++) {
        std::vector<uint8_t> fill = Random(kWindowSectors * 512, 90 + w);
        EXPECT_EQ((int64_t)fill.size(),
                  d.WriteBytes(nullptr, kWindows[w] * 512, fill.data(), fill.size()));
      }
    }
    m_Top = fix ? Path(dir, L"ws.Fix") : m_Base + L"_01.Upd";
    _VROH_MOUNT_RW d;
    EXPECT_EQ(fix ? 10 : 13, d.OpenChain(m_Base.c_str(), fix ? m_Top.c_str() : L"", 1));
    EXPECT_TRUE(RunCommand(d, MakeOps(1, 40)));
    m_Saved = m_Top + L".saved";
    EXPECT_TRUE(CopyFileW(m_Top.c_str(), m_Saved.c_str(), FALSE));
    _VROH_MOUNT_RW r;
    EXPECT_EQ(ReadOnlyCode(), OpenReadOnly(r));
    m_Before = ReadWindows(r);
  }

  // Opens the chain for a command; the code OpenChain gives.
  int OpenWritable(_VROH_MOUNT_RW& d) {
    return m_Fix ? d.OpenChain(m_Base.c_str(), m_Top.c_str(), 1)
                 : d.OpenChain(m_Top.c_str(), L"", 1);
  }
  int OpenReadOnly(_VROH_MOUNT_RW& d) {
    return m_Fix ? d.OpenChain(m_Base.c_str(), m_Top.c_str(), 0)
                 : d.OpenChain(m_Top.c_str(), L"", 0);
  }
  int ReadOnlyCode() const { return m_Fix ? 10 : 22; }
  void Restore() { ASSERT_TRUE(CopyFileW(m_Saved.c_str(), m_Top.c_str(), FALSE)); }
  const std::wstring& Top() const { return m_Top; }
  const std::wstring& Saved() const { return m_Saved; }

  std::vector<uint8_t> m_Before;  // the windows after the first command

 private:
  bool m_Fix;
  std::wstring m_Base, m_Top, m_Saved;
};

// Every value each window sector may take while ops run.
std::map<size_t, std::vector<uint64_t>> Allowed(const std::vector<Op>& ops) {
  std::map<size_t, std::vector<uint64_t>> allowed;
  for (const Op& op : ops) {
    std::vector<uint8_t> data = Random(op.count * 512, op.seed);
    for (uint32_t i = 0; i < op.count; i++)
      allowed[WindowIndex(op.sector + i)].push_back(Hash(&data[i * 512]));
  }
  return allowed;
}

// Each sector holds its value from before, one the interrupted command
// wrote, or (when given) exactly what the later command wrote.
void ExpectConsistent(const std::vector<uint8_t>& got, const std::vector<uint8_t>& before,
                      const std::map<size_t, std::vector<uint64_t>>& allowed,
                      const std::vector<uint8_t>* later, const std::vector<bool>* laterMask,
                      const std::string& where) {
  int bad = 0;
  for (size_t i = 0; i < got.size() / 512 && bad < 3; i++) {
    const uint8_t* s = &got[i * 512];
    if (laterMask && (*laterMask)[i]) {
      if (memcmp(s, &(*later)[i * 512], 512) != 0) {
        ADD_FAILURE() << where << ": sector " << i << " lost the later command's data";
        bad++;
      }
      continue;
    }
    if (memcmp(s, &before[i * 512], 512) == 0) continue;
    auto a = allowed.find(i);
    uint64_t h = Hash(s);
    if (a != allowed.end() && std::find(a->second.begin(), a->second.end(), h) != a->second.end())
      continue;
    ADD_FAILURE() << where << ": sector " << i << " holds neither its old value nor one written";
    bad++;
  }
}

// The windows hold what they held before with ops 1..M applied and op M + 1
// in part (each of its sectors old or new), for some M: a prefix of the
// command, whatever leaf blocks its writes went through.
void ExpectPrefix(const std::vector<uint8_t>& got, std::vector<uint8_t> state,
                  const std::vector<Op>& ops, const std::string& where) {
  for (const Op& op : ops) {
    std::vector<uint8_t> data = Random(op.count * 512, op.seed);
    bool torn = true;
    for (size_t i = 0; i < got.size() / 512 && torn; i++) {
      if (memcmp(&got[i * 512], &state[i * 512], 512) == 0) continue;
      size_t k = (size_t)-1;
      for (uint32_t j = 0; j < op.count; j++)
        if (WindowIndex(op.sector + j) == i) k = j;
      torn = k != (size_t)-1 && memcmp(&got[i * 512], &data[k * 512], 512) == 0;
    }
    if (torn) return;
    for (uint32_t j = 0; j < op.count; j++)
      memcpy(&state[WindowIndex(op.sector + j) * 512], &data[j * 512], 512);
  }
  if (got != state) ADD_FAILURE() << where << ": the windows are no prefix of the command";
}

// What a later command leaves in the windows, and where.
struct Later {
  std::vector<Op> ops;
  std::vector<uint8_t> data;
  std::vector<bool> mask;
  explicit Later(size_t bytes) : ops(MakeOps(3, 12)), data(bytes), mask(bytes / 512, false) {
    for (const Op& op : ops) {
      std::vector<uint8_t> d = Random(op.count * 512, op.seed);
      for (uint32_t i = 0; i < op.count; i++) {
        size_t k = WindowIndex(op.sector + i);
        memcpy(&data[k * 512], &d[i * 512], 512);
        mask[k] = true;
      }
    }
  }
};

void EveryWriteOfACommand(bool fix) {
  Chain chain(fix);
  const std::vector<Op> ops = MakeOps(2, 30);
  std::map<size_t, std::vector<uint64_t>> allowed = Allowed(ops);
  Later laterCmd(chain.m_Before.size());
  const std::vector<Op>& later = laterCmd.ops;
  const std::vector<uint8_t>& laterData = laterCmd.data;
  const std::vector<bool>& laterMask = laterCmd.mask;
  int writes;
  {
    WriteFaults count(WriteFaults::COUNT, 0);
    _VROH_MOUNT_RW d;
    ASSERT_LT(0, chain.OpenWritable(d));
    ASSERT_TRUE(RunCommand(d, ops));
    writes = count.Count();
  }
  ASSERT_LT(20, writes);
  for (int mode = WriteFaults::FAIL; mode <= WriteFaults::STOP; mode++) {
    for (int n = 1; n <= writes; n++) {
      std::string where = std::string(mode == WriteFaults::FAIL ? "failed" : "stopped") +
                          " write " + std::to_string(n);
      chain.Restore();
      {
        WriteFaults faults((WriteFaults::Mode)mode, n);
        _VROH_MOUNT_RW d;
        bool ok = chain.OpenWritable(d) > 0 && RunCommand(d, ops);
        // A write that did not happen is never reported as done.
        EXPECT_FALSE(ok) << where;
      }
      {
        _VROH_MOUNT_RW d;
        ASSERT_EQ(chain.ReadOnlyCode(), chain.OpenReadOnly(d)) << where;
        ExpectPrefix(ReadWindows(d), chain.m_Before, ops, where);
      }
      // A later command over what was left: its writes and everything
      // before them hold after another reopen.
      {
        _VROH_MOUNT_RW d;
        ASSERT_LT(0, chain.OpenWritable(d)) << where;
        ASSERT_TRUE(RunCommand(d, later)) << where;
      }
      _VROH_MOUNT_RW d;
      ASSERT_EQ(chain.ReadOnlyCode(), chain.OpenReadOnly(d)) << where;
      ExpectConsistent(ReadWindows(d), chain.m_Before, allowed, &laterData, &laterMask,
                       where + ", then a later command");
      if (::testing::Test::HasFailure()) return;
    }
  }
}

TEST(OverlayCrash, EveryWriteIntoAnUpdateFile) {
  EveryWriteOfACommand(false);
}

TEST(OverlayCrash, EveryWriteIntoAWriteBackFile) {
  EveryWriteOfACommand(true);
}

// Earlier versions wrote the header only at flush and close: a writer that
// died left map blocks pointing past the header's next free sector, and past
// the end of the file where it died earlier. Such files (the earlier
// header over the whole command's file, cut at points between the two
// sizes) open and take new writes without harm.
TEST(OverlayCrash, FileLeftByAnEarlierVersion) {
  Chain chain(false);
  const std::vector<Op> ops = MakeOps(2, 30);
  std::map<size_t, std::vector<uint64_t>> allowed = Allowed(ops);
  Later later(chain.m_Before.size());
  {
    _VROH_MOUNT_RW d;
    ASSERT_LT(0, chain.OpenWritable(d));
    ASSERT_TRUE(RunCommand(d, ops));
  }
  std::vector<uint8_t> header(1024), full;
  HANDLE h = OpenReadOnly(chain.Saved());
  ASSERT_EQ(1024, ReadHandleAt(h, 0, header.data(), 1024));
  // As they wrote it: without the marks.
  memset(&header[512 + vroimg::kOffOrderedMark], 0, 4);
  memset(&header[512 + vroimg::kOffCheckedMark], 0, 4);
  uint64_t from = FileSize(chain.Saved());
  CloseHandle(h);
  ASSERT_TRUE(vt::ReadAll(chain.Top(), full));
  ASSERT_LT(from + 64 * 1024, (uint64_t)full.size());
  for (int step = 0; step <= 12; step++) {
    uint64_t cut = (from + (full.size() - from) * step / 12) / 512 * 512;
    std::string where = "cut at " + std::to_string(cut);
    memcpy(full.data(), header.data(), header.size());
    ASSERT_TRUE(vt::WriteAll(chain.Top(), full.data(), (size_t)cut));
    {
      _VROH_MOUNT_RW d;
      ASSERT_LT(0, chain.OpenWritable(d)) << where;
      ASSERT_TRUE(RunCommand(d, later.ops)) << where;
    }
    _VROH_MOUNT_RW d;
    ASSERT_EQ(chain.ReadOnlyCode(), chain.OpenReadOnly(d)) << where;
    ExpectConsistent(ReadWindows(d), chain.m_Before, allowed, &later.data, &later.mask, where);
  }
}

// A command that makes a new overlay: an update file over an own image, a
// write-back file over an own image (one replacing a file made for an
// earlier state of it too), a raw image, a dynamic and a fixed VHD.
enum Making { kNewUpdate, kNewWriteBack, kStaleWriteBack, kOverRaw, kOverDynamicVhd, kOverFixedVhd };

class MadeOverlay {
 public:
  explicit MadeOverlay(Making m) : m_Making(m) {
    const std::wstring dir = vt::ScratchDir();
    m_Dir = vt::ToUnix(dir) + "/files";
    m_Dead = vt::ToUnix(dir) + "/dead";
    m_Saved = vt::ToUnix(dir) + "/saved";
    EXPECT_EQ(0, vt::Sh("mkdir -p " + vt::Q(m_Dir)));
    const std::wstring files = vt::ToWin(m_Dir);
    if (m == kOverRaw || m == kOverDynamicVhd || m == kOverFixedVhd) {
      m_Base = Path(files, m == kOverRaw ? L"b.img" : L"b.vhd");
      const std::wstring raw = Path(files, L"b.img");
      EXPECT_TRUE(vt::WriteAll(raw, Random(8u << 20, 5)));
      if (m != kOverRaw) {
        EXPECT_EQ(0, vt::Sh("qemu-img convert -f raw -O vpc -o subformat=" +
                            std::string(m == kOverFixedVhd ? "fixed" : "dynamic") +
                            ",force_size=on " + U(raw) + " " + U(m_Base) + " && rm " + U(raw)));
      }
    } else {
      m_Base = Path(files, L"b.vmd");
      EXPECT_EQ(0, _VROH_RW_CLASS::Create(m_Base.c_str(), 8, 6));
      WriteBase(1);
    }
    if (m != kNewUpdate) m_Fix = Path(files, L"ws.Fix");
    if (m == kStaleWriteBack) {
      EXPECT_TRUE(Command(2));
      WriteBase(3);
    }
    EXPECT_EQ(0, vt::Sh("cp -a " + vt::Q(m_Dir) + " " + vt::Q(m_Saved)));
  }

  // Writes runs through the chain and keeps them; false when anything
  // failed.
  bool Command(uint32_t seed) {
    _VROH_MOUNT_RW d;
    if (d.OpenChain(m_Base.c_str(), m_Fix.c_str(), VRO_WRITE_OVERLAY) <= 0) return false;
    // A few runs over the 8 MiB disk.
    bool ok = true;
    std::mt19937 rng(seed);
    for (int i = 0; i < 4; i++) {
      uint32_t count = 1 + rng() % 200;
      std::vector<uint8_t> data = Random(count * 512, seed * 10 + i);
      ok = d.WriteBytes(nullptr, (rng() % (16000 - count)) * 512, data.data(), data.size()) ==
               (int64_t)data.size() && ok;
    }
    ok = d.Flush() == 0 && d.EndCommand(true) == 0 && ok;
    return d.CloseLayers() == 0 && ok;
  }
  void Restore(const std::string& from) {
    ASSERT_EQ(0, vt::Sh("rm -rf " + vt::Q(m_Dir) + " && cp -a " + vt::Q(from) + " " + vt::Q(m_Dir)));
  }
  std::string Files() {
    std::string out;
    vt::Sh("cd " + vt::Q(m_Dir) + " && ls", &out);
    return out;
  }
  std::string Hash(const char* name) { return vt::Sha256(vt::ToWin(m_Dir + "/" + name)); }

  Making m_Making;
  std::string m_Dir, m_Dead, m_Saved;
  std::wstring m_Base, m_Fix;

 private:
  void WriteBase(uint32_t seed) {
    _VROH_MOUNT_RW d;
    EXPECT_EQ(VRO_CHAIN_SPARSE_BASE_WRITES, d.OpenChain(m_Base.c_str(), L"", VRO_WRITE_BASE));
    std::vector<uint8_t> data = Random(64 * 512, seed);
    EXPECT_EQ((int64_t)data.size(), d.WriteBytes(nullptr, 0, data.data(), data.size()));
  }
};

// A command making a new overlay, cut off at every write it sends (failed;
// stopped there, its write torn at a page, with the files as the dead
// process left them) and at every flush that fails: what it left is never
// taken for another program's file. The next command removes a half-made
// file with its line, makes its own (an update file under the number the
// cut one would have had, unless that one took its name), and every other
// file (the base, a file made for an earlier state) is as it was or, the
// cut command whole, replaced.
void EveryWriteOfAMaking(Making making) {
  MadeOverlay o(making);
  const char* base = making == kOverRaw ? "b.img" : making >= kOverDynamicVhd ? "b.vhd" : "b.vmd";
  const std::string baseHash = o.Hash(base), staleHash = o.Hash("ws.Fix");
  // The lines are looked at, not printed.
  struct Quiet {
    VroOverlayNoticeFn was = VroSetOverlayNotice([](const wchar_t*, int) {});
    ~Quiet() { VroSetOverlayNotice(was); }
  } quiet;
  int writes, flushes;
  {
    WriteFaults count(WriteFaults::COUNT, 0);
    ASSERT_TRUE(o.Command(4));
    writes = count.Count();
    flushes = count.Flushes();
  }
  ASSERT_LT(3, writes);
  for (int mode = WriteFaults::FAIL; mode <= WriteFaults::FAIL_FLUSH; mode++) {
    const int last = mode == WriteFaults::FAIL_FLUSH ? flushes : writes;
    for (int n = 1; n <= last; n++) {
      static const char* const kCut[] = {"", "failed write ", "stopped at write ", "failed flush "};
      std::string where = kCut[mode] + std::to_string(n) + " of " + std::to_string(last);
      o.Restore(o.m_Saved);
      {
        WriteFaults faults((WriteFaults::Mode)mode, n);
        faults.OnStop([&] {
          vt::Sh("rm -rf " + vt::Q(o.m_Dead) + " && cp -a " + vt::Q(o.m_Dir) + " " + vt::Q(o.m_Dead));
        });
        EXPECT_FALSE(o.Command(4)) << where;
      }
      if (mode == WriteFaults::STOP) o.Restore(o.m_Dead);
      const std::string left = o.Files();
      EXPECT_EQ(baseHash, o.Hash(base)) << where;
      if (making == kStaleWriteBack && o.Hash("ws.Fix") != staleHash) {
        _VROH_MOUNT_RW d;
        EXPECT_EQ(VRO_CHAIN_SPARSE_FIX, d.OpenChain(o.m_Base.c_str(), o.m_Fix.c_str(), 0)) << where;
      }
      // The next command.
      VroNoticeCollector notices;
      EXPECT_TRUE(o.Command(5)) << where << "; left: " << left;
      bool removed = false;
      for (const auto& notice : notices.Notices()) {
        removed |= notice.kind == VRO_NOTICE_LEFTOVER_REMOVED;
        EXPECT_TRUE(notice.kind == VRO_NOTICE_LEFTOVER_REMOVED ||
                    notice.kind == VRO_NOTICE_STALE_DISCARDED)
            << where << ": " << vt::Narrow(notice.path) << " told as kind " << notice.kind;
      }
      EXPECT_EQ(left.find(".new") != std::string::npos, removed) << where << "; left: " << left;
      const std::string now = o.Files();
      EXPECT_EQ(std::string::npos, now.find(".new")) << where << ": " << now;
      EXPECT_EQ(baseHash, o.Hash(base)) << where;
      if (making == kNewUpdate) {
        EXPECT_EQ(left.find("_01.Upd\n") != std::string::npos,
                  now.find("_02.Upd") != std::string::npos)
            << where << "; left: " << left << "; now: " << now;
      }
      if (::testing::Test::HasFailure()) return;
    }
  }
}

TEST(OverlayCrash, MakingANewUpdateFile) {
  EveryWriteOfAMaking(kNewUpdate);
}

TEST(OverlayCrash, MakingANewWriteBackFileOverEachBaseKind) {
  for (Making m : {kNewWriteBack, kStaleWriteBack, kOverRaw, kOverDynamicVhd, kOverFixedVhd}) {
    SCOPED_TRACE(m);
    EveryWriteOfAMaking(m);
    if (::testing::Test::HasFailure()) return;
  }
}

}  // namespace
