// A host's long-lived process: the built program loaded once with
// LoadLibrary and initialised, then some two hundred export calls of every
// outcome (done, failed, cancelled). What a call takes from the process
// (handles, memory, address space) is given back by the time it returns,
// and the image stays usable to the end.
#include <windows.h>
#include <psapi.h>
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "BatchTestUtil.h"
#include "ProgramImage.h"
#include "TestSupport.h"
#include "app/HostEntry.h"
#include "app/ImageOperations.h"

using namespace apptest;

namespace {

// What the process holds at one moment.
struct ProcessFigures {
  DWORD handles = 0;
  size_t privateBytes = 0;  // committed memory of the process's own
  size_t largestFree = 0;   // largest free block of the address space
  size_t heapBytes = 0;     // bytes in use on the process's heaps
};

// The process's handles from the system's handle list: the answer of
// GetProcessHandleCount where the system has none (Wine answers 0).
DWORD HandlesInSystemList() {
  struct Entry {
    ULONG process;
    BYTE type, flags;
    USHORT handle;
    void* object;
    ACCESS_MASK access;
  };
  typedef LONG(WINAPI * QueryFn)(ULONG, void*, ULONG, ULONG*);
  auto query = reinterpret_cast<QueryFn>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation"));
  const ULONG kHandleList = 16;
  const LONG kTooSmall = LONG(0xC0000004);
  std::vector<BYTE> list(1 << 20);
  ULONG size = 0;
  LONG status;
  while ((status = query(kHandleList, list.data(), ULONG(list.size()), &size)) == kTooSmall)
    list.resize(list.size() * 2);
  if (status != 0) return 0;
  ULONG count = *reinterpret_cast<ULONG*>(list.data());
  const Entry* entries = reinterpret_cast<const Entry*>(list.data() + sizeof(void*));
  DWORD own = 0;
  for (ULONG i = 0; i < count; ++i)
    if (entries[i].process == GetCurrentProcessId()) ++own;
  return own;
}

ProcessFigures Measure() {
  ProcessFigures f;
  if (!GetProcessHandleCount(GetCurrentProcess(), &f.handles) || !f.handles)
    f.handles = HandlesInSystemList();
  PROCESS_MEMORY_COUNTERS_EX counters = {};
  counters.cb = sizeof counters;
  if (GetProcessMemoryInfo(GetCurrentProcess(),
                           reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters))
    f.privateBytes = counters.PrivateUsage;
  size_t committedPrivate = 0;
  MEMORY_BASIC_INFORMATION m;
  for (const char* at = nullptr; VirtualQuery(at, &m, sizeof m) == sizeof m;) {
    if (m.State == MEM_FREE && m.RegionSize > f.largestFree) f.largestFree = m.RegionSize;
    if (m.State == MEM_COMMIT && m.Type == MEM_PRIVATE) committedPrivate += m.RegionSize;
    const char* next = static_cast<const char*>(m.BaseAddress) + m.RegionSize;
    if (next <= at) break;
    at = next;
  }
  if (!f.privateBytes) f.privateBytes = committedPrivate;  // Wine answers 0
  HANDLE heaps[64];
  DWORD count = GetProcessHeaps(64, heaps);
  for (DWORD i = 0; i < count && i < 64; ++i) {
    if (!HeapLock(heaps[i])) continue;
    PROCESS_HEAP_ENTRY e = {};
    while (HeapWalk(heaps[i], &e))
      if (e.wFlags & PROCESS_HEAP_ENTRY_BUSY) f.heapBytes += e.cbData;
    HeapUnlock(heaps[i]);
  }
  return f;
}

// A progress callback that goes on for the number of calls in its context,
// then cancels.
int WINAPI CancelAfter(uint32_t, uint32_t, void* context) {
  int* left = static_cast<int*>(context);
  return (*left)-- > 0 ? 1 : 0;
}

int WINAPI CountProgress(uint32_t, uint32_t, void* context) {
  ++*static_cast<int*>(context);
  return 1;
}

template <class Fn>
Fn Export(HMODULE module, const char* name, Fn) {
  Fn f = reinterpret_cast<Fn>(GetProcAddress(module, name));
  EXPECT_NE(nullptr, f) << name;
  return f;
}
#define VRO_EXPORT(name) Export(module, #name, &name)

// The program loaded once for the process, as a host's server holds it:
// every test of the file calls the same copy, initialised once.
HMODULE HostedProgram() {
  return apptest::HostedProgram(vt::BinaryDirUnix() + "/testtmp/test_app/HostProgram");
}

// The exports the tests call, looked up in the hosted program.
struct HostExports {
  decltype(&ImageExtractFileW) extract = nullptr;
  decltype(&ImageInjectFileW) inject = nullptr;
  decltype(&ImageExportRegistryW) exportRegistry = nullptr;
  decltype(&ImageImportRegistryW) importRegistry = nullptr;
  decltype(&ImageCheckPartitionW) check = nullptr;
  decltype(&ImageConvertFileW) convert = nullptr;
  decltype(&ImageHardwarePnpW) pnp = nullptr;
  bool Found() const {
    return extract && inject && exportRegistry && importRegistry && check && convert && pnp;
  }
};

HostExports LookUpExports() {
  HostExports e;
  HMODULE module = HostedProgram();
  if (!module) return e;
  e.extract = VRO_EXPORT(ImageExtractFileW);
  e.inject = VRO_EXPORT(ImageInjectFileW);
  e.exportRegistry = VRO_EXPORT(ImageExportRegistryW);
  e.importRegistry = VRO_EXPORT(ImageImportRegistryW);
  e.check = VRO_EXPORT(ImageCheckPartitionW);
  e.convert = VRO_EXPORT(ImageConvertFileW);
  e.pnp = VRO_EXPORT(ImageHardwarePnpW);
  return e;
}

TEST(HostSession, TwoHundredCallsGiveBackWhatTheyTake) {
  const HostExports e = LookUpExports();
  ASSERT_TRUE(e.Found());
  auto extract = e.extract;
  auto inject = e.inject;
  auto exportRegistry = e.exportRegistry;
  auto importRegistry = e.importRegistry;
  auto check = e.check;
  auto convert = e.convert;
  auto pnp = e.pnp;

  // Outside the scratch folder (vt::ScratchDir empties it).
  const std::string dir = vt::BinaryDirUnix() + "/testtmp/test_app/HostSession";
  bt::Disk disk = bt::MakeDisk({"RawMbr", "mbr2048", "raw", false, false, false}, dir + "/ntfs");
  bt::Disk own = bt::MakeDisk({"OwnSparse", "mbr2048", "raw", false, true, false}, dir + "/own");
  bt::Disk fat = bt::MakeDisk({"Fat", "mbr2048", "raw", true, false, false}, dir + "/fat");
  ASSERT_EQ(0, vt::Sh("cd " + vt::Q(dir) +
                      " && printf 'Windows Registry Editor Version 5.00\\r\\n\\r\\n"
                      "[HKEY_LOCAL_MACHINE\\\\SYSTEM\\\\Host]\\r\\n\"Calls\"=dword:00000001\\r\\n'"
                      " | iconv -t utf-16 > good.reg"
                      " && printf 'Windows Registry Editor Version 5.00\\r\\n\\r\\n"
                      "[HKEY_LOCAL_MACHINE\\\\SYSTEM\\\\Host]\\r\\n\"Bad\"=hex:zz\\r\\n'"
                      " | iconv -t utf-16 > bad.reg"
                      " && printf 'Windows Registry Editor Version 5.00\\r\\n\\r\\n"
                      "[HKEY_LOCAL_MACHINE\\\\SYSTEM\\\\Host]\\r\\n- \"Calls\"=dword:00000002\\r\\n'"
                      " | iconv -t utf-16 > badname.reg && printf 'host file' > note.txt"));
  auto win = [&](const char* name) { return vt::ToWin(dir + "/" + name); };
  const std::wstring image = disk.ImageWin(), fatImage = fat.ImageWin(), ownImage = own.ImageWin();
  const std::wstring out = win("readme.txt"), reg = win("out.reg"), good = win("good.reg"),
                     bad = win("bad.reg"), badName = win("badname.reg"), note = win("note.txt"), copy = win("copy.img"),
                     missing = win("missing.img"), writeBack = win("wb.fix");

  struct Call {
    const char* what;
    int expected;
    std::function<int()> run;
  };
  int progress = 0;
  auto finishedConvert = [&] {
    return convert(image.c_str(), copy.c_str(), 0, 0, CountProgress, &progress);
  };
  const std::vector<Call> round = {
      {"extract", kImageOk,
       [&] {
         return extract(image.c_str(), L"", 0, L"\\Program Files\\App\\readme.txt", out.c_str(), 1);
       }},
      {"inject", kImageOk,
       [&] { return inject(image.c_str(), L"", 0, L"\\note.txt", note.c_str(), 1); }},
      // Each into a new update file of the own format's image.
      {"update file", kImageOk,
       [&] { return inject(ownImage.c_str(), L"", 0, L"\\note.txt", note.c_str(), 1); }},
      // A new one each round: the round writes the image itself too, and a
      // write-back file made for an earlier state of it is refused.
      {"write-back file", kImageOk,
       [&] {
         DeleteFileW(win("wb.Fix").c_str());
         return inject(image.c_str(), writeBack.c_str(), 0, L"\\wb.txt", note.c_str(), 1);
       }},
      {"export", kImageOk,
       [&] {
         return exportRegistry(image.c_str(), L"", 0, L"HKEY_LOCAL_MACHINE\\SYSTEM\\Vro",
                               reg.c_str());
       }},
      {"import", kImageOk, [&] { return importRegistry(image.c_str(), L"", 0, good.c_str()); }},
      {"check", kImageOk, [&] { return check(image.c_str(), L"", 0); }},
      {"convert", kImageOk, finishedConvert},
      {"missing file", kImageOperationFailed,
       [&] { return extract(image.c_str(), L"", 0, L"\\nothing.txt", out.c_str(), 1); }},
      {"missing image", kImageNotOpened,
       [&] { return extract(missing.c_str(), L"", 0, L"\\", out.c_str(), 1); }},
      {"bad import", kImageImportFailed,
       [&] { return importRegistry(image.c_str(), L"", 0, bad.c_str()); }},
      {"name in none of regedit's forms", kImageImportFailed,
       [&] { return importRegistry(image.c_str(), L"", 0, badName.c_str()); }},
      {"fat convert", kImageBadArgument,
       [&] { return convert(fatImage.c_str(), copy.c_str(), 0, 0, nullptr, nullptr); }},
      {"no device", kImageVolumeOperationFailed,
       [&] { return pnp(nullptr, 0, 0, 2, 0, L"PCI\\VEN_8086&DEV_1000", 7, 0x0A000007, nullptr); }},
      {"cancelled at once", kImageBadArgument,
       [&] {
         int left = 0;
         return convert(image.c_str(), copy.c_str(), 1, 0, CancelAfter, &left);
       }},
      // Last in the round: the clone engine has its buffers when it stops.
      {"cancelled in the copy", kImageBadArgument,
       [&] {
         int left = 20;
         return convert(image.c_str(), copy.c_str(), 0, 0, CancelAfter, &left);
       }},
  };
  auto runRound = [&](int n) {
    for (const Call& c : round) EXPECT_EQ(c.expected, c.run()) << "round " << n << ": " << c.what;
  };

  // One round and a finished convert first: what the first calls set up
  // for the whole process (the system's own caches) is there from then on.
  runRound(0);
  ASSERT_EQ(kImageOk, finishedConvert());
  const ProcessFigures start = Measure();
  const int kRounds = 14;  // 224 calls
  for (int n = 1; n <= kRounds; ++n) runRound(n);
  const ProcessFigures end = Measure();
  printf("handles %lu -> %lu, private %lu -> %lu, largest free %lu -> %lu, heap %lu -> %lu\n",
         start.handles, end.handles, (unsigned long)start.privateBytes,
         (unsigned long)end.privateBytes, (unsigned long)start.largestFree,
         (unsigned long)end.largestFree, (unsigned long)start.heapBytes,
         (unsigned long)end.heapBytes);

  EXPECT_LE(end.handles, start.handles);
  EXPECT_LE(end.heapBytes, start.heapBytes + 4096);
  EXPECT_LE(end.privateBytes, start.privateBytes + 256 * 1024);
  EXPECT_GE(end.largestFree + 256 * 1024, start.largestFree);
  EXPECT_GT(progress, 0);

  // The image still opens in this process, and its changes are there.
  std::string text;
  EXPECT_EQ(kImageOk, exportRegistry(image.c_str(), L"", 0, L"HKEY_LOCAL_MACHINE\\SYSTEM\\Host",
                                     reg.c_str()));
  vt::Sh("iconv -f utf-16 -t utf-8 " + vt::Q(dir + "/out.reg"), &text);
  EXPECT_NE(std::string::npos, text.find("\"Calls\"=dword:00000001")) << text;
  EXPECT_EQ(std::string::npos, text.find("dword:00000002")) << text;
  EXPECT_EQ(kImageOk, extract(image.c_str(), L"", 0, L"\\note.txt", out.c_str(), 1));
  EXPECT_EQ(0, vt::Sh("cmp " + vt::Q(dir + "/readme.txt") + " " + vt::Q(dir + "/note.txt")));
  DeleteFileW(out.c_str());
  // The round's write-back file belongs to the image before the round's
  // later writes: refused; a new one reads back.
  EXPECT_EQ(kImageNotOpened,
            extract(image.c_str(), writeBack.c_str(), 0, L"\\wb.txt", out.c_str(), 1));
  DeleteFileW(win("wb.Fix").c_str());
  EXPECT_EQ(kImageOk, inject(image.c_str(), writeBack.c_str(), 0, L"\\wb.txt", note.c_str(), 1));
  EXPECT_EQ(kImageOk, extract(image.c_str(), writeBack.c_str(), 0, L"\\wb.txt", out.c_str(), 1));
  EXPECT_EQ(0, vt::Sh("cmp " + vt::Q(dir + "/readme.txt") + " " + vt::Q(dir + "/note.txt")));
  EXPECT_EQ(kImageOk, finishedConvert());
  EXPECT_EQ(kImageOk, check(copy.c_str(), L"", 0));
}

// Progress with no context of the host's own: counted here.
int g_progressWithoutContext = 0;
int WINAPI ProgressWithoutContext(uint32_t, uint32_t, void* context) {
  if (!context) ++g_progressWithoutContext;
  return 1;
}

// A host's server that converts one image again and again, deleting the
// copy between the calls, then reads from the image: the ninth conversion
// works like the first, so does the two hundredth of every kind of target,
// and so does every call after a series of failed, cancelled and
// malformed ones.
TEST(HostSession, EveryConversionWorksLikeTheFirst) {
  const HostExports e = LookUpExports();
  ASSERT_TRUE(e.Found());

  const std::string dir = vt::BinaryDirUnix() + "/testtmp/test_app/HostConvert";
  const std::string tree = dir + "/tree", documents = tree + "/Users/Public/Documents";
  ASSERT_EQ(0, vt::Sh("rm -rf " + vt::Q(dir) + " && mkdir -p " + vt::Q(dir)));
  ASSERT_TRUE(vt::Fixture("mk-wintree.sh " + vt::Q(tree) + " --version 10.0.19045.1"));
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(documents) + " && printf hello > " +
                      vt::Q(documents + "/hello.txt")));
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(dir + "/r.img") +
                          " --layout mbr2048 --size 64 --label DEMO --tree " + vt::Q(tree)));
  // The server's own relative paths.
  wchar_t previous[MAX_PATH];
  ASSERT_NE(0u, GetCurrentDirectoryW(MAX_PATH, previous));
  ASSERT_TRUE(SetCurrentDirectoryW(vt::ToWin(dir).c_str()));

  auto theSequence = [&](const char* when) {
    for (int k = 1; k <= 10; ++k) {
      EXPECT_EQ(kImageOk, e.convert(L"r.img", L"leak.vmd", 0, 0, nullptr, nullptr))
          << when << ", call " << k;
      EXPECT_TRUE(DeleteFileW(L"leak.vmd")) << when << ", call " << k;
    }
    EXPECT_EQ(kImageOk,
              e.extract(L"r.img", L"", 0, L"\\Users\\Public\\Documents\\hello.txt", L"out.txt", 1))
        << when;
    EXPECT_EQ(kImageOk, e.check(L"r.img", L"", 0)) << when;
    std::vector<uint8_t> text;  // read here: a shell command would cost a handle under Wine
    EXPECT_TRUE(vt::ReadAll(vt::ToWin(dir + "/out.txt"), text)) << when;
    EXPECT_EQ("hello", std::string(text.begin(), text.end())) << when;
    DeleteFileW(L"out.txt");
  };
  const std::wstring longPath(400, L'a'), veryLongPath(40000, L'b');
  theSequence("first");
  const ProcessFigures start = Measure();

  // Fifty of every kind of target; the last of each passes the check.
  struct Target {
    const wchar_t* path;
    int raw, gpt;
  };
  for (const Target& t : {Target{L"own.vmd", 0, 0}, Target{L"plain.img", 1, 0},
                          Target{L"own-gpt.vmd", 0, 1}, Target{L"plain-gpt.img", 1, 1}}) {
    for (int n = 1; n <= 50; ++n) {
      ASSERT_EQ(kImageOk, e.convert(L"r.img", t.path, t.raw, t.gpt, nullptr, nullptr))
          << vt::Narrow(t.path) << ", call " << n;
      if (n == 50) {
        EXPECT_EQ(kImageOk, e.check(t.path, L"", 0)) << vt::Narrow(t.path);
      }
      ASSERT_TRUE(DeleteFileW(t.path)) << vt::Narrow(t.path) << ", call " << n;
    }
  }

  // Mixed rounds: a callback without context, empty, long and very long
  // paths in every place, cancelled conversions.
  for (int round = 1; round <= 5; ++round) {
    int before = g_progressWithoutContext;
    EXPECT_EQ(kImageOk, e.convert(L"r.img", L"mixed.vmd", 0, 0, ProgressWithoutContext, nullptr))
        << round;
    EXPECT_GT(g_progressWithoutContext, before) << round;
    EXPECT_TRUE(DeleteFileW(L"mixed.vmd")) << round;
    for (const std::wstring* bad : {&longPath, &veryLongPath}) {
      EXPECT_EQ(kImageOperationFailed, e.convert(bad->c_str(), L"mixed.vmd", 0, 0, nullptr, nullptr));
      EXPECT_EQ(kImageBadArgument, e.convert(L"r.img", bad->c_str(), 0, 0, nullptr, nullptr));
      EXPECT_EQ(kImageNotOpened, e.extract(bad->c_str(), L"", 0, L"\\", L"out", 1));
      EXPECT_EQ(kImageNotOpened, e.extract(L"r.img", bad->c_str(), 0, L"\\", L"out", 1));
      EXPECT_EQ(kImageOperationFailed, e.extract(L"r.img", L"", 0, bad->c_str(), L"out", 1));
      EXPECT_EQ(
          kImageOperationFailed,
          e.extract(L"r.img", L"", 0, L"\\Users\\Public\\Documents\\hello.txt", bad->c_str(), 1));
      EXPECT_EQ(kImageNotOpened, e.check(bad->c_str(), L"", 0));
    }
    EXPECT_EQ(kImageOperationFailed, e.convert(L"", L"mixed.vmd", 0, 0, nullptr, nullptr));
    EXPECT_EQ(kImageOperationFailed, e.convert(L"r.img", L"", 0, 0, nullptr, nullptr));
    EXPECT_EQ(kImageNotOpened, e.extract(L"", L"", 0, L"\\", L"out", 1));
    EXPECT_EQ(kImageNotOpened, e.check(L"", L"", 0));
    for (int left : {0, 20}) {
      EXPECT_EQ(kImageBadArgument,
                e.convert(L"r.img", L"mixed.vmd", round & 1, 0, CancelAfter, &left));
      EXPECT_FALSE(vt::FileExists(vt::ToWin(dir + "/mixed.vmd"))) << round;
    }
  }
  EXPECT_FALSE(vt::FileExists(vt::ToWin(dir + "/out")));
  theSequence("after the mixed rounds");
  const ProcessFigures end = Measure();
  EXPECT_LE(end.handles, start.handles);
  EXPECT_LE(end.heapBytes, start.heapBytes + 4096);
  EXPECT_LE(end.privateBytes, start.privateBytes + 256 * 1024);
  EXPECT_GE(end.largestFree + 256 * 1024, start.largestFree);
  SetCurrentDirectoryW(previous);
}

}  // namespace
