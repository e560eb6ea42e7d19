// The transfer's pure decisions, a row each: the percentage of a progress line (rounding, the floor of 100 bytes, the
// cap at 99, the whole list in file-list mode) and the program a selection reply picks.
#include "moxtil/engine/Transfer.h"

#include <gtest/gtest.h>

#include "moxtil/engine/Protocol.h"

namespace {

TEST(WritePercentage, RoundedNeverAHundred) {
  struct Row { int64_t total, current; bool fileList; int rowsDone, rows; long percent; };
  const Row rows[] = {
      {1000, 0, false, 0, 0, 0},
      {1000, 4, false, 0, 0, 0},     // 0.4 % rounds down
      {1000, 5, false, 0, 0, 1},     // 0.5 % rounds up
      {1000, 420, false, 0, 0, 42},
      {1000, 994, false, 0, 0, 99},
      {1000, 1000, false, 0, 0, 99},  // all sent: the finish line says 100
      {1000, 2000, false, 0, 0, 99},
      {1000, -10, false, 0, 0, 0},
      {50, 50, false, 0, 0, 50},     // under 100 bytes: out of 100
      {99, 99, false, 0, 0, 99},
      {100, 50, false, 0, 0, 50},
      {0, 0, false, 0, 0, 0},
      {1000, 1000, true, 0, 2, 50},  // the first of two rows sent
      {1000, 0, true, 1, 2, 50},
      {1000, 500, true, 1, 4, 38},
      {1000, 1000, true, 1, 2, 99},
      {1000, 0, true, 0, 0, 0},      // no rows: 0/0
      {1000, 0, true, 1, 0, 99},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(WritePercentage(r.total, r.current, r.fileList, r.rowsDone, r.rows), r.percent)
        << r.current << " of " << r.total << (r.fileList ? " in a list, rows done " : "") << r.rowsDone << "/"
        << r.rows;
  }
}

// One receive 1 s after the ID code decides: only a whole "P1" picks the second program.
TEST(SelectedProgram, OnlyAWholeP1PicksTheSecond) {
  struct Row { const char* reply; ER received; int program; };
  const Row rows[] = {{"P1", 2, 1}, {"P1", 1, 0}, {"P0", 2, 0}, {"P2", 2, 0}, {"p1", 2, 0}, {"1P", 2, 0}, {"P1", E_TMOUT, 0}};
  for (const Row& r : rows) {
    EXPECT_EQ(SelectedProgram(reinterpret_cast<const unsigned char*>(r.reply), r.received), r.program)
        << r.reply << " in " << r.received;
  }
}

}  // namespace
