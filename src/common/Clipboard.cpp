#include "common/Clipboard.h"

#include <windows.h>

#include <cstring>

int CopyTextToClipboard(const wchar_t* text, int length) {
  if (!text || length < 0) return 0;
  if (!OpenClipboard(nullptr)) return 0;
  int ok = 0;
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, 2 * static_cast<SIZE_T>(length) + 2);
  if (block) {
    if (wchar_t* p = static_cast<wchar_t*>(GlobalLock(block))) {
      memcpy(p, text, 2 * static_cast<size_t>(length));
      p[length] = 0;
      GlobalUnlock(block);
      if (EmptyClipboard() && SetClipboardData(CF_UNICODETEXT, block)) ok = 1;
    }
    if (!ok) GlobalFree(block);  // the clipboard owns it only after SetClipboardData
  }
  CloseClipboard();
  return ok;
}
