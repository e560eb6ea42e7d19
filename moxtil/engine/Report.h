// What the engine says about the targets it serves. With several targets at
// once (-M) every line about a target begins with its address and a blank
// ("192.168.0.7 042 %"); with one target the lines are as they always were.
#pragma once

#include <cstddef>
#include <cstdint>

#include "moxtil/engine/RunState.h"

/// A status line about the target of p; its record keeps it as the last.
void TargetStatus(PROCESS_INFO& p, const char* line);

/// A failure of the target of p: its explanation and its status line, with
/// no other line between them.
void TargetFailure(PROCESS_INFO& p, const char* why, const char* line);

/// An explanation about the target of p.
void TargetLog(const PROCESS_INFO& p, const char* format, ...) __attribute__((format(printf, 2, 3)));
/// The text of a line about the target of p into out, cut to size - 1
/// characters: with several targets (-M) its address and a blank first.
void Tagged(const PROCESS_INFO& p, const char* text, char* out, size_t size);

/// A progress line about the target of p. On a terminal the live view shows
/// the target's figures instead (RefreshLiveView). Into a pipe or a file it
/// is held back, with the others of the run being sent, until FlushProgress,
/// so that they go out in one write; on Android each is written at once.
/// The record keeps the last one as the target's last status line.
void ProgressOut(PROCESS_INFO& p, const char* line);
/// Writes the progress lines of p held back, if any. Only p's transfer
/// writes them, and it does so before anything else it writes.
void FlushProgress(PROCESS_INFO& p);

/// The program bytes of p that its target's TCP has acknowledged: those sent
/// but what its connection still holds unacknowledged. Where that cannot be
/// read (no connection in use, or the query failed), the most it was seen to
/// acknowledge: never a byte it cannot show was acknowledged.
int64_t AcknowledgedBytes(PROCESS_INFO& p);

/// The target of p enters the live view (its program is being sent) or
/// leaves it (before the line that tells how the program stage ended).
void ShowInLiveView(PROCESS_INFO& p, bool shown);

/// Whether a target is in the live view: it is then refreshed every
/// kLiveViewRefreshMs, by the acceptor, which has nothing else to do then.
bool LiveViewShowsTargets();
constexpr int kLiveViewRefreshMs = 100;
/// Redraws the live view with every target's figures as they are now: the
/// bytes its TCP has acknowledged, not those handed to the socket.
void RefreshLiveView();

/// Whether a target's program is being sent while a record (-J) is kept: its
/// progress is then recorded by the acceptor, every kRecordProgressMs (Record.h).
bool RecordShowsTargets();
/// Records the progress of every target whose program is being sent.
void RecordProgressOfTargets();

/// "4194304 bytes in 3.02 s (1.32 MiB/s)": the time in ms when under a
/// second, and no rate under 100 ms, where the start and the acknowledgements
/// of the first bytes would be most of what is measured.
struct Figures {
  char text[96];
};
Figures FormatFigures(int64_t bytes, int64_t ms);

/// The end of a run with several targets: a line per target served, the
/// counts, then the run's tally (PrintTally).
void PrintSummary();
/// The failures by status line, the devices (first try, after a retry,
/// never finished) and the times of the finished programs.
void PrintTally();
