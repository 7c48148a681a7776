// AddReg and DelReg staging: the registry directives of an INF install
// section (and of its .HW section) become lines of the staging script, with
// the installation's rules for network adapter parameters (offload, power
// saving and flow control off, "Diskless" on).
#include "infinstall/InfInstaller.h"

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "common/IniSection.h"
#include "common/MultiSz.h"
#include "common/RegText.h"
#include "common/TextOps.h"
#include "infinstall/InfText.h"
#include "infinstall/RegScriptFile.h"
#include "registry/hive/RegTypes.h"

using namespace inftext;

namespace {

const int kNameChars = 400;
const int kDataChars = 8192;
const int kKeyChars = 1024;
// Needs chains deeper than this are not followed.
const int kMaxNeedsDepth = 16;

const wchar_t* const kNicParamKeywords[] = {
    L"EEELinkAdvertisement", L"GreenEthernet", L"TaggingMode",      L"FlowControl", L"FlowCtrl",
    L"InterruptModeration",  L"Moderate",      L"OffloadLargesend", L"Checksum",    L"Chksum",
    L"TcpSegmentation",      L"AdaptiveIFS",   L"WakeUpSpeed",      L"EEE"};
const wchar_t* const kNicParamKeywordsCased[] = {L"ITR", L"Lso"};

const wchar_t* const kDecimalValueNames[] = {L"*IfType",
                                             L"*MediaType",
                                             L"*NdisDeviceType",
                                             L"*PhysicalMediaType",
                                             L"BIMacAddress_l",
                                             L"BIMacAddress_h",
                                             L"NetLuidIndex",
                                             L"NewDeviceInstall",
                                             L"USERDEFMacAddress_l",
                                             L"USERDEFMacAddress_h"};

const wchar_t* const kSkippedDirectives[] = {
    L"DelReg",     L"DelFiles",        L"CopyFiles",      L"CopyINF",     L"RenFiles",
    L"UpdateInis", L"UpdateIniFields", L"Ini2Reg",        L"LogConfig",   L"AddService",
    L"DelService", L"RegisterDlls",    L"UnregisterDlls", L"AddProperty", L"Include"};

enum AddRegFlags : unsigned long {
  kFlagBinary = 0x00000001,
  kFlagMultiSz = 0x00010000,
  kFlagDword = 0x00010001,
  kFlagMultiSzAppend = 0x00010008,
  kFlagExpandSz = 0x00020000,
};

template <size_t N>
bool InList(const wchar_t* const (&list)[N], const wchar_t* name) {
  for (const wchar_t* entry : list)
    if (_wcsicmp(entry, name) == 0) return true;
  return false;
}

bool IsNicParam(const wchar_t* name) {
  for (const wchar_t* k : kNicParamKeywords)
    if (FindNoCase(name, k)) return true;
  for (const wchar_t* k : kNicParamKeywordsCased)
    if (wcsstr(name, k)) return true;
  return false;
}

// The registry key an AddReg or DelReg root names: HKR the key given,
// HKLM and HKCR keys of the machine, HKCU the user's.
bool MapRoot(const std::wstring& root, const wchar_t* hkrKey, std::wstring& key) {
  const wchar_t* r = root.c_str();
  if (_wcsicmp(r, L"HKR") == 0)
    key = hkrKey;
  else if (_wcsicmp(r, L"HKCU") == 0)
    key = L"HKEY_CURRENT_USER";
  else if (_wcsicmp(r, L"HKLM") == 0)
    key = L"HKEY_LOCAL_MACHINE";
  else if (_wcsicmp(r, L"HKCR") == 0)
    key = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes";
  else
    return false;
  return true;
}

// True when the text of a key's first name below HKLM is `hive`.
bool UnderHive(const std::wstring& subkey, const wchar_t* hive) {
  size_t n = wcslen(hive);
  return _wcsnicmp(subkey.c_str(), hive, n) == 0 && (subkey.size() == n || subkey[n] == L'\\');
}

std::wstring JoinKey(const std::wstring& root, const std::wstring& subkey) {
  if (subkey.empty()) return root;
  const wchar_t* tail = subkey.c_str();
  if (*tail == L'\\') ++tail;
  if (!root.empty() && root.back() == L'\\') return root + tail;
  return root + L"\\" + tail;
}

std::wstring WithControlSet(const CInfInstaller* installer, const std::wstring& subkey) {
  return MapCurrentControlSet(subkey, installer->ControlSet);
}

// The staged data of a REG_SZ line, after the adapter parameter rules.
std::wstring StringData(const std::wstring& name, std::wstring data) {
  if (IsNicParam(name.c_str()) && wcstol(data.c_str(), nullptr, 10) != 0) return L"0";
  if (_wcsicmp(name.c_str(), L"Diskless") == 0) return L"1";
  if (_wcsicmp(name.c_str(), L"UserModeDriverGUID") == 0) {
    std::wstring kept;
    for (wchar_t c : data)
      if (iswxdigit(c) || c == L'{' || c == L'}' || c == L'-') kept += c;
    return kept;
  }
  return data;
}

// The data text of an AddReg line by its flags; false to skip the line.
bool AddRegData(CInfInstaller* installer, unsigned long flags, const std::wstring& key,
                const std::wstring& name, const std::wstring& rawData, const wchar_t* script,
                std::wstring& text) {
  switch (flags) {
    case kFlagDword:
      text = Dword(ParseInfNumber(CleanField(rawData, kDataChars).c_str()));
      return true;
    case kFlagBinary:
      text = L"hex:" + CleanField(rawData, kDataChars);
      return true;
    case kFlagMultiSz:
    case kFlagMultiSzAppend: {
      std::wstring data = CleanField(rawData, kDataChars, true);
      std::wstring list;
      SplitInfFields(data.c_str(), list);
      if (flags == kFlagMultiSz) {
        FormatRegHexString(text, kRegHexLineMax, list.c_str(), MultiSzLength(list.c_str()),
                           HIVE_REG_MULTI_SZ);
        return true;
      }
      std::vector<wchar_t> staged(kDataChars * 4);
      if (installer->ReadRegValue(key.c_str(), name.c_str(), staged.data(), (int)staged.size(),
                                  script))
        text = staged.data();
      else
        text = L"hex(7):";
      for (const wchar_t* p = list.c_str(); *p; p += wcslen(p) + 1) {
        std::wstring entry(p);
        entry.push_back(L'\0');
        entry.push_back(L'\0');
        FormatRegMultiSzHex(text, entry.c_str(), entry.size());
      }
      return true;
    }
    case kFlagExpandSz: {
      std::vector<wchar_t> data(kDataChars + 1, L'\0');
      lstrcpynW(data.data(), CleanField(rawData, kDataChars).c_str(), kDataChars);
      CollapsePercentPairs(data.data());
      FormatRegHexString(text, kRegHexLineMax, data.data(), wcslen(data.data()),
                         HIVE_REG_EXPAND_SZ);
      return true;
    }
    default: {
      std::vector<wchar_t> data(kDataChars + 1, L'\0');
      lstrcpynW(data.data(), CleanField(rawData, kDataChars).c_str(), kDataChars);
      CollapsePercentPairs(data.data());
      std::wstring escaped = Escaped(data.data());
      // Blanks a quoted string holds are its text.
      const bool quoted = rawData.find_first_not_of(L" \t") != std::wstring::npos &&
                          rawData[rawData.find_first_not_of(L" \t")] == L'"';
      while (!quoted && !escaped.empty() && (escaped.back() == L' ' || escaped.back() == L'\t'))
        escaped.pop_back();
      text = RegScriptStringData(StringData(name, escaped));
      return true;
    }
  }
}

// A plain value line of an install section, staged in the driver key (or the
// hardware key, without the driver key's number and adapter rules).
std::wstring PlainValueData(const std::wstring& name, const std::wstring& value, bool driverSide) {
  if (value.size() > 1 && value[0] == L'0' && (value[1] == L'x' || value[1] == L'X'))
    return Dword(wcstoul(value.c_str() + 2, nullptr, 16));
  if (driverSide) {
    if (InList(kDecimalValueNames, name.c_str())) return Dword(wcstoul(value.c_str(), nullptr, 10));
    if (_wcsicmp(name.c_str(), L"FeatureScore") == 0)
      return Dword(wcstoul(value.c_str(), nullptr, 16));
    if (IsNicParam(name.c_str()) && wcstol(value.c_str(), nullptr, 10) != 0) return L"0";
    if (_wcsicmp(name.c_str(), L"Diskless") == 0) return L"1";
  }
  const std::wstring substituted = SubstituteInfReferences(value);
  std::vector<wchar_t> text(substituted.begin(), substituted.end());
  text.push_back(0);
  StripQuotes(text.data());
  CollapsePercentPairs(text.data());
  return RegScriptStringData(Escaped(text.data()));
}

enum class Side { Driver, Hardware };

struct Walk {
  CInfInstaller* installer;
  const wchar_t* inf;
  const wchar_t* script;
  Side side;
  std::wstring hkr;  // the driver key, or the device's hardware key
};

// The key of an AddReg or DelReg line (root and subkey, the control set
// mapped), or false when no hive the installation writes holds it: a line
// of the user's hive (HKCU, HKU: there is no user in an offline
// installation), a key Windows keeps only in memory (HKLM\HARDWARE) or a
// root that is none. Such a line refuses the package (noted for the caller);
// with a boot-time PnP profile, keys outside SYSTEM go to the profile,
// which the profile's driver applies when Windows runs.
bool PlaceKey(const Walk& w, const wchar_t* section, const std::wstring& line,
              const std::wstring& root, const std::wstring& subkey, std::wstring& key) {
  std::wstring rootKey;
  if (MapRoot(root, w.hkr.c_str(), rootKey)) {
    const wchar_t* tail = subkey.c_str();
    if (*tail == L'\\') ++tail;
    const bool machine = _wcsicmp(root.c_str(), L"HKLM") == 0;
    const bool user = _wcsicmp(root.c_str(), L"HKCU") == 0;
    const bool profile = w.installer->PnpProfileId != 0;
    if ((!machine && !user) ||
        (machine && (UnderHive(tail, L"SYSTEM") || UnderHive(tail, L"SOFTWARE"))) ||
        (profile && *tail)) {
      key = JoinKey(rootKey, subkey);
      return true;
    }
  }
  w.installer->NoteRefusal(
      L"[" + std::wstring(section) + L"] " + line + L": " +
      (root.empty() ? std::wstring(L"no root") : L"the key " + root + L"\\" + subkey) +
      L" lies in no hive that a driver installation writes (HKR, HKLM\\SYSTEM, "
      L"HKLM\\SOFTWARE and HKCR do)");
  return false;
}

int DelRegSection(const Walk& w, const wchar_t* section, int keysPass) {
  int written = 0;
  for (const std::wstring& line : SectionLines(w.inf, section)) {
    if (w.installer->RefuseUndefinedReference(section, line)) continue;
    size_t comma = line.find(L',');
    if (comma == std::wstring::npos || comma + 1 >= line.size()) continue;
    std::vector<std::wstring> rest = SplitCommas(line.substr(comma + 1), 3);
    std::wstring subkey = CleanField(rest[0], kNameChars);
    std::wstring name = rest.size() > 1 ? CleanField(rest[1], kNameChars) : std::wstring();
    if (w.side == Side::Driver) subkey = WithControlSet(w.installer, subkey);
    std::wstring key;
    if (!PlaceKey(w, section, line, line.substr(0, comma), subkey, key)) continue;
    if (rest.size() > 1 && !name.empty()) {
      if (!keysPass && w.installer->WriteRegValue(key.c_str(), name.c_str(), L"-", w.script))
        ++written;
    } else if (keysPass) {
      static const wchar_t kNoLines[] = {0, 0};
      if (w.installer->WriteRegSection((L"-" + key).c_str(), kNoLines, w.script)) ++written;
    }
  }
  return written;
}

int AddRegSection(const Walk& w, const wchar_t* section) {
  int written = 0;
  for (const std::wstring& line : SectionLines(w.inf, section)) {
    // Text naming what the installation cannot substitute would reach the
    // image as written.
    if (w.installer->RefuseUndefinedReference(section, line)) continue;
    std::vector<std::wstring> f = SplitCommas(line, 5);
    if (f.size() < 2) continue;
    bool hkr = _wcsicmp(f[0].c_str(), L"HKR") == 0;
    std::wstring subkey = WithControlSet(w.installer, CleanField(f[1], kNameChars));
    std::wstring key;
    if (!PlaceKey(w, section, line, f[0], subkey, key) || f.size() < 3 || f[2].empty()) continue;
    std::wstring name = CleanField(f[2], kNameChars);
    // The address of an adapter is never taken from the INF.
    bool networkAddress = hkr && subkey.empty() && _wcsicmp(name.c_str(), L"NetworkAddress") == 0;
    std::wstring text;
    if (f.size() == 3) {
      if (networkAddress) continue;
    } else {
      if (f.size() < 5 || f[4].empty() || networkAddress) continue;
      if (!AddRegData(w.installer, ParseInfNumber(f[3].c_str()), key, name.empty() ? L"@" : name,
                      f[4], w.script, text))
        continue;
    }
    const wchar_t* staged = name.empty() ? L"@" : name.c_str();
    if (w.installer->WriteRegValue(key.c_str(), staged, text.c_str(), w.script)) ++written;

    // An adapter starts with its offload, power-saving and flow-control
    // features off and "Diskless" on, whatever the INF's default.
    if (hkr && _wcsnicmp(subkey.c_str(), L"Ndi\\params\\", 11) == 0 &&
        _wcsicmp(name.c_str(), L"Default") == 0 && !text.empty()) {
      std::wstring param = subkey.substr(subkey.find_last_of(L'\\') + 1);
      const wchar_t* value = nullptr;
      if (IsNicParam(param.c_str()) && wcstol(text.c_str(), nullptr, 10) != 0)
        value = L"0";
      else if (_wcsicmp(param.c_str(), L"Diskless") == 0)
        value = L"1";
      if (value && !param.empty() &&
          w.installer->WriteRegValue(w.hkr.c_str(), param.c_str(), value, w.script))
        ++written;
    }
  }
  return written;
}

// The install sections being walked, outermost first: a section that needs
// one of them again (directly or through others) is not walked twice.
using SectionPath = std::vector<std::wstring>;

bool Enter(SectionPath& path, const wchar_t* section) {
  if (path.size() >= (size_t)kMaxNeedsDepth) return false;
  for (const std::wstring& s : path)
    if (_wcsicmp(s.c_str(), section) == 0) return false;
  path.push_back(section);
  return true;
}

int DelRegDirectives(const Walk& w, const wchar_t* installSection, int keysPass,
                     SectionPath& path) {
  if (!Enter(path, installSection)) return 0;
  int written = 0;
  std::vector<std::wstring> lines = SectionLines(w.inf, installSection);
  // A section that cannot be read stages nothing at all.
  if (lines.empty()) {
    path.pop_back();
    return 0;
  }
  if (w.side == Side::Driver && keysPass && path.size() == 1) {
    static const wchar_t kNoLines[] = {0, 0};
    std::wstring params = L"-" + w.hkr + L"\\Ndi\\Params";
    if (w.installer->WriteRegSection(params.c_str(), kNoLines, w.script)) ++written;
  }
  for (const std::wstring& line : lines) {
    std::wstring key, value;
    if (!SplitDirective(line, key, value) || value.empty()) continue;
    if (_wcsicmp(key.c_str(), L"DelReg") == 0) {
      for (const std::wstring& s : SectionNames(value))
        written += DelRegSection(w, s.c_str(), keysPass);
    } else if (_wcsicmp(key.c_str(), L"Needs") == 0) {
      for (const std::wstring& s : SectionNames(value)) {
        written += DelRegDirectives(w, s.c_str(), 1, path);
        written += DelRegDirectives(w, s.c_str(), 0, path);
      }
    }
  }
  path.pop_back();
  return written;
}

int AddRegDirectives(const Walk& w, const wchar_t* installSection, SectionPath& path) {
  if (!Enter(path, installSection)) return 0;
  int written = 0;
  for (const std::wstring& line : SectionLines(w.inf, installSection)) {
    std::wstring key, value;
    if (!SplitDirective(line, key, value) || value.empty()) continue;
    if (_wcsicmp(key.c_str(), L"AddReg") == 0) {
      for (const std::wstring& s : SectionNames(value)) written += AddRegSection(w, s.c_str());
    } else if (_wcsicmp(key.c_str(), L"Needs") == 0) {
      for (const std::wstring& s : SectionNames(value))
        written += AddRegDirectives(w, s.c_str(), path);
    } else if (!InList(kSkippedDirectives, key.c_str())) {
      // A line named by a string the INF does not define is a model line
      // (a package may name its models section as its install section),
      // no value of the driver; any other takes the value's rules.
      if (!FindUndefinedInfReference(key).empty() ||
          w.installer->RefuseUndefinedReference(installSection, line))
        continue;
      std::wstring data = PlainValueData(key, value, w.side == Side::Driver);
      if (w.installer->WriteRegValue(w.hkr.c_str(), key.c_str(), data.c_str(), w.script)) ++written;
    }
  }
  path.pop_back();
  return written;
}

Walk DriverWalk(CInfInstaller* installer, const wchar_t* inf, const wchar_t* script,
                const wchar_t* classInstance) {
  wchar_t key[kKeyChars];
  installer->FormatDriverKey(classInstance, key, kKeyChars);
  return Walk{installer, inf, script, Side::Driver, key};
}

Walk HardwareWalk(CInfInstaller* installer, const wchar_t* inf, const wchar_t* script,
                  const wchar_t* deviceInstance) {
  wchar_t key[kKeyChars];
  installer->FormatHardwareKey(deviceInstance, key, kKeyChars);
  return Walk{installer, inf, script, Side::Hardware, key};
}

}  // namespace

int CInfInstaller::StageDelRegSection(const wchar_t* section, const wchar_t* infPath,
                                      const wchar_t* scriptPath, const wchar_t* hkrKey,
                                      int keysPass) {
  if (!section || !infPath || !scriptPath || !hkrKey) return 0;
  return DelRegSection(Walk{this, infPath, scriptPath, Side::Driver, hkrKey}, section, keysPass) >
         0;
}

int CInfInstaller::StageDelRegSectionHw(const wchar_t* section, const wchar_t* infPath,
                                        const wchar_t* scriptPath, const wchar_t* deviceInstance,
                                        int keysPass) {
  if (!section || !infPath || !scriptPath || !deviceInstance) return 0;
  return DelRegSection(HardwareWalk(this, infPath, scriptPath, deviceInstance), section, keysPass) >
         0;
}

int CInfInstaller::StageAddRegSection(const wchar_t* section, const wchar_t* infPath,
                                      const wchar_t* scriptPath, const wchar_t* hkrKey) {
  if (!section || !infPath || !scriptPath || !hkrKey) return 0;
  return AddRegSection(Walk{this, infPath, scriptPath, Side::Driver, hkrKey}, section) > 0;
}

int CInfInstaller::StageDelRegDirectives(const wchar_t* installSection, const wchar_t* infPath,
                                         const wchar_t* scriptPath, const wchar_t* classInstance,
                                         int keysPass) {
  if (!installSection || !infPath || !scriptPath || !classInstance) return 0;
  SectionPath path;
  return DelRegDirectives(DriverWalk(this, infPath, scriptPath, classInstance), installSection,
                          keysPass, path) > 0;
}

int CInfInstaller::StageDelRegDirectivesHw(const wchar_t* hwSection, const wchar_t* infPath,
                                           const wchar_t* scriptPath, const wchar_t* deviceInstance,
                                           int keysPass) {
  if (!hwSection || !infPath || !scriptPath || !deviceInstance) return 0;
  SectionPath path;
  return DelRegDirectives(HardwareWalk(this, infPath, scriptPath, deviceInstance), hwSection,
                          keysPass, path) > 0;
}

int CInfInstaller::StageAddRegDirectives(const wchar_t* installSection, const wchar_t* infPath,
                                         const wchar_t* scriptPath, const wchar_t* classInstance) {
  if (!installSection || !infPath || !scriptPath || !classInstance) return 0;
  SectionPath path;
  return AddRegDirectives(DriverWalk(this, infPath, scriptPath, classInstance), installSection,
                          path) > 0;
}

int CInfInstaller::StageAddRegDirectivesHw(const wchar_t* hwSection, const wchar_t* infPath,
                                           const wchar_t* scriptPath,
                                           const wchar_t* deviceInstance) {
  if (!hwSection || !infPath || !scriptPath || !deviceInstance) return 0;
  SectionPath path;
  return AddRegDirectives(HardwareWalk(this, infPath, scriptPath, deviceInstance), hwSection,
                          path) > 0;
}
