// The run state and the transfer slots that the driver, the acceptor and the
// transfer threads share. Who writes each field, from which threads, and why
// that is safe, is said where it is declared.
//
// The order of the locks, for any thread that holds more than one: a lock is
// only ever taken while holding locks above it here, never one below.
//   1. viewLock (Report.cpp): the live view and which targets are in it
//   2. recordLock (Record.cpp): the record's line and file
//   3. slotLock (here): the connection a transfer uses, its cancel, the stop
//   4. _hMtxConsole, the "CONSOLE" mutex (common/output.h): two records
//      with no other between them (under recordLock: a line left out is told)
//   5. the log layer's write lock (common/): one record at a time (under
//      viewLock: the live view is drawn)
// Three more take no lock under them: the hand-over's (Handover.h), taken
// under slotLock or alone; itron::tableLock, under viewLock and slotLock or
// alone; and guardLock (RunState.cpp), over the failure guard, always alone.
#pragma once

#include <nettle/sha2.h>
#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "common/util.h"
#include "moxtil/address/HardwareAddress.h"
#include "moxtil/engine/Tally.h"
#include "moxtil/itron/Itron.h"

// The run state. The driver sets every start value before any thread starts
// (the threads' start makes them visible to them).

/// The time limit in ms (1000 x -T), 0 for none: the driver's, before any
/// thread starts; read only afterwards.
extern int _TimeOutmSecond;
/// No target came within -T: set once, by the acceptor (TimeOutTheUpdate),
/// before the error flag; the driver reads it once the acceptor has ended.
extern std::atomic<int> _IsTimeOut;
/// A failure ended the update: set by the driver (a cycle that cannot start)
/// and the acceptor (a time-out; a failed target in single-target mode),
/// never cleared during a run. An atomic flag: one store, no lock needed.
extern std::atomic<int> _swupError;
/// File-list rows loaded to the end: counted up by the transfer that
/// finishes a row (one at a time: a file list serves one target at a time),
/// read by the driver and by progress lines. An atomic count.
extern std::atomic<int> _currentSwupNum;
/// Rows of the file list, 0 outside file-list mode: the driver's, before
/// any thread starts.
extern std::atomic<int> _totalSwupNum;

/// 1 until the first file-list row has been loaded to the end.
int IsFirstSoftwareUpdate();
/// 1 while file-list rows remain; always 0 outside file-list mode.
int IsSoftwareUpdate();
/// The error flag.
int IsError();
/// Sets the error flag.
void SoftwareUpError();
/// Counts one more file-list row as done.
void CountUpSoftwareUpdate();
/// No target came within -T: the time-out flag, then the error flag, so
/// that whoever sees the error flag sees both.
void TimeOutTheUpdate();

/// The limit the acceptor and the transfer put on every accept and send:
/// the time limit in ms, or kNoLimitMs without one.
int ThreadLimitMs();
/// The time limit in whole seconds, for what is said about it.
inline int TimeOutSeconds() { return _TimeOutmSecond / 1000; }

constexpr int kProcessSlots = 10;
/// Room for a status line's text (the longest is under 50 characters).
constexpr size_t kStatusTextSize = 64;

/// Why a transfer was told to end before its time.
enum class Cancel { kNone, kStartedOver, kAborted };

/// A SHA-256 digest in lower-case hex, and its terminator.
constexpr size_t kSha256HexSize = 2 * SHA256_DIGEST_SIZE + 1;

/// How a target's data connection was paired with its transfer: by the
/// loader connection's address, by the device's hardware address, or (where
/// none can be read) by the order of the waits; none yet.
enum class PairedBy { kNone, kAddress, kMac, kOrder };

/// A transfer's progress lines held back, '\n'-ended (Report.cpp). Few
/// enough that the record of them needs no memory of its own in the log layer.
struct HeldLines {
  char text[2048];
  size_t used;
  int lines;
};

/// The figures of a target's program that the live view and the progress
/// records read while it is sent, atomics all. Its transfer alone writes
/// bytesDue, bytesSent and programStartMs. bytesAcknowledgedSeen is raised
/// by whichever thread asks the connection (AcknowledgedBytes: its
/// transfer, the acceptor for the live view and the progress records, and
/// another transfer that redraws the live view): each raise is a
/// compare-and-swap to a larger value, so the figure only grows and no
/// thread can lower what another saw.
struct TargetFigures {
  std::atomic<int64_t> bytesDue{-1};  // the program's length, once known
  std::atomic<int64_t> bytesSent{0};  // of it, handed to the connection
  std::atomic<int64_t> bytesAcknowledgedSeen{0};  // of it, the most its TCP was seen to acknowledge
  std::atomic<int64_t> programStartMs{0};
  /// A new target's: nothing known of its program yet.
  void Clear();
};

/// What is known of a target once its transfer ended: the summary, the
/// run's tally and the record's target_end are made from it, and the
/// summary keeps a copy (ServedTarget). Its transfer writes it while it
/// serves the target (the acceptor writes the hardware address at the take,
/// before the thread starts); others read it only once the transfer ended
/// (the hardware address also before: it does not change after the take).
struct TargetRecord {
  char mac[kHardwareAddressSize] = "";  // "" where the neighbour table has none
  UW dataAddr = 0;                      // the data connection's address, 0 none
  PairedBy pairedBy = PairedBy::kNone;  // how that connection was paired with this target
  bool loaderSent = false;              // the whole loader and the reboot byte acknowledged
  char loaderSha256[kSha256HexSize] = "";  // of the loader bytes sent, with a record
  int program = 0;                      // the program chosen (0 until a choice is made)
  int64_t bytesDue = -1;                // the program's length; -1: the program stage was not reached
  int64_t bytesSent = 0;                // of it
  int64_t bytesAcknowledged = -1;       // of it, as asked at its end: -1 unknown
  char programSha256[kSha256HexSize] = "";  // of a program sent whole, where known, with a record
  int64_t elapsedMs = 0;                // program stage, from its start to the last acknowledgement
  bool finished = false;                // "100 % finish" (or its row counted)
  bool resetAfterFinish = false;        // reset by the target between the finish line and the close
  const char* changedWhileSent = nullptr;  // "loader", "program": its file changed while it was sent
  int64_t startedWallMs = 0, endedWallMs = 0;  // ms since the epoch
  char why[512] = "";                   // the explanation of its failure as written, "" for none
  char lastStatus[kStatusTextSize] = "";  // its last status line, untagged; "" none yet
};

/// The target a slot serves, as the acceptor takes it, with what is kept of
/// it while it is served: started afresh by value at each take (TakeSlot),
/// by the acceptor under slotLock, before the target's transfer thread
/// starts (which makes it visible to that thread).
struct SlotTarget {
  SlotTarget() = default;
  /// A new target whose loader connection cepid came from peer.
  SlotTarget(ID loader, const T_IPV4EP& peer, bool twoPrograms);

  // Read only while the slot is busy; only the transfer writes
  // selectFileNum, once its target chose.
  ID cepid = -1;          // the loader connection, as the acceptor accepted it
  UW ipaddr = 0;          // the target's address, network byte order
  UH portno = 0;          // the target's port, for explanations
  int selectFileNum = 0;  // -1 while a choice between two programs is pending, then 0 or 1

  // Under slotLock, and changed by the transfer alone while the slot is
  // busy: the connection the transfer uses now (-1 none), so that others
  // can cancel it or ask what of it is unacknowledged; the transfer itself
  // reads it without the lock. The cancel is set by others (a second
  // signal, a device that started over) and read, under the lock.
  ID cepidInUse = -1;
  Cancel cancel = Cancel::kNone;

  bool inView = false;    // shown in the live view, its progress recorded: under viewLock
  int64_t recordedMs = 0; // when its progress was last recorded (monotonic ms, 0 never): the acceptor's alone
  TargetRecord record;    // see TargetRecord
  HeldLines heldProgress = {};  // its progress lines held back: its transfer's alone
};

/// One transfer slot: the slot's own fields, then the target it serves
/// (SlotTarget), then one group for each way of sharing the rest. Its
/// connections, one field per role: the loader connection as accepted
/// (`cepid`) and whichever connection the transfer uses now (`cepidInUse`).
/// Its data connection reaches it through the hand-over (Handover.h).
struct PROCESS_INFO : SlotTarget {
  /// -1 (busy) from the acceptor's take to the end of its transfer, else 0:
  /// the acceptor alone sets it, the transfer alone clears it; an atomic
  /// that the driver reads to know whether a slot is free.
  std::atomic<int> status{0};
  /// Taken and not yet given back: set by the acceptor at the take, cleared
  /// by it once it kept the target's record (see IsBusy). An atomic: the
  /// driver reads it through emptyProcess().
  std::atomic<bool> held{false};
  int no = 0;  // the slot's own index, set once at the start of the run

  // The acceptor's alone: the transfer thread, where one started.
  pthread_t thread = {};
  bool threadStarted = false;

  TargetFigures figures;  // see TargetFigures

  // Touched only by the slot's transfer, and left as it was for the next:
  // each use starts from what it writes.
  unsigned char streamBuf[256 * 1024];  // the files that pass through this process (the loader,
                                        // and the program where the kernel does not send it)
};

extern PROCESS_INFO process_info[kProcessSlots];

/// Guards what several threads change in the slots (the connection in use
/// and the cancel) and the stop request; `slotChanged` tells of each
/// change. Third in the lock order above.
extern std::mutex slotLock;
extern std::condition_variable slotChanged;

/// A slot goes round three states:
/// - busy from the acceptor's take to the end of its transfer (`status` -1);
/// - ended: its transfer is over (its progress lines flushed, out of the
///   view), and the acceptor has yet to wait for its thread and keep its
///   record (`status` 0, `held`);
/// - free: taken by no one (`status` 0, not `held`).
bool IsBusy(const PROCESS_INFO& p);
bool HasEnded(const PROCESS_INFO& p);
bool IsFree(const PROCESS_INFO& p);
/// The slots now busy.
int BusyCount();

/// The first free slot, or -1.
int emptyProcess();
/// Takes slot n for the target of the loader connection cepid from peer,
/// every group of it afresh, unless a stop was asked for: false then. Under
/// the slot lock, with the stop request looked at under it too: a second
/// signal cancels every busy slot under it, so a target is either refused
/// here or cancelled there. Only the acceptor takes slots.
bool TakeSlot(int n, ID cepid, const T_IPV4EP& peer);
/// Marks the first free slot busy and returns it, or -1.
int makeProcessNo();
/// Ends the busy state of slot n (the end of its transfer): ended, until
/// the acceptor kept its record (ReleaseSlot).
void cancelProcessNo(int n);
/// Frees slot n once its target's record is kept: the last step of a
/// slot's end (see EndTransfer for the first).
void ReleaseSlot(int n);
/// 1 when any slot is busy.
int IsProcessStart();
/// 1: one target is served at a time; 0 with -M (`_option`).
int IsSingleTargetMode();

/// The connection the transfer of p now uses (-1: none), under the slot lock.
void UseConnection(PROCESS_INFO& p, ID cepid);
/// Ends the transfer of p early for `why`: the connection it uses is
/// cancelled and its waits end.
void CancelTransfer(PROCESS_INFO& p, Cancel why);
/// Why the transfer of p was cancelled, kNone while it was not.
Cancel CancelOf(const PROCESS_INFO& p);
/// Sleeps ms, or less once the transfer of p is cancelled. False then.
bool PauseUnlessCancelled(PROCESS_INFO& p, int ms);

/// Why a -M run takes no more targets: a stop signal, or -E's n failures in
/// a row. The first stop's cause is kept.
enum class StopCause { kNone, kSignal, kFailureGuard, kAnnouncePortLost };

/// -M: asks the acceptor to take no more targets; AbortRun also cancels
/// every transfer. Both only set flags and wake the threads that wait. The
/// request is set under the slot lock, under which the acceptor takes a
/// slot once it has looked at it.
void StopRun(StopCause why = StopCause::kSignal);
void AbortRun();
bool IsStopRequested();
StopCause StopCauseOf();
/// Why no more targets are taken, for the line that refuses one.
const char* StopReason();

/// What is kept of a served target for the summary: its address and a
/// copy of its record.
struct ServedTarget {
  UW ipaddr;
  TargetRecord record;
};
constexpr int kServedListed = 1000;
/// Keeps the record of a transfer that ended (the acceptor, after its
/// thread) and counts it in the run's tally.
void RecordServed(const PROCESS_INFO& p);
/// The outcome of the target of p, as its finish or "-1 " line is written
/// (by its transfer, or the acceptor), counted by the failure guard under a
/// lock of its own: true for the failure that trips it. The order of the
/// lines is the order of the guard: a finish written between two failures
/// breaks their row, whenever their targets end. Its device counts once in
/// a row; a target ended by a stop signal or its device's new start counts
/// not at all.
bool CountOutcome(const PROCESS_INFO& p, bool finished, const char* line);

/// What the run's targets came to, every one of them counted: written by
/// RecordServed (the guard by CountOutcome), read by the summary and the
/// record once the acceptor ended.
struct RunTally {
  FailureTally failures;
  DeviceTally devices;  // by hardware address where known, else by address
  TimeTally times;      // of the finished programs, from the first byte to the last acknowledgement
  FailureGuard guard;
};
const RunTally& TheRunTally();
/// Served targets so far, and the first kServedListed of them.
int ServedCount();
int FinishedCount();
const ServedTarget* ServedList(int* listed);

/// Clears the run state and frees every slot. For tests and the start of a run.
void ResetRunState();
