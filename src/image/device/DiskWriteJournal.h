// An undo journal over a device block: while it is installed, every write
// first keeps the bytes it is about to overwrite, so that an operation of
// many writes can be taken back whole when one of its steps fails.
//
// Kept in a host file as well, the journal outlives a process that dies in
// the middle: each entry (its offset, its old bytes and their checksum)
// reaches the file, flushed, before its write goes to the disk, so the file
// names every byte the operation may have changed. An entry cut short is the
// last one, whose write never began. The file goes only when the operation
// is whole on the disk (Commit) or taken back (after RollBack); a file left
// behind is rolled back by RollBackKept before the disk is used again.
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

#include "image/device/DiskIoBlock.h"

class CDiskWriteJournal {
 public:
  // Installs itself into the block: everyone holding the block writes
  // through the journal from now on.
  explicit CDiskWriteJournal(DiskIoBlock* block);
  // Takes itself out of the block; what was written stays, and so does a
  // kept file that was neither committed nor forgotten.
  ~CDiskWriteJournal();
  CDiskWriteJournal(const CDiskWriteJournal&) = delete;
  CDiskWriteJournal& operator=(const CDiskWriteJournal&) = delete;

  // Keeps the journal in a new host file at path too, with `note` (the
  // caller's own record of what it changes outside the block) at its head.
  // False when the file cannot be made; nothing was written then.
  bool Keep(const std::wstring& path, const std::vector<uint8_t>& note);
  // The operation is whole (the caller made the disk durable): the kept
  // file goes. False when it could not be removed.
  bool Commit();
  // Removes the kept file after a roll back whose result the caller made
  // durable.
  bool Forget();

  // A write through the journal failed (the disk took it partly, or not).
  bool WriteFailed() const { return m_writeFailed; }
  // Puts back the kept bytes, newest first, where the disk does not hold
  // them already; the journal is empty afterwards. False when a write back
  // failed.
  bool RollBack();

  // Rolls back the journal a process left in the file at path: 1 done (the
  // file stays until RemoveKept, after the caller restored what its note
  // names), 0 no such file (or one without a whole head: nothing had been
  // written), -1 a write back failed. *note takes the file's note.
  static int RollBackKept(DiskIoBlock* block, const std::wstring& path, std::vector<uint8_t>* note);
  static bool RemoveKept(const std::wstring& path);
  // The note of a kept file with a whole head; false without one.
  static bool ReadKeptNote(const std::wstring& path, std::vector<uint8_t>* note);

 private:
  static int Read(void* owner, unsigned long long offset, void* buffer, unsigned int count);
  static int Write(void* owner, unsigned long long offset, const void* buffer, unsigned int count);
  static int Sync(void* owner);
  bool Append(uint64_t offset, const std::vector<uint8_t>& old);

  struct Entry {
    uint64_t offset;
    std::vector<uint8_t> old;
  };
  DiskIoBlock* m_block;
  DiskIoBlock m_inner;  // the block as it was: the disk's own functions
  std::vector<Entry> m_entries;
  bool m_writeFailed = false;
  void* m_file = nullptr;  // the kept file's handle
  bool m_closed = false;   // the kept file is closed but still there
  uint64_t m_fileEnd = 0;
  std::wstring m_path;
};
