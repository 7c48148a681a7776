// Where a new image goes (a backup, a conversion, a creation): a path that
// may hold an image already, which the new one replaces only once it is
// complete (common/ReplacedFile.h). The path is looked at before anything
// is done, and named when it cannot take the new image at the end.
#pragma once

class ReplacedFile;

enum NewImageTargetResult {
  NEW_IMAGE_TARGET_FAILED = 0,  // a line says why
  NEW_IMAGE_TARGET_OK = 1,
  NEW_IMAGE_TARGET_HELD = 2,    // another program holds the image there, or a merge into it is
                                // unfinished (a line says which)
};

// Whether a new image may take path: OK; HELD; FAILED when its folder is
// missing, or it is a folder, read-only or cannot be removed.
int CheckNewImageTarget(const wchar_t* path);

// Puts the complete new image `made` in path's place (its name flushed to
// the disk) and forgets the journal of the file it replaced. OK; else, with
// a line, HELD (another program took hold of the target while the image
// was made) or FAILED (the target is then as it was, unless only the flush
// of its folder failed).
int CommitNewImage(ReplacedFile& made, const wchar_t* path);
