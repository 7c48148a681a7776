// The INF import engine.
#include "driverstore/InfImporter.h"

#include <commctrl.h>
#include <stdio.h>
#include <wchar.h>

#include "common/IniSection.h"
#include "common/PathUtil.h"
#include "common/ProcessEnvironment.h"
#include "common/TextOps.h"
#include "common/UnicodeProfile.h"
#include "driverstore/DriverStore.h"
#include "driverstore/PackageLayout.h"

namespace {

std::wstring Join(const std::wstring& folder, const std::wstring& name) {
  wchar_t path[kPathChars];
  lstrcpynW(path, folder.c_str(), kPathChars);
  AppendPathPart(path, kPathChars, name.c_str());
  return path;
}

bool HasKey(const std::wstring& inf, const std::wstring& section) {
  wchar_t* list = ReadIniSection(inf.c_str(), section.c_str());
  bool found = false;
  for (const wchar_t* p = list; p && *p && !found; p += wcslen(p) + 1)
    found = wcschr(p, L'=') != nullptr;
  delete[] list;
  return found;
}

std::wstring Cleaned(std::wstring text) {
  text.push_back(0);
  CutIniComment(&text[0]);
  TrimAroundCommas(&text[0]);
  return text.c_str();
}

std::wstring LinesText(const std::vector<std::wstring>& lines) {
  std::wstring list;
  for (const std::wstring& l : lines) {
    list += l;
    list.push_back(L'\0');
  }
  list.push_back(L'\0');
  return list;
}

void Step(HWND bar) {
  if (bar) SendMessageW(bar, PBM_STEPIT, 0, 0);
}

}  // namespace

CInfImporter::CInfImporter(CMountedImage* image_, uint32_t target_, uint32_t buildNumber_,
                           uint32_t classCode_, const wchar_t* className_,
                           const wchar_t* classGuid_, HWND progressBar_)
    : image(image_),
      target(target_),
      buildNumber(buildNumber_),
      classCode(classCode_),
      className(className_),
      classGuid(classGuid_),
      progressBar(progressBar_) {}

std::wstring ReadInfCatalogName(const wchar_t* infPath, bool x64) {
  for (const wchar_t* key :
       {L"CatalogFile", L"CatalogFile.NT", x64 ? L"CatalogFile.NTamd64" : L"CatalogFile.NTx86"}) {
    std::wstring name = ReadIniValue(infPath, L"Version", key);
    if (!name.empty()) return name;
  }
  return L"";
}

std::wstring FindUnsafeVersionFileName(const wchar_t* infPath) {
  wchar_t* list = ReadIniSection(infPath, L"Version");
  std::wstring unsafe;
  for (const wchar_t* p = list; p && *p && unsafe.empty(); p += wcslen(p) + 1) {
    std::wstring line = Cleaned(p);
    size_t eq = line.find(L'=');
    if (eq == std::wstring::npos) continue;
    std::wstring key = line.substr(0, eq);
    key.push_back(0);
    TrimBlanks(&key[0]);
    StripQuotes(&key[0]);
    if (_wcsnicmp(key.c_str(), L"CatalogFile", 11) != 0 &&
        _wcsicmp(key.c_str(), L"LayoutFile") != 0)
      continue;
    for (const std::wstring& raw : SplitInfValue(line.substr(eq + 1))) {
      if (!unsafe.empty()) break;
      const std::wstring expanded = SubstituteInfReferences(raw).substr(0, kPathChars - 1);
      if (!raw.empty() &&
          (ContainedPackageFileName(raw).empty() || ContainedPackageFileName(expanded).empty()))
        unsafe = raw;
    }
  }
  delete[] list;
  return unsafe;
}

std::wstring FindMissingPackageFile(const wchar_t* versionFolder) {
  if (!versionFolder) return L"";
  wchar_t inf[kPathChars];
  lstrcpynW(inf, versionFolder, kPathChars);
  AppendPathPart(inf, kPathChars, L"VroPnp.inf");
  // Every section's files: the combined INF holds only what the target
  // installs.
  std::wstring names = ReadIniSectionNames(inf);
  for (const wchar_t* s = names.c_str(); *s; s += wcslen(s) + 1) {
    std::wstring missing = FindRefusedPackageFile(nullptr, inf, versionFolder, s, false);
    if (!missing.empty()) return missing;
  }
  return L"";
}

unsigned CInfImporter::ImportInf(const wchar_t* infPath, const wchar_t* storeFolder) {
  packageFolder.clear();
  enumerator.clear();
  versionFolder.clear();
  manufacturer.clear();
  manufacturerName.clear();
  models.clear();
  deviceRecords.clear();
  hardwareIds.clear();
  newModels.clear();
  renames.clear();
  missingFile.clear();
  if (!infPath || !storeFolder || !className || !classGuid) return 0;
  if (_wcsicmp(ReadIniValue(infPath, L"Version", L"Class").c_str(), className) != 0 ||
      _wcsicmp(ReadIniValue(infPath, L"Version", L"ClassGUID").c_str(), classGuid) != 0)
    return 0;
  if (!ReadDriverVersionModels(infPath)) return 0;
  for (const std::wstring& id : hardwareIds) {
    size_t slash = id.find(L'\\');
    if (slash == std::wstring::npos) continue;
    wchar_t found[400];
    lstrcpynW(found, id.c_str() + slash + 1, 400);
    if (FindDriverInStore((int)classCode, target, found, 400)) {
      packageFolder = std::wstring(found).substr(0, 79);
      break;
    }
  }
  // Folder names made of the package's ids and version stay in the store.
  if (!IsPlainName(packageFolder.c_str()) || !IsPlainName(versionFolder.c_str()) ||
      !IsPlainName(enumerator.c_str()))
    return 0;
  const std::wstring store = storeFolder;
  const std::wstring package = Join(store, packageFolder);
  const std::wstring version = Join(package, versionFolder);
  const std::wstring combined = Join(version, L"VroPnp.inf");
  const bool merging = GetPathKind(combined.c_str()) == 1;
  if (merging) {
    ReadManufacturerModels(combined.c_str());
    newModels.clear();
    std::wstring names = ReadIniSectionNames(combined.c_str());
    for (const wchar_t* s = names.c_str(); *s; s += wcslen(s) + 1) {
      std::wstring n = std::wstring(s).substr(0, 99);
      renames.push_back({n, n});
    }
  }
  // A package whose models the combined INF holds already adds none: that
  // is a repeat, not a refusal; only a package without any model for the
  // target is refused.
  if (!ReadManufacturerModels(infPath) && models.empty()) return 0;

  std::unique_ptr<CProcessEnvironment> strings = LoadInfStrings(infPath);
  const bool x64 = (target >> 16) == 64;
  std::wstring disk = ReadIniValue(infPath, L"SourceDisksNames", L"1", true);
  if (disk.empty())
    disk = ReadIniValue(infPath, x64 ? L"SourceDisksNames.amd64" : L"SourceDisksNames.x86", L"1",
                        true);
  std::vector<std::wstring> diskFields;
  if (!disk.empty()) diskFields = SplitInfValue(disk);
  // The package's files: below the INF's folder where its layout places
  // them (the disk's path, the file's subfolder). A path that leaves it, or
  // a file the package's models copy and the folder lacks, refuses the
  // package before anything is written.
  wchar_t sourceFolder[kPathChars];
  CopyParentPath(infPath, sourceFolder, kPathChars);
  const PackageLayout layout(infPath, target >> 16);
  if (diskFields.size() > 3) {
    std::vector<wchar_t> sub(diskFields[3].begin(), diskFields[3].end());
    sub.push_back(0);
    // The media's root is the INF's folder.
    const wchar_t* path = IsPathSeparator(sub[0]) ? sub.data() + 1 : sub.data();
    const std::wstring contained = ContainedPackageFileName(path);
    if (*path && contained.empty()) missingFile = sub.data();
  }
  // A file [Version] names (the catalog) is copied beside the combined INF:
  // a name that would leave the package refuses it.
  if (missingFile.empty()) missingFile = FindUnsafeVersionFileName(infPath);
  // Every section tree the import copies below, walked through the same
  // gate before the first write.
  for (const wchar_t* section : {L"Version", L"DestinationDirs"})
    if (missingFile.empty())
      missingFile = FindRefusedPackageFile(image, infPath, sourceFolder, section, true, &layout);
  for (const InfModelRecord& m : newModels)
    for (const wchar_t* suffix : kInstallSectionSuffixes)
      if (missingFile.empty())
        missingFile = FindRefusedPackageFile(image, infPath, sourceFolder,
                                             (m.installSection + suffix).c_str(), true, &layout);
  if (!missingFile.empty()) {
    RestoreInfStrings(infPath, std::move(strings));
    return 0;
  }
  CreateDirectoryW(package.c_str(), nullptr);
  CreateDirectoryW(version.c_str(), nullptr);
  if (!merging) CreateEmptyUnicodeFile(combined.c_str());
  std::vector<InfRenameRecord> throwAway;
  CopyInstallSectionTree(image, infPath, combined.c_str(), sourceFolder, L"Version", L"Version",
                         throwAway, true, &layout);
  WriteProfileValue(combined.c_str(), L"Version", L"Mfg",
                    QuoteInfText(manufacturerName.empty() ? manufacturer : manufacturerName).c_str());
  if (!diskFields.empty()) {
    const std::wstring text = SubstituteInfReferences(diskFields[0].substr(0, 400)).substr(0, 399);
    WriteProfileValue(combined.c_str(), L"SourceDisksNames", L"1", text.c_str());
  }
  WriteProfileValue(combined.c_str(), L"ControlFlags", L"ExcludeFromSelect", L"*");
  if (renames.empty())
    CopyInstallSectionTree(image, infPath, combined.c_str(), sourceFolder, L"DestinationDirs",
                           L"DestinationDirs", throwAway, true, &layout);
  const unsigned major = (target >> 8) & 0xFF, minor = target & 0xFF;
  wchar_t text[400];
  _snwprintf(text, 400, x64 ? L"%s,NTamd64.%u.%u" : L"%s,NTx86.%u.%u", manufacturer.c_str(), major,
             minor);
  text[399] = 0;
  WriteProfileValue(combined.c_str(), L"Manufacturer", manufacturer.c_str(), text);

  if (progressBar) {
    SendMessageW(progressBar, PBM_SETRANGE32, 0, (LPARAM)newModels.size() + 1);
    SendMessageW(progressBar, PBM_SETPOS, 0, 0);
    SendMessageW(progressBar, PBM_SETSTEP, 1, 0);
  }
  Step(progressBar);
  wchar_t modelsSection[100];
  _snwprintf(modelsSection, 100, x64 ? L"%s.NTamd64.%u.%u" : L"%s.NTx86.%u.%u",
             manufacturer.c_str(), major, minor);
  modelsSection[99] = 0;
  std::vector<std::wstring> lines;
  for (const InfModelRecord& m : models)
    lines.push_back(QuoteInfText(m.description) + L"=" + m.newSection + L"," + m.hardwareId);
  RemoveProfileSection(combined.c_str(), modelsSection);
  WriteProfileSection(combined.c_str(), modelsSection, LinesText(lines).c_str());

  for (const InfModelRecord& m : newModels) {
    Step(progressBar);
    if (HasKey(combined, m.newSection)) continue;
    for (const wchar_t* suffix : kInstallSectionSuffixes)
      CopyInstallSectionTree(image, infPath, combined.c_str(), sourceFolder,
                             (m.installSection + suffix).c_str(), (m.newSection + suffix).c_str(),
                             renames, true, &layout);
  }
  for (const InfRenameRecord& r : renames) {
    if (_wcsicmp(r.oldName.c_str(), r.newName.c_str()) == 0) continue;
    std::wstring entry = ReadIniValue(infPath, L"DestinationDirs", r.oldName.c_str());
    if (!entry.empty())
      WriteProfileValue(combined.c_str(), L"DestinationDirs", r.newName.c_str(),
                        ExpandInfStrings(Cleaned(entry)).c_str());
  }
  const std::wstring catalog = ReadInfCatalogName(infPath, x64);
  if (!catalog.empty()) {
    wchar_t from[kPathChars];
    CopyParentPath(infPath, from, kPathChars);
    CopyPackageFile(from, version.c_str(), catalog.c_str());
  }
  RestoreInfStrings(infPath, std::move(strings));

  // The device list of the version folder, written anew.
  CreateDirectoryW(package.c_str(), nullptr);
  CreateDirectoryW(version.c_str(), nullptr);
  const std::wstring deviceList = Join(version, L"VroPnp.ini");
  WriteUnicodeFile(deviceList.c_str(), L"");
  for (const InfModelRecord& m : newModels) {
    if (!HasKey(combined, m.newSection)) continue;
    bool same = false;
    for (const InfModelRecord& d : deviceRecords)
      same = same || _wcsicmp(d.newSection.c_str(), m.newSection.c_str()) == 0;
    if (same) continue;
    InfModelRecord cut = m;
    cut.hardwareId = CutHardwareId(m.hardwareId);
    for (const InfModelRecord& d : deviceRecords)
      same = same || (d.description == cut.description && d.hardwareId == cut.hardwareId);
    if (!same) deviceRecords.push_back(cut);
  }
  lines.clear();
  for (const InfModelRecord& d : deviceRecords)
    if (HasKey(combined, d.newSection))
      lines.push_back(QuoteInfText(d.description) + L"=" + d.newSection + L"," + d.hardwareId);
  WriteIniSection(deviceList.c_str(), L"DeviceList", LinesText(lines).c_str());
  if (!hardwareIds.empty()) {
    const std::wstring& first = hardwareIds[0];
    std::wstring section = first.substr(0, first.find(L'\\'));
    lines.clear();
    for (const std::wstring& id : hardwareIds) {
      size_t slash = id.find(L'\\');
      if (slash != std::wstring::npos) lines.push_back(id.substr(slash + 1));
    }
    WriteIniSection(deviceList.c_str(), section.c_str(), LinesText(lines).c_str());
  }

  // The store index.
  const std::wstring index = Join(store, L"VroDir.ini");
  std::wstring section = (enumerator + L"\\" + packageFolder).substr(0, 399);
  lines.clear();
  wchar_t* existing = ReadIniSection(index.c_str(), section.c_str());
  for (const wchar_t* p = existing; p && *p; p += wcslen(p) + 1) lines.push_back(p);
  delete[] existing;
  for (const std::wstring& id : hardwareIds) {
    size_t slash = id.find(L'\\');
    if (slash == std::wstring::npos) continue;
    std::wstring device = id.substr(slash + 1);
    bool listed = false;
    for (const std::wstring& l : lines) listed = listed || _wcsicmp(l.c_str(), device.c_str()) == 0;
    if (!listed) lines.push_back(device);
  }
  if (GetPathKind(index.c_str()) != 1) WriteUnicodeFile(index.c_str(), L"");
  RemoveProfileSection(index.c_str(), section.c_str());
  WriteProfileSection(index.c_str(), section.c_str(), LinesText(lines).c_str());
  return (unsigned)models.size();
}
