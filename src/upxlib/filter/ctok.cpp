// filter family 7: ids 0x46 (calls, jumps) and 0x49 (also conditional
// near jumps 0F 80..8F).
#include "upxlib/filter.h"

namespace upx {
namespace filters {

int f_ctok(Filter* f) {
  return marker_filter(f, false);
}
int u_ctok(Filter* f) {
  return marker_unfilter(f);
}
int s_ctok(Filter* f) {
  return marker_filter(f, true);
}

}  // namespace filters
}  // namespace upx
