// CInfInstaller's record: Init and the key paths of an installation.
#include "infinstall/InfInstaller.h"

#include <stdio.h>
#include <wchar.h>

const wchar_t kNetClassGuid[] = L"{4d36e972-e325-11ce-bfc1-08002be10318}";
const wchar_t kDisplayClassGuid[] = L"{4d36e968-e325-11ce-bfc1-08002be10318}";

namespace {

// The C runtime's generator (srand/rand): the same numbers, without touching
// the process's own generator state.
struct RuntimeRandom {
  uint32_t state;
  explicit RuntimeRandom(uint32_t seed) : state(seed) {}
  uint32_t Next() {
    state = state * 214013u + 2531011u;
    return (state >> 16) & 0x7FFF;
  }
};

}  // namespace

CInfInstaller* CInfInstaller::Init(CMountedImage* image, uint32_t targetVersion,
                                   uint32_t controlSet, uint32_t classKind,
                                   const wchar_t* className, const wchar_t* classGuid,
                                   uint32_t linkFiles, uint64_t pnpProfileId) {
  Image = image;
  TargetVersion = targetVersion;
  ControlSet = controlSet;
  ClassKind = classKind;
  ClassName = className;
  ClassGuid = classGuid;
  LinkFiles = linkFiles;
  PnpProfileId = pnpProfileId;
  InstallSection[0] = 0;
  DeviceDescription[0] = 0;
  CheckFilesOnly = 0;
  MissingFile[0] = 0;
  Refusal.clear();
  RefusedPath = 0;
  PlannedFiles = nullptr;
  PlannedBytes = 0;
  SwappedFiles.clear();
  CreatedFolders.clear();
  KeepSwapped = 0;
  OwnServiceFlags = 0;

  LARGE_INTEGER counter;
  counter.QuadPart = 0;
  QueryPerformanceCounter(&counter);
  RuntimeRandom random(GetTickCount() + (uint32_t)counter.LowPart + 1);
  uint32_t r1 = random.Next(), r2 = random.Next(), r3 = random.Next(), r4 = random.Next();
  _snwprintf(StoreFolderName, 40,
             TargetArch() == 64 ? L"VroPnp.inf_amd64_%08x%08x" : L"VroPnp.inf_x86_%08x%08x",
             (r2 << 16) | r4, (r1 << 16) | r3);
  StoreFolderName[39] = 0;
  return this;
}

void CInfInstaller::FormatDriverKey(const wchar_t* classInstance, wchar_t* out,
                                    int outChars) const {
  _snwprintf(out, outChars, L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet%03u\\Control\\Class\\%s\\%s",
             ControlSet, ClassGuid, classInstance);
  out[outChars - 1] = 0;
}

void CInfInstaller::FormatHardwareKey(const wchar_t* deviceInstance, wchar_t* out,
                                      int outChars) const {
  _snwprintf(out, outChars,
             L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet%03u\\Enum\\%s\\Device Parameters", ControlSet,
             deviceInstance);
  out[outChars - 1] = 0;
}
