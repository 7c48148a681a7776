// Per-device INF extraction and writing.
#include "driverstore/DeviceInf.h"

#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/IniSection.h"
#include "common/NoRedirect.h"
#include "common/PathUtil.h"
#include "common/TextOps.h"
#include "common/UnicodeProfile.h"
#include "driverstore/InfImporter.h"
#include "driverstore/InfSectionCopy.h"
#include "image/mount/MountedImage.h"

namespace {

const DWORD kWaitMilliseconds = 5000;

bool StartsWithNoCase(const std::wstring& text, const std::wstring& prefix) {
  return text.size() >= prefix.size() &&
         _wcsnicmp(text.c_str(), prefix.c_str(), prefix.size()) == 0;
}

std::wstring CutAt(const std::wstring& text, const wchar_t* marker) {
  size_t at;
  return FindNoCase(text, marker, &at) ? text.substr(0, at) : text;
}

std::wstring Clean(std::wstring text, bool trimCommas = true) {
  text.push_back(0);
  CutIniComment(&text[0]);
  if (trimCommas) TrimAroundCommas(&text[0]);
  TrimBlanks(&text[0]);
  return text.c_str();
}

// Lines of an INF section (continued lines joined).
std::vector<std::wstring> Lines(const wchar_t* file, const wchar_t* section) {
  return ReadInfLines(file, section);
}

bool HasKey(const wchar_t* file, const std::wstring& section) {
  for (const std::wstring& line : Lines(file, section.c_str()))
    if (line.find(L'=') != std::wstring::npos) return true;
  return false;
}

int SuccessOf(const std::wstring& path) {
  return _wtoi(ReadIniValue(path.c_str(), L"Version", L"Success").c_str());
}

std::wstring TargetDecoration(uint32_t version) {
  wchar_t text[100];
  _snwprintf(text, 100, (version >> 16) == 64 ? L"NTamd64.%u.%u" : L"NTx86.%u.%u",
             (version >> 8) & 0xFF, version & 0xFF);
  text[99] = 0;
  return text;
}

// The decimal number behind the last "." of a section name.
uint32_t MinimumBuild(const std::wstring& section) {
  size_t dot = section.rfind(L'.');
  return dot == std::wstring::npos ? 0 : (uint32_t)wcstoul(section.c_str() + dot + 1, nullptr, 10);
}

std::vector<std::wstring> SectionNamesOf(const std::wstring& value) {
  std::vector<std::wstring> names, tokens;
  for (const std::wstring& t : SplitInfValue(value, (size_t)-1, true))
    if (!t.empty()) tokens.push_back(t);
  for (size_t i = 0; i < tokens.size(); ++i) {
    std::wstring name = i == 0 ? tokens[0] : tokens[0] + L"." + tokens[i];
    if (name.size() > 199) name.resize(199);
    names.push_back(name);
  }
  return names;
}

}  // namespace

int ExtractDeviceInf(CMountedImage* image, uint32_t windowsVersion, const wchar_t* versionFolder,
                     const wchar_t* enumerator, const wchar_t* devicePart) {
  if (!versionFolder || !enumerator || !devicePart) return 0;
  wchar_t path[kPathChars];
  lstrcpynW(path, versionFolder, kPathChars);
  AppendPathPart(path, kPathChars, (std::wstring(devicePart) + L".inf").c_str());
  if (GetPathKind(path) == 1) {
    int success = SuccessOf(path);
    DWORD start = GetTickCount();
    while (!success && GetTickCount() - start < kWaitMilliseconds) {
      Sleep(10);
      success = SuccessOf(path);
    }
    if (success) return success;
    // Left unfinished by an earlier run that was stopped: made anew.
  }
  if (!WriteUnicodeFile(path, L"")) return 0;
  wchar_t combined[kPathChars];
  lstrcpynW(combined, versionFolder, kPathChars);
  AppendPathPart(combined, kPathChars, L"VroPnp.inf");
  uint32_t build = image ? (uint32_t)image->GetWindowsBuildNumber() : 0xFFFFFFFFu;
  int result = 0;
  for (const std::wstring& line : Lines(combined, L"Manufacturer")) {
    size_t eq = line.find(L'=');
    if (eq == std::wstring::npos) continue;
    std::wstring value = Clean(line.substr(eq + 1));
    if (value.size() > 399) value.resize(399);
    std::vector<std::wstring> sections = SectionNamesOf(value);
    if (sections.empty()) continue;
    std::wstring decoration = TargetDecoration(windowsVersion);
    std::vector<std::wstring> candidates;
    for (const std::wstring& s : sections)
      if (FindNoCase(s, decoration.c_str()) && HasKey(combined, s) && build >= MinimumBuild(s))
        candidates.push_back(s);
    if (candidates.size() >= 2) {
      std::sort(candidates.begin(), candidates.end(),
                [](const std::wstring& a, const std::wstring& b) {
                  return _wcsicmp(a.c_str(), b.c_str()) > 0;
                });
      decoration = candidates[0].substr(0, 99);
    }
    uint32_t arch = windowsVersion >> 16;
    for (const std::wstring& s : sections) {
      if (!candidates.empty() && (!FindNoCase(s, decoration.c_str()) || build < MinimumBuild(s)))
        continue;
      if ((arch == 64 && FindNoCase(s, L"NTx86")) || (arch == 86 && FindNoCase(s, L"NTamd64")) ||
          FindNoCase(s, L"NTia64"))
        continue;
      if (MatchModelSection(s.c_str(), image, windowsVersion, enumerator, devicePart, versionFolder,
                            combined)) {
        result = 1;
        break;
      }
    }
  }
  if (result) {
    WriteProfileValue(path, L"Version", L"Success", L"1");
    return 1;
  }
  DeleteFileW(path);
  return 0;
}

int MatchModelSection(const wchar_t* modelsSection, CMountedImage* image, uint32_t windowsVersion,
                      const wchar_t* enumerator, const wchar_t* devicePart,
                      const wchar_t* versionFolder, const wchar_t* combinedInf) {
  std::vector<std::wstring> lines = Lines(combinedInf, modelsSection);
  if (lines.empty()) return 0;
  const std::wstring device = devicePart;
  size_t subsys = std::wstring::npos, rev = std::wstring::npos;
  bool hasRev = FindNoCase(device, L"&REV_", &rev);
  bool hasSubsys = FindNoCase(device, L"&SUBSYS_", &subsys);
  const std::wstring base = CutAt(CutAt(device, L"&REV_"), L"&SUBSYS_");

  auto matches = [&](int pass, const std::wstring& id) {
    switch (pass) {
      case 1:
        return _wcsicmp(device.c_str(), id.c_str()) == 0;
      case 2:
        return hasRev &&
               _wcsicmp(CutAt(device, L"&REV_").c_str(), CutAt(id, L"&REV_").c_str()) == 0;
      case 3:
        return hasSubsys && hasRev && rev > subsys &&
               _wcsicmp((device.substr(0, subsys) + device.substr(rev)).c_str(), id.c_str()) == 0;
      case 4:
        return _wcsicmp(id.c_str(), base.c_str()) == 0 ||
               (StartsWithNoCase(id, base) &&
                _wcsnicmp(id.c_str() + base.size(), L"&REV_", 5) == 0);
      default:
        return StartsWithNoCase(id, base);
    }
  };
  wchar_t target[kPathChars];
  lstrcpynW(target, versionFolder, kPathChars);
  AppendPathPart(target, kPathChars, (device + L".inf").c_str());
  for (int pass = 1; pass <= 5; ++pass) {
    for (const std::wstring& line : lines) {
      size_t eq = line.find(L'=');
      if (eq == std::wstring::npos) continue;
      std::wstring right = Clean(line.substr(eq + 1, 1023));
      size_t comma = right.find(L',');
      if (right.empty() || comma == std::wstring::npos) continue;
      std::wstring install = right.substr(0, comma);
      std::wstring id = right.substr(comma + 1);
      size_t slash = id.find(L'\\');
      if (slash != std::wstring::npos) id = id.substr(slash + 1);
      if (!matches(pass, id)) continue;
      std::wstring name = line.substr(0, std::min<size_t>(eq, 199));
      name.push_back(0);
      CutIniComment(&name[0]);
      TrimAroundCommas(&name[0]);
      TrimBlanks(&name[0]);  // "Name" = ... keeps a blank before the "="
      UnquoteInfText(&name[0]);
      TrimBlanks(&name[0]);
      std::wstring hardwareId = std::wstring(enumerator) + L"\\" + device;
      int written = WriteModelInf(image, windowsVersion, combinedInf, name.c_str(),
                                  hardwareId.c_str(), install.c_str(), target);
      if (written) return written;
    }
  }
  return 0;
}

int WriteModelInf(CMountedImage* image, uint32_t windowsVersion, const wchar_t* combinedInf,
                  const wchar_t* description, const wchar_t* hardwareId,
                  const wchar_t* installSection, const wchar_t* targetInf) {
  // The manufacturer's text is kept whole, commas and all.
  std::wstring mfg = Clean(ReadIniValue(combinedInf, L"Version", L"Mfg"), false);
  if (mfg.empty()) mfg = Clean(ReadIniValue(combinedInf, L"Version", L"Provider"), false);
  wchar_t source[kPathChars];
  CopyParentPath(combinedInf, source, kPathChars);
  return WriteDeviceInf(image, windowsVersion, source, combinedInf, combinedInf, mfg.c_str(),
                        description, hardwareId, installSection, targetInf);
}

int WriteDeviceInf(CMountedImage* image, uint32_t windowsVersion, const wchar_t* sourceFolder,
                   const wchar_t* catalogInf, const wchar_t* sourceInf, const wchar_t* manufacturer,
                   const wchar_t* description, const wchar_t* hardwareId,
                   const wchar_t* installSection, const wchar_t* targetInf) {
  if (!sourceFolder || !catalogInf || !sourceInf || !manufacturer || !description || !hardwareId ||
      !installSection || !targetInf)
    return 0;
  const bool x64 = (windowsVersion >> 16) == 64;
  auto version = [&](const wchar_t* key) {
    return Clean(ReadIniValue(sourceInf, L"Version", key), false);
  };
  for (const wchar_t* key : {L"Signature", L"Class", L"ClassGUID", L"Provider"})
    WriteProfileValue(targetInf, L"Version", key, version(key).c_str());
  WriteProfileValue(targetInf, L"Version", L"Mfg", QuoteInfText(manufacturer).c_str());

  // A catalog name that would leave its folder is no catalog.
  const std::wstring catalog = ReadInfCatalogName(sourceInf, x64);
  if (IsPlainName(catalog.c_str())) {
    WriteProfileValue(targetInf, L"Version", L"CatalogFile", catalog.c_str());
    wchar_t from[kPathChars], to[kPathChars];
    CopyParentPath(catalogInf, from, kPathChars);
    AppendPathPart(from, kPathChars, catalog.c_str());
    CopyParentPath(targetInf, to, kPathChars);
    AppendPathPart(to, kPathChars, catalog.c_str());
    if (_wcsicmp(from, to) != 0) CopyFileNoRedirect(from, to, FALSE);
  }
  WriteProfileValue(targetInf, L"Version", L"DriverVer", Clean(version(L"DriverVer")).c_str());
  WriteProfileValue(targetInf, L"ControlFlags", L"ExcludeFromSelect", L"*");
  std::wstring disk = ReadIniValue(sourceInf, L"SourceDisksNames", L"1");
  if (disk.empty())
    disk = ReadIniValue(sourceInf, x64 ? L"SourceDisksNames.amd64" : L"SourceDisksNames.x86", L"1");
  if (!disk.empty()) WriteProfileValue(targetInf, L"SourceDisksNames", L"1", Clean(disk).c_str());
  std::wstring defaultDir = ReadIniValue(sourceInf, L"DestinationDirs", L"DefaultDestDir");
  if (!defaultDir.empty())
    WriteProfileValue(targetInf, L"DestinationDirs", L"DefaultDestDir", Clean(defaultDir).c_str());

  std::wstring key = manufacturer;
  if (key.size() > 399) key.resize(399);
  key.push_back(0);
  KeepAlphanumericChars(&key[0]);
  key = key.c_str();
  wchar_t decorated[360];
  _snwprintf(decorated, 360, x64 ? L"%s,NTamd64.%u.%u" : L"%s,NTx86.%u.%u", key.c_str(),
             (windowsVersion >> 8) & 0xFF, windowsVersion & 0xFF);
  decorated[359] = 0;
  WriteProfileValue(targetInf, L"Manufacturer", key.c_str(), decorated);
  wchar_t models[360];
  _snwprintf(models, 360, x64 ? L"%s.NTamd64.%u.%u" : L"%s.NTx86.%u.%u", key.c_str(),
             (windowsVersion >> 8) & 0xFF, windowsVersion & 0xFF);
  models[359] = 0;
  std::wstring quoted = QuoteInfText(std::wstring(description).substr(0, 197));
  WriteProfileValue(targetInf, models, quoted.c_str(),
                    (std::wstring(installSection) + L"," + hardwareId).substr(0, 399).c_str());

  const std::wstring sets[] = {std::wstring(installSection) + (x64 ? L".NTamd64" : L".NTx86"),
                               std::wstring(installSection) + L".NT", std::wstring(installSection)};
  for (const std::wstring& set : sets) {
    uint32_t bits = 0;
    for (const wchar_t* suffix : kInstallSectionSuffixes) {
      std::wstring name = set + suffix;
      std::vector<InfRenameRecord> none;
      bits |= CopyInstallSectionTree(image, sourceInf, targetInf, sourceFolder, name.c_str(),
                                     name.c_str(), none, false);
    }
    if ((bits & kInfCopiedFile) && (bits & kInfCopiedService)) return 1;
  }
  return 0;
}

int IsVirtualNetInf(uint32_t windowsVersion, const wchar_t* installSection,
                    const wchar_t* infPath) {
  if (!installSection || !infPath) return 0;
  if (_wcsicmp(ReadIniValue(infPath, L"Version", L"Class").c_str(), L"Net") != 0 ||
      _wcsicmp(ReadIniValue(infPath, L"Version", L"ClassGUID").c_str(),
               L"{4d36e972-e325-11ce-bfc1-08002be10318}") != 0)
    return 0;
  const std::wstring s = installSection;
  for (const std::wstring& section :
       {s + ((windowsVersion >> 16) == 64 ? L".NTamd64" : L".NTx86"), s + L".NT", s}) {
    std::wstring text = ReadIniValue(infPath, section.substr(0, 199).c_str(), L"Characteristics");
    unsigned long value = text.compare(0, 2, L"0x") == 0 || text.compare(0, 2, L"0X") == 0
                              ? wcstoul(text.c_str() + 2, nullptr, 16)
                              : wcstoul(text.c_str(), nullptr, 10);
    if (value & 0x1) return 1;
  }
  return 0;
}
