// Resources of the program looked up by an explicit language: dialogs,
// menus, string tables and DATA texts exist in 2052, 1041 and 1042, and a
// lookup never leaves the choice of language to the platform.
#pragma once
#include <windows.h>

#include <cstdint>

// The module the resources come from: the program's own image unless the
// program set another (a host that mapped it).
HMODULE GetUiModule();
void SetUiModule(HMODULE module);

// A resource's bytes in `language`, else in 2052, else in any language.
// Null when the module has none; *size gets its length.
const void* FindUiResource(HMODULE module, LPCWSTR type, LPCWSTR name, LANGID language,
                           DWORD* size);

// String `id` in `language` into `out` (`outSize` characters, always
// terminated). Returns its length; 0 and an empty text when it is missing.
int LoadUiString(HMODULE module, UINT id, LANGID language, wchar_t* out, int outSize);

// As above, in the calling thread's UI language (GetThreadUiLanguage) from
// GetUiModule().
int LoadUiString(UINT id, wchar_t* out, int outSize);

// Menu `id` in `language` (LoadMenuIndirectW); the caller destroys it.
HMENU LoadUiMenu(HMODULE module, UINT id, LANGID language);

// FormatByteSize with the word for bytes (string IDS_BYTES_FORMAT) in the
// calling thread's UI language from GetUiModule().
void FormatUiByteSize(uint64_t size, wchar_t* out, int outSize = 32);
