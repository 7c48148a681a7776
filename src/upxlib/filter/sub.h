// filter family 5: the delta filters over elements of S bytes.
#pragma once
#include "upxlib/bele.h"
#include "upxlib/filter.h"

namespace upx {
namespace filters {

enum SubMode { SUB_SCAN, SUB_FORWARD, SUB_BACKWARD };

template <int S>
inline unsigned subGet(const upx_byte* p) {
  return S == 1 ? p[0] : S == 2 ? get_le16(p) : get_le32(p);
}
template <int S>
inline void subSet(upx_byte* p, unsigned v) {
  if (S == 1)
    p[0] = upx_byte(v);
  else if (S == 2)
    set_le16(p, v);
  else
    set_le32(p, v);
}

template <int S>
int sub_filter(Filter* f, SubMode mode) {
  const unsigned N = unsigned(f->id & 0x0F) + 1;
  const unsigned L = f->buf_len / S;
  if (L <= N) return -1;
  upx_byte* b = f->buf;
  if (mode == SUB_BACKWARD) {
    for (unsigned k = N; k < L; k++)
      subSet<S>(b + k * S, subGet<S>(b + k * S) + subGet<S>(b + (k - N) * S));
  } else if (mode == SUB_FORWARD) {
    for (unsigned k = L; k-- > N;)
      subSet<S>(b + k * S, subGet<S>(b + k * S) - subGet<S>(b + (k - N) * S));
  }
  f->calls = L - N;
  return 0;
}

}  // namespace filters
}  // namespace upx
