// pack side of the packer base: compression, ratios, in-place
// decompression margin, pack header patching, relocation streams.
#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "upxlib/except.h"
#include "upxlib/file.h"
#include "upxlib/filter.h"
#include "upxlib/options.h"
#include "upxlib/packer.h"
#include "upxlib/util.h"

namespace upx {

Packer::~Packer() {
  // the linker (pack side) is destroyed by destroyLinker, see linker.cpp
  destroyLinker();
}

bool Packer::compress(upx_byte* i_ptr, unsigned i_len, upx_byte* o_ptr,
                      const upx_compress_config_t* cconf) {
  UPX_ASSERT(ph.level >= 1 && ph.level <= 10);
  ph.u_len = i_len;
  ph.c_len = 0;
  ph.saved_u_adler = ph.u_adler;
  ph.saved_c_adler = ph.c_adler;
  ph.u_adler = upx_adler32(i_ptr, ph.u_len, ph.u_adler);

  upx_compress_config_t conf;
  conf.reset();
  if (cconf) conf = *cconf;
  if (M_IS_NRV(ph.method) && opt) {
    const CompressParams& c = opt->crp;
    if (c.ucl_max_offset >= 0)
      conf.conf_ucl.max_offset = upx_min(unsigned(c.ucl_max_offset), conf.conf_ucl.max_offset);
    if (c.ucl_max_match >= 0)
      conf.conf_ucl.max_match = upx_min(unsigned(c.ucl_max_match), conf.conf_ucl.max_match);
  }
  unsigned out_len = 0;
  int r = upx_compress(i_ptr, ph.u_len, o_ptr, &out_len, ph.method, ph.level, &conf,
                       &ph.compress_result);
  if (r == UPX_E_OUT_OF_MEMORY) raiseOutOfMemory();
  if (r != UPX_E_OK) raiseInternalError("compression failed");
  ph.c_len = out_len;
  if (M_IS_NRV(ph.method)) {
    const unsigned* res = ph.compress_result.result_ucl.result;
    ph.max_offset_found = res[0];
    ph.max_match_found = res[1];
    ph.max_run_found = res[2];
    ph.first_offset_found = res[4];
    if (cconf) {
      if (cconf->conf_ucl.max_offset != ~0u && cconf->conf_ucl.max_offset != 0)
        UPX_ASSERT(cconf->conf_ucl.max_offset >= ph.max_offset_found);
      if (cconf->conf_ucl.max_match != ~0u && cconf->conf_ucl.max_match != 0)
        UPX_ASSERT(cconf->conf_ucl.max_match >= ph.max_match_found);
    }
  }
  if (!checkCompressionRatio(ph.u_len, ph.c_len) || ph.c_len >= ph.u_len) return false;
  ph.c_adler = upx_adler32(o_ptr, ph.c_len, ph.c_adler);

  if (M_IS_LZMA(ph.method) || M_IS_DEFLATE(ph.method) || ph.level >= 2) {
    unsigned new_len = ph.u_len;
    r = upx_decompress(o_ptr, ph.c_len, i_ptr, &new_len, ph.method, &ph.compress_result);
    if (r == UPX_E_OUT_OF_MEMORY) raiseOutOfMemory();
    if (r != UPX_E_OK) raiseInternalError("decompression failed");
    if (new_len != ph.u_len) raiseInternalError("decompression failed (size error)");
    if (upx_adler32(i_ptr, ph.u_len, ph.saved_u_adler) != ph.u_adler)
      raiseInternalError("decompression failed (checksum error)");
  }
  return true;
}

bool Packer::checkDefaultCompressionRatio(unsigned u_len, unsigned c_len) const {
  UPX_ASSERT(int(u_len) > 0 && int(c_len) > 0);
  if (c_len >= u_len) return false;
  unsigned gain = u_len - c_len;
  if (gain < 512) return false;
  if (gain >= 4096) return true;
  return gain >= u_len / 16;
}

bool Packer::checkCompressionRatio(unsigned u_len, unsigned c_len) const {
  return checkDefaultCompressionRatio(u_len, c_len);
}

bool Packer::checkFinalCompressionRatio(const OutputFile* fo) const {
  return checkDefaultCompressionRatio(unsigned(file_size), unsigned(fo->getBytesWritten()));
}

bool Packer::testOverlappingDecompression(const upx_byte* buf, const upx_byte* tbuf,
                                          unsigned overlap_overhead) const {
  (void)tbuf;
  if (ph.c_len >= ph.u_len) return false;
  unsigned reserve = M_IS_NRV(ph.method) ? 3 : 0;
  if (overlap_overhead <= 4 + reserve) return false;
  unsigned src_off = ph.u_len + overlap_overhead - reserve - ph.c_len;
  // the compressed data placed at src_off of a work area of that size
  MemBuffer area(mem_size(1, upx_uint64_t(src_off) + ph.c_len));
  memcpy(area + src_off, buf, ph.c_len);
  unsigned new_len = ph.u_len;
  int r = upx_test_overlap(area, src_off, ph.c_len, &new_len, ph.method);
  if (r == UPX_E_OUT_OF_MEMORY) raiseOutOfMemory();
  return r == UPX_E_OK && new_len == ph.u_len;
}

unsigned Packer::findOverlapOverhead(const upx_byte* buf, const upx_byte* tbuf, unsigned range,
                                     unsigned upper_limit) const {
  unsigned low = 1;
  unsigned high = upx_min(ph.u_len + 512, upper_limit);
  unsigned m = upx_min(16u, high);
  unsigned overhead = 0;
  while (high >= low) {
    if (testOverlappingDecompression(buf, tbuf, m)) {
      overhead = m;
      if (m - low < range) break;
      high = m - 1;
    } else {
      low = m + 1;
    }
    m = (low & high) + ((low ^ high) >> 1);
  }
  if (overhead == 0) raiseInternalError("this is an oo bug");
  return overhead;
}

void Packer::verifyOverlappingDecompression(Filter* ft) {
  (void)ft;
  UPX_ASSERT(ph.c_len < ph.u_len);
  UPX_ASSERT(int(ph.overlap_overhead) > 0);
  if (!(M_IS_LZMA(ph.method) || M_IS_DEFLATE(ph.method) || ph.level >= 2)) return;
  unsigned offset = (ph.u_len + ph.overlap_overhead) - ph.c_len;
  if (upx_uint64_t(offset) + ph.c_len > obuf.getSize()) return;
  memmove(obuf + offset, obuf, ph.c_len);
  decompress(obuf + offset, obuf, true, nullptr);
  obuf.verifyGuards();
}

void Packer::checkPatch(void* b, int blen, int boff, int size) {
  if (b == nullptr && blen == 0 && boff == 0 && size == 0) {
    last_patch = nullptr;
    last_patch_len = 0;
    last_patch_off = 0;
    return;
  }
  if (b == nullptr || blen < 1 || boff < 0 || size < 1 || boff + size <= 0 || boff + size > blen)
    raiseInternalError("bad loader");
  if (b == last_patch) {
    if (boff + size > last_patch_off) raiseInternalError("invalid patch order");
    if (blen > last_patch_len) raiseInternalError("invalid patch order (length)");
  } else {
    last_patch = b;
  }
  last_patch_len = blen;
  last_patch_off = boff;
}

int Packer::patchPackHeader(void* b, int blen) {
  UPX_ASSERT(isValidFilter(ph.filter));
  const int size = ph.getPackHeaderSize();
  if (linker && hasLoaderSection("UPX1HEAD")) UPX_ASSERT(getLoaderSectionStart("UPX1HEAD") >= 0);
  int boff = find_le32(b, blen, UPX_MAGIC_LE32);
  checkPatch(b, blen, boff, size);
  ph.putPackHeader(static_cast<upx_byte*>(b) + boff);
  return boff;
}

void Packer::checkAlreadyPacked(const void* b, int blen) {
  if (find_le32(b, blen, UPX_MAGIC_LE32) >= 0) raiseAlreadyPacked(nullptr);
}

unsigned Packer::getRandomId() const {
  if (opt && opt->no_random_id) return 0x01020304;
  unsigned id = 0;
  while (id == 0) {
    id ^= unsigned(time(nullptr));
    id ^= unsigned(clock()) << 12;
    if (fi) {
      id ^= unsigned(fi->st.st_ino);
      id ^= unsigned(fi->st.st_atime);
    }
    id ^= unsigned(rand());
  }
  return id;
}

upx_byte* Packer::optimizeRelocImpl(upx_byte* in, unsigned relocnum, upx_byte* out, upx_byte* image,
                                    int* big, int bits) {
  if (opt && opt->exact) raiseCannotPack("option '--exact' does not work with this file");
  if (big) *big = 0;
  std::vector<unsigned> pos(relocnum);
  for (unsigned i = 0; i < relocnum; i++) pos[i] = get_le32(in + 4 * i);
  std::sort(pos.begin(), pos.end());
  unsigned pc = 0xFFFFFFFCu;
  upx_byte* fix = out;
  for (unsigned i = 0; i < relocnum; i++) {
    unsigned d = pos[i] - pc;
    if (d == 0) continue;
    if (d < 4) raiseCannotPack("overlapping fixups");
    if (d < 0xF0) {
      *fix++ = upx_byte(d);
    } else if (d < 0x100000) {
      *fix++ = upx_byte(0xF0 + (d >> 16));
      *fix++ = upx_byte(d);
      *fix++ = upx_byte(d >> 8);
    } else {
      *fix++ = 0xF0;
      *fix++ = 0;
      *fix++ = 0;
      set_le32(fix, d);
      fix += 4;
      if (big) *big = 1;
    }
    pc += d;
    if (image) {
      if (bits == 32)
        set_be32(image + pc, get_le32(image + pc));
      else if (bits == 64)
        set_be64(image + pc, get_le64(image + pc));
      else
        raiseInternalError("optimizeReloc problem");
    }
  }
  *fix++ = 0;
  return fix;
}

unsigned Packer::optimizeReloc(upx_byte* in, unsigned relocnum, upx_byte* out, upx_byte* image,
                               int* big, int bits) {
  return unsigned(optimizeRelocImpl(in, relocnum, out, image, big, bits) - out);
}

}  // namespace upx
