// The packer base class: header checks, decompression, overlay and stub
// copies, relocation streams and compression ratios.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "TestSupport.h"
#include "UpxTestUtil.h"
#include "upxlib/bele.h"
#include "upxlib/except.h"
#include "upxlib/filter.h"
#include "upxlib/util.h"

using namespace upx;

static std::string Msg(std::function<void()> f) {
  try {
    f();
  } catch (const Throwable& e) {
    return e.getMsg() ? e.getMsg() : "<null>";
  }
  return "<none>";
}

TEST(UpxPacker, UnoptimizeRelocExamples) {
  {
    const upx_byte s[] = {0};
    const upx_byte* p = s;
    MemBuffer out;
    EXPECT_EQ(0u, Packer::unoptimizeReloc(&p, nullptr, &out, 32));
    EXPECT_EQ(s + 1, p);
    EXPECT_EQ(4u, out.getSize());
  }
  {
    const upx_byte s[] = {0x04, 0x04, 0xF0, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00};
    const upx_byte* p = s;
    MemBuffer out;
    ASSERT_EQ(3u, Packer::unoptimizeReloc(&p, nullptr, &out, 32));
    EXPECT_EQ(0u, get_le32(out + 0));
    EXPECT_EQ(4u, get_le32(out + 4));
    EXPECT_EQ(0x100004u, get_le32(out + 8));
    EXPECT_EQ(s + 10, p);
  }
  {
    const upx_byte s[] = {0xF1, 0x00, 0x00, 0x00};
    const upx_byte* p = s;
    MemBuffer out;
    ASSERT_EQ(1u, Packer::unoptimizeReloc(&p, nullptr, &out, 32));
    EXPECT_EQ(0xFFFCu, get_le32(out));
  }
  {
    // the image's values are turned from big- to little-endian
    const upx_byte s[] = {0x04, 0x08, 0};
    upx_byte image[16] = {0x11, 0x22, 0x33, 0x44, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    const upx_byte* p = s;
    MemBuffer out;
    Packer::unoptimizeReloc(&p, image, &out, 32);
    EXPECT_EQ(0x11223344u, get_le32(image));
    EXPECT_EQ(0x04030201u, get_le32(image + 4));  // not a position
    EXPECT_EQ(0x05060708u, get_le32(image + 8));
    p = s;
    MemBuffer out2;
    EXPECT_EQ("unoptimizeReloc problem",
              Msg([&] { Packer::unoptimizeReloc(&p, image, &out2, 16); }));
    // a stream without its end within the limit is refused
    const upx_byte t[] = {0x04, 0x04};
    p = t;
    MemBuffer out3;
    EXPECT_THROW(Packer::unoptimizeReloc(&p, nullptr, &out3, 32, t + 2), CantUnpackException);
  }
}

TEST(UpxPacker, OptimizeRelocIsTheInverse) {
  ut::ResetOptions();
  {
    upx_byte in[12];
    set_le32(in, 8);
    set_le32(in + 4, 8);
    set_le32(in + 8, 12);
    upx_byte out[16];
    int big = -1;
    unsigned n = Packer::optimizeReloc(in, 3, out, nullptr, &big, 32);
    ASSERT_EQ(3u, n);
    EXPECT_EQ(0x0C, out[0]);
    EXPECT_EQ(0x04, out[1]);
    EXPECT_EQ(0x00, out[2]);
    EXPECT_EQ(0, big);
  }
  std::mt19937 rng(11);
  for (int round = 0; round < 200; round++) {
    std::set<unsigned> pos;
    unsigned cnt = rng() % 300;
    unsigned maxpos = (round % 3 == 0) ? 0x2000000 : 0x20000;
    while (pos.size() < cnt) pos.insert((rng() % maxpos) & ~3u);
    std::vector<unsigned> v(pos.begin(), pos.end());
    std::shuffle(v.begin(), v.end(), rng);
    std::vector<upx_byte> in(4 * v.size() + 4);
    for (size_t i = 0; i < v.size(); i++) set_le32(&in[4 * i], v[i]);
    std::vector<upx_byte> out(7 * v.size() + 8);
    int big = 0;
    unsigned n =
        Packer::optimizeReloc(in.data(), unsigned(v.size()), out.data(), nullptr, &big, 32);
    const upx_byte* p = out.data();
    MemBuffer dec;
    unsigned m = Packer::unoptimizeReloc(&p, nullptr, &dec, 32, out.data() + n);
    ASSERT_EQ(pos.size(), m);
    EXPECT_EQ(out.data() + n, p);
    unsigned i = 0;
    for (unsigned x : pos) EXPECT_EQ(x, get_le32(dec + 4 * i++));
  }
  upx_byte in[8];
  set_le32(in, 8);
  set_le32(in + 4, 10);
  upx_byte out[16];
  EXPECT_EQ("overlapping fixups",
            Msg([&] { Packer::optimizeReloc(in, 2, out, nullptr, nullptr, 32); }));
}

TEST(UpxPacker, CompressionRatio) {
  ut::ResetOptions();
  ut::TestPacker p(nullptr);
  EXPECT_FALSE(p.checkDefaultCompressionRatio(10000, 10000 - 511));
  EXPECT_TRUE(p.checkDefaultCompressionRatio(100000, 100000 - 4096));
  EXPECT_TRUE(p.checkDefaultCompressionRatio(8000, 7400));
  EXPECT_FALSE(p.checkDefaultCompressionRatio(20000, 19400));
}

class UpxPackerFile : public ::testing::Test {
 protected:
  void SetUp() override {
    ut::ResetOptions();
    dir = vt::ScratchDir();
  }
  void Make(size_t size) {
    path = dir + L"\\in.bin";
    std::vector<uint8_t> d(size);
    for (size_t i = 0; i < size; i++) d[i] = uint8_t(i * 13 + (i >> 8));
    data = d;
    ASSERT_TRUE(vt::WriteAll(path, d));
    ASSERT_EQ(0, fi.open(path.c_str(), O_BINARY | O_RDONLY));
  }
  std::wstring dir, path;
  std::vector<uint8_t> data;
  InputFile fi;
};

TEST_F(UpxPackerFile, HeaderChecks) {
  Make(20000);
  ut::TestPacker p(&fi);
  EXPECT_EQ(20000, p.file_size);
  p.initPackHeader();
  EXPECT_EQ(13, p.ph.version);
  EXPECT_EQ(9, p.ph.format);
  EXPECT_EQ(-3, p.ph.method);
  EXPECT_EQ(1u, p.ph.saved_u_adler);
  EXPECT_EQ(20000u, p.ph.u_file_size);
  auto get = [&](std::vector<uint8_t> h, bool allow = false) {
    return Msg([&] {
      if (!p.getPackHeader(h.data(), int(h.size()), allow)) throw CantUnpackException("false");
      throw CantUnpackException("true");
    });
  };
  EXPECT_EQ("true", get(ut::MakeHeader13(10000, 5000)));
  EXPECT_EQ("header corrupted", get(ut::MakeHeader13(5000, 5000)));
  EXPECT_EQ("true", get(ut::MakeHeader13(5000, 5000), true));
  EXPECT_EQ("header corrupted", get(ut::MakeHeader13(50000, 20000)));  // c_len not below file size
  EXPECT_EQ("header corrupted", get(ut::MakeHeader13(4000, 5000)));
  EXPECT_EQ("need a newer version of UPX", get(ut::MakeHeader13(10000, 5000, 2, 0, 14)));
  EXPECT_EQ("I am not compatible with older versions of UPX",
            get(ut::MakeHeader13(10000, 5000, 2, 0, 7)));
  EXPECT_EQ("unknown compression method (try a newer version of UPX)",
            get(ut::MakeHeader13(10000, 5000, 14)));
  EXPECT_EQ("true", get(ut::MakeHeader13(10000, 5000, 13)));             // passes; refused later
  EXPECT_EQ("false", get(ut::MakeHeader13(10000, 5000, 2, 0, 13, 36)));  // other format
  p.expected_version = 12;
  EXPECT_EQ("program has been modified; run a virus checker!", get(ut::MakeHeader13(10000, 5000)));
  p.expected_version = -1;
  p.expected_format = 36;
  EXPECT_EQ("program has been modified; run a virus checker!", get(ut::MakeHeader13(10000, 5000)));
  // readPackHeader reads from the file position
  EXPECT_FALSE(p.readPackHeader(1024));
}

TEST_F(UpxPackerFile, DecompressChecks) {
  Make(200000);
  ut::TestPacker p(&fi);
  p.initPackHeader();
  std::vector<uint8_t> src = ut::CodeLike(30000, 5);
  // filtered with 0x26, compressed
  Filter f(9);
  f.init(0x26, 0);
  std::vector<uint8_t> filtered = src;
  ASSERT_TRUE(f.filter(filtered.data(), unsigned(filtered.size())));
  std::vector<uint8_t> c(MemBuffer::getSizeForCompression(30000));
  unsigned clen = 0;
  ASSERT_EQ(0, upx_compress(filtered.data(), 30000, c.data(), &clen, 8, 9, nullptr, nullptr));
  p.ph.method = 8;
  p.ph.u_len = 30000;
  p.ph.c_len = clen;
  p.ph.c_adler = upx_adler32(c.data(), clen);
  p.ph.u_adler = upx_adler32(src.data(), 30000);
  std::vector<uint8_t> out(30000);
  Filter uf(9);
  uf.init(0x26, 0);
  uf.cto = f.cto;
  p.decompress(c.data(), out.data(), true, &uf);
  EXPECT_TRUE(out == src);
  // without the verify flag: no sums, no unfilter
  p.ph.c_adler ^= 1;
  p.decompress(c.data(), out.data(), false, &uf);
  EXPECT_TRUE(out == filtered);
  // a wrong compressed sum is found before the length check
  p.ph.u_len = 10;
  EXPECT_EQ("checksum error", Msg([&] { p.decompress(c.data(), out.data(), true, &uf); }));
  p.ph.c_adler ^= 1;
  EXPECT_EQ("header corrupted", Msg([&] { p.decompress(c.data(), out.data(), true, &uf); }));
  p.ph.u_len = 30000;
  p.ph.u_adler ^= 1;
  EXPECT_EQ("checksum error", Msg([&] { p.decompress(c.data(), out.data(), true, &uf); }));
  p.ph.u_adler ^= 1;
  c[clen / 2] ^= 0x55;
  p.ph.c_adler = upx_adler32(c.data(), clen);
  std::string m = Msg([&] { p.decompress(c.data(), out.data(), true, &uf); });
  EXPECT_TRUE(m == "compressed data violation" || m == "checksum error") << m;
  p.ph.method = 11;
  EXPECT_EQ("unknown decompression method", Msg([&] { p.decompress(c.data(), out.data(), true); }));
}

TEST_F(UpxPackerFile, OverlayChecksAndCopy) {
  Make(200000);
  ut::TestPacker p(&fi);
  p.checkOverlay(0);
  EXPECT_EQ("invalid overlay size; file is possibly corrupt", Msg([&] { p.checkOverlay(200001); }));
  EXPECT_EQ("invalid overlay size; file is possibly corrupt",
            Msg([&] { p.checkOverlay(0x80000000u); }));
  EXPECT_THROW(p.checkOverlay(0x80000000u), OverlayException);
  opt->overlay = 0;
  EXPECT_EQ("file has overlay -- skipped; try '--overlay=copy'", Msg([&] { p.checkOverlay(5); }));
  opt->overlay = -1;
  p.checkOverlay(5);
  // 100000 bytes with a 100000-byte buffer: chunks of 98304 and 1696
  std::wstring out = dir + L"\\ov.bin";
  OutputFile fo;
  ASSERT_EQ(0, fo.open(out.c_str(), O_BINARY | O_WRONLY | O_CREAT | O_EXCL, 0600));
  MemBuffer buf(100000);
  p.copyOverlay(&fo, 100000, &buf, true);
  EXPECT_EQ(100000, fo.getBytesWritten());
  p.copyOverlay(&fo, 0, &buf, true);  // nothing
  opt->overlay = 2;
  p.copyOverlay(&fo, 10, &buf, true);  // strip: nothing
  opt->overlay = -1;
  fo.closeChecked();
  std::vector<uint8_t> d;
  ASSERT_TRUE(vt::ReadAll(out, d));
  ASSERT_EQ(100000u, d.size());
  EXPECT_TRUE(std::equal(d.begin(), d.end(), data.begin() + 100000));
  // the stub copy
  std::wstring out2 = dir + L"\\stub.bin";
  OutputFile f2;
  ASSERT_EQ(0, f2.open(out2.c_str(), O_BINARY | O_WRONLY | O_CREAT | O_EXCL, 0600));
  Packer::copyStub(&fi, &f2, 1234);
  Packer::copyStub(&fi, nullptr, 1234);
  EXPECT_EQ(1234, f2.getBytesWritten());
  EXPECT_EQ("mem_size 2; take care", Msg([&] { Packer::copyStub(&fi, &f2, 0x30000001); }));
  f2.closeChecked();
}

TEST(UpxPacker, SelfCheckAndVersions) {
  ut::ResetOptions();
  ut::TestPacker p(nullptr);
  p.selfCheck();
  EXPECT_EQ(-1, p.file_size);
  EXPECT_TRUE(p.canUnpackVersion(8));
  EXPECT_FALSE(p.canUnpackVersion(7));
  EXPECT_TRUE(Packer::isValidCompressionMethod(2));
  EXPECT_TRUE(Packer::isValidCompressionMethod(13));
  EXPECT_FALSE(Packer::isValidCompressionMethod(14));
  EXPECT_FALSE(Packer::isValidCompressionMethod(1));
  p.bele = &N_BELE_RTP::be_policy;
  EXPECT_THROW(p.selfCheck(), InternalError);
  ut::TestPacker bad(nullptr, 15);
  EXPECT_THROW(bad.selfCheck(), InternalError);
}
