// The journal a cut-off command leaves beside an image file: applied only to
// the file it belongs to, whole or not at all. Damage to it refuses the
// file (nothing applied, nothing removed) with a line naming it; a journal
// beside a file it does not belong to is set aside, never applied.
#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../HostHoles.h"
#include "../ImageTestUtil.h"
#include "../WriteFaults.h"
#include "image/device/DeviceSource.h"
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
// whose journal write the process died in. The file is sparse: its second
// MiB, never written, is a hole of the host file (holes' map: beforeMap),
// and the command writes into it.
struct CutCommand {
  it::HostHoles holes;
  std::wstring dir, file, journal;
  std::vector<uint8_t> before, cutFile, cutJournal;
  std::string beforeMap;

  CutCommand() {
    dir = vt::ScratchDir();
    file = Path(dir, L"disk.img");
    journal = vrojournal::JournalPathOf(file);
    before = Random(4 << 20, 7);
    // Its second MiB never written (zeros, as free space of a fresh image).
    std::fill(before.begin() + (1 << 20), before.begin() + (2 << 20), 0);
    EXPECT_TRUE(vt::WriteAll(file, before));
    holes.MakeSparse(file);
    beforeMap = holes.Map(file);
    EXPECT_EQ(std::string(256, '.'), beforeMap.substr(256, 256));
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
    EXPECT_NE(beforeMap, holes.Map(file).substr(0, beforeMap.size()));
  }
  // The file as f (a sparse file: its blocks of zeros holes), the journal
  // as j.
  void Put(const std::vector<uint8_t>& f, const std::vector<uint8_t>& j) {
    ASSERT_TRUE(vt::WriteAll(file, f));
    holes.MakeSparse(file);
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

  std::vector<uint8_t> tornTail(c.cutJournal.begin(), c.cutJournal.end() - 100);
  std::vector<uint8_t> tornHead = c.cutJournal;
  tornHead[active + 77] ^= 0x10;
  // The same journal in the format of the previous version (no check
  // values of written bytes): still rolled back.
  std::vector<uint8_t> older(c.cutJournal.begin(), c.cutJournal.begin() + vrojournal::kEntriesStart);
  vrojournal::Head oldHead = head;
  oldHead.version = 1;
  oldHead.sealedEntries = 0;
  for (size_t at = vrojournal::kEntriesStart; at + vrojournal::kEntryHead <= c.cutJournal.size();) {
    uint32_t bytes, kind;
    memcpy(&bytes, &c.cutJournal[at + 8], 4);
    memcpy(&kind, &c.cutJournal[at + 12], 4);
    size_t next = at + vrojournal::kEntryHead + (kind == 0 ? bytes : kind == 2 ? bytes / 512 * 4 : 0);
    if (next > head.sealedEnd) break;
    if (kind < 2) {
      older.insert(older.end(), c.cutJournal.begin() + at, c.cutJournal.begin() + next);
      oldHead.sealedEntries++;
    }
    at = next;
  }
  oldHead.sealedEnd = older.size();
  for (int slot = 0; slot < 2; slot++) {
    uint8_t bytes[512];
    oldHead.sequence = head.sequence + slot;
    vrojournal::EncodeHead(oldHead, bytes);
    memcpy(&older[(oldHead.sequence % 2) * 512], bytes, 512);
  }

  // As it was left, a journal torn in its unsealed tail, or one whose head
  // in use was torn (the other one counts), the file as left, a backup of
  // it from before the command put back, or each 4 KiB page of it as one
  // or the other (writes that reached the disk in part): rolled back,
  // byte for byte, and the holes the command filled are holes again (a
  // journal of the previous version knows no holes: their zeros are put
  // back).
  std::vector<uint8_t> mixed = c.cutFile;
  for (size_t page = 0; page < c.before.size() / 4096; page++)
    if ((page * 2654435761u) >> 7 & 1)
      memcpy(&mixed[page * 4096], &c.before[page * 4096], 4096);
  struct Case {
    const char* what;
    const std::vector<uint8_t>& file;
    std::vector<uint8_t> journal;
  };
  for (const Case& w : {Case{"as left", c.cutFile, c.cutJournal},
                        Case{"unsealed tail cut", c.cutFile, tornTail},
                        Case{"head in use torn", c.cutFile, tornHead},
                        Case{"a backup put back", c.before, c.cutJournal},
                        Case{"pages of either", mixed, c.cutJournal},
                        Case{"the previous version's", c.cutFile, older}}) {
    Lines lines;
    c.Put(w.file, w.journal);
    EXPECT_TRUE(c.Opens()) << w.what;
    EXPECT_TRUE(c.Read(c.file) == c.before) << w.what;
    EXPECT_FALSE(vt::FileExists(c.journal)) << w.what;
    EXPECT_TRUE(lines.Has(VRO_NOTICE_JOURNAL_ROLLED_BACK)) << w.what;
    if (std::string(w.what) != "the previous version's") {
      EXPECT_EQ(c.beforeMap, c.holes.Map(c.file)) << w.what;
    }
  }

  // Cut off while it rolls back, at each of its writes and punches (the
  // write or punch failing; the process stopped there, its write or punch
  // torn): the next open rolls back again, and every byte is as before, a
  // punched range zeros as the hole was. Stopped, the next open gives back
  // every hole the command filled; a punch that failed leaves the rest of
  // its holes' room taken, with their zeros written.
  int steps = 0;
  {
    c.Put(c.cutFile, c.cutJournal);
    WriteFaults count(WriteFaults::COUNT, 0);
    int punches = c.holes.Punches();
    ASSERT_TRUE(c.Opens());
    steps = count.Count();
    EXPECT_LT(punches, c.holes.Punches()) << "no hole was punched";
  }
  ASSERT_LT(2, steps);
  for (int mode : {WriteFaults::FAIL, WriteFaults::STOP}) {
    for (int n = 1; n <= steps; n++) {
      std::string where = (mode == WriteFaults::FAIL ? "failed at " : "stopped at ") +
                          std::to_string(n) + " of " + std::to_string(steps);
      c.Put(c.cutFile, c.cutJournal);
      {
        Lines quiet;
        WriteFaults cut((WriteFaults::Mode)mode, n);
        c.Opens();
      }
      Lines lines;
      EXPECT_TRUE(c.Opens()) << where;
      EXPECT_TRUE(c.Read(c.file) == c.before) << where;
      EXPECT_FALSE(vt::FileExists(c.journal)) << where;
      if (mode == WriteFaults::STOP) {
        EXPECT_EQ(c.beforeMap, c.holes.Map(c.file)) << where;
      }
      if (::testing::Test::HasFailure()) return;
    }
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
    at += vrojournal::kEntryHead + (kind == 0 ? bytes : kind == 2 ? bytes / 512 * 4 : 0);
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
  // Also one made from the same file, that differs from it, as the
  // command left it and as before it, only in one sector the command
  // wrote (the fingerprint's samples all alike).
  std::vector<uint8_t> other = Random(c.before.size(), 99), sibling = c.cutFile;
  std::vector<uint8_t> sector = Random(512, 98);
  memcpy(&sibling[174 * 512], sector.data(), 512);
  ASSERT_TRUE(memcmp(&c.before[174 * 512], &c.cutFile[174 * 512], 512) != 0);
  for (const std::vector<uint8_t>* copy : {&other, &sibling}) {
    Lines lines;
    c.Put(*copy, c.cutJournal);
    EXPECT_TRUE(c.Opens());
    EXPECT_TRUE(c.Read(c.file) == *copy);
    EXPECT_FALSE(vt::FileExists(c.journal));
    EXPECT_TRUE(c.Read(c.journal + L".aside") == c.cutJournal);
    EXPECT_TRUE(lines.Has(VRO_NOTICE_JOURNAL_SET_ASIDE));
    DeleteFileW((c.journal + L".aside").c_str());
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

// Each write and flush of a file (named as it is called then) and each
// flush of a folder, in the order they are sent.
struct Recorder : VroDeviceSource {
  VroDeviceSource* prev = VroSetDeviceSource(this);
  std::vector<std::string> events;
  ~Recorder() override { VroSetDeviceSource(prev); }
  static std::string NameOf(HANDLE h) {
    wchar_t full[1024];
    DWORD n = GetFinalPathNameByHandleW(h, full, 1024, 0);
    if (!n || n >= 1024) return "?";
    std::wstring f(full, n);
    return vt::Narrow(f.substr(f.find_last_of(L"\\/") + 1));
  }
  HANDLE OpenDevice(const wchar_t* path, int type, DWORD access, DWORD share, uint64_t* bytes,
                    int* disk) override {
    return prev->OpenDevice(path, type, access, share, bytes, disk);
  }
  int64_t WriteAt(HANDLE h, uint64_t at, const void* buf, uint32_t bytes) override {
    events.push_back("write " + NameOf(h));
    return prev->WriteAt(h, at, buf, bytes);
  }
  int FlushHandle(HANDLE h) override {
    std::string name = NameOf(h);
    events.push_back("flush " + name);
    int r = prev->FlushHandle(h);
    // The journal as the disk holds it after its last flush.
    if (r == 0 && !journal.empty() && name == vt::Narrow(vrojournal::FileNameOf(journal)))
      vt::ReadAll(journal, flushedJournal);
    return r;
  }
  std::wstring journal;
  std::vector<uint8_t> flushedJournal;
  int FlushFolder(const wchar_t* path) override {
    events.push_back("folder");
    return prev->FlushFolder(path);
  }
  // Whether a folder flush comes after every event `after` and before the
  // first event `before`.
  bool FolderBetween(const std::string& after, const std::string& before) const {
    size_t last = 0, first = events.size();
    for (size_t i = 0; i < events.size(); i++) {
      if (events[i] == after) last = i;
      if (events[i] == before && first == events.size()) first = i;
    }
    if (first == events.size() || !last) return false;
    for (size_t i = last + 1; i < first; i++)
      if (events[i] == "folder") return true;
    return false;
  }
};

// A name is on the disk before the bytes it protects: the made file's name
// before the journal of the next command on it, the journal's before the
// first overwrite it covers. And a removal of the journal that the disk
// never kept (power lost before the folder reached it) leaves a journal
// that says the command is whole: the next open removes it and keeps the
// command.
TEST(Journal, NamesReachTheDiskBeforeWhatTheyProtect) {
  std::wstring dir = vt::ScratchDir(), file = Path(dir, L"made.img");
  std::vector<uint8_t> data = Random(64 << 10, 11), again = Random(4096, 12);
  Recorder rec;
  rec.journal = vrojournal::JournalPathOf(file);
  {
    _VROH_RW_CLASS layer;
    ASSERT_TRUE(layer.Open(file.c_str(), VRO_MODE_CREATE));
    ASSERT_EQ((int64_t)data.size(), layer.Write(0, data.data(), (uint32_t)data.size()));
    ASSERT_EQ(0, layer.Commit());
    ASSERT_EQ(4096, layer.Write(9, again.data(), 4096));
    ASSERT_EQ(0, layer.Flush());
    ASSERT_EQ(0, layer.Close());
  }
  std::string all;
  for (const std::string& e : rec.events) all += e + "\n";
  EXPECT_TRUE(rec.FolderBetween("write made.img.new", "write made.img.journal.new")) << all;
  EXPECT_TRUE(rec.FolderBetween("write made.img.journal.new", "write made.img")) << all;
  EXPECT_FALSE(vt::FileExists(vrojournal::JournalPathOf(file)));
  _VROH_RW_CLASS reader;
  ASSERT_TRUE(reader.Open(file.c_str(), VRO_MODE_READ));
  std::vector<uint8_t> after(data.size());
  ASSERT_EQ((int64_t)after.size(), reader.Read(0, after.data(), (uint32_t)after.size()));
  memcpy(&data[9 * 512], again.data(), 4096);
  EXPECT_TRUE(after == data);
  reader.Close();

  ASSERT_FALSE(rec.flushedJournal.empty());
  ASSERT_TRUE(vt::WriteAll(rec.journal, rec.flushedJournal));
  Lines lines;
  ASSERT_TRUE(reader.Open(file.c_str(), VRO_MODE_READ));
  ASSERT_EQ((int64_t)after.size(), reader.Read(0, after.data(), (uint32_t)after.size()));
  EXPECT_TRUE(after == data) << "a whole command was rolled back";
  EXPECT_FALSE(vt::FileExists(rec.journal));
  EXPECT_TRUE(g_lines.empty());
}

}  // namespace
