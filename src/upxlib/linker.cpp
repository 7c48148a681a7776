// the loader stub linker: listing parser, section placement,
// padding, symbols and relocations.
#include "upxlib/linker.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "upxlib/compress.h"
#include "upxlib/except.h"
#include "upxlib/util.h"

namespace upx {

void ElfLinker::fail(const char* fmt, ...) {
  char msg[1024];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(msg, sizeof(msg), fmt, ap);
  va_end(ap);
  raiseInternalError(msg);
}

static char* dupStr(const char* s) {
  size_t n = strlen(s) + 1;
  char* p = static_cast<char*>(malloc(n));
  if (!p) raiseOutOfMemory();
  memcpy(p, s, n);
  return p;
}

template <class T>
static void grow(T**& arr, unsigned count, unsigned& cap) {
  if (count < cap && arr) return;
  unsigned ncap = cap ? cap * 2 : 16;
  T** n = static_cast<T**>(realloc(arr, sizeof(T*) * ncap));
  if (!n) raiseOutOfMemory();
  arr = n;
  cap = ncap;
}

ElfLinker::ElfLinker()
    : bele(&N_BELE_RTP::le_policy),
      input(nullptr),
      inputlen(0),
      output(nullptr),
      outputlen(0),
      outputcap(0),
      head(nullptr),
      tail(nullptr),
      sections(nullptr),
      symbols(nullptr),
      relocations(nullptr),
      first_bytes(0),
      nsections(0),
      nsections_capacity(0),
      nsymbols(0),
      nsymbols_capacity(0),
      nrelocations(0),
      nrelocations_capacity(0),
      reloc_done(false) {}

ElfLinker::~ElfLinker() {
  for (unsigned i = 0; i < nsections; i++) {
    free(sections[i]->name);
    free(sections[i]->input);
    delete sections[i];
  }
  for (unsigned i = 0; i < nsymbols; i++) {
    free(symbols[i]->name);
    delete symbols[i];
  }
  for (unsigned i = 0; i < nrelocations; i++) delete relocations[i];
  free(sections);
  free(symbols);
  free(relocations);
  free(input);
  free(output);
}

void ElfLinker::init(const void* pdata_v, int plen) {
  const upx_byte* pdata = static_cast<const upx_byte*>(pdata_v);
  upx_byte* owned = nullptr;
  if (plen >= 16 && pdata && memcmp(pdata, "UPX#", 4) == 0) {
    int method;
    unsigned u_len, c_len;
    int hlen;
    if (pdata[4] == 0) {
      method = pdata[5];
      u_len = get_le32(pdata + 6);
      c_len = get_le32(pdata + 10);
      hlen = 14;
    } else {
      method = pdata[4];
      u_len = get_le16(pdata + 5);
      c_len = get_le16(pdata + 7);
      hlen = 9;
    }
    if (upx_uint64_t(hlen) + c_len != unsigned(plen) || unsigned(plen) >= u_len ||
        u_len > UPX_RSIZE_MAX)
      raiseInternalError("bad loader");
    owned = static_cast<upx_byte*>(malloc(u_len + 1));
    if (!owned) raiseOutOfMemory();
    unsigned new_len = u_len;
    int r = UPX_E_ERROR;
    try {
      r = upx_decompress(pdata + hlen, c_len, owned, &new_len, method, nullptr);
    } catch (...) {
      free(owned);
      throw;
    }
    if (r != UPX_E_OK || new_len != u_len) {
      free(owned);
      raiseInternalError("bad loader");
    }
    owned[u_len] = 0;
    input = reinterpret_cast<char*>(owned);
    inputlen = int(u_len);
  } else {
    input = static_cast<char*>(malloc(size_t(plen) + 1));
    if (!input) raiseOutOfMemory();
    if (plen) memcpy(input, pdata, plen);
    input[plen] = 0;
    inputlen = plen;
  }
  outputcap = inputlen ? inputlen : 16384;
  output = static_cast<upx_byte*>(calloc(size_t(outputcap), 1));
  if (!output) raiseOutOfMemory();
  outputlen = 0;

  if (inputlen > 47) {
    char* end = input + inputlen;
    char* ps = strstr(input, "Sections:\n");
    if (!ps) fail("bad loader: no Sections");
    char* py = strstr(ps, "SYMBOL TABLE:\n");
    if (!py) fail("bad loader: no SYMBOL TABLE");
    char* pr = strstr(py, "RELOCATION RECORDS FOR ");
    if (!pr) fail("bad loader: no RELOCATION RECORDS");
    preprocessSections(ps, py);
    // the listing ends where the first section's bytes begin
    char* lend = end;
    if (first_bytes && input + first_bytes > pr && input + first_bytes < end)
      lend = input + first_bytes;
    addSection("*ABS*", nullptr, 0, 0);
    addSection("*UND*", nullptr, 0, 0);
    preprocessSymbols(py, pr);
    preprocessRelocations(pr, lend);
  }
}

static char* nextLine(char* p, char* end) {
  while (p < end && *p != '\n') p++;
  return p < end ? p + 1 : end;
}

static void copyLine(char* dst, size_t cap, const char* p, const char* end) {
  size_t n = 0;
  while (p + n < end && p[n] != '\n' && n + 1 < cap) n++;
  memcpy(dst, p, n);
  dst[n] = 0;
}

void ElfLinker::preprocessSections(char* start, char* end) {
  first_bytes = 0;
  char line[2048];
  for (char* p = nextLine(start, end); p < end; p = nextLine(p, end)) {
    copyLine(line, sizeof(line), p, end);
    char name[1024];
    unsigned size = 0, offset = 0;
    int align = 0;
    if (sscanf(line, "%*d %1023s %x %*d %*d %x 2**%d", name, &size, &offset, &align) == 4) {
      if (upx_uint64_t(offset) + size > unsigned(inputlen)) fail("bad loader: section %s", name);
      addSection(name, input + offset, int(size), unsigned(align));
      if (size && (first_bytes == 0 || offset < first_bytes)) first_bytes = offset;
    }
  }
}

void ElfLinker::preprocessSymbols(char* start, char* end) {
  char line[2048];
  for (char* p = nextLine(start, end); p < end; p = nextLine(p, end)) {
    copyLine(line, sizeof(line), p, end);
    unsigned value = 0, dummy = 0;
    char name[1024], section[1024];
    if (sscanf(line, "%x g *ABS* %x %1023s", &value, &dummy, name) == 3) {
      addSymbol(name, "*ABS*", value);
    } else if (sscanf(line, "%x%*c%*c%*c%*c%*c%*c%*c%*c %1023s %*x %1023s", &value, section,
                      name) == 3) {
      if (strcmp(section, "*ABS*") == 0) fail("bad loader: *ABS* symbol %s", name);
      if (strcmp(section, "*UND*") == 0) {
        if (value != 0) fail("bad loader: undefined symbol %s with offset", name);
        value = 0xDEADDEAD;
      }
      addSymbol(name, section, value);
    }
  }
}

void ElfLinker::preprocessRelocations(char* start, char* end) {
  char line[2048];
  Section* cur = nullptr;
  for (char* p = start; p < end; p = nextLine(p, end)) {
    copyLine(line, sizeof(line), p, end);
    char sname[1024];
    if (sscanf(line, "RELOCATION RECORDS FOR [%1023[^]]", sname) == 1) {
      cur = findSection(sname);
      continue;
    }
    if (!cur) continue;
    unsigned off = 0;
    char type[100], sym[1024];
    if (sscanf(line, "%x %99s %1023s", &off, type, sym) != 3) continue;
    if (strncmp(type, "R_", 2) != 0) continue;
    upx_uint64_t add = 0;
    char* pm = strpbrk(sym + 1, "+-");
    if (pm) {
      char sign = *pm;
      *pm = 0;
      const char* h = pm + 1;
      if (h[0] == '0' && (h[1] == 'x' || h[1] == 'X')) h += 2;
      add = strtoull(h, nullptr, 16);
      if (sign == '-') add = upx_uint64_t(0) - add;
    }
    addRelocation(cur->name, off, type, sym, add);
  }
}

ElfLinker::Section* ElfLinker::addSection(const char* sname, const void* sdata, int slen,
                                          unsigned p2align) {
  size_t n = strlen(sname);
  if (n == 0 || sname[n - 1] == ':') fail("bad section name %s", sname);
  if (findSection(sname, false)) fail("section %s already defined", sname);
  grow(sections, nsections, nsections_capacity);
  Section* s = new Section();
  s->name = dupStr(sname);
  s->input = static_cast<upx_byte*>(malloc(size_t(slen) + 1));
  if (!s->input) raiseOutOfMemory();
  if (slen && sdata)
    memcpy(s->input, sdata, slen);
  else if (slen)
    memset(s->input, 0, slen);
  s->input[slen] = 0;
  s->output = nullptr;
  s->size = unsigned(slen);
  s->offset = 0;
  s->p2align = p2align;
  s->next = nullptr;
  sections[nsections++] = s;
  return s;
}

ElfLinker::Symbol* ElfLinker::addSymbol(const char* name, const char* section,
                                        upx_uint64_t offset) {
  size_t n = strlen(name);
  if (n == 0 || name[n - 1] == ':') fail("bad symbol name %s", name);
  if (findSymbol(name, false)) fail("symbol %s already defined", name);
  grow(symbols, nsymbols, nsymbols_capacity);
  Symbol* s = new Symbol();
  s->name = dupStr(name);
  s->section = findSection(section);
  s->offset = offset;
  symbols[nsymbols++] = s;
  return s;
}

ElfLinker::Relocation* ElfLinker::addRelocation(const char* section, unsigned off, const char* type,
                                                const char* symbol, upx_uint64_t add) {
  grow(relocations, nrelocations, nrelocations_capacity);
  Relocation* r = new Relocation();
  r->section = findSection(section);
  r->offset = off;
  snprintf(r->type, sizeof(r->type), "%s", type);
  r->value = findSymbol(symbol);
  r->add = add;
  relocations[nrelocations++] = r;
  return r;
}

ElfLinker::Section* ElfLinker::findSection(const char* name, bool fatal) const {
  for (unsigned i = 0; i < nsections; i++)
    if (strcmp(sections[i]->name, name) == 0) return sections[i];
  if (fatal) fail("unknown section %s\n", name);
  return nullptr;
}

ElfLinker::Symbol* ElfLinker::findSymbol(const char* name, bool fatal) const {
  for (unsigned i = 0; i < nsymbols; i++)
    if (strcmp(symbols[i]->name, name) == 0) return symbols[i];
  if (fatal) fail("unknown symbol %s\n", name);
  return nullptr;
}

void ElfLinker::alignWithByte(unsigned len, upx_byte b) {
  if (len == 0) return;
  if (outputlen + upx_uint64_t(len) > UPX_RSIZE_MAX) raiseInternalError("bad loader");
  if (outputlen + int(len) > outputcap) {
    int ncap = upx_max(outputcap * 2, outputlen + int(len));
    upx_byte* n = static_cast<upx_byte*>(realloc(output, size_t(ncap)));
    if (!n) raiseOutOfMemory();
    // placed sections keep their offsets; their output pointers move along
    for (unsigned i = 0; i < nsections; i++)
      if (sections[i]->output) sections[i]->output = n + (sections[i]->output - output);
    output = n;
    outputcap = ncap;
  }
  memset(output + outputlen, b, len);
  outputlen += int(len);
}

int ElfLinker::addLoader(const char* sname) {
  if (!sname || !*sname) return outputlen;
  char* list = dupStr(sname);
  try {
    for (char* tok = strtok(list, ", \t\n"); tok; tok = strtok(nullptr, ", \t\n")) {
      upx_uint64_t end = tail ? tail->offset + tail->size : 0;
      if (tok[0] == '+') {
        auto hex = [](char c) -> unsigned {
          if (c >= '0' && c <= '9') return unsigned(c - '0');
          if (c >= 'a' && c <= 'f') return unsigned(c - 'a' + 10);
          if (c >= 'A' && c <= 'F') return unsigned(c - 'A' + 10);
          return 0;
        };
        if (!tok[1] || !tok[2]) fail("bad padding item %s", tok);
        unsigned x = hex(tok[1]), y = hex(tok[2]);
        unsigned len = y - unsigned(end);
        if (x) len %= x;
        if (len) {
          if (tok[3] == 'D')
            alignData(len);
          else
            alignCode(len);
          if (tail) tail->size += len;
        }
        continue;
      }
      Section* s = findSection(tok);
      if (s->p2align) {
        unsigned len = unsigned(-end) & ((1u << s->p2align) - 1);
        if (len) {
          alignCode(len);
          if (tail) tail->size += len;
          end += len;
        }
      }
      int at = outputlen;
      alignWithByte(s->size, 0);
      if (s->size) memcpy(output + at, s->input, s->size);
      s->output = output + at;
      s->offset = tail ? tail->offset + tail->size : 0;
      if (tail)
        tail->next = s;
      else
        head = s;
      tail = s;
    }
  } catch (...) {
    free(list);
    throw;
  }
  free(list);
  return outputlen;
}

int ElfLinker::getSection(const char* sname, int* slen) const {
  const Section* s = findSection(sname);
  if (slen) *slen = int(s->size);
  return int(s->output - output);
}

int ElfLinker::getSectionSize(const char* sname) const {
  return int(findSection(sname)->size);
}

upx_byte* ElfLinker::getLoader(int* llen) const {
  if (llen) *llen = outputlen;
  return output;
}

void ElfLinker::defineSymbol(const char* name, upx_uint64_t value) {
  Symbol* s = findSymbol(name);
  if (strcmp(s->section->name, "*ABS*") == 0) fail("defineSymbol: symbol '%s' is *ABS*\n", name);
  if (strcmp(s->section->name, "*UND*") == 0) {
    // the defined value is absolute from now on
    s->section = findSection("*ABS*");
    s->offset = value;
    return;
  }
  fail("defineSymbol: symbol '%s' already defined\n", name);
}

upx_uint64_t ElfLinker::getSymbolOffset(const char* name) const {
  const Symbol* s = findSymbol(name);
  if (strcmp(s->section->name, "*ABS*") == 0) return s->offset;
  if (!s->section->output) return 0xDEADDEAD;
  return s->section->offset + s->offset;
}

void ElfLinker::relocate() {
  if (reloc_done) raiseInternalError("relocate: already done");
  reloc_done = true;
  for (unsigned i = 0; i < nrelocations; i++) {
    const Relocation* r = relocations[i];
    if (!r->section->output) continue;
    upx_uint64_t value;
    const Symbol* s = r->value;
    if (strcmp(s->section->name, "*ABS*") == 0) {
      value = s->offset;
    } else if (strcmp(s->section->name, "*UND*") == 0 && s->offset == 0xDEADDEAD) {
      fail("undefined symbol '%s' referenced\n", s->name);
    } else if (!s->section->output) {
      fail("can not apply reloc '%s:%x' without section '%s'\n", r->section->name, r->offset,
           s->section->name);
    } else {
      value = s->section->offset + s->offset + r->add;
    }
    if (upx_uint64_t(r->offset) + 1 > r->section->size)
      fail("bad reloc offset %s:%x", r->section->name, r->offset);
    relocate1(r, r->section->output + r->offset, value, r->type);
  }
}

void ElfLinker::relocate1(const Relocation*, upx_byte*, upx_uint64_t, const char* type) {
  fail("unknown relocation type '%s\n'", type);
}

static void applyX86(const ElfLinker::Relocation* rel, upx_byte* location, upx_uint64_t value,
                     const char* type, size_t pl, bool amd64, const upx_byte* out) {
  const char* t = type + pl;
  bool pc = false;
  if (strncmp(t, "PC", 2) == 0) {
    pc = true;
    t += 2;
    value -= upx_uint64_t(location - out);
  }
  char msg[1024];
  if (strcmp(t, "8") == 0) {
    if (pc) {
      long long disp = (signed char)location[0] + (long long)(int64_t)value;
      if (disp < -128 || disp > 127) {
        if (amd64)
          snprintf(msg, sizeof(msg), "target out of range (%d) in reloc %s:%x\n", int(disp),
                   rel->section->name, rel->offset);
        else
          snprintf(msg, sizeof(msg), "target out of range (%d,%d,%d) in reloc %s:%x\n", int(disp),
                   int(location[0]), int(value), rel->section->name, rel->offset);
        raiseInternalError(msg);
      }
    }
    location[0] = upx_byte(location[0] + value);
  } else if (strcmp(t, "16") == 0) {
    set_le16(location, get_le16(location) + unsigned(value));
  } else if (strcmp(t, "32") == 0) {
    set_le32(location, get_le32(location) + unsigned(value));
  } else if (amd64 && strcmp(t, "64") == 0) {
    set_le64(location, get_le64(location) + value);
  } else {
    snprintf(msg, sizeof(msg), "unknown relocation type '%s\n'", type);
    raiseInternalError(msg);
  }
}

void ElfLinkerX86::relocate1(const Relocation* rel, upx_byte* location, upx_uint64_t value,
                             const char* type) {
  if (strncmp(type, "R_386_", 6) != 0) fail("unknown relocation type '%s\n'", type);
  applyX86(rel, location, value, type, 6, false, output);
}

void ElfLinkerAMD64::relocate1(const Relocation* rel, upx_byte* location, upx_uint64_t value,
                               const char* type) {
  if (strncmp(type, "R_X86_64_", 9) != 0) fail("unknown relocation type '%s\n'", type);
  applyX86(rel, location, value, type, 9, true, output);
}

}  // namespace upx
