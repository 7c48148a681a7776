// Helpers of the unpacker tests: a minimal concrete packer for the base
// class, random code-like buffers, whole-file helpers.
#pragma once
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "upxlib/file.h"
#include "upxlib/linker.h"
#include "upxlib/options.h"
#include "upxlib/packer.h"

namespace ut {

// A concrete packer of format 9, version 13, over the base class only.
class TestPacker : public upx::Packer {
 public:
  explicit TestPacker(upx::InputFile* f, int version = 13) : Packer(f), ver(version) {
    bele = &upx::N_BELE_RTP::le_policy;
  }
  int getVersion() const override { return ver; }
  int getFormat() const override { return 9; }
  const char* getName() const override { return "test/pe"; }
  const char* getFullName(const upx::PackOptions*) const override { return "test-packer"; }
  const int* getCompressionMethods(int m, int l) const override {
    return getDefaultCompressionMethods_le32(m, l);
  }
  const int* getFilters() const override {
    static const int f[] = {0x26, 0x49, -1};
    return f;
  }
  void pack(upx::OutputFile*) override {}
  void unpack(upx::OutputFile*) override {}
  bool canPack() override { return false; }
  int canUnpack() override { return 0; }
  void buildLoader(const upx::Filter*) override {}
  upx::ElfLinker* newLinker() const override { return new upx::ElfLinkerX86(); }
  int ver;
};

// Machine-code-like bytes: many E8/E9 calls and jumps, 0F 8x conditional
// jumps, small relative targets, some zero runs.
std::vector<uint8_t> CodeLike(size_t n, uint32_t seed);

// The options block reset as unpack_one_file resets it, command set.
void ResetOptions(int cmd = upx::CMD_DECOMPRESS);

// A 32-byte version-13 pack header of format 9 with a correct checksum.
std::vector<uint8_t> MakeHeader13(uint32_t u_len, uint32_t c_len, int method = 2, int filter = 0,
                                  int version = 13, int format = 9);

}  // namespace ut
