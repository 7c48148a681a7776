// Filters: every filter followed by its inverse is the identity; worked
// examples of each family.
#include <gtest/gtest.h>

#include <random>

#include "UpxTestUtil.h"
#include "upxlib/bele.h"
#include "upxlib/compress.h"
#include "upxlib/except.h"
#include "upxlib/filter.h"

using namespace upx;

static std::vector<int> AllIds() {
  std::vector<int> ids;
  for (int i = 0; i < Filter::n_filters; i++) ids.push_back(Filter::filters[i].id);
  return ids;
}

TEST(UpxFilter, TableHas59EntriesInOrder) {
  std::vector<int> ids = AllIds();
  ASSERT_EQ(59u, ids.size());
  for (size_t i = 1; i < ids.size(); i++) EXPECT_LT(ids[i - 1], ids[i]);
  EXPECT_NE(nullptr, Filter::getFilter(0x26));
  EXPECT_EQ(nullptr, Filter::getFilter(0x27));
  EXPECT_EQ(nullptr, Filter::getFilter(256));
  EXPECT_EQ(nullptr, Filter::getFilter(-1));
  EXPECT_EQ(0xFFFFFFu, Filter::getFilter(0x49)->max_buf_len);
  EXPECT_EQ(99u, Filter::getFilter(0xA2)->min_buf_len);
  const int allowed[] = {0x26, 0x49, -1};
  EXPECT_TRUE(Filter::isValidFilter(0, allowed));
  EXPECT_TRUE(Filter::isValidFilter(0x49, allowed));
  EXPECT_FALSE(Filter::isValidFilter(0x24, allowed));
  EXPECT_FALSE(Filter::isValidFilter(0x24, nullptr));
  EXPECT_TRUE(Filter::isValidFilter(0x24));
}

TEST(UpxFilter, ForwardThenInverseIsTheIdentity) {
  ut::ResetOptions();
  int applied_total = 0;
  for (int id : AllIds()) {
    if (id == 0) continue;
    int applied = 0, tried = 0;
    for (uint32_t seed = 1; seed <= 12; seed++) {
      size_t len = (seed % 4 == 0) ? 100 + seed : 3000 + seed * 997;
      std::vector<uint8_t> orig = ut::CodeLike(len, seed * 31 + id);
      if (id == 0xD0) {  // big-endian branch words
        for (size_t p = 0; p + 4 <= orig.size(); p += 4)
          if (orig[p] % 3 == 0) set_be32(&orig[p], 0x48000001u | ((orig[p + 1] * 4u) & 0xFFFC));
      }
      for (unsigned addvalue : {0u, 0x1000u}) {
        std::vector<uint8_t> b = orig;
        Filter f(9);
        f.init(id, addvalue);
        tried++;
        bool ok = f.filter(b.data(), unsigned(b.size()));
        if (!ok) {
          // a filter that cannot be applied leaves nothing to undo
          continue;
        }
        applied++;
        Filter u(9);
        u.init(id, addvalue);
        u.cto = f.cto;
        u.adler = f.adler;
        u.unfilter(b.data(), unsigned(b.size()), true);  // verifying: "unfilter-4" otherwise
        ASSERT_TRUE(b == orig) << "filter " << std::hex << id << " seed " << seed;
        EXPECT_EQ(f.calls, u.calls) << std::hex << id;
      }
    }
    EXPECT_GT(applied, tried / 2) << "filter " << std::hex << id;
    applied_total += applied;
  }
  EXPECT_GT(applied_total, 500);
}

TEST(UpxFilter, IdZeroAndBounds) {
  std::vector<uint8_t> b = ut::CodeLike(100, 1), c = b;
  Filter f(9);
  f.init(0, 0);
  f.unfilter(b.data(), 100);
  EXPECT_TRUE(b == c);
  EXPECT_EQ(0u, f.calls);
  f.init(0x26, 0);
  f.unfilter(b.data(), 5);  // below the minimum: unchanged
  EXPECT_TRUE(b == c);
  f.init(0x27, 0);
  try {
    f.unfilter(b.data(), 100);
    ADD_FAILURE();
  } catch (const InternalError& e) {
    EXPECT_STREQ("unfilter-1", e.getMsg());
  }
  f.init(0x26, 0);
  f.adler = 12345;
  try {
    f.unfilter(b.data(), 100, true);
    ADD_FAILURE();
  } catch (const InternalError& e) {
    EXPECT_STREQ("unfilter-4", e.getMsg());
  }
  Filter g(1);  // level 1: no checksum
  g.init(0x26, 0);
  g.adler = 12345;
  g.unfilter(b.data(), 100, true);
}

TEST(UpxFilter, WorkedExamples) {
  // sub8, 3 bytes, 2 channels: e0, e1, e2 + e0
  {
    uint8_t b[3] = {10, 20, 5};
    Filter f(9);
    f.init(0x91, 0);
    f.unfilter(b, 3);
    EXPECT_EQ(10, b[0]);
    EXPECT_EQ(20, b[1]);
    EXPECT_EQ(15, b[2]);
    EXPECT_EQ(1u, f.calls);
  }
  // sub16 of odd length keeps its last byte
  {
    std::vector<uint8_t> b(101, 1);
    Filter f(9);
    f.init(0xA0, 0);
    f.unfilter(b.data(), 101);
    EXPECT_EQ(1, b[100]);
    EXPECT_EQ(2, b[2]);
    EXPECT_EQ(50u - 1, f.calls);
  }
  // marker call trick 0x26: E8 with the marker converted, value rebased
  {
    uint8_t b[16] = {0x90, 0xE8, 0x07, 0x00, 0x00, 0x20, 0xE8, 0x01, 0, 0, 0, 0, 0, 0, 0, 0};
    Filter f(9);
    f.init(0x26, 0);
    f.cto = 0x07;
    f.unfilter(b, 16);
    // position 1: 0x07000020 - 0x07000000 - 0 - 1 - 1 = 0x1E
    EXPECT_EQ(0x1Eu, get_le32(b + 2));
    EXPECT_EQ(1u, f.calls);
    EXPECT_EQ(1u, f.noncalls);  // the E8 at 6 followed by 0x01
    EXPECT_EQ(6u, f.lastcall);
  }
  // 0x26 and 0x36 unfilter alike
  {
    std::vector<uint8_t> a = ut::CodeLike(5000, 77), b = a;
    Filter f(9), g(9);
    f.init(0x26, 0);
    f.cto = 0x00;
    g.init(0x36, 0);
    g.cto = 0x00;
    f.unfilter(a.data(), 5000);
    g.unfilter(b.data(), 5000);
    EXPECT_TRUE(a == b);
    std::vector<uint8_t> c = ut::CodeLike(5000, 78), d = c;
    f.init(0x26, 0);
    g.init(0x36, 0);
    ASSERT_TRUE(f.filter(c.data(), 5000));
    ASSERT_TRUE(g.filter(d.data(), 5000));
    EXPECT_TRUE(c == d);
  }
  // 0x49: a conditional jump whose 0F is the last byte of the previous
  // converted operand is not converted
  {
    uint8_t b[20] = {0xE8, 0x05, 0x00, 0x00, 0x0F, 0x85, 0x05, 0, 0, 0,
                     0,    0,    0,    0,    0,    0,    0,    0, 0, 0};
    Filter f(9);
    f.init(0x49, 0);
    f.cto = 0x05;
    f.unfilter(b, 20);
    EXPECT_EQ(1u, f.calls);
    EXPECT_EQ(0x05, b[6]);  // untouched
  }
  // ctojr, mode 2 (0x81: calls recently-used coded): an index of 32 or more
  {
    uint8_t b[16] = {0xE8, 0x09, 0, 0, 0x40, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    Filter f(9);
    f.init(0x81, 0);
    f.cto = 0x09;
    try {
      f.unfilter(b, 16);
      ADD_FAILURE();
    } catch (const Exception& e) {
      EXPECT_STREQ("compressed data violation", e.getMsg());
    }
  }
  // ppcbxx: only up to position 0x400000
  {
    std::vector<uint8_t> b(0x400000 + 16, 0);
    set_be32(&b[0x400000], 0x48C00010);  // marker 3 in bits 22..25
    set_be32(&b[0x400004], 0x48C00010);
    set_be32(&b[0x100], 0x48C00010);
    Filter f(9);
    f.init(0xD0, 0);
    f.cto = 3;
    f.unfilter(b.data(), unsigned(b.size()));
    EXPECT_EQ(2u, f.calls);
    EXPECT_EQ(0x48C00010u, get_be32(&b[0x400004]));
    EXPECT_EQ(0x48000000u | ((0x10u - 0x100u) & 0x03FFFFFCu), get_be32(&b[0x100]));
  }
  // additive call trick 0x11: operand - addvalue - position
  {
    uint8_t b[12] = {0xE8, 0x10, 0x01, 0, 0, 0x90, 0x90, 0x90, 0x90, 0x90, 0x90, 0x90};
    Filter f(9);
    f.init(0x11, 0x100);
    f.unfilter(b, 12);
    EXPECT_EQ(0x110u - 0x100u - 1u, get_le32(b + 1));
    EXPECT_EQ(5u, f.lastcall);
  }
  // word branch 0x50
  {
    uint8_t b[12] = {0x10, 0x00, 0x00, 0xEB, 0, 0, 0, 0, 0x20, 0x00, 0x00, 0xEB};
    Filter f(9);
    f.init(0x50, 0);
    f.unfilter(b, 12);
    EXPECT_EQ(0x10u, get_le24(b));
    EXPECT_EQ(1u, f.calls);  // position 8 is not examined (8 < 12 - 4 fails)
  }
}
