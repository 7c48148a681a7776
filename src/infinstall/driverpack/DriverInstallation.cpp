// One driver installation as every front end runs it.
#include "infinstall/driverpack/DriverInstallation.h"

#include <windows.h>
#include <wchar.h>

#include "common/ConsoleOutput.h"
#include "common/IniSection.h"
#include "common/PathUtil.h"
#include "common/TempFiles.h"
#include "common/UnicodeProfile.h"
#include "driverstore/DeviceInf.h"
#include "driverstore/PnpRegistration.h"
#include "image/mount/HostRoom.h"
#include "image/mount/MountedImage.h"
#include "infinstall/InfInstaller.h"
#include "infinstall/RegScriptFile.h"
#include "infinstall/driverpack/DriverPackInjection.h"
#include "netcfg/AdapterRemoval.h"
#include "netcfg/NetworkConfig.h"
#include "netcfg/NewAdapterBinding.h"
#include "netcfg/NewAdapterIdentity.h"
#include "netcfg/WrapperAdapter.h"
#include "registry/RegHive.h"
#include "registry/RegistryFacade.h"
#include "registry/RegistryReads.h"
#include "registry/hive/HiveImage.h"

namespace {

// Beyond the files and the hive: the volume's records, index blocks and
// the container's map blocks the installation may write.
const uint64_t kHostRoomMargin = 4ull << 20;

const wchar_t kPnpInstance[] = L"VRO&Node&Pnp";
const wchar_t kDisplayClass[] = L"{4D36E968-E325-11CE-BFC1-08002BE10318}";
const wchar_t kNetClass[] = L"{4D36E972-E325-11CE-BFC1-08002BE10318}";

// The size of a hive file of the image's Windows ("SYSTEM", "SOFTWARE";
// 0 when unknown).
uint64_t HiveFileBytes(CMountedImage* image, const wchar_t* name) {
  wchar_t windows[kPathChars];
  if (image->FindWindowsDirectory(windows, kPathChars) <= 0) return 0;
  std::wstring hive = std::wstring(windows) + L"\\System32\\config\\" + name;
  uint64_t size = 0;
  if (!image->GetFileInfo(hive.c_str(), nullptr, nullptr, nullptr, nullptr, &size)) return 0;
  return size;
}

// The host volume of the file the installation's writes go to (the
// write-back file, when the image has one) must take them before the first
// write: a layer that runs out of room takes no further write, and the
// installation could not be taken back. They are its files, each hive it
// changes with its log (SYSTEM, and SOFTWARE when the package writes keys
// there), the volume's own records. 0 when there is room, else -9 with why.
int32_t CheckHostRoom(CInfInstaller* inst, bool software, std::wstring* why) {
  CMountedImage* image = inst->Image;
  uint64_t bytes = inst->PlannedBytes + 2 * HiveFileBytes(image, L"SYSTEM") + kHostRoomMargin;
  if (software) bytes += 2 * HiveFileBytes(image, L"SOFTWARE");
  if (HostHasRoom(image, bytes)) return kDriverPackInstalled;
  *why = L"the host volume of " + HostWriteFile(image) + L" has too little room for the " +
         std::to_wstring((bytes + (1u << 20) - 1) >> 20) + L" MiB the installation may write there";
  return kDriverPackFilePassFailed;
}

// The staged lines written out for an import to read; false with why when
// the host did not take them.
bool ScriptWritten(CProfileHold& hold, const wchar_t* script, std::wstring* why) {
  if (hold.Flush()) return true;
  const DWORD error = GetLastError();
  *why = std::wstring(L"the staging script ") + script + L" could not be written (error " +
         std::to_wstring(error) + L": " + ErrorText(error) + L")";
  return false;
}

// Imports the staging script into the loaded hives within `imported` (a
// checkpoint of its own inside the installation's); false, the hives as
// they were, when they do not take it.
bool ImportScript(CMountedImage* image, const wchar_t* script, HiveCheckpoint* imported) {
  if (imported->Taken() &&
      (!RegScriptNamesRoot(script, REG_ROOT_SOFTWARE) || imported->Cover(REG_ROOT_SOFTWARE)) &&
      image->ImportRegFile(script) == 0)
    return true;
  imported->Restore();
  return false;
}

// After the file pass: what the script holds beyond what went in at its
// mark (`imported` took that). The sections added since go in alone when
// every section before them is as it was (the script imported whole would
// do no more); else the whole script goes in again, in place of what went
// in. False when the hives do not take it.
bool ImportStagedSinceMark(CMountedImage* image, CProfileHold& hold, const wchar_t* script,
                           HiveCheckpoint* imported, std::wstring* why) {
  std::wstring added;
  if (!hold.TextAddedSinceMark(&added)) {
    imported->Restore();
    return ScriptWritten(hold, script, why) && image->ImportRegFile(script) == 0;
  }
  imported->Keep();
  if (added.empty()) return true;
  wchar_t rest[kPathChars] = L"";
  if (!CreateTempFileName(rest, L"Ins") || !WriteUnicodeFile(rest, added)) {
    const DWORD error = GetLastError();
    *why = L"no file of the registry data staged by the file pass could be made in the temporary "
           L"folder (error " + std::to_wstring(error) + L": " + ErrorText(error) + L")";
    if (rest[0]) DeleteFileW(rest);
    return false;
  }
  const bool ok = image->ImportRegFile(rest) == 0;
  DeleteFileW(rest);
  return ok;
}

// Why the staged registry data did not go in: memory, or the import's
// own cause.
std::wstring ImportFailure(CMountedImage* image, const HiveCheckpoint* start,
                           const wchar_t* inf) {
  const std::wstring hive = start ? start->OutOfMemory() : L"";
  if (!hive.empty())
    return L"the memory of the process ran out for the hive " + hive +
           L" while the registry data staged from " + inf + L" went in";
  const std::wstring cause = RegistryFailure(image);
  return std::wstring(L"the registry data staged from ") + inf + L" could not be imported" +
         (cause.empty() ? L"" : L": " + cause);
}

std::wstring SoftwareHiveFailure(CMountedImage* image) {
  RegistryPathUnloadable(image, REG_ROOT_SOFTWARE L"\\");
  std::wstring why = RegistryFailure(image);
  return why.empty() ? std::wstring(REG_ROOT_SOFTWARE L": its hive is not loaded") : why;
}

std::wstring SystemKey(uint32_t controlSet, const std::wstring& tail) {
  wchar_t head[64];
  _snwprintf(head, 64, L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet%03u\\", controlSet);
  head[63] = 0;
  return head + tail;
}

// The one model the setup dialog chose, written as an INF of its own
// beside the store's combined INF by the writer every installation from the
// store reads a package through (Include and Needs resolved, every name
// through the same gate); removed again when the installation ends.
class ChosenModelInf {
 public:
  ChosenModelInf() = default;
  ~ChosenModelInf() {
    if (!m_path.empty()) DeleteFileW(m_path.c_str());
  }
  ChosenModelInf(const ChosenModelInf&) = delete;
  ChosenModelInf& operator=(const ChosenModelInf&) = delete;
  // 0 when written, else the failure with why.
  int32_t Write(CInfInstaller* inst, const DriverInstallTarget& t, std::wstring* why) {
    wchar_t folder[kPathChars], path[kPathChars];
    CopyParentPath(t.inf, folder, kPathChars);
    if (!GetTempFileNameW(folder, L"Vro", 0, path)) {
      *why = std::wstring(L"no INF of the chosen model could be made in ") + folder;
      return kDriverPackNoDeviceInf;
    }
    m_path = path;
    const std::wstring id = std::wstring(t.enumerator) + L"\\" + t.hardwareId;
    if (!CreateEmptyUnicodeFile(path) ||
        !WriteModelInf(inst->Image, inst->TargetVersion, t.inf, t.deviceName ? t.deviceName : L"",
                       id.c_str(), t.installSection, path)) {
      *why = std::wstring(L"the model ") + t.installSection + L" of " + t.inf +
             L" has no driver file and service for the device";
      return kDriverPackNoDeviceInf;
    }
    return kDriverPackInstalled;
  }
  const wchar_t* Path() const { return m_path.c_str(); }
  // A line naming this INF names the package's INF instead: the program's
  // own file is no place the operator can look at.
  void NamePackageInf(std::wstring* line, const std::wstring& packageInf) const {
    for (size_t at = 0; !m_path.empty() && (at = line->find(m_path, at)) != std::wstring::npos;
         at += packageInf.size())
      line->replace(at, m_path.size(), packageInf);
  }

 private:
  std::wstring m_path;
};

}  // namespace

HiveCheckpoint::HiveCheckpoint(CMountedImage* image) : m_image(image), m_taken(false) {
  m_taken = Cover(REG_ROOT_SYSTEM);
}

HiveCheckpoint::~HiveCheckpoint() {
  End(false);
}

bool HiveCheckpoint::Cover(const wchar_t* root) {
  CRegHive* hive = FindLoadedHive(m_image, root);
  HiveImage* image = hive && hive->IsLoaded() ? hive->Image() : nullptr;
  if (!image) return false;
  for (const Record& r : m_records)
    if (r.image == image) return true;
  if (hive_undo_nest(image) < 0) {
    image->outOfMemory = true;
    return false;
  }
  m_records.push_back({root, image, image->undo});
  return true;
}

HiveImage* HiveCheckpoint::Loaded(const Record& r) const {
  CRegHive* hive = FindLoadedHive(m_image, r.root.c_str());
  return hive && hive->IsLoaded() && hive->Image() == r.image ? r.image : nullptr;
}

void HiveCheckpoint::End(bool rollback) {
  // The latest first: a record opened later may lie inside an earlier one.
  for (size_t i = m_records.size(); i-- > 0;)
    if (HiveImage* image = Loaded(m_records[i]))
      hive_undo_end(image, m_records[i].undo, rollback);
  m_records.clear();
}

void HiveCheckpoint::Restore() {
  End(true);
}

void HiveCheckpoint::Keep() {
  End(false);
}

std::wstring HiveCheckpoint::OutOfMemory() const {
  for (const Record& r : m_records)
    if (HiveImage* image = Loaded(r))
      if (image->outOfMemory || hive_undo_lost(image)) return r.root;
  return L"";
}

int32_t PrepareScriptHives(CInfInstaller* inst, const wchar_t* script, HiveCheckpoint* start,
                           std::wstring* why) {
  if (!RegScriptNamesRoot(script, REG_ROOT_SOFTWARE)) return kDriverPackInstalled;
  CMountedImage* image = inst->Image;
  const int32_t room = CheckHostRoom(inst, true, why);
  if (room != kDriverPackInstalled) return room;
  CRegHive* software = FindLoadedHive(image, REG_ROOT_SOFTWARE);
  if (!software || !software->IsLoaded()) AddHives(image, HIVE_FLAG_SOFTWARE);
  software = FindLoadedHive(image, REG_ROOT_SOFTWARE);
  if (!software || !software->IsLoaded() || software->IsReadOnly()) {
    *why =
        L"the package writes keys of HKEY_LOCAL_MACHINE\\SOFTWARE, and its hive cannot be "
        L"written: " +
        SoftwareHiveFailure(image);
    return kDriverPackImportFailed;
  }
  if (!start || !start->Cover(REG_ROOT_SOFTWARE)) {
    *why = std::wstring(L"the SOFTWARE hive of the image could not be kept for a rollback") +
           (start && !start->OutOfMemory().empty() ? L": the memory of the process ran out" : L"");
    return kDriverPackImportFailed;
  }
  return kDriverPackInstalled;
}

std::wstring FormatDriverRefusal(uint32_t kind, const wchar_t* hardwareId, int32_t result,
                                 const std::wstring& why) {
  wchar_t head[64];
  _snwprintf(head, 64, L"Adapter driver (type %u", kind);
  head[63] = 0;
  std::wstring line = head;
  if (hardwareId) line += std::wstring(L", ") + hardwareId;
  _snwprintf(head, 64, L") not installed (%d): ", (int)result);
  head[63] = 0;
  return line + head + why;
}

int32_t CheckDriverInstallation(CInfInstaller* inst, const wchar_t* inf,
                                const wchar_t* installSection, std::vector<std::wstring>* names,
                                std::wstring* why) {
  // The INF is read section by section from one reading of it.
  CIniReadHold reading(inf);
  // A driver file the store lacks, or one the package would place outside
  // its folder, on a folder or where the installation maps nothing, fails
  // the installation before anything reaches the image: a workstation must
  // not boot without its driver.
  if (!inst->CheckDriverFiles(inf, names, installSection)) {
    *why = inst->Refusal.empty() ? std::wstring(L"no driver file section in ") + inf : inst->Refusal;
    *why += std::wstring(L" (") + inf + L")";
    return kDriverPackFilePassFailed;
  }
  // SOFTWARE is counted once the staging shows the package writes there
  // (PrepareScriptHives), still before the first write.
  return CheckHostRoom(inst, false, why);
}

int32_t StageAndImportDriver(CInfInstaller* inst, const DriverInstallTarget& t,
                             DriverInstallState* s, HiveCheckpoint* start) {
  CMountedImage* image = inst->Image;
  const bool display = t.kind == kDriverPackDisplay;
  const bool setup = t.installSection && t.installSection[0];
  const wchar_t* classGuid = display ? kDisplayClass : kNetClass;
  const std::wstring deviceId = std::wstring(t.enumerator) + L"\\" + t.hardwareId;
  const std::wstring instancePath =
      deviceId + L"\\" + (t.existingInstance ? t.existingInstance : kPnpInstance);
  const std::wstring stagedNothing = std::wstring(L"the registry pass staged nothing from ") + t.inf;
  wchar_t script[kPathChars];
  if (!CreateTempFileName(script, L"Ins")) {
    s->why = L"no staging script could be made in the temporary folder";
    return kDriverPackRegistryPassFailed;
  }
  s->script = script;
  // Every step stages its lines in memory: the script is written out for
  // the imports, not once a line (and kept so for the caller's records).
  // The INF is read once.
  s->scriptHold = std::make_shared<CProfileHold>(script);
  CProfileHold& hold = *s->scriptHold;
  CIniReadHold reading(t.inf);
  // The setup dialog adds devices: one the image has already is not
  // installed again over its driver.
  if (setup && !t.existingInstance &&
      RegistryKeyExists(image, SystemKey(inst->ControlSet, L"Enum\\" + instancePath))) {
    s->why = L"the image has the device instance " + instancePath + L" already";
    return kDriverPackRegistryPassFailed;
  }
  if (t.existingInstance) {
    lstrcpynW(s->classInstance, t.existingClass, 100);
  } else {
    inst->FindFreeClassInstance(display ? kInfClassDisplay : kInfClassNet, s->classInstance);
  }
  s->driverKey = std::wstring(classGuid) + L"\\" + s->classInstance;
  const wchar_t* guid = display || t.existingInstance ? nullptr : t.adapterGuid;
  wchar_t serviceImage[kPathChars] = L"";
  const uint32_t staged =
      setup ? inst->StageSetupDriverRegistry(t.inf, script, s->classInstance, guid,
                                             instancePath.c_str(), t.deviceName, t.installSection,
                                             s->service, serviceImage, kPathChars)
            : inst->StageDriverRegistry(t.inf, script, s->classInstance, guid, instancePath.c_str(),
                                        s->service, serviceImage, kPathChars);
  if (!staged) {
    // A line the installation cannot place (a key no hive of the image
    // holds, a path to no folder of it) refuses the package whole.
    if (!inst->Refusal.empty()) {
      s->why = inst->Refusal + L" (" + t.inf + L")";
      return inst->RefusedPath ? kDriverPackFilePassFailed : kDriverPackRegistryPassFailed;
    }
    s->why = stagedNothing;
    return kDriverPackRegistryPassFailed;
  }
  const int32_t hives = PrepareScriptHives(inst, script, start, &s->why);
  if (hives != kDriverPackInstalled) return hives;
  if (t.existingInstance) {
    // The driver the new one replaces goes in the same change: a failure
    // below puts its service back with the hive and its file with the swap.
    if (inst->RemoveReplacedDriver(s->service, FindFileNamePart(serviceImage), s->classInstance))
      inst->AssignServiceTag(s->service, script);
    inst->StageDeviceInstanceKeys(t.inf, script, t.enumerator, s->service, s->driverKey.c_str());
  } else {
    // The service's earlier driver file, when the new one has another
    // name (an update of the same service), goes in the same change.
    if (serviceImage[0])
      inst->RemoveReplacedDriver(s->service, FindFileNamePart(serviceImage), s->classInstance);
    inst->AssignServiceTag(s->service, script);
    if (display) {
      inst->StageDisplayDeviceInstance(t.inf, script, deviceId.c_str(), s->service,
                                       s->classInstance);
    } else {
      inst->StageNetDeviceInstance(t.inf, script, deviceId.c_str(), s->service, s->classInstance,
                                   t.netLuidIndex);
      inst->StageNetAdapterLinkage(
          t.adapterGuid, script, t.componentId,
          (std::wstring(t.enumerator) + L"\\\\" + t.hardwareId).c_str(), s->classInstance);
    }
  }
  // The registry data goes in before any file is placed: data the hive
  // cannot take fails the installation with the image untouched. The room
  // the files need is made before the first of them is placed.
  const uint64_t room = inst->PlannedBytes;
  if (!ScriptWritten(hold, script, &s->why)) return kDriverPackImportFailed;
  HiveCheckpoint imported(image);
  if (!ImportScript(image, script, &imported)) {
    s->why = ImportFailure(image, start, t.inf);
    return kDriverPackImportFailed;
  }
  hold.Mark();
  if (!inst->ReserveRoom(room)) {
    s->why = L"the volume has too little room for the driver files, and could not be grown";
    return kDriverPackFilePassFailed;
  }
  const int placed =
      setup ? inst->CopySetupDriverFiles(t.inf, script, s->driverKey.c_str(), t.installSection)
            : inst->CopyDriverFiles(t.inf, script, s->driverKey.c_str());
  if (!placed) {
    s->why = (inst->Refusal.empty() ? std::wstring(L"a driver file could not be placed")
                                    : inst->Refusal) +
             L" (" + t.inf + L")";
    return kDriverPackFilePassFailed;
  }
  s->why.clear();
  if (!ImportStagedSinceMark(image, hold, script, &imported, &s->why)) {
    if (s->why.empty()) s->why = ImportFailure(image, start, t.inf);
    return kDriverPackImportFailed;
  }
  s->why.clear();
  const uint32_t version = inst->TargetVersion, cs = inst->ControlSet;
  if (!display) {
    std::wstring adapter = t.existingInstance || !t.adapterGuid ? L"" : t.adapterGuid;
    if (t.existingInstance) {
      ReadRegistryText(image, SystemKey(cs, L"Control\\Class\\" + s->driverKey),
                       L"NetCfgInstanceId", adapter);
    } else {
      // The adapter configuration is this driver key's alone: an earlier
      // adapter that held it (another device, or this one's older driver)
      // gives it up.
      RemoveOtherAdapterClaims(inst, t.adapterGuid, s->classInstance, instancePath.c_str());
      if (inst->TargetMajor() < 10)
        AddAdapterToNetworkConfig(inst, t.adapterGuid, t.configId, instancePath.c_str(), script);
    }
    if (!adapter.empty()) {
      int32_t wrapper =
          inst->TargetMajor() < 10 ? FindWrapperAdapter(image, version, cs, nullptr, 0) : -1;
      BindNewAdapter(inst, adapter.c_str(), s->driverKey.c_str(), wrapper, script);
    }
  }
  if (!t.existingInstance && t.pendingIds) RegisterPnpDevice(image, cs, *t.pendingIds, t.enumerator);
  return kDriverPackInstalled;
}

namespace {

int32_t RunDriverTransaction(CInfInstaller* inst, DriverInstallTarget target,
                             DriverInstallState* state, std::vector<std::wstring>* taken) {
  int32_t result = CheckDriverInstallation(inst, target.inf, target.installSection, nullptr,
                                           &state->why);
  if (result != kDriverPackInstalled) return result;
  HiveCheckpoint start(inst->Image);
  if (!start.Taken()) {
    state->why = L"the SYSTEM hive of the image could not be kept for a rollback";
    return kDriverPackNoSystemHive;
  }
  wchar_t adapterGuid[kAdapterGuidChars] = L"";
  if (target.kind == kDriverPackNetwork && !target.existingInstance && !target.adapterGuid) {
    // Each adapter its own identity: one an earlier adapter of this run
    // took is not given again.
    if (!PrepareNewAdapterIdentity(inst, adapterGuid, &target.netLuidIndex, taken)) {
      start.Restore();
      state->why = L"the image has no adapter configuration prepared for a new adapter";
      if (taken && !taken->empty()) state->why += L" that no other adapter of this run has taken";
      return kDriverPackNoAdapterIdentity;
    }
    target.adapterGuid = adapterGuid;
  }
  inst->BeginFileSwap();
  result = StageAndImportDriver(inst, target, state, &start);
  if (result != kDriverPackInstalled) start.Restore();
  inst->EndFileSwap(result == kDriverPackInstalled);
  if (!state->script.empty()) DeleteProfileFile(state->script.c_str());
  state->scriptHold.reset();
  if (result == kDriverPackInstalled && adapterGuid[0] && taken) taken->push_back(adapterGuid);
  return result;
}

}  // namespace

int32_t InstallDriverTransaction(CInfInstaller* inst, DriverInstallTarget target,
                                 DriverInstallState* state, std::vector<std::wstring>* taken) {
  if (!target.installSection || !target.installSection[0])
    return RunDriverTransaction(inst, target, state, taken);
  ChosenModelInf model;
  const std::wstring packageInf = target.inf;
  int32_t result = model.Write(inst, target, &state->why);
  if (result == kDriverPackInstalled) {
    target.inf = model.Path();
    result = RunDriverTransaction(inst, target, state, taken);
  }
  model.NamePackageInf(&state->why, packageInf);
  return result;
}
