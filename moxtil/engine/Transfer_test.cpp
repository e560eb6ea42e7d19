// The percentage of a progress line, a row each: rounding, the floor of 100
// bytes, the cap at 99, and the whole list in file-list mode.
#include "moxtil/engine/Transfer.h"

#include <gtest/gtest.h>

namespace {

TEST(WritePercentage, RoundedNeverAHundred) {
  struct Row {
    int64_t total, current;
    bool fileList;
    int rowsDone, rows;
    long percent;
  };
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

}  // namespace
