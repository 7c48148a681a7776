#include "common/RegText.h"

#include <cstdio>
#include <cwchar>

#include "common/TextSearch.h"

namespace {

const size_t kContinuationLen = 5;

size_t PhysicalLineLength(const std::wstring& s) {
  size_t nl = s.rfind(L'\n');
  return nl == std::wstring::npos ? s.size() : s.size() - nl - 1;
}

bool EndsWithContinuation(const std::wstring& s) {
  return s.size() >= kContinuationLen &&
         s.compare(s.size() - kContinuationLen, kContinuationLen, kRegLineContinuation) == 0;
}

// Appends "lo,hi," for each character, breaking the line before a pair
// would take it past `size` characters (12 = one pair plus room for the
// continuation's backslash, as the line rule has always counted).
void AppendHexPairs(std::wstring& out, size_t size, const wchar_t* data, size_t count) {
  static const wchar_t kDigits[] = L"0123456789abcdef";
  for (size_t i = 0; i < count; ++i) {
    if (PhysicalLineLength(out) + 12 > size) out += kRegLineContinuation;
    unsigned c = data[i];
    const wchar_t pair[] = {kDigits[(c >> 4) & 15],  kDigits[c & 15],        L',',
                            kDigits[(c >> 12) & 15], kDigits[(c >> 8) & 15], L','};
    out.append(pair, 6);
  }
}

// The last n characters of the line with continuations taken out.
std::wstring HexTail(const std::wstring& s, size_t n) {
  std::wstring tail;
  size_t end = s.size();
  while (end && tail.size() < n) {
    if (end >= kContinuationLen &&
        s.compare(end - kContinuationLen, kContinuationLen, kRegLineContinuation) == 0) {
      end -= kContinuationLen;
      continue;
    }
    tail.insert(tail.begin(), s[--end]);
  }
  return tail;
}

}  // namespace

int EscapeRegString(const wchar_t* text, wchar_t* out, int size) {
  if (!text) text = L"";
  bool full = !out || size <= 0;
  int needed = 0, written = 0;
  for (const wchar_t* p = text; *p; ++p) {
    bool esc = *p == L'\\' || *p == L'"';
    int n = esc ? 2 : 1;
    if (!full && written + n < size) {
      if (esc) out[written++] = L'\\';
      out[written++] = *p;
    } else {
      full = true;  // nothing after a piece that did not fit
    }
    needed += n;
  }
  if (out && size > 0) out[written] = 0;
  return needed;
}

size_t FormatRegHexString(std::wstring& out, size_t size, const wchar_t* data, size_t count,
                          unsigned type) {
  if (size < 32) size = 32;
  // The type in hexadecimal, as every .reg reader reads it ("hex(b):" is a
  // REG_QWORD).
  wchar_t prefix[24];
  _snwprintf(prefix, 24, L"hex(%x):", type);
  prefix[23] = 0;
  out = prefix;
  AppendHexPairs(out, size, data, data ? count : 0);
  if (type == 7) {
    if (!out.empty() && out.back() == L',') out.pop_back();
  } else {
    if (PhysicalLineLength(out) + 12 > size) out += kRegLineContinuation;
    out += L"00,00";
  }
  return out.size();
}

std::wstring FormatRegHexBytes(unsigned type, const uint8_t* data, size_t length) {
  static const wchar_t kDigits[] = L"0123456789abcdef";
  wchar_t prefix[24];
  if (type == 3)
    wcscpy(prefix, L"hex:");
  else
    _snwprintf(prefix, 24, L"hex(%x):", type);
  prefix[23] = 0;
  std::wstring out = prefix;
  for (size_t i = 0; i < length; ++i) {
    if (PhysicalLineLength(out) + 12 > kRegHexLineMax) out += kRegLineContinuation;
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 15];
    if (i + 1 < length) out += L',';
  }
  return out;
}

size_t FormatRegMultiSzHex(std::wstring& line, const wchar_t* data, size_t count) {
  if (line.size() >= 18 && line.compare(0, 7, L"hex(7):") == 0 &&
      HexTail(line, 11) == L"00,00,00,00") {
    line.resize(line.size() - 5);  // the list's closing "00,00"
    if (EndsWithContinuation(line)) line.resize(line.size() - kContinuationLen);
  }
  AppendHexPairs(line, kRegHexLineMax, data, data ? count : 0);
  if (!line.empty() && line.back() == L',') line.pop_back();
  return line.size();
}

std::wstring MapCurrentControlSet(const std::wstring& machineKey, uint32_t controlSet) {
  static const wchar_t kLink[] = L"SYSTEM\\CurrentControlSet";
  const size_t n = sizeof kLink / sizeof kLink[0] - 1;
  if (machineKey.size() < n || CompareNoCaseN(machineKey.c_str(), kLink, n) != 0 ||
      (machineKey.size() > n && machineKey[n] != L'\\'))
    return machineKey;
  wchar_t set[32];
  _snwprintf(set, 32, L"SYSTEM\\ControlSet%03u", unsigned(controlSet));
  set[31] = 0;
  return set + machineKey.substr(n);
}
