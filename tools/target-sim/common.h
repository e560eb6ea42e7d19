// What every part of the simulator shares: its clock, its exit statuses,
// whole-line output, and IPv4 addresses.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace sim {

using Clock = std::chrono::steady_clock;

enum Exit { kOk = 0, kUsage = 1, kSetup = 2, kTimeLimit = 3 };

/// Prints one line on standard output at once; lines of several threads never
/// interleave.
void Say(const std::string& line);
/// Ends the program at once with `code`, telling why on standard error.
[[noreturn]] void Fail(Exit code, const std::string& what);
/// "call: " and the text of errno.
std::string Errno(const char* call);

/// Sleeps `ms` milliseconds; nothing at all for 0 or less.
void SleepMs(int64_t ms);
/// Waits for a SIGUSR1 that no other waiter took (the time limit bounds it):
/// a test, not a time, moves a device on.
void AwaitRelease();
/// Counts a SIGUSR1 for AwaitRelease; for the signal handler.
void Release();

/// base + offset within 16 bits, as the host computes its ports.
uint16_t Port(int base, int offset);

/// The address in network order; a bad one ends the program (bad usage).
in_addr_t ParseAddress(const std::string& text);
std::string AddressText(in_addr_t addr);
sockaddr_in SockAddr(in_addr_t addr, uint16_t port);
/// The k-th address from `first` (network order), counting in the last octet
/// only; the range of `count` addresses must stay within it (bad usage).
in_addr_t NthAddress(in_addr_t first, int k);
void CheckRange(const std::string& first, int count, const char* option);

}  // namespace sim
