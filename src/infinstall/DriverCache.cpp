// Enciphered driver cache files and their replay.
#include "infinstall/DriverCache.h"

#include <windows.h>
#include <wincrypt.h>
#include <stdio.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "common/PathUtil.h"
#include "common/TempFiles.h"
#include "common/UnicodeProfile.h"
#include "driverstore/InfSectionCopy.h"
#include "image/mount/MountedImage.h"
#include "registry/RegistryFacade.h"
#include "registry/RegistryReads.h"

namespace {

const DWORD kReparseSymlink = 0xA000000C;
const unsigned kCreateFile = 0x8000;

int Rc4WithTextKey(uint8_t* data, uint32_t length, const char* keyText, bool encrypt) {
  // No key container is needed to hash and derive: without one (a user
  // whose default container was never made) the plain open would fail.
  HCRYPTPROV provider = 0;
  if (!data || !keyText ||
      (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, 0) &&
       !CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)))
    return 0;
  HCRYPTHASH hash = 0;
  HCRYPTKEY key = 0;
  BOOL ok =
      CryptCreateHash(provider, CALG_MD5, 0, 0, &hash) &&
      CryptHashData(hash, reinterpret_cast<const BYTE*>(keyText), (DWORD)strlen(keyText), 0) &&
      CryptDeriveKey(provider, CALG_RC4, hash, 0, &key);
  if (ok) {
    DWORD n = length;
    ok = encrypt ? CryptEncrypt(key, 0, TRUE, 0, data, &n, length)
                 : CryptDecrypt(key, 0, TRUE, 0, data, &n);
  }
  if (key) CryptDestroyKey(key);
  if (hash) CryptDestroyHash(hash);
  CryptReleaseContext(provider, 0);
  return ok ? 1 : 0;
}

int TransformFile(const wchar_t* source, const wchar_t* target, uint32_t idLow, uint32_t idHigh,
                  bool encrypt) {
  HANDLE in = CreateFileW(source, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (in == INVALID_HANDLE_VALUE) return 0;
  LARGE_INTEGER size;
  int result = 0;
  if (GetFileSizeEx(in, &size) && size.QuadPart > 2 && size.QuadPart < 0x40000000) {
    std::vector<uint8_t> data((size_t)size.QuadPart);
    DWORD got = 0;
    if (ReadFile(in, data.data(), (DWORD)data.size(), &got, nullptr) && got == data.size()) {
      char keyText[20];
      _snprintf(keyText, sizeof keyText, "%016I64x", ((uint64_t)idHigh << 32) | idLow);
      keyText[19] = 0;
      int ok = Rc4WithTextKey(data.data(), (uint32_t)data.size(), keyText, encrypt);
      SecureZeroMemory(keyText, sizeof keyText);
      if (ok) {
        HANDLE out = CreateFileW(target, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
        if (out != INVALID_HANDLE_VALUE) {
          DWORD put = 0;
          result = WriteFile(out, data.data(), (DWORD)data.size(), &put, nullptr) &&
                   put == data.size() && SetEndOfFile(out);
          result = CloseHandle(out) && result;
        }
      }
    }
  }
  CloseHandle(in);
  return result;
}

// Lines "key=value" of a section of a UTF-16 file.
std::vector<std::pair<std::wstring, std::wstring>> Entries(const wchar_t* path,
                                                           const wchar_t* section) {
  std::vector<std::pair<std::wstring, std::wstring>> out;
  std::wstring lines;
  if (!ReadProfileSection(path, section, lines)) return out;
  for (const wchar_t* p = lines.c_str(); *p; p += wcslen(p) + 1) {
    const wchar_t* eq = wcschr(p, L'=');
    if (eq)
      out.push_back({std::wstring(p, eq - p), std::wstring(eq + 1).substr(0, kPathChars - 1)});
  }
  return out;
}

const wchar_t kOwnerSection[] = L"Installation";

std::wstring SystemKey(uint32_t controlSet, const std::wstring& tail) {
  wchar_t prefix[64];
  _snwprintf(prefix, 64, L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet%03u\\", controlSet);
  prefix[63] = 0;
  return prefix + tail;
}

// True when a device other than `hardwareId` (compared without its
// enumerator) has the driver key or runs on the service.
bool UsedByOtherDevice(CMountedImage* image, uint32_t controlSet, const wchar_t* hardwareId,
                       const std::wstring& driverKey, const std::wstring& service) {
  const std::wstring enumKey = SystemKey(controlSet, L"Enum");
  for (const std::wstring& e : ListRegistrySubkeys(image, enumKey))
    for (const std::wstring& d : ListRegistrySubkeys(image, enumKey + L"\\" + e)) {
      if (_wcsicmp(d.c_str(), hardwareId) == 0) continue;
      const std::wstring device = enumKey + L"\\" + e + L"\\" + d;
      for (const std::wstring& i : ListRegistrySubkeys(image, device)) {
        std::wstring driver, other;
        if (!driverKey.empty() && ReadRegistryText(image, device + L"\\" + i, L"Driver", driver) &&
            _wcsicmp(driver.c_str(), driverKey.c_str()) == 0)
          return true;
        if (!service.empty() && ReadRegistryText(image, device + L"\\" + i, L"Service", other) &&
            _wcsicmp(other.c_str(), service.c_str()) == 0)
          return true;
      }
    }
  return false;
}

// Whether the deciphered cache file may be replayed into the image.
bool MayReplay(CMountedImage* image, const wchar_t* plain, const wchar_t* hardwareId) {
  const uint32_t cs = ReadCurrentControlSet(image);
  std::wstring windows, driver, service;
  if (!ReadProfileValue(plain, kOwnerSection, L"Windows", windows) || windows.empty() ||
      _wcsicmp(windows.c_str(), ReadWindowsInstallationId(image, cs).c_str()) != 0)
    return false;
  ReadProfileValue(plain, kOwnerSection, L"Driver", driver);
  ReadProfileValue(plain, kOwnerSection, L"Service", service);
  return !UsedByOtherDevice(image, cs, hardwareId, driver, service);
}

}  // namespace

std::wstring ReadWindowsInstallationId(CMountedImage* image, uint32_t controlSet) {
  const std::wstring config = SystemKey(controlSet, L"Control\\IDConfigDB");
  uint32_t current = 1;
  ReadRegistryDword(image, config, L"CurrentConfig", current);
  wchar_t profile[40];
  _snwprintf(profile, 40, L"\\Hardware Profiles\\%04u", current);
  profile[39] = 0;
  std::wstring guid;
  if (!ReadRegistryText(image, config + profile, L"HwProfileGuid", guid)) return L"";
  return guid;
}

int RecordDriverCacheOwner(CMountedImage* image, uint32_t controlSet, const wchar_t* scriptPath,
                           const wchar_t* driverKey, const wchar_t* service) {
  std::wstring windows = ReadWindowsInstallationId(image, controlSet);
  return WriteProfileValue(scriptPath, kOwnerSection, L"Windows", windows.c_str()) &&
         WriteProfileValue(scriptPath, kOwnerSection, L"Driver", driverKey ? driverKey : L"") &&
         WriteProfileValue(scriptPath, kOwnerSection, L"Service", service ? service : L"");
}

int Rc4EncryptWithTextKey(uint8_t* data, uint32_t length, const char* keyText) {
  return Rc4WithTextKey(data, length, keyText, true);
}

int Rc4DecryptWithTextKey(uint8_t* data, uint32_t length, const char* keyText) {
  return Rc4WithTextKey(data, length, keyText, false);
}

int EncryptFileWithValueKey(const wchar_t* source, const wchar_t* target, uint32_t idLow,
                            uint32_t idHigh) {
  return TransformFile(source, target, idLow, idHigh, true);
}

int DecryptFileWithValueKey(const wchar_t* source, const wchar_t* target, uint32_t idLow,
                            uint32_t idHigh) {
  return TransformFile(source, target, idLow, idHigh, false);
}

void FormatDriverCachePath(uint64_t profileId, const wchar_t* hardwareId, wchar_t* out) {
  wchar_t folder[kPathChars];
  DWORD n = GetModuleFileNameW(nullptr, folder, kPathChars);
  if (n == 0 || n >= (DWORD)kPathChars) folder[0] = 0;
  CutFileNamePart(folder);
  AppendPathPart(folder, kPathChars, L"Cache");
  CreateDirectoryW(folder, nullptr);
  wchar_t name[kPathChars];
  _snwprintf(name, kPathChars, L"%I64X_%s.dat", profileId, hardwareId ? hardwareId : L"");
  name[kPathChars - 1] = 0;
  lstrcpynW(out, folder, kPathChars);
  AppendPathPart(out, kPathChars, name);
}

int ReplayDriverCache(CMountedImage* image, const wchar_t* hardwareId, uint32_t idLow,
                      uint32_t idHigh) {
  if (!image || !hardwareId) return 0;
  wchar_t cache[kPathChars];
  FormatDriverCachePath(((uint64_t)idHigh << 32) | idLow, hardwareId, cache);
  if (GetPathKind(cache) != 1) return 0;
  wchar_t plain[kPathChars];
  if (!CreateTempFileName(plain, L"re")) return 0;
  // A file of an earlier version records no installation: not replayed.
  if (!DecryptFileWithValueKey(cache, plain, idLow, idHigh) ||
      !MayReplay(image, plain, hardwareId)) {
    DeleteFileW(plain);
    return 0;
  }
  image->ImportRegFile(plain);
  for (const auto& e : Entries(plain, L"File")) {
    if (e.second.empty()) continue;
    image->DeletePath(e.first.c_str());
    uint64_t missing = 0;
    image->InjectHostPath(e.second.c_str(), e.first.c_str(), &missing, ReplaceExistingCopyCallback,
                          nullptr);
  }
  for (const auto& e : Entries(plain, L"Link")) {
    if (e.second.empty()) continue;
    image->DeletePath(e.first.c_str());
    image->CreateLink(e.first.c_str(), e.second.c_str(), kCreateFile, kReparseSymlink);
  }
  DeleteFileW(plain);
  return 1;
}
