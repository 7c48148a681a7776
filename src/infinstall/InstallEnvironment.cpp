// Directory ids: as environment variables for INF text, and as folders of the
// mounted volume for the file pass.
#include "infinstall/InstallEnvironment.h"

#include <windows.h>
#include <wchar.h>

#include "common/PathUtil.h"
#include "image/mount/MountedImage.h"
#include "infinstall/InfInstaller.h"

namespace {

const wchar_t* const kKeptHostVariables[] = {L"Path", L"WinDir", L"TEMP", L"TMP"};

// The variables of the directory-id table in the order they are set.
const unsigned kDirIdOrder[] = {10,    24,    11,    13,    12,    17, 18, 20,
                                16422, 16427, 16426, 16428, 16419, 30, 50, 16425};

void Join(wchar_t* path, const wchar_t* tail) {
  AppendPathPart(path, kPathChars, tail);
}

// The value of one variable of the table; w is "C:" and the Windows folder.
void DirIdValue(const CInfInstaller* installer, const wchar_t* w, unsigned id, wchar_t* out) {
  out[0] = 0;
  auto from = [&](const wchar_t* base) { lstrcpynW(out, base, kPathChars); };
  switch (id) {
    case 10:
      from(w);
      break;
    case 24:
    case 30:
      lstrcpynW(out, w, 4);
      break;
    case 11:
      from(w);
      Join(out, L"System32");
      break;
    case 13:
      from(w);
      Join(out, L"System32");
      Join(out, L"DriverStore\\FileRepository");
      Join(out, installer->StoreFolderName);
      break;
    case 12:
      from(w);
      Join(out, L"System32\\Drivers");
      break;
    case 17:
      from(w);
      Join(out, L"INF");
      break;
    case 18:
      from(w);
      Join(out, L"Help");
      break;
    case 20:
      from(w);
      Join(out, L"Fonts");
      break;
    case 50:
      from(w);
      Join(out, L"System");
      break;
    case 16425:
      from(w);
      Join(out, L"SysWOW64");
      break;
    case 16422:
      from(L"C:\\Program Files");
      break;
    case 16427:
      from(L"C:\\Program Files");
      Join(out, L"Common Files");
      break;
    case 16426:
      from(installer->TargetArch() == 64 ? L"C:\\Program Files (x86)" : L"C:\\Program Files");
      break;
    case 16428:
      from(installer->TargetArch() == 64 ? L"C:\\Program Files (x86)" : L"C:\\Program Files");
      Join(out, L"Common Files");
      break;
    case 16419:
      from(installer->TargetMajor() >= 6
               ? L"C:\\ProgramData"
               : L"C:\\Documents and Settings\\All Users\\Application Data");
      break;
  }
}

}  // namespace

int CInstallEnvironment::Setup(const CInfInstaller* installer) {
  if (m_pLease || !installer || !installer->Image) return 0;
  wchar_t windowsFolder[kPathChars];
  if (!installer->Image->FindWindowsDirectory(windowsFolder, kPathChars)) return 0;
  m_pLease = new CProcessEnvironment();
  if (!m_pLease->Held()) {
    delete m_pLease;
    m_pLease = nullptr;
    return 0;
  }
  m_pLease->KeepOnly(kKeptHostVariables, sizeof(kKeptHostVariables) / sizeof(*kKeptHostVariables));
  wchar_t w[kPathChars] = L"C:";
  wcsncat(w, windowsFolder, kPathChars - 3);
  for (unsigned id : kDirIdOrder) {
    wchar_t name[8], value[kPathChars];
    _snwprintf(name, 8, L"%u", id);
    name[7] = 0;
    DirIdValue(installer, w, id, value);
    SetEnvironmentVariableW(name, value);
  }
  return 1;
}

void CInstallEnvironment::Restore() {
  if (!m_pLease) return;
  // The lease puts back the host's variables whole and drops every
  // variable set since, the directory ids among them.
  delete m_pLease;
  m_pLease = nullptr;
}

int CInfInstaller::GetDirIdPath(unsigned dirId, const wchar_t* subPath, wchar_t* out,
                                int outChars) {
  if (!out || outChars <= 0 || !Image) return 0;
  out[0] = 0;
  wchar_t f[kPathChars];
  if (!Image->FindWindowsDirectory(f, kPathChars)) f[0] = 0;
  lstrcpynW(out, f, outChars);
  auto join = [&](const wchar_t* tail) { AppendPathPart(out, outChars, tail); };
  auto set = [&](const wchar_t* path) { lstrcpynW(out, path, outChars); };
  switch (dirId) {
    case 10:
      break;
    case 11:
      join(L"System32");
      break;
    case 12:
      join(L"System32\\Drivers");
      break;
    case 13:
      join(L"System32\\DriverStore\\FileRepository");
      join(StoreFolderName);
      break;
    case 17:
      join(L"Inf");
      break;
    case 18:
      join(L"Help");
      break;
    case 20:
      join(L"Fonts");
      break;
    case 24:
    case 30:
      set(L"\\");
      break;
    case 50:
      join(L"System");
      break;
    case 16422:
      set(L"\\Program Files");
      break;
    case 16425:
      join(L"SysWOW64");
      break;
    case 16426:
      set(L"\\Program Files (x86)");
      break;
    case 16427:
      set(L"\\Program Files\\Common Files");
      break;
    case 16428:
      set(L"\\Program Files (x86)\\Common Files");
      break;
    default:
      return 0;
  }
  if (subPath && *subPath) {
    // A subpath that would leave the folder (a parent, a drive) names none.
    if (!IsContainedPath(subPath)) {
      lstrcpynW(out, f, outChars);
      return 0;
    }
    join(subPath);
  }
  return 1;
}
