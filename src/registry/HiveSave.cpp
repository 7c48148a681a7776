// Saving a hive as Windows does, so that a save cut off at any write leaves
// a file that loads as the old hive or as the new one:
// 1. The changed pages go into a transaction log beside the hive (.LOG1 or
//    .LOG2, whichever the file on the volume does not need): its head is
//    cleared, the entry written, then the head, so the log is either
//    passed over or whole. A hive that grows takes its room (zeros past
//    its end, which no reader looks at). Before the base block is touched
//    the logs are read back and replayed over the file as it will look in
//    step 2; the save goes on only when that gives exactly the new hive.
// 2. The base block is written with the primary sequence number ahead of
//    the secondary one: from here a load replays the log.
// 3. The changed pages are written in place.
// 4. The base block is written with equal sequence numbers and the file's
//    last-write time set.
// Every step is flushed before the next begins.
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
bool ReplayGivesNew(HiveFileStore& store, const std::wstring* names,
                    const std::vector<uint8_t>& pending, const std::vector<uint8_t>& bytes) {
  std::vector<std::vector<uint8_t>> logs(2);
  std::vector<HiveLogFile> view(2);
  for (int i = 0; i < 2; i++) {
    int found = store.ReadWhole(names[i], logs[i]);
    view[i].data = logs[i].data();
    view[i].size = found > 0 ? logs[i].size() : 0;
    view[i].unreadable = found < 0;
  }
  uint32_t sequence = 0;
  std::vector<uint8_t> recovered;
  return hive_apply_logs(pending, view, &sequence, &recovered) == HIVE_LOG_RECOVERED &&
         recovered == bytes;
}

bool WriteLogged(HiveFileStore& store, const std::wstring& path, const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> old;
  if (store.ReadWhole(path, old) != 1) old.clear();
  std::vector<HivePageRun> runs = hive_changed_runs(bytes, old.data(), old.size());
  std::vector<uint8_t> log = hive_build_log(bytes, runs);

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
  if (!store.Fits({{path, bytes.size()}, {logPath, log.size()}})) return false;

  static const uint8_t zero[kSector] = {};
  bool targetHead = found[target] == 1 && !ZeroHead(heads[target]);
  bool otherFound = found[1 - target] == 1;
  std::vector<uint8_t>().swap(heads[0]);
  std::vector<uint8_t>().swap(heads[1]);
  if (targetHead && (!store.Write(logPath, zero, kSector, 0) || !store.Flush())) return false;
  if (!store.Write(logPath, log.data() + kSector, log.size() - kSector, kSector) ||
      !store.Flush() || !store.Write(logPath, log.data(), kSector, 0) || !store.Flush())
    return false;
  std::vector<uint8_t>().swap(log);
  // The hive takes the room it grows by while it is still the old one: a
  // full volume stops the save here, before the file needs its log.
  if (bytes.size() > old.size() && (!store.Reserve(path, bytes.size()) || !store.Flush()))
    return false;

  std::vector<uint8_t> base(bytes.begin(), bytes.begin() + HIVE_BASE_SIZE);
  uint32_t seq = read_le32(base.data() + 4);
  uint32_t before = old.size() >= kSector ? read_le32(old.data() + 8) : seq - 1;
  write_le32(base.data() + 8, before != seq ? before : seq - 1);
  write_le32(base.data() + 0x1FC, BaseChecksum(base.data()));
  // The old bytes are not needed any more: they become the pending file.
  std::vector<uint8_t>& pending = old;
  if (pending.size() < base.size()) pending.resize(base.size(), 0);
  memcpy(pending.data(), base.data(), base.size());
  if (!ReplayGivesNew(store, names, pending, bytes)) {
    // The other log fails its checks and would stop every replay: it is
    // cleared (no sound state of the file needs a log that cannot be read).
    const std::wstring& other = names[1 - target];
    if (!otherFound || !store.Write(other, zero, kSector, 0) || !store.Flush() ||
        !ReplayGivesNew(store, names, pending, bytes))
      return false;
  }
  std::vector<uint8_t>().swap(old);

  if (!store.Write(path, base.data(), base.size(), 0) || !store.Flush()) return false;
  for (const HivePageRun& r : runs)
    if (!store.Write(path, bytes.data() + r.offset, r.length, r.offset)) return false;
  if (!store.Flush()) return false;
  if (!store.Write(path, bytes.data(), HIVE_BASE_SIZE, 0) || !store.Flush()) return false;
  return true;
}

}  // namespace

int CRegHive::SaveThrough(HiveFileStore& store) {
  if (!m_pImage || !(m_pImage->state & HIVE_STATE_DIRTY)) return HIVE_SAVE_NOTHING;
  bool written = false;
  try {
    std::vector<uint8_t> bytes;
    save_hive_buffer(m_pImage, bytes);
    written = WriteLogged(store, m_pImage->path, bytes);
  } catch (const std::bad_alloc&) {
    written = false;
  }
  if (!written) {
    // Nothing may pass for saved that the volume did not take.
    m_pImage->state |= HIVE_STATE_DIRTY;
    return HIVE_SAVE_FAILED;
  }
  store.Stamp(m_pImage->path);
  return HIVE_SAVE_WRITTEN;
}
