// the pack header: size, checksum, search and decoding, writer.
#include <cstdio>

#include "upxlib/bele.h"
#include "upxlib/except.h"
#include "upxlib/options.h"
#include "upxlib/packer.h"
#include "upxlib/util.h"

namespace upx {

int PackHeader::packHeaderChecksum(const upx_byte* p, int len) {
  UPX_ASSERT(get_le32(p) == UPX_MAGIC_LE32);
  unsigned c = 0;
  for (int i = 4; i < len; i++) c += p[i];
  return int(c % 251);
}

int PackHeader::getPackHeaderSize() const {
  if (format < 0 || version < 0) raiseInternalError("getPackHeaderSize");
  int n = 0;
  if (version <= 3)
    n = 24;
  else if (version <= 9) {
    if (format == UPX_F_DOS_COM || format == UPX_F_DOS_SYS)
      n = 20;
    else if (format == UPX_F_DOS_EXE || format == UPX_F_DOS_EXEH)
      n = 25;
    else
      n = 28;
  } else {
    if (format == UPX_F_DOS_COM || format == UPX_F_DOS_SYS)
      n = 22;
    else if (format == UPX_F_DOS_EXE || format == UPX_F_DOS_EXEH)
      n = 27;
    else
      n = 32;
  }
  return n;
}

bool PackHeader::fillPackHeader(const upx_byte* buf, int blen) {
  static const upx_byte magic[4] = {'U', 'P', 'X', '!'};
  int boff = find(buf, blen, magic, 4);
  if (boff < 0) return false;
  const upx_byte* p = buf + boff;
  int left = blen - boff;  // bytes from the magic to the end of the buffer
  if (!(boff + 8 >= 1 && boff + 8 <= blen)) raiseCannotPack("header corrupted 1");

  version = p[4];
  format = p[5];
  method = p[6];
  level = p[7];
  filter_cto = 0;
  if (opt && opt->debug)
    fprintf(stderr, "  fillPackHeader  version=%d  format=%d  method=%d  level=%d\n", version,
            format, method, level);

  const int size = getPackHeaderSize();
  if (!(boff + size >= 1 && boff + size <= blen)) raiseCannotPack("header corrupted 2");

  // Versions 0 to 3 declare 24 bytes while the 32-byte layouts read up to
  // offset 30: bytes past the buffer read as 0.
  auto at = [&](int off) -> unsigned { return off < left ? p[off] : 0u; };
  auto le16 = [&](int off) { return at(off) | (at(off + 1) << 8); };
  auto le24 = [&](int off) { return at(off) | (at(off + 1) << 8) | (at(off + 2) << 16); };
  auto le32 = [&](int off) { return le24(off) | (at(off + 3) << 24); };
  auto be32 = [&](int off) {
    return (at(off) << 24) | (at(off + 1) << 16) | (at(off + 2) << 8) | at(off + 3);
  };

  int off_filter = 0;
  if (format < 128) {
    u_adler = le32(8);
    c_adler = le32(12);
    if (format == UPX_F_DOS_COM || format == UPX_F_DOS_SYS) {
      u_len = le16(16);
      c_len = le16(18);
      u_file_size = u_len;
      off_filter = 20;
    } else if (format == UPX_F_DOS_EXE || format == UPX_F_DOS_EXEH) {
      u_len = le24(16);
      c_len = le24(19);
      u_file_size = le24(22);
      off_filter = 25;
    } else {
      u_len = le32(16);
      c_len = le32(20);
      u_file_size = le32(24);
      off_filter = 28;
      filter_cto = int(at(29));
      n_mru = at(30) ? 1 + int(at(30)) : 0;
    }
  } else {
    u_len = be32(8);
    c_len = be32(12);
    u_adler = be32(16);
    c_adler = be32(20);
    u_file_size = be32(24);
    off_filter = 28;
    filter_cto = int(at(29));
    n_mru = at(30) ? 1 + int(at(30)) : 0;
  }

  if (version >= 10) {
    filter = int(at(off_filter));
  } else if ((level & 128) == 0) {
    filter = 0;
  } else {
    level &= 127;
    if (format == UPX_F_DOS_COM || format == UPX_F_DOS_SYS)
      filter = 0x06;
    else
      filter = 0x26;
  }
  level &= 15;

  if (version == 0xFF) raiseCannotPack("cannot unpack UPX ;-)");

  if (version >= 10) {
    header_checksum = int(p[size - 1]);
    if (header_checksum != packHeaderChecksum(p, size - 1)) raiseCannotPack("header corrupted 3");
  }

  if (c_len < 2 || u_len < 2 || c_len > UPX_RSIZE_MAX || u_len > UPX_RSIZE_MAX)
    raiseCannotPack("header corrupted 4");

  buf_offset = unsigned(boff);
  return true;
}

void PackHeader::putPackHeader(upx_byte* p) {
  UPX_ASSERT(get_le32(p) == UPX_MAGIC_LE32);
  if (get_le32(p + 4) != UPX_MAGIC2_LE32) raiseInternalError("bad loader");

  int size = 0;
  int old_chk = 0;
  if (format < 128) {
    if (format == UPX_F_DOS_COM || format == UPX_F_DOS_SYS) {
      size = 22;
      old_chk = packHeaderChecksum(p, size - 1);
      set_le16(p + 16, u_len);
      set_le16(p + 18, c_len);
      p[20] = upx_byte(filter);
    } else if (format == UPX_F_DOS_EXE) {
      size = 27;
      old_chk = packHeaderChecksum(p, size - 1);
      set_le24(p + 16, u_len);
      set_le24(p + 19, c_len);
      set_le24(p + 22, u_file_size);
      p[25] = upx_byte(filter);
    } else if (format == UPX_F_DOS_EXEH) {
      raiseInternalError("invalid format");
    } else {
      size = 32;
      old_chk = packHeaderChecksum(p, size - 1);
      set_le32(p + 16, u_len);
      set_le32(p + 20, c_len);
      set_le32(p + 24, u_file_size);
      p[28] = upx_byte(filter);
      p[29] = upx_byte(filter_cto);
      UPX_ASSERT(n_mru == 0 || (n_mru >= 2 && n_mru <= 256));
      p[30] = upx_byte(n_mru ? n_mru - 1 : 0);
    }
    set_le32(p + 8, u_adler);
    set_le32(p + 12, c_adler);
  } else {
    size = 32;
    old_chk = packHeaderChecksum(p, size - 1);
    set_be32(p + 8, u_len);
    set_be32(p + 12, c_len);
    set_be32(p + 16, u_adler);
    set_be32(p + 20, c_adler);
    set_be32(p + 24, u_file_size);
    p[28] = upx_byte(filter);
    p[29] = upx_byte(filter_cto);
    UPX_ASSERT(n_mru == 0 || (n_mru >= 2 && n_mru <= 256));
    p[30] = upx_byte(n_mru ? n_mru - 1 : 0);
  }
  p[4] = upx_byte(version);
  p[5] = upx_byte(format);
  p[6] = upx_byte(method);
  p[7] = upx_byte(level);
  UPX_ASSERT(size == getPackHeaderSize());
  if (p[size - 1] != 0 && p[size - 1] != old_chk) raiseInternalError("bad loader");
  p[size - 1] = upx_byte(packHeaderChecksum(p, size - 1));
}

}  // namespace upx
