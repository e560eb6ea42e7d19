// What every test shares: temporary directories, child processes and their lines, port bases
// no two tests hold at once, moxtil and the target simulator, the files of an update.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
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

/// This test process's port base (base to base+19, held by no other test; base+10 and +11 free now).
int PortBase();
/// Moves this process into a network namespace of its own, loopback up (smallBuffers: TCP buffers of
/// at most 64 KiB, a small device's); its children share it, and nothing they send leaves it. False,
/// with the reason, where that is not allowed.
bool UsePrivateNetwork(bool smallBuffers, std::string* why);
/// Holds address:port (TCP listening, with address reuse; UDP without): the descriptor, or -1.
int HoldPort(int type, const std::string& address, uint16_t port);

/// A child in a process group of its own (killed by the destructor), its standard output kept line
/// by line; standard error is the test's.
class Process {
 public:
  explicit Process(std::vector<std::string> argv);
  ~Process();
  std::vector<std::string> Stdout() const;
  /// Index of the first line from `from` on that begins with text, waiting up to limit; -1 none.
  int WaitForLine(const std::string& text, Millis limit, size_t from = 0);
  /// The exit status (128 + signal) once the child ended within limit; kNeverStarted for one not started.
  std::optional<int> WaitExit(Millis limit);
  static constexpr int kNeverStarted = -1;
  bool Running() const;
  /// Sends sig to the child.
  void Signal(int sig) const;
  /// The child's process ID (-1 for one never started).
  pid_t Pid() const { return pid_; }

 private:
  void Reader(int fd);
  std::string name_;
  pid_t pid_ = -1;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> out_;
  bool exited_ = false;
  int status_ = -1;
  std::thread reader_;
};

// ---- moxtil and the simulator

/// The simulator of this build, empty where there is none.
const char* SimBin();
#define REQUIRE_SIM() \
  if (::testkit::SimBin()[0] == '\0') GTEST_SKIP() << "no target simulator in this build"

/// moxtil with args, then -ilo -D127.0.0.2 -B<base> ("-B+N" in args: -B<base + N>), through
/// MOXTIL_E2E_LAUNCHER where set, after prefix. Without unicast no -D: broadcast, only in a private network.
std::unique_ptr<Process> StartMoxtil(int base, const Strings& args, bool unicast = true, const Strings& prefix = {});
/// The simulator on 127.0.0.2 with a limit of 60 s (options may say other), once ready.
std::unique_ptr<Process> StartSim(int base, const Strings& options);
/// The simulator's report lines of a kind ("update", "datagram") as fields.
std::vector<Report> SimReports(const Process& sim, const std::string& kind);
std::string Field(const Report& report, const std::string& key);

/// moxtil's log records: its stdout lines without "D/moxtil: ".
Strings LogLines(const Process& moxtil);
bool IsStatusLine(const std::string& text);
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
/// A report of an update that got every file whole: the loader, the reboot byte (hex), the ID code's first 10 bytes
/// and `program`, each stream ended normally.
void ExpectServed(const Report& report, const FileSet& files, const std::string& reboot, const std::string& program);

}  // namespace testkit
