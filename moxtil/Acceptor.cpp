#include "moxtil/Acceptor.h"

#include <cstring>

#include "common/util.h"
#include "moxtil/GetMyIPAddr.h"
#include "moxtil/Options.h"
#include "moxtil/Output.h"
#include "moxtil/Protocol.h"
#include "moxtil/Report.h"
#include "moxtil/Transfer.h"

namespace {

// The reception points live from the first cycle to the last. The driver
// reads the flag to know when it may announce.
std::atomic<bool> haveReceptionPoints{false};
ID repid_loader = -1;
ID repid_data = -1;

// A failed accept (a target that reset before it, no descriptor left) is
// tried again after this pause.
constexpr int kAcceptRetryPauseMs = 100;

// Data connections taken while no transfer waited for one, oldest first;
// under slotLock.
struct PendingData {
  ID cepid;
  T_IPV4EP peer;
};
PendingData pendingData[kProcessSlots];
int pendingCount = 0;

const char* PortName(UH port) { return port == LoaderPort(_baseOffset) ? "loader" : "data"; }

// A busy port is told at every attempt, not only after the last.
void ReportBindRetry(UH port, int attempt, int attempts, int pauseMs) {
  printLog(stderr, "%s port %u: bind failed: %s (attempt %d of %d, next in %d %s)", PortName(port),
           static_cast<unsigned>(port), ItronReason(), attempt, attempts,
           pauseMs >= 1000 ? pauseMs / 1000 : pauseMs, pauseMs >= 1000 ? "s" : "ms");
}

/// A listening reception point on port, or a negative ER after explaining why.
ER CreateReceptionPoint(UH port) {
  T_TCP_CREP crep = {0, {GetMyIPAddr(ifname), port}};
  const ER repid = tcp_vcre_rep(&crep);
  if (repid < 0) {
    printLog(stderr, "%s port %u: cannot listen: %s", PortName(port), static_cast<unsigned>(port), ItronReason());
  }
  return repid;
}

bool CreateReceptionPoints() {
  ItronOnBindRetry(ReportBindRetry);
  repid_loader = CreateReceptionPoint(LoaderPort(_baseOffset));
  if (repid_loader < 0) return false;
  repid_data = CreateReceptionPoint(DataPort(_baseOffset));
  if (repid_data < 0) {
    tcp_del_rep(repid_loader);
    return false;
  }
  haveReceptionPoints = true;
  return true;
}

void DeleteReceptionPoints() {
  tcp_del_rep(repid_data);
  tcp_del_rep(repid_loader);
  haveReceptionPoints = false;
}

/// The acceptor's own record of one cycle.
struct Acceptance {
  explicit Acceptance(AcceptorCycle& c) : cycle(c) {}
  AcceptorCycle& cycle;
  const TMO tmo = ThreadTimeOut();
  bool accepting = true;
  // How long the acceptor waits for the next target while none is served:
  // the limit of the loader accept (-T), started again after a foreign
  // target was dropped, and with -M each time the last target was served.
  Deadline acceptBy = DeadlineOf(tmo);
  int taken = 0;  // targets taken in this cycle
};

void StopAccepting(Acceptance& a) {
  a.accepting = false;
  a.cycle.phase = AcceptorPhase::kServing;
}

/// A new connection on repid in a new endpoint whose record names buffers:
/// true, or false after explaining why and pausing.
bool AcceptFrom(ID repid, SlotBuffers& buffers, ID* cepid, T_IPV4EP* peer) {
  T_TCP_CCEP ccep = ConnectionRecord(buffers);
  *cepid = tcp_vcre_cep(&ccep);
  const ER result = *cepid < 0 ? *cepid : tcp_acp_cep(*cepid, repid, peer, TMO_POL);
  if (result == E_OK) return true;
  if (result == E_TMOUT) {  // gone again since the wait said it was there
    tcp_del_cep(*cepid);
    return false;
  }
  const UH port = repid == repid_loader ? LoaderPort(_baseOffset) : DataPort(_baseOffset);
  printLog(stderr, "%s port %u: accept failed: %s; trying again", PortName(port), static_cast<unsigned>(port),
           ItronReason());
  if (*cepid >= 0) tcp_del_cep(*cepid);
  Sleep(kAcceptRetryPauseMs);
  return false;
}

// ---- data connections

/// Whether a transfer is still to get its data connection.
bool StillToConnect(const PROCESS_INFO& p) {
  return p.status != 0 && p.dataLink != DataLink::kDone && p.cancel == Cancel::kNone;
}

/// The slot whose transfer a new data connection from ipaddr is for: the
/// target of that address while it is still to get one (it may be closing
/// its loader connection yet: -1 then, and the connection is kept for it),
/// else the waiting one that has waited longest; -1 when none waits.
/// Under slotLock.
int WaitingSlotFor(UW ipaddr) {
  int longest = -1;
  for (int n = 0; n < kProcessSlots; ++n) {
    const PROCESS_INFO& p = process_info[n];
    if (!StillToConnect(p)) continue;
    if (p.ipaddr == ipaddr) return p.dataLink == DataLink::kWaiting ? n : -1;
    if (p.dataLink != DataLink::kWaiting) continue;
    if (longest < 0 || p.waitingSinceMs < process_info[longest].waitingSinceMs) longest = n;
  }
  return longest;
}

/// Whether a data connection from ipaddr is kept for a target of that
/// address other than p. Under slotLock.
bool KeptForAnother(UW ipaddr, const PROCESS_INFO& p) {
  for (const PROCESS_INFO& other : process_info) {
    if (&other != &p && other.ipaddr == ipaddr && StillToConnect(other)) return true;
  }
  return false;
}

/// Whether a transfer is still to get its data connection and none is kept
/// for it: only then is the data port looked at. *buffersOf: a slot whose
/// buffers the next data connection's record names.
bool WantsDataConnection(int* buffersOf) {
  std::lock_guard<std::mutex> lock(slotLock);
  int due = 0;
  for (int n = 0; n < kProcessSlots; ++n) {
    if (!StillToConnect(process_info[n])) continue;
    if (due++ == 0) *buffersOf = n;
  }
  return due > pendingCount;
}

/// Gives a data connection to the transfer it is for, or keeps it until one asks.
void HandOver(ID cepid, const T_IPV4EP& peer) {
  std::lock_guard<std::mutex> lock(slotLock);
  const int n = WaitingSlotFor(peer.ipaddr);
  if (n < 0) {
    pendingData[pendingCount++] = {cepid, peer};
    return;
  }
  PROCESS_INFO& p = process_info[n];
  p.dataCepid = cepid;
  p.dataPeer = peer;
  p.dataLink = DataLink::kDone;
  slotChanged.notify_all();
}

void TakeDataConnection() {
  int buffersOf = 0;
  if (!WantsDataConnection(&buffersOf)) return;
  ID cepid;
  T_IPV4EP peer = {0, 0};
  if (AcceptFrom(repid_data, process_info[buffersOf].dataBuffers, &cepid, &peer)) HandOver(cepid, peer);
}

/// Closes the data connections kept for no transfer: all of them, or those
/// from one address whose target is no longer served.
void DropPendingData(bool all, UW ipaddr) {
  PendingData dropped[kProcessSlots];
  int count = 0;
  {
    std::lock_guard<std::mutex> lock(slotLock);
    int kept = 0;
    for (int i = 0; i < pendingCount; ++i) {
      if (all || pendingData[i].peer.ipaddr == ipaddr) {
        dropped[count++] = pendingData[i];
      } else {
        pendingData[kept++] = pendingData[i];
      }
    }
    pendingCount = kept;
  }
  for (int i = 0; i < count; ++i) {
    printLog(stderr, "data connection from %s closed: no target asked for it",
             FormatAddress(dropped[i].peer.ipaddr, dropped[i].peer.portno).text);
    tcp_cls_cep(dropped[i].cepid, 0);
    tcp_del_cep(dropped[i].cepid);
  }
}

/// A target no longer served leaves no data connection of its own behind
/// (one from a device that started over would reach its new transfer).
void DropPendingDataOf(UW ipaddr) {
  for (const PROCESS_INFO& p : process_info) {
    if (p.status != 0 && p.ipaddr == ipaddr) return;  // another of that address still wants it
  }
  DropPendingData(false, ipaddr);
}

// ---- transfers

/// Waits for the transfer thread of slot p and keeps what came of it: true
/// when its target was served to the end.
bool WaitForTransfer(PROCESS_INFO& p) {
  int exitValue = -1;
  const bool joined = JoinThread(p.thread, &exitValue) == 0;
  p.joinable = false;
  RecordServed(p);
  return joined && exitValue >= 0;
}

/// Waits for the transfer of slot p once it has freed its slot. In
/// single-target mode a failed target ends the update: the time-out flag
/// first, so that whoever sees the error flag sees both.
void ReapSlot(PROCESS_INFO& p) {
  if (!p.joinable || p.status != 0) return;
  const bool served = WaitForTransfer(p);
  DropPendingDataOf(p.ipaddr);
  if (!IsSingleTargetMode() || served) return;
  if (p.wireFailure) _IsTimeOut = 1;
  SoftwareUpError();
}

void ReapEnded() {
  for (PROCESS_INFO& p : process_info) ReapSlot(p);
}

/// A loader connection from the address of a target still being served: that
/// device started over. Its transfer ends (it says so), and its thread is
/// waited for, so that its lines come before the new connection's.
void SupersedeEarlier(UW ipaddr) {
  for (PROCESS_INFO& p : process_info) {
    if (p.status == 0 || !p.joinable || p.ipaddr != ipaddr) continue;
    CancelTransfer(p, Cancel::kStartedOver);
    WaitForTransfer(p);
    DropPendingData(false, ipaddr);
  }
}

/// Serves the target of a loader connection in slot n: its lines, its record
/// and its transfer thread.
void TakeTarget(Acceptance& a, ID cepid, const T_IPV4EP& peer) {
  // Only the acceptor marks a slot busy, and a slot is free only once it
  // has waited for its last thread: the free slot is taken whole.
  const int n = emptyProcess();
  PROCESS_INFO& slot = process_info[n];
  slot.no = n;
  slot.cepid = cepid;
  slot.repid = repid_data;
  slot.ipaddr = peer.ipaddr;
  slot.portno = peer.portno;
  slot.selectFileNum = _targetFile[1][0] != '\0' ? -1 : 0;
  {
    // A stop signal may be cancelling every busy slot right now.
    std::lock_guard<std::mutex> lock(slotLock);
    slot.liveCepid = cepid;
    slot.dataLink = DataLink::kNotYet;
    slot.dataCepid = -1;
    slot.cancel = Cancel::kNone;
  }
  slot.bytesDue = -1;
  slot.bytesDone = 0;
  slot.programStartMs = 0;
  slot.inView = false;
  slot.dataAddr = 0;
  slot.elapsedMs = 0;
  slot.lastLine = nullptr;
  slot.finished = false;
  slot.wireFailure = false;
  slot.resetAfterFinish = false;
  makeProcessNo();  // slot n
  ++a.taken;

  if (!IsSingleTargetMode() || IsFirstSoftwareUpdate()) TargetStatus(slot, status::kConnect);
  TargetLog(slot, "loader connection from %s", FormatAddress(peer.ipaddr, peer.portno).text);
  const int started = CreateThread(kMinThreadStackSize, process2, &slot, &slot.thread);
  if (started != 0) {
    TargetLog(slot, "transfer for %s: thread cannot start: %s", FormatAddress(peer.ipaddr, peer.portno).text,
              strerror(started));
    TargetStatus(slot, status::kSubProcessFailed);
    slot.lastLine = status::kSubProcessFailed;
    tcp_cls_cep(cepid, 0);
    UseConnection(slot, -1);
    tcp_del_cep(cepid);
    cancelProcessNo(n);
    RecordServed(slot);
    if (IsSingleTargetMode()) SoftwareUpError();
  } else {
    slot.joinable = true;
  }
  if (IsSingleTargetMode() || (_targetLimit > 0 && a.taken >= _targetLimit)) StopAccepting(a);
}

/// The next loader connection; in unicast mode one from another address is
/// closed unserved, and the next accept has a time-out of its own.
void TakeLoaderConnection(Acceptance& a) {
  const int n = emptyProcess();
  ID cepid;
  T_IPV4EP peer = {0, 0};
  if (!AcceptFrom(repid_loader, process_info[n].loaderBuffers, &cepid, &peer)) return;
  if (_unicast && peer.ipaddr != _dstIP) {
    printLog(stderr, "loader connection from %s dropped: only %s is served (-D)",
             FormatAddress(peer.ipaddr, peer.portno).text, FormatAddress(_dstIP).text);
    tcp_cls_cep(cepid, 0);
    tcp_del_cep(cepid);
    a.acceptBy = DeadlineOf(a.tmo);
    return;
  }
  if (!IsSingleTargetMode()) SupersedeEarlier(peer.ipaddr);
  TakeTarget(a, cepid, peer);
}

/// Takes targets and serves them until the cycle is over: 0, or
/// kAcceptorTimedOut when no target came within -T.
int ServeTargets(Acceptance& a) {
  bool wasBusy = false;
  for (;;) {
    // Busy first, then reaped: a transfer that ends in between is still
    // waited for, on this pass or the next, never left to the clean-up.
    const bool busy = IsProcessStart() != 0;
    ReapEnded();
    if (a.accepting && IsStopRequested()) StopAccepting(a);
    if (!a.accepting && !busy) return 0;
    if (wasBusy && !busy) a.acceptBy = DeadlineOf(a.tmo);  // -M: idle from now on
    wasBusy = busy;
    if (a.accepting && !busy && a.acceptBy.Passed()) {
      if (IsSingleTargetMode() || a.taken == 0) {
        _IsTimeOut = 1;  // first: whoever sees the error flag sees both
        SoftwareUpError();
        return kAcceptorTimedOut;
      }
      printLog(stderr, "no target connected for %d s and none is being served: the run ends", _TimeOutSecond);
      return 0;
    }

    ID reps[2];
    INT count = 0;
    int unused = 0;
    const bool wantLoader = a.accepting && emptyProcess() >= 0;
    if (wantLoader) reps[count++] = repid_loader;
    if (WantsDataConnection(&unused)) reps[count++] = repid_data;
    // Woken early by every change: a transfer that ends or asks for its
    // data connection, a stop; and on a terminal in time for the live view.
    Deadline until = a.accepting && !busy ? a.acceptBy : Deadline::Never();
    const bool viewing = LiveViewShowsTargets();
    if (viewing && (until.IsNever() || until.LeftMs() > kLiveViewRefreshMs)) {
      until = Deadline::In(kLiveViewRefreshMs);
    }
    const ER ready = tcp_wai_rep(reps, count, TmoUntil(until));
    if (viewing) RefreshLiveView();
    if (ready == repid_loader && wantLoader) {
      TakeLoaderConnection(a);
    } else if (ready == repid_data) {
      TakeDataConnection();
    } else if (ready != E_TMOUT && ready != E_RLWAI) {
      printLog(stderr, "waiting for targets failed: %s; trying again", ItronReason());
      Sleep(kAcceptRetryPauseMs);
    }
  }
}

}  // namespace

bool ReceptionPointsListen() { return haveReceptionPoints; }

void AcceptorReset() {
  haveReceptionPoints = false;
  repid_loader = -1;
  repid_data = -1;
  pendingCount = 0;
}

ER AwaitDataConnection(PROCESS_INFO& p, const Deadline& deadline, ID* cepid, T_IPV4EP* peer) {
  std::unique_lock<std::mutex> lock(slotLock);
  // One taken before this transfer asked: its own address first, else the
  // oldest that no other target's address claims.
  int k = -1;
  for (int i = 0; i < pendingCount && k < 0; ++i) {
    if (pendingData[i].peer.ipaddr == p.ipaddr) k = i;
  }
  for (int i = 0; i < pendingCount && k < 0; ++i) {
    if (!KeptForAnother(pendingData[i].peer.ipaddr, p)) k = i;
  }
  if (k >= 0) {
    *cepid = pendingData[k].cepid;
    *peer = pendingData[k].peer;
    std::memmove(&pendingData[k], &pendingData[k + 1], sizeof pendingData[0] * static_cast<size_t>(pendingCount - k - 1));
    --pendingCount;
    p.dataLink = DataLink::kDone;
    return E_OK;
  }
  p.dataLink = DataLink::kWaiting;
  p.waitingSinceMs = MonotonicMs();
  const auto handed = [&p] { return p.dataLink == DataLink::kDone || p.cancel != Cancel::kNone; };
  if (deadline.IsNever()) {
    slotChanged.wait(lock, handed);
  } else {
    slotChanged.wait_for(lock, std::chrono::milliseconds(deadline.LeftMs()), handed);
  }
  if (p.dataLink == DataLink::kDone) {
    // Handed over, even if cancelled meanwhile: the transfer owns it now.
    *cepid = p.dataCepid;
    *peer = p.dataPeer;
    return E_OK;
  }
  p.dataLink = DataLink::kDone;  // given up: none is kept for it any more
  return p.cancel != Cancel::kNone ? E_RLWAI : E_TMOUT;
}

void WakeAcceptor() { tcp_can_rep(); }

int process1(void* arg) {
  AcceptorCycle unwatched;
  AcceptorCycle& cycle = arg != nullptr ? *static_cast<AcceptorCycle*>(arg) : unwatched;
  Acceptance a(cycle);
  int result = -1;
  if (haveReceptionPoints || CreateReceptionPoints()) {
    cycle.phase = AcceptorPhase::kAccepting;
    result = ServeTargets(a);
  } else {
    SoftwareUpError();
    ConsoleOut(status::kReceptionPointFailed);
  }
  // One way out, whatever ended the cycle (no transfer runs by then): every
  // transfer waited for, no connection left open, the reception points kept
  // only for a next row.
  ReapEnded();
  DropPendingData(true, 0);
  if (haveReceptionPoints && !(IsSoftwareUpdate() && !IsError())) DeleteReceptionPoints();
  if (result == 0 && IsSingleTargetMode() && IsError()) result = -1;
  cycle.phase = AcceptorPhase::kEnded;
  return result;
}
