// Extended combo boxes, tabs and toolbars, and the hex-digit filter of
// combo boxes.
#pragma once
#include <windows.h>

// Replaces every `from` in the text by `to`, in place.
void ReplaceCharInString(wchar_t* text, wchar_t from, wchar_t to);

// The edit field's text (260 characters at most) with its image.
void ComboExSetEditItem(HWND combo, const wchar_t* text, int image);
// The item's text into `out` (360 characters) when given; returns its image.
int ComboExGetItem(HWND combo, int item, wchar_t* out);
int ComboExGetItemIndent(HWND combo, int item);
LPARAM ComboExGetItemParam(HWND combo, int item);
// Appends an item; returns its index.
int ComboExAppendItem(HWND combo, const wchar_t* text, int image, int indent, LPARAM param);

// Inserts a tab whose image index is its position.
int TabInsertItem(HWND tab, int position, const wchar_t* text);

void ToolbarSetButtonText(HWND toolbar, int commandId, const wchar_t* text);

// Removes every character but 0-9, A-F, a-f from the combo's edit text (or,
// when that is empty, from its selected item's text) and keeps the edit
// selection where it was. Returns the remaining length.
int KeepHexDigitsInCombo(HWND combo);
