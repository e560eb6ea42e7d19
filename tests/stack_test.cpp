// How deep the acceptor and the transfer threads go, in real updates against the simulator: moxtil runs as the stack
// probe (tests/stack_probe.cpp), every thread on a stack filled with a pattern and read once the thread is done,
// whatever size the C library would have given it. A thread whose deepest use passes half of what the engine asks for
// fails the row. The normal build only: a sanitizer's instrumentation changes the stack it takes.
#include <fstream>

#include "tests/testkit.h"

namespace testkit {
namespace {

struct Row {
  std::string name;
  Strings args;           // moxtil's, after the files
  Strings sim;            // the simulator's
  int targets = 1;        // above 1: -M in a network of the test's own, announced by broadcast
  bool terminal = false;  // moxtil's output on a pseudo-terminal: the live view
  int exit = 0;
};
void PrintTo(const Row& r, std::ostream* os) { *os << r.name; }

struct Use { std::string thread; long asked, deepest, libc; };

std::vector<Use> ReadReport(const std::string& path) {
  std::vector<Use> uses;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    char thread[16] = "";
    Use u;
    if (sscanf(line.c_str(), "thread=%15s asked=%ld deepest=%ld libc=%ld", thread, &u.asked, &u.deepest, &u.libc) == 4) {
      u.thread = thread;
      uses.push_back(u);
    }
  }
  return uses;
}

class Stacks : public ::testing::TestWithParam<Row> {};

TEST_P(Stacks, DeepestUseIsUnderHalfOfWhatIsAskedFor) {
  REQUIRE_SIM();
  const Row& row = GetParam();
  std::string why;
  if (row.targets > 1 && !UsePrivateNetwork(false, &why)) GTEST_SKIP() << why;
  TempDir dir;
  const std::string report = dir.File("stacks"), screen = dir.File("screen");
  Strings args = {report};
  if (row.terminal) args.insert(args.end(), {"--terminal", screen});
  args.insert(args.end(), {MakeFile(dir.File("loader.b"), 65536, 1), MakeFile(dir.File("id"), 10, 2),
                           MakeFile(dir.File("target.bin"), 2 << 20, 3)});
  args.insert(args.end(), row.args.begin(), row.args.end());
  for (std::string& a : args) {
    if (a == "-J") a += dir.File("record.jsonl");
  }
  // The probe in moxtil's place, under this build's emulator where it has one.
  setenv("MOXTIL_E2E_BIN", STACK_PROBE_BIN, 1);
  setenv("MOXTIL_E2E_LAUNCHER", STACK_PROBE_LAUNCHER, 1);
  const int base = PortBase();
  Strings sim = row.sim;
  if (row.targets > 1) sim.insert(sim.end(), {"--targets", std::to_string(row.targets), "--host", "127.0.0.1"});
  auto target = StartSim(base, sim);
  auto moxtil = StartMoxtil(base, args, row.targets == 1);
  ExpectExit(*moxtil, row.exit, Millis(120000));
  target->WaitExit(Millis(10000));

  if (row.terminal) {  // the live view was drawn
    std::ifstream in(screen, std::ios::binary);
    const std::string shown((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(shown.find(" MiB/s "), std::string::npos) << "no live view: " << shown;
  }
  const std::vector<Use> uses = ReadReport(report);
  int acceptors = 0, transfers = 0;
  for (const Use& u : uses) {
    acceptors += u.thread == "acceptor";
    transfers += u.thread == "transfer";
    std::cout << "stack: " << row.name << " " << u.thread << ": deepest " << u.deepest << " bytes (" << u.libc
              << " of them the C library's) of " << u.asked << " asked for\n";
    EXPECT_LE(2 * u.deepest, u.asked) << u.thread << " went deeper than half of its stack";
  }
  EXPECT_GE(acceptors, 1);
  EXPECT_EQ(transfers, row.targets);
}

INSTANTIATE_TEST_SUITE_P(
    Updates, Stacks,
    ::testing::Values(Row{"OneTarget", {"-T20"}, {}, 1, false},
                      // The record hashes the loader as it is sent, and writes its lines.
                      Row{"OneTargetWithTheRecord", {"-T20", "-J"}, {}, 1, false},
                      Row{"ThreeAtOnceWithTheRecord", {"-M3", "-T20", "-J"}, {}, 3, false},
                      // The live view, drawn by the transfers as the program goes.
                      Row{"ThreeAtOnceOnATerminal", {"-M3", "-T20"}, {"--program-rate", "2000000"}, 3, true},
                      // The longest lines: a failure's explanation, tagged, its status line, its record.
                      Row{"AFailureWithItsExplanation", {"-M1", "-T20", "-J"}, {"--reset-program-after", "100000"}, 1,
                          false, 1}),
    [](const ::testing::TestParamInfo<Row>& p) { return p.param.name; });

}  // namespace
}  // namespace testkit
