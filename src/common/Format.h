// Numbers, sizes and times as the user sees them.
#pragma once
#include <windows.h>

#include <cstdint>

// `bytesFormat` below 1 KiB (the number of bytes and the word for bytes in
// the window's language, with one %u; "%u B" when it has none), then
// "%u KB", "%u.%02u MB", "%u.%02u GB", "%u.%02u TB" with the hundredths
// truncated (1,572,863 bytes -> "1.49 MB"). `out` holds `outSize`
// characters (32 is always enough).
void FormatByteSize(uint64_t size, const wchar_t* bytesFormat, wchar_t* out, int outSize = 32);

// Thousands separated by ",": 1000 -> "1,000", 10^12 -> "1,000,000,000,000";
// from 10^15 on the first group has more than three digits. Returns the
// characters written (the text is cut at the buffer size).
int FormatThousands(wchar_t* out, int outSize, uint64_t value);

// A UTC file time as local "YYYY-MM-DD hh:mm:ss". Returns the characters
// written; 0 and an empty text when the time cannot be converted.
int FormatFileTime(wchar_t* out, int outSize, const FILETIME& utc);
