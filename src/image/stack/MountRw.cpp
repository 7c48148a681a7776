#include "image/stack/MountRw.h"

#include "image/device/HostWriteFailure.h"
#include "image/formats/sparse/ImgRw.h"
#include "image/stack/ImageMerge.h"
#include "image/stack/LeftFiles.h"
#include "image/stack/OverlayNotice.h"
#include "common/ConsoleOutput.h"
#include <cstring>
#include <string>

_VROH_MOUNT_RW::_VROH_MOUNT_RW(_VROH_DISK_COMBO* lent)
    : _VROH_ALIGN_RW(VRO_SECTOR, VRO_SECTOR),
      m_pLayers(lent ? lent : this),
      m_bLent(lent != nullptr),
      m_blocks(this, m_ByteOffset / VRO_SECTOR) {
  m_BasePath[0] = 0;
}

_VROH_MOUNT_RW::~_VROH_MOUNT_RW() {
  CloseLayers();
}

int _VROH_MOUNT_RW::CloseLayers() {
  // What waits is written first, unless writes stopped (it is lost then,
  // as the command is).
  int result = 0;
  if (m_blocks.Dirty() && (m_pLayers->WritesStopped() || m_blocks.Flush() < 0)) result = -1;
  m_blocks.Drop();
  // Top down, so no overlay outlives the layer it links to.
  for (int i = LAYER_COUNT - 1; i >= 0; i--)
    if (m_Layers[i].Close() < 0) result = -1;
  return result;
}

int _VROH_MOUNT_RW::EndCommand(bool keep) {
  _VROH_DISK_COMBO* L = m_pLayers;
  m_nCommandsEnded++;
  if (keep && !L->WritesStopped()) {
    bool kept = m_blocks.Flush() == 0;
    for (int i = LAYER_COUNT - 1; i >= 0 && kept; i--)
      if (L->m_Layers[i].IsWritable() && L->m_Layers[i].Commit() < 0) kept = false;
    if (kept) return 0;
  }
  // The files go back under every block held.
  m_blocks.Drop();
  for (int i = LAYER_COUNT - 1; i >= 0; i--)
    if (L->m_Layers[i].IsOpen()) L->m_Layers[i].RollBack();
  L->m_bWritesStopped = false;
  return -1;
}

bool _VROH_MOUNT_RW::HasUncommittedWrites() const {
  if (m_blocks.Dirty()) return true;
  for (const _VROH_RW_CLASS& l : m_pLayers->m_Layers)
    if (l.HasUncommittedWrites()) return true;
  return false;
}

void _VROH_MOUNT_RW::MarkUnkept(uint64_t pos, uint64_t count) {
  _VROH_DISK_COMBO* L = m_pLayers;
  uint64_t first = (pos + VRO_SECTOR - 1) / VRO_SECTOR, end = (pos + count) / VRO_SECTOR;
  if (end <= first || L->WritesStopped()) return;
  // The layer Write picks; an update file still to be made keeps nothing.
  _VROH_RW_CLASS* layer = &L->Base();
  if (L->Fix().IsOpen())
    layer = &L->Fix();
  else if (L->Update().IsOpen())
    layer = &L->Update();
  else if (L == m_pLayers && m_BasePath[0])
    return;
  uint64_t sector = first + m_ByteOffset / VRO_SECTOR;
  if (layer->IsWritable()) layer->MarkUnkept(sector, (end - first) * VRO_SECTOR);
}

bool _VROH_DISK_COMBO::HasWritableLayer() const {
  for (const _VROH_RW_CLASS& l : m_Layers)
    if (l.IsWritable()) return true;
  return false;
}

void _VROH_DISK_COMBO::StopWrites() {
  for (_VROH_RW_CLASS& l : m_Layers) l.StopWrites();
  m_bWritesStopped = true;
}

int _VROH_MOUNT_RW::Flush() {
  if (m_pLayers->WritesStopped()) return -1;
  // A block that cannot be written stopped the writes (WriteLayers).
  if (m_blocks.Flush() < 0) {
    if (m_pLayers->HasWritableLayer()) m_pLayers->StopWrites();
    return -1;
  }
  int result = 0;
  for (int i = LAYER_COUNT - 1; i >= 0; i--) {
    _VROH_RW_CLASS& l = m_pLayers->m_Layers[i];
    if (l.IsOpen() && l.Flush() < 0) {
      if (l.IsWritable()) m_pLayers->StopWrites();
      result = -1;
    }
  }
  return result;
}

int _VROH_MOUNT_RW::BaseType() {
  return m_pLayers->Base().IsOpen() ? m_pLayers->Base().m_nType : -1;
}

uint64_t _VROH_MOUNT_RW::DiskBytes() {
  _VROH_RW_CLASS& b = m_pLayers->Base();
  if (!b.IsOpen() || b.m_nCapacity < 1) return 0;
  return (b.m_nCapacity - 1) * VRO_SECTOR;
}

bool _VROH_MOUNT_RW::UsesBlocks(void* layers) {
  if (m_bLent || (layers && layers != m_pLayers)) return false;
  // A set that takes no writes reads straight from its layers: the
  // volume's own cache serves its small reads, and a command that only
  // reads holds no blocks.
  if (!m_pLayers->HasWritableLayer() && !m_BasePath[0]) return false;
  // Blocks lie inside the disk.
  m_blocks.SetEnd(m_ByteOffset / VRO_SECTOR + DiskBytes() / VRO_SECTOR);
  return true;
}

int64_t _VROH_MOUNT_RW::ReadThrough(uint64_t sector, void* buf, uint32_t bytes) {
  return ReadLayers(m_pLayers, sector, buf, bytes);
}

int64_t _VROH_MOUNT_RW::WriteThrough(uint64_t sector, const void* buf, uint32_t bytes) {
  return WriteLayers(m_pLayers, sector, buf, bytes);
}

int64_t _VROH_MOUNT_RW::Read(void* layers, uint64_t sector, void* buf, uint32_t bytes) {
  if (!bytes) return 0;
  if (UsesBlocks(layers)) return m_blocks.Read(sector, buf, bytes);
  return ReadLayers(layers ? (_VROH_DISK_COMBO*)layers : m_pLayers, sector, buf, bytes);
}

int64_t _VROH_MOUNT_RW::Write(void* layers, uint64_t sector, const void* buf, uint32_t bytes) {
  if (!bytes) return 0;
  _VROH_DISK_COMBO* L = layers ? (_VROH_DISK_COMBO*)layers : m_pLayers;
  if (L->WritesStopped()) return -(int64_t)bytes;
  // A set that takes no writes refuses them at once (past the blocks).
  if (UsesBlocks(layers)) return m_blocks.Write(sector, buf, bytes);
  return WriteLayers(L, sector, buf, bytes);
}

int64_t _VROH_MOUNT_RW::ReadLayers(_VROH_DISK_COMBO* L, uint64_t sector, void* buf,
                                   uint32_t bytes) {
  if (!bytes) return 0;
  uint8_t* p = (uint8_t*)buf;
  uint32_t done = 0;
  while (done < bytes) {
    uint32_t n = bytes - done;
    int64_t r = L->Fix().Read(sector, p + done, n);
    if (r < 0) {
      r = L->Update().Read(sector, p + done, (uint32_t)-r);
      if (r < 0) r = L->Base().Read(sector, p + done, (uint32_t)-r);
    }
    if (r <= 0) break;
    done += (uint32_t)r;
    sector += (uint64_t)r / VRO_SECTOR;
    if (r % VRO_SECTOR) break;  // a plain file ended inside a sector
  }
  return done ? (int64_t)done : -(int64_t)bytes;
}

int64_t _VROH_MOUNT_RW::WriteLayers(_VROH_DISK_COMBO* L, uint64_t sector, const void* buf,
                                    uint32_t bytes) {
  if (!bytes) return 0;
  if (L->WritesStopped()) return -(int64_t)bytes;
  int64_t r = L->Fix().Write(sector, buf, bytes);
  // An open write-back file takes every write: what it refuses fails,
  // rather than reaching an update file beside a shared base.
  if (r < 0 && !L->Fix().IsOpen()) {
    if (L == m_pLayers && m_BasePath[0] && CreateNextUpdate() < 0) {
      L->StopWrites();
      return -(int64_t)bytes;
    }
    r = (L->Update().IsOpen() ? L->Update() : L->Base()).Write(sector, buf, bytes);
  }
  if (r != (int64_t)bytes && L->HasWritableLayer()) L->StopWrites();
  return r;
}

int _VROH_MOUNT_RW::OpenFixOverlay(const wchar_t* path, int writable, _VROH_RW_CLASS* parent) {
  if (!path || !*path) return 0;
  if (m_pLayers->Fix().OpenOverlay(path, writable ? VRO_MODE_CREATE : VRO_MODE_READ, parent) == 1)
    return 1;
  m_pLayers->Fix().Close();
  parent->Close();
  return -1;
}

int _VROH_MOUNT_RW::CreateNextUpdate() {
  EnterCriticalSection(&m_BounceLock);  // one creator at a time
  int result = 1;
  _VROH_RW_CLASS& upd = m_pLayers->Update();
  _VROH_RW_CLASS& base = m_pLayers->Base();
  if (!m_BasePath[0]) {
    result = -1;
  } else if (!upd.IsOpen()) {
    wchar_t name[MAX_PATH + 16];
    _snwprintf(name, sizeof(name) / sizeof(name[0]), L"%s_%02d.Upd", m_BasePath,
               _VROH_RW_CLASS::HighestUpdateNumber(m_BasePath) + 1);
    name[sizeof(name) / sizeof(name[0]) - 1] = 0;
    const int notices = VroOverlayNoticeCount();
    upd.Open(name, VRO_MODE_CREATE);
    DWORD error = upd.IsOpen() ? 0 : GetLastError();
    if (upd.IsOpen() && !upd.m_bEmptyAtOpen &&
        (upd.CheckParent(&base) < 0 ||
         (upd.Header() && Ld32(upd.Header() + vroimg::kOffUnusable) == vroimg::kUnusableMark))) {
      upd.Close();
      upd.MakeAnewOnOpen();
      upd.Open(name, VRO_MODE_CREATE);
    }
    if (!upd.IsOpen() || upd.m_nType != VRO_TYPE_SPARSE) {
      upd.Close();
      base.Close();
      result = -1;
    } else {
      upd.LinkOverlay(&base, upd.m_bEmptyAtOpen != 0, true);
      // Its header reaches the file before any data; a file whose
      // header cannot be written is not kept.
      if (upd.Flush() < 0) {
        upd.StopWrites();
        upd.Close();
        result = -1;
      }
    }
    // The command's failure shows only as a volume write that failed: the
    // file is named with the host's cause now, before any line of the
    // command (a host write that failed names it itself).
    if (result < 0 && VroOverlayNoticeCount() == notices && !TellHostWriteFailure())
      VroOverlayNoticeAbout(
          name, VRO_NOTICE_UPDATE_NOT_MADE,
          error ? (L"error " + std::to_wstring(error) + L": " + ErrorText(error)).c_str() : nullptr);
  }
  LeaveCriticalSection(&m_BounceLock);
  return result;
}

int _VROH_MOUNT_RW::OpenChain(const wchar_t* image, const wchar_t* fixPath, int mode) {
  _VROH_DISK_COMBO* L = m_pLayers;
  // A host write that failed before belongs to what was open then (a
  // command that failed, or a window's operation rolled back).
  TakeHostWriteFailure(nullptr, nullptr);
  // A file the chain meets twice (read, then opened to be written) is
  // named once.
  VroLeftFilesRoundBegins();
  m_blocks.Drop();
  for (int i = LAYER_COUNT - 1; i >= 0; i--) L->m_Layers[i].Close();
  L->m_bWritesStopped = false;
  m_BasePath[0] = 0;
  bool hasFix = fixPath && *fixPath;
  _VROH_RW_CLASS& base = L->Base();
  _VROH_RW_CLASS& upd = L->Update();

  if (!base.Open(image, VRO_MODE_READ)) return VRO_CHAIN_NO_IMAGE;
  bool isUpdate = base.m_nType == VRO_TYPE_SPARSE && base.Kind() == vroimg::kKindOverlay;
  // A base an earlier version's merge left half done is neither read nor
  // written as if it were whole.
  if (!isUpdate && FindUnfinishedMerge(image, nullptr)) {
    NoticeUnfinishedMerge(image);
    base.Close();
    return VRO_CHAIN_MERGE_UNFINISHED;
  }
  if (base.m_nType == VRO_TYPE_SPARSE) {
    if (mode == VRO_WRITE_OVERLAY) {
      wcsncpy(m_BasePath, image, MAX_PATH - 1);
      m_BasePath[MAX_PATH - 1] = 0;
    }
    if (base.Kind() == vroimg::kKindOverlay) {
      // An update file: mount its base with it on top.
      wchar_t basePath[MAX_PATH];
      if (_VROH_RW_CLASS::FindBaseImage(image, basePath, MAX_PATH) <= 0) {
        base.Close();
        return VRO_CHAIN_UPDATE_NO_BASE;
      }
      if (FindUnfinishedMerge(basePath, nullptr)) {
        NoticeUnfinishedMerge(basePath);
        base.Close();
        return VRO_CHAIN_MERGE_UNFINISHED;
      }
      if (!base.OpenSparse(basePath, VRO_MODE_READ)) return VRO_CHAIN_UPDATE_BASE_FAILED;
      int updMode = (mode != VRO_WRITE_NONE && !hasFix) ? VRO_MODE_WRITE : VRO_MODE_READ;
      if (upd.OpenOverlay(image, updMode, &base) < 1) {
        upd.Close();
        base.Close();
        return VRO_CHAIN_UPDATE_FAILED;
      }
      if (OpenFixOverlay(fixPath, mode != VRO_WRITE_NONE, &upd) < 0) base.Close();
      return base.IsOpen() ? VRO_CHAIN_UPDATE : VRO_CHAIN_UPDATE_FIX_FAILED;
    }
    if (hasFix)
      return OpenFixOverlay(fixPath, mode != VRO_WRITE_NONE, &base) == 1
                 ? VRO_CHAIN_SPARSE_FIX
                 : VRO_CHAIN_SPARSE_FIX_FAILED;
    if (mode == VRO_WRITE_NONE) return VRO_CHAIN_SPARSE_READ_ONLY;
    if (mode == VRO_WRITE_OVERLAY && !base.m_bNew) return VRO_CHAIN_SPARSE_UPDATES;
    // The base takes the writes itself. Update files made now would
    // link to an identity that only reaches the base with its first
    // write, and would be lost.
    m_BasePath[0] = 0;
    if (!base.Open(image, VRO_MODE_CREATE)) return VRO_CHAIN_SPARSE_BASE_FAILED;
    // Update files made against the base link to the identity its first
    // write renews: while one lies beside it, nothing is written (now that
    // the base is held, none can be made against it).
    std::vector<std::wstring> updates =
        base.Container() ? _VROH_RW_CLASS::UpdateFilesOf(image, base.Container()->StoredOwnId())
                         : std::vector<std::wstring>();
    if (updates.empty()) return VRO_CHAIN_SPARSE_BASE_WRITES;
    for (const std::wstring& u : updates)
      VroOverlayNoticeAbout(u.c_str(), VRO_NOTICE_UPDATES_HANG_ON, image);
    base.RollBack();
    return VRO_CHAIN_SPARSE_BASE_HAS_UPDATES;
  }
  if (hasFix)
    return OpenFixOverlay(fixPath, mode != VRO_WRITE_NONE, &base) == 1 ? VRO_CHAIN_OTHER_FIX
                                                                       : VRO_CHAIN_OTHER_FIX_FAILED;
  if (mode != VRO_WRITE_NONE) base.Open(image, VRO_MODE_CREATE);
  return base.IsOpen() ? VRO_CHAIN_OTHER : VRO_CHAIN_OTHER_FAILED;
}

int ReadDiskObjectBytes(void* owner, unsigned long long offset, void* buffer, unsigned int count) {
  if (!owner || !count) return 0;
  int64_t r = static_cast<_VROH_MOUNT_RW*>(owner)->ReadBytes(nullptr, offset, buffer, count);
  return (int)r;
}

int WriteDiskObjectBytes(void* owner, unsigned long long offset, const void* buffer,
                         unsigned int count) {
  if (!owner || !count) return 0;
  int64_t r = static_cast<_VROH_MOUNT_RW*>(owner)->WriteBytes(nullptr, offset, buffer, count);
  return (int)r;
}

int DiskObjectCommand(void* journal, unsigned long long* ended) {
  _VROH_MOUNT_RW* disk = static_cast<_VROH_MOUNT_RW*>(journal);
  *ended = disk->CommandsEnded();
  return disk->HasUncommittedWrites();
}

void MarkDiskObjectUnkept(void* journal, unsigned long long offset, unsigned long long count) {
  if (journal && count) static_cast<_VROH_MOUNT_RW*>(journal)->MarkUnkept(offset, count);
}
