// The acceptor on its own, against the simulator: reception points kept from
// one file-list row to the next, which no end-to-end row can look at.
#include "moxtil/engine/Acceptor.h"

#include <gtest/gtest.h>

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

}  // namespace
