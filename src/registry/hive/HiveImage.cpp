// Hive file model: base block, bins, cells and the cell allocator.
#include "registry/hive/HiveImage.h"

#include <cstdlib>
#include <cstring>

#include "registry/hive/RegTypes.h"

uint32_t read_le32(const uint8_t* p) {
  return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}
uint16_t read_le16(const uint8_t* p) {
  return (uint16_t)(p[0] | (p[1] << 8));
}
void write_le32(uint8_t* p, uint32_t v) {
  p[0] = (uint8_t)v;
  p[1] = (uint8_t)(v >> 8);
  p[2] = (uint8_t)(v >> 16);
  p[3] = (uint8_t)(v >> 24);
}
void write_le16(uint8_t* p, uint16_t v) {
  p[0] = (uint8_t)v;
  p[1] = (uint8_t)(v >> 8);
}

namespace {

const uint32_t kBinHeader = 0x20;

int32_t raw_size(const HiveImage* img, uint32_t off) {
  return (int32_t)read_le32(img->buffer + off);
}
uint32_t abs_size(int32_t s) {
  return s < 0 ? (uint32_t)(-(int64_t)s) : (uint32_t)s;
}

// Cell-start bitmap: one bit for every 8 bytes from 0x1000.
void set_start(HiveImage* img, uint32_t off, bool on) {
  uint32_t i = (off - HIVE_BASE_SIZE) / 8;
  if (on)
    img->cellStarts[i >> 6] |= 1ull << (i & 63);
  else
    img->cellStarts[i >> 6] &= ~(1ull << (i & 63));
}
bool is_start(const HiveImage* img, uint32_t off) {
  uint32_t i = (off - HIVE_BASE_SIZE) / 8;
  return (img->cellStarts[i >> 6] >> (i & 63)) & 1;
}
void size_bitmap(HiveImage* img) {
  img->cellStarts.resize(((img->size - HIVE_BASE_SIZE) / 8 + 63) / 64 + 1, 0);
}

// Highest cell start below off and at or above lo, or 0.
uint32_t prev_start(const HiveImage* img, uint32_t lo, uint32_t off) {
  if (off <= lo) return 0;
  int64_t i = (int64_t)(off - HIVE_BASE_SIZE) / 8 - 1;
  int64_t stop = (lo - HIVE_BASE_SIZE) / 8;
  while (i >= stop) {
    uint64_t w = img->cellStarts[(size_t)(i >> 6)] & (~0ull >> (63 - (i & 63)));
    if (w) {
      int64_t bit = (i & ~63ll) + 63 - __builtin_clzll(w);
      return bit >= stop ? HIVE_BASE_SIZE + (uint32_t)bit * 8 : 0;
    }
    i = (i & ~63ll) - 1;
  }
  return 0;
}

size_t bin_index(const HiveImage* img, uint32_t off) {
  // last bin starting at or before off
  size_t lo = 0, hi = img->bins.size();
  while (hi - lo > 1) {
    size_t mid = (lo + hi) / 2;
    if (img->bins[mid] <= off)
      lo = mid;
    else
      hi = mid;
  }
  return lo;
}

uint32_t scan_max_free(const HiveImage* img, size_t b) {
  uint32_t best = 0;
  for (uint32_t c = img->bins[b] + kBinHeader; c < img->binEnds[b];) {
    int32_t s = raw_size(img, c);
    uint32_t a = abs_size(s);
    if (a == 0) break;
    if (s > 0 && a > best) best = a;
    c += a;
  }
  return best;
}

void tree_set(HiveImage* img, size_t b, uint32_t v) {
  size_t n = img->treeLeaves + b;
  img->maxFreeTree[n] = v;
  for (n /= 2; n >= 1; n /= 2) {
    uint32_t l = img->maxFreeTree[2 * n], r = img->maxFreeTree[2 * n + 1];
    img->maxFreeTree[n] = l > r ? l : r;
  }
}

void rebuild_tree(HiveImage* img) {
  uint32_t leaves = 1;
  while (leaves < img->bins.size()) leaves *= 2;
  img->treeLeaves = leaves;
  img->maxFreeTree.assign(2 * leaves, 0);
  for (size_t b = 0; b < img->bins.size(); b++)
    img->maxFreeTree[leaves + b] = scan_max_free(img, b);
  for (size_t n = leaves - 1; n >= 1; n--) {
    uint32_t l = img->maxFreeTree[2 * n], r = img->maxFreeTree[2 * n + 1];
    img->maxFreeTree[n] = l > r ? l : r;
  }
}

void refresh_bin(HiveImage* img, uint32_t off) {
  size_t b = bin_index(img, off);
  tree_set(img, b, scan_max_free(img, b));
}

uint32_t round8(uint64_t v) {
  return (uint32_t)((v + 7) & ~7ull);
}

}  // namespace

uint32_t cell_size_at(HiveImage* img, uint32_t off) {
  int32_t s = raw_size(img, off);
  uint32_t a = abs_size(s);
  if (a == 0) return 0;
  if (s < 0) {
    img->usedCells++;
    img->usedBytes += a;
  } else {
    img->freeCells++;
    img->freeBytes += a;
  }
  return a;
}

uint32_t hbin_containing(HiveImage* img, uint32_t off) {
  if (img->bins.empty() || off < img->bins[0] || off >= img->endOfBins) return 0;
  return img->bins[bin_index(img, off)];
}

uint32_t first_fit_in_hbin(HiveImage* img, uint32_t bin, uint32_t size) {
  if (bin == 0) return 0;
  size_t b = bin_index(img, bin);
  if (img->bins[b] != bin || img->maxFreeTree[img->treeLeaves + b] < size) return 0;
  for (uint32_t c = bin + kBinHeader; c < img->binEnds[b];) {
    int32_t s = raw_size(img, c);
    uint32_t a = abs_size(s);
    if (a == 0) return 0;
    if (s > 0 && a >= size) return c;
    c += a;
  }
  return 0;
}

uint32_t first_fit_cell(HiveImage* img, uint32_t size) {
  size = round8(size);
  if (img->bins.empty() || img->maxFreeTree[1] < size) return 0;
  size_t n = 1;
  while (n < img->treeLeaves) n = img->maxFreeTree[2 * n] >= size ? 2 * n : 2 * n + 1;
  return first_fit_in_hbin(img, img->bins[n - img->treeLeaves], size);
}

uint32_t append_hbin(HiveImage* img, uint32_t size) {
  uint64_t binSize = ((uint64_t)(size + 36) & ~4095ull) + 4096;
  uint64_t end = (uint64_t)img->endOfBins + binSize;
  if (end > 0x7FFFF000u) return 0;
  if (end >= img->size) {
    // Geometric growth: a hive filled bin by bin must not be copied each time.
    uint64_t want = (end & ~32767ull) + 32768;
    uint64_t geo = ((uint64_t)img->size + img->size / 4 + 32767) & ~32767ull;
    if (geo > want && geo <= 0x7FFFF000u) want = geo;
    uint8_t* nb = (uint8_t*)realloc(img->buffer, (size_t)want);
    if (!nb) {
      img->outOfMemory = true;
      return 0;
    }
    memset(nb + img->endOfBins, 0, (size_t)(want - img->endOfBins));
    img->buffer = nb;
    img->size = (uint32_t)want;
    size_bitmap(img);
  }
  uint32_t bin = img->endOfBins;
  uint8_t* p = img->buffer + bin;
  memset(p, 0, (size_t)binSize);
  memcpy(p, "hbin", 4);
  write_le32(p + 4, bin - HIVE_BASE_SIZE);
  write_le32(p + 8, (uint32_t)binSize);
  write_le32(p + kBinHeader, (uint32_t)binSize - kBinHeader);
  set_start(img, bin + kBinHeader, true);
  img->lastBin = bin;
  img->endOfBins = (uint32_t)end;
  write_le32(hive_write_at(img, 0x28, 4), img->endOfBins - HIVE_BASE_SIZE);
  img->pages++;
  img->freeCells++;
  img->freeBytes += binSize - kBinHeader;
  img->bins.push_back(bin);
  img->binEnds.push_back((uint32_t)end);
  if (img->bins.size() > img->treeLeaves)
    rebuild_tree(img);
  else
    tree_set(img, img->bins.size() - 1, (uint32_t)binSize - kBinHeader);
  hive_mark_dirty(img);
  return bin + kBinHeader;
}

uint32_t alloc_cell(HiveImage* img, uint32_t hint, uint32_t size) {
  if (size > 0x7FFF0000u) return 0;
  uint32_t need = round8((uint64_t)size + 4);
  uint32_t cell = 0;
  if (hint) cell = first_fit_in_hbin(img, hbin_containing(img, hint), need);
  if (!cell) cell = first_fit_cell(img, need);
  if (!cell) {
    uint32_t fresh = append_hbin(img, need);
    if (!fresh) return 0;
    cell = first_fit_in_hbin(img, hbin_containing(img, fresh), need);
    if (!cell) return 0;
  }
  uint32_t have = (uint32_t)raw_size(img, cell);
  hive_touch(img, cell, have);
  uint32_t rest = have - need;
  if (rest < 8) {
    need = have;
    rest = 0;
  }
  if (rest) {
    write_le32(img->buffer + cell + need, rest);
    set_start(img, cell + need, true);
  } else {
    img->freeCells--;
  }
  write_le32(img->buffer + cell, (uint32_t) - (int32_t)need);
  memset(img->buffer + cell + 4, 0, need - 4);
  img->usedCells++;
  img->usedBytes += need;
  img->freeBytes -= need;
  refresh_bin(img, cell);
  hive_mark_dirty(img);
  return cell;
}

uint32_t free_cell(HiveImage* img, uint32_t off) {
  if (off < HIVE_BASE_SIZE + kBinHeader || off >= img->endOfBins || (off & 7) ||
      !is_start(img, off))
    return 0;
  int32_t s = raw_size(img, off);
  if (s >= 0) return 0;
  uint32_t bin = hbin_containing(img, off);
  if (!bin) return 0;
  uint32_t binEnd = img->binEnds[bin_index(img, off)];
  uint32_t size = abs_size(s);
  img->sortedLists.erase(off);
  img->usedCells--;
  img->usedBytes -= size;
  img->freeCells++;
  img->freeBytes += size;
  uint32_t next = off + size;
  if (next < binEnd && raw_size(img, next) > 0) {
    size += (uint32_t)raw_size(img, next);
    set_start(img, next, false);
    img->freeCells--;
  }
  uint32_t start = off;
  uint32_t prev = prev_start(img, bin + kBinHeader, off);
  if (prev && raw_size(img, prev) > 0 && prev + (uint32_t)raw_size(img, prev) == off) {
    size += (uint32_t)raw_size(img, prev);
    set_start(img, off, false);
    start = prev;
    img->freeCells--;
  }
  memset(hive_write_at(img, start, size), 0, size);
  write_le32(img->buffer + start, size);
  refresh_bin(img, start);
  hive_mark_dirty(img);
  return size;
}

void write_cell(HiveImage* img, uint32_t off, const void* data, uint32_t length) {
  if (off + 4 > img->endOfBins || abs_size(raw_size(img, off)) - 4 < length) return;
  memcpy(hive_write_at(img, off + 4, length), data, length);
  hive_mark_dirty(img);
}

uint32_t calc_regf_checksum(const HiveImage* img) {
  uint32_t x = 0;
  for (int i = 0; i < 127; i++) x ^= read_le32(img->buffer + 4 * i);
  return x;
}

void close_hive(HiveImage* img) {
  if (!img) return;
  while (img->undo) hive_undo_commit(img);
  free(img->buffer);
  delete img;
}

uint32_t hive_cell(const HiveImage* img, uint32_t rel) {
  if (rel == HIVE_NONE || rel >= img->endOfBins - HIVE_BASE_SIZE || (rel & 7)) return 0;
  uint32_t off = rel + HIVE_BASE_SIZE;
  if (off < HIVE_BASE_SIZE + kBinHeader || !is_start(img, off)) return 0;
  if (raw_size(img, off) >= 0) return 0;
  return off;
}

uint32_t hive_record_size(const HiveImage* img, uint32_t cell) {
  return abs_size(raw_size(img, cell)) - 4;
}

uint32_t load_hive_buffer(const void* data, size_t size, HiveImage** out) {
  *out = nullptr;
  const uint8_t* d = (const uint8_t*)data;
  if (!d || size < HIVE_BASE_SIZE + 0x1000 || size > 0x7FFFF000u || memcmp(d, "regf", 4) != 0)
    return REG_STATUS_FAILURE;
  uint32_t binsLen = read_le32(d + 0x28);
  if (binsLen == 0 || (binsLen & 4095) || (uint64_t)binsLen + HIVE_BASE_SIZE > size)
    return REG_STATUS_FAILURE;
  HiveImage* img = new HiveImage();
  img->buffer = (uint8_t*)malloc(size);
  if (!img->buffer) {
    delete img;
    return REG_STATUS_FAILURE;
  }
  memcpy(img->buffer, d, size);
  img->size = (uint32_t)size;
  img->state = HIVE_STATE_OPEN;
  img->endOfBins = HIVE_BASE_SIZE + binsLen;
  img->minorVersion = read_le32(d + 0x18);
  size_bitmap(img);
  auto fail = [&]() {
    close_hive(img);
    return REG_STATUS_FAILURE;
  };

  // Bins must follow each other exactly and their cells must tile them.
  for (uint32_t bin = HIVE_BASE_SIZE; bin < img->endOfBins;) {
    const uint8_t* p = img->buffer + bin;
    uint32_t bsize = read_le32(p + 8);
    if (memcmp(p, "hbin", 4) != 0 || read_le32(p + 4) != bin - HIVE_BASE_SIZE || bsize == 0 ||
        (bsize & 4095) || bsize > img->endOfBins - bin)
      return fail();
    uint32_t end = bin + bsize;
    for (uint32_t c = bin + kBinHeader; c < end;) {
      uint32_t a = abs_size(raw_size(img, c));
      if (a < 8 || (a & 7) || a > end - c) return fail();
      cell_size_at(img, c);
      set_start(img, c, true);
      c += a;
    }
    img->bins.push_back(bin);
    img->binEnds.push_back(end);
    img->lastBin = bin;
    img->pages++;
    bin = end;
  }
  rebuild_tree(img);

  uint32_t root = hive_cell(img, read_le32(d + 0x24));
  if (!root || hive_record_size(img, root) < 0x4C ||
      read_le16(img->buffer + root + 4) != HiveId('n', 'k'))
    return fail();
  img->rootOffset = root;
  img->rootIndexType = HiveId('l', 'f');
  uint32_t idx = hive_cell(img, read_le32(img->buffer + root + 4 + 0x1C));
  if (idx && hive_record_size(img, idx) >= 4) {
    uint16_t id = read_le16(img->buffer + idx + 4);
    if (id == HiveId('r', 'i') && read_le16(img->buffer + idx + 6) > 0 &&
        hive_record_size(img, idx) >= 8) {
      uint32_t first = hive_cell(img, read_le32(img->buffer + idx + 8));
      id = first && hive_record_size(img, first) >= 4 ? read_le16(img->buffer + first + 4) : 0;
    }
    if (id == HiveId('l', 'f') || id == HiveId('l', 'h') || id == HiveId('l', 'i'))
      img->rootIndexType = id;
  }
  *out = img;
  return REG_STATUS_OK;
}

uint32_t seal_hive_buffer(HiveImage* img) {
  uint32_t seq = read_le32(img->buffer + 4);
  if (read_le32(img->buffer + 8) > seq) seq = read_le32(img->buffer + 8);
  if (img->logSequence > seq) seq = img->logSequence;
  write_le32(hive_write_at(img, 4, 8), seq + 1);
  write_le32(img->buffer + 8, seq + 1);
  write_le32(hive_write_at(img, 0x1FC, 4), calc_regf_checksum(img));
  img->state &= ~HIVE_STATE_DIRTY;
  return img->endOfBins;
}

void save_hive_buffer(HiveImage* img, std::vector<uint8_t>& out) {
  uint32_t size = seal_hive_buffer(img);
  out.assign(img->buffer, img->buffer + size);
}

HiveImage* hive_snapshot(const HiveImage* img) {
  HiveImage* copy = new HiveImage(*img);
  copy->undo = nullptr;
  copy->buffer = (uint8_t*)malloc(img->size);
  if (!copy->buffer) {
    delete copy;
    return nullptr;
  }
  memcpy(copy->buffer, img->buffer, img->size);
  return copy;
}

void hive_restore(HiveImage* img, HiveImage* snapshot) {
  free(img->buffer);
  HiveUndo* undo = img->undo;
  *img = std::move(*snapshot);
  img->undo = undo;
  snapshot->buffer = nullptr;
  delete snapshot;
}
