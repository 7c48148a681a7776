// the PE image model, the
// recognition of a packed PE file and the unpack road.
#include "upxlib/pefile.h"

#include <algorithm>
#include <vector>
#include <cstdio>

#include "upxlib/except.h"
#include "upxlib/file.h"
#include "upxlib/filter.h"
#include "upxlib/options.h"
#include "upxlib/util.h"

namespace upx {

static const char* const kOutOfRange = "pointer out of range; take care!";

PeFile::PeFile(InputFile* f, bool pep)
    : Packer(f),
      ih(pep),
      oh(pep),
      pe_offset(0),
      isection(nullptr),
      rvamin(0),
      oimport(nullptr),
      soimport(0),
      oimpdlls(nullptr),
      soimpdlls(0),
      orelocs(nullptr),
      sorelocs(0),
      oxrelocs(nullptr),
      soxrelocs(0),
      oexport(nullptr),
      soexport(0),
      oresources(nullptr),
      soresources(0),
      otls(nullptr),
      sotls(0),
      oloadconf(nullptr),
      soloadconf(0),
      icondir_offset(0),
      icondir_count(0),
      importbyordinal(false),
      kernel32ordinal(false),
      tlsindex(0),
      big_relocs(0),
      isdll(false),
      isrtm(false),
      use_dep_hack(true),
      use_clear_dirty_stack(true),
      ilinker(nullptr),
      pep_(pep) {
  bele = &N_BELE_RTP::le_policy;
  iddirs = ih.ddirs();
  oddirs = oh.ddirs();
}

PeFile::~PeFile() {
  delete[] orelocs;
  delete[] oimport;
  oimpdlls = nullptr;
  delete[] oexport;
  delete[] otls;
  delete[] oresources;
  delete[] oxrelocs;
  delete[] oloadconf;
  delete ilinker;
}

upx_byte* PeFile::optr(unsigned pos, unsigned len) {
  if (obuf.isEmpty() || upx_uint64_t(pos) + len > obuf.getSize()) raiseCannotPack(kOutOfRange);
  return obuf + pos;
}

upx_byte* PeFile::iptr(unsigned pos, unsigned len) {
  if (ibuf.isEmpty() || upx_uint64_t(pos) + len > ibuf.getSize()) raiseCannotPack(kOutOfRange);
  return ibuf + pos;
}

// The cursor p (into obuf) with len readable bytes.
static const upx_byte* ocheck(const MemBuffer& b, const upx_byte* p, unsigned len) {
  if (p < b.data() || upx_uint64_t(p - b.data()) + len > b.getSize()) raiseCannotPack(kOutOfRange);
  return p;
}

// Length of the zero-terminated string at p, which must end before end.
static unsigned boundedStrlen(const upx_byte* p, const upx_byte* end) {
  const upx_byte* q = p;
  while (q < end && *q) q++;
  if (q >= end) raiseCannotPack(kOutOfRange);
  return unsigned(q - p);
}

// ---- recognition ----

bool PeFile::testUnpackVersion(int version) const {
  if (expected_version >= 0 && version != expected_version)
    raiseCannotPack("program has been modified; run a virus checker!");
  if (!canUnpackVersion(version))
    raiseCannotPack("this program is packed with an obsolete version and cannot be unpacked");
  return true;
}

void PeFile::readPeHeader() {
  fi->readExact(ih.b, int(ih.size()));
  isdll = (ih.flags() & DLL_FLAG) != 0;
}

int PeFile::readFileHeader() {
  upx_byte h[64];
  pe_offset = 0;
  int ic;
  for (ic = 0; ic < 20; ic++) {
    fi->seek(pe_offset, SEEK_SET);
    fi->readExact(h, 64);
    if (get_le16(h) == 0x5A4D) {
      unsigned delta;
      if (get_le16(h + 24) >= 0x40)
        delta = get_le32(h + 60);
      else if (get_le16(h + 4) != 0)
        delta = 512;
      else
        delta = get_le32(h + 60);
      unsigned n = pe_offset + delta;
      if (n < pe_offset || n > unsigned(file_size)) {
        char buf[64];
        upx_snprintf(buf, sizeof(buf), "bad PE delta %#x at offset %#x", delta, pe_offset);
        raiseCannotPack(buf);
      }
      pe_offset = n;
    } else if (get_le32(h) == 0x00004550) {
      break;
    } else {
      return 0;
    }
  }
  if (ic == 20) return 0;
  fi->seek(pe_offset, SEEK_SET);
  readPeHeader();
  fi->seek(512, SEEK_SET);
  fi->readExact(h, 6);
  return getFormat();
}

bool PeFile::canPack() {
  if (!readFileHeader()) return false;
  return canPackMachine();
}

int PeFile::testPackedLayout(unsigned section_limit, unsigned objs, unsigned entry,
                             unsigned hdrsize) {
  if (!canPack()) return 0;
  isection_buf.release();
  isection = nullptr;
  if (objs) {
    isection_buf.allocate(mem_size(sizeof(pe_section_t), objs));
    isection = reinterpret_cast<pe_section_t*>(isection_buf.data());
    fi->seek(upx_int64_t(pe_offset) + hdrsize, SEEK_SET);
    fi->readExact(isection, int(sizeof(pe_section_t) * objs));
  }
  if (objs < 3) return -1;
  bool is_packed =
      (objs == 3 || objs == section_limit) && (iddirs[15].size != 0 || entry > isection[1].vaddr);
  bool found_ph = false;
  if (memcmp(isection[0].name, "UPX", 3) == 0) {
    fi->seek(upx_int64_t(isection[1].rawdataptr) - 64, SEEK_SET);
    found_ph = readPackHeader(1024);
    if (!found_ph) {
      fi->seek(isection[2].rawdataptr, SEEK_SET);
      found_ph = readPackHeader(1024);
    }
  }
  if (is_packed && found_ph) return 1;
  if (!is_packed && !found_ph) return -1;
  if (!is_packed) return 0;
  if (entry >= isection[2].vaddr) return 0;
  // looks packed but carries no pack header: look at the entry code
  upx_byte buf[256];
  memset(buf, 0, sizeof(buf));
  int twice = 0;
  try {
    fi->seek(upx_int64_t(entry) - isection[1].vaddr + isection[1].rawdataptr, SEEK_SET);
    fi->read(buf, sizeof(buf));
    static const upx_byte magic[7] = {0x8B, 0x1E, 0x83, 0xEE, 0xFC, 0x11, 0xDB};
    int p = find(buf, sizeof(buf), magic, 7);
    if (p >= 0 && find(buf + p + 1, 255 - p, magic, 7) >= 0) twice = 1;
  } catch (...) {
    twice = 0;
  }
  if (twice) raiseCannotPack("file is modified/hacked/protected; take care!!!");
  raiseCannotPack("file is possibly modified/hacked/protected; take care!");
}

int PeFile32::canUnpack() {
  if (!canPack()) return 0;
  unsigned limit = getFormat() == UPX_F_WINCE_ARM_PE ? 4 : 3;
  return testPackedLayout(limit, ih.objects(), ih.entry(), 248);
}

int PeFile64::canUnpack() {
  if (!canPack()) return 0;
  return testPackedLayout(3, ih.objects(), ih.entry(), 264);
}

void PeFile32::unpack(OutputFile* fo) {
  unpackPeImage(fo, 0x80000000u, getFormat() == UPX_F_WINCE_ARM_PE);
}

void PeFile64::unpack(OutputFile* fo) {
  unpackPeImage(fo, 0x8000000000000000ull, false);
}

// ---- the unpack flow ----

static unsigned alignUp(unsigned x, unsigned a) {
  upx_uint64_t r = (upx_uint64_t(x) + a - 1) / a * a;
  if (r > 0xFFFFFFFFu) raiseCannotPack("unexpected value in the PE header");
  return unsigned(r);
}

void PeFile::unpackPeImage(OutputFile* fo, upx_uint64_t ord_mask, bool set_oft) {
  const unsigned hdrsize = ih.size();
  const unsigned objs = ih.objects();
  UPX_ASSERT(isection != nullptr && objs >= 3);

  // 1. the DOS stub
  copyStub(fi, fo, pe_offset);
  // 2.
  if (ih.filealign() == 0) raiseCannotPack("unexpected value in the PE header");
  // 3. overlay
  const pe_section_t& last = isection[objs - 1];
  unsigned overlay = unsigned(file_size) - alignUp(last.rawdataptr + last.size, ih.filealign());
  checkOverlay(overlay);
  // 4.
  // No more memory than the compressed data can fill: the claimed length
  // is checked against what they can stand for before anything is
  // allocated, and they are decompressed straight into the output.
  if (ph.u_len > UPX_RSIZE_MAX) raiseCannotPack("mem_size 2; take care");
  if (ph.c_len == 0 || ph.u_len > upx_max_decompressed_len(ph.c_len))
    raiseCannotPack("header corrupted");
  ibuf.release();
  obuf.release();
  ibuf.allocate(ph.c_len);
  obuf.allocate(upx_uint64_t(ph.u_len) + UPX_DECOMPRESS_SPARE);
  // 5.
  fi->seek(upx_int64_t(isection[1].rawdataptr) - 64 + ph.buf_offset + ph.getPackHeaderSize(),
           SEEK_SET);
  fi->readExact(ibuf, int(ph.c_len));
  // 6.
  decompress(ibuf, obuf, true, nullptr, UPX_DECOMPRESS_SPARE);
  obuf.verifyGuards();
  // 7. trailer and restored header
  if (ph.u_len < 4) raiseCannotPack("header corrupted");
  const unsigned bufsize = obuf.getSize();
  unsigned xoff = get_le32(obuf + ph.u_len - 4);
  if (upx_uint64_t(xoff) + hdrsize > bufsize) {
    char msg[64];
    upx_snprintf(msg, sizeof(msg), "bad extrainfo offset %#x", xoff);
    raiseCannotPack(msg);
  }
  memcpy(oh.b, obuf + xoff, hdrsize);
  const upx_byte* extrainfo = obuf + xoff + hdrsize;
  // 8. the section table
  const unsigned n = oh.objects();
  if (n == 0 || isection[2].size == 0) raiseCannotPack("unexpected value in the PE header");
  MemBuffer osection_buf(mem_size(sizeof(pe_section_t), n));
  unsigned cur = unsigned(extrainfo - obuf.data());
  if (upx_uint64_t(cur) + sizeof(pe_section_t) * n > bufsize) {
    char msg[64];
    upx_snprintf(msg, sizeof(msg), "bad extra section size at %#x", cur);
    raiseCannotPack(msg);
  }
  memcpy(osection_buf, extrainfo, sizeof(pe_section_t) * n);
  pe_section_t* osection = reinterpret_cast<pe_section_t*>(osection_buf.data());
  extrainfo += sizeof(pe_section_t) * n;
  // 9.
  rvamin = osection[0].vaddr;
  // 10. section 2 of the packed file
  ibuf.release();
  ibuf.allocate(isection[2].size);
  fi->seek(isection[2].rawdataptr, SEEK_SET);
  fi->readExact(ibuf, int(isection[2].size));
  // 11. the code filter
  if (ph.filter != 0) {
    Filter ft(ph.level);
    ft.init(ph.filter, oh.codebase() - rvamin);
    ft.cto = upx_byte(ph.filter_cto);
    upx_byte* code = optr(oh.codebase() - rvamin, oh.codesize());
    ft.unfilter(code, oh.codesize(), false);
  }
  // The dynamic-base test of step 19 is made before the relocation rebuild,
  // so that a program with dynamic base keeps its relocations.
  if (ih.dllflags() & PE_DLLCHAR_DYNAMIC_BASE) opt->win32_pe.strip_relocs = 0;
  // 12 to 14.
  rebuildImportTable(&extrainfo, ord_mask, set_oft, osection, n);
  rebuildRelocs(&extrainfo, pep_ ? 64 : 32, oh.flags(), oh.imagebase());
  rebuildExports();
  // 15.
  if (objs == 4) {
    ibuf.release();
    ibuf.allocate(isection[3].size);
    fi->seek(isection[3].rawdataptr, SEEK_SET);
    fi->readExact(ibuf, int(isection[3].size));
  }
  // 16.
  rebuildResources(&extrainfo, isection[objs - 1].vaddr);
  // 17, 18.
  oddirs[PEDIR_DEBUG].vaddr = 0;
  oddirs[PEDIR_DEBUG].size = 0;
  oddirs[PEDIR_IAT].vaddr = 0;
  oddirs[PEDIR_IAT].size = 0;
  oddirs[PEDIR_BOUNDIM].vaddr = 0;
  oddirs[PEDIR_BOUNDIM].size = 0;
  oh.setHeadersize(rvamin);
  oh.setChksum(0);
  // 20.
  if ((opt->win32_pe.strip_relocs != 0 && !isdll) || (ih.flags() & RELOCS_STRIPPED)) {
    oh.setFlags(oh.flags() | RELOCS_STRIPPED);
    oddirs[PEDIR_RELOC].vaddr = 0;
    oddirs[PEDIR_RELOC].size = 0;
  }
  // 21. The stored section table must fit the file written from it: raw
  // data one section after another from the first raw offset on.
  unsigned f = 0;
  while (f < n && osection[f].rawdataptr == 0) f++;
  if (f == n) raiseCannotPack("unexpected value in the PE header");
  if (oh.filealign() == 0) raiseCannotPack("unexpected value in the PE header");
  const unsigned P = osection[f].rawdataptr;
  upx_uint64_t written_end = P;
  for (unsigned i = 0; i < n; i++)
    if (osection[i].rawdataptr) written_end += alignUp(osection[i].size, oh.filealign());
  for (unsigned i = 0; i < n; i++) {
    upx_uint64_t start = osection[i].rawdataptr;
    if (start + osection[i].size > written_end)
      raiseCannotPack("unexpected value in the PE header");
  }
  // 22. writing
  if (fo) {
    ibuf.release();
    ibuf.allocate(P);
    fo->write(oh.b, int(hdrsize));
    fo->write(osection, int(sizeof(pe_section_t) * n));
    int written = fo->getBytesWritten();
    if (written < 0 || unsigned(written) > P) raiseCannotPack("unexpected value in the PE header");
    fo->write(ibuf, int(P - unsigned(written)));
    for (unsigned i = 0; i < n; i++) {
      if (osection[i].rawdataptr == 0) continue;
      unsigned len = alignUp(osection[i].size, oh.filealign());
      const upx_byte* data = optr(osection[i].vaddr - rvamin, len);
      fo->write(data, int(len));
    }
    copyOverlay(fo, overlay, &obuf, true);
  }
  ibuf.release();
}

// ---- the import table ----

void PeFile::rebuildImportTable(const upx_byte** extrainfo, upx_uint64_t ord_mask, bool set_oft,
                                const pe_section_t* osection, unsigned objs) {
  if (oddirs[PEDIR_IMPORT].vaddr == 0 || oddirs[PEDIR_IMPORT].size <= 20) return;
  const unsigned W = pep_ ? 8 : 4;
  const upx_byte* e = ocheck(obuf, *extrainfo, 8);
  const unsigned stream = get_le32(e);
  const unsigned A = get_le32(e + 4);
  *extrainfo += 8;

  const unsigned imparea = iddirs[PEDIR_IMPORT].vaddr - isection[2].vaddr;
  const upx_byte* iend = ibuf + ibuf.getSize();
  const upx_byte* oend = obuf + obuf.getSize();
  auto dllName = [&](unsigned off, unsigned* len) -> const upx_byte* {
    const upx_byte* p = iptr(imparea + off, 1);
    if (upx_uint64_t(imparea) + off >= ibuf.getSize()) raiseCannotPack(kOutOfRange);
    *len = boundedStrlen(p, iend);
    return p;
  };
  auto adv = [&](const upx_byte* p, unsigned k) -> const upx_byte* {
    if (upx_uint64_t(p - obuf.data()) + k > obuf.getSize()) raiseCannotPack(kOutOfRange);
    return p + k;
  };

  // sizing pass
  unsigned T = 0;
  const upx_byte* p = optr(stream, 4);
  for (;;) {
    ocheck(obuf, p, 4);
    if (get_le32(p) == 0) break;
    ocheck(obuf, p, 8);
    unsigned L;
    dllName(get_le32(p), &L);
    T += L + 1;
    p = adv(p, 8);
    for (;;) {
      ocheck(obuf, p, 1);
      unsigned tag = *p;
      if (tag == 0) break;
      if (tag == 1)
        p = adv(p, 2 + boundedStrlen(p + 1, oend));
      else if (tag == 0xFF)
        p = adv(p, 3);
      else
        p = adv(p, 5);
    }
    p = adv(p, 1);
  }
  T = (T + 1) & ~1u;

  // writing pass: the thunks of each DLL, then its descriptor and name
  struct Dll {
    const upx_byte* name;
    unsigned len, iat;
  };
  std::vector<Dll> dlls;
  unsigned H = A + T;
  const unsigned hstart = A + T;
  auto writeSlot = [&](unsigned rva, upx_uint64_t v) {
    upx_byte* s = optr(rva - rvamin, W);
    if (W == 8)
      set_le64(s, v);
    else
      set_le32(s, unsigned(v));
  };
  p = obuf + stream;
  for (;;) {
    if (get_le32(ocheck(obuf, p, 4)) == 0) break;
    Dll dll;
    dll.name = dllName(get_le32(p), &dll.len);
    dll.iat = get_le32(p + 4) + rvamin;
    dlls.push_back(dll);
    p = adv(p, 8);
    unsigned slot = dll.iat;
    for (;;) {
      ocheck(obuf, p, 1);
      unsigned tag = *p;
      if (tag == 0) break;
      if (tag == 1) {
        unsigned nl = boundedStrlen(p + 1, oend);
        if (A) {
          if ((H - hstart) & 1) H--;
          memcpy(optr(H + 2 - rvamin, nl + 1), p + 1, nl + 1);
          writeSlot(slot, H);
          H += nl + 3;
        } else {
          unsigned v = get_le32(optr(slot - rvamin, W));
          memcpy(optr(v + 2 - rvamin, nl + 2), p + 1, nl + 1);
        }
        p = adv(p, nl + 2);
      } else if (tag == 0xFF) {
        ocheck(obuf, p, 3);
        writeSlot(slot, get_le16(p + 1) + ord_mask);
        p = adv(p, 3);
      } else {
        ocheck(obuf, p, 5);
        unsigned d = get_le32(p + 1);
        const upx_byte* t = iptr(imparea + d, W);
        if (upx_uint64_t(imparea) + d + W > ibuf.getSize()) raiseCannotPack(kOutOfRange);
        upx_uint64_t v = W == 8 ? get_le64(t) : get_le32(t);
        if (!(v & ord_mask)) raiseCannotPack("bad import thunk; take care!");
        writeSlot(slot, v);
        p = adv(p, 5);
      }
      slot += W;
    }
    p = adv(p, 1);
    writeSlot(slot, 0);
  }

  // Descriptor k of the stream gets DLL order[k] and its name at names[k].
  const unsigned n = unsigned(dlls.size());
  const unsigned descrva = oddirs[PEDIR_IMPORT].vaddr;
  std::vector<unsigned> order(n), names(n);
  for (unsigned k = 0; k < n; k++) order[k] = k;
  if (A) {
    for (unsigned k = 0, at = A; k < n; at += dlls[k].len + 1, k++) names[k] = at;
  } else {
    std::vector<unsigned> need(n), iat(n);
    for (unsigned k = 0; k < n; k++) {
      need[k] = dlls[k].len + 1;
      iat[k] = dlls[k].iat;
    }
    placeDllNames(need, iat, descrva, osection, objs, order, names);
  }
  for (unsigned k = 0; k < n; k++) {
    const Dll& dll = dlls[order[k]];
    upx_byte* desc = optr(descrva - rvamin + 20 * k, 20);
    memcpy(optr(names[k] - rvamin, dll.len + 1), dll.name, dll.len + 1);
    set_le32(desc + 12, names[k]);
    set_le32(desc + 16, dll.iat);
    if (set_oft) set_le32(desc, dll.iat);
  }
}

// The packer clears the DLL names where they are scattered and keeps their
// places in the descriptors, in the original order; the import stream comes
// in another order. Linkers lay out descriptors, names and address tables in
// one order, so descriptor k goes back to the DLL with the k-th lowest
// address table, its name to its own place; where a name would not fit
// there, each takes the smallest place it fits. A place holds a name only up
// to the next place, the next non-zero byte, the descriptors or the end of
// its section; a place that two descriptors name holds one.
void PeFile::placeDllNames(const std::vector<unsigned>& need, const std::vector<unsigned>& iat,
                           unsigned descrva, const pe_section_t* osection, unsigned objs,
                           std::vector<unsigned>& order, std::vector<unsigned>& names) {
  const unsigned n = unsigned(need.size());
  std::vector<unsigned> slot(n), room(n);
  for (unsigned k = 0; k < n; k++) slot[k] = get_le32(optr(descrva - rvamin + 20 * k, 20) + 12);
  for (unsigned k = 0; k < n; k++) {
    upx_uint64_t limit = descrva > slot[k] ? descrva : obuf.getSize() + upx_uint64_t(rvamin);
    for (unsigned j = 0; j < n; j++)
      if (slot[j] > slot[k] && slot[j] < limit) limit = slot[j];
    bool inside = false;
    for (unsigned i = 0; i < objs; i++) {
      unsigned size = osection[i].vsize ? unsigned(osection[i].vsize) : unsigned(osection[i].size);
      upx_uint64_t lo = osection[i].vaddr, hi = lo + size;
      if (slot[k] >= lo && slot[k] < hi) {
        inside = true;
        if (hi < limit) limit = hi;
      }
    }
    if (!inside || slot[k] < rvamin) raiseCannotPack("bad import name place");
    bool shared = false;  // a place named twice holds one name
    for (unsigned j = 0; j < k; j++) shared = shared || slot[j] == slot[k];
    unsigned r = 0;
    while (!shared && slot[k] + upx_uint64_t(r) < limit &&
           slot[k] - rvamin + upx_uint64_t(r) < obuf.getSize() && obuf[slot[k] - rvamin + r] == 0)
      r++;
    room[k] = r;
  }
  std::stable_sort(order.begin(), order.end(),
                   [&](unsigned a, unsigned b) { return iat[a] < iat[b]; });
  bool own = true;
  for (unsigned k = 0; k < n; k++) own = own && need[order[k]] <= room[k];
  if (own) {
    names = slot;
    return;
  }
  for (unsigned k = 0; k < n; k++) order[k] = k;
  std::vector<unsigned> bylen(order);
  std::stable_sort(bylen.begin(), bylen.end(),
                   [&](unsigned a, unsigned b) { return need[a] > need[b]; });
  std::vector<bool> taken(n, false);
  for (unsigned k : bylen) {
    unsigned best = n;
    for (unsigned j = 0; j < n; j++)
      if (!taken[j] && need[k] <= room[j] && (best == n || room[j] < room[best])) best = j;
    if (best == n) raiseCannotPack("import names do not fit their places");
    taken[best] = true;
    names[k] = slot[best];
  }
}

// ---- relocations ----

void PeFile::rebuildRelocs(const upx_byte** extrainfo, unsigned bits, unsigned flags,
                           upx_uint64_t imagebase) {
  if (oddirs[PEDIR_RELOC].vaddr == 0 || oddirs[PEDIR_RELOC].size == 0 || (flags & RELOCS_STRIPPED))
    return;
  if (oddirs[PEDIR_RELOC].size == 8) {
    upx_byte* p = optr(oddirs[PEDIR_RELOC].vaddr - rvamin, 8);
    set_le32(p, 0);
    set_le32(p + 4, 8);
    return;
  }
  const upx_byte* e = ocheck(obuf, *extrainfo, 5);
  const unsigned rel_off = get_le32(e);
  const unsigned big = e[4];
  *extrainfo += 5;

  const upx_byte* oend = obuf + obuf.getSize();
  const upx_byte* rdata = optr(rel_off, 1);
  MemBuffer wrkmem;
  const unsigned relocn = unoptimizeReloc(&rdata, nullptr, &wrkmem, int(bits), oend);

  unsigned n16 = 0;
  const upx_byte* lists = rdata;
  if (big & 6) {
    int nlists = ((big & 6) == 6) ? 2 : 1;
    const upx_byte* q = lists;
    for (int l = 0; l < nlists; l++) {
      for (;;) {
        unsigned v = get_le32(ocheck(obuf, q, 4));
        q += 4;
        if (v == 0) break;
        n16++;
      }
    }
  }
  Reloc rel(relocn + n16);
  if (big & 6) {
    const upx_byte* q = lists;
    unsigned type1 = (big & 4) ? 2 : 1;
    for (unsigned v; (v = get_le32(ocheck(obuf, q, 4))) != 0; q += 4) rel.add(v + rvamin, type1);
    q += 4;
    if ((big & 6) == 6)
      for (unsigned v; (v = get_le32(ocheck(obuf, q, 4))) != 0; q += 4) rel.add(v + rvamin, 1);
  }
  const upx_byte* positions = wrkmem;
  for (unsigned i = 0; i < relocn; i++) {
    unsigned pos = get_le32(positions + 4 * i);
    if (bits == 32) {
      upx_byte* f = optr(pos, 4);
      set_le32(f, get_be32(f) + unsigned(imagebase) + rvamin);
      rel.add(pos + rvamin, 3);
    } else {
      upx_byte* f = optr(pos, 8);
      set_le64(f, get_be64(f) + imagebase + rvamin);
      rel.add(pos + rvamin, 10);
    }
  }
  upx_byte* dir = nullptr;
  unsigned dirsize = 0;
  rel.finish(&dir, &dirsize);
  try {
    if (opt->win32_pe.strip_relocs != 0 && !isdll) {
      unsigned rva = oddirs[PEDIR_RELOC].vaddr, sz = oddirs[PEDIR_RELOC].size;
      memset(optr(rva - rvamin, sz), 0, sz);
      oddirs[PEDIR_RELOC].vaddr = 0;
      dirsize = 0;
    } else {
      memcpy(optr(oddirs[PEDIR_RELOC].vaddr - rvamin, dirsize), dir, dirsize);
    }
  } catch (...) {
    delete[] dir;
    throw;
  }
  delete[] dir;
  oddirs[PEDIR_RELOC].size = dirsize;
}

PeFile::Reloc::Reloc(upx_byte* s, unsigned si) : start(s), size(si) {
  rel = nullptr;
  rel1 = nullptr;
  unsigned pos, type;
  while (next(&pos, &type)) counts[type & 15]++;
  rel = nullptr;
  rel1 = nullptr;
}

PeFile::Reloc::Reloc(unsigned relocnum) {
  upx_uint64_t bytes = mem_size(4, upx_uint64_t(relocnum) + 2048);
  owned_size = unsigned(bytes);
  owned = new upx_byte[owned_size];
  memset(owned, 0, owned_size);
  start = owned;
  words = reinterpret_cast<unsigned*>(owned + 1024);
  capwords = (owned_size - 1024) / 4;
  nwords = 0;
}

bool PeFile::Reloc::next(unsigned* pos, unsigned* type) {
  for (;;) {
    if (!rel) {
      rel = start;
      rel1 = rel + 8;
    }
    if (rel + 8 > start + size) return false;
    unsigned page = get_le32(rel);
    unsigned bsize = get_le32(rel + 4);
    if (page == 0 || bsize < 8) return false;
    if (rel1 + 2 > rel + bsize || rel1 + 2 > start + size) {
      rel += bsize;
      rel1 = rel + 8;
      continue;
    }
    unsigned v = get_le16(rel1);
    rel1 += 2;
    if ((v >> 12) == 0) continue;
    *pos = page + (v & 0xFFF);
    *type = v >> 12;
    return true;
  }
}

void PeFile::Reloc::add(unsigned pos, unsigned type) {
  UPX_ASSERT(nwords + 1 < capwords);
  words[nwords++] = (pos << 4) + (type & 15);
}

void PeFile::Reloc::finish(upx_byte** result, unsigned* result_size) {
  std::sort(words, words + nwords);
  std::vector<upx_byte> out;
  out.reserve(nwords * 2 + 16);
  unsigned i = 0;
  while (i < nwords) {
    unsigned page = words[i] >> 16;  // (rva >> 12)
    size_t head = out.size();
    out.resize(head + 8);
    unsigned cnt = 0;
    for (; i < nwords && (words[i] >> 16) == page; i++, cnt++) {
      unsigned rva = words[i] >> 4;
      unsigned type = words[i] & 15;
      unsigned v = (type << 12) | (rva & 0xFFF);
      out.push_back(upx_byte(v));
      out.push_back(upx_byte(v >> 8));
    }
    if (cnt & 1) {
      out.push_back(0);
      out.push_back(0);
    }
    set_le32(&out[head], page << 12);
    set_le32(&out[head + 4], unsigned(out.size() - head));
  }
  *result_size = unsigned(out.size());
  *result = new upx_byte[out.size() + 8];
  memset(*result, 0, out.size() + 8);
  if (!out.empty()) memcpy(*result, out.data(), out.size());
}

// ---- intervals ----

void PeFile::Interval::add(unsigned start, unsigned len) {
  if (ivnum == capacity) {
    interval* n = new interval[capacity + 15];
    if (ivnum) memcpy(n, ivarr, sizeof(interval) * ivnum);
    delete[] ivarr;
    ivarr = n;
    capacity += 15;
  }
  ivarr[ivnum].start = start;
  ivarr[ivnum].len = len;
  ivnum++;
}

void PeFile::Interval::add(const void* start, unsigned len) {
  add(unsigned(static_cast<const upx_byte*>(start) - base), len);
}

void PeFile::Interval::add(const Interval* other) {
  for (unsigned i = 0; i < other->ivnum; i++) add(other->ivarr[i].start, other->ivarr[i].len);
}

void PeFile::Interval::flatten() {
  if (ivnum == 0) return;
  std::sort(ivarr, ivarr + ivnum, [](const interval& a, const interval& b) {
    return a.start != b.start ? a.start < b.start : a.len < b.len;
  });
  unsigned out = 0;
  for (unsigned i = 1; i < ivnum; i++) {
    interval& last = ivarr[out];
    upx_uint64_t lend = upx_uint64_t(last.start) + last.len;
    if (ivarr[i].start <= lend) {
      upx_uint64_t nend = upx_max<upx_uint64_t>(lend, upx_uint64_t(ivarr[i].start) + ivarr[i].len);
      last.len = unsigned(nend - last.start);
    } else {
      ivarr[++out] = ivarr[i];
    }
  }
  ivnum = out + 1;
}

void PeFile::Interval::clear() {
  for (unsigned i = 0; i < ivnum; i++) memset(base + ivarr[i].start, 0, ivarr[i].len);
}

// ---- exports ----

PeFile::Export::Export(upx_byte* b, upx_byte* l, upx_byte* h) : base(b), lo(l), hi(h), iv(b) {
  memset(edir, 0, sizeof(edir));
}

PeFile::Export::~Export() {
  delete[] ename;
  delete[] functionptrs;
  delete[] ordinals;
  if (names)
    for (unsigned i = 0; i < nnames; i++) delete[] names[i];
  delete[] names;
  if (forwarders)
    for (unsigned i = 0; i < nfunc; i++) delete[] forwarders[i];
  delete[] forwarders;
}

// The base buffer holds RVAs from (lo - base) to (hi - base).
const upx_byte* PeFile::Export::at(unsigned rva, unsigned len) const {
  upx_uint64_t lo_rva = upx_uint64_t(lo - base), hi_rva = upx_uint64_t(hi - base);
  (void)lo_rva;
  unsigned off = rva - unsigned(lo_rva);
  if (upx_uint64_t(off) + len > upx_uint64_t(hi - lo) || hi_rva < lo_rva)
    raiseCannotPack("bad export directory; take care!");
  return lo + off;
}

char* PeFile::Export::copyString(unsigned rva) {
  const upx_byte* p = at(rva, 1);
  unsigned len = boundedStrlen(p, hi);
  char* s = new char[len + 1];
  memcpy(s, p, len + 1);
  size += len + 1;
  iv.add(rva, len + 1);
  return s;
}

void PeFile::Export::convert(unsigned eoffs, unsigned esize) {
  memcpy(edir, at(eoffs, 40), 40);
  size = 40;
  iv.add(eoffs, 40);
  unsigned name_rva = get_le32(edir + 12);
  if (!(upx_uint64_t(name_rva) < upx_uint64_t(eoffs) + esize)) {
    char msg[50];
    upx_snprintf(msg, sizeof(msg), "bad export directory name RVA %#x", name_rva);
    raiseInternalError(msg);
  }
  ename = copyString(name_rva);
  nfunc = get_le32(edir + 20);
  nnames = get_le32(edir + 24);
  unsigned fsize = unsigned(mem_size(4, nfunc));
  unsigned nsize = unsigned(mem_size(4, nnames));
  if (fsize) {
    functionptrs = new char[fsize];
    memcpy(functionptrs, at(get_le32(edir + 28), fsize), fsize);
    size += fsize;
    iv.add(get_le32(edir + 28), fsize);
  }
  if (nnames) {
    const upx_byte* nptr = at(get_le32(edir + 32), nsize);
    names = new char*[nnames]();
    for (unsigned i = 0; i < nnames; i++) names[i] = copyString(get_le32(nptr + 4 * i));
    iv.add(get_le32(edir + 32), nsize);
    size += nsize;
  }
  if (nfunc) {
    forwarders = new char*[nfunc]();
    for (unsigned i = 0; i < nfunc; i++) {
      unsigned a = get_le32(functionptrs + 4 * i);
      if (a >= eoffs && upx_uint64_t(a) < upx_uint64_t(eoffs) + esize)
        forwarders[i] = copyString(a);
    }
  }
  if (nnames) {
    ordinals = new char[2 * nnames];
    memcpy(ordinals, at(get_le32(edir + 36), 2 * nnames), 2 * nnames);
    iv.add(get_le32(edir + 36), 2 * nnames);
    size += 2 * nnames;
  }
  iv.flatten();
  if (iv.ivnum == 1) {
    const upx_byte* p = at(iv.ivarr[0].start, iv.ivarr[0].len);
    memset(const_cast<upx_byte*>(p), 0, iv.ivarr[0].len);
  }
}

void PeFile::Export::build(upx_byte* out, unsigned newoffs) {
  unsigned off = 40;
  const unsigned ofunc = off;
  off += 4 * nfunc;
  const unsigned onames = off;
  off += 4 * nnames;
  const unsigned oords = off;
  off += 2 * nnames;
  const unsigned oename = off;
  unsigned l = unsigned(strlen(ename)) + 1;
  memcpy(out + off, ename, l);
  off += l;
  set_le32(edir + 12, newoffs + oename);
  set_le32(edir + 28, newoffs + ofunc);
  set_le32(edir + 32, newoffs + onames);
  set_le32(edir + 36, newoffs + oords);
  if (nfunc) memcpy(out + ofunc, functionptrs, 4 * nfunc);
  if (nnames) memcpy(out + oords, ordinals, 2 * nnames);
  for (unsigned i = 0; i < nnames; i++) {
    l = unsigned(strlen(names[i])) + 1;
    memcpy(out + off, names[i], l);
    set_le32(out + onames + 4 * i, newoffs + off);
    off += l;
  }
  for (unsigned i = 0; i < nfunc; i++) {
    if (!forwarders[i]) continue;
    l = unsigned(strlen(forwarders[i])) + 1;
    memcpy(out + off, forwarders[i], l);
    set_le32(out + ofunc + 4 * i, newoffs + off);
    off += l;
  }
  memcpy(out, edir, 40);
  if (off != size) raiseInternalError("export build size");
}

void PeFile::rebuildExports() {
  if (oddirs[PEDIR_EXPORT].size == 0 || oddirs[PEDIR_EXPORT].vaddr == iddirs[PEDIR_EXPORT].vaddr)
    return;
  opt->win32_pe.compress_exports = 0;
  const unsigned sec2 = isection[2].vaddr;
  Export xport(ibuf.data() - sec2, ibuf.data(), ibuf.data() + ibuf.getSize());
  unsigned bsize = ALIGN_UP(unsigned(iddirs[PEDIR_EXPORT].size), 4u);
  if (bsize == 0) return;
  xport.convert(iddirs[PEDIR_EXPORT].vaddr, iddirs[PEDIR_EXPORT].size);
  bsize = unsigned(mem_size(1, ALIGN_UP<upx_uint64_t>(xport.getsize(), 4)));
  MemBuffer block(bsize);
  xport.build(block, oddirs[PEDIR_EXPORT].vaddr);
  memcpy(optr(oddirs[PEDIR_EXPORT].vaddr - rvamin, bsize), block, bsize);
}

// ---- resources ----

PeFile::Resource::Resource(const upx_byte* s, const upx_byte* ib, const upx_byte* ie)
    : start(s), ibufstart(ib), ibufend(ie) {}

PeFile::Resource::~Resource() {
  destroy(root, 0);
  delete[] newstart;
}

void PeFile::Resource::destroy(upx_rnode* node, unsigned level) {
  if (!node) return;
  delete[] node->name;
  if (level == 3) {
    delete static_cast<upx_rleaf*>(node);
    return;
  }
  upx_rbranch* b = static_cast<upx_rbranch*>(node);
  for (unsigned i = 0; i < b->nc; i++) destroy(b->children[i], level + 1);
  delete[] b->children;
  delete b;
}

void PeFile::Resource::ensure(const upx_byte* p, unsigned len) const {
  if (p < ibufstart || p > ibufend || upx_uint64_t(ibufend - p) < len)
    raiseCannotPack("corrupted resources");
}

void PeFile::Resource::check() {
  outsize = 0;  // counts entries visited, to bound the work
  check(start, 0);
}

void PeFile::Resource::check(const upx_byte* node, unsigned level) {
  ensure(node, 16 + 8);
  unsigned n = get_le16(node + 12) + get_le16(node + 14);
  for (unsigned i = 0; i < n; i++) {
    const upx_byte* e = node + 16 + 8 * i;
    ensure(e, 8);
    if (++outsize > unsigned(ibufend - ibufstart) / 8 + 16) raiseCannotPack("corrupted resources");
    unsigned child = get_le32(e + 4);
    bool is_dir = (child & 0x80000000u) != 0;
    if (is_dir != (level < 2)) raiseCannotPack("unsupported resource structure");
    if (level < 2) check(start + (child & 0x7FFFFFFF), level + 1);
  }
}

void PeFile::Resource::convert() {
  dsize = ssize = 0;
  root = convert(start, nullptr, 0);
  if (!root) raiseCannotPack("corrupted resources");
}

PeFile::Resource::upx_rnode* PeFile::Resource::convert(const upx_byte* node, upx_rnode* parent,
                                                       unsigned level) {
  if (level == 3) {
    ensure(node, 16);
    ranges.push_back({unsigned(node - start), 16});
    upx_rleaf* leaf = new upx_rleaf();
    memcpy(leaf->data, node, 16);
    leaf->parent = parent;
    leaf->next = head;
    head = leaf;
    dsize += 16;
    return leaf;
  }
  ensure(node, 16);
  unsigned n = get_le16(node + 12) + get_le16(node + 14);
  if (n == 0) return nullptr;
  ensure(node + 16, 8 * n);
  ranges.push_back({unsigned(node - start), 16 + 8 * n});
  upx_rbranch* b = new upx_rbranch();
  memcpy(b->data, node, 16);
  b->parent = parent;
  b->nc = n;
  b->children = new upx_rnode*[n]();
  dsize += 16 + 8 * n;
  try {
    for (unsigned i = n; i-- > 0;) {
      const upx_byte* e = node + 16 + 8 * i;
      upx_rnode* child = convert(start + (get_le32(e + 4) & 0x7FFFFFFF), b, level + 1);
      if (!child) raiseCannotPack("unexpected NULL pointer; take care!");
      b->children[i] = child;
      child->id = get_le32(e);
      if (child->id & 0x80000000u) {
        const upx_byte* np = start + (child->id & 0x7FFFFFFF);
        ensure(np, 2);
        unsigned len = 2 + 2 * get_le16(np);
        ensure(np, len);
        ranges.push_back({unsigned(np - start), len});
        child->name = new upx_byte[len];
        memcpy(child->name, np, len);
        ssize += len;
      }
    }
  } catch (...) {
    destroy(b, level);
    throw;
  }
  return b;
}

bool PeFile::Resource::contiguous(unsigned* lo, unsigned* hi) const {
  if (ranges.empty()) return false;
  std::vector<std::pair<unsigned, unsigned>> r(ranges);
  std::sort(r.begin(), r.end());
  unsigned end = r[0].first + r[0].second;
  for (size_t i = 1; i < r.size(); i++) {
    if (r[i].first > end) return false;
    end = std::max(end, r[i].first + r[i].second);
  }
  *lo = r[0].first;
  *hi = end;
  return true;
}

bool PeFile::Resource::next() {
  if (!started) {
    current = head;
    started = true;
  } else if (current) {
    current = current->next;
  }
  return current != nullptr;
}

unsigned PeFile::Resource::itype() const {
  const upx_rnode* p = current->parent ? current->parent->parent : nullptr;
  return p ? p->id : 0;
}
unsigned PeFile::Resource::nameId() const {
  return current->parent ? current->parent->id : 0;
}
unsigned PeFile::Resource::offs() const {
  return get_le32(current->data);
}
unsigned PeFile::Resource::size() const {
  return get_le32(current->data + 4);
}
void PeFile::Resource::setNewOffset(unsigned v) {
  current->newoffset = v;
}
unsigned PeFile::Resource::dirsize() const {
  return outsize;
}

upx_byte* PeFile::Resource::build() {
  upx_uint64_t total = ALIGN_UP<upx_uint64_t>(upx_uint64_t(dsize) + ssize, 4);
  outsize = unsigned(mem_size(1, total));
  delete[] newstart;
  newstart = new upx_byte[outsize ? outsize : 1];
  memset(newstart, 0, outsize ? outsize : 1);
  unsigned bpos = 0, spos = dsize;
  build(root, bpos, spos, 0);
  return newstart;
}

void PeFile::Resource::build(const upx_rnode* node, unsigned& bpos, unsigned& spos,
                             unsigned level) {
  if (!node) raiseCannotPack("unexpected NULL pointer; take care!");
  if (level == 3) {
    if (upx_uint64_t(bpos) + 16 > outsize) raiseCannotPack("corrupted resources");
    const upx_rleaf* l = static_cast<const upx_rleaf*>(node);
    memcpy(newstart + bpos, l->data, 16);
    if (l->newoffset) set_le32(newstart + bpos, l->newoffset);
    bpos += 16;
    return;
  }
  const upx_rbranch* b = static_cast<const upx_rbranch*>(node);
  if (upx_uint64_t(bpos) + 16 + 8 * upx_uint64_t(b->nc) > outsize)
    raiseCannotPack("corrupted resources");
  unsigned here = bpos;
  memcpy(newstart + here, b->data, 16);
  bpos += 16 + 8 * b->nc;
  for (unsigned i = 0; i < b->nc; i++) {
    const upx_rnode* c = b->children[i];
    if (!c) raiseCannotPack("unexpected NULL pointer; take care!");
    upx_byte* e = newstart + here + 16 + 8 * i;
    if (c->name) {
      unsigned len = 2 + 2 * get_le16(c->name);
      if (upx_uint64_t(spos) + len > outsize) raiseCannotPack("corrupted resources");
      memcpy(newstart + spos, c->name, len);
      set_le32(e, spos | 0x80000000u);
      spos += len;
    } else {
      set_le32(e, c->id);
    }
    set_le32(e + 4, bpos | (level < 2 ? 0x80000000u : 0));
    build(c, bpos, spos, level + 1);
  }
}

void PeFile::rebuildResources(const upx_byte** extrainfo, unsigned last_vaddr) {
  if (oddirs[PEDIR_RESOURCE].size == 0 || iddirs[PEDIR_RESOURCE].size == 0) return;
  const upx_byte* e = ocheck(obuf, *extrainfo, 2);
  icondir_count = upx_uint16_t(get_le16(e));
  *extrainfo += 2;
  const unsigned V = iddirs[PEDIR_RESOURCE].vaddr;
  if (V < last_vaddr || V - last_vaddr > ibuf.getSize()) raiseCannotPack("corrupted PE header");
  Resource res(ibuf + (V - last_vaddr), ibuf, ibuf + ibuf.getSize());
  res.check();
  res.convert();
  while (res.next()) {
    if (res.offs() <= V) continue;
    unsigned doff = res.offs() - last_vaddr;
    if (doff < 4) raiseCannotPack(kOutOfRange);
    unsigned R = get_le32(iptr(doff - 4, 4));
    res.setNewOffset(R);
    unsigned len = ALIGN_UP(upx_uint64_t(res.size()), upx_uint64_t(4)) > 0xFFFFFFFFull
                       ? 0xFFFFFFFFu
                       : unsigned(ALIGN_UP(upx_uint64_t(res.size()), upx_uint64_t(4)));
    upx_byte* dst = optr(R - rvamin, len);
    const upx_byte* src = iptr(doff, len);
    memcpy(dst, src, len);
    if (icondir_count && res.itype() == 14) {
      if (len >= 6) set_le16(dst + 4, icondir_count);
      icondir_count = 0;
    }
  }
  const upx_byte* p = res.build();
  const unsigned sz = res.dirsize();
  upx_byte* dst16 = optr(oddirs[PEDIR_RESOURCE].vaddr - rvamin, 16);
  if (get_le32(dst16 + 12) != 0) return;  // the image holds a directory already
  memcpy(optr(oddirs[PEDIR_RESOURCE].vaddr - rvamin, sz), p, sz);
}

}  // namespace upx
