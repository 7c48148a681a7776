// Version resources and signers of host files, and the program's own
// version.
#pragma once
#include <windows.h>

#include <cstdint>

// FileVersionMS in the high and FileVersionLS in the low 32 bits; 0 without a
// version resource.
uint64_t GetFileVersionNumber(const wchar_t* path);

// "%u.%04u.%02u.%02u": major, minor, third part / 100, third part % 100 (the
// fourth part is not shown) of a FileVersionMS/LS pair. Returns the length.
int FormatVersionNumber(DWORD versionMS, DWORD versionLS, wchar_t* out, int outSize);

// The program's own version formatted so into `out` (40 characters); 0 and
// an empty text without a version resource.
int FormatOwnVersion(wchar_t* out);

// The version strings "CompanyName", "OriginalFilename", "SpecialBuild" of a
// host file, in the first translation that has them. Nonzero when found.
BOOL GetFileCompanyName(const wchar_t* path, wchar_t* out, int outSize);
BOOL GetFileOriginalName(const wchar_t* path, wchar_t* out, int outSize);
BOOL GetFileSpecialBuild(const wchar_t* path, wchar_t* out, int outSize);

// The simple display name of the Authenticode signer of a signed file
// (`outSize` characters); 0 when unsigned or unreadable.
BOOL GetFileSignerName(const wchar_t* path, wchar_t* out, int outSize);
