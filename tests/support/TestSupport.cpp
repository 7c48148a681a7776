#include "TestSupport.h"

#include <windows.h>
#include <gtest/gtest.h>

#include <cstdio>

namespace vt {

std::string SourceDirUnix() {
  return VRO_SOURCE_DIR_UNIX;
}
std::string TestDataDirUnix() {
  const char* env = getenv("VRO_TESTDATA");
  return env && *env ? env : VRO_TESTDATA_DIR_UNIX;
}
std::string BinaryDirUnix() {
  return VRO_BINARY_DIR_UNIX;
}
std::wstring SourceDir() {
  return ToWin(SourceDirUnix());
}

std::string Narrow(const std::wstring& s) {
  if (s.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, s.data(), (int)s.size(), nullptr, 0, nullptr, nullptr);
  std::string out(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, s.data(), (int)s.size(), &out[0], n, nullptr, nullptr);
  return out;
}

std::wstring Widen(const std::string& s) {
  if (s.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), (int)s.size(), nullptr, 0);
  std::wstring out(n, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), (int)s.size(), &out[0], n);
  return out;
}

std::string ToUnix(const std::wstring& winPath) {
  if (winPath.size() >= 2 && (winPath[0] == L'Z' || winPath[0] == L'z') && winPath[1] == L':') {
    std::string rest = Narrow(winPath.substr(2));
    for (char& c : rest)
      if (c == '\\') c = '/';
    return rest.empty() ? "/" : rest;
  }
  return Narrow(winPath);
}

std::wstring ToWin(const std::string& unixPath) {
  std::wstring w = L"Z:" + Widen(unixPath);
  for (wchar_t& c : w)
    if (c == L'/') c = L'\\';
  return w;
}

std::string Q(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

static std::string TestName() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "global";
  for (char& c : name)
    if (c == '/' || c == '\\') c = '_';
  return name;
}

std::string ExeName() {
  wchar_t buf[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH);
  std::wstring p(buf, n);
  size_t slash = p.find_last_of(L"\\/");
  if (slash != std::wstring::npos) p = p.substr(slash + 1);
  size_t dot = p.rfind(L'.');
  if (dot != std::wstring::npos) p = p.substr(0, dot);
  return Narrow(p);
}

std::string ScratchDirUnix() {
  std::string dir = BinaryDirUnix() + "/testtmp/" + ExeName() + "/" + TestName();
  // A small volume (SmallVolume) a stopped run left mounted below it is
  // unmounted first: rm cannot remove its mount point.
  std::string cmd = "for m in $(awk '$1 == \"vro-small\" {print $2}' /proc/mounts); do "
                    "case $m in " + Q(dir) + "/*) umount \"$m\";; esac; done; "
                    "rm -rf " + Q(dir) + " && mkdir -p " + Q(dir);
  // The shell is the one place that can remove what Linux tools left there.
  if (Sh(cmd) != 0) ADD_FAILURE() << "cannot make scratch folder " << dir;
  return dir;
}

std::wstring ScratchDir() {
  return ToWin(ScratchDirUnix());
}

std::string ScratchSubdirUnix(const std::string& name) {
  std::string dir = BinaryDirUnix() + "/testtmp/" + ExeName() + "/" + TestName() + "/" + name;
  if (Sh("rm -rf " + Q(dir) + " && mkdir -p " + Q(dir)) != 0)
    ADD_FAILURE() << "cannot make scratch folder " << dir;
  return dir;
}

// Wine starts a Linux program given by its absolute path, but does not hand
// back its exit code, so the script records it in a file beside its output.
int Sh(const std::string& command, std::string* output) {
  static LONG counter = 0;
  char tag[160];
  // The program's name too: a copy run in another Wine prefix against the
  // same build tree has a wineserver of its own, whose process ids repeat.
  snprintf(tag, sizeof tag, "%s_%lu_%ld", ExeName().c_str(), GetCurrentProcessId(),
           InterlockedIncrement(&counter));
  std::string base = BinaryDirUnix() + "/testtmp/sh/" + tag;
  std::wstring wbase = ToWin(base);
  CreateDirectoryW(ToWin(BinaryDirUnix() + "/testtmp").c_str(), nullptr);
  CreateDirectoryW(ToWin(BinaryDirUnix() + "/testtmp/sh").c_str(), nullptr);
  std::string script =
      "export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin\n"
      "export LC_ALL=C.UTF-8\n"
      "cd " +
      Q(SourceDirUnix()) +
      "\n"
      "( " +
      command + "\n) >" + Q(base + ".out") +
      " 2>&1 </dev/null\n"
      "echo $? >" +
      Q(base + ".rc.tmp") +
      "\n"
      "mv " +
      Q(base + ".rc.tmp") + " " + Q(base + ".rc") + "\n";
  if (!WriteAll(wbase + L".sh", script.data(), script.size())) return -1;

  std::wstring cmdline = L"/bin/sh " + Widen(base) + L".sh";
  STARTUPINFOW si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessW(nullptr, &cmdline[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
    return -1;
  // Wine starts a Linux program without a process handle, and what it
  // leaves in hThread then is no handle of ours: closing it would close
  // whatever handle of the test has that number (an open disk image).
  if (pi.hProcess) {
    WaitForSingleObject(pi.hProcess, INFINITE);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }

  std::vector<uint8_t> rc, out;
  // The process handle can be signalled before the shell has written its
  // last file (long before, for a slow command on a loaded machine): the
  // result file, written last, is what tells the command ended.
  for (int i = 0; i < 30000 && !ReadAll(wbase + L".rc", rc); i++) Sleep(10);
  ReadAll(wbase + L".out", out);
  if (output) output->assign(out.begin(), out.end());
  DeleteFileW((wbase + L".sh").c_str());
  DeleteFileW((wbase + L".out").c_str());
  DeleteFileW((wbase + L".rc").c_str());
  if (rc.empty()) return -1;
  return atoi(std::string(rc.begin(), rc.end()).c_str());
}

bool Fixture(const std::string& scriptAndArgs, std::string* output) {
  std::string out;
  int rc = Sh("sh " + Q(SourceDirUnix() + "/tests/fixtures") + "/" + scriptAndArgs, &out);
  if (output) *output = out;
  if (rc != 0) {
    ADD_FAILURE() << "fixture failed (" << rc << "): " << scriptAndArgs << "\n" << out;
    return false;
  }
  return true;
}

std::string ReaderView(const std::string& unixImage, long start) {
  std::string out;
  if (Sh("python3 " + Q(SourceDirUnix() + "/tests/fixtures/reader-view.py") + " " + Q(unixImage) +
             " " + std::to_string(start),
         &out) != 0 ||
      out.size() < 64)
    return "";
  return out.substr(0, 64);
}

bool ReadAll(const std::wstring& path, std::vector<uint8_t>& data) {
  data.clear();
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size;
  bool ok = GetFileSizeEx(h, &size) != 0;
  if (ok) {
    data.resize((size_t)size.QuadPart);
    size_t done = 0;
    while (ok && done < data.size()) {
      DWORD chunk = (DWORD)std::min<size_t>(data.size() - done, 1u << 24), got = 0;
      ok = ReadFile(h, data.data() + done, chunk, &got, nullptr) && got == chunk;
      done += got;
    }
  }
  CloseHandle(h);
  return ok;
}

bool WriteAll(const std::wstring& path, const void* data, size_t size) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  bool ok = true;
  size_t done = 0;
  while (ok && done < size) {
    DWORD chunk = (DWORD)std::min<size_t>(size - done, 1u << 24), put = 0;
    ok = WriteFile(h, p + done, chunk, &put, nullptr) && put == chunk;
    done += put;
  }
  CloseHandle(h);
  return ok;
}

bool WriteAll(const std::wstring& path, const std::vector<uint8_t>& data) {
  return WriteAll(path, data.data(), data.size());
}

bool FileExists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string Sha256(const std::wstring& path) {
  std::string out;
  if (Sh("sha256sum " + Q(ToUnix(path)) + " | cut -c1-64", &out) != 0) return "";
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

}  // namespace vt

namespace {

// Scratch folders of tests that passed are removed when the test ends, and
// the suite-level one when the whole program passed: a full run would
// otherwise leave gigabytes of disk images behind. Failed tests keep theirs
// for a look.
class ScratchCleaner : public ::testing::EmptyTestEventListener {
  void OnTestEnd(const ::testing::TestInfo& info) override {
    if (!info.result()->Passed() || info.result()->Skipped()) return;
    std::string name = std::string(info.test_suite_name()) + "." + info.name();
    for (char& c : name)
      if (c == '/' || c == '\\') c = '_';
    Remove(vt::BinaryDirUnix() + "/testtmp/" + vt::ExeName() + "/" + name);
  }
  void OnTestProgramEnd(const ::testing::UnitTest& unit) override {
    if (unit.Passed()) Remove(vt::BinaryDirUnix() + "/testtmp/" + vt::ExeName() + "/global");
  }
  static void Remove(const std::string& dir) {
    if (GetFileAttributesW(vt::ToWin(dir).c_str()) != INVALID_FILE_ATTRIBUTES)
      vt::Sh("rm -rf " + vt::Q(dir));
  }
};

struct ScratchCleanerInstaller {
  ScratchCleanerInstaller() {
    ::testing::UnitTest::GetInstance()->listeners().Append(new ScratchCleaner);
  }
} g_ScratchCleanerInstaller;

}  // namespace
