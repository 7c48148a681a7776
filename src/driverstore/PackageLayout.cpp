#include "driverstore/PackageLayout.h"

#include <windows.h>

#include <vector>

#include "common/IniSection.h"
#include "common/PathUtil.h"
#include "common/TextOps.h"

namespace {

// The comma-separated fields of an entry as Windows reads them, comment cut.
std::vector<std::wstring> Fields(std::wstring text) {
  text.push_back(0);
  CutIniComment(&text[0]);
  return SplitInfValue(text.c_str());
}

// Parts joined by single backslashes, empty ones left out; a part's
// leading separator is dropped (the media's root is the INF's folder).
std::wstring JoinParts(std::initializer_list<std::wstring> parts) {
  std::wstring path;
  for (const std::wstring& part : parts) {
    const wchar_t* p = part.c_str();
    if (IsPathSeparator(*p)) ++p;
    if (!*p) continue;
    if (!path.empty()) path += L"\\";
    path += p;
  }
  return path;
}

std::wstring Expanded(const std::wstring& text) {
  return SubstituteInfReferences(text.substr(0, kPathChars - 1)).substr(0, kPathChars - 1);
}

}  // namespace

PackageLayout::PackageLayout(const wchar_t* infPath, uint32_t arch)
    : m_inf(infPath ? infPath : L""),
      m_decoration(arch == 64   ? L".amd64"
                   : arch == 86 ? L".x86"
                                : L"") {}

std::wstring PackageLayout::Entry(const wchar_t* section, const std::wstring& key) const {
  std::wstring value;
  if (!m_decoration.empty())
    value = ReadIniValue(m_inf.c_str(), (section + m_decoration).c_str(), key.c_str(), true);
  if (value.empty()) value = ReadIniValue(m_inf.c_str(), section, key.c_str(), true);
  return value;
}

void PackageLayout::Parts(const std::wstring& name, std::wstring& disk,
                          std::wstring& subfolder) const {
  const std::vector<std::wstring> file = Fields(Entry(L"SourceDisksFiles", name));
  subfolder = file.size() > 1 ? file[1] : L"";
  const std::vector<std::wstring> names =
      Fields(Entry(L"SourceDisksNames", file[0].empty() ? L"1" : file[0]));
  disk = names.size() > 3 ? names[3] : L"";
}

std::wstring PackageLayout::SourcePath(const std::wstring& name) const {
  std::wstring disk, subfolder;
  Parts(name, disk, subfolder);
  if (name.empty() || IsPathSeparator(name[0])) return L"";
  return ContainedFileName(JoinParts({Expanded(disk), Expanded(subfolder), name}).c_str());
}

std::wstring PackageLayout::WrittenPath(const std::wstring& name) const {
  std::wstring disk, subfolder;
  Parts(name, disk, subfolder);
  return JoinParts({disk, subfolder, name});
}
