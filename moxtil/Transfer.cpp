#include "moxtil/Transfer.h"

#include <climits>
#include <cstdio>

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

enum class Stream { kOk, kReadError, kSendError };

void Release(ID cepid) {
  tcp_cls_cep(cepid, 0);
  tcp_del_cep(cepid);
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

/// Sends the loader file to its end.
Stream SendLoader(ID cepid, FILE* fp, unsigned char* buf, TMO tmo) {
  for (;;) {
    size_t got = fread(buf, 1, kRunSize, fp);
    if (ferror(fp)) return Stream::kReadError;
    if (!SendAll(cepid, buf, got, tmo)) return Stream::kSendError;
    if (got < kRunSize) return Stream::kOk;
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
    if (ferror(fp)) return Stream::kReadError;
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
      if (got % kPieceSize == 0) EndPiece(progress, progress.size);  // the empty read at the end
      return Stream::kOk;
    }
  }
}

/// Ends a failed transfer: frees the slot and writes its status line.
int Fail(PROCESS_INFO* p, const char* line, bool endsUpdate) {
  cancelProcessNo(p->no);
  if (endsUpdate) _IsTimeOut = 1;
  ConsoleOut(line);
  return -1;
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
  const TMO tmo = ThreadTimeOut();
  unsigned char* buf = streamBuf[p->no];
  ID cepid = p->cepid;

  // Loader, then the reboot byte. A loader that could not be sent whole gets
  // no reboot byte, so that the target does not start a broken loader.
  FILE* fp = fopen(_loaderFile, "rb");
  if (fp == nullptr) {
    Release(cepid);
    return Fail(p, status::kLoaderNotFound, false);
  }
  Stream loader = SendLoader(cepid, fp, buf, tmo);
  fclose(fp);
  if (loader == Stream::kReadError) {
    Release(cepid);
    return Fail(p, status::kLoaderNotFound, false);
  }
  const unsigned char reboot = static_cast<unsigned char>(_reboot);
  if (loader == Stream::kSendError || !SendAll(cepid, &reboot, 1, tmo)) {
    Release(cepid);
    return Fail(p, status::kRebootDataError, true);
  }
  Release(cepid);

  // ID code.
  fp = fopen(_idFile, "r");
  if (fp == nullptr) return Fail(p, status::kIdFileNotFound, false);
  if (filelength(fileno(fp)) == 0) {
    Sleep(1000);
    fclose(fp);
    return Fail(p, status::kIdFileEmpty, false);
  }

  // The target comes back on the data port, from whatever address it has
  // after its reboot. A failed accept shows in the first send.
  T_TCP_CCEP ccep = {0, sndBuf[p->no], 32, rcvBuf[p->no], 32, nullptr};
  cepid = tcp_vcre_cep(&ccep);
  T_IPV4EP dstaddr = {0, 0};
  tcp_acp_cep(cepid, p->repid, &dstaddr, tmo);

  unsigned char memo[kPieceSize];
  size_t idBytes = fread(memo, 1, kIdCodeSize, fp);
  fclose(fp);
  if (idBytes < kIdCodeSize) {
    Release(cepid);
    return Fail(p, status::kIdFileShort, false);
  }
  if (!SendAll(cepid, memo, kIdCodeSize, tmo)) {
    Release(cepid);
    return Fail(p, status::kIdDataError, true);
  }
  Sleep(1000);

  if (p->selectFileNum != 0) {
    p->selectFileNum = 0;
    ER got = tcp_rcv_dat(cepid, memo, static_cast<INT>(kSelectionReplySize), 100);
    p->selectFileNum = SelectedProgram(memo, got);
  }
  if (!_filelist) ConsoleOut(status::kNowErasing);

  // Target program.
  fp = fopen(_targetFile[p->selectFileNum], "rb");
  if (fp == nullptr) {
    Release(cepid);
    return Fail(p, status::kTargetNotFound, false);
  }
  Progress progress = {filelength(fileno(fp)), 0, 0};
  Stream program = SendProgram(cepid, fp, buf, progress, tmo);
  fclose(fp);
  if (program != Stream::kOk) {
    Release(cepid);
    if (program == Stream::kReadError) return Fail(p, status::kTargetNotFound, false);
    return Fail(p, status::kTargetSendError, true);
  }

  if (_filelist) CountUpSoftwareUpdate();
  if (!IsSoftwareUpdate()) ConsoleOut(status::kFinish);

  Sleep(5000);  // the target finishes writing before the connection closes
  Release(cepid);
  cancelProcessNo(p->no);
  return 0;
}
