// The operations that change files from the main window: add, extract,
// drop and paste into either pane, delete, rename, new folder, and the merge
// of an update file into its image. Add, extract and merge run on worker
// threads; the others on the window's thread. All report in status part 0
// and move the progress bar in part 1; what one of them could not do is
// told at its end in one box (OperationFailures.h).
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

class CFileManagerDlg;

// Drop effects of a drop on a pane.
enum PaneDropEffect { kDropRefused = 0, kDropCopy = 1, kDropOpen = 4 };

// What one copy call of a worker reports: the progress bar it moves, and
// the files it could not copy (how many, the first one's error).
struct CopyWatch {
  HWND bar;
  int failed;
  DWORD error;
};

// The copy callback of every worker; user is its CopyWatch. Always goes on
// (the workers ask about existing targets before they copy).
DWORD CALLBACK ListCopyProgress(DWORD event, DWORD totalLow, DWORD totalHigh, DWORD doneLow,
                                DWORD doneHigh, DWORD stepLow, DWORD stepHigh, DWORD error,
                                void* user);

// A drop of host paths (one path, or a list ended by an empty string) on
// the image pane: "img", "upd" and "vfd" files open as the image (effect 4),
// anything else is copied in while an image is open (1); 0 refused. Without
// `perform` only the effect and its target name (for the drag feedback) come
// back. answer: the Yes/All/No answer shared across one drop.
DWORD DropIntoImagePane(HWND list, const wchar_t* paths, wchar_t* name, int nameSize,
                        CFileManagerDlg* window, BOOL perform, int* answer);
// The same on the host pane: items of the open image (paths beginning with
// "\") are extracted, host paths copied.
DWORD DropIntoHostPane(HWND list, const wchar_t* paths, wchar_t* name, int nameSize,
                       CFileManagerDlg* window, BOOL perform, int* answer);

// True, once its box has told why, when the open image's volume takes no
// writes (a dynamic VHD without its write-back file, a hibernated Windows,
// one whose journal Windows left unclean): an operation that would write
// asks this first and then does nothing.
bool RefusesImageWrites(CFileManagerDlg* window);

// Deletes the selected items but "..", "::{UEFI}" and empty names; returns
// how many went. The host side never follows a link into its target. The
// items that stay are told in one box, the first named with the system's
// reason.
int DeleteImageSelection(HWND list, CFileManagerDlg* window);
int DeleteHostSelection(HWND list, CFileManagerDlg* window);

// The end of a label edit (text null when cancelled): renames the item or,
// in new-folder mode, makes the folder, or says in a box why not. 1 keeps
// the new label.
int EndImageLabelEdit(CFileManagerDlg* window, HWND list, int item, const wchar_t* text);
int EndHostLabelEdit(CFileManagerDlg* window, HWND list, int item, const wchar_t* text);

// Asks, then merges the update file into the image on a worker thread with
// its percentage in the status bar.
void MergeUpdateIntoImage(CFileManagerDlg* window, const wchar_t* image, const wchar_t* update);

// Grows the partition of the window's image to megabytes MiB: true when it
// grew. *why gets the lines the grow gave (the cause of a refusal: the
// partition in the way, the disk's fixed size and the most it can take,
// ...), empty when it gave none.
bool GrowImagePartition(CFileManagerDlg* window, uint64_t megabytes, std::wstring* why);

// Ends a grow of the image's partition as one command: kept when it grew
// (true when that held), else taken back; the image stays open and held
// throughout, and the pane then shows it as it is (its size, the folder's
// rows) by the image bar's selection change, posted or sent.
bool EndImageResize(CFileManagerDlg* window, bool grown, BOOL post);

// The path list (each path NUL-ended, then an empty one) of a drop's files.
int CountPathList(const wchar_t* paths);
