// the loader stub linker.
#pragma once
#include <cstdio>

#include "upxlib/bele.h"
#include "upxlib/conf.h"

namespace upx {

struct noncopyable {
  noncopyable() = default;
  noncopyable(const noncopyable&) = delete;
  noncopyable& operator=(const noncopyable&) = delete;
};

class ElfLinker : private noncopyable {
 public:
  struct Section {
    char* name;
    upx_byte* input;
    upx_byte* output;
    unsigned size;
    upx_uint64_t offset;
    unsigned p2align;
    Section* next;
  };
  struct Symbol {
    char* name;
    Section* section;
    upx_uint64_t offset;
  };
  struct Relocation {
    const Section* section;
    unsigned offset;
    char type[100];
    const Symbol* value;
    upx_uint64_t add;
  };

  ElfLinker();
  virtual ~ElfLinker();

  virtual void init(const void* pdata, int plen);  // 1
  virtual int addLoader(const char* sname);        // 2
  virtual Section* addSection(const char* sname, const void* sdata, int slen,
                              unsigned p2align);                         // 3
  virtual int getSection(const char* sname, int* slen = nullptr) const;  // 4
  virtual int getSectionSize(const char* sname) const;                   // 5
  virtual upx_byte* getLoader(int* llen = nullptr) const;                // 6
  virtual void defineSymbol(const char* name, upx_uint64_t value);       // 7
  virtual upx_uint64_t getSymbolOffset(const char* name) const;          // 8
  virtual void dumpSymbol(const Symbol*, unsigned, FILE*) const {}       // 9
  virtual void dumpRelocation(const Relocation*, FILE*) const {}         // 10
  virtual void alignCode(unsigned len) { alignWithByte(len, 0); }        // 11
  virtual void alignData(unsigned len) { alignWithByte(len, 0); }        // 12
  virtual void relocate();                                               // 13
  virtual void relocate1(const Relocation*, upx_byte* location, upx_uint64_t value,
                         const char* type);  // 14

  Section* findSection(const char* name, bool fatal = true) const;
  Symbol* findSymbol(const char* name, bool fatal = true) const;
  Symbol* addSymbol(const char* name, const char* section, upx_uint64_t offset);
  Relocation* addRelocation(const char* section, unsigned off, const char* type, const char* symbol,
                            upx_uint64_t add);
  int getOutputLength() const { return outputlen; }
  unsigned sectionCount() const { return nsections; }

  const N_BELE_RTP::AbstractPolicy* bele;

 protected:
  void alignWithByte(unsigned len, upx_byte b);
  void preprocessSections(char* start, char* end);
  void preprocessSymbols(char* start, char* end);
  void preprocessRelocations(char* start, char* end);
  [[noreturn]] static void fail(const char* fmt, ...);

  char* input;
  int inputlen;
  upx_byte* output;
  int outputlen;
  int outputcap;
  Section* head;
  Section* tail;
  Section** sections;
  Symbol** symbols;
  Relocation** relocations;
  unsigned first_bytes;  // text offset of the first section's bytes
  unsigned nsections, nsections_capacity;
  unsigned nsymbols, nsymbols_capacity;
  unsigned nrelocations, nrelocations_capacity;
  bool reloc_done;
};

class ElfLinkerX86 : public ElfLinker {
 public:
  void alignCode(unsigned len) override { alignWithByte(len, 0x90); }
  void relocate1(const Relocation*, upx_byte* location, upx_uint64_t value,
                 const char* type) override;
};

class ElfLinkerAMD64 : public ElfLinker {
 public:
  void alignCode(unsigned len) override { alignWithByte(len, 0x90); }
  void relocate1(const Relocation*, upx_byte* location, upx_uint64_t value,
                 const char* type) override;
};

}  // namespace upx
