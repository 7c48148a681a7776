// A DiskIoBlock over a plain disk-image file, for testing the NTFS glue
// without the sector-device stack. Kept free of <windows.h>.
#pragma once
#include <string>
#include "image/device/DiskIoBlock.h"

// Null when the file cannot be opened.
DiskIoBlock* OpenFileBlock(const std::wstring& path, bool writable);
void CloseFileBlock(DiskIoBlock* block);
// Counts of callback calls, to see that data moves in big runs.
struct FileBlockStats {
  unsigned long reads;
  unsigned long writes;
  unsigned long long bytesRead;
};
FileBlockStats GetFileBlockStats(DiskIoBlock* block);
