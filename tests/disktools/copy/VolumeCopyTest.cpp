// Conversions of images into new images through the exported operation:
// every source kind (raw, fixed and dynamic VHD, own format with an update
// file) into raw and own format, MBR into GPT, a GPT disk whose EFI system
// partition moves, a cancel, and the targets that are refused. The copies
// are read back with ntfs-3g's tools, sgdisk, fsck.fat and mtools.
#include <windows.h>

#include "CopyTestUtil.h"
#include "app/ImageOperations.h"
#include "disktools/copy/VolumeCopy.h"
#include "common/PathUtil.h"
#include "image/mount/MountedImage.h"
#include "image/stack/OverlayNotice.h"

namespace {

struct Progress {
  uint32_t calls = 0, first = ~0u, last = 0, total = 0;
  uint32_t stopAt = 0;  // call number that answers "stop" (0: never)
};

int __stdcall Record(uint32_t done, uint32_t total, void* context) {
  Progress* p = static_cast<Progress*>(context);
  if (p->calls++ == 0) p->first = done;
  p->last = done;
  p->total = total;
  return p->stopAt == 0 || p->calls < p->stopAt;
}

// A target another program takes hold of as a writing program does (no
// writer beside it), from the start or at a call of the copy's progress.
struct HeldTarget {
  std::wstring path;
  uint32_t holdAt = 0, calls = 0;
  HANDLE holder = INVALID_HANDLE_VALUE;
  void Hold(DWORD access, DWORD share) {
    holder = CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, holder);
  }
  void Release() {
    if (holder != INVALID_HANDLE_VALUE) CloseHandle(holder);
    holder = INVALID_HANDLE_VALUE;
  }
};

int __stdcall HoldAtProgress(uint32_t, uint32_t, void* context) {
  HeldTarget* h = static_cast<HeldTarget*>(context);
  if (++h->calls == h->holdAt) h->Hold(GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ);
  return 1;
}

void ExpectOwnImageHoldsTree(const std::wstring& image, const mi::Disk& source,
                             const wchar_t* extra = nullptr) {
  CMountedImage m;
  ASSERT_EQ(6, m.OpenImage(image.c_str(), nullptr, 0, 0)) << "an own sparse image";
  EXPECT_TRUE(mi::SameAsHostFile(mi::ReadWhole(m, L"\\big.bin"), source.tree + "/big.bin"));
  EXPECT_TRUE(mi::SameAsHostFile(mi::ReadWhole(m, L"\\Dir\\Sub\\small.txt"),
                                 source.tree + "/Dir/Sub/small.txt"));
  if (extra) {
    EXPECT_EQ(1, m.GetPathType(extra));
  }
}

TEST(VolumeCopy, EveryImageKindConvertsToRawAndOwnFormat) {
  struct Kind {
    const char* name;
    const char* format;
    bool ownWithUpdate;
  } kinds[] = {{"raw", "raw", false},
               {"fixed", "vhd-fixed", false},
               {"dynamic", "vhd-dynamic", false},
               {"own", "raw", true}};
  for (const Kind& k : kinds) {
    SCOPED_TRACE(k.name);
    mi::Disk d = ct::MakeSource(k.name, "mbr2048", k.format);
    std::wstring source = d.path;
    const wchar_t* updated = nullptr;
    if (k.ownWithUpdate) {
      // The own image with a file that only its update file holds.
      std::wstring own = mi::CopyIntoOwnImage(d.path, d.dir);
      CMountedImage m;
      ASSERT_GE(m.OpenImage(own.c_str(), nullptr, 0, 1), 0);
      ASSERT_EQ(1, m.CreatePath(L"\\update.txt", 0x8000));
      ASSERT_EQ(4u, m.WriteFile(L"\\update.txt", "upd\n", 0, 4));
      ASSERT_TRUE(m.Close());
      source = own + L"_01.Upd";  // opened with the image below it
      ASSERT_TRUE(vt::FileExists(source));
      updated = L"\\update.txt";
    }
    for (int raw = 0; raw <= 1; ++raw) {
      std::wstring target = vt::ToWin(d.dir + (raw ? "/copy.img" : "/copy.vmd"));
      Progress progress;
      ASSERT_EQ(0, ImageConvertFileW(source.c_str(), target.c_str(), raw, 0, Record, &progress));
      EXPECT_EQ(0u, progress.first);
      EXPECT_GT(progress.total, 0u);
      EXPECT_EQ(progress.total, progress.last);
      if (!raw) {
        ExpectOwnImageHoldsTree(target, d, updated);
        continue;
      }
      std::string disk = ct::BareDisk(target);
      uint64_t start, count;
      ct::FirstEntry(disk, &start, &count);
      EXPECT_EQ(uint64_t(d.start), start);
      ct::ExpectTreeOnVolume(disk, d, start, count);
      std::string out;
      if (updated) {
        EXPECT_EQ(0, fmt::OnPartition(vt::ToWin(disk), start * 512, count * 512,
                                      "ntfscat $DEV /update.txt", &out));
      }
      if (updated) {
        EXPECT_EQ("upd\n", out);
      }
      // The page file is left out: its clusters stay as the new volume had them.
      EXPECT_EQ(0, fmt::OnPartition(vt::ToWin(disk), start * 512, count * 512,
                                    "ntfscat $DEV /pagefile.sys | tr -d '\\000' | wc -c", &out));
      EXPECT_EQ("0\n", out);
    }
  }
}

// MBR into GPT: a new 99 MiB EFI system partition at LBA 2048, the volume
// behind it. GPT with its EFI system partition at LBA 40: the partition
// moves to LBA 2048 with its length and its content.
TEST(VolumeCopy, GptCopiesPutTheEfiPartitionAtLba2048AndTheVolumeBehindIt) {
  struct Case {
    const char* name;
    const char* layout;
    int gpt;
    uint64_t espSectors;
    bool keepsContent;
  } cases[] = {{"mbr", "mbr2048", 1, 202752, false},
               {"gpt", "gpt-esp --esp-start 40 --esp-size 34", 0, 34 * 2048, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    mi::Disk d = ct::MakeSource(c.name, c.layout);
    std::wstring target = vt::ToWin(d.dir + "/copy.img");
    ASSERT_EQ(0, ImageConvertFileW(d.path.c_str(), target.c_str(), 1, c.gpt, nullptr, nullptr));
    std::string disk = ct::BareDisk(target);
    EXPECT_TRUE(ct::GptClean(disk)) << ct::GptInfo(disk, 1);
    std::string esp = ct::GptInfo(disk, 1), data = ct::GptInfo(disk, 2);
    EXPECT_NE(std::string::npos, esp.find("C12A7328-F81F-11D2-BA4B-00A0C93EC93B")) << esp;
    EXPECT_NE(std::string::npos, data.find("EBD0A0A2-B9E5-4433-87C0-68B6B72699C7")) << data;
    EXPECT_EQ(2048u, ct::Field(esp, "First sector: "));
    EXPECT_EQ(2048 + c.espSectors - 1, ct::Field(esp, "Last sector: "));
    uint64_t first = ct::Field(data, "First sector: "), last = ct::Field(data, "Last sector: ");
    EXPECT_EQ(2048 + c.espSectors, first);
    ct::ExpectTreeOnVolume(disk, d, first, last - first + 1);
    std::string out, check = "fsck.fat -n $DEV >/dev/null";
    if (c.keepsContent) check += " && mtype -i $DEV ::/EFI/marker.txt 2>/dev/null";
    EXPECT_EQ(0, fmt::OnPartition(vt::ToWin(disk), 2048 * 512, c.espSectors * 512, check, &out))
        << out;
    if (c.keepsContent) {
      EXPECT_EQ("marker\n", out);
    }
  }
}

// An own-format MBR image into GPT (own format and raw), and the own-format
// result into a raw image: each volume carries its partition's first LBA
// as its hidden sectors; its partition ends with the volume's backup boot
// sector (the sector its boot sector counts last plus one), which equals
// the boot sector, and the sector after it holds no old copy; sgdisk finds
// the tables sound (the backup table at the disk's end), ntfsinfo and
// ntfsfix -n the volume.
TEST(VolumeCopy, GptCopiesKeepHiddenSectorsAndTheBackupBootSector) {
  mi::Disk d = ct::MakeSource("own", "mbr2048");
  std::wstring own = mi::CopyIntoOwnImage(d.path, d.dir);
  std::wstring gptOwn = vt::ToWin(d.dir + "/g.vmd"), gptRaw = vt::ToWin(d.dir + "/g.img"),
               plain = vt::ToWin(d.dir + "/p.img");
  ASSERT_EQ(0, ImageConvertFileW(own.c_str(), gptOwn.c_str(), 0, 1, nullptr, nullptr));
  ASSERT_EQ(0, ImageConvertFileW(own.c_str(), gptRaw.c_str(), 1, 1, nullptr, nullptr));
  ASSERT_EQ(0, ImageConvertFileW(gptOwn.c_str(), plain.c_str(), 1, 0, nullptr, nullptr));
  for (const std::wstring& image : {gptRaw, plain}) {
    SCOPED_TRACE(vt::Narrow(image));
    std::string disk = ct::BareDisk(image);
    std::string data = ct::GptInfo(disk, 2);
    uint64_t first = ct::Field(data, "First sector: ");
    uint64_t count = ct::Field(data, "Last sector: ") - first + 1;
    std::wstring path = vt::ToWin(disk);
    std::vector<uint8_t> boot = fmt::ReadBytes(path, first * 512, 512);
    EXPECT_EQ(first, fmt::Le32(&boot[0x1C]));
    EXPECT_EQ(fmt::Le32(&boot[0x28]) + 1, count);
    EXPECT_TRUE(boot == fmt::ReadBytes(path, (first + count - 1) * 512, 512));
    std::vector<uint8_t> after = fmt::ReadBytes(path, (first + count) * 512, 512);
    EXPECT_EQ(std::string::npos, std::string(after.begin(), after.end()).find("NTFS    "));
    EXPECT_TRUE(ct::GptClean(disk)) << ct::GptInfo(disk, 2);
    std::string out;
    EXPECT_EQ(0, fmt::OnPartition(path, first * 512, count * 512, "ntfsinfo -m $DEV", &out)) << out;
    ct::ExpectTreeOnVolume(disk, d, first, count);
  }
}

TEST(VolumeCopy, CancelLeavesNoImageAndRefusedTargetsStayUntouched) {
  mi::Disk d = ct::MakeSource("cancel", "mbr2048");
  for (uint32_t stopAt : {1u, 50u}) {
    SCOPED_TRACE(stopAt);
    std::wstring target = vt::ToWin(d.dir + "/half.vmd");
    Progress progress;
    progress.stopAt = stopAt;
    EXPECT_EQ(-13, ImageConvertFileW(d.path.c_str(), target.c_str(), 0, 0, Record, &progress));
    EXPECT_EQ(stopAt, progress.calls);
    EXPECT_FALSE(vt::FileExists(target));
    CMountedImage m;
    EXPECT_LT(m.OpenImage(target.c_str(), nullptr, 0, 0), 0);
  }
  // A target that cannot be replaced (held open by another program, from
  // the start or from the middle of the copy) is not written into, even
  // where it could be: -15 and the line naming it.
  std::wstring held = vt::ToWin(d.dir + "/held.img");
  ASSERT_EQ(0, vt::Sh("truncate -s 64M " + vt::Q(d.dir + "/held.img")));
  std::string heldBefore = vt::Sha256(held), listing;
  vt::Sh("ls -A " + vt::Q(d.dir), &listing);
  for (uint32_t holdAt : {0u, 1u, 40u}) {
    SCOPED_TRACE(holdAt);
    HeldTarget h;
    h.path = held;
    h.holdAt = holdAt;
    if (!holdAt) h.Hold(GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    VroNoticeCollector lines;
    EXPECT_EQ(-15, ImageConvertFileW(d.path.c_str(), held.c_str(), 1, 0, HoldAtProgress, &h));
    EXPECT_TRUE(!holdAt || h.holder != INVALID_HANDLE_VALUE) << "the copy ended before the hold";
    ASSERT_EQ(1u, lines.Notices().size());
    EXPECT_EQ(held, lines.Notices()[0].path);
    EXPECT_EQ(VRO_NOTICE_HELD, lines.Notices()[0].kind);
    h.Release();
    EXPECT_EQ(heldBefore, vt::Sha256(held));
    std::string now;
    vt::Sh("ls -A " + vt::Q(d.dir), &now);
    EXPECT_EQ(listing, now) << "a temporary was left";
  }
  // The source itself, its update file and its write-back file.
  std::wstring own = mi::CopyIntoOwnImage(d.path, d.dir);
  {
    CMountedImage m;
    ASSERT_GE(m.OpenImage(own.c_str(), nullptr, 0, 1), 0);
    ASSERT_EQ(1, m.CreatePath(L"\\update.txt", 0x8000));
    ASSERT_TRUE(m.Close());
  }
  std::wstring update = own + L"_01.Upd";
  wchar_t writeBack[kPathChars];
  CMountedImage::MakeWriteBackPath(own.c_str(), writeBack);
  ASSERT_TRUE(vt::WriteAll(writeBack, "keep", 4));
  std::string before = vt::Sha256(own) + vt::Sha256(update) + vt::Sha256(writeBack);
  std::wstring other = own;
  for (wchar_t& c : other) c = towupper(c);  // the same file in other case
  for (const std::wstring& source : {own, update}) {
    for (const std::wstring& target : {own, other, update, std::wstring(writeBack)}) {
      EXPECT_EQ(-12, ImageConvertFileW(source.c_str(), target.c_str(), 1, 0, nullptr, nullptr))
          << vt::Narrow(source) << " -> " << vt::Narrow(target);
    }
  }
  EXPECT_EQ(before, vt::Sha256(own) + vt::Sha256(update) + vt::Sha256(writeBack));
  EXPECT_EQ(-12, ImageConvertFileW(vt::ToWin(d.dir + "/none.img").c_str(),
                                   vt::ToWin(d.dir + "/x.img").c_str(), 1, 0, nullptr, nullptr));
}

// A GUID as sgdisk prints it, in its on-disk byte order, as hex.
std::string GuidHex(const std::string& text) {
  std::string h;
  for (char c : text)
    if (isxdigit((unsigned char)c)) h += char(tolower(c));
  if (h.size() != 32) return "";
  auto swap = [&](size_t at, size_t bytes) {
    std::string part = h.substr(at, bytes * 2), out;
    for (size_t i = bytes; i-- > 0;) out += part.substr(i * 2, 2);
    h.replace(at, bytes * 2, out);
  };
  swap(0, 4);
  swap(8, 2);
  swap(12, 2);
  return h;
}

std::string After(const std::string& text, const std::string& label) {
  size_t at = text.find(label);
  return at == std::string::npos ? "" : text.substr(at + label.size(), 36);
}

// A clone onto a GPT disk points the boot store on that disk's EFI system
// partition at the disk's own identities, which the clone leaves as they
// are: its disk GUID and its partitions' GUIDs. (The engine on two images:
// a host volume's mount has no disk object for the partition to be
// mounted from.)
TEST(VolumeCopy, CloneOntoAGptDiskPointsItsStoreAtThatDisk) {
  const std::string bootmgr = "{9dea862c-5cdd-4e70-acc1-f32b344d4795}";
  std::string json = "{\"keys\": [{\"path\": \"Objects\\\\" + bootmgr +
                     "\\\\Description\", \"values\": [{\"name\": \"FirmwareVariable\", "
                     "\"fill\": [0, 336]}]}, {\"path\": \"Objects\\\\" +
                     bootmgr +
                     "\\\\Elements\\\\11000001\", \"values\": [{\"name\": \"Element\", "
                     "\"fill\": [0, 88]}]}]}";
  mi::Disk source = ct::MakeSource("source", "mbr2048");
  mi::Disk target = ct::MakeSource("target", "gpt-esp --esp-size 34", "raw", 32, json);
  {
    CMountedImage* from = OpenImageFileMount(source.path.c_str(), 0);
    CMountedImage* onto = OpenImageFileMount(target.path.c_str(), 2);
    ASSERT_TRUE(from && onto);
    EXPECT_EQ(VOLUME_COPY_DONE, CloneVolumeToDisk(from, onto, nullptr, nullptr, nullptr));
    DestroyImageMount(from);
    DestroyImageMount(onto);
  }

  std::string disk = target.unixPath, table, esp, data, out;
  vt::Sh("sgdisk -p " + vt::Q(disk), &table);
  esp = ct::GptInfo(disk, 1);
  data = ct::GptInfo(disk, 2);
  std::string diskGuid = GuidHex(After(table, "Disk identifier (GUID): "));
  std::string espGuid = GuidHex(After(esp, "Partition unique GUID: "));
  ASSERT_FALSE(diskGuid.empty());
  ASSERT_FALSE(espGuid.empty());
  EXPECT_TRUE(ct::GptClean(disk));
  ct::ExpectTreeOnVolume(disk, source, ct::Field(data, "First sector: "),
                         ct::Field(data, "Last sector: ") - ct::Field(data, "First sector: ") + 1);
  ASSERT_EQ(
      0, fmt::OnPartition(vt::ToWin(disk), 2048 * 512, 34 * 2048 * 512,
                          "fsck.fat -n $DEV >/dev/null && mcopy -o -i $DEV "
                          "::/EFI/Microsoft/Boot/BCD " +
                              vt::Q(target.dir + "/out.bcd") + " 2>/dev/null && /usr/bin/python3 " +
                              vt::Q(vt::SourceDirUnix() + "/tests/fixtures/mk-hive.py") +
                              " --dump " + vt::Q(target.dir + "/out.bcd"),
                          &out))
      << out;
  std::string element = std::string(32, '0') + "06000000" + std::string(8, '0') + "48000000" +
                        std::string(8, '0') + espGuid + std::string(16, '0') + diskGuid +
                        std::string(32, '0');
  EXPECT_NE(std::string::npos,
            out.find("V \\Objects\\" + bootmgr + "\\Elements\\11000001|Element|3|" + element))
      << out << "\nexpected " << element;
}

}  // namespace
