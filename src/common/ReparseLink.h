// Symbolic links and junctions on host volumes, read and made through their
// reparse data.
#pragma once
#include <windows.h>

constexpr DWORD kReparseTagSymlink = 0xA000000C;   // IO_REPARSE_TAG_SYMLINK
constexpr DWORD kReparseTagJunction = 0xA0000003;  // IO_REPARSE_TAG_MOUNT_POINT

// True for a folder entry that is a junction or directory symbolic link: tree
// walks remove or copy such an entry as a link and never descend into it.
bool IsDirectoryLink(DWORD attributes);

// The tag (kReparseTagSymlink or kReparseTagJunction) when `path` is such a
// link with data, else 0. `target` (kPathChars characters) receives the
// substitute name without a leading "\??\". Every offset in the reparse data
// is checked against the bytes the volume returned.
DWORD ReadReparseTarget(const wchar_t* path, wchar_t* target);

// Makes `path` a symbolic link or junction (by `tag`) to `target`. A junction,
// and a symbolic link whose target is an existing folder, is made on a new
// folder, any other link on a new file. With `failIfExists` the link is made
// only when nothing is at `path`; otherwise an existing link, file or empty
// folder there is replaced. On failure only what this call created is
// removed. Nonzero on success.
BOOL CreateReparseLink(const wchar_t* path, const wchar_t* target, DWORD tag, BOOL failIfExists);
