#include "tests/e2e.h"

#include "tools/target-sim/digest.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <regex>
#include <sstream>

extern char** environ;

namespace e2e {

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kLogPrefix[] = "D/moxtil: ";
constexpr char kSimAddress[] = "127.0.0.2";
// Lines of a child's output shown when a test fails.
constexpr size_t kShownLines = 150;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<Millis>(Clock::now() - start).count();
}

/// Milliseconds left until deadline, at least 0, as poll wants them.
int MsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(left);
}

sockaddr_in SocketAddress(const std::string& address, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
  return sa;
}

bool CanBind(int type, const char* address, uint16_t port) {
  Fd fd(socket(AF_INET, type | SOCK_CLOEXEC, 0));
  if (!fd.ok()) return false;
  sockaddr_in sa = SocketAddress(address, port);
  return bind(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
}

/// Whether every port a run on this base uses can be bound now: the TCP ports
/// as moxtil binds them (no address reuse, any address, which also meets
/// TIME_WAIT sockets) and the UDP ports on the loopback addresses in use.
bool BaseIsFree(int base) {
  for (int offset : {10, 11}) {
    const auto port = static_cast<uint16_t>(base + offset);
    for (const char* address : {"0.0.0.0", "127.0.0.1", "127.0.0.2"}) {
      if (!CanBind(SOCK_STREAM, address, port)) return false;
    }
    for (const char* address : {"127.0.0.1", "127.0.0.2", "127.0.0.3"}) {
      if (!CanBind(SOCK_DGRAM, address, port)) return false;
    }
  }
  return true;
}

void DumpLines(const std::string& title, const std::vector<Line>& lines) {
  std::cerr << "--- " << title << " (" << lines.size() << " lines)\n";
  size_t first = lines.size() > kShownLines ? lines.size() - kShownLines : 0;
  if (first > 0) std::cerr << "  ... " << first << " lines left out\n";
  for (size_t i = first; i < lines.size(); ++i) {
    std::cerr << "  [" << lines[i].ms << "] " << lines[i].text << "\n";
  }
}

bool IsStatusLine(const std::string& text) {
  if (text.compare(0, 3, "-1 ") == 0) return true;
  return text.size() >= 5 && isdigit(static_cast<unsigned char>(text[0])) &&
         isdigit(static_cast<unsigned char>(text[1])) && isdigit(static_cast<unsigned char>(text[2])) &&
         text[3] == ' ' && text[4] == '%';
}

// The environment may point a built harness at another moxtil, e.g. an ARM
// build run through its emulator.
const char* EnvOr(const char* name, const char* fallback) {
  const char* v = getenv(name);
  return v != nullptr && *v != '\0' ? v : fallback;
}

}  // namespace

const char* MoxtilBin() { return EnvOr("MOXTIL_E2E_BIN", E2E_MOXTIL_BIN); }
const char* SimBin() { return E2E_SIM_BIN; }

bool UseSmallSocketBuffers(std::string* why) {
  if (unshare(CLONE_NEWNET) != 0) {
    *why = std::string("no network namespace of its own: ") + strerror(errno);
    return false;
  }
  Fd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  ifreq ifr{};
  std::snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "lo");
  bool up = fd.ok() && ioctl(fd.get(), SIOCGIFFLAGS, &ifr) == 0;
  ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
  if (!up || ioctl(fd.get(), SIOCSIFFLAGS, &ifr) != 0) {
    *why = std::string("loopback not up: ") + strerror(errno);
    return false;
  }
  // The namespace's own settings: minimum, default and maximum in bytes.
  static const char kBuffers[] = "4096 16384 65536\n";
  for (const char* name : {"/proc/sys/net/ipv4/tcp_wmem", "/proc/sys/net/ipv4/tcp_rmem"}) {
    Fd setting(open(name, O_WRONLY | O_CLOEXEC));
    if (!setting.ok() || write(setting.get(), kBuffers, sizeof kBuffers - 1) != sizeof kBuffers - 1) {
      *why = std::string("cannot write ") + name + ": " + strerror(errno);
      return false;
    }
  }
  return true;
}

int PortBase(int slot) {
  if (slot < 0 || slot >= kSlotCount) {
    ADD_FAILURE() << "port slot " << slot << " is outside the table";
    return -1;
  }
  std::string tried;
  for (int attempt = 0; attempt < 3; ++attempt) {
    const int base = 20000 + 20 * slot + 2000 * attempt;
    if (BaseIsFree(base)) return base;
    tried += " " + std::to_string(base);
  }
  ADD_FAILURE() << "no free port base for slot " << slot << ": ports 10 and 11 above" << tried
                << " are taken (TIME_WAIT of a run less than a minute ago?)";
  return -1;
}

// ---- Process

Process::Process(std::vector<std::string> argv) : start_(Clock::now()) {
  name_ = argv.empty() ? "" : argv[0].substr(argv[0].find_last_of('/') + 1);
  int outPipe[2];
  int errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0) return;
  if (pipe2(errPipe, O_CLOEXEC) != 0) {
    close(outPipe[0]);
    close(outPipe[1]);
    return;
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);

  // Own process group, so that the whole group can be killed; default signal
  // dispositions, so that the child gets no protection it does not make itself.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  posix_spawnattr_setpgroup(&attr, 0);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  sigset_t mask;
  sigemptyset(&mask);
  posix_spawnattr_setsigmask(&attr, &mask);

  std::vector<char*> args;
  for (std::string& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  pid_t pid = -1;
  // By PATH, so that a launcher such as qemu-arm may be named bare.
  int rc = args.size() > 1 ? posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ) : EINVAL;
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(outPipe[1]);
  close(errPipe[1]);
  if (rc != 0) {
    ADD_FAILURE() << "cannot start " << (argv.empty() ? "" : argv[0]) << ": " << strerror(rc);
    close(outPipe[0]);
    close(errPipe[0]);
    return;
  }
  pid_ = pid;
  reader_ = std::thread(&Process::Reader, this, outPipe[0], errPipe[0]);
}

Process::~Process() {
  if (pid_ <= 0) return;
  // The leader is not reaped before this point, so its group ID cannot have
  // been given to anyone else.
  Kill();
  reader_.join();
  waitpid(pid_, nullptr, 0);

  std::vector<Line> err = Stderr();
  for (const Line& line : err) {
    if (line.text.find("ThreadSanitizer") != std::string::npos ||
        line.text.find("AddressSanitizer") != std::string::npos ||
        line.text.find("LeakSanitizer") != std::string::npos ||
        line.text.find("runtime error") != std::string::npos) {
      ADD_FAILURE() << name_ << " reported a sanitizer finding: " << line.text;
      break;
    }
  }
  if (::testing::Test::HasFailure()) {
    DumpLines(name_ + " stdout", Stdout());
    DumpLines(name_ + " stderr", err);
  }
}

int64_t Process::Now() const { return MsSince(start_); }

void Process::Kill() {
  if (pid_ > 0) kill(-pid_, SIGKILL);
}

void Process::Reader(int outFd, int errFd) {
  std::string partial[2];
  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  int open = 2;
  char buf[65536];
  while (open > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      std::vector<Line> lines;
      const int64_t ms = Now();
      if (n <= 0) {
        if (!partial[i].empty()) lines.push_back({ms, partial[i]});
        partial[i].clear();
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      } else {
        partial[i].append(buf, static_cast<size_t>(n));
        size_t at = 0;
        for (size_t eol; (eol = partial[i].find('\n', at)) != std::string::npos; at = eol + 1) {
          lines.push_back({ms, partial[i].substr(at, eol - at)});
        }
        partial[i].erase(0, at);
      }
      if (!lines.empty()) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<Line>& into = i == 0 ? out_ : err_;
        into.insert(into.end(), lines.begin(), lines.end());
        changed_.notify_all();
      }
    }
  }
  for (const pollfd& p : fds) {
    if (p.fd >= 0) close(p.fd);
  }
  // Both streams have ended: wait for the exit, but leave the child to be
  // reaped by the destructor (WNOWAIT).
  siginfo_t info{};
  int rc;
  do {
    rc = waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT);
  } while (rc != 0 && errno == EINTR);
  std::lock_guard<std::mutex> lock(mutex_);
  exited_ = true;
  exitMs_ = Now();
  if (rc == 0) status_ = info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
  changed_.notify_all();
}

std::vector<Line> Process::Stdout() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return out_;
}

std::vector<Line> Process::Stderr() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return err_;
}

int Process::WaitForLine(const std::function<bool(const std::string&)>& pred, Millis limit, size_t from) {
  const auto deadline = Clock::now() + limit;
  std::unique_lock<std::mutex> lock(mutex_);
  size_t next = from;
  for (;;) {
    for (; next < out_.size(); ++next) {
      if (pred(out_[next].text)) return static_cast<int>(next);
    }
    if (exited_) return -1;
    if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
      for (; next < out_.size(); ++next) {
        if (pred(out_[next].text)) return static_cast<int>(next);
      }
      return -1;
    }
  }
}

int Process::WaitForLine(const std::string& text, Millis limit, size_t from) {
  return WaitForLine([&text](const std::string& line) { return line == text; }, limit, from);
}

std::optional<int> Process::WaitExit(Millis limit) {
  if (!started()) return std::nullopt;  // nothing to wait for
  std::unique_lock<std::mutex> lock(mutex_);
  if (!changed_.wait_for(lock, limit, [this] { return exited_; })) return std::nullopt;
  return status_;
}

int64_t Process::ExitMs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return exitMs_;
}

// ---- moxtil

std::unique_ptr<Process> StartMoxtil(int base, const std::vector<std::string>& args, std::optional<long> bValue) {
  // A build for another machine runs moxtil through its emulator.
  std::vector<std::string> argv;
  std::istringstream launcher(EnvOr("MOXTIL_E2E_LAUNCHER", E2E_MOXTIL_LAUNCHER));
  for (std::string word; launcher >> word;) argv.push_back(word);
  argv.push_back(MoxtilBin());
  argv.insert(argv.end(), args.begin(), args.end());
  argv.push_back("-ilo");
  argv.push_back(std::string("-D") + kSimAddress);
  argv.push_back("-B" + std::to_string(bValue ? *bValue : base));
  return std::make_unique<Process>(argv);
}

std::vector<std::string> LogLines(const Process& moxtil) {
  std::vector<std::string> lines;
  const size_t prefixLen = sizeof kLogPrefix - 1;
  for (const Line& line : moxtil.Stdout()) {
    if (line.text.compare(0, prefixLen, kLogPrefix) == 0) {
      lines.push_back(line.text.substr(prefixLen));
    } else {
      lines.push_back(line.text);
    }
  }
  return lines;
}

std::vector<std::string> StatusLines(const Process& moxtil) {
  std::vector<std::string> status;
  for (const std::string& line : LogLines(moxtil)) {
    if (IsStatusLine(line)) status.push_back(line);
  }
  return status;
}

int CountMatching(const Process& moxtil, const std::string& pattern) {
  const std::regex re(pattern);
  int count = 0;
  for (const std::string& line : LogLines(moxtil)) count += std::regex_search(line, re);
  return count;
}

int CountLog(const Process& moxtil, const std::string& text) {
  int count = 0;
  for (const std::string& line : LogLines(moxtil)) count += line == text;
  return count;
}

void ExpectExplained(const Process& moxtil, const std::string& line, const std::string& pattern) {
  const std::vector<std::string> log = LogLines(moxtil);
  const auto at = std::find(log.begin(), log.end(), line);
  if (at == log.end() || at == log.begin()) {
    ADD_FAILURE() << "no line before \"" << line << "\"";
    return;
  }
  const std::string& before = *(at - 1);
  EXPECT_FALSE(IsStatusLine(before)) << "\"" << before << "\" is shaped like a status line";
  EXPECT_TRUE(std::regex_search(before, std::regex(pattern)))
      << "before \"" << line << "\": \"" << before << "\" does not match " << pattern;
}

void ExpectSummary(const Process& moxtil, int64_t programBytes) {
  const std::vector<std::string> log = LogLines(moxtil);
  const auto at = std::find(log.begin(), log.end(), "100 % finish");
  ASSERT_TRUE(at != log.end() && at + 1 != log.end()) << "no line after the finish line";
  const std::string pattern =
      "^program to 127\\.0\\.0\\.2:\\d+: " + std::to_string(programBytes) + " bytes in [0-9.]+ s \\([0-9.]+ MiB/s\\)$";
  EXPECT_TRUE(std::regex_search(*(at + 1), std::regex(pattern))) << "summary \"" << *(at + 1) << "\"";
}

std::vector<int> ProgressValues(const Process& moxtil) {
  std::vector<int> values;
  for (const std::string& line : StatusLines(moxtil)) {
    if (line.size() == 5 && line[0] != '-') values.push_back(std::atoi(line.substr(0, 3).c_str()));
  }
  return values;
}

void ExpectExit(Process& moxtil, int expected, Millis limit) {
  std::optional<int> status = moxtil.WaitExit(limit);
  if (!status) {
    ADD_FAILURE() << "moxtil still running after " << limit.count() << " ms";
    return;
  }
  EXPECT_EQ(*status, expected) << "exit status of moxtil";
  for (const Line& line : moxtil.Stdout()) {
    if (line.text.compare(0, sizeof kLogPrefix - 1, kLogPrefix) != 0) {
      ADD_FAILURE() << "moxtil wrote a line outside the log: \"" << line.text << "\"";
      break;
    }
  }
}

// ---- simulator

std::unique_ptr<Process> StartSim(int base, const std::vector<std::string>& extra) {
  std::vector<std::string> argv = {SimBin(), "--address", kSimAddress, "--base", std::to_string(base)};
  bool limited = false;
  for (const std::string& a : extra) limited = limited || a == "--time-limit";
  if (!limited) argv.insert(argv.end(), {"--time-limit", "60"});
  argv.insert(argv.end(), extra.begin(), extra.end());
  auto sim = std::make_unique<Process>(argv);
  if (!sim->started()) return nullptr;
  auto ready = [](const std::string& line) { return line.compare(0, 6, "ready ") == 0; };
  if (sim->WaitForLine(ready, Millis(10000)) < 0) {
    ADD_FAILURE() << "the target simulator did not get ready";
    return nullptr;
  }
  return sim;
}

std::vector<std::map<std::string, std::string>> SimReports(const Process& sim, const std::string& kind) {
  std::vector<std::map<std::string, std::string>> reports;
  for (const Line& line : sim.Stdout()) {
    if (line.text.compare(0, kind.size() + 1, kind + " ") != 0) continue;
    std::map<std::string, std::string> fields;
    std::istringstream words(line.text.substr(kind.size() + 1));
    for (std::string word; words >> word;) {
      size_t eq = word.find('=');
      if (eq != std::string::npos) fields[word.substr(0, eq)] = word.substr(eq + 1);
    }
    reports.push_back(fields);
  }
  return reports;
}

// ---- files

TempDir::TempDir() {
  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/moxtil-e2e-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp " << pattern << ": " << strerror(errno);
    return;
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string MakeRandomFile(const std::string& path, int64_t size, uint32_t seed) {
  FILE* fp = fopen(path.c_str(), "wb");
  if (fp == nullptr) {
    ADD_FAILURE() << "cannot write " << path;
    return path;
  }
  uint64_t x = 0x9E3779B97F4A7C15ull ^ seed;
  std::vector<unsigned char> chunk(1 << 20);
  for (int64_t left = size; left > 0;) {
    const size_t n = left < static_cast<int64_t>(chunk.size()) ? static_cast<size_t>(left) : chunk.size();
    for (size_t i = 0; i < n; ++i) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      chunk[i] = static_cast<unsigned char>(x >> 24);
    }
    fwrite(chunk.data(), 1, n, fp);
    left -= static_cast<int64_t>(n);
  }
  fclose(fp);
  return path;
}

std::string WriteFile(const std::string& path, const std::string& text) {
  FILE* fp = fopen(path.c_str(), "wb");
  if (fp == nullptr) {
    ADD_FAILURE() << "cannot write " << path;
    return path;
  }
  fwrite(text.data(), 1, text.size(), fp);
  fclose(fp);
  return path;
}

std::string MakeSparseFile(const std::string& path, int64_t size) {
  Fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd.ok() || ftruncate(fd.get(), static_cast<off_t>(size)) != 0) {
    ADD_FAILURE() << "cannot make the sparse file " << path << ": " << strerror(errno);
  }
  return path;
}

std::string ReadFile(const std::string& path) {
  std::string content;
  FILE* fp = fopen(path.c_str(), "rb");
  if (fp == nullptr) return content;
  char buf[65536];
  for (size_t n; (n = fread(buf, 1, sizeof buf, fp)) > 0;) content.append(buf, n);
  fclose(fp);
  return content;
}

FileSet MakeFileSet(const TempDir& dir, const std::string& tag, int64_t loaderSize, int64_t idSize,
                    int64_t programSize, uint32_t seed) {
  FileSet files;
  files.loader = MakeRandomFile(dir.File(tag + "loader.b"), loaderSize, seed);
  files.id = MakeRandomFile(dir.File(tag + "idcode.sys"), idSize, seed + 1);
  files.program = MakeRandomFile(dir.File(tag + "target.bin"), programSize, seed + 2);
  return files;
}

void ExpectServed(const std::map<std::string, std::string>& report, const FileSet& files,
                  const std::string& reboot, const std::string& program) {
  auto field = [&report](const char* key) {
    auto it = report.find(key);
    return it == report.end() ? std::string("(missing)") : it->second;
  };
  const std::string loader = ReadFile(files.loader);
  const std::string id = ReadFile(files.id).substr(0, 10);
  EXPECT_EQ(field("result"), "ok");
  EXPECT_EQ(field("loader_bytes"), std::to_string(loader.size()));
  EXPECT_EQ(field("loader_sha256"), Sha256(loader));
  EXPECT_EQ(field("reboot"), reboot);
  EXPECT_EQ(field("id_bytes"), "10");
  EXPECT_EQ(field("id_sha256"), Sha256(id));
  EXPECT_EQ(field("program_bytes"), std::to_string(std::filesystem::file_size(program)));
  EXPECT_EQ(field("program_sha256"), Sha256File(program));
}

std::string Sha256(const std::string& bytes) {
  ::Sha256 sha;  // the simulator's digest, so that reports and checks agree
  sha.Update(bytes.data(), bytes.size());
  return sha.HexDigest();
}

std::string Sha256File(const std::string& path) {
  ::Sha256 sha;
  FILE* fp = fopen(path.c_str(), "rb");
  if (fp == nullptr) return "";
  std::vector<unsigned char> buf(1 << 20);
  for (size_t n; (n = fread(buf.data(), 1, buf.size(), fp)) > 0;) sha.Update(buf.data(), n);
  fclose(fp);
  return sha.HexDigest();
}

// ---- sockets

Fd::~Fd() {
  if (fd_ >= 0) close(fd_);
}

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) close(fd_);
    fd_ = other.release();
  }
  return *this;
}

UdpReceiver::UdpReceiver(const std::string& address, uint16_t port) : start_(Clock::now()) {
  Fd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in sa = SocketAddress(address, port);
  if (!fd.ok() || bind(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    ADD_FAILURE() << "cannot bind UDP " << address << ":" << port << ": " << strerror(errno);
    return;
  }
  fd_ = std::move(fd);
}

std::optional<Datagram> UdpReceiver::Receive(Millis limit) {
  if (!fd_.ok()) return std::nullopt;
  const auto deadline = Clock::now() + limit;
  for (;;) {
    pollfd p = {fd_.get(), POLLIN, 0};
    int rc = poll(&p, 1, MsLeft(deadline));
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) return std::nullopt;
    char buf[2048];
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    ssize_t n = recvfrom(fd_.get(), buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    char address[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &from.sin_addr, address, sizeof address);
    return Datagram{std::string(buf, static_cast<size_t>(n)), address, ntohs(from.sin_port), MsSince(start_)};
  }
}

std::vector<Datagram> UdpReceiver::ReceiveFor(Millis window) {
  std::vector<Datagram> all;
  const auto deadline = Clock::now() + window;
  while (Clock::now() < deadline) {
    std::optional<Datagram> d = Receive(Millis(MsLeft(deadline)));
    if (!d) break;
    all.push_back(*d);
  }
  return all;
}

int UdpReceiver::Drain() {
  int count = 0;
  while (Receive(Millis(0))) ++count;
  return count;
}

Fd ConnectTcp(const std::string& from, const std::string& to, uint16_t port, Millis limit, int rcvbuf) {
  const auto deadline = Clock::now() + limit;
  for (;;) {
    Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.ok()) return Fd();
    if (rcvbuf > 0) setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in local = SocketAddress(from, 0);
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return Fd();
    sockaddr_in remote = SocketAddress(to, port);
    int rc = connect(fd.get(), reinterpret_cast<sockaddr*>(&remote), sizeof remote);
    if (rc != 0 && errno == EINPROGRESS) {
      pollfd p = {fd.get(), POLLOUT, 0};
      if (poll(&p, 1, MsLeft(deadline)) == 1) {
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len);
        rc = err == 0 ? 0 : -1;
        errno = err;
      } else {
        errno = ETIMEDOUT;
      }
    }
    if (rc == 0) {
      int flags = fcntl(fd.get(), F_GETFL);
      fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
      return fd;
    }
    if (errno != ECONNREFUSED || Clock::now() >= deadline) return Fd();
    usleep(50 * 1000);
  }
}

Fd ListenTcp(const std::string& address, uint16_t port, bool reuse) {
  Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const int on = 1;
  if (reuse) setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in sa = SocketAddress(address, port);
  if (!fd.ok() || bind(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd.get(), 5) != 0) {
    return Fd();
  }
  return fd;
}

namespace {

/// One read within the deadline: the count, 0 at the end of the stream, -1
/// on an error, -2 on a time-out.
ssize_t ReadSome(int fd, char* buf, size_t len, Clock::time_point deadline) {
  for (;;) {
    pollfd p = {fd, POLLIN, 0};
    int rc = poll(&p, 1, MsLeft(deadline));
    if (rc < 0 && errno == EINTR) continue;
    if (rc == 0) return -2;
    if (rc < 0) return -1;
    ssize_t n = recv(fd, buf, len, 0);
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

}  // namespace

bool ReadExactly(int fd, size_t n, std::string* out, Millis limit) {
  const auto deadline = Clock::now() + limit;
  char buf[65536];
  size_t got = 0;
  while (got < n) {
    ssize_t r = ReadSome(fd, buf, std::min(sizeof buf, n - got), deadline);
    if (r <= 0) return false;
    out->append(buf, static_cast<size_t>(r));
    got += static_cast<size_t>(r);
  }
  return true;
}

bool ReadToEof(int fd, std::string* out, Millis limit) {
  const auto deadline = Clock::now() + limit;
  char buf[65536];
  for (;;) {
    ssize_t r = ReadSome(fd, buf, sizeof buf, deadline);
    if (r == 0) return true;
    if (r < 0) return false;
    out->append(buf, static_cast<size_t>(r));
  }
}

std::string AnnounceBytes() { return std::string("\x01\x00\x00\x01\x00\x00\x00\x00\x07\x01\x00\x08\x01\x00\x00\x00", 16); }
std::string RestartBytes() { return std::string("\x01\x00\x00\x01\x00\x00\x00\x00\x0c\x01\x00\x08\x01\x00\x00\x00", 16); }

std::string Hex(const std::string& bytes) {
  return HexOf(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

}  // namespace e2e
