#include "image/stack/RwClass.h"
#include "common/PathSet.h"
#include "common/ReplacedFile.h"
#include "common/FolderFlush.h"
#include "image/device/DeviceSource.h"
#include "image/device/HostWriteFailure.h"
#include "image/stack/KeptHandles.h"
#include "image/stack/journal/FileJournal.h"
#include "image/stack/LeftFiles.h"
#include "image/formats/sparse/ImgRw.h"
#include "image/device/RawRw.h"
#include "image/stack/OverlayNotice.h"
#include "image/formats/vhd/VhdRw.h"
#include <cstring>
#include <new>

using namespace vroimg;

namespace {

bool EndsWithVhd(const wchar_t* path) {
  size_t n = wcslen(path);
  return n > 4 && _wcsicmp(path + n - 4, L".vhd") == 0;
}

// Container open flags for each open mode.
int ContainerFlags(int mode, bool isNew) {
  switch (mode) {
    case VRO_MODE_READ:
      return VRO_OPEN_UNLIMITED | VRO_OPEN_STRICT;
    case VRO_MODE_WRITE:
      return VRO_OPEN_UNLIMITED | VRO_OPEN_STRICT | VRO_OPEN_RENEW;
    case VRO_MODE_CREATE:
      // An existing file whose map or header fails is refused, not laid
      // afresh: it may be the only copy of a workstation's changes.
      return VRO_OPEN_UNLIMITED | VRO_OPEN_RENEW | (isNew ? VRO_OPEN_CREATE : VRO_OPEN_STRICT);
    default:
      return VRO_OPEN_UNLIMITED | (isNew ? VRO_OPEN_CREATE : 0);
  }
}

uint64_t SparseCapacity(uint64_t headerCapacity) {
  return (headerCapacity + 16382) / 16384 * 16384 + 1;
}

// What detection knows of a file when the back ends are asked in turn.
struct FileFacts {
  const wchar_t* path;
  int mode;
  uint64_t bytes;
  uint64_t sectors;
  bool isNew;
  uint8_t head[2 * VRO_SECTOR];  // sectors 0 and 1; zeros for a new file
};

// What a back end's make gives: the object holds it, the file is not of
// this kind after all (the next one is asked), or the open fails.
enum Made { MADE_BACK_END, MADE_NOT_THIS_KIND, MADE_REFUSED };

// A back end of image files: the type code it gives (the VHD's make turns
// 7 into 8 for a dynamic disk, the header's 4 into 5 for other kinds),
// whether a file may be one, and its making on the object.
struct BackEndKind {
  int type;
  bool needsHead;  // the probe looks at sectors 0 and 1
  bool (*probe)(const FileFacts& f);
  Made (*make)(_VROH_RW_CLASS* c, const FileFacts& f);
};

bool ProbeVhd(const FileFacts& f) {
  return !f.isNew && EndsWithVhd(f.path);
}

Made MakeVhd(_VROH_RW_CLASS* c, const FileFacts& f) {
  _VROH_VHD_RW* vhd = new (std::nothrow) _VROH_VHD_RW;
  if (!vhd) return MADE_REFUSED;
  int r = vhd->Load(c->m_hFile, f.bytes);
  if (r > 0) {
    c->m_nType =
        vhd->m_Footer.diskType == VRO_VHD_FIXED ? VRO_TYPE_VHD_FIXED : VRO_TYPE_VHD_DYNAMIC;
    c->m_nCapacity = vhd->DeviceSectors();
    c->m_pBackEnd = vhd;
    return MADE_BACK_END;
  }
  delete vhd;
  // A footer we cannot serve: its metadata must not pass for disk data.
  return r < 0 ? MADE_REFUSED : MADE_NOT_THIS_KIND;
}

// Own format. A write open never lays a fresh container over a file that
// has data but no map: that would wipe a plain image.
bool ProbeSparse(const FileFacts& f) {
  return f.isNew || f.mode <= VRO_MODE_WRITE ||
         memcmp(f.head + VRO_SECTOR, kMapMagic, sizeof(kMapMagic)) == 0;
}

Made MakeSparse(_VROH_RW_CLASS* c, const FileFacts& f) {
  _VROH_OBJ_IMG* cont =
      f.mode > 0 ? new (std::nothrow) _VROH_OBJ_MINC : new (std::nothrow) _VROH_OBJ_IMG;
  if (!cont) return MADE_REFUSED;
  int r = cont->Open(c->m_hFile, 0, f.sectors, ContainerFlags(f.mode, f.isNew));
  if (r < 0) {
    delete cont;
    // A map header of the own format behind a header whose checksum fails
    // (a byte changed, the signature included, or the sector zeroed) is a
    // damaged file, not a plain disk that happens to start so.
    if (r == VRO_CONT_ECHECKSUM) {
      VroOverlayNotice(f.path, VRO_NOTICE_DAMAGED_HEADER);
      return MADE_REFUSED;
    }
    return f.isNew ? MADE_REFUSED : MADE_NOT_THIS_KIND;
  }
  _VROH_IMG_RW* be = new (std::nothrow) _VROH_IMG_RW(cont, 1);
  // A torn or damaged map is refused; a writer that died leaves a file
  // longer than its header says: mended before anything is written to it.
  if (!be || (!f.isNew && be->CheckMap(f.sectors, f.mode > VRO_MODE_READ) < 0)) {
    if (be) VroOverlayNotice(f.path, VRO_NOTICE_DAMAGED_MAP);
    delete be;
    delete cont;
    return MADE_REFUSED;
  }
  c->m_pContainer = cont;
  c->m_pBackEnd = be;
  const uint8_t* h = cont->Header();
  c->m_nCapacity = SparseCapacity(Ld64(h + kOffCapacity));
  c->m_bNew = (Ld64(h + kOffParentId) == 0 && Ld64(h + kOffOwnId) == Ld64(h + kOffCreated)) ? 1 : 0;
  return MADE_BACK_END;
}

bool ProbeMbrInSector1(const FileFacts& f) {
  return EndsWithBootSignature(f.head + VRO_SECTOR) && !IsVolumeBootPair(f.head);
}

// An NTFS volume without a partition table is a raw volume image.
bool ProbeRawWithMbr(const FileFacts& f) {
  return EndsWithBootSignature(f.head) && !IsNtfsBootSector(f.head);
}

bool ProbeOwnHeader(const FileFacts& f) {
  return memcmp(f.head + kOffSignature, kSignature, 8) == 0 &&
         _VROH_OBJ_IMG::HeaderChecksum(f.head) == Ld32(f.head + kOffChecksum);
}

bool ProbeAnyFile(const FileFacts&) {
  return true;
}

// Sectors as they lie in the file after the header slot (types 4, 5, 9).
Made MakeRealSectors(_VROH_RW_CLASS* c, const FileFacts& f) {
  if (c->m_nType == VRO_TYPE_HEADER_PLAIN) {
    uint32_t kind = Ld32(f.head + kOffKind);
    // A sparse image or overlay whose map header is gone: its sectors are
    // no plain disk, and taking them as one would write over its map.
    if (kind == kKindSparse || kind == kKindOverlay) {
      VroOverlayNotice(f.path, VRO_NOTICE_DAMAGED_MAP);
      return MADE_REFUSED;
    }
    c->m_nType = (kind == 2 || kind == 4) ? VRO_TYPE_HEADER_PLAIN : VRO_TYPE_HEADER_OTHER;
  }
  c->m_pBackEnd = new (std::nothrow) _VROH_REAL_IMG_RW;
  return c->m_pBackEnd ? MADE_BACK_END : MADE_REFUSED;
}

// Disk sector 0 at file offset 0 behind a synthesised header slot (types 0, 3).
Made MakeRawSectors(_VROH_RW_CLASS* c, const FileFacts& f) {
  c->m_nCapacity = f.sectors + 1;
  c->m_pBackEnd = new (std::nothrow) _VROH_RAW_IMG_RW;
  return c->m_pBackEnd ? MADE_BACK_END : MADE_REFUSED;
}

// Image files, asked in this order; the last one takes every file.
const BackEndKind kBackEnds[] = {
    {VRO_TYPE_VHD_FIXED, false, ProbeVhd, MakeVhd},
    {VRO_TYPE_SPARSE, true, ProbeSparse, MakeSparse},
    {VRO_TYPE_MBR_SECTOR1, true, ProbeMbrInSector1, MakeRealSectors},
    {VRO_TYPE_RAW_MBR, true, ProbeRawWithMbr, MakeRawSectors},
    {VRO_TYPE_HEADER_PLAIN, true, ProbeOwnHeader, MakeRealSectors},
    {VRO_TYPE_RAW, true, ProbeAnyFile, MakeRawSectors},
};
}  // namespace

_VROH_RW_CLASS::_VROH_RW_CLASS() {
  InitializeCriticalSection(&m_Lock);
}

_VROH_RW_CLASS::~_VROH_RW_CLASS() {
  Close();
  DeleteCriticalSection(&m_Lock);
}

int64_t _VROH_RW_CLASS::Flush() {
  VroCsLock lock(&m_Lock);
  if (m_bWritesStopped) return -1;
  if (!m_pBackEnd) return 0;
  if (m_pBackEnd->Flush(m_hFile) < 0) return -1;
  // A writable file reaches the disk itself.
  if (m_nMode != VRO_MODE_READ && m_hFile && FlushHandleFile(m_hFile) < 0) return -1;
  return 0;
}

namespace {

// The files this process holds writable (one entry for each holder).
CPathSet& HeldHere() {
  static CPathSet held;
  return held;
}

}  // namespace

bool VroHeldWritableHere(const wchar_t* path) {
  return HeldHere().Has(path);
}

DWORD _VROH_RW_CLASS::ShareFor(const wchar_t* path, int mode) {
  // A reader keeps writers out of a file; beside this process's own writer
  // it could not open at all, and that writer keeps the others out. A disk
  // or volume of the host is read while the system writes it.
  if (mode == VRO_MODE_READ &&
      (wcsncmp(path, L"\\\\.\\", 4) == 0 || VroHeldWritableHere(path)))
    return FILE_SHARE_READ | FILE_SHARE_WRITE;
  return FILE_SHARE_READ;
}

bool _VROH_RW_CLASS::HeldByAnotherProgram(const wchar_t* path) {
  HANDLE h = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    CloseHandle(h);
    return false;
  }
  if (GetLastError() != ERROR_SHARING_VIOLATION) return false;
  VroOverlayNotice(path, VRO_NOTICE_HELD);
  return true;
}

HANDLE _VROH_RW_CLASS::OpenFile(const wchar_t* path, int mode, DWORD access, DWORD share) {
  // A file being made under a temporary name needs nothing kept: a
  // failure drops it whole.
  bool made = ReplacedFile::IsBeingMade(path);
  // A reopen that held the file through the gap lends it: no other program
  // had it meanwhile, and no journal lies beside it.
  HANDLE lent = made || m_bReplace ? nullptr : CKeptLayerHandles::Take(path, access);
  if (!lent && !made && CFileJournal::Recover(path) == CFileJournal::RECOVER_REFUSED)
    return INVALID_HANDLE_VALUE;
  bool replace = m_bReplace;
  m_bReplace = false;
  const std::wstring temp = std::wstring(path) + L".new";
  if (!lent && mode >= VRO_MODE_CREATE && !made &&
      (replace || GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES)) {
    // A file the command makes lies under a name of its own until the
    // command is whole: a command cut off leaves no part of it at its name.
    // Another program making it now holds it: this one keeps out.
    int left = VroSettleLeftFile(temp, nullptr);
    HANDLE h = left == VRO_LEFT_IN_MAKING || left == VRO_LEFT_NOT_OURS
                   ? INVALID_HANDLE_VALUE
                   : CreateFileW(temp.c_str(), access | DELETE, share, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD error = left == VRO_LEFT_NOT_OURS ? ERROR_FILE_EXISTS : GetLastError();
    if (left == VRO_LEFT_IN_MAKING || (h == INVALID_HANDLE_VALUE && left != VRO_LEFT_NOT_OURS &&
                                       (error == ERROR_SHARING_VIOLATION ||
                                        error == ERROR_FILE_EXISTS))) {
      VroOverlayNotice(path, VRO_NOTICE_HELD);
      error = ERROR_SHARING_VIOLATION;
    }
    if (h == INVALID_HANDLE_VALUE) {
      SetLastError(error);
      return h;
    }
    m_TempPath = temp;
    NoteMadeUnder(temp, path);
    NoteHeld(path);
    return h;
  }
  DWORD disp = mode >= VRO_MODE_CREATE ? OPEN_ALWAYS : OPEN_EXISTING;
  HANDLE h =
      lent ? lent : CreateFileW(path, access, share, nullptr, disp, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD error = GetLastError();
  // Another process writes the file, or reads it while this one would
  // write it, or is making it: this one keeps out of it.
  if (h == INVALID_HANDLE_VALUE &&
      (error == ERROR_SHARING_VIOLATION ||
       (error == ERROR_FILE_NOT_FOUND && !made && VroLeftFileInMaking(temp)))) {
    VroOverlayNotice(path, VRO_NOTICE_HELD);
    SetLastError(ERROR_SHARING_VIOLATION);
  } else if (h == INVALID_HANDLE_VALUE && error == ERROR_FILE_NOT_FOUND && !made) {
    // A file a cut-off run was making under its temporary name never took
    // its name: that is left, and goes now.
    VroSettleLeftFile(temp, nullptr);
    SetLastError(error);
  }
  if (h == INVALID_HANDLE_VALUE) return h;
  // What a run cut off while making files beside it left goes now. A file
  // not of this program's at its journal's name keeps writers out: the
  // journal is never made over it.
  if (!made && !VroSettleLeftFilesOf(path) && mode != VRO_MODE_READ) {
    CloseHandle(h);
    SetLastError(ERROR_FILE_EXISTS);
    return INVALID_HANDLE_VALUE;
  }
  if (mode == VRO_MODE_READ || made) return h;
  m_pJournal = new (std::nothrow) CFileJournal(h, path);
  if (!m_pJournal || !m_pJournal->Hooked()) {
    delete m_pJournal;
    m_pJournal = nullptr;
    CloseHandle(h);
    return INVALID_HANDLE_VALUE;
  }
  NoteHeld(path);
  return h;
}

void _VROH_RW_CLASS::NoteHeld(const wchar_t* path) {
  m_HeldPath = path;
  HeldHere().Note(path);
}

bool _VROH_RW_CLASS::EndFile(bool keep) {
  if (!m_TempPath.empty()) {
    // A made file that is not kept is removed when it is closed; so is one
    // that no write reached.
    if (keep && MakingForWrites() && !m_bWritten) return true;
    if (!keep || !RenameHandleFile(m_hFile, m_Path.c_str())) return !keep;
    ForgetMadeUnder(m_TempPath);
    m_TempPath.clear();
    // The file it replaced is gone now, and only now.
    if (m_nDiscardNotice) VroOverlayNotice(m_Path.c_str(), m_nDiscardNotice);
    m_nDiscardNotice = 0;
    // Its name on the disk before the next command's journal covers it.
    return FlushNameOf(m_Path.c_str());
  }
  if (!m_pJournal) return true;
  if (keep) {
    if (m_pJournal->Commit()) return true;
    m_pJournal->RollBack();
    return false;
  }
  return m_pJournal->RollBack();
}

bool _VROH_RW_CLASS::ReleaseFile() {
  if (!m_HeldPath.empty()) HeldHere().Drop(m_HeldPath.c_str());
  m_HeldPath.clear();
  delete m_pJournal;
  m_pJournal = nullptr;
  bool ok = !m_hFile || CloseHandle(m_hFile);
  m_hFile = nullptr;
  if (!m_TempPath.empty()) {
    DeleteFileW(m_TempPath.c_str());
    ForgetMadeUnder(m_TempPath);
  }
  m_TempPath.clear();
  return ok;
}

int _VROH_RW_CLASS::Commit() {
  VroCsLock lock(&m_Lock);
  if (m_bWritesStopped) return -1;
  if (!m_pBackEnd || m_nMode == VRO_MODE_READ) return 0;
  // A made file no write reached goes on waiting for one.
  if (MakingForWrites() && !m_bWritten) return 0;
  bool wasMade = !m_TempPath.empty();
  if (m_pBackEnd->Flush(m_hFile) < 0 || FlushHandleFile(m_hFile) < 0 || !EndFile(true)) {
    m_bWritesStopped = true;
    return -1;
  }
  // A file the command made exists now: the next command keeps a journal.
  if (wasMade) {
    m_pJournal = new (std::nothrow) CFileJournal(m_hFile, m_Path);
    if (!m_pJournal || !m_pJournal->Hooked()) {
      delete m_pJournal;
      m_pJournal = nullptr;
      m_bWritesStopped = true;
      return -1;
    }
  }
  return 0;
}

int _VROH_RW_CLASS::Settle() {
  VroCsLock lock(&m_Lock);
  if (m_bWritesStopped) return -1;
  if (!m_pBackEnd || m_nMode == VRO_MODE_READ) return 0;
  if (m_pBackEnd->Flush(m_hFile) < 0 || FlushHandleFile(m_hFile) < 0 ||
      (m_pJournal && !m_pJournal->Settle())) {
    m_bWritesStopped = true;
    return -1;
  }
  return 0;
}

bool _VROH_RW_CLASS::HasUncommittedWrites() const {
  return (!m_TempPath.empty() && (m_bWritten || !m_bMadeForWrites)) ||
         (m_pJournal && m_pJournal->Started());
}

void _VROH_RW_CLASS::MarkUnkept(uint64_t sector, uint64_t bytes) {
  VroCsLock lock(&m_Lock);
  uint64_t at = 0;
  if (m_pJournal && m_pBackEnd && !m_bWritesStopped && m_pBackEnd->FileOffset(sector, &at))
    m_pJournal->Unkept(at, at + bytes);
}

int _VROH_RW_CLASS::RollBack() {
  VroCsLock lock(&m_Lock);
  m_bWritesStopped = true;
  bool ok = EndFile(false);
  Close();
  return ok ? 0 : -1;
}

void _VROH_RW_CLASS::StopWrites() {
  VroCsLock lock(&m_Lock);
  if (IsOpen()) m_bWritesStopped = true;
}

int64_t _VROH_RW_CLASS::Write(uint64_t sector, const void* buf, uint32_t bytes) {
  VroCsLock lock(&m_Lock);
  if (!m_pBackEnd || m_bWritesStopped) return -(int64_t)bytes;
  m_bWritten = true;
  return m_pBackEnd->Write(m_hFile, sector, buf, bytes);
}

int64_t _VROH_RW_CLASS::Read(uint64_t sector, void* buf, uint32_t bytes) {
  VroCsLock lock(&m_Lock);
  if (!m_pBackEnd) return -(int64_t)bytes;
  return m_pBackEnd->Read(m_hFile, sector, buf, bytes);
}

int64_t _VROH_RW_CLASS::RawRead(uint64_t sector, void* buf, uint32_t bytes) {
  VroCsLock lock(&m_Lock);
  if (!m_hFile) return -(int64_t)bytes;
  return ReadHandleAt(m_hFile, sector * VRO_SECTOR, buf, bytes);
}

uint8_t* _VROH_RW_CLASS::Header() const {
  return (m_nType == VRO_TYPE_SPARSE && m_pContainer) ? m_pContainer->Header() : nullptr;
}

uint32_t _VROH_RW_CLASS::Kind() const {
  uint8_t* h = Header();
  return h ? Ld32(h + kOffKind) : 0;
}

void _VROH_RW_CLASS::SetZeroFill(int zeroFill) {
  VroCsLock lock(&m_Lock);
  if (m_nType == VRO_TYPE_SPARSE && m_pBackEnd)
    static_cast<_VROH_IMG_RW*>(m_pBackEnd)->m_ZeroFill = zeroFill;
}

int _VROH_RW_CLASS::Close() {
  VroCsLock lock(&m_Lock);
  int result = 0;
  if (m_bWritesStopped) {
    result = -1;
  } else if (m_pBackEnd) {
    // What a command reports done is on the disk before it reports it.
    if (m_pBackEnd->Flush(m_hFile) < 0 ||
        (m_nMode != VRO_MODE_READ && FlushHandleFile(m_hFile) < 0))
      result = -1;
  }
  // Whole, or taken back: a command that could not write all it did is
  // undone in the file.
  if (!EndFile(result == 0 && m_pBackEnd != nullptr)) result = -1;
  m_bWritesStopped = false;
  m_bMadeForWrites = false;
  m_bWritten = false;
  m_nDiscardNotice = 0;
  delete m_pBackEnd;
  m_pBackEnd = nullptr;
  delete m_pContainer;
  m_pContainer = nullptr;
  m_nType = 0;
  m_bNew = 0;
  m_bEmptyAtOpen = 0;
  m_nCapacity = 0;
  m_nDiskNumber = -1;
  if (!ReleaseFile()) result = -1;
  m_Path.clear();
  return result;
}

_VROH_BASE_RW* _VROH_RW_CLASS::Open(const wchar_t* path, int mode) {
  Close();
  return Detect(path, mode, false);
}

_VROH_BASE_RW* _VROH_RW_CLASS::OpenSparse(const wchar_t* path, int mode) {
  _VROH_BASE_RW* be = Open(path, mode);
  if (be && m_nType != VRO_TYPE_SPARSE) {
    Close();
    return nullptr;
  }
  return be;
}

_VROH_BASE_RW* _VROH_RW_CLASS::Detect(const wchar_t* path, int mode, bool handleSet) {
  VroCsLock lock(&m_Lock);
  if (!path || !*path) return nullptr;
  m_nMode = mode;
  m_Path = path;
  bool device = wcsncmp(path, L"\\\\.\\", 4) == 0;
  int deviceType =
      (device && wcslen(path) >= 6 && path[5] == L':') ? VRO_TYPE_VOLUME : VRO_TYPE_PHYSICAL;
  DWORD access = mode > 0 ? (GENERIC_READ | GENERIC_WRITE) : GENERIC_READ;
  DWORD share = ShareFor(path, mode);

  if (device) {
    uint64_t bytes = 0;
    int disk = -1;
    if (!handleSet) {
      HANDLE h = VroGetDeviceSource()->OpenDevice(path, deviceType, access, share, &bytes, &disk);
      if (h == INVALID_HANDLE_VALUE || !h) {
        Close();
        return nullptr;
      }
      m_hFile = h;
    }
    m_nDiskNumber = disk;
    if (deviceType == VRO_TYPE_PHYSICAL) {
      m_pBackEnd = new (std::nothrow) _VROH_PHYSICAL_RW;
      m_nCapacity = bytes / VRO_SECTOR + 1;
    } else {
      m_pBackEnd = new (std::nothrow) _VROH_PARTITION_RW(bytes / VRO_SECTOR);
      m_nCapacity = bytes / VRO_SECTOR + VRO_PARTITION_SYNTH_SECTORS;
    }
    m_nType = deviceType;
    if (!m_pBackEnd) {
      Close();
      return nullptr;
    }
    return m_pBackEnd;
  }

  if (!handleSet) {
    HANDLE h = OpenFile(path, mode, access, share);
    if (h == INVALID_HANDLE_VALUE) {
      Close();
      return nullptr;
    }
    m_hFile = h;
  }
  LARGE_INTEGER size;
  if (!GetFileSizeEx(m_hFile, &size)) {
    Close();
    return nullptr;
  }
  uint64_t fileBytes = (uint64_t)size.QuadPart;
  uint64_t fileSectors = (fileBytes + VRO_SECTOR - 1) / VRO_SECTOR;
  m_nCapacity = fileSectors;
  m_nDiskNumber = -1;
  bool isNew = fileBytes == 0;
  m_bEmptyAtOpen = isNew ? 1 : 0;
  if (isNew) {
    m_bNew = 1;
    if (mode != VRO_MODE_CREATE) {
      Close();
      return nullptr;
    }
  }

  FileFacts facts;
  facts.path = path;
  facts.mode = mode;
  facts.bytes = fileBytes;
  facts.sectors = fileSectors;
  facts.isNew = isNew;
  memset(facts.head, 0, sizeof facts.head);
  bool headRead = isNew;
  for (const BackEndKind& kind : kBackEnds) {
    if (kind.needsHead && !headRead) {
      if (ReadHandleAtZeroTail(m_hFile, 0, facts.head, sizeof facts.head) < 0) {
        Close();
        return nullptr;
      }
      headRead = true;
    }
    if (!kind.probe(facts)) continue;
    m_nType = kind.type;
    Made made = kind.make(this, facts);
    if (made == MADE_REFUSED) {
      Close();
      return nullptr;
    }
    if (made == MADE_BACK_END) break;
  }
  if (!m_pBackEnd) {
    Close();
    return nullptr;
  }
  return m_pBackEnd;
}

void _VROH_RW_CLASS::AllowNewBlocks() {
  if (m_nType == VRO_TYPE_VHD_DYNAMIC && m_nMode != VRO_MODE_READ && m_pBackEnd)
    static_cast<_VROH_VHD_RW*>(m_pBackEnd)->AllowNewBlocks();
}
