// the PE32+ packer class (format 36).
#pragma once
#include "upxlib/pefile.h"

namespace upx {

class PackW64Pep : public PeFile64 {
 public:
  explicit PackW64Pep(InputFile* f);
  int getFormat() const override { return UPX_F_W64PEP_AMD64; }
  const char* getName() const override { return "win64/pe"; }
  const char* getFullName(const PackOptions*) const override { return "amd64-win64.pe"; }
  const int* getCompressionMethods(int method, int level) const override;
  const int* getFilters() const override;
  bool canPack() override;
  bool needForceOption() const override;
  void setOhDataBase(const pe_section_t*) override {}
  void pack(OutputFile* fo) override;
  void buildLoader(const Filter* ft) override;
  ElfLinker* newLinker() const override;
  bool canPackMachine() const override { return ih.cpu() == 0x8664; }
};

}  // namespace upx
