// An import over several hives whose write-back is cut off at any one write
// of the disk (refused, as on a host disk that fills up, after which the
// image takes no more writes; or half done with the process gone): the
// write-back reports the failure, and the program's next load finds the
// import in every hive or in none; where in none, the hive files hold what
// they held. A save after that writes every hive whole, with equal sequence
// numbers. Read back with mcopy, ntfscat, hivexget and fsck.fat (after a
// cut no file's size reaches past its chain); SOFTWARE grows, SYSTEM and
// the boot store change in place.
#include <windows.h>
#include <gtest/gtest.h>

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

namespace {

const char kConfig[] = "/Windows/System32/config/";

struct Hive {
  std::string file;  // on the volume
  std::string key;   // the imported key, as hivexget names it
  std::string value, expected;
};

// The .reg text: the hives' sections and, for SOFTWARE, values enough to
// make it grow by many pages.
std::wstring RegText(bool bcd) {
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
  // Copies a file of the volume out.
  std::function<std::string(const std::string&, const std::string&)> copyOut;
  bool fat = false;
  std::string part;  // the partition cut out (FAT)
};

// Imports the .reg and writes the hives back under faults (mode, at): the
// write-back's result.
bool ImportAndSave(const Disk& d, const std::wstring& reg, it::WriteFaults::Mode mode, int at,
                   int* writes) {
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
std::string ProgramView(const Disk& d, const std::vector<Hive>& hives) {
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
void ExpectAllNew(const Disk& d, const std::vector<Hive>& hives) {
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

void EveryWriteCutOff(Disk& d, const std::vector<Hive>& hives, bool bcd) {
  std::wstring reg = vt::ToWin(d.dir + "/in.reg");
  rt::WriteRegFile(reg, RegText(bcd));
  ASSERT_EQ(0, vt::Sh("cp --sparse=always " + vt::Q(d.unixPath) + " " + vt::Q(d.pristine)));
  std::vector<std::string> before;
  for (const Hive& h : hives)
    before.push_back(d.copyOut(h.file, d.dir + "/old." + std::to_string(before.size())));
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
      if (saved) EXPECT_EQ(allNew, view);
      if (view == allOld) {
        olds++;
        // The hive files hold what they held (a file may have taken room
        // past its end, which no reader looks at).
        for (size_t i = 0; i < hives.size(); i++) {
          std::string now = d.copyOut(hives[i].file, d.dir + "/now");
          EXPECT_EQ(0, vt::Sh("cmp -n $(stat -c %s " + vt::Q(before[i]) + ") " + vt::Q(now) +
                              " " + vt::Q(before[i])))
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

}  // namespace

TEST(ImportFaults, TwoHivesOnFat32) {
  Disk d;
  d.dir = vt::ScratchDirUnix();
  d.unixPath = d.dir + "/fat.img";
  d.pristine = d.unixPath + ".pristine";
  d.path = vt::ToWin(d.unixPath);
  d.fat = true;
  std::string tree = d.dir + "/tree", out;
  ASSERT_TRUE(vt::Fixture("mk-wintree.sh " + vt::Q(tree) + " --no-kernel"));
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(d.unixPath) +
                              " --fs fat32 --layout mbr2048 --size 40 --tree " + vt::Q(tree),
                          &out));
  long start = atol(out.c_str());
  d.part = d.dir + "/fat.part";
  auto cut = [&d, start]() { ft::CutPartition(d.unixPath, start, 40 * 2048, d.part); };
  d.copyOut = [&d, cut](const std::string& file, const std::string& to) {
    cut();
    return ft::Mcopy(d.part, file, to);
  };
  EveryWriteCutOff(
      d,
      {{std::string(kConfig) + "SYSTEM", "\\VroImport", "n", "7"},
       {std::string(kConfig) + "SOFTWARE", "\\VroImport", "value 599",
        "text of value 599 padded out to take room in the hive"}},
      false);
}

TEST(ImportFaults, TwoHivesAndTheBootStoreOnNtfs) {
  // The logs lie beside the hives, as on an installed Windows: a cut while
  // the volume library adds a file to a folder can lose other names of the
  // folder, which is no part of the hive save.
  rt::WinDisk w = rt::MakeWinDisk(
      "--no-kernel --bcd", "mbr2048", "raw",
      "for f in Windows/System32/config/SYSTEM Windows/System32/config/SOFTWARE Boot/BCD; do"
      " for l in LOG1 LOG2; do head -c 65536 /dev/zero > $f.$l; done; done");
  Disk d;
  d.dir = w.dir;
  d.unixPath = w.unixPath;
  d.pristine = w.unixPath + ".pristine";
  d.path = w.path;
  // A write cut off inside the volume library's own metadata can leave its
  // mirror behind ($MFTMirr), which ntfscat refuses: ntfsfix brings a copy
  // of the volume round first.
  d.copyOut = [w](const std::string& file, const std::string& to) {
    std::string part = w.unixPath + ".part";
    EXPECT_EQ(0, vt::Sh("dd if=" + vt::Q(w.unixPath) + " of=" + vt::Q(part) + " bs=512 skip=" +
                        std::to_string(w.start) + " count=" + std::to_string(rt::kDiskMiB * 2048) +
                        " status=none && { ntfscat " + vt::Q(part) + " " + vt::Q(file) + " > " +
                        vt::Q(to) + " 2>/dev/null || { ntfsfix " + vt::Q(part) +
                        " >/dev/null && ntfscat -f " + vt::Q(part) + " " + vt::Q(file) + " > " +
                        vt::Q(to) + "; }; }"));
    return to;
  };
  EveryWriteCutOff(
      d,
      {{std::string(kConfig) + "SYSTEM", "\\VroImport", "n", "7"},
       {std::string(kConfig) + "SOFTWARE", "\\VroImport", "value 599",
        "text of value 599 padded out to take room in the hive"},
       {"/Boot/BCD", "\\VroImport", "b", "store"}},
      true);
}
