// The interface Moxtil works on, followed while a station runs: whether it is
// there, up, and which IPv4 address it has. Read with the ioctls that work
// for any program on Linux and Android alike (Android closes netlink route
// sockets to apps), a look being two system calls.
#pragma once

#include <cstdint>

/// One look at an interface.
struct InterfaceState {
  bool exists = false;  // the kernel knows the name
  bool up = false;      // up and running (a carrier on its link)
  uint32_t address = 0; // its IPv4 address in network byte order; 0 none
};

/// True when targets can be invited on the interface: there, up, with an address.
bool IsUsable(const InterfaceState& s);


/// What changed between two looks, as the station acts on it. Changes while
/// the interface is unusable (down, then deleted, then back without an
/// address) are one absence: told once, when it begins.
enum class InterfaceChange {
  kNone,        // nothing the station acts on
  kDown,        // was usable; now down or gone
  kNoAddress,   // was usable; now up without an address
  kNewAddress,  // usable before and now, with another address
  kBack,        // was unusable; usable now
};

InterfaceChange ChangeOf(const InterfaceState& before, const InterfaceState& now);

/// Looks at one interface; one socket for all its looks.
class InterfaceWatch {
 public:
  InterfaceWatch() = default;
  ~InterfaceWatch();
  InterfaceWatch(const InterfaceWatch&) = delete;
  InterfaceWatch& operator=(const InterfaceWatch&) = delete;

  /// The interface ifname now. Without a socket to ask through, it reads as gone.
  InterfaceState Look(const char* ifname);

  /// The interface that has the host's IPv4 address `address` (network
  /// byte order) into name (kInterfaceNameSize bytes): true; false where no
  /// interface has it as an address of its own (a loopback address beyond
  /// 127.0.0.1, or none can be listed).
  bool OwnerOf(uint32_t address, char* name);

  static constexpr int kInterfaceNameSize = 16;

 private:
  int s_ = -1;
};
