// The acceptor: takes a target's loader connection, gives it a transfer slot
// and starts its transfer thread.
#pragma once

/// What process1 ends with when no target connected within the time-out.
constexpr int kAcceptorTimedOut = -2;

/// True while both reception points listen: only then is there a point in
/// inviting targets.
bool ReceptionPointsListen();

/// Forgets the reception points (ItronReset closes their sockets). For tests.
void AcceptorReset();

/// Thread function, one per update cycle. 0 when the cycle's target was
/// served, kAcceptorTimedOut after an accept time-out, -1 after any other
/// failure; the error flag is set for both.
int process1(void* arg);
