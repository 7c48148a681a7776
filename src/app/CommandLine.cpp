#include "app/CommandLine.h"

#include <commctrl.h>
#include <errno.h>
#include <shellapi.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <string>

#include "app/HelpBox.h"
#include "app/ImagePartitionText.h"
#include "app/ProgramModule.h"
#include "common/ConsoleOutput.h"
#include "common/Privilege.h"
#include "common/ProgramLanguage.h"
#include "image/device/HostWriteFailure.h"
#include "ui/UiLanguage.h"

namespace {

const int kPathLimit = kPathChars - 1;

// Copies at most kPathLimit characters of source[0..length).
void CopyField(wchar_t (&target)[kPathChars], const wchar_t* source, size_t length) {
  if (length > size_t(kPathLimit)) length = kPathLimit;
  wmemcpy(target, source, length);
  target[length] = 0;
}

void CopyField(wchar_t (&target)[kPathChars], const wchar_t* source) {
  CopyField(target, source, wcslen(source));
}

// Copies source[0..length) when it fits a path buffer. A longer text is
// refused rather than cut: a cut path would name another file.
bool CopyWholeField(wchar_t (&target)[kPathChars], const wchar_t* source, size_t length) {
  if (length > size_t(kPathLimit)) return false;
  CopyField(target, source, length);
  return true;
}

bool CopyWholeField(wchar_t (&target)[kPathChars], const wchar_t* source) {
  return CopyWholeField(target, source, wcslen(source));
}

// "/name" or "-name" in any case: the text behind the keyword, or null.
// A keyword ending in ':' matches the start of the argument, any other the
// whole argument.
const wchar_t* MatchOption(const wchar_t* arg, const wchar_t* keyword) {
  if (arg[0] != L'/' && arg[0] != L'-') return nullptr;
  size_t length = wcslen(keyword);
  if (_wcsnicmp(arg + 1, keyword, length) != 0) return nullptr;
  const wchar_t* rest = arg + 1 + length;
  if (keyword[length - 1] != L':' && *rest) return nullptr;
  return rest;
}

// The last occurrence of separator in text, or null.
const wchar_t* FindLast(const wchar_t* text, const wchar_t* separator) {
  const wchar_t* last = nullptr;
  for (const wchar_t* at = wcsstr(text, separator); at; at = wcsstr(at + 1, separator)) last = at;
  return last;
}

// Splits "first<separator>second" at the given separator. Both parts must
// fit a path buffer.
bool SplitInto(const wchar_t* text, const wchar_t* at, const wchar_t* separator,
               wchar_t (&first)[kPathChars], wchar_t (&second)[kPathChars]) {
  return at && CopyWholeField(first, text, at - text) &&
         CopyWholeField(second, at + wcslen(separator));
}

bool SplitAtFirst(const wchar_t* text, const wchar_t* separator, wchar_t (&first)[kPathChars],
                  wchar_t (&second)[kPathChars]) {
  return SplitInto(text, wcsstr(text, separator), separator, first, second);
}

// A host path holds no "::" (so a volume path before it may: "\::{UEFI}\..."),
// no character below 32 and none of < > " |; a ':' only behind a drive
// letter at its start (after a "\\?\" or "\\.\" prefix too). Wildcards
// are the copies' own business.
bool IsHostPath(const wchar_t* path) {
  size_t drive = (wcsncmp(path, L"\\\\?\\", 4) == 0 || wcsncmp(path, L"\\\\.\\", 4) == 0) ? 4 : 0;
  for (size_t i = 0; path[i]; ++i) {
    wchar_t c = path[i];
    if (c < 32 || wcschr(L"<>\"|", c)) return false;
    if (c == L':' && !(i == drive + 1 && iswalpha(path[drive]))) return false;
  }
  return true;
}

// "volume path::host path" of the copies: split at the last "::", since a
// host path never holds one. A path of either side longer than a path
// buffer is of the form, and is named as the copy names a path too long
// inside a folder (error 206); *tooLong is then set and nothing is copied.
bool SplitCopyArgument(const wchar_t* rest, bool inject, wchar_t (&volumePath)[kPathChars],
                       wchar_t (&hostPath)[kPathChars], bool* tooLong) {
  const wchar_t* at = FindLast(rest, L"::");
  *tooLong = false;
  if (!at || at == rest || !at[2]) return false;
  std::wstring volume(rest, at - rest), host(at + 2);
  if (!IsHostPath(host.c_str())) return false;
  for (const std::wstring* path : {&volume, &host}) {
    if (path->size() <= size_t(kPathLimit)) continue;
    // The volume path is written by an inject and read by an extract; the
    // host path the other way round.
    WriteCommandLine(FailureLine((path == &volume) == inject, *path, ERROR_FILENAME_EXCED_RANGE));
    *tooLong = true;
    return true;
  }
  return CopyWholeField(volumePath, volume.c_str()) && CopyWholeField(hostPath, host.c_str());
}

// ---- the commands of pass 2 ----
// Each returns the operation's result, or kMalformedForm without running
// anything when the argument text does not have the command's form.

// Kept apart from the operations' own -13 (a size rule, an engine failure).
const int kMalformedForm = INT_MIN;

int RunInject(CommandLineState& s, const wchar_t* rest) {
  wchar_t volumePath[kPathChars], hostPath[kPathChars];
  bool tooLong;
  if (!SplitCopyArgument(rest, true, volumePath, hostPath, &tooLong)) return kMalformedForm;
  if (tooLong) return kImageOperationFailed;
  return s.ops->injectFile(s.imagePath, s.fixPath, s.partition, volumePath, hostPath,
                           s.overwriteMode);
}

int RunExtract(CommandLineState& s, const wchar_t* rest) {
  wchar_t volumePath[kPathChars], hostPath[kPathChars];
  bool tooLong;
  if (!SplitCopyArgument(rest, false, volumePath, hostPath, &tooLong)) return kMalformedForm;
  if (tooLong) return kImageOperationFailed;
  return s.ops->extractFile(s.imagePath, s.fixPath, s.partition, volumePath, hostPath,
                            s.overwriteMode);
}

int RunImportFile(CommandLineState& s, const wchar_t* rest) {
  wchar_t keyText[kPathChars], hostFile[kPathChars];
  if (!SplitAtFirst(rest, L"=", keyText, hostFile)) return kMalformedForm;
  wchar_t* slash = wcsrchr(keyText, L'\\');
  if (!slash) return kMalformedForm;
  *slash = 0;  // key path before it, value name behind it (empty: the default value)
  return s.ops->importFileValue(s.imagePath, s.fixPath, s.partition, keyText, slash + 1, hostFile);
}

int RunImport(CommandLineState& s, const wchar_t* rest) {
  wchar_t regFiles[kPathChars];
  if (!CopyWholeField(regFiles, rest) || !*regFiles) return kMalformedForm;
  return s.ops->importRegistry(s.imagePath, s.fixPath, s.partition, regFiles);
}

int RunExport(CommandLineState& s, const wchar_t* rest) {
  wchar_t regFile[kPathChars], registryPath[kPathChars];
  if (!SplitAtFirst(rest, L"::", regFile, registryPath) || !*regFile) return kMalformedForm;
  return s.ops->exportRegistry(s.imagePath, s.fixPath, s.partition, registryPath, regFile);
}

// The size of "/create:" in MiB. Read whole as a 64-bit number: a text that
// is not a number, or a size outside the accepted range, is malformed
// rather than cut to 32 bits.
int RunCreate(CommandLineState& s, const wchar_t* rest) {
  wchar_t* end = nullptr;
  errno = 0;
  long long megabytes = _wcstoi64(rest, &end, 10);
  if (end == rest || *end || errno == ERANGE || megabytes < kMinCreateMegabytes ||
      megabytes > kMaxCreateMegabytes)
    return kMalformedForm;
  return s.ops->createDisk(s.imagePath, int(megabytes));
}

// The size in MiB as a signed 64-bit number; text that is not a number is
// malformed. The write-back file is not passed, nor a partition but ::0.
int RunSize(CommandLineState& s, const wchar_t* rest) {
  wchar_t* end = nullptr;
  errno = 0;
  long long megabytes = _wcstoi64(rest, &end, 10);
  if (end == rest || *end || errno == ERANGE) return kMalformedForm;
  return s.ops->setPartitionSize(s.imagePath, L"", s.partition, DWORD(uint64_t(megabytes)),
                                 DWORD(uint64_t(megabytes) >> 32));
}

int RunFormat(CommandLineState& s, const wchar_t*) {
  return s.ops->formatPartition(s.imagePath, s.fixPath, s.partition);
}

int RunCheck(CommandLineState& s, const wchar_t*) {
  return s.ops->checkPartition(s.imagePath, s.fixPath, s.partition);
}

int RunRepair(CommandLineState& s, const wchar_t*) {
  return s.ops->repairPartition(s.imagePath, s.fixPath, s.partition);
}

int RunMerge(CommandLineState& s, const wchar_t*) {
  return s.ops->mergeUpdate(s.imagePath, s.fixPath);
}

// "/iadapter:" type ":" device id [":" workstation number [":" IP address]];
// the rest is taken up to 199 characters. A type that is not a number, or
// no device id, is malformed; so is any type but 2 (network) and 3 (display).
int RunAddAdapter(CommandLineState& s, const wchar_t* rest) {
  std::wstring text = std::wstring(rest).substr(0, 199);
  size_t first = text.find(L':');
  if (text.empty() || first == std::wstring::npos || first == 0) return kMalformedForm;
  wchar_t* end = nullptr;
  long type = wcstol(text.c_str(), &end, 10);
  if (end != text.c_str() + first || (type != 2 && type != 3)) return kMalformedForm;
  std::wstring fields = text.substr(first + 1);
  size_t second = fields.find(L':');
  std::wstring device = fields.substr(0, second);
  if (device.empty()) return kMalformedForm;
  std::wstring workstation, address;
  bool hasWorkstation = false, hasAddress = false;
  if (second != std::wstring::npos) {
    std::wstring more = fields.substr(second + 1);
    size_t third = more.find(L':');
    workstation = more.substr(0, third);
    hasWorkstation = true;
    if (third != std::wstring::npos) {
      address = more.substr(third + 1);
      hasAddress = true;
    }
  }
  return s.ops->addAdapter(s.imagePath, s.fixPath, s.partition, int(type), device.c_str(),
                           hasWorkstation ? workstation.c_str() : nullptr,
                           hasAddress ? address.c_str() : nullptr);
}

// "/p" and "/gpt": the format and layout of later backups and conversions.
int RunRawFormat(CommandLineState& s, const wchar_t*) {
  s.rawFormat = TRUE;
  return 0;
}

int RunGptLayout(CommandLineState& s, const wchar_t*) {
  s.gptLayout = TRUE;
  return 0;
}

bool IsAsciiLetter(wchar_t c) {
  return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

// "/backup:" drive letter: the volume into a new image at the image path.
int RunBackup(CommandLineState& s, const wchar_t* rest) {
  if (!IsAsciiLetter(rest[0])) return kMalformedForm;
  return s.ops->consoleBackup(rest[0], s.imagePath, s.rawFormat, s.gptLayout);
}

// "/clone:" source letter, target letter.
int RunClone(CommandLineState& s, const wchar_t* rest) {
  if (!IsAsciiLetter(rest[0]) || !IsAsciiLetter(rest[1])) return kMalformedForm;
  return s.ops->consoleClone(rest[0], rest[1]);
}

// "/convert:" source image: written into a new image at the image path.
int RunConvert(CommandLineState& s, const wchar_t* rest) {
  wchar_t source[kPathChars];
  if (!CopyWholeField(source, rest) || !*source) return kMalformedForm;
  return s.ops->consoleConvert(source, s.imagePath, s.rawFormat, s.gptLayout);
}

// The help leaves the exit code as it is.
int RunHelp(CommandLineState& s, const wchar_t*) {
  if (s.showHelp) s.showHelp(s.language);
  return 0;
}

// What a command needs before it may run. A command without the image it
// needs is malformed; "/size:" with a write-back file or a partition other
// than 0 is passed over.
enum Precondition {
  kNone,
  kImage,                       // an image path was given
  kImageWithoutFixOrPartition,  // an image path, no write-back file, partition 0
};

enum CommandFlags {
  kClearsWindow = 1,    // the command means batch mode: no main window
  kEndsProcessing = 2,  // later arguments are not processed
};

struct CommandRow {
  const wchar_t* keyword;  // without the leading '/' or '-'; ':' marks a prefix
  Precondition precondition;
  int flags;
  int (*run)(CommandLineState& state, const wchar_t* rest);
};

// Tried in this order; the first row whose keyword matches is the
// argument's command. The disk tools and the adapter installation join
// as rows of their own.
const CommandRow kCommandTable[] = {
    {L"h", kNone, kClearsWindow | kEndsProcessing, RunHelp},
    {L"?", kNone, kClearsWindow | kEndsProcessing, RunHelp},
    {L"p", kNone, 0, RunRawFormat},
    {L"gpt", kNone, 0, RunGptLayout},
    {L"inject:", kImage, kClearsWindow, RunInject},
    {L"extract:", kImage, kClearsWindow, RunExtract},
    {L"importfile:", kImage, kClearsWindow, RunImportFile},
    {L"import:", kImage, kClearsWindow, RunImport},
    {L"export:", kImage, kClearsWindow, RunExport},
    {L"backup:", kImage, kClearsWindow, RunBackup},
    {L"clone:", kNone, kClearsWindow, RunClone},
    {L"convert:", kImage, kClearsWindow, RunConvert},
    {L"size:", kImageWithoutFixOrPartition, kClearsWindow, RunSize},
    {L"create:", kImage, kClearsWindow, RunCreate},
    {L"format", kImage, 0, RunFormat},
    {L"merge", kImage, 0, RunMerge},
    {L"check", kImage, kClearsWindow, RunCheck},
    {L"repair", kImage, kClearsWindow, RunRepair},
    {L"iadapter:", kImage, kClearsWindow, RunAddAdapter},
};

// The options that pass 1 and the operations read ("/noupd": the writing
// operations, from the process's arguments); pass 2 runs nothing for them.
// One that names a file stands on a line once: of two, which one is meant
// cannot be told.
struct SharedOption {
  const wchar_t* keyword;
  bool namesFile;
};
const SharedOption kSharedOptions[] = {
    {L"img:", true}, {L"fix:", true}, {L"no", false}, {L"update", false}, {L"noupd", false},
};

bool IsSharedOption(const wchar_t* arg) {
  for (const SharedOption& option : kSharedOptions)
    if (MatchOption(arg, option.keyword)) return true;
  return false;
}

// The first row whose keyword matches the argument, with the text behind
// the keyword in *rest; null for none.
const CommandRow* FindCommand(const wchar_t* arg, const wchar_t** rest) {
  for (const CommandRow& row : kCommandTable)
    if ((*rest = MatchOption(arg, row.keyword))) return &row;
  return nullptr;
}

// An argument that starts with '/' or '-' and is neither a shared option nor
// a command: a typo ("-n0" for "-no") that must not let the rest of the line
// run without what it was meant to say. Text without either is the window's
// image and passes.
bool IsUnknownOption(const wchar_t* arg) {
  const wchar_t* rest;
  return (arg[0] == L'/' || arg[0] == L'-') && !IsSharedOption(arg) && !FindCommand(arg, &rest);
}

bool PreconditionHolds(Precondition precondition, const CommandLineState& s) {
  switch (precondition) {
    case kNone:
      return true;
    case kImage:
      return s.imagePath[0] != 0;
    case kImageWithoutFixOrPartition:
      return s.imagePath[0] != 0 && s.fixPath[0] == 0 && PartitionIndexOf(s.partition) == 0;
  }
  return false;
}

// "path[::N]": the path must fit a path buffer (see CommandLineState); the
// partition number behind the "::" may be written at any length. A number
// that is not one leaves the commands on the image unrun.
void ReadImageOption(const wchar_t* rest, CommandLineState& state) {
  const ImagePartitionText text = ReadImagePartitionText(rest);
  state.imageTooLong = text.pathLength > size_t(kPathLimit);
  CopyField(state.imagePath, rest, text.pathLength);
  if (!text.hasPartition) return;
  state.partitionMalformed = !text.partitionValid;
  state.partition = PartitionNumberOf(text);
}

// Every command that fails leaves a line that names what failed: a host
// file the command could not write (a full host disk shows only as a close
// that could not keep the work, or as volume writes that failed), else,
// when the command gave no line of its own, the command and its image.
void ReportFailure(const wchar_t* argument, const CommandLineState& s, int result, bool malformed,
                   long linesBefore) {
  if (TellHostWriteFailure()) return;
  if (CommandLinesGiven() != linesBefore) return;
  wchar_t number[16];
  _snwprintf(number, 16, L"%d", result);
  number[15] = 0;
  std::wstring line = argument;
  if (malformed && !s.imagePath[0])
    line += L": needs an image (-img:PATH): not run";
  else if (malformed)
    line += L": not of the command's form, or a path too long: not run";
  else
    line += std::wstring(L": failed with ") + number + (s.imagePath[0] ? L" on " : L"") +
            s.imagePath;
  WriteCommandLine(line + L"\r\n");
}

}  // namespace

bool FindRepeatedFileOption(int argc, wchar_t* const* argv, const wchar_t** first,
                            const wchar_t** second) {
  for (const SharedOption& option : kSharedOptions) {
    if (!option.namesFile) continue;
    *first = nullptr;
    for (int i = 1; i < argc; ++i) {
      if (!MatchOption(argv[i], option.keyword)) continue;
      if (*first) {
        *second = argv[i];
        return true;
      }
      *first = argv[i];
    }
  }
  return false;
}

void ReadSharedOptions(int argc, wchar_t* const* argv, CommandLineState& state) {
  for (int i = 1; i < argc; ++i) {
    const wchar_t* rest;
    if ((rest = MatchOption(argv[i], L"img:"))) {
      ReadImageOption(rest, state);
      state.imageArgument = argv[i];
    } else if ((rest = MatchOption(argv[i], L"fix:"))) {
      state.fixTooLong = wcslen(rest) > size_t(kPathLimit);
      CopyField(state.fixPath, rest);
      state.fixArgument = argv[i];
    } else if (MatchOption(argv[i], L"no"))
      state.overwriteMode = 0;
    else if (MatchOption(argv[i], L"update"))
      state.overwriteMode = 2;
  }
}

int RunCommandArguments(int argc, wchar_t* const* argv, const ImageOperationTable& ops,
                        int& exitCode, WORD language, int (*showHelp)(WORD language)) {
  CommandLineState state = {};
  state.overwriteMode = 1;
  state.ops = &ops;
  state.language = language;
  state.showHelp = showHelp;
  ReadSharedOptions(argc, argv, state);
  if (argc < 2) return 1;
  // Every argument is known before the first command runs.
  for (int i = 1; i < argc; ++i) {
    if (IsUnknownOption(argv[i])) {
      exitCode = kMalformedArgument;
      WriteCommandLine(std::wstring(argv[i]) + L": no such option: nothing was run\r\n");
      return 0;
    }
  }
  const wchar_t *first, *second;
  if (FindRepeatedFileOption(argc, argv, &first, &second)) {
    exitCode = kMalformedArgument;
    WriteCommandLine(std::wstring(first) + L", " + second +
                     L": an option that names a file is given twice, and which one is meant "
                     L"cannot be told: nothing was run\r\n");
    return 0;
  }

  int showWindow = 1;
  for (int i = 1; i < argc; ++i) {
    const wchar_t* rest = nullptr;
    const CommandRow* matched = FindCommand(argv[i], &rest);
    if (!matched) continue;  // the shared options, and other text (the window's image)
    int result;
    long lines = CommandLinesGiven();
    TakeHostWriteFailure(nullptr, nullptr);  // one an earlier step met
    if (matched->precondition != kNone && !state.imagePath[0]) {
      result = kMalformedForm;  // a command on an image, and no "-img:"
    } else if (matched->precondition != kNone && state.partitionMalformed) {
      // Never run on another partition than the one meant: a typo is no 0.
      WriteCommandLine(std::wstring(state.imageArgument) + L": the partition \"" +
                       ReadImagePartitionText(state.imageArgument + 5).partitionText +
                       L"\" behind \"::\" is not a whole decimal number: not opened\r\n");
      result = kMalformedForm;
    } else if (!PreconditionHolds(matched->precondition, state)) {
      continue;
    } else if (matched->precondition != kNone && (state.imageTooLong || state.fixTooLong)) {
      // Not run on a cut path, which would name another file: the option
      // that is too long is named.
      const wchar_t* option = state.imageTooLong ? state.imageArgument : state.fixArgument;
      WriteCommandLine(std::wstring(option ? option : L"") + L": the path is longer than " +
                       std::to_wstring(kPathLimit) + L" characters: not opened\r\n");
      result = kMalformedForm;
    } else {
      result = matched->run(state, rest);
    }
    bool malformed = result == kMalformedForm;
    if (malformed) result = kMalformedArgument;
    if (result < 0) ReportFailure(argv[i], state, result, malformed, lines);
    if (result != 0) exitCode = result;
    if ((matched->flags & kClearsWindow) || malformed) showWindow = 0;
    if (matched->flags & kEndsProcessing) return 0;
  }
  return showWindow;
}

WORD ReadLanguageSetting(LPCWSTR settingsFile) {
  return LanguageOfSettings(settingsFile);
}

void GetSettingsFilePath(HMODULE module, wchar_t (&path)[kPathChars]) {
  DWORD length = GetModuleFileNameW(module, path, kPathChars);
  if (length == 0 || length >= DWORD(kPathChars)) {
    path[0] = 0;
    return;
  }
  wchar_t* name = path;
  for (wchar_t* p = path; *p; ++p)
    if (*p == L'\\' || *p == L'/') name = p + 1;
  wchar_t* dot = wcsrchr(name, L'.');
  size_t keep = dot ? size_t(dot + 1 - path) : length + 1;
  if (keep + 3 > size_t(kPathLimit)) {
    path[0] = 0;
    return;
  }
  if (!dot) path[length] = L'.';
  wcscpy(path + keep, L"ini");
}

void SetThreadLanguage(WORD language) {
  ApplyThreadLanguage(language, GetVersion());
}

int RunCommandLine(WORD* language, int* exitCode) {
  INITCOMMONCONTROLSEX classes = {sizeof classes,
                                  ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES | ICC_LINK_CLASS};
  InitCommonControlsEx(&classes);
  EnablePrivilege(L"SeCreateSymbolicLinkPrivilege");  // for links copied out of images
  wchar_t settings[kPathChars];
  GetSettingsFilePath(GetProgramModule(), settings);
  *language = ReadLanguageSetting(settings);
  SetThreadLanguage(*language);

  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv) return 1;
  int show =
      RunCommandArguments(argc, argv, kImageOperations, *exitCode, *language, ShowCommandLineHelp);
  LocalFree(argv);
  return show;
}
