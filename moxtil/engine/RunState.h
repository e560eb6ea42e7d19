// The run state and the transfer slots that the driver, the acceptor and the
// transfer threads share. Who writes what:
//
// - _TimeOutmSecond, _totalSwupNum: the driver, before any thread starts.
// - _IsTimeOut: the acceptor, when no target came within -T or a target
//   failed on the wire (single-target mode); only ever set during a run.
// - _swupError: SoftwareUpError(), by the driver (a cycle that cannot start)
//   and the acceptor (a time-out, or a failed target in single-target mode);
//   only ever set during a run.
// - _currentSwupNum: the transfer, through CountUpSoftwareUpdate().
// - The stop request: the driver, on a signal (a second also cancels every
//   transfer).
// - A slot: the acceptor takes it, fills it and starts its transfer; the
//   transfer writes the target's record while it serves it and frees the
//   slot at its end; the acceptor then waits for the thread. What others
//   read while a slot is busy (the figures, the connection in use, the data
//   hand-over) is atomic or under the slot lock.
// - The served list: the acceptor, after each transfer; the driver reads it
//   once the acceptor has ended.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "common/sha256.h"
#include "common/util.h"
#include "moxtil/address/HardwareAddress.h"
#include "moxtil/itron/Itron.h"

extern int _TimeOutmSecond;                 // 1000 x -T
extern std::atomic<int> _IsTimeOut;         // a time-out or a failed transfer ended the update
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

/// The limit the acceptor and the transfer pass to every accept and send:
/// -T in units of 10 ms, or TMO_FEVR without -T.
TMO ThreadTimeOut();

constexpr int kProcessSlots = 10;
/// Room for a status line's text (the longest is under 50 characters).
constexpr size_t kStatusTextSize = 64;

/// The buffers a slot names in the record of a connection endpoint; the
/// endpoint layer does not use them. Each slot has one set for the loader
/// connection and one for the data connection.
struct SlotBuffers {
  unsigned char snd[32];
  unsigned char rcv[32];
};
/// The record of a connection endpoint that names these buffers.
inline T_TCP_CCEP ConnectionRecord(SlotBuffers& buffers) {
  return {0, buffers.snd, sizeof buffers.snd, buffers.rcv, sizeof buffers.rcv, nullptr};
}

/// Why a transfer was told to end before its time.
enum class Cancel { kNone, kStartedOver, kAborted };

/// Where a transfer stands with its data connection: not waiting yet
/// (serving its loader), waiting, or done: none is handed to it any more (it
/// was handed one, or gave up, or ended).
enum class DataLink { kNotYet, kWaiting, kDone };

/// One target being served.
struct PROCESS_INFO {
  std::atomic<int> status;  // 0 free, -1 busy; marked busy only by the acceptor
  int no;                   // the slot's own index
  ID cepid;                 // the accepted loader connection
  ID repid;                 // reception point of the data port
  UW ipaddr;                // the target's address, network byte order
  UH portno;                // the target's port, for explanations
  int selectFileNum;        // -1 while a choice is pending, then 0 or 1

  // Filled by the acceptor before the transfer starts.
  pthread_t thread;
  std::atomic<bool> joinable;  // the acceptor has not waited for the thread yet: not free
  SlotBuffers loaderBuffers, dataBuffers;

  // Under the slot lock: the connection the transfer uses now (-1 none), so
  // that it can be cancelled; the data hand-over: where it stands, since
  // when it waits, and a data connection handed to it and not taken yet (-1
  // none) with its peer.
  ID liveCepid;
  DataLink dataLink;
  int64_t waitingSinceMs;
  ID dataCepid;
  T_IPV4EP dataPeer;
  std::atomic<Cancel> cancel;

  // The target's figures: written by its transfer, read by the progress view.
  std::atomic<int64_t> bytesDue;   // the program's length, once known
  std::atomic<int64_t> bytesDone;  // of it sent
  std::atomic<int64_t> programStartMs;
  std::atomic<bool> inView;  // shown in a terminal's live view; changed under its lock
  // Written by the transfer before it frees the slot.
  UW dataAddr;           // the data connection's address
  int64_t elapsedMs;     // program stage, from its start to the last acknowledgement
  bool finished;         // "100 % finish" (or its row counted)
  bool wireFailure;      // it failed on the wire, not for a file
  bool resetAfterFinish;  // reset by the target between the finish line and the close

  // The rest of the target's record (-J), written by the acceptor at the
  // accept (the hardware address) and by the transfer; read once it ended.
  char mac[kHardwareAddressSize];  // "" where the neighbour table has none
  Sha256 loaderHash;               // of the loader bytes sent, fed only for a record
  Sha256 programHash;              // of the program bytes sent, the same
  bool loaderSent;                 // the whole loader and the reboot byte acknowledged
  int64_t bytesAcknowledged;       // of the program, once it ended: -1 unknown
  int64_t startedWallMs, endedWallMs;  // ms since the epoch
  int64_t recordedMs;              // the last progress record (monotonic ms), 0 none
  char why[512];                   // the explanation of its failure as written, "" for none
  char lastStatus[kStatusTextSize];  // its last status line, untagged; "" none yet
};

extern PROCESS_INFO process_info[kProcessSlots];

/// Guards what several threads change in the slots: the connection in use,
/// the data hand-over and the cancel; `slotChanged` tells of each change.
extern std::mutex slotLock;
extern std::condition_variable slotChanged;

/// The first free slot, or -1. A slot is free once its transfer has freed
/// it and the acceptor has waited for that thread.
int emptyProcess();
/// Marks the first free slot busy and returns it, or -1. Only the acceptor
/// marks slots busy.
int makeProcessNo();
/// Frees slot n.
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

/// -M: asks the acceptor to take no more targets; AbortRun also cancels
/// every transfer. Both only set flags and wake the threads that wait. The
/// request is set under the slot lock, under which the acceptor marks a
/// slot busy once it has looked at it.
void StopRun();
void AbortRun();
bool IsStopRequested();

/// What is kept of a served target for the summary.
struct ServedTarget {
  UW ipaddr;
  UW dataAddr;  // 0: no data connection
  int program;  // 0 or 1
  int64_t bytesDue;  // -1: the program was not reached
  int64_t bytes;
  int64_t ms;
  char lastLine[kStatusTextSize];  // "" for none
  bool finished;
  bool resetAfterFinish;
};
constexpr int kServedListed = 1000;
/// Keeps the record of a transfer that ended (the acceptor, after its thread).
void RecordServed(const PROCESS_INFO& p);
/// Served targets so far, and the first kServedListed of them.
int ServedCount();
int FinishedCount();
const ServedTarget* ServedList(int* listed);

/// Clears the run state and frees every slot. For tests and the start of a run.
void ResetRunState();
