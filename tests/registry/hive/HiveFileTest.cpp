// Hive file model: loading, the cell allocator and the checksum.
#include <gtest/gtest.h>

#include <cstring>

#include "HiveTestUtil.h"
#include "registry/hive/HiveLog.h"
#include "registry/hive/HiveOps.h"
#include "registry/hive/RegTypes.h"

namespace {

// The one free cell the empty hive's bin starts with.
uint32_t FirstFree(HiveImage* img) {
  return first_fit_cell(img, 8);
}
int32_t SizeField(HiveImage* img, uint32_t cell) {
  return (int32_t)read_le32(img->buffer + cell);
}

}  // namespace

TEST(HiveFile, EmptyHiveLoadsWithItsRootAndOneBin) {
  HiveImage* img = ht::Load(ht::EmptyHive());
  ASSERT_TRUE(img);
  EXPECT_EQ(1u, img->pages);
  EXPECT_EQ(0x2000u, img->endOfBins);
  EXPECT_EQ(0x1020u, img->rootOffset);
  EXPECT_EQ(L"ROOT", key_name(img, hive_root_key(img)));
  EXPECT_EQ(2u, img->usedCells);
  EXPECT_EQ(1u, img->freeCells);
  EXPECT_EQ(HIVE_STATE_OPEN, img->state);
  EXPECT_FALSE(img->unfinishedWrite);
  close_hive(img);
}

TEST(HiveFile, AllocatorSplitsExactFitsAndMerges) {
  HiveImage* img = ht::Load(ht::EmptyHive());
  uint32_t free0 = FirstFree(img);
  int32_t total = SizeField(img, free0);
  ASSERT_GT(total, 1000);

  // split: a 100-byte record takes a 104-byte cell, the rest stays free
  uint32_t a = alloc_cell(img, 0, 100);
  EXPECT_EQ(free0, a);
  EXPECT_EQ(-104, SizeField(img, a));
  EXPECT_EQ(total - 104, SizeField(img, a + 104));
  EXPECT_TRUE(img->state & HIVE_STATE_DIRTY);
  uint32_t b = alloc_cell(img, a, 20);  // 24-byte cell right after a
  uint32_t c = alloc_cell(img, a, 60);  // 64-byte cell
  EXPECT_EQ(a + 104, b);
  EXPECT_EQ(b + 24, c);
  for (uint32_t i = 4; i < 64; i++) EXPECT_EQ(0, img->buffer[c + i]);

  // merge: freeing a, then c (joins the free tail), then b joins all three
  EXPECT_EQ(104u, free_cell(img, a));
  uint32_t tail = (uint32_t)(total - 104 - 24 - 64);
  EXPECT_EQ(64u + tail, free_cell(img, c));
  EXPECT_EQ((uint32_t)total, free_cell(img, b));
  EXPECT_EQ(total, SizeField(img, free0));
  EXPECT_EQ(0u, free_cell(img, b)) << "a free cell is not freed again";
  EXPECT_EQ(0u, free_cell(img, b + 8)) << "not a cell start";

  // exact fit: the whole free cell, then the next request needs a new bin
  uint32_t whole = alloc_cell(img, 0, (uint32_t)total - 4);
  EXPECT_EQ(free0, whole);
  EXPECT_EQ(-total, SizeField(img, whole));
  EXPECT_EQ(1u, img->pages);
  uint32_t more = alloc_cell(img, 0, 8);
  EXPECT_EQ(0x2020u, more);
  EXPECT_EQ(2u, img->pages);
  close_hive(img);
}

TEST(HiveFile, FullBinsGrowByANewBinSizedForTheRequest) {
  HiveImage* img = ht::Load(ht::EmptyHive());
  alloc_cell(img, 0, (uint32_t)SizeField(img, FirstFree(img)) - 4);  // bin 1 full
  uint32_t c1 = alloc_cell(img, 0, 4052);
  EXPECT_EQ(0x2020u, c1);
  EXPECT_EQ(0x3000u, img->endOfBins);
  EXPECT_EQ(0x2000u, read_le32(img->buffer + 0x28));
  EXPECT_EQ(0x2000u, img->lastBin);
  uint32_t c2 = alloc_cell(img, 0, 4053);
  EXPECT_EQ(0x3020u, c2);
  EXPECT_EQ(0x5000u, img->endOfBins) << "4053 bytes of record need an 8192-byte bin";
  EXPECT_EQ(0, memcmp(img->buffer + 0x3000, "hbin", 4));
  EXPECT_EQ(0x2000u, read_le32(img->buffer + 0x3004));
  EXPECT_EQ(8192u, read_le32(img->buffer + 0x3008));
  // the spare space of the new bin serves the next small request
  EXPECT_EQ(0x3020u + 4064, alloc_cell(img, 0, 16));

  // Many bins: growth stays correct after the buffer moves.
  for (int i = 0; i < 3000; i++) ASSERT_NE(0u, alloc_cell(img, 0, 3000));
  HiveImage* again = ht::Reload(img);
  ASSERT_TRUE(again);
  EXPECT_EQ(3u + 2999, again->pages) << "the first fits the third bin's spare space";
  close_hive(again);
}

TEST(HiveFile, HintKeepsRelatedCellsInOneBin) {
  HiveImage* img = ht::Load(ht::EmptyHive());
  uint32_t first = FirstFree(img);
  alloc_cell(img, 0, (uint32_t)SizeField(img, first) - 4 - 200);  // 200 bytes left in bin 1
  uint32_t far = alloc_cell(img, 0, 4000);                        // bin 2
  EXPECT_GE(far, 0x2000u);
  uint32_t near = alloc_cell(img, far, 40);
  EXPECT_GE(near, 0x2000u) << "the hint's bin is searched first";
  uint32_t any = alloc_cell(img, 0, 40);
  EXPECT_LT(any, 0x2000u) << "without a hint the first fit in file order";
  close_hive(img);
}

TEST(HiveFile, ChecksumIsTheXorOfTheFirst127Words) {
  HiveImage* img = ht::Load(ht::EmptyHive());
  std::vector<uint8_t> saved(img->buffer, img->buffer + 0x200);
  memset(img->buffer, 0, 0x200);
  EXPECT_EQ(0u, calc_regf_checksum(img));
  write_le32(img->buffer + 8, 0x12345678);
  write_le32(img->buffer + 0x1F8, 0x0F0F0F0F);
  write_le32(img->buffer + 0x1FC, 0xFFFFFFFF);  // the checksum word itself is not summed
  EXPECT_EQ(0x12345678u ^ 0x0F0F0F0Fu, calc_regf_checksum(img));
  memcpy(img->buffer, saved.data(), saved.size());

  add_key(img, hive_root_key(img), L"Changed");
  std::vector<uint8_t> out;
  save_hive_buffer(img, out);
  EXPECT_FALSE(img->state & HIVE_STATE_DIRTY);
  uint32_t x = 0;
  for (int i = 0; i < 127; i++) x ^= read_le32(&out[4 * i]);
  EXPECT_EQ(x, read_le32(&out[0x1FC]));
  EXPECT_EQ(img->endOfBins, out.size()) << "the file ends with its last bin";
  close_hive(img);
}

TEST(HiveFile, UnfinishedWriteWithoutLogsIsTheHiveAsItStands) {
  std::vector<uint8_t> h = ht::EmptyHive();
  write_le32(&h[8], 7);
  std::vector<uint8_t> asRead = h;
  uint32_t maxSeq = 1;
  EXPECT_EQ(HIVE_LOG_NO_LOG, hive_apply_logs(h, {}, &maxSeq));
  EXPECT_EQ(0u, maxSeq);
  EXPECT_TRUE(h == asRead);
  HiveImage* img = ht::Load(h);
  ASSERT_TRUE(img);
  EXPECT_FALSE(img->unfinishedWrite) << "only logs that cannot be applied make a hive read-only";
  close_hive(img);
}
