// Identity of a Windows: the version word (architecture 64 or 86 in bits
// 16-31, major version in bits 8-15, minor version in bits 0-7; 6.1 x64 is
// 0x400601), of the host here; the offline Windows of a mounted image is
// asked through CMountedImage::GetWindowsVersion and its kin.
#pragma once
#include <stdint.h>

enum : uint32_t {
  WINDOWS_ARCH_X64 = 64,
  WINDOWS_ARCH_X86 = 86,
};

inline uint32_t MakeWindowsVersionWord(uint32_t arch, uint32_t major, uint32_t minor) {
  return (arch << 16) | ((major & 0xFF) << 8) | (minor & 0xFF);
}

// The host's version word.
uint32_t GetHostWindowsVersion();
// 64 for a PE file of machine 0x8664, 86 for 0x14C, 0 otherwise.
uint32_t GetPeMachineBits(const wchar_t* hostPath);
