// The driver file pass: the package's catalog and every file of its
// CopyFiles directives placed into the image, as copies or as links to the
// driver store, each recorded in the driver's Files record of the script.
#include "infinstall/InfInstaller.h"

#include <stdio.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "common/PathUtil.h"
#include "common/RegText.h"
#include "common/TextOps.h"
#include "driverstore/InfImporter.h"
#include "driverstore/InfSectionCopy.h"
#include "image/mount/MountedImage.h"
#include "infinstall/InfText.h"
#include "infinstall/RegScriptFile.h"

using namespace inftext;

namespace {

const int kKeyChars = 1024;
const uint64_t kGrowMargin = 0x40000000;  // 1 GiB above what the file needs
const uint64_t kRoomMargin = 0x100000;    // for the records and indexes a pass adds
const DWORD kReparseSymlink = 0xA000000C;
const unsigned kCreateFile = 0x8000;
const int kMaxServiceDepth = 8;
// ".vronew" and ".vroold": the names a placed file and the one it replaces
// have beside its place until the change is kept.
const size_t kSwapSuffixChars = 7;

PartitionGrowFunction g_PartitionGrow = nullptr;

void NoteMissingFile(CInfInstaller* inst, const wchar_t* name, const std::wstring& why) {
  if (!inst->MissingFile[0]) lstrcpynW(inst->MissingFile, name, 100);
  inst->NoteRefusal(why);
}

const wchar_t* const kDecorations64[] = {
    L"%s.NTamd64", L"%s.NTamd64.CoInstallers", L"%s.NTamd64.HW", L"%s.NTamd64.Services",
    L"%s.NT",      L"%s.NT.CoInstallers",      L"%s.NT.HW",      L"%s.NT.Services",
    L"%s",         L"%s.CoInstallers",         L"%s.HW",         L"%s.Services"};
const wchar_t* const kDecorations86[] = {
    L"%s.NTx86", L"%s.NTx86.CoInstallers", L"%s.NTx86.HW", L"%s.NTx86.Services",
    L"%s.NT",    L"%s.NT.CoInstallers",    L"%s.NT.HW",    L"%s.NT.Services",
    L"%s",       L"%s.CoInstallers",       L"%s.HW",       L"%s.Services"};

std::vector<std::wstring> Decorated(const CInfInstaller* inst, const wchar_t* name) {
  std::vector<std::wstring> names;
  const wchar_t* const* table = nullptr;
  if (inst->TargetArch() == 64)
    table = kDecorations64;
  else if (inst->TargetArch() == 86)
    table = kDecorations86;
  for (size_t i = 0; table && i < 12; ++i) {
    wchar_t buffer[200];
    _snwprintf(buffer, 200, table[i], name);
    buffer[199] = 0;
    names.push_back(buffer);
  }
  return names;
}

// The INF's folder, with a trailing separator.
std::wstring InfFolder(const wchar_t* infPath) {
  std::wstring folder(infPath, FindFileNamePart(infPath) - infPath);
  if (folder.empty() || (folder.back() != L'\\' && folder.back() != L'/')) folder += L'\\';
  return folder;
}

std::wstring FilesKey(const CInfInstaller* inst, const wchar_t* classKey) {
  wchar_t key[kKeyChars];
  _snwprintf(key, kKeyChars,
             L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet%03u\\Control\\Class\\%s\\Files",
             inst->ControlSet, classKey);
  key[kKeyChars - 1] = 0;
  return key;
}

void StageLinkedFolder(CInfInstaller* inst, const wchar_t* infPath, const wchar_t* scriptPath,
                       const wchar_t* classKey) {
  std::wstring folder = InfFolder(infPath);
  folder.pop_back();
  inst->WriteRegValue(FilesKey(inst, classKey).c_str(), L"@",
                      RegScriptStringData(Escaped(folder)).c_str(), scriptPath);
}

std::wstring CatalogName(const CInfInstaller* inst, const wchar_t* infPath) {
  std::wstring name = ReadInfCatalogName(infPath, inst->TargetArch() == 64);
  // A name that would leave the catalog folder is no catalog.
  return IsPlainName(name.c_str()) ? name : std::wstring();
}

void CopyCatalog(CInfInstaller* inst, const wchar_t* infPath, const wchar_t* scriptPath,
                 const wchar_t* classKey) {
  std::wstring name = CatalogName(inst, infPath);
  if (name.empty() || !inst->Image) return;
  wchar_t target[kPathChars];
  if (!inst->Image->FindWindowsDirectory(target, kPathChars)) return;
  AppendPathPart(target, kPathChars, L"System32\\CatRoot\\{F750E6C3-38EE-11D1-85E5-00C04FC295EE}");
  AppendPathPart(target, kPathChars, name.c_str());
  std::wstring source = InfFolder(infPath) + name;
  inst->CopyDriverFile(source.c_str(), target, classKey, scriptPath, 0);
}

int CopyFilesDirectives(CInfInstaller* inst, const wchar_t* section, const wchar_t* infPath,
                        const wchar_t* scriptPath, const wchar_t* classKey, int depth) {
  if (depth > kMaxServiceDepth) return 0;
  int placed = 0;
  for (const std::wstring& line : SectionLines(infPath, section)) {
    std::wstring key, value;
    if (!SplitDirective(line, key, value)) continue;
    if (value.size() > 1024) value.resize(1024);
    if (_wcsicmp(key.c_str(), L"CopyFiles") == 0) {
      for (const std::wstring& s : SectionNames(value)) {
        // "@name": that one file, to the default destination.
        if (s[0] == L'@') {
          const std::wstring file = CleanField(s.substr(1), 100);
          placed |= inst->StageCopyFilesLine(L"DefaultDestDir", file, file, infPath, scriptPath,
                                             classKey)
                        ? 1
                        : 0;
          continue;
        }
        placed |= inst->StageCopyFilesSection(s.c_str(), infPath, scriptPath, classKey) ? 1 : 0;
      }
    } else if (_wcsicmp(key.c_str(), L"Needs") == 0) {
      for (const std::wstring& s : SectionNames(value))
        placed |= CopyFilesDirectives(inst, s.c_str(), infPath, scriptPath, classKey, depth + 1);
    } else if (_wcsicmp(key.c_str(), L"AddService") == 0) {
      // The service-install section and the event-log install section.
      std::vector<std::wstring> f = SplitCommas(value, 5);
      for (size_t i = 2; i < f.size() && i < 4; ++i) {
        std::wstring s = CleanField(f[i], 200);
        if (!s.empty())
          placed |= CopyFilesDirectives(inst, s.c_str(), infPath, scriptPath, classKey, depth + 1);
      }
    }
  }
  return placed;
}

}  // namespace

void SetPartitionGrowFunction(PartitionGrowFunction grow) {
  g_PartitionGrow = grow;
}

int CInfInstaller::CopyDriverFiles(const wchar_t* infPath, const wchar_t* scriptPath,
                                   const wchar_t* classKey) {
  if (!infPath || !scriptPath || !classKey || !Image) return 0;
  if (!CheckFilesOnly) CopyCatalog(this, infPath, scriptPath, classKey);
  else if (PlannedFiles && !CatalogName(this, infPath).empty())
    PlannedFiles->push_back(CatalogName(this, infPath));
  MissingFile[0] = 0;
  Refusal.clear();
  bool any = false;
  for (const std::wstring& line : SectionLines(infPath, L"Manufacturer")) {
    std::wstring key, value;
    if (!SplitDirective(line, key, value)) continue;
    any = true;
    CopyDecoratedSectionFiles(ModelsSectionName(value).c_str(), infPath, scriptPath, classKey);
  }
  if (!any || MissingFile[0]) return 0;
  if (LinkFiles == 1 && !CheckFilesOnly) StageLinkedFolder(this, infPath, scriptPath, classKey);
  return 1;
}

int CInfInstaller::CheckDriverFiles(const wchar_t* infPath, std::vector<std::wstring>* names,
                                    const wchar_t* installSection) {
  CheckFilesOnly = 1;
  PlannedFiles = names;
  PlannedBytes = 0;
  int present = installSection && installSection[0]
                    ? CopySetupDriverFiles(infPath, L"", L"", installSection)
                    : CopyDriverFiles(infPath, L"", L"");
  PlannedFiles = nullptr;
  CheckFilesOnly = 0;
  return present;
}

int CInfInstaller::CopySetupDriverFiles(const wchar_t* infPath, const wchar_t* scriptPath,
                                        const wchar_t* classKey, const wchar_t* installSection) {
  if (!infPath || !scriptPath || !classKey || !installSection || !Image) return 0;
  if (!CheckFilesOnly) CopyCatalog(this, infPath, scriptPath, classKey);
  else if (PlannedFiles && !CatalogName(this, infPath).empty())
    PlannedFiles->push_back(CatalogName(this, infPath));
  MissingFile[0] = 0;
  Refusal.clear();
  int placed = 0;
  for (const std::wstring& s : Decorated(this, installSection))
    placed |= StageCopyFilesDirectives(s.c_str(), infPath, scriptPath, classKey) ? 1 : 0;
  if (MissingFile[0]) return 0;
  if (placed && LinkFiles == 1 && !CheckFilesOnly)
    StageLinkedFolder(this, infPath, scriptPath, classKey);
  return placed;
}

void CInfInstaller::CopyDecoratedSectionFiles(const wchar_t* modelsSection, const wchar_t* infPath,
                                              const wchar_t* scriptPath, const wchar_t* classKey) {
  for (const std::wstring& line : SectionLines(infPath, modelsSection)) {
    std::wstring description, right;
    if (!SplitDirective(line, description, right) || right.empty()) continue;
    std::wstring install = right.substr(0, right.find(L','));
    for (const std::wstring& s : Decorated(this, install.c_str()))
      StageCopyFilesDirectives(s.c_str(), infPath, scriptPath, classKey);
  }
}

int CInfInstaller::StageCopyFilesDirectives(const wchar_t* section, const wchar_t* infPath,
                                            const wchar_t* scriptPath, const wchar_t* classKey) {
  if (!section || !infPath || !scriptPath || !classKey) return 0;
  return CopyFilesDirectives(this, section, infPath, scriptPath, classKey, 0);
}

int CInfInstaller::ReserveRoom(uint64_t bytes) {
  uint64_t total = 0, free = 0;
  if (!Image || !Image->GetVolumeSpace(&total, &free)) return 0;
  if (free >= bytes + kRoomMargin) return 1;
  return g_PartitionGrow &&
         g_PartitionGrow(Image, (total + bytes + kRoomMargin + kGrowMargin) / 0x100000) &&
         Image->GetVolumeSpace(&total, &free) && free >= bytes + kRoomMargin;
}

void CInfInstaller::BeginFileSwap() {
  SwappedFiles.clear();
  CreatedFolders.clear();
  KeepSwapped = 1;
}

void CInfInstaller::EndFileSwap(bool keep) {
  KeepSwapped = 0;
  for (size_t i = SwappedFiles.size(); i-- > 0;) {
    const std::wstring& target = SwappedFiles[i].first;
    const std::wstring old = target + L".vroold";
    if (keep) {
      if (SwappedFiles[i].second) Image->DeletePath(old.c_str());
      continue;
    }
    Image->DeletePath(target.c_str());
    if (SwappedFiles[i].second) Image->RenamePath(old.c_str(), target.c_str());
  }
  for (size_t i = CreatedFolders.size(); !keep && i-- > 0;)
    Image->DeletePath(CreatedFolders[i].c_str());
  SwappedFiles.clear();
  CreatedFolders.clear();
}

int CInfInstaller::MakeFolderChain(const wchar_t* folder) {
  if (!Image || !folder || !folder[0]) return 0;
  std::vector<std::wstring> missing;
  for (std::wstring f = folder; !f.empty() && Image->GetPathType(f.c_str()) == 0;) {
    missing.insert(missing.begin(), f);
    wchar_t parent[kPathChars];
    CopyParentPath(f.c_str(), parent, kPathChars);
    if (wcslen(parent) >= f.size()) break;
    f = parent;
  }
  int made = Image->CreateDirectoryTree(folder);
  if (KeepSwapped)
    for (const std::wstring& f : missing)
      if (Image->GetPathType(f.c_str()) == 2) CreatedFolders.push_back(f);
  return made && Image->GetPathType(folder) == 2;
}

int CInfInstaller::DeleteImageFile(const wchar_t* path) {
  if (!Image || !path || Image->GetPathType(path) != 1) return 0;
  if (!KeepSwapped) return Image->DeletePath(path);
  const std::wstring old = std::wstring(path) + L".vroold";
  Image->DeletePath(old.c_str());
  if (!Image->RenamePath(path, old.c_str())) return 0;
  SwappedFiles.push_back({path, true});
  return 1;
}

unsigned CInfInstaller::GetDestinationDir(const wchar_t* section, const wchar_t* infPath,
                                          wchar_t* subDir) {
  subDir[0] = 0;
  // The section's own entry, else the package's default, else System32.
  std::wstring entry = ReadInfValue(infPath, L"DestinationDirs", section);
  if (entry.empty()) entry = ReadInfValue(infPath, L"DestinationDirs", L"DefaultDestDir");
  if (entry.empty()) entry = L"11";
  size_t comma = entry.find(L',');
  if (comma != std::wstring::npos) {
    std::vector<wchar_t> sub(entry.begin() + comma + 1, entry.end());
    sub.push_back(0);
    TrimBlanks(sub.data());
    StripQuotes(sub.data());
    lstrcpynW(subDir, sub.data(), kPathChars);
  }
  return wcstoul(entry.c_str(), nullptr, 10);
}

void CInfInstaller::NoteRefusal(const std::wstring& why, bool path) {
  if (!Refusal.empty()) return;
  Refusal = why;
  RefusedPath = path ? 1 : 0;
}

int CInfInstaller::GetDestinationFolder(const wchar_t* section, const wchar_t* infPath,
                                        wchar_t* out, int outChars, std::wstring* whole) {
  std::wstring entry = ReadInfValue(infPath, L"DestinationDirs", section);
  const wchar_t* key = section;
  if (entry.empty()) {
    entry = ReadInfValue(infPath, L"DestinationDirs", L"DefaultDestDir");
    key = L"DefaultDestDir";
  }
  if (entry.empty()) entry = L"11";
  wchar_t subDir[kPathChars];
  const unsigned dirId = GetDestinationDir(section, infPath, subDir);
  std::wstring id = entry.substr(0, entry.find(L','));
  id.push_back(0);
  TrimBlanks(&id[0]);
  id = id.c_str();
  std::wstring why;
  // The package's strings were expanded when it entered the store: a "%"
  // left names nothing the installation knows.
  if (id.empty() || id.find_first_not_of(L"0123456789") != std::wstring::npos || id.size() > 9)
    why = L"no directory id";
  else if (subDir[0] && (!IsContainedPath(subDir) || wcschr(subDir, L'%')))
    why = wcschr(subDir, L'%') ? L"a subfolder left unexpanded"
                               : L"a subfolder that leaves its folder";
  else if (!GetDirIdPath(dirId, subDir[0] ? subDir : nullptr, out, outChars))
    why = L"a directory id with no folder in the image";
  else if (Image && Image->IsMetafilePath(out))
    why = std::wstring(L"a folder of the volume's metafiles (") + out + L")";
  if (why.empty()) {
    // The folder whole: the buffer holds no more than a path of the
    // volume may have.
    if (whole) {
      wchar_t base[kPathChars];
      GetDirIdPath(dirId, nullptr, base, kPathChars);
      *whole = base;
      const wchar_t* sub = subDir;
      while (*sub == L'\\' || *sub == L'/') ++sub;
      if (*sub)
        *whole += (whole->empty() || whole->back() != L'\\' ? L"\\" : L"") + std::wstring(sub);
    }
    return 1;
  }
  NoteRefusal(std::wstring(L"[DestinationDirs] ") + key + L" = " + entry + L" for [" + section +
              L"]: " + why);
  return 0;
}

int CInfInstaller::StageCopyFilesLine(const wchar_t* section, const std::wstring& dest,
                                      const std::wstring& sourceName, const wchar_t* infPath,
                                      const wchar_t* scriptPath, const wchar_t* classKey) {
  std::wstring source = sourceName.empty() ? dest : sourceName;
  const wchar_t* s = source.c_str();
  if (*s == L'\\' || *s == L'/') ++s;
  // Names that would leave the package folder or the target folder name
  // no file of the package: the import's check, which kept them out of the
  // store.
  if (!RefusedCopyFilesName(dest, sourceName).empty()) {
    NoteMissingFile(this, s,
                    std::wstring(L"[") + section + L"] " + (dest.empty() ? L"\"\"" : dest) +
                        (sourceName.empty() ? L"" : L"," + sourceName) +
                        L": no file name of the package");
    return 0;
  }
  std::wstring sourcePath = InfFolder(infPath) + s;
  wchar_t target[kPathChars];
  std::wstring folder;
  if (!GetDestinationFolder(section, infPath, target, kPathChars, &folder)) {
    NoteMissingFile(this, s, L"");
    return 0;
  }
  // The file goes in under a name beside its place first (and the one it
  // replaces waits beside it): every such name must be a path of the volume.
  const std::wstring destination =
      folder + (folder.empty() || folder.back() != L'\\' ? L"\\" : L"") + dest;
  if (destination.size() + kSwapSuffixChars >= (size_t)kPathChars) {
    NoteMissingFile(this, s,
                    std::wstring(L"[") + section + L"] " + dest + L": its destination " +
                        destination + L" is " + std::to_wstring(destination.size()) +
                        L" characters long; a driver file's path in the image has at most " +
                        std::to_wstring(kPathChars - 1 - kSwapSuffixChars));
    return 0;
  }
  AppendPathPart(target, kPathChars, dest.c_str());
  // A metafile of the volume, or a name inside one.
  if (Image->IsMetafilePath(target)) {
    NoteMissingFile(this, s,
                    std::wstring(L"[") + section + L"] " + dest + L": a metafile of the volume (" +
                        target + L")");
    return 0;
  }
  if (CheckFilesOnly) {
    if (GetPathKind(sourcePath.c_str()) != 1)
      NoteMissingFile(this, s, std::wstring(L"[") + section + L"] " + s + L": missing in " +
                                   InfFolder(infPath));
    else if (Image->GetPathType(target) == 2)
      NoteMissingFile(this, s, std::wstring(L"[") + section + L"] " + dest + L": a folder at " +
                                   target);
    if (PlannedFiles) PlannedFiles->push_back(dest);
    // A copy takes its clusters and a record; a link only the record.
    if (LinkFiles != 1)
      PlannedBytes += (GetFileSizeByName(sourcePath.c_str()) + 0xFFFu) & ~0xFFFull;
    PlannedBytes += 0x1000;
    return 1;
  }
  if (CopyDriverFile(sourcePath.c_str(), target, classKey, scriptPath, LinkFiles)) return 1;
  NoteMissingFile(this, s, std::wstring(L"[") + section + L"] " + dest + L": could not be placed at " +
                               target);
  return 0;
}

int CInfInstaller::StageCopyFilesSection(const wchar_t* section, const wchar_t* infPath,
                                         const wchar_t* scriptPath, const wchar_t* classKey) {
  if (!section || !infPath || !scriptPath || !classKey) return 0;
  int result = 0;
  for (const std::wstring& line : SectionLines(infPath, section)) {
    std::vector<std::wstring> f = SplitCommas(line, 3);
    std::wstring dest = CleanField(f[0], 100);
    std::wstring source = f.size() > 1 ? CleanField(f[1], 100) : std::wstring();
    if (dest.empty()) continue;
    result = StageCopyFilesLine(section, dest, source, infPath, scriptPath, classKey);
  }
  return result;
}

int CInfInstaller::CopyDriverFile(const wchar_t* source, const wchar_t* target,
                                  const wchar_t* classKey, const wchar_t* scriptPath,
                                  uint32_t link) {
  if (!Image || !source || !target || !classKey || !scriptPath) return 0;
  // A driver file never takes the place of a folder, nor goes among the
  // volume's metafiles.
  if (Image->IsMetafilePath(target)) {
    NoteRefusal(std::wstring(target) + L": a metafile of the volume");
    return 0;
  }
  if (Image->GetPathType(target) == 2) return 0;
  // The new file goes in beside the old one first: a copy that fails
  // leaves the driver the offline Windows had.
  std::wstring fresh = std::wstring(target) + L".vronew";
  // The target's folder may be missing in the image (a link, unlike a copy,
  // does not make it).
  wchar_t folder[kPathChars];
  CopyParentPath(target, folder, kPathChars);
  if (folder[0] && !MakeFolderChain(folder)) return 0;
  std::wstring old = std::wstring(target) + L".vroold";
  Image->DeletePath(fresh.c_str());
  if (link == 1) {
    // A link to nothing would leave the driver without its file.
    if (GetPathKind(source) != 1 ||
        !Image->CreateLink(fresh.c_str(), source, kCreateFile, kReparseSymlink)) return 0;
  } else {
    uint64_t missing = 0;
    if (!Image->InjectHostPath(source, fresh.c_str(), &missing, ReplaceExistingCopyCallback,
                               nullptr)) {
      uint64_t total = 0;
      if (!missing || !g_PartitionGrow || !Image->GetVolumeSpace(&total, nullptr) ||
          !g_PartitionGrow(Image, (total + missing + kGrowMargin) / 0x100000))
        return 0;
      missing = 0;
      Image->DeletePath(fresh.c_str());
      if (!Image->InjectHostPath(source, fresh.c_str(), &missing, ReplaceExistingCopyCallback,
                                 nullptr))
        return 0;
    }
  }
  bool hadOld = Image->GetPathType(target) != 0;
  Image->DeletePath(old.c_str());
  if (hadOld && !Image->RenamePath(target, old.c_str())) {
    Image->DeletePath(fresh.c_str());
    return 0;
  }
  if (!Image->RenamePath(fresh.c_str(), target)) {
    if (hadOld) Image->RenamePath(old.c_str(), target);
    Image->DeletePath(fresh.c_str());
    return 0;
  }
  if (KeepSwapped)
    SwappedFiles.push_back({target, hadOld});
  else if (hadOld)
    Image->DeletePath(old.c_str());

  // The Files record: one REG_MULTI_SZ value per source file, every place
  // it was put.
  std::wstring files = FilesKey(this, classKey);
  const wchar_t* name = FindFileNamePart(source);
  std::vector<wchar_t> staged(65536);
  std::wstring line =
      ReadRegValue(files.c_str(), name, staged.data(), (int)staged.size(), scriptPath)
          ? staged.data()
          : L"hex(7):";
  std::wstring entry = std::wstring(L"C:") + target;
  entry.push_back(L'\0');
  entry.push_back(L'\0');
  FormatRegMultiSzHex(line, entry.c_str(), entry.size());
  WriteRegValue(files.c_str(), name, line.c_str(), scriptPath);
  // The placed file for a later replay of this installation from its cache
  // file. Written whatever the profile: a cache file is kept for profile 0
  // too, and without these lines its replay would leave the driver without
  // its files.
  WriteProfileValue(scriptPath, link == 1 ? L"Link" : L"File", target, source);
  return 1;
}
