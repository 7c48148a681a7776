// The journal a cut-off command leaves beside an image file: applied only to
// the file it belongs to, whole or not at all. Damage to it refuses the
// file (nothing applied, nothing removed) with a line naming it; a journal
// beside a file it does not belong to is set aside, never applied.
#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../ImageTestUtil.h"
#include "../WriteFaults.h"
#include "image/stack/OverlayNotice.h"
#include "image/stack/RwClass.h"
#include "image/stack/journal/JournalFile.h"

using namespace it;

namespace {

std::vector<std::string> g_lines;
void Collect(const wchar_t* path, int kind) {
  g_lines.push_back(vt::Narrow(path ? path : L"") + " #" + std::to_string(kind));
}

struct Lines {
  VroOverlayNoticeFn was = VroSetOverlayNotice(Collect);
  Lines() { g_lines.clear(); }
  ~Lines() { VroSetOverlayNotice(was); }
  bool Has(int kind) const {
    for (const std::string& l : g_lines)
      if (l.size() > 2 && l.substr(l.rfind('#') + 1) == std::to_string(kind)) return true;
    return false;
  }
};

// A plain 4 MiB file and the journal a command left beside it: two batches
// of overwrites sealed, some bytes added past the end, then a third batch
// whose journal write the process died in.
struct CutCommand {
  std::wstring dir, file, journal;
  std::vector<uint8_t> before, cutFile, cutJournal;

  CutCommand() {
    dir = vt::ScratchDir();
    file = Path(dir, L"disk.img");
    journal = vrojournal::JournalPathOf(file);
    before = Random(4 << 20, 7);
    // Its second MiB never written (zeros, as free space of a fresh image).
    std::fill(before.begin() + (1 << 20), before.begin() + (2 << 20), 0);
    EXPECT_TRUE(vt::WriteAll(file, before));
    {
      _VROH_RW_CLASS layer;
      EXPECT_TRUE(layer.Open(file.c_str(), VRO_MODE_WRITE));
      for (int batch = 0; batch < 3; batch++) {
        for (int i = 0; i < 40; i++) {
          std::vector<uint8_t> data = Random(512 * (1 + i % 9), batch * 100 + i);
          uint64_t sector = 1 + (uint64_t)(batch * 977 + i * 173) % 8000;
          layer.Write(sector, data.data(), (uint32_t)data.size());
        }
        // Past the old end.
        std::vector<uint8_t> tail = Random(4096, batch);
        layer.Write(8193 + batch * 8, tail.data(), (uint32_t)tail.size());
        // The third batch's entries are torn as they go to the journal.
        if (batch == 2) faults.reset(new WriteFaults(WriteFaults::STOP, 1));
        layer.Flush();
      }
      faults.reset();
      // The process died: nothing more reaches the files.
      WriteFaults gone(WriteFaults::STOP, 1);
      layer.Close();
    }
    EXPECT_TRUE(vt::ReadAll(file, cutFile));
    EXPECT_TRUE(vt::ReadAll(journal, cutJournal));
    EXPECT_TRUE(cutFile != before);
  }
  void Put(const std::vector<uint8_t>& f, const std::vector<uint8_t>& j) const {
    ASSERT_TRUE(vt::WriteAll(file, f));
    ASSERT_TRUE(vt::WriteAll(journal, j));
  }
  bool Opens() const {
    _VROH_RW_CLASS layer;
    return layer.Open(file.c_str(), VRO_MODE_READ) != nullptr;
  }
  std::vector<uint8_t> Read(const std::wstring& p) const {
    std::vector<uint8_t> d;
    vt::ReadAll(p, d);
    return d;
  }
  std::unique_ptr<WriteFaults> faults;
};

TEST(Journal, RolledBackWholeOrRefusedWhenDamaged) {
  CutCommand c;
  ASSERT_LT(2u * 512 + 3 * 40 * 24, c.cutJournal.size());
  vrojournal::Head head;
  {
    uint8_t slot[512];
    memcpy(slot, c.cutJournal.data() + 512, 512);
    uint8_t other[512];
    memcpy(other, c.cutJournal.data(), 512);
    vrojournal::Head a, b;
    bool va = vrojournal::DecodeHead(slot, &a), vb = vrojournal::DecodeHead(other, &b);
    ASSERT_TRUE(va && vb);
    head = a.sequence > b.sequence ? a : b;
  }
  ASSERT_LT(vrojournal::kEntriesStart, head.sealedEnd);
  ASSERT_LT(head.sealedEnd, c.cutJournal.size()) << "the cut batch is in the journal, unsealed";
  size_t active = (head.sequence % 2) * 512;

  // As it was left, a journal torn in its unsealed tail, or one whose head
  // in use was torn (the other one counts): rolled back, byte for byte.
  struct Whole {
    const char* what;
    std::vector<uint8_t> journal;
  };
  std::vector<uint8_t> tornTail(c.cutJournal.begin(), c.cutJournal.end() - 100);
  std::vector<uint8_t> tornHead = c.cutJournal;
  tornHead[active + 77] ^= 0x10;
  for (const Whole& w : {Whole{"as left", c.cutJournal}, Whole{"unsealed tail cut", tornTail},
                         Whole{"head in use torn", tornHead}}) {
    Lines lines;
    c.Put(c.cutFile, w.journal);
    EXPECT_TRUE(c.Opens()) << w.what;
    EXPECT_TRUE(c.Read(c.file) == c.before) << w.what;
    EXPECT_FALSE(vt::FileExists(c.journal)) << w.what;
    EXPECT_TRUE(lines.Has(VRO_NOTICE_JOURNAL_ROLLED_BACK)) << w.what;
  }

  // Damage that could hide an overwrite: refused, nothing applied or
  // removed, a line naming the journal.
  std::vector<std::pair<const char*, std::vector<uint8_t>>> damaged;
  std::vector<uint8_t> j = c.cutJournal;
  j[7] ^= 1;
  j[512 + 7] ^= 1;
  damaged.push_back({"both heads", j});
  damaged.push_back({"emptied", {}});
  damaged.push_back({"cut inside the sealed entries",
                     std::vector<uint8_t>(c.cutJournal.begin(),
                                          c.cutJournal.begin() + (head.sealedEnd - 700))});
  j = c.cutJournal;
  j[vrojournal::kEntriesStart + vrojournal::kEntryHead + 3] ^= 0x80;
  damaged.push_back({"a sealed entry's old bytes", j});
  j = c.cutJournal;
  j[vrojournal::kEntriesStart + 2] ^= 0x01;
  damaged.push_back({"a sealed entry's offset", j});
  // An entry of zeros carries no old bytes: its kind or length changed
  // must not pass either.
  size_t zero = 0;
  for (size_t at = vrojournal::kEntriesStart; at < head.sealedEnd && !zero;) {
    uint32_t bytes, kind;
    memcpy(&bytes, &c.cutJournal[at + 8], 4);
    memcpy(&kind, &c.cutJournal[at + 12], 4);
    if (kind == 1) zero = at;
    at += vrojournal::kEntryHead + (kind ? 0 : bytes);
  }
  ASSERT_NE(0u, zero) << "overwrites of zeros are kept as entries of zeros";
  j = c.cutJournal;
  j[zero + 12] = 0;
  damaged.push_back({"a zero entry's kind", j});
  j = c.cutJournal;
  j[zero + 9] ^= 0x02;
  damaged.push_back({"a zero entry's length", j});
  for (const auto& d : damaged) {
    Lines lines;
    c.Put(c.cutFile, d.second);
    EXPECT_FALSE(c.Opens()) << d.first;
    EXPECT_TRUE(c.Read(c.file) == c.cutFile) << d.first;
    EXPECT_TRUE(c.Read(c.journal) == d.second) << d.first;
    EXPECT_TRUE(lines.Has(VRO_NOTICE_JOURNAL_DAMAGED)) << d.first;
  }
}

TEST(Journal, NeverAppliedToAnotherFile) {
  CutCommand c;
  // The file replaced by another of the same size and name (a copy put
  // over it): the journal is set aside, the file left as it is.
  std::vector<uint8_t> other = Random(c.before.size(), 99);
  {
    Lines lines;
    c.Put(other, c.cutJournal);
    EXPECT_TRUE(c.Opens());
    EXPECT_TRUE(c.Read(c.file) == other);
    EXPECT_FALSE(vt::FileExists(c.journal));
    EXPECT_TRUE(c.Read(c.journal + L".aside") == c.cutJournal);
    EXPECT_TRUE(lines.Has(VRO_NOTICE_JOURNAL_SET_ASIDE));
  }
  // The journal moved beside a file of another name.
  {
    Lines lines;
    std::wstring second = Path(c.dir, L"second.img");
    ASSERT_TRUE(vt::WriteAll(second, c.cutFile));
    ASSERT_TRUE(vt::WriteAll(vrojournal::JournalPathOf(second), c.cutJournal));
    _VROH_RW_CLASS layer;
    EXPECT_TRUE(layer.Open(second.c_str(), VRO_MODE_READ));
    EXPECT_TRUE(c.Read(second) == c.cutFile);
    EXPECT_TRUE(lines.Has(VRO_NOTICE_JOURNAL_SET_ASIDE));
  }
  // A journal whose file is gone: a new file of that name never takes it.
  {
    Lines lines;
    DeleteFileW(c.file.c_str());
    ASSERT_TRUE(vt::WriteAll(c.journal, c.cutJournal));
    _VROH_RW_CLASS layer;
    ASSERT_TRUE(layer.Open(c.file.c_str(), VRO_MODE_CREATE));
    std::vector<uint8_t> data = Random(512, 5);
    EXPECT_EQ(512, layer.Write(1, data.data(), 512));
    EXPECT_EQ(0, layer.Close());
    EXPECT_TRUE(vt::FileExists(c.file));
    EXPECT_FALSE(vt::FileExists(c.journal));
    EXPECT_TRUE(lines.Has(VRO_NOTICE_JOURNAL_SET_ASIDE));
  }
  // The journal of a resize an earlier version left: not applied, and the
  // file not opened until it is gone.
  {
    Lines lines;
    c.Put(c.cutFile, {});
    DeleteFileW(c.journal.c_str());
    ASSERT_TRUE(vt::WriteAll(c.file + L".undo", std::vector<uint8_t>(64, 1)));
    EXPECT_FALSE(c.Opens());
    EXPECT_TRUE(c.Read(c.file) == c.cutFile);
    EXPECT_TRUE(lines.Has(VRO_NOTICE_LEGACY_UNDO));
    DeleteFileW((c.file + L".undo").c_str());
    EXPECT_TRUE(c.Opens());
  }
}

// A second open of a file whose command runs in this process reads it as
// it stands and leaves the journal alone; the command then commits.
TEST(Journal, ACommandUnderWayIsLeftAlone) {
  std::wstring dir = vt::ScratchDir(), file = Path(dir, L"disk.img");
  std::vector<uint8_t> before = Random(1 << 20, 3), data = Random(4096, 4);
  ASSERT_TRUE(vt::WriteAll(file, before));
  _VROH_RW_CLASS writer;
  ASSERT_TRUE(writer.Open(file.c_str(), VRO_MODE_CREATE));
  ASSERT_EQ(4096, writer.Write(9, data.data(), 4096));
  ASSERT_EQ(0, writer.Flush());
  ASSERT_TRUE(vt::FileExists(vrojournal::JournalPathOf(file)));
  {
    _VROH_RW_CLASS reader;
    ASSERT_TRUE(reader.Open(file.c_str(), VRO_MODE_READ));
    std::vector<uint8_t> got(4096);
    EXPECT_EQ(4096, reader.Read(9, got.data(), 4096));
    EXPECT_TRUE(got == data);
  }
  EXPECT_TRUE(vt::FileExists(vrojournal::JournalPathOf(file)));
  EXPECT_EQ(0, writer.Close());
  EXPECT_FALSE(vt::FileExists(vrojournal::JournalPathOf(file)));
  std::vector<uint8_t> after;
  ASSERT_TRUE(vt::ReadAll(file, after));
  memcpy(&before[8 * 512], data.data(), 4096);
  EXPECT_TRUE(after == before);
}

}  // namespace
