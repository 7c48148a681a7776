#include "PeTestUtil.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>

#include "TestSupport.h"
#include "upxlib/bele.h"
#include "upxlib/compress.h"
#include "upxlib/filter.h"
#include "upxlib/mem.h"

using upx::get_le16;
using upx::get_le32;
using upx::get_le64;
using upx::set_le16;
using upx::set_le32;

namespace ut {

PackedLayout last_layout;

static bool IsDirectorySection(const std::string& n) {
  return n == ".idata" || n == ".edata" || n == ".rsrc" || n == ".reloc";
}

// Compares the restored file with the original by meaning.
void ExpectSameByMeaning(const std::vector<uint8_t>& orig, const std::vector<uint8_t>& restored,
                         const std::vector<uint8_t>& overlay, bool keeps_relocs) {
  ut::PeView a = ut::ParsePe(orig), b = ut::ParsePe(restored);
  ASSERT_TRUE(a.ok);
  ASSERT_TRUE(b.ok);
  EXPECT_EQ(a.pep, b.pep);
  ASSERT_EQ(a.sections.size(), b.sections.size());
  for (size_t i = 0; i < a.sections.size(); i++) {
    const ut::PeSection &x = a.sections[i], &y = b.sections[i];
    EXPECT_EQ(x.name, y.name);
    EXPECT_EQ(x.vaddr, y.vaddr);
    EXPECT_EQ(x.vsize, y.vsize);
    EXPECT_EQ(x.size, y.size);
    EXPECT_EQ(x.rawptr, y.rawptr);
    EXPECT_EQ(x.flags, y.flags);
    if (x.rawptr && !IsDirectorySection(x.name)) {
      ASSERT_LE(uint64_t(y.rawptr) + y.size, restored.size());
      EXPECT_TRUE(std::equal(orig.begin() + x.rawptr, orig.begin() + x.rawptr + x.size,
                             restored.begin() + y.rawptr))
          << "section " << x.name;
    }
  }
  for (unsigned off : {40u, 44u, 56u, 60u, 64u, 68u, 72u, 76u, 80u})
    EXPECT_EQ(a.hdr(off), b.hdr(off)) << "header field at " << off;
  EXPECT_EQ(a.imagebase(), b.imagebase());
  EXPECT_EQ(a.hdr(92, 2), b.hdr(92, 2));  // subsystem
  EXPECT_EQ(a.dllflags(), b.dllflags());
  EXPECT_EQ(0u, b.hdr(88));                   // CheckSum
  EXPECT_EQ(a.sections[0].vaddr, b.hdr(84));  // SizeOfHeaders: the first section's RVA
  for (int dir : {6, 11, 12}) EXPECT_EQ(0u, b.dirRva(dir)) << dir;
  EXPECT_EQ(a.dirRva(9), b.dirRva(9));  // TLS
  {
    // the packer may list the DLLs in another order
    std::vector<std::string> ia = a.imports(), ib = b.imports();
    std::sort(ia.begin(), ia.end());
    std::sort(ib.begin(), ib.end());
    EXPECT_EQ(ia.size(), ib.size());
    for (size_t i = 0; i < ia.size() && i < ib.size(); i++)
      if (ia[i] != ib[i]) {
        ADD_FAILURE() << "import " << i << ": " << ia[i] << " restored as " << ib[i];
        break;
      }
  }
  EXPECT_EQ(a.exports(), b.exports());
  EXPECT_EQ(a.resources(), b.resources());
  if (keeps_relocs) {
    EXPECT_EQ(a.relocs(), b.relocs());
    EXPECT_EQ(a.flags(), b.flags());
  } else {
    EXPECT_EQ(0u, b.dirRva(5));
    EXPECT_EQ(0u, b.dirSize(5));
    EXPECT_EQ(a.flags() | 1, b.flags());
  }
  uint32_t end = b.lastRawEnd();
  ASSERT_LE(end, restored.size());
  EXPECT_EQ(overlay, std::vector<uint8_t>(restored.begin() + end, restored.end()));
  EXPECT_EQ(a.lastRawEnd(), end);
}

static uint32_t alignUp(uint32_t x, uint32_t a) {
  return (x + a - 1) / a * a;
}

// ---- reading ----

uint32_t PeView::hdr(unsigned off, unsigned width) const {
  size_t p = pe_offset + off;
  if (p + width > file.size()) return 0;
  return width == 2 ? get_le16(&file[p]) : get_le32(&file[p]);
}
uint32_t PeView::dirRva(int i) const {
  return hdr((pep ? 136 : 120) + 8 * i);
}
uint32_t PeView::dirSize(int i) const {
  return hdr((pep ? 136 : 120) + 8 * i + 4);
}
uint32_t PeView::flags() const {
  return hdr(22, 2);
}
uint32_t PeView::dllflags() const {
  return hdr(94, 2);
}
uint64_t PeView::imagebase() const {
  return pep ? get_le64(&file[pe_offset + 48]) : hdr(52);
}
uint32_t PeView::codebase() const {
  return hdr(44);
}
uint32_t PeView::codesize() const {
  return hdr(28);
}

const uint8_t* PeView::at(uint32_t rva, uint32_t len) const {
  for (const PeSection& s : sections) {
    uint32_t span = std::max(s.vsize, s.size);
    if (rva >= s.vaddr && rva - s.vaddr < span) {
      uint32_t off = rva - s.vaddr;
      if (s.rawptr == 0 || uint64_t(off) + len > s.size) return nullptr;
      if (uint64_t(s.rawptr) + off + len > file.size()) return nullptr;
      return &file[s.rawptr + off];
    }
  }
  return nullptr;
}

uint32_t PeView::lastRawEnd() const {
  uint32_t end = 0;
  uint32_t fa = hdr(60);
  for (const PeSection& s : sections)
    if (s.rawptr) end = std::max(end, alignUp(s.rawptr + s.size, fa ? fa : 1));
  return end;
}

PeView ParsePe(const std::vector<uint8_t>& file) {
  PeView v;
  v.file = file;
  if (file.size() < 64 || get_le16(&file[0]) != 0x5A4D) return v;
  v.pe_offset = get_le32(&file[60]);
  if (v.pe_offset + 264 > file.size() || get_le32(&file[v.pe_offset]) != 0x4550) return v;
  v.pep = get_le16(&file[v.pe_offset + 24]) == 0x20B;
  unsigned n = get_le16(&file[v.pe_offset + 6]);
  size_t sp = v.pe_offset + 24 + get_le16(&file[v.pe_offset + 20]);
  for (unsigned i = 0; i < n; i++, sp += 40) {
    if (sp + 40 > file.size()) return v;
    PeSection s;
    s.name.assign(reinterpret_cast<const char*>(&file[sp]),
                  strnlen(reinterpret_cast<const char*>(&file[sp]), 8));
    s.vsize = get_le32(&file[sp + 8]);
    s.vaddr = get_le32(&file[sp + 12]);
    s.size = get_le32(&file[sp + 16]);
    s.rawptr = get_le32(&file[sp + 20]);
    s.flags = get_le32(&file[sp + 36]);
    v.sections.push_back(s);
  }
  v.ok = true;
  return v;
}

static std::string cstr(const PeView& v, uint32_t rva) {
  std::string s;
  for (;; rva++) {
    const uint8_t* p = v.at(rva);
    if (!p || !*p) break;
    s += char(*p);
    if (s.size() > 4096) break;
  }
  return s;
}

std::vector<std::string> PeView::imports() const {
  std::vector<std::string> out;
  uint32_t d = dirRva(1);
  if (!d) return out;
  const unsigned W = pep ? 8 : 4;
  for (;; d += 20) {
    const uint8_t* p = at(d, 20);
    if (!p) break;
    uint32_t oft = get_le32(p), name = get_le32(p + 12), ft = get_le32(p + 16);
    if (!name && !ft) break;
    std::string dll = cstr(*this, name);
    for (char& c : dll) c = char(tolower(c));
    for (uint32_t t = oft ? oft : ft;; t += W) {
      const uint8_t* q = at(t, W);
      if (!q) {
        out.push_back(dll + "!<bad thunk>");
        break;
      }
      uint64_t val = W == 8 ? get_le64(q) : get_le32(q);
      if (!val) break;
      uint64_t mask = W == 8 ? 0x8000000000000000ull : 0x80000000ull;
      if (val & mask)
        out.push_back(dll + "!#" + std::to_string(unsigned(val & 0xFFFF)));
      else
        out.push_back(dll + "!" + cstr(*this, uint32_t(val) + 2));
    }
  }
  return out;
}

std::map<std::string, std::string> PeView::exports() const {
  std::map<std::string, std::string> out;
  uint32_t e = dirRva(0), esize = dirSize(0);
  const uint8_t* d = e ? at(e, 40) : nullptr;
  if (!d) return out;
  uint32_t base = get_le32(d + 16), nf = get_le32(d + 20), nn = get_le32(d + 24);
  uint32_t af = get_le32(d + 28), an = get_le32(d + 32), ao = get_le32(d + 36);
  std::map<uint32_t, std::string> names;
  for (uint32_t i = 0; i < nn; i++) {
    const uint8_t* np = at(an + 4 * i, 4);
    const uint8_t* op = at(ao + 2 * i, 2);
    if (np && op) names[get_le16(op)] = cstr(*this, get_le32(np));
  }
  out["<dll>"] = cstr(*this, get_le32(d + 12));
  for (uint32_t i = 0; i < nf; i++) {
    const uint8_t* fp = at(af + 4 * i, 4);
    if (!fp) continue;
    uint32_t rva = get_le32(fp);
    if (!rva) continue;
    std::string key = names.count(i) ? names[i] : "#" + std::to_string(base + i);
    char buf[32];
    snprintf(buf, sizeof(buf), "%x", rva);
    out[key] = (rva >= e && rva < e + esize) ? "->" + cstr(*this, rva) : std::string(buf);
  }
  return out;
}

static std::string resName(const PeView& v, uint32_t root, uint32_t id) {
  if (!(id & 0x80000000u)) return std::to_string(id);
  const uint8_t* p = v.at(root + (id & 0x7FFFFFFF), 2);
  if (!p) return "<bad>";
  unsigned n = get_le16(p);
  std::string s = "'";
  const uint8_t* q = v.at(root + (id & 0x7FFFFFFF) + 2, 2 * n);
  for (unsigned i = 0; q && i < n; i++) s += char(get_le16(q + 2 * i));
  return s + "'";
}

std::map<std::string, std::vector<uint8_t>> PeView::resources() const {
  std::map<std::string, std::vector<uint8_t>> out;
  uint32_t root = dirRva(2);
  if (!root || !dirSize(2)) return out;
  auto entries = [&](uint32_t dir, std::vector<std::pair<uint32_t, uint32_t>>& e) {
    const uint8_t* h = at(dir, 16);
    if (!h) return;
    unsigned n = get_le16(h + 12) + get_le16(h + 14);
    for (unsigned i = 0; i < n; i++) {
      const uint8_t* p = at(dir + 16 + 8 * i, 8);
      if (p) e.push_back({get_le32(p), get_le32(p + 4)});
    }
  };
  std::vector<std::pair<uint32_t, uint32_t>> types;
  entries(root, types);
  for (auto& t : types) {
    std::vector<std::pair<uint32_t, uint32_t>> nms;
    entries(root + (t.second & 0x7FFFFFFF), nms);
    for (auto& nm : nms) {
      std::vector<std::pair<uint32_t, uint32_t>> langs;
      entries(root + (nm.second & 0x7FFFFFFF), langs);
      for (auto& l : langs) {
        const uint8_t* de = at(root + l.second, 16);
        std::string key = resName(*this, root, t.first) + "/" + resName(*this, root, nm.first) +
                          "/" + std::to_string(l.first);
        if (!de) {
          out[key] = {};
          continue;
        }
        uint32_t rva = get_le32(de), size = get_le32(de + 4);
        const uint8_t* data = at(rva, size);
        out[key] =
            data ? std::vector<uint8_t>(data, data + size) : std::vector<uint8_t>{0xBA, 0xD0};
      }
    }
  }
  return out;
}

std::set<std::pair<uint32_t, int>> PeView::relocs() const {
  std::set<std::pair<uint32_t, int>> out;
  uint32_t r = dirRva(5), size = dirSize(5);
  uint32_t off = 0;
  while (off + 8 <= size) {
    const uint8_t* b = at(r + off, 8);
    if (!b) break;
    uint32_t page = get_le32(b), bs = get_le32(b + 4);
    if (bs < 8 || page == 0) break;
    for (uint32_t i = 8; i + 2 <= bs; i += 2) {
      const uint8_t* e = at(r + off + i, 2);
      if (!e) break;
      unsigned v = get_le16(e);
      if (v >> 12) out.insert({page + (v & 0xFFF), int(v >> 12)});
    }
    off += bs;
  }
  return out;
}

// ---- building ----

namespace {

struct Writer {
  std::vector<uint8_t> b;
  size_t size() const { return b.size(); }
  void u8(unsigned v) { b.push_back(uint8_t(v)); }
  void u16(unsigned v) {
    u8(v);
    u8(v >> 8);
  }
  void u32(uint32_t v) {
    u16(v);
    u16(v >> 16);
  }
  void bytes(const void* p, size_t n) {
    const uint8_t* q = static_cast<const uint8_t*>(p);
    b.insert(b.end(), q, q + n);
  }
  void str(const std::string& s) { bytes(s.c_str(), s.size() + 1); }
  void align(size_t a) {
    while (b.size() % a) u8(0);
  }
};

std::string imgStr(const std::vector<uint8_t>& img, uint32_t pos) {
  std::string s;
  while (pos < img.size() && img[pos]) s += char(img[pos++]);
  return s;
}

}  // namespace

std::vector<uint8_t> BuildPacked(const std::vector<uint8_t>& orig, const BuildOptions& o) {
  PeView v = ParsePe(orig);
  if (!v.ok || v.sections.empty()) {
    ADD_FAILURE() << "not a PE file";
    return {};
  }
  const bool pep = v.pep;
  const unsigned hdrsize = v.hdrsize();
  const unsigned W = pep ? 8 : 4;
  const uint32_t secalign = v.hdr(56);
  const uint32_t rvamin = v.sections[0].vaddr;
  uint32_t span = 0;
  for (const PeSection& s : v.sections)
    span = std::max(span, alignUp(s.vaddr + std::max(s.vsize, s.size), secalign) - rvamin);
  std::vector<uint8_t> img(span, 0);
  for (const PeSection& s : v.sections)
    if (s.rawptr && s.size)
      memcpy(&img[s.vaddr - rvamin], &orig[s.rawptr],
             std::min<size_t>(s.size, orig.size() - s.rawptr));
  auto I = [&](uint32_t rva) -> uint8_t* { return &img[rva - rvamin]; };

  Writer imparea;           // the packed import area (start of the last section)
  imparea.b.assign(40, 0);  // room where a loader's own import directory would stand
  Writer istream;
  uint32_t A = 0;
  const uint32_t idir = v.dirRva(1);
  if (idir && v.dirSize(1) > 20) {
    uint32_t names_lo = 0xFFFFFFFF, names_hi = 0;
    auto note = [&](uint32_t rva, uint32_t len) {
      names_lo = std::min(names_lo, rva);
      names_hi = std::max(names_hi, rva + len);
    };
    uint32_t T = 0, hn = 0;
    for (uint32_t d = idir;; d += 20) {
      uint8_t* p = I(d);
      uint32_t oft = get_le32(p), name = get_le32(p + 12), ft = get_le32(p + 16);
      if (!name && !ft) break;
      std::string dll = imgStr(img, name - rvamin);
      note(name, uint32_t(dll.size() + 1));
      T += uint32_t(dll.size() + 1);
      istream.u32(uint32_t(imparea.size()));
      imparea.str(dll);
      istream.u32(ft - rvamin);
      uint32_t t = oft ? oft : ft;
      unsigned nent = 0;
      for (unsigned k = 0;; k++, nent++) {
        uint64_t val = W == 8 ? get_le64(I(t + W * k)) : get_le32(I(t + W * k));
        if (!val) break;
        uint64_t mask = W == 8 ? 0x8000000000000000ull : 0x80000000ull;
        if (val & mask) {
          if (o.ordinal_thunks) {
            imparea.align(4);
            istream.u8(0xFE);
            istream.u32(uint32_t(imparea.size()));
            if (W == 8) {
              imparea.u32(uint32_t(val));
              imparea.u32(uint32_t(val >> 32));
            } else
              imparea.u32(uint32_t(val));
          } else {
            istream.u8(0xFF);
            istream.u16(unsigned(val & 0xFFFF));
          }
        } else {
          std::string fn = imgStr(img, uint32_t(val) + 2 - rvamin);
          istream.u8(1);
          istream.str(fn);
          note(uint32_t(val), uint32_t(fn.size() + 3));
          hn += uint32_t(fn.size() + 3);
        }
      }
      istream.u8(0);
      // what the rebuild writes back is cleared here
      for (unsigned k = 0; k <= nent; k++) {
        if (oft) memset(I(oft + W * k), 0, W);
        if (o.names_area) memset(I(ft + W * k), 0, W);
      }
      set_le32(p, 0);  // OriginalFirstThunk
      if (o.names_area) set_le32(p + 12, 0);
    }
    istream.u32(0);
    T = alignUp(T, 2);
    if (o.names_area) {
      A = names_lo;
      if (T + hn + 2 > names_hi - names_lo) {
        ADD_FAILURE() << "no room for the import names";
        return {};
      }
    }
    // the names themselves are cleared
    for (uint32_t x = names_lo; x < names_hi; x++) {
      if (!o.names_area) {
        // in place: keep the hint bytes and the slots, clear only characters
        if (img[x - rvamin] >= 0x20) img[x - rvamin] = 0;
      } else {
        img[x - rvamin] = 0;
      }
    }
  }

  // relocations: the stream, fields stored big-endian and less ImageBase and the lowest RVA
  Writer rstream;
  bool with_relocs = v.dirRva(5) && v.dirSize(5) && v.dirSize(5) != 8 && !(v.flags() & 1);
  if (with_relocs) {
    std::vector<uint32_t> pos;
    for (auto& r : v.relocs()) {
      if (r.second != (pep ? 10 : 3)) {
        ADD_FAILURE() << "relocation type " << r.second;
        return {};
      }
      pos.push_back(r.first - rvamin);
    }
    std::sort(pos.begin(), pos.end());
    uint32_t pc = 0xFFFFFFFCu;
    for (uint32_t p : pos) {
      uint32_t d = p - pc;
      if (d < 0xF0)
        rstream.u8(d);
      else if (d < 0x100000) {
        rstream.u8(0xF0 + (d >> 16));
        rstream.u16(d & 0xFFFF);
      } else {
        rstream.u8(0xF0);
        rstream.u16(0);
        rstream.u32(d);
      }
      pc = p;
      if (pep) {
        uint64_t val = get_le64(&img[p]) - v.imagebase() - rvamin;
        upx::set_be64(&img[p], val);
      } else {
        uint32_t val = get_le32(&img[p]) - uint32_t(v.imagebase()) - rvamin;
        upx::set_be32(&img[p], val);
      }
    }
    rstream.u8(0);
    memset(I(v.dirRva(5)), 0, v.dirSize(5));
  }

  // exports: a copy in the last section, the original area cleared
  Writer xport;
  const uint32_t edir = v.dirRva(0), esize = v.dirSize(0);
  // resources: the directory in the last section, each datum behind its old RVA
  Writer rsrc;
  uint16_t icon_count = 0;

  // the last section: import area, exports, resources
  uint32_t sec2_start_off = 0;  // offsets within the section
  Writer sec2;
  sec2.bytes(imparea.b.data(), imparea.size());
  sec2.align(16);
  uint32_t xport_off = 0, xport_size = 0;
  uint32_t rsrc_off = 0, rsrc_size = 0;
  struct Fix {
    uint32_t at;
    uint32_t rel;
  };  // sec2 offsets to turn into RVAs later
  std::vector<Fix> fixes;
  if (edir && esize) {
    const uint8_t* d = I(edir);
    uint32_t nf = get_le32(d + 20), nn = get_le32(d + 24);
    uint32_t af = get_le32(d + 28), an = get_le32(d + 32), ao = get_le32(d + 36);
    xport_off = uint32_t(sec2.size());
    size_t dpos = sec2.size();
    sec2.bytes(d, 40);
    size_t fpos = sec2.size();
    sec2.bytes(I(af), 4 * nf);
    size_t npos = sec2.size();
    sec2.bytes(I(an), 4 * nn);
    size_t opos = sec2.size();
    sec2.bytes(I(ao), 2 * nn);
    size_t dllpos = sec2.size();
    sec2.str(imgStr(img, get_le32(d + 12) - rvamin));
    fixes.push_back({uint32_t(dpos + 12), uint32_t(dllpos - xport_off)});
    fixes.push_back({uint32_t(dpos + 28), uint32_t(fpos - xport_off)});
    fixes.push_back({uint32_t(dpos + 32), uint32_t(npos - xport_off)});
    fixes.push_back({uint32_t(dpos + 36), uint32_t(opos - xport_off)});
    for (uint32_t i = 0; i < nn; i++) {
      size_t at = sec2.size();
      sec2.str(imgStr(img, get_le32(I(an + 4 * i)) - rvamin));
      fixes.push_back({uint32_t(npos + 4 * i), uint32_t(at - xport_off)});
    }
    for (uint32_t i = 0; i < nf; i++) {
      uint32_t a = get_le32(I(af + 4 * i));
      if (a >= edir && a < edir + esize) {
        size_t at = sec2.size();
        sec2.str(imgStr(img, a - rvamin));
        fixes.push_back({uint32_t(fpos + 4 * i), uint32_t(at - xport_off)});
      }
    }
    xport_size = uint32_t(sec2.size() - xport_off);
    memset(I(edir), 0, esize);
    sec2.align(16);
  }
  const uint32_t rdir = v.dirRva(2), rdsize = v.dirSize(2);
  std::vector<std::pair<uint32_t, uint32_t>>
      leaf_fix;  // (sec2 offset of data entry, sec2 offset of data)
  if (rdir && rdsize) {
    // leaves of the original tree
    struct Leaf {
      uint32_t entry_off;
      uint32_t type;
    };
    std::vector<Leaf> leaves;
    uint32_t min_data = rdir + rdsize;
    std::function<void(uint32_t, int, uint32_t)> walk = [&](uint32_t dir, int level,
                                                            uint32_t type) {
      const uint8_t* h = I(rdir + dir);
      unsigned n = get_le16(h + 12) + get_le16(h + 14);
      for (unsigned i = 0; i < n; i++) {
        uint32_t id = get_le32(h + 16 + 8 * i), child = get_le32(h + 16 + 8 * i + 4);
        if (level < 2)
          walk(child & 0x7FFFFFFF, level + 1, level == 0 ? id : type);
        else {
          leaves.push_back({child, type});
          min_data = std::min(min_data, get_le32(I(rdir + child)));
        }
      }
    };
    walk(0, 0, 0);
    rsrc_off = uint32_t(sec2.size());
    sec2.bytes(I(rdir), min_data - rdir);
    for (const Leaf& l : leaves) {
      sec2.align(4);
      uint32_t drva = get_le32(I(rdir + l.entry_off)), dsize = get_le32(I(rdir + l.entry_off + 4));
      sec2.u32(drva);
      size_t at = sec2.size();
      sec2.bytes(I(drva), alignUp(dsize, 4));
      if (l.type == 14 && !icon_count) {
        icon_count = uint16_t(get_le16(&sec2.b[at + 4]));
        set_le16(&sec2.b[at + 4], 0);
      }
      leaf_fix.push_back({uint32_t(rsrc_off + l.entry_off), uint32_t(at)});
    }
    rsrc_size = uint32_t(sec2.size() - rsrc_off);
    memset(I(rdir), 0, rdsize);
  }
  (void)sec2_start_off;
  (void)rsrc;
  (void)xport;

  // the uncompressed block
  std::vector<uint8_t> block = img;
  uint32_t istream_off = uint32_t(block.size());
  block.insert(block.end(), istream.b.begin(), istream.b.end());
  uint32_t rstream_off = uint32_t(block.size());
  block.insert(block.end(), rstream.b.begin(), rstream.b.end());
  uint32_t extra_off = uint32_t(block.size());
  block.insert(block.end(), orig.begin() + v.pe_offset, orig.begin() + v.pe_offset + hdrsize);
  size_t stab = v.pe_offset + 24 + v.hdr(20, 2);
  block.insert(block.end(), orig.begin() + stab, orig.begin() + stab + 40 * v.sections.size());
  Writer extra;
  if (idir && v.dirSize(1) > 20) {
    extra.u32(istream_off);
    extra.u32(A);
  }
  if (with_relocs) {
    extra.u32(rstream_off);
    extra.u8(0);
  }
  if (rdir && rdsize) extra.u16(icon_count);
  block.insert(block.end(), extra.b.begin(), extra.b.end());
  Writer tr;
  tr.u32(extra_off);
  block.insert(block.end(), tr.b.begin(), tr.b.end());

  if (o.mutate) o.mutate(block, istream_off);
  int filter = o.filter < 0 ? (pep ? 0x49 : 0x26) : o.filter;
  upx::Filter ft(o.level);
  ft.init(filter, v.codebase() - rvamin);
  if (filter && (uint64_t(v.codebase()) - rvamin + v.codesize() > block.size() ||
                 !ft.filter(&block[v.codebase() - rvamin], v.codesize())))
    filter = 0;
  const uint32_t u_adler = upx::upx_adler32(block.data(), uint32_t(block.size()));
  std::vector<uint8_t> c(upx::MemBuffer::getSizeForCompression(uint32_t(block.size())));
  unsigned clen = 0;
  if (upx::upx_compress(block.data(), uint32_t(block.size()), c.data(), &clen, o.method, o.level,
                        nullptr, nullptr) != 0) {
    ADD_FAILURE() << "compression failed";
    return {};
  }
  c.resize(clen);

  // the pack header
  std::vector<uint8_t> ph(32, 0);
  memcpy(ph.data(), "UPX!", 4);
  ph[4] = 13;
  ph[5] = pep ? 36 : 9;
  ph[6] = uint8_t(o.method);
  ph[7] = uint8_t(o.level);
  set_le32(&ph[8], u_adler);
  set_le32(&ph[12], upx::upx_adler32(c.data(), clen));
  set_le32(&ph[16], uint32_t(block.size()));
  set_le32(&ph[20], clen);
  set_le32(&ph[24], uint32_t(orig.size()));
  ph[28] = uint8_t(filter);
  ph[29] = filter ? ft.cto : 0;
  unsigned sum = 0;
  for (int i = 4; i < 31; i++) sum += ph[i];
  ph[31] = uint8_t(sum % 251);

  // the file
  const uint32_t fa = 0x200;
  std::vector<uint8_t> out(orig.begin(), orig.begin() + v.pe_offset);
  size_t hpos = out.size();
  out.insert(out.end(), orig.begin() + v.pe_offset, orig.begin() + v.pe_offset + hdrsize);
  size_t spos = out.size();
  out.resize(out.size() + 3 * 40, 0);
  const uint32_t raw1 = alignUp(uint32_t(out.size()), fa);
  out.resize(raw1, 0);
  out.insert(out.end(), ph.begin(), ph.end());
  out.insert(out.end(), c.begin(), c.end());
  out.resize(alignUp(uint32_t(out.size()), fa), 0);
  const uint32_t size1 = uint32_t(out.size()) - raw1;
  const uint32_t raw2 = uint32_t(out.size());
  const uint32_t va0 = rvamin, vs0 = alignUp(span, secalign);
  const uint32_t va1 = va0 + vs0, vs1 = alignUp(size1, secalign);
  const uint32_t va2 = va1 + vs1;
  for (const Fix& f : fixes) set_le32(&sec2.b[f.at], va2 + xport_off + f.rel);
  for (auto& lf : leaf_fix) set_le32(&sec2.b[lf.first], va2 + lf.second);
  out.insert(out.end(), sec2.b.begin(), sec2.b.end());
  out.resize(alignUp(uint32_t(out.size()), fa), 0);
  const uint32_t size2 = uint32_t(out.size()) - raw2;
  const uint32_t vs2 = alignUp(size2, secalign);
  auto sect = [&](int i, const char* name, uint32_t vs, uint32_t va, uint32_t sz, uint32_t raw,
                  uint32_t fl) {
    uint8_t* s = &out[spos + 40 * i];
    memcpy(s, name, 4);
    set_le32(s + 8, vs);
    set_le32(s + 12, va);
    set_le32(s + 16, sz);
    set_le32(s + 20, raw);
    set_le32(s + 36, fl);
  };
  sect(0, "UPX0", vs0, va0, 0, 0, 0xE0000080);
  sect(1, "UPX1", vs1, va1, size1, raw1, 0xE0000040);
  sect(2, "UPX2", vs2, va2, size2, raw2, 0xC0000040);
  uint8_t* h = &out[hpos];
  set_le16(h + 6, 3);
  set_le16(h + 20, pep ? 240 : 224);
  set_le32(h + 40, va1 + 32 + clen);  // entry: behind the compressed data
  set_le32(h + 56, secalign);
  set_le32(h + 60, fa);
  set_le32(h + 80, va2 + vs2);
  set_le32(h + 84, raw1);
  uint8_t* dd = h + (pep ? 136 : 120);
  memset(dd, 0, 128);
  set_le32(dd + 8, va2);  // import: the packed import area
  set_le32(dd + 12, 40);
  if (xport_size) {
    set_le32(dd + 0, va2 + xport_off);
    set_le32(dd + 4, xport_size);
  }
  if (rsrc_size) {
    set_le32(dd + 16, va2 + rsrc_off);
    set_le32(dd + 20, rsrc_size);
  }
  last_layout.header_off = raw1;
  last_layout.c_off = raw1 + 32;
  last_layout.c_len = clen;
  last_layout.u_len = uint32_t(block.size());
  last_layout.sec1_raw = raw1;
  last_layout.sec2_raw = raw2;
  last_layout.sec2_size = size2;
  out.insert(out.end(), o.overlay.begin(), o.overlay.end());
  return out;
}

std::string RunProgram(const std::wstring& exe, const std::wstring& dir, const std::wstring& args) {
  std::wstring outname = dir + L"\\run.txt";
  SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
  HANDLE h =
      CreateFileW(outname.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "<no output file>";
  STARTUPINFOW si = {};
  si.cb = sizeof(si);
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = h;
  si.hStdError = h;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION pi = {};
  std::wstring cmd = L"\"" + exe + L"\"" + (args.empty() ? L"" : L" " + args);
  BOOL ok = CreateProcessW(exe.c_str(), &cmd[0], nullptr, nullptr, TRUE, 0, nullptr, dir.c_str(),
                           &si, &pi);
  CloseHandle(h);
  if (!ok) return "<not started>";
  DWORD w = WaitForSingleObject(pi.hProcess, 60000);
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  if (w != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 1);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  std::vector<uint8_t> d;
  vt::ReadAll(outname, d);
  return std::string(d.begin(), d.end()) + "exit=" + std::to_string(code);
}

}  // namespace ut
