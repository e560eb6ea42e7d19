// The hand-over of data connections: a device comes back from its reboot on
// the data port, and its connection must reach the transfer that served it
// its loader, never another device's. The acceptor offers each new data
// connection here; the transfers wait for theirs here. One lock guards it
// all, and nothing is called out under it: it comes after the slot lock.
//
// Identity first, address second. A data connection goes to a transfer
// still to get one (serving or closing its loader, or waiting):
// 1. with one target at a time, to the one transfer, from any address;
// 2. where its hardware address can be read (the neighbour table: on a LAN
//    it always can), by it alone: to the transfer whose device has it (the
//    one whose loader came from the same address first; a device may get
//    another address across its reboot, and an address that an earlier
//    target had may be given to it), or to one whose loader came from its
//    address where that device's hardware address could not be read; to no
//    one else, whatever its address: a host that is no device of this run
//    never takes a waiting device's place;
// 3. where none can be read (loopback, a peer behind a router), by its
//    address: to the transfer whose loader came from it; to no one when it
//    is an address this run served a loader to (it belongs to an earlier
//    target, whose wait ended or which has its data connection: a late
//    device must not take another's place);
// 4. else to the transfer that has waited longest since its loader was
//    acknowledged among those whose device's hardware address is unknown
//    too, said to be paired by order only; to no one when none waits.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "common/util.h"
#include "moxtil/address/HardwareAddress.h"
#include "moxtil/engine/RunState.h"
#include "moxtil/itron/Itron.h"

/// "address", "mac", "order" for how a data connection was paired; null for none.
const char* PairedByName(PairedBy by);

/// Where a target's transfer stands with its data connection.
enum class Link {
  kFree,       // no target in the slot
  kLoading,    // serving its loader: one from its own address is taken already
  kExpecting,  // its loader acknowledged: it waits for its device's return
  kHanded,     // one was handed to it and not taken yet
  kTaken,      // it took its data connection
  kGivenUp,    // its wait ended without one (a time limit, a cancel)
  kEnded,      // its transfer ended
};

/// What the rules look at of one slot's target.
struct Waiter {
  Link link = Link::kFree;
  UW address = 0;                      // of its loader connection
  char mac[kHardwareAddressSize] = "";  // of its device, "" unknown
  uint64_t expectingSince = 0;         // order of its loader's acknowledgement, for rule 4
  bool cancelled = false;
};

/// What this run remembers of a target it served a loader to: for rules 2
/// and 3, and for what a refusal says. All zero when new: the table of them
/// takes no room in the binary.
struct Served {
  UW address = 0;
  char mac[kHardwareAddressSize] = "";
  bool hadData = false;   // its data connection was handed to it
  int64_t waitEndedMs = 0;  // when its wait ended without one (monotonic), 0 never
  int64_t endedMs = 0;      // when its transfer ended, 0 while it runs
};

/// The choice for one data connection.
struct Choice {
  int slot = -1;  // -1: refused
  PairedBy by = PairedBy::kNone;
  char why[256] = "";  // a refusal: what follows "reset: " in its explanation
};

/// The run remembers its latest targets; older ones are forgotten.
constexpr int kRemembered = 4096;

/// The rules above, for one data connection from `address` (hardware
/// address `mac`, "" where none can be read): `waiters` are the slots'
/// targets, `byAddress` and `byMac` this run's latest target served from
/// that address and with that hardware address (null: none).
Choice ChooseTransfer(const Waiter (&waiters)[kProcessSlots], const Served* byAddress, const Served* byMac,
                      UW address, const char* mac, bool oneAtATime, int64_t nowMs);

/// The hand-over of one run: a waiter per transfer slot and the run's memory
/// of the targets it served.
class DataHandover {
 public:
  /// The acceptor took a target into slot n: its loader connection came
  /// from address, its device's hardware address is mac ("" unknown).
  void Begin(int n, UW address, const char* mac);
  /// The loader of slot n's target was acknowledged: it expects its device
  /// back from now on.
  void Expect(int n);
  /// A new data connection from peer (hardware address mac, "" unknown):
  /// handed to the transfer of the chosen slot, or refused (slot -1).
  Choice Offer(ID cepid, const T_IPV4EP& peer, const char* mac, bool oneAtATime);
  /// The transfer of slot n waits for its data connection until deadline:
  /// E_OK with it, E_TMOUT, or E_RLWAI once cancelled. None is handed to it
  /// afterwards.
  ER Await(int n, const Deadline& deadline, ID* cepid, T_IPV4EP* peer, PairedBy* by);
  /// The transfer of slot n is cancelled: its wait ends, and none is handed
  /// to it any more.
  void Cancel(int n);
  /// The transfer of slot n ended: a connection handed to it and not taken
  /// is given back (-1: none), for the caller to reset.
  ID End(int n, T_IPV4EP* peer);
  /// Forgets everything. For the start of a run and tests.
  void Reset();

 private:
  const Served* ByAddress(UW address) const;
  const Served* ByMac(const char* mac) const;
  /// Slot n's link becomes `link`, and the run's memory of its target follows.
  void Move(int n, Link link);

  std::mutex lock_;
  std::condition_variable changed_;
  Waiter waiters_[kProcessSlots];
  int servedAt_[kProcessSlots] = {};  // each busy slot's entry in served_
  struct Handed {
    ID cepid = -1;
    T_IPV4EP peer = {0, 0};
    PairedBy by = PairedBy::kNone;
  } handed_[kProcessSlots];
  uint64_t expectations_ = 0;
  Served served_[kRemembered];
  int next_ = 0;   // where the next target is remembered
  int count_ = 0;  // remembered so far, at most kRemembered
};

extern DataHandover dataHandover;
