// The two writers of the staging script, the redirection of keys for a
// boot-time PnP profile, and the mirror of values written straight into the
// hive by the network configuration.
#include "infinstall/InfInstaller.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "common/RegText.h"
#include "common/TextSearch.h"
#include "common/UnicodeProfile.h"
#include "image/mount/MountedImage.h"
#include "infinstall/RegScriptFile.h"
#include "registry/RegHive.h"
#include "registry/RegistryFacade.h"
#include "registry/hive/RegFile.h"
#include "registry/hive/RegTypes.h"

namespace {

const wchar_t kSystemPrefix[] = L"HKEY_LOCAL_MACHINE\\SYSTEM\\";
const size_t kSystemPrefixChars = 26;

// True when a key is staged under its own path (no profile, or a key of
// SYSTEM, or no key to redirect).
bool KeepsKey(const CInfInstaller* installer, const wchar_t* keyPath) {
  const wchar_t* k = keyPath[0] == L'-' ? keyPath + 1 : keyPath;
  return installer->PnpProfileId == 0 || !*k ||
         CompareNoCaseN(k, kSystemPrefix, kSystemPrefixChars) == 0;
}

// The section name a key path is staged under: unchanged, or inside the
// profile's redirection area as one subkey named by the whole path with "\"
// turned into "/" (a deletion keeps its "-" in front of that name).
std::wstring StagedSection(const CInfInstaller* installer, const wchar_t* keyPath,
                           bool* redirected) {
  *redirected = false;
  if (KeepsKey(installer, keyPath)) return keyPath;
  bool deletion = keyPath[0] == L'-';
  const wchar_t* k = deletion ? keyPath + 1 : keyPath;
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

// Staged data as the importer reads it: continuations of a long hex line
// taken out.
std::wstring JoinedData(const std::wstring& data) {
  std::wstring out;
  for (size_t i = 0; i < data.size(); ++i) {
    if (data[i] == L'\\' && i + 1 < data.size() && (data[i + 1] == L'\r' || data[i + 1] == L'\n')) {
      ++i;
      while (i + 1 < data.size() && wcschr(L"\r\n \t", data[i + 1])) ++i;
      continue;
    }
    out += data[i];
  }
  return out;
}

// True when the script deletes the key or a key above it.
bool KeyDeletionStaged(const CInfInstaller* installer, const wchar_t* keyPath,
                       const wchar_t* scriptPath) {
  std::wstring key = keyPath;
  for (;;) {
    bool redirected;
    const std::wstring deletion = StagedSection(installer, (L"-" + key).c_str(), &redirected);
    if (HasProfileSection(scriptPath, deletion.c_str())) return true;
    size_t slash = key.rfind(L'\\');
    if (slash == std::wstring::npos) return false;
    key.resize(slash);
  }
}

}  // namespace

int CInfInstaller::WriteRegKey(const wchar_t* keyPath, const wchar_t* scriptPath) {
  if (!keyPath || !scriptPath) return 0;
  bool redirected;
  std::wstring section = StagedSection(this, keyPath, &redirected);
  if (HasProfileSection(scriptPath, section.c_str())) return 1;
  return WriteProfileSection(scriptPath, section.c_str(), nullptr);
}

int CInfInstaller::CurrentRegValue(const wchar_t* keyPath, const wchar_t* name,
                                   const wchar_t* scriptPath, uint32_t* type,
                                   std::vector<uint8_t>* data) {
  if (!keyPath || !name || !type || !data) return -1;
  data->clear();
  bool redirected;
  const std::wstring section = StagedSection(this, keyPath, &redirected);
  std::wstring staged;
  if (scriptPath &&
      ReadProfileValue(scriptPath, section.c_str(), RegScriptValueName(name).c_str(), staged)) {
    // A deletion, or in a profile's copy its mark.
    if (staged == L"-" || (redirected && staged == L"#")) return 0;
    bool remove = false;
    return parse_reg_data(JoinedData(staged), type, data, &remove, kStagingForms) && !remove ? 1
                                                                                              : -1;
  }
  if (scriptPath && KeyDeletionStaged(this, keyPath, scriptPath)) return 0;
  // The image's own value: its hive loaded for the look when it is not.
  std::wstring root, rest;
  if (!Image || !SplitRegistryPath(keyPath, &root, &rest)) return -1;
  CRegHive* hive = FindLoadedHive(Image, root);
  if (!hive || !hive->IsLoaded()) {
    AddHives(Image, HiveFlagOfRoot(root));
    hive = FindLoadedHive(Image, root);
    if (!hive || !hive->IsLoaded()) return -1;
  }
  RegValueBuf* value = nullptr;
  const wchar_t* hiveName = wcscmp(name, L"@") == 0 ? L"" : name;
  const uint32_t status = Image->RegQueryValue(keyPath, hiveName, type, &value);
  if (status == REG_STATUS_NOT_FOUND) return 0;
  if (status != REG_STATUS_OK || !value) return -1;
  data->assign(value->data, value->data + value->length);
  free(value);
  return 1;
}

int CInfInstaller::WriteRegValue(const wchar_t* keyPath, const wchar_t* name, const wchar_t* data,
                                 const wchar_t* scriptPath) {
  if (!keyPath || !name || !scriptPath) return 0;
  // A line for every value of a package: the plain key and name go in as
  // they are, without copies.
  std::wstring quoted;
  const wchar_t* staged = name;
  if (!IsPlainRegScriptName(name)) staged = (quoted = RegScriptValueName(name)).c_str();
  if (KeepsKey(this, keyPath)) return WriteProfileValue(scriptPath, keyPath, staged, data);
  bool redirected;
  std::wstring section = StagedSection(this, keyPath, &redirected);
  // A redirected deletion only marks the value: nothing in the profile's
  // copy is deleted.
  if (data && CompareNoCase(data, L"-") == 0) data = L"#";
  // Remove first, so the new line lands at the end of the section.
  WriteProfileValue(scriptPath, section.c_str(), staged, nullptr);
  return WriteProfileValue(scriptPath, section.c_str(), staged, data);
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
  if (!ReadProfileValue(scriptPath, section.c_str(), RegScriptValueName(name).c_str(), data))
    return 0;
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
    text = FormatRegHexBytes(type, bytes, length);
  }
  free(value);
  installer->WriteRegValue(keyPath, name, text.c_str(), scriptPath);
}
