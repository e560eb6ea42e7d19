// Runs too long for every local test run: a file list longer than the 50
// endpoint IDs of one kind, and a target program beyond 2 GiB.
#include <string>
#include <vector>

#include "tests/e2e.h"

namespace e2e {
namespace {

using Strings = std::vector<std::string>;

void ExpectNonDecreasing(const std::vector<int>& values) {
  for (size_t i = 1; i < values.size(); ++i) {
    if (values[i] < values[i - 1]) {
      ADD_FAILURE() << "progress went back from " << values[i - 1] << " to " << values[i] << " at line " << i;
      return;
    }
  }
}

// Every cycle gives its UDP endpoint back, so the 51st row and the ones after
// it are served like the first.
TEST(LongFileList, FiftyFiveRowsAreServedToTheEnd) {
  E2E_REQUIRE_SIM();
  const int base = PortBase(kSlotLongFileList);
  ASSERT_GT(base, 0);
  TempDir dir;
  FileSet files = MakeFileSet(dir, "", 300, 10, 2000, 600);
  std::string text;
  for (int i = 0; i < 55; ++i) text += files.loader + " " + files.id + " " + files.program + "\n";
  const std::string list = WriteFile(dir.File("filelist"), text);

  auto sim = StartSim(base, {"--updates", "55", "--time-limit", "900"});
  ASSERT_TRUE(sim);
  auto moxtil = StartMoxtil(base, {list, "dummy", "dummy", "-L", "-T30"});
  ExpectExit(*moxtil, 0, Millis(1000 * 1000));
  EXPECT_EQ(sim->WaitExit(Millis(10000)), 0);

  auto updates = SimReports(*sim, "update");
  ASSERT_EQ(updates.size(), 55u);
  for (size_t i = 0; i < updates.size(); ++i) {
    SCOPED_TRACE("row " + std::to_string(i + 1));
    ExpectServed(updates[i], files, "00", files.program);
    if (HasFailure()) break;
  }
  const Strings status = StatusLines(*moxtil);
  ASSERT_FALSE(status.empty());
  EXPECT_EQ(status.front(), "000 % connect");
  EXPECT_EQ(status.back(), "100 % finish");
  EXPECT_EQ(CountLog(*moxtil, "100 % finish"), 1);
  EXPECT_EQ(CountLog(*moxtil, "--- error(udp_vcre_cep)"), 0);
  for (const std::string& line : status) EXPECT_NE(line.compare(0, 3, "-1 "), 0) << line;
  const std::vector<int> progress = ProgressValues(*moxtil);
  EXPECT_EQ(progress.size(), 110u);  // after the first and the last of two pieces, per row
  ExpectNonDecreasing(progress);
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back(), 99);
}

// Another program listens on one of the ports: the bind is retried 16 times
// 5 s apart, no target is invited meanwhile, and then the run says why.
class BusyPortTest : public ::testing::TestWithParam<int> {};

TEST_P(BusyPortTest, NoAnnounceWhileTheBindIsRetriedThenTheStatusLine) {
  const int offset = GetParam();
  const int base = PortBase(offset == 10 ? kSlotBusyLoaderPort : kSlotBusyDataPort);
  ASSERT_GT(base, 0);
  TempDir dir;
  FileSet files = MakeFileSet(dir, "", 100, 10, 100, 800);
  // Even a listener that allows address reuse keeps its port.
  Fd squatter = ListenTcp("0.0.0.0", static_cast<uint16_t>(base + offset), true);
  ASSERT_TRUE(squatter.ok());
  UdpReceiver rx("127.0.0.2", static_cast<uint16_t>(base + 10));
  ASSERT_TRUE(rx.ok());

  auto moxtil = StartMoxtil(base, {files.loader, files.id, files.program, "-T3"});
  ExpectExit(*moxtil, 0, Millis(100 * 1000));
  EXPECT_GE(moxtil->ExitMs(), 74000) << "16 attempts 5 s apart";
  EXPECT_EQ(rx.ReceiveFor(Millis(100)).size(), 0u) << "announced while no target could connect";
  EXPECT_EQ(StatusLines(*moxtil), Strings{"-1 failed to open the TCP reception point"});
  // Every failed attempt is told at once, and the last one before the line.
  const std::string port = std::to_string(base + offset);
  EXPECT_EQ(CountMatching(*moxtil, "^(loader|data) port " + port +
                                       ": bind failed: Address already in use \\(attempt \\d+ of 16, next in 5 s\\)$"),
            15);
  ExpectExplained(*moxtil, "-1 failed to open the TCP reception point",
                  "^(loader|data) port " + port + ": cannot listen: Address already in use$");
}

INSTANTIATE_TEST_SUITE_P(Ports, BusyPortTest, ::testing::Values(10, 11),
                         [](const ::testing::TestParamInfo<int>& p) {
                           return p.param == 10 ? std::string("LoaderPort") : std::string("DataPort");
                         });

// Lengths and counts beyond 32 bits, also on the 32-bit build: the file goes
// out whole, and the progress lines come where they should and read right.
TEST(LargeProgram, BeyondFourGibibytesIsSentWhole) {
  E2E_REQUIRE_SIM();
  const int base = PortBase(kSlotLargeProgram);
  ASSERT_GT(base, 0);
  TempDir dir;
  FileSet files = MakeFileSet(dir, "", 1000, 10, 100, 700);
  const int64_t size = (int64_t{1} << 32) + 1000;
  MakeSparseFile(files.program, size);

  auto sim = StartSim(base, {"--read-size", "1048576", "--time-limit", "900"});
  ASSERT_TRUE(sim);
  auto moxtil = StartMoxtil(base, {files.loader, files.id, files.program, "-T60"});
  ExpectExit(*moxtil, 0, Millis(900 * 1000));
  EXPECT_EQ(sim->WaitExit(Millis(10000)), 0);

  auto updates = SimReports(*sim, "update");
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(updates[0]["result"], "ok");
  EXPECT_EQ(updates[0]["program_bytes"], std::to_string(size));
  EXPECT_EQ(updates[0]["program_sha256"], Sha256File(files.program));

  const Strings status = StatusLines(*moxtil);
  ASSERT_GE(status.size(), 3u);
  EXPECT_EQ(status[0], "000 % connect");
  EXPECT_EQ(status[1], "000 % Now erasing");
  EXPECT_EQ(status.back(), "100 % finish");
  // 4 194 305 pieces: a line after every tenth (419 431) and after the last.
  const std::vector<int> progress = ProgressValues(*moxtil);
  EXPECT_EQ(progress.size(), 419432u);
  ExpectNonDecreasing(progress);
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.front(), 0);
  EXPECT_EQ(progress[progress.size() / 2], 50);
  EXPECT_EQ(progress.back(), 99);
}

}  // namespace
}  // namespace e2e
