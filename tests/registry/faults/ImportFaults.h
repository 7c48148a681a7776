// What the import fault tests share: an import over several hives whose
// write-back is cut off at every write of the disk, and what the
// program's next load and the independent readers find after each cut.
#pragma once
#include <windows.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "../../image/WriteFaults.h"
#include "../FacadeTestUtil.h"
#include "../RegHiveFatTestUtil.h"
#include "TestSupport.h"
#include "../hive/RealHives.h"
#include "image/mount/MountedImage.h"
#include "registry/RegHive.h"
#include "registry/RegistryFacade.h"

namespace imf {

const char kConfig[] = "/Windows/System32/config/";

struct Hive {
  std::string file;  // on the volume
  std::string key;   // the imported key, as hivexget names it
  std::string value, expected;
};

// The .reg text: the hives' sections and, for SOFTWARE, values enough to
// make it grow by many pages.
inline std::wstring RegText(bool bcd) {
  std::wstring t = L"Windows Registry Editor Version 5.00\r\n\r\n"
                   L"[HKEY_LOCAL_MACHINE\\SYSTEM\\VroImport]\r\n\"n\"=dword:00000007\r\n\r\n"
                   L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\VroImport]\r\n";
  for (int i = 0; i < 600; i++)
    t += L"\"value " + std::to_wstring(i) + L"\"=\"text of value " + std::to_wstring(i) +
         L" padded out to take room in the hive\"\r\n";
  if (bcd) t += L"\r\n[HKEY_LOCAL_MACHINE\\BCD00000000\\VroImport]\r\n\"b\"=\"store\"\r\n";
  return t;
}

struct Disk {
  std::string dir, unixPath, pristine;
  std::wstring path;
  // Cuts the volume's partition out of the image as it is now, for copyOut.
  std::function<void()> cut;
  // Copies a file of the volume out of the partition cut last.
  std::function<std::string(const std::string&, const std::string&)> copyOut;
  bool fat = false;
  std::string part;  // the partition cut out
};

// Imports the .reg and writes the hives back under faults (mode, at): the
// write-back's result.
inline bool ImportAndSave(const Disk& d, const std::wstring& reg, it::WriteFaults::Mode mode,
                          int at, int* writes) {
  CMountedImage m;
  EXPECT_EQ(3, m.OpenImage(d.path.c_str(), nullptr, 0, 2));
  EXPECT_EQ(1, m.LoadHives(0x3F));
  EXPECT_EQ(REG_STATUS_OK, m.ImportRegFile(reg.c_str()));
  bool saved;
  {
    it::WriteFaults faults(mode, at);
    saved = m.UnloadHives();
    *writes = faults.Count();
  }
  // The command is whole only when its close keeps it.
  return m.Close() && saved;
}

// What the program's own load finds in each hive, one letter a hive: O old,
// N new, X not loaded whole.
inline std::string ProgramView(const Disk& d, const std::vector<Hive>& hives) {
  CMountedImage m;
  if (m.OpenImage(d.path.c_str(), nullptr, 0, 0) != 3 || !m.LoadHives(0x3F)) return "?";
  std::string view;
  for (const Hive& h : hives) {
    std::wstring root = h.file.find("BCD") != std::string::npos ? L"HKEY_LOCAL_MACHINE\\BCD00000000"
                        : h.file.find("SYSTEM") != std::string::npos ? L"HKEY_LOCAL_MACHINE\\SYSTEM"
                                                                     : L"HKEY_LOCAL_MACHINE\\SOFTWARE";
    std::wstring value(h.value.begin(), h.value.end());
    uint32_t type = 0;
    CRegHive* hive = FindLoadedHive(&m, root);
    if (!hive || !hive->IsLoaded() || hive->IsReadOnly())
      view += "X";  // not loaded, or not as a whole
    else
      view += m.RegQueryValue((root + L"\\VroImport").c_str(), value.c_str(), &type, nullptr) ==
                      REG_STATUS_OK
                  ? "N"
                  : "O";
  }
  m.UnloadHives();
  return view;
}

// Every hive holds the import, with equal sequence numbers and a sound
// checksum, for hivexget and the fixture's reading of the base block.
inline void ExpectAllNew(const Disk& d, const std::vector<Hive>& hives) {
  d.cut();
  for (const Hive& h : hives) {
    SCOPED_TRACE(h.file);
    std::string saved = d.copyOut(h.file, d.dir + "/new");
    EXPECT_EQ(h.expected, rt::HivexGet(saved, h.key, h.value));
    std::string seq;
    vt::Sh(rh::HiveLogsPy() + " seq " + vt::Q(saved), &seq);
    unsigned long s1 = 0, s2 = 1, sound = 0;
    ASSERT_EQ(3, sscanf(seq.c_str(), "%lu %lu %lu", &s1, &s2, &sound));
    EXPECT_EQ(s1, s2);
    EXPECT_EQ(1u, sound);
  }
}

inline void EveryWriteCutOff(Disk& d, const std::vector<Hive>& hives, bool bcd) {
  std::wstring reg = vt::ToWin(d.dir + "/in.reg");
  rt::WriteRegFile(reg, RegText(bcd));
  ASSERT_EQ(0, vt::Sh("cp --sparse=always " + vt::Q(d.unixPath) + " " + vt::Q(d.pristine)));
  std::vector<std::vector<uint8_t>> before(hives.size());
  d.cut();
  for (size_t i = 0; i < hives.size(); i++)
    ASSERT_TRUE(vt::ReadAll(vt::ToWin(d.copyOut(hives[i].file, d.dir + "/old")), before[i]));
  std::string allOld(hives.size(), 'O'), allNew(hives.size(), 'N');
  ASSERT_EQ(allOld, ProgramView(d, hives));

  int total = 0;
  ASSERT_TRUE(ImportAndSave(d, reg, it::WriteFaults::COUNT, 0, &total));
  ASSERT_LT(20, total);
  ExpectAllNew(d, hives);
  if (d.fat) ft::ExpectFsckClean(d.part);

  for (int mode = it::WriteFaults::FAIL; mode <= it::WriteFaults::STOP; mode++) {
    int olds = 0;
    for (int n = 1; n <= total; n++) {
      SCOPED_TRACE(std::string(mode == it::WriteFaults::FAIL ? "failed" : "stopped") +
                   " at write " + std::to_string(n) + " of " + std::to_string(total));
      ASSERT_EQ(0, vt::Sh("cp --sparse=always " + vt::Q(d.pristine) + " " + vt::Q(d.unixPath)));
      int writes = 0;
      bool saved = ImportAndSave(d, reg, (it::WriteFaults::Mode)mode, n, &writes);
      std::string view = ProgramView(d, hives);
      ASSERT_TRUE(view == allOld || view == allNew) << view;
      d.cut();
      if (d.fat) {
        // After any cut every file reads whole up to its size. What a cut
        // inside the table's and entries' sectors may leave is safe to
        // tidy: clusters taken and not yet linked, a chain linked past a
        // size not yet grown, the second table or the free count behind.
        d.copyOut(hives[0].file, d.dir + "/any");
        std::string fsck;
        vt::Sh("fsck.fat -n " + vt::Q(d.part) +
                   " 2>&1 | grep -v '^fsck.fat \\|^Checking \\|^Leaving \\|^/\\|^ *$"
                   "\\|FATs differ but appear to be intact\\|Using first FAT\\|^Reclaimed "
                   "[0-9]* unused clusters\\|^Free cluster summary wrong\\|Auto-correcting\\|^  File size is [0-9]* bytes, cluster chain length is > [0-9]* bytes.\\|^  Truncating file to'",
               &fsck);
        EXPECT_EQ("", fsck);
      }
      // Only the files' last-write times may be what a write-back that
      // reports success did not set.
      if (saved) {
        EXPECT_EQ(allNew, view);
      }
      if (view == allOld) {
        olds++;
        // The hive files hold what they held (a file may have taken room
        // past its end, which no reader looks at).
        for (size_t i = 0; i < hives.size(); i++) {
          std::vector<uint8_t> now;
          EXPECT_TRUE(vt::ReadAll(vt::ToWin(d.copyOut(hives[i].file, d.dir + "/now")), now));
          EXPECT_TRUE(now.size() >= before[i].size() &&
                      std::equal(before[i].begin(), before[i].end(), now.begin()))
              << hives[i].file;
        }
      }
      // A save over what the cut left writes every hive whole (checked at
      // every eighth write: it costs the tools' processes).
      if (n % 8 == 0 || n == total) {
        ASSERT_TRUE(ImportAndSave(d, reg, it::WriteFaults::COUNT, 0, &writes));
        ExpectAllNew(d, hives);
      }
      if (::testing::Test::HasFailure()) return;
    }
    // The hives are old up to the point where all logs are written.
    EXPECT_LT(total / 2, olds);
  }
}

}  // namespace imf
