// filter family 8 (ids 0x80..0x87): marker call trick with a list of
// 32 recently used targets; forward routine and scan.
#include "upxlib/bele.h"
#include "upxlib/except.h"
#include "upxlib/filter.h"

namespace upx {
namespace filters {

namespace {

struct Mru {
  unsigned e[32] = {};
  unsigned head = 0, tail = 0;

  void push(unsigned target) {
    head = (head - 1) & 31;
    e[head] = target;
  }
  unsigned use(unsigned i) {
    unsigned k = (i + head) & 31;
    unsigned target = e[k];
    head = (head - 1) & 31;
    if (e[head] != 0) {
      e[k] = e[head];
    } else {
      tail = (tail - 1) & 31;
      e[k] = e[tail];
      e[tail] = 0;
    }
    e[head] = target;
    return target;
  }
  int find(unsigned target) const {
    for (unsigned i = 0; i < 32; i++)
      if (e[(head + i) & 31] == target) return int(i);
    return -1;
  }
};

enum Kind { K_NONE, K_CALL, K_JUMP, K_JCC };

void modes(int id, int* callmode, int* jmpmode) {
  int t = (id & 0x0F) + 1;
  *callmode = t % 3;
  *jmpmode = (t / 3) % 3;
}

// Kind in the filtered data (conditional jumps have their opcode bytes
// stored in reverse order).
Kind filteredKind(const upx_byte* b, unsigned p, unsigned last_end) {
  if (b[p] == 0xE8) return K_CALL;
  if (b[p] == 0xE9) return K_JUMP;
  if (b[p] == 0x0F && p != 0 && b[p - 1] >= 0x80 && b[p - 1] <= 0x8F && p != last_end) return K_JCC;
  return K_NONE;
}

// Kind in the unfiltered data.
Kind originalKind(const upx_byte* b, unsigned p, unsigned last_end) {
  if (b[p] == 0xE8) return K_CALL;
  if (b[p] == 0xE9) return K_JUMP;
  if (b[p] >= 0x80 && b[p] <= 0x8F && p != 0 && b[p - 1] == 0x0F && p != last_end) return K_JCC;
  return K_NONE;
}

}  // namespace

int u_ctojr(Filter* f) {
  int callmode, jmpmode;
  modes(f->id, &callmode, &jmpmode);
  upx_byte* b = f->buf;
  const int64_t limit = int64_t(f->buf_len) - 5;
  const unsigned cto24 = unsigned(f->cto) << 24;
  Mru mru;
  unsigned last_end = 0;
  for (int64_t pp = 0; pp < limit;) {
    unsigned p = unsigned(pp);
    Kind k = filteredKind(b, p, last_end);
    if (k == K_NONE) {
      pp++;
      continue;
    }
    if (b[p + 1] != f->cto) {
      f->noncalls++;
      pp++;
      continue;
    }
    int mode = k == K_CALL ? callmode : jmpmode;
    if (mode == 0) {
      pp++;
      continue;
    }
    unsigned w = get_be32(b + p + 1) - cto24;
    unsigned target;
    if (mode == 1) {
      target = w;
    } else if (w & 1) {
      target = w / 2;
      mru.push(target);
    } else {
      unsigned i = w / 2;
      if (i >= 32) raiseCompressedDataViolation();
      target = mru.use(i);
    }
    set_le32(b + p + 1, target - p - 1);
    if (k == K_JCC) {
      upx_byte t = b[p - 1];
      b[p - 1] = b[p];
      b[p] = t;
    }
    f->calls++;
    f->lastcall = last_end = p + 5;
    pp += 5;
  }
  return 0;
}

static int ctojr_forward(Filter* f, bool scan_only) {
  int callmode, jmpmode;
  modes(f->id, &callmode, &jmpmode);
  upx_byte* b = f->buf;
  const int64_t limit = int64_t(f->buf_len) - 5;
  bool used[256] = {};
  for (int64_t pp = 0; pp < limit; pp++) {
    unsigned p = unsigned(pp);
    Kind ko = originalKind(b, p, ~0u);
    // positions the unfilter may take for a conditional jump although they
    // are none: their first operand byte must not be the marker
    if (ko == K_NONE) {
      if (filteredKind(b, p, ~0u) != K_NONE) used[b[p + 1]] = true;
      continue;
    }
    unsigned target = get_le32(b + p + 1) + p + 1;
    int mode = ko == K_CALL ? callmode : jmpmode;
    if (target >= f->buf_len || mode == 0)
      used[b[p + 1]] = true;
    else if (mode == 1 && target >= (1u << 24))
      return -1;
    else if (mode == 2 && uint64_t(target) * 2 + 1 >= (1u << 24))
      return -1;
  }
  int c = chooseFilterCto(f, used);
  if (c < 0) return -1;
  f->cto = upx_byte(c);
  if (scan_only) {
    f->calls = 0;
    f->lastcall = 0;
  }
  const unsigned cto24 = unsigned(f->cto) << 24;
  Mru mru;
  unsigned last_end = 0;
  unsigned noncalls = 0;
  for (int64_t pp = 0; pp < limit;) {
    unsigned p = unsigned(pp);
    Kind k = originalKind(b, p, last_end);
    if (k == K_NONE) {
      pp++;
      continue;
    }
    unsigned target = get_le32(b + p + 1) + p + 1;
    if (target >= f->buf_len) {
      noncalls++;
      pp++;
      continue;
    }
    int mode = k == K_CALL ? callmode : jmpmode;
    if (mode == 0) {
      pp++;
      continue;
    }
    if (!scan_only) {
      unsigned w;
      if (mode == 1) {
        w = target;
      } else {
        int i = mru.find(target);
        if (i >= 0) {
          w = 2u * unsigned(i);
          mru.use(unsigned(i));
        } else {
          w = 2u * target + 1;
          mru.push(target);
        }
      }
      if (k == K_JCC) {
        upx_byte t = b[p - 1];
        b[p - 1] = b[p];
        b[p] = t;
      }
      set_be32(b + p + 1, w + cto24);
      f->calls++;
      f->lastcall = p + 5;
    }
    last_end = p + 5;
    pp += 5;
  }
  f->noncalls = noncalls;
  f->n_mru = (callmode == 2 || jmpmode == 2) ? 32 : 0;
  return 0;
}

int f_ctojr(Filter* f) {
  return ctojr_forward(f, false);
}
int s_ctojr(Filter* f) {
  return ctojr_forward(f, true);
}

}  // namespace filters
}  // namespace upx
