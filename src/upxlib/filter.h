// the Filter object and the filter table.
#pragma once
#include "upxlib/conf.h"

namespace upx {

class Filter {
 public:
  explicit Filter(int level);
  void init(int id = 0, unsigned addvalue = 0);

  bool filter(upx_byte* buf, unsigned buf_len);
  void unfilter(upx_byte* buf, unsigned buf_len, bool verify_checksum = false);
  bool scan(const upx_byte* buf, unsigned buf_len);

  static bool isValidFilter(int filter_id);
  static bool isValidFilter(int filter_id, const int* allowed_filters);

  upx_byte* buf;
  unsigned buf_len;
  unsigned adler;
  unsigned addvalue;
  const int* preferred_ctos;
  upx_byte cto;
  unsigned calls;
  unsigned noncalls;
  unsigned wrongcalls;
  unsigned firstcall;
  unsigned lastcall;
  unsigned n_mru;
  int id;
  int clevel;

  struct FilterEntry {
    int id;
    unsigned min_buf_len;
    unsigned max_buf_len;
    int (*do_filter)(Filter*);
    int (*do_unfilter)(Filter*);
    int (*do_scan)(Filter*);
  };
  static const FilterEntry* getFilter(int id);
  static const FilterEntry filters[];
  static const int n_filters;
};

// Marker selection of the pack side: picks cto from the
// preferred values, else the lowest value not marked in used[256]; -1 when
// every value is used.
int chooseFilterCto(Filter* f, const bool used[256]);

// Family routines (upxlib/filter/*.cpp and filter.cpp).
namespace filters {
int f_calltrick(Filter*);
int u_calltrick(Filter*);
int s_calltrick(Filter*);
int f_wordbranch(Filter*);
int u_wordbranch(Filter*);
int s_wordbranch(Filter*);
int f_cto(Filter*);
int u_cto(Filter*);
int s_cto(Filter*);
int f_ctoj(Filter*);
int u_ctoj(Filter*);
int s_ctoj(Filter*);
int f_ctok(Filter*);
int u_ctok(Filter*);
int s_ctok(Filter*);
int f_ctojr(Filter*);
int u_ctojr(Filter*);
int s_ctojr(Filter*);
int f_ppcbxx(Filter*);
int u_ppcbxx(Filter*);
int s_ppcbxx(Filter*);
int f_sub8(Filter*);
int u_sub8(Filter*);
int s_sub8(Filter*);
int f_sub16(Filter*);
int u_sub16(Filter*);
int s_sub16(Filter*);
int f_sub32(Filter*);
int u_sub32(Filter*);
int s_sub32(Filter*);
// shared by cto, ctoj and ctok: opcode test by id, and the two passes
int marker_filter(Filter* f, bool scan_only);
int marker_unfilter(Filter* f);
}  // namespace filters

}  // namespace upx
