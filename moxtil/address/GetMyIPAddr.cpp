#include "moxtil/address/GetMyIPAddr.h"

#include <net/if.h>
#include <netinet/in.h>
#include <cstdio>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

DWORD GetMyIPAddr(const char* ifname) {
  const int s = socket(AF_INET, SOCK_DGRAM, 0);
  if (s < 0) {
    perror("socket():");
    return 0;
  }
  ifreq ifr;
  std::memset(&ifr, 0, sizeof ifr);
  // The whole name, up to the kernel's 15 characters, terminated.
  std::snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", ifname);
  ifr.ifr_addr.sa_family = AF_INET;
  if (ioctl(s, SIOCGIFADDR, &ifr) != 0) {
    const int err = errno;
    perror("ioctl():");
    close(s);
    errno = err;  // the caller may tell why
    return 0;
  }
  sockaddr_in sin;
  std::memcpy(&sin, &ifr.ifr_addr, sizeof sin);
  close(s);
  return sin.sin_addr.s_addr;
}
