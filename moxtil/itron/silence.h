// Whether a connection's peer is gone, decided from successive looks at its
// TCP alone, so that the decision is the same on every kernel and can be
// tried on any sequence of looks.
#pragma once

#include <cstdint>

namespace itron {

/// One look at a connection's TCP: TCP_INFO and SIOCOUTQ.
struct TcpSample {
  int64_t atMs;           // when it was taken (a monotonic clock)
  uint32_t lastAckAgeMs;  // tcpi_last_ack_recv: since the peer's TCP last acknowledged anything, a duplicate too
  uint32_t retransmitted; // tcpi_total_retrans: segments sent again over the connection's life
  uint32_t retransmits;   // tcpi_retransmits: time-outs since the last acknowledgement, counted also when
                          // the send failed here (a route gone with our own link), which total_retrans is not
  uint32_t probes;        // tcpi_probes: window probes sent and not answered yet
  int outstanding;        // bytes of ours the peer has not acknowledged (SIOCOUTQ)
};

/// What the looks so far found.
struct Silence {
  bool looked = false;           // a look was taken
  uint64_t sent = 0;             // retransmitted + retransmits + probes at the last look
  int64_t unansweredSince = -1;  // when a send made in the silence was first seen; -1: none
  bool gone = false;             // the verdict: the peer is taken as gone
};

/// How long a send made in the silence may go unanswered before the peer is
/// taken as gone: far beyond a LAN's round trip.
constexpr int kUnansweredMs = 1000;
/// The same for a window probe: a peer whose window has stayed closed for
/// long is busy (erasing its flash), and its TCP may answer late. Within
/// the kernel's own give-up on probes (15 of them: 56 s and more with the
/// back-off capped), so that the watch, which says why, decides first.
constexpr int kProbeUnansweredMs = 5000;

/// The next state of the watch after sample, with limitMs the silence limit.
/// The peer is gone only when bytes of ours wait for it, its TCP has
/// acknowledged nothing for limitMs, and a retransmission or a window probe
/// that we sent since (seen by the counters growing between two looks, the
/// first of which may be up to a look before the limit) has gone without any
/// acknowledgement for kUnansweredMs (kProbeUnansweredMs for a window probe). A silence alone decides nothing: a
/// kernel that backs its retransmissions off past the limit (25.6 s, then
/// 51.2 s) leaves a live peer that long without a word. Any acknowledgement,
/// a duplicate answering a probe included, starts the watch over.
Silence NextSilence(const Silence& state, const TcpSample& sample, int limitMs);

}  // namespace itron
