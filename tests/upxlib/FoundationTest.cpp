// exceptions, buffers, files, byte order,
// formatting and the self-test.
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <gtest/gtest.h>

#include <string>

#include "TestSupport.h"
#include "UpxTestUtil.h"
#include "upxlib/bele.h"
#include "upxlib/except.h"
#include "upxlib/file.h"
#include "upxlib/mem.h"
#include "upxlib/util.h"

using namespace upx;

template <class F>
static std::string MessageOf(F f) {
  try {
    f();
  } catch (const Throwable& e) {
    return e.getMsg() ? e.getMsg() : "<null>";
  }
  return "<no exception>";
}

// ---- exceptions ----

TEST(UpxExceptions, CannotPackFollowsTheCommand) {
  ut::ResetOptions(CMD_DECOMPRESS);
  EXPECT_THROW(raiseCannotPack("header corrupted 2"), CantUnpackException);
  opt->cmd = CMD_COMPRESS;
  EXPECT_THROW(raiseCannotPack("x"), CantPackException);
  opt->cmd = CMD_FILEINFO;
  EXPECT_THROW(raiseCannotPack("x"), CantPackException);
  ut::ResetOptions();
}

TEST(UpxExceptions, ClassesAndTexts) {
  try {
    raiseNotPacked();
  } catch (const CantUnpackException& e) {
    EXPECT_TRUE(e.isWarning());
    EXPECT_STREQ("not packed by UPX", e.getMsg());
  }
  try {
    raiseEOF();
  } catch (const IOException& e) {
    EXPECT_STREQ("premature end of file", e.getMsg());
    EXPECT_NE(nullptr, dynamic_cast<const Exception*>(&e));
    EXPECT_NE(nullptr, dynamic_cast<const EOFException*>(&e));
  }
  EXPECT_EQ("checksum error", MessageOf([] { raiseChecksumError(); }));
  EXPECT_EQ("compressed data violation", MessageOf([] { raiseCompressedDataViolation(); }));
  EXPECT_EQ("out of memory", MessageOf([] { raiseOutOfMemory(); }));
  EXPECT_THROW(raiseInternalError("x"), Error);
  EXPECT_THROW(raiseAlreadyPacked(nullptr), CantPackException);
  EXPECT_THROW(raiseNotCompressible(), CantPackException);
  try {
    raiseIOException("read error", 5);
  } catch (const IOException& e) {
    EXPECT_EQ(5, e.getErrno());
  }
  EXPECT_EQ("<null>", MessageOf([] { raiseInternalError(nullptr); }));
}

TEST(UpxExceptions, CopyKeepsTheMessage) {
  Exception* orig = new Exception("some text", 7);
  Exception copy(*orig);
  delete orig;
  EXPECT_STREQ("some text", copy.getMsg());
  EXPECT_EQ(7, copy.getErrno());
}

// ---- buffers and files ----

TEST(UpxMem, CheckedSizes) {
  ut::ResetOptions();
  EXPECT_EQ(0x30000000u, mem_size(4, 0x0C000000, 0));
  EXPECT_EQ("mem_size 5; take care", MessageOf([] { mem_size(4, 0x0C000000, 1); }));
  EXPECT_EQ("mem_size 1; take care", MessageOf([] { mem_size(0x30000001, 1); }));
  EXPECT_EQ("mem_size 2; take care", MessageOf([] { mem_size(1, 0x30000001); }));
  EXPECT_EQ("mem_size 3; take care", MessageOf([] { mem_size(1, 1, 0x30000001); }));
  EXPECT_EQ(12u, mem_size_count(4, 12));
  EXPECT_TRUE(mem_size_valid_bytes(0x30000000));
  EXPECT_FALSE(mem_size_valid_bytes(0x30000001));
  EXPECT_EQ("mem_size 2; take care", MessageOf([] { mem_zero(nullptr, 0x30000001); }));
  EXPECT_EQ(1000u + 125 + 256, MemBuffer::getSizeForCompression(1000));
}

TEST(UpxMem, GuardWordsDetectClobbers) {
  {
    MemBuffer b(100);
    b.verifyGuards();
    const upx_byte saved = b[100];
    b[100] = upx_byte(saved ^ 0x55);  // one byte past the end
    EXPECT_EQ("memory clobbered past end of allocated block", MessageOf([&] { b.verifyGuards(); }));
    EXPECT_EQ("memory clobbered past end of allocated block", MessageOf([&] { b.release(); }));
    b[100] = saved;  // repair, so the buffer can be freed
    b.release();
  }
  {
    MemBuffer b(16);
    upx_byte save[4];
    memcpy(save, b.data() - 4, 4);
    memset(b.data() - 4, 0, 4);
    EXPECT_EQ("memory clobbered before allocated block 1", MessageOf([&] { b.verifyGuards(); }));
    memcpy(b.data() - 4, save, 4);
    memcpy(save, b.data() - 8, 4);
    b.data()[-5] ^= 1;
    EXPECT_EQ("memory clobbered before allocated block 2", MessageOf([&] { b.verifyGuards(); }));
    memcpy(b.data() - 8, save, 4);
    b.verifyGuards();
  }
  {
    // the guard layout: size and address words big-endian, then the serial
    unsigned serial = MemBuffer::getSerialCounter();
    MemBuffer b(10);
    EXPECT_EQ(10u, get_be32(b.data() - 8));
    EXPECT_EQ(unsigned(uintptr_t(b.data())) ^ 0xFEFDBEEBu, get_be32(b.data() - 4));
    EXPECT_EQ(unsigned(uintptr_t(b.data())) ^ 0x7EFFFEEAu, get_be32(b.data() + 10));
    EXPECT_EQ(serial, get_be32(b.data() + 14));
    EXPECT_EQ(serial + 1, MemBuffer::getSerialCounter());
  }
  MemBuffer e;
  EXPECT_EQ("block not allocated", MessageOf([&] { e.verifyGuards(); }));
  EXPECT_THROW(e.allocate(0), Throwable);
  EXPECT_EQ("mem_size 2; take care", MessageOf([&] { e.allocate(0x30000001); }));
  EXPECT_EQ("mem_size 5; take care", MessageOf([&] { e.allocate(0x30000000 - 31); }));
}

TEST(UpxMem, ViewIsRangeChecked) {
  ut::ResetOptions();
  MemBuffer b(64);
  EXPECT_EQ(b.data() + 8, b.view("bad %u %u", 8, 56));
  EXPECT_EQ("bad view 60 8", MessageOf([&] { b.view("bad view %u %u", 60, 8); }));
  EXPECT_EQ("bad view 4294967295 2", MessageOf([&] { b.view("bad view %u %u", 0xFFFFFFFFu, 2); }));
  EXPECT_THROW(b.view("x", 60, 8), CantUnpackException);
  b.zeroRange(0, 64);
}

class UpxFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    ut::ResetOptions();
    dir = vt::ScratchDir();
    path = dir + L"\\data.bin";
    std::vector<uint8_t> d(2000);
    for (size_t i = 0; i < d.size(); i++) d[i] = uint8_t(i * 7);
    ASSERT_TRUE(vt::WriteAll(path, d));
  }
  std::wstring dir, path;
};

TEST_F(UpxFiles, ReadNearTheEnd) {
  InputFile f;
  ASSERT_EQ(0, f.openShared(path.c_str(), O_BINARY | O_RDONLY, _SH_DENYWR));
  EXPECT_EQ(2000, f.getLength());
  upx_byte buf[100];
  f.seek(-40, SEEK_END);
  EXPECT_EQ(40, f.read(buf, 100));
  EXPECT_EQ(uint8_t(1960 * 7), buf[0]);
  f.seek(-40, SEEK_END);
  EXPECT_EQ("premature end of file", MessageOf([&] { f.readExact(buf, 100); }));
  MemBuffer mb(100);
  f.seek(-40, SEEK_END);
  EXPECT_THROW(f.readExact(mb, 100), EOFException);
  f.closeChecked();
  EXPECT_EQ("bad read", MessageOf([&] { f.read(buf, 1); }));
}

TEST_F(UpxFiles, SeekRules) {
  InputFile f;
  ASSERT_EQ(0, f.open(path.c_str(), O_BINARY | O_RDONLY));
  EXPECT_EQ("bad seek 2", MessageOf([&] { f.seek(-1, SEEK_SET); }));
  EXPECT_EQ("bad seek 3", MessageOf([&] { f.seek(1, SEEK_END); }));
  EXPECT_EQ("bad seek 4", MessageOf([&] { f.seek(2001, SEEK_SET); }));
  EXPECT_EQ("mem_size 2; take care", MessageOf([&] { f.seek(0x30000001, SEEK_SET); }));
  EXPECT_EQ(2000, f.seek(2000, SEEK_SET));
  f.setExtent(1000, 500);
  EXPECT_EQ(0, f.seek(0, SEEK_SET));
  EXPECT_EQ(1000, _lseeki64(f.getFd(), 0, SEEK_CUR));
  upx_byte b;
  f.read(&b, 1);
  EXPECT_EQ(uint8_t(1000 * 7), b);
  EXPECT_EQ(1, f.tell());
  EXPECT_EQ(500, f.seek(0, SEEK_END));
  f.close();
  EXPECT_EQ("bad seek 1", MessageOf([&] { f.seek(0, SEEK_SET); }));
  EXPECT_EQ("bad tell", MessageOf([&] { f.tell(); }));
}

TEST_F(UpxFiles, OpenResults) {
  InputFile f;
  std::wstring missing = dir + L"\\missing.bin";
  EXPECT_EQ(2, f.openShared(missing.c_str(), O_BINARY | O_RDONLY, _SH_DENYWR));
  OutputFile o;
  EXPECT_EQ(80,
            o.openShared(path.c_str(), O_BINARY | O_WRONLY | O_CREAT | O_EXCL, _SH_DENYWR, 0600));
  std::wstring bad = dir + L"\\no\\such\\folder\\x.bin";
  EXPECT_EQ(11,
            o.openShared(bad.c_str(), O_BINARY | O_WRONLY | O_CREAT | O_EXCL, _SH_DENYWR, 0600));
  std::wstring out = dir + L"\\out.bin";
  ASSERT_EQ(0, o.openShared(out.c_str(), O_BINARY | O_WRONLY | O_CREAT | O_EXCL, _SH_DENYWR, 0600));
  o.write("abcdef", 6);
  EXPECT_EQ(6, o.getBytesWritten());
  o.seek(2, SEEK_SET);
  o.rewrite("XY", 2);
  EXPECT_EQ(6, o.getBytesWritten());
  EXPECT_EQ(6, o.getLength());
  MemBuffer mb(4);
  memcpy(mb.data(), "1234", 4);
  o.seek(0, SEEK_END);
  o.write(mb, 4);
  o.closeChecked();
  std::vector<uint8_t> d;
  ASSERT_TRUE(vt::ReadAll(out, d));
  EXPECT_EQ("abXYef1234", std::string(d.begin(), d.end()));
  EXPECT_EQ("bad write", MessageOf([&] { o.write("x", 1); }));
}

// ---- byte order, formatting, self-test ----

TEST(UpxByteOrder, FieldsAndPolicies) {
  const upx_byte d[8] = {0xFF, 0xFE, 0xFD, 0xFC, 0xFB, 0xFA, 0xF9, 0xF8};
  const N_BELE_RTP::AbstractPolicy* le = &N_BELE_RTP::le_policy;
  const N_BELE_RTP::AbstractPolicy* be = &N_BELE_RTP::be_policy;
  EXPECT_TRUE(le->isLittleEndian());
  EXPECT_TRUE(be->isBigEndian());
  EXPECT_EQ(0xFFFEFDFCu, be->get32(d));
  EXPECT_EQ(0xFCFDFEFFu, le->get32(d));
  EXPECT_EQ(-50462977, get_le32_signed(d));
  const upx_byte m[3] = {0x00, 0x00, 0x80};
  EXPECT_EQ(-8388608, le->get24_signed(m));
  const upx_byte a[2] = {0x00, 0x80}, b[2] = {0x01, 0x00};
  EXPECT_EQ(-1, le->compare16_signed(a, b));
  EXPECT_EQ(1, le->compare16(a, b));
  upx_byte w[8];
  be->set64(w, 0x0102030405060708ull);
  EXPECT_EQ(0x0102030405060708ull, get_be64(w));
  le->set24(w, 0xABCDEF);
  EXPECT_EQ(0xEF, w[0]);
  EXPECT_TRUE(testFieldTypes());
  LE32 x = 5;
  x += 3;
  EXPECT_EQ(8u, unsigned(x));
  EXPECT_EQ(4u, sizeof(LE32));
}

TEST(UpxFormat, BoundedFormatting) {
  char buf[8];
  EXPECT_EQ(7, upx_snprintf(buf, 8, "%s", "abcdefg"));
  EXPECT_STREQ("abcdefg", buf);
  EXPECT_EQ(7, upx_snprintf(nullptr, 0, "%s", "abcdefg"));
  char big[64];
  upx_snprintf(big, sizeof(big), "%5.2s|%-4d|%s", "abc", 7, (const char*)nullptr);
  EXPECT_STREQ("   ab|7   |(NULL)", big);
  upx_snprintf(big, sizeof(big), "%05d %+d % d %x %X %o %u %c %%", -42, 3, 4, 0xBEEFu, 0xBEEFu, 8u,
               4000000000u, 'q');
  EXPECT_STREQ("-0042 +3  4 beef BEEF 10 4000000000 q %", big);
  upx_snprintf(big, sizeof(big), "%lld %llx %hhd %hd %*d|%-*d|", -5000000000LL, 0x123456789ULL, 300,
               70000, 4, 1, 3, 2);
  EXPECT_STREQ("-5000000000 123456789 44 4464    1|2  |", big);
  upx_snprintf(big, sizeof(big), "bad extrainfo offset %#x", 0x1234u);
  EXPECT_STREQ("bad extrainfo offset 0x1234", big);
  int n = 0;
  upx_snprintf(big, sizeof(big), "abc%n", &n);
  EXPECT_EQ(3, n);
  EXPECT_THROW(upx_snprintf(buf, 8, "%s", "abcdefgh"), Throwable);  // does not fit
  EXPECT_THROW(upx_snprintf(big, sizeof(big), "%f", 1.0), Throwable);
  EXPECT_EQ(3u, upx_strlen("abc"));
}

TEST(UpxFormat, SearchAndPaths) {
  const upx_byte b[] = {1, 2, 3, 1, 2, 3};
  const upx_byte p[] = {2, 3};
  EXPECT_EQ(1, find(b, 6, p, 2));
  EXPECT_EQ(-1, find(b, 1, p, 2));
  EXPECT_EQ(-1, find(nullptr, 6, p, 2));
  EXPECT_EQ(-1, find(b, 0, p, 2));
  upx_byte c[] = {'a', 'b', 'c', 'd', 'a', 'b', 'c', 'd', 'x'};
  EXPECT_EQ(2, mem_replace(c, 9, "abcd", 4, "WXYZ"));
  EXPECT_EQ('W', c[4]);
  EXPECT_STREQ(L"name.exe", fileNamePart(L"C:dir\\sub/name.exe"));
  EXPECT_STREQ(L"x", fileNamePart(L"x"));
  EXPECT_TRUE(hasScreenSaverExtension(L"C:\\a\\b.SCR"));
  EXPECT_TRUE(hasScreenSaverExtension(L"C:\\a\\ascr"));
  EXPECT_FALSE(hasScreenSaverExtension(L"scr"));
  EXPECT_FALSE(hasScreenSaverExtension(L"C:\\a\\"));
  EXPECT_FALSE(hasScreenSaverExtension(L"C:\\a\\b.exe"));
  EXPECT_EQ(-3, ptr_distance(b, b + 3));
}

TEST(UpxFormat, SelfTestPasses) {
  EXPECT_TRUE(selfTest());
}
