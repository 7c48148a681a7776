// VHD containers: fixed (footer behind raw sectors) and dynamic (block
// allocation table). Footer fields are kept in host byte order.
#pragma once
#include "image/device/RawRw.h"

#pragma pack(push, 1)
struct VhdFooter {
  char cookie[8];  // "conectix"
  uint32_t features;
  uint32_t version;
  uint64_t dataOffset;  // dynamic header offset; all ones when fixed
  uint32_t timeStamp;
  char creatorApp[4];
  uint32_t creatorVersion;
  uint32_t creatorHostOs;
  uint64_t originalSize;
  uint64_t currentSize;
  uint32_t geometry;
  uint32_t diskType;  // 2 fixed, 3 dynamic, 4 differencing
  uint32_t checksum;
  uint8_t uniqueId[16];
  uint8_t savedState;
  uint8_t reserved[427];
};
struct VhdDynamicHeader {
  char cookie[8];  // "cxsparse"
  uint64_t dataOffset;
  uint64_t tableOffset;
  uint32_t headerVersion;
  uint32_t maxTableEntries;
  uint32_t blockSize;
  uint32_t checksum;
  uint8_t rest[992 - 36];
};
#pragma pack(pop)

const uint32_t VRO_VHD_FIXED = 2;
const uint32_t VRO_VHD_DYNAMIC = 3;

// Inner reader of a dynamic VHD. Writes are refused (minus the count):
// blocks are never allocated here.
class _VROH_VHD_DYNAMIC_RW : public _VROH_BASE_RW {
 public:
  int64_t Write(HANDLE hFile, uint64_t sector, const void* buf, uint32_t bytes) override;
  int64_t Read(HANDLE hFile, uint64_t sector, void* buf, uint32_t bytes) override;

  uint32_t m_BlockSectors = 0;
  uint32_t m_BitmapSectors = 0;  // the sector bitmap in front of each block
  uint32_t m_TableEntries = 0;
  uint32_t* m_Table = nullptr;  // big-endian as stored
  ~_VROH_VHD_DYNAMIC_RW() override { delete[] m_Table; }
};

// Types 7 and 8. Reads and writes go to the inner back end; requests past
// the disk's size fail so the footer can never be overwritten.
class _VROH_VHD_RW : public _VROH_VHD_DYNAMIC_RW {
 public:
  ~_VROH_VHD_RW() override;
  int64_t Write(HANDLE hFile, uint64_t sector, const void* buf, uint32_t bytes) override;
  int64_t Read(HANDLE hFile, uint64_t sector, void* buf, uint32_t bytes) override;

  // Reads the footer from the last sector of the file (size in bytes) and,
  // for a dynamic disk, its header and table. Returns 1 when the file is a
  // usable VHD, 0 when it carries no footer, -1 when it carries one that
  // cannot be served (unknown or differencing disk type, bad table).
  int Load(HANDLE hFile, uint64_t fileBytes);
  uint64_t DeviceSectors() const { return m_Footer.currentSize / VRO_SECTOR + 1; }

  VhdFooter m_Footer = {};
  VhdDynamicHeader m_Dynamic = {};
  _VROH_BASE_RW* m_Inner = nullptr;  // owned
};
