// id 0x36 behaves exactly as 0x26 (calls and jumps).
#include "upxlib/filter.h"

namespace upx {
namespace filters {

int f_ctoj(Filter* f) {
  return marker_filter(f, false);
}
int u_ctoj(Filter* f) {
  return marker_unfilter(f);
}
int s_ctoj(Filter* f) {
  return marker_filter(f, true);
}

}  // namespace filters
}  // namespace upx
