// A write-back file that this program wrote and another writer (the
// installation's server, which follows the format's documentation and knows
// nothing of this program's check values) wrote after it: after each of that
// writer's file writes, the program reads the file with the other writer's
// data; the program's next writable open takes it back under its checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "../BatchTestUtil.h"
#include "SparseFileMap.h"

using namespace bt;

namespace {

const Kind kOwn = {"Own", "mbr2048", "raw", false, true, false};

std::vector<uint8_t> ReadUnix(const std::string& path) {
  std::vector<uint8_t> f;
  EXPECT_TRUE(vt::ReadAll(vt::ToWin(path), f)) << path;
  return f;
}

// Where a host file's sectors lie on the flattened disk (disk sectors).
class DiskPlaces {
 public:
  explicit DiskPlaces(const std::vector<uint8_t>& flat) : m_flat(flat) {
    for (size_t s = 0; s + 1 <= flat.size() / 512; s++)
      m_bySector[Key(&flat[s * 512])].push_back(s);
  }
  // Disk sector of a whole sector of file data; -1 when not found once.
  int64_t SectorOf(const uint8_t* data) const {
    auto it = m_bySector.find(Key(data));
    if (it == m_bySector.end() || it->second.size() != 1) return -1;
    return memcmp(&m_flat[it->second[0] * 512], data, 512) == 0 ? (int64_t)it->second[0] : -1;
  }
  // Byte offset of a text on the disk; -1 when not found.
  int64_t Find(const std::string& text) const {
    auto it = std::search(m_flat.begin(), m_flat.end(), text.begin(), text.end());
    return it == m_flat.end() ? -1 : it - m_flat.begin();
  }

 private:
  static uint64_t Key(const uint8_t* p) {
    uint64_t h = 1469598103934665603ull;
    for (int i = 0; i < 512; i++) h = (h ^ p[i]) * 1099511628211ull;
    return h;
  }
  const std::vector<uint8_t>& m_flat;
  std::map<uint64_t, std::vector<size_t>> m_bySector;
};

struct Target {
  std::string file;           // in \Data
  uint64_t device = 0;        // device sector (disk sector + 1)
  std::vector<uint8_t> data;  // the sector as the other writer writes it
  std::string changed;        // the file with that sector
};

TEST(OtherWriter, WriteBackFileWrittenByTheServerAfterThisProgram) {
  Disk d = MakeDisk(kOwn);
  std::string data = d.dir + "/Data";
  // Small files live in their file records; the records of files made in
  // one go lie side by side, in the chunk the write-back's new record
  // lands in. Large ones spread over the volume.
  std::string make = "mkdir -p " + vt::Q(data) + " && cd " + vt::Q(data) +
                     " && for i in 1 2 3 4 5 6 7 8; do printf 'resident %s %s' $i "
                     "$(head -c 24 /dev/urandom | od -An -tx1 | tr -d ' \\n') > r$i.txt; done"
                     " && for i in 1 2 3 4; do head -c 2500000 /dev/urandom > big$i.bin; done"
                     " && printf new > ../new.txt && printf more > ../more.txt";
  ASSERT_EQ(0, vt::Sh(make));
  std::wstring image = d.ImageWin(), fix = vt::ToWin(d.disks + "/wks.fix");
  std::string fixUnix = d.disks + "/wks.Fix";
  ASSERT_EQ(0u, RunVro(ImageArgs(image) + L"-noupd \"/inject:\\Data::" + vt::ToWin(data) + L"\"",
                       nullptr));
  ASSERT_EQ(0u, RunVro(ImageArgs(image, fix) + L"\"/inject:\\new.txt::" +
                           vt::ToWin(d.dir + "/new.txt") + L"\"",
                       nullptr));
  std::vector<uint8_t> flat = ReadUnix(rt::Flatten(image, fix, d.dir + "/flat.raw"));
  std::vector<uint8_t> saved = ReadUnix(fixUnix);
  DiskPlaces places(flat);

  // One sector in a chunk the write-back holds already (its leaf block is
  // this program's), one whose leaf block the other writer adds.
  Target inChunk, newBlock;
  for (int i = 1; i <= 8 && inChunk.file.empty(); i++) {
    std::string name = "r" + std::to_string(i) + ".txt";
    std::vector<uint8_t> text = ReadUnix(data + "/" + name);
    int64_t at = places.Find(std::string(text.begin(), text.end()));
    if (at < 0 || at % 512 + text.size() > 510) continue;
    uint64_t device = (uint64_t)at / 512 + 1;
    sfm::LeafPlace p = sfm::FindLeaf(saved, device);
    if (!p.leaf || !Ld32(&saved[p.leaf]) || sfm::Held(saved, device)) continue;
    inChunk.file = name;
    inChunk.device = device;
    inChunk.data.assign(flat.begin() + (at / 512 * 512), flat.begin() + (at / 512 * 512) + 512);
    std::string changed(text.begin(), text.end());
    for (char& c : changed) c = (char)toupper((unsigned char)c);
    memcpy(&inChunk.data[at % 512], changed.data(), changed.size());
    inChunk.changed = changed;
  }
  for (int i = 1; i <= 4 && newBlock.file.empty(); i++) {
    std::string name = "big" + std::to_string(i) + ".bin";
    std::vector<uint8_t> file = ReadUnix(data + "/" + name);
    for (size_t at = 0; at + 512 <= file.size(); at += 512 * 64) {
      int64_t sector = places.SectorOf(&file[at]);
      if (sector < 0) continue;
      sfm::LeafPlace p = sfm::FindLeaf(saved, (uint64_t)sector + 1);
      if (!p.entry || p.block) continue;
      newBlock.file = name;
      newBlock.device = (uint64_t)sector + 1;
      newBlock.data.assign(512, 0);
      for (size_t b = 0; b < 512; b++) newBlock.data[b] = (uint8_t)(file[at + b] ^ 0x5A);
      memcpy(&file[at], newBlock.data.data(), 512);
      newBlock.changed.assign(file.begin(), file.end());
      break;
    }
  }
  ASSERT_FALSE(inChunk.file.empty()) << "no resident file in a chunk of the write-back";
  ASSERT_FALSE(newBlock.file.empty()) << "no large file outside the write-back's leaf blocks";

  // The writes in the documented writer's order, and with the table that
  // names a new leaf block before the block (a writer whose table block
  // leaves its cache first). The sector shows once all but the header
  // are in the file.
  const struct {
    const Target* target;
    bool tableFirst;
    const char* what;
  } kRuns[] = {{&inChunk, false, " (chunk held)"},
               {&newBlock, false, " (new leaf block)"},
               {&newBlock, true, " (new leaf block, its table first)"}};
  for (const auto& run : kRuns) {
    const Target* t = run.target;
    std::string where = "\\Data\\" + t->file + run.what;
    std::vector<uint8_t> before = ReadUnix(data + "/" + t->file);
    std::string original(before.begin(), before.end());
    std::vector<sfm::FileWrite> writes =
        sfm::DocumentedWriter(saved).WriteSector(t->device, t->data.data());
    if (run.tableFirst) std::swap(writes[1], writes[2]);
    std::vector<uint8_t> state = saved;
    std::wstring extract =
        L"\"/extract:\\Data\\" + vt::Widen(t->file) + L"::" + vt::ToWin(d.dir + "/out.bin") + L"\"";
    for (size_t w = 0; w < writes.size(); w++) {
      sfm::Apply(state, writes[w]);
      ASSERT_TRUE(vt::WriteAll(vt::ToWin(fixUnix), state));
      vt::Sh("rm -f " + vt::Q(d.dir + "/out.bin"));
      std::string out;
      EXPECT_EQ(0u, RunVro(ImageArgs(image, fix) + extract, &out))
          << where << ", after write " << w << ": " << out;
      std::vector<uint8_t> got;
      vt::ReadAll(vt::ToWin(d.dir + "/out.bin"), got);
      const std::string& want = w + 2 >= writes.size() ? t->changed : original;
      EXPECT_TRUE(std::string(got.begin(), got.end()) == want) << where << ", after write " << w;
    }
    // A command that writes takes the file back under this program's
    // checks: the other writer's data stays, and a leaf damaged afterwards
    // is refused again.
    ASSERT_EQ(0u, RunVro(ImageArgs(image, fix) + L"\"/inject:\\more.txt::" +
                             vt::ToWin(d.dir + "/more.txt") + L"\"",
                         nullptr))
        << where;
    ASSERT_EQ(0u, RunVro(ImageArgs(image, fix) + extract, nullptr)) << where;
    std::vector<uint8_t> got = ReadUnix(d.dir + "/out.bin");
    EXPECT_TRUE(std::string(got.begin(), got.end()) == t->changed) << where;
    std::vector<uint8_t> stamped = ReadUnix(fixUnix), damaged = stamped;
    sfm::LeafPlace p = sfm::FindLeaf(stamped, t->device);
    ASSERT_NE(0u, p.leaf) << where;
    damaged[p.leaf + 16 + (t->device & 127) / 8] ^= (uint8_t)(1u << ((t->device + 1) % 8));
    ASSERT_TRUE(vt::WriteAll(vt::ToWin(fixUnix), damaged));
    std::string out;
    EXPECT_EQ(DWORD(-15), RunVro(ImageArgs(image, fix) + extract, &out)) << where;
    EXPECT_NE(std::string::npos, out.find("wks.Fix")) << where << ": " << out;
  }
}

}  // namespace
