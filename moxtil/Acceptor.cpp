#include "moxtil/Acceptor.h"

#include <atomic>
#include <cstring>

#include "common/util.h"
#include "moxtil/GetMyIPAddr.h"
#include "moxtil/Itron.h"
#include "moxtil/Options.h"
#include "moxtil/Output.h"
#include "moxtil/Protocol.h"
#include "moxtil/RunState.h"
#include "moxtil/Transfer.h"

namespace {

// The reception points live from the first cycle to the last. The driver
// reads the flag to know when it may announce.
std::atomic<bool> haveReceptionPoints{false};
ID repid_loader = -1;
ID repid_data = -1;

SlotBuffers buffers[kProcessSlots];

// A failed accept (a target that reset before it, no descriptor left) is
// tried again after this pause.
constexpr int kAcceptRetryPauseMs = 100;

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

/// Accepts the next loader connection into a new endpoint for slot
/// clientNum: E_OK with *cepid connected, or E_TMOUT once tmo has run out.
/// Failed accepts are retried within the same limit.
ER AcceptLoaderConnection(int clientNum, TMO tmo, ID* cepid, T_IPV4EP* dstaddr) {
  const int64_t deadline = tmo == TMO_FEVR ? 0 : MonotonicMs() + static_cast<int64_t>(tmo) * 10;
  for (;;) {
    TMO left = tmo;
    if (tmo != TMO_FEVR) {
      int64_t ms = deadline - MonotonicMs();
      left = ms > 0 ? static_cast<TMO>((ms + 9) / 10) : 0;
    }
    T_TCP_CCEP ccep = ConnectionRecord(buffers[clientNum]);
    *cepid = tcp_vcre_cep(&ccep);
    ER result = *cepid < 0 ? *cepid : tcp_acp_cep(*cepid, repid_loader, dstaddr, left);
    if (result == E_OK || result == E_TMOUT) return result;
    printLog(stderr, "loader port %u: accept failed: %s; trying again", static_cast<unsigned>(LoaderPort(_baseOffset)),
             ItronReason());
    if (*cepid >= 0) tcp_del_cep(*cepid);
    if (tmo != TMO_FEVR && MonotonicMs() >= deadline) return E_TMOUT;
    Sleep(kAcceptRetryPauseMs);
  }
}

}  // namespace

bool ReceptionPointsListen() { return haveReceptionPoints; }

void AcceptorReset() {
  haveReceptionPoints = false;
  repid_loader = -1;
  repid_data = -1;
}

int process1(void* arg) {
  (void)arg;
  if (!haveReceptionPoints && !CreateReceptionPoints()) {
    SoftwareUpError();
    ConsoleOut(status::kReceptionPointFailed);
    return -1;
  }

  const TMO tmo = ThreadTimeOut();
  bool timedOut = false;
  ID cepid = -1;
  for (;;) {
    int clientNum;
    while ((clientNum = emptyProcess()) < 0) Sleep(100);

    T_IPV4EP dstaddr = {0, 0};
    if (AcceptLoaderConnection(clientNum, tmo, &cepid, &dstaddr) == E_TMOUT) {
      // The time-out flag goes first: whoever sees the error flag sees both.
      _IsTimeOut = 1;
      SoftwareUpError();
      timedOut = true;
      break;
    }
    const AddressText peer = FormatAddress(dstaddr.ipaddr, dstaddr.portno);
    if (_unicast && dstaddr.ipaddr != _dstIP) {
      printLog(stderr, "loader connection from %s dropped: only %s is served (-D)", peer.text,
               FormatAddress(_dstIP).text);
      tcp_cls_cep(cepid, 0);
      tcp_del_cep(cepid);
      continue;
    }

    int n = makeProcessNo();
    if (n < 0) {
      SoftwareUpError();
      tcp_cls_cep(cepid, 0);
      tcp_del_cep(cepid);
      DeleteReceptionPoints();
      printLog(stderr, "loader connection from %s: no free transfer slot", peer.text);
      ConsoleOut(status::kNoProcessNo);
      return -1;
    }
    if (IsFirstSoftwareUpdate()) ConsoleOut(status::kConnect);
    printLog(stderr, "loader connection from %s", peer.text);

    PROCESS_INFO& slot = process_info[n];
    slot.no = n;
    slot.cepid = cepid;
    slot.repid = repid_data;
    slot.ipaddr = dstaddr.ipaddr;
    slot.portno = dstaddr.portno;
    slot.selectFileNum = _targetFile[1][0] != '\0' ? -1 : 0;

    pthread_t transfer;
    const int started = CreateThread(kMinThreadStackSize, process2, &slot, &transfer);
    if (started != 0) {
      printLog(stderr, "transfer for %s: thread cannot start: %s", peer.text, strerror(started));
      ConsoleOut(status::kSubProcessFailed);
      tcp_cls_cep(cepid, 0);
      cancelProcessNo(n);
      SoftwareUpError();
      break;
    }
    if (IsSingleTargetMode()) {
      int exitValue = 0;
      if (JoinThread(transfer, &exitValue) != 0 || exitValue < 0) SoftwareUpError();
      break;
    }
  }

  if (!(IsSoftwareUpdate() && !IsError())) {
    tcp_del_cep(cepid);
    DeleteReceptionPoints();
    if (IsError()) return timedOut ? kAcceptorTimedOut : -1;
  }
  return 0;
}
