// The writes and flushes a volume sends to its disk, recorded in a device
// block (as a journal installs itself there), and the rule a disk left by a
// writer that died must keep: it equals the disk before with the volume's
// writes 1..M applied, write M + 1 possibly in part, for some M from the
// writes before the last flush that succeeded up to the first write that
// failed.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "WriteFaults.h"
#include "image/device/DiskIoBlock.h"
#include "image/stack/MountRw.h"

namespace it {

class VolumeWriteRecorder {
 public:
  struct Write {
    uint64_t offset;
    std::vector<uint8_t> data;
  };

  // The block keeps pointing here until it is gone (the mounted image's
  // close deletes it): the recorder must outlive the close.
  explicit VolumeWriteRecorder(DiskIoBlock* block) : m_inner(*block) {
    block->owner = this;
    block->read = Read;
    block->write = WriteCb;
    block->sync = m_inner.sync ? Sync : nullptr;
  }
  VolumeWriteRecorder(const VolumeWriteRecorder&) = delete;

  const std::vector<Write>& Writes() const { return m_writes; }
  // Writes issued before the last flush that succeeded.
  size_t Flushed() const { return m_flushed; }
  // Index of the first write that failed (the number of writes when none).
  size_t FirstFailed() const { return m_firstFailed; }
  int Flushes() const { return m_flushes; }

 private:
  static int Read(void* owner, unsigned long long offset, void* buffer, unsigned int count) {
    VolumeWriteRecorder* r = static_cast<VolumeWriteRecorder*>(owner);
    return r->m_inner.read(r->m_inner.owner, offset, buffer, count);
  }
  static int WriteCb(void* owner, unsigned long long offset, const void* buffer,
                     unsigned int count) {
    VolumeWriteRecorder* r = static_cast<VolumeWriteRecorder*>(owner);
    const uint8_t* p = static_cast<const uint8_t*>(buffer);
    r->m_writes.push_back({offset, std::vector<uint8_t>(p, p + count)});
    int done = r->m_inner.write(r->m_inner.owner, offset, buffer, count);
    if (done != (int)count && r->m_firstFailed == (size_t)-1)
      r->m_firstFailed = r->m_writes.size() - 1;
    if (r->m_firstFailed == (size_t)-1) r->m_good = r->m_writes.size();
    return done;
  }
  static int Sync(void* owner) {
    VolumeWriteRecorder* r = static_cast<VolumeWriteRecorder*>(owner);
    r->m_flushes++;
    int result = r->m_inner.sync(r->m_inner.owner);
    if (result == 0 && r->m_firstFailed == (size_t)-1) r->m_flushed = r->m_writes.size();
    return result;
  }

  DiskIoBlock m_inner;
  std::vector<Write> m_writes;
  size_t m_flushed = 0;
  size_t m_good = 0;
  int m_flushes = 0;
  size_t m_firstFailed = (size_t)-1;

 public:
  // The M the disk `got` shows (see the top), or -1; `why` tells the first
  // sector that no M explains for the smallest candidate.
  long MatchPrefix(const std::vector<uint8_t>& before, const std::vector<uint8_t>& got,
                   std::string* why) const {
    const size_t kSector = 512;
    size_t last = m_firstFailed == (size_t)-1 ? m_writes.size() : m_firstFailed;
    std::vector<uint8_t> s = before;
    auto apply = [&](const Write& w, std::vector<uint8_t>& to) {
      if (w.offset < to.size()) {
        size_t n = w.data.size() < to.size() - w.offset ? w.data.size() : to.size() - w.offset;
        memcpy(&to[w.offset], w.data.data(), n);
      }
    };
    for (size_t i = 0; i < m_flushed; i++) apply(m_writes[i], s);
    std::set<size_t> differ;
    for (size_t k = 0; k < got.size() / kSector; k++)
      if (memcmp(&s[k * kSector], &got[k * kSector], kSector) != 0) differ.insert(k);
    if (why) {
      *why = differ.empty() ? ""
                            : "sector " + std::to_string(*differ.begin()) + " of " +
                                  std::to_string(differ.size()) +
                                  " differing at M = " + std::to_string(m_flushed);
    }
    for (size_t m = m_flushed;; m++) {
      if (differ.empty()) return (long)m;
      if (m >= m_writes.size() || m > last) return -1;
      const Write& w = m_writes[m];
      size_t from = w.offset / kSector;
      size_t to = (w.offset + w.data.size() + kSector - 1) / kSector;
      if (to > got.size() / kSector) to = got.size() / kSector;
      // Sectors of write m + 1 as it would leave them.
      std::vector<uint8_t> next(s.begin() + from * kSector, s.begin() + to * kSector);
      Write shifted{w.offset - from * kSector, w.data};
      apply(shifted, next);
      bool torn = *differ.begin() >= from && *differ.rbegin() < to;
      for (size_t k : differ) {
        if (!torn) break;
        torn = memcmp(&next[(k - from) * kSector], &got[k * kSector], kSector) == 0;
      }
      if (torn) return (long)m;
      memcpy(&s[from * kSector], next.data(), next.size());
      for (size_t k = from; k < to; k++) {
        if (memcmp(&s[k * kSector], &got[k * kSector], kSector) != 0)
          differ.insert(k);
        else
          differ.erase(k);
      }
    }
  }
};

// The whole disk of an image read through its chain (fix: the write-back
// file, or empty), opened read-only.
inline std::vector<uint8_t> ChainDisk(const std::wstring& image, const std::wstring& fix) {
  _VROH_MOUNT_RW d;
  EXPECT_LT(0, d.OpenChain(image.c_str(), fix.c_str(), 0));
  std::vector<uint8_t> disk((size_t)d.DiskBytes());
  EXPECT_EQ((int64_t)disk.size(), d.ReadBytes(nullptr, 0, disk.data(), disk.size()));
  return disk;
}

// One run of a volume operation on a mounted image: the disk before it
// (flushed, so the files hold it), its writes counted (or cut off) at the
// files and recorded at the volume.
struct RecordedRun {
  std::vector<uint8_t> before;
  std::unique_ptr<WriteFaults> faults;
  std::unique_ptr<VolumeWriteRecorder> rec;

  // Call between the mount and the operation.
  void Start(DiskIoBlock* block, WriteFaults::Mode mode, int at) {
    EXPECT_EQ(0, block->sync(block->owner));
    before.resize((size_t) static_cast<_VROH_MOUNT_RW*>(block->owner)->DiskBytes());
    EXPECT_EQ((int)before.size(), block->read(block->owner, 0, before.data(), before.size()));
    faults.reset(new WriteFaults(mode, at));
    rec.reset(new VolumeWriteRecorder(block));
  }
};

// The operation run once whole, then failed and stopped at the writes to
// the files that `points` picks from their count: each run leaves the disk
// (readDisk, after the operation's image was closed and opened again) as it
// was before the operation, or with all of its volume writes. op(run, mode, at) mounts, calls run.Start, runs
// and closes; it returns true when the operation reported done. restore
// puts the files back as they were before the operation.
inline void ExpectEveryWriteLeavesBeforeOrAfter(
    const std::function<bool(RecordedRun&, WriteFaults::Mode, int)>& op,
    const std::function<void()>& restore, const std::function<std::vector<uint8_t>()>& readDisk,
    const std::function<std::vector<int>(int)>& points) {
  int writes;
  {
    RecordedRun run;
    ASSERT_TRUE(op(run, WriteFaults::COUNT, 0));
    writes = run.faults->Count();
    // Every flush of the volume flushed the files to the disk.
    EXPECT_LE(run.rec->Flushes(), run.faults->Flushes());
    run.faults.reset();
    // The close flushed everything the operation wrote.
    EXPECT_EQ(run.rec->Writes().size(), run.rec->Flushed());
    std::string why;
    EXPECT_EQ((long)run.rec->Writes().size(), run.rec->MatchPrefix(run.before, readDisk(), &why))
        << why;
  }
  for (int mode = WriteFaults::FAIL; mode <= WriteFaults::STOP; mode++) {
    for (int n : points(writes)) {
      std::string where = std::string(mode == WriteFaults::FAIL ? "failed" : "stopped") +
                          " write " + std::to_string(n) + " of " + std::to_string(writes);
      restore();
      RecordedRun run;
      EXPECT_FALSE(op(run, (WriteFaults::Mode)mode, n)) << where;
      run.faults.reset();
      // The command is taken back whole (the disk before it), or was whole.
      std::vector<uint8_t> got = readDisk();
      if (got == run.before) continue;
      std::string why;
      EXPECT_EQ((long)run.rec->Writes().size(), run.rec->MatchPrefix(run.before, got, &why))
          << where << ": the disk is neither the one before the command nor the one after all "
          << run.rec->Writes().size() << " of its volume writes: " << why;
      if (::testing::Test::HasFailure()) return;
    }
  }
}

}  // namespace it
