// Shell item-id lists: items that each begin with a 16-bit little-endian size
// counting its own two bytes, ended by a 16-bit zero.
#pragma once
#include <windows.h>
#include <shtypes.h>

// The last item (the list itself when it is empty or null).
LPCITEMIDLIST ItemIdListLast(LPCITEMIDLIST list);

// Bytes of the items without the terminator; 0 for null or empty.
UINT ItemIdListSize(LPCITEMIDLIST list);

// A copy with its terminator, from CoTaskMemAlloc (free with CoTaskMemFree);
// null for a null list or when allocation fails.
LPITEMIDLIST ItemIdListClone(LPCITEMIDLIST list);
