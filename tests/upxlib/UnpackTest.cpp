// Packed PE32 and PE32+ programs and DLLs, built from the packed layout by
// the test builder, unpacked and compared with the originals by meaning; the
// restored programs run under Wine with the originals' output.
#include <windows.h>
#include <gtest/gtest.h>

#include <random>

#include "PeTestUtil.h"
#include "TestSupport.h"
#include "UpxTestUtil.h"
#include "upxlib/bele.h"
#include "upxlib/upxlib.h"

namespace {

std::wstring FixtureW(const std::string& name) {
  return vt::ToWin(std::string(UPX_FIXTURES_UNIX) + "/" + name);
}

std::vector<uint8_t> ReadFixture(const std::string& name) {
  std::vector<uint8_t> d;
  EXPECT_TRUE(vt::ReadAll(FixtureW(name), d)) << name;
  return d;
}

struct Case {
  const char* file;
  bool dll;
  bool dynbase;
};
const Case kCases[] = {
    {"prog32.exe", false, true},        {"prog64.exe", false, true},
    {"prog32_fixed.exe", false, false}, {"prog64_fixed.exe", false, false},
    {"testdll32.dll", true, true},      {"testdll64.dll", true, true},
};

class UpxUnpack : public ::testing::Test {
 protected:
  void SetUp() override { dir = vt::ScratchDir(); }
  std::wstring dir;

  std::vector<uint8_t> PackUnpack(const std::vector<uint8_t>& orig, const ut::BuildOptions& o,
                                  const std::wstring& name) {
    std::vector<uint8_t> packed = ut::BuildPacked(orig, o);
    EXPECT_FALSE(packed.empty());
    std::wstring in = dir + L"\\" + name + L".packed";
    std::wstring out = dir + L"\\" + name;
    EXPECT_TRUE(vt::WriteAll(in, packed));
    DeleteFileW(out.c_str());
    EXPECT_EQ(0, unpack_one_file(in.c_str(), out.c_str())) << vt::Narrow(name);
    std::vector<uint8_t> r;
    vt::ReadAll(out, r);
    return r;
  }
};

TEST_F(UpxUnpack, RestoresProgramsAndDllsByMeaning) {
  int variant = 0;
  for (const Case& c : kCases) {
    std::vector<uint8_t> orig = ReadFixture(c.file);
    ASSERT_FALSE(orig.empty());
    for (int v = 0; v < 3; v++, variant++) {
      ut::BuildOptions o;
      o.method = (v == 0) ? 8 : (v == 1) ? 2 : 5 + variant % 3;
      o.filter = (v == 2) ? 0 : -1;
      o.ordinal_thunks = v == 1;
      o.names_area = v != 2;
      if (v >= 1) o.overlay = ut::CodeLike(1000 + 37 * v, v);
      SCOPED_TRACE(std::string(c.file) + " variant " + std::to_string(v));
      std::vector<uint8_t> r = PackUnpack(orig, o, vt::Widen(c.file));
      ASSERT_FALSE(r.empty());
      ut::ExpectSameByMeaning(orig, r, o.overlay, c.dll || c.dynbase);
    }
  }
}

TEST_F(UpxUnpack, RestoredProgramsRunLikeTheOriginals) {
  for (const char* arch : {"32", "64"}) {
    std::wstring a = vt::Widen(arch);
    std::wstring odir = dir + L"\\orig" + a, rdir = dir + L"\\restored" + a;
    CreateDirectoryW(odir.c_str(), nullptr);
    CreateDirectoryW(rdir.c_str(), nullptr);
    std::vector<uint8_t> prog = ReadFixture(std::string("prog") + arch + ".exe");
    std::vector<uint8_t> dll = ReadFixture(std::string("testdll") + arch + ".dll");
    ASSERT_TRUE(vt::WriteAll(odir + L"\\prog.exe", prog));
    ASSERT_TRUE(vt::WriteAll(odir + L"\\testdll.dll", dll));
    ut::BuildOptions o;
    o.overlay = {1, 2, 3};
    std::vector<uint8_t> rp = PackUnpack(prog, o, L"prog" + a + L".exe");
    std::vector<uint8_t> rd = PackUnpack(dll, o, L"testdll" + a + L".dll");
    ASSERT_TRUE(vt::WriteAll(rdir + L"\\prog.exe", rp));
    ASSERT_TRUE(vt::WriteAll(rdir + L"\\testdll.dll", rd));
    std::string want = ut::RunProgram(odir + L"\\prog.exe", odir);
    EXPECT_NE(std::string::npos, want.find("add=5 mul=20 tls=1")) << want;
    EXPECT_NE(std::string::npos, want.find("rcdata=20:custom resource data icon=1")) << want;
    EXPECT_EQ(want, ut::RunProgram(rdir + L"\\prog.exe", rdir)) << arch;
  }
}

// Scattered DLL names whose places were swapped between two descriptors
// (KERNEL32.dll's own place taken by the one of testdll.dll, a byte short
// for it) each go back where they fit; two descriptors naming one place
// leave a name without room, and the file is refused.
TEST_F(UpxUnpack, ScatteredDllNamesOnlyWhereTheyFit) {
  std::vector<uint8_t> orig = ReadFixture("prog64.exe");
  ut::PeView ov = ut::ParsePe(orig);
  const uint32_t descs = ov.dirRva(1) - ov.sections[0].vaddr;
  for (bool shared : {false, true}) {
    SCOPED_TRACE(shared ? "one place named twice" : "places swapped");
    ut::BuildOptions o;
    o.names_area = false;
    o.mutate = [&](std::vector<uint8_t>& b, uint32_t) {
      uint32_t first = upx::get_le32(&b[descs + 12]), last = upx::get_le32(&b[descs + 3 * 20 + 12]);
      upx::set_le32(&b[descs + 12], shared ? first : last);
      upx::set_le32(&b[descs + 3 * 20 + 12], first);
    };
    std::wstring in = dir + L"\\names.packed", out = dir + L"\\names" + (shared ? L"2" : L"1");
    ASSERT_TRUE(vt::WriteAll(in, ut::BuildPacked(orig, o)));
    if (shared) {
      EXPECT_EQ(87, unpack_one_file(in.c_str(), out.c_str()));
      continue;
    }
    ASSERT_EQ(0, unpack_one_file(in.c_str(), out.c_str()));
    std::vector<uint8_t> r;
    ASSERT_TRUE(vt::ReadAll(out, r));
    ut::ExpectSameByMeaning(orig, r, {}, true);
  }
}

}  // namespace
