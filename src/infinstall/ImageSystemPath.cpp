// File names of the offline Windows as volume paths of the image.
#include "infinstall/InfInstaller.h"

#include <wchar.h>

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
