#include "common/util.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

int64_t MillisSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::atomic<int> alarms{0};
void OnAlarm(int) { alarms.fetch_add(1); }

TEST(Sleep, SignalsDoNotShortenIt) {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnAlarm;  // no SA_RESTART: nanosleep returns EINTR
  struct sigaction old;
  ASSERT_EQ(sigaction(SIGALRM, &sa, &old), 0);
  // A signal every 50 ms during a 600 ms sleep.
  itimerval every50 = {{0, 50000}, {0, 50000}};
  ASSERT_EQ(setitimer(ITIMER_REAL, &every50, nullptr), 0);
  const auto start = Clock::now();
  Sleep(600);
  const int64_t slept = MillisSince(start);
  itimerval off = {{0, 0}, {0, 0}};
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &old, nullptr);
  EXPECT_GE(alarms.load(), 3);
  EXPECT_GE(slept, 600);
}

TEST(Sleep, ZeroAndNegativeReturnAtOnce) {
  const auto start = Clock::now();
  Sleep(0);
  Sleep(-5);
  EXPECT_LT(MillisSince(start), 500);
}

TEST(Filelength, SizesAndBadDescriptors) {
  char path[] = "/tmp/moxtil-util-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  unlink(path);
  EXPECT_EQ(filelength(fd), 0);
  ASSERT_EQ(write(fd, "abc", 3), 3);
  EXPECT_EQ(filelength(fd), 3);
  // Beyond 4 GiB (sparse, nothing written): no 32-bit wrap on any build.
  const off_t big = (off_t{5} << 30) + 7;
  ASSERT_EQ(ftruncate(fd, big), 0);
  EXPECT_EQ(filelength(fd), big);
  close(fd);
  EXPECT_EQ(filelength(fd), -1);
  EXPECT_EQ(filelength(-1), -1);
}

TEST(Mutex, NamesAndNullHandles) {
  util_mutex_t console = util_mutex_creat("CONSOLE");
  ASSERT_NE(console, nullptr);
  EXPECT_STREQ(console->memo, "CONSOLE");
  EXPECT_EQ(util_mutex_lock(console), 0);
  EXPECT_EQ(util_mutex_unlock(console), 0);
  EXPECT_EQ(util_mutex_destroy(console), 0);

  util_mutex_t longName = util_mutex_creat("ABCDEFGHIJKLMNOPQRSTUVWXY");  // 25 characters
  ASSERT_NE(longName, nullptr);
  EXPECT_STREQ(longName->memo, "ABCDEFGHIJKLMNOPQRS");
  EXPECT_EQ(util_mutex_destroy(longName), 0);

  util_mutex_t unnamed = util_mutex_creat(nullptr);
  ASSERT_NE(unnamed, nullptr);
  EXPECT_STREQ(unnamed->memo, "");
  EXPECT_EQ(util_mutex_destroy(unnamed), 0);

  EXPECT_EQ(util_mutex_lock(nullptr), -1);
  EXPECT_EQ(util_mutex_unlock(nullptr), -1);
  EXPECT_EQ(util_mutex_destroy(nullptr), -1);
}

struct StackProbe {
  size_t stackSize = 0;
  int value = 0;
};

int Probe(void* arg) {
  auto* probe = static_cast<StackProbe*>(arg);
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    pthread_attr_getstacksize(&attr, &probe->stackSize);
    pthread_attr_destroy(&attr);
  }
  return probe->value;
}

TEST(Thread, StackFloorAndExitValue) {
  EXPECT_EQ(ThreadStackSize(2048), 8192);
  EXPECT_EQ(ThreadStackSize(0), 8192);
  EXPECT_EQ(ThreadStackSize(65536), 65536);

  StackProbe probe;
  probe.value = -2;
  pthread_t thread;
  ASSERT_EQ(CreateThread(65536, Probe, &probe, &thread), 0);
  int exitValue = 0;
  ASSERT_EQ(JoinThread(thread, &exitValue), 0);
  EXPECT_EQ(exitValue, -2);  // negative exit values survive the trip
  EXPECT_GE(probe.stackSize, 65536u);

  // A stack below what the platform allows still gives a running thread.
  StackProbe small;
  small.value = 7;
  ASSERT_EQ(CreateThread(2048, Probe, &small, &thread), 0);
  ASSERT_EQ(JoinThread(thread, &exitValue), 0);
  EXPECT_EQ(exitValue, 7);
  EXPECT_GE(small.stackSize, 8192u);
}

}  // namespace
