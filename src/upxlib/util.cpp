// byte-order policies, search and path utilities, self-test.
#include "upxlib/util.h"

#include <cwchar>

#include "upxlib/bele.h"
#include "upxlib/compress.h"
#include "upxlib/except.h"

namespace upx {

namespace N_BELE_RTP {

const LEPolicy le_policy;
const BEPolicy be_policy;

template <class T>
static int cmp3(T a, T b) {
  return a < b ? -1 : (a == b ? 0 : 1);
}

int AbstractPolicy::compare16(const void* a, const void* b) const {
  return cmp3(get16(a), get16(b));
}
int AbstractPolicy::compare24(const void* a, const void* b) const {
  return cmp3(get24(a), get24(b));
}
int AbstractPolicy::compare32(const void* a, const void* b) const {
  return cmp3(get32(a), get32(b));
}
int AbstractPolicy::compare64(const void* a, const void* b) const {
  return cmp3(get64(a), get64(b));
}
int AbstractPolicy::compare16_signed(const void* a, const void* b) const {
  return cmp3(get16_signed(a), get16_signed(b));
}
int AbstractPolicy::compare24_signed(const void* a, const void* b) const {
  return cmp3(get24_signed(a), get24_signed(b));
}
int AbstractPolicy::compare32_signed(const void* a, const void* b) const {
  return cmp3(get32_signed(a), get32_signed(b));
}
int AbstractPolicy::compare64_signed(const void* a, const void* b) const {
  return cmp3(get64_signed(a), get64_signed(b));
}

}  // namespace N_BELE_RTP

int find(const void* b, int blen, const void* what, int wlen) {
  if (!b || !what || blen <= 0 || wlen <= 0 || blen < wlen) return -1;
  const upx_byte* base = static_cast<const upx_byte*>(b);
  const upx_byte* w = static_cast<const upx_byte*>(what);
  for (int i = 0; i <= blen - wlen; i++)
    if (base[i] == w[0] && memcmp(base + i, w, wlen) == 0) return i;
  return -1;
}

int find_be16(const void* b, int blen, unsigned what) {
  upx_byte w[2];
  set_be16(w, what);
  return find(b, blen, w, 2);
}
int find_be32(const void* b, int blen, unsigned what) {
  upx_byte w[4];
  set_be32(w, what);
  return find(b, blen, w, 4);
}
int find_le16(const void* b, int blen, unsigned what) {
  upx_byte w[2];
  set_le16(w, what);
  return find(b, blen, w, 2);
}
int find_le32(const void* b, int blen, unsigned what) {
  upx_byte w[4];
  set_le32(w, what);
  return find(b, blen, w, 4);
}

int mem_replace(void* bb, int blen, const void* what, int wlen, const void* r) {
  upx_byte* b = static_cast<upx_byte*>(bb);
  int boff = 0, n = 0;
  while (blen - boff >= wlen) {
    int off = find(b + boff, blen - boff, what, wlen);
    if (off < 0) break;
    boff += off;
    memcpy(b + boff, r, wlen);
    boff += wlen;
    n++;
  }
  return n;
}

int ptr_distance(const void* a, const void* b) {
  UPX_ASSERT(a != nullptr && b != nullptr);
  ptrdiff_t d = static_cast<const upx_byte*>(a) - static_cast<const upx_byte*>(b);
  UPX_ASSERT(d >= -ptrdiff_t(UPX_RSIZE_MAX) && d <= ptrdiff_t(UPX_RSIZE_MAX));
  return int(d);
}

const wchar_t* fileNamePart(const wchar_t* path) {
  const wchar_t* p = path;
  if (p[0] && p[1] == L':') p += 2;
  const wchar_t* n = p;
  for (; *p; p++)
    if (*p == L'/' || *p == L'\\') n = p + 1;
  return n;
}

static bool eqScr(const wchar_t* s) {
  if (wcslen(s) != 3) return false;
  return (s[0] | 0x20) == L's' && (s[1] | 0x20) == L'c' && (s[2] | 0x20) == L'r';
}

bool hasScreenSaverExtension(const wchar_t* path) {
  const wchar_t* n = fileNamePart(path);
  if (!*n) return false;
  const wchar_t* dot = wcsrchr(n, L'.');
  if (dot) return eqScr(dot + 1);
  return eqScr(n + 1);
}

// ---- self-test ----

template <class T>
static bool testFieldType() {
  T all, a, b;
  all = 0;
  all -= 1;
  a = 1;
  a *= 2;
  a -= 1;
  b = 1;
  if (!(a == b) || (a != b) || !(a <= b) || !(a >= b) || (a < b) || (a > b)) return false;
  b ^= all;
  if ((a == b) || !(a != b) || !(a <= b) || (a >= b) || !(a < b) || (a > b)) return false;
  b += 2;
  if (!(a == 1) || !(b == 0)) return false;
  a <<= 1;
  a |= b;
  a >>= 1;
  b &= a;
  b /= a;
  b *= a;
  if (!(a == 1) || !(b == 0)) return false;
  return (a ^ b) == 1;
}

bool testFieldTypes() {
  return testFieldType<LE16>() && testFieldType<LE32>() && testFieldType<LE64>() &&
         testFieldType<BE16>() && testFieldType<BE32>() && testFieldType<BE64>();
}

bool selfTest() {
  using namespace N_BELE_RTP;
  UPX_ASSERT(strlen(UPX_VERSION_STRING) == 4);
  UPX_ASSERT(strlen(UPX_VERSION_YEAR) == 4);
  size_t dl = strlen(UPX_VERSION_DATE);
  UPX_ASSERT(dl >= 4 && memcmp(UPX_VERSION_DATE + dl - 4, UPX_VERSION_YEAR, 4) == 0);
  UPX_ASSERT(testFieldTypes());
  static const upx_byte d[8] = {0xFF, 0xFE, 0xFD, 0xFC, 0xFB, 0xFA, 0xF9, 0xF8};
  UPX_ASSERT(upx_adler32(d, 4) == 0x09F003F7u);
  UPX_ASSERT(upx_adler32(d, 4, 0) == 0x09EC03F6u);
  UPX_ASSERT(upx_adler32(d, 4, 1) == 0x09F003F7u);
  const AbstractPolicy* be = &be_policy;
  const AbstractPolicy* le = &le_policy;
  UPX_ASSERT(be->get16(d) == 0xFFFE);
  UPX_ASSERT(be->get24(d) == 0xFFFEFD);
  UPX_ASSERT(be->get32(d) == 0xFFFEFDFC);
  UPX_ASSERT(get_le16(d) == 0xFEFF);
  UPX_ASSERT(le->get16(d) == 0xFEFF);
  UPX_ASSERT(get_le16_signed(d) == -257);
  UPX_ASSERT(le->get24(d) == 0xFDFEFF);
  UPX_ASSERT(get_le32(d) == 0xFCFDFEFF);
  UPX_ASSERT(le->get32(d) == 0xFCFDFEFF);
  UPX_ASSERT(get_le32_signed(d) == -50462977);
  UPX_ASSERT(get_le64_signed(d) == -506097522914230529LL);
  UPX_ASSERT(find_be16(d, 2, 0xFFFE) == 0);
  UPX_ASSERT(find_le16(d, 2, 0xFEFF) == 0);
  UPX_ASSERT(find_be32(d, 4, 0xFFFEFDFC) == 0);
  UPX_ASSERT(find_le32(d, 4, 0xFCFDFEFF) == 0);
  static const upx_byte e[8] = {0x7F, 0x7E, 0x7D, 0x7C, 0x7B, 0x7A, 0x79, 0x78};
  UPX_ASSERT(get_be64_signed(e) == 9186918263483431288LL);
  return true;
}

}  // namespace upx
