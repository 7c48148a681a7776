// The rollback journal of a writing command on one image file (the format
// and its guarantee: JournalFile.h). It hooks the file's handle: every
// write goes through it, and a write over bytes the file held when the
// command began waits in memory until their old bytes, and the check values
// of the sectors as it leaves them, are in the journal and flushed (a batch
// at a time), so one flush of the journal serves many writes. Reads see the
// waiting writes.
//
//   CFileJournal journal(handle, path);    // before the first write
//   ... writes through WriteHandleAt ...
//   journal.Commit();   // the command is whole: file flushed, journal gone
//   journal.RollBack(); // or: the file as it was before the command
//
// Bytes of a sparse file that were holes when the command began (room the
// host disk did not give) are named in the journal before the command's
// first write into them; the roll back makes them holes again where the
// host can (SystemPunchHole), so a command that fails gives back the room
// it took there.
//
// A command begins with the first write after the journal was made or last
// committed or rolled back. A journal neither committed nor rolled back
// stays on the disk for the next open (Recover) to roll back.
#pragma once
#include <windows.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "image/device/SectorDevice.h"
#include "image/stack/journal/ByteRanges.h"
#include "image/stack/journal/JournalFile.h"

class CFileJournal : public VroHandleHook {
 public:
  CFileJournal(HANDLE file, const std::wstring& path);
  ~CFileJournal() override;
  CFileJournal(const CFileJournal&) = delete;
  CFileJournal& operator=(const CFileJournal&) = delete;

  // False when the handle could not be hooked: nothing may be written then.
  bool Hooked() const { return m_hooked; }
  // Writes waiting for their batch, and old bytes not yet in the journal,
  // go out, the file is flushed and the journal removed. False when any of
  // it failed (the journal then stays, and the command is not whole).
  bool Commit();
  // What Commit does before it ends the command, which goes on: every
  // write reaches the file, flushed, and the file's last-write time stands
  // at least kWriteTimeStep past the one it had before the command (what
  // the file will show once committed). False when any of it failed.
  bool Settle();
  // Puts the file back as it was before the command (what waits is
  // dropped), flushes it and removes the journal. False when that failed:
  // the journal stays for the next open.
  bool RollBack();
  // A command is under way (something was written since the last commit).
  bool Started() const { return m_started; }
  // A write, a flush or the journal itself failed: nothing more is taken.
  bool Failed() const { return m_failed; }
  const std::wstring& Path() const { return m_path; }

  // The file's bytes [start, end) need no old bytes for the command under
  // way, or for the one the next write begins (what a volume writes into
  // clusters free when the command began: the roll back of its records
  // frees them again). The bytes the fingerprint samples are kept all the
  // same, so that a rolled-back file gives it again.
  void Unkept(uint64_t start, uint64_t end);

  int64_t HookWrite(uint64_t at, const void* buf, uint32_t bytes) override;
  int64_t HookRead(uint64_t at, void* buf, uint32_t bytes) override;
  int HookFlush() override;

  // What the open of a file does first: rolls back a command a journal
  // beside it names. RECOVER_NONE: no journal (or one that belongs to no
  // file here, set aside); RECOVER_DONE: rolled back; RECOVER_REFUSED: the
  // journal is damaged or could not be applied, and the file must not be
  // opened. Each outcome but the first prints a line naming the journal.
  enum { RECOVER_NONE = 0, RECOVER_DONE = 1, RECOVER_REFUSED = -1 };
  static int Recover(const std::wstring& path);

  // A file replaced whole by another (a created or converted image put in
  // its place) takes no journal of the file it replaced: that one goes.
  static void ForgetReplaced(const std::wstring& path);

 private:
  bool Start();
  // No roll back needs the old bytes of [start, end), and no entry reaches
  // them: a write there may go straight to the file.
  bool Unnamed(uint64_t start, uint64_t end) const;
  // Before the command's first write into [start, end) of the old file:
  // the holes the file had there go into the batch.
  void NoteHoles(uint64_t start, uint64_t end);
  bool WritePiece(uint64_t at, const uint8_t* p, uint32_t bytes);
  bool NoteWritten();
  bool Seal();
  bool SettleLocked();
  bool WriteHead();
  void Reset();
  int64_t Fail(uint32_t bytes);

  CRITICAL_SECTION m_lock;
  HANDLE m_file;
  std::wstring m_path;
  bool m_hooked = false;
  bool m_started = false;
  bool m_failed = false;
  bool m_rollBackFailed = false;
  HANDLE m_journal = INVALID_HANDLE_VALUE;
  vrojournal::Head m_head;
  CRangeSet m_kept;      // old bytes in the journal or in the batch
  CRangeSet m_unkept;    // old bytes the command needs not keep
  std::vector<std::pair<uint64_t, uint32_t>> m_samples;  // the fingerprint's, kept always
  std::vector<uint8_t> m_batch;  // entries not yet in the journal
  uint64_t m_batchEntries = 0;
  CHeldWrites m_held;    // writes that wait for their old bytes
  CRangeSet m_asked;     // bytes whose holes the host was asked for
  CRangeSet m_hostHoles; // the holes among them when the command began
  CRangeSet m_holes;     // holes named in the journal or the batch
  bool m_holesUnknown = false;  // the host cannot tell its holes
};
