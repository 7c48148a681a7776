#include "FormatTestUtil.h"

#include <windows.h>

namespace fmt {

std::wstring MakeMbrDisk(const std::string& name, uint64_t bytes, uint32_t start, uint32_t count) {
  std::string unix = vt::ScratchDirUnix() + "/" + name;
  EXPECT_EQ(0, vt::Sh("rm -f " + vt::Q(unix) + " && truncate -s " + std::to_string(bytes) + " " +
                      vt::Q(unix)));
  std::wstring path = vt::ToWin(unix);
  std::vector<uint8_t> mbr(512, 0);
  uint8_t* e = &mbr[446];
  e[4] = 0x07;
  memcpy(e + 8, &start, 4);
  memcpy(e + 12, &count, 4);
  mbr[440] = 0x12;
  mbr[441] = 0x34;
  mbr[442] = 0x56;
  mbr[443] = 0x78;  // disk signature
  mbr[510] = 0x55;
  mbr[511] = 0xAA;
  WriteBytes(path, 0, mbr);
  return path;
}

std::vector<uint8_t> ReadBytes(const std::wstring& path, uint64_t offset, uint32_t count) {
  std::vector<uint8_t> data(count, 0);
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(INVALID_HANDLE_VALUE, h);
  LARGE_INTEGER at;
  at.QuadPart = LONGLONG(offset);
  DWORD got = 0;
  EXPECT_TRUE(SetFilePointerEx(h, at, nullptr, FILE_BEGIN) &&
              ReadFile(h, data.data(), count, &got, nullptr) && got == count);
  CloseHandle(h);
  return data;
}

void WriteBytes(const std::wstring& path, uint64_t offset, const std::vector<uint8_t>& data) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  LARGE_INTEGER at;
  at.QuadPart = LONGLONG(offset);
  DWORD put = 0;
  EXPECT_TRUE(SetFilePointerEx(h, at, nullptr, FILE_BEGIN) &&
              WriteFile(h, data.data(), DWORD(data.size()), &put, nullptr) && put == data.size());
  CloseHandle(h);
}

int FormatFile(const std::wstring& path, uint32_t partition, int bootChoice, uint8_t align,
               const void* bootCode, const void* gptEntries) {
  DiskIoBlock* block = OpenFileBlock(path, true);
  if (!block) return -1;
  int r = FormatNtfsVolume(block, partition, bootChoice, align, bootCode, gptEntries);
  CloseFileBlock(block);
  return r;
}

int FormatFileWith(const std::wstring& path, void (*adjust)(NtfsFormatOptions&)) {
  DiskIoBlock* block = OpenFileBlock(path, true);
  if (!block) return -1;
  int r = 1;
  if (WriteFormatPartitionTable(block, nullptr, 0, 1, nullptr)) {
    adjust(GetNtfsFormatOptions());
    r = RunNtfsFormat(0, 1, nullptr);
  }
  CloseFileBlock(block);
  return r;
}

int OnPartition(const std::wstring& path, uint64_t offset, uint64_t length,
                const std::string& command, std::string* out) {
  std::string script = "DEV=$(losetup -f --show -o " + std::to_string(offset) + " --sizelimit " +
                       std::to_string(length) + " " + vt::Q(vt::ToUnix(path)) + ") || exit 99; (" +
                       command + "); rc=$?; losetup -d $DEV; exit $rc";
  return vt::Sh(script, out);
}

}  // namespace fmt

namespace fmt {

std::vector<uint8_t> ReadMftRecord(const std::wstring& disk, uint64_t partOffset, uint32_t n) {
  std::vector<uint8_t> boot = ReadBytes(disk, partOffset, 512);
  uint64_t cluster = uint64_t(boot[11] | boot[12] << 8) * boot[13];
  int8_t perRecord = int8_t(boot[64]);
  uint32_t recordSize = perRecord < 0 ? 1u << -perRecord : uint32_t(perRecord * cluster);
  return ReadBytes(disk, partOffset + Le64(&boot[48]) * cluster + uint64_t(n) * recordSize,
                   recordSize);
}

const uint8_t* FindAttribute(const std::vector<uint8_t>& record, uint32_t type) {
  uint32_t at = record[20] | record[21] << 8;
  while (at + 8 <= record.size() && Le32(&record[at]) != 0xFFFFFFFF) {
    if (Le32(&record[at]) == type) return &record[at];
    uint32_t length = Le32(&record[at + 4]);
    if (!length) break;
    at += length;
  }
  return nullptr;
}

long long NtfsInfoNumber(const std::wstring& disk, uint64_t offset, uint64_t length, int inode,
                         const std::string& name) {
  std::string out;
  if (OnPartition(disk, offset, length, "ntfsinfo -i " + std::to_string(inode) + " $DEV", &out) !=
      0)
    return -1;
  size_t at = out.find(name + ":");
  if (at == std::string::npos) return -1;
  return atoll(out.c_str() + at + name.size() + 1);
}

}  // namespace fmt
