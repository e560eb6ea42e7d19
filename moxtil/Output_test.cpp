#include "moxtil/Output.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

TEST(Log, BriefFormatLineByLine) {
  CaptureStdout();
  ConsoleOut("042 %");
  ConsoleOut("two\nlines\n");  // the trailing line feed adds no empty line
  ConsoleOut("");
  ConsoleOut("100 %d %s %n");  // never used as a format
  ConsoleOut("a\n\nb");
  EXPECT_EQ(GetCapturedStdout(),
            "D/moxtil: 042 %\n"
            "D/moxtil: two\n"
            "D/moxtil: lines\n"
            "D/moxtil: \n"
            "D/moxtil: 100 %d %s %n\n"
            "D/moxtil: a\n"
            "D/moxtil: \n"
            "D/moxtil: b\n");
}

TEST(Log, RecordsLongerThanTheStackBuffer) {
  const std::string big(10000, 'q');
  CaptureStdout();
  ConsoleOut(big.c_str());
  EXPECT_EQ(GetCapturedStdout(), "D/moxtil: " + big + "\n");
}

TEST(PrintLog, CutsAt1023Characters) {
  const std::string big(3000, 'z');
  CaptureStdout();
  printLog(stderr, "%s", big.c_str());
  printLog(stderr, "%03d %%", 42);
  EXPECT_EQ(GetCapturedStdout(), "D/moxtil: " + big.substr(0, 1023) + "\nD/moxtil: 042 %\n");
}

// Records from several threads under the console mutex: every line comes
// out whole, with its own prefix.
TEST(Log, ThreadsNeverInterleave) {
  _hMtxConsole = util_mutex_creat("CONSOLE");
  ASSERT_NE(_hMtxConsole, nullptr);
  constexpr int kThreads = 4;
  constexpr int kRecords = 200;
  CaptureStdout();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      const std::string line(300, static_cast<char>('a' + t));
      const std::string record = line + "\n" + line;
      for (int i = 0; i < kRecords; ++i) ConsoleOut(record.c_str());
    });
  }
  for (std::thread& th : threads) th.join();
  const std::string out = GetCapturedStdout();
  util_mutex_destroy(_hMtxConsole);
  _hMtxConsole = nullptr;

  int lines = 0;
  size_t pos = 0;
  while (pos < out.size()) {
    const size_t end = out.find('\n', pos);
    ASSERT_NE(end, std::string::npos);
    const std::string line = out.substr(pos, end - pos);
    ASSERT_EQ(line.size(), 310u);
    ASSERT_EQ(line.compare(0, 10, "D/moxtil: "), 0);
    ASSERT_EQ(line.find_first_not_of(line[10], 10), std::string::npos) << "mixed line";
    ++lines;
    pos = end + 1;
  }
  EXPECT_EQ(lines, kThreads * kRecords * 2);
}

}  // namespace
