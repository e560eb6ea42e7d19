#include "moxtil/Transfer.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/util.h"
#include "moxtil/Itron.h"
#include "moxtil/Options.h"
#include "moxtil/Output.h"
#include "moxtil/Protocol.h"
#include "moxtil/RunState.h"

namespace {

// Files are read and sent in runs of many pieces: the stream carries no
// framing, so only the progress lines and the -N pauses see the pieces.
constexpr size_t kRunSize = 256 * kPieceSize;

// Per slot: the buffers offered for the data connection, and the file buffer.
SlotBuffers buffers[kProcessSlots];
unsigned char streamBuf[kProcessSlots][kRunSize];

/// How a stage ended. A failure carries its status line; failures on the
/// wire also set the time-out flag, which ends the driver's announce loop.
struct Outcome {
  const char* line;  // null: the stage went through
  bool setsTimeOutFlag;
};
constexpr Outcome kDone = {nullptr, false};
Outcome FileFailure(const char* line) { return {line, false}; }
Outcome WireFailure(const char* line) { return {line, true}; }

/// One target being served: its slot, its limit, the connection in use.
struct Session {
  PROCESS_INFO* p;
  TMO tmo;
  ID cepid;  // the open connection, or -1
  unsigned char* buf;
  AddressText peer;  // of the connection in use
  char why[320];     // the explanation of a failure, written before its line
};

/// Keeps the explanation of a failure for the line that reports it.
Outcome Explain(Session& s, Outcome failure, const char* format, ...) __attribute__((format(printf, 3, 4)));
Outcome Explain(Session& s, Outcome failure, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  vsnprintf(s.why, sizeof s.why, format, ap);
  va_end(ap);
  return failure;
}

unsigned DataPortNumber() { return DataPort(_baseOffset); }

/// A file that could not be read to the length it had when opened.
Outcome ExplainShortFile(Session& s, Outcome failure, const char* what, const char* path, FILE* fp,
                         int64_t done, int64_t length) {
  if (ferror(fp)) {
    return Explain(s, failure, "%s %s: read failed after %lld of %lld bytes: %s", what, path,
                   static_cast<long long>(done), static_cast<long long>(length), strerror(errno));
  }
  return Explain(s, failure, "%s %s: ran out after %lld of %lld bytes (the file shrank while it was sent)", what,
                 path, static_cast<long long>(done), static_cast<long long>(length));
}

void CloseConnection(Session& s) {
  if (s.cepid < 0) return;
  tcp_cls_cep(s.cepid, kPeerEndWait);
  tcp_del_cep(s.cepid);
  s.cepid = -1;
}

/// Sends all len bytes, going on after short counts: len, or the bytes sent
/// before a send failed.
size_t SendAll(ID cepid, const unsigned char* data, size_t len, TMO tmo) {
  size_t done = 0;
  while (done < len) {
    const size_t left = len - done;
    const INT want = left > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<INT>(left);
    const ER sent = tcp_snd_dat(cepid, data + done, want, tmo);
    if (sent < 0) break;
    done += static_cast<size_t>(sent);
  }
  return done;
}

// kShort: the file could not be read to the length it had when it was
// opened (a read error, or a file cut short meanwhile). A file that grows
// is sent to its end.
enum class Stream { kOk, kShort, kSendError };

/// Sends the loader file to its end, counting the bytes sent in *sent.
Stream SendLoader(ID cepid, FILE* fp, off_t length, unsigned char* buf, TMO tmo, int64_t* sent) {
  for (;;) {
    const size_t got = fread(buf, 1, kRunSize, fp);
    if (ferror(fp)) return Stream::kShort;
    const size_t done = SendAll(cepid, buf, got, tmo);
    *sent += static_cast<int64_t>(done);
    if (done < got) return Stream::kSendError;
    if (got < kRunSize) return *sent < length ? Stream::kShort : Stream::kOk;
  }
}

/// The percentage of a progress line: over the whole list in file-list mode,
/// never 100 (the finish line tells that).
long WritePercentage(int64_t total, int64_t current) {
  const double whole = total <= 99 ? 100.0 : static_cast<double>(total);
  const double part = static_cast<double>(current) / whole;
  double percent;
  if (_filelist) {
    percent = (part + _currentSwupNum) * 100.0 / _totalSwupNum + 0.5;
  } else {
    percent = 0.5 + part * 100.0;
  }
  if (!(percent >= 0.0)) return 0;  // also NaN
  if (percent >= 100.0) return 99;
  return static_cast<long>(percent);
}

// Progress of the target program, counted in pieces as they would be read
// one by one: a line after every tenth piece and after the piece that
// completes the file, including the empty read that meets the end of a file
// whose length is a multiple of the piece size.
struct Progress {
  int64_t total;
  int64_t size;   // bytes sent
  int64_t loops;  // pieces done
};

void EndPiece(Progress& progress, int64_t sizeAtEnd) {
  if (_delay != 0) Sleep(_delay);
  if (progress.loops % 10 == 0 || sizeAtEnd == progress.total) PrintWritePercentage(progress.total, sizeAtEnd);
  ++progress.loops;
}

/// Sends the target program to its end with progress lines; with -N a pause
/// comes before every send and after every piece, so runs are single pieces.
Stream SendProgram(ID cepid, FILE* fp, unsigned char* buf, Progress& progress, TMO tmo) {
  const size_t runSize = _delay != 0 ? kPieceSize : kRunSize;
  for (;;) {
    size_t got = fread(buf, 1, runSize, fp);
    if (ferror(fp)) return Stream::kShort;
    const int64_t base = progress.size;
    size_t sent = 0;
    size_t pieceEnd = got < kPieceSize ? got : kPieceSize;
    while (sent < got) {
      if (_delay != 0) Sleep(_delay);
      size_t left = got - sent;
      INT want = left > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<INT>(left);
      ER n = tcp_snd_dat(cepid, buf + sent, want, tmo);
      if (n < 0) return Stream::kSendError;
      sent += static_cast<size_t>(n);
      progress.size += n;
      while (pieceEnd <= sent && pieceEnd > 0) {
        EndPiece(progress, base + static_cast<int64_t>(pieceEnd));
        if (pieceEnd == got) break;
        pieceEnd = pieceEnd + kPieceSize < got ? pieceEnd + kPieceSize : got;
      }
    }
    if (got < runSize) {
      if (progress.size < progress.total) return Stream::kShort;
      if (got % kPieceSize == 0) EndPiece(progress, progress.size);  // the empty read at the end
      return Stream::kOk;
    }
  }
}

/// The loader, then the reboot byte, on the loader connection; the
/// connection is closed once the target's TCP has acknowledged them all.
Outcome LoaderStage(Session& s) {
  off_t length = 0;
  FILE* fp = OpenRegularFile(_loaderFile, &length);
  if (fp == nullptr) {
    return Explain(s, FileFailure(status::kLoaderNotFound), "loader %s: cannot open: %s", _loaderFile,
                   FileReason(errno));
  }
  int64_t sent = 0;
  const Stream loader = SendLoader(s.cepid, fp, length, s.buf, s.tmo, &sent);
  const long long total = static_cast<long long>(length);
  Outcome outcome = kDone;
  if (loader == Stream::kShort) {
    outcome = ExplainShortFile(s, FileFailure(status::kLoaderNotFound), "loader", _loaderFile, fp, sent, length);
  }
  fclose(fp);
  if (outcome.line != nullptr) return outcome;
  // A loader that could not be sent whole gets no reboot byte, so that the
  // target does not start a broken loader.
  const Outcome failed = WireFailure(status::kRebootDataError);
  if (loader == Stream::kSendError) {
    return Explain(s, failed, "loader to %s: send failed after %lld of %lld bytes: %s", s.peer.text,
                   static_cast<long long>(sent), total, ItronReason());
  }
  const unsigned char reboot = static_cast<unsigned char>(_reboot);
  if (SendAll(s.cepid, &reboot, 1, s.tmo) != 1) {
    return Explain(s, failed, "reboot byte to %s: send failed after the %lld bytes of the loader: %s", s.peer.text,
                   total, ItronReason());
  }
  if (tcp_wai_ack(s.cepid, s.tmo) != E_OK) {
    return Explain(s, failed, "loader to %s: %lld bytes and the reboot byte sent, not all acknowledged: %s",
                   s.peer.text, total, ItronReason());
  }
  CloseConnection(s);
  return kDone;
}

/// The data connection and the 10-byte ID code on it, then the pause.
Outcome IdCodeStage(Session& s, unsigned char* memo) {
  off_t length = 0;
  FILE* fp = OpenRegularFile(_idFile, &length);
  if (fp == nullptr) {
    return Explain(s, FileFailure(status::kIdFileNotFound), "ID code %s: cannot open: %s", _idFile,
                   FileReason(errno));
  }
  if (length == 0) {
    Sleep(kEmptyIdCodeMs);
    fclose(fp);
    return Explain(s, FileFailure(status::kIdFileEmpty), "ID code %s: the file is empty", _idFile);
  }
  // The target comes back on the data port, from whatever address it has
  // after its reboot. A failed accept is told once the ID file is known to
  // be whole, since a short file has a line of its own.
  T_TCP_CCEP ccep = ConnectionRecord(buffers[s.p->no]);
  s.cepid = tcp_vcre_cep(&ccep);
  T_IPV4EP dstaddr = {0, 0};
  const ER accepted = s.cepid < 0 ? s.cepid : tcp_acp_cep(s.cepid, s.p->repid, &dstaddr, s.tmo);
  const char* acceptReason = ItronReason();
  if (accepted == E_OK) {
    s.peer = FormatAddress(dstaddr.ipaddr, dstaddr.portno);
    printLog(stderr, "data connection from %s", s.peer.text);
  }

  const size_t idBytes = fread(memo, 1, kIdCodeSize, fp);
  fclose(fp);
  if (idBytes < kIdCodeSize) {
    return Explain(s, FileFailure(status::kIdFileShort), "ID code %s: only %zu of the %zu bytes", _idFile, idBytes,
                   kIdCodeSize);
  }
  const Outcome failed = WireFailure(status::kIdDataError);
  if (accepted == E_TMOUT) {
    return Explain(s, failed, "ID code: no data connection on port %u within %d s", DataPortNumber(), _TimeOutSecond);
  }
  if (accepted != E_OK) {
    return Explain(s, failed, "ID code: no data connection on port %u: %s", DataPortNumber(), acceptReason);
  }
  if (SendAll(s.cepid, memo, kIdCodeSize, s.tmo) != kIdCodeSize) {
    return Explain(s, failed, "ID code to %s: send failed: %s", s.peer.text, ItronReason());
  }
  Sleep(kAfterIdCodeMs);
  return kDone;
}

/// The target's choice when two programs are configured: one receive.
void SelectionStage(Session& s, unsigned char* memo) {
  if (s.p->selectFileNum == 0) return;
  s.p->selectFileNum = 0;
  const ER got = tcp_rcv_dat(s.cepid, memo, static_cast<INT>(kSelectionReplySize), kSelectionReplyWait);
  s.p->selectFileNum = SelectedProgram(memo, got);
}

/// The chosen program with its progress lines, acknowledged to the last byte.
Outcome ProgramStage(Session& s, int64_t* bytes) {
  if (!_filelist) ConsoleOut(status::kNowErasing);
  const char* path = _targetFile[s.p->selectFileNum];
  off_t length = 0;
  FILE* fp = OpenRegularFile(path, &length);
  if (fp == nullptr) {
    return Explain(s, FileFailure(status::kTargetNotFound), "program %s: cannot open: %s", path, FileReason(errno));
  }
  Progress progress = {length, 0, 0};
  const Stream program = SendProgram(s.cepid, fp, s.buf, progress, s.tmo);
  const long long total = static_cast<long long>(length);
  Outcome outcome = kDone;
  if (program == Stream::kShort) {
    outcome = ExplainShortFile(s, FileFailure(status::kTargetNotFound), "program", path, fp, progress.size, length);
  }
  fclose(fp);
  *bytes = progress.size;
  if (outcome.line != nullptr) return outcome;
  const Outcome failed = WireFailure(status::kTargetSendError);
  if (program == Stream::kSendError) {
    return Explain(s, failed, "program to %s: send failed after %lld of %lld bytes: %s", s.peer.text,
                   static_cast<long long>(progress.size), total, ItronReason());
  }
  // "100 % finish" tells the update app that the target has the program:
  // bytes in our socket buffer are not bytes delivered.
  if (tcp_wai_ack(s.cepid, s.tmo) != E_OK) {
    return Explain(s, failed, "program to %s: all %lld bytes sent, not all acknowledged: %s", s.peer.text,
                   static_cast<long long>(progress.size), ItronReason());
  }
  return kDone;
}

/// The row counted or the finish line with the transfer's figures, then the
/// wait before the close.
void FinishStage(const Session& s, int64_t bytes, int64_t startMs) {
  if (_filelist) CountUpSoftwareUpdate();
  if (!IsSoftwareUpdate()) ConsoleOut(status::kFinish);
  const double seconds = static_cast<double>(MonotonicMs() - startMs) / 1000.0;
  printLog(stderr, "program to %s: %lld bytes in %.2f s (%.2f MiB/s)", s.peer.text, static_cast<long long>(bytes),
           seconds, seconds > 0 ? static_cast<double>(bytes) / 1048576.0 / seconds : 0.0);
  Sleep(kBeforeCloseMs);
}

Outcome Serve(Session& s) {
  unsigned char memo[kIdCodeSize];  // the ID code, then the selection reply
  static_assert(kIdCodeSize >= kSelectionReplySize, "");
  Outcome outcome = LoaderStage(s);
  if (outcome.line == nullptr) outcome = IdCodeStage(s, memo);
  if (outcome.line != nullptr) return outcome;
  SelectionStage(s, memo);
  const int64_t startMs = MonotonicMs();
  int64_t bytes = 0;
  outcome = ProgramStage(s, &bytes);
  if (outcome.line == nullptr) FinishStage(s, bytes, startMs);
  return outcome;
}

}  // namespace

void PrintWritePercentage(int64_t total, int64_t current) {
  char line[100];
  snprintf(line, sizeof line, "%03ld %%", WritePercentage(total, current));
  ConsoleOut(line);
}

int process2(void* arg) {
  PROCESS_INFO* p = static_cast<PROCESS_INFO*>(arg);
  Session s = {p, ThreadTimeOut(), p->cepid, streamBuf[p->no], FormatAddress(p->ipaddr, p->portno), ""};
  const Outcome outcome = Serve(s);
  // One way out, whatever the stage: the connection, the slot, the lines.
  CloseConnection(s);
  cancelProcessNo(p->no);
  if (outcome.line == nullptr) return 0;
  if (outcome.setsTimeOutFlag) _IsTimeOut = 1;
  printLog(stderr, "%s", s.why);
  ConsoleOut(outcome.line);
  return -1;
}
