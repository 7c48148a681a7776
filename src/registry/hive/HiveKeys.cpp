// Keys: path walk, subkey indexes (li/lf/lh leaves and ri), add, rename and
// delete of keys and key trees.
#include <windows.h>

#include <cstring>
#include <vector>

#include "registry/hive/HiveOps.h"
#include "registry/hive/HiveRecords.h"

void now_filetime(uint8_t* out8) {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  write_le32(out8, ft.dwLowDateTime);
  write_le32(out8 + 4, ft.dwHighDateTime);
}

// Frees the values of a key and its value list.
void free_key_values(HiveImage* img, uint32_t keyCell);

namespace {

struct Leaf {
  uint32_t cell;
  uint16_t id;
  uint32_t count;
  uint32_t stride;
};

bool read_leaf(HiveImage* img, uint32_t rel, Leaf* lf) {
  uint32_t c = hive_cell(img, rel);
  if (!c || hive_record_size(img, c) < 4) return false;
  uint16_t id = rd16(img, c, 0);
  uint32_t stride;
  if (id == HiveId('l', 'i'))
    stride = 4;
  else if (id == HiveId('l', 'f') || id == HiveId('l', 'h'))
    stride = 8;
  else
    return false;
  uint32_t count = rd16(img, c, 2);
  if (hive_record_size(img, c) < 4 + count * stride) return false;
  *lf = {c, id, count, stride};
  return true;
}

uint32_t leaf_rel(HiveImage* img, const Leaf& lf, uint32_t i) {
  return rd32(img, lf.cell, 4 + i * lf.stride);
}

// The leaves of a key's subkey index, in order. ri is the "ri" cell or 0.
// False for a malformed index.
bool key_leaves(HiveImage* img, uint32_t keyCell, std::vector<Leaf>& leaves, uint32_t* ri) {
  leaves.clear();
  *ri = 0;
  uint32_t rel = rd32(img, keyCell, NK_INDEX);
  if (rel == HIVE_NONE) return true;
  uint32_t c = hive_cell(img, rel);
  if (!c || hive_record_size(img, c) < 4) return false;
  if (rd16(img, c, 0) == HiveId('r', 'i')) {
    uint32_t n = rd16(img, c, 2);
    if (hive_record_size(img, c) < 4 + 4 * n) return false;
    *ri = c;
    leaves.reserve(n);
    for (uint32_t i = 0; i < n; i++) {
      Leaf lf;
      if (!read_leaf(img, rd32(img, c, 4 + 4 * i), &lf)) return false;
      leaves.push_back(lf);
    }
    return true;
  }
  Leaf lf;
  if (!read_leaf(img, rel, &lf)) return false;
  leaves.push_back(lf);
  return true;
}

// Compares a leaf entry's key name with a name; false when the entry is broken.
bool entry_compare(HiveImage* img, const Leaf& lf, uint32_t i, const wchar_t* name, size_t n,
                   int* cmp) {
  uint32_t child = nk_cell(img, leaf_rel(img, lf, i));
  if (!child) return false;
  *cmp = hive_compare_name(nk_name(img, child), name, n);
  return true;
}

// 1 found at *pos, 0 missing (*pos = first entry that sorts after the name),
// -1 malformed. A leaf found in order is remembered, so later searches in it
// are binary.
int leaf_find(HiveImage* img, const Leaf& lf, const wchar_t* name, size_t n, uint32_t* pos) {
  int cmp;
  if (img->sortedLists.count(lf.cell)) {
    // one comparison passes a list whose last name sorts before the name
    if (lf.count && !entry_compare(img, lf, lf.count - 1, name, n, &cmp)) return -1;
    if (lf.count && cmp < 0) {
      *pos = lf.count;
      return 0;
    }
    uint32_t lo = 0, hi = lf.count;
    while (lo < hi) {
      uint32_t mid = (lo + hi) / 2;
      if (!entry_compare(img, lf, mid, name, n, &cmp)) return -1;
      if (cmp == 0) {
        *pos = mid;
        return 1;
      }
      if (cmp < 0)
        lo = mid + 1;
      else
        hi = mid;
    }
    *pos = lo;
    return 0;
  }
  bool ordered = true, havePos = false;
  HiveName prev;
  uint32_t prevCell = 0;
  int found = 0;
  for (uint32_t i = 0; i < lf.count; i++) {
    uint32_t child = nk_cell(img, leaf_rel(img, lf, i));
    if (!child) return -1;
    HiveName cur = nk_name(img, child);
    cmp = hive_compare_name(cur, name, n);
    if (cmp == 0 && !found) {
      *pos = i;
      found = 1;
    }
    if (cmp > 0 && !havePos) {
      if (!found) *pos = i;
      havePos = true;
    }
    if (prevCell && ordered) {
      std::wstring w = hive_name_to_wide(cur);
      if (hive_compare_name(prev, w.c_str(), w.size()) >= 0) ordered = false;
    }
    prev = cur;
    prevCell = child;
  }
  if (ordered) img->sortedLists.insert(lf.cell);
  if (!found && !havePos) *pos = lf.count;
  return found;
}

// Child key cell of a name: >0 found, 0 missing, -1 malformed.
int64_t find_child(HiveImage* img, uint32_t keyCell, const wchar_t* name, size_t n) {
  std::vector<Leaf> leaves;
  uint32_t ri;
  if (!key_leaves(img, keyCell, leaves, &ri)) return -1;
  for (const Leaf& lf : leaves) {
    uint32_t pos;
    int r = leaf_find(img, lf, name, n, &pos);
    if (r < 0) return -1;
    if (r == 1) return nk_cell(img, leaf_rel(img, lf, pos));
  }
  return 0;
}

void write_entry(HiveImage* img, uint32_t leafCell, uint16_t id, uint32_t i, uint32_t childRel,
                 const wchar_t* name, size_t n) {
  uint32_t stride = id == HiveId('l', 'i') ? 4 : 8;
  wr32(img, leafCell, 4 + i * stride, childRel);
  if (id == HiveId('l', 'f'))
    wr32(img, leafCell, 8 + i * stride, hive_name_hint(name, n));
  else if (id == HiveId('l', 'h'))
    wr32(img, leafCell, 8 + i * stride, hive_name_hash(name, n));
}

// Splits a full list in two halves under an "ri" (made when the key had a
// plain list). False on a failed allocation, with nothing changed.
bool split_leaf(HiveImage* img, uint32_t keyCell, uint32_t ri, size_t slot, const Leaf& lf) {
  uint32_t half = lf.count / 2, rest = lf.count - half;
  uint32_t riCount = ri ? rd16(img, ri, 2) : 1;
  if (riCount >= 0xFFFF || half == 0) return false;
  uint32_t nc = alloc_cell(img, lf.cell, 4 + rest * lf.stride);
  if (!nc) return false;
  uint32_t newRi = ri;
  if (!ri || hive_record_size(img, ri) < 4 + 4 * (riCount + 1)) {
    uint32_t cap = riCount + 1 + riCount / 4;
    if (cap > 0xFFFF) cap = 0xFFFF;
    newRi = alloc_cell(img, keyCell, 4 + 4 * cap);
    if (!newRi) {
      free_cell(img, nc);
      return false;
    }
    wr16(img, newRi, 0, HiveId('r', 'i'));
    if (ri)
      memcpy(hive_write_at(img, newRi + 8, 4 * riCount), img->buffer + ri + 8, 4 * riCount);
    else
      wr32(img, newRi, 4, hive_rel(lf.cell));
  }
  wr16(img, nc, 0, lf.id);
  wr16(img, nc, 2, (uint16_t)rest);
  memcpy(hive_write_at(img, nc + 8, rest * lf.stride), img->buffer + lf.cell + 8 + half * lf.stride,
         rest * lf.stride);
  wr16(img, lf.cell, 2, (uint16_t)half);
  if (img->sortedLists.count(lf.cell)) img->sortedLists.insert(nc);
  uint8_t* r = hive_write_at(img, newRi + 8, 4 * (riCount + 1));
  memmove(r + 4 * (slot + 2), r + 4 * (slot + 1), 4 * (riCount - slot - 1));
  wr32(img, newRi, 4 + 4 * (uint32_t)(slot + 1), hive_rel(nc));
  wr16(img, newRi, 2, (uint16_t)(riCount + 1));
  if (newRi != ri) {
    if (ri) free_cell(img, ri);
    wr32(img, keyCell, NK_INDEX, hive_rel(newRi));
  }
  hive_mark_dirty(img);
  return true;
}

// Inserts a child into the key's index at its sorted place. False on a
// malformed index or a failed allocation (the index is then unchanged).
bool index_insert(HiveImage* img, uint32_t keyCell, uint32_t childRel, const wchar_t* name,
                  size_t n) {
  std::vector<Leaf> leaves;
  uint32_t ri;
  if (!key_leaves(img, keyCell, leaves, &ri)) return false;
  if (leaves.empty()) {
    if (rd32(img, keyCell, NK_INDEX) != HIVE_NONE) return false;
    uint16_t id = img->rootIndexType;
    uint32_t c = alloc_cell(img, keyCell, 4 + (id == HiveId('l', 'i') ? 4 : 8));
    if (!c) return false;
    wr16(img, c, 0, id);
    wr16(img, c, 2, 1);
    write_entry(img, c, id, 0, childRel, name, n);
    img->sortedLists.insert(c);
    wr32(img, keyCell, NK_INDEX, hive_rel(c));
    return true;
  }
  size_t slot = leaves.size() - 1;
  uint32_t pos = leaves[slot].count;
  for (size_t s = 0; s < leaves.size(); s++) {
    uint32_t p;
    int r = leaf_find(img, leaves[s], name, n, &p);
    if (r != 0) return false;  // malformed, or the name is there already
    if (p < leaves[s].count) {
      slot = s;
      pos = p;
      break;
    }
  }
  Leaf lf = leaves[slot];
  uint32_t leafMax = img->leafMax < 4 ? 4 : img->leafMax > 0xFFFF ? 0xFFFF : img->leafMax;
  if (lf.count >= leafMax) {
    if (!split_leaf(img, keyCell, ri, slot, lf)) return false;
    return index_insert(img, keyCell, childRel, name, n);
  }
  uint32_t cell = lf.cell;
  if (hive_record_size(img, cell) < 4 + (lf.count + 1) * lf.stride) {
    // Room for a quarter more entries, so that a growing list is not copied
    // on every insert.
    uint32_t cap = lf.count + 1 + (lf.count >= 16 ? lf.count / 4 : 0);
    if (cap > 0xFFFF) cap = 0xFFFF;
    uint32_t nc = alloc_cell(img, lf.cell, 4 + cap * lf.stride);
    if (!nc) return false;
    memcpy(hive_write_at(img, nc + 4, 4 + lf.count * lf.stride), img->buffer + lf.cell + 4,
           4 + lf.count * lf.stride);
    bool sorted = img->sortedLists.count(lf.cell) != 0;
    free_cell(img, lf.cell);
    if (sorted) img->sortedLists.insert(nc);
    if (ri)
      wr32(img, ri, 4 + 4 * (uint32_t)slot, hive_rel(nc));
    else
      wr32(img, keyCell, NK_INDEX, hive_rel(nc));
    cell = nc;
  }
  uint8_t* e = hive_write_at(img, cell + 8, (lf.count + 1) * lf.stride);
  memmove(e + (pos + 1) * lf.stride, e + pos * lf.stride, (lf.count - pos) * lf.stride);
  write_entry(img, cell, lf.id, pos, childRel, name, n);
  wr16(img, cell, 2, (uint16_t)(lf.count + 1));
  hive_mark_dirty(img);
  return true;
}

// Removes a child from the key's index; empty leaves and an empty "ri" go.
bool index_remove(HiveImage* img, uint32_t keyCell, uint32_t childRel) {
  std::vector<Leaf> leaves;
  uint32_t ri;
  if (!key_leaves(img, keyCell, leaves, &ri)) return false;
  for (size_t s = 0; s < leaves.size(); s++) {
    const Leaf& lf = leaves[s];
    for (uint32_t i = 0; i < lf.count; i++) {
      if (leaf_rel(img, lf, i) != childRel) continue;
      uint8_t* e = hive_write_at(img, lf.cell + 8, lf.count * lf.stride);
      memmove(e + i * lf.stride, e + (i + 1) * lf.stride, (lf.count - i - 1) * lf.stride);
      wr16(img, lf.cell, 2, (uint16_t)(lf.count - 1));
      if (lf.count == 1) {
        free_cell(img, lf.cell);
        if (ri) {
          uint32_t n = rd16(img, ri, 2);
          uint8_t* r = hive_write_at(img, ri + 8, 4 * n);
          memmove(r + 4 * s, r + 4 * (s + 1), 4 * (n - s - 1));
          wr16(img, ri, 2, (uint16_t)(n - 1));
          if (n == 1) {
            free_cell(img, ri);
            wr32(img, keyCell, NK_INDEX, HIVE_NONE);
          }
        } else {
          wr32(img, keyCell, NK_INDEX, HIVE_NONE);
        }
      }
      hive_mark_dirty(img);
      return true;
    }
  }
  return false;
}

void security_ref(HiveImage* img, uint32_t keyCell, int delta) {
  uint32_t sk = typed_cell(img, rd32(img, keyCell, NK_SECURITY), HiveId('s', 'k'), 0x14);
  if (!sk) return;
  uint32_t refs = rd32(img, sk, SK_REFCOUNT);
  if (delta > 0) {
    wr32(img, sk, SK_REFCOUNT, refs + 1);
    return;
  }
  if (refs == 0) return;  // already inconsistent: never free what may be in use
  wr32(img, sk, SK_REFCOUNT, refs - 1);
  if (refs > 1) return;
  uint32_t flink = rd32(img, sk, SK_FLINK), blink = rd32(img, sk, SK_BLINK);
  uint32_t next = typed_cell(img, flink, HiveId('s', 'k'), 0x14);
  uint32_t prev = typed_cell(img, blink, HiveId('s', 'k'), 0x14);
  if (next && prev && next != sk) {
    wr32(img, prev, SK_FLINK, flink);
    wr32(img, next, SK_BLINK, blink);
  }
  free_cell(img, sk);
}

bool max_field(HiveImage* img, uint32_t cell, uint32_t field, uint32_t v) {
  uint32_t old = rd32(img, cell, field);
  if (field == NK_MAXNAME) {
    // the upper half carries flags
    if ((old & 0xFFFF) < v && v <= 0xFFFF) wr32(img, cell, field, (old & 0xFFFF0000u) | v);
  } else if (old < v) {
    wr32(img, cell, field, v);
  }
  return true;
}

bool delete_subtree(HiveImage* img, uint32_t keyCell, int depth);

// Unlinks and frees a key without values or subkeys.
int del_key_cell(HiveImage* img, uint32_t parentCell, uint32_t child) {
  if (rd32(img, child, NK_VALCOUNT) != 0 || rd32(img, child, NK_INDEX) != HIVE_NONE) return 1;
  if (!index_remove(img, parentCell, hive_rel(child))) return 1;
  uint32_t subs = rd32(img, parentCell, NK_SUBCOUNT);
  if (subs) wr32(img, parentCell, NK_SUBCOUNT, subs - 1);
  uint32_t vl = hive_cell(img, rd32(img, child, NK_VALLIST));
  if (vl) free_cell(img, vl);
  if (rd16(img, child, NK_CLASSLEN)) {
    uint32_t cls = hive_cell(img, rd32(img, child, NK_CLASS));
    if (cls) free_cell(img, cls);
  }
  security_ref(img, child, -1);
  free_cell(img, child);
  return 0;
}

bool delete_subtree(HiveImage* img, uint32_t keyCell, int depth) {
  if (depth > (int)HIVE_MAX_DEPTH) return false;
  std::vector<Leaf> leaves;
  uint32_t ri;
  for (;;) {
    if (!key_leaves(img, keyCell, leaves, &ri)) return false;
    if (leaves.empty()) break;
    uint32_t child = nk_cell(img, leaf_rel(img, leaves[0], 0));
    if (!child || child == keyCell) return false;
    if (!delete_subtree(img, child, depth + 1)) return false;
    if (del_key_cell(img, keyCell, child) != 0) return false;
  }
  free_key_values(img, keyCell);
  return true;
}

std::vector<std::wstring> split_components(const wchar_t* p, bool* ok) {
  std::vector<std::wstring> comps;
  std::wstring cur;
  *ok = true;
  size_t i = 0;
  while (p[i]) {
    cur.clear();
    while (p[i] && !(p[i] == L'\\' && p[i + 1] != L'\\')) {
      if (p[i] == L'\\') {
        cur += L'\\';
        i += 2;
      } else
        cur += p[i++];
    }
    if (p[i] == L'\\') i++;
    if (!cur.empty()) comps.push_back(cur);
  }
  return comps;
}

}  // namespace

void free_key_values(HiveImage* img, uint32_t keyCell) {
  while (rd32(img, keyCell, NK_VALCOUNT) != 0) {
    uint32_t list = hive_cell(img, rd32(img, keyCell, NK_VALLIST));
    if (!list) break;
    uint32_t vk = vk_cell(img, rd32(img, list, 0));
    std::wstring name = vk ? hive_name_to_wide(vk_name(img, vk)) : std::wstring();
    if (!vk || del_value(img, keyCell + 4, name.c_str()) != 0) break;
  }
  uint32_t list = hive_cell(img, rd32(img, keyCell, NK_VALLIST));
  if (list) free_cell(img, list);
  wr32(img, keyCell, NK_VALLIST, HIVE_NONE);
  wr32(img, keyCell, NK_VALCOUNT, 0);
  img->valueIndex.Forget();
}

uint32_t walk_key_path(HiveImage* img, uint32_t keyOff, const wchar_t* path, uint32_t flags) {
  if (!path) return 0;
  uint32_t cell = key_cell_of(img, keyOff);
  if (!(flags & WALK_LITERAL) && path[0] == L'\\' && path[1] != L'\\') {
    cell = img->rootOffset;
    path++;
  }
  if (!cell) return 0;
  if (flags & WALK_LITERAL) {
    uint32_t list = hive_cell(img, rd32(img, cell, NK_VALLIST));
    uint32_t count = rd32(img, cell, NK_VALCOUNT);
    if (!list || count == 0) return 0;
    int i = find_value_index(img, list, count, path);
    return i < 0 ? 0 : vk_cell(img, rd32(img, list, 4 * (uint32_t)i));
  }
  if (path[0] == L'@' && path[1] == 0) return 0;
  bool ok;
  std::vector<std::wstring> comps = split_components(path, &ok);
  for (size_t c = 0; c < comps.size(); c++) {
    if ((flags & WALK_VALUE) && c + 1 == comps.size())
      return walk_key_path(img, cell + 4, comps[c].c_str(), WALK_LITERAL | WALK_VALUE);
    int64_t child = find_child(img, cell, comps[c].c_str(), comps[c].size());
    if (child <= 0) return 0;
    cell = (uint32_t)child;
  }
  return (flags & WALK_VALUE) ? 0 : cell;
}

uint32_t find_key(HiveImage* img, uint32_t keyOff, const wchar_t* path) {
  uint32_t c = walk_key_path(img, keyOff, path, WALK_EXACT);
  return c ? c + 4 : 0;
}

int next_subkey(HiveImage* img, uint32_t keyOff, uint32_t* listIndex, uint32_t* riSlot,
                HiveSubkey* out) {
  uint32_t cell = key_cell_of(img, keyOff);
  if (!cell) return -1;
  uint32_t rel = rd32(img, cell, NK_INDEX);
  if (rel == HIVE_NONE) return 0;
  uint32_t idx = hive_cell(img, rel);
  if (!idx || hive_record_size(img, idx) < 4) return -1;
  Leaf lf;
  if (rd16(img, idx, 0) == HiveId('r', 'i')) {
    uint32_t n = rd16(img, idx, 2);
    if (hive_record_size(img, idx) < 4 + 4 * n) return -1;
    for (;;) {
      if (*riSlot >= n) return 0;
      if (!read_leaf(img, rd32(img, idx, 4 + 4 * *riSlot), &lf)) return -1;
      if (*listIndex < lf.count) break;
      ++*riSlot;
      *listIndex = 0;
    }
  } else {
    if (!read_leaf(img, rel, &lf)) return -1;
    if (*listIndex >= lf.count) return 0;
  }
  uint32_t child = nk_cell(img, leaf_rel(img, lf, *listIndex));
  if (!child) return -1;
  ++*listIndex;
  out->cell = child;
  out->name = hive_name_to_wide(nk_name(img, child));
  return 1;
}

uint32_t key_subkey_count(HiveImage* img, uint32_t keyOff) {
  uint32_t cell = key_cell_of(img, keyOff);
  return cell ? rd32(img, cell, NK_SUBCOUNT) : 0;
}

uint32_t key_value_count(HiveImage* img, uint32_t keyOff) {
  uint32_t cell = key_cell_of(img, keyOff);
  return cell ? rd32(img, cell, NK_VALCOUNT) : 0;
}

std::wstring key_name(HiveImage* img, uint32_t keyOff) {
  uint32_t cell = key_cell_of(img, keyOff);
  return cell ? hive_name_to_wide(nk_name(img, cell)) : std::wstring();
}

uint32_t add_key(HiveImage* img, uint32_t parentKeyOff, const wchar_t* name) {
  uint32_t parent = key_cell_of(img, parentKeyOff);
  size_t n = wlen(name);
  if (!parent || n == 0 || n > 255) return 0;
  if (find_child(img, parent, name, n) != 0) return 0;
  bool comp;
  std::string stored = hive_encode_name(name, n, &comp);
  uint32_t c = alloc_cell(img, parent, NK_NAME + (uint32_t)stored.size());
  if (!c) return 0;
  wr16(img, c, 0, HiveId('n', 'k'));
  wr16(img, c, NK_FLAGS, comp ? NK_COMP_NAME : 0);
  now_filetime(hive_write_at(img, c + 4 + NK_TIME, 8));
  wr32(img, c, NK_PARENT, hive_rel(parent));
  wr32(img, c, NK_INDEX, HIVE_NONE);
  wr32(img, c, NK_VINDEX, HIVE_NONE);
  wr32(img, c, NK_VALLIST, HIVE_NONE);
  wr32(img, c, NK_SECURITY, rd32(img, parent, NK_SECURITY));
  wr32(img, c, NK_CLASS, HIVE_NONE);
  wr32(img, c, NK_WORKVAR, HIVE_NONE);
  wr16(img, c, NK_NAMELEN, (uint16_t)stored.size());
  memcpy(hive_write_at(img, c + 4 + NK_NAME, (uint32_t)stored.size()), stored.data(),
         stored.size());
  if (!index_insert(img, parent, hive_rel(c), name, n)) {
    free_cell(img, c);
    return 0;
  }
  security_ref(img, c, +1);
  wr32(img, parent, NK_SUBCOUNT, rd32(img, parent, NK_SUBCOUNT) + 1);
  max_field(img, parent, NK_MAXNAME, (uint32_t)n * 2);
  hive_mark_dirty(img);
  return c + 4;
}

uint32_t rename_key(HiveImage* img, uint32_t parentKeyOff, const wchar_t* oldName,
                    const wchar_t* newName) {
  uint32_t parent = key_cell_of(img, parentKeyOff);
  size_t no = wlen(oldName), nn = wlen(newName);
  if (!parent || no == 0 || nn == 0 || nn > 255) return 0;
  if (hive_compare_wide(oldName, no, newName, nn) == 0) return 0;
  int64_t found = find_child(img, parent, oldName, no);
  if (found <= 0 || find_child(img, parent, newName, nn) != 0) return 0;
  uint32_t old = (uint32_t)found;
  bool comp;
  std::string stored = hive_encode_name(newName, nn, &comp);
  auto set_name = [&](uint32_t c, const std::string& s, bool cmp) {
    uint16_t f = rd16(img, c, NK_FLAGS);
    wr16(img, c, NK_FLAGS, cmp ? (f | NK_COMP_NAME) : (f & ~NK_COMP_NAME));
    wr16(img, c, NK_NAMELEN, (uint16_t)s.size());
    memcpy(hive_write_at(img, c + 4 + NK_NAME, (uint32_t)s.size()), s.data(), s.size());
  };
  if (hive_record_size(img, old) >= NK_NAME + stored.size()) {
    HiveName on = nk_name(img, old);
    std::string oldStored((const char*)on.p, on.bytes);
    bool oldComp = on.compressed;
    if (!index_remove(img, parent, hive_rel(old))) return 0;
    set_name(old, stored, comp);
    if (!index_insert(img, parent, hive_rel(old), newName, nn)) {
      set_name(old, oldStored, oldComp);
      std::wstring w = hive_name_to_wide(nk_name(img, old));
      index_insert(img, parent, hive_rel(old), w.c_str(), w.size());
      return 0;
    }
    max_field(img, parent, NK_MAXNAME, (uint32_t)nn * 2);
    hive_mark_dirty(img);
    return old + 4;
  }
  uint32_t c = alloc_cell(img, old, NK_NAME + (uint32_t)stored.size());
  if (!c) return 0;
  memcpy(hive_write_at(img, c + 4, NK_NAME), img->buffer + old + 4, NK_NAME);
  set_name(c, stored, comp);
  if (!index_insert(img, parent, hive_rel(c), newName, nn)) {
    free_cell(img, c);
    return 0;
  }
  index_remove(img, parent, hive_rel(old));
  // children point at their parent's cell
  uint32_t li = 0, slot = 0;
  HiveSubkey sk;
  while (next_subkey(img, c + 4, &li, &slot, &sk) == 1) wr32(img, sk.cell, NK_PARENT, hive_rel(c));
  free_cell(img, old);
  max_field(img, parent, NK_MAXNAME, (uint32_t)nn * 2);
  hive_mark_dirty(img);
  return c + 4;
}

int del_key(HiveImage* img, uint32_t parentKeyOff, const wchar_t* name) {
  uint32_t parent = key_cell_of(img, parentKeyOff);
  size_t n = wlen(name);
  if (!parent || n == 0) return 1;
  int64_t child = find_child(img, parent, name, n);
  if (child <= 0) return 1;
  return del_key_cell(img, parent, (uint32_t)child);
}

int del_key_tree(HiveImage* img, const wchar_t* name, uint32_t parentKeyOff) {
  uint32_t parent = key_cell_of(img, parentKeyOff);
  size_t n = wlen(name);
  if (!parent || n == 0) return -1;
  int64_t child = find_child(img, parent, name, n);
  if (child <= 0) return -1;
  if (!delete_subtree(img, (uint32_t)child, 0)) return 1;
  return del_key_cell(img, parent, (uint32_t)child);
}

uint32_t key_full_path(HiveImage* img, uint32_t keyOff, wchar_t* out, uint32_t capacity) {
  if (!out || capacity == 0) return 0;
  if (capacity > 4096) capacity = 4096;
  uint32_t cell = key_cell_of(img, keyOff);
  std::wstring path;
  bool cut = false;
  for (int depth = 0; cell && cell != img->rootOffset && depth <= (int)HIVE_MAX_DEPTH; depth++) {
    std::wstring name = hive_name_to_wide(nk_name(img, cell));
    if (path.size() + name.size() + 1 > capacity - 6) {
      cut = true;
      break;
    }
    path = L"\\" + name + path;
    cell = nk_cell(img, rd32(img, cell, NK_PARENT));
  }
  if (cut) path = L"(...)" + path;
  if (path.size() >= capacity) path.resize(capacity - 1);
  memcpy(out, path.c_str(), (path.size() + 1) * sizeof(wchar_t));
  return (uint32_t)path.size();
}
