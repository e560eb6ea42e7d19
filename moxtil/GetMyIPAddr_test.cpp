#include "moxtil/GetMyIPAddr.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

class GetMyIPAddrTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetMyIPAddr(); }
  void TearDown() override { ResetMyIPAddr(); }
};

std::vector<unsigned char> Bytes(DWORD addr) {
  std::vector<unsigned char> b(4);
  std::memcpy(b.data(), &addr, 4);
  return b;
}

TEST_F(GetMyIPAddrTest, LoopbackInNetworkOrderAndKeptOnceFound) {
  const DWORD lo = GetMyIPAddr("lo");
  EXPECT_EQ(Bytes(lo), (std::vector<unsigned char>{0x7F, 0x00, 0x00, 0x01}));
  // Once found, the name no longer matters.
  EXPECT_EQ(GetMyIPAddr("nosuchif0"), lo);
}

TEST_F(GetMyIPAddrTest, AnUnknownInterfaceGivesZeroAndTheNextCallAsksAgain) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(GetMyIPAddr("nosuchif0"), 0u);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.compare(0, 8, "ioctl():"), 0) << err;
  EXPECT_NE(GetMyIPAddr("lo"), 0u) << "a failure must not be remembered";
}

TEST_F(GetMyIPAddrTest, OverlongNamesAreCutNotOverrun) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(GetMyIPAddr("lo_and_a_name_far_longer_than_any_field_holds"), 0u);
  EXPECT_EQ(GetMyIPAddr(""), 0u);
  testing::internal::GetCapturedStderr();
}

// Two threads may make the first lookup at once; both get the address.
TEST_F(GetMyIPAddrTest, ConcurrentFirstLookups) {
  DWORD got[8] = {};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) threads.emplace_back([&got, i] { got[i] = GetMyIPAddr("lo"); });
  for (auto& t : threads) t.join();
  for (DWORD a : got) EXPECT_EQ(Bytes(a), (std::vector<unsigned char>{0x7F, 0x00, 0x00, 0x01}));
}

}  // namespace
