// Builders of one FILE record in the MFT buffer: the empty layout, resident
// and non-resident attributes kept in type and name order, and the values
// of standard information, file names and index roots. Results: 0, or a
// negative errno.
#pragma once
#include <stdint.h>

#include <vector>

#include "disktools/ntfsformat/NtfsFormatState.h"

namespace ntfsformat {

// Attribute types and record flags used by the formatter.
enum AttributeType : uint32_t {
  kAttrStandardInformation = 0x10,
  kAttrFileName = 0x30,
  kAttrObjectId = 0x40,
  kAttrSecurityDescriptor = 0x50,
  kAttrVolumeName = 0x60,
  kAttrVolumeInformation = 0x70,
  kAttrData = 0x80,
  kAttrIndexRoot = 0x90,
  kAttrIndexAllocation = 0xA0,
  kAttrBitmap = 0xB0,
};
const uint16_t kRecordInUse = 0x0001;
const uint16_t kRecordIsDirectory = 0x0002;
const uint16_t kRecordIsViewIndex = 0x0008;
const uint16_t kRecordExtendFile = 0x000C;  // the flags of $Quota, $ObjId, $Reparse

// Index collation rules.
enum Collation : uint32_t {
  kCollateFileName = 0x01,
  kCollateULong = 0x10,
  kCollateSid = 0x11,
  kCollateSecurityHash = 0x12,
  kCollateULongs = 0x13,
};

// A reference to record n with sequence number seq.
inline uint64_t FileRef(uint64_t n, uint16_t seq) {
  return n | (uint64_t(seq) << 48);
}

class MftRecord {
 public:
  MftRecord(uint8_t* data, uint32_t size) : m_p(data), m_size(size) {}
  // The empty FILE record: sequence number, not in use.
  void Layout(uint32_t number, uint16_t sequence);
  void SetFlags(uint16_t flags);
  uint16_t Flags() const { return Get16(m_p + 22); }
  void AddLink() { Put16(m_p + 18, uint16_t(Get16(m_p + 18) + 1)); }
  uint32_t BytesInUse() const { return Get32(m_p + 24); }
  uint32_t BytesAllocated() const { return Get32(m_p + 28); }

  // Inserts an attribute of type with a name (length in characters) at its
  // place in the record.
  int AddResident(uint32_t type, const wchar_t* name, const void* value, uint32_t length,
                  uint8_t residentFlags = 0);
  int AddNonResident(uint32_t type, const wchar_t* name, const Runlist& runs, uint64_t allocated,
                     uint64_t dataSize, uint64_t initialized);
  // The value of a resident attribute, or null.
  uint8_t* FindValue(uint32_t type, const wchar_t* name, uint32_t* length = nullptr);

 private:
  int Insert(uint32_t type, const wchar_t* name, const std::vector<uint8_t>& attr);
  uint8_t* m_p;
  uint32_t m_size;
};

// 72-byte standard information (48 without a security id).
std::vector<uint8_t> MakeStandardInformation(uint64_t time, uint32_t attributes,
                                             uint32_t securityId);
// A $FILE_NAME value.
std::vector<uint8_t> MakeFileName(uint64_t parent, const wchar_t* name, uint64_t time,
                                  uint64_t allocated, uint64_t dataSize, uint32_t attributes);
// An index entry of a file name (key = the value).
std::vector<uint8_t> MakeFileNameEntry(uint64_t file, const std::vector<uint8_t>& fileName);
// A view index entry: key then data.
std::vector<uint8_t> MakeViewEntry(const void* key, uint16_t keyLength, const void* data,
                                   uint16_t dataLength);
// An index root value with the given entries (already in order), as a
// small index: 0 or -EINVAL for a bad index record size.
int MakeIndexRoot(uint32_t indexedType, uint32_t collation,
                  const std::vector<std::vector<uint8_t>>& entries, std::vector<uint8_t>* root);
// The blocks-per-index-record byte of an index root and of the boot sector:
// records of at least a cluster count clusters, smaller ones 512-byte
// blocks (index root) or a negative power of two (boot sector).
int8_t ClustersPerRecord(uint32_t recordSize, bool bootSector);
// File-name collation through the upcase table: <0, 0, >0.
int CompareNames(const uint16_t* a, uint32_t aLength, const uint16_t* b, uint32_t bLength);
// Inserts a file-name entry into a sorted entry list.
void InsertFileNameEntry(std::vector<std::vector<uint8_t>>& entries,
                         const std::vector<uint8_t>& entry);

}  // namespace ntfsformat
