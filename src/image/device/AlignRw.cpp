#include "image/device/AlignRw.h"
#include <cstring>
#include <new>

// Largest whole-unit piece handed to one sector call.
static const uint32_t kMaxPiece = 1u << 30;

_VROH_ALIGN_RW::_VROH_ALIGN_RW(uint64_t byteOffset, uint32_t unit)
    : m_ByteOffset(byteOffset), m_Unit(unit ? unit : VRO_SECTOR) {
  m_Bounce = new uint8_t[2 * m_Unit];
  InitializeCriticalSection(&m_BounceLock);
}

_VROH_ALIGN_RW::~_VROH_ALIGN_RW() {
  delete[] m_Bounce;
  DeleteCriticalSection(&m_BounceLock);
}

int64_t _VROH_ALIGN_RW::Write(void* ctx, uint64_t sector, const void* buf, uint32_t bytes) {
  if (!bytes) return 0;
  return WriteHandleAt((HANDLE)ctx, sector * VRO_SECTOR, buf, bytes);
}

int64_t _VROH_ALIGN_RW::Read(void* ctx, uint64_t sector, void* buf, uint32_t bytes) {
  if (!bytes) return 0;
  return ReadHandleAt((HANDLE)ctx, sector * VRO_SECTOR, buf, bytes);
}

int64_t _VROH_ALIGN_RW::ReadBytes(void* ctx, uint64_t pos, void* buf, uint64_t count) {
  if (!count) return 0;
  VroCsLock lock(&m_BounceLock);
  const uint64_t U = m_Unit;
  uint8_t* out = (uint8_t*)buf;
  uint64_t p = pos + m_ByteOffset;
  uint64_t done = 0;

  // Leading part inside the first unit (with the second unit when the
  // request ends there, so both come in one read).
  uint64_t lead = p % U;
  if (lead || count < U) {
    uint64_t take = U - lead < count ? U - lead : count;
    uint32_t units = 1;
    if (take < count && lead + count <= 2 * U) {
      units = 2;
      take = count;
    }
    int64_t r = Read(ctx, p / VRO_SECTOR, m_Bounce, units * m_Unit);
    if (r < (int64_t)(lead + take)) {
      // A short read still gives what it covers.
      if (r > (int64_t)lead) {
        memcpy(out, m_Bounce + lead, (size_t)(r - lead));
        return r - lead;
      }
      return -(int64_t)count;
    }
    memcpy(out, m_Bounce + lead, (size_t)take);
    done = take;
  }
  // Whole units straight into the caller's buffer.
  while (count - done >= U) {
    uint64_t n = (count - done) / U * U;
    if (n > kMaxPiece) n = kMaxPiece;
    int64_t r = Read(ctx, (p + done) / VRO_SECTOR, out + done, (uint32_t)n);
    if (r <= 0) return done ? (int64_t)done : -(int64_t)count;
    done += (uint64_t)r;
    if ((uint64_t)r < n) return done;
  }
  // Trailing part.
  if (done < count) {
    uint64_t rest = count - done;
    int64_t r = Read(ctx, (p + done) / VRO_SECTOR, m_Bounce, m_Unit);
    if (r <= 0) return done ? (int64_t)done : -(int64_t)count;
    if ((uint64_t)r < rest) rest = (uint64_t)r;
    memcpy(out + done, m_Bounce, (size_t)rest);
    done += rest;
  }
  return done;
}

int64_t _VROH_ALIGN_RW::WriteBytes(void* ctx, uint64_t pos, const void* buf, uint64_t count) {
  if (!count) return 0;
  VroCsLock lock(&m_BounceLock);
  const uint64_t U = m_Unit;
  const uint8_t* in = (const uint8_t*)buf;
  uint64_t p = pos + m_ByteOffset;
  uint64_t done = 0;

  uint64_t lead = p % U;
  if (lead || count < U) {
    uint64_t take = U - lead < count ? U - lead : count;
    uint32_t units = 1;
    if (take < count && lead + count <= 2 * U) {
      units = 2;
      take = count;
    }
    uint32_t bytes = units * m_Unit;
    uint64_t sector = p / VRO_SECTOR;
    // A unit past the end of a plain file reads short: the rest is new.
    int64_t r = Read(ctx, sector, m_Bounce, bytes);
    if (r < 0) return -(int64_t)count;
    if ((uint64_t)r < bytes) memset(m_Bounce + r, 0, bytes - (size_t)r);
    memcpy(m_Bounce + lead, in, (size_t)take);
    int64_t w = Write(ctx, sector, m_Bounce, bytes);
    if (w != (int64_t)bytes) return -(int64_t)count;
    done = take;
  }
  while (count - done >= U) {
    uint64_t n = (count - done) / U * U;
    if (n > kMaxPiece) n = kMaxPiece;
    int64_t w = Write(ctx, (p + done) / VRO_SECTOR, in + done, (uint32_t)n);
    if (w <= 0) return done ? (int64_t)done : -(int64_t)count;
    done += (uint64_t)w;
    if ((uint64_t)w < n) return done;
  }
  if (done < count) {
    uint64_t rest = count - done;
    uint64_t sector = (p + done) / VRO_SECTOR;
    int64_t r = Read(ctx, sector, m_Bounce, m_Unit);
    if (r < 0) return done ? (int64_t)done : -(int64_t)count;
    if ((uint64_t)r < U) memset(m_Bounce + r, 0, (size_t)(U - r));
    memcpy(m_Bounce, in + done, (size_t)rest);
    int64_t w = Write(ctx, sector, m_Bounce, m_Unit);
    if (w != (int64_t)U) return done ? (int64_t)done : -(int64_t)count;
    done += rest;
  }
  return done;
}
