// the packer base class, unpack road.
#include "upxlib/packer.h"

#include <cstdio>

#include "upxlib/except.h"
#include "upxlib/file.h"
#include "upxlib/filter.h"
#include "upxlib/linker.h"
#include "upxlib/options.h"
#include "upxlib/util.h"

namespace upx {

Packer::Packer(InputFile* f)
    : bele(nullptr),
      fi(f),
      file_size(-1),
      expected_format(-1),
      expected_version(-1),
      linker(nullptr),
      last_patch(nullptr),
      last_patch_len(0),
      last_patch_off(0) {
  if (fi) file_size = fi->getLength();
  ph.reset();
}

void Packer::selfCheck() {
  int format = getFormat();
  UPX_ASSERT(format >= 1 && format <= 254);
  int version = getVersion();
  UPX_ASSERT(version >= 11 && version <= 14);
  UPX_ASSERT(strlen(getName()) <= 15);
  UPX_ASSERT(strlen(getFullName(opt)) <= 32);
  UPX_ASSERT(strlen(getFullName(nullptr)) <= 32);
  UPX_ASSERT(bele != nullptr);
  if (format != 134) {
    bool want_be = format >= 128;
    if (bele != (want_be ? static_cast<const N_BELE_RTP::AbstractPolicy*>(&N_BELE_RTP::be_policy)
                         : &N_BELE_RTP::le_policy)) {
      fprintf(stderr, "%s\n", getName());
      raiseInternalError("selfCheck: byte order");
    }
  }
  ElfLinker* l = newLinker();
  bool same = l && l->bele == bele;
  delete l;
  if (!same) {
    fprintf(stderr, "%s\n", getName());
    raiseInternalError("selfCheck: linker byte order");
  }
}

bool Packer::testUnpackVersion(int version) const {
  if (expected_version >= 0 && version != expected_version)
    raiseCannotPack("program has been modified; run a virus checker!");
  if (!canUnpackVersion(version)) raiseCannotPack("I am not compatible with older versions of UPX");
  return true;
}

bool Packer::testUnpackFormat(int format) const {
  if (expected_format >= 0 && format != expected_format)
    raiseCannotPack("program has been modified; run a virus checker!");
  return canUnpackFormat(format);
}

void Packer::initPackHeader() {
  ph.reset();
  ph.version = getVersion();
  ph.format = getFormat();
  ph.method = M_NONE;
  ph.level = -1;
  ph.u_adler = ph.c_adler = ph.saved_u_adler = ph.saved_c_adler = 1;
  ph.buf_offset = 0;
  ph.u_file_size = unsigned(file_size);
}

bool Packer::readPackHeader(int len, bool allow_incompressible) {
  UPX_ASSERT(len > 0);
  MemBuffer hbuf(len);
  int n = fi->read(hbuf, len);
  if (n <= 0) return false;
  return getPackHeader(hbuf, n, allow_incompressible);
}

bool Packer::getPackHeader(const void* b, int blen, bool allow_incompressible) {
  if (!ph.fillPackHeader(static_cast<const upx_byte*>(b), blen)) return false;
  if (ph.version > getVersion()) raiseCannotPack("need a newer version of UPX");
  if (!opt || opt->cmd != CMD_FILEINFO)
    if (!testUnpackVersion(ph.version)) return false;
  if (ph.c_len > ph.u_len || (ph.c_len == ph.u_len && !allow_incompressible) ||
      int(ph.c_len) >= file_size || ph.version <= 0 || ph.version >= 0xFF)
    raiseCannotPack("header corrupted");
  else if (!isValidCompressionMethod(ph.method))
    raiseCannotPack("unknown compression method (try a newer version of UPX)");
  return testUnpackFormat(ph.format);
}

bool Packer::isValidCompressionMethod(int method) {
  return method >= M_NRV2B_LE32 && method <= M_CL1B_LE16;
}

void Packer::decompress(const upx_byte* in, upx_byte* out, bool verify_checksum, Filter* ft,
                        unsigned out_spare) {
  unsigned adler;
  if (verify_checksum) {
    adler = upx_adler32(in, ph.c_len, ph.saved_c_adler);
    if (adler != ph.c_adler) raiseChecksumError();
  }
  if (ph.u_len < ph.c_len) raiseCannotPack("header corrupted");
  unsigned new_len = ph.u_len;
  int r = upx_decompress(in, ph.c_len, out, &new_len, ph.method, &ph.compress_result, out_spare);
  if (r == UPX_E_OUT_OF_MEMORY) raiseOutOfMemory();
  if (r != UPX_E_OK || new_len != ph.u_len) raiseCompressedDataViolation();
  if (!verify_checksum) return;
  if (ft) ft->unfilter(out, ph.u_len, false);
  adler = upx_adler32(out, ph.u_len, ph.saved_u_adler);
  if (adler != ph.u_adler) raiseChecksumError();
}

void Packer::checkOverlay(unsigned overlay) {
  if (int(overlay) < 0 || overlay > unsigned(file_size))
    throw OverlayException("invalid overlay size; file is possibly corrupt");
  if (overlay == 0) return;
  if (opt && opt->overlay == 0)
    throw OverlayException("file has overlay -- skipped; try '--overlay=copy'");
}

void Packer::copyOverlay(OutputFile* fo, unsigned overlay, MemBuffer* buf, bool do_seek) {
  UPX_ASSERT(int(overlay) >= 0);
  UPX_ASSERT(int(overlay) < file_size);
  buf->verifyGuards();
  if (!fo || overlay == 0) return;
  int mode = opt ? opt->overlay : -1;
  if (mode == 2) return;  // strip
  if (do_seek) fi->seek(-upx_int64_t(overlay), SEEK_END);
  unsigned chunk = buf->getSize();
  if (chunk > 65536) chunk = ALIGN_DOWN(chunk, 4096u);
  UPX_ASSERT(int(chunk) > 0);
  while (overlay > 0) {
    unsigned n = upx_min(overlay, chunk);
    fi->readExact(buf, int(n));
    fo->write(buf, int(n));
    overlay -= n;
  }
  buf->verifyGuards();
}

void Packer::copyStub(InputFile* fi, OutputFile* fo, unsigned size) {
  if (!fo || size == 0) return;
  if (size > UPX_RSIZE_MAX) raiseCannotPack("mem_size 2; take care");
  MemBuffer stub(size);
  fi->seek(0, SEEK_SET);
  fi->readExact(stub, int(size));
  fo->write(stub, int(size));
}

// The packed relocation stream: entries of 1, 3 or 7 bytes, ended by 0.
static unsigned relocEntry(const upx_byte* p, unsigned* len) {
  unsigned b = p[0];
  if (b < 0xF0) {
    *len = 1;
    return b;
  }
  unsigned w = get_le16(p + 1);
  if (b == 0xF0 && w == 0) {
    *len = 7;
    return get_le32(p + 3);
  }
  *len = 3;
  return (b & 0x0F) * 0x10000 + w;
}

unsigned Packer::unoptimizeReloc(const upx_byte** in, upx_byte* image, MemBuffer* out, int bits,
                                 const upx_byte* limit) {
  const upx_byte* p = *in;
  unsigned count = 0;
  for (const upx_byte* q = p;;) {
    if (limit && q >= limit) raiseCannotPack("bad relocation stream; take care");
    if (!*q) break;
    if (limit && *q >= 0xF0 && limit - q < 3) raiseCannotPack("bad relocation stream; take care");
    if (limit && *q == 0xF0 && get_le16(q + 1) == 0 && limit - q < 7)
      raiseCannotPack("bad relocation stream; take care");
    unsigned len;
    relocEntry(q, &len);
    q += len;
    count++;
  }
  out->allocate(mem_size(4, upx_uint64_t(count) + 1));
  upx_byte* o = *out;
  unsigned pos = 0xFFFFFFFCu;
  unsigned n = 0;
  while (*p) {
    unsigned len;
    pos += relocEntry(p, &len);
    p += len;
    set_le32(o + 4 * n, pos);
    n++;
    if (image) {
      if (bits == 32)
        set_le32(image + pos, get_be32(image + pos));
      else if (bits == 64)
        set_le64(image + pos, get_be64(image + pos));
      else
        raiseInternalError("unoptimizeReloc problem");
    }
  }
  *in = p + 1;
  return n;
}

}  // namespace upx
