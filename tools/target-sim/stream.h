// The TCP side: connecting to the host, sending, and taking a stream the way
// a device does, with the faults asked for.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common.h"

namespace sim {

/// Connects from `from` to host:port, retrying every 100 ms for up to
/// `retrySeconds` while the host is not listening (not yet, or no more).
/// Returns -1 when it never listened.
int ConnectTo(in_addr_t from, in_addr_t host, uint16_t port, bool smallBuffer, int retrySeconds);

/// recv on fd, and when the last bytes it took reached this host's TCP: a
/// device's clock is its TCP's, not that of its reading thread, which a
/// loaded machine may wake late. The kernel's stamp where ConnectTo asked for
/// it, else the time of the read.
ssize_t ReceiveStamped(int fd, void* data, size_t len, Clock::time_point* arrived);

bool SendAll(int fd, const char* data, size_t n);
/// Sends bytes on fd until the send fails, as a target that writes what the
/// protocol never reads; a shutdown of fd for writing ends it.
void Flood(int fd);

/// How a stream ended: the host's end of stream or its reset, or what the
/// target did on purpose.
enum class End { kEof, kHostReset, kClosed, kStalled, kReset, kKilled };
/// The result of a stream that did not end with the host's end of stream,
/// e.g. "reset-loader".
std::string Ending(End end, const char* stream);

/// How the host ended a stream, where the target read it to the host's end:
/// a normal end of stream ("eof"), a reset ("reset"), or it never came to
/// that ("-": the target cut the stream itself, or there was none). A
/// device takes a normal end for "all of it".
enum class HostEnd { kNone, kEof, kReset };
const char* HostEndText(HostEnd end);

/// How the target reads, for every stream.
struct ReadPlan {
  size_t readSize = 65536;       // bytes per read at most
  int readDelayMs = 0;           // sleep after every read
  int stallSeconds = 30;         // how long a stall lasts
  bool readAfterStall = false;   // read on after a stall instead of closing
  int resetDelayMs = 0;          // pause before a reset or a kill
  bool resetOnRelease = false;   // or wait for SIGUSR1 (AwaitRelease)
  bool resetAfterHostEnd = false;  // or for the host's end of stream
};

/// Where a stream is cut short, in bytes taken (negative: never), and how
/// fast it is taken (0: as fast as it comes).
struct Faults {
  int64_t closeAfter = -1, stallAfter = -1, resetAfter = -1, killAfter = -1;
  int64_t bytesPerSecond = 0;
};

class Reader {
 public:
  using Put = std::function<void(const uint8_t*, size_t, Clock::time_point arrived)>;
  explicit Reader(const ReadPlan& plan) : plan_(plan), buf_(plan.readSize) {}

  /// Reads fd to its end into `put`, or until a fault of `faults` comes. The
  /// caller closes fd: for a reset the socket is left to linger for no time,
  /// for a kill the bytes left unread make the kernel's close a reset. A stall
  /// that is read on after (--read-after-stall) still ends as a stall.
  /// *host tells how the host ended the stream.
  End Drain(int fd, Faults faults, const Put& put, HostEnd* host);

 private:
  /// Before a reset or a kill: --reset-delay, or until released, or until the host's end.
  void PauseBeforeTheEnd(int fd) const;
  ReadPlan plan_;
  std::vector<uint8_t> buf_;
};

}  // namespace sim
