#include "moxtil/Itron.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "common/util.h"

namespace {

// The reason (an errno value) of the calling thread's most recent failure in
// the layer. Per thread: the main thread (UDP) and the acceptor side (TCP)
// run at the same time, and each asks about its own failures.
thread_local int lastERR = 0;

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
INT TCPStartFlg = 0;

constexpr int kListenBacklog = 5;
constexpr int kBindAttempts = 16;
constexpr int kBindPauseMs = 5000;
// The bind retry of reception points; tests may shorten it.
int bindAttempts = kBindAttempts;
int bindPauseMs = kBindPauseMs;
std::atomic<BindRetryNotice> bindRetryNotice{nullptr};

constexpr int kNoSocket = -1;

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

// A send failed: EPERM (a firewall refusing the packet) reads as a time-out,
// anything else as a released wait.
ER SendFailure() { return CallFailure(errno == EPERM ? E_TMOUT : E_RLWAI); }
ER BadId() { return Failure(E_ID, EINVAL); }
// The layer's own time limits keep ETIME, told apart from the system's
// connection time-out (ETIMEDOUT).
ER TimedOut() { return Failure(E_TMOUT, ETIME); }

// How often a wait for acknowledgements looks, at the most.
constexpr int kAckPollMaxMs = 20;

sockaddr_in MakeAddress(UW ipaddr, UH portno) {
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(portno);
  sa.sin_addr.s_addr = ipaddr;
  return sa;
}

enum class WaitResult { kReady, kTimedOut, kFailed };

constexpr int64_t kNoDeadline = -1;

/// The deadline of a wait of tmout x 10 ms from now; none for TMO_FEVR.
int64_t DeadlineOf(TMO tmout) {
  return tmout == TMO_FEVR ? kNoDeadline : MonotonicMs() + static_cast<int64_t>(tmout) * 10;
}

bool Passed(int64_t deadline) { return deadline != kNoDeadline && MonotonicMs() >= deadline; }

/// Milliseconds left until deadline as poll takes them: -1 for none.
int MsUntil(int64_t deadline) {
  if (deadline == kNoDeadline) return -1;
  const int64_t left = deadline - MonotonicMs();
  if (left <= 0) return 0;
  return left > 0x7fffffff ? 0x7fffffff : static_cast<int>(left);
}

// Waits until deadline for fd to become readable or writable. poll, not
// select: a descriptor number of FD_SETSIZE or more must not write past an
// fd_set. A signal does not cut the wait short: it goes on with the time left.
WaitResult WaitUntil(int fd, short events, int64_t deadline) {
  for (;;) {
    pollfd p = {fd, events, 0};
    const int n = poll(&p, 1, MsUntil(deadline));
    if (n > 0) return WaitResult::kReady;
    if (n == 0) return WaitResult::kTimedOut;
    if (errno != EINTR) return WaitResult::kFailed;
  }
}

WaitResult WaitFor(int fd, short events, TMO tmout) { return WaitUntil(fd, events, DeadlineOf(tmout)); }

// Reads and drops what the peer has sent so far, without waiting: bytes left
// unread when a socket is closed make the kernel answer with a reset. True
// when the peer's end of stream (or an error) has been met. A peer that
// sends without end is read a batch at a time, so that the caller's limit
// still counts.
bool DiscardReceived(int s) {
  unsigned char sink[512];  // small: transfer threads run on small stacks
  for (int batch = 0; batch < 256; ++batch) {
    const ssize_t n = recv(s, sink, sizeof sink, MSG_DONTWAIT);
    if (n > 0 || (n < 0 && errno == EINTR)) continue;
    return !(n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
  }
  return false;
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
// descriptor 0 to act on.
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

// The socket another created UDP endpoint than `except` holds on port (in
// network byte order), or kNoSocket: one socket serves every ID on a port.
int SharedUdpSocket(int port, ID except) {
  for (ID n = 0; n < kItronMaxIds; ++n) {
    if (n != except && HasSocket(SocketUDPTbl[n].s) && SocketUDPTbl[n].portno == port) return SocketUDPTbl[n].s;
  }
  return kNoSocket;
}

// The lowest free ID of a table of "created" marks, made with create(n):
// the ID, or the failure of its creation.
template <typename Create>
ER PickFreeId(const int (&created)[kItronMaxIds], Create create) {
  for (ID n = 0; n < kItronMaxIds; ++n) {
    if (created[n] != 0) continue;
    const ER er = create(n);
    return er != E_OK ? er : n;
  }
  return Failure(E_ID, EMFILE);
}

// Creation of a UDP endpoint; with hasFlag, the option flag is set to arg on
// a new socket after SO_BROADCAST.
ER UdpCreate(ID cepid, const T_UDP_CCEP* pk_ccep, bool hasFlag, int flag, int arg) {
  const int port = htons(pk_ccep->myaddr.portno);
  UdpStart();
  if (!ValidId(cepid)) return BadId();

  int s = SharedUdpSocket(port, -1);
  if (!HasSocket(s)) {
    s = socket(AF_INET, SOCK_DGRAM, 0);
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
  return PickFreeId(IsUDPcepid, [&](ID n) { return UdpCreate(n, pk_ccep, hasFlag, flag, arg); });
}

}  // namespace

// ---- UDP

ER udp_cre_cep(ID cepid, const T_UDP_CCEP* pk_ccep) { return UdpCreate(cepid, pk_ccep, false, 0, 0); }

ER udp_cre_cep_flag(ID cepid, const T_UDP_CCEP* pk_ccep, int flag, int arg) {
  return UdpCreate(cepid, pk_ccep, true, flag, arg);
}

ER udp_vcre_cep(const T_UDP_CCEP* pk_ccep) { return UdpPickAndCreate(pk_ccep, false, 0, 0); }

ER udp_vcre_cep_reuseaddr(const T_UDP_CCEP* pk_ccep) {
  return UdpPickAndCreate(pk_ccep, true, SO_REUSEADDR, 1);
}

ER udp_snd_dat(ID cepid, const T_IPV4EP* p_dstaddr, const void* data, INT len, TMO /*tmout*/) {
  UdpStart();
  if (!ValidId(cepid)) return BadId();
  if (!HasSocket(SocketUDPTbl[cepid].s)) return Failure(E_NOEXS, EBADF);
  const sockaddr_in sa = MakeAddress(p_dstaddr->ipaddr, p_dstaddr->portno);
  const ssize_t n = sendto(SocketUDPTbl[cepid].s, data, len < 0 ? 0 : static_cast<size_t>(len), 0,
                           reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
  if (n < 0) return CallFailure(E_RLWAI);
  return static_cast<ER>(n);
}

ER udp_del_cep(ID cepid) {
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
  TcpStart();
  if (!ValidId(repid)) return BadId();
  if (HasSocket(SocketTCPTbl[repid]) || HasSocket(AcceptTCPTbl[repid])) return Failure(E_OBJ, EBUSY);

  const int s = socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) return CallFailure(E_NOSOCK);
  // SO_REUSEADDR: the connections of a run that just ended linger on these
  // ports (TIME_WAIT) for a minute and must not keep the next run from
  // listening. A port that another socket listens on still fails to bind,
  // and the retry below waits for it.
  const int on = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  // Every local address; the record's ipaddr is not used.
  const sockaddr_in sa = MakeAddress(htonl(INADDR_ANY), pk_crep->myaddr.portno);
  for (int attempt = 1;; ++attempt) {
    if (bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) break;
    const ER er = CallFailure(E_OBJ);
    if (attempt >= bindAttempts) {
      close(s);
      return er;
    }
    const BindRetryNotice notice = bindRetryNotice.load();
    if (notice != nullptr) notice(pk_crep->myaddr.portno, attempt, bindAttempts, bindPauseMs);
    Sleep(bindPauseMs);
  }
  AcceptTCPTbl[repid] = s;
  listenFlag[repid] = listen(s, kListenBacklog) == 0 ? 0 : -1;
  IsTCPrepid[repid] = -1;
  return E_OK;
}

ER tcp_vcre_rep(const T_TCP_CREP* pk_crep) {
  return PickFreeId(IsTCPrepid, [&](ID n) { return tcp_cre_rep(n, pk_crep); });
}

ER tcp_del_rep(ID repid) {
  TcpStart();
  if (!ValidId(repid)) return BadId();
  if (!HasSocket(AcceptTCPTbl[repid])) return Failure(E_NOEXS, EBADF);
  close(AcceptTCPTbl[repid]);
  AcceptTCPTbl[repid] = kNoSocket;
  IsTCPrepid[repid] = 0;
  return E_OK;
}

// ---- TCP connection endpoints

ER tcp_cre_cep(ID cepid, const T_TCP_CCEP* /*pk_ccep*/) {
  TcpStart();
  if (!ValidId(cepid)) return BadId();
  IsTCPcepid[cepid] = -1;
  return E_OK;
}

ER tcp_vcre_cep(const T_TCP_CCEP* pk_ccep) {
  return PickFreeId(IsTCPcepid, [&](ID n) { return tcp_cre_cep(n, pk_ccep); });
}

ER tcp_acp_cep(ID cepid, ID repid, T_IPV4EP* p_dstaddr, TMO tmout) {
  TcpStart();
  if (!ValidId(cepid) || !ValidId(repid)) return BadId();
  const int ls = AcceptTCPTbl[repid];
  if (!HasSocket(ls)) return Failure(E_NOEXS, EBADF);
  // A connected endpoint keeps its connection: taking another would lose it.
  if (HasSocket(SocketTCPTbl[cepid])) return Failure(E_OBJ, EISCONN);
  if (listenFlag[repid] == -1) {
    listenFlag[repid] = listen(ls, kListenBacklog) == 0 ? 0 : -1;
    if (listenFlag[repid] == -1) return CallFailure(E_OBJ);
  }
  if (tmout != TMO_FEVR && WaitFor(ls, POLLIN, tmout) == WaitResult::kTimedOut) return TimedOut();

  sockaddr_in peer;
  std::memset(&peer, 0, sizeof peer);
  socklen_t peerLen = sizeof peer;
  const int s = accept(ls, reinterpret_cast<sockaddr*>(&peer), &peerLen);
  if (s < 0) return CallFailure(E_RLWAI);
  SocketTCPTbl[cepid] = s;
  p_dstaddr->ipaddr = peer.sin_addr.s_addr;
  p_dstaddr->portno = ntohs(peer.sin_port);
  return E_OK;
}

ER tcp_snd_dat(ID cepid, const void* data, INT len, TMO tmout) {
  TcpStart();
  if (!ValidId(cepid)) return BadId();
  const int s = SocketTCPTbl[cepid];
  if (!HasSocket(s)) return Failure(E_NOEXS, ENOTCONN);
  const int on = 1;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  const size_t want = len < 0 ? 0 : static_cast<size_t>(len);
  // MSG_NOSIGNAL: a target that closed its end must give a failed send, not
  // a SIGPIPE that ends the program before it can say the update failed.
  if (tmout == TMO_FEVR) {
    const ssize_t n = send(s, data, want, MSG_NOSIGNAL);
    if (n < 0) return SendFailure();
    return static_cast<ER>(n);
  }
  // With a limit, a send takes only what the socket has room for now: a
  // blocking send of a long run would wait for a stalled target for ever,
  // whatever the poll before it promised.
  const int64_t deadline = DeadlineOf(tmout);
  for (;;) {
    if (WaitUntil(s, POLLOUT, deadline) == WaitResult::kTimedOut) return TimedOut();
    const ssize_t n = send(s, data, want, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return static_cast<ER>(n);
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return SendFailure();
  }
}

ER tcp_wai_ack(ID cepid, TMO tmout) {
  TcpStart();
  if (!ValidId(cepid)) return BadId();
  const int s = SocketTCPTbl[cepid];
  if (!HasSocket(s)) return Failure(E_NOEXS, ENOTCONN);
  int64_t deadline = DeadlineOf(tmout);
  int last = -1;
  bool peerEnded = false;
  for (int stepMs = 1;; stepMs = stepMs < kAckPollMaxMs ? stepMs * 2 : kAckPollMaxMs) {
    // SIOCOUTQ: the bytes the peer's TCP has not acknowledged yet.
    int unacked = 0;
    if (ioctl(s, SIOCOUTQ, &unacked) != 0) return CallFailure(E_OBJ);
    if (unacked == 0) return E_OK;
    if (last < 0 || unacked < last) {
      last = unacked;  // acknowledgements still come: the limit starts again
      deadline = DeadlineOf(tmout);
    }
    if (Passed(deadline)) return TimedOut();
    // No event tells of an acknowledgement: look again in a few ms, and
    // meanwhile take what the peer sends, so that it cannot block itself.
    int ms = MsUntil(deadline);
    if (ms < 0 || ms > stepMs) ms = stepMs;
    pollfd p = {s, static_cast<short>(peerEnded ? 0 : POLLIN), 0};
    if (poll(&p, 1, ms) <= 0) continue;
    if ((p.revents & (POLLERR | POLLHUP)) != 0) return Failure(E_RLWAI, ConnectionError(s));
    if ((p.revents & POLLIN) != 0 && DiscardReceived(s)) peerEnded = true;
  }
}

ER tcp_rcv_dat(ID cepid, void* data, INT len, TMO tmout) {
  TcpStart();
  if (!ValidId(cepid)) return BadId();
  const int s = SocketTCPTbl[cepid];
  if (!HasSocket(s)) return Failure(E_NOEXS, ENOTCONN);
  if (tmout != TMO_FEVR && WaitFor(s, POLLIN, tmout) == WaitResult::kTimedOut) return TimedOut();
  const ssize_t n = recvfrom(s, data, len < 0 ? 0 : static_cast<size_t>(len), 0, nullptr, nullptr);
  if (n == -1) return CallFailure(E_OBJ);
  return static_cast<ER>(n);
}

ER tcp_cls_cep(ID cepid, TMO tmout) {
  TcpStart();
  if (!ValidId(cepid)) return BadId();
  const int s = SocketTCPTbl[cepid];
  if (!HasSocket(s)) return Failure(E_NOEXS, ENOTCONN);
  // The end of our stream goes out behind every byte sent. What the peer
  // still sends is read and dropped until its own end (or the limit), since
  // closing with unread bytes would reset the connection and throw away
  // whatever the peer has not taken yet.
  shutdown(s, SHUT_WR);
  for (const int64_t deadline = DeadlineOf(tmout); !DiscardReceived(s);) {
    if (WaitUntil(s, POLLIN, deadline) != WaitResult::kReady) break;
  }
  close(s);
  SocketTCPTbl[cepid] = kNoSocket;
  return E_OK;
}

ER tcp_del_cep(ID cepid) {
  if (!ValidId(cepid)) return BadId();
  IsTCPcepid[cepid] = 0;
  return E_OK;
}

const char* ItronReason() {
  if (lastERR == 0) return "no failure recorded";
  if (lastERR == ETIME) return "nothing moved within the time limit";
  return strerror(lastERR);
}

void ItronOnBindRetry(BindRetryNotice notice) { bindRetryNotice.store(notice); }

void ItronSetBindRetry(int attempts, int pauseMs) {
  bindAttempts = attempts;
  bindPauseMs = pauseMs;
}

void ItronReset() {
  for (ID n = 0; n < kItronMaxIds; ++n) {
    if (UDPStartFlg != 0 && HasSocket(SocketUDPTbl[n].s)) udp_del_cep(n);  // a shared socket closes once
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
  UDPStartFlg = 0;
  TCPStartFlg = 0;
  bindAttempts = kBindAttempts;
  bindPauseMs = kBindPauseMs;
  lastERR = 0;
}
