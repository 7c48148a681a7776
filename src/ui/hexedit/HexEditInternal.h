// What the hex editor's files share.
#pragma once
#include "ui/hexedit/HexEdit.h"

namespace hexedit {

HexEditControl* FromWindow(HWND window);
// Font metrics and column positions from the record's font and flags.
void TakeMetrics(HexEditControl* r);
// Scroll range and position from the size and the top offset.
void UpdateScrollBar(HexEditControl* r);
// Caret pixels from the caret offset and pane; moves the system caret.
void PlaceCaret(HexEditControl* r);
// Scrolls so the caret's line is on the page.
void KeepCaretVisible(HexEditControl* r);
void Redraw(HexEditControl* r);
void Paint(HexEditControl* r);
// Moves the top by `lines` (clamped) and keeps the caret on the page.
void ScrollLines(HexEditControl* r, int lines);
int LineCount(const HexEditControl* r);
bool InHexPane(const HexEditControl* r);
// Replaces (with a selection) or inserts bytes at the caret.
void PutBytes(HexEditControl* r, const BYTE* bytes, int count);
void ShowContextMenu(HexEditControl* r, int x, int y);

}  // namespace hexedit
