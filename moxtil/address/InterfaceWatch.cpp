#include "moxtil/address/InterfaceWatch.h"

#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

bool IsUsable(const InterfaceState& s) { return s.exists && s.up && s.address != 0; }

InterfaceChange ChangeOf(const InterfaceState& before, const InterfaceState& now) {
  if (IsUsable(now)) {
    if (!IsUsable(before)) return InterfaceChange::kBack;
    return now.address != before.address ? InterfaceChange::kNewAddress : InterfaceChange::kNone;
  }
  if (!IsUsable(before)) return InterfaceChange::kNone;
  return now.exists && now.up ? InterfaceChange::kNoAddress : InterfaceChange::kDown;
}

InterfaceWatch::~InterfaceWatch() {
  if (s_ >= 0) close(s_);
}

namespace {

// An interface request for ifname: the whole name, up to the kernel's 15
// characters, terminated.
ifreq RequestFor(const char* ifname) {
  ifreq ifr;
  std::memset(&ifr, 0, sizeof ifr);
  std::snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", ifname);
  return ifr;
}

}  // namespace

InterfaceState InterfaceWatch::Look(const char* ifname) {
  InterfaceState state;
  if (s_ < 0) s_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s_ < 0) return state;
  ifreq ifr = RequestFor(ifname);
  if (ioctl(s_, SIOCGIFFLAGS, &ifr) != 0) return state;
  state.exists = true;
  const unsigned flags = static_cast<unsigned short>(ifr.ifr_flags);
  state.up = (flags & IFF_UP) != 0 && (flags & IFF_RUNNING) != 0;
  ifr = RequestFor(ifname);
  ifr.ifr_addr.sa_family = AF_INET;
  if (ioctl(s_, SIOCGIFADDR, &ifr) == 0) {
    sockaddr_in sin;
    std::memcpy(&sin, &ifr.ifr_addr, sizeof sin);
    state.address = sin.sin_addr.s_addr;
  }
  return state;
}

bool InterfaceWatch::OwnerOf(uint32_t address, char* name) {
  if (s_ < 0) s_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  // Every IPv4 address of every interface, by its label: the interface's
  // name, or "name:alias".
  ifreq list[64];
  ifconf conf = {};
  conf.ifc_len = sizeof list;
  conf.ifc_req = list;
  if (s_ < 0 || ioctl(s_, SIOCGIFCONF, &conf) != 0) return false;
  const int count = conf.ifc_len / static_cast<int>(sizeof(ifreq));
  for (int i = 0; i < count; ++i) {
    sockaddr_in sin;
    std::memcpy(&sin, &list[i].ifr_addr, sizeof sin);
    if (sin.sin_family != AF_INET || sin.sin_addr.s_addr != address) continue;
    snprintf(name, kInterfaceNameSize, "%.*s", static_cast<int>(strcspn(list[i].ifr_name, ":")), list[i].ifr_name);
    return true;
  }
  return false;
}
