// A message box in the language of the window it belongs to.
#pragma once
#include <windows.h>

// Shows `text` with the caption of the owner's top-level window (its title
// is in the window's language), or the calling thread's "prompt" text
// (string 111) when there is no owner or it has no title. Returns what
// MessageBoxW returns.
int OwnerMessageBox(HWND owner, const wchar_t* text, UINT flags);
