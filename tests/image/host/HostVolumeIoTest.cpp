// The sector bounce of the host-volume callbacks, run on ordinary files:
// every read and write, whatever its offset, length and buffer alignment,
// must match a reference copy of the data held in memory, and a write must
// leave the bytes around it untouched.
#include <windows.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "TestSupport.h"
#include "image/host/HostVolumeIo.h"

namespace {

const uint32_t kSectors = 8192;  // a 4 MiB "volume"
const uint32_t kBytes = kSectors * 512;

std::vector<uint8_t> Pattern(uint32_t size, uint32_t seed) {
  std::vector<uint8_t> v(size);
  std::mt19937 rng(seed);
  for (auto& b : v) b = (uint8_t)rng();
  return v;
}

class HostVolumeIo : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = vt::ScratchDir() + L"\\volume.bin";
    ref_ = Pattern(kBytes, 1234);
    ASSERT_TRUE(vt::WriteAll(path_, ref_));
    Reopen(GENERIC_READ | GENERIC_WRITE, 0);
  }
  void TearDown() override { Close(); }

  void Reopen(DWORD access, DWORD flags) {
    Close();
    h_ = CreateFileW(path_.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, flags, nullptr);
    ASSERT_NE(h_, INVALID_HANDLE_VALUE);
  }
  void Close() {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
  }

  // Reads [off, off+len) into a buffer shifted by skew bytes from a page
  // boundary and compares it with the reference.
  void CheckRead(uint64_t off, uint32_t len, uint32_t skew) {
    std::vector<uint8_t> mem(len + 8192 + 64, 0xEE);
    uint8_t* page = (uint8_t*)(((uintptr_t)mem.data() + 4095) & ~(uintptr_t)4095);
    uint8_t* buf = page + skew;
    ASSERT_EQ((int)len, ReadHandleBytes(h_, off, buf, len))
        << "offset " << off << " length " << len << " skew " << skew;
    EXPECT_EQ(0, memcmp(buf, ref_.data() + off, len))
        << "offset " << off << " length " << len << " skew " << skew;
    EXPECT_EQ(0xEE, buf[len]) << "read past the requested length";
    if (skew) {
      EXPECT_EQ(0xEE, buf[-1]) << "read before the buffer";
    }
  }

  // Writes fresh bytes over [off, off+len), mirrors them into the
  // reference and checks the whole file against it.
  void CheckWrite(uint64_t off, uint32_t len, uint32_t skew, uint32_t seed) {
    std::vector<uint8_t> data = Pattern(len, seed);
    std::vector<uint8_t> mem(len + 8192);
    uint8_t* page = (uint8_t*)(((uintptr_t)mem.data() + 4095) & ~(uintptr_t)4095);
    memcpy(page + skew, data.data(), len);
    ASSERT_EQ((int)len, WriteHandleBytes(h_, off, page + skew, len))
        << "offset " << off << " length " << len << " skew " << skew;
    memcpy(ref_.data() + off, data.data(), len);
    ExpectFileMatchesReference();
  }

  void ExpectFileMatchesReference() {
    std::vector<uint8_t> disk(kBytes);
    DWORD got = 0;
    OVERLAPPED ov = {};
    ASSERT_TRUE(ReadFile(h_, disk.data(), kBytes, &got, &ov));
    ASSERT_EQ(kBytes, got);
    for (uint32_t i = 0; i < kBytes; ++i)
      if (disk[i] != ref_[i]) FAIL() << "first difference at byte " << i;
  }

  std::wstring path_;
  std::vector<uint8_t> ref_;
  HANDLE h_ = INVALID_HANDLE_VALUE;
};

// Offsets and lengths around sector edges: inside one sector, touching an
// edge, crossing one and two edges, whole sectors, and long runs.
struct Span {
  uint64_t off;
  uint32_t len;
};
const Span kSpans[] = {
    {0, 1},
    {1, 1},
    {511, 1},
    {100, 200},
    {0, 511},
    {1, 511},
    {0, 512},
    {512, 512},
    {511, 2},
    {300, 400},
    {510, 516},
    {500, 1000},
    {1, 1023},
    {256, 1024},
    {1023, 1026},
    {4095, 4098},
    {512, 1536},
    {77, 65536},
    {4096, 65536},
    {12345, 3u << 20},
    {kBytes - 1, 1},
    {kBytes - 700, 700},
    {kBytes - 512, 512},
    {0, kBytes},
};

TEST_F(HostVolumeIo, ReadsMatchTheReferenceAtEveryAlignment) {
  for (const Span& s : kSpans)
    for (uint32_t skew : {0u, 1u, 3u, 512u}) CheckRead(s.off, s.len, skew);
}

TEST_F(HostVolumeIo, WritesChangeOnlyTheirBytes) {
  uint32_t seed = 1;
  for (const Span& s : kSpans) {
    CheckWrite(s.off, s.len, 0, seed++);
    CheckWrite(s.off, s.len, 5, seed++);
  }
}

TEST_F(HostVolumeIo, RandomMixOfReadsAndWritesAgreesWithReference) {
  std::mt19937 rng(77);
  for (int i = 0; i < 300; ++i) {
    uint32_t len = 1 + rng() % (rng() % 4 == 0 ? 200000 : 3000);
    uint64_t off = rng() % (kBytes - len + 1);
    uint32_t skew = rng() % 3 == 0 ? 0 : rng() % 4096;
    if (rng() % 2) {
      std::vector<uint8_t> data = Pattern(len, rng());
      std::vector<uint8_t> mem(len + 8192);
      uint8_t* buf = (uint8_t*)(((uintptr_t)mem.data() + 4095) & ~(uintptr_t)4095) + skew;
      memcpy(buf, data.data(), len);
      ASSERT_EQ((int)len, WriteHandleBytes(h_, off, buf, len));
      memcpy(ref_.data() + off, data.data(), len);
    } else {
      CheckRead(off, len, skew);
    }
  }
  FlushHandle(h_);
  Close();
  // The Linux side reads the file on its own and compares it with the
  // reference written beside it.
  std::wstring refPath = path_.substr(0, path_.rfind(L'\\')) + L"\\reference.bin";
  ASSERT_TRUE(vt::WriteAll(refPath, ref_));
  EXPECT_EQ(0, vt::Sh("cmp " + vt::Q(vt::ToUnix(path_)) + " " + vt::Q(vt::ToUnix(refPath))));
}

TEST_F(HostVolumeIo, UnbufferedHandleServesUnalignedRequests) {
  // The real devices are opened without buffering; every transfer the
  // bounce makes must suit such a handle.
  Reopen(GENERIC_READ | GENERIC_WRITE, FILE_FLAG_NO_BUFFERING);
  CheckRead(3, 1000, 1);
  CheckRead(700, 3u << 20, 7);
  std::vector<uint8_t> data = Pattern(1500, 9);
  ASSERT_EQ(1500, WriteHandleBytes(h_, 1000, data.data(), 1500));
  memcpy(ref_.data() + 1000, data.data(), 1500);
  CheckRead(0, 8192, 0);
}

TEST_F(HostVolumeIo, FailuresReturnZeroAndChangeNothing) {
  std::vector<uint8_t> buf(4096, 0xAB);
  // Past the end, and crossing it: the last transfer is short.
  EXPECT_EQ(0, ReadHandleBytes(h_, kBytes, buf.data(), 512));
  EXPECT_EQ(0, ReadHandleBytes(h_, kBytes - 100, buf.data(), 200));
  EXPECT_EQ(0, ReadHandleBytes(h_, kBytes - 512, buf.data(), 1024));
  EXPECT_EQ(0, ReadHandleBytes(h_, kBytes - 10, buf.data(), 1034));
  // A partial sector past the end cannot be read for merging.
  EXPECT_EQ(0, WriteHandleBytes(h_, kBytes + 3, buf.data(), 10));
  // Nothing to do, or nothing to do it with.
  EXPECT_EQ(0, ReadHandleBytes(h_, 0, buf.data(), 0));
  EXPECT_EQ(0, WriteHandleBytes(h_, 0, buf.data(), 0));
  EXPECT_EQ(0, ReadHandleBytes(h_, 0, nullptr, 512));
  EXPECT_EQ(0, ReadHandleBytes(INVALID_HANDLE_VALUE, 0, buf.data(), 512));
  EXPECT_EQ(0, ReadHandleBytes(nullptr, 0, buf.data(), 512));
  EXPECT_EQ(0, WriteHandleBytes(INVALID_HANDLE_VALUE, 5, buf.data(), 10));
  // The int result cannot carry more than INT_MAX bytes.
  EXPECT_EQ(0, ReadHandleBytes(h_, 0, buf.data(), (unsigned)INT_MAX + 1u));
  FlushHandle(INVALID_HANDLE_VALUE);
  FlushHandle(nullptr);

  // A handle without write access: the partial head is read, its write
  // back fails, and the result says so.
  Reopen(GENERIC_READ, 0);
  EXPECT_EQ(0, WriteHandleBytes(h_, 100, buf.data(), 1000));
  EXPECT_EQ(0, WriteHandleBytes(h_, 1024, buf.data(), 1024));
  ExpectFileMatchesReference();
}

}  // namespace
