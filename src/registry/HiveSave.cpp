// Saving a hive as Windows does, so that a save cut off at any write leaves
// a file that loads as the old hive or as the new one:
// 1. The room of the log and of the hive's growth is taken first. The
//    changed pages go into a transaction log beside the hive (.LOG1 or
//    .LOG2, whichever the file on the volume does not need): its head is
//    cleared, the entry written, then the head, so the log is either
//    passed over or whole. A hive that grows gets its new pages past its
//    end now (no reader looks there). Before the base block is touched
//    the logs are read back and replayed over the file as it will look in
//    step 2; the save goes on only when that gives exactly the new hive.
// 2. The base block is written with the primary sequence number ahead of
//    the secondary one: from here a load replays the log.
// 3. The changed pages inside the old file are written in place.
// 4. The base block is written with equal sequence numbers and the file's
//    last-write time set.
// Every step is flushed before the next begins. Several hives saved
// together (one import over SYSTEM and SOFTWARE) take each step in turn:
// all logs before any hive file is touched. A save that fails on the way
// puts the hive file back as it was (old pages, old base block, old length)
// and removes a log it made, so that the hive loads as before; the rest of
// what it wrote (a log it wrote over, the volume's records) is the
// command's, whose roll back takes it back (CMountedImage::UnloadHives).
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "registry/HiveFileStore.h"
#include "registry/RegHive.h"
#include "registry/hive/HiveImage.h"
#include "registry/hive/HiveLog.h"

namespace {

const size_t kSector = 512;

uint32_t BaseChecksum(const uint8_t* p) {
  uint32_t x = 0;
  for (int i = 0; i < 127; i++) x ^= read_le32(p + 4 * i);
  return x;
}

bool ZeroHead(const std::vector<uint8_t>& log) {
  if (log.size() < kSector) return true;
  for (size_t i = 0; i < kSector; i++)
    if (log[i]) return false;
  return true;
}

// Sequence number in a log's base block, 0 for none.
uint32_t LogSequence(const std::vector<uint8_t>& log) {
  return log.size() >= kSector && !ZeroHead(log) ? read_le32(log.data() + 4) : 0;
}

// True when the logs on the volume take the pending file (the file as a
// load would see it after step 2: the old bytes under the new base block)
// to the new hive.
bool ReplayGivesNew(HiveFileStore& store, const std::wstring* names, const std::vector<uint8_t>& base,
                    uint64_t oldSize, const uint8_t* bytes, size_t size,
                    const std::vector<HivePageRun>& runs) {
  std::vector<std::vector<uint8_t>> logs(2);
  std::vector<HiveLogFile> view(2);
  for (int i = 0; i < 2; i++) {
    int found = store.ReadWhole(names[i], logs[i]);
    view[i].data = logs[i].data();
    view[i].size = found > 0 ? logs[i].size() : 0;
    view[i].unreadable = found < 0;
  }
  return hive_logs_give(base.data(), (size_t)std::max<uint64_t>(oldSize, base.size()), view, bytes,
                        size, runs);
}

// One hive's save, from its preparation (log written, room taken) to the
// commit of its pages, with what undoing it needs: the file's old base
// block and the old bytes under every page the save writes.
struct PendingSave {
  CRegHive* hive = nullptr;
  HiveFileStore* store = nullptr;
  std::wstring path;
  const uint8_t* bytes = nullptr;  // the new file: the hive's own buffer, sealed
  size_t size = 0;
  std::vector<HivePageRun> runs;
  std::vector<uint8_t> base;     // the base block that marks the write as begun
  std::vector<uint8_t> oldHead;  // the file's base block as it was
  std::vector<uint8_t> oldPages;  // the old bytes of the runs (inside the old size)
  uint64_t oldSize = 0;
  std::vector<std::wstring> made;  // logs the save created
  bool taken = false;    // the file took room past its old end
  bool touched = false;  // the file itself was written to
};

// The 4 KiB pages (base block excluded) where the new file differs from
// the file on the volume, read a piece at a time; pages past its end
// differ. The old bytes of those pages are kept for an undo.
bool FindChangedPages(PendingSave& p) {
  const size_t kPage = 4096, kPiece = 1 << 20;
  std::vector<uint8_t> piece;
  piece.reserve(kPiece);
  for (size_t from = HIVE_BASE_SIZE; from < p.size; from += kPiece) {
    size_t to = std::min(p.size, from + kPiece);
    uint64_t have = p.oldSize > from ? std::min<uint64_t>(p.oldSize, to) - from : 0;
    piece.resize((size_t)have);
    if (have && !p.store->ReadAt(p.path, from, (size_t)have, piece.data())) return false;
    for (size_t at = from; at < to; at += kPage) {
      size_t n = std::min(kPage, p.size - at);
      bool same = at + n <= p.oldSize && memcmp(p.bytes + at, piece.data() + (at - from), n) == 0;
      if (same) continue;
      if (at < p.oldSize) {
        size_t old = (size_t)std::min<uint64_t>(n, p.oldSize - at);
        p.oldPages.insert(p.oldPages.end(), piece.begin() + (at - from),
                          piece.begin() + (at - from) + old);
      }
      if (!p.runs.empty() && p.runs.back().offset + p.runs.back().length == at)
        p.runs.back().length += (uint32_t)n;
      else
        p.runs.push_back({(uint32_t)at, (uint32_t)n});
    }
  }
  return true;
}

// Step 1 (head comment): the log, the room and the check of the replay.
// Nothing of the hive file itself is written.
bool Prepare(PendingSave& p, uint64_t group) {
  HiveFileStore& store = *p.store;
  const std::wstring& path = p.path;
  const uint8_t* bytes = p.bytes;
  int64_t oldSize = store.SizeOf(path);
  p.oldSize = oldSize > 0 ? (uint64_t)oldSize : 0;
  p.oldHead.resize((size_t)std::min<uint64_t>(p.oldSize, HIVE_BASE_SIZE));
  if (!p.oldHead.empty() && !store.ReadAt(path, 0, p.oldHead.size(), p.oldHead.data()))
    return false;
  if (!FindChangedPages(p)) return false;
  std::vector<uint8_t> log = hive_build_log(bytes, p.runs);
  if (group) {
    // The save's mark: a load that finds one hive of the save written
    // replays the others' logs too (CRegHive::kGroupMark).
    memcpy(log.data() + CRegHive::kGroupMarkAt, CRegHive::kGroupMark, 4);
    write_le32(log.data() + CRegHive::kGroupMarkAt + 4, (uint32_t)group);
    write_le32(log.data() + CRegHive::kGroupMarkAt + 8, (uint32_t)(group >> 32));
    write_le32(log.data() + 0x1FC, BaseChecksum(log.data()));
  }

  // The logs are spelt as the hive's own name is stored ("SOFTWARE.LOG1"),
  // as Windows names them.
  std::wstring stored = store.StoredPath(path);
  std::wstring names[2] = {stored + CRegHive::kLogSuffixes[0], stored + CRegHive::kLogSuffixes[1]};
  std::vector<uint8_t> heads[2];
  int found[2];
  for (int i = 0; i < 2; i++) found[i] = store.ReadWhole(names[i], heads[i]);
  // The log goes where no replay of the file as it lies needs it: a file
  // without a log head, else the one that began earlier.
  int target = 0;
  if (found[0] == 1 && !ZeroHead(heads[0]) &&
      (found[1] != 1 || ZeroHead(heads[1]) || LogSequence(heads[1]) < LogSequence(heads[0])))
    target = 1;
  const std::wstring& logPath = names[target];
  if (!store.Fits({{path, p.size}, {logPath, log.size()}})) return false;

  static const uint8_t zero[kSector] = {};
  bool targetHead = found[target] == 1 && !ZeroHead(heads[target]);
  bool otherFound = found[1 - target] == 1;
  std::vector<uint8_t>().swap(heads[0]);
  std::vector<uint8_t>().swap(heads[1]);
  if (found[target] == 0) p.made.push_back(logPath);
  // All the room the save needs, the log's and the file's, is taken before
  // any of its bytes are written: a volume that cannot give it (full, or
  // refusing a cluster) stops the save where only the volume's records
  // changed, which the command's roll back puts back whole.
  p.taken = p.size > p.oldSize;
  if (!store.Reserve(logPath, log.size()) || (p.taken && !store.Reserve(path, p.size)) ||
      !store.Flush())
    return false;
  if (targetHead && (!store.Write(logPath, zero, kSector, 0) || !store.Flush())) return false;
  if (!store.Write(logPath, log.data() + kSector, log.size() - kSector, kSector) ||
      !store.Flush() || !store.Write(logPath, log.data(), kSector, 0) || !store.Flush())
    return false;
  std::vector<uint8_t>().swap(log);
  // The pages the hive grows by go past its end while it is still the old
  // one (no reader looks there), into the room taken: the write itself
  // later only goes where the file already lies.
  if (p.taken) {
    for (const HivePageRun& r : p.runs) {
      uint64_t from = std::max<uint64_t>(r.offset, p.oldSize), end = r.offset + r.length;
      if (from < end && !store.Write(path, bytes + from, (size_t)(end - from), from))
        return false;
    }
    if (!store.Flush()) return false;
  }

  p.base.assign(bytes, bytes + HIVE_BASE_SIZE);
  uint32_t seq = read_le32(p.base.data() + 4);
  uint32_t before = p.oldHead.size() >= kSector ? read_le32(p.oldHead.data() + 8) : seq - 1;
  write_le32(p.base.data() + 8, before != seq ? before : seq - 1);
  write_le32(p.base.data() + 0x1FC, BaseChecksum(p.base.data()));
  if (!ReplayGivesNew(store, names, p.base, p.oldSize, bytes, p.size, p.runs)) {
    // The other log fails its checks and would stop every replay: it is
    // cleared (no sound state of the file needs a log that cannot be read).
    const std::wstring& other = names[1 - target];
    if (!otherFound || !store.Write(other, zero, kSector, 0) || !store.Flush() ||
        !ReplayGivesNew(store, names, p.base, p.oldSize, bytes, p.size, p.runs))
      return false;
  }
  return true;
}

// Step 2: from here a load replays the log.
bool Begin(PendingSave& p) {
  p.touched = true;
  return p.store->Write(p.path, p.base.data(), p.base.size(), 0) && p.store->Flush();
}

// Steps 3 and 4.
bool Finish(PendingSave& p) {
  HiveFileStore& store = *p.store;
  for (const HivePageRun& r : p.runs) {
    if (r.offset >= p.oldSize) continue;  // written before the log was needed
    size_t n = (size_t)std::min<uint64_t>(r.length, p.oldSize - r.offset);
    if (!store.Write(p.path, p.bytes + r.offset, n, r.offset)) return false;
  }
  return store.Flush() && store.Write(p.path, p.bytes, HIVE_BASE_SIZE, 0) && store.Flush();
}

// Puts the file back as it was: its old pages under the base block that
// still sends a load to the log, then its old base block, its old length,
// and no log it did not have. Cut off on the way, the file loads as the
// old hive or the new one.
void Undo(PendingSave& p) {
  HiveFileStore& store = *p.store;
  bool ok = true;
  if (p.touched) {
    size_t at = 0;
    for (const HivePageRun& r : p.runs) {
      if (r.offset >= p.oldSize) continue;
      size_t n = (size_t)std::min<uint64_t>(r.length, p.oldSize - r.offset);
      ok = ok && store.Write(p.path, p.oldPages.data() + at, n, r.offset);
      at += n;
    }
    ok = ok && store.Flush() &&
         store.Write(p.path, p.oldHead.data(), p.oldHead.size(), 0) && store.Flush();
  }
  // Only a file whose old bytes are all back is cut.
  if (ok && (p.taken || p.touched)) ok = store.Truncate(p.path, p.oldSize) && store.Flush();
  for (const std::wstring& log : p.made) store.Remove(log);
  store.Flush();
}

}  // namespace

int CRegHive::SaveThrough(HiveFileStore& store) {
  if (!m_pImage || !(m_pImage->state & HIVE_STATE_DIRTY)) return HIVE_SAVE_NOTHING;
  return SaveAllThrough({{this, &store}}) ? HIVE_SAVE_WRITTEN : HIVE_SAVE_FAILED;
}

bool CRegHive::SaveAllThrough(const std::vector<std::pair<CRegHive*, HiveFileStore*>>& hives) {
  std::vector<PendingSave> saves;
  bool ok = true;
  // The save whose step failed, for SaveFailed.
  size_t failed = (size_t)-1;
  for (const auto& h : hives) h.first->m_bSaveFailed = false;
  try {
    for (const auto& h : hives) {
      HiveImage* img = h.first->m_pImage;
      if (!img || !(img->state & HIVE_STATE_DIRTY)) continue;
      saves.emplace_back();
      PendingSave& p = saves.back();
      p.hive = h.first;
      p.store = h.second;
      p.path = img->path;
      // An import undone only in part leaves no hive to write.
      if (img->unsaveable) {
        ok = false;
        failed = saves.size() - 1;
        break;
      }
      // The new file is the hive's own buffer, written from where it lies.
      p.size = seal_hive_buffer(img);
      p.bytes = img->buffer;
    }
    // Every log is written and flushed before any hive file is touched,
    // and every hive file marked as being written before any takes a page.
    uint64_t group = 0;
    if (saves.size() > 1) {
      FILETIME now;
      GetSystemTimeAsFileTime(&now);
      group = ((uint64_t)now.dwHighDateTime << 32 | now.dwLowDateTime) | 1;
    }
    auto step = [&](size_t i, bool done) {
      if (!done) failed = i;
      return done;
    };
    for (size_t i = 0; ok && i < saves.size(); i++) ok = step(i, Prepare(saves[i], group));
    for (size_t i = 0; ok && i < saves.size(); i++) ok = step(i, Begin(saves[i]));
    for (size_t i = 0; ok && i < saves.size(); i++) ok = step(i, Finish(saves[i]));
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  if (!ok) {
    if (failed < saves.size()) saves[failed].hive->m_bSaveFailed = true;
    for (PendingSave& p : saves) p.hive->m_pImage->state |= HIVE_STATE_DIRTY;
    // Nothing may pass for saved that the volume did not take, and a save
    // that failed leaves every file as it was.
    for (size_t i = saves.size(); i-- > 0;) Undo(saves[i]);
    return false;
  }
  for (PendingSave& p : saves) p.store->Stamp(p.path);
  return true;
}
