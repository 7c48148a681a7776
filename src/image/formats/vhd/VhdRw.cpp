#include "image/formats/vhd/VhdRw.h"
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "common/ByteOrder.h"

int64_t _VROH_VHD_DYNAMIC_RW::Write(HANDLE, uint64_t, const void*, uint32_t bytes) {
  return -(int64_t)bytes;
}

int64_t _VROH_VHD_DYNAMIC_RW::Read(HANDLE hFile, uint64_t sector, void* buf, uint32_t bytes) {
  if (!bytes) return 0;
  uint8_t* out = (uint8_t*)buf;
  uint32_t done = 0;
  if (sector == 0) {
    uint32_t n = bytes < VRO_SECTOR ? bytes : VRO_SECTOR;
    memset(out, 0, n);
    done = n;
    sector = 1;
  }
  if (!m_BlockSectors) return done ? (int64_t)done : -(int64_t)bytes;
  uint64_t disk = sector - 1;
  while (done < bytes) {
    uint64_t block;
    uint32_t offset;
    uint32_t n = BlockSpan(disk, bytes - done, &block, &offset);
    uint32_t entry = block < m_TableEntries ? Be32(m_Table[block]) : 0xFFFFFFFFu;
    if (entry == 0xFFFFFFFFu) {
      memset(out + done, 0, n);
    } else {
      // The block's sector bitmap precedes its data.
      int64_t r = ReadHandleAtZeroTail(
          hFile, ((uint64_t)entry + m_BitmapSectors + offset) * VRO_SECTOR, out + done, n);
      if (r < 0) return done ? (int64_t)done : -(int64_t)bytes;
    }
    done += n;
    disk += (n + VRO_SECTOR - 1) / VRO_SECTOR;
  }
  return done;
}

_VROH_VHD_RW::~_VROH_VHD_RW() {
  delete m_Inner;
}

int64_t _VROH_VHD_RW::Write(HANDLE hFile, uint64_t sector, const void* buf, uint32_t bytes) {
  if (!bytes) return 0;
  if (sector + (bytes + VRO_SECTOR - 1) / VRO_SECTOR > DeviceSectors()) return -(int64_t)bytes;
  if (m_Inner) return m_Inner->Write(hFile, sector, buf, bytes);
  if (m_bNewBlocks) return WriteBlocks(hFile, sector, (const uint8_t*)buf, bytes);
  return _VROH_VHD_DYNAMIC_RW::Write(hFile, sector, buf, bytes);
}

namespace {

bool IsZero(const uint8_t* p, uint32_t n) {
  for (uint32_t i = 0; i < n; i++)
    if (p[i]) return false;
  return true;
}

bool WriteAll(HANDLE hFile, uint64_t at, const void* buf, uint32_t bytes) {
  return WriteHandleAt(hFile, at, buf, bytes) == (int64_t)bytes;
}

}  // namespace

int64_t _VROH_VHD_RW::WriteBlocks(HANDLE hFile, uint64_t sector, const uint8_t* in,
                                  uint32_t bytes) {
  if (bytes % VRO_SECTOR) return -(int64_t)bytes;
  uint32_t done = 0;
  if (sector == 0) {  // the header slot holds nothing
    done = VRO_SECTOR;
    sector = 1;
  }
  uint64_t disk = sector - 1;
  while (done < bytes) {
    uint64_t block;
    uint32_t offset;
    uint32_t n = BlockSpan(disk, bytes - done, &block, &offset);
    if (block >= m_TableEntries) return -(int64_t)bytes;
    uint32_t entry = Be32(m_Table[block]);
    // A block not allocated reads as zeros: zeros need none.
    if (entry == 0xFFFFFFFFu && !IsZero(in + done, n)) {
      if (!AllocateBlock(hFile, (uint32_t)block)) return -(int64_t)bytes;
      entry = Be32(m_Table[block]);
    }
    if (entry != 0xFFFFFFFFu &&
        (!WriteAll(hFile, ((uint64_t)entry + m_BitmapSectors + offset) * VRO_SECTOR, in + done,
                   n) ||
         !MarkWritten(hFile, entry, offset, n / VRO_SECTOR)))
      return -(int64_t)bytes;
    done += n;
    disk += n / VRO_SECTOR;
  }
  return done;
}

bool _VROH_VHD_RW::AllocateBlock(HANDLE hFile, uint32_t block) {
  const uint64_t at = m_FooterAt;
  const uint64_t bitmapBytes = (uint64_t)m_BitmapSectors * VRO_SECTOR;
  const uint64_t blockBytes = bitmapBytes + (uint64_t)m_BlockSectors * VRO_SECTOR;
  // The table holds sector numbers of 32 bits, all ones meaning none.
  if (at % VRO_SECTOR || (at + blockBytes) / VRO_SECTOR >= 0xFFFFFFFFull) return false;
  const uint32_t kChunk = 64 * 1024;
  std::vector<uint8_t> fill(kChunk, 0xFF);
  for (uint64_t d = 0; d < bitmapBytes;) {
    uint32_t n = bitmapBytes - d < kChunk ? (uint32_t)(bitmapBytes - d) : kChunk;
    if (!WriteAll(hFile, at + d, fill.data(), n)) return false;
    d += n;
  }
  std::fill(fill.begin(), fill.end(), 0);
  for (uint64_t d = bitmapBytes; d < blockBytes;) {
    uint32_t n = blockBytes - d < kChunk ? (uint32_t)(blockBytes - d) : kChunk;
    if (!WriteAll(hFile, at + d, fill.data(), n)) return false;
    d += n;
  }
  if (!WriteAll(hFile, at + blockBytes, m_RawFooter, VRO_SECTOR)) return false;
  m_FooterAt = at + blockBytes;
  // The entry goes last, with the table sector that holds it.
  m_Table[block] = Be32((uint32_t)(at / VRO_SECTOR));
  const uint64_t tableBytes = (uint64_t)m_TableEntries * 4;
  const uint64_t first = (uint64_t)block * 4 / VRO_SECTOR * VRO_SECTOR;
  const uint32_t n = tableBytes - first < VRO_SECTOR ? (uint32_t)(tableBytes - first) : VRO_SECTOR;
  if (!WriteAll(hFile, m_Dynamic.tableOffset / VRO_SECTOR * VRO_SECTOR + first,
                (const uint8_t*)m_Table + first, n)) {
    m_Table[block] = 0xFFFFFFFFu;
    return false;
  }
  return true;
}

bool _VROH_VHD_RW::MarkWritten(HANDLE hFile, uint32_t entry, uint32_t first, uint32_t count) {
  // One bit a sector, the first sector in the highest bit of byte 0.
  const uint32_t from = first / 8 / VRO_SECTOR, to = (first + count - 1) / 8 / VRO_SECTOR;
  uint8_t map[VRO_SECTOR];
  for (uint32_t s = from; s <= to; s++) {
    const uint64_t at = ((uint64_t)entry + s) * VRO_SECTOR;
    if (ReadHandleAt(hFile, at, map, VRO_SECTOR) != VRO_SECTOR) return false;
    bool changed = false;
    for (uint32_t i = first > s * VRO_SECTOR * 8 ? first : s * VRO_SECTOR * 8;
         i < first + count && i < (s + 1) * VRO_SECTOR * 8; i++) {
      uint8_t& b = map[i / 8 - s * VRO_SECTOR];
      const uint8_t bit = (uint8_t)(0x80 >> (i % 8));
      if (!(b & bit)) {
        b |= bit;
        changed = true;
      }
    }
    if (changed && !WriteAll(hFile, at, map, VRO_SECTOR)) return false;
  }
  return true;
}

int64_t _VROH_VHD_RW::Read(HANDLE hFile, uint64_t sector, void* buf, uint32_t bytes) {
  if (!bytes) return 0;
  uint64_t end = DeviceSectors();
  if (sector >= end) return 0;
  if (sector + bytes / VRO_SECTOR > end) bytes = (uint32_t)((end - sector) * VRO_SECTOR);
  if (m_Inner) return m_Inner->Read(hFile, sector, buf, bytes);
  return _VROH_VHD_DYNAMIC_RW::Read(hFile, sector, buf, bytes);
}

int _VROH_VHD_RW::Load(HANDLE hFile, uint64_t fileBytes) {
  if (fileBytes < VRO_SECTOR) return 0;
  if (ReadHandleAt(hFile, (fileBytes - 1) / VRO_SECTOR * VRO_SECTOR, &m_Footer, VRO_SECTOR) !=
      VRO_SECTOR)
    return 0;
  if (memcmp(m_Footer.cookie, "conectix", 8) != 0) return 0;
  memcpy(m_RawFooter, &m_Footer, VRO_SECTOR);
  m_FooterAt = (fileBytes - 1) / VRO_SECTOR * VRO_SECTOR;
  VhdFooter& f = m_Footer;
  f.features = Be32(f.features);
  f.version = Be32(f.version);
  f.dataOffset = Be64(f.dataOffset);
  f.timeStamp = Be32(f.timeStamp);
  f.creatorVersion = Be32(f.creatorVersion);
  f.creatorHostOs = Be32(f.creatorHostOs);
  f.originalSize = Be64(f.originalSize);
  f.currentSize = Be64(f.currentSize);
  f.geometry = Be32(f.geometry);
  f.diskType = Be32(f.diskType);
  f.checksum = Be32(f.checksum);
  if (f.diskType == VRO_VHD_FIXED) {
    // The data must lie in front of the footer.
    if (f.currentSize > fileBytes - VRO_SECTOR) return -1;
    m_Inner = new (std::nothrow) _VROH_RAW_IMG_RW;
    return m_Inner ? 1 : -1;
  }
  if (f.diskType != VRO_VHD_DYNAMIC) return -1;  // differencing needs a parent
  if ((uint32_t)f.dataOffset == 0xFFFFFFFFu) return -1;
  if (ReadHandleAt(hFile, 512, &m_Dynamic, sizeof(m_Dynamic)) != (int64_t)sizeof(m_Dynamic))
    return -1;
  VhdDynamicHeader& d = m_Dynamic;
  d.dataOffset = Be64(d.dataOffset);
  d.tableOffset = Be64(d.tableOffset);
  d.headerVersion = Be32(d.headerVersion);
  d.maxTableEntries = Be32(d.maxTableEntries);
  d.blockSize = Be32(d.blockSize);
  d.checksum = Be32(d.checksum);
  m_BlockSectors = d.blockSize / VRO_SECTOR;
  // One bit per sector, in whole sectors: 1 for blocks up to 2 MiB.
  m_BitmapSectors = (m_BlockSectors / 8 + VRO_SECTOR - 1) / VRO_SECTOR;
  m_TableEntries = d.maxTableEntries;
  if (!m_BlockSectors || !m_TableEntries || m_TableEntries > (1u << 28)) return -1;
  m_Table = new (std::nothrow) uint32_t[m_TableEntries];
  if (!m_Table) return -1;
  uint64_t tableBytes = (uint64_t)m_TableEntries * 4;
  if (ReadHandleAt(hFile, d.tableOffset / VRO_SECTOR * VRO_SECTOR, m_Table, (uint32_t)tableBytes) !=
      (int64_t)tableBytes)
    return -1;
  return 1;
}
