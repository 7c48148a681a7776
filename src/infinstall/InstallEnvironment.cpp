// Directory ids: as the substitutions of INF text, and as folders of the
// mounted volume for the file pass.
#include "infinstall/InstallEnvironment.h"

#include <windows.h>
#include <wchar.h>

#include "common/PathUtil.h"
#include "common/TextOps.h"
#include "driverstore/InfSectionCopy.h"
#include "image/mount/MountedImage.h"
#include "infinstall/InfInstaller.h"

namespace {

// The variables of the directory-id table in the order they are set.
const unsigned kDirIdOrder[] = {10,    24,    11,    13,    12,    17, 18, 20,
                                16422, 16427, 16426, 16428, 16419, 30, 50, 16425};

// Where a directory id lies, one table for the substitutions and for
// the folders of the volume, so that a file and every registry value naming
// it agree: below the Windows folder, or below the volume root ("" is the
// folder itself). The folders of 32-bit programs on a 64-bit Windows (wow)
// are the Windows' own folders on a 32-bit Windows, which has no others;
// when the architecture could not be told they name none.
struct DirIdFolder {
  unsigned id;
  bool inWindows;
  const wchar_t* path;
  const wchar_t* wow;
};

const DirIdFolder kDirIdFolders[] = {
    {10, true, L"", nullptr},
    {11, true, L"System32", nullptr},
    {12, true, L"System32\\Drivers", nullptr},
    {13, true, L"System32\\DriverStore\\FileRepository", nullptr},
    {17, true, L"INF", nullptr},
    {18, true, L"Help", nullptr},
    {20, true, L"Fonts", nullptr},
    {24, false, L"", nullptr},
    {30, false, L"", nullptr},
    {50, true, L"System", nullptr},
    {16422, false, L"Program Files", nullptr},
    {16427, false, L"Program Files\\Common Files", nullptr},
    {16425, true, L"System32", L"SysWOW64"},
    {16426, false, L"Program Files", L"Program Files (x86)"},
    {16428, false, L"Program Files\\Common Files", L"Program Files (x86)\\Common Files"},
};

// The folder of a directory id: below the Windows folder (which the path
// already holds) or below the root ("C:\" or "\"). The store folder id
// ends in the installation's own folder.
bool DirIdFolderPath(const CInfInstaller* installer, unsigned id, wchar_t* path, int pathChars,
                     const wchar_t* root) {
  const uint32_t arch = installer->TargetArch();
  for (const DirIdFolder& folder : kDirIdFolders) {
    if (folder.id != id) continue;
    if (folder.wow && arch != 64 && arch != 86) return false;
    const wchar_t* below = folder.wow && arch == 64 ? folder.wow : folder.path;
    if (!folder.inWindows) lstrcpynW(path, root, pathChars);
    if (below[0]) AppendPathPart(path, pathChars, below);
    if (id == 13) AppendPathPart(path, pathChars, installer->StoreFolderName);
    return true;
  }
  return false;
}

// The value of one variable of the table; w is "C:" and the Windows folder.
// Ids that name no folder of this Windows are left unset.
bool DirIdValue(const CInfInstaller* installer, const wchar_t* w, unsigned id, wchar_t* out) {
  if (id == 16419) {
    lstrcpynW(out,
              installer->TargetMajor() >= 6
                  ? L"C:\\ProgramData"
                  : L"C:\\Documents and Settings\\All Users\\Application Data",
              kPathChars);
    return true;
  }
  lstrcpynW(out, w, kPathChars);
  return DirIdFolderPath(installer, id, out, kPathChars, L"C:\\");
}

}  // namespace

int CInstallEnvironment::Setup(const CInfInstaller* installer, const wchar_t* infPath) {
  if (m_pLease || !installer || !installer->Image) return 0;
  wchar_t windowsFolder[kPathChars];
  if (!installer->Image->FindWindowsDirectory(windowsFolder, kPathChars)) return 0;
  m_pLease = new CProcessEnvironment();
  if (!m_pLease->Held()) {
    delete m_pLease;
    m_pLease = nullptr;
    return 0;
  }
  if (infPath) DefineInfStrings(m_pLease, infPath);
  wchar_t w[kPathChars] = L"C:";
  wcsncat(w, windowsFolder, kPathChars - 3);
  for (unsigned id : kDirIdOrder) {
    wchar_t name[8], value[kPathChars];
    _snwprintf(name, 8, L"%u", id);
    name[7] = 0;
    if (DirIdValue(installer, w, id, value)) m_pLease->Define(name, value);
  }
  return 1;
}

void CInstallEnvironment::Restore() {
  delete m_pLease;
  m_pLease = nullptr;
}

bool CInfInstaller::RefuseUndefinedReference(const wchar_t* section, const std::wstring& line) {
  const std::wstring name = FindUndefinedInfReference(line);
  if (name.empty()) return false;
  const bool dirId = name.find_first_not_of(L"%0123456789") == std::wstring::npos;
  NoteRefusal(L"[" + std::wstring(section ? section : L"") + L"] " + line + L": " +
                  (dirId ? L"the directory id " + name + L" is no folder the installation maps"
                         : name + L" is no string of the INF's [Strings] (a \"%\" of the text "
                                  L"is written \"%%\") and nothing the installation substitutes"),
              true);
  return true;
}

int CInfInstaller::GetDirIdPath(unsigned dirId, const wchar_t* subPath, wchar_t* out,
                                int outChars) {
  if (!out || outChars <= 0 || !Image) return 0;
  out[0] = 0;
  wchar_t f[kPathChars];
  if (!Image->FindWindowsDirectory(f, kPathChars)) f[0] = 0;
  lstrcpynW(out, f, outChars);
  if (!DirIdFolderPath(this, dirId, out, outChars, L"\\")) {
    lstrcpynW(out, f, outChars);
    return 0;
  }
  if (subPath && *subPath) {
    // A subpath that would leave the folder (a parent, a drive) names none.
    if (!IsContainedPath(subPath)) {
      lstrcpynW(out, f, outChars);
      return 0;
    }
    AppendPathPart(out, outChars, subPath);
  }
  return 1;
}
