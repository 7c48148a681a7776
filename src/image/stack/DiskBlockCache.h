// The 4 KiB blocks of a disk object that its users wrote and have not yet
// handed to the layer files, and those they read in small pieces lately.
//
// A volume library writes the same few blocks over and over while it fills
// a folder: the folder's index block for every name, each new file record
// two or three times, a $Bitmap block for every allocation. Each write that
// reaches a layer costs a system call and an entry of the layer's journal.
// Here the small writes wait in memory, where later writes of the same
// block replace them, until the disk is flushed, the command ends or the
// blocks held reach the limit; then they go out in the order of the disk,
// neighbours joined into one write.
//
// Every read and write of the disk object passes here (what the volumes,
// the disk tools and the partition code do), so each sees the others'
// writes: a read that is not served from the blocks gets the waiting
// writes laid over what the layers give. Whoever works on the layer files
// themselves flushes the disk object first. A process that dies with
// blocks waiting leaves a command its journal rolls back, as one that died
// before writing them would; a block that cannot be written out fails the
// flush, and with it the command.
#pragma once
#include <windows.h>
#include <stdint.h>

#include <memory>
#include <unordered_map>
#include <vector>

class CDiskBlockCache {
 public:
  // The disk object's sector I/O below the blocks: bytes done, or minus
  // the bytes asked when nothing was done.
  class Backing {
   public:
    virtual ~Backing() {}
    virtual int64_t ReadThrough(uint64_t sector, void* buf, uint32_t bytes) = 0;
    virtual int64_t WriteThrough(uint64_t sector, const void* buf, uint32_t bytes) = 0;
  };

  static const uint32_t kBlockSectors = 8;
  static const uint32_t kBlockBytes = kBlockSectors * 512;
  // Requests up to this size use the blocks; larger ones pass by them.
  static const uint32_t kMaxHeldRequest = 64 * 1024;

  // Blocks are counted from firstSector (disk byte 0 of the object).
  CDiskBlockCache(Backing* backing, uint64_t firstSector, uint32_t maxBlocks = 8192);
  ~CDiskBlockCache();
  CDiskBlockCache(const CDiskBlockCache&) = delete;
  CDiskBlockCache& operator=(const CDiskBlockCache&) = delete;

  // The end of the sectors blocks may cover (the disk's end): a block
  // that reaches past it is neither taken nor, once held, kept.
  void SetEnd(uint64_t endSector);

  // Sector I/O as the backing's, whole sectors.
  int64_t Read(uint64_t sector, void* buf, uint32_t bytes);
  int64_t Write(uint64_t sector, const void* buf, uint32_t bytes);

  // The waiting writes go to the backing: 0, or -1 when one failed (the
  // blocks that did not reach it stay waiting).
  int Flush();
  // Forgets every block, waiting writes too (the files were rolled back
  // or closed under them).
  void Drop();
  // Writes wait here.
  bool Dirty() const;

 private:
  struct Slot {
    uint64_t block;
    bool dirty;
  };
  // Blocks are kept in pieces of this many, each allocated once when the
  // first of its slots is taken and kept until the object goes: the blocks
  // never take more than their limit, not even while they grow.
  static constexpr uint32_t kPieceBlocks = 256;
  uint8_t* Data(uint32_t slot) {
    return m_pieces[slot / kPieceBlocks].get() + (size_t)(slot % kPieceBlocks) * kBlockBytes;
  }
  bool Holdable(uint64_t sector, uint32_t bytes) const;
  // Where block meets the sectors [sector, end): [from, to), the block
  // beginning at lo; false when they do not meet.
  bool Meet(uint64_t block, uint64_t sector, uint64_t end, uint64_t* from, uint64_t* to,
            uint64_t* lo) const;
  // Blocks of [first, last] not held.
  uint64_t Missing(uint64_t first, uint64_t last) const;
  // The slot of a block, read in when asked and not held; -1 on failure.
  int64_t Take(uint64_t block, bool readIn);
  int FlushLocked();
  void LayDirty(uint64_t sector, uint8_t* buf, uint32_t bytes);
  void Update(uint64_t sector, const uint8_t* buf, uint32_t bytes);

  Backing* m_backing;
  const uint32_t m_maxBlocks;
  mutable CRITICAL_SECTION m_lock;
  const uint64_t m_first;
  uint64_t m_end = 0;
  std::unordered_map<uint64_t, uint32_t> m_index;  // block -> slot
  std::vector<Slot> m_slots;
  std::vector<std::unique_ptr<uint8_t[]>> m_pieces;
  uint32_t m_dirty = 0;
};
