// The formatter's NTLDR boot code booted in qemu-system-i386: a disk whose
// active MBR partition is formatted with it starts a test NTLDR that checks
// every sector of itself arrived in order and reports the boot drive on the
// first serial port; the code's messages are read from the text screen.
#include "FormatTestUtil.h"

using namespace fmt;

namespace {

const uint64_t kMiB = 1ULL << 20;
const char kLoaded[] = "NTLDR loaded, drive 80.";

// Runs at 2000:0000. Sector k (1 <= k < the word at 0x1FC) starts with k
// and ends with its complement.
const char kNtldrSource[] = R"(.code16
    mov %dl, %bh
    mov $0x2000, %ax
    mov %ax, %ds
    mov 0x1FC, %cx
    mov $1, %si
    mov $0x2020, %ax
1:  cmp %cx, %si
    jae 2f
    mov %ax, %es
    cmp %si, %es:0
    jne 3f
    mov %si, %di
    not %di
    cmp %di, %es:510
    jne 3f
    add $0x20, %ax
    inc %si
    jmp 1b
2:  mov $good, %si
    call out
    mov %bh, %al
    shr $4, %al
    call digit
    mov %bh, %al
    call digit
    mov $end, %si
    call out
    jmp 4f
3:  mov $bad, %si
    call out
4:  cli
    hlt
    jmp 4b
digit:
    and $0xF, %al
    add $'0', %al
    cmp $'9', %al
    jbe 1f
    add $7, %al
1:  mov $0x3F8, %dx
    out %al, %dx
    ret
out:
    lodsb
    test %al, %al
    jz 1f
    mov $0x3F8, %dx
    out %al, %dx
    jmp out
1:  ret
good: .ascii "NTLDR loaded, drive \0"
end:  .ascii ".\r\n\0"
bad:  .ascii "NTLDR damaged\r\n\0"
)";

// The test NTLDR of `sectors` sectors less 100 bytes (1: just the code),
// as a file in the scratch folder; its Linux path.
std::string MakeNtldr(uint32_t sectors) {
  std::string dir = vt::ScratchSubdirUnix("ntldr");
  std::wstring source = vt::ToWin(dir + "/ntldr.S");
  EXPECT_TRUE(vt::WriteAll(source, kNtldrSource, sizeof kNtldrSource - 1));
  std::string out;
  EXPECT_EQ(0, vt::Sh("cd " + vt::Q(dir) +
                          " && i686-w64-mingw32-as --32 -o ntldr.o ntldr.S && "
                          "i686-w64-mingw32-objcopy -O binary -j .text ntldr.o ntldr.bin",
                      &out))
      << out;
  std::vector<uint8_t> code;
  EXPECT_TRUE(vt::ReadAll(vt::ToWin(dir + "/ntldr.bin"), code));
  std::vector<uint8_t> file(sectors * 512, 0);
  memcpy(file.data(), code.data(), code.size());
  uint16_t whole = uint16_t(sectors - 1);  // the last sector is cut short
  memcpy(&file[0x1FC], &whole, 2);
  for (uint32_t k = 1; k < sectors; ++k) {
    uint8_t* s = &file[k * 512];
    uint16_t stamp = uint16_t(k), back = uint16_t(~k);
    for (int j = 2; j < 510; ++j) s[j] = uint8_t(k * 7 + j);
    memcpy(s, &stamp, 2);
    memcpy(s + 510, &back, 2);
  }
  if (sectors > 1)
    file.resize(file.size() - 100);
  else
    file.resize(code.size());
  EXPECT_TRUE(vt::WriteAll(vt::ToWin(dir + "/NTLDR"), file));
  return dir + "/NTLDR";
}

// A disk whose one active partition starts at sector 63, formatted with the
// NTLDR loader (the formatter moves it to 64 and writes the MBR code).
struct BootDisk {
  std::wstring path;
  uint64_t offset, length;
};

BootDisk MakeBootDisk() {
  uint32_t count = uint32_t(24 * kMiB / 512 - 63);
  BootDisk d{MakeMbrDisk("boot.img", 24 * kMiB, 63, count), 64 * 512, uint64_t(count - 1) * 512};
  std::vector<uint8_t> mbr = ReadBytes(d.path, 0, 512);
  mbr[446] = 0x80;
  WriteBytes(d.path, 0, mbr);
  EXPECT_EQ(0, FormatFile(d.path, 0, 0, 1));
  return d;
}

// Runs `command` with $M the volume mounted by ntfs-3g (compression on).
int OnVolume(const BootDisk& d, const std::string& command, std::string* out = nullptr) {
  return OnPartition(d.path, d.offset, d.length,
                     "M=$(mktemp -d) && ntfs-3g -o compression $DEV $M || exit 98; (" + command +
                         "); rc=$?; umount $M; rmdir $M; exit $rc",
                     out);
}

// Boots the disk until `text` shows on the serial port or the screen; the
// test fails with what did show (also when the emulator is missing).
void ExpectBoot(const BootDisk& d, const std::string& text) {
  std::string out;
  EXPECT_EQ(0, vt::Sh("python3 " + vt::Q(vt::SourceDirUnix() + "/tests/fixtures/qemu-boot.py") +
                          " " + vt::Q(vt::ToUnix(d.path)) + " " + vt::Q(text),
                      &out))
      << out;
}

// The clusters of each run of `path`'s data, in order, as ntfsinfo lists
// them.
std::vector<uint64_t> RunClusters(const BootDisk& d, const std::string& path) {
  std::string out;
  EXPECT_EQ(0, OnPartition(d.path, d.offset, d.length, "ntfsinfo -v -F " + path + " $DEV", &out))
      << out;
  std::vector<uint64_t> lcns;
  size_t at = out.find("Runlist:");
  if (at == std::string::npos) return lcns;
  for (at = out.find('\n', at); at != std::string::npos; at = out.find('\n', at + 1)) {
    unsigned long long vcn, lcn, length;
    if (sscanf(out.c_str() + at + 1, " %llx %llx %llx", &vcn, &lcn, &length) != 3) break;
    lcns.push_back(lcn);
  }
  return lcns;
}

// Without NTLDR the loader says so; with 600 names around "NTLDR" in the
// root (its index in blocks) and an NTLDR written in five pieces between
// other files, the last one in a freed place before the others (five data
// runs, one going back; 150 KiB across 64 KiB segments), NTLDR runs whole
// with the boot drive.
TEST(NtfsBootLoader, FindsAFragmentedNtldrThroughTheRootIndex) {
  BootDisk d = MakeBootDisk();
  ExpectBoot(d, "NTLDR is missing");

  std::string ntldr = MakeNtldr(300), out;
  ASSERT_EQ(0, OnVolume(d,
                        "for i in $(seq 1 150); do for n in a-long-name-$i.txt NTLDR.$i "
                        "ntldq-$i z-long-name-$i; do echo $i > $M/$n || exit 1; done; done; "
                        "head -c 65536 /dev/zero > $M/hole || exit 1; "
                        "piece() { dd if=" +
                            vt::Q(ntldr) +
                            " bs=32768 skip=$1 count=1 status=none >> $M/NTLDR; }; "
                            "for p in 0 1 2 3; do piece $p && "
                            "head -c 8192 /dev/zero > $M/spacer$p || exit 1; done; "
                            "head -c 64M /dev/zero > $M/fill 2>/dev/null; rm $M/hole && piece 4",
                        &out))
      << out;
  ASSERT_NE(nullptr, FindAttribute(ReadMftRecord(d.path, d.offset, 5), 0xA0));
  ASSERT_EQ(0, OnPartition(d.path, d.offset, d.length,
                           "ntfscat $DEV /NTLDR | cmp - " + vt::Q(ntldr), &out))
      << out;
  std::vector<uint64_t> runs = RunClusters(d, "/NTLDR");
  ASSERT_EQ(5u, runs.size());
  ASSERT_LT(runs[4], runs[3]);
  ExpectBoot(d, kLoaded);
}

// A shell command giving the mounted root folder the Windows attributes
// (0x800: files made in it are compressed).
std::string SetRootAttributes(unsigned attributes) {
  return "python3 -c \"import os,sys; os.setxattr(sys.argv[1], 'system.ntfs_attrib_be', (" +
         std::to_string(attributes) + ").to_bytes(4, 'big'))\" $M";
}

// A compressed NTLDR is refused with its message; a small one held inside
// its record runs; an empty one is missing.
TEST(NtfsBootLoader, RefusesACompressedNtldrAndRunsAResidentOne) {
  BootDisk d = MakeBootDisk();
  std::string big = MakeNtldr(40), out;
  ASSERT_EQ(0, OnVolume(d, SetRootAttributes(0x810) + " && cp " + vt::Q(big) + " $M/NTLDR", &out))
      << out;
  ExpectBoot(d, "NTLDR is compressed");

  std::string small = MakeNtldr(1);
  ASSERT_EQ(
      0,
      OnVolume(d, SetRootAttributes(0x10) + " && rm $M/NTLDR && cp " + vt::Q(small) + " $M/NTLDR",
               &out))
      << out;
  ASSERT_EQ(0, OnPartition(d.path, d.offset, d.length, "ntfsinfo -v -F /NTLDR $DEV", &out)) << out;
  ASSERT_NE(std::string::npos, out.find("Resident: \t\t Yes")) << out;
  ExpectBoot(d, kLoaded);

  // An empty NTLDR is none.
  ASSERT_EQ(0, OnVolume(d, ": > $M/NTLDR", &out)) << out;
  ExpectBoot(d, "NTLDR is missing");
}

}  // namespace
