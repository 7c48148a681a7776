#include <windows.h>

#include "driverui/InfNdiParams.h"

#include <stdlib.h>

#include <string>

#include "common/IniSection.h"
#include "common/PathUtil.h"
#include "common/TextOps.h"

namespace {

const wchar_t kNetClassGuid[] = L"{4d36e972-e325-11ce-bfc1-08002be10318}";

// "0x" hexadecimal, else decimal, unsigned.
uint32_t ReadNumber(const wchar_t* text, int base) {
  if (base == 16) return (uint32_t)wcstoul(text, nullptr, 16);
  if (text[0] == L'0' && (text[1] == L'x' || text[1] == L'X'))
    return (uint32_t)wcstoul(text + 2, nullptr, 16);
  return (uint32_t)wcstoul(text, nullptr, 10);
}

NdiParamRecord* FindRecord(std::vector<NdiParamRecord*>& records, const wchar_t* name) {
  for (NdiParamRecord* r : records)
    if (!_wcsicmp(r->name, name)) return r;
  NdiParamRecord* r = (NdiParamRecord*)malloc(sizeof(NdiParamRecord));
  if (!r) return nullptr;
  InitNdiParamRecord(r);
  CopyNdiText(r->name, 80, name);
  records.push_back(r);
  return r;
}

// Appends (shown, value) unless a pair with that shown text is there.
void AddEnumPair(NdiParamRecord* r, const wchar_t* shown, const wchar_t* value) {
  size_t used = 0;
  for (const wchar_t* p = r->enumList; p && *p; p += wcslen(p) + 1) {
    if (!_wcsicmp(p, shown)) return;
    p += wcslen(p) + 1;  // its value
  }
  if (r->enumList) {
    const wchar_t* p = r->enumList;
    while (*p) {
      p += wcslen(p) + 1;
      p += wcslen(p) + 1;
    }
    used = p - r->enumList;
  }
  size_t add = wcslen(shown) + 1 + wcslen(value) + 1;
  wchar_t* list = (wchar_t*)realloc(r->enumList, (used + add + 1) * sizeof(wchar_t));
  if (!list) return;
  wchar_t* at = list + used;
  wcscpy(at, shown);
  at += wcslen(shown) + 1;
  wcscpy(at, value);
  at += wcslen(value) + 1;
  *at = 0;
  r->enumList = list;
}

void ParseAddRegSection(const wchar_t* infPath, const wchar_t* section,
                        std::vector<NdiParamRecord*>& records) {
  for (const std::wstring& line : ReadInfLines(infPath, section)) {
    // root, subkey, value name, flags, data: each field as Windows reads it
    const std::vector<std::wstring> f = SplitInfValue(line);
    if (f.size() < 5) continue;
    if (_wcsicmp(f[0].c_str(), L"HKR") || f[1].empty() || f[4].empty()) continue;
    wchar_t subkey[200];
    lstrcpynW(subkey, f[1].c_str(), 200);
    if (_wcsnicmp(subkey, L"Ndi\\Params\\", 11)) continue;
    if (ReadNumber(f[3].c_str(), 10) != 0) continue;
    wchar_t data[200], valueName[100];
    lstrcpynW(data, f[4].c_str(), 200);
    lstrcpynW(valueName, f[2].c_str(), 100);
    std::wstring name = subkey + 11, sub;
    size_t slash = name.find(L'\\');
    if (slash != std::wstring::npos) {
      sub = name.substr(slash + 1);
      name.resize(slash);
    }
    NdiParamRecord* r = FindRecord(records, name.c_str());
    if (!r) continue;
    if (!sub.empty()) {
      if (!_wcsicmp(sub.c_str(), L"enum")) AddEnumPair(r, data, valueName);
      continue;
    }
    if (!_wcsicmp(valueName, L"ParamDesc")) {
      CopyNdiText(r->description, 100, data);
    } else if (!_wcsicmp(valueName, L"Default")) {
      CopyNdiText(r->defaultValue, 20, data);
      if (!r->value[0]) CopyNdiText(r->value, kNdiTypedValueChars + 1, data);
    } else if (!_wcsicmp(valueName, L"Type")) {
      CopyNdiText(r->type, 20, data);
    } else if (!_wcsicmp(valueName, L"Min")) {
      r->minimum = (int32_t)ReadNumber(data, r->base);  // the INF's minimum holds
    } else if (!_wcsicmp(valueName, L"Max")) {
      uint32_t max = ReadNumber(data, r->base);
      if (max > (uint32_t)r->maximum) r->maximum = (int32_t)max;
    } else if (!_wcsicmp(valueName, L"Step")) {
      r->step = (int32_t)ReadNumber(data, r->base);
    } else if (!_wcsicmp(valueName, L"Base")) {
      r->base = _wtoi(data);
    } else if (!_wcsicmp(valueName, L"LimitText")) {
      r->textLimit = _wtoi(data);
    } else if (!_wcsicmp(valueName, L"UpperCase")) {
      r->upperCase = _wtoi(data);
    } else if (!_wcsicmp(valueName, L"LowerCase")) {
      r->lowerCase = _wtoi(data);
    }
  }
}

}  // namespace

void FormatParamsIniPath(const wchar_t* infPath, wchar_t* out) {
  CopyParentPath(infPath, out, kPathChars);
  AppendPathPart(out, kPathChars, L"Params.ini");
}

std::vector<NdiParamRecord*> ReadInfNdiParams(const wchar_t* infPath, const wchar_t* installSection,
                                              const wchar_t* deviceName) {
  std::vector<NdiParamRecord*> records, out;
  if (_wcsicmp(ReadIniValue(infPath, L"Version", L"Class").c_str(), L"Net") ||
      _wcsicmp(ReadIniValue(infPath, L"Version", L"ClassGUID").c_str(), kNetClassGuid))
    return out;
  for (const wchar_t* decoration : {L"%s.NTamd64", L"%s.NTx86", L"%s.NT", L"%s"}) {
    wchar_t section[200];
    _snwprintf(section, 199, decoration, installSection);
    section[199] = 0;
    for (const std::wstring& line : ReadInfLines(infPath, section)) {
      std::wstring text = line;
      TrimAroundCommas(&text[0]);
      text.resize(wcslen(text.c_str()));
      size_t eq = text.find(L'=');
      if (eq == std::wstring::npos) continue;
      std::wstring key = text.substr(0, eq);
      TrimBlanks(&key[0]);
      if (_wcsicmp(key.c_str(), L"AddReg")) continue;
      for (const std::wstring& name : SplitInfValue(text.substr(eq + 1)))
        if (!name.empty()) ParseAddRegSection(infPath, name.c_str(), records);
    }
  }
  wchar_t params[kPathChars];
  FormatParamsIniPath(infPath, params);
  for (NdiParamRecord* r : records) {
    if (!r->name[0] || !r->description[0] || !r->type[0]) {
      FreeNdiParamRecord(r);
      continue;
    }
    std::wstring chosen = ReadIniValue(params, deviceName, r->name);
    if (chosen.empty()) chosen = ReadIniValue(params, installSection, r->name);
    if (!chosen.empty()) CopyNdiText(r->value, kNdiTypedValueChars + 1, chosen.c_str());
    out.push_back(r);
  }
  return out;
}

int WriteChangedNdiParams(const wchar_t* infPath, const wchar_t* installSection,
                          const wchar_t* deviceName, const std::vector<NdiParamRecord*>& records) {
  wchar_t params[kPathChars];
  FormatParamsIniPath(infPath, params);
  int written = 0;
  for (const NdiParamRecord* r : records) {
    if (!r->changed) continue;
    const wchar_t* value = r->value[0] ? r->value : nullptr;
    WritePrivateProfileStringW(installSection, r->name, value, params);
    WritePrivateProfileStringW(deviceName, r->name, value, params);
    ++written;
  }
  return written;
}

void FormatTypedNdiNumber(const wchar_t* typed, int base, wchar_t* out, int chars) {
  uint32_t n = base == 16 ? (uint32_t)wcstoul(typed, nullptr, 16) : (uint32_t)_wtoi(typed);
  _snwprintf(out, chars, base == 16 ? L"%x" : L"%u", n);
  out[chars - 1] = 0;
}
