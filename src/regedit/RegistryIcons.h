// The registry editor's own drawn icons: closed and open key, string-like and
// binary-like value, and the editor's window icon.
#pragma once
#include <windows.h>
#include <commctrl.h>

enum RegistryIconKind {
  REG_ICON_KEY_CLOSED,
  REG_ICON_KEY_OPEN,
  REG_ICON_VALUE_STRING,
  REG_ICON_VALUE_BINARY,
  REG_ICON_EDITOR,
};

// A new icon of `size` x `size` pixels (32-bit with mask); the caller
// destroys it. Null when the drawing surfaces cannot be made.
HICON MakeRegistryIcon(RegistryIconKind kind, int size);

// A 16 x 16 32-bit masked image list of the given icons in order.
HIMAGELIST MakeRegistryImageList(const RegistryIconKind* kinds, int count);
