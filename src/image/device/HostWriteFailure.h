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
// The same for the host file at path, as the command names it.
void NoteHostWriteFailure(const std::wstring& path, DWORD error);
// A file made under a temporary name (which takes its name when whole) is
// named as the file it becomes in the failures noted while it is made.
void NoteMadeUnder(const std::wstring& temporary, const std::wstring& name);
void ForgetMadeUnder(const std::wstring& temporary);
// A command that was to write the host file `target` (whole, or made under
// a temporary name that takes its name at the end) failed to: the failure
// noted on the way (a write to the temporary, a full disk) is given as the
// target's, with its error; without one, the target's failure is `error`
// (0: none is noted, and the command's own line stands).
// The command line then names the target: "Could not write TARGET (error
// N: ...)". One helper for every command that writes a host file.
void NoteTargetWriteFailure(const std::wstring& target, DWORD error);
// The failure noted since the last call (the path as the system names the
// file), and forgets it: false when there was none.
bool TakeHostWriteFailure(std::wstring* path, DWORD* error);
// Prints the line that names the noted failure's host file and error
// ("Could not write FILE (error 112: ...)"), once for each failure noted:
// what failed above it (a volume file's write) is the host's failure, and
// is told as such. True when such a line was printed, now or before.
bool TellHostWriteFailure();
