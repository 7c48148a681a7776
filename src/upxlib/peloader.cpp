// The stored loader texts of the PE packers: a listing in the layout the
// stub linker parses, followed by the sections' bytes. The sections carry
// place-holder code only (see the README: packed files do not run).
#include "upxlib/peloader.h"

#include <cstdio>
#include <string>
#include <vector>

namespace upx {

namespace {

struct StubReloc {
  unsigned offset;
  const char* type;  // without the machine prefix: "32", "PC32", "64"
  const char* symbol;
};
struct StubSection {
  std::string name;
  std::vector<unsigned char> bytes;
  std::vector<StubReloc> relocs;
  unsigned p2align;
};

const char* const kSymbols[] = {"original_entry",
                                "swri",
                                "vp_size",
                                "vp_base",
                                "VirtualProtect",
                                "reloc_delt",
                                "start_of_relocs",
                                "ExitProcess",
                                "GetProcAddress",
                                "kernel32_ordinals",
                                "LoadLibraryA",
                                "start_of_imports",
                                "compressed_imports",
                                "lzma_c_len",
                                "lzma_u_len",
                                "filter_buffer_start",
                                "tls_value",
                                "tls_address",
                                "icon_delta",
                                "icon_offset",
                                "start_of_uncompressed",
                                "start_of_compressed",
                                "tls_callbacks_ptr",
                                "tls_module_base",
                                "filter_length",
                                "filter_cto",
                                "filter_id",
                                "lzma_properties",
                                "lzma_stack_adjust"};

const char* const kPlainSections[] = {"PEISDLL0",   "PEISDLL1",   "PEICONS1",
                                      "PEICONS2",   "PETLSHAK",   "PETLSHAK2",
                                      "PEMAIN02",   "PEMAIN03",   "PEMAIN10",
                                      "PECTTPOS",   "PECTTNUL",   "PEFILTER49",
                                      "PEIMPORT",   "PEIBYORD",   "PEK32ORD",
                                      "PEIMORD1",   "PEIMPOR2",   "PEIERDLL",
                                      "PEIEREXE",   "PEIMDONE",   "PERELOC1",
                                      "PERELOC2",   "PERELOC3",   "RELOC320",
                                      "REL32BIG",   "RELOC32J",   "REL64BIG",
                                      "RELOC64J",   "PERLOHI0",   "PERELLO0",
                                      "PERELHI0",   "PEDEPHAK",   "PETLSC",
                                      "PEMAIN20",   "CLEARSTACK", "PEMAIN21",
                                      "PEISDLL9",   "PERETURN",   "PETLSC2",
                                      "NRV_HEAD",   "NRV2B",      "NRV2D",
                                      "NRV2E",      "LZMA_HEAD",  "LZMA_ELF00",
                                      "LZMA_DEC00", "LZMA_DEC10", "LZMA_DEC20",
                                      "LZMA_DEC30", "LZMA_TAIL",  "UNKNOWN_COMPRESSION_METHOD",
                                      "CALLTR00",   "CTCLEVE1",   "CALLTR01",
                                      "CTBROR01",   "CTBSHR01",   "CTBSWA01",
                                      "CALLTR02",   "CALLTR10",   "CALLTRE8",
                                      "CALLTRE9",   "CALLTR11",   "CTCLEVE2",
                                      "CALLTR12",   "CTBROR11",   "CTBSHR11",
                                      "CTBSWA11",   "CALLTR13",   "ctok32.00",
                                      "ctok32.10",  "ctok32.20",  "ctok32.30",
                                      "ctok32.40",  "ctok32.50",  "ctok32.51",
                                      "LXJCC010",   "LXMRU045",   "LXMRU046",
                                      "LXJCC020",   "LXJCC021",   "LXJCC023",
                                      "LXUNF037",   "LXUNF386",   "LXUNF387",
                                      "LXUNF388",   "LXUNF486",   "LXUNF487",
                                      "LXMRU065",   "MRUBYTE3",   "MRUARB30",
                                      "MRUBITS3",   "MRUARB40",   "LXMRU070",
                                      "MRUBYTE4",   "MRUBITS4",   "MRUARB50",
                                      "LXMRU080",   "MRUBYTE5",   "MRUARB60",
                                      "MRUBITS5",   "MRUARB70",   "LXMRU090",
                                      "MRUBYTE6",   "MRUARB80",   "MRUBITS6",
                                      "MRUARB90",   "LXMRU100",   "LXUNF040",
                                      "LXMRU110",   "LXMRU111",   "LXUNF041",
                                      "LXUNF042",   "LXMRU010",   "LXJMPA00",
                                      "LXCALLB0",   "LXUNF021",   "MRUBITS1",
                                      "LXMRU030",   "MRUBYTE1",   "MRUARB10",
                                      "LXMRU040",   "LXMRU022",   "LXJMPA01",
                                      "LXCALLB1",   "LXUNF030",   "LXJCC000",
                                      "LXCJ0MRU",   "LXCJ1MRU",   "LXCALJMP",
                                      "LXCALL00",   "LXCALL01",   "LXCJ4MRU",
                                      "LXCJ6MRU",   "LXCJ7MRU",   "LXCJ8MRU",
                                      "LXCJ2MRU",   "LXUNF034",   "LXMRU055",
                                      "MRUBYTE2",   "MRUBITS2",   "MRUARB20",
                                      "LXMRU057"};

const char* const kNrvPrefixes[] = {"N2B", "N2D", "N2E"};
const char* const kNrvParts[] = {"SMA10", "SMA20", "SMA30", "SMA40", "SMA50", "SMA60", "FAS10",
                                 "FAS11", "FAS20", "FAS30", "FAS40", "FAS50", "FAS60", "FAS61",
                                 "DEC10", "DEC20", "DEC30", "DEC50", "DEC60"};

std::vector<StubSection> sections(bool amd64) {
  std::vector<StubSection> v;
  // the entry: save registers, load the compressed data's address
  if (amd64) v.push_back({"START", {0x53, 0x56, 0x57, 0x55}, {}, 0});
  v.push_back({"PEMAIN01",
               {0x60, 0xBE, 0, 0, 0, 0, 0x8D, 0xBE, 0, 0, 0, 0},
               {{2, "32", "start_of_compressed"}, {8, "32", "start_of_uncompressed"}},
               2});
  for (const char* n : kPlainSections) v.push_back({n, {0x90}, {}, 0});
  for (const char* p : kNrvPrefixes)
    for (const char* part : kNrvParts) {
      v.push_back({std::string(p) + part, {0x90, 0x90}, {}, 0});
    }
  v.push_back({"PEDOJUMP", {0x61, 0xE9, 0, 0, 0, 0}, {{2, "PC32", "original_entry"}}, 0});
  std::vector<unsigned char> head = {'U', 'P', 'X', '!', 0xA1, 0xD8, 0xD0, 0xD5};
  head.resize(32, 0);
  v.push_back({"UPX1HEAD", head, {}, 0});
  return v;
}

}  // namespace

std::string makePeLoaderListing(bool amd64) {
  std::vector<StubSection> secs = sections(amd64);
  const char* prefix = amd64 ? "R_X86_64_" : "R_386_";
  // the text part, with file offsets filled in once its length is known
  size_t text_len = 0;
  for (int round = 0; round < 2; round++) {
    std::string t;
    char line[512];
    t += amd64 ? "\nloader64:     file format elf64-x86-64\n\n"
               : "\nloader32:     file format elf32-i386\n\n";
    t += "Sections:\nIdx Name          Size      VMA       LMA       File off  Algn\n";
    size_t off = text_len;
    for (size_t i = 0; i < secs.size(); i++) {
      snprintf(line, sizeof(line), "%3u %-13s %08x  00000000  00000000  %08x  2**%u\n", unsigned(i),
               secs[i].name.c_str(), unsigned(secs[i].bytes.size()), unsigned(off),
               secs[i].p2align);
      t += line;
      t += "                  CONTENTS, ALLOC, LOAD, RELOC, READONLY, CODE\n";
      off += secs[i].bytes.size();
    }
    t += "SYMBOL TABLE:\n";
    for (const StubSection& s : secs) {
      snprintf(line, sizeof(line), "00000000 l    d  %s\t00000000 %s\n", s.name.c_str(),
               s.name.c_str());
      t += line;
    }
    for (const char* sym : kSymbols) {
      snprintf(line, sizeof(line), "00000000         *UND*\t00000000 %s\n", sym);
      t += line;
    }
    t += "\n\n";
    for (const StubSection& s : secs) {
      if (s.relocs.empty()) continue;
      snprintf(line, sizeof(line),
               "RELOCATION RECORDS FOR [%s]:\nOFFSET   TYPE              VALUE\n", s.name.c_str());
      t += line;
      for (const StubReloc& r : s.relocs) {
        snprintf(line, sizeof(line), "%08x %s%-16s %s\n", r.offset, prefix, r.type, r.symbol);
        t += line;
      }
      t += "\n";
    }
    if (round == 0) {
      text_len = t.size() + 16;  // room for the offsets' widths, which do not change
      continue;
    }
    t.resize(text_len, '\n');
    for (const StubSection& s : secs)
      t.append(reinterpret_cast<const char*>(s.bytes.data()), s.bytes.size());
    return t;
  }
  return std::string();
}

}  // namespace upx
