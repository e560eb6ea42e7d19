// What a shift asks of a -M run, counted as its targets end: the failures
// by status line, the devices by identity and how they came through, the
// times of the finished programs; and the guard that stops a run in which
// target after target fails. Pure counting in fixed tables: the acceptor
// feeds it, the summary and the record read it once the acceptor ended.
#pragma once

#include <cstddef>
#include <cstdint>

/// Failures counted by their status line, the most frequent first.
class FailureTally {
 public:
  static constexpr int kLines = 32;  // distinct lines told apart; the rest are counted as other
  static constexpr int kTextSize = 64;

  void Add(const char* line);
  /// Distinct lines counted, at most kLines, in order of count (most first;
  /// of equal counts, the one seen first).
  int Distinct() const { return used_; }
  const char* Line(int i) const { return lines_[i].text; }
  int Count(int i) const { return lines_[i].count; }
  /// Failures whose line is beyond the kLines told apart.
  int Other() const { return other_; }
  int Total() const { return total_; }
  void Clear() { used_ = other_ = total_ = 0; }
  /// "3 x -1 id data error, 1 x -1 *****ERROR*****", quoted or not; cut to size.
  void Format(char* out, size_t size, bool quoted) const;

 private:
  struct Entry {
    char text[kTextSize];
    int count;
  };
  Entry lines_[kLines];
  int used_ = 0;
  int other_ = 0;
  int total_ = 0;
};

/// Devices by identity (the hardware address where known, else the
/// address), and how each came through: finished at its first try, after a
/// retry, or never.
class DeviceTally {
 public:
  static constexpr int kDevices = 8192;  // told apart; more are counted as not told apart
  static constexpr int kKeySize = 24;

  void Add(const char* identity, bool finished);
  int Devices() const { return devices_; }
  int FirstTry() const { return firstTry_; }
  int AfterRetry() const { return afterRetry_; }
  int Never() const { return devices_ - firstTry_ - afterRetry_; }
  /// Targets whose device could not be told apart any more (the table full).
  int Untold() const { return untold_; }
  void Clear();

 private:
  static constexpr int kBuckets = 2 * kDevices;
  struct Device {
    char key[kKeySize];  // "" empty bucket
    int tries;
    bool finished;
  };
  Device buckets_[kBuckets];
  int devices_ = 0, firstTry_ = 0, afterRetry_ = 0, untold_ = 0;
};

/// The times of the finished programs: fastest, median, slowest. The median
/// is of the first kKept times and, beyond them, of a sample of the rest.
class TimeTally {
 public:
  static constexpr int kKept = 4096;

  void Add(int64_t ms);
  int Count() const { return count_; }
  int64_t Fastest() const { return fastest_; }
  int64_t Slowest() const { return slowest_; }
  /// The median of the times kept (of two middle ones, the lower); -1 for none.
  int64_t Median() const;
  void Clear() { count_ = 0; }

 private:
  int64_t kept_[kKept];
  mutable int64_t sorted_[kKept];  // Median's, off the caller's stack
  int count_ = 0;
  int64_t fastest_ = 0, slowest_ = 0;
  uint32_t random_ = 1;
};

/// n failed devices in a row (targets that ended with a "-1 " line, with no
/// finish between them) trip the guard, once a run. A device counts once in
/// a row however often it starts over and fails; a target ended from outside
/// (a stop signal, its device starting over) is no failure of the line.
class FailureGuard {
 public:
  /// Devices told apart in a row; beyond them each failure counts.
  static constexpr int kRowDevices = 64;

  /// limit 0: never trips.
  void Arm(int limit);
  /// A target of `device` (its identity, as DeviceTally's) ended: finished,
  /// or with its last status line; `cancelled` when it was ended from
  /// outside. True on the failure that trips the guard.
  bool Add(const char* device, bool finished, const char* line, bool cancelled);
  bool Tripped() const { return tripped_; }
  /// The failures of the row that tripped it (or of the current row).
  const FailureTally& Row() const { return row_; }

 private:
  /// Whether device failed in this row already; remembers it otherwise.
  bool FailedBefore(const char* device);

  int limit_ = 0;
  bool tripped_ = false;
  FailureTally row_;
  char devices_[kRowDevices][DeviceTally::kKeySize];  // of the row, in order
  int rowDevices_ = 0;
};

/// "850 ms", "3.02 s": a time as the summary tells it.
struct Duration {
  char text[32];
};
Duration FormatDuration(int64_t ms);
