// The IPv4 address of the interface Moxtil works on, as the run starts. The
// driver looks it up once and keeps it; what a station learns of its
// interface afterwards comes from its looks (InterfaceWatch.h), and the
// driver's copy is the one the whole program reads.
#pragma once

#include <cstdint>

typedef uint32_t DWORD;

/// The address of interface ifname in network byte order, or 0 when it cannot
/// be had (the reason goes to stderr, and errno tells it). Nothing is kept:
/// each call asks the kernel.
DWORD GetMyIPAddr(const char* ifname);
