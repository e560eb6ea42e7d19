#include "moxtil/address/HardwareAddress.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

namespace {

// Lines of /proc/net/arp: "IP address  HW type  Flags  HW address  Mask  Device".
constexpr unsigned kComplete = 0x2;  // ATF_COM: the address was resolved

// Whether one line of the table gives a complete address for ipaddr.
bool FromLine(const char* line, UW ipaddr, char out[kHardwareAddressSize]) {
  char ip[64], hw[64];
  unsigned type = 0, flags = 0;
  if (std::sscanf(line, "%63s 0x%x 0x%x %63s", ip, &type, &flags, hw) != 4) return false;
  in_addr a;
  if (inet_pton(AF_INET, ip, &a) != 1 || a.s_addr != ipaddr) return false;
  if ((flags & kComplete) == 0 || std::strlen(hw) != kHardwareAddressSize - 1) return false;
  if (std::strcmp(hw, "00:00:00:00:00:00") == 0) return false;
  std::memcpy(out, hw, kHardwareAddressSize);
  return true;
}

bool FromStream(FILE* fp, UW ipaddr, char out[kHardwareAddressSize]) {
  char line[256];
  if (std::fgets(line, sizeof line, fp) == nullptr) return false;  // the heading
  while (std::fgets(line, sizeof line, fp) != nullptr) {
    if (FromLine(line, ipaddr, out)) return true;
  }
  return false;
}

}  // namespace

bool LookUpHardwareAddress(UW ipaddr, char out[kHardwareAddressSize]) {
  FILE* fp = std::fopen("/proc/net/arp", "re");
  if (fp == nullptr) return false;
  const bool found = FromStream(fp, ipaddr, out);
  std::fclose(fp);
  return found;
}
