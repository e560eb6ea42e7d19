// The silence watch's verdict, a row each: a peer's TCP as a list of what happened on the connection
// (acknowledgements, retransmissions, window probes), looked at once a second as the waits do, against the time by
// which the peer must be taken as gone, or never.
#include "moxtil/itron/silence.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using itron::NextSilence;
using itron::Silence;
using itron::TcpSample;

constexpr int kLimitMs = 45000;
constexpr int kLookMs = 1000;

enum class Kind { kAck, kRetransmit, kFailedHere, kProbe };
struct Event { int64_t atMs; Kind kind; };

// What a look at atMs sees of events: an acknowledgement at 0 starts it all; time-outs and window probes count from
// the last acknowledgement, as the kernel's do. A retransmission that failed here (our own link's route gone) counts
// as a time-out alone.
TcpSample LookAt(const std::vector<Event>& events, int64_t atMs, int outstanding) {
  int64_t lastAck = 0;
  uint32_t retransmitted = 0, retransmits = 0, probes = 0;
  for (const Event& e : events) {
    if (e.atMs > atMs) continue;
    if (e.kind == Kind::kAck) {
      lastAck = e.atMs;
      retransmits = 0;
      probes = 0;
    } else if (e.kind == Kind::kRetransmit) {
      ++retransmitted;
      ++retransmits;
    } else if (e.kind == Kind::kFailedHere) {
      ++retransmits;
    } else {
      ++probes;
    }
  }
  return {atMs, static_cast<uint32_t>(atMs - lastAck), retransmitted, retransmits, probes, outstanding};
}

// Sends of kind after the back-off of a kernel: the first after firstMs, each wait twice the one before, at most
// capMs; until untilMs. Each is answered answerMs later when answeredFromMs <= its time (a duplicate acknowledgement:
// it moves nothing on), else lost.
std::vector<Event> BackedOff(Kind kind, int64_t firstMs, int64_t capMs, int64_t untilMs, int64_t answeredFromMs,
                             int64_t answerMs = 1) {
  std::vector<Event> events;
  int64_t wait = firstMs;
  for (int64_t t = firstMs; t <= untilMs; wait = wait * 2 > capMs ? capMs : wait * 2, t += wait) {
    events.push_back({t, kind});
    if (t >= answeredFromMs) events.push_back({t + answerMs, Kind::kAck});
  }
  return events;
}

// events without the acknowledgements after fromMs: the peer is gone then.
std::vector<Event> GoneAfter(std::vector<Event> events, int64_t fromMs) {
  std::vector<Event> kept;
  for (const Event& e : events) {
    if (e.kind != Kind::kAck || e.atMs <= fromMs) kept.push_back(e);
  }
  return kept;
}

constexpr int64_t kNever = -1;
constexpr int64_t kUncapped = 120000;  // the kernel's own ceiling
constexpr int64_t kCapped = 5000;      // TCP_RTO_MAX_MS as the station sets it

struct Row {
  const char* name;
  std::vector<Event> events;
  int outstanding;
  int64_t goneFromMs;  // kNever: alive to the end of the row
  int64_t goneByMs;
};

const int64_t kHorizonMs = 600000;

std::vector<Row> Rows() {
  return {
      {"window closed, each probe answered at once, uncapped back-off to two minutes",
       BackedOff(Kind::kProbe, 200, kUncapped, kHorizonMs, 0), 1000, kNever, kNever},
      {"window closed, each probe answered, capped back-off", BackedOff(Kind::kProbe, 200, kCapped, kHorizonMs, 0),
       1000, kNever, kNever},
      {"retransmissions each answered by a duplicate acknowledgement, older kernel",
       BackedOff(Kind::kRetransmit, 200, kUncapped, kHorizonMs, 0), 1000, kNever, kNever},
      // 0.2, 0.6, 1.4 ... 25.4 s lost; the one at 51.0 s finds the link back.
      {"a 30 s outage, older kernel's back-off: the send at 51 s is answered",
       BackedOff(Kind::kRetransmit, 200, kUncapped, kHorizonMs, 30000), 1000, kNever, kNever},
      {"a 30 s outage, capped back-off", BackedOff(Kind::kRetransmit, 200, kCapped, kHorizonMs, 30000), 1000,
       kNever, kNever},
      {"an answer half a second after the send made in the silence",
       BackedOff(Kind::kRetransmit, 200, kUncapped, kHorizonMs, 45000, 500), 1000, kNever, kNever},
      // The send at 51.0 s goes unanswered: seen at the look of 51 s, judged at 52 s.
      {"peer gone, older kernel's back-off", BackedOff(Kind::kRetransmit, 200, kUncapped, kHorizonMs, kHorizonMs),
       1000, 52000, 53000},
      {"peer gone, capped back-off", BackedOff(Kind::kRetransmit, 200, kCapped, kHorizonMs, kHorizonMs), 1000,
       46000, 52000},
      // A window probe may be answered late by a busy peer: 5 s are allowed.
      {"peer gone while its window was closed, capped probes",
       BackedOff(Kind::kProbe, 200, kCapped, kHorizonMs, kHorizonMs), 1000, 50000, 56000},
      {"peer gone while its window was closed, uncapped probes",
       BackedOff(Kind::kProbe, 200, kUncapped, kHorizonMs, kHorizonMs), 1000, 46000, 92000},
      // Probes answered while the window stays closed keep their back-off: by 204.6 s they come two minutes apart,
      // and the one at 324.6 s is the first the gone peer leaves unanswered.
      {"peer gone after minutes with its window closed, uncapped probes two minutes apart",
       GoneAfter(BackedOff(Kind::kProbe, 200, kUncapped, kHorizonMs, 0), 230000), 1000, 329000, 331000},
      {"window closed for minutes, uncapped probes two minutes apart, each answered 4 s late",
       BackedOff(Kind::kProbe, 200, kUncapped, kHorizonMs, 0, 4000), 1000, kNever, kNever},
      {"peer gone after minutes with its window closed, capped probes",
       GoneAfter(BackedOff(Kind::kProbe, 200, kCapped, kHorizonMs, 0), 230000), 1000, 226200 + 50000,
       226200 + 56000},
      // Retransmissions begin late (a first RTO of 1 s): 1, 3, 7, 15, 31, 63 s.
      {"peer gone, a slow first retransmission", BackedOff(Kind::kRetransmit, 1000, kUncapped, kHorizonMs, kHorizonMs),
       1000, 64000, 65000},
      {"our own link gone: retransmissions fail here, capped back-off",
       BackedOff(Kind::kFailedHere, 200, kCapped, kHorizonMs, kHorizonMs), 1000, 46000, 52000},
      {"silent but nothing sent since the limit: no verdict without a send", {{1000, Kind::kRetransmit}}, 1000,
       kNever, kNever},
      {"nothing of ours outstanding: keepalive's matter, not this watch's",
       BackedOff(Kind::kProbe, 200, kCapped, kHorizonMs, kHorizonMs), 0, kNever, kNever},
  };
}

TEST(Silence, Verdicts) {
  for (const Row& row : Rows()) {
    Silence state;
    int64_t goneAt = kNever;
    for (int64_t t = kLookMs; t <= kHorizonMs && goneAt == kNever; t += kLookMs) {
      state = NextSilence(state, LookAt(row.events, t, row.outstanding), kLimitMs);
      if (state.gone) goneAt = t;
    }
    if (row.goneFromMs == kNever) {
      EXPECT_EQ(goneAt, kNever) << row.name << ": taken as gone at " << goneAt << " ms";
    } else {
      EXPECT_GE(goneAt, row.goneFromMs) << row.name;
      EXPECT_LE(goneAt, row.goneByMs) << row.name << (goneAt == kNever ? ": never taken as gone" : "");
    }
  }
}

// A watch taken over by a new wait starts without a look: its first look decides nothing, whatever the counters say.
TEST(Silence, FirstLookDecidesNothing) {
  const TcpSample deep = {100000, 100000, 9, 4, 3, 1000};
  EXPECT_FALSE(NextSilence(Silence(), deep, kLimitMs).gone);
  const Silence after = NextSilence(NextSilence(Silence(), deep, kLimitMs), deep, kLimitMs);
  EXPECT_FALSE(after.gone);
}

}  // namespace
