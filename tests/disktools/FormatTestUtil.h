// Disks for the formatter tests: sparse files with an MBR or a protective
// MBR, formatted through a file-backed device block, and the Linux
// checkers run on the partition through a loop device.
#pragma once
#include <gtest/gtest.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "FileBlock.h"
#include "TestSupport.h"
#include "disktools/ntfsformat/NtfsFormat.h"

namespace fmt {

// A sparse file of the given size (bytes) whose sector 0 is a one-entry MBR
// (type 0x07 at start for count sectors). Returns its Windows path.
std::wstring MakeMbrDisk(const std::string& name, uint64_t bytes, uint32_t start, uint32_t count);

// Reads or writes bytes of a disk file.
std::vector<uint8_t> ReadBytes(const std::wstring& path, uint64_t offset, uint32_t count);
void WriteBytes(const std::wstring& path, uint64_t offset, const std::vector<uint8_t>& data);

// FormatNtfsVolume over the file.
int FormatFile(const std::wstring& path, uint32_t partition = 0, int bootChoice = 1,
               uint8_t align = 1, const void* bootCode = nullptr, const void* gptEntries = nullptr);
// The two steps with the options changed in between by `adjust`.
int FormatFileWith(const std::wstring& path, void (*adjust)(NtfsFormatOptions&));

// Runs `command` with $DEV set to a loop device over bytes [offset,
// offset + length) of the file; the command's exit code, output in *out.
int OnPartition(const std::wstring& path, uint64_t offset, uint64_t length,
                const std::string& command, std::string* out = nullptr);

}  // namespace fmt

namespace fmt {

inline uint32_t Le32(const uint8_t* p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return v;
}
inline uint64_t Le64(const uint8_t* p) {
  uint64_t v;
  memcpy(&v, p, 8);
  return v;
}
// Bytes as lower-case hexadecimal text, as the hive dumper prints them.
inline std::string Hex(const uint8_t* p, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; i++) s += std::string(1, digits[p[i] >> 4]) + digits[p[i] & 15];
  return s;
}

// Record n of the $MFT of the volume at partOffset, as stored (protected).
std::vector<uint8_t> ReadMftRecord(const std::wstring& disk, uint64_t partOffset, uint32_t n);
// The attribute of a type (first one) in a record, or null.
const uint8_t* FindAttribute(const std::vector<uint8_t>& record, uint32_t type);
// The value of `ntfsinfo -i INODE` line "NAME:" (first match), as a number;
// -1 when missing.
long long NtfsInfoNumber(const std::wstring& disk, uint64_t offset, uint64_t length, int inode,
                         const std::string& name);

}  // namespace fmt
