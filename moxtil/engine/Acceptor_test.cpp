// The acceptor on its own: reception points kept from one file-list row to the next, which no end-to-end row can look
// at; a busy port with the bind retry shortened (a run tries 16 times 5 s apart).
#include "moxtil/engine/Acceptor.h"

#include <gtest/gtest.h>

#include <regex>

#include "moxtil/itron/Itron.h"
#include "moxtil/config/Options.h"
#include "moxtil/engine/RunState.h"
#include "tests/testkit.h"

namespace {

using namespace testkit;

class AcceptorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TearDown();
    _baseOffset = PortBase();
    snprintf(ifname, sizeof ifname, "lo");
  }
  void TearDown() override {
    ResetOptions();
    ResetRunState();
    ItronReset();
    AcceptorReset();
  }
};

// The reception points of the first row serve the next, and stay until the
// driver, which knows the last row, closes them.
TEST_F(AcceptorTest, ReceptionPointsStayFromOneRowToTheNext) {
  REQUIRE_SIM();
  TempDir dir;
  snprintf(_loaderFile, kPathSize, "%s", MakeFile(dir.File("l"), 1000, 1).c_str());
  snprintf(_idFile, kPathSize, "%s", MakeFile(dir.File("i"), 10, 2).c_str());
  snprintf(_targetFile[0], kPathSize, "%s", MakeFile(dir.File("t"), 1000, 3).c_str());
  _filelist = 1;
  _totalSwupNum = 2;
  auto sim = StartSim(_baseOffset, {"--host", "127.0.0.1", "--updates", "2"});
  EXPECT_EQ(process1(nullptr), 0);
  EXPECT_TRUE(ReceptionPointsListen());
  EXPECT_EQ(process1(nullptr), 0);
  EXPECT_EQ(_currentSwupNum, 2);
  CloseReceptionPoints();
  EXPECT_FALSE(ReceptionPointsListen());
  EXPECT_EQ(sim->WaitExit(Millis(10000)), 0);
  EXPECT_EQ(SimReports(*sim, "update").size(), 2u);
}

// A port another program holds is told at every attempt, then the reception point's failure with its reason and its
// status line.
TEST_F(AcceptorTest, ABusyPortIsToldAtEveryAttemptThenGivesUp) {
  for (const char* port : {"loader", "data"}) {
    SetUp();
    ItronSetBindRetry(2, 50);
    const int held = HoldPort(SOCK_STREAM, "0.0.0.0", static_cast<uint16_t>(_baseOffset + (port[0] == 'l' ? 10 : 11)));
    testing::internal::CaptureStdout();
    EXPECT_EQ(process1(nullptr), -1);
    const std::string log = testing::internal::GetCapturedStdout();
    close(held);
    const std::string line = std::string("D/moxtil: ") + port + " port \\d+: ";
    EXPECT_TRUE(std::regex_search(log, std::regex(line + "bind failed: Address (already )?in use \\(attempt 1 of 2, next in "
                                                  "50 ms\\)\n" + line + "cannot listen: bind: Address (already )?in use\n"
                                                  "D/moxtil: -1 failed to open the TCP reception point\n$"))) << log;
    EXPECT_FALSE(ReceptionPointsListen());
  }
}

}  // namespace
