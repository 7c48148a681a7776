// The partition-table step: MBR alignment, the primary and backup GPT, and
// the checksums they use.
#include <errno.h>

#include "FormatTestUtil.h"
#include "image/device/MbrTemplate.h"
#include "image/device/PartitionTable.h"

using namespace fmt;

namespace {

const uint64_t kMiB = 1ULL << 20;

TEST(NtfsFormatTable, Checksums) {
  EXPECT_EQ(0xCBF43926u, ComputeGptCrc32("123456789", 9));
  EXPECT_EQ(0u, ComputeGptCrc32("123456789", 0));
  EXPECT_EQ(0u, ComputeCrc64(0, nullptr, 0));
  EXPECT_EQ(0x05E5CABB3FC1FAEBULL, ComputeCrc64(3, "abc", 0));
}

TEST(NtfsFormatTable, FirstPartitionAtLba63IsAlignedTo64) {
  uint32_t count = uint32_t(64 * kMiB / 512 - 63);
  std::wstring disk = MakeMbrDisk("a.img", 64 * kMiB, 63, count);
  ASSERT_EQ(0, FormatFile(disk));
  std::vector<uint8_t> mbr = ReadBytes(disk, 0, 512);
  EXPECT_EQ(64u, Le32(&mbr[446 + 8]));
  EXPECT_EQ(count - 1, Le32(&mbr[446 + 12]));
  EXPECT_EQ("010200", Hex(&mbr[446 + 1], 3));  // head 1, sector 2: LBA 64
  EXPECT_EQ(0x78563412u, Le32(&mbr[440]));     // the disk signature stays
  uint8_t code[512];
  CopyMbrTemplate(code);
  EXPECT_EQ(0, memcmp(code, mbr.data(), 440));
  std::vector<uint8_t> boot = ReadBytes(disk, 64 * 512, 512);
  EXPECT_EQ(64u, Le32(&boot[28]));
  std::string out;
  EXPECT_EQ(0, OnPartition(disk, 64 * 512, uint64_t(count - 1) * 512, "ntfsfix -n $DEV", &out))
      << out;
}

TEST(NtfsFormatTable, AlignedStartLeavesSectorZeroAlone) {
  std::wstring disk = MakeMbrDisk("a.img", 16 * kMiB, 2048, uint32_t(16 * kMiB / 512 - 2048));
  std::vector<uint8_t> before = ReadBytes(disk, 0, 512);
  ASSERT_EQ(0, FormatFile(disk));
  EXPECT_EQ(before, ReadBytes(disk, 0, 512));
  EXPECT_EQ(2048u, Le32(&ReadBytes(disk, 2048 * 512, 512)[28]));
}

// Formatting the second partition aligns that one; the first keeps its
// place and its volume.
TEST(NtfsFormatTable, OnlyTheFormattedEntryMoves) {
  const uint32_t firstCount = 32768 - 63, secondStart = 32771, secondCount = 65536 - 32771 - 1;
  std::wstring disk = MakeMbrDisk("a.img", 32 * kMiB, 63, firstCount);
  ASSERT_EQ(0, FormatFile(disk, 0, 1, 0));
  std::vector<uint8_t> mbr = ReadBytes(disk, 0, 512);
  mbr[462 + 4] = 0x07;
  memcpy(&mbr[462 + 8], &secondStart, 4);
  memcpy(&mbr[462 + 12], &secondCount, 4);
  WriteBytes(disk, 0, mbr);
  ASSERT_EQ(0, FormatFile(disk, 1, 1, 1));
  mbr = ReadBytes(disk, 0, 512);
  EXPECT_EQ(63u, Le32(&mbr[446 + 8]));
  EXPECT_EQ(firstCount, Le32(&mbr[446 + 12]));
  EXPECT_EQ(32776u, Le32(&mbr[462 + 8]));
  EXPECT_EQ("0a1102", Hex(&mbr[462 + 1], 3));  // cylinder 2, head 10, sector 17
  EXPECT_EQ(secondCount - 5, Le32(&mbr[462 + 12]));
  EXPECT_EQ(32776u, Le32(&ReadBytes(disk, 32776ULL * 512, 512)[28]));
  std::string out;
  EXPECT_EQ(0, OnPartition(disk, 63 * 512, uint64_t(firstCount) * 512, "ntfsfix -n $DEV", &out))
      << out;
  EXPECT_EQ(0, OnPartition(disk, 32776ULL * 512, uint64_t(secondCount - 5) * 512, "ntfsfix -n $DEV",
                           &out))
      << out;
}

// A protective MBR whose second slot holds the disk GUID, and two entries:
// a small EFI system partition first, the data partition (ending at E) second.
struct GptDisk {
  std::wstring path;
  uint64_t dataEnd;
  uint8_t entries[256];
};

GptDisk MakeGptDisk(uint64_t dataSectors) {
  GptDisk d;
  d.dataEnd = 4096 + dataSectors - 1;
  uint64_t sectors = d.dataEnd + 4098;  // the backup header lands in the last sector
  d.path = MakeMbrDisk("gpt.img", sectors * 512, 1, uint32_t(sectors - 1));
  std::vector<uint8_t> mbr = ReadBytes(d.path, 0, 512);
  mbr[446 + 4] = 0xEE;
  for (int i = 0; i < 16; ++i) mbr[0x1CE + i] = uint8_t(0xA0 + i);
  WriteBytes(d.path, 0, mbr);
  static const uint8_t kEsp[16] = {0x28, 0x73, 0x2A, 0xC1, 0x1F, 0xF8, 0xD2, 0x11,
                                   0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B};
  memset(d.entries, 0, sizeof d.entries);
  uint64_t espFirst = 2048, espLast = 4095, dataFirst = 4096;
  memcpy(d.entries, kEsp, 16);
  memcpy(d.entries + 32, &espFirst, 8);
  memcpy(d.entries + 40, &espLast, 8);
  memcpy(d.entries + 128, kBasicDataPartitionType, 16);
  d.entries[128 + 16] = 1;  // partition GUID
  memcpy(d.entries + 128 + 32, &dataFirst, 8);
  memcpy(d.entries + 128 + 40, &d.dataEnd, 8);
  return d;
}

bool HeaderCrcHolds(std::vector<uint8_t> header) {
  uint32_t stored = Le32(&header[16]);
  memset(&header[16], 0, 4);
  return ComputeGptCrc32(header.data(), 92) == stored;
}

TEST(NtfsFormatTable, GptHeadersArraysAndBackupPlacement) {
  GptDisk d = MakeGptDisk(16 * kMiB / 512);
  uint64_t E = d.dataEnd;
  // The caller's boot code keeps its jump, OEM id and code; only the
  // parameter block becomes this volume's.
  std::vector<uint8_t> bootCode(8192, 0);
  const char jumpAndOem[] = "\xEB\x52\x90NTFS    ";
  memcpy(bootCode.data(), jumpAndOem, 11);
  for (int i = 0x54; i < 0x1FE; ++i) bootCode[i] = uint8_t(i);
  bootCode[510] = 0x55;
  bootCode[511] = 0xAA;
  ASSERT_EQ(0, FormatFile(d.path, kFirstDataPartition, 1, 1, bootCode.data(), d.entries));

  std::vector<uint8_t> mbr = ReadBytes(d.path, 0, 512);
  EXPECT_EQ(std::vector<uint8_t>(16, 0), std::vector<uint8_t>(&mbr[0x1CE], &mbr[0x1DE]));
  EXPECT_EQ(1u, Le32(&mbr[0x1C6]));
  std::vector<uint8_t> primary = ReadBytes(d.path, 512, 512);
  ASSERT_EQ(0, memcmp(primary.data(), "EFI PART", 8));
  EXPECT_EQ(E + 4064, Le64(&primary[48]));
  EXPECT_EQ(E + 4097, Le64(&primary[32]));
  EXPECT_EQ(0xA0u, primary[56]);  // the disk GUID from the MBR slot
  EXPECT_TRUE(HeaderCrcHolds(primary));
  std::vector<uint8_t> array = ReadBytes(d.path, 2 * 512, 16384);
  EXPECT_EQ(ComputeGptCrc32(array.data(), array.size()), Le32(&primary[88]));
  EXPECT_EQ(0, memcmp(array.data(), d.entries, sizeof d.entries));
  std::vector<uint8_t> backup = ReadBytes(d.path, (E + 4097) * 512, 512);
  EXPECT_EQ(E + 4097, Le64(&backup[24]));
  EXPECT_EQ(1u, Le64(&backup[32]));
  EXPECT_EQ(E + 4065, Le64(&backup[72]));
  EXPECT_TRUE(HeaderCrcHolds(backup));
  EXPECT_EQ(array, ReadBytes(d.path, (E + 4065) * 512, 16384));

  std::vector<uint8_t> boot = ReadBytes(d.path, 4096 * 512, 512);
  EXPECT_EQ(0, memcmp(boot.data(), jumpAndOem, 11));
  EXPECT_EQ(0, memcmp(&boot[0x54], &bootCode[0x54], 0x1FE - 0x54));
  EXPECT_EQ(0u, Le32(&boot[28]));                    // hidden sectors on the GPT path
  EXPECT_EQ(boot, ReadBytes(d.path, E * 512, 512));  // the backup boot sector

  std::string out;
  EXPECT_EQ(0, vt::Sh("sgdisk -v " + vt::Q(vt::ToUnix(d.path)), &out)) << out;
  EXPECT_NE(std::string::npos, out.find("No problems found")) << out;
  EXPECT_EQ(0, OnPartition(d.path, 4096 * 512, (E - 4096 + 1) * 512, "ntfsfix -n $DEV", &out))
      << out;

  // A quick format of the same disk (no entries given) keeps its GPT and
  // protective MBR as they are and formats the data partition; the EFI
  // system partition, entry 0, is no NTFS partition to format.
  std::vector<uint8_t> tables = ReadBytes(d.path, 0, 34 * 512);
  EXPECT_EQ(1, FormatFile(d.path, 0, 1, 1));
  EXPECT_EQ(tables, ReadBytes(d.path, 0, 34 * 512));
  ASSERT_EQ(0, FormatFile(d.path, 1, 1, 1));
  EXPECT_EQ(tables, ReadBytes(d.path, 0, 34 * 512));
  EXPECT_EQ(4096u, Le32(&ReadBytes(d.path, 4096 * 512, 512)[28]));
  EXPECT_EQ(0, OnPartition(d.path, 4096 * 512, (E - 4096 + 1) * 512, "ntfsfix -n $DEV", &out))
      << out;
}

// A device block over a file whose reads or writes of sector 0 fail.
struct FailingDisk {
  DiskIoBlock block;
  DiskIoBlock* file;
  bool failRead, failWrite;
};

int FailingRead(void* owner, unsigned long long offset, void* buffer, unsigned int count) {
  FailingDisk* d = static_cast<FailingDisk*>(owner);
  if (offset == 0 && d->failRead) return -int(count);
  return d->file->read(d->file->owner, offset, buffer, count);
}

int FailingWrite(void* owner, unsigned long long offset, const void* buffer, unsigned int count) {
  FailingDisk* d = static_cast<FailingDisk*>(owner);
  if (offset == 0 && d->failWrite) return -int(count);
  return d->file->write(d->file->owner, offset, buffer, count);
}

TEST(NtfsFormatTable, FailedReadOrWriteOfTheTableFailsTheFormat) {
  std::wstring disk = MakeMbrDisk("a.img", 16 * kMiB, 63, uint32_t(16 * kMiB / 512 - 63));
  for (int failRead = 0; failRead < 2; ++failRead) {
    FailingDisk d = {{}, OpenFileBlock(disk, true), failRead == 1, failRead == 0};
    ASSERT_TRUE(d.file);
    d.block = {&d, d.file->second, FailingRead, FailingWrite, nullptr};
    errno = 0;
    EXPECT_EQ(1, FormatNtfsVolume(&d.block, 0, 1, 1, nullptr, nullptr)) << failRead;
    EXPECT_EQ(EIO, errno);
    CloseFileBlock(d.file);
  }
  EXPECT_EQ(63u, Le32(&ReadBytes(disk, 0, 512)[446 + 8]));
}

}  // namespace
