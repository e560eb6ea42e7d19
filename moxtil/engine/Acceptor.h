// The acceptor: takes targets' loader connections, gives each a transfer
// slot and starts its transfer thread, offers data connections to the
// hand-over (Handover.h), and waits for the transfers' ends.
#pragma once

#include <atomic>

#include "moxtil/itron/Itron.h"
#include "moxtil/engine/RunState.h"

/// How far the acceptor of a cycle has come; the driver reads it to know
/// when to invite targets and when the cycle is over.
enum class AcceptorPhase {
  kStarting,   // reception points not ready yet
  kAccepting,  // takes targets
  kServing,    // takes no more targets; serves those it has
  kEnded,      // process1 is about to return
};

/// Why the acceptor of a cycle took no more targets.
enum class AcceptorEnding {
  kNone,      // it has not stopped (or could not start)
  kServed,    // one target at a time: it took its target
  kCount,     // -M<n>: n targets taken
  kSignal,    // a stop signal
  kFailureGuard,  // -E: n failures in a row
  kIdle,      // -M -T: no target for -T
};

/// The driver's handle on the acceptor of one cycle (process1's argument).
struct AcceptorCycle {
  std::atomic<AcceptorPhase> phase{AcceptorPhase::kStarting};
  std::atomic<AcceptorEnding> ending{AcceptorEnding::kNone};
};

/// True while both reception points listen: only then is there a point in
/// inviting targets.
bool ReceptionPointsListen();
/// Closes the reception points after the last cycle: they serve every row
/// of a file list, and only the driver knows which row is the last.
void CloseReceptionPoints();

/// Forgets the reception points (ItronReset closes their sockets). For tests.
void AcceptorReset();

/// The acceptor: the thread function of each update cycle; arg is its
/// AcceptorCycle (or null). 0 when the cycle's targets were served; -1 when
/// no target came within -T (_IsTimeOut tells it), the reception points
/// could not be made, or (single-target mode) its target failed: the error
/// flag is set then. With -M a failed target is its own matter.
int process1(void* arg);

/// The stack the acceptor and each transfer thread ask for: at least twice
/// the deepest either was measured to go (tests/stack_test: 12.5 KiB on
/// x86-64, the C library's thread record and variables included), in whole
/// pages.
constexpr int kEngineThreadStackSize = 32768;

/// Something the acceptor waits for has changed (a transfer ended, or shows
/// in the live view): it looks again at once.
void WakeAcceptor();
