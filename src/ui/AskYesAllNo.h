// A question box with the buttons Yes, All and No.
#pragma once
#include <windows.h>

constexpr int kAnswerAll = 12;

// Shows the question; returns IDYES (6), kAnswerAll (12) or IDNO (7). The
// buttons are labelled with strings 184, 186 and 185 in the calling thread's
// UI language.
int AskYesAllNo(HWND owner, const wchar_t* text, const wchar_t* caption);
