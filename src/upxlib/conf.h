// Common definitions of the executable unpacker.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace upx {

typedef uint8_t upx_byte;
typedef uint16_t upx_uint16_t;
typedef uint32_t upx_uint32_t;
typedef uint64_t upx_uint64_t;
typedef int32_t upx_int32_t;
typedef int64_t upx_int64_t;

// The largest buffer, offset or length the library accepts.
const upx_uint32_t UPX_RSIZE_MAX = 0x30000000;
const upx_uint32_t UPX_RSIZE_MAX_MEM = UPX_RSIZE_MAX;
// The largest text the formatting functions handle.
const upx_uint32_t UPX_RSIZE_MAX_STR = 0x100000;

const char* const UPX_VERSION_STRING = "3.95";
const char* const UPX_VERSION_YEAR = "2018";
const char* const UPX_VERSION_DATE = "Aug 26th 2018";

// Pack header magic "UPX!" read as a little-endian 32-bit value.
const upx_uint32_t UPX_MAGIC_LE32 = 0x21585055;
const upx_uint32_t UPX_MAGIC2_LE32 = 0xD5D0D8A1;

// Executable formats used here.
enum {
  UPX_F_DOS_COM = 1,
  UPX_F_DOS_SYS = 2,
  UPX_F_DOS_EXE = 3,
  UPX_F_DOS_EXEH = 7,
  UPX_F_WIN32_PE = 9,
  UPX_F_WINCE_ARM_PE = 21,
  UPX_F_W64PEP_AMD64 = 36,
};

// Compression methods.
enum {
  M_NONE = -3,
  M_ALL = -1,
  M_NRV2B_LE32 = 2,
  M_NRV2B_8 = 3,
  M_NRV2B_LE16 = 4,
  M_NRV2D_LE32 = 5,
  M_NRV2D_8 = 6,
  M_NRV2D_LE16 = 7,
  M_NRV2E_LE32 = 8,
  M_NRV2E_8 = 9,
  M_NRV2E_LE16 = 10,
  M_CL1B_LE32 = 11,
  M_CL1B_8 = 12,
  M_CL1B_LE16 = 13,
  M_LZMA = 14,
  M_DEFLATE = 15,
  M_END = -2,
  M_SKIP = -4,
  M_ULTRA_BRUTE = -5,
};
inline bool M_IS_NRV2B(int m) {
  return m >= M_NRV2B_LE32 && m <= M_NRV2B_LE16;
}
inline bool M_IS_NRV2D(int m) {
  return m >= M_NRV2D_LE32 && m <= M_NRV2D_LE16;
}
inline bool M_IS_NRV2E(int m) {
  return m >= M_NRV2E_LE32 && m <= M_NRV2E_LE16;
}
inline bool M_IS_NRV(int m) {
  return m >= M_NRV2B_LE32 && m <= M_NRV2E_LE16;
}
inline bool M_IS_LZMA(int m) {
  return (m & 255) == M_LZMA;
}
inline bool M_IS_DEFLATE(int m) {
  return m == M_DEFLATE;
}

// Filter-list markers.
enum { FT_END = -1, FT_NONE = -2, FT_SKIP = -3, FT_ULTRA_BRUTE = -4 };

// Commands of the options block.
enum {
  CMD_NONE = 0,
  CMD_COMPRESS = 1,
  CMD_DECOMPRESS = 2,
  CMD_TEST = 3,
  CMD_LIST = 4,
  CMD_FILEINFO = 5
};

template <class T>
inline T upx_min(T a, T b) {
  return a < b ? a : b;
}
template <class T>
inline T upx_max(T a, T b) {
  return a < b ? b : a;
}
template <class T>
inline T ALIGN_UP(T a, T b) {
  return (a + b - 1) / b * b;
}
template <class T>
inline T ALIGN_DOWN(T a, T b) {
  return a / b * b;
}

}  // namespace upx

// A consistency requirement of the library's own code: when it does not hold
// an InternalError is raised (never an abort), so ordinary input can only end
// in an orderly failure.
#define UPX_ASSERT(cond)                                                \
  do {                                                                  \
    if (!(cond)) ::upx::raiseInternalError("assertion failed: " #cond); \
  } while (0)
#define UPX_STR2(x) #x
#define UPX_STR(x) UPX_STR2(x)
