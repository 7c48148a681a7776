// A host program written from the README alone: the header block of its
// exports section, taken out of README.md as it stands, compiled by the C
// cross-compiler into a small host that loads the built program, calls
// every export with the parameters and values the header gives, and
// reports what it got. A wrong parameter order, calling convention, result
// value or overwrite mode in the README fails here.
#include <windows.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BatchTestUtil.h"
#include "ProgramImage.h"
#include "TestSupport.h"

namespace {

// The first ```c block of the README's exports section; empty when none.
std::string ReadmeExportHeader() {
  std::vector<uint8_t> bytes;
  if (!vt::ReadAll(vt::SourceDir() + L"\\README.md", bytes)) return "";
  std::string readme(bytes.begin(), bytes.end());
  size_t section = readme.find("\n### Exports");
  if (section == std::string::npos) return "";
  size_t open = readme.find("\n```c\n", section);
  size_t next = readme.find("\n## ", section + 1);
  if (open == std::string::npos || (next != std::string::npos && open > next)) return "";
  open += 6;
  size_t close = readme.find("\n```", open);
  return close == std::string::npos ? "" : readme.substr(open, close + 1 - open);
}

// The host: argv[1] the program, argv[2] an image, argv[3] a folder for its
// files. One line per call; exit code 0 when every result is the one the
// header promises.
const char kHost[] = R"(#include <stdio.h>
#include "vromount.h"

static HMODULE program;
static int failures, progressCalls;

#define LOOK(type, name) type name = (type)(void (*)(void))GetProcAddress(program, #name)
#define EXPECT(call, want)                                              \
  do {                                                                  \
    int got_ = (call);                                                  \
    printf("%-22s %4d (want %d)\n", #call, got_, (int)(want));          \
    if (got_ != (want)) ++failures;                                     \
  } while (0)

static int __stdcall Progress(DWORD done, DWORD total, void *context) {
  if (!context && done <= total) ++progressCalls;
  return 1;
}
static int __stdcall Cancel(DWORD done, DWORD total, void *context) {
  (void)done, (void)total, (void)context;
  return 0;
}

static WCHAR *In(const WCHAR *folder, const WCHAR *name) {
  static WCHAR paths[64][MAX_PATH]; /* one for each call of the host */
  static int next;
  WCHAR *p = paths[next++ % 64];
  lstrcpynW(p, folder, MAX_PATH - 40);
  lstrcatW(p, L"\\");
  lstrcatW(p, name);
  return p;
}

int main(void) {
  int argc;
  WCHAR **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv || argc != 4) return 2;
  const WCHAR *image = argv[2], *out = argv[3];
  program = LoadLibraryW(argv[1]);
  if (!program) return 3;
  LOOK(VroInitialize, Initialize);
  LOOK(VroExtractFile, ImageExtractFileW);
  LOOK(VroInjectFile, ImageInjectFileW);
  LOOK(VroExportRegistry, ImageExportRegistryW);
  LOOK(VroImportRegistry, ImageImportRegistryW);
  LOOK(VroCreateDisk, ImageCreateDiskW);
  LOOK(VroFormatPartition, ImageFormatPartitionW);
  LOOK(VroSetPartitionSize, ImageSetPartitionSizeW);
  LOOK(VroCheckPartition, ImageCheckPartitionW);
  LOOK(VroRepairPartition, ImageRepairPartitionW);
  LOOK(VroBackupDisk, ImageBackupDiskW);
  LOOK(VroCloneDisk, ImageCloneDiskW);
  LOOK(VroConvertFile, ImageConvertFileW);
  LOOK(VroAddAdapter, ImageAddAdapterW);
  LOOK(VroHardwarePnp, ImageHardwarePnpW);
  if (!Initialize || !ImageExtractFileW || !ImageInjectFileW || !ImageExportRegistryW ||
      !ImageImportRegistryW || !ImageCreateDiskW || !ImageFormatPartitionW ||
      !ImageSetPartitionSizeW || !ImageCheckPartitionW || !ImageRepairPartitionW ||
      !ImageBackupDiskW || !ImageCloneDiskW || !ImageConvertFileW || !ImageAddAdapterW ||
      !ImageHardwarePnpW)
    return 4;
  const WCHAR *copy = In(out, L"copy.vmd"), *missing = In(out, L"missing.img");

  EXPECT(ImageExtractFileW(image, L"", 0, L"\\Windows", In(out, L"x"), VRO_OVERWRITE_ALWAYS),
         VRO_NOT_OPENED);  /* before Initialize */
  DWORD version = Initialize(program, LoadLibraryA, GetProcAddress);
  printf("version %lu\n", version);
  if (!version) return 5;
  EXPECT(Initialize(program, LoadLibraryA, GetProcAddress), (int)version);
  EXPECT(ImageExtractFileW(image, L"", 0, L"\\Program Files\\App\\readme.txt",
                           In(out, L"readme.txt"), VRO_OVERWRITE_ALWAYS), VRO_OK);
  EXPECT(ImageExportRegistryW(image, L"", 0, L"HKEY_LOCAL_MACHINE\\SYSTEM\\Vro",
                              In(out, L"vro.reg")), VRO_OK);
  EXPECT(ImageImportRegistryW(image, L"", 0, In(out, L"none*.reg")), VRO_NOT_OPENED);
  EXPECT(ImageImportRegistryW(image, L"", 0, In(out, L"bad.reg")), VRO_IMPORT_FAILED);
  EXPECT(ImageConvertFileW(image, copy, 0, 0, Progress, NULL), VRO_OK);
  EXPECT(progressCalls > 0, 1);
  EXPECT(ImageCheckPartitionW(copy, L"", 0), VRO_OK);
  EXPECT(ImageRepairPartitionW(missing, L"", 0), VRO_NOT_OPENED);
  /* Into the copy's first update file; the kept target stays as it is. */
  EXPECT(ImageInjectFileW(copy, L"", 0, L"\\Program Files\\App\\readme.txt",
                          In(out, L"note.txt"), VRO_OVERWRITE_NEVER), VRO_OK);
  EXPECT(ImageInjectFileW(copy, L"", 0, L"\\note.txt", In(out, L"note.txt"),
                          VRO_OVERWRITE_NEWER), VRO_OK);
  EXPECT(ImageSetPartitionSizeW(copy, L"", 0, 0, 0), VRO_BAD_ARGUMENT);
  EXPECT(ImageSetPartitionSizeW(missing, L"", 0, 100, 0), VRO_NOT_OPENED);
  EXPECT(ImageFormatPartitionW(missing, L"", 0), VRO_NOT_OPENED);
  EXPECT(ImageCreateDiskW(In(out, L"new.vmd"), 0), VRO_BAD_ARGUMENT);
  EXPECT(ImageConvertFileW(image, In(out, L"cancel.img"), 1, 0, Cancel, NULL), VRO_BAD_ARGUMENT);
  EXPECT(GetFileAttributesW(In(out, L"cancel.img")) == INVALID_FILE_ATTRIBUTES, 1);
  EXPECT(ImageConvertFileW(image, image, 0, 0, NULL, NULL), VRO_FAILED);
  EXPECT(ImageBackupDiskW(L'C', L"", 0, 0, NULL, NULL), VRO_FAILED);
  EXPECT(ImageCloneDiskW(L'C', L'c', NULL, NULL), VRO_FAILED);
  EXPECT(ImageAddAdapterW(missing, L"", 0, 2, L"VEN_8086&DEV_100E", NULL, NULL), VRO_VOLUME_FAILED);
  EXPECT(ImageHardwarePnpW(NULL, 0, 0, 2, 0, L"VEN_8086&DEV_100E", 7, 0x0A000007, NULL),
         VRO_VOLUME_FAILED);
  printf("failures %d\n", failures);
  return failures ? 1 : 0;
}
)";

// Runs a Windows program and waits for it (up to five minutes); its output
// goes to a file.
bool RunHost(const std::wstring& line, const std::wstring& output, DWORD& exitCode) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE out = CreateFileW(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                           0, nullptr);
  if (out == INVALID_HANDLE_VALUE) return false;
  STARTUPINFOW si = {sizeof si};
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = si.hStdError = out;
  PROCESS_INFORMATION pi;
  std::wstring text = line;
  bool ok =
      CreateProcessW(nullptr, &text[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi) != 0;
  CloseHandle(out);
  if (!ok) return false;
  ok = WaitForSingleObject(pi.hProcess, 300000) == WAIT_OBJECT_0 &&
       GetExitCodeProcess(pi.hProcess, &exitCode);
  if (!ok) TerminateProcess(pi.hProcess, 1);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return ok;
}

TEST(ReadmeHost, HostBuiltFromTheReadmeHeaderCallsEveryExport) {
  const std::string header = ReadmeExportHeader();
  ASSERT_NE(std::string::npos, header.find("ImageSetPartitionSizeW")) << header;
  const std::string dir = vt::BinaryDirUnix() + "/testtmp/test_app/ReadmeHost";
  bt::Disk disk = bt::MakeDisk({"RawMbr", "mbr2048", "raw", false, false, false}, dir + "/disk");
  const std::string out = dir + "/out";
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(out)));
  ASSERT_TRUE(vt::WriteAll(vt::ToWin(dir + "/vromount.h"), header.data(), header.size()));
  ASSERT_TRUE(vt::WriteAll(vt::ToWin(dir + "/host.c"), kHost, sizeof kHost - 1));
  ASSERT_EQ(0, vt::Sh("printf 'Windows Registry Editor Version 5.00\\r\\n\\r\\n"
                      "[HKEY_LOCAL_MACHINE\\\\SYSTEM\\\\Host]\\r\\n\"Bad\"=hex:zz\\r\\n'"
                      " | iconv -t utf-16 > " +
                      vt::Q(out + "/bad.reg") + " && printf 'note' > " + vt::Q(out + "/note.txt")));
  std::string compiler;
  ASSERT_EQ(0,
            vt::Sh("cd " + vt::Q(dir) +
                       " && " VRO_HOST_CC " -std=c99 -Wall -Wextra -Werror -O1 -o host.exe host.c",
                   &compiler))
      << compiler;

  DWORD exitCode = 0xDEADBEEF;
  std::wstring line = L"\"" + vt::ToWin(dir + "/host.exe") + L"\" \"" + apptest::ProgramPath() +
                      L"\" \"" + disk.ImageWin() + L"\" \"" + vt::ToWin(out) + L"\"";
  ASSERT_TRUE(RunHost(line, vt::ToWin(dir + "/host.txt"), exitCode));
  std::string report;
  vt::Sh("cat " + vt::Q(dir + "/host.txt"), &report);
  EXPECT_EQ(0u, exitCode) << report;

  // What the calls wrote, read by other means: the extracted file against
  // the tree, the export's text, the injected file in the copy's update
  // file through another export of this process's own program.
  EXPECT_EQ(0, vt::Sh("cmp " + vt::Q(out + "/readme.txt") + " " +
                      vt::Q(disk.tree + "/Program Files/App/readme.txt")));
  std::string reg;
  vt::Sh("iconv -f utf-16 -t utf-8 " + vt::Q(out + "/vro.reg"), &reg);
  EXPECT_NE(std::string::npos, reg.find("[HKEY_LOCAL_MACHINE\\SYSTEM\\Vro]")) << reg;
  EXPECT_EQ(0, vt::Sh("ls " + vt::Q(out) + " | grep -qx 'copy.vmd_01.Upd'"));
}

}  // namespace
