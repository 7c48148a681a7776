#include <windows.h>
#include <stdarg.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "common/ConsoleOutput.h"
#include "disktools/ntfscheck/NtfsCheck.h"
#include "image/mount/FatVolume.h"
#include "image/mount/MountedImage.h"
#include "image/ntfs/NtfsVolume.h"
#include "image/ntfs/check/NtfsCheck.h"
#include "image/stack/OverlayNotice.h"

void PrintCheckLog(const char* format, ...) {
  char line[1024];
  SYSTEMTIME now;
  GetLocalTime(&now);
  int n = _snprintf(line, sizeof line, "%04d-%02d-%02d %02d:%02d:%02d:", now.wYear, now.wMonth,
                    now.wDay, now.wHour, now.wMinute, now.wSecond);
  va_list args;
  va_start(args, format);
  int m = _vsnprintf(line + n, sizeof line - n, format, args);
  va_end(args);
  line[sizeof line - 1] = 0;
  DWORD length = m < 0 || n + m >= (int)sizeof line ? (DWORD)sizeof line - 1 : DWORD(n + m);
  WriteCommandLineA(line, length);
}

// A line of the check with a name in it.
static void PrintCheckLine(const std::wstring& text) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  wchar_t stamp[32];
  _snwprintf(stamp, 32, L"%04d-%02d-%02d %02d:%02d:%02d:", now.wYear, now.wMonth, now.wDay,
             now.wHour, now.wMinute, now.wSecond);
  stamp[31] = 0;
  WriteCommandLine(stamp + text + L"\n");
}

void PrintNotNtfsLog(CMountedImage* image, const wchar_t* done) {
  PrintCheckLine(image->ImagePath() + L": The volume is not NTFS (" +
                 (image->FatVolume() ? L"FAT or exFAT" : L"none mounted") + L"): nothing was " +
                 done + L".");
}

int CheckNtfsPartition(CMountedImage* image) {
  if (!image) return 0;
  if (!image->NtfsVolume()) {
    // Of an exFAT volume the names are checked: entry sets that fail their
    // check keep writers out of their folders.
    CFatVolume* fat = image->FatVolume();
    std::vector<std::wstring> findings;
    if (fat && fat->FindDamagedNames(&findings)) {
      for (const std::wstring& line : findings) PrintCheckLine(line);
    } else if (fat) {
      PrintCheckLog("The folders of the volume could not all be read (error %lu).\n",
                    GetLastError());
    }
    if (fat && fat->FileSystemType() == FAT_TYPE_EXFAT)
      PrintCheckLine(image->ImagePath() +
                     L": The volume is exFAT: only its names and entry sets were checked.");
    else
      PrintNotNtfsLog(image, L"checked");
    return 0;
  }
  // The disk holds the volume as a hibernated Windows left it, its session
  // in hiberfil.sys, or with a journal Windows left unclean: the check
  // reads the disk, and tells that nothing may be written there.
  if (IsNtfsHibernated(image->NtfsVolume()))
    VroOverlayNotice(image->ImagePath().c_str(), VRO_NOTICE_HIBERNATED);
  else if (IsNtfsJournalUnclean(image->NtfsVolume(), true))
    VroOverlayNotice(image->ImagePath().c_str(), VRO_NOTICE_UNCLEAN_SHUTDOWN);
  return CheckNtfsVolume(image->NtfsVolume(), PrintCheckLog);
}
