#include "moxtil/engine/Report.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "common/output.h"
#include "moxtil/engine/Acceptor.h"
#include "moxtil/config/Options.h"
#include "moxtil/engine/Handover.h"
#include "moxtil/engine/Record.h"

namespace {

constexpr int64_t kLeastRatedMs = 100;
constexpr double kMiB = 1048576.0;

std::mutex viewLock;  // one composer of the live view at a time; first in the lock order (RunState.h)
int shownCount = 0;   // targets in the view, under viewLock

constexpr int kHeldLines = 128;  // progress lines a slot holds back at the most

/// "1.7 of 4.0 MiB", or in KiB for a program under a MiB.
void AppendAmount(char* out, size_t size, int64_t done, int64_t due) {
  if (due >= 1048576) {
    snprintf(out, size, "%.1f of %.1f MiB", static_cast<double>(done) / kMiB, static_cast<double>(due) / kMiB);
  } else {
    snprintf(out, size, "%lld of %lld KiB", static_cast<long long>(done / 1024), static_cast<long long>(due / 1024));
  }
}

}  // namespace

int64_t AcknowledgedBytes(PROCESS_INFO& p) {
  const int64_t sent = p.figures.bytesSent;
  ER unacked;
  {
    std::lock_guard<std::mutex> lock(slotLock);  // the connection stays p's meanwhile
    unacked = p.cepidInUse >= 0 ? tcp_ref_cep(p.cepidInUse) : E_NOEXS;
  }
  // More than was sent of the program is the ID code still outstanding, or
  // a count that cannot be trusted: nothing of the program then. With no
  // connection to ask, only what was last seen is known.
  if (unacked >= 0) {
    const int64_t now = unacked <= sent ? sent - unacked : 0;
    int64_t seen = p.figures.bytesAcknowledgedSeen;
    while (now > seen && !p.figures.bytesAcknowledgedSeen.compare_exchange_weak(seen, now)) {
    }
  }
  return p.figures.bytesAcknowledgedSeen;
}

namespace {

/// The live line of one target: its address, percent, bytes done of due,
/// MiB/s and the time left, from the figures its transfer keeps.
void LiveLine(PROCESS_INFO& p, int64_t now, char* out, size_t size) {
  const int64_t due = p.figures.bytesDue;
  const int64_t done = AcknowledgedBytes(p);
  const int64_t ms = now - p.figures.programStartMs;
  char amount[48];
  AppendAmount(amount, sizeof amount, done, due);
  char rate[32] = "-- MiB/s";
  char left[48] = "--:-- left";
  if (ms >= kLeastRatedMs && done > 0) {
    const double perSecond = static_cast<double>(done) / (static_cast<double>(ms) / 1000.0);
    snprintf(rate, sizeof rate, "%.1f MiB/s", perSecond / kMiB);
    const auto seconds = static_cast<long long>(static_cast<double>(due - done) / perSecond + 0.5);
    snprintf(left, sizeof left, "%lld:%02lld left", seconds / 60, seconds % 60);
  }
  const long percent = due > 0 ? static_cast<long>(done * 100 / due) : 0;
  snprintf(out, size, "%-15s %3ld %%  %s  %s  %s", FormatAddress(p.ipaddr).text, percent, amount, rate, left);
}

/// Redraws the live view from every target in it. The caller holds
/// viewLock, under which targets enter and leave the view: a slot in it is
/// not given to another target meanwhile.
void DrawLiveView() {
  const int64_t now = MonotonicMs();
  char text[kProcessSlots * 160] = "";
  size_t used = 0;
  for (PROCESS_INFO& p : process_info) {
    if (!IsBusy(p) || !p.inView) continue;
    char line[160];
    LiveLine(p, now, line, sizeof line);
    const int n = snprintf(text + used, sizeof text - used, "%s%s", used > 0 ? "\n" : "", line);
    if (n > 0) used += static_cast<size_t>(n) < sizeof text - used ? static_cast<size_t>(n) : 0;
  }
  LiveViewShow(text);
}

}  // namespace

namespace {

/// text into out, cut to size - 1 characters: what snprintf's "%s" does,
/// without its cost for the many progress lines.
void CopyCut(char* out, size_t size, const char* text) {
  const size_t n = strnlen(text, size - 1);
  memcpy(out, text, n);
  out[n] = '\0';
}


/// -E: the outcome of the target of p, as its line is written, to the
/// failure guard. When device after device fails, something all of them
/// share is wrong: the run ends as on a first stop signal, and says why.
void GuardOutcome(const PROCESS_INFO& p, const char* line) {
  if (IsSingleTargetMode()) return;
  const bool finished = strcmp(line, status::kFinish) == 0;
  if (!finished && strncmp(line, "-1 ", 3) != 0) return;
  if (!CountOutcome(p, finished, line)) return;
  // Once: the guard's row no longer changes, and only this thread is here.
  static char told[640], explained[1024];  // off the transfer's small stack
  const FailureTally& row = TheRunTally().guard.Row();
  row.Format(told, sizeof told, true);
  snprintf(explained, sizeof explained, "%d failures in a row (%s): no more targets are taken; check the files and "
           "the network", row.Total(), told);
  printLog(stderr, "%s", explained);
  RecordWarning("failure_guard", explained);
  StopRun(StopCause::kFailureGuard);
}

}  // namespace

void Tagged(const PROCESS_INFO& p, const char* text, char* out, size_t size) {
  if (IsSingleTargetMode()) {
    CopyCut(out, size, text);
  } else {
    snprintf(out, size, "%s %s", FormatAddress(p.ipaddr).text, text);
  }
}

void TargetFailure(PROCESS_INFO& p, const char* why, const char* line) {
  snprintf(p.record.lastStatus, sizeof p.record.lastStatus, "%s", line);
  char explained[1024], status[160];
  Tagged(p, why, explained, sizeof explained);
  Tagged(p, line, status, sizeof status);
  ConsoleOutTogether(explained, Tone::kPlain, status, ToneOf(line));
  GuardOutcome(p, line);
}

void TargetStatus(PROCESS_INFO& p, const char* line) {
  snprintf(p.record.lastStatus, sizeof p.record.lastStatus, "%s", line);
  char text[160];
  Tagged(p, line, text, sizeof text);
  ConsoleOut(text, ToneOf(line));
  GuardOutcome(p, line);
}

void ProgressOut(PROCESS_INFO& p, const char* line) {
  CopyCut(p.record.lastStatus, sizeof p.record.lastStatus, line);  // also where no line is written
  if (LiveViewActive()) return;
  if (!LogJoinsLines()) return TargetStatus(p, line);
  HeldLines& held = p.heldProgress;
  char text[48];
  Tagged(p, line, text, sizeof text - 1);
  const size_t n = strlen(text) + 1;  // with its line feed
  if (n >= sizeof text - 1) return TargetStatus(p, line);  // cut: too long to hold
  text[n - 1] = '\n';
  text[n] = '\0';
  if (held.lines == kHeldLines || held.used + n >= sizeof held.text) FlushProgress(p);
  memcpy(held.text + held.used, text, n + 1);
  held.used += n;
  ++held.lines;
}

void FlushProgress(PROCESS_INFO& p) {
  HeldLines& held = p.heldProgress;
  if (held.used == 0) return;
  held.text[held.used - 1] = '\0';  // the record's last line feed
  ConsoleOut(held.text, Tone::kPlain);
  held.used = 0;
  held.lines = 0;
}

void ShowInLiveView(PROCESS_INFO& p, bool shown) {
  std::lock_guard<std::mutex> lock(viewLock);
  if (p.inView == shown) return;
  p.inView = shown;
  shownCount += shown ? 1 : -1;
  if (LiveViewActive()) DrawLiveView();
  // The acceptor keeps the view fresh, and records the progress.
  if (shown && (LiveViewActive() || RecordActive())) WakeAcceptor();
}

bool LiveViewShowsTargets() {
  std::lock_guard<std::mutex> lock(viewLock);
  return shownCount > 0 && LiveViewActive();
}

void RefreshLiveView() {
  std::lock_guard<std::mutex> lock(viewLock);
  if (shownCount > 0 && LiveViewActive()) DrawLiveView();
}

bool RecordShowsTargets() {
  std::lock_guard<std::mutex> lock(viewLock);
  return shownCount > 0 && RecordActive();
}

void RecordProgressOfTargets() {
  std::lock_guard<std::mutex> lock(viewLock);  // a slot in view is not given to another meanwhile
  for (PROCESS_INFO& p : process_info) {
    if (IsBusy(p) && p.inView) RecordProgress(p, AcknowledgedBytes(p));
  }
}

void TargetLog(const PROCESS_INFO& p, const char* format, ...) {
  // One buffer, as printLog's: transfer threads may run on small stacks.
  char text[1024];
  int at = IsSingleTargetMode() ? 0 : snprintf(text, sizeof text, "%s ", FormatAddress(p.ipaddr).text);
  if (at < 0) at = 0;
  va_list ap;
  va_start(ap, format);
  vsnprintf(text + at, sizeof text - static_cast<size_t>(at), format, ap);
  va_end(ap);
  ConsoleOut(text, Tone::kPlain);
}

Figures FormatFigures(int64_t bytes, int64_t ms) {
  Figures f;
  const int n = ms < 1000 ? snprintf(f.text, sizeof f.text, "%lld bytes in %lld ms", static_cast<long long>(bytes),
                                     static_cast<long long>(ms))
                          : snprintf(f.text, sizeof f.text, "%lld bytes in %.2f s", static_cast<long long>(bytes),
                                     static_cast<double>(ms) / 1000.0);
  if (ms >= kLeastRatedMs && n > 0 && static_cast<size_t>(n) < sizeof f.text) {
    snprintf(f.text + n, sizeof f.text - static_cast<size_t>(n), " (%.2f MiB/s)",
             static_cast<double>(bytes) / kMiB / (static_cast<double>(ms) / 1000.0));
  }
  return f;
}

void PrintSummary() {
  int listed = 0;
  const ServedTarget* served = ServedList(&listed);
  for (int i = 0; i < listed; ++i) {
    const UW ipaddr = served[i].ipaddr;
    const TargetRecord& t = served[i].record;
    char device[96] = "";
    if (t.mac[0] != '\0') snprintf(device, sizeof device, " %s", t.mac);
    if (t.dataAddr != 0 && t.dataAddr != ipaddr) {
      const size_t used = strlen(device);
      snprintf(device + used, sizeof device - used, " (data from %s, paired by %s)", FormatAddress(t.dataAddr).text,
               PairedByName(t.pairedBy));
    }
    // A failed target's bytes were sent, not known to be delivered: no rate.
    char figures[128] = "not reached";
    if (t.bytesDue >= 0 && t.finished) {
      snprintf(figures, sizeof figures, "%s", FormatFigures(t.bytesSent, t.elapsedMs).text);
    } else if (t.bytesDue >= 0) {
      snprintf(figures, sizeof figures, "%lld of %lld bytes sent", static_cast<long long>(t.bytesSent),
               static_cast<long long>(t.bytesDue));
    }
    printLog(stderr, "summary: %s%s: program %s, %s: %s%s", FormatAddress(ipaddr).text, device,
             _targetFile[t.program], figures, t.lastStatus[0] != '\0' ? t.lastStatus : "(no status line)",
             t.resetAfterFinish ? ", then reset by the target before the close: the program may not be stored" : "");
  }
  const int count = ServedCount();
  if (count > listed) printLog(stderr, "summary: %d more targets, not listed (their lines are above)", count - listed);
  const int finished = FinishedCount();
  printLog(stderr, "%d target%s: %d finished, %d failed", count, count == 1 ? "" : "s", finished, count - finished);
  PrintTally();
}

void PrintTally() {
  // What a shift asks: why the failures failed, how many devices (by
  // hardware address, else by address) came through at once, and how long
  // a program takes.
  const RunTally& tally = TheRunTally();
  char failures[1024] = "none";
  if (tally.failures.Total() > 0) tally.failures.Format(failures, sizeof failures, false);
  printLog(stderr, "failures: %s", failures);
  const DeviceTally& d = tally.devices;
  char untold[96] = "";
  if (d.Untold() > 0) snprintf(untold, sizeof untold, " (and %d targets of devices beyond these not told apart)", d.Untold());
  printLog(stderr, "devices: %d (%d first try, %d after a retry, %d never finished)%s", d.Devices(), d.FirstTry(),
           d.AfterRetry(), d.Never(), untold);
  const TimeTally& t = tally.times;
  if (t.Count() == 0) {
    printLog(stderr, "programs finished in: none finished");
    return;
  }
  printLog(stderr, "programs finished in: fastest %s, median %s, slowest %s", FormatDuration(t.Fastest()).text,
           FormatDuration(t.Median()).text, FormatDuration(t.Slowest()).text);
}
