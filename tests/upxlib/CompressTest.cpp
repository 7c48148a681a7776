// the compression front-end over UCL.
#include <gtest/gtest.h>

#include <vector>

#include "UpxTestUtil.h"
#include "upxlib/compress.h"
#include "upxlib/except.h"
#include "upxlib/mem.h"

using namespace upx;

TEST(UpxCompress, Adler32Values) {
  const upx_byte d[4] = {0xFF, 0xFE, 0xFD, 0xFC};
  EXPECT_EQ(0x09F003F7u, upx_adler32(d, 4));
  EXPECT_EQ(0x09EC03F6u, upx_adler32(d, 4, 0));
  EXPECT_EQ(0x09F003F7u, upx_adler32(d, 4, 1));
}

TEST(UpxCompress, NineMethodsRoundTrip) {
  ut::ResetOptions();
  std::vector<uint8_t> src = ut::CodeLike(60000, 3);
  for (int i = 0; i < 20000; i++) src[i] = uint8_t(i % 17);  // something to compress
  for (int m = 2; m <= 10; m++) {
    for (int level : {1, 7, 10}) {
      std::vector<uint8_t> c(MemBuffer::getSizeForCompression(unsigned(src.size())));
      unsigned clen = 0;
      upx_compress_result_t res;
      ASSERT_EQ(0, upx_compress(src.data(), unsigned(src.size()), c.data(), &clen, m, level,
                                nullptr, &res))
          << m;
      ASSERT_LT(clen, src.size());
      EXPECT_EQ(clen, res.c_len);
      EXPECT_EQ(m, res.method);
      std::vector<uint8_t> out(src.size());
      unsigned olen = unsigned(out.size());
      ASSERT_EQ(0, upx_decompress(c.data(), clen, out.data(), &olen, m, nullptr)) << m;
      EXPECT_EQ(src.size(), olen);
      EXPECT_TRUE(out == src) << "method " << m << " level " << level;
      // truncated: input overrun, and no read past the given length
      std::vector<uint8_t> cut(c.begin(), c.begin() + clen / 2);
      olen = unsigned(out.size());
      EXPECT_EQ(UPX_E_INPUT_OVERRUN,
                upx_decompress(cut.data(), unsigned(cut.size()), out.data(), &olen, m, nullptr))
          << m;
      // output too small: output overrun, nothing written past it
      MemBuffer small(upx_max<size_t>(clen + 1, src.size() / 2));
      olen = small.getSize();
      {
        std::vector<uint8_t> probe(small.getSize() + 64, 0xAA);
        unsigned pl = small.getSize();
        int pr = upx_decompress(c.data(), clen, probe.data(), &pl, m, nullptr);
        unsigned past = 0;
        for (size_t i = small.getSize(); i < probe.size(); i++)
          if (probe[i] != 0xAA) past = unsigned(i - small.getSize() + 1);
        EXPECT_EQ(0u, past) << "method " << m << " level " << level << " result " << pr;
      }
      int r = upx_decompress(c.data(), clen, small, &olen, m, nullptr);
      EXPECT_EQ(UPX_E_OUTPUT_OVERRUN, r) << m;
      small.verifyGuards();
    }
  }
}

TEST(UpxCompress, BadMethodsAndArguments) {
  ut::ResetOptions();
  upx_byte s[10] = {}, d[100];
  unsigned dl = 100;
  try {
    upx_decompress(s, 10, d, &dl, 11, nullptr);
    ADD_FAILURE();
  } catch (const InternalError& e) {
    EXPECT_STREQ("unknown decompression method", e.getMsg());
  }
  dl = 5;  // compressed data not shorter than the output: orderly failure
  EXPECT_THROW(upx_decompress(s, 10, d, &dl, 2, nullptr), Throwable);
  unsigned cl = 0;
  try {
    upx_compress(s, 10, d, &cl, 14, 5, nullptr, nullptr);
    ADD_FAILURE();
  } catch (const InternalError& e) {
    EXPECT_STREQ("unknown compression method", e.getMsg());
  }
  // garbage yields a negative result
  std::vector<uint8_t> junk = ut::CodeLike(500, 9);
  std::vector<uint8_t> out(4000);
  for (int m = 2; m <= 10; m++) {
    unsigned ol = unsigned(out.size());
    EXPECT_LT(upx_decompress(junk.data(), 500, out.data(), &ol, m, nullptr), 0) << m;
  }
}

TEST(UpxCompress, ResultTranslation) {
  EXPECT_EQ(0, upx_translate_ucl_result(0));
  EXPECT_EQ(-1, upx_translate_ucl_result(-1));
  EXPECT_EQ(-2, upx_translate_ucl_result(-3));
  EXPECT_EQ(-3, upx_translate_ucl_result(-101));
  EXPECT_EQ(-4, upx_translate_ucl_result(-201));
  EXPECT_EQ(-5, upx_translate_ucl_result(-202));
  EXPECT_EQ(-6, upx_translate_ucl_result(-203));
  EXPECT_EQ(-7, upx_translate_ucl_result(-204));
  EXPECT_EQ(-8, upx_translate_ucl_result(-205));
  EXPECT_EQ(-1, upx_translate_ucl_result(-206));
  EXPECT_EQ(-10, upx_translate_ucl_result(-2));
}
