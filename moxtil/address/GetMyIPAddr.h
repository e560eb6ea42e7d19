// The IPv4 address of the interface Moxtil works on, looked up once.
#pragma once

#include <cstdint>

typedef uint32_t DWORD;

/// The address of interface ifname in network byte order, or 0 when it cannot
/// be had (the reason goes to stderr, errno tells it, and the next call asks
/// again). Once found,
/// it is returned for every later call, whatever name is passed.
DWORD GetMyIPAddr(const char* ifname);
