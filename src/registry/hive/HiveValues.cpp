// Values: lookup, data held in the record, in one cell or as big data
// ("db" with segments), add and delete.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "registry/hive/HiveOps.h"
#include "registry/hive/HiveRecords.h"

namespace {

struct DataLoc {
  enum Kind { NONE, INLINE, CELL, BIG, BAD } kind = NONE;
  uint32_t len = 0;
  uint32_t cell = 0;                                // data cell or "db" cell
  uint32_t list = 0;                                // segment list of big data
  std::vector<std::pair<uint32_t, uint32_t>> segs;  // segment cell, data bytes
};

// Where a value's data lives. Big data is taken only when the length is over
// one segment, the cell says "db" and is too small to hold the data itself,
// so hives written with either threshold read back.
DataLoc locate_data(HiveImage* img, uint32_t vk) {
  DataLoc d;
  uint32_t raw = rd32(img, vk, VK_DATALEN);
  d.len = raw & 0x7FFFFFFF;
  if (raw & 0x80000000) {
    d.kind = d.len <= 4 ? DataLoc::INLINE : DataLoc::BAD;
    return d;
  }
  if (d.len == 0) return d;
  uint32_t c = hive_cell(img, rd32(img, vk, VK_DATA));
  if (!c) {
    d.kind = DataLoc::BAD;
    return d;
  }
  d.cell = c;
  uint32_t rs = hive_record_size(img, c);
  if (rs >= d.len) {
    d.kind = DataLoc::CELL;
    return d;
  }
  if (d.len <= HIVE_BIG_SEGMENT || rs < 8 || rd16(img, c, 0) != HiveId('d', 'b')) {
    d.kind = DataLoc::BAD;
    return d;
  }
  uint32_t count = rd16(img, c, 2);
  uint32_t list = hive_cell(img, rd32(img, c, 4));
  if (!list || count == 0 || hive_record_size(img, list) < 4 * count) {
    d.kind = DataLoc::BAD;
    return d;
  }
  // Segments hold 16344 bytes each; older writers used the segment's cell
  // size instead, recognisable by the segment count.
  bool fixed = count == (d.len + HIVE_BIG_SEGMENT - 1) / HIVE_BIG_SEGMENT;
  uint32_t left = d.len;
  for (uint32_t i = 0; i < count; i++) {
    uint32_t s = hive_cell(img, rd32(img, list, 4 * i));
    if (!s) {
      d.kind = DataLoc::BAD;
      return d;
    }
    uint32_t cap = fixed ? HIVE_BIG_SEGMENT : hive_record_size(img, s) - 4;
    uint32_t take = left < cap ? left : cap;
    if (hive_record_size(img, s) < take) {
      d.kind = DataLoc::BAD;
      return d;
    }
    d.segs.push_back({s, take});
    left -= take;
  }
  if (left) {
    d.kind = DataLoc::BAD;
    return d;
  }
  d.kind = DataLoc::BIG;
  d.list = list;
  return d;
}

void free_data(HiveImage* img, const DataLoc& d) {
  if (d.kind == DataLoc::CELL) free_cell(img, d.cell);
  if (d.kind == DataLoc::BIG) {
    for (auto& s : d.segs) free_cell(img, s.first);
    free_cell(img, d.list);
    free_cell(img, d.cell);
  }
}

// Keys with fewer values are searched in list order.
const uint32_t kIndexedValues = 32;

bool value_named(HiveImage* img, uint32_t vk, const wchar_t* name, size_t n) {
  return hive_name_equals(vk_name(img, vk), name, n);
}

// The "vk" cell of a name in a list of count values (checked to hold them),
// 0 when missing; its place in the list in *index when asked (-1 when
// missing). A large list is looked up through the image's value index.
uint32_t find_value_cell(HiveImage* img, uint32_t list, uint32_t count, const wchar_t* name,
                         int* index) {
  if (index) *index = -1;
  size_t n = value_name_len(name);
  if (count < kIndexedValues) {
    for (uint32_t i = 0; i < count; i++) {
      uint32_t vk = vk_cell(img, rd32(img, list, 4 * i));
      if (vk && value_named(img, vk, name, n)) {
        if (index) *index = (int)i;
        return vk;
      }
    }
    return 0;
  }
  HiveValueIndex& ix = img->valueIndex;
  if (!ix.Covers(list, count)) {
    ix.Reset(list, count);
    for (uint32_t i = 0; i < count; i++) {
      uint32_t vk = vk_cell(img, rd32(img, list, 4 * i));
      if (vk) ix.Add(hive_stored_index_hash(vk_name(img, vk)), vk);
    }
  }
  uint32_t vk = ix.Find(hive_index_hash(name, n), [&](uint32_t c) {
    return vk_cell(img, hive_rel(c)) == c && value_named(img, c, name, n);
  });
  if (vk && index) {
    uint32_t rel = hive_rel(vk);
    for (uint32_t i = 0; i < count; i++) {
      if (rd32(img, list, 4 * i) == rel) {
        *index = (int)i;
        break;
      }
    }
  }
  return vk;
}

uint32_t value_cell(HiveImage* img, uint32_t keyOff, const wchar_t* name, uint32_t* keyCell,
                    int* index) {
  uint32_t key = key_cell_of(img, keyOff);
  if (keyCell) *keyCell = key;
  if (!key || !name) return 0;
  uint32_t count = rd32(img, key, NK_VALCOUNT);
  uint32_t list = hive_cell(img, rd32(img, key, NK_VALLIST));
  if (!count || !list) return 0;
  return find_value_cell(img, list, count, name, index);
}

// Grows a list cell of 32-bit entries so it holds count + 1; returns the
// (possibly new) cell, 0 on failure. The old cell is freed when replaced.
uint32_t grow_list(HiveImage* img, uint32_t hint, uint32_t list, uint32_t count) {
  if (list && hive_record_size(img, list) >= 4 * (count + 1)) return list;
  uint32_t cap = count + 1 + (count >= 16 ? count / 4 : 0);
  uint32_t nc = alloc_cell(img, hint, 4 * cap);
  if (!nc) return 0;
  if (list) {
    memcpy(hive_write_at(img, nc + 4, 4 * count), img->buffer + list + 4, 4 * count);
    free_cell(img, list);
  }
  return nc;
}

}  // namespace

int find_value_index(HiveImage* img, uint32_t listCell, uint32_t count, const wchar_t* name) {
  if (!listCell || !name || hive_record_size(img, listCell) / 4 < count) return -1;
  int i = -1;
  find_value_cell(img, listCell, count, name, &i);
  return i;
}

int next_value(HiveImage* img, uint32_t keyOff, uint32_t* index, HiveValue* out) {
  uint32_t key = key_cell_of(img, keyOff);
  if (!key) return -1;
  uint32_t count = rd32(img, key, NK_VALCOUNT);
  if (*index >= count) return 0;
  uint32_t list = hive_cell(img, rd32(img, key, NK_VALLIST));
  if (!list || hive_record_size(img, list) / 4 < count) return -1;
  uint32_t vk = vk_cell(img, rd32(img, list, 4 * *index));
  if (!vk) return -1;
  ++*index;
  out->cell = vk;
  out->type = rd32(img, vk, VK_TYPE);
  uint32_t raw = rd32(img, vk, VK_DATALEN);
  out->length = raw & 0x7FFFFFFF;
  out->dword = (raw & 0x80000000) ? rd32(img, vk, VK_DATA) : 0;
  out->name = hive_name_to_wide(vk_name(img, vk));
  return 1;
}

int64_t get_value_type(HiveImage* img, uint32_t keyOff, const wchar_t* name) {
  uint32_t vk = value_cell(img, keyOff, name, nullptr, nullptr);
  return vk ? (int64_t)rd32(img, vk, VK_TYPE) : -1;
}

int64_t get_value_len(HiveImage* img, uint32_t keyOff, const wchar_t* name) {
  uint32_t vk = value_cell(img, keyOff, name, nullptr, nullptr);
  return vk ? (int64_t)(rd32(img, vk, VK_DATALEN) & 0x7FFFFFFF) : -1;
}

const uint8_t* get_value_data(HiveImage* img, uint32_t keyOff, const wchar_t* name,
                              uint32_t typeFilter) {
  uint32_t vk = value_cell(img, keyOff, name, nullptr, nullptr);
  if (!vk || (typeFilter && rd32(img, vk, VK_TYPE) != typeFilter)) return nullptr;
  DataLoc d = locate_data(img, vk);
  if (d.kind == DataLoc::INLINE && d.len) return img->buffer + vk + 4 + VK_DATA;
  if (d.kind == DataLoc::CELL || d.kind == DataLoc::BIG) return img->buffer + d.cell + 4;
  return nullptr;
}

RegValueBuf* copy_value_to_buf(HiveImage* img, RegValueBuf* buf, uint32_t keyOff,
                               const wchar_t* name, uint32_t typeFilter) {
  uint32_t vk = value_cell(img, keyOff, name, nullptr, nullptr);
  if (!vk || (typeFilter && rd32(img, vk, VK_TYPE) != typeFilter)) return nullptr;
  DataLoc d = locate_data(img, vk);
  if (d.kind == DataLoc::BAD) return nullptr;
  if (buf && buf->length < d.len) return nullptr;
  if (!buf) {
    buf = (RegValueBuf*)calloc(1, (size_t)d.len + 12);
    if (!buf) return nullptr;
  }
  buf->length = d.len;
  if (d.kind == DataLoc::INLINE)
    memcpy(buf->data, img->buffer + vk + 4 + VK_DATA, d.len);
  else if (d.kind == DataLoc::CELL)
    memcpy(buf->data, img->buffer + d.cell + 4, d.len);
  else if (d.kind == DataLoc::BIG) {
    uint32_t at = 0;
    for (auto& s : d.segs) {
      memcpy(buf->data + at, img->buffer + s.first + 4, s.second);
      at += s.second;
    }
  }
  return buf;
}

const uint8_t* value_data_at(HiveImage* img, uint32_t vk, std::vector<uint8_t>* scratch,
                             uint32_t* length) {
  *length = 0;
  if (!vk) return nullptr;
  DataLoc d = locate_data(img, vk);
  const uint8_t* data = nullptr;
  if (d.kind == DataLoc::INLINE)
    data = img->buffer + vk + 4 + VK_DATA;
  else if (d.kind == DataLoc::CELL)
    data = img->buffer + d.cell + 4;
  else if (d.kind == DataLoc::BIG) {
    scratch->resize(d.len);
    uint32_t at = 0;
    for (auto& s : d.segs) {
      memcpy(scratch->data() + at, img->buffer + s.first + 4, s.second);
      at += s.second;
    }
    data = scratch->data();
  }
  if (data && d.len) *length = d.len;
  return *length ? data : nullptr;
}

uint32_t put_data_to_value(HiveImage* img, const void* data, uint32_t length, uint32_t keyOff,
                           const wchar_t* name, uint32_t typeFilter) {
  uint32_t key;
  uint32_t vk = value_cell(img, keyOff, name, &key, nullptr);
  if (!vk || length > 0x7FFFFFF0u || (typeFilter && rd32(img, vk, VK_TYPE) != typeFilter)) return 0;
  DataLoc old = locate_data(img, vk);
  if (old.kind == DataLoc::BAD)
    old.kind = DataLoc::NONE;  // unreadable old data is left where it is
  const uint8_t* src = (const uint8_t*)data;
  uint32_t newCell = 0;
  bool reuse = false;
  if (length <= 4) {
    // held in the record
  } else if (length > HIVE_BIG_SEGMENT && img->minorVersion >= 4) {
    uint32_t count = (length + HIVE_BIG_SEGMENT - 1) / HIVE_BIG_SEGMENT;
    if (count > 0xFFFF) return 0;  // the "db" record counts its segments in 16 bits
    std::vector<uint32_t> segs;
    uint32_t db = alloc_cell(img, vk, 8);
    uint32_t list = db ? alloc_cell(img, vk, 4 * count) : 0;
    bool ok = list != 0;
    for (uint32_t i = 0; ok && i < count; i++) {
      uint32_t take = length - i * HIVE_BIG_SEGMENT;
      if (take > HIVE_BIG_SEGMENT) take = HIVE_BIG_SEGMENT;
      // 4 spare bytes per segment: readers that take a segment's cell size
      // minus 8 as its data length then see all of it.
      uint32_t s = alloc_cell(img, vk, take + 4);
      if (!s) {
        ok = false;
        break;
      }
      segs.push_back(s);
      memcpy(hive_write_at(img, s + 4, take), src + i * HIVE_BIG_SEGMENT, take);
      wr32(img, list, 4 * i, hive_rel(s));
    }
    if (!ok) {
      for (uint32_t s : segs) free_cell(img, s);
      if (list) free_cell(img, list);
      if (db) free_cell(img, db);
      return 0;
    }
    wr16(img, db, 0, HiveId('d', 'b'));
    wr16(img, db, 2, (uint16_t)count);
    wr32(img, db, 4, hive_rel(list));
    newCell = db;
  } else if (old.kind == DataLoc::CELL &&
             hive_record_size(img, old.cell) + 4 == ((length + 4 + 7) & ~7u)) {
    newCell = old.cell;
    reuse = true;
    memcpy(hive_write_at(img, newCell + 4, length), src, length);
  } else {
    newCell = alloc_cell(img, vk, length);
    if (!newCell) return 0;
    memcpy(hive_write_at(img, newCell + 4, length), src, length);
  }
  if (!reuse) free_data(img, old);
  if (length <= 4) {
    uint8_t inl[4] = {0, 0, 0, 0};
    if (length) memcpy(inl, src, length);
    wr32(img, vk, VK_DATALEN, length | 0x80000000u);
    memcpy(hive_write_at(img, vk + 4 + VK_DATA, 4), inl, 4);
  } else {
    wr32(img, vk, VK_DATALEN, length);
    wr32(img, vk, VK_DATA, hive_rel(newCell));
  }
  if (rd32(img, key, NK_MAXVALDATA) < length) wr32(img, key, NK_MAXVALDATA, length);
  hive_mark_dirty(img);
  return length ? length : 0x80000000u;
}

uint32_t put_buf_to_value(HiveImage* img, const RegValueBuf* buf, uint32_t keyOff,
                          const wchar_t* name, uint32_t typeFilter) {
  if (!buf) return 0;
  return put_data_to_value(img, buf->data, buf->length, keyOff, name, typeFilter);
}

bool set_value_type(HiveImage* img, uint32_t keyOff, const wchar_t* name, uint32_t type) {
  uint32_t vk = value_cell(img, keyOff, name, nullptr, nullptr);
  if (!vk) return false;
  wr32(img, vk, VK_TYPE, type);
  hive_mark_dirty(img);
  return true;
}

uint32_t put_dword_value(HiveImage* img, uint32_t keyOff, const wchar_t* name, uint32_t value) {
  if (keyOff >= img->size) return REG_STATUS_FAILURE;
  uint8_t b[4];
  write_le32(b, value);
  return put_data_to_value(img, b, 4, keyOff, name, HIVE_REG_DWORD);
}

uint32_t add_value(HiveImage* img, uint32_t keyOff, const wchar_t* name, uint32_t type) {
  uint32_t key = key_cell_of(img, keyOff);
  if (!key || !name) return 0;
  size_t n = value_name_len(name);
  if (n > 16383) return 0;
  uint32_t count = rd32(img, key, NK_VALCOUNT);
  uint32_t list = hive_cell(img, rd32(img, key, NK_VALLIST));
  if (count && (!list || hive_record_size(img, list) / 4 < count)) return 0;
  if (count && find_value_cell(img, list, count, name, nullptr)) return 0;
  bool comp;
  std::string stored = hive_encode_name(name, n, &comp);
  uint32_t vk = alloc_cell(img, key, VK_NAME + (uint32_t)stored.size());
  if (!vk) return 0;
  wr16(img, vk, 0, HiveId('v', 'k'));
  wr16(img, vk, VK_NAMELEN, (uint16_t)stored.size());
  bool dw = type == HIVE_REG_DWORD || type == HIVE_REG_DWORD_BIG_ENDIAN;
  wr32(img, vk, VK_DATALEN, dw ? 0x80000004u : 0x80000000u);
  wr32(img, vk, VK_TYPE, type);
  wr16(img, vk, VK_FLAGS, comp ? VK_COMP_NAME : 0);
  memcpy(hive_write_at(img, vk + 4 + VK_NAME, (uint32_t)stored.size()), stored.data(),
         stored.size());
  list = hive_cell(img, rd32(img, key, NK_VALLIST));
  uint32_t nl = grow_list(img, key, count ? list : 0, count);
  if (!nl) {
    free_cell(img, vk);
    return 0;
  }
  wr32(img, nl, 4 * count, hive_rel(vk));
  wr32(img, key, NK_VALLIST, hive_rel(nl));
  wr32(img, key, NK_VALCOUNT, count + 1);
  HiveValueIndex& ix = img->valueIndex;
  if (count && ix.Covers(list, count)) {
    ix.Add(hive_index_hash(name, n), vk);
    ix.Moved(nl, count + 1);
  }
  if (rd32(img, key, NK_MAXVALNAME) < n * 2) wr32(img, key, NK_MAXVALNAME, (uint32_t)n * 2);
  hive_mark_dirty(img);
  return vk + 4;
}

int del_value(HiveImage* img, uint32_t keyOff, const wchar_t* name) {
  uint32_t key;
  int i = -1;
  uint32_t vk = value_cell(img, keyOff, name, &key, &i);
  if (!vk) return 1;
  uint32_t count = rd32(img, key, NK_VALCOUNT);
  uint32_t list = hive_cell(img, rd32(img, key, NK_VALLIST));
  HiveValueIndex& ix = img->valueIndex;
  if (ix.Covers(list, count)) {
    ix.Remove(hive_stored_index_hash(vk_name(img, vk)), vk);
    if (count == 1)
      ix.Forget();
    else
      ix.Moved(list, count - 1);
  }
  DataLoc d = locate_data(img, vk);
  free_data(img, d);
  free_cell(img, vk);
  uint8_t* e = hive_write_at(img, list + 4, 4 * count);
  memmove(e + 4 * i, e + 4 * (i + 1), 4 * (count - i - 1));
  if (count == 1) {
    free_cell(img, list);
    wr32(img, key, NK_VALLIST, HIVE_NONE);
  }
  wr32(img, key, NK_VALCOUNT, count - 1);
  hive_mark_dirty(img);
  return 0;
}
