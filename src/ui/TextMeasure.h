// Text extents in a font, measured in the screen's device context.
#pragma once
#include <windows.h>

// Width and height of the text (lines break only at line breaks).
void MeasureTextRect(HFONT font, const wchar_t* text, int* width, int* height);

// Height of one line of the text.
int MeasureTextLine(HFONT font, const wchar_t* text);
