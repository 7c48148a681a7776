// Numbers in on-disk byte order: little-endian loads and stores at a byte
// pointer (every format here but VHD), and big-endian values (VHD) brought
// into host order. The pointers need no alignment.
#pragma once
#include <stdint.h>

inline uint16_t Ld16(const uint8_t* p) {
  return (uint16_t)(p[0] | p[1] << 8);
}

inline uint32_t Ld32(const uint8_t* p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

inline uint64_t Ld64(const uint8_t* p) {
  return Ld32(p) | (uint64_t)Ld32(p + 4) << 32;
}

inline void St16(uint8_t* p, uint16_t v) {
  p[0] = (uint8_t)v;
  p[1] = (uint8_t)(v >> 8);
}

inline void St32(uint8_t* p, uint32_t v) {
  p[0] = (uint8_t)v;
  p[1] = (uint8_t)(v >> 8);
  p[2] = (uint8_t)(v >> 16);
  p[3] = (uint8_t)(v >> 24);
}

inline void St64(uint8_t* p, uint64_t v) {
  St32(p, (uint32_t)v);
  St32(p + 4, (uint32_t)(v >> 32));
}

// A big-endian field as read into memory, in host order (and back).
inline uint32_t Be32(uint32_t v) {
  return __builtin_bswap32(v);
}

inline uint64_t Be64(uint64_t v) {
  return __builtin_bswap64(v);
}
