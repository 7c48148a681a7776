// The pack side of the PE packers: header checks, section reading, the
// import, TLS, load-configuration, resource, export and relocation passes,
// the loader and the packed file's layout.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "upxlib/except.h"
#include "upxlib/file.h"
#include "upxlib/filter.h"
#include "upxlib/options.h"
#include "upxlib/p_w32pe.h"
#include "upxlib/p_w64pep.h"
#include "upxlib/peloader.h"
#include "upxlib/util.h"

namespace upx {

static unsigned alignUp(unsigned x, unsigned a) {
  upx_uint64_t r = (upx_uint64_t(x) + a - 1) / a * a;
  if (r > 0xFFFFFFFFu) raiseCannotPack("unexpected value in PE header");
  return unsigned(r);
}

[[noreturn]] static void failf(const char* fmt, unsigned a, unsigned b = 0, unsigned c = 0,
                               unsigned d = 0) {
  char msg[100];
  upx_snprintf(msg, sizeof(msg), fmt, a, b, c, d);
  raiseCannotPack(msg);
}

// ---- the import linker ----

class PeFile::ImportLinker : public ElfLinkerAMD64 {
 public:
  explicit ImportLinker(unsigned ts) : thunk_size(ts) {
    if (ts != 4 && ts != 8) raiseInternalError("bad thunk size");
    addSection("*ABS*", nullptr, 0, 0);
    addSection("*UND*", nullptr, 0, 0);
    sec("*ZSTART", nullptr, 0, 0);
    static const upx_byte zero[20] = {};
    sec("Dzero", zero, 20, 0);
    sec("Zzero", zero, 1, 0);
  }
  void alignCode(unsigned len) override { alignWithByte(len, 0); }
  void relocate1(const Relocation* r, upx_byte* location, upx_uint64_t value,
                 const char* type) override {
    ElfLinkerAMD64::relocate1(r, location, value + base, type);
  }

  static std::string enc(const char* s) {
    std::string e;
    for (; *s; s++) {
      unsigned c = unsigned(tolower(static_cast<unsigned char>(*s)));
      e += char('a' + (c >> 4));
      e += char('a' + (c & 15));
    }
    return e;
  }
  static std::string ordName(unsigned ord) {
    char b[16];
    snprintf(b, sizeof(b), "%c%05u", 'H', ord);
    return b;
  }

  void add(const char* dll, const char* proc, unsigned ordinal = 0) {
    const std::string d = enc(dll);
    const std::string p = ordinal ? enc(ordName(ordinal).c_str()) : enc(proc);
    bool first = !findSection(("F" + d).c_str(), false);
    if (first) {
      std::string n(dll);
      sec(("F" + d).c_str(), n.c_str(), int(n.size() + 1), 0);
      static const upx_byte zero[20] = {};
      sec(("D" + d).c_str(), zero, 20, 0);
    }
    std::string thunkI = "E" + d + "I" + p, thunkJ = "E" + d + "J" + p;
    if (findSection(thunkI.c_str(), false) || findSection(thunkJ.c_str(), false)) return;
    std::string thunk = first ? thunkI : thunkJ;
    upx_byte tb[8] = {};
    if (ordinal) {
      if (thunk_size == 8)
        set_le64(tb, 0x8000000000000000ull | ordinal);
      else
        set_le32(tb, 0x80000000u | ordinal);
    }
    sec(thunk.c_str(), tb, int(thunk_size), 0);
    if (first) {
      static const upx_byte zero[8] = {};
      sec(("E" + d + "K").c_str(), zero, int(thunk_size), 0);
      addRelocation(("D" + d).c_str(), 12, "R_X86_64_32", ("F" + d).c_str(), 0);
      addRelocation(("D" + d).c_str(), 16, "R_X86_64_32", thunk.c_str(), 0);
    }
    if (!ordinal) {
      std::string g = "G" + d + "L" + p;
      static const upx_byte hint[2] = {};
      sec(g.c_str(), hint, 2, 1);
      sec((g + "X").c_str(), proc, int(strlen(proc) + 1), 0);
      addRelocation(thunk.c_str(), 0, thunk_size == 8 ? "R_X86_64_64" : "R_X86_64_32", g.c_str(),
                    0);
    }
  }
  void addOrdinalImport(const char* dll, unsigned ord) {
    if (ord == 0 || ord >= 0x10000) raiseCannotPack("bad import ordinal");
    add(dll, nullptr, ord);
  }
  bool hasDll(const char* dll) const { return findSection(("F" + enc(dll)).c_str(), false); }
  unsigned getDllAddress(const char* dll) const {
    return unsigned(findSection(("F" + enc(dll)).c_str())->offset);
  }
  unsigned getThunkAddress(const char* dll, const std::string& encproc) const {
    const std::string d = enc(dll);
    Section* s = findSection(("E" + d + "I" + encproc).c_str(), false);
    if (!s) s = findSection(("E" + d + "J" + encproc).c_str(), false);
    if (!s) raiseInternalError("entry not found");
    return unsigned(s->offset);
  }
  unsigned getOrdinalThunkAddress(const char* dll, unsigned ord) const {
    return getThunkAddress(dll, enc(ordName(ord).c_str()));
  }
  unsigned getProcThunkAddress(const char* dll, const char* proc) const {
    return getThunkAddress(dll, enc(proc));
  }
  int build() {
    std::vector<std::string> names;
    upx_uint64_t total = 0;
    for (unsigned i = 0; i < nsections; i++) {
      const char* n = sections[i]->name;
      if (!strcmp(n, "*ABS*") || !strcmp(n, "*UND*")) continue;
      names.push_back(n);
      total += sections[i]->size;
    }
    std::sort(names.begin(), names.end());
    std::string list;
    for (const std::string& n : names) list += n + ",";
    list += "+40D";
    int len = addLoader(list.c_str());
    if (upx_uint64_t(len) > 2 * upx_uint64_t(names.size()) + 4 + total)
      raiseInternalError("import linker output too large");
    return len;
  }
  void relocateAt(unsigned b) {
    base = b;
    relocate();
  }

  unsigned thunk_size;
  unsigned base = 0;

 private:
  void sec(const char* name, const void* data, int len, unsigned p2) {
    addSection(name, data, len, p2);
    addSymbol(name, name, 0);
  }
};

// ---- header checks and reading ----

void PeFile::checkHeaderValues(unsigned subsystem, unsigned entry, unsigned filealign) {
  if (subsystem != 2 && subsystem != 3) failf("PE: subsystem %u is not supported", subsystem);
  if (iddirs[PEDIR_COM_DESCRIPTOR].size) raiseCannotPack(".NET files are not yet supported");
  if (isection && memcmp(isection[0].name, "UPX", 3) == 0)
    raiseAlreadyPacked("already packed by UPX");
  if (!opt->force && iddirs[15].size)
    raiseCannotPack("file is possibly packed/protected (try --force)");
  if (entry && entry < rvamin) raiseCannotPack("run a virus scanner on this file!");
  if (filealign < 0x200) raiseCannotPack("filealign < 0x200 is not yet supported");
}

void PeFile::readSectionHeaders(unsigned objs, unsigned sizeof_ih) {
  if (objs == 0) return;
  isection_buf.release();
  isection_buf.allocate(mem_size(sizeof(pe_section_t), objs));
  isection = reinterpret_cast<pe_section_t*>(isection_buf.data());
  if (upx_uint64_t(pe_offset) + sizeof_ih + sizeof(pe_section_t) * objs > unsigned(file_size))
    failf("too many sections %d", objs);
  fi->seek(upx_int64_t(pe_offset) + sizeof_ih, SEEK_SET);
  fi->readExact(isection, int(sizeof(pe_section_t) * objs));
  rvamin = isection[0].vaddr;
  const unsigned last_end = isection[objs - 1].vaddr + isection[objs - 1].vsize;
  for (unsigned j = 0; j < objs; j++) {
    unsigned va = isection[j].vaddr, vs = isection[j].vsize;
    if (va + vs < va) failf("bad section[%d] wrap-around %#x %#x", j, va, vs);
    if (va < rvamin) failf("bad section .rva [%d] %#x < [0] %#x", j, va, rvamin);
    if (va + vs > last_end)
      failf("bad section .rva+.vsize  [%d] %#x > [%d] %#x", j, va + vs, objs - 1, last_end);
  }
}

unsigned PeFile::readSections(unsigned objs, unsigned usize, unsigned ih_filealign,
                              unsigned ih_datasize) {
  upx_uint64_t xtra = upx_max(ih_datasize, 0x10000u);
  for (int d : {PEDIR_IMPORT, PEDIR_BOUNDIM, PEDIR_IAT, PEDIR_DELAYIMP, PEDIR_RELOC})
    xtra += iddirs[d].size;
  ibuf.release();
  ibuf.allocate(mem_size(1, usize, xtra));
  if (isection[0].rawdataptr && isection[0].rawdataptr <= ibuf.getSize()) {
    fi->seek(0, SEEK_SET);
    fi->readExact(ibuf, int(upx_min(unsigned(isection[0].rawdataptr), unsigned(file_size))));
  }
  memset(ibuf, 0, upx_min(usize, ibuf.getSize()));
  unsigned overlaystart = 0;
  unsigned jc = 0;
  for (unsigned i = 0; i < objs; i++) {
    pe_section_t& s = isection[i];
    if (s.rawdataptr)
      overlaystart = upx_max(overlaystart, alignUp(s.rawdataptr + s.size, ih_filealign));
    if (s.vsize == 0) s.vsize = unsigned(s.size);
    if ((s.flags & 0x80) || s.rawdataptr == 0 || (s.flags & 0x200)) continue;
    if (upx_uint64_t(s.vaddr) + s.size > usize) raiseCannotPack("section size problem");
    if (!opt->force && !isrtm && (s.flags & 0x90000000u) == 0x90000000u)
      raiseCannotPack("writable shared sections not supported (try --force)");
    if (jc && s.rawdataptr > upx_uint64_t(jc) + ih_filealign && !opt->force)
      raiseCannotPack("superfluous data between sections (try --force)");
    jc = s.rawdataptr + s.size;
    unsigned n = upx_min(unsigned(s.size), unsigned(s.vsize));
    if (n) {
      fi->seek(s.rawdataptr, SEEK_SET);
      fi->readExact(ibuf.view("bad section %#x %#x", s.vaddr, n), int(n));
    }
  }
  return overlaystart;
}

unsigned PeFile::stripDebug(unsigned overlaystart) {
  if (!iddirs[PEDIR_DEBUG].size) return overlaystart;
  unsigned size = iddirs[PEDIR_DEBUG].size;
  upx_byte* d = ibuf.view("bad debug %#x %#x", iddirs[PEDIR_DEBUG].vaddr, size);
  for (unsigned i = 0; i + 28 <= size; i += 28)
    if (get_le32(d + i + 24) == overlaystart) overlaystart += get_le32(d + i + 16);
  memset(d, 0, size);
  return overlaystart;
}

unsigned PeFile::handleStripRelocs(upx_uint64_t imagebase, upx_uint64_t default_imagebase,
                                   unsigned dllflags) {
  if ((dllflags & PE_DLLCHAR_DYNAMIC_BASE) || isdll)
    opt->win32_pe.strip_relocs = 0;
  else if (opt->win32_pe.strip_relocs < 0)
    opt->win32_pe.strip_relocs = imagebase >= default_imagebase;
  if (opt->win32_pe.strip_relocs) {
    if (imagebase < default_imagebase)
      raiseCannotPack("--strip-relocs is not allowed with this imagebase");
    return RELOCS_STRIPPED;
  }
  return 0;
}

unsigned PeFile::sectionOf(unsigned rva) const {
  unsigned n = ih.objects();
  for (unsigned i = 0; i < n; i++)
    if (rva >= isection[i].vaddr && rva - isection[i].vaddr < isection[i].vsize) return i;
  return n;
}

// ---- imports ----

namespace {
struct DllRecord {
  const char* name;
  const char* shname;
  unsigned ordinal;
  unsigned iat;
  unsigned lookupt;
  unsigned npos;
  bool isk32;
};
int strcasecmpAscii(const char* a, const char* b) {
  for (;; a++, b++) {
    int ca = tolower(static_cast<unsigned char>(*a)), cb = tolower(static_cast<unsigned char>(*b));
    if (ca != cb || !ca) return ca - cb;
  }
}
}  // namespace

unsigned PeFile::processImports() {
  const unsigned W = pep_ ? 8 : 4;
  const upx_uint64_t ordmask = pep_ ? 0x8000000000000000ull : 0x80000000ull;
  auto thunkAt = [&](unsigned rva) -> upx_uint64_t {
    const upx_byte* p = ibuf.view("bad dll lookupt %#x %#x", rva, W);
    return W == 8 ? get_le64(p) : get_le32(p);
  };
  unsigned dllnum = 0;
  const unsigned idir = iddirs[PEDIR_IMPORT].vaddr;
  if (idir) {
    for (;; dllnum++) {
      const upx_byte* d = ibuf.view("bad import %#x %#x", idir + 20 * dllnum, 20);
      if (get_le32(d + 12) == 0) break;
      if (dllnum > 0x10000) raiseCannotPack("bad import directory");
    }
  }
  std::vector<DllRecord> dlls(dllnum + 1);
  upx_uint64_t ssize = 1024;
  for (unsigned i = 0; i < dllnum; i++) {
    const upx_byte* d = ibuf + idir + 20 * i;
    DllRecord& r = dlls[i];
    unsigned namerva = get_le32(d + 12);
    const upx_byte* nm = ibuf.view("bad dllname %#x %#x", namerva, 1);
    if (!memchr(nm, 0, ibuf.getSize() - namerva)) failf("bad dllname %#x", namerva);
    r.name = reinterpret_cast<const char*>(nm);
    r.shname = nullptr;
    r.ordinal = 0;
    r.iat = get_le32(d + 16);
    r.lookupt = get_le32(d) ? get_le32(d) : r.iat;
    r.npos = i;
    r.isk32 = strcasecmpAscii(r.name, kernelDll()) == 0;
    ssize += strlen(r.name) + 5;
    for (unsigned t = r.lookupt;; t += W) {
      upx_uint64_t v = thunkAt(t);
      if (!v) break;
      if (v & ordmask) {
        r.ordinal = unsigned(v & 0xFFFF);
        importbyordinal = true;
        ssize += 3;
      } else {
        const upx_byte* hn = ibuf.view("bad import name %#x %#x", unsigned(v) + 2, 1);
        if (!memchr(hn, 0, ibuf.getSize() - unsigned(v) - 2))
          failf("bad import name %#x", unsigned(v));
        const char* n = reinterpret_cast<const char*>(hn);
        if (!r.shname || strlen(n) < strlen(r.shname)) r.shname = n;
        ssize += strlen(n) + 2;
      }
    }
  }
  std::vector<DllRecord*> order;
  for (unsigned i = 0; i < dllnum; i++) order.push_back(&dlls[i]);
  auto cmp = [&](const DllRecord* a, const DllRecord* b) -> int {
    if (a->isk32 != b->isk32) return a->isk32 ? -1 : 1;
    bool ea = thunkAt(a->lookupt) == 0, eb = thunkAt(b->lookupt) == 0;
    if (ea != eb) return ea ? 1 : -1;
    int c = strcasecmpAscii(a->name, b->name);
    if (c) return c;
    if ((a->ordinal != 0) != (b->ordinal != 0)) return a->ordinal ? -1 : 1;
    if (!a->shname != !b->shname) return a->shname ? -1 : 1;
    if (!a->shname) return 0;
    size_t la = strlen(a->shname), lb = strlen(b->shname);
    if (la != lb) return la < lb ? -1 : 1;
    return strcmp(a->shname, b->shname);
  };
  std::stable_sort(order.begin(), order.end(),
                   [&](const DllRecord* a, const DllRecord* b) { return cmp(a, b) < 0; });

  delete ilinker;
  ImportLinker* il = new ImportLinker(W);
  ilinker = il;
  addStubImports();
  for (DllRecord* r : order) {
    if (!r->isk32) {
      if (il->hasDll(r->name)) continue;
      if (r->ordinal)
        il->addOrdinalImport(r->name, r->ordinal);
      else if (r->shname)
        il->add(r->name, r->shname);
      else
        raiseInternalError("should not happen");
    } else if (strcasecmpAscii(r->name, "kernel32.dll") == 0 && r->ordinal) {
      for (unsigned t = r->lookupt;; t += W) {
        upx_uint64_t v = thunkAt(t);
        if (!v) break;
        if (v & ordmask) il->addOrdinalImport(kernelDll(), unsigned(v & 0xFFFF));
      }
      kernel32ordinal = true;
    }
  }
  soimpdlls = unsigned(il->build());

  soimport = unsigned(mem_size(1, ssize));
  delete[] oimport;
  oimport = new upx_byte[soimport];
  memset(oimport, 0, soimport);
  upx_byte* ppi = oimport;
  Interval names(ibuf), iats(ibuf), lookups(ibuf);
  auto room = [&](unsigned n) {
    if (ppi + n >= oimport + soimport) raiseInternalError("ppi < oimport+soimport");
  };
  for (DllRecord* r : order) {
    room(8);
    set_le32(ppi, il->getDllAddress(r->isk32 ? kernelDll() : r->name));
    set_le32(ppi + 4, r->iat - rvamin);
    ppi += 8;
    unsigned k = 0;
    for (unsigned t = r->lookupt;; t += W, k++) {
      upx_uint64_t v = thunkAt(t);
      if (!v) break;
      if (v & ordmask) {
        room(5);
        if (r->isk32 && kernel32ordinal) {
          *ppi++ = 0xFE;
          set_le32(ppi, il->getOrdinalThunkAddress(kernelDll(), unsigned(v & 0xFFFF)));
          ppi += 4;
        } else {
          *ppi++ = 0xFF;
          set_le16(ppi, unsigned(v & 0xFFFF));
          ppi += 2;
        }
      } else {
        const char* n =
            reinterpret_cast<const char*>(ibuf.view("bad import name %#x %#x", unsigned(v) + 2, 1));
        unsigned len = unsigned(strlen(n));
        room(len + 2);
        *ppi++ = 1;
        memcpy(ppi, n, len + 1);
        ppi += len + 1;
        names.add(unsigned(v), len + 3);
      }
    }
    room(1);
    *ppi++ = 0;
    names.add(get_le32(ibuf + idir + 20 * r->npos + 12), unsigned(strlen(r->name) + 1));
    lookups.add(r->lookupt, W * (k + 1));
    if (r->lookupt != r->iat) {
      memcpy(ibuf.view("bad import name %#x %#x", r->iat, W * (k + 1)), ibuf + r->lookupt,
             W * (k + 1));
      iats.add(r->iat, W * (k + 1));
    }
  }
  room(4);
  ppi += 4;
  soimport = unsigned(ppi - oimport);
  if (soimport == 4) soimport = 0;

  names.flatten();
  if (names.ivnum <= 1) {
    iats.add(idir, dllnum * 20);
    iats.flatten();
    iats.clear();
    lookups.flatten();
    lookups.clear();
  } else {
    for (DllRecord* r : order) {
      upx_byte* d = ibuf + idir + 20 * r->npos;
      unsigned name = get_le32(d + 12);
      memset(d, 0, 20);
      set_le32(d + 12, name);
    }
  }
  names.clear();
  return names.ivnum == 1 ? names.ivarr[0].start : 0;
}

void PeFile::addStubImports() {
  ImportLinker* il = static_cast<ImportLinker*>(ilinker);
  il->add(kernelDll(), "LoadLibraryA");
  il->add(kernelDll(), "GetProcAddress");
  if (!isdll) il->add(kernelDll(), "ExitProcess");
  il->add(kernelDll(), "VirtualProtect");
}

// ---- TLS and load configuration ----

void PeFile::processTls(Interval* iv) {
  const unsigned W = pep_ ? 8 : 4;
  const unsigned dsize = pep_ ? 0x28 : 0x18;
  sotls = ALIGN_UP(unsigned(iddirs[PEDIR_TLS].size), 4u);
  if (!sotls) return;
  const upx_byte* tls = ibuf.view("bad tls %#x %#x", iddirs[PEDIR_TLS].vaddr, dsize);
  const upx_uint64_t ib = ih.imagebase();
  auto field = [&](unsigned i) -> upx_uint64_t {
    return W == 8 ? get_le64(tls + 8 * i) : get_le32(tls + 4 * i);
  };
  const upx_uint64_t start = field(0), end = field(1), index = field(2), callbacks = field(3);
  if (callbacks) {
    if (callbacks < ib || callbacks - ib + 4 >= ih.imagesize())
      raiseCannotPack("invalid TLS callback");
    unsigned cbrva = unsigned(callbacks - ib);
    const upx_byte* cb = ibuf.view("bad TLS %#x %#x", cbrva, W);
    if (W == 8 ? get_le64(cb) : get_le32(cb)) {
      use_tls_callbacks = true;
      tls_callbacks_addr = cbrva;
      tls_callback_ptr = callbacks;
    }
  }
  const unsigned tstart = unsigned(start - ib), tend = unsigned(end - ib);
  if (end < start) raiseCannotPack("bad tls");
  // relocations inside the template data
  if (iddirs[PEDIR_RELOC].size) {
    Reloc rel(ibuf.view("bad reloc %#x %#x", iddirs[PEDIR_RELOC].vaddr, iddirs[PEDIR_RELOC].size),
              iddirs[PEDIR_RELOC].size);
    unsigned pos, type;
    while (rel.next(&pos, &type))
      if (pos >= tstart && pos < tend) iv->add(pos, type);
  }
  sotls_dir = dsize;
  sotls = dsize + (tend - tstart);
  if (use_tls_callbacks) sotls = ALIGN_UP(sotls, W) + 2 * W;
  delete[] otls;
  otls = new upx_byte[sotls];
  memset(otls, 0, sotls);
  memcpy(otls, tls, dsize);
  if (tend > tstart)
    memcpy(otls + dsize, ibuf.view("bad tls %#x %#x", tstart, tend - tstart), tend - tstart);
  tlsindex = index ? unsigned(index - ib) : 0;
  if (tlsindex && tlsindex < ih.imagesize()) {
    upx_byte* p = ibuf.view("bad tlsindex %#x %#x", tlsindex, 4);
    memset(p, 0, 4);
  }
}

void PeFile::relocateTls(Reloc* rel, const Interval* iv, unsigned newaddr) {
  if (!sotls) return;
  const unsigned W = pep_ ? 8 : 4;
  const unsigned type = pep_ ? 10 : 3;
  const upx_uint64_t ib = ih.imagebase();
  if (use_tls_callbacks) rel->add(tls_handler_offset + 4, type);
  for (unsigned i = 0; i < (use_tls_callbacks ? 4u : 3u); i++) rel->add(newaddr + W * i, type);
  const unsigned dsize = sotls_dir;
  const upx_uint64_t start = W == 8 ? get_le64(otls) : get_le32(otls);
  const unsigned tstart = unsigned(start - ib);
  const unsigned tsize = (use_tls_callbacks ? sotls - 2 * W : sotls) - dsize;
  for (unsigned i = 0; i < iv->ivnum; i++) {
    unsigned pos = iv->ivarr[i].start, t = iv->ivarr[i].len;
    unsigned off = dsize + (pos - tstart);
    if (off + W > sotls) continue;
    upx_uint64_t val = W == 8 ? get_le64(otls + off) : get_le32(otls + off);
    if (val >= start && val - start < tsize) val = val - start + newaddr + dsize + ib;
    if (W == 8)
      set_le64(otls + off, val);
    else
      set_le32(otls + off, unsigned(val));
    rel->add(newaddr + off, t);
  }
  const upx_uint64_t s = newaddr + dsize + ib;
  auto setf = [&](unsigned i, upx_uint64_t v) {
    if (W == 8)
      set_le64(otls + 8 * i, v);
    else
      set_le32(otls + 4 * i, unsigned(v));
  };
  setf(0, s);
  setf(1, s + tsize);
  if (use_tls_callbacks) {
    setf(3, newaddr + sotls + ib - 2 * W);
    if (W == 8)
      set_le64(otls + sotls - 2 * W, tls_handler_offset + ib);
    else
      set_le32(otls + sotls - 2 * W, unsigned(tls_handler_offset + ib));
    rel->add(newaddr + sotls - 2 * W, type);
  } else {
    setf(3, 0);
  }
}

void PeFile::processLoadConf(Interval* iv) {
  soloadconf = 0;
  if (!iddirs[PEDIR_LOAD_CONFIG].size) return;
  const unsigned lc = iddirs[PEDIR_LOAD_CONFIG].vaddr;
  unsigned size = get_le32(ibuf.view("bad loadconf %#x %#x", lc, 4));
  if (size == 0) return;
  if (size > 256) raiseCannotPack("size of Load Configuration directory unexpected");
  if (iddirs[PEDIR_RELOC].size) {
    Reloc rel(ibuf.view("bad reloc %#x %#x", iddirs[PEDIR_RELOC].vaddr, iddirs[PEDIR_RELOC].size),
              iddirs[PEDIR_RELOC].size);
    unsigned pos, type;
    while (rel.next(&pos, &type))
      if (pos >= lc && pos < lc + size) iv->add(pos - lc, type);
  }
  soloadconf = size;
  delete[] oloadconf;
  oloadconf = new upx_byte[size];
  memcpy(oloadconf, ibuf.view("bad loadconf %#x %#x", lc, size), size);
}

void PeFile::processLoadConf(Reloc* rel, const Interval* iv, unsigned newaddr) {
  for (unsigned i = 0; soloadconf && i < iv->ivnum; i++)
    rel->add(newaddr + iv->ivarr[i].start, iv->ivarr[i].len);
}

// ---- resources ----

void PeFile::processResources(Resource* res) {
  soresources = 0;
  const unsigned vaddr = iddirs[PEDIR_RESOURCE].vaddr;
  if (!iddirs[PEDIR_RESOURCE].size || !vaddr) return;
  res->check();
  res->convert();
  // the first icon group and its icons stay uncompressed, as the icon mode says
  std::string keep_list = "TYPELIB,REGISTRY,16,";
  if (opt->win32_pe.keep_resource && *opt->win32_pe.keep_resource)
    keep_list += std::string(opt->win32_pe.keep_resource) + ",";
  const int icon_mode = opt->win32_pe.compress_icons;
  bool have_group = false;
  res->resetWalk();
  while (res->next()) {
    if (res->itype() != 14 || have_group) continue;
    have_group = true;
    const upx_byte* g = ibuf.view("bad res %#x %#x", res->offs(), res->size());
    unsigned n = res->size() >= 6 ? get_le16(g + 4) : 0;
    icondir_count = upx_uint16_t(n);
    for (unsigned i = 0; i < n && 6 + 14 * i + 14 <= res->size(); i++) {
      if (icon_mode == 0 || (icon_mode == 1 && i > 0)) break;
      char item[32];
      upx_snprintf(item, sizeof(item), "3/%u,", get_le16(g + 6 + 14 * i + 12));
      keep_list += item;
    }
  }
  auto text = [](const Resource::upx_rnode* n) -> std::string {
    if (!n) return std::string();
    if (!n->name) return std::to_string(n->id);
    std::string t;
    unsigned len = get_le16(n->name);
    for (unsigned i = 0; i < len; i++) t += char(get_le16(n->name + 2 + 2 * i));
    return t;
  };
  std::vector<std::pair<std::string, std::string>> items;
  for (size_t p = 0; p < keep_list.size();) {
    size_t e = keep_list.find(',', p);
    std::string item = keep_list.substr(p, e - p);
    p = e == std::string::npos ? keep_list.size() : e + 1;
    if (item.empty()) continue;
    size_t slash = item.find('/');
    if (slash == std::string::npos)
      items.push_back({item, std::string()});
    else
      items.push_back({item.substr(0, slash), item.substr(slash + 1)});
  }
  // the kept data, each behind its old RVA
  Resource& r = *res;
  std::vector<upx_byte> block;
  std::vector<std::pair<Resource::upx_rleaf*, unsigned>> kept;
  bool group_done = false;
  r.resetWalk();
  for (Resource::upx_rleaf* leaf = nullptr;;) {
    if (!r.next()) break;
    leaf = r.current;
    const Resource::upx_rnode* name_node = leaf->parent;
    const Resource::upx_rnode* type_node = name_node ? name_node->parent : nullptr;
    const std::string tt = text(type_node), nt = text(name_node);
    const unsigned type = r.itype();
    bool keep = false;
    for (auto& it : items)
      if (it.first == tt && (it.second.empty() || it.second == nt)) keep = true;
    if (type == 14 && !group_done && icon_mode != 0) {
      keep = true;
      group_done = true;
    }
    if (type >= 1 && type <= 24 && opt->win32_pe.compress_rt[type] == 0) keep = true;
    if (!keep) continue;
    const unsigned len = r.size();
    const upx_byte* data = ibuf.view("bad resoff %#x %#x", r.offs(), len);
    while (block.size() % 4) block.push_back(0);
    size_t at = block.size();
    block.resize(at + 4 + ALIGN_UP(len, 4u), 0);
    set_le32(&block[at], r.offs());
    memcpy(&block[at + 4], data, len);
    kept.push_back({leaf, unsigned(at + 4)});
  }
  // the directory comes first in the block: offsets move behind it
  upx_byte* dummy = r.build();
  (void)dummy;
  const unsigned dsize = ALIGN_UP(r.dirsize(), 4u);
  for (auto& k : kept) {
    r.current = k.first;
    r.setNewOffset(dsize + k.second);
  }
  soresources = unsigned(mem_size(1, upx_uint64_t(dsize) + block.size()));
  delete[] oresources;
  oresources = new upx_byte[soresources ? soresources : 1];
  memset(oresources, 0, soresources ? soresources : 1);
  if (!block.empty()) memcpy(oresources + dsize, block.data(), block.size());
  unsigned lo, hi;
  if (r.contiguous(&lo, &hi)) memset(ibuf.view("bad res %#x %#x", vaddr + lo, hi - lo), 0, hi - lo);
}

void PeFile::processResources(Resource* res, unsigned newaddr) {
  if (!soresources) return;
  res->resetWalk();
  while (res->next())
    if (res->current->newoffset) res->setNewOffset(res->current->newoffset + newaddr);
  upx_byte* dir = res->build();
  memcpy(oresources, dir, res->dirsize());
}

// ---- exports ----

void PeFile::processExports(Export* xport) {
  soexport = ALIGN_UP(unsigned(iddirs[PEDIR_EXPORT].size), 4u);
  if (!soexport) return;
  if (!isdll && opt->win32_pe.compress_exports) {
    soexport = 0;
    return;
  }
  xport->convert(iddirs[PEDIR_EXPORT].vaddr, iddirs[PEDIR_EXPORT].size);
  soexport = unsigned(mem_size(1, ALIGN_UP<upx_uint64_t>(xport->getsize(), 4)));
  delete[] oexport;
  oexport = new upx_byte[soexport];
  memset(oexport, 0, soexport);
}

void PeFile::processExports(Export* xport, unsigned newoffs) {
  if (soexport) xport->build(oexport, newoffs);
}

// ---- relocations ----

void PeFile::processRelocs() {
  big_relocs = 0;
  const unsigned W = pep_ ? 8 : 4;
  const unsigned rsize = iddirs[PEDIR_RELOC].size;
  upx_byte* rdir =
      rsize ? ibuf.view("bad reloc %#x %#x", iddirs[PEDIR_RELOC].vaddr, rsize) : nullptr;
  delete[] orelocs;
  orelocs = nullptr;
  sorelocs = 0;
  if (opt->win32_pe.strip_relocs && !isdll) {
    if (rdir) memset(rdir, 0, rsize);
    orelocs = new upx_byte[1];
    return;
  }
  std::vector<unsigned> lists[16];
  if (rdir) {
    Reloc rel(rdir, rsize);
    unsigned pos, type;
    while (rel.next(&pos, &type)) {
      if (pos >= ih.imagesize()) continue;
      if (!pep_ && (type < 1 || type > 3)) continue;
      lists[type].push_back(pos - rvamin);
    }
  }
  for (auto& l : lists) {
    std::sort(l.begin(), l.end());
    l.erase(std::unique(l.begin(), l.end()), l.end());
  }
  const unsigned full = pep_ ? 10 : 3;
  const upx_uint64_t delta = ih.imagebase() + rvamin;
  for (unsigned p : lists[full]) {
    upx_byte* f =
        ibuf.view(pep_ ? "bad reloc 10 %#x %#x" : "bad reloc type 3 %#x %#x", p + rvamin, W);
    if (W == 8)
      set_le64(f, get_le64(f) - delta);
    else
      set_le32(f, get_le32(f) - unsigned(delta));
  }
  if (rdir) memset(rdir, 0, rsize);
  upx_uint64_t cap =
      mem_size(4, upx_uint64_t(lists[full].size()) + lists[1].size() + lists[2].size() + 256);
  orelocs = new upx_byte[cap];
  memset(orelocs, 0, cap);
  std::vector<upx_byte> in(4 * lists[full].size() + 4);
  for (size_t i = 0; i < lists[full].size(); i++) set_le32(&in[4 * i], lists[full][i]);
  int big = 0;
  upx_byte* end = optimizeRelocImpl(in.data(), unsigned(lists[full].size()), orelocs, ibuf + rvamin,
                                    &big, int(W * 8));
  for (int t : {2, 1}) {
    if (pep_ || lists[t].empty()) continue;
    for (unsigned p : lists[t]) {
      if (end + 8 > orelocs + cap) raiseCannotPack("Invalid relocs");
      set_le32(end, p);
      end += 4;
    }
    set_le32(end, 0);
    end += 4;
    big_relocs |= (t == 2) ? 4 : 2;
  }
  sorelocs = unsigned(end - orelocs);
  if (sorelocs > cap) raiseCannotPack("Invalid relocs");
}

}  // namespace upx

namespace upx {

// ---- the loader ----

void PeFile::buildPeLoader(const Filter* ft) {
  const unsigned secalign = ih.objectalign() ? ih.objectalign() : 0x1000;
  if (tlsindex) {
    upx_uint64_t a =
        ALIGN_DOWN(upx_uint64_t(rvamin) + ph.overlap_overhead + ph.u_len + secalign - 1,
                   upx_uint64_t(secalign));
    upx_uint64_t b = ALIGN_DOWN(a - ph.c_len + secalign - 1 - 1024, upx_uint64_t(secalign));
    if (b > upx_uint64_t(tlsindex) + 4) tlsindex = 0;
  }
  const std::string text = makePeLoaderListing(pep_);
  initLoader(text.data(), int(text.size()));
  const bool has_entry = ih.entry() != 0;
  if (pep_) addLoader("START", nullptr);
  if (pep_ && isdll && has_entry) addLoader("PEISDLL0", nullptr);
  if (isdll) addLoader("PEISDLL1", nullptr);
  addLoader("PEMAIN01", nullptr);
  if (icondir_count == 2)
    addLoader("PEICONS1", nullptr);
  else if (icondir_count > 2)
    addLoader("PEICONS2", nullptr);
  if (tlsindex) addLoader("PETLSHAK", nullptr);
  addLoader("PEMAIN02", nullptr);
  if (!pep_ && ph.first_offset_found == 1) addLoader("PEMAIN03", nullptr);
  if (!pep_) {
    addLoaderList(getDecompressorSections());
  } else if (M_IS_NRV2B(ph.method)) {
    addLoader("NRV_HEAD,NRV2B", nullptr);
  } else if (M_IS_NRV2D(ph.method)) {
    addLoader("NRV_HEAD,NRV2D", nullptr);
  } else if (M_IS_NRV2E(ph.method)) {
    addLoader("NRV_HEAD,NRV2E", nullptr);
  } else if (M_IS_LZMA(ph.method)) {
    addLoader("LZMA_HEAD,LZMA_ELF00,LZMA_DEC20,LZMA_TAIL", nullptr);
  } else {
    addLoader("UNKNOWN_COMPRESSION_METHOD", nullptr);
  }
  addLoader("PEMAIN10", nullptr);
  if (pep_ && tlsindex) addLoader("PETLSHAK2", nullptr);
  if (ft && ft->id) {
    UPX_ASSERT(ft->calls > 0);
    addLoader(ih.codebase() != rvamin ? "PECTTPOS" : "PECTTNUL", nullptr);
    if (pep_)
      addLoader("PEFILTER49", nullptr);
    else
      addFilter32(ft->id);
  }
  if (soimport) {
    addLoader("PEIMPORT", nullptr);
    if (importbyordinal) addLoader("PEIBYORD", nullptr);
    if (kernel32ordinal) addLoader("PEK32ORD", nullptr);
    if (importbyordinal) addLoader("PEIMORD1", nullptr);
    addLoader("PEIMPOR2", isdll ? "PEIERDLL" : "PEIEREXE", "PEIMDONE", nullptr);
  }
  if (sorelocs) {
    addLoader(soimport == 0 || soimport + ph.u_len == 0 ? "PERELOC1" : "PERELOC2", nullptr);
    addLoader(pep_ ? "PERELOC3" : "PERELOC3,RELOC320", nullptr);
    if (big_relocs) addLoader(pep_ ? "REL64BIG" : "REL32BIG", nullptr);
    addLoader(pep_ ? "RELOC64J" : "RELOC32J", nullptr);
    if (!pep_) {
      if (big_relocs & 6) addLoader("PERLOHI0", nullptr);
      if (big_relocs & 4) addLoader("PERELLO0", nullptr);
      if (big_relocs & 2) addLoader("PERELHI0", nullptr);
    }
  }
  if (use_dep_hack) addLoader("PEDEPHAK", nullptr);
  if (use_tls_callbacks) addLoader("PETLSC", nullptr);
  addLoader("PEMAIN20", nullptr);
  if (use_clear_dirty_stack) addLoader("CLEARSTACK", nullptr);
  addLoader("PEMAIN21", nullptr);
  if (pep_ && isdll && has_entry) addLoader("PEISDLL9", nullptr);
  addLoader(has_entry ? "PEDOJUMP" : "PERETURN", nullptr);
  if (use_tls_callbacks) addLoader("PETLSC2", nullptr);
  addLoader("IDENTSTR,UPX1HEAD", nullptr);
}

void PackW32Pe::buildLoader(const Filter* ft) {
  buildPeLoader(ft);
}
void PackW64Pep::buildLoader(const Filter* ft) {
  buildPeLoader(ft);
}

void PeFile::defineSymbols(unsigned ncsection, unsigned upxsection, unsigned sizeof_oh, unsigned ic,
                           unsigned s1addr) {
  (void)upxsection;
  ImportLinker* il = static_cast<ImportLinker*>(ilinker);
  const unsigned rvadelta = pep_ ? 0 : rvamin;
  linker->defineSymbol("original_entry", ih.entry());
  if (use_dep_hack) {
    unsigned a = pe_offset + sizeof_oh + 39 - rvamin;
    linker->defineSymbol("swri", a & 0xFFF);
    linker->defineSymbol("vp_size", (a & 0xFFF) + 0x28 < 0x1000 ? 0x1000 : 0x2000);
    linker->defineSymbol("vp_base", a & ~0xFFFu);
    linker->defineSymbol("VirtualProtect",
                         il->getProcThunkAddress(kernelDll(), "VirtualProtect") - rvadelta);
  }
  if (!pep_) linker->defineSymbol("reloc_delt", unsigned(0u - (unsigned(ih.imagebase()) + rvamin)));
  const unsigned N = unsigned(ph.u_len) - 0;  // not used: positions come from the layout
  (void)N;
  linker->defineSymbol("start_of_relocs", reloc_stream_pos);
  if (!isdll)
    linker->defineSymbol("ExitProcess",
                         il->getProcThunkAddress(kernelDll(), "ExitProcess") - rvadelta);
  linker->defineSymbol("GetProcAddress",
                       il->getProcThunkAddress(kernelDll(), "GetProcAddress") - rvadelta);
  linker->defineSymbol("kernel32_ordinals", ncsection + soresources - rvamin);
  linker->defineSymbol("LoadLibraryA",
                       il->getProcThunkAddress(kernelDll(), "LoadLibraryA") - rvadelta);
  linker->defineSymbol("start_of_imports", ncsection + soresources - rvamin);
  linker->defineSymbol("compressed_imports", import_stream_pos);
  if (pep_ && M_IS_LZMA(ph.method)) {
    linker->defineSymbol("lzma_c_len", ph.c_len - 2);
    linker->defineSymbol("lzma_u_len", ph.u_len);
  }
  linker->defineSymbol("filter_buffer_start", ih.codebase() - rvamin);
  unsigned tls_value = 0;
  if (upx_uint64_t(s1addr) < upx_uint64_t(tlsindex) + 4) {
    unsigned at = tlsindex - ic - s1addr;
    if (upx_uint64_t(at) + 4 <= obuf.getSize()) tls_value = get_le32(obuf + at);
  }
  linker->defineSymbol("tls_value", tls_value);
  linker->defineSymbol("tls_address", tlsindex - rvamin);
  linker->defineSymbol("icon_delta", unsigned(icondir_count) - 1);
  linker->defineSymbol("icon_offset", ncsection + icondir_offset - rvamin);
  linker->defineSymbol("start_of_uncompressed", rvamin - (ic + s1addr));
  linker->defineSymbol("start_of_compressed", (pep_ ? 0 : unsigned(ih.imagebase())) + ic + s1addr);
  if (use_tls_callbacks) {
    linker->defineSymbol("tls_callbacks_ptr", pep_ ? unsigned(tls_callback_ptr - ih.imagebase())
                                                   : unsigned(tls_callback_ptr));
    linker->defineSymbol("tls_module_base", 0u - rvamin);
  }
  // the entry section itself is where the stub begins: its symbol is the
  // section's own and needs no definition
}

void PeFile::addNewRelocations(Reloc&, unsigned) {}

void PackW32Pe::addNewRelocations(Reloc& rel, unsigned upxsection) {
  rel.add(unsigned(upxsection + linker->getSymbolOffset("PEMAIN01") + 2), 3);
}

void PackW32Pe::setOhDataBase(const pe_section_t* osection) {
  oh.setDatabase(osection[2].vaddr);
}

bool PackW32Pe::needForceOption() const {
  return ih.cpu() < 0x14C || ih.cpu() > 0x150 || ih.opthdrsize() != 0xE0 ||
         (ih.flags() & EXECUTABLE) == 0 || (ih.flags() & BITS_32_MACHINE) == 0 ||
         ih.coffmagic() != 0x10B || (ih.entry() == 0 && !isdll) || ih.ddirsentries() != 16 ||
         iddirs[PEDIR_EXCEPTION].size != 0;
}

bool PackW64Pep::needForceOption() const {
  return ih.cpu() != 0x8664 || ih.opthdrsize() != 0xF0 || (ih.flags() & EXECUTABLE) == 0 ||
         (ih.flags() & BITS_32_MACHINE) != 0 || ih.coffmagic() != 0x20B ||
         (ih.entry() == 0 && !isdll) || ih.ddirsentries() != 16;
}

void PackW32Pe::pack(OutputFile* fo) {
  packPeImage(fo);
}

void PackW64Pep::pack(OutputFile* fo) {
  opt->win32_pe.strip_relocs = 0;
  packPeImage(fo);
}

// ---- the pipeline ----

unsigned PeFile::identSplit(unsigned pos, unsigned identsize) {
  if (pos % 0x200 == 0) return 0;
  if (((pos + identsize) ^ pos) < 0x200) return identsize;
  return 0x200 - pos % 0x200;
}

unsigned PeFile::alignedCompressedLength(unsigned c_len, unsigned ic) {
  while ((c_len + ic) % 16) c_len++;
  return c_len;
}

void PeFile::packPeImage(OutputFile* fo) {
  const unsigned hdrsize = ih.size();
  const unsigned H = hdrsize + 3 * 40;
  if (opt->exact) raiseCannotPack("option '--exact' does not work with this file");
  const unsigned objs = ih.objects();
  if (objs == 0) raiseCannotPack("unexpected value in PE header (try --force)");
  readSectionHeaders(objs, hdrsize);
  if (!opt->force && needForceOption())
    raiseCannotPack("unexpected value in PE header (try --force)");
  checkHeaderValues(ih.subsystem(), ih.entry(), ih.filealign());
  if (iddirs[PEDIR_SEC].size) {
    iddirs[PEDIR_SEC].vaddr = 0;
    iddirs[PEDIR_SEC].size = 0;
  }
  ih.setFlags(ih.flags() |
              handleStripRelocs(ih.imagebase(), pep_ ? 0x140000000ull : 0x400000u, ih.dllflags()));
  if (ph.method < 0)
    ph.method = Packer::isValidCompressionMethod(opt->method) && opt->method <= M_NRV2E_LE16
                    ? opt->method
                    : getCompressionMethods(M_NRV2E_LE32, 8)[0];
  if (ph.level < 1 || ph.level > 10)
    ph.level = (opt->level >= 1 && opt->level <= 10) ? opt->level : 8;

  copyStub(fi, fo, pe_offset);
  const unsigned overlaystart = readSections(objs, ih.imagesize(), ih.filealign(), ih.datasize());
  unsigned overlay = unsigned(file_size) - stripDebug(overlaystart);
  if (overlay >= unsigned(file_size)) overlay = 0;
  checkOverlay(overlay);

  const unsigned rsrc = iddirs[PEDIR_RESOURCE].size ? unsigned(iddirs[PEDIR_RESOURCE].vaddr) : 0;
  Resource res(ibuf.view("bad res %#x %#x", rsrc, 1), ibuf, ibuf + ibuf.getSize());
  Interval tlsiv(ibuf), lciv(ibuf);
  Export xport(ibuf, ibuf, ibuf + ibuf.getSize());
  const unsigned names_rva = processImports();
  processTls(&tlsiv);
  processLoadConf(&lciv);
  processResources(&res);
  processExports(&xport);
  processRelocs();

  filter_allowed = upx_uint64_t(ih.codebase()) + ih.codesize() <= ih.imagesize();
  if (filter_allowed) {
    unsigned s = sectionOf(ih.codebase());
    filter_allowed = s < objs && (isection[s].flags & 0x20);
  }
  const unsigned secalign = ih.objectalign();
  if (secalign == 0 || (secalign & (secalign - 1))) failf("bad alignment %#x", secalign);

  const pe_section_t& last = isection[objs - 1];
  const unsigned N = alignUp(last.vaddr + last.vsize, secalign);
  const unsigned extra_max = hdrsize + 40 * objs + 8 + 5 + 2 + 4;
  if (upx_uint64_t(N) + soimport + sorelocs + extra_max > ibuf.getSize())
    raiseInternalError("buffer too small 2");
  import_stream_pos = N - rvamin;
  reloc_stream_pos = N - rvamin + soimport;
  if (soimport) memcpy(ibuf + N, oimport, soimport);
  if (sorelocs) memcpy(ibuf + N + soimport, orelocs, sorelocs);
  unsigned u_len = N + soimport + sorelocs;
  // the extra information, read back in this order by the unpack
  upx_byte* x = ibuf.view("bad ph.u_len %#x %#x", u_len, extra_max);
  const unsigned extra_pos = u_len;
  memcpy(x, ih.b, hdrsize);
  x += hdrsize;
  memcpy(x, isection, 40 * objs);
  x += 40 * objs;
  if (iddirs[PEDIR_IMPORT].vaddr && iddirs[PEDIR_IMPORT].size > 20) {
    set_le32(x, soimport ? N - rvamin : 0);
    set_le32(x + 4, names_rva);
    x += 8;
  }
  if (iddirs[PEDIR_RELOC].vaddr && iddirs[PEDIR_RELOC].size && iddirs[PEDIR_RELOC].size != 8 &&
      !(ih.flags() & RELOCS_STRIPPED)) {
    set_le32(x, N - rvamin + soimport);
    x[4] = upx_byte(big_relocs & 6);
    x += 5;
  }
  if (soresources) {
    set_le16(x, icondir_count);
    x += 2;
  }
  set_le32(x, extra_pos - rvamin);
  x += 4;
  u_len = unsigned(x - ibuf.data());
  if (u_len < rvamin) {
    char msg[100];
    upx_snprintf(msg, sizeof(msg), "bad PE header  ph.u_len=%#x  rvamin=%#x", u_len, rvamin);
    raiseInternalError(msg);
  }
  u_len -= rvamin;
  ph.u_len = u_len;
  obuf.release();
  obuf.allocateForCompression(u_len);

  Filter ft(ph.level);
  ft.buf_len = ih.codesize();
  ft.addvalue = ih.codebase() - rvamin;
  int strategy = filter_allowed ? 0 : -3;
  unsigned filter_off = ih.codebase();
  if (upx_uint64_t(ih.codebase()) - rvamin + ih.codesize() > u_len || ih.codebase() < rvamin) {
    ft.buf_len = 1;
    strategy = -3;
    filter_off = rvamin;
  }
  compressWithFilters(&ft, 2048, nullptr, strategy, filter_off, rvamin, 0);

  // layout
  const unsigned N2 = alignUp(u_len + rvamin + ph.overlap_overhead, secalign);
  if (tlsindex &&
      upx_uint64_t(alignUp(N2 - ph.c_len - 1024, secalign)) > upx_uint64_t(tlsindex) + 4)
    tlsindex = 0;
  int idlen = 0, hdlen = 0;
  const int identstart = getLoaderSectionStart("IDENTSTR", &idlen);
  getLoaderSectionStart("UPX1HEAD", &hdlen);
  UPX_ASSERT(idlen > 0);
  const unsigned identsize = unsigned(idlen + hdlen);
  const unsigned identsplit = identSplit(pe_offset + H, identsize);
  const unsigned ic = identsize - identsplit;
  const unsigned c_len = alignedCompressedLength(ph.c_len, ic);
  if (c_len > obuf.getSize()) raiseInternalError("buffer too small 3");
  memset(obuf + ph.c_len, 0, c_len - ph.c_len);
  const unsigned loader_size = unsigned(identstart);
  const unsigned s1size = ALIGN_UP(ic + c_len + loader_size, 4u) + sotls + soloadconf;
  const unsigned S1 = alignUp(N2 - (ic + c_len), secalign);
  const unsigned NC = alignUp(S1 + s1size, secalign);
  const unsigned E = S1 + ic + c_len;

  Reloc rel(1024u);
  addNewRelocations(rel, E);
  memcpy(oh.b, ih.b, hdrsize);
  oh.setFilealign(0x200);
  oh.setEntry(E);
  oh.setObjects(3);
  oh.setChksum(0);
  for (int d : {PEDIR_DEBUG, PEDIR_IAT, PEDIR_BOUNDIM}) {
    oddirs[d].vaddr = 0;
    oddirs[d].size = 0;
  }

  unsigned P = S1 + s1size - sotls - soloadconf;
  if (use_tls_callbacks) tls_handler_offset = unsigned(linker->getSymbolOffset("PETLSC2")) + E;
  relocateTls(&rel, &tlsiv, P);
  oddirs[PEDIR_TLS].vaddr = sotls ? P : 0;
  oddirs[PEDIR_TLS].size = sotls ? (pep_ ? 0x28 : 0x18) : 0;
  P += sotls;
  processLoadConf(&rel, &lciv, P);
  oddirs[PEDIR_LOAD_CONFIG].vaddr = soloadconf ? P : 0;
  oddirs[PEDIR_LOAD_CONFIG].size = soloadconf;

  P = NC;
  processResources(&res, P);
  oddirs[PEDIR_RESOURCE].vaddr = soresources ? P : 0;
  oddirs[PEDIR_RESOURCE].size = soresources;
  P += soresources;
  ImportLinker* il = static_cast<ImportLinker*>(ilinker);
  il->relocateAt(P + getProcessImportParam(P));
  oimpdlls = il->getLoader();
  if (il->getOutputLength() != int(soimpdlls)) raiseInternalError("import linker size");
  oddirs[PEDIR_IMPORT].vaddr = P;
  oddirs[PEDIR_IMPORT].size = soimpdlls;
  P += soimpdlls;
  if (soexport) {
    processExports(&xport, P);
    oddirs[PEDIR_EXPORT].vaddr = P;
    oddirs[PEDIR_EXPORT].size = soexport;
  } else if (!(!isdll && opt->win32_pe.compress_exports)) {
    oddirs[PEDIR_EXPORT].vaddr = 0;
    oddirs[PEDIR_EXPORT].size = 0;
  }
  P += soexport;
  delete[] oxrelocs;
  oxrelocs = nullptr;
  rel.finish(&oxrelocs, &soxrelocs);
  if (opt->win32_pe.strip_relocs && !isdll) soxrelocs = 0;
  oddirs[PEDIR_RELOC].vaddr = soxrelocs ? P : 0;
  oddirs[PEDIR_RELOC].size = soxrelocs;
  P += soxrelocs;

  defineSymbols(NC, E, hdrsize, ic, S1);
  defineFilterSymbols(&ft);
  relocateLoader();
  const int lsize = getLoaderSize();
  upx_byte* loader = getLoader();
  patchPackHeader(loader, lsize);

  const unsigned raw0 = alignUp(pe_offset + H, 0x200);
  const unsigned size1 = alignUp(s1size, 0x200);
  const unsigned ncsize = soresources + soimpdlls + soexport + soxrelocs;
  const unsigned size2 = alignUp(ncsize, 0x200);
  MemBuffer osec_buf(3 * 40);
  pe_section_t* osection = reinterpret_cast<pe_section_t*>(osec_buf.data());
  memcpy(osection[0].name, "UPX0", 4);
  osection[0].vaddr = rvamin;
  osection[0].vsize = S1 - rvamin;
  osection[0].size = 0;
  osection[0].rawdataptr = raw0;
  osection[0].flags = 0xE0000080;
  memcpy(osection[1].name, "UPX1", 4);
  osection[1].vaddr = S1;
  osection[1].size = size1;
  osection[1].vsize = alignUp(size1, secalign);
  osection[1].rawdataptr = raw0;
  osection[1].flags = 0xE0000040;
  memcpy(osection[2].name, soresources ? ".rsrc" : "UPX2", soresources ? 5 : 4);
  osection[2].vaddr = NC;
  osection[2].size = size2;
  osection[2].vsize = alignUp(size2 + (ncsize % secalign == 0 ? 8 : 0), secalign);
  osection[2].rawdataptr = raw0 + size1;
  osection[2].flags = 0xC0000040;
  oh.setImagesize(NC + osection[2].vsize);
  set_le32(oh.b + 36, osection[0].vsize);
  oh.setDatasize(osection[2].vsize);
  oh.setCodesize(osection[1].vsize);
  oh.setCodebase(S1);
  setOhDataBase(osection);
  setOhHeaderSize(osection);
  if (rvamin < osection[0].rawdataptr) raiseCannotPack("object alignment too small");
  if (opt->win32_pe.strip_relocs && !isdll) oh.setFlags(oh.flags() | RELOCS_STRIPPED);

  // the file
  fo->write(oh.b, int(hdrsize));
  fo->write(osection, 3 * 40);
  MemBuffer zeros(0x400);
  if (identsplit == identsize) {
    unsigned n = raw0 - unsigned(fo->getBytesWritten()) - identsize;
    UPX_ASSERT(n <= oh.filealign());
    if (n) fo->write(zeros, int(n));
  }
  fo->write(loader + identstart, int(identsize));
  fo->write(obuf, int(c_len));
  fo->write(loader, identstart);
  auto pad = [&](unsigned a) {
    unsigned n = (a - unsigned(fo->getBytesWritten()) % a) % a;
    if (n) fo->write(zeros, int(n));
  };
  pad(4);
  if (sotls) fo->write(otls, int(sotls));
  if (soloadconf) fo->write(oloadconf, int(soloadconf));
  pad(0x200);
  if (unsigned(fo->getBytesWritten()) != osection[2].rawdataptr) raiseInternalError("bad layout");
  if (soresources) fo->write(oresources, int(soresources));
  fo->write(oimpdlls, int(soimpdlls));
  if (soexport) fo->write(oexport, int(soexport));
  if (soxrelocs) fo->write(oxrelocs, int(soxrelocs));
  pad(0x200);

  verifyOverlappingDecompression();
  copyOverlay(fo, overlay, &obuf, true);
  if (!checkFinalCompressionRatio(fo)) raiseNotCompressible();
}

}  // namespace upx
