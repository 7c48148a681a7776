// A control's text drawn as a highlighted link.
#pragma once
#include <windows.h>

// Removes every "<...>" tag in place; the text between tags stays.
void StripMarkupTags(wchar_t* text);

// Paints the control's text (tags stripped) in yellow on the highlight
// colour, in its parent's font underlined, into `target` at `at`.
void PaintLinkText(HWND control, HDC target, POINT at);
