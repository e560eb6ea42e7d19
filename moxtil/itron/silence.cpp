#include "moxtil/itron/silence.h"

namespace itron {

Silence NextSilence(const Silence& state, const TcpSample& sample, int limitMs) {
  Silence next;
  next.looked = true;
  next.sent = static_cast<uint64_t>(sample.retransmitted) + sample.retransmits + sample.probes;
  const bool silent = limitMs > 0 && sample.outstanding > 0 && sample.lastAckAgeMs >= static_cast<uint32_t>(limitMs);
  if (!silent) return next;
  // Counters that grew since the last look: a send went out in between. The
  // look before the first silent one is at most one look short of the limit.
  const bool sentSince = state.looked && next.sent > state.sent;
  next.unansweredSince = state.unansweredSince >= 0 ? state.unansweredSince : sentSince ? sample.atMs : -1;
  // No acknowledgement since: the last one is older than the send seen.
  const int64_t lastAckAt = sample.atMs - static_cast<int64_t>(sample.lastAckAgeMs);
  const int allowedMs = sample.probes > 0 ? kProbeUnansweredMs : kUnansweredMs;
  next.gone = next.unansweredSince >= 0 && lastAckAt < next.unansweredSince &&
              sample.atMs - next.unansweredSince >= allowedMs;
  return next;
}

}  // namespace itron
