#include "ui/VersionInfo.h"

#include <wincrypt.h>

#include <cwchar>
#include <vector>

#include "common/PathUtil.h"
#include "ui/UiResources.h"

namespace {

bool ReadVersionResource(const wchar_t* path, std::vector<BYTE>& block) {
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(path, &ignored);
  if (!size) return false;
  block.resize(size);
  return GetFileVersionInfoW(path, 0, size, block.data()) != FALSE;
}

bool FixedInfo(const void* block, VS_FIXEDFILEINFO** info) {
  UINT length = 0;
  return VerQueryValueW(block, L"\\", reinterpret_cast<void**>(info), &length) &&
         length >= sizeof(VS_FIXEDFILEINFO);
}

BOOL GetVersionString(const wchar_t* path, const wchar_t* key, wchar_t* out, int outSize) {
  if (out && outSize > 0) out[0] = 0;
  std::vector<BYTE> block;
  if (!ReadVersionResource(path, block)) return FALSE;
  struct Translation {
    WORD language, codePage;
  }* pairs = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&pairs),
                      &length))
    return FALSE;
  for (UINT i = 0; i < length / sizeof(Translation); ++i) {
    wchar_t name[100];
    _snwprintf(name, 100, L"\\StringFileInfo\\%04x%04x\\%s", pairs[i].language, pairs[i].codePage,
               key);
    name[99] = 0;
    wchar_t* value = nullptr;
    UINT valueLength = 0;
    if (VerQueryValueW(block.data(), name, reinterpret_cast<void**>(&value), &valueLength) &&
        value) {
      lstrcpynW(out, value, outSize);
      return TRUE;
    }
  }
  return FALSE;
}

}  // namespace

uint64_t GetFileVersionNumber(const wchar_t* path) {
  std::vector<BYTE> block;
  VS_FIXEDFILEINFO* info = nullptr;
  if (!ReadVersionResource(path, block) || !FixedInfo(block.data(), &info)) return 0;
  return uint64_t(info->dwFileVersionMS) << 32 | info->dwFileVersionLS;
}

int FormatVersionNumber(DWORD versionMS, DWORD versionLS, wchar_t* out, int outSize) {
  int n = _snwprintf(out, outSize, L"%u.%04u.%02u.%02u", HIWORD(versionMS), LOWORD(versionMS),
                     HIWORD(versionLS) / 100, HIWORD(versionLS) % 100);
  if (n < 0 || n >= outSize) n = outSize - 1;
  out[n] = 0;
  return n;
}

int FormatOwnVersion(wchar_t* out) {
  const int kSize = 40;
  out[0] = 0;
  DWORD size = 0;
  const void* data =
      FindUiResource(GetUiModule(), RT_VERSION, MAKEINTRESOURCEW(VS_VERSION_INFO), 0, &size);
  if (!data) return 0;
  // VerQueryValueW wants a writable copy.
  std::vector<BYTE> block(static_cast<const BYTE*>(data), static_cast<const BYTE*>(data) + size);
  block.resize(size * 2);
  VS_FIXEDFILEINFO* info = nullptr;
  if (!FixedInfo(block.data(), &info)) return 0;
  return FormatVersionNumber(info->dwFileVersionMS, info->dwFileVersionLS, out, kSize);
}

BOOL GetFileCompanyName(const wchar_t* path, wchar_t* out, int outSize) {
  return GetVersionString(path, L"CompanyName", out, outSize);
}

BOOL GetFileOriginalName(const wchar_t* path, wchar_t* out, int outSize) {
  return GetVersionString(path, L"OriginalFilename", out, outSize);
}

BOOL GetFileSpecialBuild(const wchar_t* path, wchar_t* out, int outSize) {
  return GetVersionString(path, L"SpecialBuild", out, outSize);
}

BOOL GetFileSignerName(const wchar_t* path, wchar_t* out, int outSize) {
  if (out && outSize > 0) out[0] = 0;
  HCERTSTORE store = nullptr;
  HCRYPTMSG message = nullptr;
  DWORD encoding = 0, contentType = 0, formatType = 0;
  if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, path, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                        CERT_QUERY_FORMAT_FLAG_BINARY, 0, &encoding, &contentType, &formatType,
                        &store, &message, nullptr))
    return FALSE;
  BOOL found = FALSE;
  DWORD size = 0;
  if (CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size) && size) {
    std::vector<BYTE> buffer(size);
    if (CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, buffer.data(), &size)) {
      const CMSG_SIGNER_INFO* signer = reinterpret_cast<const CMSG_SIGNER_INFO*>(buffer.data());
      CERT_INFO wanted = {};
      wanted.Issuer = signer->Issuer;
      wanted.SerialNumber = signer->SerialNumber;
      PCCERT_CONTEXT cert =
          CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                     CERT_FIND_SUBJECT_CERT, &wanted, nullptr);
      if (cert) {
        DWORD chars =
            CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
        if (chars > 1) {
          std::vector<wchar_t> name(chars);
          CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name.data(), chars);
          lstrcpynW(out, name.data(), outSize);
          found = TRUE;
        }
        CertFreeCertificateContext(cert);
      }
    }
  }
  CryptMsgClose(message);
  CertCloseStore(store, 0);
  return found;
}
