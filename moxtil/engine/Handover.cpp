#include "moxtil/engine/Handover.h"

#include <chrono>
#include <cstdio>
#include <cstring>

#include "common/output.h"

DataHandover dataHandover;

const char* PairedByName(PairedBy by) {
  switch (by) {
    case PairedBy::kAddress: return "address";
    case PairedBy::kMac: return "mac";
    case PairedBy::kOrder: return "order";
    case PairedBy::kNone: break;
  }
  return nullptr;
}

namespace {

/// Still to get its data connection: serving or closing its loader, or
/// waiting, and not cancelled.
bool StillToConnect(const Waiter& w) {
  return (w.link == Link::kLoading || w.link == Link::kExpecting) && !w.cancelled;
}

double SecondsSince(int64_t thenMs, int64_t nowMs) {
  return static_cast<double>(nowMs > thenMs ? nowMs - thenMs : 0) / 1000.0;
}

/// What became of an earlier target, as a refusal tells it: "which already
/// has its data connection", "whose own wait ended 1.2 s ago", ...
void Fate(const Served& s, int64_t nowMs, char* out, size_t size) {
  if (s.hadData && s.endedMs == 0) {
    snprintf(out, size, "which already has its data connection");
  } else if (s.hadData) {
    snprintf(out, size, "which had its data connection; its transfer ended %.1f s ago", SecondsSince(s.endedMs, nowMs));
  } else if (s.waitEndedMs != 0) {
    snprintf(out, size, "whose own wait ended %.1f s ago", SecondsSince(s.waitEndedMs, nowMs));
  } else if (s.endedMs != 0) {
    snprintf(out, size, "whose transfer ended %.1f s ago, before it waited for one", SecondsSince(s.endedMs, nowMs));
  } else {
    snprintf(out, size, "whose transfer is ending");
  }
}

/// Rule 1: the transfer whose loader came from address (with one target at
/// a time, the one transfer), or -1.
int OwnTransfer(const Waiter (&waiters)[kProcessSlots], UW address, bool oneAtATime) {
  for (int n = 0; n < kProcessSlots; ++n) {
    if (StillToConnect(waiters[n]) && (waiters[n].address == address || oneAtATime)) return n;
  }
  return -1;
}

/// Rule 3: the transfer still to connect whose device has mac, or -1.
int SameDevice(const Waiter (&waiters)[kProcessSlots], const char* mac) {
  for (int n = 0; n < kProcessSlots; ++n) {
    if (StillToConnect(waiters[n]) && std::strcmp(waiters[n].mac, mac) == 0) return n;
  }
  return -1;
}

/// Rule 4: the transfer that has waited longest since its loader was
/// acknowledged, or -1.
int LongestWaiting(const Waiter (&waiters)[kProcessSlots]) {
  int longest = -1;
  for (int n = 0; n < kProcessSlots; ++n) {
    const Waiter& w = waiters[n];
    if (w.link != Link::kExpecting || w.cancelled) continue;
    if (longest < 0 || w.expectingSince < waiters[longest].expectingSince) longest = n;
  }
  return longest;
}

Choice To(int slot, PairedBy by) {
  Choice c;
  c.slot = slot;
  c.by = by;
  return c;
}

}  // namespace

Choice ChooseTransfer(const Waiter (&waiters)[kProcessSlots], const Served* byAddress, const Served* byMac,
                      UW address, const char* mac, bool oneAtATime, int64_t nowMs) {
  const int own = OwnTransfer(waiters, address, oneAtATime);
  if (own >= 0) return To(own, waiters[own].address == address ? PairedBy::kAddress : PairedBy::kOrder);
  Choice refused;
  char fate[160];
  if (oneAtATime) {
    snprintf(refused.why, sizeof refused.why, "no target waits for one");
  } else if (byAddress != nullptr) {
    Fate(*byAddress, nowMs, fate, sizeof fate);
    snprintf(refused.why, sizeof refused.why, "its address is that of target %s of this run, %s",
             FormatAddress(byAddress->address).text, fate);
  } else if (mac[0] != '\0') {
    const int same = SameDevice(waiters, mac);
    if (same >= 0) return To(same, PairedBy::kMac);
    if (byMac != nullptr) {
      Fate(*byMac, nowMs, fate, sizeof fate);
      snprintf(refused.why, sizeof refused.why, "its hardware address %s is that of target %s of this run, %s", mac,
               FormatAddress(byMac->address).text, fate);
    } else {
      snprintf(refused.why, sizeof refused.why,
               "no target waits for a device with its hardware address %s, and this run never served one: a host "
               "that is no device of this run takes no device's place", mac);
    }
  } else {
    const int longest = LongestWaiting(waiters);
    if (longest >= 0) return To(longest, PairedBy::kOrder);
    snprintf(refused.why, sizeof refused.why, "no target waits for one, and none was served from its address");
  }
  return refused;
}

// ---- the run's hand-over

const Served* DataHandover::ByAddress(UW address) const {
  // Newest first: an address served twice is its latest target's.
  for (int i = 1; i <= count_; ++i) {
    const Served& s = served_[(next_ - i + kRemembered) % kRemembered];
    if (s.address == address) return &s;
  }
  return nullptr;
}

const Served* DataHandover::ByMac(const char* mac) const {
  for (int i = 1; i <= count_; ++i) {
    const Served& s = served_[(next_ - i + kRemembered) % kRemembered];
    if (s.mac[0] != '\0' && std::strcmp(s.mac, mac) == 0) return &s;
  }
  return nullptr;
}

void DataHandover::Move(int n, Link link) {
  Waiter& w = waiters_[n];
  Served& s = served_[servedAt_[n]];
  const int64_t now = MonotonicMs();
  if (link == Link::kHanded) s.hadData = true;
  if (link == Link::kGivenUp) s.waitEndedMs = now;
  if (link == Link::kEnded) {
    s.endedMs = now;
    s.slot = -1;
  }
  w.link = link;
  changed_.notify_all();
}

void DataHandover::Begin(int n, UW address, const char* mac) {
  std::lock_guard<std::mutex> lock(lock_);
  Served& s = served_[next_];
  s = Served{};
  s.address = address;
  snprintf(s.mac, sizeof s.mac, "%s", mac);
  s.slot = n;
  servedAt_[n] = next_;
  next_ = (next_ + 1) % kRemembered;
  if (count_ < kRemembered) ++count_;
  Waiter& w = waiters_[n];
  w = Waiter{};
  w.link = Link::kLoading;
  w.address = address;
  snprintf(w.mac, sizeof w.mac, "%s", mac);
  handed_[n] = Handed{};
}

void DataHandover::Expect(int n) {
  std::lock_guard<std::mutex> lock(lock_);
  Waiter& w = waiters_[n];
  if (w.link != Link::kLoading) return;  // handed one already, or cancelled
  w.expectingSince = ++expectations_;
  Move(n, Link::kExpecting);
}

Choice DataHandover::Offer(ID cepid, const T_IPV4EP& peer, const char* mac, bool oneAtATime) {
  std::lock_guard<std::mutex> lock(lock_);
  const int64_t now = MonotonicMs();
  const Choice choice = ChooseTransfer(waiters_, ByAddress(peer.ipaddr), mac[0] != '\0' ? ByMac(mac) : nullptr,
                                       peer.ipaddr, mac, oneAtATime, now);
  if (choice.slot >= 0) {
    handed_[choice.slot] = {cepid, peer, choice.by};
    Move(choice.slot, Link::kHanded);
  }
  return choice;
}

ER DataHandover::Await(int n, const Deadline& deadline, ID* cepid, T_IPV4EP* peer, PairedBy* by) {
  std::unique_lock<std::mutex> lock(lock_);
  Waiter& w = waiters_[n];
  if (w.link == Link::kLoading) {  // Expect was not called: count its wait from now
    w.expectingSince = ++expectations_;
    Move(n, Link::kExpecting);
  }
  const auto decided = [&w] { return w.link == Link::kHanded || w.cancelled; };
  if (deadline.IsNever()) {
    changed_.wait(lock, decided);
  } else {
    changed_.wait_for(lock, std::chrono::milliseconds(deadline.LeftMs()), decided);
  }
  if (w.cancelled) {
    // A connection handed meanwhile stays for End, which resets it.
    if (w.link != Link::kHanded) Move(n, Link::kGivenUp);
    return E_RLWAI;
  }
  if (w.link != Link::kHanded) {
    Move(n, Link::kGivenUp);
    return E_TMOUT;
  }
  Handed& h = handed_[n];
  *cepid = h.cepid;
  *peer = h.peer;
  *by = h.by;
  h.cepid = -1;
  Move(n, Link::kTaken);
  return E_OK;
}

void DataHandover::Cancel(int n) {
  std::lock_guard<std::mutex> lock(lock_);
  waiters_[n].cancelled = true;
  changed_.notify_all();
}

ID DataHandover::End(int n, T_IPV4EP* peer) {
  std::lock_guard<std::mutex> lock(lock_);
  Handed& h = handed_[n];
  const ID cepid = h.cepid;
  *peer = h.peer;
  h.cepid = -1;
  if (waiters_[n].link != Link::kFree) Move(n, Link::kEnded);
  return cepid;
}

void DataHandover::Reset() {
  std::lock_guard<std::mutex> lock(lock_);
  for (int n = 0; n < kProcessSlots; ++n) {
    waiters_[n] = Waiter{};
    handed_[n] = Handed{};
    servedAt_[n] = 0;
  }
  expectations_ = 0;
  next_ = 0;
  count_ = 0;
}
