// One driver installation into the Windows of a mounted image, as every
// front end runs it (the batch command, the exports, the driver windows):
// every source and destination checked before the first write, the SYSTEM
// hive kept for a rollback, the files placed or removed as one change, the
// registry data in the hives before any file is placed, and a failure taking back
// every byte the installation wrote, the driver it replaced included.
#pragma once
#include <stdint.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

class CMountedImage;
class CProfileHold;
class CInfInstaller;
class HiveImage;
struct HiveUndo;

// The hives an installation writes as they were when it began (SYSTEM, and
// SOFTWARE from the moment a package with keys there is found to need it,
// before anything is written into it): a failed installation puts them
// back, so that nothing it staged reaches the image. Each hive keeps a
// record of the old bytes of the pages written since (no copy of the
// hive); a checkpoint taken while another is open is one inside it (a
// change tried within the installation), which either can take back.
class HiveCheckpoint {
 public:
  explicit HiveCheckpoint(CMountedImage* image);
  // What is in the hives then stays (Keep).
  ~HiveCheckpoint();
  HiveCheckpoint(const HiveCheckpoint&) = delete;
  HiveCheckpoint& operator=(const HiveCheckpoint&) = delete;
  // SYSTEM is kept (the installation cannot go on without).
  bool Taken() const { return m_taken; }
  // Keeps the loaded hive of a root too (as it is now); false when it is
  // not loaded or could not be kept.
  bool Cover(const wchar_t* root);
  // Every covered hive as it was when covered.
  void Restore();
  // The hives as they are now; nothing more is kept.
  void Keep();
  // The root of a covered hive for which memory ran out (a page the record
  // could not keep, a hive that could not grow), or "".
  std::wstring OutOfMemory() const;

 private:
  struct Record {
    std::wstring root;
    HiveImage* image;
    const HiveUndo* undo;
  };
  void End(bool rollback);
  // The covered hive as it is loaded now, or null when it is gone.
  HiveImage* Loaded(const Record& r) const;

  CMountedImage* m_image;
  std::vector<Record> m_records;
  bool m_taken;
};

// What one installation installs, and where.
struct DriverInstallTarget {
  uint32_t kind;                // kDriverPackNetwork or kDriverPackDisplay
  const wchar_t* inf;           // the INF installed from
  const wchar_t* enumerator;    // the device id is enumerator "\" hardwareId
  const wchar_t* hardwareId;
  // An existing device instance (its key name and its driver key's class
  // instance) whose driver is replaced; null: a new boot-time PnP instance
  // in the first free class instance.
  const wchar_t* existingInstance;
  const wchar_t* existingClass;
  // The one model the setup dialog chose (description and install
  // section); null: every model of the INF that serves the device.
  const wchar_t* deviceName;
  const wchar_t* installSection;
  // A new network adapter: its identity, the component id as the staging
  // script takes it (backslashes doubled), and the device id the network
  // configuration names it by.
  const wchar_t* adapterGuid;
  uint32_t netLuidIndex;
  const wchar_t* componentId;
  const wchar_t* configId;
  // The pending-device ids registered for the boot-time PnP driver once a
  // new instance is in; null: none.
  const std::wstring* pendingIds;
};

// What the installation did, for the caller's records and its words.
struct DriverInstallState {
  wchar_t service[100] = {};
  wchar_t classInstance[100] = {};
  std::wstring driverKey;  // "{class guid}\NNNN"
  std::wstring why;        // what stopped it, on failure
  std::wstring script;     // the staging script (deleted by the caller)
  // The script's text, held in memory while the state lives: written to
  // the file when the last hold of it ends (DeleteProfileFile drops it).
  std::shared_ptr<CProfileHold> scriptHold;
};

// The checks before the first write: every source file of the package is
// there, every destination is mapped, and the host volume of the file the
// writes go to (the write-back file, when there is one) takes what the
// installation writes (the files and SYSTEM; SOFTWARE is counted by
// PrepareScriptHives). 0 when they hold, else the failure (why says what);
// nothing is written.
int32_t CheckDriverInstallation(CInfInstaller* inst, const wchar_t* inf,
                                const wchar_t* installSection, std::vector<std::wstring>* names,
                                std::wstring* why);

// The staging, the file pass and the import, inside a transaction the caller
// holds (hive checkpoint, file swap): the registry data goes in before any
// file is placed (what the file pass stages after it), the replaced driver
// goes only in the same change. 0 when
// the installation is in the hives (then the network binding and the PnP
// registration are done too), else the failure with state->why.
// A package with keys in SOFTWARE has that hive loaded here, and kept by
// `start` (the caller's checkpoint) before anything is written into it.
int32_t StageAndImportDriver(CInfInstaller* inst, const DriverInstallTarget& target,
                             DriverInstallState* state, HiveCheckpoint* start);

// The whole transaction on hives the caller keeps loaded: the checks, the
// checkpoint, the file swap, StageAndImportDriver, and on failure every
// change taken back. The network identity of a new adapter is prepared here
// when target.adapterGuid is null; ids already `taken` (by earlier adapters
// of the same run) are not given again. 0 on success.
int32_t InstallDriverTransaction(CInfInstaller* inst, DriverInstallTarget target,
                                 DriverInstallState* state,
                                 std::vector<std::wstring>* taken = nullptr);

// Keys of SOFTWARE in a staging script go into that hive: the host room
// the installation asks for counts it too, it is loaded when the command
// had not, and kept by `start` (the installation's checkpoint) before
// anything is written into it. 0, else the failure (-9 no room on the
// host, -10 the hive cannot be written or kept) with why.
int32_t PrepareScriptHives(CInfInstaller* inst, const wchar_t* script, HiveCheckpoint* start,
                           std::wstring* why);

// The line a refused installation is told by, on the console and in the
// windows alike: "Adapter driver (type T, ID) not installed (R): why".
std::wstring FormatDriverRefusal(uint32_t kind, const wchar_t* hardwareId, int32_t result,
                                 const std::wstring& why);
