// Making a file's name durable: a name made, renamed or removed reaches the
// disk with its folder, which a flush of the file itself does not write.
#pragma once

// Flushes the folder that holds `path` (the current folder when the path
// names none). True when flushed, or when the host file system takes no
// flush of a folder (it keeps names its own way); false, with the error
// set, when the folder could not be opened or its flush failed.
bool FlushFolderOf(const wchar_t* path);
