// Update and write-back overlays over real files: layer precedence, where
// writes land, update-file numbering, OpenChain's codes, a random model
// test through the whole stack, and merge.
#include <gtest/gtest.h>
#include <cstring>

#include "../ImageTestUtil.h"
#include "../WriteFaults.h"
#include "image/formats/sparse/ImageHeader.h"
#include "image/stack/ImageMerge.h"
#include "image/stack/MountRw.h"

using namespace it;

namespace {

std::vector<uint8_t> Fill(uint8_t v, size_t n) {
  return std::vector<uint8_t>(n, v);
}

std::vector<uint8_t> ReadDisk(_VROH_MOUNT_RW& d, uint64_t pos, size_t n) {
  std::vector<uint8_t> b(n);
  EXPECT_EQ((int64_t)n, d.ReadBytes(nullptr, pos, b.data(), n));
  return b;
}

void WriteDisk(_VROH_MOUNT_RW& d, uint64_t pos, const std::vector<uint8_t>& b) {
  ASSERT_EQ((int64_t)b.size(), d.WriteBytes(nullptr, pos, b.data(), b.size()));
}

// A used (not pristine) sparse base with 0x11 in disk sectors 100..119.
std::wstring MakeBase(const std::wstring& dir, const wchar_t* name) {
  std::wstring p = Path(dir, name);
  EXPECT_EQ(0, _VROH_RW_CLASS::Create(p.c_str(), 1, 6));
  _VROH_MOUNT_RW d;
  EXPECT_EQ(12, d.OpenChain(p.c_str(), L"", VRO_WRITE_OVERLAY));  // pristine: written in place
  WriteDisk(d, 100 * 512, Fill(0x11, 20 * 512));
  return p;
}

TEST(Overlay, UpdateFilesTakeWritesAndBaseStaysUntouched) {
  std::wstring dir = vt::ScratchDir();
  std::wstring base = MakeBase(dir, L"b.img");
  std::string baseHash = vt::Sha256(base);
  {
    _VROH_MOUNT_RW d;
    ASSERT_EQ(13, d.OpenChain(base.c_str(), L"", VRO_WRITE_OVERLAY));
    EXPECT_EQ(VRO_TYPE_SPARSE, d.BaseType());
    EXPECT_FALSE(vt::FileExists(base + L"_01.Upd"));
    WriteDisk(d, 105 * 512 + 7, Fill(0x22, 1000));
    std::vector<uint8_t> v = ReadDisk(d, 100 * 512, 20 * 512);
    std::vector<uint8_t> want = Fill(0x11, 20 * 512);
    memset(&want[5 * 512 + 7], 0x22, 1000);
    EXPECT_EQ(want, v);
    // The new file takes its name when the command is whole.
    EXPECT_FALSE(vt::FileExists(base + L"_01.Upd"));
  }
  EXPECT_TRUE(vt::FileExists(base + L"_01.Upd"));
  EXPECT_EQ(baseHash, vt::Sha256(base));
  // Reopening mounts the chain again through the update file.
  {
    _VROH_MOUNT_RW d;
    ASSERT_EQ(22, d.OpenChain((base + L"_01.Upd").c_str(), L"", VRO_WRITE_NONE));
    EXPECT_EQ(0x22, ReadDisk(d, 105 * 512 + 7, 1)[0]);
    EXPECT_EQ(0x11, ReadDisk(d, 105 * 512 + 6, 1)[0]);
  }
  // Numbering continues after the highest file present.
  ASSERT_TRUE(vt::WriteAll(base + L"_06.Upd", std::vector<uint8_t>(10, 1)));
  EXPECT_EQ(6, _VROH_RW_CLASS::HighestUpdateNumber(base.c_str()));
  {
    _VROH_MOUNT_RW d;
    ASSERT_EQ(13, d.OpenChain(base.c_str(), L"", VRO_WRITE_OVERLAY));
    WriteDisk(d, 0, Fill(0x33, 512));
  }
  EXPECT_TRUE(vt::FileExists(base + L"_07.Upd"));
  EXPECT_EQ(baseHash, vt::Sha256(base));
  std::vector<std::wstring> list;
  int type = -1;
  EXPECT_EQ(2, ListImageUpdateFiles(base.c_str(), &list, &type));
  EXPECT_EQ(VRO_TYPE_SPARSE, type);
  ASSERT_EQ(2u, list.size());
  EXPECT_EQ(base + L"_01.Upd", list[0]);
  EXPECT_EQ(base + L"_07.Upd", list[1]);
  wchar_t name[128];
  EXPECT_EQ(1, GetImageHeaderName(base.c_str(), name, 128));
  EXPECT_EQ(-1, ListImageUpdateFiles(Path(dir, L"nothing.img").c_str(), &list, &type));
}

TEST(Overlay, WriteBackTakesPrecedenceAndIsRelinked) {
  std::wstring dir = vt::ScratchDir();
  std::wstring base = MakeBase(dir, L"b.img");
  std::wstring fix = Path(dir, L"client.Fix");
  std::string baseHash = vt::Sha256(base);
  {
    _VROH_MOUNT_RW d;
    ASSERT_EQ(13, d.OpenChain(base.c_str(), L"", VRO_WRITE_OVERLAY));
    WriteDisk(d, 110 * 512, Fill(0x22, 4 * 512));  // update file 01
  }
  std::wstring upd = base + L"_01.Upd";
  std::string updHash = vt::Sha256(upd);
  {
    _VROH_MOUNT_RW d;
    ASSERT_EQ(22, d.OpenChain(upd.c_str(), fix.c_str(), VRO_WRITE_OVERLAY));
    WriteDisk(d, 111 * 512, Fill(0x44, 512));
    std::vector<uint8_t> v = ReadDisk(d, 109 * 512, 4 * 512);
    EXPECT_EQ(0x11, v[0]);
    EXPECT_EQ(0x22, v[512]);
    EXPECT_EQ(0x44, v[1024]);  // write-back over update over base
    EXPECT_EQ(0x22, v[1536]);
  }
  EXPECT_EQ(baseHash, vt::Sha256(base));
  EXPECT_EQ(updHash, vt::Sha256(upd));
  {
    _VROH_MOUNT_RW d;
    ASSERT_EQ(22, d.OpenChain(upd.c_str(), fix.c_str(), VRO_WRITE_NONE));
    EXPECT_EQ(0x44, ReadDisk(d, 111 * 512, 1)[0]);
  }
  // A write-back file made for another image (another own image made at
  // a path) is refused by every open and kept as it is.
  std::wstring other = MakeBase(dir, L"other.img");
  const std::string fixHash = vt::Sha256(fix);
  for (int mode : {VRO_WRITE_NONE, VRO_WRITE_OVERLAY}) {
    _VROH_MOUNT_RW d;
    EXPECT_EQ(-10, d.OpenChain(other.c_str(), fix.c_str(), mode));
    EXPECT_EQ(-1, d.BaseType());
  }
  EXPECT_EQ(fixHash, vt::Sha256(fix));
  ASSERT_TRUE(DeleteFileW(fix.c_str()));
  std::string otherHash = vt::Sha256(other);
  {
    _VROH_MOUNT_RW d;
    ASSERT_EQ(10, d.OpenChain(other.c_str(), fix.c_str(), VRO_WRITE_OVERLAY));
    EXPECT_EQ(0x11, ReadDisk(d, 111 * 512, 1)[0]);
    WriteDisk(d, 5 * 512, Fill(0x55, 512));
    ASSERT_EQ(0, d.Flush());
    // A write the write-back file refuses fails: it never reaches an
    // update file beside the base, and the set takes no more writes; the
    // command is taken back whole (the old write-back file stays).
    _VROH_OBJ_IMG* c = d.Layers()->Fix().Container();
    HANDLE own = c->*ContainerHandle::Member(), ro = OpenReadOnly(fix);
    c->*ContainerHandle::Member() = ro;
    // (larger than the writes a disk object holds back until its flush)
    std::vector<uint8_t> big = Fill(0x66, 128 * 1024);
    EXPECT_GT(0, d.WriteBytes(nullptr, 1000 * 512, big.data(), big.size()));
    c->*ContainerHandle::Member() = own;
    CloseHandle(ro);
    EXPECT_GT(0, d.WriteBytes(nullptr, 6 * 512, big.data(), 512));
    EXPECT_GT(0, d.Flush());
    EXPECT_FALSE(vt::FileExists(other + L"_01.Upd"));
  }
  EXPECT_EQ(otherHash, vt::Sha256(other));
  {
    _VROH_MOUNT_RW d;
    EXPECT_EQ(-10, d.OpenChain(other.c_str(), fix.c_str(), VRO_WRITE_NONE));
  }
  {
    _VROH_MOUNT_RW d;
    ASSERT_EQ(10, d.OpenChain(other.c_str(), fix.c_str(), VRO_WRITE_OVERLAY));
    WriteDisk(d, 5 * 512, Fill(0x55, 512));
  }
  {
    _VROH_MOUNT_RW d;
    ASSERT_EQ(10, d.OpenChain(other.c_str(), fix.c_str(), VRO_WRITE_NONE));
    EXPECT_EQ(0x55, ReadDisk(d, 5 * 512, 1)[0]);
  }
}

// Over a raw base (no identity to link to) the write-back file keeps its
// contents across opens, and the base never changes.
TEST(Overlay, WriteBackOverRawBaseSurvivesReopen) {
  std::wstring dir = vt::ScratchDir();
  std::wstring raw = Path(dir, L"r.img");
  std::vector<uint8_t> data = Random(256 * 1024, 7);
  ASSERT_TRUE(vt::WriteAll(raw, data));
  std::string rawHash = vt::Sha256(raw);
  std::wstring fix = Path(dir, L"r.Fix");
  {
    _VROH_MOUNT_RW d;
    ASSERT_EQ(2, d.OpenChain(raw.c_str(), fix.c_str(), VRO_WRITE_OVERLAY));
    WriteDisk(d, 1000, Fill(0x5A, 3000));
  }
  for (int mode : {VRO_WRITE_NONE, VRO_WRITE_OVERLAY}) {
    _VROH_MOUNT_RW d;
    ASSERT_EQ(2, d.OpenChain(raw.c_str(), fix.c_str(), mode)) << mode;
    std::vector<uint8_t> v = ReadDisk(d, 0, 8192);
    std::vector<uint8_t> want(data.begin(), data.begin() + 8192);
    memset(&want[1000], 0x5A, 3000);
    size_t first = 0;
    while (first < v.size() && v[first] == want[first]) first++;
    EXPECT_TRUE(v == want) << "mode " << mode << " first difference at " << first;
  }
  EXPECT_EQ(rawHash, vt::Sha256(raw));
}

TEST(Overlay, OpenChainCodes) {
  std::wstring dir = vt::ScratchDir();
  std::wstring base = MakeBase(dir, L"b.img");
  std::wstring raw = Path(dir, L"r.img");
  ASSERT_TRUE(vt::WriteAll(raw, Random(64 * 1024, 1)));
  std::wstring badFix = Path(dir, L"no\\such\\x.Fix");
  std::wstring fresh = Path(dir, L"fresh.img");
  ASSERT_EQ(0, _VROH_RW_CLASS::Create(fresh.c_str(), 1, 6));
  struct Case {
    std::wstring image, fix;
    int mode, code;
  } cases[] = {
      {Path(dir, L"missing.img"), L"", 0, -1},
      {base, L"", 0, 11},
      {base, L"", 1, 13},
      {base, L"", 2, 12},
      {fresh, L"", 1, 12},  // a pristine base is written in place
      {base, Path(dir, L"a.Fix"), 1, 10},
      {base, badFix, 1, -10},
      {raw, L"", 0, 3},
      {raw, L"", 1, 3},
      {raw, Path(dir, L"r.Fix"), 1, 2},
      {raw, badFix, 1, -2},
  };
  for (const Case& c : cases) {
    _VROH_MOUNT_RW d;
    EXPECT_EQ(c.code, d.OpenChain(c.image.c_str(), c.fix.c_str(), c.mode))
        << vt::Narrow(c.image) << " " << vt::Narrow(c.fix) << " " << c.mode;
    EXPECT_EQ(c.mode == 1 && c.image == base, d.BasePath()[0] != 0);
  }
  // Update-file branches.
  {
    _VROH_MOUNT_RW d;
    ASSERT_EQ(13, d.OpenChain(base.c_str(), L"", 1));
    WriteDisk(d, 0, Fill(1, 512));
  }
  std::wstring upd = base + L"_01.Upd";
  {
    _VROH_MOUNT_RW d;
    EXPECT_EQ(22, d.OpenChain(upd.c_str(), L"", 1));
    // A second writing session keeps out of a file the first one writes;
    // within the process a read of it goes on (the window lists what it
    // writes).
    EXPECT_EQ(-21, _VROH_MOUNT_RW().OpenChain(upd.c_str(), L"", 1));
    EXPECT_EQ(22, _VROH_MOUNT_RW().OpenChain(upd.c_str(), L"", 0));
  }
  EXPECT_EQ(-22, _VROH_MOUNT_RW().OpenChain(upd.c_str(), badFix.c_str(), 1));
  std::wstring lone = Path(dir, L"sub\\lone.img_01.Upd");
  ASSERT_EQ(0, vt::Sh("mkdir -p " + U(Path(dir, L"sub")) + " && cp " + U(upd) + " " + U(lone)));
  EXPECT_EQ(-4, _VROH_MOUNT_RW().OpenChain(lone.c_str(), L"", 0));
  // Files another program holds without sharing writes open read-only only.
  auto block = [](const std::wstring& p) {
    return CreateFileW(p.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                       nullptr);
  };
  HANDLE h = block(upd);
  EXPECT_EQ(-21, _VROH_MOUNT_RW().OpenChain(upd.c_str(), L"", 1));
  EXPECT_EQ(22, _VROH_MOUNT_RW().OpenChain(upd.c_str(), L"", 0));
  CloseHandle(h);
  h = block(base);
  EXPECT_EQ(-12, _VROH_MOUNT_RW().OpenChain(base.c_str(), L"", 2));
  CloseHandle(h);
  h = block(raw);
  EXPECT_EQ(-3, _VROH_MOUNT_RW().OpenChain(raw.c_str(), L"", 1));
  CloseHandle(h);
}

// Random byte-granular writes through base + update + write-back against a
// model, across reopens; the base and the update file never change while
// a write-back file takes the writes.
TEST(Overlay, RandomModelThroughTheStack) {
  std::wstring dir = vt::ScratchDir();
  std::wstring base = MakeBase(dir, L"b.img");
  const uint64_t kSpan = 6u << 20;
  std::vector<uint8_t> model(kSpan, 0);
  memset(&model[100 * 512], 0x11, 20 * 512);
  {
    _VROH_MOUNT_RW d;
    ASSERT_EQ(11, d.OpenChain(base.c_str(), L"", 0));
    std::vector<uint8_t> mbr = ReadDisk(d, 0, 512);
    memcpy(&model[0], mbr.data(), 512);
  }
  std::mt19937 rng(21);
  auto workload = [&](_VROH_MOUNT_RW& d, int round) {
    for (int i = 0; i < 120; i++) {
      uint64_t len = rng() % 3 == 0 ? 1 + rng() % 300000 : 1 + rng() % 3000;
      uint64_t pos = rng() % (kSpan - len);
      std::vector<uint8_t> w = Random((size_t)len, round * 10000 + i);
      ASSERT_EQ((int64_t)len, d.WriteBytes(nullptr, pos, w.data(), len));
      memcpy(&model[pos], w.data(), w.size());
      uint64_t rl = 1 + rng() % 70000, rp = rng() % (kSpan - rl);
      ASSERT_EQ(0, memcmp(ReadDisk(d, rp, (size_t)rl).data(), &model[rp], (size_t)rl))
          << round << "/" << i;
    }
  };
  std::string baseHash = vt::Sha256(base);
  {
    _VROH_MOUNT_RW d;
    ASSERT_EQ(13, d.OpenChain(base.c_str(), L"", 1));
    workload(d, 1);
  }
  std::wstring upd = base + L"_01.Upd";
  std::string updHash = vt::Sha256(upd);
  std::wstring fix = Path(dir, L"ws.Fix");
  for (int round = 2; round < 5; round++) {
    _VROH_MOUNT_RW d;
    ASSERT_EQ(22, d.OpenChain(upd.c_str(), fix.c_str(), 1));
    workload(d, round);
  }
  EXPECT_EQ(baseHash, vt::Sha256(base));
  EXPECT_EQ(updHash, vt::Sha256(upd));
  _VROH_MOUNT_RW d;
  ASSERT_EQ(22, d.OpenChain(upd.c_str(), fix.c_str(), 0));
  EXPECT_TRUE(ReadDisk(d, 0, (size_t)kSpan) == model);
}

TEST(Overlay, MergeUpdateIntoBase) {
  std::wstring dir = vt::ScratchDir();
  std::wstring base = MakeBase(dir, L"b.img");
  {
    _VROH_MOUNT_RW d;
    ASSERT_EQ(13, d.OpenChain(base.c_str(), L"", 1));
    WriteDisk(d, 105 * 512, Fill(0x22, 3 * 512));
    WriteDisk(d, 5000 * 512 + 3, Random(300 * 512, 5));
  }
  std::wstring upd = base + L"_01.Upd";
  std::vector<uint8_t> view;
  {
    _VROH_MOUNT_RW d;
    ASSERT_EQ(22, d.OpenChain(upd.c_str(), L"", 0));
    view = ReadDisk(d, 0, (size_t)d.DiskBytes());
  }
  // Not linked to this base: -52 and nothing changes.
  std::wstring other = MakeBase(dir, L"other.img");
  std::string otherHash = vt::Sha256(other);
  EXPECT_EQ(-52, ConvertImageChain(other.c_str(), upd.c_str(), nullptr));
  EXPECT_EQ(otherHash, vt::Sha256(other));
  EXPECT_EQ(-40, ConvertImageChain(Path(dir, L"none.img").c_str(), upd.c_str(), nullptr));

  volatile int progress = 0;
  ASSERT_EQ(1, ConvertImageFile(base.c_str(), upd.c_str(), &progress));
  EXPECT_EQ(100, progress);
  EXPECT_FALSE(vt::FileExists(upd));
  _VROH_MOUNT_RW d;
  ASSERT_EQ(11, d.OpenChain(base.c_str(), L"", 0));
  EXPECT_TRUE(ReadDisk(d, 0, view.size()) == view);
}

TEST(Overlay, FailedMergeKeepsTheUpdateFile) {
  std::wstring dir = vt::ScratchDir();
  std::wstring base = MakeBase(dir, L"b.img");
  {
    _VROH_MOUNT_RW d;
    ASSERT_EQ(13, d.OpenChain(base.c_str(), L"", 1));
    WriteDisk(d, 7 * 512, Fill(0x66, 512));
  }
  std::wstring upd = base + L"_01.Upd";
  // A dynamic VHD base whose file refuses a write on the way (it takes
  // merges, with new blocks where they are needed).
  std::wstring raw = Path(dir, L"d.raw"), vhd = Path(dir, L"d.vhd");
  ASSERT_TRUE(vt::WriteAll(raw, Random(8u << 20, 2)));
  ASSERT_EQ(0, vt::Sh("qemu-img convert -f raw -O vpc -o subformat=dynamic,force_size=on " +
                      U(raw) + " " + U(vhd)));
  std::string vhdHash = vt::Sha256(vhd), updHash = vt::Sha256(upd);
  volatile int progress = 0;
  {
    it::WriteFaults faults(it::WriteFaults::FAIL, 3);
    EXPECT_EQ(0, ConvertImageFile(vhd.c_str(), upd.c_str(), &progress));
  }
  EXPECT_EQ(-1, progress);
  EXPECT_TRUE(vt::FileExists(upd));
  EXPECT_EQ(updHash, vt::Sha256(upd));
  EXPECT_EQ(vhdHash, vt::Sha256(vhd));
}

}  // namespace
