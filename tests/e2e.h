// Harness of the end-to-end tests: runs the real moxtil binary and the target
// simulator as child processes on loopback, watches their output, and plays
// the network peer with plain sockets where a test needs finer control.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

using Millis = std::chrono::milliseconds;

/// Path of the moxtil binary under test.
const char* MoxtilBin();
/// Path of the target simulator, or an empty string when this build has none.
const char* SimBin();

/// Skips the test in a build without the target simulator.
#define E2E_REQUIRE_SIM() \
  if (::e2e::SimBin()[0] == '\0') GTEST_SKIP() << "no target simulator in this build"

// Tests run in parallel, so each has a port base of its own (a port another
// run listens on cannot be shared). One table, so that no two share.
enum Slot : int {
  // driver_test.cpp
  kSlotAnnounceBase = 0,
  kSlotAnnounceWrapUp = 1,
  kSlotAnnounceWrapDown = 2,
  kSlotRestartOnce = 3,
  kSlotRestartVoidIF = 4,
  kSlotRestartVoidFI = 5,
  kSlotTimeOutRepeated = 6,
  kSlotTimeOutFileList = 7,
  kSlotFileListRefused = 8,
  kSlotUdpEndpointTaken = 9,
  // filelist_test.cpp
  kSlotFileListFields = 10,
  kSlotFileListLongLines = 11,
  kSlotFileListProgress = 12,
  kSlotFileListMissingLater = 13,
  // transfer_test.cpp
  kSlotFullUpdateFirst = 20,  // 20 to 24, one per full-update case
  kSlotSelectionFirst = 25,   // 25 to 29, one per selection case
  kSlotUnicast = 30,
  kSlotPlainTarget = 31,
  kSlotStalledLoader = 32,
  kSlotCloseDuringLoader = 33,
  kSlotCloseDuringProgram = 34,
  kSlotStallDuringProgram = 35,
  kSlotIdMissing = 36,
  kSlotIdShort = 37,
  kSlotIdEmpty = 38,
  kSlotLoaderRemoved = 41,
  kSlotSelectionSplitEarly = 42,
  kSlotLoaderFifo = 43,
  kSlotProgramDevZero = 44,
  kSlotProgramShrinks = 45,
  kSlotRerun = 46,
  kSlotNoDataConnection = 47,
  // long_test.cpp
  kSlotLongFileList = 50,
  kSlotLargeProgram = 51,
  kSlotBusyLoaderPort = 52,
  kSlotBusyDataPort = 53,
  // transfer_test.cpp, delivery
  kSlotDeliveryFirst = 60,  // 60 to 79
  kSlotCount = 100,
};

/// Moves this test process into a network namespace of its own, with
/// loopback up and TCP socket buffers of at most 64 KiB, as on a small
/// device; processes started afterwards share it. False (with the reason in
/// *why) where that is not allowed, e.g. without root.
bool UseSmallSocketBuffers(std::string* why);

/// The port base of a slot: 20000 + 20 x slot, moved up by 2000 (at most
/// twice) while its ports cannot be bound; -1 after a test failure saying so.
int PortBase(int slot);

/// A line of a child's output and when it arrived (ms since the child started).
struct Line {
  int64_t ms;
  std::string text;
};

/// A child process in a process group of its own, with its standard output
/// and standard error captured line by line. The destructor kills the group,
/// so nothing outlives a test, and fails the test if the child's standard
/// error holds a sanitizer report.
class Process {
 public:
  explicit Process(std::vector<std::string> argv);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  bool started() const { return pid_ > 0; }
  const std::string& name() const { return name_; }
  /// Milliseconds since the child was started.
  int64_t Now() const;

  std::vector<Line> Stdout() const;
  std::vector<Line> Stderr() const;

  /// Index of the first stdout line from `from` on that pred accepts, waiting
  /// up to `limit`; -1 when none came (or the child ended without one).
  int WaitForLine(const std::function<bool(const std::string&)>& pred, Millis limit, size_t from = 0);
  /// The same for a line that equals text.
  int WaitForLine(const std::string& text, Millis limit, size_t from = 0);

  /// The exit status (128 + signal for a signal) once the child has ended
  /// within limit; nothing if it is still running.
  std::optional<int> WaitExit(Millis limit);
  /// When the child ended, in ms since its start; -1 while it runs.
  int64_t ExitMs() const;

  /// Kills the process group at once.
  void Kill();

 private:
  void Reader(int outFd, int errFd);

  std::string name_;
  pid_t pid_ = -1;
  std::chrono::steady_clock::time_point start_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Line> out_;
  std::vector<Line> err_;
  bool exited_ = false;
  int status_ = -1;
  int64_t exitMs_ = -1;
  bool reaped_ = false;
  std::thread reader_;
};

// ---- moxtil

/// Starts moxtil with args followed by -ilo -D127.0.0.2 -B<bValue> (bValue
/// defaults to base): always unicast to the simulator's loopback address.
std::unique_ptr<Process> StartMoxtil(int base, const std::vector<std::string>& args,
                                     std::optional<long> bValue = std::nullopt);

/// moxtil's log records: its stdout lines with "D/moxtil: " taken off.
std::vector<std::string> LogLines(const Process& moxtil);
/// The status lines among them: those that begin with "NNN %" or "-1 ".
std::vector<std::string> StatusLines(const Process& moxtil);
/// How many log lines match the regular expression.
int CountMatching(const Process& moxtil, const std::string& pattern);
/// How often text occurs as a whole log line.
int CountLog(const Process& moxtil, const std::string& text);
/// Checks that the log line right before the first `line` (a status line or
/// a "--- error" line) is an explanation matching the regular expression.
void ExpectExplained(const Process& moxtil, const std::string& line, const std::string& pattern);
/// Checks the line after "100 % finish": the program's bytes, seconds and speed.
void ExpectSummary(const Process& moxtil, int64_t programBytes);
/// The progress values ("042 %" gives 42) of the status lines, in order.
std::vector<int> ProgressValues(const Process& moxtil);

/// Waits for moxtil to end and checks the exit value, that every stdout line
/// is a log line, and that its stderr holds no sanitizer report.
void ExpectExit(Process& moxtil, int expected, Millis limit);

// ---- target simulator

/// Starts the simulator on 127.0.0.2 with the port base and extra options,
/// and waits for its ready line. Null (with a test failure) when it is not ready.
std::unique_ptr<Process> StartSim(int base, const std::vector<std::string>& extra);

/// The simulator's report lines of a kind ("update", "datagram"), as fields.
std::vector<std::map<std::string, std::string>> SimReports(const Process& sim, const std::string& kind);

// ---- files

/// A temporary directory, removed with everything in it at the end of the test.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

/// Writes size pseudo-random bytes (from seed) to path; returns path.
std::string MakeRandomFile(const std::string& path, int64_t size, uint32_t seed);
/// Writes text to path as it stands; returns path.
std::string WriteFile(const std::string& path, const std::string& text);
/// Makes a sparse file of size bytes (all zero); returns path.
std::string MakeSparseFile(const std::string& path, int64_t size);
/// The whole content of a file.
std::string ReadFile(const std::string& path);

/// The files of one update: loader, ID code, target program(s).
struct FileSet {
  std::string loader;
  std::string id;
  std::string program;
  std::string program2;  // empty: one target program
};

/// A file set in dir, its names beginning with tag, random contents from seed.
FileSet MakeFileSet(const TempDir& dir, const std::string& tag, int64_t loaderSize, int64_t idSize,
                    int64_t programSize, uint32_t seed);

/// Checks a simulator report of an update that got files whole: the loader,
/// the reboot byte (two hex digits), the first 10 bytes of the ID code file
/// and the target program named by `program`.
void ExpectServed(const std::map<std::string, std::string>& report, const FileSet& files,
                  const std::string& reboot, const std::string& program);

/// SHA-256 in lowercase hex.
std::string Sha256(const std::string& bytes);
std::string Sha256File(const std::string& path);

// ---- sockets

/// Owns a descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd();
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept;
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
};

struct Datagram {
  std::string bytes;
  std::string from;  // "a.b.c.d"
  uint16_t fromPort;
  int64_t ms;  // since the receiver was made
};

/// A UDP socket bound to address:port without address reuse.
class UdpReceiver {
 public:
  UdpReceiver(const std::string& address, uint16_t port);
  bool ok() const { return fd_.ok(); }
  /// The next datagram within limit, or nothing.
  std::optional<Datagram> Receive(Millis limit);
  /// Every datagram that arrives within window.
  std::vector<Datagram> ReceiveFor(Millis window);
  /// Throws away the datagrams queued now; returns how many.
  int Drain();

 private:
  Fd fd_;
  std::chrono::steady_clock::time_point start_;
};

/// A TCP connection from `from` (any port) to to:port, retried while it is
/// refused until limit. rcvbuf > 0 fixes the receive buffer before connecting.
Fd ConnectTcp(const std::string& from, const std::string& to, uint16_t port, Millis limit, int rcvbuf = 0);
/// A TCP socket listening on address:port (with address reuse when asked).
Fd ListenTcp(const std::string& address, uint16_t port, bool reuse);
/// Reads exactly n bytes within limit; false when fewer came.
bool ReadExactly(int fd, size_t n, std::string* out, Millis limit);
/// Reads to the end of the stream within limit; false on a time-out or an error.
bool ReadToEof(int fd, std::string* out, Millis limit);

/// The 16-byte announce and restart datagrams a target expects.
std::string AnnounceBytes();
std::string RestartBytes();

/// Hex of bytes, for messages.
std::string Hex(const std::string& bytes);

}  // namespace e2e
