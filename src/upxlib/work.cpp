// the unpack entry, the options block and the packer search.
#include <fcntl.h>
#include <share.h>
#include <sys/stat.h>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <new>

#include "upxlib/except.h"
#include "upxlib/file.h"
#include "upxlib/options.h"
#include "upxlib/p_w32pe.h"
#include "upxlib/p_w64pep.h"
#include "upxlib/packer.h"
#include "upxlib/upxlib.h"
#include "upxlib/util.h"

namespace upx {

static PackOptions global_options;
PackOptions* opt = &global_options;

void CompressParams::reset() {
  memset(this, 0, sizeof(*this));
  pos_bits = 2;
  lit_pos_bits = 0;
  lit_context_bits = 3;
  dict_size = 0x400000;
  num_fast_bytes = 64;
  ucl_bb_endian = ucl_bb_size = ucl_max_offset = ucl_max_match = ucl_s_level = ucl_h_level =
      ucl_p_level = ucl_c_flags = ucl_m_size = -1;
  mem_level = 8;
  window_bits = 15;
  strategy = 0;
}

PackOptions::PackOptions() {
  memset(this, 0, sizeof(*this));
  crp.reset();
}

void PackOptions::reset() {
  memset(this, 0, sizeof(*this));
  crp.reset();
  cmd = CMD_NONE;
  method = M_NONE;
  level = -1;
  filter = FT_NONE;
  backup = -1;
  preserve_mode = preserve_ownership = preserve_timestamp = true;
  verbose = 2;
  overlay = -1;
  win32_pe.compress_exports = 1;
  win32_pe.compress_icons = 2;
  win32_pe.compress_resources = -1;
  for (int i = 0; i < 24; i++) win32_pe.compress_rt[i] = -1;
  win32_pe.compress_rt[24] = 0;
  win32_pe.strip_relocs = -1;
  win32_pe.keep_resource = "";
}

// ---- the packer search ----

typedef Packer* (*visit_func_t)(Packer* p, void* user);

template <class T>
static Packer* tryPacker(InputFile* f, const char* name, visit_func_t func, void* user) {
  Packer* p = new (std::nothrow) T(f);
  if (!p) return nullptr;
  if (opt->debug)
    fprintf(stderr, "visitAllPackers: (ver=%d, fmt=%3d) %s\n", p->getVersion(), p->getFormat(),
            name);
  return func(p, user);
}

Packer* visitAllPackers(visit_func_t func, InputFile* f, const PackOptions* o, void* user) {
  if (o->stub_forced) return nullptr;
  Packer* p = tryPacker<PackW64Pep>(f, "PackW64Pep", func, user);
  if (p) return p;
  p = tryPacker<PackW32Pe>(f, "PackW32Pe", func, user);
  if (p) return p;
  return nullptr;
}

Packer* probePacker(Packer* p, void* user) {
  if (!p) return nullptr;
  InputFile* f = static_cast<InputFile*>(user);
  try {
    p->selfCheck();
  } catch (...) {
    delete p;
    throw;
  }
  try {
    p->initPackHeader();
    f->seek(0, SEEK_SET);
    int r = p->canUnpack();
    if (r > 0) {
      f->seek(0, SEEK_SET);
      return p;
    }
  } catch (const IOException&) {
    // a short file for this format: the next packer is tried
  } catch (...) {
    delete p;
    throw;
  }
  delete p;
  return nullptr;
}

class PackMaster {
 public:
  explicit PackMaster(InputFile* f) : fi(f), p(nullptr), saved_opt(nullptr) {
    saved_opt = opt;
    if (opt) {
      local_options = *opt;
      opt = &local_options;
    }
  }
  ~PackMaster() {
    delete p;
    p = nullptr;
    if (saved_opt) opt = saved_opt;
  }
  void unpack(OutputFile* fo) {
    Packer* h = visitAllPackers(probePacker, fi, opt, fi);
    if (!h) raiseNotPacked();
    try {
      h->selfCheck();
    } catch (...) {
      delete h;
      throw;
    }
    p = h;
    p->selfCheck();
    fi = nullptr;
    p->unpack(fo);
  }

 private:
  InputFile* fi;
  Packer* p;
  PackOptions local_options;
  PackOptions* saved_opt;
};

static int unpackOneFile(const wchar_t* in_path, const wchar_t* out_path) {
  selfTest();
  opt->reset();
  srand(unsigned(time(nullptr)));
  if (opt->cmd < CMD_DECOMPRESS) opt->cmd = CMD_DECOMPRESS;

  upx_stat_t st;
  memset(&st, 0, sizeof(st));
  if (!in_path || _wstat64i32(in_path, &st) != 0) return 2;
  if ((st.st_mode & 0xF000) != 0x8000) return 2;
  if (st.st_size <= 0) return 13;
  if (upx_uint64_t(st.st_size) >= 0x40000000u) return 223;
  // A read-only input is accepted: the library only reads it (the result 5
  // of the owner-write test is not given).

  InputFile fi;
  fi.st = st;
  int r = fi.openShared(in_path, O_BINARY | O_RDONLY, _SH_DENYWR);
  if (r != 0) return r;

  OutputFile fo;
  if (opt->cmd == CMD_DECOMPRESS) {
    if (out_path) opt->output_name = out_path;
    int flags = O_BINARY | O_WRONLY | O_CREAT | (opt->force ? O_TRUNC : O_EXCL);
    int mode = opt->preserve_mode ? 0600 : 0666;
    r = fo.openShared(out_path, flags, _SH_DENYWR, mode);
    if (r != 0) {
      fi.close();
      return r;
    }
  }
  int result = 0;
  {
    PackMaster pm(&fi);
    if (opt->cmd == CMD_DECOMPRESS)
      pm.unpack(&fo);
    else
      result = 87;
    fo.closeChecked();
  }
  fi.closeChecked();
  return result;
}

}  // namespace upx

int unpack_one_file(const wchar_t* in_path, const wchar_t* out_path) {
  try {
    return upx::unpackOneFile(in_path, out_path);
  } catch (...) {
    return 87;
  }
}
