// Key and value operations on a loaded hive. Key offsets are buffer offsets
// of "nk" records (cell + 4); 0 given to the walk means the root. The buffer
// may move on every change, so operations hand back offsets, not pointers.
// Value names are literal: the empty name is the default value, and "@" a
// value named "@" (as regedit writes them: @= and "@"=).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "registry/hive/HiveImage.h"
#include "registry/hive/RegTypes.h"

enum : uint32_t {
  WALK_EXACT = 0x80,
  WALK_LITERAL = 0x40,  // the whole path is one value name of the start key
  WALK_VALUE = 0x01,    // the walk ends at a value
};

inline uint32_t hive_root_key(const HiveImage* img) {
  return img->rootOffset + 4;
}

// Cell offset of the key or value found, 0 when missing or malformed.
uint32_t walk_key_path(HiveImage* img, uint32_t keyOff, const wchar_t* path, uint32_t flags);
// Key offset (record) of a key path, 0 when missing.
uint32_t find_key(HiveImage* img, uint32_t keyOff, const wchar_t* path);

struct HiveSubkey {
  uint32_t cell = 0;
  std::wstring name;
};
// 1 a child was yielded, 0 no more, -1 bad structure. Cursors start at 0.
int next_subkey(HiveImage* img, uint32_t keyOff, uint32_t* listIndex, uint32_t* riSlot,
                HiveSubkey* out);

struct HiveValue {
  uint32_t cell = 0;
  uint32_t type = 0;
  uint32_t length = 0;  // data length
  uint32_t dword = 0;   // REG_DWORD held in the record
  std::wstring name;    // empty for the default value
};
int next_value(HiveImage* img, uint32_t keyOff, uint32_t* index, HiveValue* out);

uint32_t key_subkey_count(HiveImage* img, uint32_t keyOff);
uint32_t key_value_count(HiveImage* img, uint32_t keyOff);

int64_t get_value_type(HiveImage* img, uint32_t keyOff, const wchar_t* name);
int64_t get_value_len(HiveImage* img, uint32_t keyOff, const wchar_t* name);
// The data (of a value no longer than one cell) inside the buffer, or null.
const uint8_t* get_value_data(HiveImage* img, uint32_t keyOff, const wchar_t* name,
                              uint32_t typeFilter);
// Whole data of a value into buf (its length field must be large enough) or
// into a new malloc'd buffer when buf is null; null when missing or broken.
RegValueBuf* copy_value_to_buf(HiveImage* img, RegValueBuf* buf, uint32_t keyOff,
                               const wchar_t* name, uint32_t typeFilter);
// The data of the value whose "vk" record is at vk (HiveValue::cell),
// without a lookup by name: a pointer into the buffer, or into scratch for
// big data; null with length 0 for empty or unreadable data.
const uint8_t* value_data_at(HiveImage* img, uint32_t vk, std::vector<uint8_t>* scratch,
                             uint32_t* length);
// Length written, 0x80000000 for empty data, 0 on failure.
uint32_t put_buf_to_value(HiveImage* img, const RegValueBuf* buf, uint32_t keyOff,
                          const wchar_t* name, uint32_t typeFilter);
uint32_t put_data_to_value(HiveImage* img, const void* data, uint32_t length, uint32_t keyOff,
                           const wchar_t* name, uint32_t typeFilter);
// Changes a value's type, its data as it is; false when the value is missing.
bool set_value_type(HiveImage* img, uint32_t keyOff, const wchar_t* name, uint32_t type);
uint32_t put_dword_value(HiveImage* img, uint32_t keyOff, const wchar_t* name, uint32_t value);
// Offset of the new "vk" record (the empty name adds the default value); 0
// when the name is null or exists, or on failure.
uint32_t add_value(HiveImage* img, uint32_t keyOff, const wchar_t* name, uint32_t type);
// 0 deleted, 1 failure.
int del_value(HiveImage* img, uint32_t keyOff, const wchar_t* name);
// Index in the value list, -1 when missing.
int find_value_index(HiveImage* img, uint32_t listCell, uint32_t count, const wchar_t* name);

// Offset of the new "nk" record; 0 when the key exists or on failure.
uint32_t add_key(HiveImage* img, uint32_t parentKeyOff, const wchar_t* name);
// Offset of the renamed key's "nk" record; 0 on failure.
uint32_t rename_key(HiveImage* img, uint32_t parentKeyOff, const wchar_t* oldName,
                    const wchar_t* newName);
// 0 deleted, 1 failure (still has values or subkeys, or malformed).
int del_key(HiveImage* img, uint32_t parentKeyOff, const wchar_t* name);
// del_key's result for the key itself; -1 when the name is empty or missing.
int del_key_tree(HiveImage* img, const wchar_t* name, uint32_t parentKeyOff);
// Backslash path of a key below the root; length in characters.
uint32_t key_full_path(HiveImage* img, uint32_t keyOff, wchar_t* out, uint32_t capacity);
// Name of a key (empty for a malformed one).
std::wstring key_name(HiveImage* img, uint32_t keyOff);
