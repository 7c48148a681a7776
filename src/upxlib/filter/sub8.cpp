// filter family 5: byte deltas over 1 to 4 channels (ids 0x90..0x93).
#include "upxlib/filter.h"
#include "upxlib/filter/sub.h"

namespace upx {
namespace filters {

int f_sub8(Filter* f) {
  return sub_filter<1>(f, SUB_FORWARD);
}
int u_sub8(Filter* f) {
  return sub_filter<1>(f, SUB_BACKWARD);
}
int s_sub8(Filter* f) {
  return sub_filter<1>(f, SUB_SCAN);
}

}  // namespace filters
}  // namespace upx
