// The own sparse format: header layout, allocation order, reads of unheld
// sectors, write combining, strict and repairing opens, identity renewal,
// a random model test and an export checked with cmp.
#include <gtest/gtest.h>
#include <cstring>
#include <map>

#include "../ImageTestUtil.h"
#include "image/formats/sparse/ImgRw.h"
#include "image/device/MbrTemplate.h"
#include "image/stack/RwClass.h"

using namespace it;
using namespace vroimg;

namespace {

uint32_t At32(const std::vector<uint8_t>& f, size_t off) {
  uint32_t v;
  memcpy(&v, &f[off], 4);
  return v;
}
uint64_t At64(const std::vector<uint8_t>& f, size_t off) {
  uint64_t v;
  memcpy(&v, &f[off], 8);
  return v;
}

TEST(SparseImage, NewImageLayout) {
  EXPECT_EQ(16385u, ImageSectorsFromMegabytes(1));
  EXPECT_EQ(16385u, ImageSectorsFromMegabytes(8));
  EXPECT_EQ(32769u, ImageSectorsFromMegabytes(9));
  uint8_t zero[512] = {};
  EXPECT_EQ(0xFFFFFFFFu, _VROH_OBJ_IMG::HeaderChecksum(zero));

  std::wstring p = Path(vt::ScratchDir(), L"new.img");
  ASSERT_EQ(0, _VROH_RW_CLASS::Create(p.c_str(), 1, 6));
  std::vector<uint8_t> f;
  ASSERT_TRUE(vt::ReadAll(p, f));
  // Header sector.
  EXPECT_EQ(78u, At32(f, 0));
  EXPECT_EQ(0, memcmp(&f[4], "VROMDISK", 8));
  EXPECT_EQ(0, f[12]);
  EXPECT_EQ(0u, At64(f, 14));           // no parent
  EXPECT_EQ(At64(f, 42), At64(f, 22));  // pristine: identity = creation time
  EXPECT_EQ(16385u, At64(f, 30));
  EXPECT_EQ(6u, At32(f, 50));
  EXPECT_EQ(At64(f, 42), At64(f, 54));
  uint32_t sum = 0;
  for (int i = 0; i < 74; i++) sum += f[i];
  EXPECT_EQ(sum, At32(f, 74));
  EXPECT_FALSE(f[510] == 0x55 && f[511] == 0xAA);
  // Map header: one sector write allocated the second- and third-level
  // tables, the leaf block and a chunk, in that order, from sector 16.
  EXPECT_EQ(0, memcmp(&f[512], "CmpssFl", 8));
  EXPECT_EQ(8u, At32(f, 512 + 20));
  EXPECT_EQ(16u + 3 * 8 + 128, At32(f, 512 + 24));
  EXPECT_EQ(16u + 3 * 8, At32(f, 512 + 32));
  EXPECT_EQ(16u, At32(f, 8 * 512));   // root[0]
  EXPECT_EQ(24u, At32(f, 16 * 512));  // second level [0]
  EXPECT_EQ(32u, At32(f, 24 * 512));  // third level [0]
  EXPECT_EQ(40u, At32(f, 32 * 512));  // leaf 0: data at 40
  EXPECT_EQ(0x02, f[32 * 512 + 16]);  // only device sector 1 held
  // The MBR at device sector 1 = file sector 41.
  const uint8_t* m = &f[41 * 512];
  EXPECT_EQ(0x55, m[510]);
  EXPECT_EQ(0xAA, m[511]);
  EXPECT_EQ((uint32_t)At64(f, 42), At32(f, 41 * 512 + 440));  // disk signature
  const uint8_t* e = m + 446;
  EXPECT_EQ(0x80, e[0]);
  EXPECT_EQ(7, e[4]);
  EXPECT_EQ(63u, At32(f, 41 * 512 + 446 + 8));
  EXPECT_EQ(16321u, At32(f, 41 * 512 + 446 + 12));
  uint8_t chs[3];
  LbaToChs(chs, 16383);
  EXPECT_EQ(0, memcmp(chs, e + 5, 3));

  _VROH_RW_CLASS d;
  ASSERT_TRUE(d.Open(p.c_str(), VRO_MODE_READ));
  EXPECT_EQ(VRO_TYPE_SPARSE, d.m_nType);
  EXPECT_EQ(16385u, d.m_nCapacity);
  EXPECT_EQ(1, d.m_bNew);
  // Never-written sectors read as zeros; as an overlay, as not held.
  std::vector<uint8_t> buf(8 * 512, 0xCC);
  ASSERT_EQ(4096, d.Read(500, buf.data(), 4096));
  EXPECT_EQ(std::vector<uint8_t>(4096, 0), buf);
  ASSERT_EQ(1024, d.Read(1, buf.data(), 1024));
  EXPECT_EQ(0, memcmp(buf.data(), m, 512));
  d.SetZeroFill(0);
  EXPECT_EQ(-4096, d.Read(500, buf.data(), 4096));
  EXPECT_EQ(512, d.Read(1, buf.data(), 1024));  // held part first
  EXPECT_EQ(-512, d.Read(2, buf.data(), 512));
  // An unheld run ends where held data begins.
  EXPECT_EQ(-8 * 512, d.Read(2, buf.data(), 8 * 512));
  EXPECT_EQ(-512, d.Read(0, buf.data(), 4 * 512));
}

TEST(SparseImage, WriteCombining) {
  std::wstring p = Path(vt::ScratchDir(), L"c.bin");
  HANDLE h =
      CreateFileW(p.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  {
    _VROH_OBJ_MINC c;
    ASSERT_EQ(VRO_OPEN_CREATE | VRO_OPEN_UNLIMITED,
              c.Open(h, 0, 0, VRO_OPEN_CREATE | VRO_OPEN_UNLIMITED));
    uint32_t first = c.Allocate(2000, false);
    ASSERT_EQ(16u, first);
    std::vector<uint8_t> model(2016 * 512, 0);
    uint64_t fileWritesBefore = c.FileWrites();
    // 64 sequential 4 KiB writes: combined into few file writes.
    for (int i = 0; i < 64; i++) {
      std::vector<uint8_t> w = Random(4096, i);
      ASSERT_EQ(4096, c.WriteAt(16 + i * 8, w.data(), 4096));
      memcpy(&model[(16 + i * 8) * 512], w.data(), 4096);
    }
    EXPECT_LE(c.FileWrites() - fileWritesBefore, 5u);
    EXPECT_GE(c.CombinedWrites(), 56u);
    // Random small and large writes, overlapping the pending run from
    // every side, read back against the model while still pending.
    std::mt19937 rng(7);
    for (int i = 0; i < 400; i++) {
      uint32_t n = rng() % 4 == 0 ? 1 + rng() % 300 : 1 + rng() % 24;
      uint32_t s = 16 + rng() % (2000 - n);
      std::vector<uint8_t> w = Random(n * 512, 1000 + i);
      ASSERT_EQ((int64_t)n * 512, c.WriteAt(s, w.data(), n * 512));
      memcpy(&model[s * 512], w.data(), w.size());
      uint32_t rs = 16 + rng() % 1900, rn = 1 + rng() % 100;
      std::vector<uint8_t> r(rn * 512);
      ASSERT_EQ((int64_t)r.size(), c.ReadAt(rs, r.data(), rn * 512));
      ASSERT_EQ(0, memcmp(r.data(), &model[rs * 512], r.size())) << i;
    }
    // Nothing is written past the space the map handed out.
    uint8_t sec[512] = {};
    EXPECT_EQ(-512, c.WriteAt(5000, sec, 512));
    ASSERT_EQ(0, c.Flush());
    std::vector<uint8_t> f(model.size());
    ASSERT_EQ((int64_t)f.size(), ReadHandleAtZeroTail(h, 0, f.data(), (uint32_t)f.size()));
    EXPECT_EQ(0, memcmp(&f[16 * 512], &model[16 * 512], f.size() - 16 * 512));
  }
  CloseHandle(h);
}

// A container whose file fails its N-th write (counted from arming).
class FailingContainer : public _VROH_OBJ_IMG {
 public:
  void FailWrite(int n) { m_Left = n; }
  int64_t WriteAt(uint64_t sector, const void* buf, uint32_t bytes) override {
    if (m_Left > 0 && --m_Left == 0) return -(int64_t)bytes;
    return _VROH_OBJ_IMG::WriteAt(sector, buf, bytes);
  }

 private:
  int m_Left = 0;
};

TEST(SparseImage, FailedFileWritesLoseNoAcknowledgedData) {
  std::wstring p = Path(vt::ScratchDir(), L"f.bin");
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  HANDLE h = CreateFileW(p.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr, CREATE_ALWAYS, 0,
                         nullptr);
  HANDLE ro = OpenReadOnly(p);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  ASSERT_NE(INVALID_HANDLE_VALUE, ro);
  std::vector<uint8_t> a = Random(4096, 1), b = Random(512, 2), got(4096);
  {
    // The combining buffer keeps a run its file refused, answers reads
    // from it and fails every flush until the run is written.
    _VROH_OBJ_MINC c;
    ASSERT_LE(0, c.Open(h, 0, 0, VRO_OPEN_CREATE | VRO_OPEN_UNLIMITED));
    ASSERT_EQ(16u, c.Allocate(256, false));
    ASSERT_EQ(4096, c.WriteAt(16, a.data(), 4096));
    c.*ContainerHandle::Member() = ro;
    EXPECT_EQ(-512, c.WriteAt(200, b.data(), 512));
    EXPECT_EQ(-1, c.Flush());
    EXPECT_EQ(-1, c.Flush());
    ASSERT_EQ(4096, c.ReadAt(16, got.data(), 4096));
    EXPECT_EQ(a, got);
    c.*ContainerHandle::Member() = h;
    EXPECT_EQ(512, c.WriteAt(200, b.data(), 512));
    EXPECT_EQ(0, c.Flush());
    ASSERT_EQ(4096, ReadHandleAt(h, 16 * 512, got.data(), 4096));
    EXPECT_EQ(a, got);
    ASSERT_EQ(512, ReadHandleAt(h, 200 * 512, got.data(), 512));
    EXPECT_EQ(b, std::vector<uint8_t>(got.begin(), got.begin() + 512));
  }
  std::wstring q = Path(vt::ScratchDir(), L"g.bin");
  HANDLE g =
      CreateFileW(q.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, g);
  {
    // An overlay map marks sectors only once their data is in the file:
    // after a failed data write they are still not held.
    FailingContainer c;
    ASSERT_LE(0, c.Open(g, 0, 0, VRO_OPEN_CREATE | VRO_OPEN_UNLIMITED));
    _VROH_IMG_RW map(&c, 0);
    c.FailWrite(1);
    EXPECT_GT(0, map.Write(nullptr, 300, a.data(), 4096));
    EXPECT_EQ(-4096, map.Read(nullptr, 300, got.data(), 4096));
    EXPECT_EQ(4096, map.Write(nullptr, 5000, a.data(), 4096));
    // Map blocks that did not reach the file stay dirty for the next flush.
    c.FailWrite(1);
    EXPECT_EQ(-1, map.Flush(nullptr));
    EXPECT_EQ(0, map.Flush(nullptr));
  }
  {
    _VROH_OBJ_IMG c;
    ASSERT_LE(0, c.Open(g, 0, 0, VRO_OPEN_UNLIMITED | VRO_OPEN_STRICT));
    _VROH_IMG_RW map(&c, 0);
    EXPECT_EQ(-4096, map.Read(nullptr, 300, got.data(), 4096));
    ASSERT_EQ(4096, map.Read(nullptr, 5000, got.data(), 4096));
    EXPECT_EQ(a, got);
  }
  CloseHandle(g);
  CloseHandle(ro);
  CloseHandle(h);
}

// Bits of acknowledged writes wait in memory, but reach the file in the
// order of their writes whatever cache slots their leaf blocks sit in: a
// flush that stops half way never shows a write without those before it.
TEST(SparseImage, BitsReachTheFileInTheOrderOfTheirWrites) {
  std::wstring p = Path(vt::ScratchDir(), L"o.bin");
  HANDLE g =
      CreateFileW(p.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, g);
  const uint64_t kFar = 128 * 128;  // chunk 128: the next leaf block
  std::vector<uint8_t> a = Random(512, 3), got(512);
  for (int stopAt = 1; stopAt <= 3; stopAt++) {
    {
      FailingContainer c;
      ASSERT_LE(0, c.Open(g, 0, 0, VRO_OPEN_CREATE | VRO_OPEN_UNLIMITED));
      _VROH_IMG_RW map(&c, 0);
      ASSERT_EQ(512, map.Write(nullptr, kFar, a.data(), 512));  // its block takes slot 0
      ASSERT_EQ(0, map.Flush(nullptr));
      ASSERT_EQ(512, map.Write(nullptr, 10, a.data(), 512));  // slot 1
      ASSERT_EQ(512, map.Write(nullptr, kFar + 50, a.data(), 512));
      c.FailWrite(stopAt);
      map.Flush(nullptr);
    }
    _VROH_OBJ_IMG c;
    ASSERT_LE(0, c.Open(g, 0, 0, VRO_OPEN_UNLIMITED | VRO_OPEN_STRICT));
    _VROH_IMG_RW map(&c, 0);
    bool later = map.Read(nullptr, kFar + 50, got.data(), 512) == 512;
    bool earlier = map.Read(nullptr, 10, got.data(), 512) == 512;
    EXPECT_TRUE(earlier || !later) << "stopped at map write " << stopAt;
  }
  CloseHandle(g);
}

TEST(SparseImage, StrictAndRepairingOpens) {
  std::wstring dir = vt::ScratchDir();
  std::wstring p = Path(dir, L"s.img");
  ASSERT_EQ(0, _VROH_RW_CLASS::Create(p.c_str(), 1, 6));
  std::vector<uint8_t> data = Random(512 * 10, 8);
  {
    _VROH_RW_CLASS d;
    ASSERT_TRUE(d.Open(p.c_str(), VRO_MODE_WRITE));
    ASSERT_EQ(5120, d.Write(300, data.data(), 5120));
  }
  std::vector<uint8_t> good;
  ASSERT_TRUE(vt::ReadAll(p, good));
  auto containerOpen = [&](const std::vector<uint8_t>& file, int flags) {
    std::wstring q = Path(dir, L"probe.img");
    vt::WriteAll(q, file);
    HANDLE h =
        CreateFileW(q.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    _VROH_OBJ_IMG c;
    int r = c.Open(h, 0, 16385, flags);
    CloseHandle(h);
    return r;
  };
  EXPECT_EQ(VRO_OPEN_UNLIMITED | VRO_OPEN_STRICT,
            containerOpen(good, VRO_OPEN_UNLIMITED | VRO_OPEN_STRICT));
  std::vector<uint8_t> bad = good;
  bad[60] ^= 0x40;  // inside the checksummed bytes
  EXPECT_EQ(VRO_CONT_ECHECKSUM, containerOpen(bad, VRO_OPEN_STRICT));
  std::vector<uint8_t> nomap = good;
  nomap[512] = 'X';
  EXPECT_EQ(VRO_CONT_ENOMAP, containerOpen(nomap, VRO_OPEN_STRICT));
  std::vector<uint8_t> mbr1 = good;
  mbr1[1022] = 0x55;
  mbr1[1023] = 0xAA;
  EXPECT_EQ(VRO_CONT_ESECTOR1_MBR, containerOpen(mbr1, 0));
  std::vector<uint8_t> mbr0 = good;
  mbr0[510] = 0x55;
  mbr0[511] = 0xAA;
  EXPECT_EQ(VRO_CONT_ESECTOR0_MBR, containerOpen(mbr0, 0));
  EXPECT_EQ(VRO_CONT_EREAD, containerOpen(std::vector<uint8_t>(700, 1), 0));

  // Bad checksum: a damaged file, refused by the opens of the program's
  // modes and left as it is; an open that repairs rebuilds the header and
  // keeps the map.
  ASSERT_TRUE(vt::WriteAll(p, bad));
  _VROH_RW_CLASS d;
  for (int mode : {VRO_MODE_READ, VRO_MODE_WRITE, VRO_MODE_CREATE})
    EXPECT_FALSE(d.Open(p.c_str(), mode)) << mode;
  std::vector<uint8_t> after;
  ASSERT_TRUE(vt::ReadAll(p, after));
  EXPECT_EQ(bad, after);
  ASSERT_TRUE(d.Open(p.c_str(), VRO_MODE_CREATE_KEEP));
  EXPECT_EQ(VRO_TYPE_SPARSE, d.m_nType);
  EXPECT_EQ(16385u, d.m_nCapacity);
  std::vector<uint8_t> back(5120);
  ASSERT_EQ(5120, d.Read(300, back.data(), 5120));
  EXPECT_EQ(data, back);
  ASSERT_EQ(512, d.Write(9000, data.data(), 512));
  d.Close();
  ASSERT_TRUE(d.Open(p.c_str(), VRO_MODE_READ));
  EXPECT_EQ(VRO_TYPE_SPARSE, d.m_nType);
}

TEST(SparseImage, IdentityRenewedOnlyAfterAWrite) {
  std::wstring p = Path(vt::ScratchDir(), L"id.img");
  ASSERT_EQ(0, _VROH_RW_CLASS::Create(p.c_str(), 2, 6));
  std::string h0 = vt::Sha256(p);
  std::vector<uint8_t> f0;
  ASSERT_TRUE(vt::ReadAll(p, f0));
  for (int mode : {VRO_MODE_READ, VRO_MODE_WRITE, VRO_MODE_CREATE}) {
    _VROH_RW_CLASS d;
    ASSERT_TRUE(d.Open(p.c_str(), mode));
    EXPECT_NE(nullptr, d.Header());
    std::vector<uint8_t> buf(4096);
    d.Read(1, buf.data(), 4096);
  }
  EXPECT_EQ(h0, vt::Sha256(p));
  {
    _VROH_RW_CLASS d;
    ASSERT_TRUE(d.Open(p.c_str(), VRO_MODE_WRITE));
    // A flush before the first write (a volume synced before it is
    // formatted) leaves the renewal waiting for that write.
    ASSERT_EQ(0, d.Flush());
    uint8_t sec[512] = {1};
    ASSERT_EQ(512, d.Write(77, sec, 512));
  }
  std::vector<uint8_t> f1;
  ASSERT_TRUE(vt::ReadAll(p, f1));
  EXPECT_EQ(At64(f0, 22), At64(f1, 14));      // parent = previous own identity
  EXPECT_GT(At64(f1, 22), At64(f0, 22));      // new own identity
  EXPECT_EQ(At32(f0, 70) + 1, At32(f1, 70));  // generation + 1
  _VROH_RW_CLASS d;
  ASSERT_TRUE(d.Open(p.c_str(), VRO_MODE_READ));
  EXPECT_EQ(0, d.m_bNew);
}

// Random writes of every size through the device against a model, with
// closes and reopens in between.
TEST(SparseImage, RandomModel) {
  std::wstring p = Path(vt::ScratchDir(), L"m.img");
  ASSERT_EQ(0, _VROH_RW_CLASS::Create(p.c_str(), 64, 6));
  const uint32_t kSpan = 24000;  // device sectors exercised (crosses leaf blocks)
  std::vector<uint8_t> model(kSpan * 512, 0);
  {
    _VROH_RW_CLASS d;
    ASSERT_TRUE(d.Open(p.c_str(), VRO_MODE_READ));
    ASSERT_EQ(512, d.Read(1, &model[512], 512));
  }
  std::mt19937 rng(11);
  for (int round = 0; round < 4; round++) {
    _VROH_RW_CLASS d;
    ASSERT_TRUE(d.Open(p.c_str(), VRO_MODE_WRITE));
    ASSERT_EQ(VRO_TYPE_SPARSE, d.m_nType);
    for (int i = 0; i < 150; i++) {
      uint32_t pick = rng() % 10;
      uint32_t n = pick < 6 ? 1 + rng() % 16 : pick < 9 ? 1 + rng() % 300 : 1 + rng() % 3000;
      uint32_t s = 1 + rng() % (kSpan - 1 - n);
      std::vector<uint8_t> w = Random(n * 512, round * 1000 + i);
      ASSERT_EQ((int64_t)n * 512, d.Write(s, w.data(), n * 512));
      memcpy(&model[s * 512], w.data(), w.size());
      uint32_t rn = 1 + rng() % 600, rs = 1 + rng() % (kSpan - 1 - rn);
      std::vector<uint8_t> r(rn * 512);
      ASSERT_EQ((int64_t)r.size(), d.Read(rs, r.data(), rn * 512));
      ASSERT_EQ(0, memcmp(r.data(), &model[rs * 512], r.size())) << round << "/" << i;
    }
  }
  _VROH_RW_CLASS d;
  ASSERT_TRUE(d.Open(p.c_str(), VRO_MODE_READ));
  std::vector<uint8_t> all(model.size());
  ASSERT_EQ((int64_t)(all.size() - 512), d.Read(1, &all[512], (uint32_t)all.size() - 512));
  EXPECT_EQ(0, memcmp(&all[512], &model[512], all.size() - 512));
}

// Independent check: a VHD made by qemu-img is copied through our devices
// into an own image, exported raw again and compared with cmp.
TEST(SparseImage, RawExportMatchesSource) {
  std::wstring dir = vt::ScratchDir();
  std::wstring raw = Path(dir, L"src.raw"), vhd = Path(dir, L"src.vhd");
  std::wstring img = Path(dir, L"own.img"), out = Path(dir, L"out.raw");
  std::vector<uint8_t> data = Random(16u << 20, 12);
  memset(&data[3u << 20], 0, 5u << 20);  // a hole the copy skips
  ASSERT_TRUE(vt::WriteAll(raw, data));
  ASSERT_EQ(0, vt::Sh("qemu-img convert -f raw -O vpc -o subformat=dynamic,force_size=on " +
                      U(raw) + " " + U(vhd)));
  ASSERT_EQ(0, _VROH_RW_CLASS::Create(img.c_str(), 16, 6));
  const uint32_t total = (uint32_t)(data.size() / 512);
  {
    _VROH_RW_CLASS src, dst;
    ASSERT_TRUE(src.Open(vhd.c_str(), VRO_MODE_READ));
    ASSERT_TRUE(dst.Open(img.c_str(), VRO_MODE_WRITE));
    std::vector<uint8_t> buf(1u << 20), zero(1u << 20, 0);
    for (uint32_t s = 1; s <= total; s += 2048) {
      ASSERT_EQ((int64_t)buf.size(), src.Read(s, buf.data(), (uint32_t)buf.size()));
      if (memcmp(buf.data(), zero.data(), buf.size()) == 0) continue;
      ASSERT_EQ((int64_t)buf.size(), dst.Write(s, buf.data(), (uint32_t)buf.size()));
    }
  }
  EXPECT_LT(FileSize(img), 12u << 20);  // the hole took no space
  {
    _VROH_RW_CLASS d;
    ASSERT_TRUE(d.Open(img.c_str(), VRO_MODE_READ));
    std::vector<uint8_t> buf(data.size());
    ASSERT_EQ((int64_t)buf.size(), d.Read(1, buf.data(), (uint32_t)buf.size()));
    ASSERT_TRUE(vt::WriteAll(out, buf));
  }
  std::string msg;
  EXPECT_EQ(0, vt::Sh("cmp " + U(raw) + " " + U(out), &msg)) << msg;
}

}  // namespace
