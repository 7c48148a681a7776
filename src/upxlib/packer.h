// the pack header record and the packer base class.
#pragma once
#include "upxlib/bele.h"
#include "upxlib/compress.h"
#include "upxlib/conf.h"
#include "upxlib/mem.h"

namespace upx {

class InputFile;
class OutputFile;
class Filter;
class ElfLinker;
struct PackOptions;

struct PackHeader {
  int version;
  int format;
  int method;
  int level;
  unsigned u_len;
  unsigned c_len;
  unsigned u_adler;
  unsigned c_adler;
  unsigned u_file_size;
  int filter;
  int filter_cto;
  int n_mru;
  int header_checksum;
  // working fields
  unsigned saved_u_adler;
  unsigned saved_c_adler;
  unsigned buf_offset;
  upx_compress_result_t compress_result;
  unsigned max_offset_found;
  unsigned max_match_found;
  unsigned max_run_found;
  unsigned first_offset_found;
  unsigned overlap_overhead;

  PackHeader() { reset(); }
  void reset() { memset(this, 0, sizeof(*this)); }

  bool fillPackHeader(const upx_byte* buf, int blen);
  int getPackHeaderSize() const;
  void putPackHeader(upx_byte* p);
  static int packHeaderChecksum(const upx_byte* p, int len);
};

class Packer {
 protected:
  explicit Packer(InputFile* f);

 public:
  virtual ~Packer();
  Packer(const Packer&) = delete;
  Packer& operator=(const Packer&) = delete;

  virtual void selfCheck();                                                         // 1
  virtual int getVersion() const = 0;                                               // 2
  virtual int getFormat() const = 0;                                                // 3
  virtual const char* getName() const = 0;                                          // 4
  virtual const char* getFullName(const PackOptions*) const = 0;                    // 5
  virtual const int* getCompressionMethods(int method, int level) const = 0;        // 6
  virtual const int* getFilters() const = 0;                                        // 7
  virtual bool canUnpackVersion(int version) const { return version >= 8; }         // 8
  virtual bool canUnpackFormat(int format) const { return format == getFormat(); }  // 9
  virtual bool testUnpackVersion(int version) const;                                // 10
  virtual bool testUnpackFormat(int format) const;                                  // 11
  virtual void pack(OutputFile* fo) = 0;                                            // 12
  virtual void unpack(OutputFile* fo) = 0;                                          // 13
  virtual void test() { unpack(nullptr); }                                          // 14
  virtual void list() {}                                                            // 15
  virtual void fileInfo() {}                                                        // 16
  virtual bool canPack() = 0;                                                       // 17
  virtual int canUnpack() = 0;                                                      // 18
  virtual int canTest() { return canUnpack(); }                                     // 19
  virtual int canList() { return canUnpack(); }                                     // 20
  // pack side
  virtual bool compress(upx_byte* i_ptr, unsigned i_len, upx_byte* o_ptr,
                        const upx_compress_config_t* cconf = nullptr);  // 21
  // out_spare: writable bytes behind ph.u_len at out (see upx_decompress).
  virtual void decompress(const upx_byte* in, upx_byte* out, bool verify_checksum = true,
                          Filter* ft = nullptr, unsigned out_spare = 0);            // 22
  virtual bool checkDefaultCompressionRatio(unsigned u_len, unsigned c_len) const;  // 23
  virtual bool checkCompressionRatio(unsigned u_len, unsigned c_len) const;         // 24
  virtual bool checkFinalCompressionRatio(const OutputFile* fo) const;              // 25
  virtual bool testOverlappingDecompression(const upx_byte* buf, const upx_byte* tbuf,
                                            unsigned overlap_overhead) const;  // 26
  virtual unsigned findOverlapOverhead(const upx_byte* buf, const upx_byte* tbuf,
                                       unsigned range = 0, unsigned upper_limit = ~0u) const;  // 27
  virtual int patchPackHeader(void* b, int blen);                                              // 28
  virtual bool getPackHeader(const void* b, int blen, bool allow_incompressible = false);      // 29
  virtual bool readPackHeader(int len, bool allow_incompressible = false);                     // 30
  virtual void checkAlreadyPacked(const void* b, int blen);                                    // 31
  virtual void buildLoader(const Filter* ft) = 0;                                              // 32
  virtual ElfLinker* newLinker() const = 0;                                                    // 33
  virtual void relocateLoader();                                                               // 34
  virtual upx_byte* getLoader() const;                                                         // 35
  virtual int getLoaderSize() const;                                                           // 36
  virtual void initLoader(const void* pdata, int plen, int small = -1);                        // 37
  virtual bool hasLoaderSection(const char* name) const;                                       // 38
  virtual int getLoaderSection(const char* name, int* slen = nullptr) const;                   // 39
  virtual int getLoaderSectionStart(const char* name, int* slen = nullptr) const;              // 40
  virtual const char* getDecompressorSections() const;                                         // 41
  virtual unsigned getDecompressorWrkmemSize() const;                                          // 42
  virtual void defineDecompressorSymbols();                                                    // 43
  virtual bool isValidFilter(int filter_id) const;                                             // 44
  virtual void optimizeFilter(Filter*, const upx_byte*, unsigned) const {}                     // 45
  virtual void addFilter32(int filter_id);                                                     // 46
  virtual void defineFilterSymbols(const Filter* ft);                                          // 47
  virtual void checkOverlay(unsigned overlay);                                                 // 48
  virtual void copyOverlay(OutputFile* fo, unsigned overlay, MemBuffer* buf,
                           bool do_seek = true);  // 49
  virtual unsigned getRandomId() const;           // 50

  void initPackHeader();
  static bool isValidCompressionMethod(int method);
  static void copyStub(InputFile* fi, OutputFile* fo, unsigned size);
  // limit (optional): the end of the readable stream; reading past it is an
  // orderly failure.
  static unsigned unoptimizeReloc(const upx_byte** in, upx_byte* image, MemBuffer* out, int bits,
                                  const upx_byte* limit = nullptr);
  // Writes the packed relocation stream of the relocnum 32-bit positions at
  // in (sorted in place of a copy) to out; gives the stream's length.
  static unsigned optimizeReloc(upx_byte* in, unsigned relocnum, upx_byte* out, upx_byte* image,
                                int* big, int bits);
  static upx_byte* optimizeRelocImpl(upx_byte* in, unsigned relocnum, upx_byte* out,
                                     upx_byte* image, int* big, int bits);
  void destroyLinker();

  // pack side helpers
  void checkPatch(void* b, int blen, int boff, int size);
  void addLoader(const char* s, ...);  // section names, ended by nullptr
  void addLoaderList(const char* comma_list);
  void compressWithFilters(Filter* ft, unsigned overlap_range, const upx_compress_config_t* cconf,
                           int filter_strategy = 0, unsigned filter_off = 0, unsigned ibuf_off = 0,
                           unsigned obuf_off = 0, const upx_byte* hdr_ptr = nullptr,
                           unsigned hdr_len = 0);
  void verifyOverlappingDecompression(Filter* ft = nullptr);
  const int* getDefaultCompressionMethods_le32(int method, int level, int small = -1) const;
  const char* getIdentstr(unsigned* size, int small = -1) const;

  const N_BELE_RTP::AbstractPolicy* bele;
  InputFile* fi;
  int file_size;
  PackHeader ph;
  int expected_format;
  int expected_version;
  MemBuffer ibuf;
  MemBuffer obuf;
  ElfLinker* linker;
  void* last_patch;
  int last_patch_len;
  int last_patch_off;
};

}  // namespace upx
