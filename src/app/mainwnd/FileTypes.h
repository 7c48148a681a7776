// The file-type groups: every file name gets the icon group of its
// extension, which is also its item image in the pane lists.
#pragma once

// Item images of both pane lists.
constexpr int kItemDrive = 0;      // a drive or "::{UEFI}"
constexpr int kItemFolder = 1;     // a folder or ".."
constexpr int kItemPlainFile = 2;  // a file of no known type
constexpr int kFirstFileGroup = 3;
constexpr int kLastFileGroup = 18;

// The group (3..18) of the text after the last '.' of the name's file-name
// part, compared without regard to case; 2 for no extension or an unknown one.
int ClassifyFileType(const wchar_t* name);
