// Key and section names of an INI or INF file, through the platform's profile
// functions.
#pragma once

// Every key name of [section] as a string list in a new block (free with
// delete[]); null when the section has no key or allocation fails. The block
// starts at the file's size (at most 65535) + 2 characters and grows until
// the whole list fits, so long sections are never cut.
wchar_t* GetIniSectionKeys(const wchar_t* section, const wchar_t* filePath);

// Every section name as a string list in a new block (an empty list when the
// file has none); null only when allocation fails.
wchar_t* GetIniSectionNames(const wchar_t* filePath);
