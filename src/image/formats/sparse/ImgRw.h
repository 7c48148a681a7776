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
  // For a writable open, before any other access. A writer that died
  // leaves a file longer than its header says: the next free sector moves
  // past its end. A file of a writer that did not keep the map behind its
  // data and header (one without the ordered mark) is checked once: map
  // entries that point past both the end of the file and the next free
  // sector, or at no block boundary, are cleared, as are the bits of data
  // sectors past the end of the file; the next free sector moves past every
  // block still pointed at; the mended blocks, then the map header with the
  // mark, are written. 0 (also when nothing was to do), or -1 when the file
  // could not be mended.
  int RecoverMap(uint64_t fileSectors);

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
  uint32_t TableEntry(uint32_t tableSector, uint32_t index, bool alloc, bool* fresh);
  uint8_t* GetBlock(Block* cache, int* victim, uint32_t sector, bool fresh);
  bool WriteBack(Block& b);
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
  CRITICAL_SECTION m_Lock;
};
