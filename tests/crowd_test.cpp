// A busy line: a seeded crowd of simulated devices arriving at random
// against moxtil -M -T4, in a network namespace of the test's own with the
// socket buffers of a small device. What each device received, and how each
// of its streams ended, is held against moxtil's lines, summary and record.
#include <cstdlib>
#include <iostream>

#include "tests/crowd.h"

namespace testkit {
namespace {

constexpr int kLimitS = 4;

// One crowd: the files, moxtil, the devices, the oracle; its figures printed.
void RunAndCheck(uint32_t seed, int devices, int meanGapMs) {
  REQUIRE_SIM();
  std::string why;
  if (!UsePrivateNetwork(true, &why)) GTEST_SKIP() << why;
  TempDir dir;
  const int base = PortBase();
  ASSERT_GT(base, 0);
  const CrowdFiles sizes;
  const FileSet files = {MakeFile(dir.File("loader.b"), sizes.loader, seed), MakeFile(dir.File("id"), 10, seed + 1),
                         MakeFile(dir.File("target.bin"), sizes.program, seed + 2), ""};
  const std::vector<Device> crowd = MakeCrowd(seed, devices, meanGapMs, kLimitS, sizes);
  const std::string record = dir.File("record.jsonl");
  const int deviceLimitS = static_cast<int>(crowd.back().startMs / 1000) + 120;
  CrowdOutcome outcome = RunCrowd(base, crowd,
                                  {files.loader, files.id, files.program, "-M", "-T" + std::to_string(kLimitS), "-R",
                                   "-J" + record},
                                  record, deviceLimitS);
  CheckCrowd(outcome, files);
  std::cout << "crowd seed=" << seed;
  for (const auto& [name, value] : outcome.figures) std::cout << " " << name << "=" << value;
  std::cout << std::endl;
  if (::testing::Test::HasFailure()) {
    for (const std::string& line : outcome.log) std::cerr << "moxtil: " << line << "\n";
    for (const Report& u : outcome.updates) {
      std::cerr << "device " << Field(u, "target") << ": result=" << Field(u, "result")
                << " program_bytes=" << Field(u, "program_bytes") << " program_end=" << Field(u, "program_end")
                << " data_from=" << Field(u, "data_from") << "\n";
    }
  }
}

class Crowd : public ::testing::TestWithParam<uint32_t> {};

// 36 devices arriving within about 40 s.
TEST_P(Crowd, EveryLineIsTrueOfTheDeviceItNames) { RunAndCheck(GetParam(), 36, 1100); }

INSTANTIATE_TEST_SUITE_P(Seeds, Crowd, ::testing::Values(1u, 2u, 3u));

// For bench/crowd.sh: CROWD_DEVICES devices (default 1000) from CROWD_SEED
// (default 1), CROWD_GAP_MS apart on average (default 900).
int EnvOr(const char* name, int fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? std::atoi(value) : fallback;
}

TEST(CrowdBench, Large) {
  RunAndCheck(static_cast<uint32_t>(EnvOr("CROWD_SEED", 1)), EnvOr("CROWD_DEVICES", 1000), EnvOr("CROWD_GAP_MS", 900));
}

}  // namespace
}  // namespace testkit
