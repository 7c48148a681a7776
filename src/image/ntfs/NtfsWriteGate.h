// What a command on a writable NTFS volume may write, when the volume's
// $Bitmap marks free clusters its records use. Before the command's first
// write the device layer walks every record of $MFT once (through runs of
// $MFT taken at the mount, never through the library, which may be in the
// middle of the write) and notes the clusters the records name that
// $Bitmap marks free. Then:
//   - such clusters of a system file ($MFT and its extension records,
//     $MFTMirr, $LogFile, $AttrDef, $Bitmap, $Boot, $BadClus, $Secure,
//     $UpCase, the files of $Extend): nothing of the command is written;
//   - such clusters of a folder's index: no write of the command reaches
//     them, nor any write after;
//   - a write into $Bitmap that marks such a cluster in use (the library
//     handing it out again, over what its record keeps there): that write
//     and every later one of the command fail;
// each refusal with one line naming the file, saying that /repair mends
// it. And the rollback journal keeps the old bytes of every such cluster
// the command writes: what its free-cluster rule leaves out are only the
// clusters no record uses.
// A walk that fails (a record in use that cannot be read, or $MFT or
// $Bitmap itself) leaves the clusters that record uses unknown: any cluster
// $Bitmap marks free may be one of them. The command then takes none: a
// write into $Bitmap that marks a cluster in use (the library handing one
// out) fails, and so does every later one of the command, with one line
// naming the record and saying that the volume needs a check. What needs
// no new cluster (a write within a file's clusters, a small file its record
// holds, a name that fits its folder's index) still goes through, and every
// old byte is kept.
#pragma once
#include <stdint.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "image/ntfs/NtfsLib.h"

class NtfsWriteGate {
 public:
  // Reads bytes of the partition (offsets from its first byte): true when
  // all of them were read.
  typedef bool (*ReadFn)(void* ctx, uint64_t offset, void* buf, uint32_t count);
  typedef std::vector<std::pair<uint64_t, uint64_t>> Ranges;  // [start, end) bytes

  // At the mount of a writable volume: where $MFT, its bitmap, $MFTMirr and
  // $Bitmap lie. False when their runs cannot be mapped (the gate then
  // stays shut: no answers).
  bool Locate(ntfs_volume* vol);
  // No more answers nor refusals for the rest of the mount (work on the
  // volume whatever its $Bitmap says: a repair, a resize).
  void Stop() { m_located = false; }
  bool Located() const { return m_located; }

  // Before a write of [offset, offset + count) of the partition by the
  // command `command` (a number that changes when a command ends). 0, or
  // the errno that refuses it.
  int BeforeWrite(uint64_t command, uint64_t offset, uint64_t count, const void* data, ReadFn read,
                  void* ctx);
  // Takes out of free (partition byte ranges of the write just passed) the
  // bytes of clusters a record uses; empties it when the command has no
  // answer.
  void KeepUsed(Ranges* free) const;

  // A cluster run [lcn, end) a record names that $Bitmap marked free when
  // the command began.
  struct Unmarked {
    int64_t lcn;
    int64_t end;
    int64_t record;  // the record that names it (an extension record too)
    bool index;      // a folder's index ($I30 allocation or bitmap)
  };

 private:
  struct Runs {
    std::vector<runlist_element> rl;
    int64_t bytes = 0;
    bool Take(ntfs_attr* na, int64_t size);
    bool Read(int64_t at, int64_t count, uint8_t* buf, uint32_t clusterBits, ReadFn read,
              void* ctx) const;
  };
  class Source;
  friend class Source;

  // The walk of the command: false when it failed.
  bool Walk(ReadFn read, void* ctx);
  // The base record of record n, its parent folder and its name; false
  // when it cannot be read.
  bool ReadName(int64_t n, int64_t* base, int64_t* parent, std::wstring* name, ReadFn read,
                void* ctx);
  // The path of record n's file from the root.
  std::wstring PathOf(int64_t n, ReadFn read, void* ctx);
  // Record n is a system file: below 16 (the root's index aside) or a
  // file of $Extend.
  bool IsSystem(const Unmarked& u, ReadFn read, void* ctx);
  // The first of m_unmarked that reaches past cluster c.
  size_t FirstReaching(int64_t c) const;
  // Says why the command is refused, once.
  void Refuse(const std::wstring& line);
  // After a failed walk: 0 when the write of $Bitmap's bytes marks no
  // cluster in use that the volume holds free, else the refusal.
  int TakesNoCluster(uint64_t offset, uint64_t count, const void* data, ReadFn read, void* ctx);

  ntfs_volume* m_vol = nullptr;
  bool m_located = false;
  Runs m_mft, m_mftBitmap, m_mirror, m_bitmap;
  int64_t m_mirrorRecords = 0;

  bool m_started = false;            // a command is known
  uint64_t m_command = 0;            // the one known
  bool m_answers = false;            // its walk went through
  int64_t m_unread = -1;             // else the record it could not read (-1: $MFT or $Bitmap)
  int m_refused = 0;                 // errno every write of it gets, once refused
  std::vector<Unmarked> m_unmarked;  // by cluster
  std::vector<int64_t> m_reach;      // the farthest end of m_unmarked up to each
  struct Name {
    int64_t base, parent;
    std::wstring name;
  };
  std::map<int64_t, Name> m_names;  // the records read for paths, this command
};
