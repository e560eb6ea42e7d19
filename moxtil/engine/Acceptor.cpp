#include "moxtil/engine/Acceptor.h"

#include <cstring>

#include "common/output.h"
#include "common/util.h"
#include "moxtil/address/InterfaceWatch.h"
#include "moxtil/config/Options.h"
#include "moxtil/engine/Handover.h"
#include "moxtil/engine/Protocol.h"
#include "moxtil/engine/Record.h"
#include "moxtil/engine/Report.h"
#include "moxtil/engine/Transfer.h"

namespace {

// The reception points live from the first cycle to the last. The driver
// reads the flag to know when it may announce.
std::atomic<bool> haveReceptionPoints{false};
ID repid_loader = -1;
ID repid_data = -1;

// A failed accept (a target that reset before it, no descriptor left) is
// tried again after this pause.
constexpr int kAcceptRetryPauseMs = 100;

const char* PortName(UH port) { return port == LoaderPort(_baseOffset) ? "loader" : "data"; }

// A busy port is told at every attempt, not only after the last. The line
// names the call itself: the errno's words alone follow.
void ReportBindRetry(UH port, int attempt, int attempts, int pauseMs) {
  printLog(stderr, "%s port %u: bind failed: %s (attempt %d of %d, next in %d %s)", PortName(port),
           static_cast<unsigned>(port), strerror(ItronErrno()), attempt, attempts,
           pauseMs >= 1000 ? pauseMs / 1000 : pauseMs, pauseMs >= 1000 ? "s" : "ms");
}

/// A listening reception point on port, or a negative ER after explaining why.
ER CreateReceptionPoint(UH port) {
  const T_TCP_CREP crep = {0, {0, port}};  // every local address: a new one of the host's needs nothing
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
  const int limitMs = ThreadLimitMs();
  bool accepting = true;
  // How long the acceptor waits for the next target while none is served:
  // the limit of the loader accept (-T), started again after a foreign
  // target was dropped, and with -M each time the last target was served.
  Deadline acceptBy = Deadline::Limit(limitMs);
  int taken = 0;         // targets taken in this cycle
  bool wasBusy = false;  // a target was served at the last look
};

void StopAccepting(Acceptance& a, AcceptorEnding why) {
  a.accepting = false;
  a.cycle.ending = why;
  a.cycle.phase = AcceptorPhase::kServing;
}

/// A new connection on repid, in a new endpoint: true, or false after
/// explaining why and pausing.
bool AcceptFrom(ID repid, ID* cepid, T_IPV4EP* peer) {
  const T_TCP_CCEP ccep = {0, nullptr, 0, nullptr, 0, nullptr};  // the kernel's buffers carry the stream
  *cepid = tcp_vcre_cep(&ccep);
  const ER result = *cepid < 0 ? *cepid : tcp_acp_cep(*cepid, repid, peer, TMO_POL);
  const bool accepted = result == E_OK;
  // E_TMOUT: gone again since the wait said it was there; nothing to say.
  const bool failed = !accepted && result != E_TMOUT;
  if (failed) {
    const UH port = repid == repid_loader ? LoaderPort(_baseOffset) : DataPort(_baseOffset);
    printLog(stderr, "%s port %u: accept failed: %s; trying again", PortName(port), static_cast<unsigned>(port),
             ItronReason());
  }
  if (!accepted && *cepid >= 0) tcp_del_cep(*cepid);
  if (failed) Sleep(kAcceptRetryPauseMs);
  return accepted;
}

/// A connection that is not served: closed at once (a reset: nothing on it
/// was acknowledged) and its ID given back.
void DropConnection(ID cepid) {
  tcp_cls_cep(cepid, 0);
  tcp_del_cep(cepid);
}

// ---- data connections

/// A device's hardware address where it can be read and matters: with
/// several targets it pairs a data connection with its transfer, and a
/// record names each device by it. "" otherwise.
void HardwareAddressOf(UW ipaddr, char mac[kHardwareAddressSize]) {
  const bool wanted = !IsSingleTargetMode() || RecordActive();
  if (!wanted || !LookUpHardwareAddress(ipaddr, mac)) mac[0] = '\0';
}

/// Gives a new data connection to the transfer of the device it came from
/// (Handover.h says how that is found). One that is for no transfer is
/// reset at once, with why: kept, it would reach a target that did not ask
/// for it.
void TakeDataConnection() {
  ID cepid;
  T_IPV4EP peer = {0, 0};
  if (!AcceptFrom(repid_data, &cepid, &peer)) return;
  char mac[kHardwareAddressSize];
  HardwareAddressOf(peer.ipaddr, mac);
  const Choice choice = dataHandover.Offer(cepid, peer, mac, IsSingleTargetMode() != 0);
  if (choice.slot >= 0) return;
  printLog(stderr, "data connection from %s reset: %s", FormatAddress(peer.ipaddr, peer.portno).text, choice.why);
  DropConnection(cepid);
}

// ---- transfers

/// The last steps of a slot's end, once its transfer ended (EndTransfer took
/// the first): its record kept, for the summary and the record, then the
/// slot free.
void KeepRecordAndRelease(PROCESS_INFO& p) {
  RecordServed(p);
  RecordTargetEnd(p);
  ReleaseSlot(p.no);
}

AcceptorEnding StoppedBy() {
  return StopCauseOf() == StopCause::kFailureGuard ? AcceptorEnding::kFailureGuard : AcceptorEnding::kSignal;
}

/// Waits for the transfer thread of slot p (where one started) and keeps
/// what came of it: true when its target was served to the end.
bool WaitForTransfer(PROCESS_INFO& p) {
  int exitValue = -1;
  const bool joined = p.threadStarted && JoinThread(p.thread, &exitValue) == 0;
  KeepRecordAndRelease(p);
  return joined && exitValue >= 0;
}

/// Waits for the transfer of slot p once it has ended. In single-target
/// mode a failed target ends the update.
void ReapSlot(PROCESS_INFO& p) {
  if (!HasEnded(p)) return;
  const bool served = WaitForTransfer(p);
  if (IsSingleTargetMode() && !served) SoftwareUpError();
}

void ReapEnded() {
  for (PROCESS_INFO& p : process_info) ReapSlot(p);
}

// How recent an acknowledgement of bytes in flight shows a device alive.
constexpr int kAliveAckMs = 1000;

/// Whether the device of target p is evidently alive: its TCP acknowledged
/// bytes of ours within kAliveAckMs while more are in flight. A device that
/// rebooted acknowledges nothing more on its old connections. Where the
/// kernel does not tell (an emulator's cut TCP_INFO), it is taken as alive:
/// its transfer then ends by its own bounds, as before.
bool EvidentlyAlive(const PROCESS_INFO& p) {
  std::lock_guard<std::mutex> lock(slotLock);  // the connection stays p's meanwhile
  if (p.cepidInUse < 0 || tcp_ref_cep(p.cepidInUse) <= 0) return false;
  const ER ackAge = tcp_ref_ack(p.cepidInUse);
  return ackAge < 0 || ackAge < kAliveAckMs;
}

/// A loader connection from peer whose device has the hardware address of
/// target p, served from another address: told, and recorded, since units
/// shipped with one cloned MAC must not pass for one device. Where p's
/// device is evidently alive, they are two devices, both served; else p's
/// device started over from a new address: true then.
bool StartedOverElsewhere(const PROCESS_INFO& p, const T_IPV4EP& peer, const char* mac) {
  const bool two = EvidentlyAlive(p);
  char why[320];
  if (two) {
    snprintf(why, sizeof why, "hardware address %s on two targets served at once, %s and %s: two devices with one "
             "address? the summary counts them as one device", mac, FormatAddress(p.ipaddr).text,
             FormatAddress(peer.ipaddr).text);
  } else {
    snprintf(why, sizeof why, "hardware address %s at %s while target %s with it is being served: the device "
             "started over from a new address; the earlier transfer ends", mac, FormatAddress(peer.ipaddr).text,
             FormatAddress(p.ipaddr).text);
  }
  printLog(stderr, "%s", why);
  RecordWarning("same_mac", why, FormatAddress(peer.ipaddr).text, mac, FormatAddress(p.ipaddr).text);
  return !two;
}

/// A loader connection from the device of a target still being served (its
/// address, or its hardware address where it came from a new address and
/// the earlier device is silent): that device started over. Its transfer
/// ends (it says so), and its thread is waited for, so that its lines come
/// before the new connection's.
void SupersedeEarlier(const T_IPV4EP& peer, const char* mac) {
  for (PROCESS_INFO& p : process_info) {
    if (!IsBusy(p)) continue;
    const bool sameAddress = p.ipaddr == peer.ipaddr;
    if (!sameAddress && (mac[0] == '\0' || strcmp(p.record.mac, mac) != 0)) continue;
    if (!sameAddress && !StartedOverElsewhere(p, peer, mac)) continue;
    CancelTransfer(p, Cancel::kStartedOver);
    WaitForTransfer(p);
  }
}

/// A loader connection that is not served: reset, so that its target does
/// not take the nothing it got for a loader.
void RefuseLoaderConnection(ID cepid, const T_IPV4EP& peer, const char* why) {
  printLog(stderr, "loader connection from %s reset: %s", FormatAddress(peer.ipaddr, peer.portno).text, why);
  DropConnection(cepid);
}

/// A transfer thread that cannot start (err): its target ends as a
/// transfer does, and its slot at once, with no thread to wait for.
void EndUnstarted(PROCESS_INFO& slot, ID cepid, const T_IPV4EP& peer, int err) {
  const AddressText from = FormatAddress(peer.ipaddr, peer.portno);
  TargetRecord& r = slot.record;
  snprintf(r.why, sizeof r.why, "transfer for %s: thread cannot start: %s", from.text, strerror(err));
  UseConnection(slot, -1);  // before the ID may go to another connection
  DropConnection(cepid);
  EndTransfer(slot, status::kSubProcessFailed, from.text);
  ReapSlot(slot);
}

/// Serves the target of a loader connection, whose device has the hardware
/// address mac, in the first free slot: its lines, its record and its
/// transfer thread. Once a stop signal came, none is taken any more.
void TakeTarget(Acceptance& a, ID cepid, const T_IPV4EP& peer, const char* mac) {
  // Only the acceptor marks a slot busy, and a slot is free only once it
  // has waited for its last thread: the free slot is taken whole.
  const int n = emptyProcess();
  if (!TakeSlot(n, cepid, peer)) {
    RefuseLoaderConnection(cepid, peer, StopReason());
    StopAccepting(a, StoppedBy());
    return;
  }
  PROCESS_INFO& slot = process_info[n];
  ++a.taken;

  if (!IsSingleTargetMode() || IsFirstSoftwareUpdate()) TargetStatus(slot, status::kConnect);
  TargetLog(slot, "loader connection from %s", FormatAddress(peer.ipaddr, peer.portno).text);
  snprintf(slot.record.mac, sizeof slot.record.mac, "%s", mac);
  dataHandover.Begin(n, peer.ipaddr, mac);
  RecordTargetBegin(slot);
  const int started = CreateThread(kEngineThreadStackSize, process2, &slot, &slot.thread);
  slot.threadStarted = started == 0;
  if (started != 0) EndUnstarted(slot, cepid, peer, started);
  if (IsSingleTargetMode()) {
    StopAccepting(a, AcceptorEnding::kServed);
  } else if (_targetLimit > 0 && a.taken >= _targetLimit) {
    StopAccepting(a, AcceptorEnding::kCount);
  }
}

// The acceptor's own looks at the interface of -i.
InterfaceWatch interfaceWatch;

/// Whether the loader connection cepid from peer came by the interface of
/// -i, where the devices are: to an address of that interface, or of none.
/// One to another interface's address (a scan on the station's office
/// network, say) is no target: reset, said in one line, and not counted.
/// Where -i names no interface with an address, the announces go from
/// every local address, and no connection is refused for it.
bool CameByTheInterface(ID cepid, const T_IPV4EP& peer) {
  T_IPV4EP local = {0, 0};
  char owner[InterfaceWatch::kInterfaceNameSize];
  if (tcp_ref_myaddr(cepid, &local) != E_OK || !interfaceWatch.OwnerOf(local.ipaddr, owner) ||
      strcmp(owner, ifname) == 0 || interfaceWatch.Look(ifname).address == 0) {
    return true;
  }
  printLog(stderr, "loader connection from %s to %s reset: it came by the interface %s, not by %s; no target of this "
           "station", FormatAddress(peer.ipaddr, peer.portno).text, FormatAddress(local.ipaddr).text, owner, ifname);
  DropConnection(cepid);
  return false;
}

/// The next loader connection. One that did not come by the interface of
/// -i, or (in unicast mode) from another address, is closed unserved.
void TakeLoaderConnection(Acceptance& a) {
  ID cepid;
  T_IPV4EP peer = {0, 0};
  if (!AcceptFrom(repid_loader, &cepid, &peer) || !CameByTheInterface(cepid, peer)) return;
  // A foreign host does not restart the clock: one that kept connecting
  // would keep the run from its time limit for ever.
  if (_unicast && peer.ipaddr != _dstIP) {
    printLog(stderr, "loader connection from %s dropped: only %s is served (-D)",
             FormatAddress(peer.ipaddr, peer.portno).text, FormatAddress(_dstIP).text);
    DropConnection(cepid);
    return;
  }
  if (IsStopRequested()) {
    RefuseLoaderConnection(cepid, peer, StopReason());
    return;
  }
  // Its address may change across its reboot; its hardware address does not.
  char mac[kHardwareAddressSize];
  HardwareAddressOf(peer.ipaddr, mac);
  if (!IsSingleTargetMode()) SupersedeEarlier(peer, mac);
  TakeTarget(a, cepid, peer, mac);
}

/// Whether the cycle is over, looked at before each wait while `busy`
/// tells whether a target is being served: with -M once no more targets are
/// taken and none is served, or when none came for -T (idle); in either mode
/// when no target came within -T at all (the update times out).
bool CycleOver(Acceptance& a, bool busy) {
  if (a.accepting && IsStopRequested()) StopAccepting(a, StoppedBy());
  if (!a.accepting && !busy) return true;
  if (a.wasBusy && !busy) a.acceptBy = Deadline::Limit(a.limitMs);  // -M: idle from now on
  a.wasBusy = busy;
  if (!a.accepting || busy || !a.acceptBy.Passed()) return false;
  if (IsSingleTargetMode() || a.taken == 0) {
    TimeOutTheUpdate();
  } else {
    printLog(stderr, "no target connected for %d s and none is being served: the run ends", TimeOutSeconds());
    a.cycle.ending = AcceptorEnding::kIdle;
  }
  return true;
}

/// Until when the next wait may last: the limit of the loader accept while
/// none is served, and on a terminal or with a record no longer than their
/// refresh.
Deadline NextLook(const Acceptance& a, bool busy, bool viewing, bool recording) {
  Deadline until = a.accepting && !busy ? a.acceptBy : Deadline::Never();
  const int tickMs = viewing ? kLiveViewRefreshMs : kRecordProgressMs;
  if ((viewing || recording) && (until.IsNever() || until.LeftMs() > tickMs)) until = Deadline::In(tickMs);
  return until;
}

/// One wait on the ports, woken early by every change (a transfer that ends
/// or asks for its data connection, a stop), and what came of it. The data
/// port is always watched: a data connection is handed over, or refused, as
/// it comes; the loader port while a target can be taken.
void WaitAndTake(Acceptance& a, bool busy) {
  ID reps[2];
  INT count = 0;
  const bool wantLoader = a.accepting && emptyProcess() >= 0;
  if (wantLoader) reps[count++] = repid_loader;
  reps[count++] = repid_data;
  const bool viewing = LiveViewShowsTargets();
  const bool recording = RecordShowsTargets();
  const ER ready = tcp_wai_rep(reps, count, TmoUntil(NextLook(a, busy, viewing, recording)));
  if (viewing) RefreshLiveView();
  if (recording) RecordProgressOfTargets();
  if (ready == repid_loader && wantLoader) {
    TakeLoaderConnection(a);
  } else if (ready == repid_data) {
    TakeDataConnection();
  } else if (ready != E_TMOUT && ready != E_RLWAI) {
    printLog(stderr, "waiting for targets failed: %s; trying again", ItronReason());
    Sleep(kAcceptRetryPauseMs);
  }
}

/// Takes targets and serves them until the cycle is over.
void ServeTargets(Acceptance& a) {
  for (;;) {
    // Busy looked at first, then the ended reaped: a transfer that ends in
    // between is counted busy on this pass and reaped on this or the next,
    // never left to the clean-up.
    const bool busy = IsProcessStart() != 0;
    ReapEnded();
    if (CycleOver(a, busy)) return;
    WaitAndTake(a, busy);
  }
}

}  // namespace

bool ReceptionPointsListen() { return haveReceptionPoints; }

void CloseReceptionPoints() {
  if (haveReceptionPoints) DeleteReceptionPoints();
}

void AcceptorReset() {
  haveReceptionPoints = false;
  repid_loader = -1;
  repid_data = -1;
}

void WakeAcceptor() { tcp_can_rep(); }

int process1(void* arg) {
  AcceptorCycle unwatched;
  AcceptorCycle& cycle = arg != nullptr ? *static_cast<AcceptorCycle*>(arg) : unwatched;
  Acceptance a(cycle);
  if (haveReceptionPoints || CreateReceptionPoints()) {
    // -T counts from the first moment a target can be invited, not from
    // before the bind retries of a busy port.
    a.acceptBy = Deadline::Limit(a.limitMs);
    cycle.phase = AcceptorPhase::kAccepting;
    ServeTargets(a);
  } else {
    SoftwareUpError();
    ConsoleOut(status::kReceptionPointFailed);
  }
  // One way out, whatever ended the cycle (no transfer runs by then): every
  // transfer waited for, no connection left open. The reception points stay
  // for the driver, which alone knows whether another row follows.
  ReapEnded();
  const bool failed = _IsTimeOut || (IsSingleTargetMode() && IsError()) || !haveReceptionPoints;
  cycle.phase = AcceptorPhase::kEnded;
  return failed ? -1 : 0;
}
