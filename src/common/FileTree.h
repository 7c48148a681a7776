// Whole folder trees on host volumes: deletion and copying. Junctions and
// directory symbolic links inside a tree are removed or copied as links and
// never followed, so deleting a staging folder can never reach what a link in
// it points to.
#pragma once
#include <windows.h>

// Deletes the files in `path` and, when `recursive`, its subfolders with
// everything below them, then the folder itself (or `path` when it is a
// file). A file that cannot be deleted for lack of access gets normal
// attributes and is tried once more. A link at `path` or inside it is
// removed as a link. Returns the number of files, folders and links removed;
// when something could not go, the last error is that of the first of them.
int DeleteTree(const wchar_t* path, BOOL recursive = TRUE);

// A file: CopyFileNoRedirect(source, target, overwrite), 1 on success else
// 0. A folder: the target folder is made and every file below copied
// (overwriting); a junction or directory symbolic link is made again as the
// same kind of link to the same target. Returns the number of files and links
// copied; anything else at `source` gives 0. Redirection stays off for the
// whole copy.
int CopyTreeNoRedirect(const wchar_t* source, const wchar_t* target);
