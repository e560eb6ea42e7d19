#include "moxtil/itron/Itron.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <linux/sockios.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

// The reason (an errno value) of the calling thread's most recent failure in
// the layer. Per thread: every thread asks about its own failures.
thread_local int lastERR = 0;
// The reason of a peer taken as gone by its silence (no errno of its own).
constexpr int kSilentPeer = -1;
// The silence limit of the calling thread's last such failure, for its reason.
thread_local int lastSilenceMs = 0;

// Every allocation, release and change of a table row holds this lock; no
// blocking call does (waits, accepts, sends, receives, the bind pauses).
std::mutex tableLock;
using Lock = std::lock_guard<std::mutex>;

// ---- UDP communication endpoints

struct SOCKETUDPTBL {
  int s;       // descriptor, -1 when none
  int portno;  // bound port in network byte order, 0 when none
};

SOCKETUDPTBL SocketUDPTbl[kItronMaxIds];
int IsUDPcepid[kItronMaxIds];  // -1 while created, 0 while free
INT UDPStartFlg = 0;

// ---- TCP reception points and connection endpoints

int AcceptTCPTbl[kItronMaxIds];  // listening socket, -1 when none
int listenFlag[kItronMaxIds];    // result of the last listen: 0, or -1 to repeat
int IsTCPrepid[kItronMaxIds];
int SocketTCPTbl[kItronMaxIds];  // accepted connection, -1 when none
int IsTCPcepid[kItronMaxIds];
// Per connection: its TCP_SILENCE_LIMIT in ms (0 none); whether its stream
// was acknowledged to the last byte, so that a close ends it normally; and
// whether tcp_can_cep cancelled it.
int SilenceLimitMs[kItronMaxIds];
bool EndsNormally[kItronMaxIds];
bool Cancelled[kItronMaxIds];
INT TCPStartFlg = 0;
// Wakes tcp_wai_rep; made with the first wait.
int repWakeFd = -1;

constexpr int kListenBacklog = 5;
constexpr int kBindAttempts = 16;
constexpr int kBindPauseMs = 5000;
// The bind retry of reception points; tests may shorten it.
std::atomic<int> bindAttempts{kBindAttempts};
std::atomic<int> bindPauseMs{kBindPauseMs};
std::atomic<BindRetryNotice> bindRetryNotice{nullptr};

constexpr int kNoSocket = -1;
// A reception point whose socket is being bound: its ID is taken.
constexpr int kBinding = -2;

bool ValidId(ID id) { return id >= 0 && id < kItronMaxIds; }
bool HasSocket(int s) { return s >= 0; }

// The one place where a failure becomes a layer code: its reason is kept
// for ItronReason, and the code returned.
ER Failure(ER code, int reason) {
  lastERR = reason;
  return code;
}

// A system call failed: errno is the reason.
ER CallFailure(ER code) { return Failure(code, errno); }

// The peer of a connection taken as gone: it answered nothing for limitMs.
ER SilentFailure(int limitMs) {
  lastSilenceMs = limitMs;
  return Failure(E_TMOUT, kSilentPeer);
}

ER BadId() { return Failure(E_ID, EINVAL); }
// The layer's own time limits keep ETIME, told apart from the system's
// connection time-out (ETIMEDOUT).
ER TimedOut() { return Failure(E_TMOUT, ETIME); }

// How often a wait for acknowledgements looks, at the most.
constexpr int kAckPollMaxMs = 20;

// How often a wait looks at a silent peer, and how long a sign of silence
// (bytes in flight, or a window probe unanswered) must last before it
// counts: far beyond a LAN's round trip, so that a probe on its way never
// looks like a peer that is gone.
constexpr int kLivenessLookMs = 1000;
constexpr int kSilenceConfirmMs = 1000;
// Keepalive for the times nothing of ours is outstanding: first probe after
// this idle time, then at this interval, this many.
constexpr int kKeepIdleS = 20;
constexpr int kKeepIntervalS = 5;
constexpr int kKeepProbes = 8;
// The kernel backs window probes off up to two minutes, so a busy device
// with its window closed would answer only that often, and be taken for a
// gone one; capped, where the kernel lets a socket cap it (Linux 6.15 on).
#ifndef TCP_RTO_MAX_MS
#define TCP_RTO_MAX_MS 44
#endif
constexpr int kRtoMaxMs = 5000;

sockaddr_in MakeAddress(UW ipaddr, UH portno) {
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(portno);
  sa.sin_addr.s_addr = ipaddr;
  return sa;
}

enum class WaitResult { kReady, kTimedOut, kFailed };

// Waits until deadline for fd to become readable or writable. poll, not
// select: a descriptor number of FD_SETSIZE or more must not write past an
// fd_set. A signal does not cut the wait short: it goes on with the time left.
WaitResult WaitUntil(int fd, short events, const Deadline& deadline) {
  for (;;) {
    pollfd p = {fd, events, 0};
    const int n = poll(&p, 1, deadline.PollMs());
    if (n > 0) return WaitResult::kReady;
    if (n == 0) return WaitResult::kTimedOut;
    if (errno != EINTR) return WaitResult::kFailed;
  }
}

// What reading without waiting found: more may come, the peer's end of
// stream, or a failed connection (its errno in lastERR's style).
enum class Drained { kMore, kEnded, kFailed };

// Reads and drops what the peer has sent so far, without waiting: bytes left
// unread when a socket is closed make the kernel answer with a reset. A peer
// that sends without end is read a batch at a time, so that the caller's
// limit still counts. On kFailed, *err is why.
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

// The error a connection ended with, for one that has failed or been reset.
int ConnectionError(int s) {
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err == 0) err = EPIPE;
  return err;
}

// The tables start out zero; the first use of either kind fills them with
// "no socket", so that an operation reached before any creation finds no
// descriptor 0 to act on. Callers hold tableLock.
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

// The socket of the connection endpoint cepid, or the failure; the caller
// holds tableLock.
ER SocketOf(ID cepid, int* s) {
  TcpStart();
  if (!ValidId(cepid)) return BadId();
  *s = SocketTCPTbl[cepid];
  if (!HasSocket(*s)) return Failure(E_NOEXS, ENOTCONN);
  return E_OK;
}

// A connection as its owner uses it: its socket and its settings.
struct Connection {
  ID cepid;
  int s;
  int silenceMs;
  bool endsNormally;
};

// The connection endpoint cepid for its owner, or the failure.
ER ConnectionOf(ID cepid, Connection* c) {
  Lock lock(tableLock);
  const ER er = SocketOf(cepid, &c->s);
  if (er != E_OK) return er;
  c->cepid = cepid;
  c->silenceMs = SilenceLimitMs[cepid];
  c->endsNormally = EndsNormally[cepid];
  return E_OK;
}

// Sets how the connection ends on a close: normally, or with a reset that
// throws away what the peer has not acknowledged (SO_LINGER on, no time).
void SetEnding(const Connection& c, bool normally) {
  const linger abortive = {normally ? 0 : 1, 0};
  setsockopt(c.s, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
  Lock lock(tableLock);
  EndsNormally[c.cepid] = normally;
}

bool IsCancelled(const Connection& c) {
  Lock lock(tableLock);
  return Cancelled[c.cepid];
}

// A failure of an operation on c: a cancelled connection fails because it
// was cancelled, whatever the system call says.
ER ConnectionFailure(const Connection& c, ER code, int reason) {
  return Failure(code, IsCancelled(c) ? ECANCELED : reason);
}
ER CancelledFailure() { return Failure(E_RLWAI, ECANCELED); }
ER ConnectionCallFailure(const Connection& c, ER code) { return ConnectionFailure(c, code, errno); }
// A send failed: EPERM (a firewall refusing the packet) reads as a time-out,
// anything else as a released wait.
ER SendFailure(const Connection& c) { return ConnectionCallFailure(c, errno == EPERM ? E_TMOUT : E_RLWAI); }

// Watches a connection's peer for silence: bytes of ours wait for it, its
// TCP has acknowledged nothing for the limit, and meanwhile bytes are in
// flight or a window probe went unanswered, for kSilenceConfirmMs on end.
// A peer whose window is closed but that answers every probe is alive.
class SilenceWatch {
 public:
  explicit SilenceWatch(int limitMs) : limitMs_(limitMs) {}
  int limitMs() const { return limitMs_; }
  bool Gone(int s) {
    if (limitMs_ <= 0) return false;
    const int64_t now = MonotonicMs();
    if (lookedAt_ >= 0 && now - lookedAt_ < kLivenessLookMs) return false;
    lookedAt_ = now;
    tcp_info ti;
    std::memset(&ti, 0, sizeof ti);
    socklen_t len = sizeof ti;
    int outstanding = 0;
    const bool known = getsockopt(s, IPPROTO_TCP, TCP_INFO, &ti, &len) == 0 &&
                       len >= offsetof(tcp_info, tcpi_last_ack_recv) + sizeof ti.tcpi_last_ack_recv &&
                       ioctl(s, SIOCOUTQ, &outstanding) == 0;
    const bool silent = known && outstanding > 0 && ti.tcpi_last_ack_recv >= static_cast<unsigned>(limitMs_) &&
                        (ti.tcpi_unacked > 0 || ti.tcpi_probes > 0);
    if (!silent) {
      silentSince_ = -1;
      return false;
    }
    if (silentSince_ < 0) silentSince_ = now;
    return now - silentSince_ >= kSilenceConfirmMs;
  }

 private:
  const int limitMs_;
  int64_t lookedAt_ = -1;
  int64_t silentSince_ = -1;
};

// How often a wait looks whether its connection was cancelled.
constexpr int kCancelLookMs = 100;

// Waits until deadline for c to become readable or writable, looking at its
// cancel and its peer's silence meanwhile. kSilent: the peer is taken as gone.
enum class ConnWait { kReady, kTimedOut, kFailed, kSilent, kCancelled };
ConnWait WaitOn(const Connection& c, short events, const Deadline& deadline, SilenceWatch& watch) {
  for (;;) {
    if (IsCancelled(c)) return ConnWait::kCancelled;
    int ms = deadline.PollMs();
    if (ms < 0 || ms > kCancelLookMs) ms = kCancelLookMs;
    pollfd p = {c.s, events, 0};
    const int n = poll(&p, 1, ms);
    if (n > 0) return ConnWait::kReady;
    if (n < 0 && errno != EINTR) return ConnWait::kFailed;
    if (n == 0 && deadline.Passed()) return ConnWait::kTimedOut;
    if (watch.Gone(c.s)) return ConnWait::kSilent;
  }
}

// The socket another created UDP endpoint than `except` holds on port (in
// network byte order), or kNoSocket: one socket serves every ID on a port.
int SharedUdpSocket(int port, ID except) {
  for (ID n = 0; n < kItronMaxIds; ++n) {
    if (n != except && HasSocket(SocketUDPTbl[n].s) && SocketUDPTbl[n].portno == port) return SocketUDPTbl[n].s;
  }
  return kNoSocket;
}

// The lowest free ID of a table of "created" marks, or -1.
ID LowestFree(const int (&created)[kItronMaxIds]) {
  for (ID n = 0; n < kItronMaxIds; ++n) {
    if (created[n] == 0) return n;
  }
  return -1;
}

// Creation of a UDP endpoint (tableLock held: nothing here blocks); with
// hasFlag, the option flag is set to arg on a new socket after SO_BROADCAST.
ER UdpCreate(ID cepid, const T_UDP_CCEP* pk_ccep, bool hasFlag, int flag, int arg) {
  const int port = htons(pk_ccep->myaddr.portno);
  UdpStart();
  if (!ValidId(cepid)) return BadId();

  int s = SharedUdpSocket(port, -1);
  if (!HasSocket(s)) {
    s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return CallFailure(E_OBJ);
    const int on = 1;
    const sockaddr_in sa = MakeAddress(pk_ccep->myaddr.ipaddr, pk_ccep->myaddr.portno);
    if (setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
        (hasFlag && setsockopt(s, SOL_SOCKET, flag, &arg, sizeof arg) != 0) ||
        bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
      const ER er = CallFailure(E_OBJ);
      close(s);
      return er;
    }
  }
  SocketUDPTbl[cepid].s = s;
  SocketUDPTbl[cepid].portno = port;
  IsUDPcepid[cepid] = -1;
  return E_OK;
}

ER UdpPickAndCreate(const T_UDP_CCEP* pk_ccep, bool hasFlag, int flag, int arg) {
  Lock lock(tableLock);
  const ID n = LowestFree(IsUDPcepid);
  if (n < 0) return Failure(E_ID, EMFILE);
  const ER er = UdpCreate(n, pk_ccep, hasFlag, flag, arg);
  return er != E_OK ? er : n;
}

}  // namespace

Deadline DeadlineOf(TMO tmout) {
  return tmout == TMO_FEVR ? Deadline::Never() : Deadline::In(static_cast<int64_t>(tmout) * 10);
}

TMO TmoUntil(const Deadline& deadline) {
  if (deadline.IsNever()) return TMO_FEVR;
  const int64_t units = (deadline.LeftMs() + 9) / 10;
  return units > INT32_MAX ? INT32_MAX : static_cast<TMO>(units);
}

// ---- UDP

ER udp_cre_cep(ID cepid, const T_UDP_CCEP* pk_ccep) {
  Lock lock(tableLock);
  return UdpCreate(cepid, pk_ccep, false, 0, 0);
}

ER udp_cre_cep_flag(ID cepid, const T_UDP_CCEP* pk_ccep, int flag, int arg) {
  Lock lock(tableLock);
  return UdpCreate(cepid, pk_ccep, true, flag, arg);
}

ER udp_vcre_cep(const T_UDP_CCEP* pk_ccep) { return UdpPickAndCreate(pk_ccep, false, 0, 0); }

ER udp_vcre_cep_reuseaddr(const T_UDP_CCEP* pk_ccep) {
  return UdpPickAndCreate(pk_ccep, true, SO_REUSEADDR, 1);
}

ER udp_snd_dat(ID cepid, const T_IPV4EP* p_dstaddr, const void* data, INT len, TMO /*tmout*/) {
  int s;
  {
    Lock lock(tableLock);
    UdpStart();
    if (!ValidId(cepid)) return BadId();
    s = SocketUDPTbl[cepid].s;
    if (!HasSocket(s)) return Failure(E_NOEXS, EBADF);
  }
  const sockaddr_in sa = MakeAddress(p_dstaddr->ipaddr, p_dstaddr->portno);
  const ssize_t n = sendto(s, data, len < 0 ? 0 : static_cast<size_t>(len), 0, reinterpret_cast<const sockaddr*>(&sa),
                           sizeof sa);
  if (n < 0) return CallFailure(E_RLWAI);
  return static_cast<ER>(n);
}

ER udp_del_cep(ID cepid) {
  Lock lock(tableLock);
  UdpStart();
  if (!ValidId(cepid)) return BadId();
  const int s = SocketUDPTbl[cepid].s;
  if (!HasSocket(s)) return Failure(E_NOEXS, EBADF);
  // The socket is shared by every ID on its port: it closes with the last.
  if (!HasSocket(SharedUdpSocket(SocketUDPTbl[cepid].portno, cepid)) && close(s) != 0) return CallFailure(E_OBJ);
  SocketUDPTbl[cepid].s = kNoSocket;
  SocketUDPTbl[cepid].portno = 0;
  IsUDPcepid[cepid] = 0;
  return E_OK;
}

// ---- TCP reception points

ER tcp_cre_rep(ID repid, const T_TCP_CREP* pk_crep) {
  {
    Lock lock(tableLock);
    TcpStart();
    if (!ValidId(repid)) return BadId();
    if (SocketTCPTbl[repid] != kNoSocket || AcceptTCPTbl[repid] != kNoSocket) return Failure(E_OBJ, EBUSY);
    AcceptTCPTbl[repid] = kBinding;  // the ID is ours while the bind is retried
  }
  const auto release = [repid](ER er) {
    Lock lock(tableLock);
    AcceptTCPTbl[repid] = kNoSocket;
    return er;
  };

  // Non-blocking: a connection that is gone by the time accept looks for it
  // must not make the accept wait for the next one.
  const int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (s < 0) return release(CallFailure(E_NOSOCK));
  // SO_REUSEADDR: the connections of a run that just ended linger on these
  // ports (TIME_WAIT) for a minute and must not keep the next run from
  // listening. A port that another socket listens on still fails to bind,
  // and the retry below waits for it.
  const int on = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  // Every local address; the record's ipaddr is not used.
  const sockaddr_in sa = MakeAddress(htonl(INADDR_ANY), pk_crep->myaddr.portno);
  const int attempts = bindAttempts.load();
  for (int attempt = 1;; ++attempt) {
    if (bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) break;
    const ER er = CallFailure(E_OBJ);
    if (attempt >= attempts) {
      close(s);
      return release(er);
    }
    const BindRetryNotice notice = bindRetryNotice.load();
    if (notice != nullptr) notice(pk_crep->myaddr.portno, attempt, attempts, bindPauseMs.load());
    Sleep(bindPauseMs.load());
  }
  Lock lock(tableLock);
  AcceptTCPTbl[repid] = s;
  listenFlag[repid] = listen(s, kListenBacklog) == 0 ? 0 : -1;
  IsTCPrepid[repid] = -1;
  return E_OK;
}

ER tcp_vcre_rep(const T_TCP_CREP* pk_crep) {
  ID n;
  {
    Lock lock(tableLock);
    TcpStart();
    n = LowestFree(IsTCPrepid);
    if (n < 0) return Failure(E_ID, EMFILE);
    IsTCPrepid[n] = -1;  // taken while its socket is bound
  }
  const ER er = tcp_cre_rep(n, pk_crep);
  if (er == E_OK) return n;
  Lock lock(tableLock);
  IsTCPrepid[n] = 0;
  return er;
}

ER tcp_del_rep(ID repid) {
  Lock lock(tableLock);
  TcpStart();
  if (!ValidId(repid)) return BadId();
  if (!HasSocket(AcceptTCPTbl[repid])) return Failure(E_NOEXS, EBADF);
  close(AcceptTCPTbl[repid]);
  AcceptTCPTbl[repid] = kNoSocket;
  IsTCPrepid[repid] = 0;
  return E_OK;
}

ER tcp_wai_rep(const ID* repids, INT count, TMO tmout) {
  constexpr int kMost = 4;
  if (count < 0 || count > kMost) return BadId();
  pollfd p[kMost + 1];
  {
    Lock lock(tableLock);
    TcpStart();
    for (INT i = 0; i < count; ++i) {
      if (!ValidId(repids[i])) return BadId();
      if (!HasSocket(AcceptTCPTbl[repids[i]])) return Failure(E_NOEXS, EBADF);
      p[i] = {AcceptTCPTbl[repids[i]], POLLIN, 0};
    }
    if (repWakeFd < 0) repWakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (repWakeFd < 0) return CallFailure(E_OBJ);
    p[count] = {repWakeFd, POLLIN, 0};
  }
  const Deadline deadline = DeadlineOf(tmout);
  for (;;) {
    const int n = poll(p, static_cast<nfds_t>(count + 1), deadline.PollMs());
    if (n == 0) return TimedOut();
    if (n < 0) {
      if (errno == EINTR) continue;
      return CallFailure(E_OBJ);
    }
    if (p[count].revents != 0) {
      uint64_t wakes = 0;
      if (read(p[count].fd, &wakes, sizeof wakes) < 0 && errno != EAGAIN) return CallFailure(E_OBJ);
      return Failure(E_RLWAI, ECANCELED);
    }
    for (INT i = 0; i < count; ++i) {
      if (p[i].revents != 0) return repids[i];
    }
  }
}

void tcp_can_rep() {
  Lock lock(tableLock);
  if (repWakeFd < 0) repWakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  const uint64_t one = 1;
  if (repWakeFd >= 0 && write(repWakeFd, &one, sizeof one) < 0) {
    // Only a full counter refuses, and then a wake is pending anyway.
  }
}

// ---- TCP connection endpoints

ER tcp_cre_cep(ID cepid, const T_TCP_CCEP* /*pk_ccep*/) {
  Lock lock(tableLock);
  TcpStart();
  if (!ValidId(cepid)) return BadId();
  IsTCPcepid[cepid] = -1;
  return E_OK;
}

ER tcp_vcre_cep(const T_TCP_CCEP* /*pk_ccep*/) {
  Lock lock(tableLock);
  TcpStart();
  const ID n = LowestFree(IsTCPcepid);
  if (n < 0) return Failure(E_ID, EMFILE);
  IsTCPcepid[n] = -1;
  return n;
}

ER tcp_acp_cep(ID cepid, ID repid, T_IPV4EP* p_dstaddr, TMO tmout) {
  int ls;
  {
    Lock lock(tableLock);
    TcpStart();
    if (!ValidId(cepid) || !ValidId(repid)) return BadId();
    ls = AcceptTCPTbl[repid];
    if (!HasSocket(ls)) return Failure(E_NOEXS, EBADF);
    // A connected endpoint keeps its connection: taking another would lose it.
    if (HasSocket(SocketTCPTbl[cepid])) return Failure(E_OBJ, EISCONN);
    if (listenFlag[repid] == -1) {
      listenFlag[repid] = listen(ls, kListenBacklog) == 0 ? 0 : -1;
      if (listenFlag[repid] == -1) return CallFailure(E_OBJ);
    }
  }

  const Deadline deadline = DeadlineOf(tmout);
  sockaddr_in peer;
  int s;
  for (;;) {
    const WaitResult ready = WaitUntil(ls, POLLIN, deadline);
    if (ready == WaitResult::kTimedOut) return TimedOut();
    if (ready == WaitResult::kFailed) return CallFailure(E_RLWAI);
    std::memset(&peer, 0, sizeof peer);
    socklen_t peerLen = sizeof peer;
    s = accept4(ls, reinterpret_cast<sockaddr*>(&peer), &peerLen, SOCK_CLOEXEC);
    if (s >= 0) break;
    // Gone again since the wait (taken, or reset by its peer): wait on.
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return CallFailure(E_RLWAI);
  }
  // Nagle's algorithm off, once for the whole connection: the ID code and
  // the reboot byte are single small sends. A reset until the stream is
  // acknowledged: a device that got part of it must not take it for all.
  const int on = 1;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  const linger abortive = {1, 0};
  setsockopt(s, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
  {
    Lock lock(tableLock);
    SocketTCPTbl[cepid] = s;
    SilenceLimitMs[cepid] = 0;
    EndsNormally[cepid] = false;
    Cancelled[cepid] = false;
  }
  p_dstaddr->ipaddr = peer.sin_addr.s_addr;
  p_dstaddr->portno = ntohs(peer.sin_port);
  return E_OK;
}

ER tcp_set_opt(ID cepid, INT optname, INT optval) {
  Lock lock(tableLock);
  int s;
  const ER er = SocketOf(cepid, &s);
  if (er != E_OK) return er;
  if (optname != TCP_SILENCE_LIMIT || optval < 0) return Failure(E_OBJ, EINVAL);
  const int on = optval > 0 ? 1 : 0;
  if (setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) return CallFailure(E_OBJ);
  if (on != 0) {
    const int idle = kKeepIdleS, interval = kKeepIntervalS, probes = kKeepProbes, rtoMax = kRtoMaxMs;
    if (setsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) != 0 ||
        setsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) != 0 ||
        setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes) != 0) {
      return CallFailure(E_OBJ);
    }
    // An older kernel refuses it: its probes answer less often, and the
    // silence watch's wait for an unanswered probe still tells them apart.
    setsockopt(s, IPPROTO_TCP, TCP_RTO_MAX_MS, &rtoMax, sizeof rtoMax);
  }
  SilenceLimitMs[cepid] = optval;
  return E_OK;
}

namespace {

// One try at a send on socket s: blocking, or (wait false) only what the
// socket has room for now. The count, or -1 with errno.
using SendTry = ssize_t (*)(int s, bool wait, void* what);

// Sends with the limit and the silence watch of tcp_snd_dat. A failure that
// is not the connection's own is the caller's to name: badFile.
ER SendOn(ID cepid, TMO tmout, SendTry attempt, void* what, ER (*badFile)(int err)) {
  Connection c;
  const ER er = ConnectionOf(cepid, &c);
  if (er != E_OK) return er;
  // Bytes beyond what was acknowledged: the stream is no longer whole.
  if (c.endsNormally) SetEnding(c, false);
  const auto failed = [&c, badFile] {
    const ER file = badFile != nullptr ? badFile(errno) : E_OK;
    return file != E_OK ? file : SendFailure(c);
  };
  if (tmout == TMO_FEVR && c.silenceMs == 0) {
    const ssize_t n = attempt(c.s, true, what);
    if (n < 0) return failed();
    return static_cast<ER>(n);
  }
  // With a limit, a send takes only what the socket has room for now: a
  // blocking send of a long run would wait for a stalled target for ever,
  // whatever a poll before it promised. The wait comes only when there is
  // no room at all.
  const Deadline deadline = DeadlineOf(tmout);
  SilenceWatch watch(c.silenceMs);
  for (;;) {
    // A send that always finds room must still see its cancel.
    if (IsCancelled(c)) return CancelledFailure();
    const ssize_t n = attempt(c.s, false, what);
    if (n >= 0) return static_cast<ER>(n);
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return failed();
    const ConnWait ready = WaitOn(c, POLLOUT, deadline, watch);
    if (ready == ConnWait::kTimedOut) return TimedOut();
    if (ready == ConnWait::kSilent) return SilentFailure(c.silenceMs);
    if (ready == ConnWait::kCancelled) return CancelledFailure();
    if (ready == ConnWait::kFailed) return ConnectionCallFailure(c, E_RLWAI);
  }
}

struct Bytes {
  const void* data;
  size_t len;
};

// MSG_NOSIGNAL: a target that closed its end must give a failed send, not
// a SIGPIPE that ends the program before it can say the update failed.
ssize_t SendBytes(int s, bool wait, void* what) {
  const Bytes& b = *static_cast<const Bytes*>(what);
  return send(s, b.data, b.len, MSG_NOSIGNAL | (wait ? 0 : MSG_DONTWAIT));
}

struct FilePart {
  int fd;
  off_t offset;
  size_t len;
};

// sendfile takes no MSG_NOSIGNAL: SIGPIPE is held back in this thread for
// the call and one that it raised is taken, so that a closed peer gives a
// failed send whatever the process does with the signal. Nor has it a flag
// for "only what fits now": the socket is non-blocking for the one call.
ssize_t SendFilePart(int s, bool wait, void* what) {
  FilePart& f = *static_cast<FilePart*>(what);
  sigset_t pipe, old;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, &old);
  const int flags = wait ? 0 : fcntl(s, F_GETFL);
  ssize_t n = -1;
  if (wait || (flags >= 0 && fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0)) {
    n = sendfile(s, f.fd, &f.offset, f.len);
  }
  const int err = errno;
  if (!wait && flags >= 0) fcntl(s, F_SETFL, flags);
  if (n < 0 && err == EPIPE && sigismember(&old, SIGPIPE) == 0) {
    const timespec none = {0, 0};
    sigtimedwait(&pipe, nullptr, &none);
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  errno = err;
  return n;
}

// The failures of sendfile that are the file's: one the kernel cannot send
// from, and one that cannot be read.
ER FileFailure(int err) {
  if (err == EINVAL || err == ENOSYS) return Failure(E_NOSPT, err);
  if (err == EIO || err == EOVERFLOW || err == ESPIPE || err == EISDIR) return Failure(E_SYS, err);
  return E_OK;
}

}  // namespace

ER tcp_snd_dat(ID cepid, const void* data, INT len, TMO tmout) {
  Bytes b = {data, len < 0 ? 0 : static_cast<size_t>(len)};
  return SendOn(cepid, tmout, SendBytes, &b, nullptr);
}

ER tcp_snd_fil(ID cepid, int fd, int64_t* offset, INT len, TMO tmout) {
  FilePart f = {fd, static_cast<off_t>(*offset), len < 0 ? 0 : static_cast<size_t>(len)};
  const ER n = SendOn(cepid, tmout, SendFilePart, &f, FileFailure);
  if (n > 0) *offset += n;
  return n;
}

ER tcp_wai_ack(ID cepid, TMO tmout) {
  Connection c;
  const ER er = ConnectionOf(cepid, &c);
  if (er != E_OK) return er;
  Deadline deadline = DeadlineOf(tmout);
  SilenceWatch watch(c.silenceMs);
  int last = -1;
  bool peerEnded = false;
  for (int stepMs = 1;; stepMs = stepMs < kAckPollMaxMs ? stepMs * 2 : kAckPollMaxMs) {
    // SIOCOUTQ: the bytes the peer's TCP has not acknowledged yet.
    int unacked = 0;
    if (ioctl(c.s, SIOCOUTQ, &unacked) != 0) return ConnectionCallFailure(c, E_OBJ);
    if (unacked == 0) {
      SetEnding(c, true);  // acknowledged to the last byte: a close ends it normally
      return E_OK;
    }
    if (last < 0 || unacked < last) {
      last = unacked;  // acknowledgements still come: the limit starts again
      deadline = DeadlineOf(tmout);
    }
    if (deadline.Passed()) return TimedOut();
    if (watch.Gone(c.s)) return SilentFailure(c.silenceMs);
    if (IsCancelled(c)) return CancelledFailure();
    // No event tells of an acknowledgement: look again in a few ms, and
    // meanwhile take what the peer sends, so that it cannot block itself.
    int ms = deadline.PollMs();
    if (ms < 0 || ms > stepMs) ms = stepMs;
    pollfd p = {c.s, static_cast<short>(peerEnded ? 0 : POLLIN), 0};
    const int n = poll(&p, 1, ms);
    if (n < 0 && errno != EINTR) return ConnectionCallFailure(c, E_OBJ);
    if (n <= 0) continue;
    if ((p.revents & (POLLERR | POLLHUP)) != 0) return ConnectionFailure(c, E_RLWAI, ConnectionError(c.s));
    if ((p.revents & POLLIN) == 0) continue;
    int err = 0;
    const Drained drained = DiscardReceived(c.s, &err);
    if (drained == Drained::kFailed) return ConnectionFailure(c, E_RLWAI, err);
    if (drained == Drained::kEnded) peerEnded = true;
  }
}

ER tcp_ref_cep(ID cepid) {
  // Under the lock: the owner closes its socket under it too.
  Lock lock(tableLock);
  int s;
  const ER er = SocketOf(cepid, &s);
  if (er != E_OK) return er;
  int unacked = 0;
  if (ioctl(s, SIOCOUTQ, &unacked) != 0) return CallFailure(E_OBJ);
  return unacked;
}

ER tcp_wai_cep(ID cepid, TMO tmout) {
  Connection c;
  const ER er = ConnectionOf(cepid, &c);
  if (er != E_OK) return er;
  const Deadline deadline = DeadlineOf(tmout);
  bool peerEnded = false;
  for (;;) {
    // After the peer's end of stream only a reset or a failure can come. A
    // peer that sends without end keeps poll ready: the clock still counts.
    if (IsCancelled(c)) return CancelledFailure();
    int ms = deadline.PollMs();
    if (ms < 0 || ms > kCancelLookMs) ms = kCancelLookMs;
    pollfd p = {c.s, static_cast<short>(peerEnded ? 0 : POLLIN), 0};
    const int n = poll(&p, 1, ms);
    const bool failed = n > 0 && (p.revents & (POLLERR | POLLHUP)) != 0;
    if (n == 0 && !deadline.Passed()) continue;
    if (n == 0 || (n > 0 && !failed && deadline.Passed())) return E_OK;
    if (n < 0) {
      if (errno == EINTR) continue;
      return ConnectionCallFailure(c, E_OBJ);
    }
    if (failed) return ConnectionFailure(c, E_RLWAI, ConnectionError(c.s));
    int err = 0;
    const Drained drained = DiscardReceived(c.s, &err);
    if (drained == Drained::kFailed) return ConnectionFailure(c, E_RLWAI, err);
    if (drained == Drained::kEnded) peerEnded = true;
  }
}

ER tcp_rcv_dat(ID cepid, void* data, INT len, TMO tmout) {
  Connection c;
  const ER er = ConnectionOf(cepid, &c);
  if (er != E_OK) return er;
  if (tmout != TMO_FEVR) {
    const WaitResult ready = WaitUntil(c.s, POLLIN, DeadlineOf(tmout));
    if (ready == WaitResult::kTimedOut) return TimedOut();
    if (ready == WaitResult::kFailed) return ConnectionCallFailure(c, E_OBJ);
  }
  ssize_t n;
  do {
    n = recvfrom(c.s, data, len < 0 ? 0 : static_cast<size_t>(len), 0, nullptr, nullptr);
  } while (n == -1 && errno == EINTR);
  if (n == -1) return ConnectionCallFailure(c, E_OBJ);
  return static_cast<ER>(n);
}

namespace {

// The normal end of an acknowledged stream: our end of stream goes out
// behind every byte sent, and what the peer still sends is read and dropped
// until its own end (or the limit), since closing with unread bytes would
// reset the connection.
ER EndNormally(const Connection& c, TMO tmout) {
  shutdown(c.s, SHUT_WR);
  const Deadline deadline = DeadlineOf(tmout);
  for (;;) {
    int err = 0;
    const Drained drained = DiscardReceived(c.s, &err);
    if (drained == Drained::kEnded) return E_OK;
    if (drained == Drained::kFailed) return Failure(E_RLWAI, err);
    const WaitResult ready = WaitUntil(c.s, POLLIN, deadline);
    if (ready == WaitResult::kFailed) return CallFailure(E_OBJ);
    if (ready == WaitResult::kTimedOut || deadline.Passed()) {
      // Nothing left unread, as far as it can be helped: what came last
      // would make the close a reset.
      DiscardReceived(c.s, &err);
      return TimedOut();
    }
  }
}

// Whether the peer reset the connection (or it failed) before we closed it.
bool AlreadyReset(const Connection& c) {
  tcp_info ti;
  socklen_t len = sizeof ti;
  int err = 0;
  socklen_t errLen = sizeof err;
  return (getsockopt(c.s, IPPROTO_TCP, TCP_INFO, &ti, &len) == 0 && ti.tcpi_state == TCP_CLOSE) ||
         (getsockopt(c.s, SOL_SOCKET, SO_ERROR, &err, &errLen) == 0 && err != 0);
}

}  // namespace

ER tcp_cls_cep(ID cepid, TMO tmout) {
  Connection c;
  ER result = ConnectionOf(cepid, &c);
  if (result != E_OK) return result;
  if (c.endsNormally) {
    result = EndNormally(c, tmout);
  } else if (AlreadyReset(c)) {
    result = Failure(E_RLWAI, ConnectionError(c.s));
  }
  // Out of the table before the close, under the lock, so that a cancel
  // never reaches a descriptor number that is already another's. Without a
  // normal end, SO_LINGER makes the close a reset.
  Lock lock(tableLock);
  SocketTCPTbl[cepid] = kNoSocket;
  close(c.s);
  return result;
}

ER tcp_can_cep(ID cepid) {
  Lock lock(tableLock);
  int s;
  const ER er = SocketOf(cepid, &s);
  if (er != E_OK) return er;
  // Only marked: every wait of the owner looks at the mark at least every
  // kCancelLookMs and ends, and the owner's close then resets a stream not
  // yet acknowledged. Nothing is done to the socket from this thread: a
  // shutdown would end the stream normally behind the bytes already queued,
  // and a disconnect under another thread's send is no call to rely on.
  Cancelled[cepid] = true;
  return E_OK;
}

ER tcp_del_cep(ID cepid) {
  Lock lock(tableLock);
  if (!ValidId(cepid)) return BadId();
  IsTCPcepid[cepid] = 0;
  return E_OK;
}

const char* ItronReason() {
  if (lastERR == 0) return "no failure recorded";
  if (lastERR == ETIME) return "nothing moved within the time limit";
  if (lastERR == kSilentPeer) {
    thread_local char text[80];
    snprintf(text, sizeof text, "the target's TCP has answered nothing for %d s", lastSilenceMs / 1000);
    return text;
  }
  return strerror(lastERR);
}

void ItronOnBindRetry(BindRetryNotice notice) { bindRetryNotice.store(notice); }

void ItronSetBindRetry(int attempts, int pauseMs) {
  bindAttempts = attempts;
  bindPauseMs = pauseMs;
}

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
  lastERR = 0;
}
