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

// The Marvin32 hash of the log entries (their fixed seed).
uint64_t hive_log_hash(const uint8_t* p, size_t n);
