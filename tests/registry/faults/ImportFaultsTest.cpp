// An import over several hives whose write-back is cut off at any one write
// of the disk (refused, as on a host disk that fills up, after which the
// image takes no more writes; or half done with the process gone): the
// write-back reports the failure, and the program's next load finds the
// import in every hive or in none; where in none, the hive files hold what
// they held. A save after that writes every hive whole, with equal sequence
// numbers. On NTFS, with the boot store; read back with ntfscat and
// hivexget. SOFTWARE grows, SYSTEM and the boot store change in place. The
// same on FAT32 is in fat/.
#include "ImportFaults.h"

using namespace imf;

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
  d.part = w.unixPath + ".part";
  d.cut = [w, &d]() {
    EXPECT_EQ(0, vt::Sh("dd if=" + vt::Q(w.unixPath) + " of=" + vt::Q(d.part) +
                        " bs=1M iflag=skip_bytes,count_bytes skip=" + std::to_string(w.start * 512) +
                        " count=" + std::to_string(rt::kDiskMiB << 20) + " status=none"));
  };
  // A write cut off inside the volume library's own metadata can leave its
  // mirror behind ($MFTMirr), which ntfscat refuses: ntfsfix brings the
  // copy of the volume round first.
  d.copyOut = [&d](const std::string& file, const std::string& to) {
    EXPECT_EQ(0, vt::Sh("ntfscat " + vt::Q(d.part) + " " + vt::Q(file) + " > " + vt::Q(to) +
                        " 2>/dev/null || { ntfsfix " + vt::Q(d.part) + " >/dev/null && ntfscat -f " +
                        vt::Q(d.part) + " " + vt::Q(file) + " > " + vt::Q(to) + "; }"));
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
