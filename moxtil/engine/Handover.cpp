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

/// With one target at a time: the one transfer still to get its data
/// connection, or -1.
int TheOneTransfer(const Waiter (&waiters)[kProcessSlots]) {
  for (int n = 0; n < kProcessSlots; ++n) {
    if (StillToConnect(waiters[n])) return n;
  }
  return -1;
}

/// The transfer still to connect whose loader came from address, among
/// those whose device's hardware address is mac ("" none known); or -1.
int AtAddress(const Waiter (&waiters)[kProcessSlots], UW address, const char* mac) {
  for (int n = 0; n < kProcessSlots; ++n) {
    if (StillToConnect(waiters[n]) && waiters[n].address == address && std::strcmp(waiters[n].mac, mac) == 0) return n;
  }
  return -1;
}

/// The transfer still to connect whose device has mac: the one whose loader
/// came from address too, where there is one; or -1.
int SameDevice(const Waiter (&waiters)[kProcessSlots], UW address, const char* mac) {
  int same = -1;
  for (int n = 0; n < kProcessSlots; ++n) {
    const Waiter& w = waiters[n];
    if (!StillToConnect(w) || std::strcmp(w.mac, mac) != 0) continue;
    if (same < 0 || w.address == address) same = n;
  }
  return same;
}

/// Of the transfers whose device's hardware address is unknown, the one
/// that has waited longest since its loader was acknowledged, or -1. One
/// known by its hardware address waits for its device alone.
int LongestWaiting(const Waiter (&waiters)[kProcessSlots]) {
  int longest = -1;
  for (int n = 0; n < kProcessSlots; ++n) {
    const Waiter& w = waiters[n];
    if (w.link != Link::kExpecting || w.cancelled || w.mac[0] != '\0') continue;
    if (longest < 0 || w.expectingSince < waiters[longest].expectingSince) longest = n;
  }
  return longest;
}

/// Whether any transfer waits for its device's return.
bool AnyWaits(const Waiter (&waiters)[kProcessSlots]) {
  for (const Waiter& w : waiters) {
    if (w.link == Link::kExpecting && !w.cancelled) return true;
  }
  return false;
}

Choice To(int slot, PairedBy by) {
  Choice c;
  c.slot = slot;
  c.by = by;
  return c;
}

/// The rules where the connection's hardware address can be read: it
/// decides, whatever the address; the address only for a transfer whose
/// device's hardware address could not be read.
Choice ByHardwareAddress(const Waiter (&waiters)[kProcessSlots], const Served* byMac, UW address, const char* mac,
                         int64_t nowMs) {
  const int same = SameDevice(waiters, address, mac);
  if (same >= 0) return To(same, waiters[same].address == address ? PairedBy::kAddress : PairedBy::kMac);
  const int unknown = AtAddress(waiters, address, "");
  if (unknown >= 0) return To(unknown, PairedBy::kAddress);
  Choice refused;
  if (byMac != nullptr) {
    char fate[160];
    Fate(*byMac, nowMs, fate, sizeof fate);
    snprintf(refused.why, sizeof refused.why, "its hardware address %s is that of target %s of this run, %s", mac,
             FormatAddress(byMac->address).text, fate);
  } else {
    snprintf(refused.why, sizeof refused.why,
             "no target waits for a device with its hardware address %s, and this run never served one: a host "
             "that is no device of this run takes no device's place", mac);
  }
  return refused;
}

/// The rules where no hardware address can be read: the address, then the
/// order of the waits among transfers whose devices' hardware addresses are
/// unknown too.
Choice ByAddressThenOrder(const Waiter (&waiters)[kProcessSlots], const Served* byAddress, UW address,
                          int64_t nowMs) {
  int own = -1;
  for (int n = 0; n < kProcessSlots && own < 0; ++n) {
    if (StillToConnect(waiters[n]) && waiters[n].address == address) own = n;
  }
  if (own >= 0) return To(own, PairedBy::kAddress);
  Choice refused;
  if (byAddress != nullptr) {
    char fate[160];
    Fate(*byAddress, nowMs, fate, sizeof fate);
    snprintf(refused.why, sizeof refused.why, "its address is that of target %s of this run, %s",
             FormatAddress(byAddress->address).text, fate);
    return refused;
  }
  const int longest = LongestWaiting(waiters);
  if (longest >= 0) return To(longest, PairedBy::kOrder);
  snprintf(refused.why, sizeof refused.why, "%s", AnyWaits(waiters)
      ? "the targets that wait are known by their devices' hardware addresses, which it does not show, and none "
        "was served from its address"
      : "no target waits for one, and none was served from its address");
  return refused;
}

}  // namespace

Choice ChooseTransfer(const Waiter (&waiters)[kProcessSlots], const Served* byAddress, const Served* byMac,
                      UW address, const char* mac, bool oneAtATime, int64_t nowMs) {
  if (oneAtATime) {
    const int one = TheOneTransfer(waiters);
    if (one >= 0) return To(one, waiters[one].address == address ? PairedBy::kAddress : PairedBy::kOrder);
    Choice refused;
    snprintf(refused.why, sizeof refused.why, "no target waits for one");
    return refused;
  }
  if (mac[0] != '\0') return ByHardwareAddress(waiters, byMac, address, mac, nowMs);
  return ByAddressThenOrder(waiters, byAddress, address, nowMs);
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
