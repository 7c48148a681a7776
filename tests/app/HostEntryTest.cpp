// The host entry through the built program: loaded with LoadLibrary and
// mapped by a loader of the test's own at another base.
#include <gtest/gtest.h>

#include <functional>

#include "BatchTestUtil.h"
#include "ProgramImage.h"
#include "TestSupport.h"
#include "app/HostEntry.h"
#include "app/ImageOperations.h"

using namespace apptest;

namespace {

typedef decltype(&ImageExtractFileW) ExtractFn;

HMODULE WINAPI NoLibrary(LPCSTR) {
  return nullptr;
}

// A copy of the program with version 1.2.3.0, so that Initialize reports
// 20003, written under its own name.
std::wstring WritePatchedCopy(const wchar_t* name, std::vector<uint8_t>* bytes = nullptr) {
  std::vector<uint8_t> file = ReadProgram();
  EXPECT_TRUE(PatchFileVersion(file, 2, 3));
  std::wstring path = vt::ScratchDir() + L"\\" + name;
  EXPECT_TRUE(vt::WriteAll(path, file));
  if (bytes) *bytes = file;
  return path;
}

std::vector<uint8_t> PatchedBytes() {
  std::vector<uint8_t> file = ReadProgram();
  EXPECT_TRUE(PatchFileVersion(file, 2, 3));
  return file;
}

// Calls an export as a host does once Initialize succeeded: an image that
// does not exist is reported as not opened.
int CallExtract(void* extract) {
  std::wstring missing = vt::ScratchDir() + L"\\missing.img";
  std::wstring target = vt::ScratchDir() + L"\\out";
  return reinterpret_cast<ExtractFn>(extract)(missing.c_str(), L"", 0, L"\\Windows", target.c_str(),
                                              1);
}

// The operations of a hosted copy on a real image: a file extracted and a
// key exported, both checked against the tree the image was made from. The
// image is made once for all tests.
void CallOnImage(void* extract, void* exportRegistry) {
  // Outside the scratch folders, which each call of vt::ScratchDir empties.
  static const bt::Disk disk =
      bt::MakeDisk({"RawMbr", "mbr2048", "raw", false, false, false},
                   vt::BinaryDirUnix() + "/testtmp/test_app/HostEntryImage");
  static int calls = 0;
  std::string out = disk.dir + "/out" + std::to_string(++calls);
  EXPECT_EQ(0, vt::Sh("mkdir -p " + vt::Q(out)));
  std::wstring outW = vt::ToWin(out);
  EXPECT_EQ(kImageOk, reinterpret_cast<ExtractFn>(extract)(disk.ImageWin().c_str(), L"", 0,
                                                           L"\\Program Files\\App\\readme.txt",
                                                           (outW + L"\\readme.txt").c_str(), 1));
  EXPECT_EQ(0, vt::Sh("cmp " + vt::Q(out + "/readme.txt") + " " +
                      vt::Q(disk.tree + "/Program Files/App/readme.txt")));
  EXPECT_EQ(kImageOk, reinterpret_cast<decltype(&ImageExportRegistryW)>(exportRegistry)(
                          disk.ImageWin().c_str(), L"", 0, L"HKEY_LOCAL_MACHINE\\SYSTEM\\Vro",
                          (outW + L"\\vro.reg").c_str()));
  std::string text;
  vt::Sh("iconv -f utf-16 -t utf-8 " + vt::Q(out + "/vro.reg"), &text);
  EXPECT_NE(std::string::npos, text.find("\"Hive\"=\"SYSTEM\"")) << text;
}

// Calls each of the fourteen image exports of a copy, through a lookup of
// its own, and expects the failure code each one documents for an image or
// volume that cannot be opened. Arguments that would work once the copy is
// initialised: nothing may be reached before that.
void ExpectEveryExportRefuses(const std::function<void*(const char*)>& find, const char* copy) {
  std::wstring dir = vt::ScratchDir();
  std::wstring image = dir + L"\\none.img", out = dir + L"\\out";
  const wchar_t* i = image.c_str();
  const wchar_t* o = out.c_str();
  auto get = [&](const char* name) {
    void* f = find(name);
    EXPECT_NE(nullptr, f) << name;
    return f;
  };
#define VRO_CALL(name, ...) reinterpret_cast<decltype(&name)>(get(#name))(__VA_ARGS__)
  struct Call {
    const char* name;
    int result, expected;
  } calls[] = {
      {"export", VRO_CALL(ImageExportRegistryW, i, L"", 0, L"HKEY_LOCAL_MACHINE\\SYSTEM", o),
       kImageNotOpened},
      {"import", VRO_CALL(ImageImportRegistryW, i, L"", 0, o), kImageNotOpened},
      {"extract", VRO_CALL(ImageExtractFileW, i, L"", 0, L"\\", o, 1), kImageNotOpened},
      {"inject", VRO_CALL(ImageInjectFileW, i, L"", 0, L"\\x", o, 1), kImageNotOpened},
      {"create", VRO_CALL(ImageCreateDiskW, i, 64), kImageOperationFailed},
      {"backup", VRO_CALL(ImageBackupDiskW, L'C', i, 0, 0, nullptr, nullptr),
       kImageOperationFailed},
      {"clone", VRO_CALL(ImageCloneDiskW, L'C', L'D', nullptr, nullptr), kImageOperationFailed},
      {"convert", VRO_CALL(ImageConvertFileW, i, o, 0, 0, nullptr, nullptr), kImageOperationFailed},
      {"format", VRO_CALL(ImageFormatPartitionW, i, L"", 0), kImageNotOpened},
      {"size", VRO_CALL(ImageSetPartitionSizeW, i, L"", 0, 100, 0), kImageNotOpened},
      {"check", VRO_CALL(ImageCheckPartitionW, i, L"", 0), kImageNotOpened},
      {"repair", VRO_CALL(ImageRepairPartitionW, i, L"", 0), kImageNotOpened},
      {"adapter",
       VRO_CALL(ImageAddAdapterW, i, L"", 0, 2, L"PCI\\VEN_8086&DEV_1000", L"7", L"10.0.0.7"),
       kImageVolumeOperationFailed},
      {"pnp",
       VRO_CALL(ImageHardwarePnpW, nullptr, 0, 0, 2, 0, L"PCI\\VEN_8086&DEV_1000", 7, 0x0A000007,
                nullptr),
       kImageVolumeOperationFailed},
  };
#undef VRO_CALL
  for (const Call& c : calls) EXPECT_EQ(c.expected, c.result) << copy << ": " << c.name;
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(i)) << copy << ": nothing is created";
}

TEST(HostEntry, LoaderCodeHoldsNoAbsoluteAddresses) {
  // The code that runs before relocation lies in ".vroldr"; a base
  // relocation inside it would be an absolute address used too early.
  std::vector<uint8_t> file = ReadProgram();
  ASSERT_FALSE(file.empty());
  const IMAGE_SECTION_HEADER* loader = FindSection(file.data(), ".vroldr");
  ASSERT_NE(nullptr, loader);
  DWORD begin = loader->VirtualAddress, end = begin + loader->Misc.VirtualSize;

  const IMAGE_NT_HEADERS* nt = NtHeaders(file.data());
  // The program (and a test program alike) holds a large hive, the old
  // pages a change keeps and the file it saves at once: it takes the whole
  // address space a 64-bit Windows gives a 32-bit process.
  EXPECT_NE(0, nt->FileHeader.Characteristics & IMAGE_FILE_LARGE_ADDRESS_AWARE);
  EXPECT_NE(0, NtHeaders(reinterpret_cast<const uint8_t*>(GetModuleHandleW(nullptr)))
                       ->FileHeader.Characteristics &
                   IMAGE_FILE_LARGE_ADDRESS_AWARE);
  const IMAGE_DATA_DIRECTORY& dir =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_BASERELOC];
  ASSERT_NE(0u, dir.Size) << "the program must carry base relocations";
  size_t at = RvaToOffset(file, dir.VirtualAddress), stop = at + dir.Size;
  int inLoader = 0, total = 0;
  while (at + 8 <= stop) {
    DWORD page, blockSize;
    memcpy(&page, &file[at], 4);
    memcpy(&blockSize, &file[at + 4], 4);
    ASSERT_GE(blockSize, 8u);
    for (size_t e = at + 8; e + 2 <= at + blockSize; e += 2) {
      WORD entry = WORD(file[e] | file[e + 1] << 8);
      // Absolute addresses of 32 bits in PE32, of 64 in PE32+.
      const int type = entry >> 12;
      if (type != IMAGE_REL_BASED_HIGHLOW && type != IMAGE_REL_BASED_DIR64) continue;
      const DWORD width = type == IMAGE_REL_BASED_DIR64 ? 8 : 4;
      DWORD rva = page + (entry & 0xFFF);
      ++total;
      if (rva + width > begin && rva < end) ++inLoader;
    }
    at += blockSize;
  }
  EXPECT_GT(total, 0);
  EXPECT_EQ(0, inLoader);

  // Initialize itself starts there.
  std::vector<uint8_t> mapped = file;  // export lookup by RVA on a laid-out copy
  uint8_t* image = MapImage(file);
  ASSERT_NE(nullptr, image);
  DWORD rva = DWORD(static_cast<uint8_t*>(FindExport(image, "Initialize")) - image);
  EXPECT_GE(rva, begin);
  EXPECT_LT(rva, end);
  VirtualFree(image, 0, MEM_RELEASE);
}

TEST(HostEntry, LoadLibraryThenInitialize) {
  std::wstring path = WritePatchedCopy(L"hosted_ll.exe");
  HMODULE module = LoadLibraryW(path.c_str());
  ASSERT_NE(nullptr, module) << GetLastError();
  auto initialize = reinterpret_cast<decltype(&Initialize)>(GetProcAddress(module, "Initialize"));
  void* extract = reinterpret_cast<void*>(GetProcAddress(module, "ImageExtractFileW"));
  ASSERT_NE(nullptr, initialize);
  ASSERT_NE(nullptr, extract);

  EXPECT_EQ(0u, initialize(nullptr, LoadLibraryA, GetProcAddress));
  EXPECT_EQ(0u, initialize(module, nullptr, GetProcAddress));
  EXPECT_EQ(0u, initialize(module, LoadLibraryA, nullptr));

  EXPECT_EQ(20003u, initialize(module, LoadLibraryA, GetProcAddress));
  EXPECT_EQ(kImageNotOpened, CallExtract(extract));
  CallOnImage(extract, reinterpret_cast<void*>(GetProcAddress(module, "ImageExportRegistryW")));
  // A second call finds the copy set up and changes nothing.
  EXPECT_EQ(20003u, initialize(module, LoadLibraryA, GetProcAddress));
  EXPECT_EQ(kImageNotOpened, CallExtract(extract));
  CallOnImage(extract, reinterpret_cast<void*>(GetProcAddress(module, "ImageExportRegistryW")));
  // The exports the host sees carry undecorated names.
  for (const char* name : {"ImageExportRegistryW", "ImageImportRegistryW", "ImageInjectFileW",
                           "ImageBackupDiskW", "ImageCloneDiskW", "ImageConvertFileW"})
    EXPECT_NE(nullptr, GetProcAddress(module, name)) << name;
  EXPECT_EQ(nullptr, GetProcAddress(module, "Initialize@12"));
  EXPECT_EQ(nullptr, GetProcAddress(module, "ImageMergeUpdateW"));
}

TEST(HostEntry, OwnMappingAtAnotherBase) {
  std::vector<uint8_t> file = PatchedBytes();
  uint8_t* image = MapImage(file);
  ASSERT_NE(nullptr, image);
  ULONG_PTR preferred = NtHeaders(file.data())->OptionalHeader.ImageBase;
  ASSERT_NE(preferred, ULONG_PTR(image));
  auto initialize = reinterpret_cast<decltype(&Initialize)>(FindExport(image, "Initialize"));
  ASSERT_NE(nullptr, initialize);

  EXPECT_EQ(20003u, initialize(image, LoadLibraryA, GetProcAddress));
  EXPECT_EQ(ULONG_PTR(image), NtHeaders(image)->OptionalHeader.ImageBase);
  EXPECT_EQ(kImageNotOpened, CallExtract(FindExport(image, "ImageExtractFileW")));
  CallOnImage(FindExport(image, "ImageExtractFileW"), FindExport(image, "ImageExportRegistryW"));
  // Relocations are not applied twice.
  EXPECT_EQ(20003u, initialize(image, LoadLibraryA, GetProcAddress));
  EXPECT_EQ(kImageNotOpened, CallExtract(FindExport(image, "ImageExtractFileW")));
}

TEST(HostEntry, ExportsBeforeInitializeRefuseAndNeverCrash) {
  // Loaded by the system loader (relocated and bound, runtime not started),
  // then initialised: the copy works as if nothing had been called before.
  std::wstring path = WritePatchedCopy(L"hosted_early.exe");
  HMODULE module = LoadLibraryW(path.c_str());
  ASSERT_NE(nullptr, module) << GetLastError();
  ExpectEveryExportRefuses(
      [&](const char* name) { return reinterpret_cast<void*>(GetProcAddress(module, name)); },
      "loaded");
  auto initialize = reinterpret_cast<decltype(&Initialize)>(GetProcAddress(module, "Initialize"));
  EXPECT_EQ(20003u, initialize(module, LoadLibraryA, GetProcAddress));
  CallOnImage(reinterpret_cast<void*>(GetProcAddress(module, "ImageExtractFileW")),
              reinterpret_cast<void*>(GetProcAddress(module, "ImageExportRegistryW")));

  // Mapped by a host's own loader at another base, neither relocated nor
  // bound: every global address in it still points at the preferred base.
  uint8_t* image = MapImage(PatchedBytes());
  ASSERT_NE(nullptr, image);
  ExpectEveryExportRefuses([&](const char* name) { return FindExport(image, name); }, "mapped");
  initialize = reinterpret_cast<decltype(&Initialize)>(FindExport(image, "Initialize"));
  EXPECT_EQ(20003u, initialize(image, LoadLibraryA, GetProcAddress));
  CallOnImage(FindExport(image, "ImageExtractFileW"), FindExport(image, "ImageExportRegistryW"));
}

TEST(HostEntry, MissingImportFailsCleanly) {
  struct Case {
    const char* what;
    std::string from, to;
  } cases[] = {
      {"library", "SHELL32.dll", "VROMISS.dll"},
      {"function", "EnumResourceLanguagesW", "EnumResourceLanguagesX"},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> file = PatchedBytes();
    ASSERT_TRUE(ReplaceText(file, c.from, c.to)) << c.what;
    uint8_t* image = MapImage(file);
    ASSERT_NE(nullptr, image);
    auto initialize = reinterpret_cast<decltype(&Initialize)>(FindExport(image, "Initialize"));
    EXPECT_EQ(0u, initialize(image, LoadLibraryA, GetProcAddress)) << c.what;
  }
  // A host whose loader finds nothing, not even kernel32.
  uint8_t* image = MapImage(PatchedBytes());
  auto initialize = reinterpret_cast<decltype(&Initialize)>(FindExport(image, "Initialize"));
  EXPECT_EQ(0u, initialize(image, NoLibrary, GetProcAddress));
  // Not a PE image.
  std::vector<uint8_t> junk(8192, 0x90);
  EXPECT_EQ(0u, initialize(junk.data(), LoadLibraryA, GetProcAddress));
}

TEST(HostEntry, VersionOfTheProgramFile) {
  // The unpatched program reports its own file version as b * 10000 + c.
  std::wstring path = ProgramPath();
  DWORD handle = 0, size = GetFileVersionInfoSizeW(path.c_str(), &handle);
  ASSERT_GT(size, 0u);
  std::vector<uint8_t> info(size);
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  DWORD expected = (fixed->dwFileVersionMS & 0xFFFF) * 10000 + (fixed->dwFileVersionLS >> 16);

  HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(nullptr, module);
  // Data-file handles carry a tag in their low bits; the resource calls
  // accept them.
  EXPECT_EQ(expected, GetModuleVersionNumber(module));
  FreeLibrary(module);
  EXPECT_EQ(0u, GetModuleVersionNumber(GetModuleHandleW(nullptr)));  // the test has none
}

}  // namespace
