// A fault seam for the disk tools' tests over a mounted image's device block.
#pragma once
#include "image/device/DiskIoBlock.h"

// A device block whose n-th write fails after half of its bytes went to
// the disk (a torn write), or, without `tear`, with none of them (a write
// the disk refuses whole); it counts the writes.
class FailingWrites {
 public:
  FailingWrites(DiskIoBlock* block, int failAt, bool tear = true)
      : m_block(block), m_inner(*block), m_failAt(failAt), m_tear(tear) {
    block->owner = this;
    block->read = [](void* o, unsigned long long at, void* buffer, unsigned n) {
      FailingWrites* f = static_cast<FailingWrites*>(o);
      return f->m_inner.read(f->m_inner.owner, at, buffer, n);
    };
    block->write = [](void* o, unsigned long long at, const void* buffer, unsigned n) {
      FailingWrites* f = static_cast<FailingWrites*>(o);
      if (++f->m_writes != f->m_failAt) return f->m_inner.write(f->m_inner.owner, at, buffer, n);
      if (f->m_tear && n / 2) f->m_inner.write(f->m_inner.owner, at, buffer, n / 2);
      return -1;
    };
    // The disk's flush goes to the disk object, whatever owner says now.
    if (m_inner.sync)
      block->sync = [](void* o) {
        FailingWrites* f = static_cast<FailingWrites*>(o);
        return f->m_inner.sync(f->m_inner.owner);
      };
  }
  ~FailingWrites() { *m_block = m_inner; }
  int Writes() const { return m_writes; }

 private:
  DiskIoBlock* m_block;
  DiskIoBlock m_inner;
  int m_failAt;
  bool m_tear;
  int m_writes = 0;
};
