// Names: checking UTF-16 name components, building short names with their
// case flags and "~n" suffixes, and the checksums and hashes of both formats.
#include "image/fat/FatInternal.h"
#include "image/fat/FatCodePage.h"

static bool IsRefused(uint16_t c) {
  return c < 0x20 || c == '"' || c == '*' || c == ':' || c == '<' || c == '>' || c == '?' ||
         c == '|' || c == 0x7F || c == '/' || c == '\\';
}

int FatCreateName(const uint16_t* comp, uint32_t len, FatName* name, bool exfat) {
  memset(name->sfn, ' ', 11);
  name->caseFlags = 0;
  name->needLfn = 0;
  name->lossy = 0;
  name->dot = 0;
  name->length = 0;
  if (len > 255) return FAT_INVALID_NAME;
  for (uint32_t i = 0; i < len; i++) {
    uint16_t c = comp[i];
    if (IsRefused(c)) return FAT_INVALID_NAME;
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= len || comp[i + 1] < 0xDC00 || comp[i + 1] > 0xDFFF) return FAT_INVALID_NAME;
      i++;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return FAT_INVALID_NAME;
    }
  }
  if ((len == 1 && comp[0] == '.') || (len == 2 && comp[0] == '.' && comp[1] == '.')) {
    name->dot = (uint8_t)len;
    memcpy(name->sfn, len == 1 ? ".          " : "..         ", 11);
    name->lfn[0] = '.';
    name->lfn[1] = '.';
    name->lfn[len] = 0;
    name->length = len;
    return FAT_OK;
  }
  while (len && (comp[len - 1] == ' ' || comp[len - 1] == '.')) len--;
  if (!len) return FAT_INVALID_NAME;
  memcpy(name->lfn, comp, len * 2);
  name->lfn[len] = 0;
  name->length = len;
  if (exfat) return FAT_OK;

  bool lossy = false, foldLost = false;
  bool lower[2] = {false, false}, upper[2] = {false, false};
  uint32_t si = 0;
  while (si < len && (comp[si] == ' ' || comp[si] == '.')) si++;
  if (si) lossy = true;
  int dotPos = -1;
  for (uint32_t i = si; i < len; i++)
    if (comp[i] == '.') dotPos = (int)i;
  uint32_t at = 0, limit = 8;
  int part = 0;
  for (uint32_t i = si; i < len; i++) {
    uint16_t c = comp[i];
    if ((int)i == dotPos) {
      part = 1;
      at = 8;
      limit = 11;
      continue;
    }
    if (c == ' ' || c == '.') {
      lossy = true;
      continue;
    }
    uint8_t bytes[2];
    uint32_t nb = 1;
    if (c >= 0xD800 && c <= 0xDBFF) {
      i++;
      bytes[0] = '_';
      lossy = true;
    } else if (c >= 0x80) {
      uint16_t up = FatUpcase(c);
      if (up != c) foldLost = true;  // case flags cover ASCII letters only
      uint16_t code = FatWideToOem(up);
      if (!code) {
        bytes[0] = '_';
        lossy = true;
      } else if (code > 0xFF) {
        bytes[0] = (uint8_t)(code >> 8);
        bytes[1] = (uint8_t)code;
        nb = 2;
      } else {
        bytes[0] = FatOemUpperByte((uint8_t)code);
        if (bytes[0] != (uint8_t)code) foldLost = true;
      }
    } else if (c == '+' || c == ',' || c == ';' || c == '=' || c == '[' || c == ']') {
      bytes[0] = '_';
      lossy = true;
    } else {
      if (c >= 'a' && c <= 'z') {
        lower[part] = true;
        c -= 0x20;
      } else if (c >= 'A' && c <= 'Z') {
        upper[part] = true;
      }
      bytes[0] = (uint8_t)c;
    }
    if (at + nb > limit) {
      lossy = true;
      if (part == 0 && dotPos >= 0) {
        i = (uint32_t)dotPos - 1;  // on to the extension
        continue;
      }
      break;
    }
    for (uint32_t k = 0; k < nb; k++) name->sfn[at++] = bytes[k];
  }
  if (name->sfn[0] == ' ') {
    name->sfn[0] = '_';
    lossy = true;
  }
  if (name->sfn[0] == 0xE5) name->sfn[0] = 0x05;
  bool mixed = (lower[0] && upper[0]) || (lower[1] && upper[1]);
  name->needLfn = lossy || mixed || foldLost;
  name->lossy = lossy;
  if (!name->needLfn) name->caseFlags = (lower[0] ? 0x08 : 0) | (lower[1] ? 0x10 : 0);
  return FAT_OK;
}

uint8_t FatSfnChecksum(const uint8_t* sfn) {
  uint8_t sum = 0;
  for (int i = 0; i < 11; i++) sum = (uint8_t)(((sum >> 1) | (sum << 7)) + sfn[i]);
  return sum;
}

uint16_t FatExfatNameHash(const FatWorkArea* fs, const uint16_t* name, uint32_t length) {
  uint16_t hash = 0;
  for (uint32_t i = 0; i < length; i++) {
    uint16_t u = FatVolumeUpcase(fs, name[i]);
    hash = (uint16_t)(((hash & 1) ? 0x8000 : 0) + (hash >> 1) + (u & 0xFF));
    hash = (uint16_t)(((hash & 1) ? 0x8000 : 0) + (hash >> 1) + (u >> 8));
  }
  return hash;
}

uint32_t FatExfatChecksum(const uint8_t* p, uint32_t n, uint32_t sum, bool bootSector) {
  for (uint32_t i = 0; i < n; i++) {
    if (bootSector && (i == 106 || i == 107 || i == 112)) continue;
    sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + p[i];
  }
  return sum;
}

uint16_t FatExfatSetChecksum(const uint8_t* set, uint32_t entries) {
  uint16_t sum = 0;
  for (uint32_t i = 0; i < entries * 32; i++) {
    if (i == 2 || i == 3) continue;
    sum = (uint16_t)(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + set[i]);
  }
  return sum;
}

void FatNumberedSfn(const uint8_t* base, uint8_t* out, const uint16_t* lfn, uint32_t n) {
  if (n >= 6) {
    uint32_t sreg = n;
    for (const uint16_t* p = lfn; *p; p++) {
      uint32_t wc = *p;
      for (int i = 0; i < 16; i++) {
        sreg = (sreg << 1) + (wc & 1);
        wc >>= 1;
        if (sreg & 0x10000) sreg ^= 0x11021;
      }
    }
    n = sreg & 0xFFFF;
  }
  char suffix[10];
  int sl = 0;
  char digits[8];
  int nd = 0;
  do {
    uint32_t d = n % 16;
    digits[nd++] = (char)(d < 10 ? '0' + d : 'A' + d - 10);
    n /= 16;
  } while (n);
  suffix[sl++] = '~';
  while (nd) suffix[sl++] = digits[--nd];
  uint32_t baseLen = 8;
  while (baseLen && base[baseLen - 1] == ' ') baseLen--;
  uint32_t keep = 8u - (uint32_t)sl < baseLen ? 8u - (uint32_t)sl : baseLen;
  uint32_t i = 0;
  while (i < keep) {  // never split a double-byte character
    if (FatIsLeadByte(base[i])) {
      if (i + 2 > keep) break;
      i += 2;
    } else {
      i++;
    }
  }
  memset(out, ' ', 11);
  memcpy(out, base, i);
  memcpy(out + i, suffix, sl);
  memcpy(out + 8, base + 8, 3);
}

void FatSfnToText(const uint8_t* e, uint16_t* out) {
  uint32_t o = 0;
  for (int part = 0; part < 2; part++) {
    int from = part ? 8 : 0, to = part ? 11 : 8;
    while (to > from && e[to - 1] == ' ') to--;
    if (part && to > from) out[o++] = '.';
    bool lower = (e[0x0C] & (part ? 0x10 : 0x08)) != 0;
    for (int i = from; i < to; i++) {
      uint8_t b = e[i];
      if (i == 0 && b == 0x05) b = 0xE5;
      uint16_t w;
      if (b >= 0x80 && FatIsLeadByte(b) && i + 1 < to) {
        w = FatOemToWide((uint16_t)(b << 8 | e[i + 1]));
        i++;
      } else {
        w = FatOemToWide(b);
      }
      if (!w) w = '?';
      if (lower && w >= 'A' && w <= 'Z') w += 0x20;
      out[o++] = w;
    }
  }
  out[o] = 0;
}

bool FatNamesEqual(const FatWorkArea* fs, const uint16_t* a, uint32_t alen, const uint16_t* b,
                   uint32_t blen) {
  if (alen != blen) return false;
  for (uint32_t i = 0; i < alen; i++)
    if (a[i] != b[i] && FatVolumeUpcase(fs, a[i]) != FatVolumeUpcase(fs, b[i])) return false;
  return true;
}
