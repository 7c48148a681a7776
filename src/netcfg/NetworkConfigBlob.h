// NetworkConfigBlob: the REG_BINARY value "Config" of Control\Network, the
// offline Windows' list of network components and of the bindings between
// them, in its 32-bit or 64-bit layout (the target's architecture decides).
//
// Parse checks every count, text and record against the value's length
// before it reads it; a value whose counts run past its end is refused and
// left as it is. The edits copy the parsed value with entries or binding
// records replaced, keeping the header words, the table header and whatever
// follows the counted records byte for byte.
#pragma once
#include <windows.h>
#include <stdint.h>

#include <string>
#include <vector>

// Results of NetworkConfigBlob::Parse.
enum NetConfigParseResult : int {
  kNetConfigParsed = 0,
  kNetConfigEmpty = -1,    // no bytes at all
  kNetConfigDamaged = -2,  // a count, text or record runs past the value
  kNetConfigMissing = -3,  // the value cannot be read
};

// Class indices of the component entries.
enum NetConfigClass : uint32_t {
  kNetConfigAdapter = 0,
  kNetConfigTrans = 2,
  kNetConfigClient = 3,
  kNetConfigService = 4,
};

// Characteristics of an adapter this system enters.
const uint32_t kNetConfigAdapterCharacteristics = 0x84;

struct NetConfigEntry {
  uint32_t offset = 0;  // first byte of the entry
  uint32_t end = 0;     // first byte after it (and its padding)
  GUID guid = {};
  uint32_t classIndex = 0;
  uint32_t characteristics = 0;
  std::wstring componentId;
  std::wstring pnpInstanceId;
};

// One binding record {upper on top of lower}; the 64-bit layout's two
// reserved words travel with it.
struct NetConfigBinding {
  uint32_t upper = 0;
  uint32_t lower = 0;
  uint32_t reserved1 = 0;
  uint32_t reserved2 = 0;
};

class NetworkConfigBlob {
 public:
  explicit NetworkConfigBlob(bool layout64) : m_layout64(layout64) {}
  // The layout of a target: 64-bit when its architecture is 64.
  static bool LayoutOf(uint32_t targetVersion) { return (targetVersion >> 16) == 64; }

  // kNetConfigParsed, or a failure with nothing parsed kept.
  int Parse(const uint8_t* data, uint32_t length);
  bool Layout64() const { return m_layout64; }
  uint32_t RecordSize() const { return m_layout64 ? 16 : 8; }

  std::vector<NetConfigEntry> Entries;
  std::vector<NetConfigBinding> Bindings;
  uint32_t TableOffset = 0;  // table header after the last entry
  uint32_t RestOffset = 0;   // first byte after the counted records

  // Index of the first entry whose braced GUID text equals guidText
  // ignoring case; the entry count when none does.
  uint32_t FindComponent(const wchar_t* guidText) const;
  bool HasBinding(uint32_t upper, uint32_t lower) const;

  // Appends one entry in this layout to out; in the 64-bit layout out's
  // size must be a multiple of 8 counted from the value's first byte.
  void AppendEntry(std::vector<uint8_t>& out, const GUID& guid, uint32_t classIndex,
                   uint32_t characteristics, const wchar_t* componentId,
                   const wchar_t* pnpInstanceId) const;
  void AppendBinding(std::vector<uint8_t>& out, const NetConfigBinding& record) const;
  // A zero header word (or words) and a count: the value's header with the
  // component count, and the table header with the binding count, of a
  // value written from scratch.
  void AppendHeader(std::vector<uint8_t>& out, uint32_t count) const;

  // A copy of the parsed value `data` in which the entries [first, last)
  // are replaced by `entryBytes` holding `added` entries and the binding
  // records by `records`.
  std::vector<uint8_t> Rebuild(const uint8_t* data, size_t first, size_t last,
                               const std::vector<uint8_t>& entryBytes, uint32_t added,
                               const std::vector<NetConfigBinding>& records) const;

  // A copy of the parsed value without the entry at index: the binding
  // records naming it go, greater indices in the others drop by one.
  std::vector<uint8_t> WithoutEntry(const uint8_t* data, uint32_t index) const;

 private:
  int ParseParts(const uint8_t* data, uint32_t length);

  bool m_layout64;
  uint32_t m_length = 0;
};
