// The Android log without liblog. Where the log daemon's socket is there (a
// phone), every line goes to it as one entry (common/logd.cpp). Elsewhere each
// record goes to standard output in logcat's brief form, "D/moxtil: <text>",
// one line per line of the record. The update app reads these lines from a
// pipe as they happen, so a record is written whole with one write, and
// records of different threads never mix. Which of the two is decided once,
// at start: one binary serves phones and boards.
//
// A person at a terminal gets the same records, failures in red and the
// finish in green, and below them a live view: lines redrawn in place that
// the engine fills with the figures of the transfers. Into a pipe or a file,
// or with TERM=dumb, every byte is as it always was.
#include <android/log.h>

#include "common/console.h"
#include "common/logd.h"

#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

pthread_mutex_t writeLock = PTHREAD_MUTEX_INITIALIZER;

char PriorityLetter(int prio) {
  switch (prio) {
    case ANDROID_LOG_VERBOSE: return 'V';
    case ANDROID_LOG_DEBUG: return 'D';
    case ANDROID_LOG_INFO: return 'I';
    case ANDROID_LOG_WARN: return 'W';
    case ANDROID_LOG_ERROR: return 'E';
    case ANDROID_LOG_FATAL: return 'F';
    case ANDROID_LOG_SILENT: return 'S';
    default: return '?';
  }
}

bool WriteAll(const char* data, size_t len) {
  while (len > 0) {
    ssize_t n = write(STDOUT_FILENO, data, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

// Number of lines of text: a trailing line feed ends the last line and does
// not open another one; an empty record is one empty line.
size_t CountLines(const char* text, size_t len) {
  size_t lines = 1;
  for (size_t i = 0; i + 1 < len; ++i) lines += text[i] == '\n';
  return lines;
}

// The terminal's view. Only plain VT100 sequences, which every terminal
// emulator takes. The live lines are drawn with no line feed after the last,
// so the cursor stays on the view's last row; going back to its first row and
// erasing from there down removes the view however many rows it took.
constexpr char kEraseBelow[] = "\033[J";
constexpr char kRed[] = "\033[31m";
constexpr char kGreen[] = "\033[32m";
constexpr char kReset[] = "\033[0m";

struct Sink {
  bool logd;    // records go to the log daemon
  bool live;    // records go to a terminal that shows a live view
  bool colour;  // and may be coloured (no NO_COLOR)
};

// What the view holds, under writeLock. Plain data: nothing here may be
// destroyed before the clear at exit runs.
char liveText[4096];  // the live lines last given, '\n'-separated
int shownRows = 0;    // rows of the screen the live view takes now
bool exiting = false;  // cleared at exit: drawn no more

// Back to the first row of the live view, erased with all below it.
void AppendClear(std::string& out) {
  if (shownRows == 0) return;
  out += '\r';
  if (shownRows > 1) out += "\033[" + std::to_string(shownRows - 1) + "A";
  out += kEraseBelow;
  shownRows = 0;
}

// The live lines, one row each. A line must not wrap, or the clear would
// count rows short: it is cut before the last column (a line that fills it
// makes some terminals wrap at once), at the width of the moment (80 when
// unknown). No more lines than the screen has rows less one, or going back
// up would stop at the top.
void AppendLive(std::string& out) {
  if (exiting || liveText[0] == '\0') return;
  winsize size = {};
  const bool known = ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0;
  const size_t width = known && size.ws_col > 1 ? size.ws_col - 1u : 79;
  int rows = INT_MAX;
  if (known && size.ws_row > 0) rows = size.ws_row > 1 ? size.ws_row - 1 : 1;
  const char* line = liveText;
  while (shownRows < rows) {
    const char* eol = std::strchr(line, '\n');
    const size_t len = eol != nullptr ? static_cast<size_t>(eol - line) : std::strlen(line);
    if (shownRows > 0) out += '\n';
    out.append(line, len < width ? len : width);
    ++shownRows;
    if (eol == nullptr) break;
    line = eol + 1;
  }
}

void ClearAtExit() {
  pthread_mutex_lock(&writeLock);
  std::string out;
  AppendClear(out);
  exiting = true;
  WriteAll(out.data(), out.size());
  pthread_mutex_unlock(&writeLock);
}

// Decided once, at first use: the log daemon where it is there; else the
// update app reads a pipe, and a file or a dumb terminal must get the lines as
// they always were. NO_COLOR (any value) keeps the view but leaves out the
// colours. The view is cleared at exit, so that a program ending with a live
// line shown leaves the screen clean.
const Sink& SinkOf() {
  static const Sink sink = [] {
    Sink s = {LogdOpen(), false, false};
    const char* term = std::getenv("TERM");
    s.live = !s.logd && isatty(STDOUT_FILENO) == 1 && term != nullptr && *term != '\0' &&
             std::strcmp(term, "dumb") != 0;
    s.colour = s.live && std::getenv("NO_COLOR") == nullptr;
    if (s.live) std::atexit(ClearAtExit);
    return s;
  }();
  return sink;
}

// Writes a record (whole lines, the last ending in a line feed) in one write.
// On a terminal the live view is taken away first and drawn again below it.
bool WriteRecord(const char* record, size_t len, Tone tone) {
  const Sink& sink = SinkOf();
  pthread_mutex_lock(&writeLock);
  bool ok;
  if (!sink.live) {
    ok = WriteAll(record, len);
  } else {
    std::string out;
    AppendClear(out);
    const char* colour = tone == Tone::kFailure ? kRed : tone == Tone::kSuccess ? kGreen : nullptr;
    if (sink.colour && colour != nullptr) {
      // Plain again before the line feed, so that nothing after the line
      // (the live view, the shell's prompt) takes the colour.
      out.append(colour).append(record, len - 1).append(kReset).append("\n");
    } else {
      out.append(record, len);
    }
    AppendLive(out);
    ok = WriteAll(out.data(), out.size());
  }
  pthread_mutex_unlock(&writeLock);
  return ok;
}

// The record of text under prio and tag, each of its lines with the prefix.
int LogText(int prio, const char* tag, const char* text, size_t textLen, Tone tone) {
  // The log daemon takes the record as one entry: no prefix, no line split.
  if (SinkOf().logd) {
    LogdWrite(prio, tag ? tag : "", text, textLen);
    return static_cast<int>(textLen);
  }
  char prefix[64];
  int p = snprintf(prefix, sizeof prefix, "%c/%s: ", PriorityLetter(prio), tag ? tag : "");
  size_t prefixLen = p < 0 ? 0 : (static_cast<size_t>(p) < sizeof prefix ? static_cast<size_t>(p) : sizeof prefix - 1);

  if (textLen > 0 && text[textLen - 1] == '\n') --textLen;
  size_t lines = CountLines(text, textLen + 1);
  size_t outLen = lines * (prefixLen + 1) + textLen - (lines - 1);
  char stackOut[4096 + 128];
  char* out = outLen <= sizeof stackOut ? stackOut : static_cast<char*>(std::malloc(outLen));
  if (out == nullptr) return -ENOMEM;

  size_t at = 0;
  const char* line = text;
  const char* end = text + textLen;
  for (;;) {
    const char* eol = static_cast<const char*>(std::memchr(line, '\n', static_cast<size_t>(end - line)));
    const char* stop = eol ? eol : end;
    std::memcpy(out + at, prefix, prefixLen);
    at += prefixLen;
    std::memcpy(out + at, line, static_cast<size_t>(stop - line));
    at += static_cast<size_t>(stop - line);
    out[at++] = '\n';
    if (eol == nullptr) break;
    line = eol + 1;
  }
  bool ok = WriteRecord(out, at, tone);
  int result = ok ? static_cast<int>(at) : -errno;
  if (out != stackOut) std::free(out);
  return result;
}

}  // namespace

extern "C" int __android_log_print(int prio, const char* tag, const char* fmt, ...) {
  char stackText[4096];
  char* text = stackText;
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(stackText, sizeof stackText, fmt, ap);
  va_end(ap);
  if (n < 0) return n;
  size_t textLen = static_cast<size_t>(n);
  if (textLen >= sizeof stackText) {
    char* big = static_cast<char*>(std::malloc(textLen + 1));
    if (big != nullptr) {
      va_start(ap, fmt);
      vsnprintf(big, textLen + 1, fmt, ap);
      va_end(ap);
      text = big;
    } else {
      textLen = sizeof stackText - 1;  // no memory: the record is cut
    }
  }
  int result = LogText(prio, tag, text, textLen, Tone::kPlain);
  if (text != stackText) std::free(text);
  return result;
}

void LogRecord(const char* tag, const char* text, Tone tone) {
  LogText(ANDROID_LOG_DEBUG, tag, text, std::strlen(text), tone);
}

bool LiveViewActive() { return SinkOf().live; }

bool LogJoinsLines() { return !SinkOf().live && !SinkOf().logd; }

void LiveViewShow(const char* text) {
  if (!SinkOf().live) return;
  pthread_mutex_lock(&writeLock);
  snprintf(liveText, sizeof liveText, "%s", text);
  std::string out;
  AppendClear(out);
  AppendLive(out);
  if (!out.empty()) WriteAll(out.data(), out.size());
  pthread_mutex_unlock(&writeLock);
}
