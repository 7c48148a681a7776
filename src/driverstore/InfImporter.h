// CInfImporter: one INF driver package merged into the driver store of one
// device class and target Windows: its models for the target, the package
// and version folder, the combined INF "VroPnp.inf" with the install
// sections and driver files, the device list "VroPnp.ini" and the store
// index "VroDir.ini". Made on a worker's stack for one import.
#pragma once
#include <windows.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "driverstore/InfSectionCopy.h"

class CMountedImage;

struct InfModelRecord {
  std::wstring description;     // 200
  std::wstring hardwareId;      // 100, enumerator and any further ids
  std::wstring installSection;  // as found, with its decoration
  std::wstring newSection;      // its name in the combined INF
};

class CInfImporter {
 public:
  CInfImporter(CMountedImage* image, uint32_t target, uint32_t buildNumber, uint32_t classCode,
               const wchar_t* className, const wchar_t* classGuid, HWND progressBar);
  ~CInfImporter() = default;
  CInfImporter(const CInfImporter&) = delete;
  CInfImporter& operator=(const CInfImporter&) = delete;

  // Imports the package INF into the store folder (class and target
  // folder, made by the caller). The number of models the combined INF
  // holds afterwards, 0 when the package was refused (nothing is written
  // then).
  unsigned ImportInf(const wchar_t* infPath, const wchar_t* storeFolder);

  // ---- Model collection (ModelCollection.cpp).
  int ReadDriverVersionModels(const wchar_t* infPath);
  int ReadManufacturerModels(const wchar_t* infPath);
  int ReadModelSection(const wchar_t* modelsSection, const wchar_t* infPath, int subsysPass);
  int ReadModelHardwareIds(const wchar_t* modelsSection, const wchar_t* infPath, int subsysPass);

  CMountedImage* image;
  uint32_t target;
  uint32_t buildNumber;
  uint32_t classCode;
  const wchar_t* className;
  const wchar_t* classGuid;
  HWND progressBar;
  std::wstring packageFolder;  // 80
  std::wstring enumerator;     // 80
  std::wstring versionFolder;  // 100
  std::wstring manufacturer;   // 40, the models sections' name
  std::wstring manufacturerName;  // 200, its text as the INF gives it (commas kept)
  std::vector<InfModelRecord> models;
  std::vector<InfModelRecord> deviceRecords;
  std::vector<std::wstring> hardwareIds;
  std::vector<InfModelRecord> newModels;
  std::vector<InfRenameRecord> renames;
  // The file that refused the last import: one its models copy and the
  // package lacks, or a disk path, a [Version] file name or any file name
  // of the sections it copies that the gate refuses (ContainedPackageFileName).
  std::wstring missingFile;

 private:
  // The models section choice shared by both readers; `versionRead`
  // selects the hardware-id reader and its differences.
  int ReadManufacturerSections(const wchar_t* infPath, bool versionRead);
};

// True for a mobile display adapter's description ("8600M GS", "(TM)",
// " Mobility ", "mobile").
bool IsMobileDisplayModel(const wchar_t* description);

// The first file that the combined INF of a store version folder copies
// and the folder lacks, or a name the gate refuses; empty when the package
// is whole.
std::wstring FindMissingPackageFile(const wchar_t* versionFolder);

// The catalog an INF names for a target: "CatalogFile", else
// "CatalogFile.NT", else that of the architecture; empty when none.
std::wstring ReadInfCatalogName(const wchar_t* infPath, bool x64);

// The first file name that [Version] of an INF gives (every "CatalogFile"
// key, each name of "LayoutFile"), as written or with the INF's strings (the
// lease of LoadInfStrings) substituted, that the gate refuses; empty when
// there is none.
std::wstring FindUnsafeVersionFileName(const wchar_t* infPath);

// A hardware id cut at "&SUBSYS_" and at "&REV_".
std::wstring CutHardwareId(const std::wstring& id);

// Merges packages of one store folder that claim the same device id.
void TidyDriverStoreIndex(int storeClass, uint32_t windowsVersion);
