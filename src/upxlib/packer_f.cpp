// pack side of the packer base: filters, method and filter
// trials, loader operations through the stub linker.
#include <cstdarg>
#include <cstdio>

#include "upxlib/except.h"
#include "upxlib/file.h"
#include "upxlib/filter.h"
#include "upxlib/linker.h"
#include "upxlib/options.h"
#include "upxlib/packer.h"
#include "upxlib/util.h"

namespace upx {

void Packer::destroyLinker() {
  delete linker;
  linker = nullptr;
}

bool Packer::isValidFilter(int filter_id) const {
  return Filter::isValidFilter(filter_id, getFilters());
}

// ---- loader operations ----

void Packer::initLoader(const void* pdata, int plen, int small) {
  destroyLinker();
  linker = newLinker();
  if (!linker || linker->bele != bele) raiseInternalError("bele == linker->bele");
  linker->init(pdata, plen);
  unsigned size = 0;
  const char* ident = getIdentstr(&size, small);
  linker->addSection("IDENTSTR", ident, int(size), 0);
}

static const char* const identFull =
    "\n\0$Info: This file is packed with the VroMount executable packer "
    "3.95, written for VroMount, 2018 $\n\0$Id: "
    "VroMount packer 3.95 Copyright (C) 2018 $\n";
static const char identSmall[] = "\n$Id: VroMount packer 3.95 2018, VroMount packer $\n";

const char* Packer::getIdentstr(unsigned* size, int small) const {
  static char full[157];
  static char smalltext[80];
  static char bare[5];
  static bool done = false;
  if (!done) {
    memset(full, ' ', sizeof(full));
    size_t n = 0;
    while (n < sizeof(full) - 1 && !(identFull[n] == '\n' && identFull[n + 1] == 0 && n > 60)) n++;
    memcpy(full, identFull, upx_min<size_t>(n + 1, sizeof(full) - 1));
    full[sizeof(full) - 1] = 0;
    memset(smalltext, ' ', sizeof(smalltext));
    memcpy(smalltext, identSmall, upx_min<size_t>(strlen(identSmall), sizeof(smalltext) - 1));
    smalltext[sizeof(smalltext) - 1] = 0;
    memcpy(bare, UPX_VERSION_STRING, 4);
    bare[4] = 0;
    const char* v = opt ? opt->fake_stub_version : nullptr;
    const char* y = opt ? opt->fake_stub_year : nullptr;
    if (v && strlen(v) == 4) {
      mem_replace(full, sizeof(full), UPX_VERSION_STRING, 4, v);
      mem_replace(smalltext, sizeof(smalltext), UPX_VERSION_STRING, 4, v);
      mem_replace(bare, sizeof(bare), UPX_VERSION_STRING, 4, v);
    }
    if (y && strlen(y) == 4) {
      mem_replace(full, sizeof(full), UPX_VERSION_YEAR, 4, y);
      mem_replace(smalltext, sizeof(smalltext), UPX_VERSION_YEAR, 4, y);
    }
    done = true;
  }
  if (small < 0) small = opt ? opt->small_stub : 0;
  if (small >= 2) {
    *size = sizeof(bare);
    return bare;
  }
  if (small == 1) {
    *size = sizeof(smalltext);
    return smalltext;
  }
  *size = sizeof(full);
  return full;
}

void Packer::addLoader(const char* s, ...) {
  va_list ap;
  va_start(ap, s);
  try {
    for (const char* n = s; n; n = va_arg(ap, const char*)) {
      if (!linker) raiseInternalError("bad loader");
      linker->addLoader(n);
    }
  } catch (...) {
    va_end(ap);
    throw;
  }
  va_end(ap);
}

void Packer::addLoaderList(const char* comma_list) {
  if (!linker) raiseInternalError("bad loader");
  linker->addLoader(comma_list);
}

void Packer::relocateLoader() {
  if (!linker) raiseInternalError("bad loader");
  linker->relocate();
}

upx_byte* Packer::getLoader() const {
  int size = -1;
  if (!linker) raiseInternalError("bad loader");
  upx_byte* p = linker->getLoader(&size);
  if (!p || size <= 0) raiseInternalError("bad loader");
  return p;
}

int Packer::getLoaderSize() const {
  int size = -1;
  if (!linker) raiseInternalError("bad loader");
  upx_byte* p = linker->getLoader(&size);
  if (!p || size <= 0) raiseInternalError("bad loader");
  return size;
}

bool Packer::hasLoaderSection(const char* name) const {
  if (!linker) raiseInternalError("bad loader");
  return linker->findSection(name, false) != nullptr;
}

int Packer::getLoaderSection(const char* name, int* slen) const {
  if (!linker) raiseInternalError("bad loader");
  int size = -1;
  int ostart = linker->getSection(name, &size);
  if (ostart < 0 || size <= 0) raiseInternalError("bad loader");
  if (slen) *slen = size;
  return ostart;
}

int Packer::getLoaderSectionStart(const char* name, int* slen) const {
  if (!linker) raiseInternalError("bad loader");
  int size = -1;
  int ostart = linker->getSection(name, &size);
  if (ostart < 0 || size < 0) raiseInternalError("bad loader");
  if (slen) *slen = size;
  return ostart;
}

// ---- decompressor selection ----

static const int m_all[] = {M_NRV2B_LE32,  M_NRV2D_LE32, M_NRV2E_LE32, M_LZMA,
                            M_ULTRA_BRUTE, 0x30E,        0x4070E,      M_END};
static const int m_lzma[] = {M_LZMA, M_END};
static const int m_nrv2b[] = {M_NRV2B_LE32, M_END};
static const int m_nrv2d[] = {M_NRV2D_LE32, M_END};
static const int m_nrv2e[] = {M_NRV2E_LE32, M_END};

const int* Packer::getDefaultCompressionMethods_le32(int method, int level, int small) const {
  if (method == M_ALL) return m_all;
  if (M_IS_LZMA(method)) return m_lzma;
  if (M_IS_NRV2B(method)) return m_nrv2b;
  if (M_IS_NRV2D(method)) return m_nrv2d;
  if (M_IS_NRV2E(method)) return m_nrv2e;
  if (small < 0) small = file_size <= 0x80000 ? 1 : 0;
  if (level == 1 || small) return m_nrv2b;
  return m_nrv2e;
}

const char* Packer::getDecompressorSections() const {
  static const char* const small_b =
      "N2BSMA10,N2BDEC10,N2BSMA20,N2BDEC20,N2BSMA30,N2BDEC30,N2BSMA40,N2BSMA50,N2BDEC50,N2BSMA60,"
      "N2BDEC60";
  static const char* const fast_b =
      "N2BFAS10,+80CXXXX,N2BFAS11,N2BDEC10,N2BFAS20,N2BDEC20,N2BFAS30,N2BDEC30,N2BFAS40,"
      "N2BFAS50,N2BDEC50,N2BFAS60,+40CXXXX,N2BFAS61,N2BDEC60";
  static const char* const small_d =
      "N2DSMA10,N2DDEC10,N2DSMA20,N2DDEC20,N2DSMA30,N2DDEC30,N2DSMA40,N2DSMA50,N2DDEC50,N2DSMA60,"
      "N2DDEC60";
  static const char* const fast_d =
      "N2DFAS10,+80CXXXX,N2DFAS11,N2DDEC10,N2DFAS20,N2DDEC20,N2DFAS30,N2DDEC30,N2DFAS40,"
      "N2DFAS50,N2DDEC50,N2DFAS60,+40CXXXX,N2DFAS61,N2DDEC60";
  static const char* const small_e =
      "N2ESMA10,N2EDEC10,N2ESMA20,N2EDEC20,N2ESMA30,N2EDEC30,N2ESMA40,N2ESMA50,N2EDEC50,N2ESMA60,"
      "N2EDEC60";
  static const char* const fast_e =
      "N2EFAS10,+80CXXXX,N2EFAS11,N2EDEC10,N2EFAS20,N2EDEC20,N2EFAS30,N2EDEC30,N2EFAS40,"
      "N2EFAS50,N2EDEC50,N2EFAS60,+40CXXXX,N2EFAS61,N2EDEC60";
  bool small = opt && opt->small;
  if (ph.method == M_NRV2B_LE32) return small ? small_b : fast_b;
  if (ph.method == M_NRV2D_LE32) return small ? small_d : fast_d;
  if (ph.method == M_NRV2E_LE32) return small ? small_e : fast_e;
  if (M_IS_LZMA(ph.method)) {
    static const int elf[] = {12, 20, 22, 23,  25,  28,  29,  31, 33,
                              38, 39, 40, 131, 132, 133, 135, 136};
    bool is_elf = false;
    for (int f : elf)
      if (ph.format == f) is_elf = true;
    if (is_elf)
      return small ? "LZMA_ELF00,LZMA_DEC10,LZMA_DEC30" : "LZMA_ELF00,LZMA_DEC20,LZMA_DEC30";
    return small ? "LZMA_DEC00,LZMA_DEC10,LZMA_DEC30" : "LZMA_DEC00,LZMA_DEC20,LZMA_DEC30";
  }
  raiseInternalError("bad decompressor");
}

unsigned Packer::getDecompressorWrkmemSize() const {
  return 0;
}  // no LZMA coder here

void Packer::defineDecompressorSymbols() {}  // only LZMA defines symbols

// ---- filter stub sections and symbols ----

void Packer::addFilter32(int filter_id) {
  UPX_ASSERT(filter_id > 0);
  UPX_ASSERT(isValidFilter(filter_id));
  if (filter_id >= 0x50 && filter_id <= 0x5F) {
    addLoader("ctok32.00", nullptr);
    if (filter_id == 0x50)
      addLoader("ctok32.50", nullptr);
    else if (filter_id == 0x51)
      addLoader("ctok32.51", nullptr);
    addLoader("ctok32.10", nullptr);
    return;
  }
  if (filter_id < 0x80) {
    int n = filter_id & 0x0F;
    int r = n % 3;
    if (r != 0) {
      addLoader("CALLTR10", r == 1 ? "CALLTRE8" : "CALLTRE9", "CALLTR11", nullptr);
      if (filter_id >= 33) addLoader("CTCLEVE2", nullptr);
      addLoader("CALLTR12", nullptr);
      if (n > 3) {
        if (filter_id < 33)
          addLoader("CTBROR11,CTBSWA11", nullptr);
        else
          addLoader("CTBSHR11,CTBSWA11", nullptr);
      }
      addLoader("CALLTR13", nullptr);
    } else if (filter_id < 0x40) {
      addLoader("CALLTR00", nullptr);
      if (filter_id >= 33) addLoader("CTCLEVE1", nullptr);
      addLoader("CALLTR01", nullptr);
      if (n > 3) {
        if (filter_id < 33)
          addLoader("CTBROR01,CTBSWA01", nullptr);
        else
          addLoader("CTBSHR01,CTBSWA01", nullptr);
      }
      addLoader("CALLTR02", nullptr);
    } else {
      addLoader("ctok32.00", nullptr);
      if (n >= 9) addLoader("ctok32.10", nullptr);
      addLoader("ctok32.20", nullptr);
      if (n >= 9) addLoader("ctok32.30", nullptr);
      addLoader("ctok32.40", nullptr);
    }
    return;
  }
  // 0x80..0x8F: the recently-used unfilter stub
  int n = filter_id & 0x0F;
  int callmode = (n + 1) % 3, jmpmode = ((n + 1) / 3) % 3;
  unsigned s = ph.n_mru ? unsigned(ph.n_mru) + 1 : 0;
  bool pow2 = s && (s & (s - 1)) == 0;
  const char* mrukind = s == 256 ? "MRUBYTE" : pow2 ? "MRUBITS" : "MRUARB";
  bool old_cpu = opt && opt->cpu && opt->cpu < 4;
  char sec[16];
  if (jmpmode) addLoader("LXJCC010", nullptr);
  if (callmode == 2 || jmpmode == 2) {
    addLoader("LXMRU045,LXMRU046", nullptr);
    snprintf(sec, sizeof(sec), "%s%d", mrukind, mrukind[3] == 'A' ? 30 : 3);
    addLoader(sec, nullptr);
  }
  if (jmpmode) addLoader("LXJCC020,LXJCC021,LXJCC023", nullptr);
  addLoader("LXUNF037", nullptr);
  addLoader(old_cpu ? "LXUNF386,LXUNF387,LXUNF388" : "LXUNF486,LXUNF487", nullptr);
  if (callmode == 2 || jmpmode == 2) {
    addLoader("LXMRU065,LXMRU070,LXMRU080,LXMRU090,LXMRU100", nullptr);
    snprintf(sec, sizeof(sec), "%s%d", mrukind, mrukind[3] == 'A' ? 40 : 4);
    addLoader(sec, nullptr);
  }
  addLoader("LXUNF040,LXMRU110,LXMRU111,LXUNF041,LXUNF042", nullptr);
  addLoader(callmode == 1 ? "LXCALLB0" : callmode == 2 ? "LXMRU010" : "LXCALL00", nullptr);
  addLoader(jmpmode == 1 ? "LXJMPA00" : jmpmode == 2 ? "LXMRU022" : "LXJCC000", nullptr);
  addLoader("LXUNF021,LXUNF030,LXCALJMP,LXUNF034", nullptr);
}

void Packer::defineFilterSymbols(const Filter* ft) {
  if (!linker) raiseInternalError("bad loader");
  if (ft->id == 0) {
    linker->defineSymbol("filter_length", 0);
    linker->defineSymbol("filter_cto", 0);
    return;
  }
  UPX_ASSERT(ft->calls > 0 && ft->buf_len > 0);
  if (ft->id >= 0x40 && ft->id <= 0x4F) {
    linker->defineSymbol("filter_length", ft->buf_len);
    linker->defineSymbol("filter_cto", ft->cto);
  } else if (ft->id >= 0x50 && ft->id <= 0x5F) {
    linker->defineSymbol("filter_id", unsigned(ft->id));
    linker->defineSymbol("filter_cto", ft->cto);
  } else if ((ft->id & 0x0F) % 3 != 0) {
    linker->defineSymbol("filter_length", ft->lastcall - ft->calls * 4);
    linker->defineSymbol("filter_cto", ft->cto);
  } else {
    linker->defineSymbol("filter_length", ft->calls);
    linker->defineSymbol("filter_cto", ft->cto);
  }
}

// ---- method and filter trials ----

void Packer::compressWithFilters(Filter* parm_ft, unsigned overlap_range,
                                 const upx_compress_config_t* cconf, int filter_strategy,
                                 unsigned filter_off, unsigned ibuf_off, unsigned obuf_off,
                                 const upx_byte* hdr_ptr, unsigned hdr_len) {
  (void)hdr_ptr;
  (void)hdr_len;
  const PackHeader orig_ph = ph;
  const Filter orig_ft = *parm_ft;
  UPX_ASSERT(orig_ph.filter == 0);
  UPX_ASSERT(orig_ft.id == 0);
  upx_byte* i_ptr = ibuf + ibuf_off;
  const unsigned i_len = ph.u_len;
  upx_byte* f_ptr = ibuf + filter_off;
  const unsigned f_len = parm_ft->buf_len ? parm_ft->buf_len : i_len;
  if (!(upx_uint64_t(filter_off) + f_len <= upx_uint64_t(ibuf_off) + i_len))
    raiseInternalError("f_ptr + f_len <= i_ptr + i_len");
  upx_byte* o_ptr = obuf + obuf_off;

  // methods
  int methods[256];
  int nm = 0;
  if (opt && opt->all_methods) {
    for (const int* m = getCompressionMethods(M_ALL, ph.level); *m != M_END && nm < 255; m++) {
      if (*m == M_ULTRA_BRUTE && !opt->ultra_brute) break;
      if (*m == M_SKIP || *m == M_ULTRA_BRUTE || M_IS_LZMA(*m) || *m > 255) continue;
      methods[nm++] = *m;
    }
  } else {
    methods[nm++] = ph.method;
  }
  // filters
  int filters[256];
  int nf = 0;
  if (filter_strategy == 0) {
    if (opt && opt->all_filters)
      filter_strategy = 0x7FFFFFFF;
    else if (opt && isValidFilter(opt->filter) && opt->filter > 0)
      filter_strategy = -2;
    else
      filter_strategy = -1;
  }
  if (filter_strategy == -2) {
    if (opt && isValidFilter(opt->filter))
      filters[nf++] = opt->filter;
    else
      filter_strategy = -1;
  }
  if (filter_strategy != -3 && filter_strategy != -2) {
    for (const int* f = getFilters(); f && *f != FT_END && nf < 255; f++) {
      if (*f == FT_ULTRA_BRUTE && !(opt && opt->ultra_brute)) break;
      if (*f == FT_SKIP || *f == FT_ULTRA_BRUTE || *f == 0) continue;
      filters[nf++] = *f;
      if (filter_strategy > 0 && nf >= filter_strategy) break;
    }
  }
  filter_strategy = filter_strategy < 0 ? -1 : 0;
  bool has0 = false;
  for (int i = 0; i < nf; i++) has0 |= filters[i] == 0;
  if (!has0) filters[nf++] = 0;

  PackHeader best_ph = orig_ph;
  Filter best_ft = orig_ft;
  unsigned best_total = ~0u;
  int best_loader = 0;
  unsigned best_overhead = 0;
  MemBuffer otemp;
  upx_byte* best_out = nullptr;
  int nfilters_success_total = 0;
  for (int mi = 0; mi < nm; mi++) {
    int nfilters_success = 0;
    for (int fi_ = 0; fi_ < nf; fi_++) {
      ph = orig_ph;
      ph.method = methods[mi];
      ph.filter = filters[fi_];
      ph.overlap_overhead = 0;
      Filter ft(ph.level);
      ft.init(ph.filter, orig_ft.addvalue);
      optimizeFilter(&ft, f_ptr, f_len);
      bool ok = ft.filter(f_ptr, f_len);
      if (!ok || (ft.id != 0 && ft.calls == 0)) {
        if (ok) ft.unfilter(f_ptr, f_len, true);
        continue;
      }
      ph.filter_cto = ft.cto;
      ph.n_mru = int(ft.n_mru);
      nfilters_success++;
      nfilters_success_total++;
      upx_byte* out = o_ptr;
      if (best_out) {
        if (otemp.isEmpty()) otemp.allocateForCompression(i_len);
        out = (best_out == o_ptr) ? otemp.data() : o_ptr;
      }
      if (compress(i_ptr, i_len, out, cconf)) {
        if (ph.c_len <= best_total) {
          ph.overlap_overhead = findOverlapOverhead(out, i_ptr, overlap_range);
          buildLoader(&ft);
          int lsize = getLoaderSize();
          UPX_ASSERT(lsize > 0);
          bool better = best_out == nullptr || ph.c_len + lsize < best_total + best_loader ||
                        (ph.c_len + lsize == best_total + best_loader &&
                         (lsize < best_loader ||
                          (lsize == best_loader && ph.overlap_overhead < best_overhead)));
          if (better) {
            best_ph = ph;
            best_ft = ft;
            best_total = ph.c_len;
            best_loader = lsize;
            best_overhead = ph.overlap_overhead;
            best_out = out;
          }
        }
      }
      // undo the filter, verifying it
      ft.unfilter(f_ptr, f_len, true);
      if (filter_strategy == -1) break;
    }
    UPX_ASSERT(nfilters_success > 0);
  }
  UPX_ASSERT(nfilters_success_total > 0);
  if (!best_out) raiseNotCompressible();
  ph = best_ph;
  *parm_ft = best_ft;
  if (best_out != o_ptr) memcpy(o_ptr, best_out, ph.c_len);
  if (ph.c_len + best_loader >= ph.u_len || !checkCompressionRatio(ph.u_len, ph.c_len))
    raiseNotCompressible();
  UPX_ASSERT(ph.overlap_overhead > 0);
  buildLoader(parm_ft);
}

}  // namespace upx
