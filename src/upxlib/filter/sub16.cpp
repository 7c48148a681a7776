// filter family 5: 16-bit little-endian word deltas over 1 to 4 channels (ids 0xA0..0xA3).
#include "upxlib/filter.h"
#include "upxlib/filter/sub.h"

namespace upx {
namespace filters {

int f_sub16(Filter* f) {
  return sub_filter<2>(f, SUB_FORWARD);
}
int u_sub16(Filter* f) {
  return sub_filter<2>(f, SUB_BACKWARD);
}
int s_sub16(Filter* f) {
  return sub_filter<2>(f, SUB_SCAN);
}

}  // namespace filters
}  // namespace upx
