#include "image/device/DiskWriteJournal.h"

#include <windows.h>
#include <string.h>

#include <new>

#include "image/device/DeviceSource.h"
#include "image/device/SectorDevice.h"

namespace {

const char kMagic[8] = {'V', 'R', 'O', 'J', 'R', 'N', 'L', '1'};
const uint32_t kHeadBytes = 8 + 4 + 8;    // magic, note length, checksum
const uint32_t kEntryHead = 8 + 4 + 8;    // offset, length, checksum
const uint32_t kMaxNote = 1 << 16;

uint64_t Checksum(uint64_t h, const void* data, size_t n) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < n; i++) h = (h ^ p[i]) * 1099511628211ull;
  return h;
}
const uint64_t kSeed = 1469598103934665603ull;

bool ReadAt(HANDLE h, uint64_t at, void* buffer, uint32_t n) {
  return n == 0 || ReadHandleAt(h, at, buffer, n) == (int64_t)n;
}

}  // namespace

CDiskWriteJournal::CDiskWriteJournal(DiskIoBlock* block) : m_block(block), m_inner(*block) {
  block->owner = this;
  block->read = Read;
  block->write = Write;
  block->sync = m_inner.sync ? Sync : nullptr;
}

CDiskWriteJournal::~CDiskWriteJournal() {
  *m_block = m_inner;
  if (m_file) CloseHandle(m_file);
}

bool CDiskWriteJournal::Keep(const std::wstring& path, const std::vector<uint8_t>& note) {
  if (m_file || note.size() > kMaxNote) return false;
  // A file of an earlier operation is never overwritten: it is rolled
  // back first (RollBackKept).
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  std::vector<uint8_t> head(kHeadBytes + note.size());
  uint32_t n = (uint32_t)note.size();
  memcpy(&head[0], kMagic, 8);
  memcpy(&head[8], &n, 4);
  uint64_t sum = Checksum(Checksum(kSeed, &n, 4), note.data(), note.size());
  memcpy(&head[12], &sum, 8);
  if (n) memcpy(&head[kHeadBytes], note.data(), n);
  VroDeviceSource* source = VroGetDeviceSource();
  if (source->WriteAt(h, 0, head.data(), (uint32_t)head.size()) != (int64_t)head.size() ||
      source->FlushHandle(h) < 0) {
    CloseHandle(h);
    DeleteFileW(path.c_str());
    return false;
  }
  m_file = h;
  m_fileEnd = head.size();
  m_path = path;
  return true;
}

bool CDiskWriteJournal::Append(uint64_t offset, const std::vector<uint8_t>& old) {
  if (!m_file) return true;
  uint32_t n = (uint32_t)old.size();
  std::vector<uint8_t> entry(kEntryHead + n);
  memcpy(&entry[0], &offset, 8);
  memcpy(&entry[8], &n, 4);
  uint64_t sum = Checksum(Checksum(kSeed, &entry[0], 12), old.data(), n);
  memcpy(&entry[12], &sum, 8);
  memcpy(&entry[kEntryHead], old.data(), n);
  VroDeviceSource* source = VroGetDeviceSource();
  if (source->WriteAt(m_file, m_fileEnd, entry.data(), (uint32_t)entry.size()) !=
          (int64_t)entry.size() ||
      source->FlushHandle(m_file) < 0)
    return false;
  m_fileEnd += entry.size();
  return true;
}

bool CDiskWriteJournal::Commit() {
  if (!m_file && !m_closed) return true;
  if (m_file) CloseHandle(m_file);
  m_file = nullptr;
  m_closed = true;
  if (!RemoveKept(m_path)) return false;
  m_closed = false;
  m_entries.clear();
  return true;
}

bool CDiskWriteJournal::Forget() {
  m_entries.clear();
  return Commit();
}

int CDiskWriteJournal::Read(void* owner, unsigned long long offset, void* buffer,
                            unsigned int count) {
  CDiskWriteJournal* j = static_cast<CDiskWriteJournal*>(owner);
  return j->m_inner.read(j->m_inner.owner, offset, buffer, count);
}

int CDiskWriteJournal::Sync(void* owner) {
  CDiskWriteJournal* j = static_cast<CDiskWriteJournal*>(owner);
  return j->m_inner.sync(j->m_inner.owner);
}

int CDiskWriteJournal::Write(void* owner, unsigned long long offset, const void* buffer,
                             unsigned int count) {
  CDiskWriteJournal* j = static_cast<CDiskWriteJournal*>(owner);
  if (count == 0) return 0;
  // A write whose old bytes cannot be kept is not made: it could not be
  // taken back.
  Entry entry;
  entry.offset = offset;
  try {
    entry.old.resize(count);
    j->m_entries.reserve(j->m_entries.size() + 1);
  } catch (const std::bad_alloc&) {
    j->m_writeFailed = true;
    return -1;
  }
  if (j->m_inner.read(j->m_inner.owner, offset, entry.old.data(), count) != (int)count ||
      !j->Append(offset, entry.old)) {
    j->m_writeFailed = true;
    return -1;
  }
  j->m_entries.push_back(std::move(entry));
  int done = j->m_inner.write(j->m_inner.owner, offset, buffer, count);
  if (done != (int)count) j->m_writeFailed = true;
  return done;
}

namespace {

// Puts old bytes back at offset unless the disk holds them already (a write
// that never reached a full disk needs no room to be taken back). A range
// the disk cannot read lies past its end: nothing there to put back.
bool PutBack(const DiskIoBlock& disk, uint64_t offset, const std::vector<uint8_t>& old,
             bool unreadableIsGone) {
  unsigned count = (unsigned)old.size();
  std::vector<uint8_t> now(count);
  bool readable = disk.read(disk.owner, offset, now.data(), count) == (int)count;
  if (readable && !memcmp(now.data(), old.data(), count)) return true;
  if (!readable && unreadableIsGone) return true;
  return disk.write(disk.owner, offset, old.data(), count) == (int)count;
}

}  // namespace

bool CDiskWriteJournal::RollBack() {
  bool ok = true;
  for (size_t i = m_entries.size(); i-- > 0;)
    if (!PutBack(m_inner, m_entries[i].offset, m_entries[i].old, false)) ok = false;
  m_entries.clear();
  if (m_inner.sync && m_inner.sync(m_inner.owner) < 0) ok = false;
  return ok;
}

namespace {

// The head of a kept file: its note, and where its entries begin. False
// when the file has no whole head (nothing had been written then).
bool ReadHead(HANDLE h, uint64_t end, std::vector<uint8_t>* note, uint64_t* entries) {
  uint8_t head[kHeadBytes];
  uint32_t n = 0;
  uint64_t sum = 0;
  note->clear();
  if (end < kHeadBytes || !ReadAt(h, 0, head, kHeadBytes) || memcmp(head, kMagic, 8)) return false;
  memcpy(&n, head + 8, 4);
  memcpy(&sum, head + 12, 8);
  if (n > kMaxNote || kHeadBytes + (uint64_t)n > end) return false;
  note->resize(n);
  if (!ReadAt(h, kHeadBytes, note->data(), n) ||
      Checksum(Checksum(kSeed, &n, 4), note->data(), n) != sum) {
    note->clear();
    return false;
  }
  *entries = kHeadBytes + n;
  return true;
}

HANDLE OpenKept(const std::wstring& path, uint64_t* end) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  LARGE_INTEGER size = {};
  if (h != INVALID_HANDLE_VALUE) GetFileSizeEx(h, &size);
  *end = (uint64_t)size.QuadPart;
  return h;
}

}  // namespace

bool CDiskWriteJournal::ReadKeptNote(const std::wstring& path, std::vector<uint8_t>* note) {
  uint64_t end = 0, entries = 0;
  HANDLE h = OpenKept(path, &end);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool whole = ReadHead(h, end, note, &entries);
  CloseHandle(h);
  return whole;
}

int CDiskWriteJournal::RollBackKept(DiskIoBlock* block, const std::wstring& path,
                                    std::vector<uint8_t>* note) {
  uint64_t end = 0, first = 0, sum = 0;
  HANDLE h = OpenKept(path, &end);
  if (h == INVALID_HANDLE_VALUE) return 0;
  if (!ReadHead(h, end, note, &first)) {
    CloseHandle(h);
    return 0;
  }
  // The whole entries, in the order they were written.
  std::vector<Entry> entries;
  for (uint64_t at = first; at + kEntryHead <= end;) {
    uint8_t eh[kEntryHead];
    Entry e;
    uint32_t count = 0;
    if (!ReadAt(h, at, eh, kEntryHead)) break;
    memcpy(&e.offset, eh, 8);
    memcpy(&count, eh + 8, 4);
    memcpy(&sum, eh + 12, 8);
    if (count == 0 || at + kEntryHead + count > end) break;
    e.old.resize(count);
    if (!ReadAt(h, at + kEntryHead, e.old.data(), count) ||
        Checksum(Checksum(kSeed, eh, 12), e.old.data(), count) != sum)
      break;
    entries.push_back(std::move(e));
    at += kEntryHead + count;
  }
  CloseHandle(h);
  bool ok = true;
  for (size_t i = entries.size(); i-- > 0;)
    if (!PutBack(*block, entries[i].offset, entries[i].old, true)) ok = false;
  if (block->sync) block->sync(block->owner);
  return ok ? 1 : -1;
}

bool CDiskWriteJournal::RemoveKept(const std::wstring& path) {
  return DeleteFileW(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
}
