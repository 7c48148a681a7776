// Replay of hive transaction logs, both formats.
#include "registry/hive/HiveLog.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

#include "registry/hive/HiveImage.h"

namespace {

const uint32_t kSector = 512;
const uint32_t kPage = 4096;
const uint32_t kEntryHeader = 40;
const uint32_t kMaxBins = 0x7FFFF000u - HIVE_BASE_SIZE;  // what a hive load accepts
enum : uint32_t {
  BB_SEQ1 = 0x04,
  BB_SEQ2 = 0x08,
  BB_TIME = 0x0C,
  BB_TYPE = 0x1C,
  BB_BINS = 0x28,
  BB_CHECKSUM = 0x1FC,
  LOG_TYPE_OLD = 1,
  LOG_TYPE_OLD_ALT = 2,
  LOG_TYPE_NEW = 6,
};

uint64_t read_le64(const uint8_t* p) {
  return (uint64_t)read_le32(p) | ((uint64_t)read_le32(p + 4) << 32);
}

uint32_t checksum(const uint8_t* p) {
  uint32_t x = 0;
  for (int i = 0; i < 127; i++) x ^= read_le32(p + 4 * i);
  return x;
}

bool base_block_sound(const uint8_t* p, size_t n) {
  return n >= kSector && memcmp(p, "regf", 4) == 0 && checksum(p) == read_le32(p + BB_CHECKSUM);
}

bool all_zero(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; i++)
    if (p[i]) return false;
  return true;
}

void seal_base_block(uint8_t* h, uint32_t seq) {
  write_le32(h + BB_SEQ1, seq);
  write_le32(h + BB_SEQ2, seq);
  write_le32(h + BB_TYPE, 0);
  write_le32(h + BB_CHECKSUM, checksum(h));
}

bool sane_bins(uint32_t bins) {
  return bins && bins % kPage == 0 && bins <= kMaxBins;
}

// One "HvLE" entry of a newer-format log.
struct Entry {
  size_t at = 0;
  uint32_t size = 0, seq = 0, bins = 0, count = 0;
  uint64_t end = 0;  // the end of its last page in the bins
};

// Where a replay writes. The whole file in memory:
struct FileTarget {
  std::vector<uint8_t>& h;
  size_t size() const { return h.size(); }
  bool resize(size_t n) {
    try {
      h.resize(n, 0);
    } catch (const std::bad_alloc&) {
      return false;
    }
    return true;
  }
  void put(size_t off, const uint8_t* p, size_t n) { memcpy(h.data() + off, p, n); }
  uint8_t* base() { return h.data(); }
};

// Or, to check what a replay would give without a copy of the file: the
// base block, the length, and for every sector of the bins the log's bytes
// that land there (null: the file's own).
struct SectorTarget {
  std::vector<uint8_t> head;
  size_t length = 0;
  size_t low = SIZE_MAX;  // the file's own bytes end here (past it: zeros)
  std::vector<const uint8_t*> sectors;
  size_t size() const { return length; }
  bool resize(size_t n) {
    try {
      sectors.resize(n / kSector, nullptr);
    } catch (const std::bad_alloc&) {
      return false;
    }
    length = n;
    low = std::min(low, n);
    return true;
  }
  void put(size_t off, const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; i += kSector) sectors[(off + i) / kSector] = p + i;
  }
  uint8_t* base() { return head.data(); }
};

// Room for bins bytes of bins; false when that cannot be had. A hive grows
// only by bins that the log itself holds: more is damage.
template <class T>
bool resize_bins(T& h, uint32_t bins, uint64_t logged) {
  if (HIVE_BASE_SIZE + (uint64_t)bins > h.size() && bins > logged) return false;
  return h.resize(HIVE_BASE_SIZE + (size_t)bins);
}

// 1 a sound entry, 0 no entry here (the log ends), -1 an entry that fails
// its checks.
int parse_entry(const HiveLogFile& log, size_t at, Entry* e) {
  if (at > log.size || log.size - at < kEntryHeader || memcmp(log.data + at, "HvLE", 4) != 0)
    return 0;
  const uint8_t* p = log.data + at;
  *e = Entry();
  e->at = at;
  e->size = read_le32(p + 4);
  if (e->size < kEntryHeader || e->size % kSector || e->size > log.size - at) return -1;
  if (hive_log_hash(p, 32) != read_le64(p + 32)) return -1;
  if (hive_log_hash(p + kEntryHeader, e->size - kEntryHeader) != read_le64(p + 24)) return -1;
  e->seq = read_le32(p + 12);
  e->bins = read_le32(p + 16);
  e->count = read_le32(p + 20);
  if (!sane_bins(e->bins) || e->count > (e->size - kEntryHeader) / 8) return -1;
  uint64_t used = kEntryHeader + 8ull * e->count;
  for (uint32_t i = 0; i < e->count; i++) {
    uint32_t off = read_le32(p + kEntryHeader + 8 * i),
             len = read_le32(p + kEntryHeader + 8 * i + 4);
    if (len == 0 || len % kSector || off % kSector || (uint64_t)off + len > e->bins) return -1;
    e->end = std::max<uint64_t>(e->end, (uint64_t)off + len);
    used += len;
    if (used > e->size) return -1;
  }
  return 1;
}

template <class T>
bool apply_entry(T& h, const HiveLogFile& log, const Entry& e) {
  if (!resize_bins(h, e.bins, e.end)) return false;
  const uint8_t* p = log.data + e.at;
  const uint8_t* page = p + kEntryHeader + 8 * e.count;
  for (uint32_t i = 0; i < e.count; i++) {
    uint32_t off = read_le32(p + kEntryHeader + 8 * i),
             len = read_le32(p + kEntryHeader + 8 * i + 4);
    h.put(HIVE_BASE_SIZE + off, page, len);
    page += len;
  }
  write_le32(h.base() + BB_BINS, e.bins);
  return true;
}

// The highest sequence number of a newer-format log's sound entries.
uint32_t newest_entry(const HiveLogFile& log) {
  uint32_t best = 0;
  Entry e;
  for (size_t at = kSector; parse_entry(log, at, &e) == 1; at += e.size)
    best = std::max(best, e.seq);
  return best;
}

template <class T>
HiveLogOutcome apply_new(T& h, std::vector<const HiveLogFile*> logs) {
  // Windows moves on to the other file when one is full: the file that
  // began later holds the later entries.
  std::stable_sort(logs.begin(), logs.end(), [](const HiveLogFile* a, const HiveLogFile* b) {
    return read_le32(a->data + BB_SEQ1) < read_le32(b->data + BB_SEQ1);
  });
  uint32_t from = read_le32(h.base() + BB_SEQ1);
  uint32_t next = 0;
  bool applied = false;
  for (const HiveLogFile* log : logs) {
    bool started = false;
    uint32_t prev = 0;
    Entry e;
    for (size_t at = kSector;; at += e.size) {
      int r = parse_entry(*log, at, &e);
      if (r == 0) break;
      if (r < 0) return HIVE_LOG_REFUSED;
      // Entries of one run follow each other; what comes after a break is
      // left over from an earlier run.
      if (started && e.seq != prev + 1) break;
      started = true;
      prev = e.seq;
      if (e.seq < from || (applied && e.seq < next)) continue;  // in the hive already
      if (applied && e.seq != next) return HIVE_LOG_REFUSED;    // entries are missing
      if (!apply_entry(h, *log, e)) return HIVE_LOG_REFUSED;
      next = e.seq + 1;
      applied = true;
    }
  }
  if (!applied) return HIVE_LOG_REFUSED;
  seal_base_block(h.base(), next - 1);
  return HIVE_LOG_RECOVERED;
}

// Older format: the log's base block, "DIRT" and a bitmap of the 512-byte
// pages of the bins, then each dirty page in bitmap order.
bool apply_old(FileTarget& t, const HiveLogFile& log) {
  std::vector<uint8_t>& h = t.h;
  uint32_t bins = read_le32(log.data + BB_BINS);
  if (!sane_bins(bins) || log.size < kSector + 4 || memcmp(log.data + kSector, "DIRT", 4) != 0)
    return false;
  size_t bitmap = bins / kPage;  // one bit per 512 bytes
  if (log.size - kSector - 4 < bitmap) return false;
  const uint8_t* bits = log.data + kSector + 4;
  size_t pages = (kSector + 4 + bitmap + kSector - 1) / kSector * kSector;
  size_t dirty = 0;
  for (size_t i = 0; i < bitmap; i++)
    for (int b = 0; b < 8; b++) dirty += (bits[i] >> b) & 1;
  if (pages > log.size || (log.size - pages) / kSector < dirty) return false;
  uint64_t logged = 0;
  for (size_t i = 0; i < bitmap * 8; i++)
    if ((bits[i / 8] >> (i % 8)) & 1) logged = (uint64_t)(i + 1) * kSector;
  if (!resize_bins(t, bins, logged)) return false;
  const uint8_t* page = log.data + pages;
  for (size_t i = 0; i < bitmap * 8; i++) {
    if (!((bits[i / 8] >> (i % 8)) & 1)) continue;
    memcpy(h.data() + HIVE_BASE_SIZE + i * kSector, page, kSector);
    page += kSector;
  }
  memcpy(h.data(), log.data, kSector);
  seal_base_block(h.data(), read_le32(log.data + BB_SEQ1));
  return true;
}

// A check replays only the newer format, which is what a save writes.
bool apply_old(SectorTarget&, const HiveLogFile&) {
  return false;
}

}  // namespace

uint64_t hive_log_hash(const uint8_t* p, size_t n) {
  uint32_t lo = 0x7A4E55C5, hi = 0x82EF4D88;
  auto rotl = [](uint32_t x, int k) { return (x << k) | (x >> (32 - k)); };
  auto block = [&]() {
    hi ^= lo;
    lo = rotl(lo, 20);
    lo += hi;
    hi = rotl(hi, 9);
    hi ^= lo;
    lo = rotl(lo, 27);
    lo += hi;
    hi = rotl(hi, 19);
  };
  size_t i = 0;
  for (; n - i >= 4; i += 4) {
    lo += read_le32(p + i);
    block();
  }
  uint32_t last = 0x80;
  for (size_t k = n; k > i; k--) last = (last << 8) | p[k - 1];
  lo += last;
  block();
  block();
  return (uint64_t)lo | ((uint64_t)hi << 32);
}

std::vector<uint8_t> hive_build_log(const uint8_t* newHive, const std::vector<HivePageRun>& runs) {
  uint64_t pages = 0;
  for (const HivePageRun& r : runs) pages += r.length;
  uint64_t entry = kEntryHeader + 8ull * runs.size() + pages;
  entry = (entry + kSector - 1) / kSector * kSector;
  std::vector<uint8_t> log(kSector + entry + kSector, 0);
  // The log's base block is the hive's, marked as a newer-format log.
  memcpy(log.data(), newHive, kSector);
  uint32_t seq = read_le32(newHive + BB_SEQ1);
  write_le32(log.data() + BB_TYPE, LOG_TYPE_NEW);
  write_le32(log.data() + BB_CHECKSUM, checksum(log.data()));
  uint8_t* p = log.data() + kSector;
  memcpy(p, "HvLE", 4);
  write_le32(p + 4, (uint32_t)entry);
  write_le32(p + 8, read_le32(newHive + 0x90));  // the hive's flags
  write_le32(p + 12, seq);
  write_le32(p + 16, read_le32(newHive + BB_BINS));
  write_le32(p + 20, (uint32_t)runs.size());
  uint8_t* page = p + kEntryHeader + 8 * runs.size();
  for (size_t i = 0; i < runs.size(); i++) {
    write_le32(p + kEntryHeader + 8 * i, runs[i].offset - HIVE_BASE_SIZE);
    write_le32(p + kEntryHeader + 8 * i + 4, runs[i].length);
    memcpy(page, newHive + runs[i].offset, runs[i].length);
    page += runs[i].length;
  }
  uint64_t data = hive_log_hash(p + kEntryHeader, (size_t)entry - kEntryHeader);
  for (int i = 0; i < 8; i++) p[24 + i] = (uint8_t)(data >> (8 * i));
  uint64_t head = hive_log_hash(p, 32);
  for (int i = 0; i < 8; i++) p[32 + i] = (uint8_t)(head >> (8 * i));
  return log;
}

HiveLogOutcome hive_apply_logs(std::vector<uint8_t>& hive, const std::vector<HiveLogFile>& logs,
                               uint32_t* maxSequence) {
  std::vector<uint8_t> recovered;
  HiveLogOutcome r = hive_apply_logs(static_cast<const std::vector<uint8_t>&>(hive), logs,
                                     maxSequence, &recovered);
  if (r == HIVE_LOG_RECOVERED) hive.swap(recovered);
  return r;
}

namespace {

// The replay over a file whose base block is head (at least a sector) and
// whose length is size; begin() makes the target ready once the logs are
// known to apply.
template <class T, class Begin>
HiveLogOutcome replay(const uint8_t* head, size_t size, const std::vector<HiveLogFile>& logs,
                      uint32_t* maxSequence, T& work, Begin begin) {
  *maxSequence = 0;
  std::vector<const HiveLogFile*> newer, older;
  bool unusable = false;
  for (const HiveLogFile& log : logs) {
    if (log.unreadable) unusable = true;
    if (!log.data || log.size == 0 || all_zero(log.data, std::min<size_t>(log.size, kSector)))
      continue;
    uint32_t type = log.size >= kSector ? read_le32(log.data + BB_TYPE) : 0;
    if (!base_block_sound(log.data, log.size) ||
        read_le32(log.data + BB_SEQ1) != read_le32(log.data + BB_SEQ2) ||
        (type != LOG_TYPE_NEW && type != LOG_TYPE_OLD && type != LOG_TYPE_OLD_ALT)) {
      unusable = true;
      continue;
    }
    *maxSequence = std::max(*maxSequence, read_le32(log.data + BB_SEQ1));
    if (type == LOG_TYPE_NEW) {
      newer.push_back(&log);
      *maxSequence = std::max(*maxSequence, newest_entry(log));
    } else {
      older.push_back(&log);
    }
  }
  if (size < HIVE_BASE_SIZE || memcmp(head, "regf", 4) != 0) return HIVE_LOG_REFUSED;
  bool sound = checksum(head) == read_le32(head + BB_CHECKSUM);
  if (sound && read_le32(head + BB_SEQ1) == read_le32(head + BB_SEQ2)) return HIVE_LOG_CLEAN;
  if (newer.empty() && older.empty()) return unusable ? HIVE_LOG_REFUSED : HIVE_LOG_NO_LOG;
  // What a log that fails its checks holds is unknown: nothing is applied
  // then, for a hive brought up to date with part of its changes is worse
  // than one left as it was.
  if (unusable || !begin()) return HIVE_LOG_REFUSED;
  HiveLogOutcome r = HIVE_LOG_REFUSED;
  if (!newer.empty()) {
    if (!sound) {
      // A torn base block is taken from the log that began first.
      const HiveLogFile* first = newer[0];
      for (const HiveLogFile* l : newer)
        if (read_le32(l->data + BB_SEQ1) < read_le32(first->data + BB_SEQ1)) first = l;
      memcpy(work.base(), first->data, kSector);
    }
    r = apply_new(work, newer);
  } else {
    // The log written for this very state of the hive carries its time.
    uint64_t stamp = sound ? read_le64(head + BB_TIME)
                     : size >= HIVE_BASE_SIZE + 0x1C ? read_le64(head + HIVE_BASE_SIZE + 0x14)
                                                     : 0;
    const HiveLogFile* pick = nullptr;
    for (const HiveLogFile* l : older)
      if (read_le64(l->data + BB_TIME) == stamp &&
          (!pick || read_le32(l->data + BB_SEQ1) > read_le32(pick->data + BB_SEQ1)))
        pick = l;
    if (pick && apply_old(work, *pick)) r = HIVE_LOG_RECOVERED;
  }
  return r;
}

}  // namespace

HiveLogOutcome hive_apply_logs(const std::vector<uint8_t>& hive,
                               const std::vector<HiveLogFile>& logs, uint32_t* maxSequence,
                               std::vector<uint8_t>* recovered) {
  std::vector<uint8_t>& work = *recovered;
  FileTarget target{work};
  HiveLogOutcome r = replay(hive.data(), hive.size(), logs, maxSequence, target, [&]() {
    try {
      work = hive;
    } catch (const std::bad_alloc&) {
      return false;
    }
    return true;
  });
  if (r != HIVE_LOG_RECOVERED) std::vector<uint8_t>().swap(work);
  return r;
}

bool hive_logs_give(const uint8_t* pendingHead, size_t pendingSize,
                    const std::vector<HiveLogFile>& logs, const uint8_t* newHive, size_t newSize,
                    const std::vector<HivePageRun>& runs) {
  SectorTarget target;
  uint32_t sequence = 0;
  try {
    target.head.assign(pendingHead, pendingHead + HIVE_BASE_SIZE);
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (pendingSize < HIVE_BASE_SIZE) return false;
  HiveLogOutcome r = replay(target.head.data(), pendingSize, logs, &sequence, target,
                            [&]() { return target.resize(pendingSize); });
  if (r != HIVE_LOG_RECOVERED || target.length != newSize ||
      memcmp(target.head.data(), newHive, HIVE_BASE_SIZE) != 0)
    return false;
  static const uint8_t zero[kSector] = {};
  size_t run = 0;
  for (size_t at = HIVE_BASE_SIZE; at < newSize; at += kSector) {
    while (run < runs.size() && runs[run].offset + (size_t)runs[run].length <= at) run++;
    bool changed = run < runs.size() && runs[run].offset <= at;
    const uint8_t* got = target.sectors[at / kSector];
    if (!got && changed) return false;  // a changed page the log does not give
    if (!got && at >= target.low) got = zero;
    if (got && memcmp(got, newHive + at, kSector) != 0) return false;
  }
  return true;
}
