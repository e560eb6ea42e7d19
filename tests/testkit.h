// What every test shares: temporary directories, child processes with their
// output, port bases no two tests hold at once, moxtil's log, the target
// simulator and the files of an update.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace testkit {

using Millis = std::chrono::milliseconds;
using Strings = std::vector<std::string>;
using Report = std::map<std::string, std::string>;

/// A temporary directory, removed with everything in it at the end of the scope.
struct TempDir {
  TempDir();
  ~TempDir();
  std::string File(const std::string& name) const { return path + "/" + name; }
  std::string path;
};

/// The port base of this test process, base to base+19: no other test holds
/// it while this one runs, and base+10 and base+11 are free now.
int PortBase();
/// Moves this process into a network namespace of its own (loopback up;
/// with smallBuffers TCP buffers of at most 64 KiB, as on a small device);
/// children started after share it, and nothing they send, broadcasts
/// included, leaves it. False, with the reason, where that is not allowed.
bool UsePrivateNetwork(bool smallBuffers, std::string* why);
/// Holds address:port: TCP listening with address reuse, or UDP without. The
/// descriptor, -1 when the port cannot be had.
int HoldPort(int type, const std::string& address, uint16_t port);

/// A line of a child's standard output, and when it came (ms since the start).
struct Line { int64_t ms; std::string text; };
/// A child in a process group of its own, its standard output captured
/// line by line; standard error is the test's. The destructor kills the group.
class Process {
 public:
  explicit Process(std::vector<std::string> argv);
  ~Process();
  std::vector<Line> Stdout() const;
  /// Index of the first line that begins with text, waiting up to limit; -1 when none came.
  int WaitForLine(const std::string& text, Millis limit);
  /// The exit status (128 + signal) once the child ended within limit;
  /// kNeverStarted at once for one that could not be started.
  std::optional<int> WaitExit(Millis limit);
  static constexpr int kNeverStarted = -1;
  /// When the child ended, in ms since its start; -1 while it runs.
  int64_t ExitMs() const;
  /// When the child started: a line's ms count from here.
  std::chrono::steady_clock::time_point Started() const { return start_; }
  /// Sends sig to the child.
  void Signal(int sig) const;
  /// The child's process ID (-1 for one never started).
  pid_t Pid() const { return pid_; }

 private:
  void Reader(int fd);
  std::string name_;
  pid_t pid_ = -1;
  std::chrono::steady_clock::time_point start_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Line> out_;
  bool exited_ = false;
  int status_ = -1;
  int64_t exitMs_ = -1;
  std::thread reader_;
};

// ---- moxtil and the simulator

/// The simulator of this build, empty where there is none.
const char* SimBin();
#define REQUIRE_SIM() \
  if (::testkit::SimBin()[0] == '\0') GTEST_SKIP() << "no target simulator in this build"

/// moxtil with args, then -ilo -D127.0.0.2 -B<base> ("-B+N" in args stands for
/// -B<base + N>), run through MOXTIL_E2E_LAUNCHER where that is set. Without
/// unicast, -D is left out: broadcast, only ever in a private network.
/// prefix: words that come first (prlimit ...).
std::unique_ptr<Process> StartMoxtil(int base, const Strings& args, bool unicast = true, const Strings& prefix = {});
/// The simulator on 127.0.0.2 with a limit of 60 s (options may say other), once ready.
std::unique_ptr<Process> StartSim(int base, const Strings& options);
/// The simulator's report lines of a kind ("update", "datagram") as fields, "ms" among them.
std::vector<Report> SimReports(const Process& sim, const std::string& kind);
std::string Field(const Report& report, const std::string& key);

/// moxtil's log records: its stdout lines without "D/moxtil: ".
Strings LogLines(const Process& moxtil);
/// When the first log line that begins with `begin` came (ms since moxtil's start).
std::optional<int64_t> FirstLineMs(const Process& moxtil, const std::string& begin);
/// Waits up to limit for a log line that begins with `begin`: false when none came.
bool WaitForLogLine(Process& moxtil, const std::string& begin, Millis limit);
bool IsStatusLine(const std::string& text);
Strings StatusLines(const Process& moxtil);
/// How many log lines match the regular expression.
int CountMatching(const Process& moxtil, const std::string& pattern);
/// The log line right before the first `line` matches the pattern and is no status line.
void ExpectExplained(const Process& moxtil, const std::string& line, const std::string& pattern);
/// Waits for moxtil's exit value; every stdout line must be a log line.
void ExpectExit(Process& moxtil, int expected, Millis limit);

// ---- files

std::string WriteFile(const std::string& path, const std::string& text);
/// size pseudo-random bytes from seed, or a sparse file of zeros.
std::string MakeFile(const std::string& path, int64_t size, uint32_t seed, bool sparse = false);
/// SHA-256 in hex of the file's first length bytes (all for -1), made apart from the simulator's.
std::string Sha256Of(const std::string& path, int64_t length = -1);

/// The files of one update; program2 empty when there is one program.
struct FileSet { std::string loader, id, program, program2; };
/// A report of an update that got every file whole: the loader, the reboot
/// byte (hex), the first 10 bytes of the ID code and `program`, each stream
/// ended normally; from a simulator that only counts (--count-only), their
/// byte counts alone.
void ExpectServed(const Report& report, const FileSet& files, const std::string& reboot, const std::string& program,
                  bool countOnly = false);

}  // namespace testkit
