#include "common/Format.h"

#include <cwchar>

namespace {

// Writes with _vsnwprintf, always terminated; returns the characters written.
int PrintTo(wchar_t* out, int outSize, const wchar_t* format, ...) {
  if (!out || outSize <= 0) return 0;
  va_list args;
  va_start(args, format);
  int n = _vsnwprintf(out, outSize, format, args);
  va_end(args);
  if (n < 0 || n >= outSize) n = outSize - 1;
  out[n] = 0;
  return n;
}

}  // namespace

void FormatByteSize(uint64_t size, const wchar_t* bytesFormat, wchar_t* out, int outSize) {
  const uint64_t k = size >> 10;
  // The format comes from a string table: only one with its number is used.
  if (!bytesFormat || !wcsstr(bytesFormat, L"%u")) bytesFormat = L"%u B";
  if (size < 1024)
    PrintTo(out, outSize, bytesFormat, static_cast<unsigned>(size));
  else if (k < 1024)
    PrintTo(out, outSize, L"%u KB", static_cast<unsigned>(k));
  else if (k < (1ull << 20))
    PrintTo(out, outSize, L"%u.%02u MB", static_cast<unsigned>(size >> 20),
            static_cast<unsigned>(((k & 0x3FF) * 100) >> 10));
  else if (k < (1ull << 30))
    PrintTo(out, outSize, L"%u.%02u GB", static_cast<unsigned>(size >> 30),
            static_cast<unsigned>(((k & 0xFFFFF) * 100) >> 20));
  else
    PrintTo(out, outSize, L"%I64u.%02u TB", size >> 40,
            static_cast<unsigned>(((k & 0x3FFFFFFF) * 100) >> 30));
}

int FormatThousands(wchar_t* out, int outSize, uint64_t v) {
  const uint64_t K = 1000;
  if (v < K) return PrintTo(out, outSize, L"%I64u", v);
  if (v < K * K) return PrintTo(out, outSize, L"%I64u,%03I64u", v / K, v % K);
  if (v < K * K * K)
    return PrintTo(out, outSize, L"%I64u,%03I64u,%03I64u", v / (K * K), v / K % K, v % K);
  if (v < K * K * K * K)
    return PrintTo(out, outSize, L"%I64u,%03I64u,%03I64u,%03I64u", v / (K * K * K), v / (K * K) % K,
                   v / K % K, v % K);
  return PrintTo(out, outSize, L"%I64u,%03I64u,%03I64u,%03I64u,%03I64u", v / (K * K * K * K),
                 v / (K * K * K) % K, v / (K * K) % K, v / K % K, v % K);
}

int FormatFileTime(wchar_t* out, int outSize, const FILETIME& utc) {
  FILETIME local;
  SYSTEMTIME st;
  if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &st)) {
    if (out && outSize > 0) out[0] = 0;
    return 0;
  }
  return PrintTo(out, outSize, L"%04d-%02d-%02d %02d:%02d:%02d", st.wYear, st.wMonth, st.wDay,
                 st.wHour, st.wMinute, st.wSecond);
}
