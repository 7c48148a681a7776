// the PE32 packer class.
#include "upxlib/p_w32pe.h"

#include "upxlib/except.h"
#include "upxlib/file.h"
#include "upxlib/filter.h"

namespace upx {

PackW32Pe::PackW32Pe(InputFile* f) : PeFile32(f) {}

const int* PackW32Pe::getCompressionMethods(int method, int level) const {
  bool small = ih.codesize() + ih.datasize() <= 0x40000;
  return getDefaultCompressionMethods_le32(method, level, small ? 1 : 0);
}

const int* PackW32Pe::getFilters() const {
  static const int filters[] = {0x26, 0x24,           0x49, 0x46, 0x16, 0x13,  0x14,
                                0x11, FT_ULTRA_BRUTE, 0x25, 0x15, 0x12, FT_END};
  return filters;
}

ElfLinker* PackW32Pe::newLinker() const {
  return new ElfLinkerX86();
}

int PackW32Pe::readFileHeader() {
  upx_byte buf[6];
  fi->seek(512, SEEK_SET);
  fi->readExact(buf, 6);
  isrtm = memcmp(buf, "32STUB", 6) == 0;
  return PeFile::readFileHeader();
}

bool PackW32Pe::canPack() {
  return PeFile::canPack();
}

}  // namespace upx
