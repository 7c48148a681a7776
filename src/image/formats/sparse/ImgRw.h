// Sector back end of the own sparse format: walks the three-level map to the
// 32-byte leaf of each 128-sector chunk and its sector bitmap.
#pragma once
#include "image/formats/sparse/ObjImg.h"

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
  // At open, before any other access. A map that bears the checked mark
  // is walked whole: an entry at no block boundary or (a block, or a held
  // sector) past the end of the file, a leaf sector whose check fails, or
  // fewer blocks than the header counts is damage: -1. Files without the
  // mark (earlier versions) are taken as they are when read-only; a
  // writable open mends them as before (a file without the ordered mark:
  // entries past both the end of the file and the next free sector, or at
  // no block boundary, are cleared, as are the bits of data sectors past
  // the end of the file), stamps every leaf block and writes the map header
  // with both marks. A writable open also moves the next free sector past
  // the end of the file and everything the map points at (a writer that
  // died leaves both past its header). 0, or -1 (damaged, or could not be
  // mended).
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
  bool Checked();
  static void StampLeafBlock(uint8_t* block);
  static bool LeafBlockIntact(const uint8_t* block);
  struct MapWalk {
    uint64_t fileSectors = 0;
    uint64_t budget = 0;
    uint64_t blocks = 0;  // table and leaf blocks below the root
    uint64_t end = 0;     // past the last block or chunk pointed at
    bool stamp = false;   // stamp leaf blocks (else check them)
  };
  bool WalkBlock(uint32_t sector, int level, MapWalk* w);
  // Marks count sectors from sector `from` of chunk k on as holding data
  // (the chunks are allocated already). False when a leaf is not found.
  bool MarkWritten(uint32_t k, uint32_t from, uint32_t count);
  bool RecoverBlock(uint32_t sector, int level, uint64_t limit, uint64_t fileSectors,
                    uint64_t* end, uint64_t* budget);
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
  CRITICAL_SECTION m_Lock;
};
