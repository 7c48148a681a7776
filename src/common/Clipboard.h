// Plain text to the clipboard.
#pragma once

// Puts `length` UTF-16 characters of `text` on the clipboard as
// CF_UNICODETEXT (no owner window). 1 on success, 0 otherwise.
int CopyTextToClipboard(const wchar_t* text, int length);
