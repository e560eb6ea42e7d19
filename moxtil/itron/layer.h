// What the files of the endpoint layer share, and nothing outside the layer
// uses: the tables and their lock, how a failure is kept for ItronReason, the
// connection as its owner sees it, and the socket calls that more than one
// kind of object makes. The layer's API is Itron.h.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <climits>
#include <mutex>

#include "moxtil/itron/Itron.h"

namespace itron {

// Every allocation, release and change of a table row holds this lock; no
// blocking call does (waits, accepts, sends, receives, the bind pauses). Last
// in the lock order: no lock is taken under it.
extern std::mutex tableLock;
using Lock = std::lock_guard<std::mutex>;

// ---- UDP communication endpoints

struct SOCKETUDPTBL {
  int s;       // descriptor, -1 when none
  int portno;  // bound port in network byte order, 0 when none
};

extern SOCKETUDPTBL SocketUDPTbl[kItronMaxIds];
extern int IsUDPcepid[kItronMaxIds];  // -1 while created, 0 while free
extern INT UDPStartFlg;               // 1 once UdpStart filled the table

// ---- TCP reception points and connection endpoints

// Listening socket; kNoSocket when none, kBinding while one is being bound.
extern int AcceptTCPTbl[kItronMaxIds];
extern int listenFlag[kItronMaxIds];  // result of the last listen: 0, or -1 to repeat
// -1 while created (or taken by tcp_vcre_rep for the bind), 0 while free.
extern int IsTCPrepid[kItronMaxIds];
extern int SocketTCPTbl[kItronMaxIds];  // accepted connection, -1 when none
extern int IsTCPcepid[kItronMaxIds];    // -1 while created, 0 while free
// Per connection: its TCP_SILENCE_LIMIT in ms (0 none); whether its stream
// was acknowledged to the last byte, so that a close ends it normally; and
// whether tcp_can_cep cancelled it.
extern int SilenceLimitMs[kItronMaxIds];
extern bool EndsNormally[kItronMaxIds];
extern bool Cancelled[kItronMaxIds];
extern INT TCPStartFlg;  // 1 once TcpStart filled the tables
// The eventfd that wakes tcp_wai_rep; made by the first wait or cancel of one.
extern int repWakeFd;

constexpr int kListenBacklog = 5;
constexpr int kBindAttempts = 16;
constexpr int kBindPauseMs = 5000;
// The bind retry of reception points; tests may shorten it.
extern std::atomic<int> bindAttempts;
extern std::atomic<int> bindPauseMs;
extern std::atomic<BindRetryNotice> bindRetryNotice;
// Whether tcp_set_opt caps the kernel's back-off (ItronCapBackOff).
extern std::atomic<bool> capBackOff;

constexpr int kNoSocket = -1;
// A reception point whose socket is being bound: its ID is taken.
constexpr int kBinding = -2;

inline bool ValidId(ID id) { return id >= 0 && id < kItronMaxIds; }
inline bool HasSocket(int s) { return s >= 0; }

// The tables start out zero; the first use of either kind fills them with
// "no socket", so that an operation reached before any creation finds no
// descriptor 0 to act on. Callers hold tableLock.
void UdpStart();
void TcpStart();

// The socket another created UDP endpoint than `except` holds on port (in
// network byte order), or kNoSocket: one socket serves every ID on a port.
int SharedUdpSocket(int port, ID except);

// The lowest free ID of a table of "created" marks, or -1.
ID LowestFree(const int (&created)[kItronMaxIds]);

// ---- Failures

// The one place where a failure becomes a layer code: its reason is kept
// for ItronReason, and the code returned.
ER Failure(ER code, int reason);
// A system call failed: errno is the reason, and `call` (a string literal)
// names it in ItronReason, unless errno tells of the connection's own end.
ER CallFailure(ER code, const char* call);
// The peer of a connection taken as gone: it answered nothing for limitMs.
ER SilentFailure(int limitMs);
ER BadId();
// The layer's own time limits keep ETIME, told apart from the system's
// connection time-out (ETIMEDOUT).
ER TimedOut();

// A wait's result while it has none yet: no code, count or ID is this.
constexpr ER kStillWaiting = INT32_MIN;

// ---- Connections

// The socket of the connection endpoint cepid, or the failure; the caller
// holds tableLock.
ER SocketOf(ID cepid, int* s);

// A connection as its owner uses it: its socket and its settings, as the
// table held them when the owner looked it up.
struct Connection {
  ID cepid;
  int s;              // the accepted connection's descriptor
  int silenceMs;      // its TCP_SILENCE_LIMIT in ms, 0 none
  bool endsNormally;  // whether a close ends its stream normally
};

// The connection endpoint cepid for its owner, or the failure.
ER ConnectionOf(ID cepid, Connection* c);

// ---- Socket calls of more than one kind of object

sockaddr_in MakeAddress(UW ipaddr, UH portno);

enum class WaitResult { kReady, kTimedOut, kFailed };

// Waits until deadline for fd to become readable or writable. poll, not
// select: a descriptor number of FD_SETSIZE or more must not write past an
// fd_set. A signal does not cut the wait short: it goes on with the time left.
WaitResult WaitUntil(int fd, short events, const Deadline& deadline);

// What reading without waiting found: more may come, the peer's end of
// stream, or a failed connection (its errno in lastERR's style).
enum class Drained { kMore, kEnded, kFailed };

// Reads and drops what the peer has sent so far, without waiting: bytes left
// unread when a socket is closed make the kernel answer with a reset. A peer
// that sends without end is read a batch at a time, so that the caller's
// limit still counts. On kFailed, *err is why.
Drained DiscardReceived(int s, int* err);

// The error a connection ended with, for one that has failed or been reset.
int ConnectionError(int s);

}  // namespace itron
