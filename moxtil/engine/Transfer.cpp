#include "moxtil/engine/Transfer.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/output.h"
#include "common/util.h"
#include "moxtil/engine/Acceptor.h"
#include "moxtil/engine/Handover.h"
#include "moxtil/itron/Itron.h"
#include "moxtil/config/Options.h"
#include "moxtil/engine/Protocol.h"
#include "moxtil/engine/Record.h"
#include "moxtil/engine/Report.h"
#include "moxtil/engine/RunState.h"

namespace {

// Files are read and sent in runs of many pieces: the stream carries no
// framing, so only the progress lines and the -N pauses see the pieces.
constexpr size_t kRunSize = 256 * kPieceSize;

static_assert(kRunSize == sizeof PROCESS_INFO::streamBuf, "a run fills the slot's stream buffer");

// Runs that the kernel sends from the file need no buffer of ours: longer,
// for fewer calls, and still short enough that the progress lines of a run,
// written once it is sent, come often on a slow link.
constexpr size_t kKernelRunSize = 1024 * kPieceSize;

// Station bounds: with -M a device that is gone frees its slot even without
// -T. One that does not come back from its reboot on the data port within
// this time (without -T; -T is the one limit where it is given)...
constexpr int kRebootLimitMs = 120000;
// ...and one whose TCP answers nothing for this long while bytes of ours
// wait for it (a device that is busy but alive answers, however long).
constexpr int kSilenceLimitMs = 45000;

// Said of a failed stream, which the close resets.
constexpr char kResetNote[] = "; the connection was reset, so that the target cannot take the part it got for the whole";

/// How a stage ended: a failure carries its status line.
struct Outcome {
  const char* line;  // null: the stage went through
  bool ok() const { return line == nullptr; }
};
constexpr Outcome kDone = {nullptr};
Outcome Failure(const char* line) { return {line}; }

/// One target being served: its slot, its limit, its buffer.
struct Session {
  PROCESS_INFO* p;
  int limitMs;  // of every send and acknowledgement: -T, or kNoLimitMs
  unsigned char* buf;
  size_t bufSize;  // buf's length: the run read from a file
  AddressText peer;  // of the connection in use
  bool loaderReset;  // the target reset the loader connection once it had acknowledged it all
  // With a record: the loader bytes sent, and the program's where they pass
  // through this process.
  sha256_ctx loaderHash;
  sha256_ctx programHash;
  /// The connection in use, or -1: the slot's, which this thread alone changes.
  ID cepidInUse() const { return p->cepidInUse; }
};

/// The connection in use from now on. With -M and no -T it is watched for
/// a target that is gone; -T, where given, is the one bound of a silent
/// target (a switch port that re-runs its spanning tree is silent for 30 to
/// 50 s, and -T120 must let it through).
void UseConnectionOf(Session& s, ID cepid, const T_IPV4EP& peer) {
  s.peer = FormatAddress(peer.ipaddr, peer.portno);
  UseConnection(*s.p, cepid);
  if (!IsSingleTargetMode() && s.limitMs == kNoLimitMs) tcp_set_opt(cepid, TCP_SILENCE_LIMIT, kSilenceLimitMs);
}

/// Keeps the explanation of a failure for the line that reports it.
Outcome Explain(Session& s, Outcome failure, const char* format, ...) __attribute__((format(printf, 3, 4)));
Outcome Explain(Session& s, Outcome failure, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  vsnprintf(s.p->record.why, sizeof s.p->record.why, format, ap);
  va_end(ap);
  return failure;
}

unsigned DataPortNumber() { return DataPort(_baseOffset); }

/// A file that could not be read to the length it had when opened: a read
/// failed for readFailure, or (null) the file ended early.
Outcome ExplainShortFile(Session& s, Outcome failure, const char* what, const char* path, const char* readFailure,
                         int64_t done, int64_t length) {
  if (readFailure != nullptr) {
    return Explain(s, failure, "%s %s: read failed after %lld of %lld bytes: %s", what, path,
                   static_cast<long long>(done), static_cast<long long>(length), readFailure);
  }
  return Explain(s, failure, "%s %s: ran out after %lld of %lld bytes (the file shrank while it was sent)", what,
                 path, static_cast<long long>(done), static_cast<long long>(length));
}

/// Closes the connection in use: E_OK when the target ended its stream
/// normally (or no connection was open), E_TMOUT when it did not within the
/// wait, E_RLWAI when it reset the connection before the close was over.
ER CloseConnection(Session& s) {
  const ID cepid = s.cepidInUse();
  ER closed = E_OK;
  if (cepid >= 0) {
    closed = tcp_cls_cep(cepid, TmoOf(kPeerEndWaitMs));
    UseConnection(*s.p, -1);  // before the ID may go to another connection
    tcp_del_cep(cepid);
  }
  return closed;
}

/// Waits ms, or less once the transfer is cancelled.
void Pause(Session& s, int ms) { PauseUnlessCancelled(*s.p, ms); }

/// Sends all len bytes, going on after short counts: len, or the bytes sent
/// before a send failed. With a record, what was sent is fed to *hash.
size_t SendAll(ID cepid, const unsigned char* data, size_t len, int limitMs, sha256_ctx* hash = nullptr) {
  size_t done = 0;
  while (done < len) {
    const size_t left = len - done;
    const INT want = left > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<INT>(left);
    const ER sent = tcp_snd_dat(cepid, data + done, want, TmoOf(limitMs));
    if (sent < 0) break;
    if (hash != nullptr) sha256_update(hash, static_cast<size_t>(sent), data + done);
    done += static_cast<size_t>(sent);
  }
  return done;
}

// kShort: the file could not be read to the length it had when it was
// opened (a read error, or a file cut short meanwhile). A file that grows
// is sent to its end.
// kReadInstead: the kernel cannot send this file itself; it is read
// instead, from where the kernel stopped.
enum class Stream { kOk, kShort, kSendError, kReadInstead };

/// Sends the loader file to its end, counting the bytes sent in *sent and
/// feeding them to *hash (null: none).
Stream SendLoader(const Session& s, FILE* fp, off_t length, int64_t* sent, sha256_ctx* hash) {
  for (;;) {
    const size_t got = fread(s.buf, 1, s.bufSize, fp);
    if (ferror(fp)) return Stream::kShort;
    const size_t done = SendAll(s.cepidInUse(), s.buf, got, s.limitMs, hash);
    *sent += static_cast<int64_t>(done);
    if (done < got) return Stream::kSendError;
    if (got < s.bufSize) return *sent < length ? Stream::kShort : Stream::kOk;
  }
}

// Progress of the target program, counted in pieces as they would be read
// one by one: a line after every tenth piece and after the piece that
// completes the file, including the empty read that meets the end of a file
// whose length is a multiple of the piece size.
struct Progress {
  int64_t total;
  int64_t loops;  // pieces done
  const char* readFailure;  // why reading the file failed; null while it did not
  std::atomic<int64_t>& size;  // bytes sent: the target's figure, which the live view reads
};

void EndPiece(Session& s, Progress& progress, int64_t sizeAtEnd) {
  if (_delay != 0) Pause(s, _delay);
  if (progress.loops % 10 == 0 || sizeAtEnd == progress.total) {
    PrintWritePercentage(*s.p, progress.total, sizeAtEnd);
  }
  ++progress.loops;
}

/// One run being sent: the pieces it holds end as its bytes go out.
struct Run {
  int64_t base;      // the program's bytes sent before the run
  size_t ended = 0;  // of the run, up to the end of its last piece ended
  /// Ends the pieces that the run's first `sent` bytes complete; at its
  /// end also the piece that the end cuts short. Their lines go out
  /// together, once the send that completed them is over.
  void Sent(Session& s, Progress& progress, size_t sent, bool atEnd) {
    progress.size = base + static_cast<int64_t>(sent);
    while (ended + kPieceSize <= sent || (atEnd && ended < sent)) {
      ended = ended + kPieceSize <= sent ? ended + kPieceSize : sent;
      EndPiece(s, progress, base + static_cast<int64_t>(ended));
    }
    FlushProgress(*s.p);
  }
};

/// After a run that met the end of the file with got bytes: whole, or cut
/// short by a file that shrank.
Stream EndOfProgram(Session& s, Progress& progress, size_t got) {
  if (progress.size < progress.total) return Stream::kShort;
  if (got % kPieceSize == 0) EndPiece(s, progress, progress.size);  // the empty read at the end
  FlushProgress(*s.p);
  return Stream::kOk;
}

/// The read-and-send path: each run read into the session's buffer, then
/// sent. With -N a pause comes before every send and after every piece, so
/// runs are single pieces.
Stream ReadAndSendProgram(Session& s, FILE* fp, Progress& progress) {
  const size_t runSize = _delay != 0 ? kPieceSize : s.bufSize;
  unsigned char* buf = s.buf;
  for (;;) {
    const size_t got = fread(buf, 1, runSize, fp);
    if (ferror(fp)) {
      progress.readFailure = strerror(errno);
      return Stream::kShort;
    }
    Run run = {progress.size};
    size_t sent = 0;
    while (sent < got) {
      if (_delay != 0) Pause(s, _delay);
      const size_t left = got - sent;
      const INT want = left > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<INT>(left);
      const ER n = tcp_snd_dat(s.cepidInUse(), buf + sent, want, TmoOf(s.limitMs));
      if (n < 0) return Stream::kSendError;
      if (RecordActive()) sha256_update(&s.programHash, static_cast<size_t>(n), buf + sent);
      sent += static_cast<size_t>(n);
      run.Sent(s, progress, sent, sent == got);
    }
    if (got < runSize) return EndOfProgram(s, progress, got);
  }
}

/// Whole runs from the file to the socket inside the kernel, with no copy
/// through this process; a run's pieces end as its bytes go out.
Stream SendProgramInKernel(Session& s, int fd, Progress& progress) {
  for (;;) {
    Run run = {progress.size};
    size_t got = 0;
    for (;;) {
      int64_t offset = progress.size;
      const INT want = static_cast<INT>(kKernelRunSize - got);
      const ER n = tcp_snd_fil(s.cepidInUse(), fd, &offset, want, TmoOf(s.limitMs));
      if (n == E_NOSPT) return Stream::kReadInstead;
      if (n == E_SYS) {
        progress.readFailure = ItronReason();
        return Stream::kShort;
      }
      if (n < 0) return Stream::kSendError;
      got += static_cast<size_t>(n);
      run.Sent(s, progress, got, n == 0);
      if (n == 0) return EndOfProgram(s, progress, got);
      if (got == kKernelRunSize) break;
    }
  }
}

/// Whether the program's bytes go from the file to the socket inside the
/// kernel, one target or several: wherever nothing of ours has to see them.
/// -N pauses between single pieces read one by one; a record hashes the
/// bytes it sends, unless it read the digest of this very file, unchanged
/// since (fileDigested). A copy through this process costs the sender CPU
/// that a network adapter, which reads the file's pages itself, does not
/// need.
bool SendsInKernel(bool fileDigested) { return _delay == 0 && (!RecordActive() || fileDigested); }

/// Sends the target program to its end with progress lines.
Stream SendProgram(Session& s, FILE* fp, Progress& progress, bool fileDigested) {
  if (SendsInKernel(fileDigested)) {
    const Stream sent = SendProgramInKernel(s, fileno(fp), progress);
    if (sent != Stream::kReadInstead) return sent;
    if (fseeko(fp, static_cast<off_t>(progress.size), SEEK_SET) != 0) {
      progress.readFailure = strerror(errno);
      return Stream::kShort;
    }
  }
  return ReadAndSendProgram(s, fp, progress);
}

/// Opens a file that a stage sends, of *length bytes (its stamp into
/// *stamp, when not null); where it cannot be opened, *failure tells why,
/// with the stage's status line.
ScopedFile OpenStageFile(Session& s, const char* what, const char* path, const char* line, off_t* length,
                         Outcome* failure, FileStamp* stamp = nullptr) {
  ScopedFile fp(OpenRegularFile(path, length, stamp));
  if (fp == nullptr) *failure = Explain(s, Failure(line), "%s %s: cannot open: %s", what, path, FileReason(errno));
  return fp;
}

/// Whether the file sent from fp is still the one that was opened (its
/// stamp then: `opened`): no write since, and its path names it still. The
/// stream carries neither length nor digest, so a target takes a file
/// rewritten in place while it was sent for the program, half old, half
/// new: such a send is given up, and its stream reset.
bool Unchanged(FILE* fp, const char* path, const FileStamp& opened) {
  return StampOf(fileno(fp)) == opened && StampOfPath(path) == opened;
}

Outcome ExplainChanged(Session& s, const char* line, const char* what, const char* path) {
  s.p->record.changedWhileSent = what;
  return Explain(s, Failure(line), "%s %s: changed while it was sent (written to or replaced since it was opened)",
                 what, path);
}

/// The loader file to its end on the loader connection.
Outcome SendLoaderFile(Session& s, FILE* fp, off_t length) {
  int64_t sent = 0;
  sha256_ctx* hash = RecordActive() ? &s.loaderHash : nullptr;
  const Stream loader = SendLoader(s, fp, length, &sent, hash);
  Outcome outcome = kDone;
  if (loader == Stream::kShort) {
    const char* readFailure = ferror(fp) ? strerror(errno) : nullptr;
    outcome = ExplainShortFile(s, Failure(status::kLoaderNotFound), "loader", _loaderFile, readFailure, sent,
                               length);
  } else if (loader == Stream::kSendError) {
    outcome = Explain(s, Failure(status::kRebootDataError),
                      "loader to %s: send failed after %lld of %lld bytes: %s", s.peer.text,
                      static_cast<long long>(sent), static_cast<long long>(length), ItronReason());
  }
  return outcome;
}

/// The reboot byte after the whole loader, then the wait until the target's
/// TCP has acknowledged them all.
Outcome SendRebootByte(Session& s, long long total) {
  const Outcome failed = Failure(status::kRebootDataError);
  const unsigned char reboot = static_cast<unsigned char>(_reboot);
  Outcome outcome = kDone;
  if (SendAll(s.cepidInUse(), &reboot, 1, s.limitMs) != 1) {
    outcome = Explain(s, failed, "reboot byte to %s: send failed after the %lld bytes of the loader: %s", s.peer.text,
                      total, ItronReason());
  } else if (tcp_wai_ack(s.cepidInUse(), TmoOf(s.limitMs)) != E_OK) {
    outcome = Explain(s, failed, "loader to %s: %lld bytes and the reboot byte sent, not all acknowledged: %s",
                      s.peer.text, total, ItronReason());
  }
  return outcome;
}

/// Closes the loader connection once all of it was acknowledged. A device
/// may end its side as it likes then, a reset included (one that reboots at
/// once); not ending it in time is no failure either. Only its return on the
/// data port tells whether it took the loader.
void EndLoaderConnection(Session& s, long long total) {
  dataHandover.Expect(s.p->no);  // its device may be back on the data port before the close is over
  if (CloseConnection(s) == E_RLWAI) {
    s.loaderReset = true;
    TargetLog(*s.p, "loader to %s: the target reset the connection after acknowledging the loader and the reboot "
              "byte (%lld bytes and 1), before the close was over (%s); its data connection tells whether it "
              "took them", s.peer.text, total, ItronReason());
  }
  s.p->record.loaderSent = true;
  if (RecordActive()) HexOf(s.loaderHash, s.p->record.loaderSha256);
  RecordStage(*s.p, "loader_sent");
}

/// The loader, then the reboot byte, on the loader connection; the
/// connection is closed once the target's TCP has acknowledged them all.
Outcome LoaderStage(Session& s) {
  off_t length = 0;
  Outcome outcome = kDone;
  FileStamp opened;
  const char* line = status::kLoaderNotFound;
  if (const ScopedFile fp = OpenStageFile(s, "loader", _loaderFile, line, &length, &outcome, &opened)) {
    outcome = SendLoaderFile(s, fp.get(), length);
    // Its bytes went through this process: the stamp after the last read
    // tells whether they are one file's.
    if (outcome.ok() && !Unchanged(fp.get(), _loaderFile, opened)) {
      outcome = ExplainChanged(s, line, "loader", _loaderFile);
    }
  }
  const long long total = static_cast<long long>(length);
  // A loader that could not be sent whole gets no reboot byte, so that the
  // target does not start a broken loader.
  if (outcome.ok()) outcome = SendRebootByte(s, total);
  if (outcome.ok()) EndLoaderConnection(s, total);
  return outcome;
}

/// The 10-byte ID code from its file, into memo.
Outcome ReadIdCode(Session& s, unsigned char* memo) {
  off_t length = 0;
  Outcome outcome = kDone;
  size_t idBytes = 0;
  if (const ScopedFile fp = OpenStageFile(s, "ID code", _idFile, status::kIdFileNotFound, &length, &outcome)) {
    idBytes = fread(memo, 1, kIdCodeSize, fp.get());
  }
  if (outcome.ok()) {
    if (length == 0) {
      Pause(s, kEmptyIdCodeMs);
      outcome = Explain(s, Failure(status::kIdFileEmpty), "ID code %s: the file is empty", _idFile);
    } else if (idBytes < kIdCodeSize) {
      outcome = Explain(s, Failure(status::kIdFileShort), "ID code %s: only %zu of the %zu bytes", _idFile,
                        idBytes, kIdCodeSize);
    }
  }
  return outcome;
}

/// The data connection in use from now on, as the target came back with it,
/// and how it was paired with this target.
void UseDataConnection(Session& s, ID cepid, const T_IPV4EP& dstaddr, PairedBy by) {
  UseConnectionOf(s, cepid, dstaddr);
  s.p->record.dataAddr = dstaddr.ipaddr;
  s.p->record.pairedBy = by;
  RecordStage(*s.p, "data_connection");
  if (dstaddr.ipaddr == s.p->ipaddr || IsSingleTargetMode()) {
    TargetLog(*s.p, "data connection from %s", s.peer.text);
  } else if (by == PairedBy::kMac) {
    TargetLog(*s.p, "data connection from %s, not from the loader connection's address %s: paired by its device's "
              "hardware address %s", s.peer.text, FormatAddress(s.p->ipaddr).text, s.p->record.mac);
  } else {
    TargetLog(*s.p, "data connection from %s, not from the loader connection's address %s: paired by order only "
              "(no hardware address can be read), as the target that had waited longest", s.peer.text,
              FormatAddress(s.p->ipaddr).text);
  }
}

/// The target's return on the data port, from whatever address it has
/// after its reboot: the acceptor offers the connection to the hand-over,
/// which hands it to this transfer when it is its device's.
Outcome AwaitTheTarget(Session& s) {
  T_IPV4EP dstaddr = {0, 0};
  ID cepid = -1;
  PairedBy by = PairedBy::kNone;
  // The wait is -T where it is given; with -M, the station's bound; else for ever.
  const bool bounded = s.limitMs == kNoLimitMs && !IsSingleTargetMode();
  const Deadline deadline = Deadline::Limit(bounded ? kRebootLimitMs : s.limitMs);
  const ER accepted = dataHandover.Await(s.p->no, deadline, &cepid, &dstaddr, &by);
  const Outcome failed = Failure(status::kIdDataError);
  const char* after = s.loaderReset ? "; the loader connection had ended with a reset" : "";
  Outcome outcome = kDone;
  if (accepted == E_TMOUT) {
    outcome = Explain(s, failed, "ID code: no data connection on port %u within %d s%s%s", DataPortNumber(),
                      bounded ? kRebootLimitMs / 1000 : TimeOutSeconds(),
                      bounded ? ": the target did not come back from its reboot" : "", after);
  } else if (accepted != E_OK) {
    outcome = Explain(s, failed, "ID code: no data connection on port %u%s", DataPortNumber(), after);
  } else {
    UseDataConnection(s, cepid, dstaddr, by);
  }
  return outcome;
}

/// A transfer cancelled after its ID code (a second signal, its device
/// started over) ends there: no erasing is announced for a program that
/// will not be sent.
Outcome StillServed(Session& s) {
  if (CancelOf(*s.p) == Cancel::kNone) return kDone;
  return Explain(s, Failure(status::kIdDataError), "ID code to %s: sent; the program was not begun", s.peer.text);
}

/// The ID code on the data connection, then the pause.
Outcome SendIdCode(Session& s, const unsigned char* memo) {
  Outcome outcome = kDone;
  if (SendAll(s.cepidInUse(), memo, kIdCodeSize, s.limitMs) != kIdCodeSize) {
    outcome = Explain(s, Failure(status::kIdDataError), "ID code to %s: send failed: %s", s.peer.text,
                      ItronReason());
  } else {
    RecordStage(*s.p, "id_code_sent");
    Pause(s, kAfterIdCodeMs);
    outcome = StillServed(s);
  }
  return outcome;
}

/// The ID code from its file, then the data connection and the ID code on
/// it, then the pause. The file comes first: a target is not taken for an
/// ID code that cannot be sent.
Outcome IdCodeStage(Session& s, unsigned char* memo) {
  Outcome outcome = ReadIdCode(s, memo);
  if (outcome.ok()) outcome = AwaitTheTarget(s);
  if (outcome.ok()) outcome = SendIdCode(s, memo);
  return outcome;
}

/// The target's choice when two programs are configured: one receive.
void SelectionStage(Session& s, unsigned char* memo) {
  if (s.p->selectFileNum != 0) {
    const INT want = static_cast<INT>(kSelectionReplySize);
    const ER got = tcp_rcv_dat(s.cepidInUse(), memo, want, TmoOf(kSelectionReplyWaitMs));
    s.p->selectFileNum = SelectedProgram(memo, got);
  }
  s.p->record.program = s.p->selectFileNum;
  RecordStage(*s.p, "program_chosen");
}

/// The program file to its end on the data connection, with its progress
/// lines.
Outcome SendProgramFile(Session& s, FILE* fp, const char* path, off_t length) {
  s.p->figures.bytesDue = length;
  ShowInLiveView(*s.p, true);
  Progress progress = {length, 0, nullptr, s.p->figures.bytesSent};
  // With a record: the file's digest where the file is the one it read (the
  // kernel then sends it), else the bytes hashed as they are read and sent.
  const int index = s.p->selectFileNum;
  const bool digested = RecordActive() && RecordedDigestOf(index, fileno(fp), nullptr);
  const Stream program = SendProgram(s, fp, progress, digested);
  char* const sha256 = s.p->record.programSha256;
  if (program == Stream::kOk && RecordActive()) {
    // Unchanged to the end of the send, or the bytes were all hashed; a file
    // changed under the kernel's send gets no digest.
    if (!(digested && RecordedDigestOf(index, fileno(fp), sha256)) && !SendsInKernel(digested)) {
      HexOf(s.programHash, sha256);
    }
  }
  Outcome outcome = kDone;
  if (program == Stream::kShort) {
    outcome = ExplainShortFile(s, Failure(status::kTargetNotFound), "program", path, progress.readFailure,
                               progress.size, length);
  } else if (program == Stream::kSendError) {
    outcome = Explain(s, Failure(status::kTargetSendError),
                      "program to %s: send failed after %lld of %lld bytes: %s", s.peer.text,
                      static_cast<long long>(progress.size), static_cast<long long>(length), ItronReason());
  }
  return outcome;
}

/// The wait until the target's TCP has acknowledged all the program's
/// bytes: "100 % finish" tells the update app that the target has the
/// program, and bytes in our socket buffer are not bytes delivered.
Outcome AwaitProgramAcknowledged(Session& s) {
  const int64_t size = s.p->figures.bytesSent;
  Outcome outcome = kDone;
  if (tcp_wai_ack(s.cepidInUse(), TmoOf(s.limitMs)) != E_OK) {
    // Told before the live view is redrawn: that may fail on its own and
    // change the reason.
    outcome = Explain(s, Failure(status::kTargetSendError),
                      "program to %s: all %lld bytes sent, not all acknowledged: %s", s.peer.text,
                      static_cast<long long>(size), ItronReason());
  } else {
    s.p->figures.bytesAcknowledgedSeen = size;
  }
  return outcome;
}

/// The chosen program with its progress lines, acknowledged to the last byte.
Outcome ProgramStage(Session& s) {
  if (!_filelist) TargetStatus(*s.p, status::kNowErasing);
  RecordStage(*s.p, "erasing");
  const char* path = _targetFile[s.p->selectFileNum];
  off_t length = 0;
  Outcome outcome = kDone;
  FileStamp opened;
  const char* line = status::kTargetNotFound;
  if (const ScopedFile fp = OpenStageFile(s, "program", path, line, &length, &outcome, &opened)) {
    outcome = SendProgramFile(s, fp.get(), path, length);
    if (outcome.ok() && !Unchanged(fp.get(), path, opened)) outcome = ExplainChanged(s, line, "program", path);
    if (outcome.ok()) outcome = AwaitProgramAcknowledged(s);
    // The kernel sends the file's own pages: a write before the last of
    // them was acknowledged may have reached the target, which must not
    // take what it got for the program.
    if (outcome.ok() && !Unchanged(fp.get(), path, opened)) {
      tcp_set_opt(s.cepidInUse(), TCP_RESET_ON_CLOSE, 1);
      outcome = ExplainChanged(s, line, "program", path);
    }
  }
  // Gone from the view, with its figures, before the line that tells how it
  // ended and before its connection closes: the figures of a failed program
  // stop at what its target was seen to acknowledge.
  ShowInLiveView(*s.p, false);
  return outcome;
}

/// The row counted or the finish line with the transfer's figures, then the
/// wait before the close. The target learns the program's end only from the
/// close, so a reset until that is over means something went wrong on it
/// after its TCP had taken every byte: told, though the finish line stands.
void FinishStage(Session& s) {
  const int64_t bytes = s.p->figures.bytesSent;  // all acknowledged
  if (_filelist) CountUpSoftwareUpdate();
  s.p->record.finished = true;
  if (!IsSoftwareUpdate()) TargetStatus(*s.p, status::kFinish);
  TargetLog(*s.p, "program to %s: %s", s.peer.text, FormatFigures(bytes, s.p->record.elapsedMs).text);
  ER ended = tcp_wai_cep(s.cepidInUse(), TmoOf(kBeforeCloseMs));
  if (ended == E_OK) ended = CloseConnection(s);
  if (ended == E_RLWAI && CancelOf(*s.p) == Cancel::kNone) {
    s.p->record.resetAfterFinish = true;
    TargetLog(*s.p, "program to %s: the target reset the connection after acknowledging all %lld bytes, before the "
              "close: it may not have stored the program (%s)", s.peer.text, static_cast<long long>(bytes),
              ItronReason());
  }
}

Outcome Serve(Session& s) {
  unsigned char memo[kIdCodeSize];  // the ID code, then the selection reply
  static_assert(kIdCodeSize >= kSelectionReplySize, "");
  Outcome outcome = LoaderStage(s);
  if (outcome.ok()) outcome = IdCodeStage(s, memo);
  if (outcome.ok()) {
    SelectionStage(s, memo);
    outcome = StillServed(s);
  }
  if (outcome.ok()) {
    s.p->figures.programStartMs = MonotonicMs();
    outcome = ProgramStage(s);
    s.p->record.elapsedMs = MonotonicMs() - s.p->figures.programStartMs;  // to the last acknowledgement, or the failure
    if (outcome.ok()) FinishStage(s);
  }
  return outcome;
}

/// Puts "prefix: " before the text in buf, cutting the end where it must.
void Prefix(char* buf, size_t size, const char* prefix) {
  const size_t head = strlen(prefix) + 2;
  if (head >= size) return;
  memmove(buf + head, buf, std::min(strlen(buf) + 1, size - head));
  buf[size - 1] = '\0';
  memcpy(buf, prefix, head - 2);
  memcpy(buf + head - 2, ": ", 2);
}

/// The end of the hand-over for the transfer of p: a data connection handed
/// to it and not taken is reset, so that its device is told.
void ResetUntakenDataConnection(const PROCESS_INFO& p) {
  T_IPV4EP peer;
  const ID cepid = dataHandover.End(p.no, &peer);
  if (cepid < 0) return;
  TargetLog(p, "data connection from %s reset: its target's transfer ended before it was taken",
            FormatAddress(peer.ipaddr, peer.portno).text);
  tcp_cls_cep(cepid, 0);
  tcp_del_cep(cepid);
}

/// Why a cancelled transfer ended, before the reason its stage gave.
const char* CancelReason(Cancel why) {
  switch (why) {
    case Cancel::kStartedOver: return "the target started over (a new loader connection came from it)";
    case Cancel::kAborted: return "ended at once by a second signal";
    case Cancel::kNone: break;
  }
  return nullptr;
}

}  // namespace

long WritePercentage(int64_t total, int64_t current, bool fileList, int rowsDone, int rows) {
  const double whole = total <= 99 ? 100.0 : static_cast<double>(total);
  const double part = static_cast<double>(current) / whole;
  double percent;
  if (fileList) {
    percent = (part + rowsDone) * 100.0 / rows + 0.5;
  } else {
    percent = 0.5 + part * 100.0;
  }
  if (!(percent >= 0.0)) return 0;  // also NaN
  if (percent >= 100.0) return 99;
  return static_cast<long>(percent);
}

void PrintWritePercentage(PROCESS_INFO& p, int64_t total, int64_t current) {
  // "%03ld %%" by hand: a line goes out for every ten KiB of the program,
  // and the sending thread is what limits a fast link.
  const long percent = WritePercentage(total, current, _filelist != 0, _currentSwupNum, _totalSwupNum);  // 0 to 99
  const char line[] = {'0', static_cast<char>('0' + percent / 10), static_cast<char>('0' + percent % 10), ' ', '%',
                       '\0'};
  ProgressOut(p, line);
}

void EndTransfer(PROCESS_INFO& p, const char* line, const char* peer) {
  ResetUntakenDataConnection(p);
  // The rules' order of a slot's end: its progress lines out, then out of
  // the view (which would read the next target's slot as this one's),
  // then its last line; the acceptor keeps its record and frees it.
  FlushProgress(p);
  ShowInLiveView(p, false);
  TargetRecord& r = p.record;
  const char* cancelled = CancelReason(CancelOf(p));
  if (line != nullptr) {
    if (cancelled != nullptr) Prefix(r.why, sizeof r.why, cancelled);  // the record keeps the line as written
    TargetFailure(p, r.why, line);
  } else if (cancelled != nullptr) {
    TargetLog(p, "program to %s: closed before the end of the wait: %s", peer, cancelled);
  }
  // The program's figures as they ended: a finished one acknowledged whole.
  r.bytesDue = p.figures.bytesDue;
  r.bytesSent = p.figures.bytesSent;
  r.bytesAcknowledged = r.bytesDue >= 0 ? p.figures.bytesAcknowledgedSeen.load() : -1;
  r.endedWallMs = WallClockMs();
  cancelProcessNo(p.no);
}

int process2(void* arg) {
  PROCESS_INFO* p = static_cast<PROCESS_INFO*>(arg);
  Session s = {p, ThreadLimitMs(), p->streamBuf, kRunSize, {}, false, {}, {}};
  sha256_init(&s.loaderHash);
  sha256_init(&s.programHash);
  UseConnectionOf(s, p->cepid, {p->ipaddr, p->portno});
  const Outcome outcome = Serve(s);
  // What of a failed program its target acknowledged, asked before the close.
  if (outcome.line != nullptr && p->figures.bytesDue >= 0) AcknowledgedBytes(*p);
  // One way out, whatever the stage: the connections, the record, the
  // lines, the slot. A stream given up on is reset by its close.
  const bool open = s.cepidInUse() >= 0;
  if (CloseConnection(s) == E_OK && open && outcome.line != nullptr) {
    const size_t used = strlen(p->record.why);
    snprintf(p->record.why + used, sizeof p->record.why - used, "%s", kResetNote);
  }
  EndTransfer(*p, outcome.line, s.peer.text);
  WakeAcceptor();  // it waits for this thread
  return outcome.line == nullptr ? 0 : -1;
}
