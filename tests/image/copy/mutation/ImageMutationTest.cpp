// A seeded mutation loop over the structures an image is read through: the
// MBR and GPT, the NTFS boot sector, first MFT records and index blocks, FAT
// tables and directory sectors, exFAT entry sets, the VHD footer, header and
// BAT. Each case changes a few bytes of one region of a clean image made by
// Debian's tools, opens it in process and extracts the whole volume (every
// eighth case injects a file instead). Every case must end within its time
// limit, with the image opened or refused and the copy done or failed,
// writing only inside its target folder and never more host bytes than the
// image has. (Hives are mutated the same way by the hive tests.)
//
// VRO_MUTATION_SEED and VRO_MUTATION_CASES (cases per image) repeat a run or
// make it longer; a failure names its seed, image and case.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "../../ImagePatch.h"
#include "../../TreeCopyTestUtil.h"
#include "image/copy/TreeCopy.h"

namespace {

const unsigned kDefaultSeed = 20261207;
const int kDefaultCases = 400;
const DWORD kCaseLimitMs = 60000;

struct Region {
  const char* what;
  size_t from, to;
};

struct BaseImage {
  std::string name;
  tc::Image img;
  std::vector<uint8_t> clean;
  std::vector<Region> regions;
};

unsigned EnvNumber(const char* name, unsigned fallback) {
  char buf[32];
  DWORD n = GetEnvironmentVariableA(name, buf, sizeof buf);
  return n && n < sizeof buf ? (unsigned)strtoul(buf, nullptr, 10) : fallback;
}

// A tree with a folder of long names (its index leaves the MFT record for
// an index block on NTFS, and spreads over several directory sectors on FAT).
std::string MakeTree(const std::string& base) {
  std::string tree = base + "/tree";
  std::string cmd = "set -e; mkdir -p " + vt::Q(tree + "/Sub/Deeper") + " " +
                    vt::Q(tree + "/Many") + " && cd " + vt::Q(tree) +
                    " && printf hello > Hello.txt && head -c 70000 /dev/urandom > Data.bin"
                    " && printf x > Sub/x.txt && printf deep > Sub/Deeper/d.txt"
                    " && for i in 01 02 03 04 05 06 07 08 09 10 11 12 13 14; do"
                    " printf $i > Many/a_rather_long_file_name_to_fill_the_index_$i.txt; done";
  EXPECT_EQ(0, vt::Sh(cmd));
  return tree;
}

void AddRegion(std::vector<Region>& out, const char* what, size_t from, size_t length,
               size_t limit) {
  if (from == ip::kNone || from >= limit) return;
  out.push_back({what, from, from + length < limit ? from + length : limit});
}

// Where the structures of a clean image lie.
std::vector<Region> FindRegions(const BaseImage& b, const std::string& fs,
                                const std::string& layout, bool vhd) {
  ip::Bytes d(b.img.path);
  std::vector<Region> r;
  size_t n = d.b.size();
  if (vhd) {
    // The footer (its copy opens a dynamic disk), the dynamic header it
    // points to (big-endian offset at 0x10) and the start of the BAT
    // the header points to (0x10 there as well).
    auto be64 = [&](size_t o) {
      uint64_t v = 0;
      for (int i = 0; i < 8; i++) v = v << 8 | d.U8(o + i);
      return v;
    };
    size_t footer = n - 512;
    AddRegion(r, "VHD footer", footer, 512, n);
    uint64_t header = be64(footer + 0x10);
    if (header != ~0ull && header < n) {
      AddRegion(r, "VHD footer copy", 0, 512, n);
      AddRegion(r, "VHD header", (size_t)header, 1024, n);
      AddRegion(r, "VHD BAT", (size_t)be64((size_t)header + 0x10), 512, n);
    }
    return r;
  }
  AddRegion(r, "MBR", 0, 512, n);
  if (layout == "gpt") {
    AddRegion(r, "GPT header", 512, 512, n);
    AddRegion(r, "GPT entries", 1024, 1024, n);
  }
  size_t vol = (size_t)b.img.start * 512;
  if (fs == "ntfs") {
    ip::NtfsLayout ntfs(d, vol, (size_t)b.img.sizeMb << 20);
    AddRegion(r, "NTFS boot sector", vol, 512, n);
    size_t mft = vol + (size_t)d.U64(vol + 0x30) * ntfs.clusterBytes;
    AddRegion(r, "MFT records 0-15", mft, 16 * 1024, n);
    AddRegion(r, "MFT records 64-79", ntfs.Record(d, 64), 16 * 1024, n);
    size_t indx = d.Find("INDX", vol);
    AddRegion(r, "index block", indx, 4096, n);
    if (indx != ip::kNone) AddRegion(r, "second index block", d.Find("INDX", indx + 4096), 4096, n);
  } else if (fs == "exfat") {
    // Cluster heap offset (0x58, sectors), root cluster (0x60), cluster
    // shift (0x6D): the root's entry sets, and those of the first folders.
    uint32_t cb = 512u << (d.U8(vol + 0x6D) & 15);
    size_t heap = vol + (size_t)d.U32(vol + 0x58) * 512;
    size_t root = heap + (size_t)(d.U32(vol + 0x60) - 2) * cb;
    AddRegion(r, "exFAT boot sector", vol, 512, n);
    AddRegion(r, "exFAT root entry sets", root, cb < 4096 ? cb : 4096, n);
    size_t many = d.FindUtf16("a_rather_long", heap);
    if (many != ip::kNone) AddRegion(r, "exFAT folder entry sets", many & ~(size_t)511, 1024, n);
  } else {
    ip::FatLayout fat(d, vol);
    AddRegion(r, "FAT boot sector", vol, 512, n);
    AddRegion(r, "FAT", fat.fat, 1024, n);
    AddRegion(r, "root directory", fat.root, 2048, n);
    size_t many = fat.Entry(d, "MANY       ");
    if (many != ip::kNone)
      AddRegion(r, "folder sectors", fat.Cluster(ip::FatLayout::FirstCluster(d, many)), 2048, n);
  }
  return r;
}

BaseImage MakeBase(const std::string& dir, const std::string& fs, const std::string& layout,
                   const std::string& format, int sizeMb) {
  BaseImage b;
  b.name = fs + "/" + layout + (format.empty() ? "" : "/" + format);
  std::string tree = dir + "/tree";
  std::string file = dir + "/" + fs + "-" + layout + format + ".img";
  std::string out;
  std::string cmd = "mk-disk.sh " + vt::Q(file) + " --fs " + fs + " --layout " + layout +
                    " --size " + std::to_string(sizeMb) + " --tree " + vt::Q(tree);
  if (!format.empty()) cmd += " --format " + format;
  EXPECT_TRUE(vt::Fixture(cmd, &out));
  b.img.dir = dir;
  b.img.unixPath = file;
  b.img.path = vt::ToWin(file);
  b.img.start = atol(out.c_str());
  b.img.sizeMb = sizeMb;
  vt::ReadAll(b.img.path, b.clean);
  b.regions = FindRegions(b, fs, layout, !format.empty());
  return b;
}

// One case: the image with its mutations is on disk; out/ is empty.
struct Case {
  const BaseImage* base;
  std::wstring out;
  bool inject;
  std::wstring injectFrom;
  int code;  // 0, -12 (copy failed) or -15 (not opened)
};

DWORD CALLBACK Quiet(DWORD event, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, void*) {
  return event == VCC_TARGET_EXISTS ? VCC_REPLACE : 1;
}

DWORD WINAPI RunCase(void* p) {
  Case* c = static_cast<Case*>(p);
  CMountedImage m;
  if (m.OpenImage(c->base->img.path.c_str(), nullptr, 0, c->inject ? 2 : 0) < 0) {
    c->code = -15;
    return 0;
  }
  int ok;
  if (c->inject) {
    uint64_t missing = 0;
    ok = InjectHostPath(&m, c->injectFrom.c_str(), L"\\Injected.txt", &missing, Quiet, nullptr) > 0;
  } else {
    ok = ExtractToHost(&m, L"\\", c->out.c_str(), Quiet, nullptr);
  }
  c->code = ok ? 0 : -12;
  return 0;
}

// Bytes of the files below a host folder (sizes as the host reports them).
uint64_t TreeBytes(const std::wstring& dir) {
  uint64_t total = 0;
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return 0;
  do {
    std::wstring name = fd.cFileName;
    if (name == L"." || name == L"..") continue;
    if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
        !(fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
      total += TreeBytes(dir + L"\\" + name);
    else
      total += (uint64_t)fd.nFileSizeHigh << 32 | fd.nFileSizeLow;
  } while (FindNextFileW(h, &fd));
  FindClose(h);
  return total;
}

// The names directly inside a host folder, sorted.
std::string Names(const std::wstring& dir) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &fd);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = fd.cFileName;
      if (name != L"." && name != L"..") names.push_back(vt::Narrow(name));
    } while (FindNextFileW(h, &fd));
    FindClose(h);
  }
  std::sort(names.begin(), names.end());
  std::string list;
  for (const std::string& n : names) list += n + "\n";
  return list;
}

// Empties a host folder (links are removed, never entered).
void Empty(const std::wstring& dir) {
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return;
  do {
    std::wstring name = fd.cFileName;
    if (name == L"." || name == L"..") continue;
    std::wstring path = dir + L"\\" + name;
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) Empty(path);
      RemoveDirectoryW(path.c_str());
    } else {
      DeleteFileW(path.c_str());
    }
  } while (FindNextFileW(h, &fd));
  FindClose(h);
}

// Writes bytes into an image file at an offset.
bool PatchFile(const std::wstring& path, size_t offset, const uint8_t* data, size_t count) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER at;
  at.QuadPart = (LONGLONG)offset;
  DWORD done = 0;
  bool ok = SetFilePointerEx(h, at, nullptr, FILE_BEGIN) &&
            WriteFile(h, data, (DWORD)count, &done, nullptr) && done == count;
  CloseHandle(h);
  return ok;
}

// Changes 1-4 spots of the region: random bytes, flipped bits, or a 16/32-bit
// field set to a value that tends to matter (0, 1, all ones, just past a
// signed limit, a small count).
void Mutate(std::vector<uint8_t>& bytes, const Region& region, std::mt19937& rng) {
  static const uint32_t kValues[] = {0,          1,          2,          0x7F,   0x80,
                                     0xFF,       0x7FFF,     0x8000,     0xFFFF, 0x7FFFFFFF,
                                     0x80000000, 0xFFFFFFFF, 0x0FFFFFF7, 0x10000};
  int spots = 1 + (int)(rng() % 4);
  for (int i = 0; i < spots; i++) {
    size_t at = region.from + rng() % (region.to - region.from);
    switch (rng() % 4) {
      case 0:
        bytes[at] = (uint8_t)rng();
        break;
      case 1:
        bytes[at] ^= (uint8_t)(1u << (rng() % 8));
        break;
      default: {
        uint32_t v = kValues[rng() % (sizeof kValues / sizeof kValues[0])];
        int width = (rng() & 1) ? 4 : 2;
        for (int k = 0; k < width && at + k < region.to; k++)
          bytes[at + k] = (uint8_t)(v >> (8 * k));
      }
    }
  }
}

TEST(ImageMutation, DamagedStructuresAreRefusedOrServedWithinTheTarget) {
  unsigned seed = EnvNumber("VRO_MUTATION_SEED", kDefaultSeed);
  int perImage = (int)EnvNumber("VRO_MUTATION_CASES", kDefaultCases);
  std::string dir = vt::ScratchDirUnix();
  MakeTree(dir);
  std::vector<BaseImage> bases;
  bases.push_back(MakeBase(dir, "ntfs", "mbr2048", "", 16));
  bases.push_back(MakeBase(dir, "ntfs", "gpt", "", 16));
  bases.push_back(MakeBase(dir, "fat12", "mbr2048", "", 4));
  bases.push_back(MakeBase(dir, "fat16", "mbr2048", "", 16));
  bases.push_back(MakeBase(dir, "fat32", "mbr2048", "", 40));
  bases.push_back(MakeBase(dir, "exfat", "mbr2048", "", 16));
  bases.push_back(MakeBase(dir, "ntfs", "mbr2048", "vhd-dynamic", 16));
  bases.push_back(MakeBase(dir, "ntfs", "mbr2048", "vhd-fixed", 16));
  std::wstring out = vt::ToWin(dir + "/out");
  std::wstring injectFrom = vt::ToWin(dir + "/inject.txt");
  ASSERT_TRUE(vt::WriteAll(injectFrom, "injected", 8));
  ASSERT_TRUE(CreateDirectoryW(out.c_str(), nullptr));
  // What lies beside out/ and one level up must stay as it is.
  std::wstring parent = vt::ToWin(dir.substr(0, dir.find_last_of('/')));
  std::string top = Names(vt::ToWin(dir)), above = Names(parent);

  int opened = 0, copied = 0, cases = 0;
  for (const BaseImage& base : bases) {
    ASSERT_FALSE(base.clean.empty()) << base.name;
    ASSERT_FALSE(base.regions.empty()) << base.name;
    std::string names;
    for (const Region& r : base.regions) names += std::string(names.empty() ? "" : ", ") + r.what;
    printf("%s: %s\n", base.name.c_str(), names.c_str());
    uint64_t limit = base.clean.size();
    std::mt19937 rng(seed ^ (uint32_t)std::hash<std::string>()(base.name));
    for (int i = 0; i < perImage; i++, cases++) {
      const Region& region = base.regions[rng() % base.regions.size()];
      const uint8_t* clean = base.clean.data() + region.from;
      size_t length = region.to - region.from;
      std::vector<uint8_t> bytes(clean, clean + length);
      Mutate(bytes, Region{region.what, 0, length}, rng);
      std::string where = "seed " + std::to_string(seed) + ", " + base.name + ", case " +
                          std::to_string(i) + ", " + region.what;
      ASSERT_TRUE(PatchFile(base.img.path, region.from, bytes.data(), length)) << where;
      Case c = {&base, out, i % 8 == 7, injectFrom, 1};
      HANDLE t = CreateThread(nullptr, 0, RunCase, &c, 0, nullptr);
      ASSERT_NE(nullptr, t);
      if (WaitForSingleObject(t, kCaseLimitMs) != WAIT_OBJECT_0) {
        // The case still runs: report it and leave the rest.
        FAIL() << where << ": no end within " << kCaseLimitMs / 1000 << " s";
      }
      CloseHandle(t);
      EXPECT_TRUE(c.code == 0 || c.code == -12 || c.code == -15) << where;
      opened += c.code != -15;
      copied += c.code == 0;
      EXPECT_EQ(top, Names(vt::ToWin(dir))) << where;
      EXPECT_EQ(above, Names(parent)) << where;
      uint64_t written = TreeBytes(out);
      if (written > limit) {
        // Holes of sparse files do not count: what the host holds.
        std::string held;
        vt::Sh("du -s --block-size=1 " + vt::Q(dir + "/out") + " | cut -f1", &held);
        EXPECT_LE(strtoull(held.c_str(), nullptr, 10), limit) << where;
      }
      Empty(out);
      ASSERT_EQ("", Names(out)) << where;
      // The clean image back: the region, or all of it after a write.
      if (c.inject)
        ASSERT_TRUE(vt::WriteAll(base.img.path, base.clean)) << where;
      else
        ASSERT_TRUE(PatchFile(base.img.path, region.from, clean, length)) << where;
    }
  }
  // The loop reached past the first checks: most cases opened, many copied.
  EXPECT_GT(opened, cases / 4);
  EXPECT_GT(copied, cases / 8);
  printf("%d cases (seed %u): %d opened, %d served in full\n", cases, seed, opened, copied);
}

}  // namespace
