#include "app/ConsoleProgress.h"

#include "common/ConsoleOutput.h"

#include <stdio.h>
#include <wchar.h>

#include <string>

#include "app/ImageOperations.h"

namespace {

const DWORD kRedrawMs = 100;
const int kMaxDots = 6;
const int kLineChars = 128;

// The file-name part of a path: behind its last '\' or '/'.
const wchar_t* FileNamePart(const wchar_t* path) {
  const wchar_t* name = path;
  for (const wchar_t* p = path; *p; ++p)
    if (*p == L'\\' || *p == L'/') name = p + 1;
  return name;
}

WCHAR UpperLetter(WCHAR c) {
  return WCHAR(LOWORD(ULONG_PTR(CharUpperW((LPWSTR)(ULONG_PTR)c))));
}

void CopyPath(wchar_t (&out)[kPathChars], const wchar_t* path) {
  wcsncpy(out, path ? path : L"", kPathChars - 1);
  out[kPathChars - 1] = 0;
}

// A line whose text may be longer than the fixed buffer of the formats.
std::wstring Format(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  int n = _vscwprintf(format, args);
  va_end(args);
  if (n <= 0) return std::wstring();
  std::wstring text(size_t(n) + 1, 0);
  va_start(args, format);
  _vsnwprintf(&text[0], text.size(), format, args);
  va_end(args);
  text.resize(size_t(n));
  return text;
}

}  // namespace

ConsoleProgress::ConsoleProgress() : m_LastRedraw(GetTickCount()) {}

ConsoleProgress::~ConsoleProgress() {
  if (m_bConsole && m_hOutput != INVALID_HANDLE_VALUE) CloseHandle(m_hOutput);
  m_hOutput = INVALID_HANDLE_VALUE;
  if (m_bAttached) FreeConsole();
}

bool ConsoleProgress::AttachParentConsole() {
  // A redirected standard output is written as it is: "> file" keeps the
  // lines, which the console would otherwise get.
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD type = out && out != INVALID_HANDLE_VALUE ? GetFileType(out) : FILE_TYPE_UNKNOWN;
  if (type == FILE_TYPE_DISK || type == FILE_TYPE_PIPE) m_hOutput = out;
  m_bAttached = AttachConsole(ATTACH_PARENT_PROCESS) != 0;
  // Wine hands a window program started from a console that console
  // already; attaching then fails, and the console is used as it is.
  DWORD mode = 0;
  m_bHasConsole = m_bAttached || GetConsoleMode(out, &mode);
  if (m_hOutput == INVALID_HANDLE_VALUE && m_bHasConsole) {
    m_hOutput = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    m_bConsole = m_hOutput != INVALID_HANDLE_VALUE;
  }
  return HasOutput();
}

int ConsoleProgress::Print(const wchar_t* text) {
  DWORD length = DWORD(wcslen(text)), written = 0;
  CountCommandLine();
  if (m_bConsole) return WriteConsoleW(m_hOutput, text, length, &written, nullptr) ? written : 0;
  // A file gets lines: the redraw's carriage returns become line ends.
  std::wstring line;
  for (const wchar_t* p = text; *p; ++p)
    if (*p != L'\r' && *p != L'\n') line += *p;
  while (!line.empty() && line.back() == L' ') line.pop_back();
  if (line.empty()) return 0;
  line += L'\n';
  int bytes =
      WideCharToMultiByte(CP_UTF8, 0, line.data(), int(line.size()), nullptr, 0, nullptr, nullptr);
  std::string utf8(size_t(bytes), 0);
  WideCharToMultiByte(CP_UTF8, 0, line.data(), int(line.size()), &utf8[0], bytes, nullptr, nullptr);
  return WriteFile(m_hOutput, utf8.data(), DWORD(bytes), &written, nullptr) ? int(length) : 0;
}

unsigned ConsoleProgress::Percent(uint32_t done, uint32_t total) {
  if (!total) return 0;
  uint64_t percent = uint64_t(done) * 100 / total;
  return percent > 100 ? 100 : unsigned(percent);
}

void ConsoleProgress::PrintHeader() {
  // The header is padded to the cursor's column, covering the prompt that
  // the command interpreter already wrote on that line.
  unsigned column = 0;
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (m_bConsole && GetConsoleScreenBufferInfo(m_hOutput, &info))
    column = unsigned(info.dwCursorPosition.X);
  wchar_t format[kLineChars];
  std::wstring line;
  switch (m_Kind) {
    case kBackup:
      _snwprintf(format, kLineChars, L"\rBacking up %%c: -> %%-%us\r", column);
      line = Format(format, UpperLetter(m_Letter), FileNamePart(m_Path));
      break;
    case kClone:
      line =
          Format(L"\rProgress cloning %c: -> %c:\r", UpperLetter(m_Letter), UpperLetter(m_Target));
      break;
    case kConvert:
      _snwprintf(format, kLineChars, L"\rConverting %%s -> %%-%us\r", column);
      line = Format(format, FileNamePart(m_Source), FileNamePart(m_Path));
      break;
  }
  m_nLastLength = Print(line.c_str());
}

void ConsoleProgress::PrintProgress(uint32_t done, uint32_t total) {
  m_nPercent = int(Percent(done, total));
  // The first state shows at once (a short copy would otherwise show none);
  // later ones at most every kRedrawMs.
  if (m_bProgressShown && GetTickCount() - m_LastRedraw <= kRedrawMs) return;
  // A file gets one line per percentage, a console every redraw.
  if (!m_bConsole && m_nPercent == m_nShownPercent) return;
  m_nShownPercent = m_nPercent;
  if (m_nDots > kMaxDots) m_nDots = 0;
  std::wstring dots(size_t(m_nDots), L'.');
  ++m_nDots;
  WCHAR letter = UpperLetter(m_Letter);
  WCHAR target = UpperLetter(m_Target);
  std::wstring line;
  switch (m_Kind) {
    case kBackup:
      line = Format(L"\rBacking up %c: -> %s %-6s (%u%%)   \r", letter, FileNamePart(m_Path),
                    dots.c_str(), unsigned(m_nPercent));
      break;
    case kClone:
      line = Format(L"\rProgress cloning %c: -> %c: %-6s (%u%%)   \r", letter, target, dots.c_str(),
                    unsigned(m_nPercent));
      break;
    case kConvert:
      line = Format(L"\rConverting %s -> %s %-6s (%u%%)   \r", FileNamePart(m_Source),
                    FileNamePart(m_Path), dots.c_str(), unsigned(m_nPercent));
      break;
  }
  m_nLastLength = Print(line.c_str());
  m_LastRedraw = GetTickCount();
  m_bProgressShown = true;
}

void ConsoleProgress::PrintResult(int result) {
  static const wchar_t* const kLines[][2] = {
      {L"Backup completed successfully", L"Backup FAILED"},
      {L"Clone completed successfully", L"Clone FAILED"},
      {L"Conversion completed successfully", L"Conversion FAILED"},
  };
  // Padded to the last line's length, so nothing of it stays visible.
  wchar_t format[kLineChars];
  _snwprintf(format, kLineChars, L"%%-%us\n", unsigned(m_nLastLength));
  Print(Format(format, kLines[m_Kind][result == 0 ? 0 : 1]).c_str());
}

void ConsoleProgress::PrintNotice(const wchar_t* line) {
  Print((L"\r" + std::wstring(line) + L"\n").c_str());
  PushEnterKey();
}

void ConsoleProgress::PushEnterKey() {
  if (!m_bHasConsole) return;
  HANDLE input =
      CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (input == INVALID_HANDLE_VALUE) return;
  INPUT_RECORD keys[2] = {};
  for (int i = 0; i < 2; ++i) {
    keys[i].EventType = KEY_EVENT;
    keys[i].Event.KeyEvent.bKeyDown = i == 0;
    keys[i].Event.KeyEvent.uChar.UnicodeChar = L'\r';
  }
  DWORD written = 0;
  WriteConsoleInputW(input, keys, 2, &written);
  CloseHandle(input);
}

template <class Operation>
int ConsoleProgress::Run(Operation operation) {
  // The lines that name why the command failed go before its result line.
  FrontEndLines shown;
  return operation();
}

int __stdcall ConsoleProgress::OnProgress(uint32_t done, uint32_t total, void* context) {
  ConsoleProgress* record = static_cast<ConsoleProgress*>(context);
  if (record && record->HasOutput()) record->PrintProgress(done, total);
  return 1;  // a console run is never cancelled
}

int ConsoleProgress::BackupVolume(WCHAR letter, LPCWSTR imagePath, BOOL raw, BOOL gpt) {
  m_Kind = kBackup;
  m_Letter = letter;
  CopyPath(m_Path, imagePath);
  if (HasOutput()) PrintHeader();
  int result = Run([&] { return ImageBackupDiskW(letter, imagePath, raw, gpt, OnProgress, this); });
  if (HasOutput()) {
    PrintResult(result);
    PushEnterKey();
  }
  return result;
}

int ConsoleProgress::CloneVolume(WCHAR source, WCHAR target) {
  m_Kind = kClone;
  m_Letter = source;
  m_Target = target;
  if (HasOutput()) PrintHeader();
  int result = Run([&] { return ImageCloneDiskW(source, target, OnProgress, this); });
  if (HasOutput()) {
    PrintResult(result);
    PushEnterKey();
  }
  return result;
}

int ConsoleProgress::ConvertImage(LPCWSTR sourcePath, LPCWSTR targetPath, BOOL raw, BOOL gpt) {
  m_Kind = kConvert;
  CopyPath(m_Source, sourcePath);
  CopyPath(m_Path, targetPath);
  if (HasOutput()) PrintHeader();
  int result =
      Run([&] { return ImageConvertFileW(sourcePath, targetPath, raw, gpt, OnProgress, this); });
  if (HasOutput()) {
    PrintResult(result);
    PushEnterKey();
  }
  return result;
}

int ConsoleBackupVolume(WCHAR letter, LPCWSTR imagePath, BOOL raw, BOOL gpt) {
  ConsoleProgress record;
  record.AttachParentConsole();
  return record.BackupVolume(letter, imagePath, raw, gpt);
}

int ConsoleCloneVolume(WCHAR source, WCHAR target) {
  ConsoleProgress record;
  record.AttachParentConsole();
  return record.CloneVolume(source, target);
}

int ConsoleConvertImage(LPCWSTR sourcePath, LPCWSTR targetPath, BOOL raw, BOOL gpt) {
  ConsoleProgress record;
  record.AttachParentConsole();
  return record.ConvertImage(sourcePath, targetPath, raw, gpt);
}
