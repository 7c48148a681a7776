// Sector devices over real files: type detection, the header slot of plain
// images, VHDs made by qemu-img, synthesised host-volume disks and the
// byte-alignment engine.
#include <gtest/gtest.h>
#include <cstring>

#include "../ImageTestUtil.h"
#include "image/device/AlignRw.h"
#include "image/device/DeviceSource.h"
#include "image/device/MbrTemplate.h"
#include "image/stack/MountRw.h"
#include "image/mount/MountedImage.h"
#include "image/stack/RwClass.h"

using namespace it;

namespace {

std::vector<uint8_t> Sectors(uint32_t n, uint32_t seed) {
  return Random(n * 512, seed);
}

void Sign(std::vector<uint8_t>& d, uint32_t sector) {
  d[sector * 512 + 510] = 0x55;
  d[sector * 512 + 511] = 0xAA;
}

int TypeOf(const std::wstring& path, int mode = VRO_MODE_READ) {
  _VROH_RW_CLASS d;
  if (!d.Open(path.c_str(), mode)) return -1;
  return d.m_nType;
}

TEST(SectorDevice, TypeTable) {
  std::wstring dir = vt::ScratchDir();
  std::vector<uint8_t> raw = Sectors(64, 1);
  raw[510] = raw[511] = raw[1022] = raw[1023] = 0;
  ASSERT_TRUE(vt::WriteAll(Path(dir, L"raw.img"), raw));
  std::vector<uint8_t> mbr = raw;
  Sign(mbr, 0);
  ASSERT_TRUE(vt::WriteAll(Path(dir, L"mbr.img"), mbr));
  std::vector<uint8_t> both = mbr;
  Sign(both, 1);
  ASSERT_TRUE(vt::WriteAll(Path(dir, L"lead.img"), both));
  ASSERT_TRUE(vt::WriteAll(Path(dir, L"novhd.vhd"), mbr));

  EXPECT_EQ(VRO_TYPE_RAW, TypeOf(Path(dir, L"raw.img")));
  EXPECT_EQ(VRO_TYPE_RAW_MBR, TypeOf(Path(dir, L"mbr.img")));
  // One leading sector before an MBR disk wins over sector 0's signature.
  EXPECT_EQ(VRO_TYPE_MBR_SECTOR1, TypeOf(Path(dir, L"lead.img")));
  // ".vhd" without a footer is just a file.
  EXPECT_EQ(VRO_TYPE_RAW_MBR, TypeOf(Path(dir, L"novhd.vhd")));
  // Write modes never turn a plain image into an own sparse one.
  EXPECT_EQ(VRO_TYPE_RAW, TypeOf(Path(dir, L"raw.img"), VRO_MODE_CREATE));
  EXPECT_EQ(raw, [&] {
    std::vector<uint8_t> v;
    vt::ReadAll(Path(dir, L"raw.img"), v);
    return v;
  }());

  _VROH_RW_CLASS d;
  ASSERT_TRUE(d.Open(Path(dir, L"raw.img").c_str(), VRO_MODE_READ));
  EXPECT_EQ(65u, d.m_nCapacity);
  EXPECT_EQ(-1, d.m_nDiskNumber);
  ASSERT_TRUE(d.Open(Path(dir, L"lead.img").c_str(), VRO_MODE_READ));
  EXPECT_EQ(64u, d.m_nCapacity);
  d.Close();

  // Zero-length files: refused except in mode 2, which makes a sparse image.
  for (int mode : {VRO_MODE_READ, VRO_MODE_WRITE, VRO_MODE_CREATE_KEEP}) {
    ASSERT_TRUE(vt::WriteAll(Path(dir, L"empty.img"), std::vector<uint8_t>()));
    EXPECT_EQ(-1, TypeOf(Path(dir, L"empty.img"), mode)) << mode;
  }
  EXPECT_EQ(VRO_TYPE_SPARSE, TypeOf(Path(dir, L"empty.img"), VRO_MODE_CREATE));
  EXPECT_EQ(VRO_TYPE_SPARSE, TypeOf(Path(dir, L"empty.img")));
  EXPECT_EQ(-1, TypeOf(Path(dir, L"missing.img")));
  EXPECT_EQ(-1, TypeOf(L""));

  // Own header with plain data behind it.
  ASSERT_EQ(0, _VROH_RW_CLASS::Create(Path(dir, L"k4.img").c_str(), 1, 4));
  ASSERT_EQ(0, _VROH_RW_CLASS::Create(Path(dir, L"k5.img").c_str(), 1, 5));
  // Create puts an MBR behind the header, so sector 1 decides first.
  EXPECT_EQ(VRO_TYPE_MBR_SECTOR1, TypeOf(Path(dir, L"k5.img")));
  for (const wchar_t* name : {L"k4.img", L"k5.img"}) {
    std::vector<uint8_t> v;
    ASSERT_TRUE(vt::ReadAll(Path(dir, name), v));
    v[1022] = v[1023] = 0;
    ASSERT_TRUE(vt::WriteAll(Path(dir, name), v));
  }
  EXPECT_EQ(VRO_TYPE_HEADER_PLAIN, TypeOf(Path(dir, L"k4.img")));
  EXPECT_EQ(VRO_TYPE_HEADER_OTHER, TypeOf(Path(dir, L"k5.img")));
  EXPECT_EQ(VRO_TYPE_HEADER_OTHER, TypeOf(Path(dir, L"k5.img"), VRO_MODE_CREATE));
  EXPECT_EQ(VRO_TYPE_HEADER_OTHER, TypeOf(Path(dir, L"k5.img"), VRO_MODE_WRITE));
  EXPECT_EQ(16385u * 512, FileSize(Path(dir, L"k5.img")));
}

TEST(SectorDevice, HeaderSlotOfRawImage) {
  std::wstring dir = vt::ScratchDir();
  std::wstring p = Path(dir, L"r.img");
  std::vector<uint8_t> data = Sectors(16, 2);
  ASSERT_TRUE(vt::WriteAll(p, data));
  std::string before = vt::Sha256(p);
  {
    _VROH_RW_CLASS d;
    ASSERT_TRUE(d.Open(p.c_str(), VRO_MODE_WRITE));
    std::vector<uint8_t> buf(1024, 0xEE);
    ASSERT_EQ(1024, d.Read(0, buf.data(), 1024));
    EXPECT_EQ(std::vector<uint8_t>(512, 0), std::vector<uint8_t>(buf.begin(), buf.begin() + 512));
    EXPECT_EQ(0, memcmp(buf.data() + 512, data.data(), 512));
    std::vector<uint8_t> junk(512, 0xAB);
    EXPECT_EQ(512, d.Write(0, junk.data(), 512));
  }
  EXPECT_EQ(before, vt::Sha256(p));
}

// Independent check: qemu-img builds fixed and dynamic VHDs from a raw
// image; every device sector must equal the raw image's sector before it.
TEST(SectorDevice, VhdMadeByQemuImgReadsLikeRaw) {
  std::wstring dir = vt::ScratchDir();
  std::wstring raw = Path(dir, L"disk.raw");
  // 9 MiB: random data with a whole empty 2 MiB block and ragged holes.
  std::vector<uint8_t> data = Random(9u << 20, 3);
  memset(&data[2u << 20], 0, 2u << 20);
  memset(&data[5u << 20], 0, 300 * 512);
  ASSERT_TRUE(vt::WriteAll(raw, data));
  // qemu-img writes 2 MiB blocks only: the 8 MiB one (a bitmap of four
  // sectors per block) is laid out anew from the raw data, and qemu-img
  // reads it back as the raw image before we do.
  for (const char* sub : {"fixed", "dynamic", "dynamic-8M"}) {
    std::wstring vhd = Path(dir, vt::Widen(std::string(sub) + ".vhd").c_str());
    bool fixed = std::string(sub) == "fixed", reblock = std::string(sub) == "dynamic-8M";
    std::string out;
    ASSERT_EQ(0, vt::Sh("qemu-img convert -f raw -O vpc -o subformat=" +
                            std::string(fixed ? "fixed" : "dynamic") + ",force_size=on " + U(raw) +
                            " " + U(vhd),
                        &out))
        << out;
    if (reblock) {
      ASSERT_EQ(0, vt::Sh("f=" + U(vhd) +
                              " && mv \"$f\" \"$f.2m\" && tests/fixtures/vhd-reblock.py "
                              "\"$f.2m\" " +
                              U(raw) +
                              " \"$f\" 8 && qemu-img convert -f vpc -O raw "
                              "\"$f\" \"$f.raw\" && cmp \"$f.raw\" " +
                              U(raw),
                          &out))
          << out;
    }
    _VROH_RW_CLASS d;
    ASSERT_TRUE(d.Open(vhd.c_str(), VRO_MODE_READ)) << sub;
    EXPECT_EQ(fixed ? VRO_TYPE_VHD_FIXED : VRO_TYPE_VHD_DYNAMIC, d.m_nType);
    ASSERT_EQ(data.size() / 512 + 1, d.m_nCapacity) << sub;
    std::vector<uint8_t> got(data.size() + 512);
    // Reads of odd lengths and positions across block ends.
    uint64_t s = 0;
    uint32_t step = 37;
    while (s < d.m_nCapacity) {
      uint32_t n = (uint32_t)std::min<uint64_t>(step, d.m_nCapacity - s);
      ASSERT_EQ((int64_t)n * 512, d.Read(s, &got[s * 512], n * 512)) << sub << " " << s;
      s += n;
      step = step * 7 % 6000 + 1;
    }
    EXPECT_EQ(std::vector<uint8_t>(512, 0), std::vector<uint8_t>(got.begin(), got.begin() + 512));
    EXPECT_TRUE(0 == memcmp(&got[512], data.data(), data.size())) << sub;
  }
}

TEST(SectorDevice, VhdWritesAndRefusedFooters) {
  std::wstring dir = vt::ScratchDir();
  std::wstring raw = Path(dir, L"disk.raw");
  ASSERT_TRUE(vt::WriteAll(raw, Random(4u << 20, 4)));
  std::wstring fixed = Path(dir, L"f.vhd"), dyn = Path(dir, L"d.vhd"),
               diff = Path(dir, L"diff.vhd");
  ASSERT_EQ(0, vt::Sh("qemu-img convert -f raw -O vpc -o subformat=fixed,force_size=on " + U(raw) +
                      " " + U(fixed)));
  ASSERT_EQ(0, vt::Sh("qemu-img convert -f raw -O vpc -o subformat=dynamic,force_size=on " +
                      U(raw) + " " + U(dyn)));
  std::vector<uint8_t> sec(512, 0x5A), back(512);

  // Dynamic: a write that cannot be done says so and changes nothing.
  std::string dynHash = vt::Sha256(dyn);
  {
    _VROH_RW_CLASS d;
    ASSERT_TRUE(d.Open(dyn.c_str(), VRO_MODE_WRITE));
    EXPECT_EQ(-512, d.Write(10, sec.data(), 512));
  }
  EXPECT_EQ(dynHash, vt::Sha256(dyn));

  // Fixed: writes inside the disk land; the footer is out of reach.
  {
    _VROH_RW_CLASS d;
    ASSERT_TRUE(d.Open(fixed.c_str(), VRO_MODE_WRITE));
    uint64_t last = d.m_nCapacity - 1;
    EXPECT_EQ(512, d.Write(last, sec.data(), 512));
    EXPECT_EQ(-1024, d.Write(last, std::vector<uint8_t>(1024).data(), 1024));
    EXPECT_EQ(-512, d.Write(last + 1, sec.data(), 512));
    ASSERT_EQ(512, d.Read(last, back.data(), 512));
    EXPECT_EQ(sec, back);
  }
  {
    _VROH_RW_CLASS d;
    ASSERT_TRUE(d.Open(fixed.c_str(), VRO_MODE_READ));
    EXPECT_EQ(VRO_TYPE_VHD_FIXED, d.m_nType);
  }

  // A differencing VHD (disk type 4) needs its parent: refused, never
  // read as raw sectors.
  std::vector<uint8_t> v;
  ASSERT_TRUE(vt::ReadAll(fixed, v));
  v[v.size() - 512 + 63] = 4;
  ASSERT_TRUE(vt::WriteAll(diff, v));
  EXPECT_EQ(-1, TypeOf(diff));
  EXPECT_EQ(-1, TypeOf(diff, VRO_MODE_CREATE));
}

// Serves an ordinary file in place of a host drive or volume.
class FileDeviceSource : public VroDeviceSource {
 public:
  std::wstring file;
  int disk = 3;
  HANDLE OpenDevice(const wchar_t*, int, DWORD access, DWORD share, uint64_t* bytes,
                    int* diskNumber) override {
    HANDLE h = CreateFileW(file.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return h;
    LARGE_INTEGER sz;
    GetFileSizeEx(h, &sz);
    *bytes = (uint64_t)sz.QuadPart;
    *diskNumber = disk;
    return h;
  }
};

struct SourceScope {
  VroDeviceSource* old;
  explicit SourceScope(VroDeviceSource* s) : old(VroSetDeviceSource(s)) {}
  ~SourceScope() { VroSetDeviceSource(old); }
};

TEST(SectorDevice, HostVolumeReadsAsOnePartitionDisk) {
  std::wstring dir = vt::ScratchDir();
  FileDeviceSource src;
  src.file = Path(dir, L"volume.bin");
  std::vector<uint8_t> vol = Sectors(20000, 5);
  ASSERT_TRUE(vt::WriteAll(src.file, vol));
  std::string before = vt::Sha256(src.file);
  SourceScope scope(&src);

  _VROH_RW_CLASS d;
  ASSERT_TRUE(d.Open(L"\\\\.\\Q:", VRO_MODE_READ));
  EXPECT_EQ(VRO_TYPE_VOLUME, d.m_nType);
  EXPECT_EQ(3, d.m_nDiskNumber);
  EXPECT_EQ(20000u + 64, d.m_nCapacity);
  // One read across the synthetic head into the volume.
  std::vector<uint8_t> buf(80 * 512);
  ASSERT_EQ((int64_t)buf.size(), d.Read(0, buf.data(), (uint32_t)buf.size()));
  const uint8_t* m = &buf[512];
  const uint8_t* e = m + 446;
  EXPECT_EQ(0x80, e[0]);
  EXPECT_EQ(0x07, e[4]);
  uint32_t start, count;
  memcpy(&start, e + 8, 4);
  memcpy(&count, e + 12, 4);
  EXPECT_EQ(63u, start);
  EXPECT_EQ(20000u, count);
  uint8_t chs[3];
  LbaToChs(chs, 63 + 20000 - 1);
  EXPECT_EQ(0, memcmp(chs, e + 5, 3));
  EXPECT_EQ(0x55, m[510]);
  EXPECT_EQ(0xAA, m[511]);
  for (int i = 16; i < 64; i++) EXPECT_EQ(0, e[i]) << i;  // the other three entries
  for (uint32_t s = 0; s < 64; s++)
    if (s != 1) {
      EXPECT_EQ(std::vector<uint8_t>(512, 0),
                std::vector<uint8_t>(&buf[s * 512], &buf[s * 512 + 512]))
          << s;
    }
  EXPECT_EQ(0, memcmp(&buf[64 * 512], vol.data(), 16 * 512));
  // Through the disk object: disk sector 63 is the volume's first sector.
  _VROH_MOUNT_RW disk;
  ASSERT_EQ(3, disk.OpenChain(L"\\\\.\\Q:", L"", VRO_WRITE_NONE));
  std::vector<uint8_t> b2(1000);
  ASSERT_EQ(1000, disk.ReadBytes(nullptr, 63 * 512 + 100, b2.data(), 1000));
  EXPECT_EQ(0, memcmp(b2.data(), vol.data() + 100, 1000));
  // Host volumes are never written through this layer.
  EXPECT_EQ(-512, d.Write(64, vol.data(), 512));
  EXPECT_EQ(-512, d.Write(1, vol.data(), 512));
  EXPECT_LT(disk.WriteBytes(nullptr, 63 * 512, vol.data(), 512), 0);
  d.Close();
  disk.CloseLayers();
  EXPECT_EQ(before, vt::Sha256(src.file));

  // Physical drives read like raw images and refuse writes too.
  src.disk = -1;
  ASSERT_TRUE(d.Open(L"\\\\.\\PhysicalDrive7", VRO_MODE_WRITE));
  EXPECT_EQ(VRO_TYPE_PHYSICAL, d.m_nType);
  EXPECT_EQ(20001u, d.m_nCapacity);
  ASSERT_EQ(1024, d.Read(1, buf.data(), 1024));
  EXPECT_EQ(0, memcmp(buf.data(), vol.data(), 1024));
  EXPECT_EQ(-1024, d.Write(1, buf.data(), 1024));
  d.Close();
  EXPECT_EQ(before, vt::Sha256(src.file));
}

TEST(SectorDevice, LbaToChs) {
  uint8_t c[3];
  LbaToChs(c, 0);
  EXPECT_EQ((std::vector<uint8_t>{0, 1, 0}), std::vector<uint8_t>(c, c + 3));
  LbaToChs(c, 63);
  EXPECT_EQ((std::vector<uint8_t>{1, 1, 0}), std::vector<uint8_t>(c, c + 3));
  LbaToChs(c, 16065ull * 1000 + 63 * 3 + 5);  // cylinder 1000 = 0x3E8
  EXPECT_EQ((std::vector<uint8_t>{3, 6 | 0xC0, 0xE8}), std::vector<uint8_t>(c, c + 3));
  LbaToChs(c, 16065ull * 1023 + 16064);  // last addressable
  EXPECT_EQ((std::vector<uint8_t>{254, 63 | 0xC0, 0xFF}), std::vector<uint8_t>(c, c + 3));
  LbaToChs(c, 16065ull * 1024);  // past cylinder 1023
  EXPECT_EQ((std::vector<uint8_t>{254, 63 | 0xC0, 0xFF}), std::vector<uint8_t>(c, c + 3));
  LbaToChs(c, 1ull << 40);
  EXPECT_EQ((std::vector<uint8_t>{254, 63 | 0xC0, 0xFF}), std::vector<uint8_t>(c, c + 3));

  uint8_t entry[16] = {};
  entry[8] = 63;
  SetMbrEntryLength(entry, 16321);
  uint32_t n;
  memcpy(&n, entry + 12, 4);
  EXPECT_EQ(16321u, n);
  LbaToChs(c, 63 + 16321 - 1);
  EXPECT_EQ(0, memcmp(c, entry + 5, 3));
}

// Byte-granular requests against a reference copy, on a file handle with no
// offset and through a disk object (byte offset of one sector).
TEST(SectorDevice, AlignmentEngineMatchesReference) {
  std::wstring dir = vt::ScratchDir();
  std::wstring p = Path(dir, L"a.img");
  std::vector<uint8_t> ref = Random(64 * 1024, 6);
  ref[510] = ref[511] = 0;
  ASSERT_TRUE(vt::WriteAll(p, ref));
  struct Req {
    uint64_t pos, len;
  } reqs[] = {
      {100, 50},       // inside one unit
      {500, 30},       // crosses one unit boundary
      {300, 700},      // crosses into the second unit and ends there
      {511, 1026},     // crosses two boundaries
      {1024, 700},     // aligned, between one and two units
      {2048, 512},     // one whole unit
      {7, 5000},       // lead, whole units, tail
      {4096, 1},       // a single byte
      {8191, 2},       // one byte on each side of a boundary
      {10000, 20000},  // long
  };
  HANDLE h = CreateFileW(p.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  {
    _VROH_ALIGN_RW a;
    uint32_t seed = 100;
    for (const Req& r : reqs) {
      std::vector<uint8_t> w = Random((size_t)r.len, seed++);
      ASSERT_EQ((int64_t)r.len, a.WriteBytes(h, r.pos, w.data(), r.len)) << r.pos;
      memcpy(&ref[r.pos], w.data(), w.size());
      for (const Req& q : reqs) {
        std::vector<uint8_t> got((size_t)q.len);
        ASSERT_EQ((int64_t)q.len, a.ReadBytes(h, q.pos, got.data(), q.len));
        ASSERT_EQ(0, memcmp(got.data(), &ref[q.pos], got.size())) << r.pos << " / " << q.pos;
      }
    }
  }
  CloseHandle(h);
  std::vector<uint8_t> file;
  ASSERT_TRUE(vt::ReadAll(p, file));
  EXPECT_EQ(ref, file);

  _VROH_MOUNT_RW disk;
  ASSERT_EQ(3, disk.OpenChain(p.c_str(), L"", VRO_WRITE_BASE));
  uint32_t seed = 200;
  for (const Req& r : reqs) {
    std::vector<uint8_t> w = Random((size_t)r.len, seed++);
    uint64_t pos = r.pos + 3;
    ASSERT_EQ((int64_t)r.len, disk.WriteBytes(nullptr, pos, w.data(), r.len));
    memcpy(&ref[pos], w.data(), w.size());
    std::vector<uint8_t> got(40000);
    ASSERT_EQ(40000, disk.ReadBytes(nullptr, 5, got.data(), 40000));
    ASSERT_EQ(0, memcmp(got.data(), &ref[5], got.size())) << r.pos;
  }
  EXPECT_EQ(0, disk.WriteBytes(nullptr, 0, ref.data(), 0));
  disk.CloseLayers();
  ASSERT_TRUE(vt::ReadAll(p, file));
  EXPECT_EQ(ref, file);
}

// Positioned handle transfers against a model of the file: random writes
// (some growing the file), reads across and past its end, and failures that
// leave a last error.
TEST(SectorDevice, HandleTransfersMatchModel) {
  std::wstring dir = vt::ScratchDir();
  std::wstring p = Path(dir, L"h.bin");
  std::vector<uint8_t> model = Random(100000, 7);
  ASSERT_TRUE(vt::WriteAll(p, model));
  HANDLE h = CreateFileW(p.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  uint32_t state = 12345;
  auto next = [&state](uint32_t n) {
    state = state * 1103515245u + 12345u;
    return (state >> 8) % n;
  };
  for (int i = 0; i < 300; i++) {
    uint32_t len = 1 + next(i % 10 == 0 ? 200000 : 5000);
    uint64_t pos = next((uint32_t)model.size() + 3000);
    if (next(2)) {
      std::vector<uint8_t> w = Random(len, 1000 + i);
      ASSERT_EQ((int64_t)len, WriteHandleAt(h, pos, w.data(), len)) << i;
      if (model.size() < pos + len) model.resize((size_t)(pos + len), 0);
      memcpy(&model[(size_t)pos], w.data(), len);
    } else {
      std::vector<uint8_t> got(len, 0xEE);
      uint64_t have = pos < model.size() ? model.size() - pos : 0;
      uint32_t expect = have < len ? (uint32_t)have : len;
      ASSERT_EQ((int64_t)expect, ReadHandleAt(h, pos, got.data(), len)) << i;
      ASSERT_EQ(0, memcmp(got.data(), model.data() + (size_t)(expect ? pos : 0), expect)) << i;
      std::vector<uint8_t> zeroTail(len, 0xEE);
      ASSERT_EQ((int64_t)len, ReadHandleAtZeroTail(h, pos, zeroTail.data(), len)) << i;
      for (uint32_t k = expect; k < len; k++) ASSERT_EQ(0, zeroTail[k]) << i;
    }
  }
  uint8_t b[16];
  EXPECT_EQ(0, ReadHandleAt(h, model.size(), b, sizeof b));
  EXPECT_EQ(0, ReadHandleAt(h, model.size() + 100000, b, sizeof b));
  CloseHandle(h);
  std::vector<uint8_t> file;
  ASSERT_TRUE(vt::ReadAll(p, file));
  EXPECT_EQ(model, file);

  HANDLE ro =
      CreateFileW(p.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, ro);
  SetLastError(0);
  EXPECT_EQ(-16, WriteHandleAt(ro, 0, b, sizeof b));
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
  CloseHandle(ro);
  SetLastError(0);
  EXPECT_EQ(-16, ReadHandleAt(INVALID_HANDLE_VALUE, 0, b, sizeof b));
  EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
}

}  // namespace

// FAT32's FSInfo sector and exFAT's extended boot sectors end with the boot
// signature: a volume image without a partition table must still be read
// from sector 0, not as a leading sector before an MBR.
TEST(SectorDevice, PartitionlessFat32AndExfatAreNotLeadingSectorImages) {
  std::wstring dir = vt::ScratchDir();
  std::wstring fat = Path(dir, L"fat32.img"), ex = Path(dir, L"exfat.img");
  ASSERT_EQ(0, vt::Sh("truncate -s 40M " + U(fat) + " && mkfs.fat -F 32 " + U(fat) +
                      " && truncate -s 8M " + U(ex) + " && mkfs.exfat " + U(ex) +
                      " && echo hello > " + U(Path(dir, L"a.txt")) + " && mcopy -i " + U(fat) +
                      " " + U(Path(dir, L"a.txt")) + " ::/"));
  for (const std::wstring& p : {fat, ex}) {
    _VROH_RW_CLASS d;
    ASSERT_TRUE(d.Open(p.c_str(), VRO_MODE_READ)) << vt::Narrow(p);
    EXPECT_EQ(VRO_TYPE_RAW_MBR, d.m_nType) << vt::Narrow(p);
    std::vector<uint8_t> file, sec(512);
    ASSERT_TRUE(vt::ReadAll(p, file));
    ASSERT_EQ(512, d.Read(1, sec.data(), 512));
    EXPECT_EQ(0, memcmp(sec.data(), file.data(), 512)) << "disk sector 0 is the boot sector";
  }
  CMountedImage m;
  ASSERT_EQ(VRO_TYPE_RAW_MBR, m.OpenImage(fat.c_str(), nullptr, 0, 0));
  EXPECT_EQ(1, m.GetPathType(L"\\a.txt"));
  m.Close();
  ASSERT_EQ(VRO_TYPE_RAW_MBR, m.OpenImage(ex.c_str(), nullptr, 0, 0));
  EXPECT_EQ(2, m.GetPathType(L"\\"));
}
