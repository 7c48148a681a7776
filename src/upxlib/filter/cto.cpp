// filter family 6 (ids 0x24, 0x25, 0x26) and the marker passes that
// the families ctoj and ctok share; forward routine and scan.
#include "upxlib/bele.h"
#include "upxlib/filter.h"

namespace upx {
namespace filters {

namespace {

bool opcodeE8(int id) {
  return id != 0x25;
}
bool opcodeE9(int id) {
  return id != 0x24;
}
bool withJcc(int id) {
  return id >= 0x40 && id < 0x50 && (id & 0x0F) >= 9;
}

// p is a candidate of the marker families; last_end is the position just
// past the last converted operand (0 before the first).
bool isCandidate(const Filter* f, const upx_byte* b, unsigned p, unsigned last_end) {
  upx_byte c = b[p];
  if (c == 0xE8) return opcodeE8(f->id);
  if (c == 0xE9) return opcodeE9(f->id);
  if (withJcc(f->id) && c >= 0x80 && c <= 0x8F && p != 0 && b[p - 1] == 0x0F && p != last_end)
    return true;
  return false;
}

}  // namespace

int marker_unfilter(Filter* f) {
  upx_byte* b = f->buf;
  const int64_t limit = int64_t(f->buf_len) - 5;
  const unsigned cto24 = unsigned(f->cto) << 24;
  unsigned last_end = 0;
  for (int64_t pp = 0; pp < limit;) {
    unsigned p = unsigned(pp);
    if (isCandidate(f, b, p, last_end)) {
      if (b[p + 1] == f->cto) {
        unsigned v = get_be32(b + p + 1) - cto24 - f->addvalue - p - 1;
        set_le32(b + p + 1, v);
        f->calls++;
        f->lastcall = last_end = p + 5;
        pp += 5;
        continue;
      }
      f->noncalls++;
    }
    pp++;
  }
  return 0;
}

int marker_filter(Filter* f, bool scan_only) {
  upx_byte* b = f->buf;
  const int64_t limit = int64_t(f->buf_len) - 5;
  bool used[256] = {};
  // first pass: the marker values that operands left alone start with
  for (int64_t pp = 0; pp < limit; pp++) {
    unsigned p = unsigned(pp);
    if (!isCandidate(f, b, p, ~0u)) continue;
    unsigned target = get_le32(b + p + 1) + p + 1;
    if (target >= f->buf_len)
      used[b[p + 1]] = true;
    else if (uint64_t(target) + f->addvalue >= (1u << 24))
      return -1;
  }
  int c = chooseFilterCto(f, used);
  if (c < 0) return -1;
  f->cto = upx_byte(c);
  const unsigned cto24 = unsigned(f->cto) << 24;
  // second pass
  unsigned last_end = 0;
  for (int64_t pp = 0; pp < limit;) {
    unsigned p = unsigned(pp);
    if (isCandidate(f, b, p, last_end)) {
      unsigned target = get_le32(b + p + 1) + p + 1;
      if (target >= f->buf_len) {
        f->noncalls++;
      } else {
        if (!scan_only) set_be32(b + p + 1, target + f->addvalue + cto24);
        if (f->calls == 0) f->firstcall = p;
        f->calls++;
        f->lastcall = last_end = p + 5;
        pp += 5;
        continue;
      }
    }
    pp++;
  }
  return 0;
}

int f_cto(Filter* f) {
  return marker_filter(f, false);
}
int u_cto(Filter* f) {
  return marker_unfilter(f);
}
int s_cto(Filter* f) {
  return marker_filter(f, true);
}

}  // namespace filters
}  // namespace upx
