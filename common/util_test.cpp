#include "common/util.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>

#include <chrono>

namespace {

// The protocol's waits are sleeps: a signal must not cut them short.
TEST(Sleep, SignalsDoNotShortenIt) {
  struct sigaction sa {};
  sa.sa_handler = [](int) {};  // no SA_RESTART: nanosleep returns EINTR
  struct sigaction old {};
  ASSERT_EQ(sigaction(SIGALRM, &sa, &old), 0);
  itimerval every50ms = {{0, 50000}, {0, 50000}};
  ASSERT_EQ(setitimer(ITIMER_REAL, &every50ms, nullptr), 0);
  const auto start = std::chrono::steady_clock::now();
  Sleep(600);
  const auto slept = std::chrono::steady_clock::now() - start;
  itimerval off = {{0, 0}, {0, 0}};
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &old, nullptr);
  EXPECT_GE(slept, std::chrono::milliseconds(600));
}

}  // namespace
