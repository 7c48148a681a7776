// CInfInstaller: the record of one driver installation into the Windows of a
// mounted image, and the steps of the installation that take it. The record
// lives on the installing caller's stack, borrows everything it points to and
// owns nothing.
//
// Every registry effect of an installation is staged as text in one .reg
// script on the host (DriverRegScript.h); the caller imports the script into
// the offline hives once the registry and file passes have succeeded.
#pragma once
#include <windows.h>
#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

class CMountedImage;

// Device classes an installation handles.
enum InfClassKind : uint32_t {
  kInfClassNet = 2,
  kInfClassDisplay = 3,
};

extern const wchar_t kNetClassGuid[];      // "{4d36e972-e325-11ce-bfc1-08002be10318}"
extern const wchar_t kDisplayClassGuid[];  // "{4d36e968-e325-11ce-bfc1-08002be10318}"

class CInfInstaller {
 public:
  CMountedImage* Image;
  uint32_t TargetVersion;    // Windows version word: arch << 16 | major << 8 | minor
  uint32_t ControlSet;       // ControlSet%03u of every SYSTEM key path
  uint32_t ClassKind;        // InfClassKind
  const wchar_t* ClassName;  // "Net" or "Display"
  const wchar_t* ClassGuid;  // braced, lower case
  uint32_t LinkFiles;        // 1: driver files become links into the store
  uint64_t PnpProfileId;     // 0, or the boot-time PnP profile of redirected keys
  uint32_t CheckFilesOnly;   // 1 while the file pass only looks for its sources
  wchar_t MissingFile[100];  // the first file the last file pass could not place
  // Why the last file pass (or a file it placed) stopped: the section and
  // the value that refused it, or the file that could not be placed.
  std::wstring Refusal;
  // 1 when what Refusal names is a path to no place in the image (a
  // destination, a service binary, a registry value naming a file), 0 when
  // it is a registry key no hive of the image holds.
  uint32_t RefusedPath;
  // While only checking: where the names of the files the package places
  // (the catalog's included) are collected, or null.
  std::vector<std::wstring>* PlannedFiles;
  uint64_t PlannedBytes;  // room the copies of the last check need in the volume
  // While files are swapped in as one change: each placed (or removed)
  // target, and whether an earlier file waits beside it (".vroold") to be
  // put back; and each folder the change made, outermost first.
  std::vector<std::pair<std::wstring, bool>> SwappedFiles;
  std::vector<std::wstring> CreatedFolders;
  uint32_t KeepSwapped;
  // The AddService flags of the device's own service (the last line that
  // named it), which AssignServiceTag heeds.
  uint32_t OwnServiceFlags;
  wchar_t StoreFolderName[40];
  wchar_t InstallSection[100];
  wchar_t DeviceDescription[200];

  // Stores the arguments, empties the two name fields and names the store
  // folder ("VroPnp.inf_amd64_" or "VroPnp.inf_x86_" and sixteen hex
  // digits drawn from the runtime's generator). Cannot fail.
  CInfInstaller* Init(CMountedImage* image, uint32_t targetVersion, uint32_t controlSet,
                      uint32_t classKind, const wchar_t* className, const wchar_t* classGuid,
                      uint32_t linkFiles, uint64_t pnpProfileId);

  // Architecture (64 or 86) and major version of the target.
  uint32_t TargetArch() const { return TargetVersion >> 16; }
  uint32_t TargetMajor() const { return (TargetVersion >> 8) & 0xFF; }

  // ---- Staging script (DriverRegScript.cpp). Nonzero on success.
  // Writes or replaces the line `name`=`data` in the section of keyPath;
  // null data removes the line. With a PnP profile, keys outside
  // HKEY_LOCAL_MACHINE\SYSTEM\ go to the profile's redirection area and a
  // value deletion ("-") is written as "#".
  int WriteRegValue(const wchar_t* keyPath, const wchar_t* name, const wchar_t* data,
                    const wchar_t* scriptPath);
  // Replaces the whole section of keyPath by `lines` (a string list of
  // name=data entries); "-" before the key asks for the key's deletion.
  int WriteRegSection(const wchar_t* keyPath, const wchar_t* lines, const wchar_t* scriptPath);
  // Stages the key itself, so that the import makes it even without a
  // value; a section staged for it already is left as it is.
  int WriteRegKey(const wchar_t* keyPath, const wchar_t* scriptPath);
  // What the value `name` ("@": the key's default value) of keyPath holds
  // before the next line is staged: the script's line when one is staged
  // (a deletion: none), none when the script deletes the key or a key above
  // it, else the image's own value (its hive loaded for the look). 1 with
  // *type and *data when the value is there, 0 when it is not, -1 when that
  // cannot be told (no hive to read, staged data that cannot be read).
  int CurrentRegValue(const wchar_t* keyPath, const wchar_t* name, const wchar_t* scriptPath,
                      uint32_t* type, std::vector<uint8_t>* data);
  // The staged data of a line, read back (0 when there is none).
  int ReadRegValue(const wchar_t* keyPath, const wchar_t* name, wchar_t* out, int outChars,
                   const wchar_t* scriptPath);

  // ---- Directory ids (InstallEnvironment.cpp).
  // True, with the refusal noted (as a path to no place: the installation
  // fails -9), when INF text of the section holds a %name% the
  // installation substitutes nothing for: a string the INF does not define
  // (the host's environment is none), a directory id it does not map. "%%"
  // is the INF's own "%".
  bool RefuseUndefinedReference(const wchar_t* section, const std::wstring& line);
  // The volume path of a directory id with an optional subpath. 1 when the
  // id is known and the subpath stays inside its folder, 0 else (the buffer
  // then holds the Windows folder). Nothing is created: the file pass makes
  // the folders of the files it places.
  int GetDirIdPath(unsigned dirId, const wchar_t* subPath, wchar_t* out, int outChars);

  // ---- AddReg and DelReg staging (RegDirectives.cpp). Each returns
  // nonzero when at least one line reached the script.
  int StageDelRegSection(const wchar_t* section, const wchar_t* infPath, const wchar_t* scriptPath,
                         const wchar_t* hkrKey, int keysPass);
  int StageDelRegSectionHw(const wchar_t* section, const wchar_t* infPath,
                           const wchar_t* scriptPath, const wchar_t* deviceInstance, int keysPass);
  int StageAddRegSection(const wchar_t* section, const wchar_t* infPath, const wchar_t* scriptPath,
                         const wchar_t* hkrKey);
  // Sets or clears bits of binary values (BitReg).
  int StageBitRegSection(const wchar_t* section, const wchar_t* infPath, const wchar_t* scriptPath,
                         const wchar_t* hkrKey);
  int StageDelRegDirectives(const wchar_t* installSection, const wchar_t* infPath,
                            const wchar_t* scriptPath, const wchar_t* classInstance, int keysPass);
  int StageDelRegDirectivesHw(const wchar_t* hwSection, const wchar_t* infPath,
                              const wchar_t* scriptPath, const wchar_t* deviceInstance,
                              int keysPass);
  int StageAddRegDirectives(const wchar_t* installSection, const wchar_t* infPath,
                            const wchar_t* scriptPath, const wchar_t* classInstance);
  int StageAddRegDirectivesHw(const wchar_t* hwSection, const wchar_t* infPath,
                              const wchar_t* scriptPath, const wchar_t* deviceInstance);

  // ---- Install sections, services, DLL registration (InstallSections.cpp).
  // The install section of every model of a models section with its
  // decorated variants, .HW and .Services companions. Nonzero when any
  // directive was staged; then InstallSection, DeviceDescription and the
  // value DriverDesc are set. serviceName (100), driverFile (100) and
  // serviceImage (serviceImageChars) may be null.
  int StageDDInstallSection(const wchar_t* modelsSection, const wchar_t* infPath,
                            const wchar_t* scriptPath, const wchar_t* classInstance,
                            const wchar_t* deviceInstance, wchar_t* serviceName,
                            wchar_t* driverFile, wchar_t* serviceImage, int serviceImageChars);
  // A service-install section as Windows' setup writes it for an AddService
  // line with `flags`: the no-clobber bits keep their entries on a service
  // that exists already; the ImagePath takes the form of the ServiceType.
  int StageServiceInstall(const wchar_t* infPath, const wchar_t* service, const wchar_t* section,
                          const wchar_t* scriptPath, wchar_t* imagePath, int imagePathChars,
                          unsigned long flags = 0);
  int StageAddServiceDirectives(const wchar_t* servicesSection, const wchar_t* infPath,
                                const wchar_t* scriptPath, wchar_t* serviceName,
                                wchar_t* driverFile, const wchar_t* classInstance,
                                wchar_t* serviceImage = nullptr, int serviceImageChars = 0);
  int StageDelServiceDirectives(const wchar_t* servicesSection, const wchar_t* infPath,
                                const wchar_t* scriptPath);
  int StageRegisterDllsDirectives(const wchar_t* installSection, const wchar_t* infPath,
                                  const wchar_t* scriptPath, const wchar_t* classInstance);
  int StageRegisterDll(const wchar_t* section, const wchar_t* infPath, const wchar_t* scriptPath,
                       const wchar_t* classInstance);
  // "%04u" of the first class instance number without a key (out: 100).
  void FindFreeClassInstance(uint32_t classKind, wchar_t* out);
  // LinkFiles from an earlier installation's Files record.
  void LoadLinkMode(const wchar_t* classInstance);
  // Renames Enum\enumerator\device\oldName to newName in the hive and, with a
  // profile, moves the staged lines of the old key to the new one.
  int RenameEnumInstance(const wchar_t* enumerator, const wchar_t* device, const wchar_t* oldName,
                         const wchar_t* newName, const wchar_t* scriptPath);

  // ---- Driver file pass (DriverFiles.cpp). classKey is "{guid}\NNNN".
  // Each returns 0 when any file that a CopyFiles section names could not be
  // placed (the catalog excepted); the files placed before stay. A file is
  // placed only where its destination is mapped: a known directory id, a
  // subfolder of plain names that stays in it, never in the volume's
  // metafiles ($Extend or a metafile's name at the root); anything else
  // refuses the pass, named in Refusal. "CopyFiles=@name" places the one
  // file in the default destination.
  int CopyDriverFiles(const wchar_t* infPath, const wchar_t* scriptPath, const wchar_t* classKey);
  // 1 when every source file that CopyDriverFiles (with an install
  // section: CopySetupDriverFiles) would place is there on the host and
  // every destination is mapped (else MissingFile names the first that is
  // not, and Refusal why); nothing is written anywhere. `names`, when given,
  // gets the names the files would have in the image.
  int CheckDriverFiles(const wchar_t* infPath, std::vector<std::wstring>* names = nullptr,
                       const wchar_t* installSection = nullptr);
  // Room in the volume for `bytes` more: the partition is grown first when
  // the volume lacks it. 1 when there is room; nothing else is written.
  int ReserveRoom(uint64_t bytes);
  // Files placed or removed and folders made between the two calls are one
  // change: EndFileSwap(false) removes each placed file and made folder
  // again and puts back the files replaced or removed, (true) lets those go.
  void BeginFileSwap();
  void EndFileSwap(bool keep);
  // Makes the folder with every missing folder above it, noted in a swap.
  // Nonzero when it is there.
  int MakeFolderChain(const wchar_t* folder);
  // Removes a file of the image; in a swap it waits beside its place until
  // the swap ends. Nonzero when it is gone from its place.
  int DeleteImageFile(const wchar_t* path);
  int CopySetupDriverFiles(const wchar_t* infPath, const wchar_t* scriptPath,
                           const wchar_t* classKey, const wchar_t* installSection);
  void CopyDecoratedSectionFiles(const wchar_t* modelsSection, const wchar_t* infPath,
                                 const wchar_t* scriptPath, const wchar_t* classKey);
  int StageCopyFilesDirectives(const wchar_t* section, const wchar_t* infPath,
                               const wchar_t* scriptPath, const wchar_t* classKey);
  int StageCopyFilesSection(const wchar_t* section, const wchar_t* infPath,
                            const wchar_t* scriptPath, const wchar_t* classKey);
  static unsigned GetDestinationDir(const wchar_t* section, const wchar_t* infPath,
                                    wchar_t* subDir);
  // The volume folder of a CopyFiles section's files (its DestinationDirs
  // entry, else DefaultDestDir, else 11). 1 when mapped; 0 with Refusal
  // naming the section and the value. `whole`, when given, gets the folder
  // however long (out is cut at outChars).
  int GetDestinationFolder(const wchar_t* section, const wchar_t* infPath, wchar_t* out,
                           int outChars, std::wstring* whole = nullptr);
  // Places one file of a CopyFiles line (destination and source name) into
  // the folder of the section's destination (or, when only checking, looks
  // for it); 0 when it could not be.
  int StageCopyFilesLine(const wchar_t* section, const std::wstring& dest,
                         const std::wstring& source, const wchar_t* infPath,
                         const wchar_t* scriptPath, const wchar_t* classKey);
  // Notes why the pass stops (the first reason is kept; path: it is a path
  // to no place in the image, RefusedPath).
  void NoteRefusal(const std::wstring& why, bool path = false);
  int CopyDriverFile(const wchar_t* source, const wchar_t* target, const wchar_t* classKey,
                     const wchar_t* scriptPath, uint32_t link);

  // ---- Registry pass (RegistryPass.cpp). Nonzero when the package was
  // staged; the script is left for the caller to import (and delete).
  uint32_t StageDriverRegistry(const wchar_t* infPath, const wchar_t* scriptPath,
                               const wchar_t* classInstance, const wchar_t* adapterGuid,
                               const wchar_t* deviceInstance, wchar_t* serviceName,
                               wchar_t* serviceImage, int serviceImageChars);
  // serviceImage (serviceImageChars), when given, gets the binary path of
  // the device's own service, as on the image side.
  uint32_t StageSetupDriverRegistry(const wchar_t* infPath, const wchar_t* scriptPath,
                                    const wchar_t* classInstance, const wchar_t* adapterGuid,
                                    const wchar_t* deviceInstance, const wchar_t* deviceDescription,
                                    const wchar_t* installSection, wchar_t* serviceName,
                                    wchar_t* serviceImage = nullptr, int serviceImageChars = 0);

  // ---- Device-install steps (DeviceInstance.cpp).
  // Tag = one more than the highest tag of the service's load-order group
  // (read from the script); 0 when the service has no group. With 0x1 among
  // OwnServiceFlags the tag goes to the front of the group's load order
  // (Control\GroupOrderList) too.
  int32_t AssignServiceTag(const wchar_t* serviceName, const wchar_t* scriptPath);
  // Removes the service, or the driver file, of the driver the new one
  // replaces for this class instance. 1 unless another class instance
  // still uses the old service.
  int32_t RemoveReplacedDriver(const wchar_t* serviceName, const wchar_t* driverFile,
                               const wchar_t* classInstance);
  // Device-instance values of every existing device of the enumerator that
  // uses the driver key ("{guid}\NNNN"). 1 when one matched.
  int32_t StageDeviceInstanceKeys(const wchar_t* infPath, const wchar_t* scriptPath,
                                  const wchar_t* enumerator, const wchar_t* serviceName,
                                  const wchar_t* driverKey);
  // The boot-time PnP instance "<device id>\VRO&Node&Pnp" of a network or
  // display device with its class-key values, and a new adapter's identity
  // and Linkage. Each returns 1.
  int32_t StageNetDeviceInstance(const wchar_t* infPath, const wchar_t* scriptPath,
                                 const wchar_t* deviceId, const wchar_t* serviceName,
                                 const wchar_t* classInstance, uint32_t netLuidIndex);
  int32_t StageDisplayDeviceInstance(const wchar_t* infPath, const wchar_t* scriptPath,
                                     const wchar_t* deviceId, const wchar_t* serviceName,
                                     const wchar_t* classInstance);
  int32_t StageNetAdapterLinkage(const wchar_t* adapterGuid, const wchar_t* scriptPath,
                                 const wchar_t* componentId, const wchar_t* deviceId,
                                 const wchar_t* classInstance);

  // Key paths of the installation (out holds outChars characters).
  void FormatDriverKey(const wchar_t* classInstance, wchar_t* out, int outChars) const;
  void FormatHardwareKey(const wchar_t* deviceInstance, wchar_t* out, int outChars) const;
};

// Grows the partition of a mounted image to `megabytes` MiB (the disk
// tools' partition resize); nonzero on success. The driver file pass asks it
// once when a file does not fit. Set by the program at start; without one a
// full volume fails the file.
typedef int (*PartitionGrowFunction)(CMountedImage* image, uint64_t megabytes);
void SetPartitionGrowFunction(PartitionGrowFunction grow);

// The volume path of a file named the way a running Windows names it
// ("%SystemRoot%\...", "\SystemRoot\...", "system32\...", "@..." resource
// references, drive letters). 1 when a Windows-relative form applied, 0 when
// the text was copied as it stands (a drive letter is dropped either way).
int ExpandImageSystemPath(const wchar_t* source, wchar_t* out, int outChars, CMountedImage* image);
// The ImagePath of a service binary given as a path of the image's volume
// written with its drive ("C:\..."), as the kernel reads it: below the
// Windows folder's System32 relative to that folder ("System32\..."),
// elsewhere below it from "\SystemRoot\", outside it the whole path in the
// NT namespace ("\??\C:\..."), each with one backslash between names. Any
// other text is its own ImagePath.
std::wstring KernelImagePath(const std::wstring& binary, CMountedImage* image);
// The ImagePath of a Win32 service (own or shared process) given the same
// way: the command line the service control manager starts (REG_EXPAND_SZ),
// the program below the Windows folder from "%SystemRoot%", elsewhere its
// whole path, in double quotes when it holds a blank; what follows the
// program's ".exe" (the service's arguments) stays as written. Any other
// text is its own ImagePath.
std::wstring ServiceCommandLine(const std::wstring& binary, CMountedImage* image);
// The program's path in a service binary that may carry arguments: the
// path in double quotes when it opens with one, else up to the first ".exe"
// that ends it or is followed by a blank, else all of it. *arguments, when
// given, gets where the rest begins.
std::wstring ServiceProgram(const std::wstring& binary, size_t* arguments = nullptr);

// Copies one value, as it now stands in the offline hive, into the staging
// script; does nothing without a PnP profile or without a script.
void MirrorValueToStagingScript(CInfInstaller* installer, const wchar_t* keyPath,
                                const wchar_t* name, const wchar_t* scriptPath);
