// Targets loaded from end to end: what reaches the target, the status lines
// in order, the choice between two programs, the unicast filter, and every
// way a transfer can fail.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e.h"

namespace e2e {
namespace {

using Strings = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

constexpr char kConnect[] = "000 % connect";
constexpr char kErasing[] = "000 % Now erasing";
constexpr char kFinish[] = "100 % finish";

int64_t MsBetween(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration_cast<Millis>(b - a).count();
}

Strings Concat(Strings a, const Strings& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::string Field(const std::map<std::string, std::string>& report, const char* key) {
  auto it = report.find(key);
  return it == report.end() ? "(missing)" : it->second;
}

TEST(Harness, Sha256KnownAnswers) {
  EXPECT_EQ(Sha256(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha256("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(Sha256(std::string(1000000, 'a')), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// ---- full updates

struct FullCase {
  const char* name;
  int slot;
  int64_t loaderSize, idSize, programSize;
  Strings options;
  const char* reboot;  // as the simulator reports it
  Strings progress;
  long bShift;              // -B is given as base + bShift
  double minProgramSeconds;  // the -N pauses between the first and the last byte
};

void PrintTo(const FullCase& c, std::ostream* os) { *os << c.name; }

class FullUpdateTest : public ::testing::TestWithParam<FullCase> {};

TEST_P(FullUpdateTest, TheTargetGetsEveryFileWholeAndTheLinesComeInOrder) {
  E2E_REQUIRE_SIM();
  const FullCase& c = GetParam();
  const int base = PortBase(c.slot);
  ASSERT_GT(base, 0);
  TempDir dir;
  FileSet files = MakeFileSet(dir, "", c.loaderSize, c.idSize, c.programSize, static_cast<uint32_t>(c.slot));

  auto sim = StartSim(base, {"--time-limit", "40"});
  ASSERT_TRUE(sim);
  auto moxtil = StartMoxtil(base, Concat({files.loader, files.id, files.program, "-T20"}, c.options),
                            base + c.bShift);
  ExpectExit(*moxtil, 0, Millis(40000));
  EXPECT_EQ(sim->WaitExit(Millis(10000)), 0);

  auto updates = SimReports(*sim, "update");
  ASSERT_EQ(updates.size(), 1u);
  ExpectServed(updates[0], files, c.reboot, files.program);
  EXPECT_EQ(Field(updates[0], "reply"), "-");
  if (c.minProgramSeconds > 0) {
    EXPECT_GE(std::stod(Field(updates[0], "program_seconds")), c.minProgramSeconds);
  }
  EXPECT_EQ(StatusLines(*moxtil), Concat(Concat({kConnect, kErasing}, c.progress), {kFinish}));
  // The target's connections are named, and the transfer summed up.
  EXPECT_EQ(CountMatching(*moxtil, "^loader connection from 127\\.0\\.0\\.2:\\d+$"), 1);
  EXPECT_EQ(CountMatching(*moxtil, "^data connection from 127\\.0\\.0\\.2:\\d+$"), 1);
  ExpectSummary(*moxtil, c.programSize);
}

// Progress lines come after the 1st, 11th, 21st ... piece of 1024 bytes and
// after the piece that completes the file, counting the empty read at the end
// of a file whose length is a multiple of 1024; files under 100 bytes count
// against 100.
INSTANTIATE_TEST_SUITE_P(
    Cases, FullUpdateTest,
    ::testing::Values(
        FullCase{"NoRebootOption10000Bytes", kSlotFullUpdateFirst, 2500, 12, 10000, {}, "00", {"010 %", "099 %"}, 0, 0},
        FullCase{"FullReboot10240Bytes", kSlotFullUpdateFirst + 1, 2500, 10, 10240, {"-R"}, "52",
                 {"010 %", "099 %", "099 %"}, 0, 0},
        FullCase{"SemiReboot50BytesWrappedBase", kSlotFullUpdateFirst + 2, 2500, 10, 50, {"-r"}, "72", {"050 %"},
                 65536, 0},
        FullCase{"EmptyLoaderIsTheRebootByteAlone", kSlotFullUpdateFirst + 3, 0, 10, 100, {"-R"}, "52", {"099 %"},
                 0, 0},
        // 5 pieces with 100 ms before and after each: 4 gaps of 200 ms.
        FullCase{"DelayAroundEveryPiece", kSlotFullUpdateFirst + 4, 2500, 10, 5000, {"-N100", "-r"}, "72",
                 {"020 %", "099 %"}, 0, 0.75}),
    [](const ::testing::TestParamInfo<FullCase>& p) { return p.param.name; });

// ---- two target programs

struct SelectionCase {
  const char* name;
  int slot;
  Strings simOptions;
  int selected;  // 0: first program, 1: second
};

void PrintTo(const SelectionCase& c, std::ostream* os) { *os << c.name; }

class SelectionTest : public ::testing::TestWithParam<SelectionCase> {};

TEST_P(SelectionTest, OnlyAWholeP1InOneReceiveSelectsTheSecondProgram) {
  E2E_REQUIRE_SIM();
  const SelectionCase& c = GetParam();
  const int base = PortBase(c.slot);
  ASSERT_GT(base, 0);
  TempDir dir;
  FileSet files = MakeFileSet(dir, "", 1000, 10, 3000, 77);
  files.program2 = MakeRandomFile(dir.File("second.bin"), 5000, 78);

  auto sim = StartSim(base, Concat({"--time-limit", "40"}, c.simOptions));
  ASSERT_TRUE(sim);
  auto moxtil = StartMoxtil(base, {files.loader, files.id, files.program, files.program2, "-T20"});
  ExpectExit(*moxtil, 0, Millis(40000));
  EXPECT_EQ(sim->WaitExit(Millis(10000)), 0);

  auto updates = SimReports(*sim, "update");
  ASSERT_EQ(updates.size(), 1u);
  ExpectServed(updates[0], files, "00", c.selected == 1 ? files.program2 : files.program);
  const Strings progress = c.selected == 1 ? Strings{"020 %", "099 %"} : Strings{"034 %", "099 %"};
  EXPECT_EQ(StatusLines(*moxtil), Concat(Concat({kConnect, kErasing}, progress), {kFinish}));
}

INSTANTIATE_TEST_SUITE_P(
    Replies, SelectionTest,
    ::testing::Values(SelectionCase{"P0", kSlotSelectionFirst, {"--reply", "P0"}, 0},
                      SelectionCase{"P1", kSlotSelectionFirst + 1, {"--reply", "P1"}, 1},
                      SelectionCase{"P2", kSlotSelectionFirst + 2, {"--reply", "P2"}, 0},
                      // The second byte comes after the host's one receive.
                      SelectionCase{"P1SplitOverTwoReceives", kSlotSelectionFirst + 3,
                                    {"--reply", "P1", "--reply-split", "--reply-split-delay", "1500"}, 0},
                      // Both halves are there when the host receives, 1 s after the ID code.
                      SelectionCase{"P1SplitWithinTheWait", kSlotSelectionSplitEarly,
                                    {"--reply", "P1", "--reply-split", "--reply-split-delay", "200"}, 1},
                      SelectionCase{"NoReply", kSlotSelectionFirst + 4, {}, 0}),
    [](const ::testing::TestParamInfo<SelectionCase>& p) { return p.param.name; });

// ---- unicast filter

// A loader connection from another address than -D is closed at once and not
// served; the accept then starts again with a time-out of its own.
TEST(Unicast, AForeignTargetIsDroppedAndTheRightOneServedAfterIt) {
  E2E_REQUIRE_SIM();
  const int base = PortBase(kSlotUnicast);
  ASSERT_GT(base, 0);
  TempDir dir;
  FileSet files = MakeFileSet(dir, "", 3000, 10, 50, 90);

  auto moxtil = StartMoxtil(base, {files.loader, files.id, files.program, "-T6"});
  ASSERT_GE(moxtil->WaitForLine("D/moxtil: >>my IPaddress=127.0.0.1", Millis(5000)), 0);
  // 3 s into the first 6-second accept.
  std::this_thread::sleep_for(Millis(3000));
  Fd foreign = ConnectTcp("127.0.0.3", "127.0.0.1", static_cast<uint16_t>(base + 10), Millis(3000));
  ASSERT_TRUE(foreign.ok());
  std::string got;
  EXPECT_TRUE(ReadToEof(foreign.get(), &got, Millis(3000))) << "the foreign connection was not closed";
  EXPECT_EQ(got.size(), 0u) << "a foreign target was sent data";
  EXPECT_EQ(StatusLines(*moxtil), Strings{});
  EXPECT_EQ(CountMatching(*moxtil, "^loader connection from 127\\.0\\.0\\.3:\\d+ dropped: only 127\\.0\\.0\\.2 is served"), 1);

  // Past the first accept's 6 s, within the second's.
  std::this_thread::sleep_for(Millis(4000));
  auto sim = StartSim(base, {"--time-limit", "30"});
  ASSERT_TRUE(sim);
  ExpectExit(*moxtil, 0, Millis(30000));
  EXPECT_EQ(sim->WaitExit(Millis(10000)), 0);
  auto updates = SimReports(*sim, "update");
  ASSERT_EQ(updates.size(), 1u);
  ExpectServed(updates[0], files, "00", files.program);
  EXPECT_EQ(StatusLines(*moxtil), (Strings{kConnect, kErasing, "050 %", kFinish}));
}

// ---- one run after another

// An update app that loads devices one after another starts moxtil once per
// device: the connections of the run before linger on the ports, and the
// next run must serve at once all the same.
TEST(Rerun, TheNextRunOnTheSamePortsIsServedAtOnce) {
  E2E_REQUIRE_SIM();
  const int base = PortBase(kSlotRerun);
  ASSERT_GT(base, 0);
  TempDir dir;
  FileSet files = MakeFileSet(dir, "", 3000, 10, 5000, 97);
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE("run " + std::to_string(run + 1));
    auto sim = StartSim(base, {"--time-limit", "30"});
    ASSERT_TRUE(sim);
    auto moxtil = StartMoxtil(base, {files.loader, files.id, files.program, "-T20"});
    ExpectExit(*moxtil, 0, Millis(30000));
    EXPECT_LT(moxtil->ExitMs(), 15000) << "the ports were not taken at once";
    EXPECT_EQ(sim->WaitExit(Millis(10000)), 0);
    auto updates = SimReports(*sim, "update");
    ASSERT_EQ(updates.size(), 1u);
    ExpectServed(updates[0], files, "00", files.program);
    EXPECT_EQ(StatusLines(*moxtil), (Strings{kConnect, kErasing, "020 %", "099 %", kFinish}));
  }
}

// ---- the streams as a plain socket sees them

// The exact bytes of both connections, the protocol's 1 s and 5 s waits, and
// no announce while the target is being served or after the run.
TEST(Streams, ExactBytesTheProtocolWaitsAndNoAnnounceWhileServing) {
  const int base = PortBase(kSlotPlainTarget);
  ASSERT_GT(base, 0);
  TempDir dir;
  FileSet files = MakeFileSet(dir, "", 2500, 12, 3000, 91);
  UdpReceiver rx("127.0.0.2", static_cast<uint16_t>(base + 10));
  ASSERT_TRUE(rx.ok());

  auto moxtil = StartMoxtil(base, {files.loader, files.id, files.program, "-R", "-T20"});
  ASSERT_TRUE(rx.Receive(Millis(5000))) << "no announce";
  Fd loaderConn = ConnectTcp("127.0.0.2", "127.0.0.1", static_cast<uint16_t>(base + 10), Millis(3000));
  ASSERT_TRUE(loaderConn.ok());
  std::string loader;
  ASSERT_TRUE(ReadToEof(loaderConn.get(), &loader, Millis(5000)));
  EXPECT_EQ(Sha256(loader), Sha256(ReadFile(files.loader) + "R")) << "loader then the reboot byte, then the end";
  EXPECT_EQ(loader.size(), 2501u);

  Fd dataConn = ConnectTcp("127.0.0.2", "127.0.0.1", static_cast<uint16_t>(base + 11), Millis(3000));
  ASSERT_TRUE(dataConn.ok());
  std::string id;
  ASSERT_TRUE(ReadExactly(dataConn.get(), 10, &id, Millis(5000)));
  const auto idAt = Clock::now();
  EXPECT_EQ(Hex(id), Hex(ReadFile(files.id).substr(0, 10)));
  ASSERT_GE(moxtil->WaitForLine(std::string("D/moxtil: ") + kErasing, Millis(5000)), 0);
  rx.Drain();  // whatever went out before the slot was taken

  std::string program;
  ASSERT_TRUE(ReadExactly(dataConn.get(), 1, &program, Millis(5000)));
  const auto firstByteAt = Clock::now();
  ASSERT_TRUE(ReadExactly(dataConn.get(), 2999, &program, Millis(5000)));
  const auto lastByteAt = Clock::now();
  std::string after;
  ASSERT_TRUE(ReadToEof(dataConn.get(), &after, Millis(10000)));
  const auto endAt = Clock::now();
  EXPECT_EQ(Sha256(program), Sha256File(files.program));
  EXPECT_EQ(after.size(), 0u);
  EXPECT_GE(MsBetween(idAt, firstByteAt), 950) << "the pause after the ID code";
  EXPECT_GE(MsBetween(lastByteAt, endAt), 4900) << "the wait before the close";

  ExpectExit(*moxtil, 0, Millis(10000));
  EXPECT_EQ(rx.ReceiveFor(Millis(200)).size(), 0u) << "announced while the target was served";
  EXPECT_EQ(StatusLines(*moxtil), (Strings{kConnect, kErasing, "034 %", "099 %", kFinish}));
}

// A loader piece whose send fails ends the loader: what the target got is an
// unbroken first part of the loader, with no reboot byte after it.
TEST(Streams, AStalledLoaderIsCutWithoutARebootByte) {
  const int base = PortBase(kSlotStalledLoader);
  ASSERT_GT(base, 0);
  TempDir dir;
  FileSet files = MakeFileSet(dir, "", 8 << 20, 10, 100, 92);
  UdpReceiver rx("127.0.0.2", static_cast<uint16_t>(base + 10));
  ASSERT_TRUE(rx.ok());

  auto moxtil = StartMoxtil(base, {files.loader, files.id, files.program, "-R", "-T2"});
  ASSERT_TRUE(rx.Receive(Millis(5000))) << "no announce";
  // A small window, so that the host's sends stall as soon as we stop reading.
  Fd conn = ConnectTcp("127.0.0.2", "127.0.0.1", static_cast<uint16_t>(base + 10), Millis(3000), 65536);
  ASSERT_TRUE(conn.ok());
  std::string got;
  ASSERT_TRUE(ReadExactly(conn.get(), 100000, &got, Millis(5000)));
  ASSERT_GE(moxtil->WaitForLine("D/moxtil: -1 _reboot data error", Millis(15000)), 0);
  // Read on: the host has closed, and what it had sent arrives, then the end.
  EXPECT_TRUE(ReadToEof(conn.get(), &got, Millis(10000)));

  const std::string loader = ReadFile(files.loader);
  EXPECT_LT(got.size(), loader.size());
  EXPECT_TRUE(got == loader.substr(0, got.size())) << "the target got " << got.size()
                                                   << " bytes that are not the first bytes of the loader";
  ExpectExit(*moxtil, 0, Millis(15000));
  EXPECT_EQ(StatusLines(*moxtil), (Strings{kConnect, "-1 _reboot data error"}));
}

// ---- delivery: what the target's TCP acknowledged, within -T

// Faults hide while a whole file fits in the socket buffers: the rows run
// with files both smaller and larger than the buffers, most of them in a
// network namespace of their own with buffers of at most 64 KiB.
constexpr int64_t kHugeFile = int64_t{64} << 20;
constexpr int64_t kFits = 48 << 10;
constexpr int64_t kBeyond = 1 << 20;
constexpr char kRebootError[] = "-1 _reboot data error";
constexpr char kProgramError[] = "-1 *****ERROR*****";

struct DeliveryCase {
  const char* name;
  int slot;
  bool smallBuffers;
  int64_t loaderSize, programSize;  // kHugeFile: sparse
  Strings options, simOptions;
  const char* simResult;
  const char* lastLine;    // the failure line, or the finish line
  int64_t minGapMs, maxGapMs;  // between the last line and the one before it
  const char* why;             // the explanation before a failure line
};

void PrintTo(const DeliveryCase& c, std::ostream* os) { *os << c.name; }

class DeliveryTest : public ::testing::TestWithParam<DeliveryCase> {};

// "100 % finish" only for a program the target's TCP acknowledged to the last
// byte, a loader connection closed only once the loader and the reboot byte
// were acknowledged, never a wait beyond -T, and a close that ends the
// stream normally whatever the target sent.
TEST_P(DeliveryTest, SuccessOnlyForAcknowledgedBytesAndNoWaitBeyondTheLimit) {
  E2E_REQUIRE_SIM();
  const DeliveryCase& c = GetParam();
  std::string why;
  if (c.smallBuffers && !UseSmallSocketBuffers(&why)) GTEST_SKIP() << why;
  const int base = PortBase(c.slot);
  ASSERT_GT(base, 0);
  TempDir dir;
  FileSet files = MakeFileSet(dir, "", c.loaderSize == kHugeFile ? 0 : c.loaderSize, 10,
                              c.programSize == kHugeFile ? 0 : c.programSize, static_cast<uint32_t>(c.slot));
  if (c.loaderSize == kHugeFile) MakeSparseFile(files.loader, kHugeFile);
  if (c.programSize == kHugeFile) MakeSparseFile(files.program, kHugeFile);

  auto sim = StartSim(base, Concat({"--time-limit", "40"}, c.simOptions));
  ASSERT_TRUE(sim);
  auto moxtil = StartMoxtil(base, Concat({files.loader, files.id, files.program, "-R"}, c.options));
  ExpectExit(*moxtil, 0, Millis(30000));
  sim->WaitExit(Millis(30000));
  auto updates = SimReports(*sim, "update");
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(Field(updates[0], "result"), c.simResult);

  const Strings status = StatusLines(*moxtil);
  ASSERT_GE(status.size(), 2u);
  EXPECT_EQ(status[0], kConnect);
  EXPECT_EQ(status.back(), c.lastLine);
  for (size_t i = 1; i + 1 < status.size(); ++i) {
    EXPECT_TRUE(status[i] == kErasing || status[i].size() == 5) << "not a progress line: " << status[i];
  }
  if (std::string(c.lastLine) == kFinish) {
    ExpectServed(updates[0], files, "52", files.program);
    ExpectSummary(*moxtil, c.programSize);
  } else {
    ExpectExplained(*moxtil, c.lastLine, c.why);
    EXPECT_EQ(CountLog(*moxtil, kFinish), 0);
    EXPECT_EQ(CountLog(*moxtil, "-1 time out"), 0);
    // Nothing reaches the target after a broken loader: no reboot byte, no ID code.
    if (std::string(c.lastLine) == kRebootError) {
      EXPECT_EQ(Field(updates[0], "id_bytes"), "0");
    }
  }
  const std::vector<Line> out = moxtil->Stdout();
  int last = static_cast<int>(out.size()) - 1;
  while (last > 0 && out[last].text != std::string("D/moxtil: ") + c.lastLine) --last;
  int before = last - 1;
  while (before > 0 && out[before].text.find(" %") == std::string::npos) --before;
  ASSERT_GT(before, 0);
  const int64_t gap = out[last].ms - out[before].ms;
  EXPECT_GE(gap, c.minGapMs) << "after \"" << out[before].text << "\"";
  EXPECT_LE(gap, c.maxGapMs) << "after \"" << out[before].text << "\"";
}

const Strings kStall = {"--stall-seconds", "8"};
// How the target's failures read in the explanations.
constexpr char kLoaderTimedOut[] = "^(loader|reboot byte) to 127\\.0\\.0\\.2:\\d+: .*: nothing moved within the time limit$";
constexpr char kLoaderReset[] = "^(loader|reboot byte) to 127\\.0\\.0\\.2:\\d+: .*: (Connection reset by peer|Broken pipe)$";
constexpr char kProgramTimedOut[] = "^program to 127\\.0\\.0\\.2:\\d+: .*: nothing moved within the time limit$";
constexpr char kProgramReset[] = "^program to 127\\.0\\.0\\.2:\\d+: .*: (Connection reset by peer|Broken pipe)$";  // longer than any row's limit and close

INSTANTIATE_TEST_SUITE_P(
    Faults, DeliveryTest,
    ::testing::Values(
        // The loader: stalled, reset or closed early.
        DeliveryCase{"LoaderStallsWithinTheBuffers", kSlotDeliveryFirst, true, 40000, 100, {"-T2"},
                     Concat({"--stall-loader-after", "16384"}, kStall), "stalled-loader", kRebootError, 1900, 4500, kLoaderTimedOut},
        DeliveryCase{"LoaderStallsBeyondTheBuffers", kSlotDeliveryFirst + 1, true, 8 << 20, 100, {"-T2"},
                     Concat({"--stall-loader-after", "100000"}, kStall), "stalled-loader", kRebootError, 1900, 4500, kLoaderTimedOut},
        DeliveryCase{"LoaderResetHalfway", kSlotDeliveryFirst + 2, false, 64 << 10, 100, {"-T2"},
                     {"--reset-loader-after", "32768"}, "reset-loader", kRebootError, 0, 1500, kLoaderReset},
        DeliveryCase{"LoaderClosedEarly", kSlotDeliveryFirst + 3, false, kHugeFile, 100, {"-T10"},
                     {"--close-loader-after", "100000", "--count-only"}, "closed-loader", kRebootError, 0, 11000, kLoaderReset},
        // The program: stalled, reset or closed early, with and without -T.
        DeliveryCase{"ProgramStallsWithinTheBuffers", kSlotDeliveryFirst + 4, true, 1000, kFits, {"-T2"},
                     Concat({"--stall-program-after", "16384"}, kStall), "stalled-program", kProgramError, 1900, 4500, kProgramTimedOut},
        DeliveryCase{"ProgramStallsBeyondTheBuffers", kSlotDeliveryFirst + 5, true, 1000, kHugeFile, {"-T3"},
                     Concat({"--stall-program-after", "100000", "--count-only"}, kStall), "stalled-program",
                     kProgramError, 2900, 5500, kProgramTimedOut},
        DeliveryCase{"ProgramStallsWithoutALimit", kSlotDeliveryFirst + 6, true, 1000, kFits, {},
                     {"--stall-program-after", "16384", "--stall-seconds", "3"}, "stalled-program", kProgramError,
                     2500, 5500, kProgramReset},
        DeliveryCase{"ProgramResetWithinTheBuffers", kSlotDeliveryFirst + 7, true, 1000, kFits, {"-T2"},
                     {"--reset-program-after", "16384"}, "reset-program", kProgramError, 0, 1500, kProgramReset},
        DeliveryCase{"ProgramResetBeyondTheBuffers", kSlotDeliveryFirst + 8, true, 1000, kBeyond, {"-T2"},
                     {"--reset-program-after", "102400"}, "reset-program", kProgramError, 0, 1500, kProgramReset},
        DeliveryCase{"ProgramClosedEarly", kSlotDeliveryFirst + 9, false, 1000, kHugeFile, {"-T10"},
                     {"--close-program-after", "100000", "--count-only"}, "closed-program", kProgramError, 0, 11000, kProgramReset},
        // Bytes the protocol never reads: every byte still arrives, and the
        // streams end normally, not with a reset.
        DeliveryCase{"StrayBytesOnTheLoaderConnection", kSlotDeliveryFirst + 10, true, 8 << 20, 1000, {"-T5"},
                     {"--stray-loader", "100"}, "ok", kFinish, 0, 5000, ""},
        DeliveryCase{"UnaskedReplyToASlowTarget", kSlotDeliveryFirst + 11, true, 1000, 4 << 20, {"-T5"},
                     {"--reply", "P1", "--read-size", "4096", "--read-delay", "1"}, "ok", kFinish, 0, 5000, ""},
        DeliveryCase{"FloodOnTheDataConnection", kSlotDeliveryFirst + 12, true, 1000, 4 << 20, {"-T5"},
                     {"--flood-data", "--reply", "P0"}, "ok", kFinish, 0, 5000, ""}),
    [](const ::testing::TestParamInfo<DeliveryCase>& p) { return p.param.name; });

// ---- transfers refused on the way

struct RefusedCase {
  const char* name;
  int slot;
  std::function<void(const TempDir&, FileSet&)> prepare;
  Strings status;
  const char* why;  // the explanation before the failure line
  std::map<std::string, std::string> simFields;  // expected fields of the simulator's report
  // When moxtil writes this line, `change` alters the files under it.
  const char* changeAt = nullptr;
  std::function<void(FileSet&)> change = nullptr;
  Strings simOptions = {};
};

void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }

class RefusedTest : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedTest, TheStatusLineTellsWhyAndTheRunEnds) {
  E2E_REQUIRE_SIM();
  const RefusedCase& c = GetParam();
  const int base = PortBase(c.slot);
  ASSERT_GT(base, 0);
  TempDir dir;
  FileSet files = MakeFileSet(dir, "", 2000, 10, 3000, static_cast<uint32_t>(c.slot));
  c.prepare(dir, files);

  auto sim = StartSim(base, Concat({"--time-limit", "30"}, c.simOptions));
  ASSERT_TRUE(sim);
  auto moxtil = StartMoxtil(base, {files.loader, files.id, files.program, "-R", "-T10"});
  if (c.change) {
    ASSERT_GE(moxtil->WaitForLine(std::string("D/moxtil: ") + c.changeAt, Millis(10000)), 0);
    c.change(files);
  }
  ExpectExit(*moxtil, 0, Millis(30000));
  Strings status = StatusLines(*moxtil);
  status.erase(std::remove_if(status.begin(), status.end(), [](const std::string& l) { return l.size() == 5; }),
               status.end());
  EXPECT_EQ(status, c.status) << "progress lines left out";
  ExpectExplained(*moxtil, c.status.back(), c.why);
  EXPECT_EQ(CountLog(*moxtil, "-1 time out"), 0);

  sim->WaitExit(Millis(15000));
  auto updates = SimReports(*sim, "update");
  ASSERT_EQ(updates.size(), 1u);
  for (const auto& [key, value] : c.simFields) EXPECT_EQ(Field(updates[0], key.c_str()), value) << key;
}

// Replaces path by something that is not a regular file: a FIFO without a
// writer, which blocks whoever opens it plainly, or an endless device.
void ReplaceByFifo(const std::string& path) {
  unlink(path.c_str());
  ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
}
void ReplaceByDevZero(const std::string& path) {
  unlink(path.c_str());
  ASSERT_EQ(symlink("/dev/zero", path.c_str()), 0);
}

constexpr char kLoaderSize[] = "2000";

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedTest,
    ::testing::Values(
        RefusedCase{"IdCodeFileMissing", kSlotIdMissing,
                    [](const TempDir& d, FileSet& f) { f.id = d.File("no-idcode"); },
                    {kConnect, "-1 file not found"}, "^ID code .*/no-idcode: cannot open: No such file or directory$",
                    {{"loader_bytes", kLoaderSize}, {"reboot", "52"}}},
        RefusedCase{"IdCodeFileShort", kSlotIdShort,
                    [](const TempDir&, FileSet& f) { MakeRandomFile(f.id, 9, 1); },
                    {kConnect, "-1 file read error"}, "^ID code .*idcode\\.sys: only 9 of the 10 bytes$",
                    {{"loader_bytes", kLoaderSize}, {"reboot", "52"}, {"result", "short-id"}, {"id_bytes", "0"}}},
        RefusedCase{"IdCodeFileEmpty", kSlotIdEmpty, [](const TempDir&, FileSet& f) { WriteFile(f.id, ""); },
                    {kConnect, "-1 file  no id"}, "^ID code .*idcode\\.sys: the file is empty$",
                    {{"loader_bytes", kLoaderSize}, {"reboot", "52"}}},
        RefusedCase{"NoDataConnection", kSlotNoDataConnection, [](const TempDir&, FileSet&) {},
                    {kConnect, "-1 id data error"}, "^ID code: no data connection on port \\d+ within 10 s$",
                    {{"result", "no-data-connect"}, {"reboot", "52"}}, nullptr, nullptr, {"--no-data-connect"}},
        // The files change after the command line was checked.
        RefusedCase{"LoaderGoneBeforeTheTargetCame", kSlotLoaderRemoved, [](const TempDir&, FileSet&) {},
                    {kConnect, "-1 loader file not found"},
                    "^loader .*loader\\.b: cannot open: No such file or directory$",
                    {{"loader_bytes", "0"}, {"reboot", "none"}}, ">>my IPaddress=127.0.0.1",
                    [](FileSet& f) { unlink(f.loader.c_str()); }, {"--loader-connect-delay", "500"}},
        RefusedCase{"LoaderBecameAFifo", kSlotLoaderFifo, [](const TempDir&, FileSet&) {},
                    {kConnect, "-1 loader file not found"}, "^loader .*loader\\.b: cannot open: not a regular file$",
                    {{"loader_bytes", "0"}, {"reboot", "none"}}, ">>my IPaddress=127.0.0.1",
                    [](FileSet& f) { ReplaceByFifo(f.loader); }, {"--loader-connect-delay", "500"}},
        RefusedCase{"ProgramBecameEndless", kSlotProgramDevZero, [](const TempDir&, FileSet&) {},
                    {kConnect, kErasing, "-1 target PG file not found"},
                    "^program .*target\\.bin: cannot open: not a regular file$",
                    {{"reboot", "52"}, {"id_bytes", "10"}, {"program_bytes", "0"}}, ">>my IPaddress=127.0.0.1",
                    [](FileSet& f) { ReplaceByDevZero(f.program); }, {"--loader-connect-delay", "500"}},
        // 16 MiB cut to 1 MiB while a slow target takes it.
        RefusedCase{"ProgramCutShortWhileSent", kSlotProgramShrinks,
                    [](const TempDir&, FileSet& f) { MakeRandomFile(f.program, 16 << 20, 7); },
                    {kConnect, kErasing, "-1 target PG file not found"},
                    "^program .*target\\.bin: ran out after \\d+ of 16777216 bytes \\(the file shrank while it was sent\\)$",
                    {{"result", "ok"}}, "000 % Now erasing",
                    [](FileSet& f) { ASSERT_EQ(truncate(f.program.c_str(), 1 << 20), 0); },
                    {"--read-size", "4096", "--read-delay", "1", "--count-only"}}),
    [](const ::testing::TestParamInfo<RefusedCase>& p) { return p.param.name; });

}  // namespace
}  // namespace e2e
