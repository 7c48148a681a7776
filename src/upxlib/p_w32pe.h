// the PE32 packer class (format 9).
#pragma once
#include "upxlib/pefile.h"

namespace upx {

class PackW32Pe : public PeFile32 {
 public:
  explicit PackW32Pe(InputFile* f);
  int getFormat() const override { return UPX_F_WIN32_PE; }
  const char* getName() const override { return isrtm ? "rtm32/pe" : "win32/pe"; }
  const char* getFullName(const PackOptions*) const override { return "i386-win32.pe"; }
  const int* getCompressionMethods(int method, int level) const override;
  const int* getFilters() const override;
  bool canPack() override;
  bool needForceOption() const override;
  void setOhDataBase(const pe_section_t* osection) override;
  void addNewRelocations(Reloc& rel, unsigned upxsection) override;
  void pack(OutputFile* fo) override;
  void buildLoader(const Filter* ft) override;
  ElfLinker* newLinker() const override;
  int readFileHeader() override;
  bool canPackMachine() const override { return ih.cpu() >= 0x14C && ih.cpu() <= 0x150; }
};

}  // namespace upx
