// TCP reception points: a listening socket each, made with a bind that is
// tried again while the port is taken, and the wait on several at once.
#include "moxtil/itron/Itron.h"

#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "moxtil/itron/layer.h"

using namespace itron;

namespace {

// Takes repid for a reception point that is being made.
ER TakeReceptionId(ID repid) {
  Lock lock(tableLock);
  TcpStart();
  if (!ValidId(repid)) return BadId();
  if (SocketTCPTbl[repid] != kNoSocket || AcceptTCPTbl[repid] != kNoSocket) return Failure(E_OBJ, EBUSY);
  AcceptTCPTbl[repid] = kBinding;  // the ID is ours while the bind is retried
  return E_OK;
}

// Binds s to port on every local address, again after a pause while the
// port is taken: E_OK, or the failure of the last attempt.
ER BindRetried(int s, UH port) {
  // SO_REUSEADDR: the connections of a run that just ended linger on these
  // ports (TIME_WAIT) for a minute and must not keep the next run from
  // listening. A port that another socket listens on still fails to bind,
  // and the retry below waits for it.
  const int on = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  // Every local address; the record's ipaddr is not used.
  const sockaddr_in sa = MakeAddress(htonl(INADDR_ANY), port);
  const int attempts = bindAttempts.load();
  ER result = kStillWaiting;
  for (int attempt = 1; result == kStillWaiting; ++attempt) {
    const ER er = bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 ? E_OK : CallFailure(E_OBJ, "bind");
    if (er == E_OK || attempt >= attempts) {
      result = er;
    } else {
      const BindRetryNotice notice = bindRetryNotice.load();
      if (notice != nullptr) notice(port, attempt, attempts, bindPauseMs.load());
      Sleep(bindPauseMs.load());
    }
  }
  return result;
}

// The lowest free reception point ID, taken while its socket is bound, or
// the failure.
ER TakeFreeReceptionId() {
  Lock lock(tableLock);
  TcpStart();
  const ID n = LowestFree(IsTCPrepid);
  if (n >= 0) IsTCPrepid[n] = -1;  // taken while its socket is bound
  return n >= 0 ? n : Failure(E_ID, EMFILE);
}

// The poll set of a wait on the count reception points repids, with the
// wake of tcp_can_rep last, or the failure.
ER PollSetOf(const ID* repids, INT count, pollfd* p) {
  Lock lock(tableLock);
  TcpStart();
  for (INT i = 0; i < count; ++i) {
    if (!ValidId(repids[i])) return BadId();
    if (!HasSocket(AcceptTCPTbl[repids[i]])) return Failure(E_NOEXS, EBADF);
    p[i] = {AcceptTCPTbl[repids[i]], POLLIN, 0};
  }
  if (repWakeFd < 0) repWakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (repWakeFd < 0) return CallFailure(E_OBJ, "eventfd");
  p[count] = {repWakeFd, POLLIN, 0};
  return E_OK;
}

// The wake of tcp_can_rep on fd, taken: the end of the wait it cut short.
ER Woken(int fd) {
  uint64_t wakes = 0;
  return read(fd, &wakes, sizeof wakes) < 0 && errno != EAGAIN ? CallFailure(E_OBJ, "read eventfd") : Failure(E_RLWAI, ECANCELED);
}

// The first of repids whose socket the poll found ready, or kStillWaiting.
ER FirstReady(const ID* repids, INT count, const pollfd* p) {
  ER result = kStillWaiting;
  for (INT i = 0; i < count && result == kStillWaiting; ++i) {
    if (p[i].revents != 0) result = repids[i];
  }
  return result;
}

// Waits until deadline on the poll set p of the count reception points
// repids: the first with a connection waiting, or the failure.
ER WaitForConnection(const ID* repids, INT count, pollfd* p, const Deadline& deadline) {
  ER result = kStillWaiting;
  while (result == kStillWaiting) {
    const int n = poll(p, static_cast<nfds_t>(count + 1), deadline.PollMs());
    if (n == 0) {
      result = TimedOut();
    } else if (n < 0) {
      if (errno != EINTR) result = CallFailure(E_OBJ, "poll");
    } else if (p[count].revents != 0) {
      result = Woken(p[count].fd);
    } else {
      result = FirstReady(repids, count, p);
    }
  }
  return result;
}

}  // namespace

ER tcp_cre_rep(ID repid, const T_TCP_CREP* pk_crep) {
  ER result = TakeReceptionId(repid);
  if (result == E_OK) {
    // Non-blocking: a connection that is gone by the time accept looks for it
    // must not make the accept wait for the next one.
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0) {
      result = CallFailure(E_NOSOCK, "socket");
    } else {
      result = BindRetried(s, pk_crep->myaddr.portno);
      if (result != E_OK) close(s);
    }
    Lock lock(tableLock);
    if (result == E_OK) {
      AcceptTCPTbl[repid] = s;
      listenFlag[repid] = listen(s, kListenBacklog) == 0 ? 0 : -1;
      IsTCPrepid[repid] = -1;
    } else {
      AcceptTCPTbl[repid] = kNoSocket;  // the ID is free again
    }
  }
  return result;
}

ER tcp_vcre_rep(const T_TCP_CREP* pk_crep) {
  ER result = TakeFreeReceptionId();
  if (result >= 0) {
    const ID n = result;
    result = tcp_cre_rep(n, pk_crep);
    if (result == E_OK) {
      result = n;
    } else {
      Lock lock(tableLock);
      IsTCPrepid[n] = 0;
    }
  }
  return result;
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
  pollfd p[kMost + 1];
  ER result = count < 0 || count > kMost ? BadId() : PollSetOf(repids, count, p);
  if (result == E_OK) result = WaitForConnection(repids, count, p, DeadlineOf(tmout));
  return result;
}

void tcp_can_rep() {
  Lock lock(tableLock);
  if (repWakeFd < 0) repWakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  const uint64_t one = 1;
  if (repWakeFd >= 0 && write(repWakeFd, &one, sizeof one) < 0) {
    // Only a full counter refuses, and then a wake is pending anyway.
  }
}

void ItronOnBindRetry(BindRetryNotice notice) { bindRetryNotice.store(notice); }

void ItronSetBindRetry(int attempts, int pauseMs) {
  bindAttempts = attempts;
  bindPauseMs = pauseMs;
}
