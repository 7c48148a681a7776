#include "image/stack/journal/FileJournal.h"

#include <string.h>

#include <algorithm>
#include "common/PathSet.h"
#include "common/PathUtil.h"
#include "common/FolderFlush.h"
#include "image/device/DeviceSource.h"
#include "image/stack/OverlayNotice.h"

using namespace vrojournal;

namespace {

// Old bytes and waiting writes of a batch, together: when they reach it,
// the batch's entries are flushed and the waiting writes go out. Larger
// batches save flushes but cost more in memory than they save (measured
// on a 250 MB inject: 4 MiB the fastest of 2 to 64).
const uint64_t kBatchBytes = 4u << 20;
// Old bytes are kept in entries of at most this much.
const uint32_t kEntryBytes = 1u << 20;
// The host is asked for the holes of this much of the file at a time.
const uint64_t kHoleWindow = 16u << 20;
// A hole is named in pieces of this much around the writes into it: the
// unit NTFS allocates a sparse file's room in (16 clusters of up to 4 KiB),
// and only whole units are given back.
const uint64_t kHoleUnit = 64u << 10;

uint64_t NewSalt(const void* self) {
  LARGE_INTEGER counter = {};
  QueryPerformanceCounter(&counter);
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  uint64_t mix[5] = {(uint64_t)counter.QuadPart,
                     ((uint64_t)now.dwHighDateTime << 32) | now.dwLowDateTime,
                     GetCurrentProcessId(), GetCurrentThreadId(), (uint64_t)(uintptr_t)self};
  return Hash(0x6A09E667F3BCC908ull, mix, sizeof mix);
}

// The journals of this process's commands under way: an open of the same
// file meanwhile reads it as it stands and leaves the journal alone.
CPathSet& Files() {
  static CPathSet live;
  return live;
}

void SetLive(const std::wstring& journalPath, bool live) {
  if (live)
    Files().Note(journalPath.c_str());
  else
    Files().Drop(journalPath.c_str());
}

bool IsLive(const std::wstring& journalPath) {
  return Files().Has(journalPath.c_str());
}

bool WriteAll(HANDLE h, uint64_t at, const void* data, size_t bytes) {
  VroDeviceSource* source = VroGetDeviceSource();
  const uint8_t* p = static_cast<const uint8_t*>(data);
  while (bytes) {
    uint32_t n = (uint32_t)std::min<size_t>(bytes, 64u << 20);
    if (source->WriteAt(h, at, p, n) != (int64_t)n) return false;
    at += n;
    p += n;
    bytes -= n;
  }
  return true;
}

uint64_t WriteTimeOf(HANDLE file) {
  FILETIME t;
  if (!GetFileTime(file, nullptr, nullptr, &t)) return 0;
  return (uint64_t)t.dwHighDateTime << 32 | t.dwLowDateTime;
}

bool SetWriteTime(HANDLE file, uint64_t time) {
  FILETIME t = {(DWORD)time, (DWORD)(time >> 32)};
  return SetFileTime(file, nullptr, nullptr, &t) != 0;
}

// Renames a journal that belongs to no file here out of the way.
bool SetAside(const std::wstring& journalPath) {
  std::wstring target = journalPath + L".aside";
  for (int i = 2; GetFileAttributesW(WidePath(target).c_str()) != INVALID_FILE_ATTRIBUTES; i++)
    target = journalPath + L".aside" + std::to_wstring(i);
  bool moved = false;
  RenameDurably(WidePath(journalPath).c_str(), WidePath(target).c_str(), &moved);
  VroOverlayNotice(journalPath.c_str(), moved ? VRO_NOTICE_JOURNAL_SET_ASIDE
                                              : VRO_NOTICE_JOURNAL_NOT_APPLIED);
  return moved;
}

// Puts back what the journal at journalPath holds into file; with
// `checkOwner`, only when the journal belongs to it (else it is set aside).
int ApplyJournal(HANDLE file, const std::wstring& filePath, const std::wstring& journalPath,
                 bool checkOwner) {
  HANDLE journal = CreateFileW(WidePath(journalPath).c_str(), GENERIC_READ, FILE_SHARE_READ,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (journal == INVALID_HANDLE_VALUE) {
    VroOverlayNotice(journalPath.c_str(), VRO_NOTICE_JOURNAL_NOT_APPLIED);
    return CFileJournal::RECOVER_REFUSED;
  }
  Head head;
  std::vector<Entry> entries;
  std::vector<Written> written;
  ReadResult read = ReadJournal(journal, &head, &entries, checkOwner ? &written : nullptr);
  if (read != READ_OK) {
    CloseHandle(journal);
    VroOverlayNotice(journalPath.c_str(), read == READ_DAMAGED ? VRO_NOTICE_JOURNAL_DAMAGED
                                                               : VRO_NOTICE_JOURNAL_NOT_APPLIED);
    return CFileJournal::RECOVER_REFUSED;
  }
  // A command that was whole when its journal should have gone: nothing to
  // put back (a roll back within the command that wrote it still may).
  if (checkOwner && (head.flags & kHeadWhole)) {
    CloseHandle(journal);
    DeleteFileW(WidePath(journalPath).c_str());
    return CFileJournal::RECOVER_NONE;
  }
  uint64_t value = 0;
  if (checkOwner) {
    // Its file as the command left it: the name, the fingerprint once put
    // back, and every sector the journal covers as old or as written.
    bool named = _wcsicmp(head.name.c_str(), FileNameOf(filePath).c_str()) == 0, holds = true;
    if (named && (!FingerprintRolledBack(file, journal, head, entries, &value) ||
                  !HoldsOldOrWritten(file, journal, head, entries, std::move(written), &holds))) {
      CloseHandle(journal);
      VroOverlayNotice(journalPath.c_str(), VRO_NOTICE_JOURNAL_NOT_APPLIED);
      return CFileJournal::RECOVER_REFUSED;
    }
    if (!named || value != head.fingerprint || !holds) {
      CloseHandle(journal);
      return SetAside(journalPath) ? CFileJournal::RECOVER_NONE : CFileJournal::RECOVER_REFUSED;
    }
  }
  // The room the command took in holes goes back first: the bytes there
  // are zeros again, which PutBack then finds as they were.
  GiveBackHoles(file, entries);
  // The file must give its fingerprint again: a roll back that did not
  // reach every byte is no roll back.
  bool whole = PutBack(file, journal, head, entries) && Fingerprint(file, head.oldLength, &value) &&
               value == head.fingerprint;
  CloseHandle(journal);
  // The time the file had goes back with its bytes: a write-back file made
  // over the file before the command matches it again. (Were that refused,
  // such a file would only be taken for one of an earlier state, kept and
  // refused; the bytes are back either way.)
  if (whole && head.oldWriteTime && SetWriteTime(file, head.oldWriteTime))
    VroGetDeviceSource()->FlushHandle(file);
  if (!whole) {
    VroOverlayNotice(journalPath.c_str(), VRO_NOTICE_JOURNAL_NOT_APPLIED);
    return CFileJournal::RECOVER_REFUSED;
  }
  // Rolled back, and the journal stays (read-only, say): the next open
  // puts the same bytes back again, and until it goes the file is not
  // opened.
  if (!DeleteFileW(WidePath(journalPath).c_str())) {
    VroOverlayNotice(journalPath.c_str(), VRO_NOTICE_JOURNAL_NOT_REMOVED);
    return CFileJournal::RECOVER_REFUSED;
  }
  return CFileJournal::RECOVER_DONE;
}

}  // namespace

CFileJournal::CFileJournal(HANDLE file, const std::wstring& path) : m_file(file), m_path(path) {
  InitializeCriticalSection(&m_lock);
  m_hooked = VroSetHandleHook(file, this);
}

CFileJournal::~CFileJournal() {
  if (m_hooked) VroSetHandleHook(m_file, nullptr);
  if (m_journal != INVALID_HANDLE_VALUE) CloseHandle(m_journal);
  if (m_started) SetLive(JournalPathOf(m_path), false);
  DeleteCriticalSection(&m_lock);
}

void CFileJournal::ForgetReplaced(const std::wstring& path) {
  std::wstring journal = JournalPathOf(path);
  if (!IsLive(journal)) DeleteFileW(WidePath(journal).c_str());
}

int64_t CFileJournal::Fail(uint32_t bytes) {
  m_failed = true;
  return -(int64_t)bytes;
}

bool CFileJournal::WriteHead() {
  m_head.sequence++;
  uint8_t slot[kSlotBytes];
  EncodeHead(m_head, slot);
  return WriteAll(m_journal, (m_head.sequence % 2) * kSlotBytes, slot, kSlotBytes);
}

bool CFileJournal::Start() {
  LARGE_INTEGER size = {};
  if (!GetFileSizeEx(m_file, &size)) return false;
  m_head = Head();
  m_head.oldLength = (uint64_t)size.QuadPart;
  m_head.oldWriteTime = WriteTimeOf(m_file);
  m_head.salt = NewSalt(this);
  m_head.name = FileNameOf(m_path);
  m_head.samples = (uint32_t)SampleRanges(m_head.oldLength).size();
  if (!Fingerprint(m_file, m_head.oldLength, &m_head.fingerprint)) return false;
  m_samples = SampleRanges(m_head.oldLength);
  for (const auto& r : m_samples) m_unkept.Remove(r.first, r.first + r.second);
  // The journal takes its name only with both heads on the disk: a journal
  // at that name is always whole as far as its heads go.
  std::wstring path = JournalPathOf(m_path), made = path + L".new";
  // Made only where nothing stands: a file of that name that is not ours
  // is never written over (the open that settles what runs left keeps
  // writers out while one lies there).
  HANDLE h = CreateFileW(WidePath(made).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                         CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  m_journal = h;
  m_head.sequence = 0;
  bool ok = WriteHead() && WriteHead() && VroGetDeviceSource()->FlushHandle(h) == 0;
  CloseHandle(h);
  m_journal = INVALID_HANDLE_VALUE;
  if (!ok || !MoveFileExW(WidePath(made).c_str(), WidePath(path).c_str(), MOVEFILE_WRITE_THROUGH)) {
    DeleteFileW(WidePath(made).c_str());
    return false;
  }
  // Its name on the disk before any overwrite it covers.
  if (!FlushNameOf(WidePath(path).c_str())) {
    DeleteFileW(WidePath(path).c_str());
    return false;
  }
  m_started = true;
  SetLive(path, true);
  // Others may read it, none may write it while the command runs.
  m_journal = CreateFileW(WidePath(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  return m_journal != INVALID_HANDLE_VALUE;
}

bool CFileJournal::NoteWritten() {
  // Each sector as the held runs leave it, one run after the other (two
  // runs may share a sector: the state between them is named too).
  uint8_t sector[kCheckSector];
  uint64_t cached = UINT64_MAX;
  std::vector<uint32_t> values;
  for (const auto& run : m_held.Runs()) {
    uint64_t at = run.first, end = at + run.second.size();
    uint64_t first = at / kCheckSector, last = (end - 1) / kCheckSector;
    values.clear();
    for (uint64_t s = first; s <= last; s++) {
      uint64_t s0 = s * kCheckSector;
      uint32_t n = (uint32_t)std::min<uint64_t>(kCheckSector, m_head.oldLength - s0);
      if (s0 >= at && s0 + n <= end) {
        values.push_back(SectorCheck(run.second.data() + (s0 - at), n));
        continue;
      }
      if (cached != s) {
        int64_t got = SystemReadHandleAt(m_file, s0, sector, n);
        if (got < 0) return false;
        memset(sector + got, 0, n - (uint32_t)got);
        cached = s;
      }
      uint64_t from = std::max(s0, at), to = std::min(s0 + n, end);
      memcpy(sector + (from - s0), run.second.data() + (from - at), (size_t)(to - from));
      values.push_back(SectorCheck(sector, n));
    }
    AppendWritten(m_head.salt, first, values.data(), (uint32_t)values.size(), &m_batch);
    m_batchEntries++;
  }
  return true;
}

bool CFileJournal::Seal() {
  VroDeviceSource* source = VroGetDeviceSource();
  if (!m_held.Empty() && !NoteWritten()) return false;
  if (!m_batch.empty()) {
    // The entries first, then the head that counts them: a head never
    // counts entries that are not on the disk.
    if (!WriteAll(m_journal, m_head.sealedEnd, m_batch.data(), m_batch.size()) ||
        source->FlushHandle(m_journal) != 0)
      return false;
    m_head.sealedEnd += m_batch.size();
    m_head.sealedEntries += m_batchEntries;
    if (!WriteHead() || source->FlushHandle(m_journal) != 0) return false;
    m_batch.clear();
    m_batchEntries = 0;
  }
  for (const auto& run : m_held.Runs())
    if (!WriteAll(m_file, run.first, run.second.data(), run.second.size())) return false;
  m_held.Clear();
  return true;
}

void CFileJournal::Unkept(uint64_t start, uint64_t end) {
  VroCsLock lock(&m_lock);
  m_unkept.Add(start, end);
  if (m_started)
    for (const auto& r : m_samples)
      if (r.first < end && start < r.first + r.second) m_unkept.Remove(r.first, r.first + r.second);
}

bool CFileJournal::Unnamed(uint64_t start, uint64_t end) const {
  if (!m_unkept.Covers(start, end) || m_holes.Reaches(start, end)) return false;
  auto fresh = m_kept.Missing(start, end);
  return fresh.size() == 1 && fresh[0].first == start && fresh[0].second == end;
}

void CFileJournal::NoteHoles(uint64_t start, uint64_t end) {
  if (m_holesUnknown) return;
  for (const auto& gap : m_asked.Missing(start, end)) {
    uint64_t from = gap.first / kHoleWindow * kHoleWindow;
    uint64_t to = std::min(m_head.oldLength, (gap.second + kHoleWindow - 1) / kHoleWindow * kHoleWindow);
    std::vector<std::pair<uint64_t, uint64_t>> holes;
    if (!VroGetDeviceSource()->QueryHoles(m_file, from, to, &holes)) {
      m_holesUnknown = true;
      return;
    }
    // Whole sectors of them: an entry names those.
    for (const auto& h : holes)
      m_hostHoles.Add((h.first + kCheckSector - 1) / kCheckSector * kCheckSector,
                      h.second / kCheckSector * kCheckSector);
    m_asked.Add(from, to);
  }
  // The holes around the write, in whole units the host gives back.
  uint64_t first = start / kHoleUnit * kHoleUnit;
  uint64_t last = (end + kHoleUnit - 1) / kHoleUnit * kHoleUnit;
  for (const auto& hole : m_hostHoles.Held(first, last)) {
    for (const auto& part : m_holes.Missing(hole.first, hole.second)) {
      for (uint64_t at = part.first; at < part.second;) {
        uint32_t n = (uint32_t)std::min<uint64_t>(kEntryBytes, part.second - at);
        AppendHole(m_head.salt, at, n, &m_batch);
        m_batchEntries++;
        at += n;
      }
      m_holes.Add(part.first, part.second);
    }
  }
}

int64_t CFileJournal::HookWrite(uint64_t at, const void* buf, uint32_t bytes) {
  VroCsLock lock(&m_lock);
  if (m_failed || !bytes) return m_failed ? -(int64_t)bytes : 0;
  if (!m_started && !Start()) return Fail(bytes);
  // A large write goes a piece at a time: what waits in memory stays
  // within a batch.
  const uint8_t* p = static_cast<const uint8_t*>(buf);
  for (uint32_t done = 0; done < bytes;) {
    uint32_t n = std::min<uint32_t>(bytes - done, kEntryBytes * 4);
    if (!WritePiece(at + done, p + done, n)) return Fail(bytes);
    done += n;
  }
  return bytes;
}

bool CFileJournal::WritePiece(uint64_t at, const uint8_t* p, uint32_t bytes) {
  uint64_t end = at + bytes, old = m_head.oldLength;
  if (at < old) {
    uint64_t lowEnd = std::min(end, old);
    NoteHoles(at, lowEnd);
    std::vector<uint8_t> kept;
    std::vector<std::pair<uint64_t, uint64_t>> needed;
    if (!m_unkept.Covers(at, lowEnd))
      for (const auto& gap : m_kept.Missing(at, lowEnd))
        for (const auto& part : m_unkept.Missing(gap.first, gap.second)) needed.push_back(part);
    for (const auto& gap : needed) {
      for (uint64_t from = gap.first; from < gap.second;) {
        uint32_t n = (uint32_t)std::min<uint64_t>(kEntryBytes, gap.second - from);
        kept.resize(n);
        if (SystemReadHandleAt(m_file, from, kept.data(), n) != (int64_t)n) return false;
        // Runs of zero blocks go in as entries without their bytes.
        for (uint32_t run = 0, next; run < n; run = next) {
          bool zero;
          next = RunEnd(kept.data(), n, run, &zero);
          AppendEntry(m_head.salt, from + run, zero ? nullptr : kept.data() + run, next - run,
                      &m_batch);
          m_batchEntries++;
        }
        m_kept.Add(from, from + n);
        from += n;
        if (m_batch.size() >= kBatchBytes && !Seal()) return false;
      }
    }
    // Every overwrite waits for its batch: the journal names the bytes it
    // leaves before they reach the file. Bytes no roll back needs back,
    // which no entry reaches, go straight there.
    uint32_t low = (uint32_t)(lowEnd - at);
    if (Unnamed(at, lowEnd) && !m_held.Overlaps(at, low)) {
      if (!WriteAll(m_file, at, p, low)) return false;
    } else {
      m_held.Put(at, p, low);
    }
  }
  if (end > old) {
    uint64_t from = std::max(at, old);
    if (!WriteAll(m_file, from, p + (from - at), (size_t)(end - from))) return false;
  }
  return m_held.Bytes() + m_batch.size() < kBatchBytes || Seal();
}

int64_t CFileJournal::HookRead(uint64_t at, void* buf, uint32_t bytes) {
  VroCsLock lock(&m_lock);
  int64_t got = SystemReadHandleAt(m_file, at, buf, bytes);
  if (got > 0 && !m_held.Empty()) m_held.Overlay(at, static_cast<uint8_t*>(buf), (uint32_t)got);
  return got;
}

int CFileJournal::HookFlush() {
  VroCsLock lock(&m_lock);
  if (m_failed) return -1;
  if (m_started && !Seal()) {
    m_failed = true;
    return -1;
  }
  if (VroGetDeviceSource()->FlushHandle(m_file) != 0) {
    m_failed = true;
    return -1;
  }
  return 0;
}

void CFileJournal::Reset() {
  if (m_journal != INVALID_HANDLE_VALUE) CloseHandle(m_journal);
  m_journal = INVALID_HANDLE_VALUE;
  if (m_started) SetLive(JournalPathOf(m_path), false);
  m_started = false;
  m_head = Head();
  m_kept.Clear();
  m_unkept.Clear();
  m_batch.clear();
  m_batchEntries = 0;
  m_held.Clear();
  m_asked.Clear();
  m_hostHoles.Clear();
  m_holes.Clear();
  m_holesUnknown = false;
}

bool CFileJournal::Commit() {
  VroCsLock lock(&m_lock);
  if (!m_started) {
    m_unkept.Clear();
    return !m_failed;
  }
  if (m_failed) return false;
  if (!SettleLocked()) return false;
  // The command is whole: the head says so before the journal goes, so a
  // removal the disk never kept (power lost before the folder reached it)
  // leaves a journal the next open removes instead of rolling the command
  // back. A torn head leaves the other slot: the journal still rolls back.
  m_head.flags |= kHeadWhole;
  if (!WriteHead() || VroGetDeviceSource()->FlushHandle(m_journal) != 0) {
    m_failed = true;
    return false;
  }
  CloseHandle(m_journal);
  m_journal = INVALID_HANDLE_VALUE;
  if (!DeleteFileW(WidePath(JournalPathOf(m_path)).c_str())) {
    m_failed = true;
    return false;
  }
  Reset();
  return true;
}

bool CFileJournal::Settle() {
  VroCsLock lock(&m_lock);
  if (!m_started) return !m_failed;
  return !m_failed && SettleLocked();
}

bool CFileJournal::SettleLocked() {
  if (!Seal()) {
    m_failed = true;
    return false;
  }
  // The writes moved the time on, or not far enough (the host keeps it
  // coarser than they came, or it was set on this handle before, which the
  // host then no longer moves): it is set here, on the handle, so that its
  // close does not move it again, and reaches the disk with the file's
  // flush. A time the host cannot tell stays as it is; one it will not set
  // fails the command only where it must move.
  uint64_t old = m_head.oldWriteTime, now = WriteTimeOf(m_file);
  if (old && now) {
    bool moved = now >= old + kWriteTimeStep;
    if (!SetWriteTime(m_file, moved ? now : old + kWriteTimeStep) && !moved) {
      m_failed = true;
      return false;
    }
  }
  if (VroGetDeviceSource()->FlushHandle(m_file) != 0) {
    m_failed = true;
    return false;
  }
  return true;
}

bool CFileJournal::RollBack() {
  VroCsLock lock(&m_lock);
  if (!m_started) {
    m_unkept.Clear();
    m_failed = false;
    return true;
  }
  // One that failed already is left to the next open.
  if (m_rollBackFailed) return false;
  // What waits never reached the file: the journal's sealed entries are all
  // that was overwritten.
  m_held.Clear();
  m_batch.clear();
  if (m_journal != INVALID_HANDLE_VALUE) CloseHandle(m_journal);
  m_journal = INVALID_HANDLE_VALUE;
  std::wstring path = JournalPathOf(m_path);
  SetLive(path, false);
  bool done = ApplyJournal(m_file, m_path, path, false) == RECOVER_DONE;
  if (!done) {
    m_failed = m_rollBackFailed = true;
    return false;
  }
  m_started = false;
  m_failed = false;
  Reset();
  return true;
}

int CFileJournal::Recover(const std::wstring& path) {
  std::wstring undo = path + L".undo";
  if (GetFileAttributesW(WidePath(undo).c_str()) != INVALID_FILE_ATTRIBUTES) {
    VroOverlayNotice(undo.c_str(), VRO_NOTICE_LEGACY_UNDO);
    return RECOVER_REFUSED;
  }
  std::wstring journal = JournalPathOf(path);
  if (GetFileAttributesW(WidePath(journal).c_str()) == INVALID_FILE_ATTRIBUTES || IsLive(journal))
    return RECOVER_NONE;
  HANDLE file = CreateFileW(WidePath(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    // A journal whose file is gone belongs to no file here.
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
      return SetAside(journal) ? RECOVER_NONE : RECOVER_REFUSED;
    // Another process has the file open for its own command (the journal
    // may be that command's, live): nothing is rolled back under it.
    if (error == ERROR_SHARING_VIOLATION) {
      VroOverlayNotice(path.c_str(), VRO_NOTICE_HELD);
      return RECOVER_REFUSED;
    }
    VroOverlayNotice(journal.c_str(), VRO_NOTICE_JOURNAL_NOT_APPLIED);
    return RECOVER_REFUSED;
  }
  int result = ApplyJournal(file, path, journal, true);
  if (!CloseHandle(file) && result == RECOVER_DONE) result = RECOVER_REFUSED;
  if (result == RECOVER_DONE) VroOverlayNotice(path.c_str(), VRO_NOTICE_JOURNAL_ROLLED_BACK);
  return result;
}
