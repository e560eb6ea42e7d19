#include "moxtil/Transfer.h"

#include <climits>
#include <cstdio>

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
unsigned char sndBuf[kProcessSlots][32];
unsigned char rcvBuf[kProcessSlots][32];
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
};

void CloseConnection(Session& s) {
  if (s.cepid < 0) return;
  tcp_cls_cep(s.cepid, kPeerEndWait);
  tcp_del_cep(s.cepid);
  s.cepid = -1;
}

/// Sends all len bytes, going on after short counts; false when a send fails.
bool SendAll(ID cepid, const unsigned char* data, size_t len, TMO tmo) {
  while (len > 0) {
    INT want = len > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<INT>(len);
    ER sent = tcp_snd_dat(cepid, data, want, tmo);
    if (sent < 0) return false;
    data += sent;
    len -= static_cast<size_t>(sent);
  }
  return true;
}

// kShort: the file could not be read to the length it had when it was
// opened (a read error, or a file cut short meanwhile). A file that grows
// is sent to its end.
enum class Stream { kOk, kShort, kSendError };

/// Sends the loader file to its end.
Stream SendLoader(ID cepid, FILE* fp, off_t length, unsigned char* buf, TMO tmo) {
  int64_t sent = 0;
  for (;;) {
    size_t got = fread(buf, 1, kRunSize, fp);
    if (ferror(fp)) return Stream::kShort;
    if (!SendAll(cepid, buf, got, tmo)) return Stream::kSendError;
    sent += static_cast<int64_t>(got);
    if (got < kRunSize) return sent < length ? Stream::kShort : Stream::kOk;
  }
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
  if (fp == nullptr) return FileFailure(status::kLoaderNotFound);
  const Stream loader = SendLoader(s.cepid, fp, length, s.buf, s.tmo);
  fclose(fp);
  if (loader == Stream::kShort) return FileFailure(status::kLoaderNotFound);
  // A loader that could not be sent whole gets no reboot byte, so that the
  // target does not start a broken loader.
  const unsigned char reboot = static_cast<unsigned char>(_reboot);
  if (loader == Stream::kSendError || !SendAll(s.cepid, &reboot, 1, s.tmo) || tcp_wai_ack(s.cepid, s.tmo) != E_OK) {
    return WireFailure(status::kRebootDataError);
  }
  CloseConnection(s);
  return kDone;
}

/// The data connection and the 10-byte ID code on it, then the pause.
Outcome IdCodeStage(Session& s, unsigned char* memo) {
  off_t length = 0;
  FILE* fp = OpenRegularFile(_idFile, &length);
  if (fp == nullptr) return FileFailure(status::kIdFileNotFound);
  if (length == 0) {
    Sleep(kEmptyIdCodeMs);
    fclose(fp);
    return FileFailure(status::kIdFileEmpty);
  }
  // The target comes back on the data port, from whatever address it has
  // after its reboot. A failed accept shows in the first send.
  T_TCP_CCEP ccep = {0, sndBuf[s.p->no], 32, rcvBuf[s.p->no], 32, nullptr};
  s.cepid = tcp_vcre_cep(&ccep);
  T_IPV4EP dstaddr = {0, 0};
  tcp_acp_cep(s.cepid, s.p->repid, &dstaddr, s.tmo);

  const size_t idBytes = fread(memo, 1, kIdCodeSize, fp);
  fclose(fp);
  if (idBytes < kIdCodeSize) return FileFailure(status::kIdFileShort);
  if (!SendAll(s.cepid, memo, kIdCodeSize, s.tmo)) return WireFailure(status::kIdDataError);
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
Outcome ProgramStage(Session& s) {
  if (!_filelist) ConsoleOut(status::kNowErasing);
  off_t length = 0;
  FILE* fp = OpenRegularFile(_targetFile[s.p->selectFileNum], &length);
  if (fp == nullptr) return FileFailure(status::kTargetNotFound);
  Progress progress = {length, 0, 0};
  const Stream program = SendProgram(s.cepid, fp, s.buf, progress, s.tmo);
  fclose(fp);
  if (program == Stream::kShort) return FileFailure(status::kTargetNotFound);
  // "100 % finish" tells the update app that the target has the program:
  // bytes in our socket buffer are not bytes delivered.
  if (program == Stream::kSendError || tcp_wai_ack(s.cepid, s.tmo) != E_OK) {
    return WireFailure(status::kTargetSendError);
  }
  return kDone;
}

/// The row counted or the finish line, then the wait before the close.
void FinishStage() {
  if (_filelist) CountUpSoftwareUpdate();
  if (!IsSoftwareUpdate()) ConsoleOut(status::kFinish);
  Sleep(kBeforeCloseMs);
}

Outcome Serve(Session& s) {
  unsigned char memo[kIdCodeSize];  // the ID code, then the selection reply
  static_assert(kIdCodeSize >= kSelectionReplySize, "");
  Outcome outcome = LoaderStage(s);
  if (outcome.line == nullptr) outcome = IdCodeStage(s, memo);
  if (outcome.line == nullptr) {
    SelectionStage(s, memo);
    outcome = ProgramStage(s);
  }
  if (outcome.line == nullptr) FinishStage();
  return outcome;
}

}  // namespace

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

void PrintWritePercentage(int64_t total, int64_t current) {
  char line[100];
  snprintf(line, sizeof line, "%03ld %%", WritePercentage(total, current));
  ConsoleOut(line);
}

int process2(void* arg) {
  PROCESS_INFO* p = static_cast<PROCESS_INFO*>(arg);
  Session s = {p, ThreadTimeOut(), p->cepid, streamBuf[p->no]};
  const Outcome outcome = Serve(s);
  // One way out, whatever the stage: the connection, the slot, the line.
  CloseConnection(s);
  cancelProcessNo(p->no);
  if (outcome.line == nullptr) return 0;
  if (outcome.setsTimeOutFlag) _IsTimeOut = 1;
  ConsoleOut(outcome.line);
  return -1;
}
