// Disks, host trees and a recording copy callback for the tree-copy tests.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "FileTimes.h"
#include "TestSupport.h"
#include "image/mount/MountedImage.h"
#include "image/copy/TreeCopy.h"

namespace tc {

struct Image {
  std::string dir;  // scratch folder (Linux path)
  std::string unixPath;
  std::wstring path;
  long start = 0;
  int sizeMb = 0;
};

// A disk with one volume of the file system at LBA 2048 (MBR), filled from
// a Linux folder when one is given. It lies in `dir`, else in a fresh
// scratch folder (which empties the test's scratch folder).
inline Image MakeImage(const std::string& fs, int sizeMb, const std::string& tree = "",
                       const std::string& dir = "") {
  Image m;
  m.dir = dir.empty() ? vt::ScratchDirUnix() : dir;
  const std::string name = "disk.img";
  m.unixPath = m.dir + "/" + name;
  m.path = vt::ToWin(m.unixPath);
  m.sizeMb = sizeMb;
  std::string out;
  std::string cmd = "mk-disk.sh " + vt::Q(m.unixPath) + " --fs " + fs +
                    " --layout mbr2048 --size " + std::to_string(sizeMb);
  if (!tree.empty()) cmd += " --tree " + vt::Q(tree);
  EXPECT_TRUE(vt::Fixture(cmd, &out));
  m.start = atol(out.c_str());
  return m;
}

// Every path below a scratch folder except those inside out/: what an
// extraction into out/ must leave as it was.
inline std::string ListOutside(const std::string& dir) {
  std::string list;
  vt::Sh("cd " + vt::Q(dir) + " && find . -path ./out -prune -o -print | sort", &list);
  return list;
}

// The volume cut out of the disk, for ntfscat and mtools.
inline std::string Volume(const Image& m) {
  std::string part = m.unixPath + ".vol";
  EXPECT_EQ(0, vt::Sh("dd if=" + vt::Q(m.unixPath) + " of=" + vt::Q(part) +
                      " bs=512 skip=" + std::to_string(m.start) +
                      " count=" + std::to_string(m.sizeMb * 2048) + " status=none"));
  return part;
}

struct Event {
  DWORD event;
  uint64_t total, done, step;
  DWORD reserved;
};

// Records every call; answers event 1 with `overwrite`, and 0 to progress
// once `cancelAfter` progress events went by (-1: never).
struct Recorder {
  std::vector<Event> events;
  DWORD overwrite = VCC_REPLACE;
  int cancelAfter = -1;
  int progressSeen = 0;

  int Count(DWORD event) const {
    int n = 0;
    for (const Event& e : events) n += e.event == event;
    return n;
  }
};

inline DWORD CALLBACK Record(DWORD event, DWORD tl, DWORD th, DWORD dl, DWORD dh, DWORD sl,
                             DWORD sh, DWORD reserved, void* user) {
  Recorder* r = static_cast<Recorder*>(user);
  Event e = {event, ((uint64_t)th << 32) | tl, ((uint64_t)dh << 32) | dl, ((uint64_t)sh << 32) | sl,
             reserved};
  r->events.push_back(e);
  if (event == VCC_TARGET_EXISTS) return r->overwrite;
  if (event == VCC_PROGRESS) {
    if (r->cancelAfter >= 0 && r->progressSeen >= r->cancelAfter) return 0;
    r->progressSeen++;
  }
  return 1;
}

// Sets a file's modification time on the Linux side ("2020-01-01 10:00").
inline void Touch(const std::string& unixPath, const std::string& when) {
  EXPECT_EQ(0, vt::Sh("touch -m -d " + vt::Q(when) + " " + vt::Q(unixPath)));
}

using vt::Ft;
using vt::U64;

// Unix seconds -> FILETIME.
inline FILETIME FromUnix(long long seconds) {
  return Ft((uint64_t)(seconds + 11644473600LL) * 10000000ULL);
}

}  // namespace tc
