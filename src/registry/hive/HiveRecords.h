// Record layouts and checked accessors shared by the key and value
// operations (internal to the hive library).
#pragma once
#include <cstdint>

#include "registry/hive/HiveImage.h"
#include "registry/hive/HiveNames.h"

enum : uint32_t {
  NK_FLAGS = 0x02,
  NK_TIME = 0x04,
  NK_PARENT = 0x10,
  NK_SUBCOUNT = 0x14,
  NK_VSUBCOUNT = 0x18,
  NK_INDEX = 0x1C,
  NK_VINDEX = 0x20,
  NK_VALCOUNT = 0x24,
  NK_VALLIST = 0x28,
  NK_SECURITY = 0x2C,
  NK_CLASS = 0x30,
  NK_MAXNAME = 0x34,
  NK_MAXCLASS = 0x38,
  NK_MAXVALNAME = 0x3C,
  NK_MAXVALDATA = 0x40,
  NK_WORKVAR = 0x44,
  NK_NAMELEN = 0x48,
  NK_CLASSLEN = 0x4A,
  NK_NAME = 0x4C,
  NK_COMP_NAME = 0x20,
  VK_NAMELEN = 0x02,
  VK_DATALEN = 0x04,
  VK_DATA = 0x08,
  VK_TYPE = 0x0C,
  VK_FLAGS = 0x10,
  VK_NAME = 0x14,
  VK_COMP_NAME = 0x01,
  SK_FLINK = 0x04,
  SK_BLINK = 0x08,
  SK_REFCOUNT = 0x0C,
  HIVE_MAX_DEPTH = 512,
};

inline uint32_t rd32(HiveImage* img, uint32_t cell, uint32_t field) {
  return read_le32(img->buffer + cell + 4 + field);
}
inline uint16_t rd16(HiveImage* img, uint32_t cell, uint32_t field) {
  return read_le16(img->buffer + cell + 4 + field);
}
inline void wr32(HiveImage* img, uint32_t cell, uint32_t field, uint32_t v) {
  write_le32(hive_write_at(img, cell + 4 + field, 4), v);
}
inline void wr16(HiveImage* img, uint32_t cell, uint32_t field, uint16_t v) {
  write_le16(hive_write_at(img, cell + 4 + field, 2), v);
}

// Allocated cell holding a record with the id and at least min record bytes.
inline uint32_t typed_cell(HiveImage* img, uint32_t rel, uint16_t id, uint32_t min) {
  uint32_t c = hive_cell(img, rel);
  if (!c || hive_record_size(img, c) < min || read_le16(img->buffer + c + 4) != id) return 0;
  return c;
}

// Cell of a key record (checked: "nk", name inside the cell), or 0.
inline uint32_t nk_cell(HiveImage* img, uint32_t rel) {
  uint32_t c = typed_cell(img, rel, HiveId('n', 'k'), NK_NAME);
  if (c && hive_record_size(img, c) < NK_NAME + (uint32_t)rd16(img, c, NK_NAMELEN)) return 0;
  return c;
}
inline uint32_t key_cell_of(HiveImage* img, uint32_t keyOff) {
  if (keyOff == 0) return img->rootOffset;
  if (keyOff < HIVE_BASE_SIZE + 4) return 0;
  return nk_cell(img, keyOff - 4 - HIVE_BASE_SIZE);
}
inline uint32_t vk_cell(HiveImage* img, uint32_t rel) {
  uint32_t c = typed_cell(img, rel, HiveId('v', 'k'), VK_NAME);
  if (c && hive_record_size(img, c) < VK_NAME + (uint32_t)rd16(img, c, VK_NAMELEN)) return 0;
  return c;
}

// Name stored in a record: its length field, flags field and 8-bit flag.
inline HiveName record_name(HiveImage* img, uint32_t cell, uint32_t lenField, uint32_t flagsField,
                            uint16_t compFlag, uint32_t nameField) {
  HiveName n;
  n.p = img->buffer + cell + 4 + nameField;
  n.bytes = rd16(img, cell, lenField);
  n.compressed = (rd16(img, cell, flagsField) & compFlag) != 0;
  if (!n.compressed) n.bytes &= ~1u;
  return n;
}
inline HiveName nk_name(HiveImage* img, uint32_t cell) {
  return record_name(img, cell, NK_NAMELEN, NK_FLAGS, NK_COMP_NAME, NK_NAME);
}
inline HiveName vk_name(HiveImage* img, uint32_t cell) {
  return record_name(img, cell, VK_NAMELEN, VK_FLAGS, VK_COMP_NAME, VK_NAME);
}

// The empty name is the default value; "@" is a value of that name.
inline size_t value_name_len(const wchar_t* name) {
  if (!name) return 0;
  size_t n = 0;
  while (name[n]) n++;
  return n;
}

inline size_t wlen(const wchar_t* s) {
  size_t n = 0;
  while (s && s[n]) n++;
  return n;
}

void now_filetime(uint8_t* out8);
