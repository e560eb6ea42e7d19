#include "stream.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace sim {

namespace {

constexpr int kStallRcvBuf = 4096;  // so that a stalled reader really holds the sender back
// A paced reader takes a slice of a fiftieth of a second's worth at a time,
// so that the stream flows evenly instead of in bursts of whole reads.
constexpr int64_t kSlicesPerSecond = 50;

// Until fd has something to read, its end included.
void WaitReadable(int fd) {
  pollfd p{fd, POLLIN, 0};
  while (poll(&p, 1, -1) < 0 && errno == EINTR) {  // the time limit bounds the wait
  }
}

// Holds reads back so that the bytes taken up to any moment never exceed the
// rate times the time since the first byte was there to take, as a device
// that writes its flash no faster.
class Pacer {
 public:
  Pacer(int64_t bytesPerSecond, size_t readSize)
      : rate_(bytesPerSecond),
        slice_(std::min(readSize, static_cast<size_t>(std::max<int64_t>(1, bytesPerSecond / kSlicesPerSecond)))) {}

  // The size of the next read, at most `want` bytes after `got` ones, once
  // the rate lets all of it be taken.
  size_t Next(int fd, int64_t got, size_t want) {
    if (rate_ <= 0) return want;
    if (!started_) {
      WaitReadable(fd);
      start_ = Clock::now();
      started_ = true;
    }
    want = std::min(want, slice_);
    const double due = static_cast<double>(got + static_cast<int64_t>(want)) / static_cast<double>(rate_);
    // Rounded up: never a nanosecond early.
    std::this_thread::sleep_until(start_ + std::chrono::ceil<Clock::duration>(std::chrono::duration<double>(due)));
    return want;
  }

 private:
  const int64_t rate_;
  const size_t slice_;
  bool started_ = false;
  Clock::time_point start_{};
};

// The most the next read may take after `got` bytes without passing a fault.
size_t Want(const Faults& f, int64_t got, size_t readSize) {
  size_t want = readSize;
  for (int64_t limit : {f.closeAfter, f.stallAfter, f.resetAfter, f.killAfter}) {
    if (limit >= 0) want = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(want), limit - got));
  }
  return want;
}

}  // namespace

int ConnectTo(in_addr_t from, in_addr_t host, uint16_t port, bool smallBuffer, int retrySeconds) {
  const Clock::time_point giveUp = Clock::now() + std::chrono::seconds(retrySeconds);
  for (;;) {  // bounded by giveUp
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) Fail(kSetup, Errno("socket"));
    if (smallBuffer) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kStallRcvBuf, sizeof kStallRcvBuf);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    sockaddr_in local = SockAddr(from, 0);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      Fail(kSetup, Errno(("bind tcp " + AddressText(from)).c_str()));
    }
    sockaddr_in peer = SockAddr(host, port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0) return fd;
    const int err = errno;
    close(fd);
    // A host that closes its port while the connection waits in its
    // backlog resets it: as good as refused.
    if (err != ECONNREFUSED && err != ECONNRESET && err != ECONNABORTED && err != EINTR && err != ETIMEDOUT) {
      errno = err;
      Fail(kSetup, Errno("connect"));
    }
    if (Clock::now() >= giveUp) return -1;
    SleepMs(100);
  }
}

ssize_t ReceiveStamped(int fd, void* data, size_t len, Clock::time_point* arrived) {
  iovec io = {data, len};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
  msghdr m{};
  m.msg_iov = &io;
  m.msg_iovlen = 1;
  m.msg_control = control;
  m.msg_controllen = sizeof control;
  const ssize_t n = recvmsg(fd, &m, 0);
  *arrived = Clock::now();
  for (cmsghdr* c = CMSG_FIRSTHDR(&m); n > 0 && c != nullptr; c = CMSG_NXTHDR(&m, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
    timespec stamp;
    memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
    // The stamp is of the wall clock: what has passed since, on ours.
    timespec wall;
    clock_gettime(CLOCK_REALTIME, &wall);
    const auto since = std::chrono::seconds(wall.tv_sec - stamp.tv_sec) +
                       std::chrono::nanoseconds(wall.tv_nsec - stamp.tv_nsec);
    if (since > Clock::duration::zero()) *arrived -= std::chrono::duration_cast<Clock::duration>(since);
  }
  return n;
}

bool SendAll(int fd, const char* data, size_t n) {
  while (n > 0) {
    ssize_t sent = send(fd, data, n, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    data += sent;
    n -= static_cast<size_t>(sent);
  }
  return true;
}

void Flood(int fd) {
  const std::vector<char> junk(65536, 'f');
  while (SendAll(fd, junk.data(), junk.size())) {  // until the shutdown or the host's end
  }
}

std::string Ending(End end, const char* stream) {
  const char* what = end == End::kClosed    ? "closed-"
                     : end == End::kStalled ? "stalled-"
                     : end == End::kReset   ? "reset-"
                     : end == End::kKilled  ? "killed-"
                                            : "host-reset-";
  return what + std::string(stream);
}

const char* HostEndText(HostEnd end) {
  return end == HostEnd::kEof ? "eof" : end == HostEnd::kReset ? "reset" : "-";
}

void Reader::PauseBeforeTheEnd(int fd) const {
  if (plan_.resetOnRelease) return AwaitRelease();
  pollfd p{fd, POLLRDHUP, 0};
  while (plan_.resetAfterHostEnd && (poll(&p, 1, -1) < 0 || (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) == 0)) {
  }
  if (!plan_.resetAfterHostEnd) SleepMs(plan_.resetDelayMs);
}

End Reader::Drain(int fd, Faults f, const Put& put, HostEnd* host) {
  *host = HostEnd::kNone;
  Pacer pacer(f.bytesPerSecond, buf_.size());
  int64_t got = 0;
  bool stalled = false;
  for (;;) {  // each round takes bytes, ends the stream or stalls (once)
    if (f.closeAfter >= 0 && got >= f.closeAfter) return End::kClosed;
    if (f.stallAfter >= 0 && got >= f.stallAfter) {
      Say("stalled after=" + std::to_string(got));
      SleepMs(int64_t{plan_.stallSeconds} * 1000);
      if (!plan_.readAfterStall) return End::kStalled;
      Say("resumed");
      stalled = true;
      f.stallAfter = -1;
      continue;
    }
    // A device that dies after its TCP acknowledged all the host sent: the
    // pause lets the host's wait for that acknowledgement end first.
    if (f.resetAfter >= 0 && got >= f.resetAfter) {
      PauseBeforeTheEnd(fd);
      const linger now = {1, 0};
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
      return End::kReset;
    }
    if (f.killAfter >= 0 && got >= f.killAfter) {
      PauseBeforeTheEnd(fd);
      return End::kKilled;
    }
    const size_t want = pacer.Next(fd, got, Want(f, got, buf_.size()));
    Clock::time_point arrived;
    ssize_t n = ReceiveStamped(fd, buf_.data(), want, &arrived);
    if (n < 0 && errno == EINTR) continue;
    // The first thing that went wrong is the result: a stall read on after
    // stays a stall, whatever the host then did. A failed read of any kind
    // is no normal end.
    if (n < 0) {
      *host = HostEnd::kReset;
      return stalled ? End::kStalled : End::kHostReset;
    }
    if (n == 0) *host = HostEnd::kEof;
    if (n <= 0) return stalled ? End::kStalled : End::kEof;
    put(buf_.data(), static_cast<size_t>(n), arrived);
    got += n;
    SleepMs(plan_.readDelayMs);
  }
}

}  // namespace sim
