// An own-format disk whose overlay (update or write-back file) took a
// folder from a first command that reported done: the state later commands
// are cut off over, saved beside the overlay.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "MountedImageTestUtil.h"
#include "TreeCopyTestUtil.h"
#include "VolumeWriteRecorder.h"
#include "image/copy/TreeCopy.h"
#include "image/stack/MountRw.h"

namespace oc {

struct Chain {
  std::string dir;  // scratch folder (Linux)
  std::wstring own, second, top, saved;
  bool fix = false;

  int OpenChain(_VROH_MOUNT_RW& d, int mode) const {
    return fix ? d.OpenChain(own.c_str(), top.c_str(), mode) : d.OpenChain(top.c_str(), L"", mode);
  }
  int OpenImage(CMountedImage& m, int mode) const {
    return fix ? m.OpenImage(own.c_str(), second.c_str(), 0, mode)
               : m.OpenImage(top.c_str(), nullptr, 0, mode);
  }
  // The whole disk through the chain.
  std::vector<uint8_t> ReadDisk() const {
    return fix ? it::ChainDisk(own, top) : it::ChainDisk(top, L"");
  }
  void Restore() const { ASSERT_TRUE(CopyFileW(saved.c_str(), top.c_str(), FALSE)); }
};

// An 8 MiB NTFS disk in the own format; `files` (shell commands) run in the
// scratch folder first; then host folder `folder` (a plain name) goes to
// the volume folder of the same name through the update file (or write-back file),
// `items` items, and the overlay is saved.
inline Chain MakeChain(bool fix, const std::string& files, const std::string& folder, int items) {
  Chain c;
  tc::Image img = tc::MakeImage("ntfs", 8);
  c.dir = img.dir;
  c.fix = fix;
  EXPECT_EQ(0, vt::Sh("set -e; cd " + vt::Q(c.dir) + "; " + files));
  c.own = mi::CopyIntoOwnImage(img.path, c.dir);
  c.second = vt::ToWin(c.dir + "/ws.x");
  c.top = fix ? vt::ToWin(c.dir + "/ws.Fix") : c.own + L"_01.Upd";
  {
    CMountedImage m;
    EXPECT_GE(fix ? m.OpenImage(c.own.c_str(), c.second.c_str(), 0, 1)
                  : m.OpenImage(c.own.c_str(), nullptr, 0, 1),
              0);
    uint64_t missing = 0;
    std::wstring to = L"\\" + std::wstring(folder.begin(), folder.end());
    EXPECT_EQ(items, InjectHostPath(&m, vt::ToWin(c.dir + "/" + folder).c_str(), to.c_str(),
                                    &missing, nullptr, nullptr));
    EXPECT_TRUE(m.Close());
  }
  c.saved = c.top + L".saved";
  EXPECT_TRUE(CopyFileW(c.top.c_str(), c.saved.c_str(), FALSE));
  return c;
}

}  // namespace oc
