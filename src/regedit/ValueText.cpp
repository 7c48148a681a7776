#include "regedit/ValueText.h"

#include <stdio.h>
#include <string.h>

namespace {

const wchar_t* const kTypeNames[] = {
    L"REG_NONE",
    L"REG_SZ",
    L"REG_EXPAND_SZ",
    L"REG_BINARY",
    L"REG_DWORD",
    L"REG_DWORD_BIG_ENDIAN",
    L"REG_LINK",
    L"REG_MULTI_SZ",
    L"REG_RESOURCE_LIST",
    L"REG_FULL_RESOURCE_DESCRIPTOR",
    L"REG_RESOURCE_REQUIREMENTS_LIST",
    L"REG_QWORD",
};
const uint32_t kNamedTypes = 12;
const int kMaxDataBytesShown = 32;

// Up to `count` little-endian bytes from the data, missing ones zero.
uint64_t LoadLittle(const uint8_t* data, uint32_t length, uint32_t count) {
  uint64_t v = 0;
  for (uint32_t i = 0; i < count && i < length; ++i) v |= (uint64_t)data[i] << (8 * i);
  return v;
}

void Finish(wchar_t* out, int outSize) {
  out[outSize - 1] = 0;
}

// UTF-16 units of the data (an odd last byte is left out), as text.
void CopyUnits(const uint8_t* data, uint32_t length, bool multi, wchar_t* out, int outSize) {
  uint32_t units = length / 2;
  uint32_t n = 0;
  for (; n < units && n + 1 < (uint32_t)outSize; ++n) {
    wchar_t c = (wchar_t)(data[2 * n] | (data[2 * n + 1] << 8));
    if (c == 0) {
      if (!multi || n + 1 == units) break;
      c = L' ';
    }
    out[n] = c;
  }
  out[n] = 0;
}

}  // namespace

void FormatValueTypeName(uint32_t type, wchar_t* out, int outSize) {
  if (type < kNamedTypes)
    _snwprintf(out, outSize, L"%s", kTypeNames[type]);
  else
    _snwprintf(out, outSize, L"0x%08x", type);
  Finish(out, outSize);
}

int ValueTypeImage(uint32_t type) {
  switch (type) {
    case REG_NONE:
    case REG_SZ:
    case REG_EXPAND_SZ:
    case REG_LINK:
    case REG_MULTI_SZ:
      return VALUE_IMAGE_STRING;
    default:
      return VALUE_IMAGE_BINARY;
  }
}

void FormatValueData(uint32_t type, const uint8_t* data, uint32_t length, wchar_t* out,
                     int outSize) {
  if (outSize <= 0) return;
  out[0] = 0;
  if (!data) length = 0;
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      CopyUnits(data, length, false, out, outSize);
      return;
    case REG_MULTI_SZ:
      CopyUnits(data, length, true, out, outSize);
      return;
    case REG_DWORD: {
      uint32_t v = (uint32_t)LoadLittle(data, length, 4);
      _snwprintf(out, outSize, L"0x%08x (%u)", v, v);
      break;
    }
    case REG_DWORD_BIG_ENDIAN: {
      uint32_t v = 0;
      for (uint32_t i = 0; i < 4; ++i) v = (v << 8) | (i < length ? data[i] : 0);
      _snwprintf(out, outSize, L"0x%08x (%u)", v, v);
      break;
    }
    case REG_QWORD: {
      uint64_t v = LoadLittle(data, length, 8);
      if ((v >> 32) == 0)
        _snwprintf(out, outSize, L"0x%08x (%u)", (uint32_t)v, (uint32_t)v);
      else
        _snwprintf(out, outSize, L"0x%I64x (%I64u)", v, v);
      break;
    }
    default: {
      int pos = 0;
      for (uint32_t i = 0; i < length && i < (uint32_t)kMaxDataBytesShown && pos + 4 <= outSize;
           ++i) {
        _snwprintf(out + pos, outSize - pos, L"%02x ", data[i]);
        pos += 3;
      }
      out[pos] = 0;
      return;
    }
  }
  Finish(out, outSize);
}

int CompareNamesAsciiNoCase(const wchar_t* a, const wchar_t* b) {
  for (;; ++a, ++b) {
    int ca = *a, cb = *b;
    if (ca >= L'a' && ca <= L'z') ca -= 32;
    if (cb >= L'a' && cb <= L'z') cb -= 32;
    if (ca != cb || ca == 0) return ca - cb;
  }
}

uint32_t ValueTypeFromName(const wchar_t* text) {
  for (uint32_t i = 0; i < kNamedTypes; ++i)
    if (!_wcsicmp(text, kTypeNames[i])) return i;
  if ((text[0] == L'0') && (text[1] == L'x' || text[1] == L'X'))
    return (uint32_t)ParseValueNumber(text, 16);
  return REG_BINARY;
}

uint64_t ParseValueNumber(const wchar_t* text, int base) {
  const wchar_t* p = text;
  while (*p == L' ' || (*p >= L'\t' && *p <= L'\r')) ++p;
  bool negative = false;
  if (*p == L'+' || *p == L'-') negative = *p++ == L'-';
  if (base == 16 && p[0] == L'0' && (p[1] == L'x' || p[1] == L'X')) p += 2;
  uint64_t v = 0;
  bool overflow = false;
  for (;; ++p) {
    int digit;
    if (*p >= L'0' && *p <= L'9')
      digit = *p - L'0';
    else if (*p >= L'a' && *p <= L'z')
      digit = *p - L'a' + 10;
    else if (*p >= L'A' && *p <= L'Z')
      digit = *p - L'A' + 10;
    else
      break;
    if (digit >= base) break;
    if (v > (UINT64_MAX - (uint64_t)digit) / (uint64_t)base) overflow = true;
    v = v * (uint64_t)base + (uint64_t)digit;
  }
  if (overflow) return UINT64_MAX;
  return negative ? (uint64_t)0 - v : v;
}
