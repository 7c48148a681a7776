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
// blocks are allocated only by the outer class, when allowed.
class _VROH_VHD_DYNAMIC_RW : public _VROH_BASE_RW {
 public:
  int64_t Write(HANDLE hFile, uint64_t sector, const void* buf, uint32_t bytes) override;
  int64_t Read(HANDLE hFile, uint64_t sector, void* buf, uint32_t bytes) override;

  uint32_t m_BlockSectors = 0;
  uint32_t m_BitmapSectors = 0;  // the sector bitmap in front of each block
  uint32_t m_TableEntries = 0;
  uint32_t* m_Table = nullptr;  // big-endian as stored
  ~_VROH_VHD_DYNAMIC_RW() override { delete[] m_Table; }

 protected:
  // The part of a request of `bytes` from disk sector `disk` (the header
  // slot not counted) that lies in one block: its block, the sector in it,
  // and how many bytes of the request it holds.
  uint32_t BlockSpan(uint64_t disk, uint32_t bytes, uint64_t* block, uint32_t* offset) const {
    *block = disk / m_BlockSectors;
    *offset = (uint32_t)(disk % m_BlockSectors);
    uint64_t left = (uint64_t)(m_BlockSectors - *offset) * VRO_SECTOR;
    return bytes > left ? (uint32_t)left : bytes;
  }
};

// Types 7 and 8. Reads and writes go to the inner back end; requests past
// the disk's size fail so the footer can never be overwritten.
//
// A dynamic disk takes writes only once its opener allowed new blocks
// (AllowNewBlocks: the merge of a write-back file over it); every other
// writer keeps its changes in a write-back file. A write goes into the
// block that holds its sectors, with their bits set in the block's sector
// bitmap; a block not yet allocated (and written with more than zeros) is
// placed where the footer lay: its bitmap all set, its data zeros, the
// footer behind it, then its entry in the block table. Every byte goes
// through the file's handle, so the command's journal keeps the old ones.
class _VROH_VHD_RW : public _VROH_VHD_DYNAMIC_RW {
 public:
  ~_VROH_VHD_RW() override;
  int64_t Write(HANDLE hFile, uint64_t sector, const void* buf, uint32_t bytes) override;
  void AllowNewBlocks() { m_bNewBlocks = !m_Inner && m_BlockSectors; }
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

 private:
  int64_t WriteBlocks(HANDLE hFile, uint64_t sector, const uint8_t* buf, uint32_t bytes);
  bool AllocateBlock(HANDLE hFile, uint32_t block);
  bool MarkWritten(HANDLE hFile, uint32_t entry, uint32_t first, uint32_t count);

  bool m_bNewBlocks = false;
  uint64_t m_FooterAt = 0;             // the footer's place: the file's last sector
  uint8_t m_RawFooter[VRO_SECTOR] = {};  // as stored
};
