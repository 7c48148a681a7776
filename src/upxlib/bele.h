// fields in a fixed byte order, field types and the run-time
// byte-order policies.
#pragma once
#include "upxlib/conf.h"

namespace upx {

inline unsigned get_le16(const void* p) {
  const upx_byte* b = static_cast<const upx_byte*>(p);
  return b[0] | (unsigned(b[1]) << 8);
}
inline unsigned get_le24(const void* p) {
  const upx_byte* b = static_cast<const upx_byte*>(p);
  return b[0] | (unsigned(b[1]) << 8) | (unsigned(b[2]) << 16);
}
inline unsigned get_le32(const void* p) {
  const upx_byte* b = static_cast<const upx_byte*>(p);
  return b[0] | (unsigned(b[1]) << 8) | (unsigned(b[2]) << 16) | (unsigned(b[3]) << 24);
}
inline upx_uint64_t get_le64(const void* p) {
  const upx_byte* b = static_cast<const upx_byte*>(p);
  return get_le32(b) | (upx_uint64_t(get_le32(b + 4)) << 32);
}
inline unsigned get_be16(const void* p) {
  const upx_byte* b = static_cast<const upx_byte*>(p);
  return (unsigned(b[0]) << 8) | b[1];
}
inline unsigned get_be24(const void* p) {
  const upx_byte* b = static_cast<const upx_byte*>(p);
  return (unsigned(b[0]) << 16) | (unsigned(b[1]) << 8) | b[2];
}
inline unsigned get_be32(const void* p) {
  const upx_byte* b = static_cast<const upx_byte*>(p);
  return (unsigned(b[0]) << 24) | (unsigned(b[1]) << 16) | (unsigned(b[2]) << 8) | b[3];
}
inline upx_uint64_t get_be64(const void* p) {
  const upx_byte* b = static_cast<const upx_byte*>(p);
  return (upx_uint64_t(get_be32(b)) << 32) | get_be32(b + 4);
}
inline void set_le16(void* p, unsigned v) {
  upx_byte* b = static_cast<upx_byte*>(p);
  b[0] = upx_byte(v);
  b[1] = upx_byte(v >> 8);
}
inline void set_le24(void* p, unsigned v) {
  upx_byte* b = static_cast<upx_byte*>(p);
  b[0] = upx_byte(v);
  b[1] = upx_byte(v >> 8);
  b[2] = upx_byte(v >> 16);
}
inline void set_le32(void* p, unsigned v) {
  upx_byte* b = static_cast<upx_byte*>(p);
  b[0] = upx_byte(v);
  b[1] = upx_byte(v >> 8);
  b[2] = upx_byte(v >> 16);
  b[3] = upx_byte(v >> 24);
}
inline void set_le64(void* p, upx_uint64_t v) {
  upx_byte* b = static_cast<upx_byte*>(p);
  set_le32(b, unsigned(v));
  set_le32(b + 4, unsigned(v >> 32));
}
inline void set_be16(void* p, unsigned v) {
  upx_byte* b = static_cast<upx_byte*>(p);
  b[0] = upx_byte(v >> 8);
  b[1] = upx_byte(v);
}
inline void set_be24(void* p, unsigned v) {
  upx_byte* b = static_cast<upx_byte*>(p);
  b[0] = upx_byte(v >> 16);
  b[1] = upx_byte(v >> 8);
  b[2] = upx_byte(v);
}
inline void set_be32(void* p, unsigned v) {
  upx_byte* b = static_cast<upx_byte*>(p);
  b[0] = upx_byte(v >> 24);
  b[1] = upx_byte(v >> 16);
  b[2] = upx_byte(v >> 8);
  b[3] = upx_byte(v);
}
inline void set_be64(void* p, upx_uint64_t v) {
  upx_byte* b = static_cast<upx_byte*>(p);
  set_be32(b, unsigned(v >> 32));
  set_be32(b + 4, unsigned(v));
}
inline int sign_extend(unsigned v, int bits) {
  unsigned m = 1u << (bits - 1);
  unsigned x = v & ((bits == 32) ? 0xFFFFFFFFu : ((1u << bits) - 1));
  return int((x ^ m) - m);
}
inline int get_le16_signed(const void* p) {
  return sign_extend(get_le16(p), 16);
}
inline int get_le24_signed(const void* p) {
  return sign_extend(get_le24(p), 24);
}
inline int get_le32_signed(const void* p) {
  return int(get_le32(p));
}
inline upx_int64_t get_le64_signed(const void* p) {
  return upx_int64_t(get_le64(p));
}
inline int get_be16_signed(const void* p) {
  return sign_extend(get_be16(p), 16);
}
inline int get_be24_signed(const void* p) {
  return sign_extend(get_be24(p), 24);
}
inline int get_be32_signed(const void* p) {
  return int(get_be32(p));
}
inline upx_int64_t get_be64_signed(const void* p) {
  return upx_int64_t(get_be64(p));
}

// Field types: one-byte aligned, their size is their width.
#define UPX_FIELD_TYPE(NAME, T, N, GET, SET) \
  struct NAME {                              \
    upx_byte d[N];                           \
    NAME() = default;                        \
    NAME(T v) { SET(d, v); }                 \
    NAME& operator=(T v) {                   \
      SET(d, v);                             \
      return *this;                          \
    }                                        \
    operator T() const { return T(GET(d)); } \
    NAME& operator+=(T v) {                  \
      SET(d, T(*this) + v);                  \
      return *this;                          \
    }                                        \
    NAME& operator-=(T v) {                  \
      SET(d, T(*this) - v);                  \
      return *this;                          \
    }                                        \
    NAME& operator*=(T v) {                  \
      SET(d, T(*this) * v);                  \
      return *this;                          \
    }                                        \
    NAME& operator/=(T v) {                  \
      SET(d, T(*this) / v);                  \
      return *this;                          \
    }                                        \
    NAME& operator%=(T v) {                  \
      SET(d, T(*this) % v);                  \
      return *this;                          \
    }                                        \
    NAME& operator&=(T v) {                  \
      SET(d, T(*this) & v);                  \
      return *this;                          \
    }                                        \
    NAME& operator|=(T v) {                  \
      SET(d, T(*this) | v);                  \
      return *this;                          \
    }                                        \
    NAME& operator^=(T v) {                  \
      SET(d, T(*this) ^ v);                  \
      return *this;                          \
    }                                        \
    NAME& operator<<=(unsigned v) {          \
      SET(d, T(T(*this) << v));              \
      return *this;                          \
    }                                        \
    NAME& operator>>=(unsigned v) {          \
      SET(d, T(T(*this) >> v));              \
      return *this;                          \
    }                                        \
  }
UPX_FIELD_TYPE(LE16, uint16_t, 2, get_le16, set_le16);
UPX_FIELD_TYPE(LE32, uint32_t, 4, get_le32, set_le32);
UPX_FIELD_TYPE(LE64, uint64_t, 8, get_le64, set_le64);
UPX_FIELD_TYPE(BE16, uint16_t, 2, get_be16, set_be16);
UPX_FIELD_TYPE(BE32, uint32_t, 4, get_be32, set_be32);
UPX_FIELD_TYPE(BE64, uint64_t, 8, get_be64, set_be64);
#undef UPX_FIELD_TYPE
static_assert(sizeof(LE16) == 2 && sizeof(LE32) == 4 && sizeof(LE64) == 8, "field sizes");
static_assert(sizeof(BE16) == 2 && sizeof(BE32) == 4 && sizeof(BE64) == 8, "field sizes");

namespace N_BELE_RTP {

struct AbstractPolicy {
  virtual ~AbstractPolicy() {}
  virtual bool isBigEndian() const = 0;
  virtual bool isLittleEndian() const = 0;
  virtual unsigned get16(const void* p) const = 0;
  virtual unsigned get24(const void* p) const = 0;
  virtual unsigned get32(const void* p) const = 0;
  virtual upx_uint64_t get64(const void* p) const = 0;
  virtual void set16(void* p, unsigned v) const = 0;
  virtual void set24(void* p, unsigned v) const = 0;
  virtual void set32(void* p, unsigned v) const = 0;
  virtual void set64(void* p, upx_uint64_t v) const = 0;
  virtual int get16_signed(const void* p) const = 0;
  virtual int get24_signed(const void* p) const = 0;
  virtual int get32_signed(const void* p) const = 0;
  virtual upx_int64_t get64_signed(const void* p) const = 0;
  virtual int compare16(const void* a, const void* b) const;
  virtual int compare24(const void* a, const void* b) const;
  virtual int compare32(const void* a, const void* b) const;
  virtual int compare64(const void* a, const void* b) const;
  virtual int compare16_signed(const void* a, const void* b) const;
  virtual int compare24_signed(const void* a, const void* b) const;
  virtual int compare32_signed(const void* a, const void* b) const;
  virtual int compare64_signed(const void* a, const void* b) const;
};

struct LEPolicy : AbstractPolicy {
  bool isBigEndian() const override { return false; }
  bool isLittleEndian() const override { return true; }
  unsigned get16(const void* p) const override { return get_le16(p); }
  unsigned get24(const void* p) const override { return get_le24(p); }
  unsigned get32(const void* p) const override { return get_le32(p); }
  upx_uint64_t get64(const void* p) const override { return get_le64(p); }
  void set16(void* p, unsigned v) const override { set_le16(p, v); }
  void set24(void* p, unsigned v) const override { set_le24(p, v); }
  void set32(void* p, unsigned v) const override { set_le32(p, v); }
  void set64(void* p, upx_uint64_t v) const override { set_le64(p, v); }
  int get16_signed(const void* p) const override { return get_le16_signed(p); }
  int get24_signed(const void* p) const override { return get_le24_signed(p); }
  int get32_signed(const void* p) const override { return get_le32_signed(p); }
  upx_int64_t get64_signed(const void* p) const override { return get_le64_signed(p); }
};

struct BEPolicy : AbstractPolicy {
  bool isBigEndian() const override { return true; }
  bool isLittleEndian() const override { return false; }
  unsigned get16(const void* p) const override { return get_be16(p); }
  unsigned get24(const void* p) const override { return get_be24(p); }
  unsigned get32(const void* p) const override { return get_be32(p); }
  upx_uint64_t get64(const void* p) const override { return get_be64(p); }
  void set16(void* p, unsigned v) const override { set_be16(p, v); }
  void set24(void* p, unsigned v) const override { set_be24(p, v); }
  void set32(void* p, unsigned v) const override { set_be32(p, v); }
  void set64(void* p, upx_uint64_t v) const override { set_be64(p, v); }
  int get16_signed(const void* p) const override { return get_be16_signed(p); }
  int get24_signed(const void* p) const override { return get_be24_signed(p); }
  int get32_signed(const void* p) const override { return get_be32_signed(p); }
  upx_int64_t get64_signed(const void* p) const override { return get_be64_signed(p); }
};

extern const LEPolicy le_policy;
extern const BEPolicy be_policy;

}  // namespace N_BELE_RTP

}  // namespace upx
