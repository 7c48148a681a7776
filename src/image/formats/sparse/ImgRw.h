// Sector back end of the own sparse format: walks the three-level map to the
// 32-byte leaf of each 128-sector chunk and its sector bitmap.
#pragma once
#include "image/formats/sparse/ObjImg.h"

#include <vector>

class _VROH_IMG_RW : public _VROH_BASE_RW {
 public:
  // zeroFill 1: unallocated sectors read as zeros; 0: as not held.
  _VROH_IMG_RW(_VROH_OBJ_IMG* container, int zeroFill);
  ~_VROH_IMG_RW() override;

  int64_t Flush(HANDLE hFile) override;
  int64_t Write(HANDLE hFile, uint64_t sector, const void* buf, uint32_t bytes) override;
  int64_t Read(HANDLE hFile, uint64_t sector, void* buf, uint32_t bytes) override;
  // One run inside/over consecutive chunks (the pieces Write and Read cut).
  virtual int64_t WriteRun(uint64_t sector, const uint8_t* buf, uint32_t sectors);
  virtual int64_t ReadRun(uint64_t sector, uint8_t* buf, uint32_t sectors);
  // At open, before any other access. A map whose mark this program's
  // last header write left (ImageHeader.h) is walked whole: an entry at no
  // block boundary or (a block, or a held sector) past the end of the file,
  // a leaf sector whose check fails, or fewer blocks than the header counts
  // is damage: -1. What another writer left (a leaf sector it changed, or
  // what a writer that died before its header write leaves, below) makes it
  // a file without the mark. Such files get structural checks: an entry
  // into the header or the root, at no block boundary, or into another
  // block or chunk, a block or held sector past the end of the file, or
  // fewer blocks than the header counts is damage: -1, with nothing
  // written. Past the end, a dead writer may leave blocks at or past the
  // header's next free sector, and held sectors of chunks there or of
  // leaves newer than the header: a writable open clears them, stamps every
  // leaf block and writes the map header with the mark. A writable open
  // also moves the next free sector past the end of the file and
  // everything the map points at. 0, or -1 (damaged, or could not be
  // stamped).
  int CheckMap(uint64_t fileSectors, bool writable);

  _VROH_OBJ_IMG* m_Container;
  int m_LayerIndex = 0;
  int m_ZeroFill;

 private:
  struct Block {
    uint32_t sector;
    int dirty;
    uint8_t data[4096];
  };
  struct Pair {
    uint32_t key;
    uint32_t sector;
  };
  // Leaf of chunk k; null when absent and alloc is false (or allocation
  // failed). Points into the leaf cache, valid until the next lookup.
  uint8_t* FindLeaf(uint32_t chunk, bool alloc);
  uint32_t TableEntry(uint32_t tableSector, uint32_t index, bool alloc, bool* fresh,
                      bool childLeaf = false);
  uint8_t* GetBlock(Block* cache, int* victim, uint32_t sector, bool fresh);
  bool WriteBack(Block& b, bool leaf);
  // Writes every dirty block, leaves first. False when one did not reach
  // the file.
  bool CommitMap();
  static void StampLeafBlock(uint8_t* block);
  static bool LeafSectorIntact(const uint8_t* sector);
  static bool LeafBlockIntact(const uint8_t* block);
  // How a walk of the map takes it: a marked file's (check values
  // trusted), another file's (structure only), or mending and stamping one
  // that passed the structural walk.
  enum WalkMode { WALK_MARKED, WALK_STRUCTURE, WALK_STAMP };
  struct MapWalk {
    WalkMode mode = WALK_MARKED;
    uint64_t fileSectors = 0;
    uint32_t nextFree = 0;  // as the file's header has them
    uint32_t generation = 0;
    uint64_t budget = 0;
    uint64_t blocks = 0;       // table and leaf blocks below the root
    uint64_t end = 0;          // past the last block or chunk pointed at
    bool otherWriter = false;  // a marked walk met what another writer left
    // Structural walk: the first sector of every block and chunk, low bit
    // set for a chunk.
    std::vector<uint32_t> spans;
  };
  bool WalkBlock(uint32_t sector, int level, MapWalk* w);
  bool WrittenByOtherWriter(const uint8_t* block, uint32_t sector, const MapWalk& w) const;
  bool WalkMap(MapWalk* w);
  // Marks count sectors from sector `from` of chunk k on as holding data
  // (the chunks are allocated already). False when a leaf is not found.
  bool MarkWritten(uint32_t k, uint32_t from, uint32_t count);
  uint32_t CachedLevel(Pair* cache, uint32_t key);
  void RememberLevel(Pair* cache, uint32_t key, uint32_t sector);

  Pair m_Level2[4];  // root index -> second-level table
  Pair m_Level3[4];  // k >> 17 -> third-level table
  Block m_Tables[2];
  Block m_Leaves[2];
  int m_TableVictim = 0, m_LeafVictim = 0;
  // The leaf block whose bits of acknowledged writes have not reached the
  // file yet (0: none). They go before any data that would show at once
  // (over sectors held already), before bits of another block, and at
  // flush: what the file shows is always a prefix of the writes.
  uint32_t m_BitsBlock = 0;
  // A map block could not be written back where no caller could be told
  // (evicted for a read): no later write or flush is taken, so the
  // failure reaches the caller and the file keeps what it held.
  bool m_MapFailed = false;
  // Leaf sectors bear this program's check values (the checked mark, and
  // no other writer since): a leaf block read whose check fails is damage.
  bool m_Trusted;
  CRITICAL_SECTION m_Lock;
};
