// The view command of the main window and the search window: a file copied
// into a page-file section and shown in a new modeless viewer.
#pragma once
#include <windows.h>

class CWindow;
class CMountedImage;

// The largest file the viewer takes.
constexpr DWORD kViewLimitBytes = 1u << 30;

// Reads `path` (a path in the volume of `image`, or a host path when image
// is null) into a section of its size + 2 bytes and opens a viewer owned
// by `owner` showing it under `displayPath`. A file above kViewLimitBytes
// or a section that cannot be made shows string 204, a host file that
// cannot be opened string 226 with the error number. Returns the viewer's
// window, null when none was opened.
HWND ViewFile(CWindow* owner, CMountedImage* image, const wchar_t* path,
              const wchar_t* displayPath);
