// Transaction logs of a hive (<hive>.LOG1, <hive>.LOG2): the changes Windows
// wrote there and not yet into the hive file itself. A hive whose base block
// shows an unfinished write (unequal sequence numbers or a bad checksum) is
// brought up to date from them as Windows does when it loads the hive: the
// newer format's "HvLE" entries in sequence order, or the older format's
// whole dirty pages. Log files are hostile input: every field is checked
// and a log that fails a check is not applied.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

enum HiveLogOutcome : int {
  HIVE_LOG_CLEAN = 0,      // the base block is sound: nothing to apply
  HIVE_LOG_NO_LOG = 1,     // an unfinished write and no log: the base block is all there is
  HIVE_LOG_RECOVERED = 2,  // log entries were applied
  HIVE_LOG_REFUSED = 3,    // logs exist but none can be applied; the hive is unchanged
};

struct HiveLogFile {
  const uint8_t* data = nullptr;
  size_t size = 0;          // 0: no such file
  bool unreadable = false;  // the file exists but could not be read
};

// Applies the logs (given in the order LOG1, LOG2) to the hive file in
// place; the hive may grow or shrink to the logged bins size. maxSequence
// receives the highest sequence number any valid log holds (0 for none), so
// that a later save can lie above every one of them.
HiveLogOutcome hive_apply_logs(std::vector<uint8_t>& hive, const std::vector<HiveLogFile>& logs,
                               uint32_t* maxSequence);
// The same leaving the hive as it is: the result goes to recovered, which
// is filled only for HIVE_LOG_RECOVERED (a clean hive is never copied).
HiveLogOutcome hive_apply_logs(const std::vector<uint8_t>& hive,
                               const std::vector<HiveLogFile>& logs, uint32_t* maxSequence,
                               std::vector<uint8_t>* recovered);

// A page run of a hive file: file offset and length in bytes.
struct HivePageRun {
  uint32_t offset;
  uint32_t length;
};

// A newer-format log (base block and one "HvLE" entry, then a zeroed
// sector that ends the entries) that takes a file holding the old bytes to
// newHive (the file's bytes: base block and bins): the entry carries
// newHive's sequence number, bins size and the changed runs, 4 KiB pages
// outside the base block. newHive's base block must be sealed (equal
// sequence numbers, checksum).
std::vector<uint8_t> hive_build_log(const uint8_t* newHive, const std::vector<HivePageRun>& runs);
// True when the logs replayed over a file of pendingSize bytes under the
// base block pendingHead give newHive (newSize bytes), the file's own bytes
// outside the runs being newHive's already. Checked as a load would replay
// them, without a copy of the file.
bool hive_logs_give(const uint8_t* pendingHead, size_t pendingSize,
                    const std::vector<HiveLogFile>& logs, const uint8_t* newHive, size_t newSize,
                    const std::vector<HivePageRun>& runs);

// The Marvin32 hash of the log entries (their fixed seed).
uint64_t hive_log_hash(const uint8_t* p, size_t n);
