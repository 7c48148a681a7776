#include "ui/UiResources.h"

#include "common/Format.h"
#include "resources/ResourceIds.h"
#include "ui/UiLanguage.h"

namespace {
HMODULE g_uiModule;
}

HMODULE GetUiModule() {
  return g_uiModule ? g_uiModule : GetModuleHandleW(nullptr);
}

void SetUiModule(HMODULE module) {
  g_uiModule = module;
}

const void* FindUiResource(HMODULE module, LPCWSTR type, LPCWSTR name, LANGID language,
                           DWORD* size) {
  HRSRC found = FindResourceExW(module, type, name, language);
  if (!found) found = FindResourceExW(module, type, name, kLangChinese);
  if (!found) found = FindResourceW(module, name, type);
  if (!found) return nullptr;
  HGLOBAL loaded = LoadResource(module, found);
  const void* data = loaded ? LockResource(loaded) : nullptr;
  if (data && size) *size = SizeofResource(module, found);
  return data;
}

int LoadUiString(HMODULE module, UINT id, LANGID language, wchar_t* out, int outSize) {
  if (!out || outSize <= 0) return 0;
  out[0] = 0;
  DWORD size = 0;
  // A string table block holds 16 strings, each a length and its characters.
  const WORD* p = static_cast<const WORD*>(
      FindUiResource(module, RT_STRING, MAKEINTRESOURCEW(id / 16 + 1), language, &size));
  if (!p) return 0;
  const WORD* end = p + size / sizeof(WORD);
  for (UINT i = 0; i < id % 16; ++i) {
    if (p >= end) return 0;
    p += 1 + *p;
  }
  if (p >= end || p + 1 + *p > end) return 0;
  int length = *p < outSize ? *p : outSize - 1;
  memcpy(out, p + 1, length * sizeof(wchar_t));
  out[length] = 0;
  return length;
}

int LoadUiString(UINT id, wchar_t* out, int outSize) {
  return LoadUiString(GetUiModule(), id, GetThreadUiLanguage(), out, outSize);
}

HMENU LoadUiMenu(HMODULE module, UINT id, LANGID language) {
  const void* tpl = FindUiResource(module, RT_MENU, MAKEINTRESOURCEW(id), language, nullptr);
  return tpl ? LoadMenuIndirectW(tpl) : nullptr;
}

void FormatUiByteSize(uint64_t size, wchar_t* out, int outSize) {
  // A list of thousands of rows asks for the same format each time: each
  // thread keeps the last one it loaded.
  thread_local HMODULE module = nullptr;
  thread_local LANGID language = 0;
  thread_local wchar_t format[32];
  const HMODULE nowModule = GetUiModule();
  const LANGID nowLanguage = GetThreadUiLanguage();
  if (module != nowModule || language != nowLanguage) {
    LoadUiString(nowModule, IDS_BYTES_FORMAT, nowLanguage, format, 32);
    module = nowModule;
    language = nowLanguage;
  }
  FormatByteSize(size, format, out, outSize);
}
