// Making a file's name durable: a name made, renamed or removed reaches the
// disk with its folder, which a flush of the file itself does not write.
#pragma once
#include <windows.h>

// Flushes the folder that holds `path` (the current folder when the path
// names none). True when flushed, or when the host file system takes no
// flush of a folder (it keeps names its own way); false, with the error
// set, when the folder could not be opened or its flush failed.
bool FlushFolderOf(const wchar_t* path);

// The host calls that change names and put them on the disk. Tests put in
// a source of their own that records them, or fails the one they choose
// (the device source of the image files is one, image/device).
class VroNameSource {
 public:
  virtual ~VroNameSource() {}
  // Puts the folder of path, with the names made, renamed or removed in
  // it, through to the disk: 0, or -1.
  virtual int FlushFolder(const wchar_t* path) { return FlushFolderOf(path) ? 0 : -1; }
  // Gives the file at `from` the name `to`, in place of a file there: 0, or
  // -1 with the error set.
  virtual int RenameFile(const wchar_t* from, const wchar_t* to) {
    return MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? 0 : -1;
  }
};

// Installs a source (null restores the system's) and returns the one in
// use before.
VroNameSource* VroSetNameSource(VroNameSource* source);
VroNameSource* VroGetNameSource();

// The folder of `path` flushed through the source in use: true when done.
bool FlushNameOf(const wchar_t* path);

// Every rename the program keeps goes through here: the file at `from`
// takes the name `to` (in place of a file there) and the folder is
// flushed, so the name stays after a power loss. *renamed (when given)
// tells whether the name changed: a failed flush leaves it changed.
// True when both were done; false with the error set.
bool RenameDurably(const wchar_t* from, const wchar_t* to, bool* renamed = nullptr);
