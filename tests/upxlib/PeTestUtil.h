// Test-side PE reading and a builder of packed files written from the packed
// layout alone (independent of the library's pack side): the original image
// compressed with UCL behind a pack header, the import and relocation
// streams, the extra information, exports and resources kept in the last
// section.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace ut {

struct PeSection {
  std::string name;
  uint32_t vsize, vaddr, size, rawptr, flags;
};

// A parsed PE32 or PE32+ file.
struct PeView {
  bool ok = false;
  bool pep = false;
  uint32_t pe_offset = 0;
  std::vector<uint8_t> file;
  std::vector<PeSection> sections;
  uint32_t hdr(unsigned off, unsigned width = 4) const;  // optional header field
  uint32_t hdrsize() const { return pep ? 264 : 248; }
  uint32_t dirRva(int i) const;
  uint32_t dirSize(int i) const;
  uint32_t flags() const;
  uint32_t dllflags() const;
  uint64_t imagebase() const;
  uint32_t codebase() const;
  uint32_t codesize() const;
  // RVA -> bytes in the file (nullptr when not backed by raw data)
  const uint8_t* at(uint32_t rva, uint32_t len = 1) const;
  uint32_t lastRawEnd() const;  // aligned end of the last section's raw data

  // meaning of the directories
  std::vector<std::string> imports() const;            // "dll!name" or "dll!#ord"
  std::map<std::string, std::string> exports() const;  // name or "#ord" -> "rva" or forwarder
  std::map<std::string, std::vector<uint8_t>> resources() const;  // "type/name/lang" -> data
  std::set<std::pair<uint32_t, int>> relocs() const;              // (rva, type)
};

PeView ParsePe(const std::vector<uint8_t>& file);

struct BuildOptions {
  int method = 8;
  int level = 9;
  int filter = -1;               // -1: 0x26 for PE32, 0x49 for PE32+; 0: none
  bool ordinal_thunks = false;   // ordinals as thunks in the packed area (tag 0xFE)
  bool names_area = true;        // import names written back to a names area
  std::vector<uint8_t> overlay;  // bytes appended to the packed file
  // Called on the uncompressed block before it is filtered and compressed;
  // image_size is where the import stream begins.
  std::function<void(std::vector<uint8_t>& block, uint32_t image_size)> mutate;
};

// Packs the PE file orig into the packed layout; fails the current test
// (ADD_FAILURE) and returns an empty vector when the file does not suit.
std::vector<uint8_t> BuildPacked(const std::vector<uint8_t>& orig, const BuildOptions& o = {});

// Where the builder put things in the packed file, for corruption tests.
struct PackedLayout {
  uint32_t header_off = 0;  // file offset of "UPX!"
  uint32_t c_off = 0, c_len = 0, u_len = 0;
  uint32_t sec1_raw = 0, sec2_raw = 0, sec2_size = 0;
};
extern PackedLayout last_layout;

// Compares a restored file with its original by meaning: section table and
// contents (directory sections by their parsed directories), header fields,
// imports, exports, resources, relocations (or their stripping), overlay.
void ExpectSameByMeaning(const std::vector<uint8_t>& orig, const std::vector<uint8_t>& restored,
                         const std::vector<uint8_t>& overlay, bool keeps_relocs);

// Runs exe (with args) in dir with its output going to a file; the output
// and "exit=<code>".
std::string RunProgram(const std::wstring& exe, const std::wstring& dir,
                       const std::wstring& args = L"");

}  // namespace ut
