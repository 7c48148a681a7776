// the library's own bounded formatting.
#include <cstdarg>
#include <cstdint>

#include "upxlib/except.h"
#include "upxlib/util.h"

namespace upx {

namespace {

struct Out {
  char* str;
  size_t max_size;
  size_t len;
  void put(char c) {
    if (str && len < max_size) str[len] = c;
    len++;
    if (len >= UPX_RSIZE_MAX_STR) raiseInternalError("upx_vsnprintf: text too long");
  }
  void pad(int n, char c) {
    while (n-- > 0) put(c);
  }
};

const char kLower[] = "0123456789abcdef";
const char kUpper[] = "0123456789ABCDEF";

void fmtInt(Out& o, upx_uint64_t uv, bool negative, bool is_signed, unsigned base,
            const char* digits, int flags_minus, int flags_plus, int flags_space, int flags_zero,
            int width, int prec, const char* prefix = "") {
  char buf[72];
  int n = 0;
  if (uv == 0 && prec != 0) buf[n++] = '0';
  while (uv != 0 && n < 64) {
    buf[n++] = digits[uv % base];
    uv /= base;
  }
  char sign = 0;
  if (is_signed) {
    if (negative)
      sign = '-';
    else if (flags_plus)
      sign = '+';
    else if (flags_space)
      sign = ' ';
  }
  int zeros = prec > n ? prec - n : 0;
  int plen = int(strlen(prefix));
  int total = n + zeros + (sign ? 1 : 0) + plen;
  int padlen = width > total ? width - total : 0;
  if (flags_zero && !flags_minus && prec < 0) {
    zeros += padlen;
    padlen = 0;
  }
  if (!flags_minus) o.pad(padlen, ' ');
  if (sign) o.put(sign);
  for (int i = 0; i < plen; i++) o.put(prefix[i]);
  o.pad(zeros, '0');
  while (n > 0) o.put(buf[--n]);
  if (flags_minus) o.pad(padlen, ' ');
}

}  // namespace

int upx_vsnprintf(char* str, size_t max_size, const char* format, va_list ap) {
  UPX_ASSERT(max_size <= UPX_RSIZE_MAX_STR);
  if (str)
    UPX_ASSERT(max_size > 0);
  else
    UPX_ASSERT(max_size == 0);
  UPX_ASSERT(format != nullptr);
  Out o{str, max_size, 0};
  const char* f = format;
  while (*f) {
    if (*f != '%') {
      o.put(*f++);
      continue;
    }
    f++;
    int fminus = 0, fplus = 0, fspace = 0, fzero = 0, fhash = 0;
    for (;; f++) {
      if (*f == '-')
        fminus = 1;
      else if (*f == '+')
        fplus = 1;
      else if (*f == ' ')
        fspace = 1;
      else if (*f == '0')
        fzero = 1;
      else if (*f == '#')
        fhash = 1;
      else
        break;
    }
    int width = 0;
    if (*f == '*') {
      width = va_arg(ap, int);
      if (width < 0) {
        fminus = 1;
        width = -width;
      }
      f++;
    } else {
      while (*f >= '0' && *f <= '9') {
        width = width * 10 + (*f++ - '0');
        UPX_ASSERT(width < int(UPX_RSIZE_MAX_STR));
      }
    }
    UPX_ASSERT(width > -int(UPX_RSIZE_MAX_STR) && width < int(UPX_RSIZE_MAX_STR));
    int prec = -1;
    if (*f == '.') {
      f++;
      prec = 0;
      if (*f == '*') {
        prec = va_arg(ap, int);
        f++;
        if (prec < 0) prec = -1;
      } else {
        while (*f >= '0' && *f <= '9') {
          prec = prec * 10 + (*f++ - '0');
          UPX_ASSERT(prec < int(UPX_RSIZE_MAX_STR));
        }
      }
    }
    UPX_ASSERT(prec < int(UPX_RSIZE_MAX_STR));
    enum { L_INT, L_CHAR, L_SHORT, L_LONG, L_LLONG, L_SIZE, L_LDOUBLE } lm = L_INT;
    if (*f == 'h') {
      f++;
      if (*f == 'h') {
        f++;
        lm = L_CHAR;
      } else
        lm = L_SHORT;
    } else if (*f == 'l') {
      f++;
      if (*f == 'l') {
        f++;
        lm = L_LLONG;
      } else
        lm = L_LONG;
    } else if (*f == 'j') {
      f++;
      lm = L_LLONG;
    } else if (*f == 'z' || *f == 't') {
      f++;
      lm = L_SIZE;
    } else if (*f == 'L') {
      f++;
      lm = L_LDOUBLE;
    }
    char c = *f;
    if (c == 0) raiseInternalError("upx_vsnprintf: bad format");
    f++;
    switch (c) {
      case 'd':
      case 'i': {
        upx_int64_t v;
        if (lm == L_LLONG)
          v = va_arg(ap, long long);
        else if (lm == L_LONG)
          v = va_arg(ap, long);
        else if (lm == L_SIZE)
          v = va_arg(ap, ptrdiff_t);
        else
          v = va_arg(ap, int);
        if (lm == L_CHAR)
          v = (signed char)v;
        else if (lm == L_SHORT)
          v = (short)v;
        bool neg = v < 0;
        upx_uint64_t uv = neg ? upx_uint64_t(0) - upx_uint64_t(v) : upx_uint64_t(v);
        fmtInt(o, uv, neg, true, 10, kLower, fminus, fplus, fspace, fzero, width, prec);
        break;
      }
      case 'u':
      case 'o':
      case 'x':
      case 'X':
      case 'p': {
        upx_uint64_t v;
        if (c == 'p')
          v = reinterpret_cast<uintptr_t>(va_arg(ap, void*));
        else if (lm == L_LLONG)
          v = va_arg(ap, unsigned long long);
        else if (lm == L_LONG)
          v = va_arg(ap, unsigned long);
        else if (lm == L_SIZE)
          v = va_arg(ap, size_t);
        else
          v = va_arg(ap, unsigned);
        if (lm == L_CHAR)
          v = (unsigned char)v;
        else if (lm == L_SHORT)
          v = (unsigned short)v;
        unsigned base = (c == 'o') ? 8 : (c == 'u') ? 10 : 16;
        // "#" as in ISO C: 0x / 0X before a non-zero hexadecimal value
        const char* prefix = "";
        if (fhash && v != 0 && c == 'x')
          prefix = "0x";
        else if (fhash && v != 0 && c == 'X')
          prefix = "0X";
        fmtInt(o, v, false, false, base, c == 'X' ? kUpper : kLower, fminus, fplus, fspace, fzero,
               width, prec, prefix);
        break;
      }
      case 'c': {
        char ch = char(va_arg(ap, int));
        if (!fminus) o.pad(width - 1, ' ');
        o.put(ch);
        if (fminus) o.pad(width - 1, ' ');
        break;
      }
      case 's': {
        const char* s = va_arg(ap, const char*);
        if (!s) s = "(NULL)";
        int n = 0;
        while (s[n] && (prec < 0 || n < prec)) {
          n++;
          UPX_ASSERT(n < int(UPX_RSIZE_MAX_STR));
        }
        if (!fminus) o.pad(width - n, ' ');
        for (int i = 0; i < n; i++) o.put(s[i]);
        if (fminus) o.pad(width - n, ' ');
        break;
      }
      case 'n': {
        int* p = va_arg(ap, int*);
        UPX_ASSERT(p != nullptr);
        *p = int(o.len);
        break;
      }
      case '%':
        o.put('%');
        break;
      default:
        raiseInternalError("upx_vsnprintf: unsupported conversion");
    }
  }
  size_t len = o.len;
  o.put('\0');
  // the whole text with its NUL must fit
  if (str && len + 1 > max_size) {
    str[max_size - 1] = 0;
    raiseInternalError("upx_vsnprintf: text does not fit");
  }
  return int(len);
}

int upx_snprintf(char* str, size_t max_size, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  int r;
  try {
    r = upx_vsnprintf(str, max_size, format, ap);
  } catch (...) {
    va_end(ap);
    throw;
  }
  va_end(ap);
  return r;
}

size_t upx_strlen(const char* s) {
  UPX_ASSERT(s != nullptr);
  size_t n = strlen(s);
  UPX_ASSERT(n < UPX_RSIZE_MAX_STR);
  return n;
}

}  // namespace upx
