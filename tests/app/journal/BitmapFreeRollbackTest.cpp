// A plain image whose $Bitmap marks free clusters its records use (made by
// tests/fixtures/ntfs-bitmap-damage.py): a command cut off at every write it
// sends to the image or its journal (the write failing, the process stopped
// there, a flush failing) leaves, once the next open rolled it back, every
// file as ntfs-3g read it before, or the whole command. The journal's rule
// for clusters free when the command began must keep the old bytes of
// clusters a record uses, whatever $Bitmap says.
#include <gtest/gtest.h>

#include <functional>

#include "../../image/MountedImageTestUtil.h"
#include "../../image/WriteFaults.h"
#include "TestSupport.h"
#include "image/copy/TreeCopy.h"
#include "image/mount/MountedImage.h"
#include "image/stack/MountRw.h"

namespace {

// The volume alone, 24 MiB: a root folder whose index has blocks, and the
// file \Data\one.bin of 300 KiB.
struct Volume {
  std::string dir, tree, image, saved;
  explicit Volume(const std::string& damage) {
    dir = vt::ScratchDirUnix();
    tree = dir + "/tree";
    image = dir + "/disk.img";
    saved = dir + "/saved.img";
    EXPECT_EQ(0, vt::Sh("mkdir -p " + vt::Q(tree + "/Data") + " && cd " + vt::Q(tree) +
                        " && head -c 307200 /dev/urandom > Data/one.bin && for i in $(seq 10 49);"
                        " do head -c $((i * 97)) /dev/urandom > a-file-in-the-root-with-a-long-"
                        "name-$i.dat; done"));
    EXPECT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(image) + " --layout none --size 24 --tree " +
                            vt::Q(tree)));
    std::string out;
    EXPECT_EQ(0, vt::Sh("python3 tests/fixtures/ntfs-bitmap-damage.py " + vt::Q(image) + " " +
                            damage + " && cp " + vt::Q(image) + " " + vt::Q(saved),
                        &out))
        << out;
  }
  std::wstring Path() const { return vt::ToWin(image); }
  void Restore() const { ASSERT_EQ(0, vt::Sh("cp " + vt::Q(saved) + " " + vt::Q(image))); }
  // The paths of the tree's files that ntfs-3g does not read back as the
  // tree holds them, or (for `changed`) as `after` holds it either.
  std::string Unread(const std::string& changed = "", const std::string& after = "") const {
    // The next open rolls back what a journal beside the image names.
    {
      _VROH_MOUNT_RW d;
      EXPECT_LT(0, d.OpenChain(Path().c_str(), L"", 0));
    }
    std::string out;
    vt::Sh("cd " + vt::Q(tree) + " && find . -type f | while read -r f; do ntfscat " +
               vt::Q(image) + " \"${f#.}\" > " + vt::Q(dir + "/read") + " 2>/dev/null; cmp -s " +
               vt::Q(dir + "/read") + " \"$f\" || { [ \"${f#.}\" = " + vt::Q(changed) +
               " ] && cmp -s " + vt::Q(dir + "/read") + " " + vt::Q(after.empty() ? "/" : after) +
               "; } || echo \"$f\"; done",
           &out);
    return out;
  }
};

// Runs the command on the image opened for writing, cut off at write (or
// flush) n as `mode` says; true when it reported done.
bool Run(const Volume& v, it::WriteFaults::Mode mode, int n,
         const std::function<bool(CMountedImage&)>& command, int* writes, int* flushes) {
  CMountedImage m;
  EXPECT_LE(0, m.OpenImage(v.Path().c_str(), nullptr, 0, 2));
  it::WriteFaults faults(mode, n);
  bool ok = command(m);
  bool done = m.Close(ok) && ok;
  *writes = faults.Count();
  *flushes = faults.Flushes();
  return done;
}

// The command whole, then cut off at each of its writes and flushes.
void ExpectEveryFileAfterEveryCut(const Volume& v,
                                  const std::function<bool(CMountedImage&)>& command, bool refused,
                                  const std::string& changed = "", const std::string& after = "") {
  int writes = 0, flushes = 0, ignored = 0;
  EXPECT_EQ(!refused, Run(v, it::WriteFaults::COUNT, 0, command, &writes, &flushes));
  EXPECT_EQ("", v.Unread(changed, after)) << "the whole command";
  for (int mode = it::WriteFaults::FAIL; mode <= it::WriteFaults::FAIL_FLUSH; mode++) {
    int last = mode == it::WriteFaults::FAIL_FLUSH ? flushes : writes;
    for (int n = 1; n <= last; n++) {
      v.Restore();
      Run(v, (it::WriteFaults::Mode)mode, n, command, &ignored, &ignored);
      EXPECT_EQ("", v.Unread(changed, after))
          << "mode " << mode << ", cut at " << n << " of " << last;
      if (::testing::Test::HasFailure()) return;
    }
  }
  printf("%d writes, %d flushes\n", writes, flushes);
}

// The file's clusters marked free: the command rewrites it in place (the
// file's own write, which goes through).
TEST(BitmapFreeRollback, FileRewrittenInPlace) {
  Volume v("file one.bin");
  ASSERT_EQ(0, vt::Sh("head -c 307200 /dev/urandom > " + vt::Q(v.dir + "/new.bin")));
  std::vector<uint8_t> data;
  ASSERT_TRUE(vt::ReadAll(vt::ToWin(v.dir + "/new.bin"), data));
  ExpectEveryFileAfterEveryCut(
      v,
      [&](CMountedImage& m) {
        return m.WriteFile(L"\\Data\\one.bin", data.data(), 0, data.size()) == data.size();
      },
      false, "/Data/one.bin", v.dir + "/new.bin");
}

// The root folder's index blocks, or $MFT's clusters, marked free: an
// inject into the root of a file that takes the volume's free space (the
// library would hand out those clusters for its data) is refused, and each
// cut rolls back.
TEST(BitmapFreeRollback, InjectThatWouldTakeClustersInUse) {
  for (const char* damage : {"index", "mft"}) {
    SCOPED_TRACE(damage);
    Volume v(damage);
    ASSERT_EQ(0, vt::Sh("free=$(ntfsinfo -m " + vt::Q(v.image) +
                        " 2>/dev/null | awk '/Free Clusters/ { print $3 }') && head -c "
                        "$(((free - 2) * 4096)) /dev/urandom > " +
                        vt::Q(v.dir + "/big.bin")));
    ExpectEveryFileAfterEveryCut(
        v,
        [&](CMountedImage& m) {
          uint64_t missing = 0;
          return InjectHostPath(&m, vt::ToWin(v.dir + "/big.bin").c_str(), L"\\", &missing, nullptr,
                                nullptr) == 1;
        },
        true);
  }
}

}  // namespace
