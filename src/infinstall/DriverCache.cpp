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
#include "image/mount/MountedImage.h"
#include "infinstall/InfInstaller.h"
#include "infinstall/RegScriptFile.h"
#include "registry/RegHive.h"
#include "registry/RegistryFacade.h"
#include "registry/RegistryReads.h"

namespace {


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

// The key text of a 64-bit id.
void KeyText(uint64_t id, char keyText[20]) {
  _snprintf(keyText, 20, "%016I64x", id);
  keyText[19] = 0;
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
      KeyText(((uint64_t)idHigh << 32) | idLow, keyText);
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
// The forms of the entries an installation writes, raised when they change
// (2: a Win32 service's ImagePath is its command line, AddService's and
// DelService's flags carried out): a cache file of other forms would write
// the old ones again, so the package is installed anew instead.
const wchar_t kEntryForms[] = L"2";
const size_t kDigestBytes = 32;

// SHA-256 of a buffer; false when the provider cannot give it.
bool Sha256(const uint8_t* data, size_t length, uint8_t out[kDigestBytes]) {
  HCRYPTPROV provider = 0;
  if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
    return false;
  HCRYPTHASH hash = 0;
  DWORD n = kDigestBytes;
  bool ok = CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash) &&
            CryptHashData(hash, data, (DWORD)length, 0) &&
            CryptGetHashParam(hash, HP_HASHVAL, out, &n, 0) && n == kDigestBytes;
  if (hash) CryptDestroyHash(hash);
  CryptReleaseContext(provider, 0);
  return ok;
}

// The SHA-256 of a file as hexadecimal text; empty when it cannot be read.
std::wstring FileDigest(const wchar_t* path) {
  HANDLE in = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
  if (in == INVALID_HANDLE_VALUE) return L"";
  HCRYPTPROV provider = 0;
  HCRYPTHASH hash = 0;
  uint8_t digest[kDigestBytes];
  DWORD n = kDigestBytes;
  bool ok = CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) &&
            CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash);
  std::vector<uint8_t> block(1 << 16);
  for (DWORD got = 1; ok && got;)
    ok = ReadFile(in, block.data(), (DWORD)block.size(), &got, nullptr) &&
         (!got || CryptHashData(hash, block.data(), got, 0));
  ok = ok && CryptGetHashParam(hash, HP_HASHVAL, digest, &n, 0) && n == kDigestBytes;
  if (hash) CryptDestroyHash(hash);
  if (provider) CryptReleaseContext(provider, 0);
  CloseHandle(in);
  if (!ok) return L"";
  std::wstring text;
  for (uint8_t b : digest) {
    wchar_t hex[3];
    _snwprintf(hex, 3, L"%02x", b);
    text.append(hex, 2);
  }
  return text;
}

const wchar_t kDigestSection[] = L"Digests";

const wchar_t kReadSection[] = L"Read";

bool ReadWhole(const wchar_t* path, std::vector<uint8_t>& data) {
  HANDLE in = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (in == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size;
  DWORD got = 0;
  bool ok = GetFileSizeEx(in, &size) && size.QuadPart < 0x40000000;
  if (ok) {
    data.resize((size_t)size.QuadPart);
    ok = data.empty() ||
         (ReadFile(in, data.data(), (DWORD)data.size(), &got, nullptr) && got == data.size());
  }
  CloseHandle(in);
  return ok;
}

bool WriteWhole(const wchar_t* path, const uint8_t* data, size_t length) {
  HANDLE out =
      CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) return false;
  DWORD put = 0;
  bool ok = WriteFile(out, data, (DWORD)length, &put, nullptr) && put == length &&
            SetEndOfFile(out);
  ok = CloseHandle(out) && ok;
  if (!ok) DeleteFileW(path);
  return ok;
}

// The cache file deciphered into `plain` when its digest holds.
bool ReadCacheFile(const wchar_t* cache, uint64_t id, const wchar_t* plain) {
  std::vector<uint8_t> data;
  if (!ReadWhole(cache, data) || data.size() <= kDigestBytes + 2) return false;
  char keyText[20];
  KeyText(id, keyText);
  int ok = Rc4WithTextKey(data.data(), (uint32_t)data.size(), keyText, false);
  SecureZeroMemory(keyText, sizeof keyText);
  uint8_t digest[kDigestBytes];
  const size_t text = data.size() - kDigestBytes;
  return ok && Sha256(data.data(), text, digest) &&
         memcmp(digest, data.data() + text, kDigestBytes) == 0 &&
         WriteWhole(plain, data.data(), text);
}

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

std::wstring OwnerValue(const wchar_t* plain, const wchar_t* name) {
  std::wstring value;
  ReadProfileValue(plain, kOwnerSection, name, value);
  return value;
}

// True when a network class instance other than the driver key
// ("{guid}\NNNN") claims the adapter configuration.
bool AdapterClaimedElsewhere(CMountedImage* image, uint32_t controlSet, const std::wstring& adapter,
                             const std::wstring& driverKey) {
  if (adapter.empty()) return false;
  const std::wstring classKey =
      SystemKey(controlSet, L"Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}");
  const wchar_t* own = FindFileNamePart(driverKey.c_str());
  for (const std::wstring& instance : ListRegistrySubkeys(image, classKey)) {
    std::wstring id;
    if (_wcsicmp(instance.c_str(), own) != 0 &&
        ReadRegistryText(image, classKey + L"\\" + instance, L"NetCfgInstanceId", id) &&
        _wcsicmp(id.c_str(), adapter.c_str()) == 0)
      return true;
  }
  return false;
}

// Whether the installation read the very files the target reads now, each
// as it was then: the same list, and every digest the same.
bool SameFilesRead(const wchar_t* plain, const DriverReplayTarget& target) {
  const auto recorded = Entries(plain, kReadSection);
  if (!target.readFiles || target.readFiles->empty() ||
      recorded.size() != target.readFiles->size())
    return false;
  for (const std::wstring& file : *target.readFiles) {
    bool same = false;
    for (const auto& r : recorded)
      same = same || (_wcsicmp(r.first.c_str(), file.c_str()) == 0 && !r.second.empty() &&
                      r.second == FileDigest(file.c_str()));
    if (!same) return false;
  }
  return true;
}

// Whether the deciphered cache file was made by the installation the
// target would make now, from the files the version folder holds.
bool SameInstallation(CMountedImage* image, const wchar_t* plain,
                      const DriverReplayTarget& target) {
  const uint32_t cs = ReadCurrentControlSet(image);
  // The keys of the cache file name the control set it was made for: the
  // image's current one must be that set, or the replay would write where
  // the Windows does not boot from.
  if (OwnerValue(plain, L"ControlSet") != std::to_wstring(cs) ||
      OwnerValue(plain, L"Forms") != kEntryForms)
    return false;
  const std::wstring windows = OwnerValue(plain, L"Windows");
  const std::wstring version = OwnerValue(plain, L"Version");
  const std::wstring adapter = OwnerValue(plain, L"Adapter");
  const std::wstring driverKey = OwnerValue(plain, L"Driver");
  const std::wstring wanted = target.adapter ? target.adapter : L"";
  if (windows.empty() ||
      _wcsicmp(windows.c_str(), ReadWindowsInstallationId(image, cs).c_str()) != 0 ||
      version.empty() || !target.version || !*target.version ||
      _wcsicmp(version.c_str(), target.version) != 0 ||
      _wcsicmp(adapter.c_str(), wanted.c_str()) != 0 || !SameFilesRead(plain, target) ||
      AdapterClaimedElsewhere(image, cs, adapter, driverKey))
    return false;
  return !UsedByOtherDevice(image, cs, target.hardwareId, driverKey, OwnerValue(plain, L"Service"));
}

struct CachedFile {
  std::wstring target, source;
  bool link;
};

bool NamedByPackage(const DriverReplayTarget& target, const wchar_t* name) {
  if (!target.fileNames) return false;
  for (const std::wstring& n : *target.fileNames)
    if (_wcsicmp(n.c_str(), name) == 0) return true;
  return false;
}

// The files and links of the deciphered cache file, when every one may be
// placed: a target path that stays inside the volume, named as a file of
// the package and not a folder there; a source inside the version folder
// that is there as it was when the cache file was made.
bool CachedFiles(CMountedImage* image, const wchar_t* plain, const DriverReplayTarget& target,
                 std::vector<CachedFile>& files) {
  std::wstring folder = target.versionFolder ? target.versionFolder : L"";
  while (!folder.empty() && IsPathSeparator(folder.back())) folder.pop_back();
  if (folder.empty()) return false;
  for (int link = 0; link < 2; ++link)
    for (const auto& e : Entries(plain, link ? L"Link" : L"File")) {
      if (e.second.empty()) continue;
      const std::wstring& path = e.first;
      const std::wstring& source = e.second;
      if (path.empty() || !IsPathSeparator(path[0]) || !IsContainedPath(path.c_str()) ||
          !NamedByPackage(target, FindFileNamePart(path.c_str())) || image->GetPathType(path.c_str()) == 2)
        return false;
      if (source.size() <= folder.size() + 1 ||
          _wcsnicmp(source.c_str(), folder.c_str(), folder.size()) != 0 ||
          !IsPathSeparator(source[folder.size()]) ||
          !IsContainedPath(source.c_str() + folder.size() + 1) ||
          GetPathKind(source.c_str()) != 1)
        return false;
      std::wstring digest;
      if (!ReadProfileValue(plain, kDigestSection, source.c_str(), digest) || digest.empty() ||
          digest != FileDigest(source.c_str()))
        return false;
      files.push_back({path, source, link == 1});
    }
  return true;
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
                           const DriverCacheOwner& owner) {
  std::wstring windows = ReadWindowsInstallationId(image, controlSet);
  auto text = [](const wchar_t* t) { return t ? t : L""; };
  // The store as the installation found it: every file it read and the
  // source of every file and link placed.
  if (!scriptPath || !owner.readFiles || owner.readFiles->empty()) return 0;
  // The lines go in in memory (the script is written when its last hold
  // ends).
  CProfileHold hold(scriptPath);
  for (const std::wstring& file : *owner.readFiles) {
    const std::wstring digest = FileDigest(file.c_str());
    if (digest.empty() ||
        !WriteProfileValue(scriptPath, kReadSection, file.c_str(), digest.c_str()))
      return 0;
  }
  for (const wchar_t* section : {L"File", L"Link"})
    for (const auto& e : Entries(scriptPath, section)) {
      const std::wstring digest = FileDigest(e.second.c_str());
      if (digest.empty() ||
          !WriteProfileValue(scriptPath, kDigestSection, e.second.c_str(), digest.c_str()))
        return 0;
    }
  return WriteProfileValue(scriptPath, kOwnerSection, L"Windows", windows.c_str()) &&
         WriteProfileValue(scriptPath, kOwnerSection, L"ControlSet",
                           std::to_wstring(controlSet).c_str()) &&
         WriteProfileValue(scriptPath, kOwnerSection, L"Driver", text(owner.driverKey)) &&
         WriteProfileValue(scriptPath, kOwnerSection, L"Service", text(owner.service)) &&
         WriteProfileValue(scriptPath, kOwnerSection, L"Version", text(owner.version)) &&
         WriteProfileValue(scriptPath, kOwnerSection, L"Adapter", text(owner.adapter)) &&
         WriteProfileValue(scriptPath, kOwnerSection, L"Forms", kEntryForms);
}

int WriteDriverCacheFile(const wchar_t* scriptPath, uint64_t profileId, const wchar_t* hardwareId) {
  // The script as its file holds it (from memory while it is held).
  std::wstring script;
  if (!scriptPath || !ReadProfileText(scriptPath, script) || script.empty()) return 0;
  std::vector<uint8_t> data(2 + script.size() * sizeof(wchar_t));
  data[0] = 0xFF;
  data[1] = 0xFE;
  memcpy(data.data() + 2, script.data(), script.size() * sizeof(wchar_t));
  const size_t text = data.size();
  data.resize(text + kDigestBytes);
  if (!Sha256(data.data(), text, data.data() + text)) return 0;
  char keyText[20];
  KeyText(profileId, keyText);
  int ok = Rc4WithTextKey(data.data(), (uint32_t)data.size(), keyText, true);
  SecureZeroMemory(keyText, sizeof keyText);
  wchar_t cache[kPathChars];
  FormatDriverCachePath(profileId, hardwareId, cache);
  return ok && WriteWhole(cache, data.data(), data.size()) ? 1 : 0;
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

int ReplayDriverCache(CInfInstaller* installer, const DriverReplayTarget& target) {
  CMountedImage* image = installer ? installer->Image : nullptr;
  if (!image || !target.hardwareId) return kReplayNotDone;
  wchar_t cache[kPathChars];
  FormatDriverCachePath(target.profileId, target.hardwareId, cache);
  if (GetPathKind(cache) != 1) return kReplayNotDone;
  wchar_t plain[kPathChars], scratch[kPathChars];
  if (!CreateTempFileName(plain, L"re")) return kReplayNotDone;
  // A file of an earlier version (no digest, no owner) is not replayed.
  std::vector<CachedFile> files;
  // Keys of SOFTWARE are replayed only where that hive can take them.
  CRegHive* software = FindLoadedHive(image, REG_ROOT_SOFTWARE);
  if (!ReadCacheFile(cache, target.profileId, plain) || !SameInstallation(image, plain, target) ||
      (!target.prepareHives && (!software || !software->IsLoaded()) &&
       RegScriptNamesRoot(plain, REG_ROOT_SOFTWARE)) ||
      !CachedFiles(image, plain, target, files) || !CreateTempFileName(scratch, L"re")) {
    DeleteFileW(plain);
    return kReplayNotDone;
  }
  uint64_t room = 0;
  for (const CachedFile& f : files)
    room += (f.link ? 0 : (GetFileSizeByName(f.source.c_str()) + 0xFFFu) & ~0xFFFull) + 0x1000;
  int result =
      (target.prepareHives && !target.prepareHives(plain)) || image->ImportRegFile(plain) != 0
          ? kReplayImportFailed
      : !installer->ReserveRoom(room) ? kReplayFilesFailed
                                      : kReplayDone;
  const std::wstring driverKey = OwnerValue(plain, L"Driver");
  for (size_t i = 0; result == kReplayDone && i < files.size(); ++i)
    if (!installer->CopyDriverFile(files[i].source.c_str(), files[i].target.c_str(),
                                   driverKey.c_str(), scratch, files[i].link ? 1 : 0))
      result = kReplayFilesFailed;
  DeleteFileW(scratch);
  DeleteFileW(plain);
  return result;
}
