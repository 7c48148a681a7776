// The two writers of the staging script, the redirection of keys for a
// boot-time PnP profile, and the mirror of values written straight into the
// hive by the network configuration.
#include "infinstall/InfInstaller.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <string>

#include "common/RegText.h"
#include "image/mount/MountedImage.h"
#include "infinstall/RegScriptFile.h"
#include "registry/hive/RegTypes.h"

namespace {

const wchar_t kSystemPrefix[] = L"HKEY_LOCAL_MACHINE\\SYSTEM\\";
const size_t kSystemPrefixChars = 26;

// The section name a key path is staged under: unchanged, or inside the
// profile's redirection area as one subkey named by the whole path with "\"
// turned into "/" (a deletion keeps its "-" in front of that name).
std::wstring StagedSection(const CInfInstaller* installer, const wchar_t* keyPath,
                           bool* redirected) {
  *redirected = false;
  bool deletion = keyPath[0] == L'-';
  const wchar_t* k = deletion ? keyPath + 1 : keyPath;
  if (installer->PnpProfileId == 0 || !*k || _wcsnicmp(k, kSystemPrefix, kSystemPrefixChars) == 0)
    return keyPath;
  wchar_t root[120];
  _snwprintf(root, 120,
             L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\VROPNP\\Registry\\%I64X\\",
             installer->PnpProfileId);
  root[119] = 0;
  std::wstring tail = deletion ? std::wstring(L"-") + k : std::wstring(k);
  for (wchar_t& c : tail)
    if (c == L'\\') c = L'/';
  *redirected = true;
  return root + tail;
}

void AppendHexBytes(std::wstring& out, const uint8_t* data, uint32_t length) {
  wchar_t pair[4];
  for (uint32_t i = 0; i < length; ++i) {
    _snwprintf(pair, 4, i + 1 < length ? L"%02x," : L"%02x", data[i]);
    pair[3] = 0;
    out += pair;
  }
}

}  // namespace

int CInfInstaller::WriteRegValue(const wchar_t* keyPath, const wchar_t* name, const wchar_t* data,
                                 const wchar_t* scriptPath) {
  if (!keyPath || !name || !scriptPath) return 0;
  bool redirected;
  std::wstring section = StagedSection(this, keyPath, &redirected);
  if (!redirected) return WriteProfileValue(scriptPath, section.c_str(), name, data);
  // A redirected deletion only marks the value: nothing in the profile's
  // copy is deleted.
  if (data && _wcsicmp(data, L"-") == 0) data = L"#";
  // Remove first, so the new line lands at the end of the section.
  WriteProfileValue(scriptPath, section.c_str(), name, nullptr);
  return WriteProfileValue(scriptPath, section.c_str(), name, data);
}

int CInfInstaller::WriteRegSection(const wchar_t* keyPath, const wchar_t* lines,
                                   const wchar_t* scriptPath) {
  if (!keyPath || !scriptPath) return 0;
  bool redirected;
  std::wstring section = StagedSection(this, keyPath, &redirected);
  return WriteProfileSection(scriptPath, section.c_str(), lines);
}

int CInfInstaller::ReadRegValue(const wchar_t* keyPath, const wchar_t* name, wchar_t* out,
                                int outChars, const wchar_t* scriptPath) {
  if (!keyPath || !name || !out || outChars <= 0) return 0;
  bool redirected;
  std::wstring section = StagedSection(this, keyPath, &redirected);
  std::wstring data;
  if (!ReadProfileValue(scriptPath, section.c_str(), name, data)) return 0;
  lstrcpynW(out, data.c_str(), outChars);
  return 1;
}

void MirrorValueToStagingScript(CInfInstaller* installer, const wchar_t* keyPath,
                                const wchar_t* name, const wchar_t* scriptPath) {
  if (!installer || installer->PnpProfileId == 0 || !scriptPath || !installer->Image) return;
  uint32_t type = 0;
  RegValueBuf* value = nullptr;
  if (installer->Image->RegQueryValue(keyPath, name, &type, &value) != REG_STATUS_OK || !value)
    return;
  const uint8_t* bytes = value->data;
  uint32_t length = value->length;
  std::wstring text;
  if (type == HIVE_REG_DWORD) {
    uint32_t word = 0;
    memcpy(&word, bytes, length < 4 ? length : 4);
    wchar_t buffer[40];
    _snwprintf(buffer, 40, L"dword:%08x", word);
    buffer[39] = 0;
    text = buffer;
  } else if (type == HIVE_REG_SZ) {
    // The text up to its first NUL, escaped so that the import gives back
    // exactly these characters.
    std::wstring raw;
    for (uint32_t i = 0; i + 1 < length; i += 2) {
      wchar_t c = (wchar_t)(bytes[i] | (bytes[i + 1] << 8));
      if (!c) break;
      raw += c;
    }
    std::wstring escaped(raw.size() * 2 + 1, L'\0');
    EscapeRegString(raw.c_str(), &escaped[0], (int)escaped.size());
    text = RegScriptStringData(escaped.c_str());
  } else {
    wchar_t prefix[16];
    if (type == HIVE_REG_BINARY)
      wcscpy(prefix, L"hex:");
    else
      _snwprintf(prefix, 16, L"hex(%x):", type);
    prefix[15] = 0;
    text = prefix;
    AppendHexBytes(text, bytes, length);
  }
  free(value);
  installer->WriteRegValue(keyPath, name, text.c_str(), scriptPath);
}
