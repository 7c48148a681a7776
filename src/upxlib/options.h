// the options block, reached through the global pointer opt.
#pragma once
#include "upxlib/conf.h"

namespace upx {

struct CompressParams {
  // LZMA
  unsigned pos_bits;
  bool pos_bits_set;
  unsigned lit_pos_bits;
  bool lit_pos_bits_set;
  unsigned lit_context_bits;
  bool lit_context_bits_set;
  unsigned dict_size;
  bool dict_size_set;
  unsigned num_fast_bytes;
  bool num_fast_bytes_set;
  unsigned lzma_w1;
  bool lzma_w1_set;
  unsigned lzma_w2;
  bool lzma_w2_set;
  // UCL (-1 = unset)
  int ucl_bb_endian, ucl_bb_size, ucl_max_offset, ucl_max_match, ucl_s_level, ucl_h_level,
      ucl_p_level, ucl_c_flags, ucl_m_size;
  // zlib
  unsigned mem_level;
  bool mem_level_set;
  unsigned window_bits;
  bool window_bits_set;
  unsigned strategy;
  bool strategy_set;

  void reset();
};

struct PackOptions {
  int cmd;
  int method;
  int level;
  int filter;
  int backup;
  bool force;
  const wchar_t* output_name;
  bool preserve_mode, preserve_ownership, preserve_timestamp;
  int verbose;
  int debug;
  bool to_stdout;
  int overlay;  // -1 unset, 0 skip, 1 copy, 2 strip
  bool stub_forced;
  // pack side
  bool all_methods, all_filters, ultra_brute, exact, small, no_random_id;
  int all_methods_use_lzma;
  int cpu;
  int small_stub;
  const char* fake_stub_version;
  const char* fake_stub_year;

  struct {
    int compress_exports;
    int compress_icons;
    int compress_resources;
    signed char compress_rt[25];
    int strip_relocs;
    const char* keep_resource;
  } win32_pe;

  CompressParams crp;

  PackOptions();
  void reset();
};

extern PackOptions* opt;

}  // namespace upx
