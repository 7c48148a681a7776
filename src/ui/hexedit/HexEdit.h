// The hex editor: an existing child control (a rich-edit control in the
// dialogs that use it) whose whole client area shows an offset column, a hex
// column and a text column over a byte buffer. It selects, copies, cuts,
// pastes, inserts and deletes bytes, and is either read-only over the
// caller's buffer or edits its own copy. The record lives in the control's
// GWLP_USERDATA; the control is not a CWindow.
#pragma once
#include <windows.h>

// Which part of a line the caret is in.
enum HexEditPane {
  kHexPaneOffset = 0,
  kHexPaneText = 1,
  kHexPaneHigh = 2,  // hex column, high digit
  kHexPaneLow = 3,   // hex column, low digit
};

struct HexEditControl {
  BYTE* data;  // own copy, or the caller's buffer when read-only
  int size;
  int topOffset;       // first byte shown; a multiple of bytesPerLine
  int caretOffset;     // byte under the caret (size: after the last byte)
  int pane;            // HexEditPane
  int selectionStart;  // -1 when nothing is selected
  int selectionEnd;    // exclusive; -1 when none
  int bytesPerLine;
  int linesPerPage;
  BOOL readOnly;  // the data is the caller's: shown, never changed or freed
  BOOL showOffsets, showText, showHex;
  BOOL wideOffsets;  // 8 hex digits of offset, else 4
  HWND window;
  HFONT font;  // owned by the record
  int lineHeight;
  int charWidth;
  BOOL layoutChanged;  // metrics are taken again at the next paint
  int hexColumnX;
  int textColumnX;
  int caretX, caretY;
  WNDPROC previousProc;
};

// Commands of the context menu (menu 134).
constexpr UINT kHexCmdUndo = 32809, kHexCmdCut = 32810, kHexCmdCopy = 32811, kHexCmdPaste = 32812,
               kHexCmdDelete = 32813, kHexCmdSelectAll = 32814;

// Fills the record, gives the control the font ("Fixedsys" 12 when null),
// replaces its window procedure and stores the record in GWLP_USERDATA.
HexEditControl* AttachHexEdit(HexEditControl* record, HWND window, const BYTE* data, int size,
                              BOOL readOnly, int bytesPerLine, HFONT font);
// New data: the old buffer is freed unless it was the caller's; read-only
// keeps the caller's pointer, else the bytes are copied. Selection cleared,
// caret 0 in the high digit, top 0.
void SetHexEditData(HexEditControl* record, const BYTE* data, int size, BOOL readOnly,
                    int bytesPerLine);
// Deletes the font, frees the buffer unless read-only, restores the window
// procedure.
void DetachHexEdit(HexEditControl* record);
// DetachHexEdit, then frees the record (allocated with new); returns it for
// the caller to clear.
HexEditControl* DeleteHexEdit(HexEditControl* record);

void ResizeHexEdit(HexEditControl* record);
void SetHexEditFont(HexEditControl* record, HFONT font);
// Sets caret, pane and selection and scrolls the selection onto the page.
void SetHexEditSelection(HexEditControl* record, int caret, int pane, int start, int end);
// The offset of the pattern from `start` on, or -1.
int FindBytesInHexEdit(HexEditControl* record, int start, const BYTE* pattern, int length,
                       BOOL matchCase);
void OrderHexEditSelection(HexEditControl* record);
// Inserts `count` zero bytes at `offset`.
BOOL InsertHexEditBytes(HexEditControl* record, int offset, int count);
// Removes the bytes from the lower to (not including) the higher offset.
void DeleteHexEditRange(HexEditControl* record, int a, int b);
// Puts the selection on the clipboard ("BinaryData" and CF_TEXT).
BOOL CopyHexEditSelection(HexEditControl* record);
// Replaces the selection by, or inserts at the caret, the clipboard's bytes.
BOOL PasteHexEditClipboard(HexEditControl* record);

// Grays the items of the context menu's popup that do not apply now: Undo
// always; Cut, Paste and Delete when read-only; Cut, Copy and Delete without
// a selection; Paste without CF_TEXT or "BinaryData" on the clipboard; Select
// all when everything is selected.
void SetHexEditMenuState(const HexEditControl* record, HMENU popup);

// The text column's bytes of one line: control bytes, 7F, 80 and FF become
// '.', a lead byte 81-FE followed on the line by 40-FE keeps both bytes, a
// lead byte without one becomes '.'. `out` holds `count` bytes.
void FilterHexEditText(const BYTE* bytes, int count, char* out);

// The control's window procedure.
LRESULT CALLBACK HexEditWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
