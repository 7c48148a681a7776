// The blocks a disk object holds back, against a model of the disk: every
// read sees the newest bytes whichever way it goes (from the blocks, or
// past them with the waiting writes laid over), the limit and the flushes
// write them out in whole, a write the disk refuses fails the flush and
// stays waiting, and a disk made smaller drops the blocks past its end.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "image/stack/DiskBlockCache.h"

namespace {

const uint32_t kSector = 512;

struct MemoryDisk : CDiskBlockCache::Backing {
  std::vector<uint8_t> bytes;
  bool refuse = false;
  int writes = 0;

  explicit MemoryDisk(size_t sectors) : bytes(sectors * kSector) {
    for (size_t i = 0; i < bytes.size(); i++) bytes[i] = (uint8_t)(i * 7 / kSector + i);
  }
  uint64_t Sectors() const { return bytes.size() / kSector; }
  int64_t ReadThrough(uint64_t sector, void* buf, uint32_t n) override {
    if (sector >= Sectors()) return -(int64_t)n;
    uint64_t have = (Sectors() - sector) * kSector;
    uint32_t take = have < n ? (uint32_t)have : n;
    memcpy(buf, &bytes[sector * kSector], take);
    return take;
  }
  int64_t WriteThrough(uint64_t sector, const void* buf, uint32_t n) override {
    if (refuse || sector * kSector + n > bytes.size()) return -(int64_t)n;
    memcpy(&bytes[sector * kSector], buf, n);
    writes++;
    return n;
  }
};

std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  std::mt19937 r(seed);
  for (auto& b : v) b = (uint8_t)r();
  return v;
}

TEST(DiskBlockCache, EveryReadSeesTheNewestBytes) {
  // 4 MiB; 16 blocks held at most, so the limit is met all the time.
  MemoryDisk disk(8192);
  std::vector<uint8_t> model = disk.bytes;
  CDiskBlockCache c(&disk, 1, 16);
  c.SetEnd(disk.Sectors());
  std::mt19937 rng(5);
  for (int i = 0; i < 4000; i++) {
    // Mostly small pieces (held), now and then large ones (past the
    // blocks), anywhere: sector 0 lies before the first block.
    uint32_t n = rng() % 8 == 0 ? 100 + rng() % 300 : 1 + rng() % 20;
    uint64_t at = rng() % (disk.Sectors() - n + 1);
    switch (rng() % 5) {
      case 0:
      case 1: {
        std::vector<uint8_t> w = Pattern(n * kSector, i);
        ASSERT_EQ((int64_t)w.size(), c.Write(at, w.data(), (uint32_t)w.size())) << i;
        memcpy(&model[at * kSector], w.data(), w.size());
        break;
      }
      case 2:
        if (rng() % 10 == 0) {
          ASSERT_EQ(0, c.Flush());
          ASSERT_FALSE(c.Dirty());
          ASSERT_TRUE(disk.bytes == model) << i;
        }
        break;
      default: {
        std::vector<uint8_t> r(n * kSector);
        ASSERT_EQ((int64_t)r.size(), c.Read(at, r.data(), (uint32_t)r.size())) << i;
        ASSERT_EQ(0, memcmp(r.data(), &model[at * kSector], r.size())) << i;
      }
    }
  }
  ASSERT_EQ(0, c.Flush());
  EXPECT_TRUE(disk.bytes == model);
  // Neighbours are joined: 32 blocks written a sector at a time reach the
  // disk in one write per 16 held.
  c.Drop();
  int writes = disk.writes;
  for (uint64_t s = 1; s < 1 + 32 * 8; s++) {
    std::vector<uint8_t> w = Pattern(kSector, (uint32_t)s);
    ASSERT_EQ((int64_t)kSector, c.Write(s, w.data(), kSector));
    memcpy(&model[s * kSector], w.data(), kSector);
  }
  ASSERT_EQ(0, c.Flush());
  EXPECT_EQ(writes + 2, disk.writes);
  EXPECT_TRUE(disk.bytes == model);
}

TEST(DiskBlockCache, AWriteTheDiskRefusesFailsTheFlushAndStaysWaiting) {
  MemoryDisk disk(1024);
  std::vector<uint8_t> before = disk.bytes;
  CDiskBlockCache c(&disk, 1, 64);
  c.SetEnd(disk.Sectors());
  std::vector<uint8_t> w = Pattern(3 * kSector, 1);
  ASSERT_EQ((int64_t)w.size(), c.Write(40, w.data(), (uint32_t)w.size()));
  EXPECT_TRUE(c.Dirty());
  EXPECT_TRUE(disk.bytes == before);  // held back
  disk.refuse = true;
  EXPECT_EQ(-1, c.Flush());
  EXPECT_TRUE(c.Dirty());
  EXPECT_TRUE(disk.bytes == before);
  // A large read past the blocks still sees the waiting write.
  std::vector<uint8_t> r(200 * kSector);
  ASSERT_EQ((int64_t)r.size(), c.Read(1, r.data(), (uint32_t)r.size()));
  EXPECT_EQ(0, memcmp(&r[39 * kSector], w.data(), w.size()));
  disk.refuse = false;
  EXPECT_EQ(0, c.Flush());
  EXPECT_FALSE(c.Dirty());
  EXPECT_EQ(0, memcmp(&disk.bytes[40 * kSector], w.data(), w.size()));

  // The disk made smaller: a block waiting past its new end goes, those
  // inside stay.
  ASSERT_EQ((int64_t)w.size(), c.Write(1000, w.data(), (uint32_t)w.size()));
  ASSERT_EQ((int64_t)w.size(), c.Write(100, w.data(), (uint32_t)w.size()));
  c.SetEnd(993);
  int writes = disk.writes;
  EXPECT_EQ(0, c.Flush());
  EXPECT_EQ(writes + 1, disk.writes);
  EXPECT_EQ(0, memcmp(&disk.bytes[100 * kSector], w.data(), w.size()));
  EXPECT_NE(0, memcmp(&disk.bytes[1000 * kSector], w.data(), w.size()));
}

}  // namespace
