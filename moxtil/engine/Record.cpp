#include "moxtil/engine/Record.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include <nettle/base16.h>
#include <nettle/sha2.h>

#include "common/output.h"
#include "moxtil/config/Options.h"
#include "moxtil/engine/Handover.h"
#include "moxtil/engine/Protocol.h"

namespace {

// The record's version: 2 since a key means one thing in every line (a
// stage's chosen program is program_index, as in target_end).
constexpr int kRecordVersion = 2;

// Every record line is made in this buffer and written with one write, under
// recordLock: transfer threads run on small stacks. Room for four paths of
// the longest and all else.
constexpr size_t kLineSize = 6 * kPathSize + 4096;
char line[kLineSize];
std::mutex recordLock;  // second in the lock order (RunState.h)
int recordFd = -1;
// A line is whole in the record or absent from it. The first absent one is
// told at once, the count of all at the close. One written in part that can
// be neither taken back nor finished ends the record there: nothing is glued
// to it.
int linesLeftOut = 0;
bool recordBroken = false;
// The run's identifier: lines of several stations, or of several runs
// appending to one file, are grouped by it.
char runId[64] = "";

// How long the rest of a line written in part may take (a FIFO whose reader
// is behind).
constexpr int kFinishLineMs = 1000;

/// Several stations may append to one record: each holds the file's lock
/// while it writes a line, so that a line written in part is taken back
/// before another's comes after it. The lock is waited for a little at the
/// most (a FIFO whose reader is behind may hold another writer up); without
/// it the line is written all the same.
class RecordFileLock {
 public:
  RecordFileLock() {
    const Deadline until = Deadline::In(kFinishLineMs);
    while (flock(recordFd, LOCK_EX | LOCK_NB) != 0) {
      if ((errno != EWOULDBLOCK && errno != EINTR) || until.Passed()) return;
      Sleep(5);
    }
    held_ = true;
  }
  ~RecordFileLock() {
    if (held_) flock(recordFd, LOCK_UN);
  }
  RecordFileLock(const RecordFileLock&) = delete;
  RecordFileLock& operator=(const RecordFileLock&) = delete;

 private:
  bool held_ = false;
};



/// Writes the rest of a line from `written` on, waiting a little for room.
bool Finish(size_t written, size_t length) {
  const Deadline until = Deadline::In(kFinishLineMs);
  while (written < length && !until.Passed()) {
    pollfd pfd = {recordFd, POLLOUT, 0};
    if (poll(&pfd, 1, until.PollMs()) < 0 && errno != EINTR) return false;
    const ssize_t n = write(recordFd, line + written, length - written);
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    if (n > 0) written += static_cast<size_t>(n);
  }
  return written == length;
}

/// Tells of a line that is not in the record: the first at once.
void LeftOut(const char* type, const char* why) {
  if (linesLeftOut++ > 0) return;
  printLog(stderr, "record: a %s line is left out (%s); the updates go on, the record is incomplete", type, why);
}

/// Writes the line made in `line` with one write: whole in the record, or
/// absent from it.
void WriteLine(const char* type, size_t length, bool overflow) {
  if (recordBroken) return LeftOut(type, "the record ends inside an earlier line");
  if (overflow) return LeftOut(type, "longer than a record line may be");
  const RecordFileLock fileLock;
  const ssize_t n = write(recordFd, line, length);
  if (n == static_cast<ssize_t>(length)) return;
  if (n <= 0) return LeftOut(type, n < 0 ? strerror(errno) : "nothing was written");
  // In part: a file takes it back (it could take no more), a FIFO gets the
  // rest once its reader makes room. Never the rest after another writer's
  // line: the part is ended where it stands.
  const size_t written = static_cast<size_t>(n);
  const RecordPart part = TakeBackPart(recordFd, written);
  if (part == RecordPart::kTakenBack) {
    return LeftOut(type, "written in part and taken back: the file could take no more");
  }
  if (part == RecordPart::kOvertaken) {
    if (!EndTheLastLine(recordFd)) recordBroken = true;
    ++linesLeftOut;
    printLog(stderr, "record: a %s line was written in part, and another writer's line came after it: the part "
             "stays, ended by a line feed, so that the next line parses; the updates go on", type);
    return;
  }
  if (Finish(written, length)) return;
  recordBroken = true;
  LeftOut(type, "written in part and not finished; nothing more is written to the record");
}

/// One JSON object made into `line`, keys in the order they are added.
class Json {
 public:
  explicit Json(const char* type) : type_(type) {
    Format("{\"v\":%d,\"ts\":", kRecordVersion);
    Time(WallClockMs());
    Str("type", type);
    if (runId[0] != '\0') Str("run", runId);
  }
  Json& Str(const char* key, const char* value) {
    Key(key);
    if (value == nullptr) {
      Add("null");
      return *this;
    }
    Quoted(value);
    return *this;
  }
  Json& Int(const char* key, int64_t value) {
    Key(key);
    Format("%lld", static_cast<long long>(value));
    return *this;
  }
  // A count that may be unknown (negative): null then.
  Json& Count(const char* key, int64_t value) { return value < 0 ? Str(key, nullptr) : Int(key, value); }
  Json& Real(const char* key, double value) {
    Key(key);
    Format("%.3f", value);
    return *this;
  }
  Json& Bool(const char* key, bool value) {
    Key(key);
    Add(value ? "true" : "false");
    return *this;
  }
  Json& At(const char* key, int64_t wallMs) {
    Key(key);
    Time(wallMs);
    return *this;
  }
  Json& Open(const char* key) {  // a nested object; Close() ends it
    Key(key);
    Add("{");
    first_ = true;
    return *this;
  }
  Json& Close() {
    Add("}");
    first_ = false;
    return *this;
  }
  // Writes the object as one line: whole in the record, or absent from it.
  void Write() {
    Add("}\n");
    if (recordFd >= 0) WriteLine(type_, used_, overflow_);
  }

 private:
  void Key(const char* key) {
    if (!first_) Add(",");
    first_ = false;
    Quoted(key);
    Add(":");
  }
  void Add(const char* text) { Format("%s", text); }
  void Format(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    va_list ap;
    va_start(ap, format);
    const int n = vsnprintf(line + used_, kLineSize - used_, format, ap);
    va_end(ap);
    if (n < 0 || static_cast<size_t>(n) >= kLineSize - used_) {
      overflow_ = true;
      return;
    }
    used_ += static_cast<size_t>(n);
  }
  void Time(int64_t wallMs) {
    const time_t seconds = static_cast<time_t>(wallMs / 1000);
    tm utc;
    gmtime_r(&seconds, &utc);
    Format("\"%04d-%02d-%02dT%02d:%02d:%02d.%03dZ\"", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour,
           utc.tm_min, utc.tm_sec, static_cast<int>(wallMs % 1000));
  }
  // A string as JSON: UTF-8 kept, control characters escaped, and a byte
  // that is no part of valid UTF-8 (a path may hold any) as U+FFFD.
  void Quoted(const char* text) {
    Add("\"");
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (*p != 0) {
      const unsigned char c = *p;
      if (c == '"' || c == '\\') {
        Format("\\%c", c);
        ++p;
      } else if (c < 0x20) {
        Format("\\u%04x", c);
        ++p;
      } else if (c < 0x80) {
        Format("%c", c);
        ++p;
      } else {
        const size_t n = Utf8Length(p);
        if (n == 0) {
          Add("\xEF\xBF\xBD");
          ++p;
        } else {
          Format("%.*s", static_cast<int>(n), reinterpret_cast<const char*>(p));
          p += n;
        }
      }
    }
    Add("\"");
  }
  // The length of the well-formed UTF-8 sequence at p, or 0.
  static size_t Utf8Length(const unsigned char* p) {
    const unsigned char c = p[0];
    size_t n;
    uint32_t least;
    if (c >= 0xC2 && c <= 0xDF) {
      n = 2;
      least = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
      n = 3;
      least = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
      n = 4;
      least = 0x10000;
    } else {
      return 0;
    }
    uint32_t cp = c & (0x7F >> n);
    for (size_t i = 1; i < n; ++i) {
      if ((p[i] & 0xC0) != 0x80) return 0;
      cp = cp << 6 | (p[i] & 0x3F);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
  }

  const char* type_;
  size_t used_ = 0;
  bool first_ = false;
  bool overflow_ = false;
};

/// A file read whole for its digest, and what it was then.
struct DigestedFile {
  bool known = false;  // read whole, unchanged while it was read
  FileStamp stamp;
  char hex[kSha256HexSize];
};

// The programs of the current file set as run_begin or row_begin read them,
// under recordLock: a target sent one of them unchanged got these bytes.
DigestedFile programsRead[2];

/// A file's size and digest, read once: false where it cannot be read.
bool DigestFile(const char* path, int64_t* bytes, DigestedFile* file) {
  file->known = false;
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  static unsigned char buf[1 << 16];  // under recordLock
  sha256_ctx h;
  sha256_init(&h);
  *bytes = 0;
  const FileStamp before = StampOf(fd);
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) {
    sha256_update(&h, static_cast<size_t>(n), buf);
    *bytes += n;
  }
  file->known = n == 0 && before.size >= 0 && StampOf(fd) == before;
  file->stamp = before;
  close(fd);
  if (n < 0) return false;
  HexOf(h, file->hex);
  return true;
}

void FileEntry(Json& j, const char* key, const char* path, DigestedFile* kept = nullptr) {
  int64_t bytes = -1;
  DigestedFile file;
  const bool read = DigestFile(path, &bytes, &file);
  j.Open(key).Str("path", path).Count("bytes", read ? bytes : -1).Str("sha256", read ? file.hex : nullptr).Close();
  if (kept != nullptr) *kept = file;
}

/// The update file set: the loader, the ID code (with its 10 bytes in hex)
/// and each program.
void FileSetEntries(Json& j) {
  j.Open("files");
  FileEntry(j, "loader", _loaderFile);
  FileEntry(j, "id_code", _idFile);
  FileEntry(j, "program_0", _targetFile[0], &programsRead[0]);
  programsRead[1].known = false;
  if (_targetFile[1][0] != '\0') FileEntry(j, "program_1", _targetFile[1], &programsRead[1]);
  j.Close();
  unsigned char code[kIdCodeSize];
  const int fd = open(_idFile, O_RDONLY | O_CLOEXEC);
  const ssize_t n = fd < 0 ? -1 : read(fd, code, sizeof code);
  if (fd >= 0) close(fd);
  char hex[2 * kIdCodeSize + 1] = "";
  for (ssize_t i = 0; i < n; ++i) snprintf(hex + 2 * i, 3, "%02x", code[i]);
  j.Str("id_code", n == static_cast<ssize_t>(kIdCodeSize) ? hex : nullptr);
}

const char* MacOf(const PROCESS_INFO& p) { return p.record.mac[0] != '\0' ? p.record.mac : nullptr; }

/// An identifier no other run has: the time to the second, the process, and
/// 32 random bits (two stations started in one second with one pid differ).
void MakeRunId() {
  uint32_t random = 0;
  const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0 || read(fd, &random, sizeof random) != static_cast<ssize_t>(sizeof random)) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    random = static_cast<uint32_t>(now.tv_nsec) ^ static_cast<uint32_t>(now.tv_sec << 20);
  }
  if (fd >= 0) close(fd);
  const int64_t ms = WallClockMs();
  const time_t seconds = static_cast<time_t>(ms / 1000);
  tm utc;
  gmtime_r(&seconds, &utc);
  snprintf(runId, sizeof runId, "%04d%02d%02dT%02d%02d%02dZ-%ld-%08x", utc.tm_year + 1900, utc.tm_mon + 1,
           utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<long>(getpid()), random);
}

}  // namespace

RecordPart TakeBackPart(int fd, size_t written) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return RecordPart::kAtTheEnd;
  if (lseek(fd, 0, SEEK_CUR) != st.st_size) return RecordPart::kOvertaken;
  return ftruncate(fd, st.st_size - static_cast<off_t>(written)) == 0 ? RecordPart::kTakenBack : RecordPart::kAtTheEnd;
}

bool EndTheLastLine(int fd) {
  // The record is open for writing alone: its last byte is read through a
  // descriptor of its own on the same file.
  char self[32];
  snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
  const int in = open(self, O_RDONLY | O_CLOEXEC);
  struct stat st;
  char last = '\n';
  if (in >= 0 && fstat(in, &st) == 0 && st.st_size > 0 && pread(in, &last, 1, st.st_size - 1) != 1) last = '\n';
  if (in >= 0) close(in);
  return last == '\n' || write(fd, "\n", 1) == 1;
}

const char* HexOf(sha256_ctx h, char hex[kSha256HexSize]) {
  uint8_t digest[SHA256_DIGEST_SIZE];
  sha256_digest(&h, sizeof digest, digest);
  base16_encode_update(hex, sizeof digest, digest);
  hex[kSha256HexSize - 1] = '\0';
  return hex;
}

bool RecordedDigestOf(int index, int fd, char hex[kSha256HexSize]) {
  const FileStamp now = StampOf(fd);
  if (!RecordActive() || index < 0 || index > 1 || now.size < 0) return false;
  std::lock_guard<std::mutex> lock(recordLock);
  const DigestedFile& read = programsRead[index];
  if (!read.known || read.stamp != now) return false;
  if (hex != nullptr) memcpy(hex, read.hex, kSha256HexSize);
  return true;
}

int RecordOpen(const char* path) {
  // Non-blocking: a FIFO without a reader is refused at once, and one whose
  // reader lags fails a write instead of holding the updates up.
  const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) {
    printLog(stderr, "record %s: cannot open it for appending: %s%s", path, strerror(errno),
             errno == ENXIO ? " (a FIFO with no reader)" : "");
    if (fd >= 0) close(fd);
    return -1;
  }
  std::lock_guard<std::mutex> lock(recordLock);
  recordFd = fd;
  MakeRunId();
  linesLeftOut = 0;
  recordBroken = false;
  return 0;
}

bool RecordActive() { return recordFd >= 0; }

void RecordClose() {
  std::lock_guard<std::mutex> lock(recordLock);
  if (linesLeftOut > 1) printLog(stderr, "record: %d lines in all are left out of it", linesLeftOut);
  if (recordFd >= 0) close(recordFd);
  recordFd = -1;
  runId[0] = '\0';
}

void RecordRunBegin(int argc, char** argv, UW hostAddress) {
  if (!RecordActive()) return;
  std::lock_guard<std::mutex> lock(recordLock);
  Json j("run_begin");
  char station[256];
  const bool named = gethostname(station, sizeof station) == 0;
  station[sizeof station - 1] = '\0';
  j.Str("station", named && station[0] != '\0' ? station : nullptr);
  j.Str("version", MOXTIL_VERSION).Str("interface", ifname).Str("host_address", FormatAddress(hostAddress).text);
  j.Str("mode", _filelist ? "file_list" : IsSingleTargetMode() ? "single" : "several");
  if (!IsSingleTargetMode() && _targetLimit > 0) j.Int("count", _targetLimit);
  // The command line as given, and what it set.
  j.Open("arguments");
  for (int i = 1; i < argc; ++i) {
    char key[16];
    snprintf(key, sizeof key, "%d", i);
    j.Str(key, argv[i]);
  }
  j.Close();
  j.Open("options").Int("port_base", _baseOffset).Int("time_out_s", TimeOutSeconds()).Int("delay_ms", _delay);
  j.Str("unicast", _unicast ? FormatAddress(_dstIP).text : nullptr);
  j.Str("restart", _reset ? FormatAddress(_resetIP).text : nullptr);
  j.Str("reboot", _reboot == kRebootFull ? "R" : _reboot == kRebootSemi ? "r" : "0").Bool("reuse_addr", _reuse_addr != 0);
  if (_filelist) j.Int("list_wait_s", _filelistWaitTimer);
  j.Close();
  if (_filelist) {
    j.Open("files");
    FileEntry(j, "list", _FileListPath);
    j.Close();
  } else {
    FileSetEntries(j);
  }
  j.Write();
}

void RecordInterfaceChange(const char* change, UW hostAddress) {
  if (!RecordActive()) return;
  std::lock_guard<std::mutex> lock(recordLock);
  Json j("interface");
  j.Str("interface", ifname).Str("change", change);
  j.Str("host_address", hostAddress != 0 ? FormatAddress(hostAddress).text : nullptr);
  j.Write();
}

void RecordRowBegin(int row) {
  if (!RecordActive()) return;
  std::lock_guard<std::mutex> lock(recordLock);
  Json j("row_begin");
  j.Int("row", row);
  FileSetEntries(j);
  j.Write();
}

void RecordTargetBegin(const PROCESS_INFO& p) {
  if (!RecordActive()) return;
  std::lock_guard<std::mutex> lock(recordLock);
  Json j("target_begin");
  j.Str("target", FormatAddress(p.ipaddr).text).Int("port", p.portno).Str("mac", MacOf(p));
  j.Write();
}

void RecordStage(const PROCESS_INFO& p, const char* stage) {
  if (!RecordActive()) return;
  std::lock_guard<std::mutex> lock(recordLock);
  Json j("stage");
  j.Str("target", FormatAddress(p.ipaddr).text).Str("stage", stage);
  if (std::strcmp(stage, "data_connection") == 0) {
    j.Str("data_address", FormatAddress(p.record.dataAddr).text).Str("paired_by", PairedByName(p.record.pairedBy));
  }
  if (std::strcmp(stage, "program_chosen") == 0) j.Int("program_index", p.selectFileNum);
  j.Write();
}

void RecordProgress(PROCESS_INFO& p, int64_t acknowledged) {
  if (!RecordActive()) return;
  const int64_t now = MonotonicMs();
  if (p.recordedMs != 0 && now - p.recordedMs < kRecordProgressMs) return;
  p.recordedMs = now;
  const int64_t ms = now - p.figures.programStartMs;
  std::lock_guard<std::mutex> lock(recordLock);
  Json j("progress");
  j.Str("target", FormatAddress(p.ipaddr).text).Int("bytes_acknowledged", acknowledged);
  j.Int("bytes_due", p.figures.bytesDue);
  j.Real("mib_per_s", ms > 0 ? static_cast<double>(acknowledged) / 1048576.0 / (static_cast<double>(ms) / 1000.0) : 0);
  j.Write();
}

void RecordTargetEnd(const PROCESS_INFO& p) {
  if (!RecordActive()) return;
  std::lock_guard<std::mutex> lock(recordLock);
  const TargetRecord& r = p.record;
  const bool reached = r.bytesDue >= 0;
  Json j("target_end");
  j.Str("target", FormatAddress(p.ipaddr).text);
  j.Str("data_address", r.dataAddr != 0 ? FormatAddress(r.dataAddr).text : nullptr).Str("mac", MacOf(p));
  j.Str("paired_by", PairedByName(r.pairedBy));
  j.Str("program", reached ? _targetFile[r.program] : nullptr).Count("program_index", reached ? r.program : -1);
  j.Count("bytes_due", r.bytesDue).Count("bytes_acknowledged", reached ? r.bytesAcknowledged : -1);
  // A digest only of what the target acknowledged whole: a failed program's
  // part is no program.
  j.Str("program_sha256", r.finished && r.programSha256[0] != '\0' ? r.programSha256 : nullptr);
  j.Str("loader_sha256", r.loaderSent ? r.loaderSha256 : nullptr);
  j.At("started", r.startedWallMs).At("ended", r.endedWallMs);
  j.Real("seconds", static_cast<double>(r.endedWallMs - r.startedWallMs) / 1000.0);
  j.Str("result", r.finished ? "finished" : "failed").Str("status_line", r.lastStatus);
  j.Str("explanation", r.why[0] != '\0' ? r.why : nullptr).Bool("reset_after_finish", r.resetAfterFinish);
  j.Str("changed_while_sent", r.changedWhileSent);
  j.Write();
}

void RecordRunEnd(int exitValue, const char* endedBy) {
  if (!RecordActive()) return;
  std::lock_guard<std::mutex> lock(recordLock);
  const int targets = ServedCount();
  const int finished = FinishedCount();
  Json j("run_end");
  j.Int("targets", targets).Int("finished", finished).Int("failed", targets - finished);
  j.Int("exit", exitValue & 0xff).Str("ended_by", endedBy);
  // The run's tally: the failures by status line, most frequent first; the
  // devices and how they came through; the times of the finished programs.
  const RunTally& tally = TheRunTally();
  j.Open("failures");
  for (int i = 0; i < tally.failures.Distinct(); ++i) j.Int(tally.failures.Line(i), tally.failures.Count(i));
  if (tally.failures.Other() > 0) j.Int("other", tally.failures.Other());
  j.Close();
  j.Open("devices").Int("seen", tally.devices.Devices()).Int("first_try", tally.devices.FirstTry());
  j.Int("after_retry", tally.devices.AfterRetry()).Int("never_finished", tally.devices.Never());
  j.Int("not_told_apart", tally.devices.Untold()).Close();
  const bool timed = tally.times.Count() > 0;
  j.Open("program_ms").Count("fastest", timed ? tally.times.Fastest() : -1).Count("median", tally.times.Median());
  j.Count("slowest", timed ? tally.times.Slowest() : -1).Close();
  j.Write();
}

void RecordWarning(const char* kind, const char* explanation, const char* target, const char* mac,
                   const char* otherTarget) {
  if (!RecordActive()) return;
  std::lock_guard<std::mutex> lock(recordLock);
  Json j("warning");
  j.Str("kind", kind);
  if (target != nullptr) j.Str("target", target).Str("mac", mac);
  if (otherTarget != nullptr) j.Str("other_target", otherTarget);
  j.Str("explanation", explanation);
  j.Write();
}
