// The run's counts of served targets and what it keeps of each, a row each:
// finished or not, the program chosen, how far it came.
#include "moxtil/engine/RunState.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

TEST(RecordServed, CountsAndKeepsEachTarget) {
  struct Row {
    bool finished;
    int program;
    int64_t bytesDue, bytesSent;
    const char* lastStatus;
  };
  const Row rows[] = {
      {true, 0, 1000, 1000, "100 % finish"},
      {false, 0, -1, 0, "-1 id data error"},  // the program not reached
      {true, 1, 2000, 2000, "100 % finish"},
      {false, 1, 3000, 1200, "-1 *****ERROR*****"},
  };
  ResetRunState();
  PROCESS_INFO& p = process_info[0];
  int finished = 0;
  for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
    const Row& r = rows[i];
    p.ipaddr = static_cast<UW>(i + 1);
    p.record = TargetRecord();
    p.record.finished = r.finished;
    p.record.program = r.program;
    p.record.bytesDue = r.bytesDue;
    p.record.bytesSent = r.bytesSent;
    snprintf(p.record.lastStatus, sizeof p.record.lastStatus, "%s", r.lastStatus);
    RecordServed(p);
    finished += r.finished ? 1 : 0;
    EXPECT_EQ(ServedCount(), static_cast<int>(i + 1)) << "row " << i;
    EXPECT_EQ(FinishedCount(), finished) << "row " << i;
  }
  int listed = 0;
  const ServedTarget* served = ServedList(&listed);
  ASSERT_EQ(listed, static_cast<int>(sizeof rows / sizeof rows[0]));
  for (int i = 0; i < listed; ++i) {
    const Row& r = rows[i];
    const TargetRecord& kept = served[i].record;
    EXPECT_EQ(served[i].ipaddr, static_cast<UW>(i + 1)) << "row " << i;
    EXPECT_EQ(kept.finished, r.finished) << "row " << i;
    EXPECT_EQ(kept.program, r.program) << "row " << i;
    EXPECT_EQ(kept.bytesDue, r.bytesDue) << "row " << i;
    EXPECT_EQ(kept.bytesSent, r.bytesSent) << "row " << i;
    EXPECT_EQ(std::string(kept.lastStatus), r.lastStatus) << "row " << i;
  }
  ResetRunState();
  EXPECT_EQ(ServedCount(), 0);
  EXPECT_EQ(FinishedCount(), 0);
  p.ipaddr = 0;
  p.record = TargetRecord();
}

}  // namespace
