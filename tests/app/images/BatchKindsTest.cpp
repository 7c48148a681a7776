// The batch commands through the real program on every image kind: files in
// and out, .reg export and import, a file as a value, and a write-back or
// update file merged into its base. What the program wrote is read back by
// qemu-img, ntfscat, mcopy, hivexget and hivexregedit.
#include <gtest/gtest.h>

#include "../BatchTestUtil.h"

using namespace bt;

namespace {

const DWORD kOk = 0;
const DWORD kFailed = DWORD(-12);
const DWORD kImportFailed = DWORD(-16);
const DWORD kVolumeFailed = DWORD(-2);

std::string RegTool() {
  return "/usr/bin/python3 " + vt::Q(vt::SourceDirUnix() + "/tests/app/reg-tool.py");
}

void WriteUtf16(const std::string& unixPath, const std::wstring& text) {
  std::vector<uint8_t> bytes = {0xFF, 0xFE};
  for (wchar_t c : text) {
    bytes.push_back(uint8_t(c));
    bytes.push_back(uint8_t(c >> 8));
  }
  EXPECT_TRUE(vt::WriteAll(vt::ToWin(unixPath), bytes));
}

// The host side of the commands: a file, a tree, .reg files (one of them
// bad, and a folder whose name matches the wildcard), a value's data.
void MakeInputs(const std::string& in) {
  ASSERT_EQ(
      0,
      vt::Sh(
          "mkdir -p " + vt::Q(in + "/tree/sub/deep") + " " + vt::Q(in + "/tree/empty") + " " +
          vt::Q(in + "/regs/folder.reg") + " && cd " + vt::Q(in) +
          " && printf 'injected\\n' > new.txt && printf 'merged' > merged.txt"
          " && head -c 150001 /dev/urandom > tree/a.bin && printf b > tree/sub/b.txt"
          " && printf 'c c' > tree/sub/deep/c.txt && head -c 5000 /dev/urandom > blob.bin"
          " && printf 'REGEDIT4\\r\\n\\r\\n[HKEY_LOCAL_MACHINE\\\\SOFTWARE\\\\Vro\\\\FromB]\\r\\n"
          "\"B\"=\"b-value\"\\r\\n' > regs/b.reg"
          " && printf 'This is no registry file\\r\\n' > regs/bad.reg"));
  WriteUtf16(in + "/one.reg",
             L"Windows Registry Editor Version 5.00\r\n\r\n"
             L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro\\Imported]\r\n"
             L"\"Single\"=\"one\"\r\n\"Count\"=dword:0000002a\r\n\r\n");
  WriteUtf16(in + "/regs/a.reg",
             L"Windows Registry Editor Version 5.00\r\n\r\n"
             L"[HKEY_LOCAL_MACHINE\\SYSTEM\\Vro\\FromA]\r\n\"A\"=\"a-value\"\r\n\r\n");
}

// The canonical form of a .reg file (keys and values, sorted).
std::string Canon(const std::string& regUnix) {
  std::string out;
  EXPECT_EQ(0, vt::Sh(RegTool() + " canon " + vt::Q(regUnix), &out)) << out;
  return out;
}

class BatchKinds : public ::testing::TestWithParam<Kind> {};

TEST_P(BatchKinds, FilesRegistryAndMerge) {
  const Kind& k = GetParam();
  Disk d = MakeDisk(k);
  std::string in = d.dir + "/in", out = d.dir + "/out";
  MakeInputs(in);
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(out)));
  std::wstring inW = vt::ToWin(in), outW = vt::ToWin(out);
  std::wstring base = ImageArgs(d.ImageWin());

  // ---- Read-only commands: extract a file and a tree, export a key. No
  // file of the image changes.
  std::string hashes = FolderHashes(d.disks);
  EXPECT_EQ(kOk, RunVro(base + L"\"/extract:\\Program Files\\App\\readme.txt::" + outW +
                        L"\\readme.txt\""));
  EXPECT_EQ(0, vt::Sh("cmp " + vt::Q(out + "/readme.txt") + " " +
                      vt::Q(d.tree + "/Program Files/App/readme.txt")));
  EXPECT_EQ(kOk, RunVro(base + L"\"/extract:\\Program Files::" + outW + L"\\pf\""));
  EXPECT_EQ(0, vt::Sh("diff -r " + vt::Q(out + "/pf") + " " + vt::Q(d.tree + "/Program Files")));
  EXPECT_EQ(kFailed, RunVro(base + L"\"/extract:\\No such file::" + outW + L"\\none\""));
  std::wstring exportCmd = L"\"/export:" + outW + L"\\vro.reg::HKEY_LOCAL_MACHINE\\SYSTEM\\Vro\"";
  EXPECT_EQ(kOk, RunVro(base + exportCmd));
  {
    std::string hx = out + "/hivexregedit.reg";
    ASSERT_EQ(0, vt::Sh("hivexregedit --export --prefix 'HKEY_LOCAL_MACHINE\\SYSTEM' " +
                        vt::Q(d.tree + "/Windows/System32/config/SYSTEM") + " '\\Vro' > " +
                        vt::Q(hx) + " 2>/dev/null"));
    std::string ours = Canon(out + "/vro.reg");
    EXPECT_NE(std::string::npos, ours.find("Vro\\Types|Blob|3|"));
    EXPECT_EQ(Canon(hx), ours);
  }
  EXPECT_EQ(hashes, FolderHashes(d.disks));

  // ---- Writing commands. Where the writes go: into a plain image; into a
  // new update file over an own image (later commands open that update
  // file); into the write-back file where the kind has one. A dynamic VHD
  // takes writes only through a write-back file: without one every writing
  // command is refused with its failure code and a line naming why before
  // its result, nothing written.
  std::wstring fixW = k.writeBack ? vt::ToWin(d.FixUnix()) : L"";
  std::wstring img = ImageArgs(d.ImageWin(), fixW);
  std::wstring injectFile = L"\"/inject:\\new.txt::" + inW + L"\\new.txt\"";
  if (std::string(k.format) == "vhd-dynamic") {
    const struct {
      std::wstring command;
      DWORD code;
    } refused[] = {
        {injectFile, kFailed},
        {L"\"/import:" + inW + L"\\one.reg\"", kImportFailed},
        {L"\"/importfile:HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro\\Blob=" + inW + L"\\blob.bin\"",
         kImportFailed},
        {L"-noupd /format /check", kVolumeFailed},
        {L"/size:200", kVolumeFailed},
        {L"/repair", kVolumeFailed},
        {L"/iadapter:2:VEN_8086&DEV_100E", kVolumeFailed},
    };
    for (const auto& r : refused) {
      SCOPED_TRACE(vt::Narrow(r.command));
      std::string printed;
      EXPECT_EQ(r.code, RunVro(base + r.command, &printed));
      EXPECT_EQ(0u, printed.find(vt::Narrow(d.ImageWin()) +
                                 ": a dynamic VHD takes writes only through a write-back file "
                                 "(-fix:): it is read as it is, nothing is written to it\r\n"))
          << printed;
      for (const char* noise : {"failed with", "error 19", "Read-only", "can take at most"})
        EXPECT_EQ(std::string::npos, printed.find(noise)) << printed;
      EXPECT_EQ(hashes, FolderHashes(d.disks));
    }
  }
  EXPECT_EQ(kOk, RunVro(img + injectFile));
  std::string readImage = d.image, readFix;
  if (k.own && !k.writeBack) {
    readImage = d.image + "_01.Upd";
    ASSERT_TRUE(vt::FileExists(vt::ToWin(readImage)));
    img = ImageArgs(vt::ToWin(readImage));
  }
  if (k.writeBack) {
    readFix = d.FixUnix();
    ASSERT_TRUE(vt::FileExists(vt::ToWin(readFix)));
  }
  if (k.own || k.writeBack) {
    // The base itself is left as it was.
    EXPECT_NE(std::string::npos, hashes.find(vt::Sha256(d.ImageWin())));
  }
  // "/no" keeps an existing target.
  EXPECT_EQ(kOk, RunVro(img + L"/no \"/inject:\\new.txt::" + inW + L"\\merged.txt\""));
  EXPECT_EQ(kOk, RunVro(img + L"\"/inject:\\Injected::" + inW + L"\\tree\""));
  EXPECT_EQ(kFailed, RunVro(img + L"\"/inject:\\x::" + inW + L"\\missing.txt\""));
  EXPECT_EQ(kOk, RunVro(img + L"\"/import:" + inW + L"\\one.reg\""));
  // One bad file among several: the others are imported all the same.
  EXPECT_EQ(kImportFailed, RunVro(img + L"\"/import:" + inW + L"\\regs\\*.reg\""));
  EXPECT_EQ(kOk, RunVro(img + L"\"/importfile:HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro\\Imported\\Blob=" +
                        inW + L"\\blob.bin\""));

  {
    std::string flat = Flatten(d, readImage, readFix, d.dir + "/flat.raw");
    VolumeReader volume(d, flat);
    EXPECT_TRUE(volume.Same("/new.txt", in + "/new.txt"));
    EXPECT_TRUE(volume.Same("/Injected/a.bin", in + "/tree/a.bin"));
    EXPECT_TRUE(volume.Same("/Injected/sub/b.txt", in + "/tree/sub/b.txt"));
    EXPECT_TRUE(volume.Same("/Injected/sub/deep/c.txt", in + "/tree/sub/deep/c.txt"));
    EXPECT_TRUE(volume.Same("/Program Files/App/data.bin", d.tree + "/Program Files/App/data.bin"));
    {
      std::string software = out + "/SOFTWARE", system = out + "/SYSTEM";
      ASSERT_TRUE(volume.Cat("/Windows/System32/config/SOFTWARE", software));
      ASSERT_TRUE(volume.Cat("/Windows/System32/config/SYSTEM", system));
      EXPECT_EQ("one", rt::HivexGet(software, "\\Vro\\Imported", "Single"));
      EXPECT_EQ("b-value", rt::HivexGet(software, "\\Vro\\FromB", "B"));
      EXPECT_EQ("a-value", rt::HivexGet(system, "\\Vro\\FromA", "A"));
      EXPECT_EQ("SYSTEM", rt::HivexGet(system, "\\Vro", "Hive"));
      std::string dump, blob;
      EXPECT_EQ(0, vt::Sh("/usr/bin/python3 " +
                              vt::Q(vt::SourceDirUnix() + "/tests/fixtures/mk-hive.py") +
                              " --dump " + vt::Q(software) + " | grep '|Blob|'",
                          &dump));
      EXPECT_EQ(0, vt::Sh("od -An -v -tx1 " + vt::Q(in + "/blob.bin") + " | tr -d ' \\n'", &blob));
      EXPECT_EQ("V \\Vro\\Imported|Blob|3|" + blob + "\n", dump);
    }
  }

  // Reading back through the program, write-back or update file included,
  // changes nothing either.
  hashes = FolderHashes(d.disks);
  EXPECT_EQ(kOk, RunVro(img + L"\"/extract:\\Injected::" + outW + L"\\back\""));
  EXPECT_EQ(0, vt::Sh("diff -r " + vt::Q(out + "/back") + " " + vt::Q(in + "/tree")));
  {
    EXPECT_EQ(kOk, RunVro(img + L"\"/export:" + outW +
                          L"\\imported.reg::HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro\\Imported\""));
    EXPECT_NE(std::string::npos, Canon(out + "/imported.reg").find("Imported|Count|4|2a000000"));
  }
  EXPECT_EQ(hashes, FolderHashes(d.disks));

  // ---- Merge. A plain image gets a write-back file for the occasion.
  std::string overlay = readFix;
  if (k.own && !k.writeBack) overlay = readImage;
  if (overlay.empty()) {
    overlay = d.FixUnix();
    std::string before = vt::Sha256(d.ImageWin());
    EXPECT_EQ(kOk, RunVro(ImageArgs(d.ImageWin(), vt::ToWin(overlay)) +
                          L"\"/inject:\\merged.txt::" + inW + L"\\merged.txt\""));
    EXPECT_EQ(before, vt::Sha256(d.ImageWin()));
    ASSERT_TRUE(vt::FileExists(vt::ToWin(overlay)));
  }
  std::string baseHash = vt::Sha256(d.ImageWin());
  std::string printed;
  DWORD merged = RunVro(ImageArgs(d.ImageWin(), vt::ToWin(overlay)) + L"/merge", &printed);
  EXPECT_EQ(kOk, merged) << printed;
  EXPECT_FALSE(vt::FileExists(vt::ToWin(overlay)));
  // A dynamic VHD took the blocks the merge needed: qemu-img reads the
  // merged files out of it (Flatten, below) and the volume in it is sound.
  EXPECT_NE(baseHash, vt::Sha256(d.ImageWin()));
  std::string flat = Flatten(d, d.image, "", d.dir + "/merged.raw");
  VolumeReader volume(d, flat);
  if (!k.fat) {
    std::string out;
    EXPECT_EQ(0, vt::Sh("ntfsfix -n " + vt::Q(flat + ".part") + " 2>&1", &out)) << out;
  }
  EXPECT_TRUE(volume.Same("/new.txt", in + "/new.txt"));
  if (k.own || k.writeBack)
    EXPECT_TRUE(volume.Same("/Injected/sub/deep/c.txt", in + "/tree/sub/deep/c.txt"));
  else
    EXPECT_TRUE(volume.Same("/merged.txt", in + "/merged.txt"));
}

const Kind kKinds[] = {
    {"RawMbr", "mbr2048", "raw", false, false, false},
    {"Gpt", "gpt", "raw", false, false, false},
    {"VhdFixed", "mbr63", "vhd-fixed", false, false, false},
    {"VhdDynamic", "mbr2048", "vhd-dynamic", false, false, true},
    {"OwnSparse", "mbr2048", "raw", false, true, false},
    {"OwnWithWriteBack", "mbr2048", "raw", false, true, true},
    {"Fat32", "mbr2048", "raw", true, false, false},
    {"NtfsVolume", "none", "raw", false, false, false},  // mkntfs on the whole file
};

INSTANTIATE_TEST_SUITE_P(Images, BatchKinds, ::testing::ValuesIn(kKinds),
                         [](const ::testing::TestParamInfo<Kind>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
