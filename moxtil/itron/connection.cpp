// TCP connection endpoints: made, accepted from a reception point, given
// their options, closed (normally once their stream was acknowledged, else
// with a reset), cancelled and deleted.
#include "moxtil/itron/Itron.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "moxtil/itron/layer.h"

using namespace itron;

namespace {

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

// The listening socket of repid, listening by now, for an accept into
// cepid, or the failure.
ER ListeningSocket(ID cepid, ID repid, int* ls) {
  Lock lock(tableLock);
  TcpStart();
  if (!ValidId(cepid) || !ValidId(repid)) return BadId();
  *ls = AcceptTCPTbl[repid];
  if (!HasSocket(*ls)) return Failure(E_NOEXS, EBADF);
  // A connected endpoint keeps its connection: taking another would lose it.
  if (HasSocket(SocketTCPTbl[cepid])) return Failure(E_OBJ, EISCONN);
  if (listenFlag[repid] == -1) {
    listenFlag[repid] = listen(*ls, kListenBacklog) == 0 ? 0 : -1;
    if (listenFlag[repid] == -1) return CallFailure(E_OBJ, "listen");
  }
  return E_OK;
}

// One accept on the listening socket ls that poll found ready: E_OK with
// the connection *s and its *peer, kStillWaiting when none is left, or the
// failure.
ER AcceptOne(int ls, int* s, sockaddr_in* peer) {
  std::memset(peer, 0, sizeof *peer);
  socklen_t peerLen = sizeof *peer;
  *s = accept4(ls, reinterpret_cast<sockaddr*>(peer), &peerLen, SOCK_CLOEXEC);
  ER result = E_OK;
  if (*s < 0) {
    // Gone again since the wait (taken, or reset by its peer): wait on.
    result = errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR ? CallFailure(E_RLWAI, "accept") : kStillWaiting;
  }
  return result;
}

// Waits until deadline for a connection on the listening socket ls and
// accepts it: E_OK with the connection *s and its *peer, or the failure.
ER AcceptWithin(int ls, const Deadline& deadline, int* s, sockaddr_in* peer) {
  ER result = kStillWaiting;
  while (result == kStillWaiting) {
    const WaitResult ready = WaitUntil(ls, POLLIN, deadline);
    if (ready == WaitResult::kTimedOut) {
      result = TimedOut();
    } else if (ready == WaitResult::kFailed) {
      result = CallFailure(E_RLWAI, "poll");
    } else {
      result = AcceptOne(ls, s, peer);
    }
  }
  return result;
}

// What the peer has sent so far, dropped: E_OK once its stream ended, the
// failure, or kStillWaiting.
ER DropUntilPeerEnd(const Connection& c) {
  int err = 0;
  const Drained drained = DiscardReceived(c.s, &err);
  ER result = kStillWaiting;
  if (drained == Drained::kEnded) {
    result = E_OK;
  } else if (drained == Drained::kFailed) {
    result = Failure(E_RLWAI, err);
  }
  return result;
}

// Waits until deadline for more from c's peer: kStillWaiting when it came,
// else the failure.
ER AwaitMore(const Connection& c, const Deadline& deadline) {
  const WaitResult ready = WaitUntil(c.s, POLLIN, deadline);
  ER result = kStillWaiting;
  if (ready == WaitResult::kFailed) {
    result = CallFailure(E_OBJ, "poll");
  } else if (ready == WaitResult::kTimedOut || deadline.Passed()) {
    // Nothing left unread, as far as it can be helped: what came last
    // would make the close a reset.
    int err = 0;
    DiscardReceived(c.s, &err);
    result = TimedOut();
  }
  return result;
}

// The normal end of an acknowledged stream: our end of stream goes out
// behind every byte sent, and what the peer still sends is read and dropped
// until its own end (or the limit), since closing with unread bytes would
// reset the connection.
ER EndNormally(const Connection& c, TMO tmout) {
  shutdown(c.s, SHUT_WR);
  const Deadline deadline = DeadlineOf(tmout);
  ER result = kStillWaiting;
  while (result == kStillWaiting) {
    result = DropUntilPeerEnd(c);
    if (result == kStillWaiting) result = AwaitMore(c, deadline);
  }
  return result;
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
  int ls = kNoSocket;
  ER result = ListeningSocket(cepid, repid, &ls);
  int s = kNoSocket;
  sockaddr_in peer;
  if (result == E_OK) result = AcceptWithin(ls, DeadlineOf(tmout), &s, &peer);
  if (result == E_OK) {
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
  }
  return result;
}

ER tcp_ref_myaddr(ID cepid, T_IPV4EP* p_myaddr) {
  Lock lock(tableLock);  // the owner closes its socket under it too
  int s;
  const ER er = SocketOf(cepid, &s);
  if (er != E_OK) return er;
  sockaddr_in local = {};
  socklen_t len = sizeof local;
  if (getsockname(s, reinterpret_cast<sockaddr*>(&local), &len) != 0) return CallFailure(E_OBJ, "getsockname");
  p_myaddr->ipaddr = local.sin_addr.s_addr;
  p_myaddr->portno = ntohs(local.sin_port);
  return E_OK;
}

namespace {

// TCP_RESET_ON_CLOSE on the socket s of cepid (tableLock held).
ER ResetOnClose(ID cepid, int s) {
  const linger abortive = {1, 0};
  if (setsockopt(s, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive) != 0) {
    return CallFailure(E_OBJ, "setsockopt SO_LINGER");
  }
  EndsNormally[cepid] = false;
  return E_OK;
}

// TCP_SILENCE_LIMIT of optval ms on the socket s of cepid (tableLock held).
ER SilenceLimit(ID cepid, int s, INT optval) {
  if (optval < 0) return Failure(E_OBJ, EINVAL);
  const int on = optval > 0 ? 1 : 0;
  if (setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) return CallFailure(E_OBJ, "setsockopt SO_KEEPALIVE");
  if (on != 0) {
    const int idle = kKeepIdleS, interval = kKeepIntervalS, probes = kKeepProbes, rtoMax = kRtoMaxMs;
    if (setsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) != 0 ||
        setsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) != 0 ||
        setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes) != 0) {
      return CallFailure(E_OBJ, "setsockopt TCP_KEEPIDLE, TCP_KEEPINTVL, TCP_KEEPCNT");
    }
    // An older kernel refuses it: its sends come less often, and the silence
    // watch waits for one made in the silence to go unanswered all the same.
    if (capBackOff) setsockopt(s, IPPROTO_TCP, TCP_RTO_MAX_MS, &rtoMax, sizeof rtoMax);
  }
  SilenceLimitMs[cepid] = optval;
  return E_OK;
}

}  // namespace

ER tcp_set_opt(ID cepid, INT optname, INT optval) {
  Lock lock(tableLock);
  int s;
  const ER er = SocketOf(cepid, &s);
  if (er != E_OK) return er;
  if (optname == TCP_RESET_ON_CLOSE) return ResetOnClose(cepid, s);
  if (optname == TCP_SILENCE_LIMIT) return SilenceLimit(cepid, s, optval);
  return Failure(E_OBJ, EINVAL);
}

void ItronCapBackOff(bool cap) { capBackOff = cap; }

ER tcp_cls_cep(ID cepid, TMO tmout) {
  Connection c;
  ER result = ConnectionOf(cepid, &c);
  if (result == E_OK) {
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
  }
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
