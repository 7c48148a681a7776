// the pack side of the PE packers.
#include "upxlib/except.h"
#include "upxlib/file.h"
#include "upxlib/filter.h"
#include "upxlib/p_w32pe.h"
#include "upxlib/p_w64pep.h"

namespace upx {

void PackW32Pe::pack(OutputFile*) { raiseInternalError("pack: not built"); }
void PackW32Pe::buildLoader(const Filter*) { raiseInternalError("buildLoader: not built"); }
void PackW64Pep::pack(OutputFile*) { raiseInternalError("pack: not built"); }
void PackW64Pep::buildLoader(const Filter*) { raiseInternalError("buildLoader: not built"); }

}  // namespace upx
