// Install-section copy between INF files.
#include "driverstore/InfSectionCopy.h"

#include <windows.h>
#include <stdio.h>
#include <wchar.h>

#include "common/IniSection.h"
#include "common/NoRedirect.h"
#include "common/PathUtil.h"
#include "common/ProcessEnvironment.h"
#include "common/ProgramLanguage.h"
#include "common/TempFiles.h"
#include "common/TextOps.h"
#include "common/UnicodeProfile.h"
#include "driverstore/PackageLayout.h"
#include "image/mount/MountedImage.h"

namespace {

const int kNameChars = 100;
const int kMaxDepth = 16;
const int kMaxNeeds = 100;

// Copy writes the target; Check walks the same tree writing nothing and
// keeps the first file name that the gate refuses; Flatten merges
// included INFs without their files.
enum class Mode { Copy, Check, Flatten };

struct IncludedInf {
  std::wstring path;
  std::wstring name;
  bool temporary;
};

struct InfCopyContext {
  CMountedImage* image;
  const wchar_t* targetInf;  // in a check only its folder counts
  const wchar_t* sourceFolder;
  std::vector<InfRenameRecord>* renames;
  bool expand;
  Mode mode;
  const wchar_t* packageInf;  // the files its own sections copy are in the package
  std::wstring* refused;      // a check's first refused name
  const PackageLayout* layout;  // where the package's files lie; none: by name
};

// A line or value as the target gets it, whole at any length.
std::wstring Cleaned(const std::wstring& text, bool expand, bool trimCommas = true) {
  std::wstring b = text;
  b.push_back(0);
  CutIniComment(&b[0]);
  if (trimCommas) TrimAroundCommas(&b[0]);
  TrimBlanks(&b[0]);
  if (!expand) return b.c_str();
  // The package's strings keep their meaning in the target: quoted where
  // the text would otherwise end at a ";" or split at a ",".
  return ExpandInfStrings(b.c_str());
}

std::vector<std::wstring> Lines(const wchar_t* inf, const wchar_t* section, bool* found = nullptr) {
  return ReadInfLines(inf, section, found);
}

// The fields of a value at its commas outside quotes, each as written.
std::vector<std::wstring> Split(const std::wstring& value) {
  return SplitInfValue(value, (size_t)-1, true);
}

// Lines are compared as written: two lines that differ only in case may
// give a value two texts.
bool Contains(const std::vector<std::wstring>& list, const std::wstring& line) {
  for (const std::wstring& l : list)
    if (l == line) return true;
  return false;
}

// Writes the section anew at the end of the target: `lines`, then the lines
// it held that are not among them.
void ReplaceSectionKeeping(const wchar_t* targetInf, const wchar_t* section,
                           std::vector<std::wstring> lines) {
  for (const std::wstring& old : Lines(targetInf, section))
    if (!Contains(lines, old)) lines.push_back(old);
  std::wstring list;
  for (const std::wstring& l : lines) {
    list += l;
    list.push_back(L'\0');
  }
  list.push_back(L'\0');
  RemoveProfileSection(targetInf, section);
  WriteProfileSection(targetInf, section, list.c_str());
}

std::wstring Folder(const wchar_t* path) {
  return std::wstring(path, FindFileNamePart(path) - path);
}

// A name refused by a check: the first one is kept. False when refused.
bool Refuse(const InfCopyContext& c, const std::wstring& name) {
  if (c.refused && c.refused->empty()) *c.refused = name.empty() ? L"\"\"" : name;
  return false;
}

// The gate of a file name a file section gives: kept inside the folders.
bool PassesGate(const InfCopyContext& c, const std::wstring& name) {
  return !ContainedPackageFileName(name).empty() || Refuse(c, name);
}

// The path below the source folder a file of the package is read from
// (by the package's layout, else its name); empty when it would leave it.
std::wstring SourceOf(const InfCopyContext& c, const std::wstring& name) {
  return c.layout ? c.layout->SourcePath(name) : ContainedPackageFileName(name);
}

// A file the package copies: where its layout places it, and there. False
// (refused, named) when that place leaves the package or holds no file.
bool CheckPackageFile(const InfCopyContext& c, const std::wstring& name) {
  const std::wstring from = SourceOf(c, name);
  if (from.empty()) return Refuse(c, c.layout ? c.layout->WrittenPath(name) : name);
  wchar_t path[kPathChars];
  lstrcpynW(path, c.sourceFolder, kPathChars);
  AppendPathPart(path, kPathChars, from.c_str());
  return GetPathKind(path) == 1 || Refuse(c, name);
}

// The [DestinationDirs] entry of a file section as the source writes it,
// however its key is spelled; empty when it has none.
std::wstring DestinationEntry(const wchar_t* sourceInf, const std::wstring& name) {
  std::wstring entry;
  if (ReadProfileValue(sourceInf, L"DestinationDirs", name.c_str(), entry)) return entry;
  for (const std::wstring& line : Lines(sourceInf, L"DestinationDirs")) {
    size_t eq = line.find(L'=');
    if (eq != std::wstring::npos &&
        _wcsicmp(Cleaned(line.substr(0, eq), false).c_str(), name.c_str()) == 0)
      return line.substr(eq + 1);
  }
  return L"";
}

// The destination entry of a file section, for both of its names, with the
// package's strings expanded as in every other line the target gets.
void CopyDestinationDir(const InfCopyContext& c, const wchar_t* sourceInf, const std::wstring& name,
                        const std::wstring& newName) {
  const std::wstring entry = Cleaned(DestinationEntry(sourceInf, name), c.expand);
  if (entry.empty()) return;
  WriteProfileValue(c.targetInf, L"DestinationDirs", name.c_str(), entry.c_str());
  if (_wcsicmp(name.c_str(), newName.c_str()) != 0)
    WriteProfileValue(c.targetInf, L"DestinationDirs", newName.c_str(), entry.c_str());
}

// The subfolder of a destination entry ("DIRID,subfolder"), trimmed and
// unquoted; empty when it has none.
std::wstring DestinationSubfolder(const std::wstring& entry) {
  size_t comma = entry.find(L',');
  if (comma == std::wstring::npos) return L"";
  std::vector<wchar_t> sub(entry.begin() + comma + 1, entry.end());
  sub.push_back(0);
  TrimBlanks(sub.data());
  StripQuotes(sub.data());
  TrimBlanks(sub.data());
  return sub.data();
}

// The folder a file section's files go to (its own entry, else the
// package's default) through the gate as it expands: a subfolder that
// leaves its folder, names a device or keeps a %string% is refused, named
// as the package writes it. False when refused.
bool CheckDestination(const InfCopyContext& c, const wchar_t* sourceInf,
                      const std::wstring& section) {
  std::wstring entry = DestinationEntry(sourceInf, section);
  if (Cleaned(entry, false).empty()) entry = DestinationEntry(sourceInf, L"DefaultDestDir");
  const std::wstring written = DestinationSubfolder(Cleaned(entry, false));
  const std::wstring sub = DestinationSubfolder(Cleaned(entry, c.expand));
  if (written.empty() && sub.empty()) return true;
  return (!ContainedPackageFileName(sub).empty() && IsContainedPath(sub.c_str()) &&
          sub.find(L'%') == std::wstring::npos) ||
         Refuse(c, written.empty() ? sub : written);
}

// The fields of a file section's line as the target holds them (expanded
// when the copy expands), each trimmed and unquoted.
std::vector<std::wstring> FileFields(const std::wstring& line, bool expand) {
  std::vector<std::wstring> fields = Split(Cleaned(line, expand));
  for (std::wstring& f : fields) {
    f.push_back(0);
    TrimBlanks(&f[0]);
    StripQuotes(&f[0]);
    f = f.c_str();
  }
  return fields;
}

// Every name of a file section's lines through the gate; in the package
// INF's own CopyFiles sections the source must be in the package as well.
void CheckFileSection(const InfCopyContext& c, const wchar_t* sourceInf, const std::wstring& section,
                      bool copyFiles) {
  const bool own = c.packageInf && _wcsicmp(sourceInf, c.packageInf) == 0;
  if (!CheckDestination(c, sourceInf, section)) return;
  for (const std::wstring& line : Lines(sourceInf, section.c_str())) {
    std::vector<std::wstring> f = FileFields(line, c.expand);
    for (size_t i = 0; i < f.size() && i < 2; ++i)
      if (!f[i].empty() && !PassesGate(c, f[i])) return;
    // The names the installation would refuse are refused here.
    if (copyFiles && !f[0].empty()) {
      const std::wstring refused = RefusedCopyFilesName(f[0], f.size() > 1 ? f[1] : L"");
      if (!refused.empty()) {
        Refuse(c, refused);
        return;
      }
    }
    const std::wstring& source = f.size() > 1 && !f[1].empty() ? f[1] : f[0];
    if (!copyFiles || !own || source.empty()) continue;
    if (!CheckPackageFile(c, source)) return;
  }
}

// The file "CopyFiles=@name" copies in place of a section (trimmed,
// unquoted); empty when "@" names none.
std::wstring SingleFileName(const std::wstring& raw) {
  std::vector<wchar_t> name(raw.begin() + (raw.empty() ? 0 : 1), raw.end());
  name.push_back(0);
  TrimBlanks(name.data());
  StripQuotes(name.data());
  TrimBlanks(name.data());
  return name.data();
}

// A single file copied in place of a section: one plain name through the
// gate, which the package itself holds, going to the default destination.
void CheckSingleFile(const InfCopyContext& c, const wchar_t* sourceInf, const std::wstring& raw) {
  const std::wstring name = SingleFileName(raw);
  if (!IsPlainName(name.c_str()) || !PassesGate(c, name)) {
    Refuse(c, name.empty() ? raw : name);
    return;
  }
  if (!CheckDestination(c, sourceInf, L"DefaultDestDir")) return;
  if (!c.packageInf || _wcsicmp(sourceInf, c.packageInf) != 0) return;
  CheckPackageFile(c, name);
}

void ListSourceFile(const InfCopyContext& c, const std::wstring& file) {
  if (!file.empty()) WriteProfileValue(c.targetInf, L"SourceDisksFiles", file.c_str(), L"1");
}

uint32_t CopyTree(const InfCopyContext& c, const wchar_t* sourceInf, const wchar_t* sourceSection,
                  const wchar_t* targetSection, std::vector<IncludedInf>& includes, int depth);

// An INF named by Include: beside the package, else from the image's
// Windows\Inf, else from the host's, flattened into a temporary copy.
void AddInclude(const InfCopyContext& c, const wchar_t* sourceInf, const std::wstring& name,
                std::vector<IncludedInf>& includes, int depth) {
  for (const IncludedInf& i : includes)
    if (_wcsicmp(i.name.c_str(), name.c_str()) == 0) return;
  // Read beside the package or from an INF folder: never from elsewhere.
  if (!PassesGate(c, name)) return;
  std::wstring beside = Folder(sourceInf) + name;
  if (GetPathKind(beside.c_str()) == 1) {
    includes.push_back({beside, name, false});
    return;
  }
  wchar_t raw[kPathChars];
  if (!CreateTempFileName(raw, L"Inf")) return;
  bool got = false;
  wchar_t windows[kPathChars];
  if (c.image && c.image->FindWindowsDirectory(windows, kPathChars)) {
    AppendPathPart(windows, kPathChars, L"Inf");
    AppendPathPart(windows, kPathChars, name.c_str());
    got = c.image->ExtractToHost(windows, raw, ReplaceExistingCopyCallback, nullptr) != 0;
  }
  if (!got) {
    wchar_t host[kPathChars];
    UINT n = GetWindowsDirectoryW(host, kPathChars);
    if (n && n < (UINT)kPathChars) {
      AppendPathPart(host, kPathChars, L"Inf");
      AppendPathPart(host, kPathChars, name.c_str());
      got = CopyFileW(host, raw, FALSE) != 0;
    }
  }
  if (!got || depth > kMaxDepth) {
    DeleteFileW(raw);
    return;
  }
  wchar_t flat[kPathChars];
  if (CreateTempFileName(flat, L"Inf") && WriteFlattenedInf(c.image, raw, flat))
    includes.push_back({flat, name, true});
  else if (flat[0])
    DeleteFileW(flat);
  DeleteFileW(raw);
}

uint32_t CopyTree(const InfCopyContext& c, const wchar_t* sourceInf, const wchar_t* sourceSection,
                  const wchar_t* targetSection, std::vector<IncludedInf>& includes, int depth) {
  if (depth > kMaxDepth) return 0;
  bool found = false;
  std::vector<std::wstring> lines = Lines(sourceInf, sourceSection, &found);
  if (!found) return 0;
  uint32_t bits = 0;
  std::vector<std::wstring> out;
  for (const std::wstring& line : lines) {
    size_t eq = line.find(L'=');
    if (eq == std::wstring::npos) continue;
    std::wstring value = Cleaned(line.substr(eq + 1), c.expand);
    if (value.empty()) continue;
    std::vector<wchar_t> k(line.begin(), line.begin() + eq);
    k.push_back(0);
    StripQuotes(k.data());
    TrimBlanks(k.data());
    std::wstring key = k.data();
    const wchar_t* kc = key.c_str();
    // BitReg sections change registry values as AddReg ones write them.
    bool addReg = _wcsicmp(kc, L"AddReg") == 0 || _wcsicmp(kc, L"BitReg") == 0,
         delReg = _wcsicmp(kc, L"DelReg") == 0;
    bool dlls = _wcsicmp(kc, L"RegisterDlls") == 0, delFiles = _wcsicmp(kc, L"DelFiles") == 0;
    bool copyFiles = _wcsicmp(kc, L"CopyFiles") == 0;
    bool flatten = c.mode == Mode::Flatten, check = c.mode == Mode::Check;
    if (check && _wcsicmp(kc, L"RenFiles") == 0) {
      for (const std::wstring& raw : Split(value))
        if (!raw.empty()) CheckFileSection(c, sourceInf, raw, false);
    } else if (addReg || delReg || (!flatten && (dlls || delFiles || copyFiles))) {
      bits |= addReg     ? kInfCopiedAddReg
              : delReg   ? kInfCopiedDelReg
              : dlls     ? kInfCopiedRegisterDlls
              : delFiles ? kInfCopiedDelFiles
                         : 0;
      std::wstring names;
      for (const std::wstring& raw : Split(value)) {
        if (raw.empty()) continue;
        // A single file named in place of a section: checked and copied
        // as any file of a section, the line keeping its "@" form.
        if (copyFiles && raw[0] == L'@') {
          if (check) {
            CheckSingleFile(c, sourceInf, raw);
            continue;
          }
          const std::wstring file = SingleFileName(raw);
          if (!IsPlainName(file.c_str()) || ContainedPackageFileName(file).empty()) {
            // Kept as the package writes it, copying nothing: it stands
            // for a file, and the installation that reads this copy
            // refuses the package naming it.
            bits |= kInfCopiedFile;
            if (!names.empty()) names += L",";
            names += raw;
            continue;
          }
          ListSourceFile(c, file);
          if (CopyPackageFile(c.sourceFolder, Folder(c.targetInf).c_str(), file.c_str(),
                              SourceOf(c, file).c_str()))
            bits |= kInfCopiedFile;
          if (!names.empty()) names += L",";
          names += L"@" + file;
          continue;
        }
        wchar_t name[kNameChars];
        lstrcpynW(name, raw.c_str(), kNameChars);
        if (!flatten) MakeUniqueRenameTarget(*c.renames, name);
        if (check && (delFiles || copyFiles)) CheckFileSection(c, sourceInf, raw, copyFiles);
        if (check) continue;
        MergeIniSectionLines(sourceInf, c.targetInf, raw.c_str(), name, c.expand);
        if (delFiles || copyFiles) {
          CopyDestinationDir(c, sourceInf, raw, name);
          for (const std::wstring& fileLine : Lines(sourceInf, raw.c_str())) {
            std::vector<std::wstring> f = FileFields(fileLine, c.expand);
            const std::wstring& file = delFiles || f.size() < 2 || f[1].empty() ? f[0] : f[1];
            if (file.empty() || !PassesGate(c, file)) continue;
            ListSourceFile(c, file);
            if (!delFiles && CopyPackageFile(c.sourceFolder, Folder(c.targetInf).c_str(),
                                             file.c_str(), SourceOf(c, file).c_str()))
              bits |= kInfCopiedFile;
          }
        }
        if (!names.empty()) names += L",";
        names += name;
      }
      out.push_back(key + L"=" + names);
    } else if (!flatten && _wcsicmp(kc, L"AddService") == 0) {
      std::vector<std::wstring> f = Split(value);
      if (f.size() < 3 || f[2].empty()) continue;
      bits |= kInfCopiedService;
      std::wstring text = f[0] + L"," + f[1] + L",";
      for (size_t i = 2; i < f.size() && i < 4; ++i) {
        if (f[i].empty() && i == 3) {
          text += L",";
          continue;
        }
        wchar_t name[kNameChars];
        lstrcpynW(name, f[i].c_str(), kNameChars);
        MakeUniqueRenameTarget(*c.renames, name);
        bits |= CopyTree(c, sourceInf, f[i].c_str(), name, includes, depth + 1);
        text += (i == 3 ? L"," : L"") + std::wstring(name);
      }
      for (size_t i = 4; i < f.size(); ++i) text += L"," + f[i];
      out.push_back(key + L"=" + text);
    } else if (_wcsicmp(kc, L"Include") == 0) {
      for (const std::wstring& name : Split(value))
        if (!name.empty()) AddInclude(c, sourceInf, name, includes, depth);
    } else if (_wcsicmp(kc, L"Needs") == 0) {
      std::vector<std::wstring> needs = Split(value);
      for (size_t n = 0; n < needs.size() && n < (size_t)kMaxNeeds; ++n) {
        if (needs[n].empty()) continue;
        if (includes.empty()) {
          bits |= CopyTree(c, sourceInf, needs[n].c_str(), targetSection, includes, depth + 1);
          continue;
        }
        for (const IncludedInf& inc : includes) {
          std::vector<IncludedInf> none;
          uint32_t got =
              CopyTree(c, inc.path.c_str(), needs[n].c_str(), targetSection, none, depth + 1);
          bits |= got;
          if (got) break;
        }
      }
    } else {
      bool quote = key.find_first_of(L"=,") != std::wstring::npos;
      out.push_back((quote ? L"\"" + key + L"\"" : key) + L"=" + value);
    }
  }
  if (!out.empty() && c.mode != Mode::Check) ReplaceSectionKeeping(c.targetInf, targetSection, out);
  if (depth == 0)
    for (const IncludedInf& inc : includes)
      if (inc.temporary) DeleteFileW(inc.path.c_str());
  return bits;
}

}  // namespace

const wchar_t* const kInstallSectionSuffixes[6] = {
    L"", L".CoInstallers", L".HW", L".Services", L".GeneralConfigData", L".SoftwareSettings"};

DWORD CALLBACK ReplaceExistingCopyCallback(DWORD event, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD,
                                           DWORD, void*) {
  return event == VCC_TARGET_EXISTS ? VCC_REPLACE : 1;
}

void MakeUniqueRenameTarget(std::vector<InfRenameRecord>& renames, wchar_t* name) {
  InfRenameRecord* record = nullptr;
  for (InfRenameRecord& r : renames)
    if (_wcsicmp(r.oldName.c_str(), name) == 0) {
      record = &r;
      break;
    }
  if (!record) return;
  if (_wcsicmp(record->newName.c_str(), record->oldName.c_str()) != 0) {
    lstrcpynW(name, record->newName.c_str(), kNameChars);
    return;
  }
  std::wstring candidate = name;
  for (unsigned counter = 1;; ++counter) {
    size_t dot = candidate.rfind(L'.');
    std::wstring tail = dot == std::wstring::npos ? L"x" : candidate.substr(dot + 1);
    bool digits =
        dot != std::wstring::npos && tail.find_first_not_of(L"0123456789") == std::wstring::npos;
    wchar_t suffix[16];
    _snwprintf(suffix, 16, L".%03u", counter);
    suffix[15] = 0;
    std::wstring next = (digits ? candidate.substr(0, dot) : candidate) + suffix;
    if (next.size() > kNameChars - 1) next.resize(kNameChars - 1);
    bool taken = false;
    for (const InfRenameRecord& r : renames)
      taken = taken || _wcsicmp(r.newName.c_str(), next.c_str()) == 0;
    if (!taken) {
      record->newName = next;
      lstrcpynW(name, next.c_str(), kNameChars);
      return;
    }
    if (counter > 999) return;
  }
}

void MergeIniSectionLines(const wchar_t* sourceInf, const wchar_t* targetInf,
                          const wchar_t* sourceSection, const wchar_t* targetSection, bool expand) {
  // Every line in its order: a later line of the same value is the one
  // that counts.
  std::vector<std::wstring> collected;
  for (const std::wstring& line : Lines(sourceInf, sourceSection)) {
    std::wstring clean = Cleaned(line, expand);
    if (!clean.empty()) collected.push_back(clean);
  }
  if (!collected.empty()) ReplaceSectionKeeping(targetInf, targetSection, collected);
}

std::wstring ContainedPackageFileName(const std::wstring& name) {
  return name.size() < (size_t)kNameChars ? ContainedFileName(name.c_str()) : std::wstring();
}

std::wstring RefusedCopyFilesName(const std::wstring& target, const std::wstring& source) {
  if (!IsPlainName(target.c_str())) return target.empty() ? L"\"\"" : target;
  const std::wstring& from = source.empty() ? target : source;
  const wchar_t* s = from.c_str();
  if (IsPathSeparator(*s)) ++s;
  return IsContainedPath(s) ? std::wstring() : from;
}

bool CopyPackageFile(const wchar_t* sourceFolder, const wchar_t* targetFolder,
                     const wchar_t* name, const wchar_t* sourcePath) {
  const std::wstring file = ContainedPackageFileName(name ? name : L"");
  const std::wstring source = sourcePath ? ContainedFileName(sourcePath) : file;
  if (file.empty() || source.empty() || !sourceFolder || !targetFolder) return false;
  wchar_t from[kPathChars], to[kPathChars];
  lstrcpynW(from, sourceFolder, kPathChars);
  AppendPathPart(from, kPathChars, source.c_str());
  lstrcpynW(to, targetFolder, kPathChars);
  AppendPathPart(to, kPathChars, file.c_str());
  return _wcsicmp(from, to) == 0 || GetPathKind(to) == 1 || CopyFileNoRedirect(from, to, FALSE);
}

std::wstring FindRefusedPackageFile(CMountedImage* image, const wchar_t* sourceInf,
                                    const wchar_t* sourceFolder, const wchar_t* sourceSection,
                                    bool expand, const PackageLayout* layout) {
  if (!sourceInf || !sourceFolder || !sourceSection) return L"";
  std::wstring refused;
  std::vector<InfRenameRecord> renames;  // names in the target play no part
  InfCopyContext c{image,       sourceInf, sourceFolder, &renames, expand,
                   Mode::Check, sourceInf, &refused,     layout};
  std::vector<IncludedInf> includes;
  CopyTree(c, sourceInf, sourceSection, sourceSection, includes, 0);
  return refused;
}

uint32_t CopyInstallSectionTree(CMountedImage* image, const wchar_t* sourceInf,
                                const wchar_t* targetInf, const wchar_t* sourceFolder,
                                const wchar_t* sourceSection, const wchar_t* targetSection,
                                std::vector<InfRenameRecord>& renames, bool expand,
                                const PackageLayout* layout) {
  if (!sourceInf || !targetInf || !sourceFolder || !sourceSection || !targetSection) return 0;
  InfCopyContext c{image,      targetInf, sourceFolder, &renames, expand,
                   Mode::Copy, nullptr,   nullptr,      layout};
  std::vector<IncludedInf> includes;
  return CopyTree(c, sourceInf, sourceSection, targetSection, includes, 0);
}

uint32_t IncludeNeededInfs(CMountedImage* image, const wchar_t* sourceInf,
                           const wchar_t* sourceSection, const wchar_t* targetInf,
                           const wchar_t* targetSection) {
  if (!sourceInf || !targetInf || !sourceSection || !targetSection) return 0;
  std::vector<InfRenameRecord> none;
  std::wstring folder = Folder(sourceInf);
  InfCopyContext c{image,         targetInf, folder.c_str(), &none, true,
                   Mode::Flatten, nullptr,   nullptr,        nullptr};
  std::vector<IncludedInf> includes;
  return CopyTree(c, sourceInf, sourceSection, targetSection, includes, 0);
}

std::unique_ptr<CProcessEnvironment> LoadInfStrings(const wchar_t* infPath, unsigned languageId) {
  std::unique_ptr<CProcessEnvironment> saved(new CProcessEnvironment());
  DefineInfStrings(saved.get(), infPath, languageId);
  return saved;
}

std::vector<std::wstring> InfStringsSections(unsigned languageId) {
  std::vector<std::wstring> sections = {L"Strings"};
  // The primary language with the neutral sublanguage, then the language
  // itself.
  for (unsigned id : {languageId & 0x3FFu, languageId & 0xFFFFu}) {
    wchar_t name[16];
    _snwprintf(name, 16, L"Strings.%04X", id);
    name[15] = 0;
    if (_wcsicmp(sections.back().c_str(), name) != 0) sections.push_back(name);
  }
  return sections;
}

void DefineInfStrings(CProcessEnvironment* lease, const wchar_t* infPath) {
  DefineInfStrings(lease, infPath, ProgramLanguage());
}

void DefineInfStrings(CProcessEnvironment* lease, const wchar_t* infPath, unsigned languageId) {
  for (const std::wstring& section : InfStringsSections(languageId)) {
    for (const std::wstring& line : Lines(infPath, section.c_str())) {
      size_t eq = line.find(L'=');
      if (eq == std::wstring::npos) continue;
      std::vector<wchar_t> name(line.begin(), line.begin() + eq);
      name.push_back(0);
      TrimBlanks(name.data());
      std::vector<wchar_t> value(line.begin() + eq + 1, line.end());
      value.push_back(0);
      CutIniComment(value.data());
      TrimBlanks(value.data());
      // A quoted string writes a quote inside it as two.
      bool quoted = value[0] == L'"';
      StripQuotes(value.data());
      std::wstring text = value.data();
      for (size_t q = 0; quoted && (q = text.find(L"\"\"", q)) != std::wstring::npos; ++q)
        text.erase(q, 1);
      if (name[0]) lease->Define(name.data(), text);
    }
  }
}

std::unique_ptr<CProcessEnvironment> LoadInfStrings(const wchar_t* infPath) {
  return LoadInfStrings(infPath, ProgramLanguage());
}

void RestoreInfStrings(const wchar_t*, std::unique_ptr<CProcessEnvironment> saved) {
  saved.reset();
}

int WriteFlattenedInf(CMountedImage* image, const wchar_t* sourceInf, const wchar_t* targetFile) {
  if (!sourceInf || !targetFile || !WriteUnicodeFile(targetFile, L"")) return 0;
  std::unique_ptr<CProcessEnvironment> strings = LoadInfStrings(sourceInf);
  int written = 0;
  std::wstring names = ReadIniSectionNames(sourceInf);
  for (const wchar_t* s = names.c_str(); *s; s += wcslen(s) + 1) {
    if (_wcsicmp(s, L"Strings") == 0 || (wcslen(s) == 12 && _wcsnicmp(s, L"Strings.", 8) == 0))
      continue;
    bool directives = false;
    for (const std::wstring& line : Lines(sourceInf, s)) {
      size_t eq = line.find(L'=');
      std::wstring key = eq == std::wstring::npos ? L"" : Cleaned(line.substr(0, eq), false);
      directives = directives || _wcsicmp(key.c_str(), L"Include") == 0 ||
                   _wcsicmp(key.c_str(), L"Needs") == 0;
    }
    if (directives)
      IncludeNeededInfs(image, sourceInf, s, targetFile, s);
    else
      MergeIniSectionLines(sourceInf, targetFile, s, s, true);
    written = 1;
  }
  RestoreInfStrings(sourceInf, std::move(strings));
  return written;
}
