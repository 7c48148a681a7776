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

namespace {

// A path with one backslash between its names ("C:\" of the root joined
// to a name gives two).
std::wstring SingleSeparators(const std::wstring& path) {
  std::wstring out;
  for (wchar_t c : path)
    if (c != L'\\' || out.empty() || out.back() != L'\\') out += c;
  return out;
}

// Where the part below the image's Windows folder begins in a path on drive
// C: (the offset of the backslash after the folder's name), npos when the
// path lies outside it.
size_t BelowWindowsFolder(const std::wstring& path, CMountedImage* image) {
  wchar_t windows[kPathChars];
  if (!image || (path[0] != L'C' && path[0] != L'c') ||
      !image->FindWindowsDirectory(windows, kPathChars) || windows[0] != L'\\' || !windows[1])
    return std::wstring::npos;
  const size_t n = wcslen(windows);
  if (path.size() > n + 3 && _wcsnicmp(path.c_str() + 2, windows, n) == 0 && path[n + 2] == L'\\')
    return n + 2;
  return std::wstring::npos;
}

bool IsDrivePath(const std::wstring& path) {
  return path.size() >= 3 && path[1] == L':' && path[2] == L'\\';
}

}  // namespace

std::wstring KernelImagePath(const std::wstring& binary, CMountedImage* image) {
  if (!IsDrivePath(binary)) return binary;
  const std::wstring path = SingleSeparators(binary);
  const size_t below = BelowWindowsFolder(path, image);
  if (below == std::wstring::npos) return L"\\??\\" + path;
  // Below the Windows folder the kernel starts from it: a name that does
  // not begin with a backslash is taken below \SystemRoot.
  const std::wstring inside = path.substr(below + 1);
  if (_wcsnicmp(inside.c_str(), L"System32\\", 9) == 0) return inside;
  return L"\\SystemRoot\\" + inside;
}

std::wstring ServiceProgram(const std::wstring& binary, size_t* arguments) {
  size_t end = binary.size();
  if (!binary.empty() && binary[0] == L'"') {
    const size_t close = binary.find(L'"', 1);
    if (close != std::wstring::npos) {
      if (arguments) *arguments = close + 1;
      return binary.substr(1, close - 1);
    }
  }
  for (size_t at = 0; (at = binary.find(L'.', at)) != std::wstring::npos; ++at)
    if (_wcsnicmp(binary.c_str() + at, L".exe", 4) == 0 &&
        (at + 4 == binary.size() || binary[at + 4] == L' ' || binary[at + 4] == L'\t')) {
      end = at + 4;
      break;
    }
  if (arguments) *arguments = end;
  return binary.substr(0, end);
}

std::wstring ServiceCommandLine(const std::wstring& binary, CMountedImage* image) {
  size_t arguments = 0;
  std::wstring program = ServiceProgram(binary, &arguments);
  if (!IsDrivePath(program)) return binary;
  program = SingleSeparators(program);
  const size_t below = BelowWindowsFolder(program, image);
  if (below != std::wstring::npos) program = L"%SystemRoot%" + program.substr(below);
  // Unquoted, the service control manager would start the part before the
  // first blank.
  if (program.find_first_of(L" \t") != std::wstring::npos) program = L"\"" + program + L"\"";
  return program + binary.substr(arguments);
}
