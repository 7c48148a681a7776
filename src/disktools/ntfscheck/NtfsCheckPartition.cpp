#include <windows.h>
#include <stdarg.h>
#include <stdio.h>

#include <string>

#include "common/ConsoleOutput.h"
#include "disktools/ntfscheck/NtfsCheck.h"
#include "image/mount/MountedImage.h"
#include "image/ntfs/check/NtfsCheck.h"

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

void PrintNotNtfsLog(CMountedImage* image, const wchar_t* done) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  wchar_t stamp[32];
  _snwprintf(stamp, 32, L"%04d-%02d-%02d %02d:%02d:%02d:", now.wYear, now.wMonth, now.wDay,
             now.wHour, now.wMinute, now.wSecond);
  stamp[31] = 0;
  WriteCommandLine(std::wstring(stamp) + image->ImagePath() + L": The volume is not NTFS (" +
                   (image->FatVolume() ? L"FAT or exFAT" : L"none mounted") + L"): nothing was " +
                   done + L".\n");
}

int CheckNtfsPartition(CMountedImage* image) {
  if (!image) return 0;
  if (!image->NtfsVolume()) {
    PrintNotNtfsLog(image, L"checked");
    return 0;
  }
  return CheckNtfsVolume(image->NtfsVolume(), PrintCheckLog);
}
