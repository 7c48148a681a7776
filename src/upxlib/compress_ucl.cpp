// the UCL side of the front-end (nine NRV methods).
#include <ucl/ucl.h>

#include "upxlib/compress.h"
#include "upxlib/except.h"
#include "upxlib/mem.h"

namespace upx {

void upx_ucl_init() {
  static bool done = false;
  if (!done) {
    if (ucl_init() != UCL_E_OK) raiseInternalError("ucl_init failed");
    done = true;
  }
}

int upx_translate_ucl_result(int r) {
  switch (r) {
    case UCL_E_OK:
      return UPX_E_OK;
    case UCL_E_OUT_OF_MEMORY:
      return UPX_E_OUT_OF_MEMORY;
    case UCL_E_NOT_COMPRESSIBLE:
      return UPX_E_NOT_COMPRESSIBLE;
    case UCL_E_INPUT_OVERRUN:
      return UPX_E_INPUT_OVERRUN;
    case UCL_E_OUTPUT_OVERRUN:
      return UPX_E_OUTPUT_OVERRUN;
    case UCL_E_LOOKBEHIND_OVERRUN:
      return UPX_E_LOOKBEHIND_OVERRUN;
    case UCL_E_EOF_NOT_FOUND:
      return UPX_E_EOF_NOT_FOUND;
    case UCL_E_INPUT_NOT_CONSUMED:
      return UPX_E_INPUT_NOT_CONSUMED;
    case UCL_E_INVALID_ARGUMENT:
      return UPX_E_INVALID_ARGUMENT;
    default:
      return UPX_E_ERROR;
  }
}

unsigned upx_adler32(const void* buf, unsigned len, unsigned adler) {
  UPX_ASSERT(buf != nullptr || len == 0);
  upx_ucl_init();
  if (len == 0) return adler;
  return ucl_adler32(adler, static_cast<const ucl_bytep>(buf), len);
}

typedef int (*ucl_decomp_t)(const ucl_bytep, ucl_uint, ucl_bytep, ucl_uintp, ucl_voidp);
typedef int (*ucl_overlap_t)(const ucl_bytep, ucl_uint, ucl_uint, ucl_uintp, ucl_voidp);
typedef int (*ucl_comp_t)(const ucl_bytep, ucl_uint, ucl_bytep, ucl_uintp, ucl_progress_callback_p,
                          int, const struct ucl_compress_config_p, ucl_uintp);

static ucl_decomp_t decompressorFor(int method) {
  switch (method) {
    case M_NRV2B_LE32:
      return ucl_nrv2b_decompress_safe_le32;
    case M_NRV2B_8:
      return ucl_nrv2b_decompress_safe_8;
    case M_NRV2B_LE16:
      return ucl_nrv2b_decompress_safe_le16;
    case M_NRV2D_LE32:
      return ucl_nrv2d_decompress_safe_le32;
    case M_NRV2D_8:
      return ucl_nrv2d_decompress_safe_8;
    case M_NRV2D_LE16:
      return ucl_nrv2d_decompress_safe_le16;
    case M_NRV2E_LE32:
      return ucl_nrv2e_decompress_safe_le32;
    case M_NRV2E_8:
      return ucl_nrv2e_decompress_safe_8;
    case M_NRV2E_LE16:
      return ucl_nrv2e_decompress_safe_le16;
  }
  return nullptr;
}

static ucl_overlap_t overlapTestFor(int method) {
  switch (method) {
    case M_NRV2B_LE32:
      return ucl_nrv2b_test_overlap_le32;
    case M_NRV2B_8:
      return ucl_nrv2b_test_overlap_8;
    case M_NRV2B_LE16:
      return ucl_nrv2b_test_overlap_le16;
    case M_NRV2D_LE32:
      return ucl_nrv2d_test_overlap_le32;
    case M_NRV2D_8:
      return ucl_nrv2d_test_overlap_8;
    case M_NRV2D_LE16:
      return ucl_nrv2d_test_overlap_le16;
    case M_NRV2E_LE32:
      return ucl_nrv2e_test_overlap_le32;
    case M_NRV2E_8:
      return ucl_nrv2e_test_overlap_8;
    case M_NRV2E_LE16:
      return ucl_nrv2e_test_overlap_le16;
  }
  return nullptr;
}

static ucl_comp_t compressorFor(int method) {
  if (M_IS_NRV2B(method)) return ucl_nrv2b_99_compress;
  if (M_IS_NRV2D(method)) return ucl_nrv2d_99_compress;
  if (M_IS_NRV2E(method)) return ucl_nrv2e_99_compress;
  return nullptr;
}

upx_uint64_t upx_max_decompressed_len(unsigned src_len) {
  return upx_uint64_t(src_len) * 1024 + 1024;
}

int upx_decompress(const upx_byte* src, unsigned src_len, upx_byte* dst, unsigned* dst_len,
                   int method, upx_compress_result_t* cresult, unsigned dst_spare) {
  (void)cresult;
  ucl_decomp_t d = decompressorFor(method);
  if (!d) raiseInternalError("unknown decompression method");
  // a compressed length not below the restored one, or far too short for
  // it, comes from a damaged header
  if (*dst_len == 0 || src_len >= *dst_len || *dst_len > upx_max_decompressed_len(src_len))
    raiseCannotPack("header corrupted");
  upx_ucl_init();
  ucl_uint out = *dst_len;
  if (dst_spare >= UPX_DECOMPRESS_SPARE) {
    int r = d(src, src_len, dst, &out, nullptr);
    *dst_len = out > *dst_len ? *dst_len : unsigned(out);
    return upx_translate_ucl_result(r);
  }
  // Without the spare room the work goes through a buffer that has it, and
  // only the capacity is copied out.
  MemBuffer work(upx_uint64_t(*dst_len) + 64);
  int r = d(src, src_len, work, &out, nullptr);
  work.verifyGuards();
  if (out > *dst_len) out = *dst_len;
  memcpy(dst, work, out);
  *dst_len = out;
  return upx_translate_ucl_result(r);
}

int upx_compress(const upx_byte* src, unsigned src_len, upx_byte* dst, unsigned* dst_len,
                 int method, int level, const upx_compress_config_t* cconf,
                 upx_compress_result_t* cresult) {
  UPX_ASSERT(method > 0 && level > 0);
  if (*dst_len == 0) *dst_len = MemBuffer::getSizeForCompression(src_len);
  if (src_len > UPX_RSIZE_MAX) raiseCannotPack("mem_size 2; take care");
  UPX_ASSERT(*dst_len >= MemBuffer::getSizeForCompression(src_len));
  upx_compress_result_t local;
  if (!cresult) cresult = &local;
  cresult->reset();
  cresult->method = method;
  cresult->level = level;
  cresult->u_len = src_len;
  ucl_comp_t c = compressorFor(method);
  if (!c) raiseInternalError("unknown compression method");
  upx_ucl_init();
  struct ucl_compress_config_t conf;
  memset(&conf, 0xFF, sizeof(conf));
  if (cconf) {
    conf.bb_endian = cconf->conf_ucl.bb_endian;
    conf.bb_size = cconf->conf_ucl.bb_size;
    conf.max_offset = cconf->conf_ucl.max_offset;
    conf.max_match = cconf->conf_ucl.max_match;
    conf.s_level = cconf->conf_ucl.s_level;
    conf.h_level = cconf->conf_ucl.h_level;
    conf.p_level = cconf->conf_ucl.p_level;
    conf.c_flags = cconf->conf_ucl.c_flags;
    conf.m_size = cconf->conf_ucl.m_size;
  }
  // the bit buffer of the method
  int variant = (method - M_NRV2B_LE32) % 3;  // 0 le32, 1 8-bit, 2 le16
  conf.bb_size = variant == 0 ? 32 : variant == 1 ? 8 : 16;
  conf.bb_endian = 0;
  if (conf.max_offset == ucl_uint(-1)) {
    if (level >= 1 && level <= 3)
      conf.max_offset = 8191;
    else if (level == 4)
      conf.max_offset = 32767;
  }
  ucl_uint out = *dst_len;
  int r = c(src, src_len, dst, &out, nullptr, level, &conf, cresult->result_ucl.result);
  *dst_len = out;
  cresult->c_len = out;
  return upx_translate_ucl_result(r);
}

int upx_test_overlap(const upx_byte* buf, unsigned src_off, unsigned src_len, unsigned* dst_len,
                     int method) {
  UPX_ASSERT(*dst_len > 0 && src_len < *dst_len);
  UPX_ASSERT(src_off + src_len > *dst_len);
  ucl_overlap_t t = overlapTestFor(method);
  if (!t) raiseInternalError("unknown decompression method");
  upx_ucl_init();
  if (*dst_len < src_off + src_len) {
    ucl_uint out = *dst_len;
    int r = t(buf, src_off, src_len, &out, nullptr);
    *dst_len = out;
    return upx_translate_ucl_result(r);
  }
  *dst_len = 0;
  return UPX_E_ERROR;
}

}  // namespace upx
