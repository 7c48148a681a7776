// the Filter object, the filter table and its dispatch; the
// call-trick families 1 to 3 and the word-branch family 4.
#include "upxlib/filter.h"

#include "upxlib/bele.h"
#include "upxlib/compress.h"
#include "upxlib/except.h"

namespace upx {

using namespace filters;

#define CT(id, minl) \
  { id, minl, 0, f_calltrick, u_calltrick, s_calltrick }
const Filter::FilterEntry Filter::filters[] = {
    {0x00, 0, 0, nullptr, nullptr, nullptr},
    CT(0x01, 4),
    CT(0x02, 4),
    CT(0x03, 4),
    CT(0x04, 4),
    CT(0x05, 4),
    CT(0x06, 4),
    CT(0x07, 4),
    CT(0x08, 4),
    CT(0x09, 4),
    CT(0x0A, 4),
    CT(0x0B, 4),
    CT(0x0C, 4),
    CT(0x0D, 4),
    CT(0x0E, 4),
    CT(0x11, 6),
    CT(0x12, 6),
    CT(0x13, 6),
    CT(0x14, 6),
    CT(0x15, 6),
    CT(0x16, 6),
    CT(0x17, 6),
    CT(0x18, 6),
    CT(0x19, 6),
    CT(0x1A, 6),
    CT(0x1B, 6),
    CT(0x1C, 6),
    CT(0x1D, 6),
    CT(0x1E, 6),
    {0x24, 6, 0xFFFFFF, f_cto, u_cto, s_cto},
    {0x25, 6, 0xFFFFFF, f_cto, u_cto, s_cto},
    {0x26, 6, 0xFFFFFF, f_cto, u_cto, s_cto},
    {0x36, 6, 0xFFFFFF, f_ctoj, u_ctoj, s_ctoj},
    {0x46, 6, 0xFFFFFF, f_ctok, u_ctok, s_ctok},
    {0x49, 6, 0xFFFFFF, f_ctok, u_ctok, s_ctok},
    {0x50, 8, 0x1FFFFFF, f_wordbranch, u_wordbranch, s_wordbranch},
    {0x51, 8, 0x1FFFFFF, f_wordbranch, u_wordbranch, s_wordbranch},
    {0x52, 8, 0x3FFFFFF, f_wordbranch, u_wordbranch, s_wordbranch},
    {0x80, 8, 0xFFFFFF, f_ctojr, u_ctojr, s_ctojr},
    {0x81, 8, 0xFFFFFF, f_ctojr, u_ctojr, s_ctojr},
    {0x82, 8, 0xFFFFFF, f_ctojr, u_ctojr, s_ctojr},
    {0x83, 8, 0xFFFFFF, f_ctojr, u_ctojr, s_ctojr},
    {0x84, 8, 0xFFFFFF, f_ctojr, u_ctojr, s_ctojr},
    {0x85, 8, 0xFFFFFF, f_ctojr, u_ctojr, s_ctojr},
    {0x86, 8, 0xFFFFFF, f_ctojr, u_ctojr, s_ctojr},
    {0x87, 8, 0xFFFFFF, f_ctojr, u_ctojr, s_ctojr},
    {0x90, 2, 0, f_sub8, u_sub8, s_sub8},
    {0x91, 3, 0, f_sub8, u_sub8, s_sub8},
    {0x92, 4, 0, f_sub8, u_sub8, s_sub8},
    {0x93, 5, 0, f_sub8, u_sub8, s_sub8},
    {0xA0, 99, 0, f_sub16, u_sub16, s_sub16},
    {0xA1, 99, 0, f_sub16, u_sub16, s_sub16},
    {0xA2, 99, 0, f_sub16, u_sub16, s_sub16},
    {0xA3, 99, 0, f_sub16, u_sub16, s_sub16},
    {0xB0, 99, 0, f_sub32, u_sub32, s_sub32},
    {0xB1, 99, 0, f_sub32, u_sub32, s_sub32},
    {0xB2, 99, 0, f_sub32, u_sub32, s_sub32},
    {0xB3, 99, 0, f_sub32, u_sub32, s_sub32},
    {0xD0, 8, 0, f_ppcbxx, u_ppcbxx, s_ppcbxx},
};
#undef CT
const int Filter::n_filters = int(sizeof(filters) / sizeof(filters[0]));
static_assert(sizeof(Filter::filters) / sizeof(Filter::filters[0]) == 59, "59 filter entries");

static upx_byte filter_map[256];
static bool filter_map_done = false;

const Filter::FilterEntry* Filter::getFilter(int id) {
  if (!filter_map_done) {
    memset(filter_map, 0xFF, sizeof(filter_map));
    for (int i = 0; i < n_filters; i++) {
      int fid = filters[i].id;
      UPX_ASSERT(fid >= 0 && fid <= 255);
      UPX_ASSERT(filter_map[fid] == 0xFF);
      filter_map[fid] = upx_byte(i);
    }
    filter_map_done = true;
  }
  if (id < 0 || id > 255) return nullptr;
  unsigned idx = filter_map[id];
  if (idx == 0xFF) return nullptr;
  UPX_ASSERT(filters[idx].id == id);
  return &filters[idx];
}

bool Filter::isValidFilter(int filter_id) {
  return getFilter(filter_id) != nullptr;
}

bool Filter::isValidFilter(int filter_id, const int* allowed_filters) {
  if (!getFilter(filter_id)) return false;
  if (filter_id == 0) return true;
  if (allowed_filters)
    for (const int* f = allowed_filters; *f != FT_END; f++)
      if (*f == filter_id) return true;
  return false;
}

Filter::Filter(int level) {
  clevel = level;
  init();
}

void Filter::init(int id_, unsigned addvalue_) {
  buf = nullptr;
  buf_len = 0;
  adler = 0;
  addvalue = addvalue_;
  preferred_ctos = nullptr;
  cto = 0;
  calls = noncalls = wrongcalls = firstcall = lastcall = 0;
  n_mru = 0;
  id = id_;
}

void Filter::unfilter(upx_byte* buf_, unsigned buf_len_, bool verify_checksum) {
  buf = buf_;
  buf_len = buf_len_;
  calls = noncalls = wrongcalls = firstcall = lastcall = 0;
  const FilterEntry* fe = getFilter(id);
  if (!fe) raiseInternalError("unfilter-1");
  if (fe->id == 0) return;
  if (buf_len < fe->min_buf_len) return;
  if (fe->max_buf_len && buf_len > fe->max_buf_len) return;
  if (!fe->do_unfilter) raiseInternalError("unfilter-2");
  int r = fe->do_unfilter(this);
  if (r != 0) raiseInternalError("unfilter-3");
  if (verify_checksum && clevel != 1)
    if (adler != upx_adler32(buf, buf_len)) raiseInternalError("unfilter-4");
}

bool Filter::filter(upx_byte* buf_, unsigned buf_len_) {
  buf = buf_;
  buf_len = buf_len_;
  calls = noncalls = wrongcalls = firstcall = lastcall = 0;
  const FilterEntry* fe = getFilter(id);
  if (!fe) raiseInternalError("filter-1");
  if (fe->id == 0) return true;
  if (buf_len < fe->min_buf_len) return false;
  if (fe->max_buf_len && buf_len > fe->max_buf_len) return false;
  if (!fe->do_filter) raiseInternalError("filter-2");
  adler = (clevel != 1) ? upx_adler32(buf, buf_len) : 0;
  int r = fe->do_filter(this);
  if (r > 0) raiseCannotPack("filter problem");
  return r == 0;
}

bool Filter::scan(const upx_byte* buf_, unsigned buf_len_) {
  buf = const_cast<upx_byte*>(buf_);
  buf_len = buf_len_;
  calls = noncalls = wrongcalls = firstcall = lastcall = 0;
  const FilterEntry* fe = getFilter(id);
  if (!fe) raiseInternalError("scan-1");
  if (fe->id == 0) return true;
  if (buf_len < fe->min_buf_len) return false;
  if (fe->max_buf_len && buf_len > fe->max_buf_len) return false;
  if (!fe->do_scan) raiseInternalError("scan-2");
  int r = fe->do_scan(this);
  if (r > 0) raiseCannotPack("scan problem");
  return r == 0;
}

int chooseFilterCto(Filter* f, const bool used[256]) {
  if (f->preferred_ctos)
    for (const int* pc = f->preferred_ctos; *pc >= 0; pc++)
      if (*pc < 256 && !used[*pc]) return *pc;
  for (int i = 0; i < 256; i++)
    if (!used[i]) return i;
  return -1;
}

namespace filters {

// ---- families 1 to 3: call tricks ----

namespace {
enum Mode { SCAN, FORWARD, BACKWARD };

bool ctOpcode(int n, upx_byte b) {
  // n = low nibble of the id
  int sel;
  if (n >= 1 && n <= 9)
    sel = (n - 1) % 3;
  else if (n >= 0x0A && n <= 0x0C)
    sel = n - 0x0A;
  else
    sel = 2;  // 0x0D, 0x0E: both
  if (sel == 0) return b == 0xE8;
  if (sel == 1) return b == 0xE9;
  return b == 0xE8 || b == 0xE9;
}

unsigned getW(const upx_byte* p, int W, bool be) {
  if (W == 2) return be ? get_be16(p) : get_le16(p);
  return be ? get_be32(p) : get_le32(p);
}
void setW(upx_byte* p, int W, bool be, unsigned v) {
  if (W == 2) {
    if (be)
      set_be16(p, v);
    else
      set_le16(p, v);
  } else {
    if (be)
      set_be32(p, v);
    else
      set_le32(p, v);
  }
}

int calltrick(Filter* f, Mode mode) {
  const int W = f->id < 0x10 ? 2 : 4;
  const int n = f->id & 0x0F;
  upx_byte* b = f->buf;
  const int64_t limit = int64_t(f->buf_len) - (W + 1);
  int64_t p = 0;
  do {
    if (!ctOpcode(n, b[p])) {
      p++;
      continue;
    }
    unsigned a = unsigned(p + 1);
    f->lastcall = a;
    f->calls++;
    if (mode != SCAN) {
      // kind: 0 additive, 1 swap only
      bool additive;
      bool filtered_be, unfiltered_be;
      if (n >= 1 && n <= 9) {
        additive = true;
        filtered_be = (n >= 4 && n <= 6);
        unfiltered_be = (n >= 7);
      } else if (n >= 0x0A && n <= 0x0C) {
        additive = false;
        filtered_be = true;
        unfiltered_be = false;
      } else {
        bool e8 = b[p] == 0xE8;
        additive = (n == 0x0D) ? e8 : !e8;
        filtered_be = true;
        unfiltered_be = false;
      }
      unsigned off = f->addvalue + a;
      if (mode == BACKWARD) {
        unsigned v = getW(b + a, W, filtered_be);
        if (additive) v -= off;
        setW(b + a, W, unfiltered_be, v);
      } else {
        unsigned v = getW(b + a, W, unfiltered_be);
        if (additive) v += off;
        setW(b + a, W, filtered_be, v);
      }
    }
    p += W + 1;
  } while (p < limit);
  if (f->lastcall) f->lastcall += W;
  return 0;
}

int wordbranch(Filter* f, Mode mode) {
  upx_byte* b = f->buf;
  const int64_t limit = int64_t(f->buf_len) - 4;
  int64_t p = 0;
  do {
    upx_byte* w = b + p;
    unsigned delta = unsigned(p / 4) + f->addvalue;
    bool hit = false;
    if (f->id == 0x50) {
      if ((w[3] & 0x0F) == 0x0B) {
        hit = true;
        if (mode != SCAN) {
          unsigned v = get_le24(w);
          v = mode == BACKWARD ? v - delta : v + delta;
          set_le24(w, v & 0xFFFFFF);
        }
      }
    } else if (f->id == 0x51) {
      if ((w[0] & 0x0F) == 0x0B) {
        hit = true;
        if (mode != SCAN) {
          unsigned v = get_be24(w + 1);
          v = mode == BACKWARD ? v - delta : v + delta;
          set_be24(w + 1, v & 0xFFFFFF);
        }
      }
    } else {
      if ((w[3] & 0x7C) == 0x14) {
        hit = true;
        if (mode != SCAN) {
          unsigned v = get_le24(w) | (unsigned(w[3] & 3) << 24);
          v = (mode == BACKWARD ? v - delta : v + delta) & 0x3FFFFFF;
          set_le24(w, v & 0xFFFFFF);
          w[3] = upx_byte((w[3] & 0xFC) | (v >> 24));
        }
      }
    }
    if (hit) {
      f->calls++;
      f->lastcall = unsigned(p);
    }
    p += 4;
  } while (p < limit);
  if (f->lastcall) f->lastcall += 4;
  return 0;
}
}  // namespace

int f_calltrick(Filter* f) {
  return calltrick(f, FORWARD);
}
int u_calltrick(Filter* f) {
  return calltrick(f, BACKWARD);
}
int s_calltrick(Filter* f) {
  return calltrick(f, SCAN);
}
int f_wordbranch(Filter* f) {
  return wordbranch(f, FORWARD);
}
int u_wordbranch(Filter* f) {
  return wordbranch(f, BACKWARD);
}
int s_wordbranch(Filter* f) {
  return wordbranch(f, SCAN);
}

}  // namespace filters

}  // namespace upx
