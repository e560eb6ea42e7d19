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

void ItronOnBindRetry(BindRetryNotice notice) { bindRetryNotice.store(notice); }

void ItronSetBindRetry(int attempts, int pauseMs) {
  bindAttempts = attempts;
  bindPauseMs = pauseMs;
}
