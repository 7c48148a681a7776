// One registry hive file ("regf") held whole in memory: base block, hive
// bins, cells and the cell allocator. Offsets called "buffer offsets" are file
// offsets; offsets stored in the file are relative to the first bin (0x1000).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "registry/hive/HiveValueIndex.h"

enum : uint32_t {
  HIVE_STATE_OPEN = 2,
  HIVE_STATE_DIRTY = 4,
};

enum : uint32_t {
  HIVE_BASE_SIZE = 0x1000,
  HIVE_NONE = 0xFFFFFFFF,    // relative offset "none"
  HIVE_BIG_SEGMENT = 16344,  // data bytes per big-data segment
};

// Two-letter record ids as read little-endian from the record start.
inline constexpr uint16_t HiveId(char a, char b) {
  return (uint16_t)((uint8_t)a | ((uint8_t)b << 8));
}

struct HiveUndo;

struct HiveImage {
  std::wstring path;
  void* volume = nullptr;
  int backingKind = 0;  // 1 NTFS volume of the mounted image, 2 FAT volume
  uint32_t state = 0;
  uint32_t pages = 0;  // hive bins counted at load
  uint32_t usedCells = 0, freeCells = 0;
  uint64_t usedBytes = 0, freeBytes = 0;
  uint32_t size = 0;        // bytes in buffer
  uint32_t rootOffset = 0;  // buffer offset of the root key cell
  uint32_t lastBin = 0;
  uint32_t endOfBins = 0;
  uint16_t rootIndexType = 0;  // id for new subkey indexes
  uint8_t* buffer = nullptr;   // malloc'd; moves when the hive grows
  uint32_t minorVersion = 0;
  bool unfinishedWrite = false;  // changes pending in logs that cannot be applied
  uint32_t logSequence = 0;      // highest sequence number in the hive's logs
  uint32_t leafMax = 1012;       // entries of a subkey list before it is split under an "ri"

  // Allocator index, rebuilt at load and kept by alloc_cell/free_cell.
  std::vector<uint32_t> bins;  // buffer offsets of the bins, ascending
  std::vector<uint32_t> binEnds;
  std::vector<uint32_t> maxFreeTree;  // max tree over bins: largest free cell
  uint32_t treeLeaves = 0;
  std::vector<uint64_t> cellStarts;  // one bit per 8 bytes from 0x1000
  // Subkey index cells known to be in sorted order (binary search allowed).
  std::unordered_set<uint32_t> sortedLists;
  // Value names of the large key last looked up in (not copied with the image).
  HiveValueIndex valueIndex;
  // The record of an all-or-nothing change under way (HiveUndo.cpp), or
  // null; never copied with the image.
  HiveUndo* undo = nullptr;
  // A change that could not be recorded was undone only in part: the image
  // is no hive to write back any more.
  bool unsaveable = false;
  // Memory ran out for the image: its buffer could not grow, or an old page
  // could not be kept for an undo (what failed then is told as that).
  bool outOfMemory = false;
};

uint32_t read_le32(const uint8_t* p);
uint16_t read_le16(const uint8_t* p);
void write_le32(uint8_t* p, uint32_t v);
void write_le16(uint8_t* p, uint16_t v);

// Absolute size of the cell at a buffer offset, counted into the statistics.
uint32_t cell_size_at(HiveImage* img, uint32_t off);
// Buffer offset of the bin holding off, or 0.
uint32_t hbin_containing(HiveImage* img, uint32_t off);
// First free cell of at least size bytes (cell size) in one bin, or 0.
uint32_t first_fit_in_hbin(HiveImage* img, uint32_t bin, uint32_t size);
// First free cell of at least size bytes over all bins in file order, or 0.
uint32_t first_fit_cell(HiveImage* img, uint32_t size);
// Appends a bin big enough for a cell of size bytes; returns its free cell.
uint32_t append_hbin(HiveImage* img, uint32_t size);
// New zeroed cell with room for size bytes of record; buffer offset or 0.
// The buffer may move.
uint32_t alloc_cell(HiveImage* img, uint32_t hint, uint32_t size);
// Frees an allocated cell, merging free neighbours; bytes of the resulting
// free cell, 0 when the cell was not allocated.
uint32_t free_cell(HiveImage* img, uint32_t off);
void write_cell(HiveImage* img, uint32_t off, const void* data, uint32_t length);
uint32_t calc_regf_checksum(const HiveImage* img);
void close_hive(HiveImage* img);

// Validates and indexes a whole hive file. REG_STATUS_OK and a new image, or
// REG_STATUS_FAILURE for anything that is not a sound hive.
uint32_t load_hive_buffer(const void* data, size_t size, HiveImage** out);
// A new hive (format 1.5) whose only key is the root of the given ASCII
// name, with a security record granting everyone full access.
// REG_STATUS_OK and the image, or REG_STATUS_FAILURE.
uint32_t new_hive_image(const char* rootName, HiveImage** out);
// Stores equal sequence numbers above every one the hive and its logs hold,
// and the checksum; gives the file's bytes (base block and bins).
void save_hive_buffer(HiveImage* img, std::vector<uint8_t>& out);
// The same in place: the buffer's first bytes returned are the file.
uint32_t seal_hive_buffer(HiveImage* img);

// All-or-nothing changes without a copy of the hive: while a record is open
// every write into the buffer first keeps the old bytes of the 4 KiB pages
// it touches (hive_touch), and what lies past the bins' old end is new.
// hive_undo_begin: 1 a record opened, 0 one is open already (its opener
// ends it), -1 no memory. Rollback puts back the pages, the bins' end and
// the allocator index; commit drops the record. Both end the innermost
// record only: hive_undo_nest opens one inside an open one (1, or -1 no
// memory), whose rollback takes back what happened since it opened and
// whose commit leaves that to the record around it. hive_undo_lost: a page
// of an open record could not be kept (no memory): it undoes in part only.
int hive_undo_begin(HiveImage* img);
int hive_undo_nest(HiveImage* img);
bool hive_undo_lost(const HiveImage* img);
// Ends an open record (img->undo when it was opened) and every record
// opened inside it since: taken back, or kept. False when it is not open.
bool hive_undo_end(HiveImage* img, const HiveUndo* record, bool rollback);
void hive_undo_commit(HiveImage* img);
void hive_undo_rollback(HiveImage* img);
void hive_touch_pages(HiveImage* img, uint32_t off, uint32_t length);
// Called before the bytes [off, off + length) of the buffer are written.
inline void hive_touch(HiveImage* img, uint32_t off, uint32_t length) {
  if (img->undo) hive_touch_pages(img, off, length);
}
// The buffer at off, made ready for writing length bytes.
inline uint8_t* hive_write_at(HiveImage* img, uint32_t off, uint32_t length) {
  hive_touch(img, off, length);
  return img->buffer + off;
}

// A full copy of an image (buffer and allocator index), and putting one back
// in place of the image's contents (the copy is consumed).
HiveImage* hive_snapshot(const HiveImage* img);
void hive_restore(HiveImage* img, HiveImage* snapshot);

// Buffer offset of the allocated cell a relative offset names, or 0 when it
// is "none", out of range or not the start of an allocated cell.
uint32_t hive_cell(const HiveImage* img, uint32_t rel);
// Record bytes of an allocated cell (cell size - 4).
uint32_t hive_record_size(const HiveImage* img, uint32_t cell);
inline uint8_t* hive_record(HiveImage* img, uint32_t cell) {
  return img->buffer + cell + 4;
}
inline uint32_t hive_rel(uint32_t cell) {
  return cell - HIVE_BASE_SIZE;
}
inline void hive_mark_dirty(HiveImage* img) {
  img->state |= HIVE_STATE_DIRTY;
}
