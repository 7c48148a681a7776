// Console output of the long batch commands ("/backup:", "/clone:",
// "/convert:"). The program is a window program: the command prompt that
// started it has already printed its next prompt. Each runner attaches to
// that console, overwrites the prompt's line with a header, redraws one
// progress line in place (at most every 100 ms), ends with a result line
// and pushes an Enter key so that the prompt comes back on a fresh line.
// Output redirected to a file or pipe gets the same header, progress and
// result as plain lines, one per change of the percentage. Without a
// console or a redirected output the operations run silently.
#pragma once
#include <windows.h>
#include <stdint.h>

#include "common/PathUtil.h"

// One command's output, on the command processor's stack.
class ConsoleProgress {
 public:
  ConsoleProgress();
  // Closes the output and lets go of the console.
  ~ConsoleProgress();
  ConsoleProgress(const ConsoleProgress&) = delete;
  ConsoleProgress& operator=(const ConsoleProgress&) = delete;

  // The standard output when it is a file or pipe; else the console of the
  // parent process. False when there is neither.
  bool AttachParentConsole();
  bool HasOutput() const { return m_hOutput != INVALID_HANDLE_VALUE; }

  // The runners: each returns the operation's result unchanged.
  int BackupVolume(WCHAR letter, LPCWSTR imagePath, BOOL raw, BOOL gpt);
  int CloneVolume(WCHAR source, WCHAR target);
  int ConvertImage(LPCWSTR sourcePath, LPCWSTR targetPath, BOOL raw, BOOL gpt);

  // One line of its own (the prompt's line is overwritten as by a header).
  void PrintNotice(const wchar_t* line);

  // The percentage a report shows: done x 100 / total, at most 100; 0 for
  // a total of 0.
  static unsigned Percent(uint32_t done, uint32_t total);

 private:
  enum Kind { kBackup, kClone, kConvert };
  static int __stdcall OnProgress(uint32_t done, uint32_t total, void* context);
  void PrintHeader();
  void PrintProgress(uint32_t done, uint32_t total);
  void PrintResult(int result);
  // Runs the operation as a front end that shows its lines.
  template <class Operation>
  int Run(Operation operation);
  // Writes text; returns the characters written (0 on failure).
  int Print(const wchar_t* text);
  void PushEnterKey();

  HANDLE m_hOutput = INVALID_HANDLE_VALUE;
  bool m_bConsole = false;     // a console screen buffer (else a file or pipe)
  bool m_bAttached = false;    // AttachConsole succeeded: FreeConsole at the end
  bool m_bHasConsole = false;  // attached, or had a console already
  int m_nLastLength = 0;       // characters of the last header or progress line
  int m_nPercent = 0;
  int m_nShownPercent = -1;  // the last percentage written to a file
  bool m_bProgressShown = false;
  int m_nDots = 0;
  Kind m_Kind = kConvert;
  WCHAR m_Letter = 0, m_Target = 0;
  wchar_t m_Source[kPathChars] = {};
  wchar_t m_Path[kPathChars] = {};
  DWORD m_LastRedraw;
};

// The runners as the command line calls them: one record each.
int ConsoleBackupVolume(WCHAR letter, LPCWSTR imagePath, BOOL raw, BOOL gpt);
int ConsoleCloneVolume(WCHAR source, WCHAR target);
int ConsoleConvertImage(LPCWSTR sourcePath, LPCWSTR targetPath, BOOL raw, BOOL gpt);
