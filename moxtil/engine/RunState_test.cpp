// The run's counts of served targets and what it keeps of each, a row each:
// finished or not, the program chosen (none pending counts as the first).
#include "moxtil/engine/RunState.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

TEST(RecordServed, CountsAndKeepsEachTarget) {
  struct Row {
    bool finished;
    int selectFileNum;
    int64_t bytesDue, bytesDone;
    const char* lastStatus;
    int program;  // as kept
  };
  const Row rows[] = {
      {true, 0, 1000, 1000, "100 % finish", 0},
      {false, -1, -1, 0, "-1 id data error", 0},  // no program chosen yet
      {true, 1, 2000, 2000, "100 % finish", 1},
      {false, 1, 3000, 1200, "-1 *****ERROR*****", 1},
  };
  ResetRunState();
  PROCESS_INFO& p = process_info[0];
  int finished = 0;
  for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
    const Row& r = rows[i];
    p.ipaddr = static_cast<UW>(i + 1);
    p.finished = r.finished;
    p.selectFileNum = r.selectFileNum;
    p.bytesDue = r.bytesDue;
    p.bytesDone = r.bytesDone;
    p.mac[0] = '\0';
    snprintf(p.lastStatus, sizeof p.lastStatus, "%s", r.lastStatus);
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
    EXPECT_EQ(served[i].ipaddr, static_cast<UW>(i + 1)) << "row " << i;
    EXPECT_EQ(served[i].finished, r.finished) << "row " << i;
    EXPECT_EQ(served[i].program, r.program) << "row " << i;
    EXPECT_EQ(served[i].bytesDue, r.bytesDue) << "row " << i;
    EXPECT_EQ(served[i].bytes, r.bytesDone) << "row " << i;
    EXPECT_EQ(std::string(served[i].lastLine), r.lastStatus) << "row " << i;
  }
  ResetRunState();
  EXPECT_EQ(ServedCount(), 0);
  EXPECT_EQ(FinishedCount(), 0);
  p.ipaddr = 0;
  p.finished = false;
  p.selectFileNum = 0;
  p.bytesDue = 0;
  p.bytesDone = 0;
  p.lastStatus[0] = '\0';
}

}  // namespace
