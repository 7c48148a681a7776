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
#include "common/RegText.h"
#include "common/TextOps.h"
#include "common/TextSearch.h"
#include "infinstall/InfText.h"
#include "infinstall/RegScriptFile.h"
#include "registry/hive/RegTypes.h"

using namespace inftext;

namespace {

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

// Directives of an install section that an offline installation does not
// carry out: each refuses the package, named by its line.
const wchar_t* const kDirectivesNotCarriedOut[] = {
    L"DelProperty",      L"ProfileItems",    L"ExcludeID", L"AddComponent", L"AddSoftware",
    L"AddEventProvider", L"AddPowerSetting", L"AddFilter", L"AddInterface"};

// AddReg, DelReg and BitReg flags as Windows documents them: the value's
// type in the high word with the binary bit, the operation in the low word.
const unsigned long kFlagBinary = 0x00000001;
const unsigned long kFlagNoClobber = 0x00000002;
const unsigned long kFlagDelVal = 0x00000004;
const unsigned long kFlagAppend = 0x00000008;
const unsigned long kFlagKeyOnly = 0x00000010;
const unsigned long kFlagOverwriteOnly = 0x00000020;
const unsigned long kFlag64BitKey = 0x00001000;
const unsigned long kFlagKeyOnlyCommon = 0x00002000;
const unsigned long kFlag32BitKey = 0x00004000;
const unsigned long kViewFlags = kFlag64BitKey | kFlag32BitKey;
const unsigned long kAddRegLowFlags = kFlagBinary | kFlagNoClobber | kFlagDelVal | kFlagAppend |
                                      kFlagKeyOnly | kFlagOverwriteOnly | kViewFlags |
                                      kFlagKeyOnlyCommon;
// DelReg: the strings of a multi-string that equal the line's value go.
const unsigned long kDelRegDelString = 0x00018002;
const unsigned long kBitRegSet = 0x00000001;

template <size_t N>
bool InList(const wchar_t* const (&list)[N], const wchar_t* name) {
  for (const wchar_t* entry : list)
    if (CompareNoCase(entry, name) == 0) return true;
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
// HKLM and HKCR keys of the machine, HKCU the user's; null for any other.
const wchar_t* MapRoot(const std::wstring& root, const wchar_t* hkrKey) {
  const wchar_t* r = root.c_str();
  if (CompareNoCase(r, L"HKR") == 0) return hkrKey;
  if (CompareNoCase(r, L"HKCU") == 0) return L"HKEY_CURRENT_USER";
  if (CompareNoCase(r, L"HKLM") == 0) return L"HKEY_LOCAL_MACHINE";
  if (CompareNoCase(r, L"HKCR") == 0) return L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes";
  return nullptr;
}

// True when the text of a key's first name below HKLM is `hive`.
bool UnderHive(const wchar_t* subkey, const wchar_t* hive) {
  size_t n = wcslen(hive);
  return CompareNoCaseN(subkey, hive, n) == 0 && (subkey[n] == 0 || subkey[n] == L'\\');
}

std::wstring JoinKey(const wchar_t* root, const std::wstring& subkey) {
  std::wstring key = root;
  if (subkey.empty()) return key;
  const wchar_t* tail = subkey.c_str();
  if (*tail == L'\\') ++tail;
  key.reserve(key.size() + 1 + wcslen(tail));
  if (key.empty() || key.back() != L'\\') key += L'\\';
  return key += tail;
}

std::wstring WithControlSet(const CInfInstaller* installer, const std::wstring& subkey) {
  return MapCurrentControlSet(subkey, installer->ControlSet);
}

// The longest key name (one component of a path) and value name the
// registry holds.
const size_t kKeyNameMax = 255;
const size_t kValueNameMax = 16383;

// Text as a line about it quotes it: cut after `chars` characters.
std::wstring Shown(const std::wstring& text, size_t chars = 200) {
  return text.size() <= chars ? text : text.substr(0, chars) + L"...";
}

// Why a name is longer than the registry holds, or "" when it is not.
std::wstring NameTooLong(const wchar_t* what, const std::wstring& name, size_t max) {
  if (name.size() <= max) return L"";
  return std::wstring(L"the ") + what + L" " + Shown(name, 24) + L" has " +
         std::to_wstring(name.size()) + L" characters, and a " + what + L" holds at most " +
         (max == kValueNameMax ? L"16,383" : std::to_wstring(max));
}

// The first name of a key path (its names between backslashes) that is
// longer than a key name may be, told; "" when none is.
std::wstring KeyNameTooLong(const std::wstring& path) {
  for (size_t start = 0; start <= path.size();) {
    size_t end = path.find(L'\\', start);
    if (end == std::wstring::npos) end = path.size();
    if (end - start > kKeyNameMax)
      return NameTooLong(L"key name", path.substr(start, end - start), kKeyNameMax);
    start = end + 1;
  }
  return L"";
}

// The staged data of a REG_SZ line, after the adapter parameter rules.
std::wstring StringData(const std::wstring& name, std::wstring data) {
  if (wcstol(data.c_str(), nullptr, 10) != 0 && IsNicParam(name.c_str())) return L"0";
  if (CompareNoCase(name.c_str(), L"Diskless") == 0) return L"1";
  if (CompareNoCase(name.c_str(), L"UserModeDriverGUID") == 0) {
    std::wstring kept;
    for (wchar_t c : data)
      if (iswxdigit(c) || c == L'{' || c == L'}' || c == L'-') kept += c;
    return kept;
  }
  return data;
}

// A plain value line of an install section, staged in the driver key (or the
// hardware key, without the driver key's number and adapter rules): its
// value read as Windows reads the line's text (each field's quotes, doubled
// quotes and blanks; the fields joined by their commas). False, with why,
// for a number that is none.
bool PlainValueData(const std::wstring& name, const std::wstring& rawValue, bool driverSide,
                    std::wstring* data, std::wstring* why) {
  const std::wstring value = CleanField(rawValue, kWholeField);
  auto number = [&](const std::wstring& text) {
    unsigned long n = 0;
    if (!ReadInfNumber(text, &n)) {
      *why = L"the " + name + L" " + value + L" is no number";
      return false;
    }
    *data = Dword(n);
    return true;
  };
  if (value.size() > 1 && value[0] == L'0' && (value[1] == L'x' || value[1] == L'X'))
    return number(value);
  if (driverSide) {
    if (InList(kDecimalValueNames, name.c_str())) return number(value);
    // FeatureScore is hexadecimal with or without its "0x".
    if (CompareNoCase(name.c_str(), L"FeatureScore") == 0) return number(L"0x" + value);
    if (IsNicParam(name.c_str()) && wcstol(value.c_str(), nullptr, 10) != 0) {
      *data = L"0";
      return true;
    }
    if (CompareNoCase(name.c_str(), L"Diskless") == 0) {
      *data = L"1";
      return true;
    }
  }
  std::wstring text = value;
  text.push_back(0);
  CollapsePercentPairs(&text[0]);
  *data = RegScriptStringData(Escaped(text.c_str()));
  return true;
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
  if (const wchar_t* rootKey = MapRoot(root, w.hkr.c_str())) {
    const wchar_t* tail = subkey.c_str();
    if (*tail == L'\\') ++tail;
    const bool machine = CompareNoCase(root.c_str(), L"HKLM") == 0;
    const bool user = CompareNoCase(root.c_str(), L"HKCU") == 0;
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

// One AddReg, DelReg or BitReg line as Windows' INF reader reads it: its
// fields split once (quotes, doubled quotes and blanks of each field), each
// read and expanded; a field the line lacks is empty.
struct RegLine {
  const Walk& w;
  const wchar_t* section;
  const std::wstring& text;
  std::vector<std::wstring> fields;  // each read once
  bool secondEmpty = false;          // the second field as written is empty

  RegLine(const Walk& walk, const wchar_t* s, const std::wstring& line)
      : w(walk), section(s), text(line), fields(SplitCommas(line, (size_t)-1)) {
    secondEmpty = fields.size() > 1 && fields[1].empty();
    for (std::wstring& f : fields) f = CleanField(std::move(f), kWholeField);
  }
  size_t Count() const { return fields.size(); }
  const std::wstring& Field(size_t i) const {
    static const std::wstring kNone;
    return i < fields.size() ? fields[i] : kNone;
  }
  // Refuses the package naming this line; 0 lines staged.
  int Refuse(const std::wstring& why, bool path = false) const {
    w.installer->NoteRefusal(L"[" + std::wstring(section) + L"] " + Shown(text) + L": " + why,
                             path);
    return 0;
  }
  // False, the line refused, when the value name is longer than the
  // registry holds (before anything of the package is written).
  bool NameFits(const std::wstring& name) const {
    const std::wstring why = NameTooLong(L"value name", name, kValueNameMax);
    if (why.empty()) return true;
    Refuse(why);
    return false;
  }
  // The flags field (empty: 0); false, the line refused, when it is no
  // number or holds a low-word flag outside `known`.
  bool Flags(unsigned long known, unsigned long* flags) const {
    *flags = 0;
    const std::wstring f = Field(3);
    if (!f.empty() && !ReadInfNumber(f, flags)) {
      Refuse(L"the flags " + f + L" are no number");
      return false;
    }
    if ((*flags & 0xFFFF) & ~known) {
      wchar_t hex[16];
      _snwprintf(hex, 16, L"0x%08lX", *flags);
      hex[15] = 0;
      Refuse(std::wstring(L"the flags ") + hex + L" ask for what the installation cannot do");
      return false;
    }
    return true;
  }
  // The key of the line, placed (see PlaceKey) in the view its flags ask
  // for; false when the line was refused.
  bool Key(unsigned long flags, std::wstring* subkey, std::wstring* key) const {
    *subkey = WithControlSet(w.installer, Field(1));
    const std::wstring tooLong = KeyNameTooLong(*subkey);
    if (!tooLong.empty()) {
      Refuse(tooLong);
      return false;
    }
    if (!PlaceKey(w, section, text, Field(0), *subkey, *key)) return false;
    // 64BITKEY is the native registry on every target (a 32-bit Windows has
    // no other), and so is 32BITKEY on a 32-bit one and for SYSTEM, which
    // a 64-bit Windows shares between its views. Its 32-bit view of the
    // rest is redirected key by key, some keys shared: not guessed.
    static const wchar_t kMachine[] = L"HKEY_LOCAL_MACHINE\\";
    const bool system =
        CompareNoCaseN(key->c_str(), kMachine, 19) == 0 && UnderHive(key->c_str() + 19, L"SYSTEM");
    if ((flags & kFlag32BitKey) && w.installer->TargetArch() == 64 && !system) {
      Refuse(L"the 32-bit view of the registry of a 64-bit Windows is not written");
      return false;
    }
    return true;
  }
  // What the value holds before this line (CurrentRegValue); -1 refuses.
  int Current(const std::wstring& key, const std::wstring& name, uint32_t* type,
              std::vector<uint8_t>* data) const {
    int state = w.installer->CurrentRegValue(key.c_str(), name.c_str(), w.script, type, data);
    if (state < 0)
      Refuse(L"the value " + name + L" of " + key + L" could not be read to carry the line out");
    return state;
  }
};

// The strings of a multi-string value's data (the list up to its first
// empty string).
std::vector<std::wstring> MultiSzStrings(const std::vector<uint8_t>& data) {
  std::vector<std::wstring> strings;
  std::wstring s;
  for (size_t i = 0; i + 1 < data.size(); i += 2) {
    wchar_t c = (wchar_t)(data[i] | (data[i + 1] << 8));
    if (c) {
      s += c;
      continue;
    }
    if (s.empty()) break;
    strings.push_back(s);
    s.clear();
  }
  if (!s.empty()) strings.push_back(s);
  return strings;
}

std::wstring MultiSzData(const std::vector<std::wstring>& strings) {
  std::wstring list;
  for (const std::wstring& s : strings) {
    list += s;
    list.push_back(0);
  }
  list.push_back(0);
  std::wstring text;
  FormatRegHexString(text, kRegHexLineMax, list.c_str(), strings.empty() ? 0 : list.size(),
                     HIVE_REG_MULTI_SZ);
  return text;
}

bool HasEntryNoCase(const std::vector<std::wstring>& list, const std::wstring& entry) {
  for (const std::wstring& s : list)
    if (CompareNoCase(s.c_str(), entry.c_str()) == 0) return true;
  return false;
}

// A byte of binary data as INF text writes it: one or two hexadecimal
// digits, "0x" allowed before them.
bool ReadByteField(std::wstring text, uint8_t* byte) {
  if (text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X'))
    text = text.substr(2);
  if (text.empty() || text.size() > 2) return false;
  unsigned v = 0;
  for (wchar_t c : text) {
    if (!iswxdigit(c)) return false;
    v = v * 16 + (unsigned)(c <= L'9' ? c - L'0' : (c | 0x20) - L'a' + 10);
  }
  *byte = (uint8_t)v;
  return true;
}

// The registry type of an AddReg line's flags; false for one the
// installation cannot write. With the binary bit the high word is the
// type (0 REG_BINARY, 1 REG_DWORD, 2 REG_NONE, any other its number);
// without it 0 is REG_SZ, 1 REG_MULTI_SZ, 2 REG_EXPAND_SZ.
bool ValueType(unsigned long flags, uint32_t* type) {
  const unsigned long high = flags >> 16;
  if (flags & kFlagBinary) {
    *type = high == 0   ? HIVE_REG_BINARY
            : high == 1 ? HIVE_REG_DWORD
            : high == 2 ? HIVE_REG_NONE
                        : (uint32_t)high;
    return true;
  }
  if (high > 2) return false;
  *type = high == 0 ? HIVE_REG_SZ : high == 1 ? HIVE_REG_MULTI_SZ : HIVE_REG_EXPAND_SZ;
  return true;
}

// The data text of an AddReg line's value (fields 4 and on) of its type;
// false when the line was refused.
bool AddRegData(const RegLine& l, const std::wstring& key, const std::wstring& name,
                unsigned long flags, uint32_t type, std::wstring* text) {
  std::vector<std::wstring> values;
  for (size_t i = 4; i < l.Count(); ++i) values.push_back(l.Field(i));
  if (type == HIVE_REG_DWORD && values.size() == 1) {
    unsigned long number = 0;
    if (!ReadInfNumber(values[0], &number)) {
      l.Refuse(L"the DWORD " + values[0] + L" is no number");
      return false;
    }
    *text = Dword(number);
    return true;
  }
  if (flags & kFlagBinary) {
    // Bytes, one a field ("1,a0,ff"); a line with no data gives none.
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < values.size(); ++i) {
      uint8_t byte = 0;
      if (values.size() == 1 && values[0].empty()) break;
      if (!ReadByteField(values[i], &byte)) {
        l.Refuse(L"the data " + values[i] + L" is no byte");
        return false;
      }
      bytes.push_back(byte);
    }
    if (type == HIVE_REG_DWORD && bytes.size() != 4) {
      l.Refuse(L"a DWORD value needs one number or four bytes");
      return false;
    }
    *text = FormatRegHexBytes(type, bytes.data(), bytes.size());
    return true;
  }
  for (std::wstring& v : values) {
    if (v.find(L"%%") == std::wstring::npos) continue;
    v.push_back(0);
    CollapsePercentPairs(&v[0]);
    v = v.c_str();
  }
  if (type == HIVE_REG_MULTI_SZ) {
    std::vector<std::wstring> strings;
    if (flags & kFlagAppend) {
      uint32_t had = 0;
      std::vector<uint8_t> data;
      const int state = l.Current(key, name, &had, &data);
      if (state < 0) return false;
      if (state > 0 && had != HIVE_REG_MULTI_SZ) {
        l.Refuse(L"the value " + name + L" it appends to is no multi-string");
        return false;
      }
      strings = MultiSzStrings(data);
    }
    // An empty string ends the list, in the registry as in the INF.
    for (const std::wstring& v : values) {
      if (v.empty()) break;
      if (!(flags & kFlagAppend) || !HasEntryNoCase(strings, v)) strings.push_back(v);
    }
    *text = MultiSzData(strings);
    return true;
  }
  const std::wstring value = values.empty() ? std::wstring() : values[0];
  if (type == HIVE_REG_EXPAND_SZ) {
    FormatRegHexString(*text, kRegHexLineMax, value.c_str(), value.size(), HIVE_REG_EXPAND_SZ);
    return true;
  }
  // REG_SZ: the fifth field alone, escaped for the script.
  *text = RegScriptStringData(StringData(name, Escaped(value)));
  return true;
}

int DelRegLine(const Walk& w, const wchar_t* section, const std::wstring& line, int keysPass) {
  RegLine l(w, section, line);
  // A root alone names nothing to delete.
  if (l.Count() < 2 || (l.Count() == 2 && l.secondEmpty)) return 0;
  unsigned long flags = 0;
  const bool delString = l.Count() > 3 &&
                         ReadInfNumber(l.Field(3), &flags) &&
                         (flags & ~kViewFlags) == kDelRegDelString;
  if (!l.Flags(kFlagBinary | kViewFlags | kFlagKeyOnlyCommon | (delString ? kDelRegDelString & 0xFFFF : 0),
               &flags))
    return 0;
  std::wstring subkey, key;
  if (!l.Key(flags, &subkey, &key)) return 0;
  const std::wstring name = l.Field(2);
  if (!l.NameFits(name)) return 0;
  if (delString) {
    // The strings equal to the value go from the multi-string.
    if (keysPass) return 0;
    uint32_t type = 0;
    std::vector<uint8_t> data;
    const std::wstring staged = name.empty() ? L"@" : name;
    const int state = l.Current(key, staged, &type, &data);
    if (state <= 0) return 0;
    if (type != HIVE_REG_MULTI_SZ)
      return l.Refuse(L"the value " + staged + L" is no multi-string");
    std::wstring gone = l.Field(4);
    gone.push_back(0);
    CollapsePercentPairs(&gone[0]);
    std::vector<std::wstring> kept;
    for (const std::wstring& s : MultiSzStrings(data))
      if (CompareNoCase(s.c_str(), gone.c_str()) != 0) kept.push_back(s);
    return w.installer->WriteRegValue(key.c_str(), staged.c_str(), MultiSzData(kept).c_str(),
                                      w.script)
               ? 1
               : 0;
  }
  if (!name.empty() && !(flags & kFlagKeyOnlyCommon)) {
    return !keysPass && w.installer->WriteRegValue(key.c_str(), name.c_str(), L"-", w.script) ? 1
                                                                                            : 0;
  }
  static const wchar_t kNoLines[] = {0, 0};
  return keysPass && w.installer->WriteRegSection((L"-" + key).c_str(), kNoLines, w.script) ? 1
                                                                                          : 0;
}

int DelRegSection(const Walk& w, const wchar_t* section, int keysPass) {
  int written = 0;
  for (const std::wstring& line : SectionLines(w.inf, section))
    if (!w.installer->RefuseUndefinedReference(section, line))
      written += DelRegLine(w, section, line, keysPass);
  return written;
}

int AddRegLine(const Walk& w, const wchar_t* section, const std::wstring& line) {
  RegLine l(w, section, line);
  unsigned long flags = 0;
  if (!l.Flags(kAddRegLowFlags, &flags)) return 0;
  std::wstring subkey, key;
  if (!l.Key(flags, &subkey, &key)) return 0;
  CInfInstaller* inst = w.installer;
  if (flags & (kFlagKeyOnly | kFlagKeyOnlyCommon)) return inst->WriteRegKey(key.c_str(), w.script);
  const std::wstring name = l.Field(2);
  if (!l.NameFits(name)) return 0;
  // An empty name is the key's default value.
  const std::wstring staged = name.empty() ? L"@" : name;
  if (flags & kFlagDelVal) {
    if (!name.empty())
      return inst->WriteRegValue(key.c_str(), name.c_str(), L"-", w.script) ? 1 : 0;
    static const wchar_t kNoLines[] = {0, 0};
    return inst->WriteRegSection((L"-" + key).c_str(), kNoLines, w.script) ? 1 : 0;
  }
  // A line without a value and without a name makes the key.
  const bool hasValue = l.Count() > 4;
  if (name.empty() && !hasValue) return inst->WriteRegKey(key.c_str(), w.script);
  // The address of an adapter is never taken from the INF.
  const bool hkr = CompareNoCase(l.Field(0).c_str(), L"HKR") == 0;
  if (hkr && subkey.empty() && CompareNoCase(name.c_str(), L"NetworkAddress") == 0) return 0;
  uint32_t type = 0;
  if (!ValueType(flags, &type)) return l.Refuse(L"a value type the installation cannot write");
  if ((flags & kFlagAppend) && type != HIVE_REG_MULTI_SZ)
    return l.Refuse(L"only a multi-string can be appended to");
  if (type == HIVE_REG_DWORD && !hasValue) return l.Refuse(L"a DWORD value without its number");
  if (flags & (kFlagNoClobber | kFlagOverwriteOnly)) {
    uint32_t had = 0;
    std::vector<uint8_t> data;
    const int state = l.Current(key, staged, &had, &data);
    if (state < 0) return 0;
    // No-clobber keeps a value that is there; overwrite-only sets one that is.
    if ((state > 0 && (flags & kFlagNoClobber)) || (state == 0 && (flags & kFlagOverwriteOnly)))
      return 0;
  }
  std::wstring text;
  if (!AddRegData(l, key, staged, flags, type, &text)) return 0;
  int written = inst->WriteRegValue(key.c_str(), staged.c_str(), text.c_str(), w.script) ? 1 : 0;

  // An adapter starts with its offload, power-saving and flow-control
  // features off and "Diskless" on, whatever the INF's default.
  if (hkr && CompareNoCaseN(subkey.c_str(), L"Ndi\\params\\", 11) == 0 &&
      CompareNoCase(name.c_str(), L"Default") == 0 && !text.empty()) {
    std::wstring param = subkey.substr(subkey.find_last_of(L'\\') + 1);
    const wchar_t* value = nullptr;
    if (IsNicParam(param.c_str()) && wcstol(text.c_str(), nullptr, 10) != 0)
      value = L"0";
    else if (CompareNoCase(param.c_str(), L"Diskless") == 0)
      value = L"1";
    if (value && !param.empty() && inst->WriteRegValue(w.hkr.c_str(), param.c_str(), value, w.script))
      ++written;
  }
  return written;
}

int AddRegSection(const Walk& w, const wchar_t* section) {
  int written = 0;
  // Text naming what the installation cannot substitute would reach the
  // image as written.
  for (const std::wstring& line : SectionLines(w.inf, section))
    if (!w.installer->RefuseUndefinedReference(section, line))
      written += AddRegLine(w, section, line);
  return written;
}

// A BitReg line: root, subkey, value, flags (bit 0: set, else clear), a
// byte mask and the byte's index in the binary value.
int BitRegLine(const Walk& w, const wchar_t* section, const std::wstring& line) {
  RegLine l(w, section, line);
  unsigned long flags = 0, mask = 0, index = 0;
  if (!l.Flags(kBitRegSet | kViewFlags, &flags)) return 0;
  std::wstring subkey, key;
  if (!l.Key(flags, &subkey, &key)) return 0;
  const std::wstring name = l.Field(2).empty() ? std::wstring(L"@") : l.Field(2);
  if (!l.NameFits(name)) return 0;
  if (l.Count() < 6 || !ReadInfNumber(l.Field(4), &mask) || mask > 0xFF ||
      !ReadInfNumber(l.Field(5), &index))
    return l.Refuse(L"a BitReg line names a byte mask and the byte's index");
  uint32_t type = 0;
  std::vector<uint8_t> data;
  const int state = l.Current(key, name, &type, &data);
  if (state < 0) return 0;
  if (state == 0 || type != HIVE_REG_BINARY)
    return l.Refuse(L"no binary value " + name + L" of " + key + L" to change");
  if (index >= data.size())
    return l.Refuse(L"the value " + name + L" has no byte " + std::to_wstring(index));
  if (flags & kBitRegSet)
    data[index] |= (uint8_t)mask;
  else
    data[index] &= (uint8_t)~mask;
  const std::wstring text = FormatRegHexBytes(type, data.data(), data.size());
  return w.installer->WriteRegValue(key.c_str(), name.c_str(), text.c_str(), w.script) ? 1 : 0;
}

int BitRegSection(const Walk& w, const wchar_t* section) {
  int written = 0;
  for (const std::wstring& line : SectionLines(w.inf, section))
    if (!w.installer->RefuseUndefinedReference(section, line))
      written += BitRegLine(w, section, line);
  return written;
}

// The install sections being walked, outermost first: a section that needs
// one of them again (directly or through others) is not walked twice.
using SectionPath = std::vector<std::wstring>;

bool Enter(SectionPath& path, const wchar_t* section) {
  if (path.size() >= (size_t)kMaxNeedsDepth) return false;
  for (const std::wstring& s : path)
    if (CompareNoCase(s.c_str(), section) == 0) return false;
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
    if (CompareNoCase(key.c_str(), L"DelReg") == 0) {
      for (const std::wstring& s : SectionNames(value))
        written += DelRegSection(w, s.c_str(), keysPass);
    } else if (CompareNoCase(key.c_str(), L"Needs") == 0) {
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
  // BitReg changes what the section's AddReg lines have written.
  std::vector<std::wstring> bitReg;
  for (const std::wstring& line : SectionLines(w.inf, installSection)) {
    std::wstring key, value;
    if (!SplitDirective(line, key, value) || value.empty()) continue;
    if (CompareNoCase(key.c_str(), L"AddReg") == 0) {
      for (const std::wstring& s : SectionNames(value)) written += AddRegSection(w, s.c_str());
    } else if (CompareNoCase(key.c_str(), L"BitReg") == 0) {
      for (const std::wstring& s : SectionNames(value)) bitReg.push_back(s);
    } else if (CompareNoCase(key.c_str(), L"Needs") == 0) {
      for (const std::wstring& s : SectionNames(value))
        written += AddRegDirectives(w, s.c_str(), path);
    } else if (InList(kDirectivesNotCarriedOut, key.c_str())) {
      w.installer->NoteRefusal(L"[" + std::wstring(installSection) + L"] " + line +
                               L": the directive " + key +
                               L" is not carried out by an installation into an image");
    } else if (CompareNoCase(key.c_str(), L"DriverVer") == 0) {
      // The driver key's version values (the registry pass) take it.
    } else if (!InList(kSkippedDirectives, key.c_str())) {
      // A line named by a string the INF does not define is a model line
      // (a package may name its models section as its install section),
      // no value of the driver; any other takes the value's rules.
      if (!FindUndefinedInfReference(key).empty() ||
          w.installer->RefuseUndefinedReference(installSection, line))
        continue;
      const std::wstring name = CleanField(key, kWholeField);
      std::wstring data, why = NameTooLong(L"value name", name, kValueNameMax);
      if (!why.empty() || !PlainValueData(name, value, w.side == Side::Driver, &data, &why)) {
        w.installer->NoteRefusal(L"[" + std::wstring(installSection) + L"] " + Shown(line) +
                                 L": " + why);
        continue;
      }
      if (w.installer->WriteRegValue(w.hkr.c_str(), name.c_str(), data.c_str(), w.script))
        ++written;
    }
  }
  for (const std::wstring& s : bitReg) written += BitRegSection(w, s.c_str());
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

int CInfInstaller::StageBitRegSection(const wchar_t* section, const wchar_t* infPath,
                                      const wchar_t* scriptPath, const wchar_t* hkrKey) {
  if (!section || !infPath || !scriptPath || !hkrKey) return 0;
  return BitRegSection(Walk{this, infPath, scriptPath, Side::Driver, hkrKey}, section) > 0;
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
