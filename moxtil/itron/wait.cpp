// The waits on a connection: its sends (from a buffer or, through the
// kernel, from a file), the wait for its stream to be acknowledged (and the
// look at what is not yet), the wait that watches for a reset, its receives,
// and the silence watch that takes a peer for gone.
#include "moxtil/itron/Itron.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstring>

#include "moxtil/itron/layer.h"
#include "moxtil/itron/silence.h"

using namespace itron;

namespace {

// How often a wait for acknowledgements looks, at the most.
constexpr int kAckPollMaxMs = 20;

// How often a wait looks at a silent peer: an unanswered send must be
// seen within about a second of going out.
constexpr int kLivenessLookMs = 1000;

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
// A call on c failed: its errno and name, unless c was cancelled meanwhile.
ER ConnectionCallFailure(const Connection& c, ER code, const char* call) {
  const int err = errno;  // before the lock that IsCancelled takes
  if (IsCancelled(c)) return Failure(code, ECANCELED);
  errno = err;
  return CallFailure(code, call);
}
// A send failed: EPERM (a firewall refusing the packet) reads as a time-out,
// anything else as a released wait.
ER SendFailure(const Connection& c, const char* call) {
  return ConnectionCallFailure(c, errno == EPERM ? E_TMOUT : E_RLWAI, call);
}

// Watches a connection's peer for silence (NextSilence decides): one look
// at its TCP a kLivenessLookMs at the most.
class SilenceWatch {
 public:
  explicit SilenceWatch(int limitMs) : limitMs_(limitMs) {}
  bool Gone(int s) {
    if (limitMs_ <= 0) return false;
    const int64_t now = MonotonicMs();
    if (lookedAt_ >= 0 && now - lookedAt_ < kLivenessLookMs) return false;
    lookedAt_ = now;
    tcp_info ti;
    std::memset(&ti, 0, sizeof ti);
    socklen_t len = sizeof ti;
    int outstanding = 0;
    // A TCP_INFO cut short (an emulator's) tells nothing: the peer stays alive.
    const bool known = getsockopt(s, IPPROTO_TCP, TCP_INFO, &ti, &len) == 0 &&
                       len >= offsetof(tcp_info, tcpi_total_retrans) + sizeof ti.tcpi_total_retrans &&
                       ioctl(s, SIOCOUTQ, &outstanding) == 0;
    if (!known) {
      state_ = Silence();
      return false;
    }
    const TcpSample sample = {now, ti.tcpi_last_ack_recv, ti.tcpi_total_retrans, ti.tcpi_retransmits, ti.tcpi_probes,
                              outstanding};
    state_ = NextSilence(state_, sample, limitMs_);
    return state_.gone;
  }

 private:
  const int limitMs_;
  int64_t lookedAt_ = -1;  // when Gone last looked (MonotonicMs), -1 before the first look
  Silence state_;
};

// How often a wait looks whether its connection was cancelled.
constexpr int kCancelLookMs = 100;

// The time left until deadline as poll takes it, but mostMs at the most
// (without a deadline too): for a wait that must look again meanwhile.
int LookMs(const Deadline& deadline, int mostMs) {
  const int ms = deadline.PollMs();
  return ms < 0 || ms > mostMs ? mostMs : ms;
}

// What a wait on a connection found. kSilent: the peer is taken as gone.
// kWaiting is no outcome of the wait, only of one poll that decided nothing.
enum class ConnWait { kWaiting, kReady, kTimedOut, kFailed, kSilent, kCancelled };

// What one poll of a wait until deadline found, from the poll's result n
// (and errno as it left it): a signal decides nothing.
ConnWait PollFound(int n, const Deadline& deadline) {
  ConnWait found = ConnWait::kWaiting;
  if (n > 0) {
    found = ConnWait::kReady;
  } else if (n < 0 && errno != EINTR) {
    found = ConnWait::kFailed;
  } else if (n == 0 && deadline.Passed()) {
    found = ConnWait::kTimedOut;
  }
  return found;
}

// Waits until deadline for c to become readable or writable, looking at its
// cancel and its peer's silence meanwhile.
ConnWait WaitOn(const Connection& c, short events, const Deadline& deadline, SilenceWatch& watch) {
  ConnWait result = ConnWait::kWaiting;
  while (result == ConnWait::kWaiting) {
    if (IsCancelled(c)) {
      result = ConnWait::kCancelled;
    } else {
      pollfd p = {c.s, events, 0};
      result = PollFound(poll(&p, 1, LookMs(deadline, kCancelLookMs)), deadline);
      if (result == ConnWait::kWaiting && watch.Gone(c.s)) result = ConnWait::kSilent;
    }
  }
  return result;
}

// One try at a send on socket s: blocking, or (wait false) only what the
// socket has room for now. The count, or -1 with errno.
using SendTry = ssize_t (*)(int s, bool wait, void* what);

// A send as SendOn makes it: the try, what it sends, and who names a failure
// that is not the connection's own (badFile, or none).
struct Sending {
  SendTry attempt;
  void* what;
  ER (*badFile)(int err);
  const char* call;  // the system call the try makes, for a failure's reason
};

// One try at a send on c: the count sent, kStillWaiting when the socket had
// no room (or a signal came first: only a try that does not wait), or the
// failure.
ER TrySend(const Connection& c, const Sending& sending, bool wait) {
  const ssize_t n = sending.attempt(c.s, wait, sending.what);
  ER result = kStillWaiting;
  if (n >= 0) {
    result = static_cast<ER>(n);
  } else if (wait || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
    const ER file = sending.badFile != nullptr ? sending.badFile(errno) : E_OK;
    result = file != E_OK ? file : SendFailure(c, sending.call);
  }
  return result;
}

// What a send on c makes of its wait for room: kStillWaiting once there is
// room, else the failure.
ER RoomOrFailure(const Connection& c, ConnWait ready) {
  ER result = kStillWaiting;
  if (ready == ConnWait::kTimedOut) {
    result = TimedOut();
  } else if (ready == ConnWait::kSilent) {
    result = SilentFailure(c.silenceMs);
  } else if (ready == ConnWait::kCancelled) {
    result = CancelledFailure();
  } else if (ready == ConnWait::kFailed) {
    result = ConnectionCallFailure(c, E_RLWAI, "poll");
  }
  return result;
}

// With a limit, a send takes only what the socket has room for now: a
// blocking send of a long run would wait for a stalled target for ever,
// whatever a poll before it promised. The wait comes only when there is
// no room at all.
ER SendWithin(const Connection& c, const Sending& sending, TMO tmout) {
  const Deadline deadline = DeadlineOf(tmout);
  SilenceWatch watch(c.silenceMs);
  ER result = kStillWaiting;
  while (result == kStillWaiting) {
    // A send that always finds room must still see its cancel.
    result = IsCancelled(c) ? CancelledFailure() : TrySend(c, sending, false);
    if (result == kStillWaiting) result = RoomOrFailure(c, WaitOn(c, POLLOUT, deadline, watch));
  }
  return result;
}

// Sends with the limit and the silence watch of tcp_snd_dat. A failure that
// is not the connection's own is the caller's to name: badFile.
ER SendOn(ID cepid, TMO tmout, const char* call, SendTry attempt, void* what, ER (*badFile)(int err)) {
  Connection c;
  ER result = ConnectionOf(cepid, &c);
  if (result == E_OK) {
    // Bytes beyond what was acknowledged: the stream is no longer whole.
    if (c.endsNormally) SetEnding(c, false);
    const Sending sending = {attempt, what, badFile, call};
    result = tmout == TMO_FEVR && c.silenceMs == 0 ? TrySend(c, sending, true) : SendWithin(c, sending, tmout);
  }
  return result;
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
  return SendOn(cepid, tmout, "send", SendBytes, &b, nullptr);
}

ER tcp_snd_fil(ID cepid, int fd, int64_t* offset, INT len, TMO tmout) {
  FilePart f = {fd, static_cast<off_t>(*offset), len < 0 ? 0 : static_cast<size_t>(len)};
  const ER n = SendOn(cepid, tmout, "sendfile", SendFilePart, &f, FileFailure);
  if (n > 0) *offset += n;
  return n;
}

namespace {

// Whether a wait for acknowledgements on c gives up, looked at in this
// order: its limit passed, its peer is taken as gone, it was cancelled.
// The failure, or kStillWaiting.
ER GivenUp(const Connection& c, const Deadline& deadline, SilenceWatch& watch) {
  ER result = kStillWaiting;
  if (deadline.Passed()) {
    result = TimedOut();
  } else if (watch.Gone(c.s)) {
    result = SilentFailure(c.silenceMs);
  } else if (IsCancelled(c)) {
    result = CancelledFailure();
  }
  return result;
}

// The failure that a poll p of c found, from the poll's result n (and errno
// as it left it): the poll failed (a signal is no failure), or the
// connection was reset or failed. Else kStillWaiting.
ER PollFailure(const Connection& c, int n, const pollfd& p) {
  ER result = kStillWaiting;
  if (n < 0 && errno != EINTR) {
    result = ConnectionCallFailure(c, E_OBJ, "poll");
  } else if (n > 0 && (p.revents & (POLLERR | POLLHUP)) != 0) {
    result = ConnectionFailure(c, E_RLWAI, ConnectionError(c.s));
  }
  return result;
}

// A poll of c for what its peer sends; after the peer's end of stream
// (peerEnded) only a reset or a failure can come, and it polls for those.
pollfd PeerPoll(const Connection& c, bool peerEnded) {
  return {c.s, static_cast<short>(peerEnded ? 0 : POLLIN), 0};
}

// Drops what c's peer has sent so far: the failure, or kStillWaiting
// (with *peerEnded once the peer ended its stream).
ER DropReceived(const Connection& c, bool* peerEnded) {
  int err = 0;
  const Drained drained = DiscardReceived(c.s, &err);
  if (drained == Drained::kEnded) *peerEnded = true;
  return drained == Drained::kFailed ? ConnectionFailure(c, E_RLWAI, err) : kStillWaiting;
}

// Waits up to ms, taking what c's peer sends meanwhile, so that it cannot
// block itself: the failure, or kStillWaiting.
ER TakeWhatPeerSends(const Connection& c, int ms, bool* peerEnded) {
  pollfd p = PeerPoll(c, *peerEnded);
  const int n = poll(&p, 1, ms);
  ER result = PollFailure(c, n, p);
  if (result == kStillWaiting && n > 0 && (p.revents & POLLIN) != 0) result = DropReceived(c, peerEnded);
  return result;
}

// tcp_wai_ack on c: the limit tmout starts again whenever acknowledgements
// come, and the step between looks doubles towards kAckPollMaxMs.
ER AwaitAcknowledgement(const Connection& c, TMO tmout) {
  Deadline deadline = DeadlineOf(tmout);
  SilenceWatch watch(c.silenceMs);
  int last = -1;
  bool peerEnded = false;
  int stepMs = 1;
  ER result = kStillWaiting;
  while (result == kStillWaiting) {
    // SIOCOUTQ: the bytes the peer's TCP has not acknowledged yet.
    int unacked = 0;
    if (ioctl(c.s, SIOCOUTQ, &unacked) != 0) {
      result = ConnectionCallFailure(c, E_OBJ, "ioctl SIOCOUTQ");
    } else if (unacked == 0) {
      SetEnding(c, true);  // acknowledged to the last byte: a close ends it normally
      result = E_OK;
    } else {
      if (last < 0 || unacked < last) {
        last = unacked;  // acknowledgements still come: the limit starts again
        deadline = DeadlineOf(tmout);
      }
      // No event tells of an acknowledgement: look again in a few ms, and
      // meanwhile take what the peer sends, so that it cannot block itself.
      result = GivenUp(c, deadline, watch);
      if (result == kStillWaiting) result = TakeWhatPeerSends(c, LookMs(deadline, stepMs), &peerEnded);
      stepMs = stepMs < kAckPollMaxMs ? stepMs * 2 : kAckPollMaxMs;
    }
  }
  return result;
}

// One look at c for tcp_wai_cep, of kCancelLookMs at the most: E_OK once
// deadline passed without a reset, the failure, or kStillWaiting. A peer
// that sends without end keeps poll ready: the clock still counts.
ER LookForReset(const Connection& c, const Deadline& deadline, bool* peerEnded) {
  pollfd p = PeerPoll(c, *peerEnded);
  const int n = poll(&p, 1, LookMs(deadline, kCancelLookMs));
  ER result = PollFailure(c, n, p);
  if (result == kStillWaiting && n >= 0 && deadline.Passed()) {
    result = E_OK;
  } else if (result == kStillWaiting && n > 0) {
    result = DropReceived(c, peerEnded);
  }
  return result;
}

// tcp_wai_cep on c, until deadline.
ER WatchForReset(const Connection& c, const Deadline& deadline) {
  bool peerEnded = false;
  ER result = kStillWaiting;
  while (result == kStillWaiting) {
    result = IsCancelled(c) ? CancelledFailure() : LookForReset(c, deadline, &peerEnded);
  }
  return result;
}

// Waits up to tmout for c's peer to send: E_OK once there is something to
// read (or its end of stream), else the failure.
ER AwaitBytes(const Connection& c, TMO tmout) {
  const WaitResult ready = WaitUntil(c.s, POLLIN, DeadlineOf(tmout));
  ER result = E_OK;
  if (ready == WaitResult::kTimedOut) {
    result = TimedOut();
  } else if (ready == WaitResult::kFailed) {
    result = ConnectionCallFailure(c, E_OBJ, "poll");
  }
  return result;
}

// Receives up to len bytes on c, waiting for the first: the count, 0 at the
// peer's end of stream, or the failure.
ER Receive(const Connection& c, void* data, INT len) {
  ssize_t n;
  do {
    n = recvfrom(c.s, data, len < 0 ? 0 : static_cast<size_t>(len), 0, nullptr, nullptr);
  } while (n == -1 && errno == EINTR);
  return n == -1 ? ConnectionCallFailure(c, E_OBJ, "recv") : static_cast<ER>(n);
}

}  // namespace

ER tcp_ref_cep(ID cepid) {
  // Under the lock: the owner closes its socket under it too.
  Lock lock(tableLock);
  int s;
  const ER er = SocketOf(cepid, &s);
  if (er != E_OK) return er;
  int unacked = 0;
  if (ioctl(s, SIOCOUTQ, &unacked) != 0) return CallFailure(E_OBJ, "ioctl SIOCOUTQ");
  return unacked;
}

ER tcp_ref_ack(ID cepid) {
  Lock lock(tableLock);  // as tcp_ref_cep
  int s;
  const ER er = SocketOf(cepid, &s);
  if (er != E_OK) return er;
  tcp_info ti;
  std::memset(&ti, 0, sizeof ti);
  socklen_t len = sizeof ti;
  if (getsockopt(s, IPPROTO_TCP, TCP_INFO, &ti, &len) != 0) return CallFailure(E_OBJ, "getsockopt TCP_INFO");
  // A TCP_INFO cut short (an emulator's) does not tell.
  if (len < offsetof(tcp_info, tcpi_last_ack_recv) + sizeof ti.tcpi_last_ack_recv) return Failure(E_OBJ, ENOTSUP);
  return ti.tcpi_last_ack_recv > INT32_MAX ? INT32_MAX : static_cast<ER>(ti.tcpi_last_ack_recv);
}

ER tcp_wai_ack(ID cepid, TMO tmout) {
  Connection c;
  ER result = ConnectionOf(cepid, &c);
  if (result == E_OK) result = AwaitAcknowledgement(c, tmout);
  return result;
}

ER tcp_wai_cep(ID cepid, TMO tmout) {
  Connection c;
  ER result = ConnectionOf(cepid, &c);
  if (result == E_OK) result = WatchForReset(c, DeadlineOf(tmout));
  return result;
}

ER tcp_rcv_dat(ID cepid, void* data, INT len, TMO tmout) {
  Connection c;
  ER result = ConnectionOf(cepid, &c);
  if (result == E_OK && tmout != TMO_FEVR) result = AwaitBytes(c, tmout);
  if (result == E_OK) result = Receive(c, data, len);
  return result;
}
