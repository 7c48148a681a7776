// The command-line processor. Pass 1 collects the options every command
// shares ("-img:", "-fix:", "-no", "-update"); pass 2 runs the commands in the
// order they stand. Options take "/" or "-" and ignore case. An argument
// that starts with either and is none of the program's options stops the
// whole line before anything runs (-13, no window), and so does an option
// that names a file ("-img:", "-fix:") given twice. A command on an image
// without "-img:", or one whose argument does not have its form, is
// malformed: -13 for it, and the rest of the line runs. A command's nonzero
// result, or -13 for a malformed argument, becomes the exit code (the last
// one wins; a later success does not reset it). A command that fails
// leaves at least one line on the command output naming what failed.
#pragma once
#include <windows.h>

#include "app/ImageOperations.h"
#include "common/PathUtil.h"

const int kMalformedArgument = -13;

// The values of one run, shared by pass 1 and the commands of pass 2.
struct CommandLineState {
  wchar_t imagePath[kPathChars];
  int partition;
  // The text behind the "::" of "-img:" is not a whole decimal number: the
  // commands that open the image are malformed.
  bool partitionMalformed;
  wchar_t fixPath[kPathChars];
  // "-img:" or "-fix:" named a path longer than a path buffer: the commands
  // that open the image are malformed rather than run on a cut path.
  bool imageTooLong;
  bool fixTooLong;
  // The arguments that gave them, as they stand ("-img:...", "-fix:...").
  const wchar_t* imageArgument;
  const wchar_t* fixArgument;
  int overwriteMode;  // 0 never, 1 always, 2 only with newer files
  BOOL rawFormat;     // "/p"
  BOOL gptLayout;     // "/gpt"
  const ImageOperationTable* ops;
  WORD language;                   // the UI language of the help
  int (*showHelp)(WORD language);  // "/h", "/?"
};

// An option that names a file ("-img:", "-fix:") standing twice on the
// line: true with the two arguments (the first two of one kind). Such a
// line runs nothing (-13), nor does the window open an image by it.
bool FindRepeatedFileOption(int argc, wchar_t* const* argv, const wchar_t** first,
                            const wchar_t** second);

// Pass 1 over argv[1..argc-1].
void ReadSharedOptions(int argc, wchar_t* const* argv, CommandLineState& state);

// Both passes over the arguments (argv[0], the program, is skipped).
// Returns 1 when the main window is to be shown, 0 when the command line was
// handled; exitCode is updated as described above.
// "/h" and "/?" show the help in `language` through `showHelp` and end the
// processing.
int RunCommandArguments(int argc, wchar_t* const* argv, const ImageOperationTable& ops,
                        int& exitCode, WORD language = 2052,
                        int (*showHelp)(WORD language) = nullptr);

// The user-interface language from the settings file (section "Config", key
// "Language"); without the key the user's UI language. Any value but 2052,
// 1041 or 1042 gives 2052.
WORD ReadLanguageSetting(LPCWSTR settingsFile);

// The settings file: the program's path with the extension "ini".
void GetSettingsFilePath(HMODULE module, wchar_t (&path)[kPathChars]);

// Makes the language the current thread's UI language.
void SetThreadLanguage(WORD language);

// The process's command line: reads the language setting (into *language,
// which the main window keeps), then runs both passes with the real image
// operations.
int RunCommandLine(WORD* language, int* exitCode);
