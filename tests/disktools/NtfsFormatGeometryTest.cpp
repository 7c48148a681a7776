// Geometry, placement and the system records of formatted volumes.
#include <wchar.h>

#include "FormatTestUtil.h"
#include "disktools/ntfsformat/NtfsFormatState.h"

using namespace fmt;

namespace {

const uint64_t kMiB = 1ULL << 20;
const uint64_t kStart = 2048 * 512;

std::wstring DiskWithPartition(uint64_t sectors) {
  return MakeMbrDisk("a.img", kStart + sectors * 512, 2048, uint32_t(sectors));
}

TEST(NtfsFormatGeometry, OneSectorIsKeptForTheBackupBootSector) {
  EXPECT_EQ(1, FormatFile(DiskWithPartition(2048)));
  std::wstring disk = DiskWithPartition(2049);
  ASSERT_EQ(0, FormatFile(disk));
  std::string out;
  EXPECT_EQ(0, OnPartition(disk, kStart, 2049 * 512, "ntfsfix -n $DEV", &out)) << out;
}

TEST(NtfsFormatGeometry, LogFileAndMirrorPlacement) {
  std::wstring disk = DiskWithPartition(204800);  // 100 MiB
  ASSERT_EQ(0, FormatFile(disk));
  std::vector<uint8_t> boot = ReadBytes(disk, kStart, 512);
  EXPECT_EQ(204799u, Le64(&boot[40]));
  EXPECT_EQ(12799u, Le64(&boot[56]));
  EXPECT_EQ(2 * (long long)kMiB, NtfsInfoNumber(disk, kStart, 100 * kMiB, 2, "Data Size"));

  disk = DiskWithPartition(20 * 1024 * 2048ULL);  // 20 GiB, sparse
  ASSERT_EQ(0, FormatFile(disk));
  EXPECT_EQ(64 * (long long)kMiB, NtfsInfoNumber(disk, kStart, 20480 * kMiB, 2, "Data Size"));
}

// 4,096-byte clusters with 1,024-byte records: $Boot in clusters 0 and 1,
// the MFT bitmap in cluster 2, 27 records over 7 clusters, and a mirror of
// records 0 to 3 that is byte for byte the start of $MFT.
TEST(NtfsFormatGeometry, SystemRecordsAndMirror) {
  std::wstring disk = DiskWithPartition(64 * 2048);
  ASSERT_EQ(0, FormatFile(disk));
  std::vector<uint8_t> boot = ReadBytes(disk, kStart, 512);
  EXPECT_EQ(8, boot[13]);
  EXPECT_EQ(0xF6, boot[64]);
  EXPECT_EQ(1, boot[68]);
  EXPECT_EQ(63u, boot[24] | boot[25] << 8u);
  EXPECT_EQ(255u, boot[26] | boot[27] << 8u);
  uint64_t mftLcn = Le64(&boot[48]), mirrorLcn = Le64(&boot[56]);

  std::vector<uint8_t> mft = ReadMftRecord(disk, kStart, 0);
  const uint8_t* data = FindAttribute(mft, 0x80);
  ASSERT_TRUE(data && data[8] == 1);
  EXPECT_EQ(27648u, Le64(data + 48));
  EXPECT_EQ(7u * 4096, Le64(data + 40));
  const uint8_t* bitmap = FindAttribute(mft, 0xB0);
  ASSERT_TRUE(bitmap && bitmap[8] == 1);
  const uint8_t* pairs = bitmap + (bitmap[32] | bitmap[33] << 8);
  EXPECT_EQ(0x11, pairs[0]);  // one cluster at LCN 2
  EXPECT_EQ(1, pairs[1]);
  EXPECT_EQ(2, pairs[2]);
  std::vector<uint8_t> bits = ReadBytes(disk, kStart + 2 * 4096, 8);
  EXPECT_EQ((std::vector<uint8_t>{0xFF, 0xFF, 0x00, 0x07, 0, 0, 0, 0}), bits);
  std::vector<uint8_t> bootRecord = ReadMftRecord(disk, kStart, 7);
  const uint8_t* bootData = FindAttribute(bootRecord, 0x80);
  ASSERT_TRUE(bootData && bootData[8] == 1);
  const uint8_t* bootPairs = bootData + (bootData[32] | bootData[33] << 8);
  EXPECT_EQ(0x01, bootPairs[0] & 0x0F);  // two clusters at LCN 0
  EXPECT_EQ(2, bootPairs[1]);
  EXPECT_EQ(0, bootPairs[2]);

  EXPECT_EQ(ReadBytes(disk, kStart + mftLcn * 4096, 4096),
            ReadBytes(disk, kStart + mirrorLcn * 4096, 4096));
  // Record 16 to 23 are formatted but free; 24 to 26 are in use.
  EXPECT_EQ(0, ReadMftRecord(disk, kStart, 16)[22] & 1);
  EXPECT_EQ(1, ReadMftRecord(disk, kStart, 24)[22] & 1);
}

void OddOptions(NtfsFormatOptions& o) {
  static const wchar_t kLabel[] = L"OLD";
  o.label = kLabel;
  o.mftZoneMultiplier = 4;
  o.clusterSize = 65536;
  o.sectorsPerTrack = 32;
  o.heads = 16;
}

TEST(NtfsFormatGeometry, NothingOfAnEarlierFormatLeaksIntoTheNext) {
  std::wstring disk = DiskWithPartition(32 * 2048);
  ASSERT_EQ(0, FormatFileWith(disk, OddOptions));
  std::string out;
  ASSERT_EQ(0, OnPartition(disk, kStart, 32 * kMiB, "ntfsinfo -m $DEV", &out));
  EXPECT_NE(std::string::npos, out.find("Volume Name: OLD")) << out;
  EXPECT_EQ(128, ReadBytes(disk, kStart, 512)[13]);

  ASSERT_EQ(0, FormatFile(disk));
  std::vector<uint8_t> boot = ReadBytes(disk, kStart, 512);
  EXPECT_EQ(8, boot[13]);
  EXPECT_EQ(63u, boot[24] | boot[25] << 8u);
  EXPECT_EQ(255u, boot[26] | boot[27] << 8u);
  ASSERT_EQ(0, OnPartition(disk, kStart, 32 * kMiB, "ntfsinfo -m $DEV", &out));
  EXPECT_EQ(std::string::npos, out.find("OLD")) << out;
  EXPECT_EQ(0, OnPartition(disk, kStart, 32 * kMiB, "ntfsfix -n $DEV", &out)) << out;
}

TEST(NtfsFormatGeometry, BuiltinBootCodes) {
  std::wstring disk = DiskWithPartition(16 * 2048);
  ASSERT_EQ(0, FormatFile(disk, 0, 0));
  std::vector<uint8_t> boot = ReadBytes(disk, kStart, 1024);
  std::string text(boot.begin(), boot.end());
  EXPECT_EQ(0, memcmp(boot.data(), "\xEB\x52\x90NTFS    ", 11));
  for (const char* message : {"A disk read error occurred", "NTLDR is missing",
                              "NTLDR is compressed", "Press Ctrl+Alt+Del to restart"})
    EXPECT_NE(std::string::npos, text.find(message)) << message;
  ASSERT_EQ(0, FormatFile(disk, 0, 1));
  boot = ReadBytes(disk, kStart, 512);
  text.assign(boot.begin(), boot.end());
  EXPECT_NE(std::string::npos,
            text.find("This is not a bootable disk. Please insert a bootable floppy and"));
  EXPECT_NE(std::string::npos, text.find("press any key to try again ... "));
  EXPECT_EQ(0x55, boot[510]);
  EXPECT_EQ(0xAA, boot[511]);
}

// The descriptors in $SDS match the hashes that $SDH keys them by.
TEST(NtfsFormatGeometry, SecurityDescriptors) {
  std::vector<uint8_t> read = ntfsformat::SdsDescriptor(0x120089);
  std::vector<uint8_t> write = ntfsformat::SdsDescriptor(0x12019F);
  EXPECT_EQ(104u, read.size());
  EXPECT_EQ(0xF80312F0u, ntfsformat::SecurityHash(read.data(), read.size()));
  EXPECT_EQ(0x00B32451u, ntfsformat::SecurityHash(write.data(), write.size()));
  EXPECT_EQ(100u, ntfsformat::SystemFileDescriptor(0x12019F).size());
  std::vector<uint8_t> root = ntfsformat::RootDirectoryDescriptor();
  ASSERT_EQ(4140u, root.size());
  EXPECT_EQ(4116u, Le32(&root[4]));
  EXPECT_EQ(4128u, Le32(&root[8]));
}

}  // namespace
