// The offline Windows' version word and build number, the version and
// signer of files inside the image, and the host's own version word. Files
// of the volume are read through a temporary host copy so that the system's
// version and certificate functions can look at them.
#include "registry/WindowsIdentity.h"

#include <windows.h>
#include <wincrypt.h>

#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "common/PathUtil.h"
#include "image/mount/MountedImage.h"
#include "image/copy/TreeCopy.h"
#include "registry/hive/RegTypes.h"
#include "registry/RegistryFacade.h"

namespace {

const wchar_t kKernel[] = L"\\Windows\\System32\\ntoskrnl.exe";

// A temporary host copy of a volume file, deleted with the object.
class TempCopy {
 public:
  TempCopy(CMountedImage* image, const wchar_t* volumePath) {
    wchar_t dir[kPathChars];
    DWORD n = GetTempPathW(kPathChars, dir);
    if (n == 0 || n >= (DWORD)kPathChars) return;
    if (!GetTempFileNameW(dir, L"ver", 0, m_path)) return;
    m_made = true;
    m_ok = Fill(image, volumePath);
  }
  ~TempCopy() {
    if (m_made) DeleteFileW(m_path);
  }
  bool ok() const { return m_ok; }
  const wchar_t* path() const { return m_path; }

 private:
  bool Fill(CMountedImage* image, const wchar_t* volumePath) {
    uint64_t size = 0;
    if (image->GetPathType(volumePath) != 1 ||
        !image->GetFileInfo(volumePath, nullptr, nullptr, nullptr, nullptr, &size))
      return false;
    HANDLE h = CreateFileW(m_path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_TEMPORARY, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    std::vector<uint8_t> chunk(1 << 20);
    bool ok = true;
    for (uint64_t at = 0; ok && at < size;) {
      uint64_t want = size - at < chunk.size() ? size - at : chunk.size();
      uint64_t got = image->ReadFile(volumePath, chunk.data(), at, want);
      DWORD written = 0;
      ok = got == want && ::WriteFile(h, chunk.data(), (DWORD)got, &written, nullptr) &&
           written == got;
      at += got;
    }
    if (!CloseHandle(h)) ok = false;
    return ok;
  }

  wchar_t m_path[MAX_PATH] = {0};
  bool m_made = false;
  bool m_ok = false;
};

// The whole version resource of a host file, empty when it has none.
std::vector<uint8_t> VersionResource(const wchar_t* hostPath) {
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeW(hostPath, &handle);
  std::vector<uint8_t> block;
  if (!size) return block;
  block.resize(size);
  if (!GetFileVersionInfoW(hostPath, 0, size, block.data())) block.clear();
  return block;
}

// A string of the version resource, from the first translation that has it.
bool VersionString(const wchar_t* hostPath, const wchar_t* name, wchar_t* buffer, int length) {
  std::vector<uint8_t> block = VersionResource(hostPath);
  if (block.empty()) return false;
  struct Translation {
    WORD language;
    WORD codePage;
  };
  Translation* list = nullptr;
  UINT bytes = 0;
  if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", (void**)&list, &bytes) || !list)
    return false;
  for (UINT i = 0; i < bytes / sizeof(Translation); i++) {
    wchar_t query[128];
    _snwprintf(query, 128, L"\\StringFileInfo\\%04x%04x\\%s", list[i].language, list[i].codePage,
               name);
    query[127] = 0;
    wchar_t* text = nullptr;
    UINT chars = 0;
    if (VerQueryValueW(block.data(), query, (void**)&text, &chars) && text) {
      lstrcpynW(buffer, text, length);
      return true;
    }
  }
  return false;
}

// The version word of a kernel file of the volume, 0 when unknown.
uint32_t KernelVersionWord(CMountedImage* image, const wchar_t* volumePath) {
  TempCopy copy(image, volumePath);
  if (!copy.ok()) return 0;
  uint32_t ms = (uint32_t)(GetHostFileVersion(copy.path()) >> 32);
  if (!ms) return 0;
  return MakeWindowsVersionWord(GetPeMachineBits(copy.path()), HIWORD(ms) & 0xFF,
                                LOWORD(ms) & 0xFF);
}

int CollectName(const wchar_t* name, unsigned int, DWORD, DWORD, const FILETIME*, const FILETIME*,
                const FILETIME*, DWORD, void* user) {
  static_cast<std::vector<std::wstring>*>(user)->push_back(name);
  return 1;
}

// Kernel files of the volume: the standard place, then "\<entry>\System32"
// for each root entry in directory order.
template <typename Try>
uint64_t FirstKernel(CMountedImage* image, Try attempt) {
  if (image->GetPathType(kKernel) == 1) {
    if (uint64_t r = attempt(kKernel)) return r;
  }
  std::vector<std::wstring> names;
  image->EnumDirectory(L"\\", CollectName, &names);
  for (const std::wstring& d : names) {
    if (d == L"." || d == L"..") continue;
    std::wstring path = L"\\" + d + L"\\System32\\ntoskrnl.exe";
    if (path.size() >= (size_t)kPathChars || image->GetPathType(path.c_str()) != 1) continue;
    return attempt(path.c_str());
  }
  return 0;
}

std::wstring QueryText(CMountedImage* image, const std::wstring& key, const wchar_t* name) {
  RegValueBuf* buf = nullptr;
  uint32_t type = 0;
  std::wstring text;
  if (image->RegQueryValue(key.c_str(), name, &type, &buf) == REG_STATUS_OK && buf) {
    for (size_t i = 0; i + 1 < buf->length; i += 2) {
      wchar_t c = (wchar_t)(buf->data[i] | (buf->data[i + 1] << 8));
      if (!c) break;
      text += c;
    }
  }
  free(buf);
  return text;
}

// Dotted numbers of a version text: "6.1.7601.17514".
void DottedNumbers(const std::wstring& text, uint32_t out[3]) {
  out[0] = out[1] = out[2] = 0;
  const wchar_t* p = text.c_str();
  for (int i = 0; i < 3 && *p; i++) {
    out[i] = (uint32_t)wcstoul(p, nullptr, 10);
    p = wcschr(p, L'.');
    if (!p) break;
    p++;
  }
}

std::wstring ControlSetKey(CMountedImage* image, const wchar_t* below) {
  wchar_t key[512];
  _snwprintf(key, 512, L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet%03u\\%s",
             image->GetCurrentControlSet(), below);
  key[511] = 0;
  return key;
}

const wchar_t kDisplayClass0[] = L"Control\\Class\\{4D36E966-E325-11CE-BFC1-08002BE10318}\\0000";
const wchar_t kCurrentVersion[] = REG_ROOT_SOFTWARE L"\\Microsoft\\Windows NT\\CurrentVersion";

int VersionStringOf(CMountedImage* image, const wchar_t* path, const wchar_t* name, wchar_t* buffer,
                    int length) {
  if (!buffer || length <= 0) return 0;
  buffer[0] = 0;
  if (!path) return 0;
  TempCopy copy(image, path);
  return copy.ok() && VersionString(copy.path(), name, buffer, length) ? 1 : 0;
}

}  // namespace

uint32_t GetHostWindowsVersion() {
  DWORD v = GetVersion();
  uint32_t major = LOBYTE(LOWORD(v)), minor = HIBYTE(LOWORD(v));
#ifdef _WIN64
  return MakeWindowsVersionWord(WINDOWS_ARCH_X64, major, minor);
#else
  typedef BOOL(WINAPI * IsWow64ProcessFn)(HANDLE, PBOOL);
  IsWow64ProcessFn isWow64 =
      (IsWow64ProcessFn)(void*)GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process");
  BOOL wow = FALSE;
  if (isWow64 && !isWow64(GetCurrentProcess(), &wow)) wow = FALSE;
  return MakeWindowsVersionWord(wow ? WINDOWS_ARCH_X64 : WINDOWS_ARCH_X86, major, minor);
#endif
}

uint32_t GetPeMachineBits(const wchar_t* hostPath) {
  HANDLE h = CreateFileW(hostPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 0;
  uint8_t dos[64];
  uint8_t pe[6];
  DWORD got = 0;
  uint32_t bits = 0;
  if (::ReadFile(h, dos, sizeof dos, &got, nullptr) && got == sizeof dos && dos[0] == 'M' &&
      dos[1] == 'Z') {
    LARGE_INTEGER at;
    at.QuadPart = dos[0x3C] | (dos[0x3D] << 8) | (dos[0x3E] << 16) | ((uint32_t)dos[0x3F] << 24);
    if (SetFilePointerEx(h, at, nullptr, FILE_BEGIN) &&
        ::ReadFile(h, pe, sizeof pe, &got, nullptr) && got == sizeof pe &&
        memcmp(pe, "PE\0\0", 4) == 0) {
      uint16_t machine = (uint16_t)(pe[4] | (pe[5] << 8));
      if (machine == 0x8664)
        bits = WINDOWS_ARCH_X64;
      else if (machine == 0x14C)
        bits = WINDOWS_ARCH_X86;
    }
  }
  CloseHandle(h);
  return bits;
}

uint32_t CMountedImage::GetWindowsVersion() {
  if (NtfsVolume()) {
    std::wstring arch =
        QueryText(this, ControlSetKey(this, L"Control\\Session Manager\\Environment"),
                  L"PROCESSOR_ARCHITECTURE");
    uint32_t bits = 0;
    if (_wcsicmp(arch.c_str(), L"AMD64") == 0)
      bits = WINDOWS_ARCH_X64;
    else if (_wcsicmp(arch.c_str(), L"x86") == 0)
      bits = WINDOWS_ARCH_X86;
    uint32_t v[3];
    DottedNumbers(QueryText(this, ControlSetKey(this, kDisplayClass0), L"DriverVersion"), v);
    if (v[0] == 0 && v[1] == 0)
      DottedNumbers(QueryText(this, kCurrentVersion, L"CurrentVersion"), v);
    uint32_t word = MakeWindowsVersionWord(bits, v[0], v[1]);
    if (word) return word;
  }
  return (uint32_t)FirstKernel(
      this, [&](const wchar_t* p) { return (uint64_t)KernelVersionWord(this, p); });
}

int CMountedImage::GetWindowsBuildNumber() {
  uint32_t build = (uint32_t)FirstKernel(
      this, [&](const wchar_t* p) { return (uint64_t)HIWORD((DWORD)GetFileVersion(p)); });
  if (!build && NtfsVolume())
    build = (uint32_t)wcstoul(QueryText(this, kCurrentVersion, L"CurrentBuildNumber").c_str(),
                              nullptr, 10);
  if (!build) {
    uint32_t v[3];
    DottedNumbers(QueryText(this, ControlSetKey(this, kDisplayClass0), L"DriverVersion"), v);
    build = v[2];
  }
  return build ? (int)build : -1;
}

uint64_t CMountedImage::GetFileVersion(const wchar_t* path) {
  if (!path) return 0;
  wchar_t target[kPathChars];
  // The installation links driver files to its store on the host.
  if (GetReparseTag(path) && GetLinkTarget(path, target, kPathChars) && target[0])
    return GetHostFileVersion(target);
  return GetVolumeFileVersion(this, path);
}

int CMountedImage::GetFileCompanyName(const wchar_t* path, wchar_t* buffer, int length) {
  return VersionStringOf(this, path, L"CompanyName", buffer, length);
}

int CMountedImage::GetFileOriginalName(const wchar_t* path, wchar_t* buffer, int length) {
  return VersionStringOf(this, path, L"OriginalFilename", buffer, length);
}

int CMountedImage::GetFileSpecialBuild(const wchar_t* path, wchar_t* buffer, int length) {
  return VersionStringOf(this, path, L"SpecialBuild", buffer, length);
}

int CMountedImage::GetFileSignerName(const wchar_t* path, wchar_t* buffer, int length) {
  if (!buffer || length <= 0) return 0;
  buffer[0] = 0;
  if (!path) return 0;
  TempCopy copy(this, path);
  if (!copy.ok()) return 0;
  HCERTSTORE store = nullptr;
  HCRYPTMSG msg = nullptr;
  DWORD encoding = 0, content = 0, format = 0;
  if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, copy.path(),
                        CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED, CERT_QUERY_FORMAT_FLAG_BINARY,
                        0, &encoding, &content, &format, &store, &msg, nullptr))
    return 0;
  int result = 0;
  DWORD size = 0;
  if (CryptMsgGetParam(msg, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size) && size) {
    std::vector<uint8_t> info(size);
    if (CryptMsgGetParam(msg, CMSG_SIGNER_INFO_PARAM, 0, info.data(), &size)) {
      CMSG_SIGNER_INFO* signer = (CMSG_SIGNER_INFO*)info.data();
      CERT_INFO wanted = {};
      wanted.Issuer = signer->Issuer;
      wanted.SerialNumber = signer->SerialNumber;
      PCCERT_CONTEXT cert =
          CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                     CERT_FIND_SUBJECT_CERT, &wanted, nullptr);
      if (cert) {
        if (CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, buffer,
                               (DWORD)length) > 1)
          result = 1;
        else
          buffer[0] = 0;
        CertFreeCertificateContext(cert);
      }
    }
  }
  CryptMsgClose(msg);
  CertCloseStore(store, 0);
  return result;
}
