// The rollback journal of one image file, as it lies on the disk beside the
// file ("NAME.journal"), and the roll back of one that a command left.
//
// What it guarantees: a command that writes to an existing file keeps, in
// the journal, the bytes it is about to overwrite (each byte once, as the
// file held it when the command began) and the file's length then. The
// journal's entries reach the disk, flushed, before the overwrites they
// cover; bytes the command adds past the old end need no entry, since the
// roll back cuts the file to its old length. Nor do bytes that a mounted
// NTFS volume writes into clusters its $Bitmap marked free when the command
// began (the volume tells which: CFileJournal::Unkept): the roll back of
// the volume's records frees those clusters again, and no reader of the
// volume sees what a free cluster holds. The journal is removed only after
// the file holds the whole command and was flushed: so a file with a
// journal beside it is rolled back to what it was before the command, byte
// for byte but for the free clusters of its volume (what a reader of the
// volume sees: every cluster in use and all the volume's records, and all
// that lies outside the volume, byte for byte), and a file without one
// holds either the state before the command or all of it.
//
// Layout (little-endian):
//   bytes 0 and 512: two head slots (the valid one with the higher sequence
//     counts; each write of a head goes to the slot not in use, so a head
//     torn by a dying process leaves the other):
//       0   "VROJRNL2"            8    u32 version (3; 1 and 2 are still read)
//       12  u32 flags: 1 the command is whole (the file holds all of it,
//           flushed); such a journal is never applied, only removed
//       16  u64 sequence          24   u64 salt            32  u64 old length
//       40  u64 end of the sealed entries                  48  u64 sealed entries
//       56  u64 fingerprint of the file before the command (see Fingerprint)
//       64  u32 samples           68   u32 name length     72  name (UTF-16,
//       up to 200 characters: the file's name without its folder)
//       472 u64 the file's last-write time (FILETIME) before the command, 0
//           when not known (earlier versions): a roll back puts it back too
//       504 u64 check value of bytes 0..503
//   from byte 1024: entries, each u64 file offset, u32 length, u32 kind, u64
//     check value (salt, the 16 bytes before it and the bytes that follow),
//     then what the kind carries. Kind 0: the old bytes; kind 1: none, the
//     old bytes were all zero (free space of a fresh or sparse image costs
//     the journal nothing but the entry's head); kind 2 (version 2): the
//     bytes the command wrote into whole sectors of 512 bytes of the file
//     (offset and length are multiples of 512), a u32 check value
//     (SectorCheck) of each sector as the write leaves it, clipped to the
//     old length; kind 3 (version 3): none, the bytes (whole sectors of
//     512) were a hole of the host file when the command began, zeros that
//     took no room on the host disk: the roll back puts the zeros back and
//     gives the room back where the host can (SystemPunchHole). Such an
//     entry is made before the command's first write into its bytes, and
//     whatever the command writes there is named by kind 2 entries, so that
//     it binds the journal to the file as the others do. Entries up to the sealed end were flushed before any byte
//     they cover was overwritten, and each must be whole; those after it
//     belong to a batch whose overwrites never began (a process that died
//     while writing it, or before its head was written): they are put back
//     too, as far as they are whole, which changes nothing the command did
//     not change.
//
// A journal is bound to its file: by the file's name, by the fingerprint,
// which the file must give again once the journal's entries are put back,
// and (version 2) by the bytes it covers: every sector an entry of old
// bytes reaches must hold, where the entries reach, the old bytes, or else
// bytes the command wrote there at some point, as one of its kind 2
// entries names them. A sector rewritten within the command is named once
// for each batch that wrote it (and once for each state between two writes
// of one batch that share it), so a sector left by any write of the
// command, whole or torn at a sector's bound, passes, as does a backup of
// the file from before the command put back. A journal that does not
// belong to the file beside it (the file replaced, another file of the
// same name, a copy put over it) is set aside, never applied; one whose
// head or sealed entries fail their checks is applied to nothing and keeps
// the file from being opened. A journal of version 1 is bound by name and
// fingerprint alone.
#pragma once
#include <windows.h>
#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

namespace vrojournal {

const uint32_t kSlotBytes = 512;
const uint64_t kEntriesStart = 2 * kSlotBytes;
const uint32_t kEntryHead = 24;
const uint32_t kMaxName = 200;
// Old bytes are looked at in blocks of this much for runs of zeros.
const uint32_t kZeroBlock = 4096;
// The unit the bytes a command wrote are checked in, and the version of
// the journals written now.
const uint32_t kCheckSector = 512;
const uint32_t kVersion = 3;
// A command that changed a file leaves its last-write time at least this
// far (2 s, in FILETIME units: the coarsest time a host file system keeps)
// past the one the file had before: whoever took the time before the
// command tells the file as the command left it from the file before it.
const uint64_t kWriteTimeStep = 20000000ull;

struct Head {
  uint32_t version = kVersion;
  uint64_t sequence = 0;
  uint64_t salt = 0;
  uint64_t oldLength = 0;
  uint64_t sealedEnd = kEntriesStart;
  uint64_t sealedEntries = 0;
  uint64_t fingerprint = 0;
  uint32_t samples = 0;
  uint32_t flags = 0;
  uint64_t oldWriteTime = 0;
  std::wstring name;
};
// Head flags.
const uint32_t kHeadWhole = 1;

uint64_t Hash(uint64_t seed, const void* data, size_t bytes);
void EncodeHead(const Head& head, uint8_t (&slot)[kSlotBytes]);
bool DecodeHead(const uint8_t (&slot)[kSlotBytes], Head* head);
// Appends one entry (offset, old bytes) to out; `old` null: the old bytes
// were all zero (an entry of kind 1).
void AppendEntry(uint64_t salt, uint64_t offset, const uint8_t* old, uint32_t bytes,
                 std::vector<uint8_t>* out);
// Appends an entry of kind 3: the sectors [offset, offset + bytes) were a
// hole of the host file.
void AppendHole(uint64_t salt, uint64_t offset, uint32_t bytes, std::vector<uint8_t>* out);
// Appends an entry of kind 2: the check values of `count` sectors from
// sector `first` on, as the command's write leaves them.
void AppendWritten(uint64_t salt, uint64_t first, const uint32_t* values, uint32_t count,
                   std::vector<uint8_t>* out);
// The check value of one sector's bytes (n: at most kCheckSector).
uint32_t SectorCheck(const uint8_t* bytes, uint32_t n);

// Where the run of kZeroBlock blocks that begins at `from` in p[0, n) ends:
// blocks all zero (*zero true) or all holding other bytes.
uint32_t RunEnd(const uint8_t* p, uint32_t n, uint32_t from, bool* zero);

// The ranges of a file of `length` bytes whose bytes the fingerprint
// covers: its first 4 KiB and sixteen sectors spread over the rest.
std::vector<std::pair<uint64_t, uint32_t>> SampleRanges(uint64_t length);
// The fingerprint of the bytes in those ranges, as read from file.
bool Fingerprint(HANDLE file, uint64_t length, uint64_t* value);

// The journal path of a file, and the file's name as a journal records it.
std::wstring JournalPathOf(const std::wstring& path);
std::wstring FileNameOf(const std::wstring& path);

// A journal read back: its head and its whole entries (offset, length,
// where the old bytes lie in the journal, or zero: they were all zero;
// hole: they were a hole of the host file, zeros too).
struct Entry {
  uint64_t offset;
  uint32_t bytes;
  uint64_t at;
  bool zero;
  bool hole;
};
// A sector's check value as the command left it: (sector number, value).
typedef std::pair<uint64_t, uint32_t> Written;
enum ReadResult { READ_OK, READ_DAMAGED, READ_FAILED };
// written (may be null): the values of the kind 2 entries, in no order.
ReadResult ReadJournal(HANDLE journal, Head* head, std::vector<Entry>* entries,
                       std::vector<Written>* written);

// Whether every sector the entries reach holds there the old bytes or bytes
// the command wrote (*holds; always true for a journal of version 1).
// False when the file or the journal could not be read.
bool HoldsOldOrWritten(HANDLE file, HANDLE journal, const Head& head,
                       const std::vector<Entry>& entries, std::vector<Written> written,
                       bool* holds);

// Gives the room of the holes the entries name back to the host (the
// bytes read as zeros then); the first punch the host refuses ends it, and
// the bytes are left to PutBack.
void GiveBackHoles(HANDLE file, const std::vector<Entry>& entries);
// Puts the entries' old bytes back into file, cuts it to the old length
// and flushes it: true when all of it was done.
bool PutBack(HANDLE file, HANDLE journal, const Head& head, const std::vector<Entry>& entries);
// The fingerprint the file gives once the entries are put back (without
// writing anything).
bool FingerprintRolledBack(HANDLE file, HANDLE journal, const Head& head,
                           const std::vector<Entry>& entries, uint64_t* value);

}  // namespace vrojournal
