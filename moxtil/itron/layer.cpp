// The endpoint layer's common ground: its tables, the reason kept with each
// failure, the look-up of a connection, the socket calls that more than one
// kind of object makes, and what concerns the whole layer (its time units,
// ItronReason, ItronReset).
#include "moxtil/itron/layer.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

namespace {

// The reason (an errno value, or kSilentPeer) of the calling thread's most
// recent failure in the layer. Per thread: every thread asks about its own
// failures.
thread_local int lastERR = 0;
// The reason of a peer taken as gone by its silence (no errno of its own).
constexpr int kSilentPeer = -1;
// The silence limit of the calling thread's last such failure, for its reason.
thread_local int lastSilenceMs = 0;
// The system call whose errno lastERR is (a string literal), or null where
// the layer chose the reason itself.
thread_local const char* lastCall = nullptr;

// The connection's own end, told by whichever call came upon it: its words
// alone say it, whatever call that was.
bool EndsTheConnection(int err) {
  return err == ECONNRESET || err == EPIPE || err == ETIMEDOUT || err == ECONNREFUSED || err == ECONNABORTED ||
         err == EHOSTUNREACH || err == ENETUNREACH;
}

}  // namespace

namespace itron {

std::mutex tableLock;

SOCKETUDPTBL SocketUDPTbl[kItronMaxIds];
int IsUDPcepid[kItronMaxIds];
INT UDPStartFlg = 0;

int AcceptTCPTbl[kItronMaxIds];
int listenFlag[kItronMaxIds];
int IsTCPrepid[kItronMaxIds];
int SocketTCPTbl[kItronMaxIds];
int IsTCPcepid[kItronMaxIds];
int SilenceLimitMs[kItronMaxIds];
bool EndsNormally[kItronMaxIds];
bool Cancelled[kItronMaxIds];
INT TCPStartFlg = 0;
int repWakeFd = -1;

std::atomic<int> bindAttempts{kBindAttempts};
std::atomic<int> bindPauseMs{kBindPauseMs};
std::atomic<BindRetryNotice> bindRetryNotice{nullptr};
std::atomic<bool> capBackOff{true};

ER Failure(ER code, int reason) {
  lastERR = reason;
  lastCall = nullptr;
  return code;
}

ER CallFailure(ER code, const char* call) {
  const ER er = Failure(code, errno);
  lastCall = call;
  return er;
}

ER SilentFailure(int limitMs) {
  lastSilenceMs = limitMs;
  return Failure(E_TMOUT, kSilentPeer);
}

ER BadId() { return Failure(E_ID, EINVAL); }
ER TimedOut() { return Failure(E_TMOUT, ETIME); }

sockaddr_in MakeAddress(UW ipaddr, UH portno) {
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(portno);
  sa.sin_addr.s_addr = ipaddr;
  return sa;
}

WaitResult WaitUntil(int fd, short events, const Deadline& deadline) {
  int n;
  do {
    pollfd p = {fd, events, 0};
    n = poll(&p, 1, deadline.PollMs());
  } while (n < 0 && errno == EINTR);
  WaitResult result = WaitResult::kFailed;
  if (n > 0) {
    result = WaitResult::kReady;
  } else if (n == 0) {
    result = WaitResult::kTimedOut;
  }
  return result;
}

Drained DiscardReceived(int s, int* err) {
  unsigned char sink[512];  // small: transfer threads run on small stacks
  for (int batch = 0; batch < 256; ++batch) {
    const ssize_t n = recv(s, sink, sizeof sink, MSG_DONTWAIT);
    if (n > 0 || (n < 0 && errno == EINTR)) continue;
    if (n == 0) return Drained::kEnded;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return Drained::kMore;
    *err = errno;
    return Drained::kFailed;
  }
  return Drained::kMore;
}

int ConnectionError(int s) {
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err == 0) err = EPIPE;
  return err;
}

void UdpStart() {
  if (UDPStartFlg != 0) return;
  for (SOCKETUDPTBL& row : SocketUDPTbl) {
    row.s = kNoSocket;
    row.portno = 0;
  }
  UDPStartFlg = 1;
}

void TcpStart() {
  if (TCPStartFlg != 0) return;
  for (int i = 0; i < kItronMaxIds; ++i) {
    SocketTCPTbl[i] = kNoSocket;
    AcceptTCPTbl[i] = kNoSocket;
  }
  TCPStartFlg = 1;
}

ER SocketOf(ID cepid, int* s) {
  TcpStart();
  if (!ValidId(cepid)) return BadId();
  *s = SocketTCPTbl[cepid];
  if (!HasSocket(*s)) return Failure(E_NOEXS, ENOTCONN);
  return E_OK;
}

ER ConnectionOf(ID cepid, Connection* c) {
  Lock lock(tableLock);
  const ER er = SocketOf(cepid, &c->s);
  if (er != E_OK) return er;
  c->cepid = cepid;
  c->silenceMs = SilenceLimitMs[cepid];
  c->endsNormally = EndsNormally[cepid];
  return E_OK;
}

int SharedUdpSocket(int port, ID except) {
  for (ID n = 0; n < kItronMaxIds; ++n) {
    if (n != except && HasSocket(SocketUDPTbl[n].s) && SocketUDPTbl[n].portno == port) return SocketUDPTbl[n].s;
  }
  return kNoSocket;
}

ID LowestFree(const int (&created)[kItronMaxIds]) {
  for (ID n = 0; n < kItronMaxIds; ++n) {
    if (created[n] == 0) return n;
  }
  return -1;
}

}  // namespace itron

using namespace itron;

Deadline DeadlineOf(TMO tmout) {
  return tmout == TMO_FEVR ? Deadline::Never() : Deadline::In(static_cast<int64_t>(tmout) * 10);
}

TMO TmoOf(int64_t ms) {
  if (ms < 0) return TMO_FEVR;
  const int64_t units = (ms + 9) / 10;
  return units > INT32_MAX ? INT32_MAX : static_cast<TMO>(units);
}

TMO TmoUntil(const Deadline& deadline) { return TmoOf(deadline.LeftMs()); }

const char* ItronReason() {
  if (lastERR == 0) return "no failure recorded";
  if (lastERR == ETIME) return "nothing moved within the time limit";
  if (lastERR == kSilentPeer) {
    thread_local char text[80];
    snprintf(text, sizeof text, "the target's TCP has answered nothing for %d s", lastSilenceMs / 1000);
    return text;
  }
  if (lastCall == nullptr || EndsTheConnection(lastERR)) return strerror(lastERR);
  thread_local char named[128];
  snprintf(named, sizeof named, "%s: %s", lastCall, strerror(lastERR));
  return named;
}

int ItronErrno() { return lastERR > 0 ? lastERR : 0; }

void ItronReset() {
  Lock lock(tableLock);
  for (ID n = 0; n < kItronMaxIds; ++n) {
    // A shared UDP socket closes once: with the last row that holds it.
    if (UDPStartFlg != 0 && HasSocket(SocketUDPTbl[n].s) &&
        !HasSocket(SharedUdpSocket(SocketUDPTbl[n].portno, n))) {
      close(SocketUDPTbl[n].s);
    }
    if (UDPStartFlg != 0) SocketUDPTbl[n].s = kNoSocket;
    if (TCPStartFlg != 0 && HasSocket(AcceptTCPTbl[n])) close(AcceptTCPTbl[n]);
    if (TCPStartFlg != 0 && HasSocket(SocketTCPTbl[n])) close(SocketTCPTbl[n]);
  }
  std::memset(SocketUDPTbl, 0, sizeof SocketUDPTbl);
  std::memset(IsUDPcepid, 0, sizeof IsUDPcepid);
  std::memset(AcceptTCPTbl, 0, sizeof AcceptTCPTbl);
  std::memset(listenFlag, 0, sizeof listenFlag);
  std::memset(IsTCPrepid, 0, sizeof IsTCPrepid);
  std::memset(SocketTCPTbl, 0, sizeof SocketTCPTbl);
  std::memset(IsTCPcepid, 0, sizeof IsTCPcepid);
  std::memset(SilenceLimitMs, 0, sizeof SilenceLimitMs);
  std::memset(EndsNormally, 0, sizeof EndsNormally);
  std::memset(Cancelled, 0, sizeof Cancelled);
  UDPStartFlg = 0;
  TCPStartFlg = 0;
  uint64_t wakes = 0;
  if (repWakeFd >= 0 && read(repWakeFd, &wakes, sizeof wakes) < 0) {
    // Nothing pending: nothing to clear.
  }
  bindAttempts = kBindAttempts;
  bindPauseMs = kBindPauseMs;
  capBackOff = true;
  lastERR = 0;
}
