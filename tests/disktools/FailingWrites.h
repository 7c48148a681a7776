// A fault seam for the disk tools' tests over a mounted image's device block.
#pragma once
#include "image/device/DiskIoBlock.h"

// A device block whose n-th write fails after half of its bytes went to
// the disk (a torn write); it counts the writes.
class FailingWrites {
 public:
  FailingWrites(DiskIoBlock* block, int failAt) : m_block(block), m_inner(*block), m_failAt(failAt) {
    block->owner = this;
    block->read = [](void* o, unsigned long long at, void* buffer, unsigned n) {
      FailingWrites* f = static_cast<FailingWrites*>(o);
      return f->m_inner.read(f->m_inner.owner, at, buffer, n);
    };
    block->write = [](void* o, unsigned long long at, const void* buffer, unsigned n) {
      FailingWrites* f = static_cast<FailingWrites*>(o);
      if (++f->m_writes != f->m_failAt) return f->m_inner.write(f->m_inner.owner, at, buffer, n);
      if (n / 2) f->m_inner.write(f->m_inner.owner, at, buffer, n / 2);
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
  int m_writes = 0;
};
