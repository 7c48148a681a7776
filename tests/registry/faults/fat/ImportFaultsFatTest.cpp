// An import over two hives of a FAT32 volume whose write-back is cut off at
// any one write of the disk (refused, or half done with the process gone):
// the program's next load finds the import in both hives or in neither,
// and a save after that writes both whole. Read back with mcopy, hivexget
// and fsck.fat (after a cut no file's size reaches past its chain).
#include "../ImportFaults.h"

using namespace imf;

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
  d.cut = [&d, start]() { ft::CutPartition(d.unixPath, start, 40 * 2048, d.part); };
  d.copyOut = [&d](const std::string& file, const std::string& to) {
    return ft::Mcopy(d.part, file, to);
  };
  EveryWriteCutOff(
      d,
      {{std::string(kConfig) + "SYSTEM", "\\VroImport", "n", "7"},
       {std::string(kConfig) + "SOFTWARE", "\\VroImport", "value 599",
        "text of value 599 padded out to take room in the hive"}},
      false);
}
