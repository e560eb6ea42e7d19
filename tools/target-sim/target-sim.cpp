// target-sim: plays target devices on the local host, for Moxtil's tests,
// benchmarks and the demo.
//
// It is the oracle Moxtil is checked against, so it shares none of Moxtil's
// code: its port offsets (UDP and loader port base+10, data port base+11)
// and the bytes of the datagrams it knows are its own copy, on purpose.
//
// A target waits for the host's announce datagram, connects back to the
// loader port and takes the loader to the close (its last byte is the reboot
// byte), then connects to the data port, takes the 10-byte ID code, answers
// with an optional selection and takes the target program to the close. Each
// update ends in one machine-readable line on standard output:
//
//   update n=1 target=127.0.0.2 result=ok loader_bytes=L reboot=52 id_bytes=10
//          reply=P1 program_bytes=P loader_sha256=... id_sha256=...
//          program_sha256=... program_seconds=1.234 stream_seconds=0.123456
//          id_to_program_ms=1001 end_wait_ms=5002 announces_while_served=0
//          loader_end=eof program_end=eof [loader_from=ADDR] [data_from=ADDR]
//
// target is the target's own address, loader_from and data_from the
// addresses its connections came from where --connect-from or --data-from
// ask for others.
// program_seconds runs from the data connection to its close (the host's
// waits included), stream_seconds from the first to the last program byte
// taken, id_to_program_ms from the ID code to the first program byte, and
// end_wait_ms from the last program byte to the end of the stream (-1 where
// there was none): each byte at the time it reached the target's TCP, so that
// a reading thread woken late on a loaded machine does not shorten the host's
// waits as the target saw them. announces_while_served counts the
// announce datagrams that reached the target from its first program byte to
// 4 s after its last (the host's wait before its close; a file list's next
// cycle announces once the close is done). loader_end and program_end tell
// how the host ended each stream where the target read it to that end: eof
// (a normal end, which a device takes for "all of it"), reset, or - (the
// target cut it itself, or there was none).
//
// result is ok, or the first thing that went wrong: refused-loader,
// closed-loader, stalled-loader, reset-loader, killed-loader,
// no-data-connect, refused-data, short-id (the data connection ended inside
// the ID code), closed-program, stalled-program, reset-program,
// killed-program; host-reset-loader and host-reset-program when the host
// reset a connection instead of ending its stream. The other fields hold what
// arrived all the same. A reset (--reset-*-after) closes with SO_LINGER 0; a
// kill (--kill-*-after) closes with the rest of the stream unread, as the
// kernel does for a device whose process is killed: the unread bytes make the
// close a reset too. --reset-delay pauses before either, so that the host's
// wait for the acknowledgement of all it sent is over first (a device that
// dies after its TCP acknowledged everything); --reset-after-host-end waits
// for the host's end of stream instead, and --reset-on-release for SIGUSR1:
// events, where a pause is a time that a loaded machine may outrun.
//
// --data-only plays a host that is no device of the host's run: it skips the
// loader and connects to the data port at once.
//
// --raw plays no device: it connects to --host's port BASE+11 at once, reads
// the stream to its end as a --count-only program is read (the same reads of
// the same size), and prints "raw target=A result=ok|host-reset-program
// bytes=N stream_seconds=S program_end=eof|reset" (or result=refused-data).
// Any sender (moxtil's rival in the benchmark) then streams into the reader
// that moxtil's program streams into.
//
// A realistic device: --reboot-ms (alias --data-connect-delay) between the
// loader's end and the data connection, --erase-ms after the ID code and the
// reply before it takes the first program byte, and --program-rate: it takes
// the program no faster than that, reads paced so that the bytes taken never
// exceed the rate times the time since the first program byte was there.
// --data-from: the data connection comes from another address than the
// loader connection, as a device that comes back from its reboot with
// another address.
//
// Several targets (--targets N) are played side by side on N consecutive
// addresses from --address, a thread each, each serving its own --updates
// and connecting from its own address (--connect-from and --data-from count
// up the same way). Without --listen-any each target hears on a UDP socket
// bound to its own address, so a datagram sent to it reaches it alone; with
// --listen-any one socket on 0.0.0.0 hears for all (SO_REUSEADDR, so that
// several simulators in one network namespace all hear a broadcast on the
// same port), and a datagram sent to a target's own address still reaches
// that target alone, one sent to any other (a broadcast) every target. An
// announce wakes every target it reaches that waits for one: none takes it
// from another. With --host the targets connect at once without an announce.
//
// Every datagram that arrives is reported as
//   datagram kind=announce|restart|unknown from=IP:PORT to=DEST bytes=N at=TIME
// (TIME: when it reached this host, on the wall clock, as RFC 3339 in UTC
// with ms, the host's record's own form), and "ready address=A udp_port=P
// targets=N" comes once every socket is bound. Events a test may wait for
// come as lines too: "id-code target=A" once its ID code is whole, "stalled
// after=N" when a stall begins, "resumed" when it is read on after, and
// "holding target=A" when a target waits after its
// loader for SIGUSR1 (--hold-data): the test, not a time, ends its reboot.
// An overall time limit ends the program with a "timeout" line and status 3,
// so that it never hangs a test. With --listen-only it only reports
// datagrams until then.

#include <CLI/CLI.hpp>

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "announce.h"
#include "common.h"
#include "sink.h"
#include "stream.h"

namespace sim {
namespace {

constexpr size_t kIdCodeBytes = 10;
constexpr int kMaxTargets = 32;

struct Config {
  std::string address;
  int base = 0;
  int targets = 1;
  bool listenAny = false;
  int updates = 1;
  int timeLimit = 60;
  std::string reply;
  bool replySplit = false;
  int replySplitDelayMs = 200;
  bool replyRestWithProgram = false;
  std::string saveDir;
  bool countOnly = false;
  int64_t closeLoaderAfter = -1;
  int64_t closeProgramAfter = -1;
  int64_t stallLoaderAfter = -1;
  int64_t stallProgramAfter = -1;
  int64_t resetLoaderAfter = -1;
  int64_t resetProgramAfter = -1;
  int64_t killLoaderAfter = -1;
  int64_t killProgramAfter = -1;
  int resetDelayMs = 0;
  bool resetOnRelease = false;
  bool resetAfterHostEnd = false;
  int stallSeconds = 30;
  size_t strayLoader = 0;
  bool floodData = false;
  bool readAfterStall = false;
  bool resetLoaderAtEnd = false;
  bool listenOnly = false;
  std::string host;
  int readDelayMs = 0;
  size_t readSize = 0;  // 0: 64 KiB, or 1 MiB when counting only
  std::string connectFrom;
  std::string dataFrom;
  bool noDataConnect = false;
  bool dataOnly = false;
  bool raw = false;
  int rebootMs = 0;
  bool holdData = false;
  int eraseMs = 0;
  int64_t programRate = 0;
  int loaderConnectDelayMs = 0;
  int connectRetrySeconds = 10;
};

/// One target of the simulator, as its thread sees it.
struct Target {
  in_addr_t address;     // its own: what it hears on and is named by
  in_addr_t loaderFrom;  // where its loader connection comes from
  in_addr_t dataFrom;    // where its data connection comes from
};

std::vector<Target> MakeTargets(const Config& cfg) {
  const in_addr_t first = ParseAddress(cfg.address);
  const in_addr_t loaderFirst = cfg.connectFrom.empty() ? first : ParseAddress(cfg.connectFrom);
  const in_addr_t dataFirst = cfg.dataFrom.empty() ? loaderFirst : ParseAddress(cfg.dataFrom);
  std::vector<Target> targets;
  for (int k = 0; k < cfg.targets; ++k) {
    targets.push_back({NthAddress(first, k), NthAddress(loaderFirst, k), NthAddress(dataFirst, k)});
  }
  return targets;
}

std::string SavePath(const Config& cfg, const Target& t, const char* name, int n) {
  if (cfg.saveDir.empty() || cfg.countOnly) return "";
  std::string path = cfg.saveDir + "/";
  if (cfg.targets > 1) path += AddressText(t.address) + "-";
  path += name + std::string(".bin");
  if (cfg.updates > 1) path += "." + std::to_string(n);
  return path;
}

// Sends the reply; the rest of a split one goes out from a thread of its
// own, so that the program is read meanwhile as it comes.
bool SendReply(const Config& cfg, int fd, std::thread* rest) {
  const std::string& r = cfg.reply;
  if (!cfg.replySplit || r.size() < 2) return SendAll(fd, r.data(), r.size());
  if (!SendAll(fd, r.data(), 1)) return false;
  if (cfg.replyRestWithProgram) return true;  // TakeProgram sends it
  *rest = std::thread([&cfg, fd] {
    SleepMs(cfg.replySplitDelayMs);
    SendAll(fd, cfg.reply.data() + 1, cfg.reply.size() - 1);
  });
  return true;
}

/// What one update took from the host.
struct Update {
  Update(const Config& cfg, const Target& t, int n)
      : loader(!cfg.countOnly, SavePath(cfg, t, "loader", n)),
        id(!cfg.countOnly, SavePath(cfg, t, "id", n)),
        program(!cfg.countOnly, SavePath(cfg, t, "program", n)) {}
  std::string result = "ok";
  Sink loader, id, program;
  int reboot = -1;  // the last loader byte, held back until the end shows it was the last
  std::string replied = "-";
  HostEnd loaderEnd = HostEnd::kNone, programEnd = HostEnd::kNone;
  double programSeconds = 0;
  Clock::time_point idDone{}, firstByte{}, lastByte{}, ended{};
};

// The loader: the last byte of the stream is the reboot byte, so each byte is
// held back until the next one shows it was not the last.
void TakeLoader(const Config& cfg, const Target& t, in_addr_t host, Reader& reader, Update& u) {
  SleepMs(cfg.loaderConnectDelayMs);
  const int fd = ConnectTo(t.loaderFrom, host, Port(cfg.base, 10), cfg.stallLoaderAfter >= 0, cfg.connectRetrySeconds);
  if (fd < 0) {
    u.result = "refused-loader";
    return;
  }
  const std::string stray(cfg.strayLoader, 's');
  SendAll(fd, stray.data(), stray.size());
  const Faults faults{cfg.closeLoaderAfter, cfg.stallLoaderAfter, cfg.resetLoaderAfter, cfg.killLoaderAfter, 0};
  const End end = reader.Drain(fd, faults, [&u](const uint8_t* p, size_t k, Clock::time_point) {
    if (u.reboot >= 0) {
      const uint8_t held = static_cast<uint8_t>(u.reboot);
      u.loader.Add(&held, 1);
    }
    u.loader.Add(p, k - 1);
    u.reboot = p[k - 1];
  }, &u.loaderEnd);
  if (end == End::kEof && cfg.resetLoaderAtEnd) {  // a device that reboots at once
    const linger now = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
  }
  close(fd);
  if (end == End::kEof) return;
  u.result = Ending(end, "loader");
  if (u.reboot >= 0) {  // what came was all loader: no end, no reboot byte
    const uint8_t held = static_cast<uint8_t>(u.reboot);
    u.loader.Add(&held, 1);
    u.reboot = -1;
  }
}

// The ID code, up to its 10 bytes or the end of the stream; true when whole.
bool TakeIdCode(int fd, Update& u) {
  uint8_t code[kIdCodeBytes];
  size_t have = 0;
  while (have < kIdCodeBytes) {  // at most 10 reads that take bytes
    ssize_t k = ReceiveStamped(fd, code + have, kIdCodeBytes - have, &u.idDone);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) {  // the data connection's stream ended inside the ID code
      u.programEnd = k == 0 ? HostEnd::kEof : HostEnd::kReset;
      break;
    }
    have += static_cast<size_t>(k);
  }
  u.id.Add(code, have);
  return have == kIdCodeBytes;
}

// After the ID code: the reply, the erase, then the program to its end.
End TakeProgram(const Config& cfg, int fd, Reader& reader, Update& u) {
  std::thread rest, flood;
  if (!cfg.reply.empty() && SendReply(cfg, fd, &rest)) u.replied = cfg.reply;
  if (cfg.floodData) flood = std::thread(Flood, fd);
  SleepMs(cfg.eraseMs);  // a device erasing its flash reads nothing meanwhile
  const Faults faults{cfg.closeProgramAfter, cfg.stallProgramAfter, cfg.resetProgramAfter, cfg.killProgramAfter,
                      cfg.programRate};
  const bool restDue = cfg.replyRestWithProgram && cfg.replySplit && cfg.reply.size() > 1;
  const End end = reader.Drain(fd, faults, [&](const uint8_t* p, size_t k, Clock::time_point arrived) {
    if (u.program.bytes() == 0) u.firstByte = arrived;
    if (u.program.bytes() == 0 && restDue) SendAll(fd, cfg.reply.data() + 1, cfg.reply.size() - 1);
    u.lastByte = arrived;
    u.program.Add(p, k);
  }, &u.programEnd);
  if (rest.joinable()) rest.join();
  if (flood.joinable()) {
    shutdown(fd, SHUT_WR);
    flood.join();
  }
  return end;
}

void TakeData(const Config& cfg, const Target& t, in_addr_t host, Reader& reader, Update& u) {
  if (cfg.noDataConnect) {
    u.result = "no-data-connect";
    return;
  }
  if (cfg.holdData) {
    Say("holding target=" + AddressText(t.address));
    AwaitRelease();
  }
  SleepMs(cfg.rebootMs);
  const int fd = ConnectTo(t.dataFrom, host, Port(cfg.base, 11), cfg.stallProgramAfter >= 0, cfg.connectRetrySeconds);
  if (fd < 0) {
    u.result = "refused-data";
    return;
  }
  const Clock::time_point start = Clock::now();
  const bool whole = TakeIdCode(fd, u);
  if (whole) Say("id-code target=" + AddressText(t.address));
  const End end = whole ? TakeProgram(cfg, fd, reader, u) : End::kEof;
  u.ended = Clock::now();
  u.programSeconds = std::chrono::duration<double>(u.ended - start).count();
  close(fd);
  if (!whole) u.result = "short-id";
  if (end != End::kEof) u.result = Ending(end, "program");
}

void Report(const Config& cfg, const Target& t, int n, Update& u, AnnounceBoard& board) {
  char reboot[16] = "none";
  if (u.reboot >= 0) snprintf(reboot, sizeof reboot, "%02x", static_cast<unsigned>(u.reboot));
  char seconds[32];
  snprintf(seconds, sizeof seconds, "%.3f", u.programSeconds);
  char stream[32];
  snprintf(stream, sizeof stream, "%.6f", std::chrono::duration<double>(u.lastByte - u.firstByte).count());
  auto ms = [&u](Clock::time_point since, Clock::time_point until) {
    const bool both = u.program.bytes() > 0 && since != Clock::time_point{} && until != Clock::time_point{};
    return std::to_string(both ? std::chrono::duration_cast<std::chrono::milliseconds>(until - since).count() : -1);
  };
  // While the program streams and the host waits before its close; the next
  // cycle of a file list may announce as soon as the close is done.
  const int announces = u.firstByte == Clock::time_point{}
                            ? 0
                            : board.Count(t.address, u.firstByte, u.lastByte + std::chrono::seconds(4));
  // Replies are reported as given; a blank would split the field.
  std::replace(u.replied.begin(), u.replied.end(), ' ', '_');
  std::string line = "update n=" + std::to_string(n) + " target=" + AddressText(t.address) + " result=" + u.result +
                     " loader_bytes=" + std::to_string(u.loader.bytes()) + " reboot=" + reboot +
                     " id_bytes=" + std::to_string(u.id.bytes()) + " reply=" + u.replied +
                     " program_bytes=" + std::to_string(u.program.bytes()) + " loader_sha256=" + u.loader.Digest() +
                     " id_sha256=" + u.id.Digest() + " program_sha256=" + u.program.Digest() +
                     " program_seconds=" + seconds + " stream_seconds=" + stream +
                     " id_to_program_ms=" + ms(u.idDone, u.firstByte) + " end_wait_ms=" + ms(u.lastByte, u.ended) +
                     " announces_while_served=" + std::to_string(announces) +
                     " loader_end=" + HostEndText(u.loaderEnd) + " program_end=" + HostEndText(u.programEnd);
  if (!cfg.connectFrom.empty()) line += " loader_from=" + AddressText(t.loaderFrom);
  if (!cfg.dataFrom.empty()) line += " data_from=" + AddressText(t.dataFrom);
  Say(line);
}

void ServeUpdate(const Config& cfg, const Target& t, int n, in_addr_t host, AnnounceBoard& board) {
  Reader reader(ReadPlan{cfg.readSize, cfg.readDelayMs, cfg.stallSeconds, cfg.readAfterStall, cfg.resetDelayMs,
                         cfg.resetOnRelease, cfg.resetAfterHostEnd});
  Update u(cfg, t, n);
  if (!cfg.dataOnly) TakeLoader(cfg, t, host, reader, u);
  if (u.result == "ok") TakeData(cfg, t, host, reader, u);
  Report(cfg, t, n, u, board);
}

/// --raw: one stream from --host's data port, read as a program is, reported.
void RunRaw(const Config& cfg) {
  const Target t = MakeTargets(cfg).front();
  const int fd = ConnectTo(t.dataFrom, ParseAddress(cfg.host), Port(cfg.base, 11), false, cfg.connectRetrySeconds);
  if (fd < 0) return Say("raw target=" + AddressText(t.address) + " result=refused-data");
  Reader reader(ReadPlan{cfg.readSize, cfg.readDelayMs});
  int64_t bytes = 0;
  Clock::time_point first{}, last{};
  HostEnd host = HostEnd::kNone;
  const End end = reader.Drain(fd, Faults{}, [&](const uint8_t*, size_t k, Clock::time_point arrived) {
    if (bytes == 0) first = arrived;
    last = arrived;
    bytes += static_cast<int64_t>(k);
  }, &host);
  close(fd);
  char stream[32];
  snprintf(stream, sizeof stream, "%.6f", std::chrono::duration<double>(last - first).count());
  Say("raw target=" + AddressText(t.address) + " result=" + (end == End::kEof ? "ok" : Ending(end, "program")) +
      " bytes=" + std::to_string(bytes) + " stream_seconds=" + stream + " program_end=" + HostEndText(host));
}

/// One target's thread: its updates in a row.
void RunTarget(const Config& cfg, const Target& t, AnnounceBoard& board) {
  const bool announced = cfg.host.empty();
  const in_addr_t given = announced ? INADDR_NONE : ParseAddress(cfg.host);
  // Announces older than the end of an update belong to that update.
  Clock::time_point since = Clock::time_point::min();
  for (int n = 1; n <= cfg.updates; ++n) {
    const in_addr_t host = announced ? board.Wait(t.address, since) : given;
    ServeUpdate(cfg, t, n, host, board);
    since = Clock::now();
  }
}

/// Parses the command line into cfg; the exit status where the program ends
/// here (help, bad usage), -1 to go on.
int ParseOptions(int argc, char** argv, Config& cfg) {
  CLI::App app{
      "Plays target devices for Moxtil on this host: each waits for the announce datagram on UDP port BASE+10,\n"
      "fetches the loader from TCP port BASE+10 of the announcing host, then the ID code and the target program\n"
      "from TCP port BASE+11, and prints one 'update ...' line per update ('datagram ...' for every datagram).\n"
      "Exit status: 0 every target served all its updates (faults on demand included), 1 bad usage, 2 socket\n"
      "set-up failed, 3 the time limit ran out (a 'timeout' line is printed)."};
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);  // the last of two alike counts
  app.add_option("--address", cfg.address,
                 "Local IPv4 address of the (first) target: it hears on it, connects from it and is named by it")
      ->required();
  app.add_option("--base", cfg.base, "Port base: UDP and loader port BASE+10, data port BASE+11 (16-bit wrap)")
      ->required();
  app.add_option("--targets", cfg.targets,
                 "Play N targets side by side (default 1, at most 32), on N consecutive addresses from --address, "
                 "each with its own --updates; an announce to a target's address reaches it alone, any other "
                 "(broadcast) every target")
      ->check(CLI::Range(1, kMaxTargets));
  app.add_flag("--listen-any", cfg.listenAny,
               "Hear on one UDP socket on 0.0.0.0 (SO_REUSEADDR) for every target, to hear broadcast; still "
               "connect from each target's address");
  app.add_option("--updates", cfg.updates, "Updates each target serves in a row before it is done")
      ->check(CLI::PositiveNumber);
  app.add_option("--time-limit", cfg.timeLimit, "Overall limit in seconds; then print 'timeout' and exit 3")
      ->check(CLI::PositiveNumber);
  app.add_option("--reply", cfg.reply, "Bytes to send after the 10-byte ID code, e.g. P0 or P1 (default: none)");
  app.add_flag("--reply-split", cfg.replySplit,
               "Send the reply in two sends --reply-split-delay apart (first byte, then the rest)");
  app.add_option("--reply-split-delay", cfg.replySplitDelayMs,
                 "Milliseconds between the two sends of a split reply (default 200)")
      ->check(CLI::NonNegativeNumber);
  app.add_flag("--reply-rest-with-program", cfg.replyRestWithProgram,
               "Send the rest of a split reply once the first program byte came, not after a delay");
  app.add_option("--save", cfg.saveDir,
                 "Directory to save loader.bin (without the reboot byte), id.bin and program.bin in; "
                 "with --updates above 1 each name gets the suffix .N of its update, with --targets above 1 "
                 "the prefix ADDR- of its target")
      ->check(CLI::ExistingDirectory);
  app.add_flag("--count-only", cfg.countOnly,
               "Discard the data with large reads: sizes only, no checksums ('-') and nothing saved");
  app.add_option("--close-loader-after", cfg.closeLoaderAfter,
                 "Close the loader connection after N bytes (result=closed-loader)")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--close-program-after", cfg.closeProgramAfter,
                 "Close the data connection after N bytes of program (result=closed-program)")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--stall-loader-after", cfg.stallLoaderAfter,
                 "Stop reading the loader after N bytes for --stall-seconds, then close (result=stalled-loader)")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--stall-program-after", cfg.stallProgramAfter,
                 "Stop reading the program after N bytes for --stall-seconds, then close (result=stalled-program)")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--reset-loader-after", cfg.resetLoaderAfter,
                 "Reset the loader connection (SO_LINGER 0) after N bytes and --reset-delay, as a target that dies "
                 "(result=reset-loader)")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--reset-program-after", cfg.resetProgramAfter,
                 "Reset the data connection (SO_LINGER 0) after N bytes of program and --reset-delay, as a target "
                 "that dies (result=reset-program)")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--kill-loader-after", cfg.killLoaderAfter,
                 "Stop reading the loader after N bytes, wait --reset-delay, then close with the rest unread, as the "
                 "kernel does for a killed process: unread bytes make the close a reset (result=killed-loader)")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--kill-program-after", cfg.killProgramAfter,
                 "As --kill-loader-after, on the data connection after N bytes of program (result=killed-program)")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--reset-delay", cfg.resetDelayMs,
                 "Milliseconds to pause without reading before a reset or kill asked for above, so that the host's "
                 "wait for the acknowledgement of all it sent is over first (default 0)")
      ->check(CLI::NonNegativeNumber);
  app.add_flag("--reset-on-release", cfg.resetOnRelease,
               "Before a reset or kill asked for above, wait for SIGUSR1 instead of --reset-delay");
  app.add_flag("--reset-after-host-end", cfg.resetAfterHostEnd,
               "Before a reset or kill asked for above, wait for the host's end of stream (its FIN, bytes still "
               "unread) instead of --reset-delay: a device that dies once the host saw all acknowledged");
  app.add_option("--stray-loader", cfg.strayLoader,
                 "Send N bytes on the loader connection as soon as it is made; the host never reads them")
      ->check(CLI::NonNegativeNumber);
  app.add_flag("--flood-data", cfg.floodData,
               "Send bytes on the data connection without end after the ID code (and reply), until the host ends "
               "its stream");
  app.add_flag("--read-after-stall", cfg.readAfterStall,
               "After a stall read on to the end instead of closing (the result still tells the stall; "
               "program_end or loader_end how the host ended the stream)");
  app.add_flag("--reset-loader-at-end", cfg.resetLoaderAtEnd,
               "Read the loader to the host's end of stream, then close with a reset (SO_LINGER 0), as a device "
               "that reboots at once; then go on as usual");
  app.add_flag("--listen-only", cfg.listenOnly, "Only report datagrams; never connect");
  CLI::Option* host = app.add_option(
      "--host", cfg.host, "Connect to this host at once instead of waiting for its announce datagram (every target)");
  app.add_option("--stall-seconds", cfg.stallSeconds, "How long a stall lasts, in seconds (default 30)")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--read-delay", cfg.readDelayMs, "Sleep this many milliseconds after every read (a slow target)")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--read-size", cfg.readSize, "Bytes per read at most (default 65536, or 1 MiB with --count-only)")
      ->check(CLI::PositiveNumber);
  app.add_option("--connect-from", cfg.connectFrom,
                 "Make the TCP connections from this address instead of --address (target k: this address + k)");
  app.add_option("--data-from", cfg.dataFrom,
                 "Make the data connection from this address (target k: this address + k), as a device that comes "
                 "back from its reboot with another address; the update line gets data_from=ADDR");
  app.add_option("--connect-retry", cfg.connectRetrySeconds,
                 "Seconds to keep retrying a refused connection every 100 ms before giving up "
                 "(result=refused-loader or refused-data; default 10)")
      ->check(CLI::NonNegativeNumber);
  app.add_flag("--no-data-connect", cfg.noDataConnect,
               "Never connect to the data port: after the loader, report result=no-data-connect and go on");
  app.add_flag("--data-only", cfg.dataOnly,
               "Connect to the data port at once, without a loader connection, as a host that is no device of the "
               "host's run (a device left over from an earlier run, another machine on the LAN)");
  app.add_flag("--raw", cfg.raw,
               "Play no device: connect to --host's port BASE+11 at once, read the stream to its end as the program "
               "is read (with --count-only's read size unless --read-size), print 'raw ...' and exit")
      ->needs(host);
  app.add_option("--loader-connect-delay", cfg.loaderConnectDelayMs,
                 "Wait this many milliseconds after the announce before connecting to the loader port")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--reboot-ms,--data-connect-delay", cfg.rebootMs,
                 "The device's reboot: wait this many milliseconds after the loader before connecting to the data "
                 "port (default 0)")
      ->check(CLI::NonNegativeNumber);
  app.add_flag("--hold-data", cfg.holdData,
               "After the loader, say 'holding target=A' and wait for SIGUSR1 (one per held target) before the "
               "reboot's delay and the data connection");
  app.add_option("--erase-ms", cfg.eraseMs,
                 "The device's erase: after the ID code and the reply, wait this many milliseconds before reading "
                 "the first program byte (default 0)")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--program-rate", cfg.programRate,
                 "Take the program no faster than this many bytes a second, as a device writing flash: bytes taken "
                 "never exceed the rate times the time since the first program byte (0, the default: unlimited)")
      ->check(CLI::NonNegativeNumber);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? kOk : kUsage;
  }
  if (cfg.readSize == 0) cfg.readSize = cfg.countOnly || cfg.raw ? (size_t{1} << 20) : (size_t{1} << 16);
  CheckRange(cfg.address, cfg.targets, "--address");
  if (!cfg.connectFrom.empty()) CheckRange(cfg.connectFrom, cfg.targets, "--connect-from");
  if (!cfg.dataFrom.empty()) CheckRange(cfg.dataFrom, cfg.targets, "--data-from");
  if (!cfg.host.empty()) ParseAddress(cfg.host);
  return -1;
}

}  // namespace
}  // namespace sim

int main(int argc, char** argv) {
  using namespace sim;
  static Config cfg;  // outlives the threads that _exit leaves running
  if (const int code = ParseOptions(argc, argv, cfg); code >= 0) return code;

  signal(SIGPIPE, SIG_IGN);
  signal(SIGUSR1, [](int) { Release(); });
  // The time limit: whatever blocks, the program ends in time.
  std::thread([limit = cfg.timeLimit] {
    std::this_thread::sleep_for(std::chrono::seconds(limit));
    Say("timeout");
    _exit(kTimeLimit);
  }).detach();

  if (cfg.raw) {
    RunRaw(cfg);
    fflush(stdout);
    _exit(kOk);  // the time limit's thread still sleeps
  }
  static const std::vector<Target> targets = MakeTargets(cfg);
  std::vector<in_addr_t> addresses;
  for (const Target& t : targets) addresses.push_back(t.address);
  static AnnounceBoard board(addresses);
  const std::vector<int> udp = OpenUdp(addresses, cfg.base, cfg.listenAny);
  Say("ready address=" + cfg.address + " udp_port=" + std::to_string(Port(cfg.base, 10)) +
      " targets=" + std::to_string(cfg.targets));
  for (int fd : udp) std::thread(UdpLoop, fd, &board).detach();

  if (cfg.listenOnly) {
    for (;;) pause();  // the time limit ends it
  }
  std::vector<std::thread> threads;
  for (const Target& t : targets) threads.emplace_back(RunTarget, std::cref(cfg), std::cref(t), std::ref(board));
  for (std::thread& t : threads) t.join();
  fflush(stdout);
  _exit(kOk);  // the UDP threads are still blocked in their receives
}
