#include "moxtil/engine/RunState.h"

#include <chrono>
#include <cstdio>
#include <vector>

#include "common/output.h"
#include "moxtil/config/Options.h"
#include "moxtil/engine/Handover.h"

int _TimeOutmSecond = 0;
std::atomic<int> _IsTimeOut{0};
std::atomic<int> _swupError{0};
std::atomic<int> _currentSwupNum{0};
std::atomic<int> _totalSwupNum{0};

PROCESS_INFO process_info[kProcessSlots];
std::mutex slotLock;
std::condition_variable slotChanged;

namespace {

std::atomic<bool> stopRequested{false};
std::atomic<StopCause> stopCause{StopCause::kNone};
RunTally runTally;
std::mutex guardLock;  // over runTally.guard, fed by every transfer

// Grows with the targets served: a run of one target pays for one record.
// Never destroyed: a thread still running at exit finds it whole.
std::vector<ServedTarget>& served = *new std::vector<ServedTarget>;
std::atomic<int> servedCount{0};
std::atomic<int> finishedCount{0};

}  // namespace

int IsFirstSoftwareUpdate() { return _currentSwupNum == 0 ? 1 : 0; }

int IsSoftwareUpdate() { return _totalSwupNum > _currentSwupNum ? 1 : 0; }

int IsError() { return _swupError; }

void SoftwareUpError() { _swupError = 1; }

void CountUpSoftwareUpdate() { ++_currentSwupNum; }

void TimeOutTheUpdate() {
  _IsTimeOut = 1;
  SoftwareUpError();
}

int ThreadLimitMs() { return _TimeOutmSecond >= 1 ? _TimeOutmSecond : kNoLimitMs; }

bool IsBusy(const PROCESS_INFO& p) { return p.status != 0; }
bool HasEnded(const PROCESS_INFO& p) { return !IsBusy(p) && p.held; }
bool IsFree(const PROCESS_INFO& p) { return !IsBusy(p) && !p.held; }

int BusyCount() {
  int busy = 0;
  for (const PROCESS_INFO& slot : process_info) busy += IsBusy(slot) ? 1 : 0;
  return busy;
}

int emptyProcess() {
  int n = 0;
  while (n < kProcessSlots && !IsFree(process_info[n])) ++n;
  return n < kProcessSlots ? n : -1;
}

SlotTarget::SlotTarget(ID loader, const T_IPV4EP& peer, bool twoPrograms)
    : cepid(loader), ipaddr(peer.ipaddr), portno(peer.portno), selectFileNum(twoPrograms ? -1 : 0),
      cepidInUse(loader) {
  record.startedWallMs = WallClockMs();
  record.endedWallMs = record.startedWallMs;
}

bool TakeSlot(int n, ID cepid, const T_IPV4EP& peer) {
  std::lock_guard<std::mutex> lock(slotLock);
  if (IsStopRequested() || n < 0 || n >= kProcessSlots || !IsFree(process_info[n])) return false;
  PROCESS_INFO& slot = process_info[n];
  static_cast<SlotTarget&>(slot) = SlotTarget(cepid, peer, _targetFile[1][0] != '\0');
  slot.figures.Clear();
  if (makeProcessNo() != n) return false;  // busy from here: the first free slot is n
  slot.held = true;
  return true;
}

int makeProcessNo() {
  const int n = emptyProcess();
  if (n >= 0) process_info[n].status = -1;
  return n;
}

void cancelProcessNo(int n) {
  if (n >= 0 && n < kProcessSlots) process_info[n].status = 0;
}

void ReleaseSlot(int n) {
  if (n >= 0 && n < kProcessSlots) process_info[n].held = false;
}

int IsProcessStart() { return BusyCount() > 0 ? 1 : 0; }

int IsSingleTargetMode() { return _option == 0 ? 1 : 0; }

void UseConnection(PROCESS_INFO& p, ID cepid) {
  std::lock_guard<std::mutex> lock(slotLock);
  p.cepidInUse = cepid;
  // A cancel that came before this connection was in use still holds.
  if (cepid >= 0 && p.cancel != Cancel::kNone) tcp_can_cep(cepid);
}

namespace {

// Under slotLock.
void CancelLocked(PROCESS_INFO& p, Cancel why) {
  if (p.cancel == Cancel::kNone) p.cancel = why;
  if (p.cepidInUse >= 0) tcp_can_cep(p.cepidInUse);
  dataHandover.Cancel(p.no);
  slotChanged.notify_all();
}

}  // namespace

void CancelTransfer(PROCESS_INFO& p, Cancel why) {
  std::lock_guard<std::mutex> lock(slotLock);
  CancelLocked(p, why);
}

Cancel CancelOf(const PROCESS_INFO& p) {
  std::lock_guard<std::mutex> lock(slotLock);
  return p.cancel;
}

bool PauseUnlessCancelled(PROCESS_INFO& p, int ms) {
  std::unique_lock<std::mutex> lock(slotLock);
  return !slotChanged.wait_for(lock, std::chrono::milliseconds(ms), [&p] { return p.cancel != Cancel::kNone; });
}

void StopRun(StopCause why) {
  {
    std::lock_guard<std::mutex> lock(slotLock);  // as AbortRun
    StopCause none = StopCause::kNone;
    stopCause.compare_exchange_strong(none, why);
    stopRequested = true;
  }
  tcp_can_rep();
}

void AbortRun() {
  {
    // The acceptor marks a slot busy under this lock after it has looked at
    // the stop request: every slot is either refused there or cancelled here.
    std::lock_guard<std::mutex> lock(slotLock);
    StopCause none = StopCause::kNone;
    stopCause.compare_exchange_strong(none, StopCause::kSignal);
    stopRequested = true;
    for (PROCESS_INFO& slot : process_info) {
      if (IsBusy(slot)) CancelLocked(slot, Cancel::kAborted);
    }
  }
  tcp_can_rep();
}

bool IsStopRequested() { return stopRequested; }

StopCause StopCauseOf() { return stopCause; }

const char* StopReason() {
  switch (stopCause.load()) {
    case StopCause::kFailureGuard: return "the run is ending (failures in a row, -E): no more targets are taken";
    case StopCause::kAnnouncePortLost:
      return "the run is ending (no announce port on the interface's new address): no more targets are taken";
    default: return "the run is ending (a stop signal came): no more targets are taken";
  }
}

void TargetFigures::Clear() {
  bytesDue = -1;
  bytesSent = 0;
  bytesAcknowledgedSeen = 0;
  programStartMs = 0;
}

const RunTally& TheRunTally() { return runTally; }

void RecordServed(const PROCESS_INFO& p) {
  const TargetRecord& r = p.record;
  const int n = servedCount;
  if (n < kServedListed) served.push_back({p.ipaddr, r});
  servedCount = n + 1;
  if (r.finished) ++finishedCount;
  // A device is its hardware address, which survives its reboot; where none
  // is known, its address.
  const AddressText address = FormatAddress(p.ipaddr);
  runTally.devices.Add(r.mac[0] != '\0' ? r.mac : address.text, r.finished);
  if (r.finished) {
    runTally.times.Add(r.elapsedMs);
  } else {
    runTally.failures.Add(r.lastStatus);
  }
}

bool CountOutcome(const PROCESS_INFO& p, bool finished, const char* line) {
  const bool cancelled = CancelOf(p) != Cancel::kNone;
  const AddressText address = FormatAddress(p.ipaddr);
  const char* device = p.record.mac[0] != '\0' ? p.record.mac : address.text;
  std::lock_guard<std::mutex> lock(guardLock);
  return runTally.guard.Add(device, finished, line, cancelled);
}

int ServedCount() { return servedCount; }
int FinishedCount() { return finishedCount; }

const ServedTarget* ServedList(int* listed) {
  const int n = servedCount;
  *listed = n < kServedListed ? n : kServedListed;
  return served.data();
}

void ResetRunState() {
  _TimeOutmSecond = 0;
  _IsTimeOut = 0;
  _swupError = 0;
  _currentSwupNum = 0;
  _totalSwupNum = 0;
  stopRequested = false;
  stopCause = StopCause::kNone;
  runTally.failures.Clear();
  runTally.devices.Clear();
  runTally.times.Clear();
  runTally.guard.Arm(_option != 0 ? _failureLimit : 0);
  servedCount = 0;
  finishedCount = 0;
  served.clear();
  dataHandover.Reset();
  for (int n = 0; n < kProcessSlots; ++n) {
    process_info[n].status = 0;
    process_info[n].held = false;
    process_info[n].no = n;
  }
}
