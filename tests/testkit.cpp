#include "tests/testkit.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <random>
#include <sstream>

namespace testkit {
namespace {

using Clock = std::chrono::steady_clock;
constexpr char kLogPrefix[] = "D/moxtil: ";
constexpr size_t kPrefixSize = sizeof kLogPrefix - 1;

// The environment may point a built test at another moxtil, e.g. an ARM build run through its emulator.
std::string EnvOr(const char* name, const char* fallback) {
  return getenv(name) != nullptr && *getenv(name) != '\0' ? getenv(name) : fallback;
}

bool PortsFree(int base) {
  const int held[] = {HoldPort(SOCK_STREAM, "0.0.0.0", static_cast<uint16_t>(base + 10)),
                      HoldPort(SOCK_STREAM, "0.0.0.0", static_cast<uint16_t>(base + 11)),
                      HoldPort(SOCK_DGRAM, "127.0.0.2", static_cast<uint16_t>(base + 10))};
  for (int fd : held) close(fd);
  return std::all_of(std::begin(held), std::end(held), [](int fd) { return fd >= 0; });
}

}  // namespace

TempDir::TempDir() : path(EnvOr("TMPDIR", "/tmp") + "/moxtil-test-XXXXXX") {
  if (mkdtemp(path.data()) == nullptr) ADD_FAILURE() << "mkdtemp: " << strerror(errno);
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

int PortBase() {
  // A block of 20 ports is this process's while it holds an abstract socket named after it; tests in other processes
  // pass held blocks by. All below the ephemeral ports (32768 on), which a connection elsewhere may hold just as
  // moxtil binds.
  static const int base = [] {
    constexpr int kBlocks = 600;  // 20000 to 31999
    for (int i = 0; i < kBlocks; ++i) {
      const int candidate = 20000 + 20 * ((getpid() + i) % kBlocks);
      const int hold = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_un sa{};
      sa.sun_family = AF_UNIX;
      const int n = snprintf(sa.sun_path + 1, sizeof sa.sun_path - 1, "moxtil-test-ports-%d", candidate);
      const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + static_cast<size_t>(n));
      if (bind(hold, reinterpret_cast<sockaddr*>(&sa), len) == 0 && PortsFree(candidate)) return candidate;
      close(hold);
    }
    ADD_FAILURE() << "no free port base";
    return -1;
  }();
  return base;
}

bool UsePrivateNetwork(bool smallBuffers, std::string* why) {
  // The namespace's own TCP settings: least, default and most bytes.
  const bool ok = unshare(CLONE_NEWNET) == 0 && system("ip link set lo up") == 0 &&
                  (!smallBuffers || system("for b in wmem rmem; do echo 4096 16384 65536 "
                                           ">/proc/sys/net/ipv4/tcp_$b || exit 1; done") == 0);
  if (!ok) *why = "no network namespace of its own (needs root and iproute2)";
  return ok;
}

int HoldPort(int type, const std::string& address, uint16_t port) {
  const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  const int on = 1;
  if (type == SOCK_STREAM) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in sa{AF_INET, htons(port), {inet_addr(address.c_str())}, {}};
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 && (type != SOCK_STREAM || listen(fd, 5) == 0)) {
    return fd;
  }
  close(fd);
  return -1;
}

// ---- Process

Process::Process(std::vector<std::string> argv) {
  name_ = argv.empty() ? "" : argv[0].substr(argv[0].find_last_of('/') + 1);
  std::vector<char*> args;
  for (std::string& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  int out[2] = {-1, -1};
  const bool piped = !argv.empty() && pipe2(out, O_CLOEXEC) == 0;
  pid_ = piped ? fork() : -1;
  if (pid_ == 0) {
    // A group of its own, to be killed whole; SIGPIPE as a child gets it without a test around it; by PATH, so that
    // qemu-arm may be named bare.
    setpgid(0, 0);
    signal(SIGPIPE, SIG_DFL);
    dup2(out[1], STDOUT_FILENO);
    dup2(open("/dev/null", O_RDONLY), STDIN_FILENO);
    execvp(args[0], args.data());
    _exit(127);
  }
  if (pid_ < 0) {
    // Ended before it began, so that no wait takes it for a child still running.
    const std::string why = argv.empty() ? "no program named" : strerror(errno);
    if (piped) {
      close(out[0]);
      close(out[1]);
    }
    exited_ = true;
    status_ = kNeverStarted;
    ADD_FAILURE() << "cannot start " << name_ << ": " << why;
    return;
  }
  close(out[1]);
  setpgid(pid_, pid_);
  reader_ = std::thread(&Process::Reader, this, out[0]);
}

Process::~Process() {
  if (pid_ > 0) {
    kill(-pid_, SIGKILL);  // the leader is not reaped yet, so the group is still its own
    reader_.join();
    waitpid(pid_, nullptr, 0);
  }
  if (!::testing::Test::HasFailure()) return;
  std::lock_guard<std::mutex> lock(mutex_);
  for (size_t i = out_.size() > 150 ? out_.size() - 150 : 0; i < out_.size(); ++i) {
    std::cerr << name_ << ": " << out_[i] << "\n";
  }
}

void Process::Reader(int fd) {
  std::string partial;
  char buf[65536];
  for (ssize_t n = 1; n > 0;) {
    n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) {
      n = 1;  // interrupted before anything was read: read again, with nothing to add
      continue;
    }
    if (n > 0) partial.append(buf, static_cast<size_t>(n));
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t eol; (eol = partial.find('\n')) != std::string::npos || (n <= 0 && !partial.empty());) {
      out_.push_back(partial.substr(0, eol));
      partial.erase(0, eol == std::string::npos ? eol : eol + 1);
    }
    changed_.notify_all();
  }
  close(fd);
  // Wait for the exit but leave the child to be reaped by the destructor.
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
  }
  std::lock_guard<std::mutex> lock(mutex_);
  exited_ = true;
  status_ = info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
  changed_.notify_all();
}

std::vector<std::string> Process::Stdout() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return out_;
}

int Process::WaitForLine(const std::string& text, Millis limit, size_t from) {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto deadline = Clock::now() + limit;
  for (size_t next = from;; changed_.wait_until(lock, deadline)) {
    for (; next < out_.size(); ++next) {
      if (out_[next].compare(0, text.size(), text) == 0) return static_cast<int>(next);
    }
    if (exited_ || Clock::now() >= deadline) return -1;
  }
}

std::optional<int> Process::WaitExit(Millis limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!changed_.wait_for(lock, limit, [this] { return exited_; })) return std::nullopt;
  return status_;
}

void Process::Signal(int sig) const {
  if (pid_ > 0) kill(pid_, sig);
}

bool Process::Running() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return !exited_;
}

// ---- moxtil and the simulator

const char* SimBin() { return TESTKIT_SIM_BIN; }

std::unique_ptr<Process> StartMoxtil(int base, const Strings& args, bool unicast, const Strings& prefix) {
  Strings argv = prefix;
  std::istringstream launcher(EnvOr("MOXTIL_E2E_LAUNCHER", TESTKIT_MOXTIL_LAUNCHER));
  for (std::string word; launcher >> word;) argv.push_back(word);
  argv.push_back(EnvOr("MOXTIL_E2E_BIN", TESTKIT_MOXTIL_BIN));
  std::string baseOption = "-B" + std::to_string(base);
  for (const std::string& a : args) {
    const bool shifted = a.compare(0, 3, "-B+") == 0 || a.compare(0, 3, "-B-") == 0;
    if (shifted) baseOption = "-B" + std::to_string(base + std::stol(a.substr(2)));
    if (!shifted) argv.push_back(a);
  }
  argv.insert(argv.end(), {"-ilo", baseOption});
  if (unicast) argv.push_back("-D127.0.0.2");
  return std::make_unique<Process>(argv);
}

std::unique_ptr<Process> StartSim(int base, const Strings& options) {
  Strings argv = {SimBin(), "--address", "127.0.0.2", "--base", std::to_string(base), "--time-limit", "60"};
  argv.insert(argv.end(), options.begin(), options.end());  // the last of two alike counts
  auto sim = std::make_unique<Process>(argv);
  if (sim->WaitForLine("ready ", Millis(10000)) < 0) ADD_FAILURE() << "the target simulator did not get ready";
  return sim;
}

std::vector<Report> SimReports(const Process& sim, const std::string& kind) {
  std::vector<Report> reports;
  for (const std::string& line : sim.Stdout()) {
    if (line.compare(0, kind.size() + 1, kind + " ") != 0) continue;
    std::istringstream words(line);
    Report& fields = reports.emplace_back();
    for (std::string word; words >> word;) {
      const size_t eq = word.find('=');
      if (eq != std::string::npos) fields[word.substr(0, eq)] = word.substr(eq + 1);
    }
  }
  return reports;
}

std::string Field(const Report& report, const std::string& key) {
  const auto it = report.find(key);
  return it == report.end() ? "(missing)" : it->second;
}

// ---- the log

Strings LogLines(const Process& moxtil) {
  Strings lines;
  for (const std::string& line : moxtil.Stdout()) {
    lines.push_back(line.compare(0, kPrefixSize, kLogPrefix) == 0 ? line.substr(kPrefixSize) : line);
  }
  return lines;
}

// By hand rather than by a regular expression: the longest rows have 400 000 lines.
bool IsStatusLine(const std::string& text) {
  const auto digit = [&text](size_t i) { return text[i] >= '0' && text[i] <= '9'; };
  return text.compare(0, 3, "-1 ") == 0 ||
         (text.size() >= 5 && digit(0) && digit(1) && digit(2) && text.compare(3, 2, " %") == 0);
}

void ExpectExit(Process& moxtil, int expected, Millis limit) {
  const std::optional<int> status = moxtil.WaitExit(limit);
  ASSERT_TRUE(status) << "moxtil still running after " << limit.count() << " ms";
  EXPECT_EQ(*status, expected) << "exit status of moxtil";
  for (const std::string& line : moxtil.Stdout()) {
    ASSERT_EQ(line.compare(0, kPrefixSize, kLogPrefix), 0) << "not a log line: " << line;
  }
}

// ---- files

std::string WriteFile(const std::string& path, const std::string& text) {
  FILE* fp = fopen(path.c_str(), "wb");
  const bool written = fp != nullptr && fwrite(text.data(), 1, text.size(), fp) == text.size();
  return fp != nullptr && fclose(fp) == 0 && written ? path : "";
}

std::string MakeFile(const std::string& path, int64_t size, uint32_t seed, bool sparse) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  std::minstd_rand random(seed + 1);
  std::vector<unsigned char> chunk(1 << 20);
  bool ok = fd >= 0 && (!sparse || ftruncate(fd, static_cast<off_t>(size)) == 0);
  for (int64_t left = sparse ? 0 : size; ok && left > 0; left -= static_cast<int64_t>(chunk.size())) {
    for (unsigned char& byte : chunk) byte = static_cast<unsigned char>(random() >> 7);
    const auto n = static_cast<size_t>(std::min<int64_t>(left, static_cast<int64_t>(chunk.size())));
    ok = write(fd, chunk.data(), n) == static_cast<ssize_t>(n);
  }
  close(fd);
  EXPECT_TRUE(ok) << "cannot write " << path;
  return path;
}

std::string Sha256Of(const std::string& path, int64_t length) {
  const std::string head = length < 0 ? "cat" : "head -c " + std::to_string(length);
  FILE* pipe = popen((head + " '" + path + "' | sha256sum").c_str(), "r");
  char hex[65] = "";
  if (pipe != nullptr && fgets(hex, sizeof hex, pipe) == nullptr) hex[0] = '\0';
  if (pipe != nullptr) pclose(pipe);
  return hex;
}

void ExpectServed(const Report& report, const FileSet& files, const std::string& reboot, const std::string& program) {
  const auto whole = [](const std::string& path, int64_t length) {
    const int64_t n = length < 0 ? static_cast<int64_t>(std::filesystem::file_size(path)) : length;
    return std::to_string(n) + " " + Sha256Of(path, length);
  };
  EXPECT_EQ(Field(report, "result"), "ok");
  EXPECT_EQ(Field(report, "loader_bytes") + " " + Field(report, "loader_sha256"), whole(files.loader, -1));
  EXPECT_EQ(Field(report, "reboot"), reboot);
  EXPECT_EQ(Field(report, "id_bytes") + " " + Field(report, "id_sha256"), whole(files.id, 10));
  EXPECT_EQ(Field(report, "program_bytes") + " " + Field(report, "program_sha256"), whole(program, -1));
  EXPECT_EQ(Field(report, "loader_end") + " " + Field(report, "program_end"), "eof eof");
}

}  // namespace testkit
