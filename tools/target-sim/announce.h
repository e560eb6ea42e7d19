// The UDP side: the sockets the targets hear the host on, a thread per socket
// that reports every datagram, and the board on which announces wait for the
// targets, so that a target never blocks on a socket.
#pragma once

#include <netinet/in.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

#include "common.h"

namespace sim {

/// The announces heard so far, the one thing the targets' threads share
/// besides the output.
class AnnounceBoard {
 public:
  /// The targets' own addresses: an announce to one of them reaches that
  /// target alone, one to any other address (broadcast) reaches all.
  explicit AnnounceBoard(std::vector<in_addr_t> targets) : targets_(std::move(targets)) {}

  void Post(in_addr_t host, in_addr_t to, Clock::time_point when);
  /// The host of the first announce that reached `target` at or after `since`;
  /// waits for one (the time limit ends the program if none comes). An
  /// announce wakes every target it reaches: none takes it from another.
  in_addr_t Wait(in_addr_t target, Clock::time_point since);
  /// Announces that reached `target` in [from, until).
  int Count(in_addr_t target, Clock::time_point from, Clock::time_point until);

 private:
  struct Heard {
    in_addr_t host, to;
    Clock::time_point when;
  };
  bool Reaches(const Heard& h, in_addr_t target) const;

  const std::vector<in_addr_t> targets_;
  std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<Heard> heard_;  // the latest ones, oldest first
};

/// Binds the sockets the targets hear the host on, UDP port base+10: one per
/// target address, or with `any` one on 0.0.0.0 for all (broadcast).
std::vector<int> OpenUdp(const std::vector<in_addr_t>& targets, int base, bool any);
/// Reports every datagram on fd and posts its announces, without end.
void UdpLoop(int fd, AnnounceBoard* board);

}  // namespace sim
