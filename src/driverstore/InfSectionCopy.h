// Moving INF sections from a package INF into a combined or per-device INF:
// one install section at a time, following its directives into the sections
// they name, renaming names already taken, copying the driver files of its
// CopyFiles sections, and pulling in sections of other INFs named by Include
// and Needs (from the offline Windows of the image when the package does not
// carry them). And the package's strings as the substitutions of the INF
// text read for the length of an import, so every %name% token expands.
#pragma once
#include <windows.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

class CMountedImage;
class CProcessEnvironment;
class PackageLayout;

// The copy callback of the store and of driver installation: a target that
// exists is replaced, nothing is asked.
DWORD CALLBACK ReplaceExistingCopyCallback(DWORD event, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD,
                                           DWORD, void*);

// A section name of the target INF: taken before the import (equal names),
// or renamed for this import (oldName is written as newName).
struct InfRenameRecord {
  std::wstring oldName;
  std::wstring newName;
};

// Result bits of a copy.
enum InfCopyBits : uint32_t {
  kInfCopiedFile = 0x1,
  kInfCopiedService = 0x2,
  kInfCopiedAddReg = 0x4,
  kInfCopiedDelReg = 0x8,
  kInfCopiedDelFiles = 0x10,
  kInfCopiedRegisterDlls = 0x20,
};

// The sections an install section carries under its decorations, each
// copied with it.
extern const wchar_t* const kInstallSectionSuffixes[6];

// The gate of every file name the import reads or writes: a name as a
// package gives it, made canonical (ContainedFileName) and at most 99
// characters, so that it stays inside the package folder it is read from
// and the version folder it is written to; empty when it would not.
std::wstring ContainedPackageFileName(const std::wstring& name);
// The one check of the names of a CopyFiles line, made by the import and by
// the installation alike: the target a plain name (IsPlainName), the source
// (the target when the line gives none) a path of plain names below the
// package's folder (IsContainedPath, one leading separator allowed). The
// first name that fails, as written; empty when both pass.
std::wstring RefusedCopyFilesName(const std::wstring& target, const std::wstring& source);
// The one place the import copies a package file: the name through the
// gate, from the source folder (at sourcePath below it when given: where
// the package's layout places it) to the same name in the target folder,
// left alone when the target has it. False for a refused name or a failed
// copy.
bool CopyPackageFile(const wchar_t* sourceFolder, const wchar_t* targetFolder,
                     const wchar_t* name, const wchar_t* sourcePath = nullptr);
// The first file name that CopyInstallSectionTree from the same source
// would read or write and the gate refuses (in the CopyFiles, DelFiles and
// RenFiles sections and the Include names of every section it reaches), or
// that a CopyFiles section of the source INF itself copies and the source
// folder lacks; empty when there is none. Nothing is written.
std::wstring FindRefusedPackageFile(CMountedImage* image, const wchar_t* sourceInf,
                                    const wchar_t* sourceFolder, const wchar_t* sourceSection,
                                    bool expand, const PackageLayout* layout = nullptr);
uint32_t CopyInstallSectionTree(CMountedImage* image, const wchar_t* sourceInf,
                                const wchar_t* targetInf, const wchar_t* sourceFolder,
                                const wchar_t* sourceSection, const wchar_t* targetSection,
                                std::vector<InfRenameRecord>& renames, bool expand,
                                const PackageLayout* layout = nullptr);
// The name a section of the package takes in the target (name: 100).
void MakeUniqueRenameTarget(std::vector<InfRenameRecord>& renames, wchar_t* name);
// Copies a section's lines (cleaned, expanded when asked) into a target
// section, keeping the target's other lines; the section moves to the end.
void MergeIniSectionLines(const wchar_t* sourceInf, const wchar_t* targetInf,
                          const wchar_t* sourceSection, const wchar_t* targetSection, bool expand);

// The sections an INF's strings come from for a language, each later one
// winning for the names it holds: [Strings], the primary language's
// neutral section ([Strings.0011] for 1041) and the language's own
// ([Strings.0411]).
std::vector<std::wstring> InfStringsSections(unsigned languageId);
// The package's strings (InfStringsSections of the language; without one,
// of the program's interface language, never the host's) as what %name%
// stands for in the INF text read while the returned lease lives
// (RestoreInfStrings or destruction ends it). Nothing else is substituted:
// a name the INF does not define stays as written.
std::unique_ptr<CProcessEnvironment> LoadInfStrings(const wchar_t* infPath, unsigned languageId);
std::unique_ptr<CProcessEnvironment> LoadInfStrings(const wchar_t* infPath);
// The same strings defined in a lease the caller holds.
void DefineInfStrings(CProcessEnvironment* lease, const wchar_t* infPath, unsigned languageId);
void DefineInfStrings(CProcessEnvironment* lease, const wchar_t* infPath);
void RestoreInfStrings(const wchar_t* infPath, std::unique_ptr<CProcessEnvironment> saved);

// A flattened copy of an included INF: strings expanded, its own Include
// and Needs resolved. Nonzero when a section was written.
int WriteFlattenedInf(CMountedImage* image, const wchar_t* sourceInf, const wchar_t* targetFile);
// The copier's twin for flattening: directive sections merged under their
// own names, Include and Needs resolved, other lines copied.
uint32_t IncludeNeededInfs(CMountedImage* image, const wchar_t* sourceInf,
                           const wchar_t* sourceSection, const wchar_t* targetInf,
                           const wchar_t* targetSection);
