// Temporary files on the host.
#pragma once

// Creates a new, empty, uniquely named file with `prefix` (GetTempFileNameW)
// in the first folder where that works: %TEMP%, the Windows folder's TEMP,
// the program's own folder, then X:\TEMP on each drive from C: on (each TEMP
// folder is created when missing). `out` (kPathChars characters) receives
// its path. Returns the file's unique number, 0 when no folder would do.
unsigned CreateTempFileName(wchar_t* out, const wchar_t* prefix);
