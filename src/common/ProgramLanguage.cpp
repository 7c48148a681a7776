#include "common/ProgramLanguage.h"

#include <wchar.h>

#include "common/PathUtil.h"

std::wstring ProgramSettingsFile() {
  wchar_t path[kPathChars];
  const DWORD n = GetModuleFileNameW(nullptr, path, kPathChars);
  if (n == 0 || n >= DWORD(kPathChars)) return L"";
  std::wstring settings(path, n);
  const size_t name = settings.find_last_of(L"\\/") + 1;
  const size_t dot = settings.rfind(L'.');
  if (dot != std::wstring::npos && dot >= name) settings.resize(dot);
  return settings + L".ini";
}

WORD LanguageOfSettings(const wchar_t* settingsFile) {
  WORD language = GetUserDefaultUILanguage();
  if (settingsFile && *settingsFile)
    language = WORD(GetPrivateProfileIntW(L"Config", L"Language", language, settingsFile));
  if (language != 2052 && language != 1041 && language != 1042) language = 2052;
  return language;
}

WORD ProgramLanguage() {
  return LanguageOfSettings(ProgramSettingsFile().c_str());
}
