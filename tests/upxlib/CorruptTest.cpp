// Damaged packed files: each recognition and unpack failure from a file
// damaged in the one way that triggers it, and a mutation loop that only
// ever ends in success or an orderly refusal.
#include <windows.h>
#include <psapi.h>
#include <fcntl.h>
#include <share.h>
#include <gtest/gtest.h>

#include <random>

#include "PeTestUtil.h"
#include "TestSupport.h"
#include "UpxTestUtil.h"
#include "upxlib/bele.h"
#include "upxlib/except.h"
#include "upxlib/p_w32pe.h"
#include "upxlib/p_w64pep.h"
#include "upxlib/upxlib.h"

using namespace upx;

namespace {

std::vector<uint8_t> ReadFixture(const std::string& name) {
  std::vector<uint8_t> d;
  EXPECT_TRUE(vt::ReadAll(vt::ToWin(std::string(UPX_FIXTURES_UNIX) + "/" + name), d)) << name;
  return d;
}

// The packer search and unpack as the entry runs them, giving the message
// that ended it ("ok" when unpacked, "not packed" when no packer took it).
// canUnpack results of the two packers go to *answers when given.
std::string Unpack(const std::wstring& in, const std::wstring& out,
                   std::string* answers = nullptr) {
  ut::ResetOptions();
  InputFile fi;
  if (fi.openShared(in.c_str(), O_BINARY | O_RDONLY, _SH_DENYWR) != 0) return "open";
  OutputFile fo;
  if (fo.openShared(out.c_str(), O_BINARY | O_WRONLY | O_CREAT | O_TRUNC, _SH_DENYWR, 0600) != 0)
    return "open out";
  for (int k = 0; k < 2; k++) {
    Packer* p = k == 0 ? static_cast<Packer*>(new PackW64Pep(&fi)) : new PackW32Pe(&fi);
    std::unique_ptr<Packer> hold(p);
    try {
      p->selfCheck();
      p->initPackHeader();
      fi.seek(0, SEEK_SET);
      int r = p->canUnpack();
      if (answers) *answers += std::to_string(r) + " ";
      if (r <= 0) continue;
      fi.seek(0, SEEK_SET);
      p->unpack(&fo);
      fo.closeChecked();
      return "ok";
    } catch (const IOException& e) {
      if (answers) *answers += "io ";
      if (!hold) return e.getMsg();
      continue;
    } catch (const Throwable& e) {
      return e.getMsg() ? e.getMsg() : "<null>";
    }
  }
  return "not packed";
}

class UpxCorrupt : public ::testing::Test {
 protected:
  void SetUp() override { dir = vt::ScratchDir(); }
  std::string Try(const std::vector<uint8_t>& file, std::string* answers = nullptr) {
    std::wstring in = dir + L"\\in.exe";
    EXPECT_TRUE(vt::WriteAll(in, file));
    return Unpack(in, dir + L"\\out.exe", answers);
  }
  std::wstring dir;
};

void Resum(std::vector<uint8_t>& f, uint32_t at) {
  unsigned s = 0;
  for (int i = 4; i < 31; i++) s += f[at + i];
  f[at + 31] = uint8_t(s % 251);
}

TEST_F(UpxCorrupt, RecognitionAnswers) {
  std::string ans;
  // an ordinary PE32: 0 from the PE32+ packer (machine), -1 from the PE32 one
  EXPECT_EQ("not packed", Try(ReadFixture("hello32.exe"), &ans));
  EXPECT_EQ("0 -1 ", ans);
  ans.clear();
  EXPECT_EQ("not packed", Try(ReadFixture("hello64.exe"), &ans));
  EXPECT_EQ("-1 0 ", ans);
  // a packed PE32 is declined by the PE32+ packer first
  ans.clear();
  EXPECT_EQ("ok", Try(ut::BuildPacked(ReadFixture("testdll32.dll")), &ans));
  EXPECT_EQ("0 1 ", ans);
  ans.clear();
  EXPECT_EQ("ok", Try(ut::BuildPacked(ReadFixture("testdll64.dll")), &ans));
  EXPECT_EQ("1 ", ans);
  // short files: end-of-file errors only move the search on
  ans.clear();
  std::vector<uint8_t> shortf(ReadFixture("hello32.exe"));
  shortf.resize(300);
  EXPECT_EQ("not packed", Try(shortf, &ans));
  EXPECT_EQ("io io ", ans);
  // a chain of more than 20 MZ headers
  std::vector<uint8_t> chain(64 * 24, 0);
  for (int i = 0; i < 24; i++) {
    set_le16(&chain[64 * i], 0x5A4D);
    set_le16(&chain[64 * i + 24], 0x40);
    set_le32(&chain[64 * i + 60], 64);
  }
  ans.clear();
  EXPECT_EQ("not packed", Try(chain, &ans));
  EXPECT_EQ("0 0 ", ans);
  std::vector<uint8_t> farpe(ReadFixture("hello32.exe"));
  set_le32(&farpe[60], 0x7FFFFF00);
  EXPECT_EQ("bad PE delta 0x7fffff00 at offset 0", Try(farpe));
}

TEST_F(UpxCorrupt, PackHeaderFailures) {
  std::vector<uint8_t> good = ut::BuildPacked(ReadFixture("testdll32.dll"));
  const ut::PackedLayout L = ut::last_layout;
  auto with = [&](int off, uint8_t v) {
    std::vector<uint8_t> f = good;
    f[L.header_off + off] = v;
    Resum(f, L.header_off);
    return f;
  };
  EXPECT_EQ("need a newer version of UPX", Try(with(4, 14)));
  EXPECT_EQ("this program is packed with an obsolete version and cannot be unpacked",
            Try(with(4, 11)));
  EXPECT_EQ("unknown compression method (try a newer version of UPX)", Try(with(6, 14)));
  EXPECT_EQ("unknown decompression method", Try(with(6, 11)));
  EXPECT_EQ("cannot unpack UPX ;-)", Try(with(4, 255)));
  std::vector<uint8_t> f = good;
  set_le32(&f[L.header_off + 20], L.u_len);  // c_len = u_len
  Resum(f, L.header_off);
  EXPECT_EQ("header corrupted", Try(f));
  f = good;
  f[L.header_off + 31] ^= 1;
  EXPECT_EQ("header corrupted 3", Try(f));
  // no header (magic gone): looks packed, entry below the third section
  f = good;
  f[L.header_off] = 'u';
  EXPECT_EQ("file is possibly modified/hacked/protected; take care!", Try(f));
  // the same with the entry code showing the decompressor's sequence twice
  static const uint8_t seq[7] = {0x8B, 0x1E, 0x83, 0xEE, 0xFC, 0x11, 0xDB};
  ut::PeView v = ut::ParsePe(f);
  uint32_t entry_off = v.hdr(40) - v.sections[1].vaddr + v.sections[1].rawptr;
  memcpy(&f[entry_off], seq, 7);
  memcpy(&f[entry_off + 20], seq, 7);
  EXPECT_EQ("file is modified/hacked/protected; take care!!!", Try(f));
  // another format in the header: not found, so the same refusal
  EXPECT_EQ("file is possibly modified/hacked/protected; take care!", Try(with(5, 36)));
  // a header in the third section is found by the second try
  f = good;
  std::vector<uint8_t> hdr(f.begin() + L.header_off, f.begin() + L.header_off + 32);
  f[L.header_off] = 'u';
  memcpy(&f[L.sec2_raw + 8], hdr.data(), 32);  // inside the packed import area's spare room
  std::string ans;
  Try(f, &ans);
  EXPECT_EQ("0 1 ", ans);
}

TEST_F(UpxCorrupt, UnpackFailures) {
  std::vector<uint8_t> orig = ReadFixture("testdll32.dll");
  std::vector<uint8_t> good = ut::BuildPacked(orig);
  const ut::PackedLayout L = ut::last_layout;
  ut::PeView v = ut::ParsePe(good);
  std::vector<uint8_t> f = good;
  set_le32(&f[v.pe_offset + 60], 0);  // FileAlignment
  EXPECT_EQ("unexpected value in the PE header", Try(f));
  f = good;
  set_le32(&f[v.pe_offset + 248 + 80 + 16], 0);  // raw size of the third section
  EXPECT_EQ("unexpected value in the PE header", Try(f));
  f = good;
  f[L.c_off + 10] ^= 0xFF;
  EXPECT_EQ("checksum error", Try(f));
  f = good;
  f.resize(L.sec2_raw + 100);  // ends inside the last section
  EXPECT_EQ("invalid overlay size; file is possibly corrupt", Try(f));

  auto mutated = [&](std::function<void(std::vector<uint8_t>&, uint32_t)> m) {
    ut::BuildOptions o;
    o.mutate = m;
    return Try(ut::BuildPacked(orig, o));
  };
  EXPECT_EQ("bad extrainfo offset 0x7fff0000", mutated([](std::vector<uint8_t>& b, uint32_t) {
              set_le32(&b[b.size() - 4], 0x7FFF0000);
            }));
  EXPECT_EQ("unexpected value in the PE header", mutated([](std::vector<uint8_t>& b, uint32_t) {
              uint32_t x = get_le32(&b[b.size() - 4]);
              set_le16(&b[x + 6], 0);
            }));
  std::string m = mutated([](std::vector<uint8_t>& b, uint32_t) {
    uint32_t x = get_le32(&b[b.size() - 4]);
    set_le16(&b[x + 6], 0xFFFF);
  });
  EXPECT_EQ(0u, m.find("bad extra section size at 0x")) << m;
  EXPECT_EQ("pointer out of range; take care!", mutated([](std::vector<uint8_t>& b, uint32_t) {
              uint32_t x = get_le32(&b[b.size() - 4]);
              set_le32(&b[x + 28], 0x10000000);  // SizeOfCode
            }));
  EXPECT_EQ("pointer out of range; take care!", mutated([](std::vector<uint8_t>& b, uint32_t) {
              uint32_t x = get_le32(&b[b.size() - 4]);
              uint32_t n = get_le16(&b[x + 6]);
              set_le32(&b[x + 248 + 40 * n], 0x7FFFFFF0);  // import stream offset
            }));
  // A stored section table whose raw offset lies past the end of the file
  // written, or a section without raw data claiming 0xF2000000 bytes of it.
  // The entry gives "not unpackable".
  for (uint32_t field : {20u, 16u}) {
    ut::BuildOptions o;
    o.mutate = [field](std::vector<uint8_t>& b, uint32_t) {
      uint32_t x = get_le32(&b[b.size() - 4]);
      uint32_t n = get_le16(&b[x + 6]);
      uint8_t* s = &b[x + 248 + 40 * (n - 1)];
      if (field == 16) set_le32(s + 20, 0);
      set_le32(s + field, field == 20 ? 0xEB031A00u : 0xF2000000u);
    };
    std::vector<uint8_t> bad = ut::BuildPacked(orig, o);
    EXPECT_EQ("unexpected value in the PE header", Try(bad)) << field;
    std::wstring in = dir + L"\\t.exe", out = dir + L"\\t" + std::to_wstring(field) + L".out";
    ASSERT_TRUE(vt::WriteAll(in, bad));
    EXPECT_EQ(87, unpack_one_file(in.c_str(), out.c_str())) << field;
  }
}

// Random damage: every outcome is an unpack or an orderly refusal, never a
// crash, a hang or a write past a buffer (the guards would report it).
TEST_F(UpxCorrupt, MutationLoop) {
  std::mt19937 rng(20260);
  int ok = 0, refused = 0;
  for (const char* name : {"testdll32.dll", "testdll64.dll", "prog32.exe", "prog64.exe"}) {
    std::vector<uint8_t> orig = ReadFixture(name);
    ut::BuildOptions base;
    base.level = 1;
    base.overlay = {9, 9, 9};
    std::vector<uint8_t> good = ut::BuildPacked(orig, base);
    const ut::PackedLayout L = ut::last_layout;
    // damage to the file: headers, section table, pack header, last section, length
    for (int i = 0; i < 600; i++) {
      std::vector<uint8_t> f = good;
      int kind = int(rng() % 5);
      if (kind == 0) {
        f.resize(rng() % f.size());
      } else {
        int n = 1 + int(rng() % 4);
        for (int k = 0; k < n; k++) {
          uint32_t at;
          if (kind == 1)
            at = rng() % L.header_off;  // headers
          else if (kind == 2)
            at = L.header_off + rng() % 32;  // pack header
          else if (kind == 3)
            at = L.sec2_raw + rng() % L.sec2_size;  // kept data
          else
            at = rng() % uint32_t(f.size());
          uint32_t r = rng();
          f[at] = (r & 3) == 0 ? 0xFF : (r & 3) == 1 ? 0 : uint8_t(r >> 8);
        }
        if (kind == 2 && rng() % 2) Resum(f, L.header_off);
      }
      std::string m = Try(f);
      ASSERT_EQ(std::string::npos, m.find("clobbered")) << name << " " << i;
      (m == "ok" ? ok : refused)++;
    }
    // damage inside the compressed block: extra information, streams, directories
    for (int i = 0; i < 150; i++) {
      ut::BuildOptions o = base;
      uint32_t seed = rng();
      o.mutate = [seed](std::vector<uint8_t>& b, uint32_t image_size) {
        std::mt19937 r(seed);
        int n = 1 + int(r() % 6);
        for (int k = 0; k < n; k++) {
          uint32_t span = uint32_t(b.size()) - image_size;
          uint32_t at = (r() % 4 == 0) ? r() % uint32_t(b.size()) : image_size + r() % span;
          uint32_t v = r();
          if (v % 3 == 0 && at + 4 <= b.size())
            set_le32(&b[at], r() % 3 == 0 ? 0xFFFFFFF0u : r() % 0x20000);
          else
            b[at] = uint8_t(v >> 8);
        }
      };
      std::string m = Try(ut::BuildPacked(orig, o));
      ASSERT_EQ(std::string::npos, m.find("clobbered")) << name << " block " << i;
      (m == "ok" ? ok : refused)++;
    }
  }
  EXPECT_GT(refused, 1000);
  EXPECT_GT(ok, 10);
  // and through the entry: 87 or 0, nothing else
  std::vector<uint8_t> good = ut::BuildPacked(ReadFixture("testdll64.dll"));
  for (int i = 0; i < 200; i++) {
    std::vector<uint8_t> f = good;
    for (int k = 0; k < 3; k++) f[rng() % 2048] = uint8_t(rng());
    std::wstring in = dir + L"\\e.exe", out = dir + L"\\e.out";
    ASSERT_TRUE(vt::WriteAll(in, f));
    DeleteFileW(out.c_str());
    int r = unpack_one_file(in.c_str(), out.c_str());
    EXPECT_TRUE(r == 0 || r == 87) << r;
  }
}

}  // namespace

namespace {

class UpxRebuild : public ::testing::Test {
 protected:
  void SetUp() override { dir = vt::ScratchDir(); }
  std::vector<uint8_t> UnpackBytes(const std::vector<uint8_t>& packed, std::string* msg) {
    std::wstring in = dir + L"\\p.exe", out = dir + L"\\r.exe";
    EXPECT_TRUE(vt::WriteAll(in, packed));
    *msg = Unpack(in, out);
    std::vector<uint8_t> r;
    vt::ReadAll(out, r);
    return r;
  }
  std::wstring dir;
};

TEST_F(UpxRebuild, EmptyRelocationBlockTakesNoExtraInformation) {
  std::vector<uint8_t> orig = ReadFixture("testdll32.dll");
  ut::PeView ov = ut::ParsePe(orig);
  ut::BuildOptions o;
  o.mutate = [](std::vector<uint8_t>& b, uint32_t) {
    uint32_t x = get_le32(&b[b.size() - 4]);
    set_le32(&b[x + 120 + 8 * 5 + 4], 8);  // the restored relocation directory: 8 bytes
  };
  std::string msg;
  std::vector<uint8_t> r = UnpackBytes(ut::BuildPacked(orig, o), &msg);
  ASSERT_EQ("ok", msg);
  ut::PeView rv = ut::ParsePe(r);
  EXPECT_EQ(ov.dirRva(5), rv.dirRva(5));
  EXPECT_EQ(8u, rv.dirSize(5));
  const uint8_t* blk = rv.at(rv.dirRva(5), 8);
  ASSERT_NE(nullptr, blk);
  EXPECT_EQ(0u, get_le32(blk));
  EXPECT_EQ(8u, get_le32(blk + 4));
  EXPECT_EQ(ov.exports(), rv.exports());
}

TEST_F(UpxRebuild, ResourceRootWithoutEntriesIsRefused) {
  std::vector<uint8_t> packed = ut::BuildPacked(ReadFixture("prog64.exe"));
  ut::PeView pv = ut::ParsePe(packed);
  uint32_t v = pv.dirRva(2);
  ASSERT_NE(0u, v);
  uint32_t off = pv.sections[2].rawptr + (v - pv.sections[2].vaddr);
  set_le32(&packed[off + 12], 0);
  std::string msg;
  UnpackBytes(packed, &msg);
  EXPECT_EQ("corrupted resources", msg);
  // a child of the wrong kind
  packed = ut::BuildPacked(ReadFixture("prog64.exe"));
  set_le32(&packed[off + 16 + 4], get_le32(&packed[off + 16 + 4]) & 0x7FFFFFFF);
  UnpackBytes(packed, &msg);
  EXPECT_EQ("unsupported resource structure", msg);
}

TEST_F(UpxRebuild, ExportsAtTheirPackedPlaceAreLeftAlone) {
  std::vector<uint8_t> orig = ReadFixture("testdll64.dll");
  std::vector<uint8_t> packed = ut::BuildPacked(orig);
  ut::PeView pv = ut::ParsePe(packed);
  // the packed header names the same export RVA as the restored one
  ut::PeView ov = ut::ParsePe(orig);
  set_le32(&packed[pv.pe_offset + 136], ov.dirRva(0));
  std::string msg;
  std::vector<uint8_t> r = UnpackBytes(packed, &msg);
  ASSERT_EQ("ok", msg);
  ut::PeView rv = ut::ParsePe(r);
  const uint8_t* e = rv.at(rv.dirRva(0), 40);
  ASSERT_NE(nullptr, e);
  EXPECT_EQ(0u, get_le32(e + 20));  // cleared by the packing, not rebuilt
}

}  // namespace

namespace {

// Run by the test below as a child process: unpacks UPX_MEASURE_IN into
// UPX_MEASURE_OUT and prints the result, its working set before and its
// peak working set after.
TEST(UpxMemoryChild, DISABLED_Unpack) {
  wchar_t in[MAX_PATH], out[MAX_PATH];
  if (!GetEnvironmentVariableW(L"UPX_MEASURE_IN", in, MAX_PATH) ||
      !GetEnvironmentVariableW(L"UPX_MEASURE_OUT", out, MAX_PATH))
    GTEST_SKIP() << "run by UpxMemory.PeakFollowsTheRealOutput";
  PROCESS_MEMORY_COUNTERS m = {};
  m.cb = sizeof m;
  GetProcessMemoryInfo(GetCurrentProcess(), &m, sizeof m);
  unsigned before = unsigned(m.WorkingSetSize / 1024);
  int r = unpack_one_file(in, out);
  GetProcessMemoryInfo(GetCurrentProcess(), &m, sizeof m);
  printf("result=%d before-kb=%u peak-kb=%u\n", r, before, unsigned(m.PeakWorkingSetSize / 1024));
}

// The unpack's result and how far its peak working set rose, in KiB.
std::pair<int, long> MeasureUnpack(const std::wstring& dir, const std::vector<uint8_t>& packed,
                                   const std::wstring& name) {
  std::wstring in = dir + L"\\" + name + L".packed", out = dir + L"\\" + name;
  EXPECT_TRUE(vt::WriteAll(in, packed));
  SetEnvironmentVariableW(L"UPX_MEASURE_IN", in.c_str());
  SetEnvironmentVariableW(L"UPX_MEASURE_OUT", out.c_str());
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::string said = ut::RunProgram(self, dir, L"--gtest_filter=UpxMemoryChild.DISABLED_Unpack --gtest_also_run_disabled_tests");
  SetEnvironmentVariableW(L"UPX_MEASURE_IN", nullptr);
  SetEnvironmentVariableW(L"UPX_MEASURE_OUT", nullptr);
  int result = -1;
  unsigned before = 0, peak = 0;
  size_t at = said.find("result=");
  if (at == std::string::npos ||
      sscanf(said.c_str() + at, "result=%d before-kb=%u peak-kb=%u", &result, &before, &peak) != 3)
    ADD_FAILURE() << said;
  return {result, long(peak) - long(before)};
}

// A small packed file whose header claims 256 MiB is refused before that
// is allocated; a real 32 MiB image is unpacked in about its own size (no
// second copy of it).
TEST(UpxMemory, PeakFollowsTheRealOutput) {
  std::wstring dir = vt::ScratchDir();
  std::vector<uint8_t> claim = ut::BuildPacked(ReadFixture("prog32.exe"));
  const ut::PackedLayout L = ut::last_layout;
  set_le32(&claim[L.header_off + 16], 256u << 20);
  Resum(claim, L.header_off);
  std::pair<int, long> r = MeasureUnpack(dir, claim, L"claim.exe");
  EXPECT_EQ(87, r.first);
  EXPECT_LT(r.second, 16 * 1024);

  std::string d = vt::ToUnix(dir), out;
  const char source[] =
      "char big[32 << 20] = {1};\nint main(int argc, char** argv) { return big[argc << 20]; }\n";
  ASSERT_TRUE(vt::WriteAll(dir + L"\\big.c", source, sizeof source - 1));
  ASSERT_EQ(0, vt::Sh("cd " + vt::Q(d) + " && i686-w64-mingw32-gcc -O1 -s -o big.exe big.c", &out))
      << out;
  std::vector<uint8_t> program;
  ASSERT_TRUE(vt::ReadAll(dir + L"\\big.exe", program));
  std::vector<uint8_t> big = ut::BuildPacked(program);
  ASSERT_FALSE(big.empty());
  uint32_t image = ut::last_layout.u_len;
  r = MeasureUnpack(dir, big, L"restored.exe");
  EXPECT_EQ(0, r.first);
  EXPECT_LT(r.second, long(image / 1024) * 14 / 10) << "image " << image;
}

}  // namespace
