// Transaction logs: a hive with an unfinished write is brought up to date
// from its logs exactly, refused when a log fails its checks, and never
// crashes on hostile log files; real Windows hives export as hivex reads
// them after an independent replay of their logs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "HiveTestUtil.h"
#include "RealHives.h"
#include "TestSupport.h"
#include "registry/hive/HiveLog.h"
#include "registry/hive/HiveOps.h"
#include "registry/hive/RegFile.h"

namespace {

using Bytes = std::vector<uint8_t>;

void Seal(Bytes& block) {
  uint32_t x = 0;
  for (int i = 0; i < 127; i++) x ^= read_le32(&block[4 * i]);
  write_le32(&block[0x1FC], x);
}

uint32_t Bins(const Bytes& h) {
  return read_le32(&h[0x28]);
}

struct Entry {
  uint32_t seq, bins;
  std::vector<std::pair<uint32_t, Bytes>> pages;  // offset in the bins, data
};

// A newer-format log: the base block of baseOf marked as a log, then the
// entries, each padded to whole sectors.
Bytes NewLog(const Bytes& baseOf, uint32_t seq, const std::vector<Entry>& entries) {
  Bytes f(baseOf.begin(), baseOf.begin() + 512);
  write_le32(&f[4], seq);
  write_le32(&f[8], seq);
  write_le32(&f[0x1C], 6);
  Seal(f);
  for (const Entry& e : entries) {
    size_t at = f.size(), size = 40 + 8 * e.pages.size();
    for (auto& p : e.pages) size += p.second.size();
    size = (size + 511) / 512 * 512;
    f.resize(at + size, 0);
    uint8_t* h = &f[at];
    memcpy(h, "HvLE", 4);
    write_le32(h + 4, (uint32_t)size);
    write_le32(h + 8, 1);
    write_le32(h + 12, e.seq);
    write_le32(h + 16, e.bins);
    write_le32(h + 20, (uint32_t)e.pages.size());
    size_t data = 40 + 8 * e.pages.size();
    for (size_t i = 0; i < e.pages.size(); i++) {
      write_le32(h + 40 + 8 * i, e.pages[i].first);
      write_le32(h + 44 + 8 * i, (uint32_t)e.pages[i].second.size());
      memcpy(h + data, e.pages[i].second.data(), e.pages[i].second.size());
      data += e.pages[i].second.size();
    }
    uint64_t h1 = hive_log_hash(h + 40, size - 40);
    write_le32(h + 24, (uint32_t)h1);
    write_le32(h + 28, (uint32_t)(h1 >> 32));
    uint64_t h2 = hive_log_hash(h, 32);
    write_le32(h + 32, (uint32_t)h2);
    write_le32(h + 36, (uint32_t)(h2 >> 32));
  }
  return f;
}

// An older-format log of the 512-byte pages in which after differs from before.
Bytes OldLog(const Bytes& before, const Bytes& after, uint32_t seq) {
  uint32_t bins = Bins(after);
  Bytes f(after.begin(), after.begin() + 512);
  write_le32(&f[4], seq);
  write_le32(&f[8], seq);
  write_le32(&f[0x1C], 1);
  memcpy(&f[0xC], &before[0xC], 8);  // written for this state of the hive
  Seal(f);
  f.resize(1024, 0);
  memcpy(&f[512], "DIRT", 4);
  Bytes bitmap(bins / 4096, 0), pages;
  for (uint32_t p = 0; p < bins / 512; p++) {
    size_t at = 0x1000 + (size_t)p * 512;
    if (at + 512 <= before.size() && memcmp(&before[at], &after[at], 512) == 0) continue;
    bitmap[p / 8] |= (uint8_t)(1 << (p % 8));
    pages.insert(pages.end(), after.begin() + at, after.begin() + at + 512);
  }
  memcpy(&f[516], bitmap.data(), bitmap.size());
  f.resize((516 + bitmap.size() + 511) / 512 * 512, 0);
  f.insert(f.end(), pages.begin(), pages.end());
  return f;
}

// A hive in two states: before (what the hive file holds) and after (what
// its logs bring it to), the second grown by new bins.
struct States {
  Bytes before, after;
  uint32_t seq = 0;             // sequence number of the finished write before
  std::vector<uint32_t> dirty;  // 4096-byte pages of the bins that differ
};

const States& TwoStates() {
  static States s;
  if (!s.after.empty()) return s;
  HiveImage* img = ht::Load(ht::EmptyHive());
  uint32_t root = hive_root_key(img);
  for (int i = 0; i < 40; i++) {
    wchar_t n[16];
    _snwprintf(n, 16, L"K%02d", i);
    uint32_t k = add_key(img, root, n);
    add_value(img, k, L"v", 1);
    put_data_to_value(img, L"before", 14, k, L"v", 0);
  }
  save_hive_buffer(img, s.before);
  write_le32(&s.before[0xC], 0x01020304);  // a last-write time to match
  Seal(s.before);
  s.seq = read_le32(&s.before[4]);
  uint32_t k = find_key(img, 0, L"K07");
  put_data_to_value(img, L"after!", 14, k, L"v", 0);
  add_value(img, k, L"@", 3);
  Bytes big(30000, 0x5A);
  put_data_to_value(img, big.data(), (uint32_t)big.size(), k, L"@", 0);
  add_key(img, find_key(img, 0, L"K39"), L"Added");
  save_hive_buffer(img, s.after);
  close_hive(img);
  for (uint32_t p = 0; p < Bins(s.after); p += 4096) {
    size_t at = 0x1000 + (size_t)p;
    if (at + 4096 > s.before.size() || memcmp(&s.before[at], &s.after[at], 4096) != 0)
      s.dirty.push_back(p);
  }
  return s;
}

Bytes Page(const Bytes& h, uint32_t off) {
  return Bytes(h.begin() + 0x1000 + off, h.begin() + 0x1000 + off + 4096);
}

struct Files {
  Bytes hive, log1, log2;
};

// The write of the second state began (sequence numbers seq + 1 and seq)
// and its changes are in two entries of LOG1 and, repeated, one of LOG2.
Files Pending() {
  const States& s = TwoStates();
  Files f;
  f.hive = s.before;
  write_le32(&f.hive[4], s.seq + 1);
  Seal(f.hive);
  Entry e1{s.seq + 1, Bins(s.after), {}}, e2{s.seq + 2, Bins(s.after), {}};
  // The first entry grows the hive: it holds the new bins at the end.
  for (size_t i = 0; i < s.dirty.size(); i++)
    (i >= s.dirty.size() / 2 ? e1 : e2).pages.push_back({s.dirty[i], Page(s.after, s.dirty[i])});
  Entry stale{s.seq - 3, Bins(s.before), {{0, Page(s.before, 0)}}};  // left from an earlier run
  f.log1 = NewLog(s.after, s.seq + 1, {e1, e2, stale});
  f.log2 = NewLog(s.after, s.seq + 3,
                  {{s.seq + 3, Bins(s.after), {{s.dirty[0], Page(s.after, s.dirty[0])}}}});
  return f;
}

HiveLogOutcome Apply(Bytes& hive, const std::vector<const Bytes*>& logs, uint32_t* maxSeq) {
  std::vector<HiveLogFile> views;
  for (const Bytes* l : logs) {
    HiveLogFile v;
    v.data = l->data();
    v.size = l->size();
    views.push_back(v);
  }
  return hive_apply_logs(hive, views, maxSeq);
}

}  // namespace

TEST(HiveLog, PendingWritesAreAppliedOrRefusedAsAWhole) {
  const States& s = TwoStates();
  ASSERT_GE(s.dirty.size(), 3u);
  ASSERT_GT(Bins(s.after), Bins(s.before)) << "the logs grow the hive";
  const uint32_t seq = s.seq;
  struct Case {
    const char* what;
    std::function<void(Files&)> tweak;
    HiveLogOutcome want;
    uint32_t finalSeq;  // of the applied hive
  };
  const Case cases[] = {
      {"both logs, entries in sequence", [](Files&) {}, HIVE_LOG_RECOVERED, seq + 3},
      {"no LOG2", [](Files& f) { f.log2.clear(); }, HIVE_LOG_RECOVERED, seq + 2},
      {"the logs in the other order", [](Files& f) { std::swap(f.log1, f.log2); },
       HIVE_LOG_RECOVERED, seq + 3},
      {"a torn base block is taken from the log", [](Files& f) { f.hive[0x30] ^= 1; },
       HIVE_LOG_RECOVERED, seq + 3},
      {"log base block checksum", [](Files& f) { f.log1[0x40] ^= 1; }, HIVE_LOG_REFUSED, 0},
      {"log sequence numbers differ",
       [](Files& f) {
         write_le32(&f.log2[8], 1);
         Seal(f.log2);
       },
       HIVE_LOG_REFUSED, 0},
      {"an entry's data", [](Files& f) { f.log1[512 + 40 + 16 + 100] ^= 1; }, HIVE_LOG_REFUSED, 0},
      {"an entry's header", [](Files& f) { f.log1[512 + 20] ^= 1; }, HIVE_LOG_REFUSED, 0},
      {"entries missing between the logs",
       [](Files& f) {
         f.log2 = NewLog(TwoStates().after, TwoStates().seq + 4,
                         {{TwoStates().seq + 4, Bins(TwoStates().after), {}}});
       },
       HIVE_LOG_REFUSED, 0},
      {"only entries the hive holds already",
       [](Files& f) {
         write_le32(&f.hive[4], TwoStates().seq + 9);
         Seal(f.hive);
       },
       HIVE_LOG_REFUSED, 0},
      {"a log of zeros is no log",
       [](Files& f) {
         f.log1.assign(4096, 0);
         f.log2.clear();
       },
       HIVE_LOG_NO_LOG, 0},
      {"no log at all",
       [](Files& f) {
         f.log1.clear();
         f.log2.clear();
       },
       HIVE_LOG_NO_LOG, 0},
      {"a finished write",
       [](Files& f) {
         write_le32(&f.hive[4], TwoStates().seq);
         Seal(f.hive);
       },
       HIVE_LOG_CLEAN, 0},
      {"older format, its time matching",
       [](Files& f) {
         f.log1 = OldLog(TwoStates().before, TwoStates().after, TwoStates().seq + 1);
         f.log2.clear();
       },
       HIVE_LOG_RECOVERED, seq + 1},
      {"older format written for another state",
       [](Files& f) {
         f.log1 = OldLog(TwoStates().before, TwoStates().after, TwoStates().seq + 1);
         f.log1[0xC] ^= 1;
         Seal(f.log1);
         f.log2.clear();
       },
       HIVE_LOG_REFUSED, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Files f = Pending();
    c.tweak(f);
    Bytes hive = f.hive;
    uint32_t maxSeq = 0;
    EXPECT_EQ(c.want, Apply(hive, {&f.log1, &f.log2}, &maxSeq));
    if (c.want != HIVE_LOG_RECOVERED) {
      EXPECT_TRUE(hive == f.hive) << "a hive whose logs are not applied is left as it was";
      continue;
    }
    ASSERT_EQ(s.after.size(), hive.size());
    EXPECT_EQ(0, memcmp(&hive[0x1000], &s.after[0x1000], hive.size() - 0x1000))
        << "the bins as Windows wrote them";
    EXPECT_EQ(c.finalSeq, read_le32(&hive[4]));
    EXPECT_EQ(c.finalSeq, read_le32(&hive[8]));
    Bytes sealed = hive;
    Seal(sealed);
    EXPECT_TRUE(sealed == hive) << "checksum";

    // A save lies above every sequence number the logs hold.
    HiveImage* img = ht::Load(hive);
    ASSERT_NE(nullptr, img);
    img->logSequence = maxSeq;
    EXPECT_GE(maxSeq, c.finalSeq);
    Bytes saved;
    save_hive_buffer(img, saved);
    close_hive(img);
    EXPECT_EQ(maxSeq + 1, read_le32(&saved[4]));
    EXPECT_EQ(maxSeq + 1, read_le32(&saved[8]));
  }
}

TEST(HiveLog, MutatedLogsAreRefusedOrApplied) {
  Files f = Pending();
  std::mt19937 rng(4711);
  int applied = 0, refused = 0;
  for (int iter = 0; iter < 3000; iter++) {
    SCOPED_TRACE(iter);
    Bytes log = f.log1;
    bool old = iter % 4 == 3;
    if (old) log = OldLog(TwoStates().before, TwoStates().after, TwoStates().seq + 1);
    int n = 1 + (int)(rng() % 4);
    for (int j = 0; j < n; j++) {
      // mostly the headers, where the offsets and counts are
      size_t at = rng() % 3 ? 512 + rng() % 64 : rng() % log.size();
      if (old && rng() % 2) at = rng() % 600;
      if (at + 4 > log.size()) continue;
      switch (rng() % 5) {
        case 0:
          log[at] = (uint8_t)rng();
          break;
        case 1:
          write_le32(&log[at], 0xFFFFFFFF);
          break;
        case 2:
          write_le32(&log[at], (uint32_t)rng() % 0x40000);
          break;
        case 3:
          write_le32(&log[at], read_le32(&log[at]) ^ (1u << (rng() % 32)));
          break;
        case 4:
          log.resize(rng() % log.size());
          break;
      }
    }
    // Half the time the hashes are made to match: the fields are then
    // hostile, not merely torn.
    if (!old && rng() % 2 && log.size() >= 552 && memcmp(&log[512], "HvLE", 4) == 0) {
      uint32_t size = read_le32(&log[516]);
      if (size >= 40 && size <= log.size() - 512) {
        uint64_t h1 = hive_log_hash(&log[552], size - 40);
        write_le32(&log[536], (uint32_t)h1);
        write_le32(&log[540], (uint32_t)(h1 >> 32));
        uint64_t h2 = hive_log_hash(&log[512], 32);
        write_le32(&log[544], (uint32_t)h2);
        write_le32(&log[548], (uint32_t)(h2 >> 32));
      }
    }
    Bytes hive = f.hive;
    uint32_t maxSeq;
    HiveLogOutcome r = Apply(hive, {&log}, &maxSeq);
    if (r != HIVE_LOG_RECOVERED) {
      ASSERT_TRUE(hive == f.hive);
      refused++;
      continue;
    }
    applied++;
    ASSERT_LE(hive.size(), 0x1000u + 0x7FFFF000u);
    HiveImage* img = nullptr;
    if (load_hive_buffer(hive.data(), hive.size(), &img) == REG_STATUS_OK) close_hive(img);
  }
  EXPECT_GT(refused, 1000);
  EXPECT_GT(applied, 10);
}

// SYSTEM_B has unequal sequence numbers and its newest changes in two logs;
// NTUSER.DAT and BCD are whole. Each exports exactly what hivex reads from
// the same data, the logs replayed independently for SYSTEM_B.
TEST(HiveLog, RealHivesExportAsHivexReadsThem) {
  std::string dir = vt::ScratchDirUnix();
  if (!rh::Unpack(dir, {"SYSTEM_B", "SYSTEM_B.LOG1", "SYSTEM_B.LOG2", "NTUSER.DAT", "BCD"}))
    GTEST_SKIP() << "no real hives in " << rh::Dir();
  std::string out;
  ASSERT_EQ(0, vt::Sh(rh::HiveLogsPy() + " recover " + vt::Q(dir + "/SYSTEM_B") + " " +
                          vt::Q(dir + "/replayed") + " " + vt::Q(dir + "/SYSTEM_B.LOG1") + " " +
                          vt::Q(dir + "/SYSTEM_B.LOG2"),
                      &out))
      << out;
  uint32_t lastApplied = (uint32_t)atol(out.c_str());
  struct Hive {
    const char* file;
    const char* compareWith;
    HiveLogOutcome outcome;
  };
  const Hive hives[] = {{"SYSTEM_B", "replayed", HIVE_LOG_RECOVERED},
                        {"NTUSER.DAT", "NTUSER.DAT", HIVE_LOG_CLEAN},
                        {"BCD", "BCD", HIVE_LOG_CLEAN}};
  for (const Hive& h : hives) {
    SCOPED_TRACE(h.file);
    Bytes hive, log1, log2;
    ASSERT_TRUE(vt::ReadAll(vt::ToWin(dir + "/" + h.file), hive));
    vt::ReadAll(vt::ToWin(dir + "/" + h.file + ".LOG1"), log1);
    vt::ReadAll(vt::ToWin(dir + "/" + h.file + ".LOG2"), log2);
    uint32_t maxSeq = 0;
    ASSERT_EQ(h.outcome, Apply(hive, {&log1, &log2}, &maxSeq));
    if (h.outcome == HIVE_LOG_RECOVERED) {
      EXPECT_EQ(lastApplied, read_le32(&hive[4]));
      EXPECT_EQ(maxSeq, lastApplied);
    }
    HiveImage* img = ht::Load(hive);
    ASSERT_NE(nullptr, img);
    std::wstring reg = vt::ToWin(dir + "/" + h.file + ".reg");
    ASSERT_EQ(REG_STATUS_OK,
              export_key_reg(img, 0, L"HKEY_LOCAL_MACHINE\\X", L"", reg.c_str(), false, false));
    close_hive(img);
    EXPECT_EQ(0, vt::Sh(rh::HiveLogsPy() + " compare " + vt::Q(vt::ToUnix(reg)) + " " +
                            vt::Q(dir + "/" + h.compareWith),
                        &out))
        << out;
  }
  // Values named "@" are among them, and not the default value.
  ASSERT_EQ(
      0, vt::Sh(rh::HiveLogsPy() + " dump " + vt::Q(dir + "/replayed") + " | grep -c '|@|'", &out));
  EXPECT_GE(atoi(out.c_str()), 7);
  ASSERT_EQ(
      0, vt::Sh("iconv -f UTF-16 -t UTF-8 " + vt::Q(dir + "/SYSTEM_B.reg") + " | grep -c '^\"@\"='",
                &out));
  EXPECT_GE(atoi(out.c_str()), 7);
}
