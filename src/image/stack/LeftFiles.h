// Files a run makes beside an image under a name of their own until they
// are whole: a new update or write-back file ("FILE.new", renamed to FILE
// when its command is kept) and a journal before its name
// ("FILE.journal.new"). A run cut off leaves them; the next open of the
// image removes each one whose maker is gone (a maker at work holds it open
// without sharing its removal) and that this program made, and names the
// others of such a name in a line, leaving them as they are. A file of
// the journal's name that is not this program's keeps every writer out of
// the image beside it: the journal is never made over it.
#pragma once
#include <string>

enum VroLeftFile {
  VRO_LEFT_NONE,       // no file of that name
  VRO_LEFT_REMOVED,    // one a cut-off run left: removed, with a line
  VRO_LEFT_IN_MAKING,  // one a maker at work holds: left, no line
  VRO_LEFT_NOT_OURS    // one this program did not make (or cannot remove): named, left
};

// A maker at work holds the file at `left` (nothing is changed or said).
bool VroLeftFileInMaking(const std::wstring& left);
// The file at `left`, of the name a run gives an overlay it makes
// (journalOf null), or the journal of the file journalOf. A file named in
// a line is named once between two calls of VroLeftFilesRoundBegins (an
// image opened twice by one command).
int VroSettleLeftFile(const std::wstring& left, const std::wstring* journalOf);
// Those an open of the image file `path` meets: path.new, its journal's
// new name, update files of path being made (path_NN.Upd.new), and
// write-back files being made beside it (*.Fix.new). False when a file
// that is not this program's has its journal's new name: nothing may
// write path while it lies there.
bool VroSettleLeftFilesOf(const std::wstring& path);
// The lines of the files named so far are not held back from the next
// open of a chain (unless a command's round is in force on the thread).
void VroLeftFilesRoundBegins();
// While one lives, its thread's opens are one round: a command that opens
// a file several times (to look at it, then to work on it) names each
// left file once, and gives each line about a file (VroOverlayNotice) once.
class VroLeftFilesCommandRound {
 public:
  VroLeftFilesCommandRound();
  ~VroLeftFilesCommandRound();
  VroLeftFilesCommandRound(const VroLeftFilesCommandRound&) = delete;
  VroLeftFilesCommandRound& operator=(const VroLeftFilesCommandRound&) = delete;
};
// Within a command round of the thread: whether this line (file, kind and
// the file it names) was given in it already; it counts as given from now
// on. False outside a round.
bool VroLineToldInCommand(const wchar_t* path, int kind, const wchar_t* other);
