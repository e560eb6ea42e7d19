// The shift's figures as pure counting, a row each: failures by line, devices
// by identity and how they came through, the times, and the guard.
#include "moxtil/engine/Tally.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

const char kIdData[] = "-1 id data error";
const char kProgram[] = "-1 *****ERROR*****";
const char kFinish[] = "100 % finish";

std::string Formatted(const FailureTally& t, bool quoted = false) {
  char text[2048];
  t.Format(text, sizeof text, quoted);
  return text;
}

TEST(FailureTally, ByLineMostFrequentFirst) {
  struct Row {
    std::vector<const char*> lines;
    std::string told;
  };
  const Row rows[] = {
      {{}, ""},
      {{kProgram, kIdData, kIdData, kIdData}, "3 x -1 id data error, 1 x -1 *****ERROR*****"},
      // Of equal counts, the one seen first; a trailing blank is no other line.
      {{kProgram, kIdData, "-1 *****ERROR***** "}, "2 x -1 *****ERROR*****, 1 x -1 id data error"},
      {{kIdData, kProgram}, "1 x -1 id data error, 1 x -1 *****ERROR*****"},
      {{"", nullptr}, "2 x (no status line)"},
  };
  for (const Row& row : rows) {
    FailureTally t;
    for (const char* line : row.lines) t.Add(line);
    EXPECT_EQ(Formatted(t), row.told);
    EXPECT_EQ(t.Total(), static_cast<int>(row.lines.size()));
  }
  FailureTally t;
  t.Add(kIdData);
  t.Add(kIdData);
  t.Add(kProgram);
  EXPECT_EQ(Formatted(t, true), "2 x \"-1 id data error\", 1 x \"-1 *****ERROR*****\"");
}

TEST(FailureTally, BoundedDistinctLines) {
  FailureTally t;
  for (int i = 0; i < FailureTally::kLines + 5; ++i) t.Add(("-1 line " + std::to_string(i)).c_str());
  t.Add("-1 line 0");
  EXPECT_EQ(t.Distinct(), FailureTally::kLines);
  EXPECT_EQ(t.Other(), 5);
  EXPECT_EQ(t.Total(), FailureTally::kLines + 6);
  EXPECT_STREQ(t.Line(0), "-1 line 0");
  EXPECT_EQ(t.Count(0), 2);
  char small[24];
  t.Format(small, sizeof small, false);  // cut, terminated
  EXPECT_EQ(std::string(small), "2 x -1 line 0, 1 x -1 l");
  const std::string all = Formatted(t);
  EXPECT_EQ(all.substr(all.size() - 17), ", 5 x other lines");
}

TEST(DeviceTally, FirstTryAfterRetryNever) {
  struct Try {
    const char* identity;
    bool finished;
  };
  struct Row {
    std::vector<Try> tries;
    int devices, first, retry, never;
  };
  const Row rows[] = {
      {{}, 0, 0, 0, 0},
      {{{"02:00:00:00:00:01", true}}, 1, 1, 0, 0},
      // Fails, starts over, finishes: after a retry; finished again later: still one.
      {{{"a", false}, {"a", true}, {"a", true}}, 1, 0, 1, 0},
      {{{"a", true}, {"a", false}}, 1, 1, 0, 0},
      {{{"a", false}, {"b", false}, {"a", false}, {"c", true}}, 3, 1, 0, 2},
      // By MAC where known, else by address: "" is one unknown device.
      {{{"10.0.0.2", true}, {"02:00:00:00:00:02", false}, {"", false}}, 3, 1, 0, 2},
  };
  auto t = std::make_unique<DeviceTally>();
  for (const Row& row : rows) {
    t->Clear();
    for (const Try& x : row.tries) t->Add(x.identity, x.finished);
    EXPECT_EQ(t->Devices(), row.devices);
    EXPECT_EQ(t->FirstTry(), row.first);
    EXPECT_EQ(t->AfterRetry(), row.retry);
    EXPECT_EQ(t->Never(), row.never);
  }
}

TEST(DeviceTally, BoundedDevices) {
  auto t = std::make_unique<DeviceTally>();
  t->Clear();
  for (int i = 0; i < DeviceTally::kDevices + 3; ++i) t->Add(("10.1." + std::to_string(i)).c_str(), true);
  t->Add("10.1.0", false);  // a known one still counted
  EXPECT_EQ(t->Devices(), DeviceTally::kDevices);
  EXPECT_EQ(t->Untold(), 3);
  EXPECT_EQ(t->FirstTry(), DeviceTally::kDevices);
}

TEST(TimeTally, FastestMedianSlowest) {
  struct Row {
    std::vector<int64_t> ms;
    int64_t fastest, median, slowest;
  };
  const Row rows[] = {
      {{}, 0, -1, 0},
      {{700}, 700, 700, 700},
      {{3000, 1000, 2000}, 1000, 2000, 3000},
      {{4000, 1000, 3000, 2000}, 1000, 2000, 4000},  // of the two middle ones, the lower
  };
  for (const Row& row : rows) {
    auto t = std::make_unique<TimeTally>();
    for (int64_t ms : row.ms) t->Add(ms);
    EXPECT_EQ(t->Median(), row.median);
    if (row.ms.empty()) continue;
    EXPECT_EQ(t->Fastest(), row.fastest);
    EXPECT_EQ(t->Slowest(), row.slowest);
  }
  // Beyond the kept, the extremes stay exact and the median stays near.
  auto t = std::make_unique<TimeTally>();
  for (int i = 0; i < 5 * TimeTally::kKept; ++i) t->Add(1000 + (i * 7919) % 10001);
  t->Add(5);
  t->Add(99999);
  EXPECT_EQ(t->Fastest(), 5);
  EXPECT_EQ(t->Slowest(), 99999);
  EXPECT_NEAR(static_cast<double>(t->Median()), 6000.0, 400.0);
  EXPECT_EQ(t->Count(), 5 * TimeTally::kKept + 2);
}

TEST(FailureGuard, TripsOnceAfterNDevicesFailedInARow) {
  struct End {
    const char* line;  // the target's last status line
    const char* device = "a";
    bool cancelled = false;  // by a stop signal, or its device's new start
  };
  struct Row {
    int limit;
    std::vector<End> ends;  // the targets, in the order of their lines
    int trippedAt;          // index of the target that trips it, -1 none
    std::string told;
  };
  const Row rows[] = {
      {3, {{kIdData, "a"}, {kIdData, "b"}, {kProgram, "c"}}, 2, "2 x -1 id data error, 1 x -1 *****ERROR*****"},
      {3, {{kIdData, "a"}, {kIdData, "b"}, {kFinish, "c"}, {kIdData, "d"}, {kIdData, "e"}}, -1, "2 x -1 id data error"},
      {3, {{kIdData, "a"}, {kFinish}, {kIdData, "b"}, {kIdData, "c"}, {kIdData, "d"}}, 4, "3 x -1 id data error"},
      {1, {{kProgram}}, 0, "1 x -1 *****ERROR*****"},
      {0, {{kIdData, "a"}, {kIdData, "b"}, {kIdData, "c"}}, -1, ""},
      // Only "-1 " lines are failures; a target with none neither counts nor resets.
      {2, {{kIdData, "a"}, {"042 %", "b"}, {kIdData, "c"}}, 2, "2 x -1 id data error"},
      // A device that fails and starts over, again and again, is one device.
      {2, {{kIdData, "a"}, {kProgram, "a"}, {kIdData, "a"}}, -1, "1 x -1 id data error"},
      // Targets ended at once by a second signal are no failures of the line.
      {2, {{kProgram, "a", true}, {kProgram, "b", true}, {kProgram, "c", true}}, -1, ""},
  };
  for (const Row& row : rows) {
    FailureGuard g;
    g.Arm(row.limit);
    int trippedAt = -1;
    for (size_t i = 0; i < row.ends.size(); ++i) {
      const End& e = row.ends[i];
      const bool finished = std::string(e.line) == kFinish;
      if (g.Add(e.device, finished, e.line, e.cancelled)) {
        EXPECT_EQ(trippedAt, -1) << "tripped twice";
        trippedAt = static_cast<int>(i);
      }
    }
    EXPECT_EQ(trippedAt, row.trippedAt) << row.told;
    EXPECT_EQ(g.Tripped(), row.trippedAt >= 0);
    EXPECT_EQ(Formatted(g.Row()), row.told);
  }
}

TEST(FormatDuration, MillisecondsThenSeconds) {
  EXPECT_STREQ(FormatDuration(0).text, "0 ms");
  EXPECT_STREQ(FormatDuration(999).text, "999 ms");
  EXPECT_STREQ(FormatDuration(3021).text, "3.02 s");
}

}  // namespace
