// Model collection: the models of a package INF (or of a combined INF) for
// the target Windows, their install sections and hardware ids.
#include "driverstore/InfImporter.h"

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <algorithm>

#include "common/IniSection.h"
#include "common/ProcessEnvironment.h"
#include "common/TextOps.h"

namespace {

std::wstring Expanded(std::wstring text, size_t chars) {
  if (text.size() > chars) text.resize(chars);
  return SubstituteInfReferences(text).substr(0, 8191);
}

std::wstring Clean(const std::wstring& text, size_t chars) {
  std::vector<wchar_t> b(chars + 1, L'\0');
  lstrcpynW(b.data(), text.c_str(), (int)chars + 1);
  CutIniComment(b.data());
  TrimBlanks(b.data());
  TrimAroundCommas(b.data());
  return Expanded(b.data(), chars);
}

bool HasKey(const wchar_t* inf, const std::wstring& section) {
  for (const std::wstring& line : ReadInfLines(inf, section.c_str()))
    if (line.find(L'=') != std::wstring::npos) return true;
  return false;
}

// A model line, cleaned: false when it is not taken in this pass.
struct ModelLine {
  std::wstring description, installSection, hardwareId;
};

std::vector<ModelLine> ModelLines(const wchar_t* inf, const wchar_t* section, int subsysPass) {
  std::vector<ModelLine> out;
  for (const std::wstring& entry : ReadInfLines(inf, section)) {
    const wchar_t* p = entry.c_str();
    const wchar_t* eq = wcschr(p, L'=');
    if (!eq || !eq[1]) continue;
    std::wstring description = Expanded(std::wstring(p, eq - p), 199);
    for (int i = 0; i < 2; ++i) {
      std::vector<wchar_t> b(description.begin(), description.end());
      b.push_back(0);
      UnquoteInfText(b.data());
      TrimBlanks(b.data());
      description = b.data();
    }
    const std::vector<std::wstring> fields = SplitInfValue(Clean(eq + 1, 799), 2, true);
    if (fields.size() < 2 || IsMobileDisplayModel(description.c_str())) continue;
    ModelLine line{description, fields[0], fields[1].substr(0, 99)};
    size_t slash = line.hardwareId.find(L'\\');
    std::wstring device =
        slash == std::wstring::npos ? line.hardwareId : line.hardwareId.substr(slash + 1);
    if (FindNoCase(device, L"&SUBSYS_") != (subsysPass == 1)) continue;
    out.push_back(line);
  }
  return out;
}

uint32_t CandidateNumber(const std::wstring& candidate) {
  size_t dot = candidate.rfind(L'.');
  return dot == std::wstring::npos ? 0
                                   : (uint32_t)wcstoul(candidate.c_str() + dot + 1, nullptr, 10);
}

bool Contains(const std::vector<std::wstring>& list, const std::wstring& s) {
  for (const std::wstring& e : list)
    if (_wcsicmp(e.c_str(), s.c_str()) == 0) return true;
  return false;
}

}  // namespace

std::wstring CutHardwareId(const std::wstring& id) {
  std::wstring cut = id;
  size_t at;
  if (FindNoCase(cut, L"&SUBSYS_", &at)) cut.resize(at);
  if (FindNoCase(cut, L"&REV_", &at)) cut.resize(at);
  return cut;
}

bool IsMobileDisplayModel(const wchar_t* description) {
  if (!description) return false;
  std::wstring d = description;
  for (size_t i = 0; i + 1 < d.size(); ++i)
    if (iswdigit(d[i]) && d[i + 1] == L'M' && (i + 2 == d.size() || d[i + 2] == L' ')) return true;
  return FindNoCase(d, L"(TM)") || FindNoCase(d, L" Mobility ") || FindNoCase(d, L"mobile");
}

int CInfImporter::ReadModelSection(const wchar_t* modelsSection, const wchar_t* infPath,
                                   int subsysPass) {
  int added = 0;
  const bool x64 = (target >> 16) == 64;
  for (const ModelLine& line : ModelLines(infPath, modelsSection, subsysPass)) {
    std::wstring found;
    for (const wchar_t* pattern : {x64 ? L"%s.NTamd64" : L"%s.NTx86", L"%s.NT", L"%s"}) {
      wchar_t name[128];
      _snwprintf(name, 128, pattern, line.installSection.substr(0, 99).c_str());
      name[127] = 0;
      if (HasKey(infPath, name)) {
        found = name;
        break;
      }
    }
    if (found.empty()) continue;
    bool known = false;
    for (const InfModelRecord& m : models)
      known = known || _wcsicmp(m.hardwareId.c_str(), line.hardwareId.c_str()) == 0;
    if (known) continue;
    InfModelRecord record{line.description, line.hardwareId, found, found};
    wchar_t renamed[100];
    lstrcpynW(renamed, found.c_str(), 100);
    MakeUniqueRenameTarget(renames, renamed);
    record.newSection = renamed;
    models.push_back(record);
    bool sameSection = false;
    for (const InfModelRecord& m : newModels)
      sameSection = sameSection || _wcsicmp(m.newSection.c_str(), record.newSection.c_str()) == 0;
    if (!sameSection) newModels.push_back(record);
    InfModelRecord cut = record;
    cut.hardwareId = CutHardwareId(record.hardwareId);
    bool sameDescription = false;
    for (const InfModelRecord& m : deviceRecords)
      sameDescription = sameDescription || m.description == cut.description;
    if (!sameDescription) deviceRecords.push_back(cut);
    if (!Contains(hardwareIds, cut.hardwareId)) hardwareIds.push_back(cut.hardwareId);
    ++added;
  }
  return added;
}

int CInfImporter::ReadModelHardwareIds(const wchar_t* modelsSection, const wchar_t* infPath,
                                       int subsysPass) {
  int result = 0;
  for (const ModelLine& line : ModelLines(infPath, modelsSection, subsysPass)) {
    std::wstring cut = CutHardwareId(line.hardwareId);
    if (!Contains(hardwareIds, cut)) hardwareIds.push_back(cut);
    size_t slash = cut.find(L'\\');
    if (packageFolder.empty() && slash != std::wstring::npos) {
      enumerator = cut.substr(0, std::min<size_t>(slash, 79));
      packageFolder = cut.substr(slash + 1, 79);
      result = 1;
    }
  }
  return result;
}

int CInfImporter::ReadManufacturerSections(const wchar_t* infPath, bool versionRead) {
  int total = 0;
  const bool x64 = (target >> 16) == 64;
  const unsigned major = (target >> 8) & 0xFF, minor = target & 0xFF;
  auto read = [&](const std::wstring& section) {
    int n = 0;
    for (int pass : {1, 0})
      n += versionRead ? ReadModelHardwareIds(section.c_str(), infPath, pass)
                       : ReadModelSection(section.c_str(), infPath, pass);
    return n;
  };
  for (const std::wstring& entry : ReadInfLines(infPath, L"Manufacturer")) {
    const wchar_t* p = entry.c_str();
    const wchar_t* eq = wcschr(p, L'=');
    if (!eq) continue;
    if (versionRead) {
      std::wstring key = Clean(std::wstring(p, eq - p), 8191).substr(0, 40);
      size_t comma = key.find(L',', 1);
      if (comma != std::wstring::npos) key.resize(comma);
      if (!key.empty() && key[0] == L',') key.erase(0, 1);
      manufacturer = key;
      std::wstring name(p, eq - p);
      name.push_back(0);
      CutIniComment(&name[0]);
      TrimBlanks(&name[0]);
      name = ExpandInfStrings(name.c_str()).substr(0, 199);
      name.push_back(0);
      UnquoteInfText(&name[0]);
      manufacturerName = name.c_str();
    }
    std::wstring value = Clean(eq + 1, 399);
    int before = total;
    if (value.find(L',') == std::wstring::npos) {
      total += read(value);
    } else {
      const std::vector<std::wstring> tokens = SplitInfValue(value, (size_t)-1, true);
      std::vector<std::wstring> candidates;
      for (size_t i = 0; i < tokens.size(); ++i)
        candidates.push_back((i == 0 ? tokens[0] : tokens[0] + L"." + tokens[i]).substr(0, 199));
      wchar_t t[64];
      _snwprintf(t, 64, x64 ? L"NTamd64.%u.%u" : L"NTx86.%u.%u", major, minor);
      t[63] = 0;
      std::wstring T = t;
      std::vector<std::wstring> exact;
      for (const std::wstring& c : candidates)
        if (FindNoCase(c, T.c_str()) && HasKey(infPath, c) && CandidateNumber(c) <= buildNumber)
          exact.push_back(c);
      if (exact.size() >= 2) {
        std::sort(exact.begin(), exact.end(), [](const std::wstring& a, const std::wstring& b) {
          return _wcsicmp(a.c_str(), b.c_str()) > 0;
        });
        T = exact[0];
      }
      for (const std::wstring& c : candidates) {
        if (!exact.empty() && (!FindNoCase(c, T.c_str()) || CandidateNumber(c) > buildNumber))
          continue;
        if ((x64 && FindNoCase(c, L"NTx86")) || (!x64 && FindNoCase(c, L"NTamd64")) ||
            FindNoCase(c, L"NTia64"))
          continue;
        int n = read(c);
        total += n;
        if (n && !versionRead) {
          T = c;
          break;
        }
      }
      wchar_t prefix[32];
      _snwprintf(prefix, 32, x64 ? L"NTamd64.%u." : L"NTx86.%u.", major);
      prefix[31] = 0;
      for (const std::wstring& c : candidates)
        if (_wcsicmp(c.c_str(), T.c_str()) != 0 && FindNoCase(c, prefix)) total += read(c);
    }
    if (versionRead && total > before) break;
  }
  return total;
}

int CInfImporter::ReadManufacturerModels(const wchar_t* infPath) {
  std::unique_ptr<CProcessEnvironment> strings = LoadInfStrings(infPath);
  int count = ReadManufacturerSections(infPath, false);
  RestoreInfStrings(infPath, std::move(strings));
  return count;
}

int CInfImporter::ReadDriverVersionModels(const wchar_t* infPath) {
  std::unique_ptr<CProcessEnvironment> strings = LoadInfStrings(infPath);
  std::wstring version = Clean(ReadIniValue(infPath, L"Version", L"DriverVer"), 99);
  size_t comma = version.find(L',');
  if (comma != std::wstring::npos) version = version.substr(comma + 1);
  version.push_back(0);
  SanitizeFileName(&version[0]);
  version = version.c_str();
  versionFolder = version.empty() ? L"1.0.0.0" : version;
  int result = ReadManufacturerSections(infPath, true) ? 1 : 0;
  RestoreInfStrings(infPath, std::move(strings));
  return packageFolder.empty() ? 0 : result;
}
