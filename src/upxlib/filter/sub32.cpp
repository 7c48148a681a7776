// filter family 5: 32-bit little-endian word deltas over 1 to 4 channels (ids 0xB0..0xB3).
#include "upxlib/filter.h"
#include "upxlib/filter/sub.h"

namespace upx {
namespace filters {

int f_sub32(Filter* f) {
  return sub_filter<4>(f, SUB_FORWARD);
}
int u_sub32(Filter* f) {
  return sub_filter<4>(f, SUB_BACKWARD);
}
int s_sub32(Filter* f) {
  return sub_filter<4>(f, SUB_SCAN);
}

}  // namespace filters
}  // namespace upx
