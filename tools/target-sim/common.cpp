#include "common.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

namespace sim {

namespace {
std::mutex gOutMutex;  // whole lines, flushed at once
std::atomic<int> releases{0};  // SIGUSR1s not yet taken
}

void Say(const std::string& line) {
  std::lock_guard<std::mutex> lock(gOutMutex);
  fwrite(line.data(), 1, line.size(), stdout);
  fputc('\n', stdout);
  fflush(stdout);
}

[[noreturn]] void Fail(Exit code, const std::string& what) {
  {
    std::lock_guard<std::mutex> lock(gOutMutex);
    fflush(stdout);
    fprintf(stderr, "target-sim: %s\n", what.c_str());
  }
  _exit(code);  // other threads may be blocked anywhere: no unwinding
}

std::string Errno(const char* call) { return std::string(call) + ": " + strerror(errno); }

void SleepMs(int64_t ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void AwaitRelease() {
  for (int n;;) {
    n = releases.load();
    if (n > 0 && releases.compare_exchange_weak(n, n - 1)) return;
    SleepMs(10);
  }
}

void Release() { ++releases; }

uint16_t Port(int base, int offset) { return static_cast<uint16_t>(base + offset); }

in_addr_t ParseAddress(const std::string& text) {
  in_addr a{};
  if (inet_pton(AF_INET, text.c_str(), &a) != 1) Fail(kUsage, "not an IPv4 address: " + text);
  return a.s_addr;
}

std::string AddressText(in_addr_t addr) {
  char text[INET_ADDRSTRLEN] = "";
  in_addr a{};
  a.s_addr = addr;
  inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

sockaddr_in SockAddr(in_addr_t addr, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = addr;
  sa.sin_port = htons(port);
  return sa;
}

in_addr_t NthAddress(in_addr_t first, int k) {
  return htonl(ntohl(first) + static_cast<uint32_t>(k));
}

void CheckRange(const std::string& first, int count, const char* option) {
  const uint32_t lastOctet = ntohl(ParseAddress(first)) & 0xFF;
  if (lastOctet + static_cast<uint32_t>(count - 1) > 0xFF) {
    Fail(kUsage, std::string(option) + " " + first + ": " + std::to_string(count) +
                     " addresses from it leave its last octet");
  }
}

}  // namespace sim
