#include "ui/UiLanguage.h"

namespace {

const ThreadLanguageApi* g_api = &kSystemThreadLanguageApi;
thread_local LANGID t_language = 0;

}  // namespace

const ThreadLanguageApi kSystemThreadLanguageApi = {SetThreadLocale, SetThreadUILanguage};

const ThreadLanguageApi* SetThreadLanguageApi(const ThreadLanguageApi* api) {
  const ThreadLanguageApi* old = g_api;
  g_api = api ? api : &kSystemThreadLanguageApi;
  return old;
}

void ApplyThreadLanguage(LANGID language, DWORD windowsVersion) {
  t_language = language;
  if (LOBYTE(LOWORD(windowsVersion)) < 6)
    g_api->setThreadLocale(MAKELCID(language, SORT_DEFAULT));
  else
    g_api->setThreadUILanguage(language);
}

LANGID GetThreadUiLanguage() {
  return t_language ? t_language : GetUserDefaultUILanguage();
}
