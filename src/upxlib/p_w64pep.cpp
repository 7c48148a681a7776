// the PE32+ packer class.
#include "upxlib/p_w64pep.h"

#include "upxlib/except.h"
#include "upxlib/file.h"
#include "upxlib/filter.h"

namespace upx {

PackW64Pep::PackW64Pep(InputFile* f) : PeFile64(f) {}

const int* PackW64Pep::getCompressionMethods(int method, int level) const {
  bool small = ih.codesize() + ih.datasize() <= 0x40000;
  return getDefaultCompressionMethods_le32(method, level, small ? 1 : 0);
}

const int* PackW64Pep::getFilters() const {
  static const int filters[] = {0x49, FT_END};
  return filters;
}

ElfLinker* PackW64Pep::newLinker() const {
  return new ElfLinkerAMD64();
}

bool PackW64Pep::canPack() {
  return PeFile::canPack();
}

}  // namespace upx
