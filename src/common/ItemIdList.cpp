#include "common/ItemIdList.h"

#include <objbase.h>

#include <cstring>

namespace {

USHORT ItemSize(const BYTE* item) {
  return static_cast<USHORT>(item[0] | (item[1] << 8));
}

}  // namespace

LPCITEMIDLIST ItemIdListLast(LPCITEMIDLIST list) {
  if (!list) return list;
  const BYTE* p = reinterpret_cast<const BYTE*>(list);
  const BYTE* last = p;
  for (USHORT n; (n = ItemSize(p)) >= 2; p += n) last = p;
  return reinterpret_cast<LPCITEMIDLIST>(last);
}

UINT ItemIdListSize(LPCITEMIDLIST list) {
  if (!list) return 0;
  const BYTE* p = reinterpret_cast<const BYTE*>(list);
  UINT total = 0;
  for (USHORT n; (n = ItemSize(p + total)) >= 2;) total += n;
  return total;
}

LPITEMIDLIST ItemIdListClone(LPCITEMIDLIST list) {
  if (!list) return nullptr;
  UINT size = ItemIdListSize(list);
  void* copy = CoTaskMemAlloc(size + 2);
  if (!copy) return nullptr;
  memcpy(copy, list, size);
  memset(static_cast<BYTE*>(copy) + size, 0, 2);
  return static_cast<LPITEMIDLIST>(copy);
}
