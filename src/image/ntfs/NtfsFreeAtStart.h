// The clusters of a volume that were free when the command under way on its
// disk began: the device layer keeps the volume's $Bitmap as it stood then,
// a piece at a time (each piece read before the command's first write over
// it, or when first asked), and tells which bytes of a write lie in such
// clusters. Their old bytes need no keeping: the roll back of the volume's
// records frees those clusters again, and no reader of the volume sees
// what a free cluster holds.
//
// It answers only for a command whose every write it saw, from the first
// on, while it knew where $Bitmap lies; any other command (one under way
// before the volume was mounted, one that wrote $Bitmap's clusters before
// they were known, one after Stop) gets no answer: all its old bytes are
// kept. Library-free, so that it can be tested alone.
#pragma once
#include <stdint.h>

#include <map>
#include <utility>
#include <vector>

class NtfsFreeAtStart {
 public:
  // Reads bytes of the partition (offsets from its first byte): true when
  // all of them were read.
  typedef bool (*ReadFn)(void* ctx, uint64_t offset, void* buf, uint32_t count);
  typedef std::vector<std::pair<uint64_t, uint64_t>> Ranges;  // [start, end)

  // piece: bitmap bytes read at a time.
  explicit NtfsFreeAtStart(uint32_t piece = 4096) : m_piece(piece) {}

  // Where $Bitmap's bytes lie, in its order: partition offset and length of
  // each run; the volume's cluster size and count. Writes seen before this
  // are checked against those runs.
  void Locate(const Ranges& runs, uint64_t clusterSize, uint64_t clusters);
  // No more answers, for the rest of the mount (a command that works on
  // the volume whatever its $Bitmap says: a repair, a resize).
  void Stop() { m_stopped = true; }

  // Before a write of [offset, offset + count) of the partition. newCommand:
  // the disk had no command under way (this write begins one); ended: how
  // many commands the disk ended so far (a command that began with a
  // write past the device is seen by that count). Fills free
  // with the parts of the write that lie in clusters free when the command
  // began (empty when there is no answer). A failed read of $Bitmap ends
  // the answers for this command.
  void BeforeWrite(bool newCommand, uint64_t ended, uint64_t offset, uint64_t count, ReadFn read,
                   void* ctx, Ranges* free);

 private:
  // The piece's bytes as the command found them, read now when needed;
  // null when the read failed.
  const std::vector<uint8_t>* Piece(uint64_t index, ReadFn read, void* ctx);
  bool TouchesBitmap(uint64_t offset, uint64_t end) const;

  const uint64_t m_piece;
  Ranges m_runs;
  uint64_t m_bitmapBytes = 0;
  uint64_t m_clusterSize = 0;
  uint64_t m_clusters = 0;
  bool m_located = false;
  bool m_stopped = false;
  bool m_watching = false;  // every write of this command was seen
  uint64_t m_ended = 0;     // the disk's ended commands when it began
  Ranges m_early;           // writes of this command before Locate
  std::map<uint64_t, std::vector<uint8_t>> m_pieces;
};
