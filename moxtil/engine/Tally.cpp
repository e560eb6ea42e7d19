#include "moxtil/engine/Tally.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

/// line without its trailing blanks, into out; "(no status line)" for none.
void LineKey(const char* line, char* out, size_t size) {
  if (line == nullptr || line[0] == '\0') line = "(no status line)";
  size_t n = strnlen(line, size - 1);
  while (n > 0 && line[n - 1] == ' ') --n;
  memcpy(out, line, n);
  out[n] = '\0';
}

/// FNV-1a: a device's bucket.
uint32_t Hash(const char* key) {
  uint32_t h = 2166136261u;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(key); *p != 0; ++p) {
    h = (h ^ *p) * 16777619u;
  }
  return h;
}

}  // namespace

void FailureTally::Add(const char* line) {
  char key[kTextSize];
  LineKey(line, key, sizeof key);
  ++total_;
  int i = 0;
  while (i < used_ && strcmp(lines_[i].text, key) != 0) ++i;
  if (i == used_) {
    if (used_ == kLines) {
      ++other_;
      return;
    }
    memcpy(lines_[i].text, key, sizeof key);
    lines_[i].count = 0;
    ++used_;
  }
  ++lines_[i].count;
  // Most frequent first; of equal counts the one seen first stays ahead.
  for (; i > 0 && lines_[i - 1].count < lines_[i].count; --i) std::swap(lines_[i - 1], lines_[i]);
}

void FailureTally::Format(char* out, size_t size, bool quoted) const {
  if (size == 0) return;
  out[0] = '\0';
  size_t used = 0;
  const char* q = quoted ? "\"" : "";
  for (int i = 0; i <= used_ && used < size; ++i) {
    const bool last = i == used_;
    if (last && other_ == 0) break;
    const int n = last ? snprintf(out + used, size - used, "%s%d x other lines", used > 0 ? ", " : "", other_)
                       : snprintf(out + used, size - used, "%s%d x %s%s%s", used > 0 ? ", " : "",
                                  lines_[i].count, q, lines_[i].text, q);
    if (n < 0) break;
    used += static_cast<size_t>(n);
  }
}

void DeviceTally::Add(const char* identity, bool finished) {
  char key[kKeySize];
  snprintf(key, sizeof key, "%s", identity != nullptr && identity[0] != '\0' ? identity : "?");
  uint32_t at = Hash(key) % kBuckets;
  while (buckets_[at].key[0] != '\0' && strcmp(buckets_[at].key, key) != 0) at = (at + 1) % kBuckets;
  Device& d = buckets_[at];
  if (d.key[0] == '\0') {
    // Half the buckets at most are used: a probe always ends.
    if (devices_ == kDevices) {
      ++untold_;
      return;
    }
    memcpy(d.key, key, sizeof key);
    d.tries = 0;
    d.finished = false;
    ++devices_;
  }
  ++d.tries;
  if (d.finished || !finished) return;
  d.finished = true;
  if (d.tries == 1) {
    ++firstTry_;
  } else {
    ++afterRetry_;
  }
}

void DeviceTally::Clear() {
  // Only a table in use: clearing an unused one would make all of its 512 KiB
  // resident, more than the rest of a single target's update takes.
  if (devices_ == 0) return;
  for (Device& d : buckets_) d.key[0] = '\0';
  devices_ = firstTry_ = afterRetry_ = untold_ = 0;
}

void TimeTally::Add(int64_t ms) {
  if (count_ == 0 || ms < fastest_) fastest_ = ms;
  if (count_ == 0 || ms > slowest_) slowest_ = ms;
  if (count_ < kKept) {
    kept_[count_] = ms;
  } else {
    // Beyond the kept: each time takes a place with the chance of the first
    // ones, so that what is kept stays a fair sample of all.
    random_ ^= random_ << 13;
    random_ ^= random_ >> 17;
    random_ ^= random_ << 5;
    const uint32_t place = random_ % (static_cast<uint32_t>(count_) + 1);
    if (place < kKept) kept_[place] = ms;
  }
  ++count_;
}

int64_t TimeTally::Median() const {
  const int n = count_ < kKept ? count_ : kKept;
  if (n == 0) return -1;
  std::copy(kept_, kept_ + n, sorted_);
  std::nth_element(sorted_, sorted_ + (n - 1) / 2, sorted_ + n);
  return sorted_[(n - 1) / 2];
}

void FailureGuard::Arm(int limit) {
  limit_ = limit;
  tripped_ = false;
  row_.Clear();
  rowDevices_ = 0;
}

bool FailureGuard::FailedBefore(const char* device) {
  for (int i = 0; i < rowDevices_; ++i) {
    if (strncmp(devices_[i], device, DeviceTally::kKeySize - 1) == 0) return true;
  }
  if (rowDevices_ < kRowDevices) snprintf(devices_[rowDevices_++], DeviceTally::kKeySize, "%s", device);
  return false;
}

bool FailureGuard::Add(const char* device, bool finished, const char* line, bool cancelled) {
  if (cancelled || tripped_) return false;
  if (finished) {
    row_.Clear();
    rowDevices_ = 0;
    return false;
  }
  if (line == nullptr || strncmp(line, "-1 ", 3) != 0 || limit_ <= 0 || FailedBefore(device)) return false;
  row_.Add(line);
  tripped_ = row_.Total() >= limit_;
  return tripped_;
}

Duration FormatDuration(int64_t ms) {
  Duration d;
  if (ms < 1000) {
    snprintf(d.text, sizeof d.text, "%lld ms", static_cast<long long>(ms));
  } else {
    snprintf(d.text, sizeof d.text, "%.2f s", static_cast<double>(ms) / 1000.0);
  }
  return d;
}
