// Helpers shared by the test programs: scratch folders, Windows <-> Linux
// paths (Wine maps the Linux root to Z:), running the Linux fixture makers
// and independent checkers from inside a test, and whole-file I/O.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace vt {

// Repository and build folders as Linux paths and as Windows (Z:) paths.
std::string SourceDirUnix();
std::string BinaryDirUnix();
// ../shared/testdata beside the checkout, or $VRO_TESTDATA.
std::string TestDataDirUnix();
std::wstring SourceDir();

// "Z:\a\b" <-> "/a/b"; a Windows path on another drive is returned unchanged.
std::string ToUnix(const std::wstring& winPath);
std::wstring ToWin(const std::string& unixPath);
std::string Narrow(const std::wstring& s);  // UTF-8
std::wstring Widen(const std::string& s);   // from UTF-8

// The test program's file name without its extension.
std::string ExeName();

// An empty folder for the running test (made anew on each call for the same
// test), as a Windows path with no trailing separator.
std::wstring ScratchDir();
// A fresh folder `name` inside the current test's scratch folder, which is
// left as it is (so one test can hold several disks side by side).
std::string ScratchSubdirUnix(const std::string& name);
std::string ScratchDirUnix();

// Runs a command with /bin/sh on the Linux side and waits for it. Returns its
// exit code (or -1 when it could not be started); stdout and stderr together
// go to *output when given.
int Sh(const std::string& command, std::string* output = nullptr);

// Runs tests/fixtures/<script> with arguments through Sh; fails the current
// test (ADD_FAILURE) with the script's output when it exits non-zero.
bool Fixture(const std::string& scriptAndArgs, std::string* output = nullptr);

// Quotes a string for the shell.
std::string Q(const std::string& s);

bool ReadAll(const std::wstring& path, std::vector<uint8_t>& data);
bool WriteAll(const std::wstring& path, const void* data, size_t size);
bool WriteAll(const std::wstring& path, const std::vector<uint8_t>& data);
bool FileExists(const std::wstring& path);
std::string Sha256(const std::wstring& path);  // hex digest, "" on failure
// The hex SHA-256 of a disk image as a reader of the NTFS volume at sector
// `start` sees it: the clusters its $Bitmap marks free count as zeros
// (tests/fixtures/reader-view.py); "" on failure.
std::string ReaderView(const std::string& unixImage, long start);

// A small host volume (a tmpfs of its own, size as mount takes it: "3m")
// mounted at dir for the object's lifetime.
class SmallVolume {
 public:
  SmallVolume(const std::string& dir, const char* size) : m_dir(dir) {
    m_mounted = Sh("mkdir -p " + Q(dir) + " && mount -t tmpfs -o size=" + size + " vro-small " +
                   Q(dir)) == 0;
  }
  ~SmallVolume() {
    if (m_mounted) Sh("umount " + Q(m_dir));
  }
  SmallVolume(const SmallVolume&) = delete;
  SmallVolume& operator=(const SmallVolume&) = delete;
  bool Mounted() const { return m_mounted; }

 private:
  std::string m_dir;
  bool m_mounted;
};

}  // namespace vt
