// filter family 9 (id 0xD0): big-endian branch words with a 4-bit
// marker in bits 22 to 25; forward routine and scan.
#include "upxlib/bele.h"
#include "upxlib/filter.h"

namespace upx {
namespace filters {

static inline bool isBranch(const upx_byte* w) {
  return (w[0] & 0xFC) == 0x48;
}

int u_ppcbxx(Filter* f) {
  upx_byte* b = f->buf;
  const int64_t last = upx_min<int64_t>(int64_t(f->buf_len) - 4, 0x400000);
  for (int64_t pp = 0; pp == 0 || pp <= last; pp += 4) {
    unsigned p = unsigned(pp);
    if (!isBranch(b + p)) continue;
    unsigned word = get_be32(b + p);
    if (((word >> 22) & 0x0F) == f->cto) {
      unsigned v = ((word & 0x3FFFFC) - p - f->addvalue) & 0x03FFFFFC;
      set_be32(b + p, (word & ~0x03FFFFFCu) | v);
      f->calls++;
      f->lastcall = p;
    } else {
      f->noncalls++;
    }
  }
  return 0;
}

static int ppcbxx_forward(Filter* f, bool scan_only) {
  upx_byte* b = f->buf;
  const int64_t bound = upx_min<int64_t>(f->buf_len, 0x400000) - 4;  // forward: p < bound
  const int64_t ulast =
      upx_min<int64_t>(int64_t(f->buf_len) - 4, 0x400000);  // unfilter: p <= ulast
  bool used[256] = {};
  for (int64_t pp = 0; pp == 0 || pp <= ulast; pp += 4) {
    unsigned p = unsigned(pp);
    if (!isBranch(b + p)) continue;
    unsigned word = get_be32(b + p);
    unsigned target = unsigned(sign_extend((word >> 2) & 0xFFFFFF, 24)) * 4 + p;
    bool inside =
        pp < bound && int64_t(target) < bound && int64_t(target) >= 0 && target < 0x80000000u;
    if (!inside)
      used[(word >> 22) & 0x0F] = true;
    else if (uint64_t(target) + f->addvalue >= (1u << 22) || ((target + f->addvalue) & 3))
      return -1;
  }
  for (int i = 16; i < 256; i++) used[i] = true;
  int c = chooseFilterCto(f, used);
  if (c < 0) return -1;
  f->cto = upx_byte(c);
  for (int64_t pp = 0; pp < bound; pp += 4) {
    unsigned p = unsigned(pp);
    if (!isBranch(b + p)) continue;
    unsigned word = get_be32(b + p);
    unsigned target = unsigned(sign_extend((word >> 2) & 0xFFFFFF, 24)) * 4 + p;
    if (int64_t(target) < bound && target < 0x80000000u) {
      if (!scan_only)
        set_be32(b + p, (word & 0xFC000003u) | (target + (unsigned(f->cto) << 22) + f->addvalue));
      f->calls++;
      f->lastcall = p;
    } else {
      f->noncalls++;
    }
  }
  return 0;
}

int f_ppcbxx(Filter* f) {
  return ppcbxx_forward(f, false);
}
int s_ppcbxx(Filter* f) {
  return ppcbxx_forward(f, true);
}

}  // namespace filters
}  // namespace upx
