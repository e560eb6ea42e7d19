// The run state and the transfer slots that the driver, the acceptor and the
// transfer threads share. Who writes what:
//
// - _TimeOutmSecond, _totalSwupNum: the driver, before any thread starts.
//   _TimeOutmSecond is the engine's one time limit; the option -T is read
//   only to set it.
// - _IsTimeOut: EndUpdateOnTheWire(), by the acceptor, when no target came
//   within -T or a target failed on the wire (single-target mode); only ever
//   set during a run.
// - _swupError: SoftwareUpError(), by the driver (a cycle that cannot start)
//   and the acceptor (a time-out, or a failed target in single-target mode);
//   only ever set during a run.
// - _currentSwupNum: the transfer, through CountUpSoftwareUpdate().
// - The stop request: the driver, on a signal (a second also cancels every
//   transfer).
// - A slot: the acceptor takes it (busy), fills it and starts its
//   transfer; the transfer writes the target's record while it serves it
//   and lets go of the slot at its end (ended); the acceptor then waits for
//   the thread (free). What others read while a slot is busy (the figures,
//   the connection in use, the data hand-over) is atomic or under the slot
//   lock.
// - The served list: the acceptor, after each transfer; the driver reads it
//   once the acceptor has ended.
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

extern int _TimeOutmSecond;                 // the time limit in ms (1000 x -T), 0 for none
extern std::atomic<int> _IsTimeOut;         // a time-out or a failure on the wire ended the update
extern std::atomic<int> _swupError;         // a failure ended the update
extern std::atomic<int> _currentSwupNum;    // file-list rows loaded to the end
extern std::atomic<int> _totalSwupNum;      // rows of the file list; 0 outside file-list mode
extern util_mutex_t _hMtxProgress;          // guards the count-up of _currentSwupNum
extern util_mutex_t _hMtxError;             // guards the setting of _swupError

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
/// A time-out or a failure on the wire ends the update: the time-out flag
/// first, so that whoever sees the error flag sees both.
void EndUpdateOnTheWire();

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
/// records read while it is sent: written by its transfer alone.
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
/// summary keeps a copy (ServedTarget). The acceptor starts it afresh at the
/// take, the transfer writes it while it serves the target, and others read
/// it only once the transfer ended (the hardware address, which the
/// acceptor alone writes, also before).
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
  bool wireFailure = false;             // it failed on the wire (a send, an acknowledgement, a
                                        // connection), not for a file
  bool resetAfterFinish = false;        // reset by the target between the finish line and the close
  int64_t startedWallMs = 0, endedWallMs = 0;  // ms since the epoch
  char why[512] = "";                   // the explanation of its failure as written, "" for none
  char lastStatus[kStatusTextSize] = "";  // its last status line, untagged; "" none yet
};

/// One target being served: the slot's own fields, then one group for each
/// way of sharing them. Its connections, one field per role: the loader
/// connection as accepted (`cepid`) and whichever connection the transfer
/// uses now (`cepidInUse`). Its data connection reaches it through the
/// hand-over (Handover.h).
struct PROCESS_INFO {
  std::atomic<int> status;  // -1 from the acceptor's take to the transfer's end, else 0: see IsBusy
  int no;                   // the slot's own index
  ID cepid;                 // the loader connection, as the acceptor accepted it
  UW ipaddr;                // the target's address, network byte order
  UH portno;                // the target's port, for explanations
  int selectFileNum;        // -1 while a choice between two programs is pending, then 0 or 1

  // The acceptor's: the transfer thread, started at the take.
  pthread_t thread;
  std::atomic<bool> joinable;  // a transfer thread runs or ended, and the acceptor has not waited for it

  // Changed under the slot lock, and by the transfer alone while the slot is
  // busy: the connection the transfer uses now (-1 none), so that others can
  // cancel it or ask what of it is unacknowledged. The transfer reads it
  // without the lock.
  ID cepidInUse;
  std::atomic<Cancel> cancel;

  TargetFigures figures;
  // Whether the target is shown in the live view and its progress recorded
  // (under the view's lock, Report.cpp); when its progress was last recorded
  // (monotonic ms, 0 never), the acceptor's alone.
  bool inView;
  int64_t recordedMs;

  TargetRecord record;

  // Touched only by the slot's transfer, and left as it was for the next:
  // each use starts from what it writes.
  unsigned char streamBuf[256 * 1024];  // the files that pass through this process (the loader,
                                        // and the program where the kernel does not send it)
  HeldLines heldProgress;               // its progress lines held back, emptied after each run sent
};

extern PROCESS_INFO process_info[kProcessSlots];

/// Guards what several threads change in the slots: the connection in use
/// and the cancel; `slotChanged` tells of each change.
///
/// The order of the locks, for any thread that holds more than one: the live
/// view's (Report.cpp), then this one, then the endpoint table's
/// (itron::tableLock); never the other way round. The hand-over's own lock is
/// taken under this one and takes none; the record's is taken under the
/// view's.
extern std::mutex slotLock;
extern std::condition_variable slotChanged;

/// A slot goes round three states:
/// - busy from the acceptor's take to the end of its transfer (`status` -1);
/// - ended: its transfer is over, and the acceptor has yet to wait for its
///   thread and keep its record (`status` 0, `joinable`);
/// - free: taken by no one (`status` 0, not `joinable`).
bool IsBusy(const PROCESS_INFO& p);
bool HasEnded(const PROCESS_INFO& p);
bool IsFree(const PROCESS_INFO& p);
/// The slots now busy.
int BusyCount();

/// The first free slot, or -1.
int emptyProcess();
/// Marks the first free slot busy and returns it, or -1. Only the acceptor
/// marks slots busy.
int makeProcessNo();
/// Ends the busy state of slot n: the end of its transfer (or of its take,
/// where the thread could not start).
void cancelProcessNo(int n);
/// 1 when any slot is busy.
int IsProcessStart();
/// 1: one target is served at a time; 0 with -M.
int IsSingleTargetMode();

/// The connection the transfer of p now uses (-1: none), under the slot lock.
void UseConnection(PROCESS_INFO& p, ID cepid);
/// Ends the transfer of p early for `why`: the connection it uses is
/// cancelled and its waits end.
void CancelTransfer(PROCESS_INFO& p, Cancel why);
/// Sleeps ms, or less once the transfer of p is cancelled. False then.
bool PauseUnlessCancelled(PROCESS_INFO& p, int ms);

/// Why a -M run takes no more targets: a stop signal, or -E's n failures in
/// a row. The first stop's cause is kept.
enum class StopCause { kNone, kSignal, kFailureGuard, kAnnouncePortLost };

/// -M: asks the acceptor to take no more targets; AbortRun also cancels
/// every transfer. Both only set flags and wake the threads that wait. The
/// request is set under the slot lock, under which the acceptor marks a
/// slot busy once it has looked at it.
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
/// A target's outcome, as its finish or "-1 " line is written (by its
/// transfer, or the acceptor), counted by the failure guard under a lock of
/// its own: true for the failure that trips it. The order of the lines is
/// the order of the guard: a finish written between two failures breaks
/// their row, whenever their targets end.
bool CountOutcome(bool finished, const char* line);

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
