// A hive read where it lies, a few cells at a time: for looking up one
// value of a large hive (SOFTWARE, hundreds of megabytes) without loading
// it. Only a hive whose base block shows no unfinished write is read so;
// every cell is checked as it is read.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

class HiveFileReader {
 public:
  // read(offset, count, out): count bytes of the file from offset.
  using ReadFn = std::function<bool(uint64_t, size_t, void*)>;
  enum Outcome { kRead, kUnreadable, kNeedsLogs };
  HiveFileReader(ReadFn read, uint64_t size) : m_read(std::move(read)), m_size(size) {}
  // kRead: the base block is sound and the file can be walked; kNeedsLogs:
  // a write Windows did not finish (only a load with its logs reads it);
  // kUnreadable: no hive.
  Outcome Open();
  // A string value (REG_SZ, REG_EXPAND_SZ) of a key path below the root;
  // false when the key, the value or a readable string is missing.
  bool QueryText(const std::wstring& keyPath, const wchar_t* name, std::wstring* text);
  // Any value's type and data; false when the key or the value is missing
  // or its data cannot be read.
  bool QueryData(const std::wstring& keyPath, const wchar_t* name, uint32_t* type,
                 std::vector<uint8_t>* data);
  // The names of a key's subkeys; false when the key is missing.
  bool Subkeys(const std::wstring& keyPath, std::vector<std::wstring>* names);

 private:
  // The record of the allocated cell at a relative offset, or empty.
  bool Cell(uint32_t rel, std::vector<uint8_t>* record);
  bool Bytes(uint64_t offset, size_t count, uint8_t* out);
  uint32_t FindKey(const std::wstring& keyPath);
  // Every subkey record of a key's index, in index order, given to fn
  // until it returns false; false when the index cannot be read.
  bool EachSubkey(const std::vector<uint8_t>& nk,
                  const std::function<bool(uint32_t, const std::vector<uint8_t>&)>& fn);

  ReadFn m_read;
  uint64_t m_size;
  uint32_t m_bins = 0, m_root = 0;
  std::map<uint64_t, std::vector<uint8_t>> m_blocks;  // what was read, by 64 KiB block
};
