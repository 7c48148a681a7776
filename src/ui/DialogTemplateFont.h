// The font an extended dialog template names, as a LOGFONTW for a window:
// a window built from one language's template takes the font of another
// language's template when its language changes.
#pragma once
#include <windows.h>

// Reads the font of an extended template (version 1, signature 0xFFFF) of
// `size` bytes: lfHeight = -MulDiv(points, LOGPIXELSY of the window's DC,
// 72), the weight, italic flag, character set and face (cut at 31
// characters). 1 when the template has DS_SETFONT and names a face; 0 for
// any other template, which leaves `out` zeroed.
int ReadDialogTemplateFont(const void* tpl, DWORD size, HWND window, LOGFONTW* out);
