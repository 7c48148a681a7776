// the compression front-end over UCL.
#pragma once
#include "upxlib/conf.h"

namespace upx {

enum {
  UPX_E_OK = 0,
  UPX_E_ERROR = -1,
  UPX_E_OUT_OF_MEMORY = -2,
  UPX_E_NOT_COMPRESSIBLE = -3,
  UPX_E_INPUT_OVERRUN = -4,
  UPX_E_OUTPUT_OVERRUN = -5,
  UPX_E_LOOKBEHIND_OVERRUN = -6,
  UPX_E_EOF_NOT_FOUND = -7,
  UPX_E_INPUT_NOT_CONSUMED = -8,
  UPX_E_NOT_YET_IMPLEMENTED = -9,
  UPX_E_INVALID_ARGUMENT = -10,
};

struct upx_compress_config_t {
  struct {
    int bb_endian, bb_size;
    unsigned max_offset, max_match;
    int s_level, h_level, p_level, c_flags;
    unsigned m_size;
  } conf_ucl;
  void reset() { memset(&conf_ucl, 0xFF, sizeof(conf_ucl)); }
};

struct upx_compress_result_t {
  int method, level;
  unsigned u_len, c_len;
  struct {
    unsigned result[16];  // UCL's statistics
  } result_ucl;
  void reset() { memset(this, 0, sizeof(*this)); }
};

// Calls ucl_init once per process.
void upx_ucl_init();
int upx_translate_ucl_result(int r);

unsigned upx_adler32(const void* buf, unsigned len, unsigned adler = 1);

// The most bytes src_len compressed bytes can stand for: the compressors'
// longest match, 2,048 bytes, takes about 25 bits (a ratio near 655; all
// zeros reach it), and no stream is taken to beat 1,024.
upx_uint64_t upx_max_decompressed_len(unsigned src_len);
// Bytes behind the capacity that let the decompression write straight into
// the destination: the bounds-checked decompressors store at most a byte
// past the capacity before they report an overrun (a MemBuffer's guard
// words behind its data catch any more).
const unsigned UPX_DECOMPRESS_SPARE = 3;
// Decompresses src into at most *dst_len bytes at dst, which has dst_spare
// writable bytes behind them; with fewer than UPX_DECOMPRESS_SPARE the work
// goes through a buffer of its own. A *dst_len beyond what src_len can stand
// for is refused before any allocation.
int upx_decompress(const upx_byte* src, unsigned src_len, upx_byte* dst, unsigned* dst_len,
                   int method, upx_compress_result_t* cresult, unsigned dst_spare = 0);
int upx_compress(const upx_byte* src, unsigned src_len, upx_byte* dst, unsigned* dst_len,
                 int method, int level, const upx_compress_config_t* cconf,
                 upx_compress_result_t* cresult);
int upx_test_overlap(const upx_byte* buf, unsigned src_off, unsigned src_len, unsigned* dst_len,
                     int method);

}  // namespace upx
