// A page dialog put into its parent's frame.
#pragma once
#include <windows.h>

// The frame control of a page's parent.
constexpr int kPageFrameControl = 1018;

// Moves the page over its parent's control 1018: 2 pixels right of its left,
// `topMargin` (at 100 % scale) below its top, 6 pixels narrower, down to
// `bottomMargin` above the parent's client bottom. Does not repaint.
void PlaceChildPage(HWND page, int topMargin, int bottomMargin);
