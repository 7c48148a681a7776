// The user-interface language of a thread. Windows takes it from
// SetThreadLocale (before Vista) or SetThreadUILanguage; every resource of the
// program is then looked up by that language explicitly, so each thread also
// keeps the language it was given here and the lookups read that, whatever
// the platform's own thread language calls answer.
#pragma once
#include <windows.h>

// The calls that set the platform's thread language; tests replace them.
struct ThreadLanguageApi {
  BOOL(WINAPI* setThreadLocale)(LCID locale);
  LANGID(WINAPI* setThreadUILanguage)(LANGID language);
};

extern const ThreadLanguageApi kSystemThreadLanguageApi;

// The table in use (the system's unless a test set another); returns the
// previous one.
const ThreadLanguageApi* SetThreadLanguageApi(const ThreadLanguageApi* api);

// Gives the calling thread the language: SetThreadLocale when the low byte of
// `windowsVersion` (a GetVersion value) is below 6, else SetThreadUILanguage.
void ApplyThreadLanguage(LANGID language, DWORD windowsVersion);

// The language ApplyThreadLanguage last gave this thread, else the user's
// default UI language.
LANGID GetThreadUiLanguage();

// The three languages of the program.
constexpr LANGID kLangChinese = 2052;
constexpr LANGID kLangJapanese = 1041;
constexpr LANGID kLangKorean = 1042;
