// A hive save cut off at every one of its writes and flushes (the write
// refused, or half done and the process gone): the volume then holds the
// old hive or the new one, for the program's own load and for hivex after a
// replay of the logs as Windows would do it; a save after that writes the
// new hive with equal sequence numbers and a sound checksum.
#include <windows.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../FacadeTestUtil.h"
#include "TestSupport.h"
#include "../hive/RealHives.h"
#include "image/mount/MountedImage.h"
#include "registry/HiveFileStore.h"
#include "registry/RegHive.h"

namespace {

const wchar_t kSoftware[] = L"\\Windows\\System32\\config\\SOFTWARE";

// Passes everything to the volume's store until its N-th write, growth or
// flush (counted from 1): that one fails, a torn write puts its first half on
// the disk first, and nothing after it reaches the disk (the process is
// gone). N = 0 counts without failing.
class FaultyStore : public HiveFileStore {
 public:
  FaultyStore(HiveFileStore& inner, int failAt, bool torn)
      : inner_(inner), failAt_(failAt), torn_(torn) {}
  int ReadWhole(const std::wstring& path, std::vector<uint8_t>& out) override {
    return inner_.ReadWhole(path, out);
  }
  bool Write(const std::wstring& path, const void* data, size_t count, uint64_t offset) override {
    if (!Next()) {
      size_t half = count / 2 / 512 * 512;
      if (torn_ && ops_ == failAt_ && half) inner_.Write(path, data, half, offset);
      return false;
    }
    return inner_.Write(path, data, count, offset);
  }
  bool Reserve(const std::wstring& path, uint64_t size) override {
    return Next() && inner_.Reserve(path, size);
  }
  bool Flush() override { return Next() && inner_.Flush(); }
  void Stamp(const std::wstring& path) override {
    if (ops_ < failAt_ || !failAt_) inner_.Stamp(path);
  }
  int ops_ = 0;

 private:
  bool Next() {
    ++ops_;
    return !failAt_ || ops_ < failAt_;
  }
  HiveFileStore& inner_;
  int failAt_;
  bool torn_;
};

std::vector<uint8_t> Big() {
  std::vector<uint8_t> big(300000);
  for (size_t i = 0; i < big.size(); i++) big[i] = (uint8_t)(i * 13 + 7);
  return big;
}

// The change a save writes: a new value text in a page of its own and a big
// value that makes the hive grow.
void Change(CRegHive& h) {
  std::vector<uint8_t> text = rt::Utf16z(L"changed");
  ASSERT_EQ(REG_STATUS_OK, h.SetValue(L"Vro", L"Hive", text.data(), (uint32_t)text.size(), 1));
  std::vector<uint8_t> big = Big();
  ASSERT_EQ(REG_STATUS_OK, h.SetValue(L"Vro", L"Big", big.data(), (uint32_t)big.size(), 3));
}

// "old" or "new" by the program's own load, anything else a failure.
std::string ProgramView(CMountedImage& m) {
  CRegHive h;
  if (h.OpenFromNtfs(m.NtfsVolume(), kSoftware) != 1) return "no hive";
  if (h.IsReadOnly()) return "read-only";
  uint32_t type = 0;
  RegValueBuf* buf = nullptr;
  std::string view = "damaged";
  if (h.QueryValue(L"Vro", L"Hive", &type, &buf) == REG_STATUS_OK) {
    std::wstring v((const wchar_t*)buf->data);
    free(buf);
    buf = nullptr;
    bool big = h.QueryValue(L"Vro", L"Big", &type, &buf) == REG_STATUS_OK &&
               buf->length == Big().size() && memcmp(buf->data, Big().data(), Big().size()) == 0;
    if (v == L"SOFTWARE" && h.QueryValue(L"Vro", L"Big", &type, nullptr) != REG_STATUS_OK)
      view = "old";
    else if (v == L"changed" && big)
      view = "new";
  }
  free(buf);
  h.Discard();
  return view;
}

// The same read by hivex from the files ntfscat takes off the disk, after
// the logs were replayed (by the fixture's own replay) when the base block
// says a write was cut off. clean: the base block needed no replay.
std::string HivexView(const rt::WinDisk& d, bool* clean) {
  std::string dir = d.dir + "/x";
  std::string part = d.unixPath + ".part";
  std::string out;
  int r = vt::Sh(
      "set -e; rm -rf " + vt::Q(dir) + "; mkdir " + vt::Q(dir) + "; cd " + vt::Q(dir) +
          "; dd if=" + vt::Q(d.unixPath) + " of=" + vt::Q(part) + " bs=512 skip=" +
          std::to_string(d.start) + " count=" + std::to_string(rt::kDiskMiB * 2048) +
          " status=none; ntfscat " + vt::Q(part) +
          " /Windows/System32/config/SOFTWARE > h; logs=; for l in LOG1 LOG2; do"
          " if ntfscat " + vt::Q(part) + " /Windows/System32/config/SOFTWARE.$l > h.$l"
          " 2>/dev/null; then logs=\"$logs h.$l\"; fi; done; set -- $(" + rh::HiveLogsPy() +
          " seq h); if [ \"$1\" = \"$2\" ] && [ \"$3\" = 1 ]; then cp h r; echo clean; else " +
          rh::HiveLogsPy() + " recover h r $logs >/dev/null; echo replayed; fi",
      &out);
  if (r != 0) return "no replay: " + out;
  *clean = out.find("clean") != std::string::npos;
  std::string hive = dir + "/r";
  std::string hiveText = rt::HivexGet(hive, "\\Vro", "Hive");
  std::string big;
  bool hasBig = vt::Sh("printf 'cd \\\\Vro\\nlsval\\n' | hivexsh " + vt::Q(hive) + " 2>&1", &big) == 0 &&
                big.find("\"Big\"=") != std::string::npos;
  if (hiveText == "SOFTWARE" && !hasBig) return "old";
  if (hiveText == "changed" && hasBig) return "new";
  return "hivex: " + hiveText + " / " + big.substr(0, 200);
}

// Opens the disk's SOFTWARE, changes it and saves it through a store that
// fails at operation failAt (0 never); the save's result, the operations
// it asked for and what the program's own load finds after it.
int SaveChanged(const rt::WinDisk& d, int failAt, bool torn, int* ops, std::string* seen) {
  CMountedImage m;
  EXPECT_EQ(3, m.OpenImage(d.path.c_str(), nullptr, 0, 2));
  CRegHive h;
  EXPECT_EQ(1, h.OpenFromNtfs(m.NtfsVolume(), kSoftware));
  Change(h);
  NtfsHiveStore volume(m.NtfsVolume());
  FaultyStore faulty(volume, failAt, torn);
  int r = h.SaveThrough(faulty);
  *ops = faulty.ops_;
  EXPECT_EQ(r != HIVE_SAVE_WRITTEN, h.IsDirty()) << "a hive not saved stays dirty";
  *seen = ProgramView(m);
  h.Discard();
  return r;
}

}  // namespace

TEST(HiveSave, CutOffAtAnyWriteLeavesTheOldOrTheNewHive) {
  rt::WinDisk d = rt::MakeWinDisk("--no-kernel");
  std::string pristine = d.unixPath + ".pristine";
  ASSERT_EQ(0, vt::Sh("cp --sparse=always " + vt::Q(d.unixPath) + " " + vt::Q(pristine)));

  // A whole save, counted: the log, the hive's growth, the base block twice
  // and the pages, each flushed.
  int total = 0;
  std::string seen;
  ASSERT_EQ(HIVE_SAVE_WRITTEN, SaveChanged(d, 0, false, &total, &seen));
  EXPECT_EQ("new", seen);
  bool clean = false;
  EXPECT_EQ("new", HivexView(d, &clean));
  EXPECT_TRUE(clean) << "a finished save has equal sequence numbers and a sound checksum";
  ASSERT_GE(total, 12);

  for (int torn = 0; torn < 2; torn++) {
    for (int n = 1; n <= total; n++) {
      SCOPED_TRACE("operation " + std::to_string(n) + (torn ? " torn" : " refused"));
      ASSERT_EQ(0, vt::Sh("cp --sparse=always " + vt::Q(pristine) + " " + vt::Q(d.unixPath)));
      int ops = 0;
      EXPECT_EQ(HIVE_SAVE_FAILED, SaveChanged(d, n, torn != 0, &ops, &seen));
      EXPECT_TRUE(seen == "old" || seen == "new") << seen;
      seen = HivexView(d, &clean);
      EXPECT_TRUE(seen == "old" || seen == "new") << seen;
      // The next save over what the cut left writes the new hive whole.
      {
        CMountedImage m;
        ASSERT_EQ(3, m.OpenImage(d.path.c_str(), nullptr, 0, 2));
        CRegHive h;
        ASSERT_EQ(1, h.OpenFromNtfs(m.NtfsVolume(), kSoftware));
        Change(h);
        EXPECT_EQ(HIVE_SAVE_WRITTEN, h.SaveToNtfs());
        h.Discard();
        EXPECT_EQ("new", ProgramView(m));
      }
      EXPECT_EQ("new", HivexView(d, &clean));
      EXPECT_TRUE(clean);
    }
  }
}
