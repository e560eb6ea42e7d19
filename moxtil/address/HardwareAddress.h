// A device's hardware (MAC) address, from the host's neighbour table: its IP
// address may change across its reboot, its hardware address does not.
#pragma once

#include "moxtil/itron/Itron.h"

constexpr int kHardwareAddressSize = 18;  // "02:00:00:00:00:01" and its NUL

/// The hardware address the kernel's neighbour table (ARP) holds for ipaddr
/// (network byte order), as "aa:bb:cc:dd:ee:ff": true; false where it holds
/// none that is complete (loopback, an address off the link, no table).
bool LookUpHardwareAddress(UW ipaddr, char out[kHardwareAddressSize]);
