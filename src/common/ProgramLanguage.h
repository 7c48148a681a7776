// The program's settings file and the interface language it names: one
// rule for the windows, the command line, the exports and the engines that
// read text by language (the strings of an INF).
#pragma once
#include <windows.h>

#include <string>

// The settings file of the running program: its executable's path with the
// extension "ini" (a host that loaded the program reads its own); "" when
// the path cannot be read.
std::wstring ProgramSettingsFile();

// [Config] Language of a settings file: 2052, 1041 or 1042; without the key
// the user's UI language; any other value (1033 among them) 2052.
WORD LanguageOfSettings(const wchar_t* settingsFile);

// The interface language of the running program (its settings file's).
WORD ProgramLanguage();
