// The update driver seen from outside: the datagrams on the wire, the banner
// and first-cycle lines, the time-out, and file lists that cannot be used.
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e.h"

namespace e2e {
namespace {

using Strings = std::vector<std::string>;

constexpr char kVersionLine[] = "Network program loading(MOXTIL) version 4.08";
constexpr char kMyAddressLine[] = ">>my IPaddress=127.0.0.1";
constexpr char kCanceledLine[] = "Update Request has been canceled (_timeout).";

int CountEqual(const std::vector<Datagram>& all, const std::string& bytes) {
  int count = 0;
  for (const Datagram& d : all) count += d.bytes == bytes;
  return count;
}

// ---- announce datagram

struct AnnounceCase {
  const char* name;
  int slot;
  long bShift;  // -B is given as base + bShift: the ports wrap at 65536
};

void PrintTo(const AnnounceCase& c, std::ostream* os) { *os << c.name; }

class AnnounceTest : public ::testing::TestWithParam<AnnounceCase> {};

TEST_P(AnnounceTest, SixteenBytesToTheAnnouncePortAboutEvery100ms) {
  const AnnounceCase& c = GetParam();
  const int base = PortBase(c.slot);
  ASSERT_GT(base, 0);
  TempDir dir;
  FileSet files = MakeFileSet(dir, "", 100, 10, 100, 1);
  UdpReceiver rx("127.0.0.2", static_cast<uint16_t>(base + 10));
  ASSERT_TRUE(rx.ok());

  auto moxtil = StartMoxtil(base, {files.loader, files.id, files.program, "-T3"}, base + c.bShift);
  ASSERT_TRUE(moxtil->started());
  std::optional<Datagram> first = rx.Receive(Millis(5000));
  ASSERT_TRUE(first) << "no announce datagram on 127.0.0.2:" << base + 10;
  std::vector<Datagram> window = rx.ReceiveFor(Millis(2000));
  ExpectExit(*moxtil, 0, Millis(15000));
  std::vector<Datagram> rest = rx.ReceiveFor(Millis(200));

  window.insert(window.begin(), *first);
  // 2 s of announcing at 100 ms intervals: 20 datagrams, fewer on a busy machine.
  EXPECT_GE(window.size(), 10u);
  EXPECT_LE(window.size(), 22u);
  window.insert(window.end(), rest.begin(), rest.end());
  for (const Datagram& d : window) {
    EXPECT_EQ(Hex(d.bytes), Hex(AnnounceBytes()));
    EXPECT_EQ(d.from, "127.0.0.1");  // the address of -ilo
    EXPECT_EQ(d.fromPort, base + 10);  // sent from the announce port itself
    if (HasFailure()) break;
  }

  const Strings log = LogLines(*moxtil);
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[0], kVersionLine);
  EXPECT_FALSE(log[1].empty()) << "title line";
  EXPECT_EQ(CountLog(*moxtil, kMyAddressLine), 1);
  EXPECT_EQ(CountLog(*moxtil, "reuse addr"), 0);
  // No target answered: the accept's time-out ends the run.
  EXPECT_EQ(StatusLines(*moxtil), Strings{"-1 time out"});
  EXPECT_EQ(CountLog(*moxtil, kCanceledLine), 1);
  ExpectExplained(*moxtil, "-1 time out", "^no target connected to the loader port \\d+ within 3 s$");
}

INSTANTIATE_TEST_SUITE_P(Base, AnnounceTest,
                         ::testing::Values(AnnounceCase{"AsGiven", kSlotAnnounceBase, 0},
                                           AnnounceCase{"WrapsAbove65535", kSlotAnnounceWrapUp, 65536},
                                           AnnounceCase{"WrapsBelowZero", kSlotAnnounceWrapDown, -65536}),
                         [](const ::testing::TestParamInfo<AnnounceCase>& p) { return p.param.name; });

// ---- restart datagram

TEST(Restart, OnceInTheCycleRightAfterTheFirstAnnounce) {
  const int base = PortBase(kSlotRestartOnce);
  ASSERT_GT(base, 0);
  TempDir dir;
  FileSet files = MakeFileSet(dir, "", 100, 10, 100, 2);
  UdpReceiver rx("127.0.0.2", static_cast<uint16_t>(base + 10));
  ASSERT_TRUE(rx.ok());

  auto moxtil = StartMoxtil(base, {files.loader, files.id, files.program, "-I127.0.0.2", "-T2"});
  ExpectExit(*moxtil, 0, Millis(15000));
  std::vector<Datagram> all = rx.ReceiveFor(Millis(300));

  ASSERT_GE(all.size(), 5u);
  EXPECT_EQ(CountEqual(all, RestartBytes()), 1);
  EXPECT_EQ(CountEqual(all, AnnounceBytes()), static_cast<int>(all.size()) - 1);
  EXPECT_EQ(Hex(all[0].bytes), Hex(AnnounceBytes()));
  EXPECT_EQ(Hex(all[1].bytes), Hex(RestartBytes()));
  EXPECT_EQ(all[1].fromPort, base + 10);
  EXPECT_EQ(StatusLines(*moxtil), Strings{"-1 time out"});
}

struct VoidCase {
  const char* name;
  int slot;
  Strings options;
};

void PrintTo(const VoidCase& c, std::ostream* os) { *os << c.name; }

class RestartVoidTest : public ::testing::TestWithParam<VoidCase> {};

TEST_P(RestartVoidTest, NoneWithF) {
  const VoidCase& c = GetParam();
  const int base = PortBase(c.slot);
  ASSERT_GT(base, 0);
  TempDir dir;
  FileSet files = MakeFileSet(dir, "", 100, 10, 100, 3);
  UdpReceiver rx("127.0.0.2", static_cast<uint16_t>(base + 10));
  ASSERT_TRUE(rx.ok());

  Strings args = {files.loader, files.id, files.program, "-T2"};
  args.insert(args.end(), c.options.begin(), c.options.end());
  auto moxtil = StartMoxtil(base, args);
  ExpectExit(*moxtil, 0, Millis(15000));
  std::vector<Datagram> all = rx.ReceiveFor(Millis(300));

  EXPECT_GE(all.size(), 5u);
  EXPECT_EQ(CountEqual(all, RestartBytes()), 0);
  EXPECT_EQ(CountEqual(all, AnnounceBytes()), static_cast<int>(all.size()));
}

INSTANTIATE_TEST_SUITE_P(EitherOrder, RestartVoidTest,
                         ::testing::Values(VoidCase{"IThenF", kSlotRestartVoidIF, {"-I127.0.0.2", "-F"}},
                                           VoidCase{"FThenI", kSlotRestartVoidFI, {"-F", "-I127.0.0.2"}}),
                         [](const ::testing::TestParamInfo<VoidCase>& p) { return p.param.name; });

// ---- time-out

// The acceptor's time-out and the driver's loop race for the flags; whichever
// wins, the time-out lines come exactly once.
TEST(TimeOut, NoTargetEndsTheRunWithTheTimeOutLinesOnce) {
  const int base = PortBase(kSlotTimeOutRepeated);
  ASSERT_GT(base, 0);
  TempDir dir;
  FileSet files = MakeFileSet(dir, "", 100, 10, 100, 4);
  for (int run = 0; run < 10; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    // No connection is made, so the same ports serve every run.
    auto moxtil = StartMoxtil(base, {files.loader, files.id, files.program, "-T1"});
    ExpectExit(*moxtil, 0, Millis(10000));
    EXPECT_LT(moxtil->ExitMs(), 6000);
    EXPECT_EQ(StatusLines(*moxtil), Strings{"-1 time out"});
    EXPECT_EQ(CountLog(*moxtil, kCanceledLine), 1);
    if (HasFailure()) break;
  }
}

TEST(TimeOut, EndsAFileListInItsFirstRow) {
  const int base = PortBase(kSlotTimeOutFileList);
  ASSERT_GT(base, 0);
  TempDir dir;
  FileSet a = MakeFileSet(dir, "a", 100, 10, 100, 5);
  FileSet b = MakeFileSet(dir, "b", 100, 10, 100, 6);
  std::string list = WriteFile(dir.File("filelist"), a.loader + " " + a.id + " " + a.program + "\n" + b.loader +
                                                         " " + b.id + " " + b.program + "\n");

  auto moxtil = StartMoxtil(base, {list, "dummy", "dummy", "-L", "-T1"});
  ExpectExit(*moxtil, 0, Millis(10000));
  EXPECT_LT(moxtil->ExitMs(), 6000);
  EXPECT_EQ(StatusLines(*moxtil), Strings{"-1 time out"});
  EXPECT_EQ(CountLog(*moxtil, kCanceledLine), 1);
  EXPECT_EQ(CountLog(*moxtil, kMyAddressLine), 1);
}

// ---- announce endpoint not to be had

// A cycle that cannot open its UDP endpoint would fail the same way in every
// retry: it ends the run and says so.
TEST(UdpEndpoint, ACycleThatCannotOpenItEndsTheRun) {
  const int base = PortBase(kSlotUdpEndpointTaken);
  ASSERT_GT(base, 0);
  TempDir dir;
  FileSet files = MakeFileSet(dir, "", 100, 10, 100, 8);
  // Holds moxtil's own announce address and port, without address reuse.
  UdpReceiver squatter("127.0.0.1", static_cast<uint16_t>(base + 10));
  ASSERT_TRUE(squatter.ok());
  UdpReceiver rx("127.0.0.2", static_cast<uint16_t>(base + 10));
  ASSERT_TRUE(rx.ok());

  for (const Strings& extra : {Strings{}, Strings{"-b"}}) {
    SCOPED_TRACE(extra.empty() ? "without -b" : "with -b");
    Strings args = {files.loader, files.id, files.program, "-T5"};
    args.insert(args.end(), extra.begin(), extra.end());
    auto moxtil = StartMoxtil(base, args);
    ExpectExit(*moxtil, 0, Millis(10000));
    EXPECT_LT(moxtil->ExitMs(), 4000) << "it waited for a target it cannot announce to";
    EXPECT_EQ(CountLog(*moxtil, "--- error(udp_vcre_cep)"), 1);
    EXPECT_EQ(StatusLines(*moxtil), Strings{"-1 failed to open the UDP endpoint"});
    ExpectExplained(*moxtil, "--- error(udp_vcre_cep)",
                    "^announce port \\d+ on 127\\.0\\.0\\.1: cannot open the UDP endpoint: Address already in use$");
    ExpectExplained(*moxtil, "-1 failed to open the UDP endpoint", "Address already in use.*the update ends$");
    EXPECT_EQ(rx.ReceiveFor(Millis(100)).size(), 0u);
  }
}

// ---- file lists that cannot be used

struct RefusedCase {
  const char* name;
  std::string list;         // contents; {A}, {B} stand for an existing file set's three paths
  Strings status;           // status lines expected
  std::string logLine;      // another line expected, or empty
  std::string why;          // what the explanation before the last status line tells
};

std::string Expand(std::string text, const FileSet& files, const std::string& missing) {
  const std::string set = files.loader + " " + files.id + " " + files.program;
  for (size_t at; (at = text.find("{A}")) != std::string::npos;) text.replace(at, 3, set);
  for (size_t at; (at = text.find("{L}")) != std::string::npos;) text.replace(at, 3, files.loader);
  for (size_t at; (at = text.find("{I}")) != std::string::npos;) text.replace(at, 3, files.id);
  for (size_t at; (at = text.find("{P}")) != std::string::npos;) text.replace(at, 3, files.program);
  for (size_t at; (at = text.find("{X}")) != std::string::npos;) text.replace(at, 3, missing);
  return text;
}

// Each case is refused before any cycle: exit 255, and nothing is announced.
TEST(FileList, RefusedBeforeTheFirstCycle) {
  const int base = PortBase(kSlotFileListRefused);
  ASSERT_GT(base, 0);
  TempDir dir;
  FileSet files = MakeFileSet(dir, "", 100, 10, 100, 7);
  const std::string missing = dir.File("no-such-file");
  const std::string unreadable = "-1 error can not read the filelist";
  const std::string notFound = "-1 error file not found ";
  const std::string missingFile = ".*no-such-file is missing or not a regular file$";
  const RefusedCase cases[] = {
      {"no list", "", {}, "loader filelist not found!", ""},
      {"empty list", "", {unreadable}, "", "the list has no such row$"},
      {"first line empty", "\n{A}\n", {unreadable}, "", "fewer than three file names$"},
      {"first line CR LF only", "\r\n{A}\r\n", {unreadable}, "", "fewer than three file names$"},
      {"two fields", "{L} {I}\n{A}\n", {unreadable}, "", "fewer than three file names$"},
      {"blanks only", "  \t \n{A}\n", {unreadable}, "", "fewer than three file names$"},
      {"loader missing", "{X} {I} {P}\n", {notFound, unreadable}, "", missingFile},
      {"ID code missing", "{L} {X} {P}\n", {notFound, unreadable}, "", missingFile},
      {"program missing", "{L},{I},{X}\n", {notFound, unreadable}, "", missingFile},
      {"second program missing", "{A} {X}\n", {notFound, unreadable}, "", missingFile},
  };
  for (const RefusedCase& c : cases) {
    SCOPED_TRACE(c.name);
    UdpReceiver rx("127.0.0.2", static_cast<uint16_t>(base + 10));
    const std::string list = dir.File("filelist");
    std::remove(list.c_str());
    if (std::string(c.name) != "no list") WriteFile(list, Expand(c.list, files, missing));

    auto moxtil = StartMoxtil(base, {list, "dummy", "dummy", "-L", "-T5"});
    ExpectExit(*moxtil, 255, Millis(10000));
    const Strings log = LogLines(*moxtil);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0], kVersionLine);
    EXPECT_EQ(StatusLines(*moxtil), c.status);
    if (!c.logLine.empty()) {
      EXPECT_EQ(CountLog(*moxtil, c.logLine), 1);
    }
    EXPECT_EQ(CountLog(*moxtil, kMyAddressLine), 0);
    EXPECT_EQ(rx.ReceiveFor(Millis(100)).size(), 0u) << "announced a list it refused";
    if (!c.why.empty()) ExpectExplained(*moxtil, c.status.back(), "^file list .*filelist: row 1 cannot be loaded: " + c.why);
    if (c.status.size() == 2) {
      ExpectExplained(*moxtil, notFound, "^file list .*filelist row 1: .*no-such-file: No such file or directory$");
    }
    if (HasFailure()) break;
  }
}

}  // namespace
}  // namespace e2e
