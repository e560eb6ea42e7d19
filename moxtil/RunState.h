// The run state and the transfer slots that the driver, the acceptor and the
// transfer threads share. Flags several threads touch are atomic.
#pragma once

#include <atomic>

#include "common/util.h"
#include "moxtil/Itron.h"

extern int _TimeOutmSecond;                 // 1000 x -T, set before any thread starts
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

/// One target being served.
struct PROCESS_INFO {
  std::atomic<int> status;  // 0 free, -1 busy; marked busy only by the acceptor
  int no;                   // the slot's own index
  ID cepid;                 // the accepted loader connection
  ID repid;                 // reception point of the data port
  UW ipaddr;                // the target's address, network byte order
  UH portno;                // the target's port, for explanations
  int selectFileNum;        // -1 while a choice is pending, then 0 or 1
};

extern PROCESS_INFO process_info[kProcessSlots];

/// The buffers a slot names in the record of a connection endpoint; the
/// endpoint layer does not use them. The acceptor and the transfer each
/// keep a set of their own.
struct SlotBuffers {
  unsigned char snd[32];
  unsigned char rcv[32];
};
/// The record of a connection endpoint that names these buffers.
inline T_TCP_CCEP ConnectionRecord(SlotBuffers& buffers) {
  return {0, buffers.snd, sizeof buffers.snd, buffers.rcv, sizeof buffers.rcv, nullptr};
}

/// The first free slot, or -1.
int emptyProcess();
/// Marks the first free slot busy and returns it, or -1.
int makeProcessNo();
/// Frees slot n.
void cancelProcessNo(int n);
/// 1 when any slot is busy.
int IsProcessStart();
/// 1: one target is served at a time (the only mode).
int IsSingleTargetMode();

/// Clears the run state and frees every slot. For tests and the start of a run.
void ResetRunState();
