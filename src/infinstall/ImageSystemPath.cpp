// File names of the offline Windows as volume paths of the image.
#include "infinstall/InfInstaller.h"

#include <wchar.h>

#include <string>

#include "common/PathUtil.h"
#include "image/mount/MountedImage.h"

namespace {

enum class Base { WindowsFolder, Root };

struct SystemPrefix {
  const wchar_t* text;
  Base base;
  bool keepWhole;  // the whole source is joined, prefix included
};

// Tried in this order; the first match decides.
const SystemPrefix kPrefixes[] = {
    {L"%SystemRoot%", Base::WindowsFolder, false}, {L"%SystemDrive%", Base::Root, false},
    {L"system32", Base::WindowsFolder, true},      {L"\\SystemRoot", Base::WindowsFolder, false},
    {L"SysWOW64", Base::WindowsFolder, true},      {L"%windir%", Base::WindowsFolder, false},
};

}  // namespace

int ExpandImageSystemPath(const wchar_t* source, wchar_t* out, int outChars, CMountedImage* image) {
  if (!out || outChars <= 0) return 0;
  out[0] = 0;
  if (!source) return 0;
  if (*source == L'@') ++source;
  // A whole path of the NT namespace: its drive is the volume.
  if (_wcsnicmp(source, L"\\??\\", 4) == 0 && source[4] && source[5] == L':') {
    lstrcpynW(out, source + 6, outChars);
    return 1;
  }
  int result = 0;
  for (const SystemPrefix& p : kPrefixes) {
    size_t n = wcslen(p.text);
    if (_wcsnicmp(source, p.text, n) != 0) continue;
    if (p.base == Base::Root) {
      lstrcpynW(out, L"\\", outChars);
    } else if (!image || !image->FindWindowsDirectory(out, outChars)) {
      out[0] = 0;
    }
    AppendPathPart(out, outChars, p.keepWhole ? source : source + n);
    result = 1;
    break;
  }
  if (!result) lstrcpynW(out, source, outChars);
  if (out[0] && out[1] == L':') memmove(out, out + 2, (wcslen(out + 2) + 1) * sizeof(wchar_t));
  return result;
}

std::wstring KernelImagePath(const std::wstring& binary, CMountedImage* image) {
  if (binary.size() < 3 || binary[1] != L':' || binary[2] != L'\\') return binary;
  // One backslash between the names ("C:\" of the root joined to a name
  // gives two).
  std::wstring path;
  for (wchar_t c : binary)
    if (c != L'\\' || path.empty() || path.back() != L'\\') path += c;
  wchar_t windows[kPathChars];
  if (image && (path[0] == L'C' || path[0] == L'c') &&
      image->FindWindowsDirectory(windows, kPathChars) && windows[0] == L'\\' && windows[1]) {
    const size_t n = wcslen(windows);
    if (path.size() > n + 3 && _wcsnicmp(path.c_str() + 2, windows, n) == 0 &&
        path[n + 2] == L'\\') {
      // Below the Windows folder the kernel starts from it: a name that
      // does not begin with a backslash is taken below \SystemRoot.
      const std::wstring below = path.substr(n + 3);
      if (_wcsnicmp(below.c_str(), L"System32\\", 9) == 0) return below;
      return L"\\SystemRoot\\" + below;
    }
  }
  return L"\\??\\" + path;
}
