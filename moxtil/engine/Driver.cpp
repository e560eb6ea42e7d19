#include "moxtil/engine/Driver.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "common/output.h"
#include "common/util.h"
#include "moxtil/engine/Acceptor.h"
#include "moxtil/config/FileList.h"
#include "moxtil/address/GetMyIPAddr.h"
#include "moxtil/address/InterfaceWatch.h"
#include "moxtil/itron/Itron.h"
#include "moxtil/config/Options.h"
#include "moxtil/engine/Protocol.h"
#include "moxtil/engine/Record.h"
#include "moxtil/engine/Report.h"
#include "moxtil/engine/RunState.h"

namespace {

constexpr char kTitleLine[] = "Loads a loader, an ID code and a target program into target devices on the LAN";
constexpr int kAnnounceIntervalMs = 100;
constexpr int kAnnounceFailurePauseMs = 2000;

struct Acceptor {
  AcceptorCycle cycle;
  pthread_t thread;
  bool running;
  int exitValue;
};

void JoinAcceptor(Acceptor& acceptor) {
  if (!acceptor.running) return;
  acceptor.exitValue = -1;
  JoinThread(acceptor.thread, &acceptor.exitValue);
  acceptor.running = false;
}

/// Waits for the acceptor once it says the cycle is over, and then returns 1:
/// in single-target mode as soon as it has taken its target (so that no
/// invitation goes out while a target is served), with -M when it has ended.
/// Its failure sets the error flag. 0, without waiting, before then.
int JoinAcceptorOnceCycleOver(Acceptor& acceptor) {
  const AcceptorPhase phase = acceptor.cycle.phase;
  if (IsSingleTargetMode() ? phase < AcceptorPhase::kServing : phase != AcceptorPhase::kEnded) return 0;
  JoinAcceptor(acceptor);
  if (acceptor.exitValue < 0) SoftwareUpError();
  return 1;
}

// With several targets a signal asks the run to end: the first stops taking
// targets, the second ends those being served at once. The driver alone
// takes SIGINT and SIGTERM, in its waits between announces; every thread
// blocks them, so a signal only ever reaches ordinary code.
sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

void TakeStopSignal(int sig, int* taken) {
  const int busy = BusyCount();
  const bool one = busy == 1;
  if (++*taken == 1) {
    printLog(stderr, "%s: no more targets are taken; the %d being served finish%s first (a second signal ends %s "
             "at once)", strsignal(sig), busy, one ? "es" : "", one ? "it" : "them");
    StopRun();
    return;
  }
  printLog(stderr, "second signal (%s): the run ends at once; the connection%s of the %d target%s being served %s "
           "closed", strsignal(sig), one ? "" : "s", busy, one ? "" : "s", one ? "is" : "are");
  AbortRun();
  // Whatever still holds the run up, a further signal ends the program.
  const sigset_t set = StopSignals();
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

// The stop signals taken so far in this run: the driver's alone.
int signalsTaken = 0;

/// The pause between announces; with -M it takes the stop signals.
void WaitBetweenAnnounces() {
  if (IsSingleTargetMode() || signalsTaken >= 2) {
    Sleep(kAnnounceIntervalMs);
    return;
  }
  const sigset_t set = StopSignals();
  const timespec wait = {0, kAnnounceIntervalMs * 1000000L};
  const int sig = sigtimedwait(&set, nullptr, &wait);
  if (sig > 0) TakeStopSignal(sig, &signalsTaken);
}

/// Waits for the acceptor of a cycle to end. With -M its targets may take
/// long, and the stop signals, which every thread blocks, are taken
/// meanwhile: whatever ended the announces (a lost announce port among
/// them), a signal still stops the run.
void AwaitAcceptor(Acceptor& acceptor) {
  while (!IsSingleTargetMode() && acceptor.running && acceptor.cycle.phase != AcceptorPhase::kEnded) {
    WaitBetweenAnnounces();
  }
  JoinAcceptor(acceptor);
}

// ---- the interface, followed by a station (and between the rows of a list)

// How often a station looks at its interface: a change is acted on within
// about half a second, and a look is two system calls.
constexpr int kInterfaceLookMs = 500;

// The driver's view of its interface, the driver's alone. With -M one cycle
// lasts all day, and the interface may change under it: a new address, a
// link that drops, an adapter unplugged. The reception points listen on
// every local address and need nothing; the announce endpoint is bound to
// the interface's address and is made again on the new one. `bound` is the
// one place that tells the host's address: the my-address line, the record
// and the announce endpoint all take it from here.
struct Network {
  InterfaceState seen;   // the last look acted on
  UW bound = 0;          // the host's address, the announce endpoint's; 0 every local address
  int lookupErrno = 0;   // why the first lookup found none
  bool away = false;     // the interface is down or without an address: announces pause
  int64_t lookedAt = -1; // when it was last looked at (MonotonicMs)
  bool lost = false;     // the announce endpoint could not be made again: the run ends
  int changes = 0;       // changes acted on so far
};
Network network;
InterfaceWatch watch;  // the looks of `network`: one socket for the run

/// The cycle's UDP endpoint on the announce port, bound to network.bound,
/// or a negative ER.
ER OpenAnnounceEndpoint(bool firstCycle) {
  T_UDP_CCEP pk_ccep = {0, {network.bound, AnnouncePort(_baseOffset)}, nullptr};
  if (!_reuse_addr) return udp_vcre_cep(&pk_ccep);
  if (firstCycle) printLog(stderr, "reuse addr");
  return udp_vcre_cep_reuseaddr(&pk_ccep);
}

/// The announce endpoint could not be opened on network.bound: said as at
/// the start of a cycle, and the update ends.
void ReportAnnounceEndpointFailure() {
  const unsigned port = AnnouncePort(_baseOffset);
  const char* why = ItronReason();
  const bool taken = ItronErrno() == EADDRINUSE;
  printLog(stderr, "announce port %u on %s: cannot open the UDP endpoint: %s", port,
           FormatAddress(network.bound).text, why);
  printLog(stderr, "--- error(udp_vcre_cep)");
  // Another program on this host holds the port (a simulator, a second
  // station): -b shares it with one that allows that.
  if (taken && !_reuse_addr) {
    printLog(stderr, "announce port %u: another program holds it; -b shares it with a program that allows "
             "sharing", port);
  } else if (taken) {
    printLog(stderr, "announce port %u: the program that holds it does not share it, even with -b", port);
  }
  printLog(stderr, "no target can be invited without the announce port %u (%s): the update ends", port, why);
  ConsoleOut(status::kUdpEndpointFailed);
  SoftwareUpError();
}

void PrintMyAddress() {
  const UW address = network.bound;
  const char* why = strerror(network.lookupErrno);
  if (network.away && !network.seen.up) {
    printLog(stderr, "interface %s: is down; waiting", ifname);
  } else if (network.away) {
    printLog(stderr, "interface %s: no IPv4 address (%s); waiting for one", ifname, why);
  } else if (address == 0) {
    printLog(stderr, "interface %s: no IPv4 address (%s); announcing from every local address", ifname, why);
  }
  printLog(stderr, ">>my IPaddress=%s", FormatAddress(address).text);
}

/// The address of the first cycle, as the program has always taken it; a
/// station also takes its first look at the interface. An interface that is
/// there but down or without an address pauses the announces; one that is
/// not there at all (a name of no interface) announces from every local
/// address, as always.
void TakeFirstAddress() {
  network.bound = GetMyIPAddr(ifname);
  network.lookupErrno = network.bound == 0 ? errno : 0;
  if (IsSingleTargetMode()) return;
  network.seen = watch.Look(ifname);
  network.lookedAt = MonotonicMs();
  network.away = network.seen.exists && !IsUsable(network.seen);
}

/// The line of an address taken after before (0: none, announcing from
/// every local address), or of the interface back with the same one.
void TellAddress(UW before, UW address) {
  RecordInterfaceChange(before == 0 || before == address ? "back" : "new_address", address);
  if (before != 0 && before != address) {
    printLog(stderr, "interface %s: address %s -> %s; announcing and listening on the new address", ifname,
             FormatAddress(before).text, FormatAddress(address).text);
  } else if (before == 0) {
    printLog(stderr, "interface %s: has the address %s; announcing and listening on it", ifname,
             FormatAddress(address).text);
  } else {
    printLog(stderr, "interface %s: is back with the address %s; announcing again", ifname,
             FormatAddress(address).text);
  }
}

/// Between the rows of a file list: the interface's address now. A new one
/// is said and announced from; none leaves the last one in use.
void TakeAddressOfRow() {
  const InterfaceState now = watch.Look(ifname);
  if (now.address != 0 && now.address != network.bound) {
    TellAddress(network.bound, now.address);
    network.bound = now.address;
  }
  if (!IsSingleTargetMode()) {
    network.seen = now;
    network.away = now.exists && !IsUsable(now);
  }
}

/// The announce endpoint made again on network.bound: false after saying
/// why it cannot be, and the update ends.
bool ReopenAnnounceEndpoint(ER* cepid) {
  if (*cepid >= 0) udp_del_cep(*cepid);
  *cepid = OpenAnnounceEndpoint(false);
  if (*cepid >= 0) return true;
  ReportAnnounceEndpointFailure();
  network.lost = true;
  StopRun(StopCause::kAnnouncePortLost);  // no more targets; those being served finish
  return false;
}

/// The interface is usable again, or has a new address: the announce
/// endpoint on it, and one line that says so.
void FollowToAddress(ER* cepid, UW address) {
  const UW before = network.bound;
  network.bound = address;
  if (ReopenAnnounceEndpoint(cepid)) TellAddress(before, address);
}

/// With -M: acts on what changed on the interface since the last look, once
/// every kInterfaceLookMs (at once with now). False while announces pause.
bool FollowInterface(ER* cepid, bool now) {
  const int64_t at = MonotonicMs();
  if (IsSingleTargetMode() || network.lost) return !network.lost;
  if (!now && network.lookedAt >= 0 && at - network.lookedAt < kInterfaceLookMs) return !network.away;
  network.lookedAt = at;
  const InterfaceState look = watch.Look(ifname);
  const InterfaceChange change = ChangeOf(network.seen, look);
  network.seen = look;
  if (change != InterfaceChange::kNone) ++network.changes;
  switch (change) {
    case InterfaceChange::kDown:
      network.away = true;
      printLog(stderr, "interface %s: is down; waiting", ifname);
      RecordInterfaceChange("down", 0);
      break;
    case InterfaceChange::kNoAddress:
      network.away = true;
      printLog(stderr, "interface %s: lost its address; waiting for one", ifname);
      RecordInterfaceChange("no_address", 0);
      break;
    case InterfaceChange::kNewAddress:
    case InterfaceChange::kBack:
      network.away = false;
      FollowToAddress(cepid, look.address);
      break;
    case InterfaceChange::kNone:
      break;
  }
  return !network.away && !network.lost;
}

/// One announce datagram, where it can be answered: both reception points
/// listen (a busy port may take the acceptor a while), the acceptor takes
/// targets, a slot is free, and the station's interface is there (its
/// absence is said once, not at every announce that would fail).
void AnnounceOnce(ER* cepid, const Acceptor& acceptor, const unsigned char* datagram) {
  const T_IPV4EP dstaddr = {_unicast ? _dstIP : kBroadcastAddress, AnnouncePort(_baseOffset)};
  const bool taking = acceptor.cycle.phase <= AcceptorPhase::kAccepting;
  const bool present = FollowInterface(cepid, false);
  const int changes = network.changes;
  if (!(present && ReceptionPointsListen() && taking && emptyProcess() >= 0)) return;
  if (udp_snd_dat(*cepid, &dstaddr, datagram, static_cast<INT>(kDatagramSize), 0) >= 0) return;
  // A failure that a change of the interface explains was said with it.
  if (!FollowInterface(cepid, true) || network.changes != changes) return;
  printLog(stderr, "announce to %s: send failed: %s", FormatAddress(dstaddr.ipaddr, dstaddr.portno).text,
           ItronReason());
  printLog(stderr, "--- error(udp_snd_dat)");
  Sleep(kAnnounceFailurePauseMs);
}

/// The restart datagram of -I, once a cycle, as soon as it can be answered.
/// False while it is still to be sent.
bool SendRestart(ER cepid) {
  if (!ReceptionPointsListen() || network.away || network.lost) return false;
  unsigned char resetbuf[32] = {};
  MakeRestartDatagram(resetbuf);
  const T_IPV4EP reset_dstaddr = {_resetIP, AnnouncePort(_baseOffset)};
  if (udp_snd_dat(cepid, &reset_dstaddr, resetbuf, static_cast<INT>(kDatagramSize), 0) < 0) {
    printLog(stderr, "restart datagram to %s: send failed: %s",
             FormatAddress(reset_dstaddr.ipaddr, reset_dstaddr.portno).text, ItronReason());
    printLog(stderr, "--- error(udp_snd_dat)(@ reset command)");
  }
  return true;
}

/// Announces until the cycle's targets have been served, or an error or a
/// time-out ends the update.
void Announce(ER* cepid, Acceptor& acceptor) {
  unsigned char buf[32] = {};
  MakeAnnounceDatagram(buf);
  bool restartDue = _reset != 0;
  for (;;) {
    AnnounceOnce(cepid, acceptor, buf);
    if (JoinAcceptorOnceCycleOver(acceptor) || IsError()) return;
    if (restartDue) restartDue = !SendRestart(*cepid);
    WaitBetweenAnnounces();
    if (IsError()) return;
  }
}

/// What ended the run, as the record tells it.
const char* EndedBy(int result, AcceptorEnding ending) {
  if (_IsTimeOut) return "time_out";
  if (result < 0 || (IsSingleTargetMode() && IsError()) || network.lost) return "error";
  switch (ending) {
    case AcceptorEnding::kCount: return "count";
    case AcceptorEnding::kSignal: return "signal";
    case AcceptorEnding::kFailureGuard: return "failure_guard";
    case AcceptorEnding::kIdle: return "idle";
    case AcceptorEnding::kServed: return "done";
    default: break;
  }
  return IsError() ? "error" : "done";
}

/// The acceptor of a cycle started: false after saying why it cannot be,
/// and the update ends.
bool StartAcceptor(Acceptor& acceptor) {
  const int started = CreateThread(kEngineThreadStackSize, process1, &acceptor.cycle, &acceptor.thread);
  acceptor.running = started == 0;
  if (started == 0) return true;
  printLog(stderr, "failed to the preparation of the main process!");
  printLog(stderr, "acceptor thread cannot start: %s", strerror(started));
  ConsoleOut(status::kMainProcessFailed);
  SoftwareUpError();
  return false;
}

/// One update cycle for the current file set: why its acceptor took no more
/// targets. A cycle that cannot announce or accept ends the update:
/// retrying it would fail the same way.
AcceptorEnding RunCycle(bool firstCycle) {
  if (!firstCycle && _filelist) TakeAddressOfRow();
  ER cepid = OpenAnnounceEndpoint(firstCycle);
  if (cepid < 0) {
    ReportAnnounceEndpointFailure();
    return AcceptorEnding::kNone;
  }
  Acceptor acceptor = {};
  if (StartAcceptor(acceptor)) {
    if (firstCycle) PrintMyAddress();
    Announce(&cepid, acceptor);
    // The acceptor ends by itself once the loop is left; waiting for it here
    // keeps it from outliving the cycle.
    AwaitAcceptor(acceptor);
  }
  if (_IsTimeOut) {
    printLog(stderr, "Update Request has been canceled (_timeout).");
    printLog(stderr, "no target connected to the loader port %u within %d s",
             static_cast<unsigned>(LoaderPort(_baseOffset)), TimeOutSeconds());
    ConsoleOut(status::kTimeOut);
  }
  // Each cycle gives its endpoint back, so that a file list of any length is served.
  if (cepid >= 0) udp_del_cep(cepid);
  return acceptor.cycle.ending;
}

/// The record's end, with the program's exit value: result.
int EndRecord(int result, AcceptorEnding ending) {
  RecordRunEnd(result, EndedBy(result, ending));
  RecordClose();
  return result;
}

/// The start of a run: the options taken, the run state set, the banner
/// and the record opened. 0; kParameterAnswered; -1 when the run cannot be.
int StartRun(int argc, char** argv) {
  const int taken = ParameterShell(argc, argv);
  if (taken != 0) return taken;
  ResetRunState();
  _TimeOutmSecond = 1000 * _TimeOutSecond;
  if (!IsSingleTargetMode()) {
    const sigset_t set = StopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);  // before any thread starts: they all inherit it
  }
  printLog(stderr, "%s", kVersionLine);
  printLog(stderr, "%s", kTitleLine);
  network = Network();
  signalsTaken = 0;
  // A record that cannot be kept is refused before anything is announced.
  if (_recordPath[0] != '\0' && RecordOpen(_recordPath) != 0) return -1;
  return 0;
}

/// File-list mode: the list taken and its rows counted; false after saying
/// why it cannot be served.
bool TakeFileList(const char* path) {
  StorePath(_FileListPath, path);
  if (access(_FileListPath, F_OK) != 0) {
    printLog(stderr, "loader filelist not found!");
    return false;
  }
  _totalSwupNum = GetTotalLine(_FileListPath);
  if (_totalSwupNum < 0) {
    printLog(stderr, "no file to upload. !");
    return false;
  }
  return true;
}

/// One cycle per file set until the update is over: the exit value so far
/// (-1 when a row cannot be loaded), and why the last cycle's acceptor took
/// no more targets.
int RunCycles(AcceptorEnding* ending) {
  for (bool firstCycle = true;; firstCycle = false) {
    if (_filelist && SetFilenameInFilelist(_FileListPath, _currentSwupNum + 1) != 0) {
      printLog(stderr, "file list %s: row %d cannot be loaded: %s", _FileListPath, _currentSwupNum + 1,
               FileListProblem());
      ConsoleOut(status::kFileListUnreadable);
      return -1;
    }
    if (_filelist) RecordRowBegin(_currentSwupNum + 1);
    *ending = RunCycle(firstCycle);
    // Whether another row follows is decided here alone: the reception
    // points serve it, and its device is given time to reboot first.
    const bool anotherRow = IsSoftwareUpdate() && !IsError();
    if (!anotherRow) return 0;
    if (_filelistWaitTimer >= 1) Sleep(1000 * _filelistWaitTimer);
  }
}

}  // namespace

int RunMoxtil(int argc, char** argv) {
  // A target that closes its end must fail the send, not kill the program;
  // a record that passes the file size limit fails its write the same way.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  const int started = StartRun(argc, argv);
  if (started == kParameterAnswered) return 0;
  if (started != 0) return -1;
  AcceptorEnding ending = AcceptorEnding::kNone;
  if (_filelist && !TakeFileList(argv[1])) return EndRecord(-1, ending);
  TakeFirstAddress();
  RecordRunBegin(argc, argv, network.bound);
  // The console mutex lives for the whole run: every thread that locks it
  // has been waited for before it goes.
  _hMtxConsole = util_mutex_creat("CONSOLE");
  int result = RunCycles(&ending);
  CloseReceptionPoints();
  if (!IsSingleTargetMode()) {
    PrintSummary();
    // 0 only when targets were served and every one of them finished.
    if (result == 0 && (ServedCount() == 0 || FinishedCount() < ServedCount())) result = 1;
  }
  util_mutex_t console = _hMtxConsole;
  _hMtxConsole = nullptr;
  util_mutex_destroy(console);
  return EndRecord(result, ending);
}
