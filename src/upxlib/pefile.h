// the PE image model and the PE packer layers.
#pragma once
#include <vector>

#include "upxlib/bele.h"
#include "upxlib/linker.h"
#include "upxlib/packer.h"

namespace upx {

// A section table entry, 40 bytes.
struct pe_section_t {
  char name[8];
  LE32 vsize;
  LE32 vaddr;
  LE32 size;
  LE32 rawdataptr;
  char misc[12];
  LE32 flags;
};
static_assert(sizeof(pe_section_t) == 40, "section entry");

struct pe_ddir_t {
  LE32 vaddr;
  LE32 size;
};

enum {
  PEDIR_EXPORT = 0,
  PEDIR_IMPORT = 1,
  PEDIR_RESOURCE = 2,
  PEDIR_EXCEPTION = 3,
  PEDIR_SEC = 4,
  PEDIR_RELOC = 5,
  PEDIR_DEBUG = 6,
  PEDIR_COPYRIGHT = 7,
  PEDIR_GLOBALPTR = 8,
  PEDIR_TLS = 9,
  PEDIR_LOAD_CONFIG = 10,
  PEDIR_BOUNDIM = 11,
  PEDIR_IAT = 12,
  PEDIR_DELAYIMP = 13,
  PEDIR_COM_DESCRIPTOR = 14,
};

enum {
  RELOCS_STRIPPED = 0x0001,
  EXECUTABLE = 0x0002,
  BITS_32_MACHINE = 0x0100,
  DLL_FLAG = 0x2000,
  PE_DLLCHAR_DYNAMIC_BASE = 0x0040,
};

// The PE header record (COFF file header and optional header) of either
// width, held as its bytes; the accessors know the width's offsets.
struct PeHeader {
  upx_byte b[264];
  bool pep;  // PE32+

  explicit PeHeader(bool is_pep = false) : pep(is_pep) { memset(b, 0, sizeof(b)); }
  unsigned size() const { return pep ? 264 : 248; }

  unsigned signature() const { return get_le32(b); }
  unsigned cpu() const { return get_le16(b + 4); }
  unsigned objects() const { return get_le16(b + 6); }
  void setObjects(unsigned v) { set_le16(b + 6, v); }
  unsigned opthdrsize() const { return get_le16(b + 20); }
  unsigned flags() const { return get_le16(b + 22); }
  void setFlags(unsigned v) { set_le16(b + 22, v); }
  unsigned coffmagic() const { return get_le16(b + 24); }
  unsigned codesize() const { return get_le32(b + 28); }
  void setCodesize(unsigned v) { set_le32(b + 28, v); }
  unsigned datasize() const { return get_le32(b + 32); }
  void setDatasize(unsigned v) { set_le32(b + 32, v); }
  unsigned bsssize() const { return get_le32(b + 36); }
  unsigned entry() const { return get_le32(b + 40); }
  void setEntry(unsigned v) { set_le32(b + 40, v); }
  unsigned codebase() const { return get_le32(b + 44); }
  void setCodebase(unsigned v) { set_le32(b + 44, v); }
  unsigned database() const { return pep ? 0 : get_le32(b + 48); }
  void setDatabase(unsigned v) {
    if (!pep) set_le32(b + 48, v);
  }
  upx_uint64_t imagebase() const { return pep ? get_le64(b + 48) : get_le32(b + 52); }
  void setImagebase(upx_uint64_t v) {
    if (pep)
      set_le64(b + 48, v);
    else
      set_le32(b + 52, unsigned(v));
  }
  unsigned objectalign() const { return get_le32(b + 56); }
  void setObjectalign(unsigned v) { set_le32(b + 56, v); }
  unsigned filealign() const { return get_le32(b + 60); }
  void setFilealign(unsigned v) { set_le32(b + 60, v); }
  unsigned imagesize() const { return get_le32(b + 80); }
  void setImagesize(unsigned v) { set_le32(b + 80, v); }
  unsigned headersize() const { return get_le32(b + 84); }
  void setHeadersize(unsigned v) { set_le32(b + 84, v); }
  unsigned chksum() const { return get_le32(b + 88); }
  void setChksum(unsigned v) { set_le32(b + 88, v); }
  unsigned subsystem() const { return get_le16(b + 92); }
  unsigned dllflags() const { return get_le16(b + 94); }
  void setDllflags(unsigned v) { set_le16(b + 94, v); }
  unsigned ddirsentries() const { return get_le32(b + (pep ? 132 : 116)); }
  pe_ddir_t* ddirs() { return reinterpret_cast<pe_ddir_t*>(b + (pep ? 136 : 120)); }
  const pe_ddir_t* ddirs() const {
    return reinterpret_cast<const pe_ddir_t*>(b + (pep ? 136 : 120));
  }
};

class PeFile : public Packer {
 protected:
  PeFile(InputFile* f, bool pep);

 public:
  ~PeFile() override;
  int getVersion() const override { return 13; }
  bool canUnpackVersion(int version) const override { return version == 12 || version == 13; }
  bool testUnpackVersion(int version) const override;

  virtual int readFileHeader();             // 58
  virtual void readPeHeader();              // 59
  virtual bool canPackMachine() const = 0;  // the Machine test of canPack
  bool canPack() override;

  // the shared test
  int testPackedLayout(unsigned section_limit, unsigned objs, unsigned entry, unsigned hdrsize);

  // the unpack flow
  void unpackPeImage(OutputFile* fo, upx_uint64_t ord_mask, bool set_oft);
  // the import table
  void rebuildImportTable(const upx_byte** extrainfo, upx_uint64_t ord_mask, bool set_oft,
                          const pe_section_t* osection, unsigned objs);
  void placeDllNames(const std::vector<unsigned>& need, const std::vector<unsigned>& iat,
                     unsigned descrva, const pe_section_t* osection, unsigned objs,
                     std::vector<unsigned>& order, std::vector<unsigned>& names);
  // relocations, exports, resources
  void rebuildRelocs(const upx_byte** extrainfo, unsigned bits, unsigned flags,
                     upx_uint64_t imagebase);
  void rebuildExports();
  void rebuildResources(const upx_byte** extrainfo, unsigned last_vaddr);

  // range checks against the work buffers
  upx_byte* optr(unsigned pos, unsigned len);  // output buffer position
  upx_byte* iptr(unsigned pos, unsigned len);  // input buffer position

  // ---- auxiliary records ----
  class Interval {
   public:
    explicit Interval(void* b) : base(static_cast<upx_byte*>(b)) {}
    ~Interval() { delete[] ivarr; }
    void add(unsigned start, unsigned len);
    void add(const void* start, unsigned len);
    void add(const Interval* other);
    void flatten();
    void clear();
    struct interval {
      unsigned start, len;
    };
    interval* ivarr = nullptr;
    unsigned ivnum = 0;
    unsigned capacity = 0;
    upx_byte* base;
  };

  class Reloc {
   public:
    Reloc(upx_byte* start, unsigned size);  // reader over a directory
    explicit Reloc(unsigned relocnum);      // builder
    ~Reloc() { delete[] owned; }
    bool next(unsigned* pos, unsigned* type);
    void add(unsigned pos, unsigned type);
    void finish(upx_byte** result, unsigned* result_size);  // caller owns *result (new[])
    unsigned counts[16] = {};

   private:
    upx_byte* start = nullptr;
    unsigned size = 0;
    upx_byte* rel = nullptr;   // current block
    upx_byte* rel1 = nullptr;  // current entry
    unsigned* words = nullptr;
    unsigned nwords = 0, capwords = 0;
    upx_byte* owned = nullptr;
    unsigned owned_size = 0;
  };

  class Export {
   public:
    Export(upx_byte* base, upx_byte* base_lo, upx_byte* base_hi);
    ~Export();
    void convert(unsigned eoffs, unsigned esize);
    void build(upx_byte* out, unsigned newoffs);
    unsigned getsize() const { return size; }

   private:
    const upx_byte* at(unsigned rva, unsigned len) const;
    char* copyString(unsigned rva);
    upx_byte edir[40];
    char* ename = nullptr;
    char* functionptrs = nullptr;
    char* ordinals = nullptr;
    char** names = nullptr;
    char** forwarders = nullptr;
    unsigned nfunc = 0, nnames = 0;
    unsigned size = 0;
    upx_byte* base;
    upx_byte* lo;
    upx_byte* hi;
    Interval iv;
  };

  class Resource {
   public:
    struct upx_rnode {
      unsigned id = 0;
      upx_byte* name = nullptr;
      upx_rnode* parent = nullptr;
    };
    struct upx_rbranch : upx_rnode {
      unsigned nc = 0;
      upx_rnode** children = nullptr;
      upx_byte data[16];
    };
    struct upx_rleaf : upx_rnode {
      upx_rleaf* next = nullptr;
      unsigned newoffset = 0;
      upx_byte data[16];
    };
    Resource(const upx_byte* start, const upx_byte* ibufstart, const upx_byte* ibufend);
    ~Resource();
    void check();
    void convert();
    // leaf walk
    bool next();
    unsigned itype() const;
    unsigned nameId() const;  // id of the current leaf's name level
    void resetWalk() {
      started = false;
      current = nullptr;
    }
    unsigned offs() const;  // data RVA of the current leaf
    unsigned size() const;
    void setNewOffset(unsigned v);
    upx_byte* build();  // owned by the Resource
    void setStart(const upx_byte* s) { start = s; }
    bool contiguous(unsigned* lo, unsigned* hi) const;  // directory bytes as one range
    unsigned dirsize() const;
    upx_rleaf* current = nullptr;

   private:
    void check(const upx_byte* node, unsigned level);
    upx_rnode* convert(const upx_byte* node, upx_rnode* parent, unsigned level);
    void build(const upx_rnode* node, unsigned& bpos, unsigned& spos, unsigned level);
    void destroy(upx_rnode* node, unsigned level);
    void ensure(const upx_byte* p, unsigned len) const;
    const upx_byte* start;
    const upx_byte* ibufstart;
    const upx_byte* ibufend;
    upx_rnode* root = nullptr;
    upx_rleaf* head = nullptr;
    upx_byte* newstart = nullptr;
    unsigned dsize = 0, ssize = 0;
    unsigned outsize = 0;
    bool started = false;

   public:
    std::vector<std::pair<unsigned, unsigned>> ranges;  // bytes read, from start
  };

  // ---- pack side ----
  class ImportLinker;
  void packPeImage(OutputFile* fo);
  virtual bool needForceOption() const = 0;  // 51
  virtual void defineSymbols(unsigned ncsection, unsigned upxsection, unsigned sizeof_oh,
                             unsigned isize, unsigned s1addr);                     // 53
  virtual void addNewRelocations(Reloc& rel, unsigned upxsection);                 // 54
  virtual unsigned getProcessImportParam(unsigned) { return 0; }                   // 55
  virtual void setOhDataBase(const pe_section_t* osection) = 0;                    // 56
  virtual void setOhHeaderSize(const pe_section_t*) { oh.setHeadersize(rvamin); }  // 57
  virtual const char* kernelDll() const { return "KERNEL32.DLL"; }                 // 62
  virtual void addStubImports();                                                   // 63
  void buildPeLoader(const Filter* ft);
  // How many bytes of the identification stand before the first section's
  // raw data (pos: end of the section table); the compressed length grown
  // so that it ends, with the ic identification bytes before it, on 16.
  static unsigned identSplit(unsigned pos, unsigned identsize);
  static unsigned alignedCompressedLength(unsigned c_len, unsigned ic);
  void checkHeaderValues(unsigned subsystem, unsigned entry, unsigned filealign);
  void readSectionHeaders(unsigned objs, unsigned sizeof_ih);
  unsigned readSections(unsigned objs, unsigned usize, unsigned ih_filealign, unsigned ih_datasize);
  unsigned stripDebug(unsigned overlaystart);
  unsigned handleStripRelocs(upx_uint64_t imagebase, upx_uint64_t default_imagebase,
                             unsigned dllflags);
  unsigned processImports();
  void processTls(Interval* iv);
  void relocateTls(Reloc* rel, const Interval* iv, unsigned newaddr);
  void processLoadConf(Interval* iv);
  void processLoadConf(Reloc* rel, const Interval* iv, unsigned newaddr);
  void processResources(Resource* res);
  void processResources(Resource* res, unsigned newaddr);
  void processExports(Export* xport);
  void processExports(Export* xport, unsigned newoffs);
  void processRelocs();
  unsigned tryGetRelocRange(unsigned rva);
  unsigned sectionOf(unsigned rva) const;
  pe_section_t* isections() { return isection; }

  bool filter_allowed = true;
  bool use_tls_callbacks = false;
  unsigned tls_callbacks_addr = 0;
  unsigned tls_handler_offset = 0;
  unsigned sotls_dir = 0;
  unsigned tls_index_patch = 0;
  upx_uint64_t tls_callback_ptr = 0;
  unsigned loadconf_iv_count = 0;
  unsigned ih_imagesize = 0;
  unsigned import_stream_pos = 0;
  unsigned reloc_stream_pos = 0;

  // ---- state ----
  PeHeader ih, oh;
  pe_ddir_t* iddirs;
  pe_ddir_t* oddirs;
  unsigned pe_offset;
  pe_section_t* isection;
  MemBuffer isection_buf;
  unsigned rvamin;
  upx_byte* oimport;
  unsigned soimport;
  upx_byte* oimpdlls;
  unsigned soimpdlls;
  upx_byte* orelocs;
  unsigned sorelocs;
  upx_byte* oxrelocs;
  unsigned soxrelocs;
  upx_byte* oexport;
  unsigned soexport;
  upx_byte* oresources;
  unsigned soresources;
  upx_byte* otls;
  unsigned sotls;
  upx_byte* oloadconf;
  unsigned soloadconf;
  unsigned icondir_offset;
  unsigned short icondir_count;
  bool importbyordinal, kernel32ordinal;
  unsigned tlsindex, big_relocs;
  bool isdll;
  bool isrtm;
  bool use_dep_hack, use_clear_dirty_stack;
  ElfLinker* ilinker;
  bool pep_;
};

class PeFile32 : public PeFile {
 protected:
  explicit PeFile32(InputFile* f) : PeFile(f, false) {}

 public:
  int canUnpack() override;
  void unpack(OutputFile* fo) override;
};

class PeFile64 : public PeFile {
 protected:
  explicit PeFile64(InputFile* f) : PeFile(f, true) {}

 public:
  int canUnpack() override;
  void unpack(OutputFile* fo) override;
};

}  // namespace upx
