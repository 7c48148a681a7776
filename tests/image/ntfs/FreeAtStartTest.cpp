// Which bytes of a write lie in clusters free when the command began: the
// answer must hold $Bitmap as it stood then, through the command's own
// writes of it, and be withheld whenever that state is not known.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "image/ntfs/NtfsFreeAtStart.h"

namespace {

// A partition of 64 clusters of 512 bytes; $Bitmap (8 bytes) in two runs:
// bytes 0-2 at cluster 10, bytes 3-7 at cluster 20.
const uint64_t kCluster = 512;
struct Disk {
  std::vector<uint8_t> bytes = std::vector<uint8_t>(64 * kCluster);
  bool failReads = false;
  uint64_t ended = 0;  // commands the disk ended
  NtfsFreeAtStart free = NtfsFreeAtStart(2);  // 16 clusters a piece
  uint8_t* Bitmap(int i) { return &bytes[(i < 3 ? 10 * kCluster + i : 20 * kCluster + i - 3)]; }
  void SetUsed(int c, bool used) {
    uint8_t bit = (uint8_t)(1 << (c % 8));
    *Bitmap(c / 8) = used ? *Bitmap(c / 8) | bit : *Bitmap(c / 8) & ~bit;
  }
  void Locate() {
    free.Locate({{10 * kCluster, 10 * kCluster + 3}, {20 * kCluster, 20 * kCluster + 5}}, kCluster,
                64);
  }
  // Writes through the answer: what it said, then the bytes themselves.
  NtfsFreeAtStart::Ranges Write(bool newCommand, uint64_t at, const std::vector<uint8_t>& data) {
    NtfsFreeAtStart::Ranges out;
    free.BeforeWrite(newCommand, ended, at, data.size(), Read, this, &out);
    memcpy(&bytes[at], data.data(), data.size());
    return out;
  }
  static bool Read(void* ctx, uint64_t at, void* buf, uint32_t n) {
    Disk* d = static_cast<Disk*>(ctx);
    if (d->failReads) return false;
    memcpy(buf, &d->bytes[at], n);
    return true;
  }
};

typedef NtfsFreeAtStart::Ranges R;

TEST(FreeAtStart, AnswersFromTheBitmapAsTheCommandFoundIt) {
  Disk d;
  for (int c = 0; c < 32; c++) d.SetUsed(c, true);  // clusters 32-63 free
  d.Locate();
  // The command's first write takes clusters 32-39 in $Bitmap (its byte 4,
  // in the second run): they stay free for the command.
  EXPECT_EQ(R(), d.Write(true, 20 * kCluster + 1, std::vector<uint8_t>(1, 0xFF)));
  EXPECT_EQ(R({{36 * kCluster, 36 * kCluster + 100}}),
            d.Write(false, 36 * kCluster, std::vector<uint8_t>(100)));
  // The second half of cluster 31 (in use), all of 32 and 33: only the
  // free bytes.
  EXPECT_EQ(R({{32 * kCluster, 34 * kCluster}}),
            d.Write(false, 31 * kCluster + 256, std::vector<uint8_t>(2 * kCluster + 256)));
  // The next command begins with $Bitmap as the last one left it.
  EXPECT_EQ(R({{40 * kCluster, 41 * kCluster}}),
            d.Write(true, 39 * kCluster, std::vector<uint8_t>(2 * kCluster)));
}

TEST(FreeAtStart, NoAnswerWhereTheStartIsNotKnown) {
  {
    // A write of the command into $Bitmap before its place was known.
    Disk d;
    d.Write(true, 20 * kCluster, std::vector<uint8_t>(1, 0xFF));
    d.Locate();
    EXPECT_EQ(R(), d.Write(false, 40 * kCluster, std::vector<uint8_t>(kCluster)));
    // The next command is known from its start; the one after it began
    // with a write past this device.
    EXPECT_EQ(R({{50 * kCluster, 51 * kCluster}}),
              d.Write(true, 50 * kCluster, std::vector<uint8_t>(kCluster)));
    d.ended++;
    EXPECT_EQ(R(), d.Write(false, 50 * kCluster, std::vector<uint8_t>(kCluster)));
  }
  {
    // A command under way before the volume was seen; a failed read of
    // $Bitmap; a stop.
    Disk d;
    d.Locate();
    EXPECT_EQ(R(), d.Write(false, 40 * kCluster, std::vector<uint8_t>(kCluster)));
    d.failReads = true;
    EXPECT_EQ(R(), d.Write(true, 40 * kCluster, std::vector<uint8_t>(kCluster)));
    d.failReads = false;
    EXPECT_EQ(R(), d.Write(false, 40 * kCluster, std::vector<uint8_t>(kCluster)));
    d.free.Stop();
    EXPECT_EQ(R(), d.Write(true, 40 * kCluster, std::vector<uint8_t>(kCluster)));
  }
}

}  // namespace
