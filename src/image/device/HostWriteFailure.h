// The first write or flush of a host file that failed (a full host disk, a
// file the system refuses to grow): which file and why, kept for the
// command that meets it, whose own failure may show only as a volume write
// that failed or a close that could not keep its work.
#pragma once
#include <windows.h>

#include <string>

// Notes a failed write or flush of the file behind the handle, unless one
// is noted already; the last error is kept.
void NoteHostWriteFailure(HANDLE file, DWORD error);
// The failure noted since the last call (the path as the system names the
// file), and forgets it: false when there was none.
bool TakeHostWriteFailure(std::wstring* path, DWORD* error);
// Prints the line that names the noted failure's host file and error
// ("Could not write FILE (error 112: ...)"), once for each failure noted:
// what failed above it (a volume file's write) is the host's failure, and
// is told as such. True when such a line was printed, now or before.
bool TellHostWriteFailure();
