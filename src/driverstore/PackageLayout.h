// Where the files of a driver package lie below the folder of its INF: the
// [SourceDisksFiles] entry of a file ("name = disk[,subfolder[,size]]") and
// the [SourceDisksNames] entry of its disk ("disk = description,[tag],,path"),
// each read from the section decorated for the target's architecture
// (".amd64", ".x86") before the plain one. A file without an entry lies on
// disk 1; a disk without a path is the INF's folder itself.
#pragma once
#include <stdint.h>

#include <string>

class PackageLayout {
 public:
  // arch: the target Windows' architecture (64 or 86). The package's
  // strings are those of the lease LoadInfStrings gave.
  PackageLayout(const wchar_t* infPath, uint32_t arch);
  // The path below the INF's folder the file `name` is read from, made
  // canonical (ContainedFileName); empty when it would leave that folder.
  std::wstring SourcePath(const std::wstring& name) const;
  // That path as the package writes it, for a refusal to name.
  std::wstring WrittenPath(const std::wstring& name) const;

 private:
  std::wstring Entry(const wchar_t* section, const std::wstring& key) const;
  // The disk's path and the subfolder of the file, as written.
  void Parts(const std::wstring& name, std::wstring& disk, std::wstring& subfolder) const;

  std::wstring m_inf;
  std::wstring m_decoration;
};
