// The pack side: loader listing and linker, and PE32 / PE32+ programs and
// DLLs packed by us and unpacked by us.
#include <windows.h>
#include <fcntl.h>
#include <share.h>
#include <gtest/gtest.h>

#include "PeTestUtil.h"
#include "TestSupport.h"
#include "UpxTestUtil.h"
#include "upxlib/bele.h"
#include "upxlib/except.h"
#include "upxlib/linker.h"
#include "upxlib/p_w32pe.h"
#include "upxlib/p_w64pep.h"
#include "upxlib/peloader.h"
#include "upxlib/upxlib.h"

using namespace upx;

namespace {

std::vector<uint8_t> ReadFixture(const std::string& name) {
  std::vector<uint8_t> d;
  EXPECT_TRUE(vt::ReadAll(vt::ToWin(std::string(UPX_FIXTURES_UNIX) + "/" + name), d)) << name;
  return d;
}

std::string Msg(std::function<void()> f) {
  try {
    f();
  } catch (const Throwable& e) {
    return e.getMsg() ? e.getMsg() : "<null>";
  }
  return "<none>";
}

// Packs in to out with our PE packers; "ok" or the refusal's message.
std::string Pack(const std::wstring& in, const std::wstring& out, int method = -1,
                 const char* keep = nullptr) {
  ut::ResetOptions(CMD_COMPRESS);
  if (keep) opt->win32_pe.keep_resource = keep;
  InputFile fi;
  if (fi.openShared(in.c_str(), O_BINARY | O_RDONLY, _SH_DENYWR) != 0) return "open";
  OutputFile fo;
  if (fo.openShared(out.c_str(), O_BINARY | O_WRONLY | O_CREAT | O_TRUNC, _SH_DENYWR, 0600) != 0)
    return "open out";
  std::string r;
  for (int k = 0; k < 2; k++) {
    std::unique_ptr<PeFile> p(k == 0 ? static_cast<PeFile*>(new PackW64Pep(&fi))
                                     : new PackW32Pe(&fi));
    try {
      p->initPackHeader();
      fi.seek(0, SEEK_SET);
      if (!p->canPack()) continue;
      if (method > 0) p->ph.method = method;
      p->pack(&fo);
      fo.closeChecked();
      r = "ok";
    } catch (const Throwable& e) {
      r = e.getMsg() ? e.getMsg() : "<null>";
    }
    break;
  }
  ut::ResetOptions();
  return r.empty() ? "not PE" : r;
}

}  // namespace

TEST(UpxLinker, ListingSectionsPaddingAndRelocations) {
  ut::ResetOptions(CMD_COMPRESS);
  const char text[] =
      "Sections:\nIdx Name  Size      VMA       LMA       File off  Algn\n"
      "  0 AAA   00000003  00000000  00000000  00000400  2**0\n"
      "  1 BBB   00000006  00000000  00000000  00000403  2**2\n"
      "  2 CCC   00000002  00000000  00000000  00000409  2**0\n"
      "SYMBOL TABLE:\n"
      "00000000 l    d  AAA\t00000000 AAA\n"
      "00000000 l    d  BBB\t00000000 BBB\n"
      "00000001 l       CCC\t00000000 inccc\n"
      "00000000         *UND*\t00000000 value\n"
      "00000010 g       *ABS*\t00000000 absval\n"
      "RELOCATION RECORDS FOR [BBB]:\nOFFSET   TYPE              VALUE\n"
      "00000000 R_386_32          value\n"
      "00000004 R_386_PC8         inccc+0x00000001\n"
      "00000005 R_386_8           absval\n";
  std::string t(text);
  t.resize(0x400, '\n');
  t += std::string("\x01\x02\x03", 3) + std::string("\x10\x00\x00\x00\x00\x01", 6) + "zz";
  ElfLinkerX86 l;
  l.init(t.data(), int(t.size()));
  l.defineSymbol("value", 0x1000);
  EXPECT_EQ(3, l.addLoader("AAA"));
  EXPECT_EQ(0xDEADDEADu, l.getSymbolOffset("inccc"));
  EXPECT_EQ(3 + 1 + 6, l.addLoader("BBB"));  // one byte of code padding first
  l.addLoader("+40D,CCC");                   // CCC follows BBB at 4 + 6 = 10: to 12
  EXPECT_EQ(12 + 1u, l.getSymbolOffset("inccc"));
  EXPECT_EQ(4u, l.getSymbolOffset("BBB"));
  EXPECT_EQ("defineSymbol: symbol 'BBB' already defined\n", Msg([&] { l.defineSymbol("BBB", 1); }));
  EXPECT_EQ("defineSymbol: symbol 'absval' is *ABS*\n", Msg([&] { l.defineSymbol("absval", 1); }));
  l.relocate();
  int len = 0;
  const upx_byte* out = l.getLoader(&len);
  ASSERT_EQ(14, len);
  EXPECT_EQ(0x90, out[3]);                   // code padding of x86
  EXPECT_EQ(0x1010u, get_le32(out + 4));     // 0x10 + value
  EXPECT_EQ(0x00, out[10]);                  // data padding
  EXPECT_EQ(uint8_t(0 + (14 - 8)), out[8]);  // PC8: inccc+1 (14) - place (8)
  EXPECT_EQ(0x11, out[9]);                   // 0x01 + absval
  EXPECT_EQ("relocate: already done", Msg([&] { l.relocate(); }));
  ElfLinkerX86 u;
  u.init(t.data(), int(t.size()));
  u.addLoader("BBB");
  EXPECT_EQ("undefined symbol 'value' referenced\n", Msg([&] { u.relocate(); }));
  ElfLinker plain;
  plain.init(t.data(), int(t.size()));
  plain.defineSymbol("value", 1);
  plain.addLoader("BBB,CCC");
  EXPECT_EQ("unknown relocation type 'R_386_32\n'", Msg([&] { plain.relocate(); }));
  EXPECT_EQ("unknown section ZZZ\n", Msg([&] { plain.addLoader("ZZZ"); }));
}

TEST(UpxLinker, PeLoaderListingsParse) {
  ut::ResetOptions(CMD_COMPRESS);
  for (bool amd64 : {false, true}) {
    std::string t = makePeLoaderListing(amd64);
    ElfLinker* l = amd64 ? static_cast<ElfLinker*>(new ElfLinkerAMD64) : new ElfLinkerX86;
    l->init(t.data(), int(t.size()));
    l->addLoader(amd64 ? "START,PEMAIN01,PEDOJUMP,UPX1HEAD" : "PEMAIN01,PEDOJUMP,UPX1HEAD");
    l->defineSymbol("start_of_compressed", 0x1234);
    l->defineSymbol("start_of_uncompressed", 0x10);
    l->defineSymbol("original_entry", 0x2000);
    l->relocate();
    int len = 0;
    const upx_byte* out = l->getLoader(&len);
    int p = l->getSection("PEMAIN01");
    EXPECT_EQ(0x1234u, get_le32(out + p + 2));
    EXPECT_EQ(0, memcmp(out + l->getSection("UPX1HEAD"), "UPX!", 4));
    delete l;
  }
}

class UpxPack : public ::testing::Test {
 protected:
  void SetUp() override { dir = vt::ScratchDir(); }
  std::wstring dir;
};

TEST_F(UpxPack, PackedByUsUnpackedByUs) {
  struct C {
    const char* f;
    bool keeps;
  } cases[] = {{"prog32.exe", true},        {"prog64.exe", true},    {"prog32_fixed.exe", false},
               {"prog64_fixed.exe", false}, {"testdll32.dll", true}, {"testdll64.dll", true}};
  int variant = 0;
  for (const C& c : cases) {
    SCOPED_TRACE(c.f);
    std::vector<uint8_t> orig = ReadFixture(c.f);
    std::vector<uint8_t> overlay = ut::CodeLike(700 + variant, variant);
    std::vector<uint8_t> in = orig;
    in.insert(in.end(), overlay.begin(), overlay.end());
    std::wstring src = dir + L"\\src" + std::to_wstring(variant) + L".exe";
    std::wstring packed = dir + L"\\packed" + std::to_wstring(variant) + L".exe";
    std::wstring r1 = dir + L"\\r1_" + std::to_wstring(variant) + L".exe";
    std::wstring p2 = dir + L"\\p2_" + std::to_wstring(variant) + L".exe";
    std::wstring r2 = dir + L"\\r2_" + std::to_wstring(variant) + L".exe";
    ASSERT_TRUE(vt::WriteAll(src, in));
    int method = variant % 3 == 0 ? 8 : variant % 3 == 1 ? 2 : 5;
    variant++;
    ASSERT_EQ("ok", Pack(src, packed, method));
    std::vector<uint8_t> pk;
    ASSERT_TRUE(vt::ReadAll(packed, pk));
    EXPECT_LT(pk.size(), in.size());
    ut::PeView pv = ut::ParsePe(pk);
    ASSERT_TRUE(pv.ok);
    EXPECT_EQ(3u, pv.sections.size());
    EXPECT_EQ("UPX0", pv.sections[0].name);
    EXPECT_EQ(0u, pv.hdr(88));
    // kept resources: the version stays readable in the packed file
    bool has_version = false;
    for (auto& r : pv.resources())
      has_version |= r.first.rfind("16/", 0) == 0 && r.second.size() > 4 && r.second[0] != 0xBA;
    if (pv.dirSize(2)) {
      EXPECT_TRUE(has_version);
    }
    ASSERT_EQ(0, unpack_one_file(packed.c_str(), r1.c_str()));
    std::vector<uint8_t> rest;
    ASSERT_TRUE(vt::ReadAll(r1, rest));
    ut::ExpectSameByMeaning(orig, rest, overlay, c.keeps);
    // unpack -> pack -> unpack reaches a fixpoint
    ASSERT_EQ("ok", Pack(r1, p2, method));
    ASSERT_EQ(0, unpack_one_file(p2.c_str(), r2.c_str()));
    std::vector<uint8_t> rest2;
    ASSERT_TRUE(vt::ReadAll(r2, rest2));
    EXPECT_TRUE(rest == rest2);
  }
}

// A 64-bit program whose import descriptors (KERNEL32, msvcrt, USER32, d)
// are not in the order of their names, with TLS and exports: its DLL names
// go back into their own places, so a second round trip gives the same
// bytes and the program still runs.
TEST_F(UpxPack, ImportNamesOutOfNameOrderSurviveTwoRoundTrips) {
  std::string d = vt::ToUnix(dir), out;
  auto put = [&](const wchar_t* name, const std::string& text) {
    return vt::WriteAll(dir + L"\\" + name, text.data(), text.size());
  };
  ASSERT_TRUE(put(L"d.c", "__declspec(dllexport) int triple(int x) { return 3 * x; }\n"));
  ASSERT_TRUE(put(L"prog.c", R"(#include <windows.h>
#include <stdio.h>
__declspec(dllimport) int triple(int x);
__declspec(dllexport) int exported_twice(int x) { return 2 * x; }
static int tls_seen;
static void NTAPI on_tls(PVOID h, DWORD reason, PVOID r) {
  (void)h; (void)r;
  if (reason == DLL_PROCESS_ATTACH) tls_seen++;
}
__attribute__((section(".CRT$XLB"), used)) PIMAGE_TLS_CALLBACK tls_cb = on_tls;
int main(void) {
  char up[] = "mixed";
  CharUpperA(up);
  printf("triple=%d upper=%s tls=%d\n", triple(7), up, tls_seen);
  return 0;
}
)"));
  ASSERT_EQ(0, vt::Sh("cd " + vt::Q(d) +
                          " && x86_64-w64-mingw32-gcc -O1 -s -shared -o d.dll d.c && "
                          "x86_64-w64-mingw32-gcc -O1 -s -o prog.exe prog.c d.dll -luser32",
                      &out))
      << out;
  std::string want = ut::RunProgram(dir + L"\\prog.exe", dir);
  ASSERT_EQ("triple=21 upper=MIXED tls=1\r\nexit=0", want);

  std::wstring p1 = dir + L"\\p1.exe", r1 = dir + L"\\r1.exe";
  std::wstring p2 = dir + L"\\p2.exe", r2 = dir + L"\\r2.exe";
  ASSERT_EQ("ok", Pack(dir + L"\\prog.exe", p1));
  ASSERT_EQ(0, unpack_one_file(p1.c_str(), r1.c_str()));
  ASSERT_EQ("ok", Pack(r1, p2));
  ASSERT_EQ(0, unpack_one_file(p2.c_str(), r2.c_str()));
  std::vector<uint8_t> first, second, orig;
  ASSERT_TRUE(vt::ReadAll(r1, first) && vt::ReadAll(r2, second) &&
              vt::ReadAll(dir + L"\\prog.exe", orig));
  EXPECT_TRUE(first == second);
  ut::ExpectSameByMeaning(orig, second, {}, true);
  EXPECT_EQ(want, ut::RunProgram(r1, dir));
  EXPECT_EQ(want, ut::RunProgram(r2, dir));
}

TEST_F(UpxPack, Refusals) {
  std::vector<uint8_t> prog = ReadFixture("prog32.exe");
  std::wstring src = dir + L"\\a.exe", out = dir + L"\\b.exe", twice = dir + L"\\c.exe";
  ASSERT_TRUE(vt::WriteAll(src, prog));
  ASSERT_EQ("ok", Pack(src, out));
  EXPECT_EQ("already packed by UPX", Pack(out, twice));
  std::vector<uint8_t> gui = prog;
  ut::PeView v = ut::ParsePe(gui);
  set_le16(&gui[v.pe_offset + 92], 9);
  ASSERT_TRUE(vt::WriteAll(src, gui));
  EXPECT_EQ("PE: subsystem 9 is not supported", Pack(src, out));
  std::vector<uint8_t> fa = prog;
  set_le32(&fa[v.pe_offset + 60], 0x100);
  ASSERT_TRUE(vt::WriteAll(src, fa));
  EXPECT_EQ("filealign < 0x200 is not yet supported", Pack(src, out));
}

TEST(UpxPackLayout, IdentificationSplitAndCompressedLength) {
  // PE offset 0x80 + 0x170 = 0x1F0: the identification fits before 0x200 or
  // fills the 0x10-byte gap
  EXPECT_EQ(0x0Cu, PeFile::identSplit(0x1F0, 0x0C));
  EXPECT_EQ(0x10u, PeFile::identSplit(0x1F0, 0x40));
  EXPECT_EQ(0u, PeFile::identSplit(0x200, 0x40));
  EXPECT_EQ(0x100Fu, PeFile::alignedCompressedLength(0x1003, 0x21));
  EXPECT_EQ(0x1010u, PeFile::alignedCompressedLength(0x1010, 0x20));
}

TEST_F(UpxPack, KeptResourcesStayReadable) {
  std::wstring src = dir + L"\\a.exe", out = dir + L"\\b.exe", back = dir + L"\\c.exe";
  ASSERT_TRUE(vt::WriteAll(src, ReadFixture("prog32.exe")));
  ASSERT_EQ("ok", Pack(src, out, 8, "10/101"));
  std::vector<uint8_t> pk;
  ASSERT_TRUE(vt::ReadAll(out, pk));
  auto res = ut::ParsePe(pk).resources();
  const std::string custom = "custom resource data";
  bool found = false;
  for (auto& r : res)
    if (r.first.rfind("10/101/", 0) == 0)
      found = std::string(r.second.begin(), r.second.end()) == custom;
  EXPECT_TRUE(found);  // kept uncompressed: readable in the packed file
  ASSERT_EQ(0, unpack_one_file(out.c_str(), back.c_str()));
  std::vector<uint8_t> rest;
  ASSERT_TRUE(vt::ReadAll(back, rest));
  EXPECT_EQ(ut::ParsePe(ReadFixture("prog32.exe")).resources(), ut::ParsePe(rest).resources());
}
