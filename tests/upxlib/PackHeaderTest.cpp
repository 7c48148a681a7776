// pack header decoding for every version and format group.
#include <gtest/gtest.h>

#include "UpxTestUtil.h"
#include "upxlib/bele.h"
#include "upxlib/except.h"
#include "upxlib/packer.h"

using namespace upx;

static std::string Fill(PackHeader& ph, const std::vector<uint8_t>& b, bool* found = nullptr) {
  try {
    bool r = ph.fillPackHeader(b.data(), int(b.size()));
    if (found) *found = r;
    return r ? "found" : "none";
  } catch (const Throwable& e) {
    return e.getMsg();
  }
}

static void Resum(std::vector<uint8_t>& h, size_t at, int size) {
  unsigned s = 0;
  for (int i = 4; i < size - 1; i++) s += h[at + i];
  h[at + size - 1] = uint8_t(s % 251);
}

TEST(UpxPackHeader, Version13Format9) {
  ut::ResetOptions();
  auto h = ut::MakeHeader13(5000, 3000, 8, 0x49);
  h[29] = 0x7A;
  h[30] = 0;
  Resum(h, 0, 32);
  std::vector<uint8_t> b(10, 0xAA);
  b.insert(b.end(), h.begin(), h.end());
  b.resize(b.size() + 20, 0);
  PackHeader ph;
  EXPECT_EQ("found", Fill(ph, b));
  EXPECT_EQ(13, ph.version);
  EXPECT_EQ(9, ph.format);
  EXPECT_EQ(8, ph.method);
  EXPECT_EQ(9, ph.level);
  EXPECT_EQ(5000u, ph.u_len);
  EXPECT_EQ(3000u, ph.c_len);
  EXPECT_EQ(6000u, ph.u_file_size);
  EXPECT_EQ(0x11111111u, ph.u_adler);
  EXPECT_EQ(0x22222222u, ph.c_adler);
  EXPECT_EQ(0x49, ph.filter);
  EXPECT_EQ(0x7A, ph.filter_cto);
  EXPECT_EQ(0, ph.n_mru);
  EXPECT_EQ(10u, ph.buf_offset);
  EXPECT_EQ(32, ph.getPackHeaderSize());
  // the checksum: sum of bytes 4 to 30 modulo 251
  b[10 + 31] ^= 1;
  EXPECT_EQ("header corrupted 3", Fill(ph, b));
  // the magic altered: not found at all
  b[10] = 'u';
  EXPECT_EQ("none", Fill(ph, b));
}

TEST(UpxPackHeader, MagicTwiceTakesTheFirst) {
  ut::ResetOptions();
  auto h1 = ut::MakeHeader13(5000, 3000);
  auto h2 = ut::MakeHeader13(7000, 4000);
  std::vector<uint8_t> b(h1);
  b.insert(b.end(), h2.begin(), h2.end());
  PackHeader ph;
  EXPECT_EQ("found", Fill(ph, b));
  EXPECT_EQ(5000u, ph.u_len);
  EXPECT_EQ(0u, ph.buf_offset);
}

TEST(UpxPackHeader, NearTheEndOfTheBuffer) {
  ut::ResetOptions();
  auto h = ut::MakeHeader13(5000, 3000);
  // magic at length - 8: the 32-byte header does not fit
  std::vector<uint8_t> b(40, 0);
  memcpy(&b[32], h.data(), 8);
  PackHeader ph;
  EXPECT_EQ("header corrupted 2", Fill(ph, b));
  // magic at length - 7
  std::vector<uint8_t> c(39, 0);
  memcpy(&c[32], h.data(), 7);
  EXPECT_EQ("header corrupted 1", Fill(ph, c));
}

TEST(UpxPackHeader, LengthLimits) {
  ut::ResetOptions();
  PackHeader ph;
  EXPECT_EQ("header corrupted 4", Fill(ph, ut::MakeHeader13(1, 1)));
  EXPECT_EQ("header corrupted 4", Fill(ph, ut::MakeHeader13(5000, 1)));
  EXPECT_EQ("header corrupted 4", Fill(ph, ut::MakeHeader13(0x30000001, 100)));
  EXPECT_EQ("found", Fill(ph, ut::MakeHeader13(0x30000000, 2)));
  EXPECT_EQ("cannot unpack UPX ;-)", Fill(ph, ut::MakeHeader13(100, 50, 2, 0, 255)));
}

TEST(UpxPackHeader, Version9TakesItsFilterFromTheLevelByte) {
  ut::ResetOptions();
  std::vector<uint8_t> h(28, 0);
  memcpy(h.data(), "UPX!", 4);
  h[4] = 9;
  h[5] = 9;
  h[6] = 2;
  h[7] = 0x89;
  set_le32(&h[16], 1000);
  set_le32(&h[20], 500);
  set_le32(&h[24], 2000);
  PackHeader ph;
  EXPECT_EQ("found", Fill(ph, h));
  EXPECT_EQ(9, ph.level);
  EXPECT_EQ(0x26, ph.filter);
  EXPECT_EQ(28, ph.getPackHeaderSize());
  h[7] = 0x09;
  EXPECT_EQ("found", Fill(ph, h));
  EXPECT_EQ(0, ph.filter);
  // formats 1 and 2 get filter 6
  std::vector<uint8_t> s(20, 0);
  memcpy(s.data(), "UPX!", 4);
  s[4] = 9;
  s[5] = 1;
  s[6] = 2;
  s[7] = 0x85;
  set_le16(&s[16], 300);
  set_le16(&s[18], 200);
  EXPECT_EQ("found", Fill(ph, s));
  EXPECT_EQ(6, ph.filter);
  EXPECT_EQ(5, ph.level);
  EXPECT_EQ(300u, ph.u_len);
  EXPECT_EQ(300u, ph.u_file_size);
  EXPECT_EQ(200u, ph.c_len);
}

TEST(UpxPackHeader, ShortLayoutsAndBigEndian) {
  ut::ResetOptions();
  PackHeader ph;
  // formats 1/2, version 10: 22 bytes with filter at 20, checksum at 21
  std::vector<uint8_t> a(22, 0);
  memcpy(a.data(), "UPX!", 4);
  a[4] = 10;
  a[5] = 2;
  a[6] = 3;
  a[7] = 7;
  set_le16(&a[16], 400);
  set_le16(&a[18], 300);
  a[20] = 0x05;
  Resum(a, 0, 22);
  EXPECT_EQ("found", Fill(ph, a));
  EXPECT_EQ(5, ph.filter);
  EXPECT_EQ(400u, ph.u_file_size);
  EXPECT_EQ(22, ph.getPackHeaderSize());
  // formats 3/7: 24-bit fields, 27 bytes
  std::vector<uint8_t> c(27, 0);
  memcpy(c.data(), "UPX!", 4);
  c[4] = 12;
  c[5] = 3;
  c[6] = 2;
  c[7] = 8;
  set_le24(&c[16], 0x123456);
  set_le24(&c[19], 0x012345);
  set_le24(&c[22], 0x200000);
  c[25] = 0x11;
  Resum(c, 0, 27);
  EXPECT_EQ("found", Fill(ph, c));
  EXPECT_EQ(0x123456u, ph.u_len);
  EXPECT_EQ(0x012345u, ph.c_len);
  EXPECT_EQ(0x200000u, ph.u_file_size);
  EXPECT_EQ(0x11, ph.filter);
  // big-endian group: format 130
  std::vector<uint8_t> d(32, 0);
  memcpy(d.data(), "UPX!", 4);
  d[4] = 13;
  d[5] = 130;
  d[6] = 2;
  d[7] = 9;
  set_be32(&d[8], 9000);
  set_be32(&d[12], 4000);
  set_be32(&d[16], 0xA1A2A3A4);
  set_be32(&d[20], 0xB1B2B3B4);
  set_be32(&d[24], 10000);
  d[28] = 0xD0;
  d[29] = 3;
  d[30] = 255;
  Resum(d, 0, 32);
  EXPECT_EQ("found", Fill(ph, d));
  EXPECT_EQ(9000u, ph.u_len);
  EXPECT_EQ(4000u, ph.c_len);
  EXPECT_EQ(0xA1A2A3A4u, ph.u_adler);
  EXPECT_EQ(0xB1B2B3B4u, ph.c_adler);
  EXPECT_EQ(256, ph.n_mru);
  EXPECT_EQ(3, ph.filter_cto);
  // version 0 to 3: 24 bytes
  ph.version = 2;
  ph.format = 9;
  EXPECT_EQ(24, ph.getPackHeaderSize());
  ph.version = 5;
  ph.format = 7;
  EXPECT_EQ(25, ph.getPackHeaderSize());
  ph.version = -1;
  EXPECT_THROW(ph.getPackHeaderSize(), InternalError);
}

TEST(UpxPackHeader, MruCodes) {
  ut::ResetOptions();
  PackHeader ph;
  auto h = ut::MakeHeader13(5000, 3000);
  h[30] = 1;
  Resum(h, 0, 32);
  ph.fillPackHeader(h.data(), int(h.size()));
  EXPECT_EQ(2, ph.n_mru);
  h[30] = 255;
  Resum(h, 0, 32);
  ph.fillPackHeader(h.data(), int(h.size()));
  EXPECT_EQ(256, ph.n_mru);
}

TEST(UpxPackHeader, OldVersionNearTheEndReadsNoFurther) {
  ut::ResetOptions();
  // version 2 header of 24 bytes at the very end of the buffer: fields past
  // the end read as 0 (no read past the buffer)
  std::vector<uint8_t> b(24, 0);
  memcpy(b.data(), "UPX!", 4);
  b[4] = 2;
  b[5] = 9;
  b[6] = 2;
  b[7] = 1;
  set_le32(&b[16], 1000);
  set_le32(&b[20], 500);
  PackHeader ph;
  EXPECT_EQ("found", Fill(ph, b));
  EXPECT_EQ(0u, ph.u_file_size);
  EXPECT_EQ(0, ph.filter_cto);
}

TEST(UpxPackHeader, PutThenFill) {
  ut::ResetOptions();
  for (int format : {9, 36, 1, 3, 130}) {
    std::vector<uint8_t> t(40, 0);
    memcpy(t.data(), "UPX!", 4);
    set_le32(&t[4], 0xD5D0D8A1);
    PackHeader ph;
    ph.version = 13;
    ph.format = format;
    ph.method = 8;
    ph.level = 7;
    ph.u_len = 3000;
    ph.c_len = 1000;
    ph.u_adler = 0x1234;
    ph.c_adler = 0x5678;
    ph.u_file_size = 3000;
    ph.filter = 0x26;
    ph.filter_cto = 9;
    ph.n_mru = format >= 9 ? 32 : 0;
    ph.putPackHeader(t.data());
    PackHeader q;
    EXPECT_EQ("found", Fill(q, t)) << format;
    EXPECT_EQ(3000u, q.u_len);
    EXPECT_EQ(1000u, q.c_len);
    EXPECT_EQ(0x26, q.filter);
    EXPECT_EQ(format, q.format);
    if (format == 9 || format == 36 || format == 130) {
      EXPECT_EQ(32, q.n_mru);
      EXPECT_EQ(9, q.filter_cto);
    }
  }
  std::vector<uint8_t> bad(40, 0);
  memcpy(bad.data(), "UPX!", 4);
  PackHeader ph;
  ph.version = 13;
  ph.format = 9;
  EXPECT_THROW(ph.putPackHeader(bad.data()), InternalError);  // "bad loader"
}
