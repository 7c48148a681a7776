// An undo log over a device block: while it is installed, every write first
// keeps the bytes it is about to overwrite, in memory, so that an operation
// of many writes can be taken back whole when one of its steps fails and
// the process goes on. (A process that dies leaves its files to the
// rollback journal of the command it ran.)
#pragma once
#include <stdint.h>

#include <vector>

#include "image/device/DiskIoBlock.h"

class CDiskWriteJournal {
 public:
  // Installs itself into the block: everyone holding the block writes
  // through the journal from now on.
  explicit CDiskWriteJournal(DiskIoBlock* block);
  // Takes itself out of the block; what was written stays.
  ~CDiskWriteJournal();
  CDiskWriteJournal(const CDiskWriteJournal&) = delete;
  CDiskWriteJournal& operator=(const CDiskWriteJournal&) = delete;

  // A write through the journal failed (the disk took it partly, or not).
  bool WriteFailed() const { return m_writeFailed; }
  // Puts back the kept bytes, newest first, where the disk does not hold
  // them already; the journal is empty afterwards. False when a write back
  // failed.
  bool RollBack();

 private:
  static int Read(void* owner, unsigned long long offset, void* buffer, unsigned int count);
  static int Write(void* owner, unsigned long long offset, const void* buffer, unsigned int count);
  static int Sync(void* owner);

  struct Entry {
    uint64_t offset;
    std::vector<uint8_t> old;
  };
  DiskIoBlock* m_block;
  DiskIoBlock m_inner;  // the block as it was: the disk's own functions
  std::vector<Entry> m_entries;
  bool m_writeFailed = false;
};
