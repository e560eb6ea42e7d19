#include "announce.h"

#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

namespace sim {

namespace {

// The datagrams' bytes are the simulator's own copy, not Moxtil's: as the
// oracle it must not share what it checks.
constexpr uint8_t kAnnounce[16] = {0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00,
                                   0x07, 0x01, 0x00, 0x08, 0x01, 0x00, 0x00, 0x00};
constexpr size_t kKindByte = 8;
constexpr uint8_t kRestartKind = 0x0C;
// Enough for every announce of a long run (one a second or so), and a bound
// on the memory all the same.
constexpr size_t kKeptAnnounces = 4096;

const char* KindOf(const uint8_t* buf, size_t len) {
  const bool shaped = len == sizeof kAnnounce && memcmp(buf, kAnnounce, kKindByte) == 0 &&
                      memcmp(buf + kKindByte + 1, kAnnounce + kKindByte + 1, sizeof kAnnounce - kKindByte - 1) == 0;
  if (shaped && buf[kKindByte] == kAnnounce[kKindByte]) return "announce";
  if (shaped && buf[kKindByte] == kRestartKind) return "restart";
  return "unknown";
}

// The destination the datagram was sent to, from its IP_PKTINFO (false
// where there is none), and when it reached this host, on the wall clock.
bool DestinationOf(msghdr* msg, in_addr_t* to, timespec* arrived) {
  bool found = false;
  for (cmsghdr* c = CMSG_FIRSTHDR(msg); c != nullptr; c = CMSG_NXTHDR(msg, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) memcpy(arrived, CMSG_DATA(c), sizeof *arrived);
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
      in_pktinfo info{};
      memcpy(&info, CMSG_DATA(c), sizeof info);
      *to = info.ipi_addr.s_addr;
      found = true;
    }
  }
  return found;
}

// A wall-clock time as the host's record writes it (RFC 3339, UTC, ms), so
// that the two compare as text.
std::string Rfc3339(const timespec& t) {
  tm utc{};
  gmtime_r(&t.tv_sec, &utc);
  char text[40];
  const size_t n = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  snprintf(text + n, sizeof text - n, ".%03ldZ", t.tv_nsec / 1000000);
  return text;
}

int BindUdp(in_addr_t addr, int base, bool shared) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) Fail(kSetup, Errno("socket"));
  int on = 1;
  setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
  setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
  // Several simulators in one network namespace may all hear broadcast on
  // the same port: each gets its own copy of a broadcast datagram.
  if (shared) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in sa = SockAddr(addr, Port(base, 10));
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    Fail(kSetup, Errno(("bind udp " + AddressText(addr)).c_str()));
  }
  return fd;
}

}  // namespace

bool AnnounceBoard::Reaches(const Heard& h, in_addr_t target) const {
  return h.to == target || std::find(targets_.begin(), targets_.end(), h.to) == targets_.end();
}

void AnnounceBoard::Post(in_addr_t host, in_addr_t to, Clock::time_point when) {
  std::lock_guard<std::mutex> lock(mutex_);
  heard_.push_back({host, to, when});
  if (heard_.size() > kKeptAnnounces) heard_.pop_front();
  posted_.notify_all();
}

in_addr_t AnnounceBoard::Wait(in_addr_t target, Clock::time_point since) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    for (const Heard& h : heard_) {
      if (h.when >= since && Reaches(h, target)) return h.host;
    }
    posted_.wait(lock);
  }
}

int AnnounceBoard::Count(in_addr_t target, Clock::time_point from, Clock::time_point until) {
  std::lock_guard<std::mutex> lock(mutex_);
  int n = 0;
  for (const Heard& h : heard_) n += h.when >= from && h.when < until && Reaches(h, target);
  return n;
}

std::vector<int> OpenUdp(const std::vector<in_addr_t>& targets, int base, bool any) {
  // Broadcast datagrams reach a socket bound to the wildcard address only; a
  // socket per target address hears just what was sent to that target.
  if (any) return {BindUdp(htonl(INADDR_ANY), base, true)};
  std::vector<int> fds;
  for (in_addr_t addr : targets) fds.push_back(BindUdp(addr, base, false));
  return fds;
}

void UdpLoop(int fd, AnnounceBoard* board) {
  sockaddr_in own{};
  socklen_t ownLen = sizeof own;
  getsockname(fd, reinterpret_cast<sockaddr*>(&own), &ownLen);
  uint8_t buf[2048];
  alignas(cmsghdr) char control[256];
  for (;;) {  // the end of the program ends it
    sockaddr_in from{};
    iovec iov{buf, sizeof buf};
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = recvmsg(fd, &msg, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail(kSetup, Errno("recvmsg"));
    }
    const Clock::time_point when = Clock::now();
    timespec arrived{};
    clock_gettime(CLOCK_REALTIME, &arrived);  // where the kernel gives no stamp
    in_addr_t to = own.sin_addr.s_addr;  // without its destination: the socket's own address
    const bool hasInfo = DestinationOf(&msg, &to, &arrived);
    const char* kind = KindOf(buf, static_cast<size_t>(n));
    Say(std::string("datagram kind=") + kind + " from=" + AddressText(from.sin_addr.s_addr) + ":" +
        std::to_string(ntohs(from.sin_port)) + " to=" + (hasInfo ? AddressText(to) : "?") +
        " bytes=" + std::to_string(n) + " at=" + Rfc3339(arrived));
    if (strcmp(kind, "announce") == 0) board->Post(from.sin_addr.s_addr, to, when);
  }
}

}  // namespace sim
