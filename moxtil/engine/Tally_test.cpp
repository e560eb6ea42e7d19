// The shift's figures as pure counting where the end-to-end rows do not reach: the bounds of the tables, the median
// beyond the times kept, and the guard (the rows check the rest against the lines on every -M run).
#include "moxtil/engine/Tally.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

const char kIdData[] = "-1 id data error";
const char kProgram[] = "-1 *****ERROR*****";
const char kFinish[] = "100 % finish";

std::string Formatted(const FailureTally& t) {
  char text[2048];
  t.Format(text, sizeof text, false);
  return text;
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

TEST(DeviceTally, BoundedDevices) {
  auto t = std::make_unique<DeviceTally>();
  t->Clear();
  for (int i = 0; i < DeviceTally::kDevices + 3; ++i) t->Add(("10.1." + std::to_string(i)).c_str(), true);
  t->Add("10.1.0", false);  // a known one still counted
  EXPECT_EQ(t->Devices(), DeviceTally::kDevices);
  EXPECT_EQ(t->Untold(), 3);
  EXPECT_EQ(t->FirstTry(), DeviceTally::kDevices);
}

// Beyond the times kept, the extremes stay exact and the median stays near.
TEST(TimeTally, BeyondTheKept) {
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

}  // namespace
