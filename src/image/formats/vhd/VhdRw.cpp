#include "image/formats/vhd/VhdRw.h"
#include <cstring>
#include <new>

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
    uint64_t block = disk / m_BlockSectors;
    uint32_t offset = (uint32_t)(disk % m_BlockSectors);
    uint64_t left = (uint64_t)(m_BlockSectors - offset) * VRO_SECTOR;
    uint32_t n = bytes - done;
    if (n > left) n = (uint32_t)left;
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
  return _VROH_VHD_DYNAMIC_RW::Write(hFile, sector, buf, bytes);
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
