#include "image/device/DiskWriteJournal.h"

#include <string.h>

#include <new>

CDiskWriteJournal::CDiskWriteJournal(DiskIoBlock* block) : m_block(block), m_inner(*block) {
  block->owner = this;
  block->read = Read;
  block->write = Write;
  block->sync = m_inner.sync ? Sync : nullptr;
}

CDiskWriteJournal::~CDiskWriteJournal() {
  *m_block = m_inner;
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
  if (j->m_inner.read(j->m_inner.owner, offset, entry.old.data(), count) != (int)count) {
    j->m_writeFailed = true;
    return -1;
  }
  j->m_entries.push_back(std::move(entry));
  int done = j->m_inner.write(j->m_inner.owner, offset, buffer, count);
  if (done != (int)count) j->m_writeFailed = true;
  return done;
}

bool CDiskWriteJournal::RollBack() {
  bool ok = true;
  std::vector<uint8_t> now;
  for (size_t i = m_entries.size(); i-- > 0;) {
    const Entry& e = m_entries[i];
    unsigned count = (unsigned)e.old.size();
    // A write that never reached a full disk needs no room to be taken back.
    now.resize(count);
    if (m_inner.read(m_inner.owner, e.offset, now.data(), count) == (int)count &&
        !memcmp(now.data(), e.old.data(), count))
      continue;
    if (m_inner.write(m_inner.owner, e.offset, e.old.data(), count) != (int)count) ok = false;
  }
  m_entries.clear();
  if (m_inner.sync && m_inner.sync(m_inner.owner) < 0) ok = false;
  return ok;
}
