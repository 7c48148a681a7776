// The PE model's relocation table and interval list.
#include <gtest/gtest.h>

#include <random>

#include "upxlib/bele.h"
#include "upxlib/pefile.h"

using namespace upx;

TEST(UpxPeModel, RelocTableBlocks) {
  {
    PeFile::Reloc r(0u);
    upx_byte* out = nullptr;
    unsigned size = 99;
    r.finish(&out, &size);
    EXPECT_EQ(0u, size);
    delete[] out;
  }
  PeFile::Reloc r(5u);
  r.add(0x2010, 3);
  r.add(0x1008, 3);
  r.add(0x1004, 3);
  r.add(0x2ffc, 10);
  r.add(0x1000, 3);
  upx_byte* out = nullptr;
  unsigned size = 0;
  r.finish(&out, &size);
  // page 0x1000: 3 entries + padding = 8 + 8; page 0x2000: 2 entries = 8 + 4
  ASSERT_EQ(28u, size);
  EXPECT_EQ(0x1000u, get_le32(out));
  EXPECT_EQ(16u, get_le32(out + 4));
  EXPECT_EQ(0x3000u, get_le16(out + 8));
  EXPECT_EQ(0x3004u, get_le16(out + 10));
  EXPECT_EQ(0x3008u, get_le16(out + 12));
  EXPECT_EQ(0u, get_le16(out + 14));
  EXPECT_EQ(0x2000u, get_le32(out + 16));
  EXPECT_EQ(12u, get_le32(out + 20));
  EXPECT_EQ(0x3010u, get_le16(out + 24));
  EXPECT_EQ(0xAFFCu, get_le16(out + 26));
  // read back by the directory reader, with its type counts
  PeFile::Reloc rd(out, size);
  EXPECT_EQ(4u, rd.counts[3]);
  EXPECT_EQ(1u, rd.counts[10]);
  unsigned pos, type, n = 0;
  while (rd.next(&pos, &type)) n++;
  EXPECT_EQ(5u, n);
  delete[] out;
}

TEST(UpxPeModel, IntervalsFlatten) {
  upx_byte base[64];
  memset(base, 0xAA, sizeof(base));
  PeFile::Interval iv(base);
  iv.add(20u, 5u);
  iv.add(5u, 10u);
  iv.add(0u, 10u);
  iv.flatten();
  ASSERT_EQ(2u, iv.ivnum);
  EXPECT_EQ(0u, iv.ivarr[0].start);
  EXPECT_EQ(15u, iv.ivarr[0].len);
  EXPECT_EQ(20u, iv.ivarr[1].start);
  EXPECT_EQ(5u, iv.ivarr[1].len);
  iv.clear();
  EXPECT_EQ(0, base[14]);
  EXPECT_EQ(0xAA, base[15]);
  EXPECT_EQ(0, base[24]);
  PeFile::Interval many(base);
  for (unsigned i = 0; i < 40; i++) many.add(i, 1u);  // grows past its first 15
  many.flatten();
  EXPECT_EQ(1u, many.ivnum);
  EXPECT_EQ(40u, many.ivarr[0].len);
}
