// The phone: the update app reads moxtil's lines from the Android log, and the
// app's sandbox kills moxtil at its first system call outside a fixed list.
// In network and mount namespaces of its own, a socket of the test's stands in
// for the log daemon's (/dev/socket/logdw) and takes each datagram apart as
// logd does; the host build serves the same updates beside it with no such
// socket, and the lines it writes to standard output are the ones the log must
// get, in order. Where moxtil runs under qemu-arm (the ARM variant) it runs
// under `qemu-arm -strace`, and every system call of every run is held against
// those Android 14 lets an app make on 32-bit ARM.
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>

#include "tests/testkit.h"

using namespace testkit;

namespace {

// Moves this process into a mount namespace of its own whose /dev/socket is an
// empty tmpfs; where the machine has no /dev/socket, over an overlay of /dev.
bool UsePrivateDevSocket(const std::string& scratch, std::string* why) {
  const std::string upper = scratch + "/upper", work = scratch + "/work";
  const std::string overlay = "lowerdir=/dev,upperdir=" + upper + ",workdir=" + work;
  const bool ok = unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                  (access("/dev/socket", F_OK) == 0 ||
                   (mkdir(upper.c_str(), 0755) == 0 && mkdir(work.c_str(), 0755) == 0 &&
                    mount("overlay", "/dev", "overlay", 0, overlay.c_str()) == 0 && mkdir("/dev/socket", 0755) == 0)) &&
                  mount("tmpfs", "/dev/socket", "tmpfs", 0, nullptr) == 0;
  if (!ok) *why = std::string("no /dev/socket of its own (needs root): ") + strerror(errno);
  return ok;
}

// The log daemon's socket. Each datagram must be as liblog lays it out: log id
// 0, a thread ID, the time of day (seconds and nanoseconds, little-endian),
// priority 3 (debug), "moxtil" and the line, each with its NUL. Its line goes
// to the lines of the process that sent it (SO_PASSCRED, as logd learns it).
// While paused nothing is read, and the socket's queue fills.
class Logd {
 public:
  Logd() {
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    strcpy(sa.sun_path, "/dev/socket/logdw");
    const int on = 1;
    const timeval tick = {0, 50000};
    EXPECT_TRUE(setsockopt(fd_, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) == 0 &&
                setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick) == 0 &&
                bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0)
        << "the log socket: " << strerror(errno);
    reader_ = std::thread([this] {
      while (!stop_) Read();
    });
  }
  ~Logd() {
    stop_ = true;
    reader_.join();
    close(fd_);
  }
  Strings Of(const Process& p) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_.count(p.Pid()) > 0 ? lines_.at(p.Pid()) : Strings{};
  }
  std::atomic<bool> paused{false};

 private:
  void Read() {
    char data[8192];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    iovec iov = {data, sizeof data};
    msghdr msg = {nullptr, 0, &iov, 1, control, sizeof control, 0};
    const ssize_t n = paused ? -1 : recvmsg(fd_, &msg, 0);
    if (n < 0 || CMSG_FIRSTHDR(&msg) == nullptr) return std::this_thread::sleep_for(Millis(paused ? 20 : 0));
    const std::string d(data, static_cast<size_t>(n));
    const auto little = [&d](size_t at) {
      int64_t v = 0;
      for (size_t i = 4; i-- > 0;) v = v << 8 | static_cast<unsigned char>(d[at + i]);
      return v;
    };
    const bool asSent = d.size() >= 20 && d[0] == 0 && std::abs(little(3) - time(nullptr)) < 600 &&
                        little(7) < 1000000000 && d[11] == 3 && d.compare(12, 7, std::string("moxtil", 7)) == 0 &&
                        d.find('\0', 19) == d.size() - 1;
    ucred sender;
    memcpy(&sender, CMSG_DATA(CMSG_FIRSTHDR(&msg)), sizeof sender);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!asSent && failures_++ == 0) ADD_FAILURE() << "not as liblog sends it: " << ::testing::PrintToString(d);
    lines_[sender.pid].push_back(d.substr(19, d.size() - 20));
  }
  int fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::map<pid_t, Strings> lines_;
  int failures_ = 0;
  std::thread reader_;
};

// A line as another run of the same update writes it: explanations differ in
// ports and times (under a second in ms, else in s), and a rate is told only
// of a time long enough.
Strings Masked(Strings lines) {
  const std::regex rate(" \\([0-9.]+ MiB/s\\)"), time("[0-9]+ ms|[0-9]+\\.[0-9]+ s"), number("[0-9]+");
  for (std::string& line : lines) {
    if (IsStatusLine(line)) continue;
    line = std::regex_replace(std::regex_replace(std::regex_replace(line, rate, ""), time, "(time)"), number, "#");
  }
  return lines;
}

int Count(const Strings& lines, const std::string& pattern) {
  const std::regex re(pattern);
  return static_cast<int>(
      std::count_if(lines.begin(), lines.end(), [&re](const std::string& l) { return std::regex_search(l, re); }));
}

// The host build's moxtil on the update, writing to standard output.
std::unique_ptr<Process> HostMoxtil(int base, Strings args) {
  args.insert(args.end(), {"-ilo", "-B" + std::to_string(base), "-D127.0.0.2"});
  args.insert(args.begin(), HOST_MOXTIL_BIN);
  return std::make_unique<Process>(args);
}

// Every system call in the traces (`qemu-arm -strace`, trace-<pid> a process)
// against the list, each told with its count; one outside the list, a netlink
// socket (Android closes route netlink to apps) or an exec fails.
void AuditSystemCalls(const std::string& dir) {
  std::map<std::string, std::string> allowed;  // name: number
  std::ifstream list(PHONE_SYSCALLS);
  for (std::string row, number, name; std::getline(list, row);) {
    if (row[0] != '#' && std::istringstream(row) >> number >> name) allowed[name] = number;
  }
  ASSERT_EQ(allowed.size(), 261u) << PHONE_SYSCALLS;
  std::map<std::string, int> seen;
  for (const auto& file : std::filesystem::directory_iterator(dir)) {
    std::stringstream read;
    read << std::ifstream(file.path()).rdbuf();
    const std::string trace = read.str(), pid = file.path().filename().string().substr(6);
    // A call begins with the process ID and its name, or "Unknown syscall" and
    // its number; the calls of two threads may share a line.
    const std::regex call("(^|[^0-9])" + pid + " (Unknown syscall [0-9]+|[a-z_0-9]+(?=\\())");
    for (std::sregex_iterator it(trace.begin(), trace.end(), call), end; it != end; ++it) ++seen[(*it)[2]];
    EXPECT_EQ(trace.find("NETLINK"), std::string::npos) << "a netlink socket in " << file.path();
  }
  std::cout << "system calls of moxtil on ARM (number, name, count):\n";
  for (const auto& [name, count] : seen) {
    const bool ok = allowed.count(name) > 0;
    std::cout << "  " << (ok ? allowed[name] : "-") << "\t" << name << "\t" << count << (ok ? "\n" : "\tNOT ALLOWED\n");
    EXPECT_TRUE(ok) << name << " (" << count << " calls) kills an app's process on Android";
  }
  EXPECT_GT(seen.size(), 20u) << "no trace";
  EXPECT_EQ(seen.count("execve"), 0u) << "Android runs no file from an app's writable storage";
}

// A whole single-target update, and the runs an app's sandbox must also let
// through: -M with three devices and -J, a failed update, a stop by signal.
// Then a log daemon that stops reading while the first of two rows of a file
// list is served (1600 progress lines): the update goes on; no line is
// reordered; the oldest held make room for the latest; where lines are
// missing, one line says how many; logd reads again once the row is served.
TEST(Phone, LogAndSandbox) {
  REQUIRE_SIM();
  std::string why;
  if (!UsePrivateNetwork(false, &why)) GTEST_SKIP() << why;
  TempDir dir;
  const FileSet files = {MakeFile(dir.File("loader.b"), 30000, 1), MakeFile(dir.File("id"), 10, 2),
                         MakeFile(dir.File("target.bin"), 200000, 3), ""};
  const Strings update = {files.loader, files.id, files.program, "-T20"};
  const std::string row = files.loader + " " + files.id + " " + MakeFile(dir.File("big.bin"), 16 << 20, 4) + "\n";
  const Strings list = {WriteFile(dir.File("list"), row + row), "dummy", "dummy", "-L", "-T20"};
  // Started before this process has a log daemon.
  auto refSim = StartSim(10000, {}), refListSim = StartSim(10020, {"--updates", "2", "--count-only"});
  auto ref = HostMoxtil(10000, update), refList = HostMoxtil(10020, list);
  if (!UsePrivateDevSocket(dir.path, &why)) GTEST_SKIP() << why;
  Logd logd;
  const char* launcher = getenv("MOXTIL_E2E_LAUNCHER");
  const bool traced =
      launcher != nullptr && std::string(launcher).rfind("qemu-arm", 0) == 0 &&
      std::filesystem::create_directory(dir.File("traces")) &&
      setenv("MOXTIL_E2E_LAUNCHER", (launcher + (" -strace -D " + dir.File("traces/trace-%d"))).c_str(), 1) == 0;

  auto sim = StartSim(10040, {});
  auto moxtil = StartMoxtil(10040, update);
  auto threeSims = StartSim(10060, {"--targets", "3", "--host", "127.0.0.1"});
  auto three =
      StartMoxtil(10060, {files.loader, files.id, files.program, "-M3", "-T20", "-J" + dir.File("r.jsonl")}, false);
  auto failingSim = StartSim(10080, {"--reset-program-after", "100000"});
  auto failing = StartMoxtil(10080, update);
  auto slowSim = StartSim(10100, {"--host", "127.0.0.1", "--program-rate", "100000"});
  auto stopped = StartMoxtil(10100, {files.loader, files.id, files.program, "-M"}, false);
  for (int i = 0; i < 1200 && Count(logd.Of(*stopped), "^127\\.0\\.0\\.2 000 % Now erasing$") == 0; ++i) {
    std::this_thread::sleep_for(Millis(50));
  }
  stopped->Signal(SIGINT);
  for (Process* p : {ref.get(), moxtil.get(), three.get(), failing.get(), stopped.get()}) {
    ExpectExit(*p, 0, Millis(60000));
    EXPECT_TRUE(p == ref.get() || p->Stdout().empty()) << "standard output with a log daemon there";
  }
  ExpectServed(SimReports(*sim, "update").at(0), files, "00", files.program);
  EXPECT_EQ(Masked(logd.Of(*moxtil)), Masked(LogLines(*ref)));
  EXPECT_EQ(Count(logd.Of(*three), "^127\\.0\\.0\\.[234] 100 % finish$"), 3);
  EXPECT_GT(std::filesystem::file_size(dir.File("r.jsonl")), 0u);
  const Strings failed = logd.Of(*failing), stop = logd.Of(*stopped);
  ASSERT_GE(failed.size(), 2u);
  EXPECT_EQ(failed.back(), "-1 *****ERROR*****");
  EXPECT_EQ(Count({failed[failed.size() - 2]}, "^program to 127\\.0\\.0\\.2:[0-9]+: "), 1) << failed[failed.size() - 2];
  EXPECT_EQ(Count(stop, "^127\\.0\\.0\\.2 100 % finish$"), 1);
  EXPECT_EQ(Count(stop, "^Interrupt: "), 1);

  logd.paused = true;
  auto listSim = StartSim(10120, {"--updates", "2"});
  auto listed = StartMoxtil(10120, list);
  ASSERT_GE(listSim->WaitForLine("update n=1 ", Millis(120000)), 0) << "the log held the update up";
  logd.paused = false;
  ExpectExit(*refList, 0, Millis(60000));
  ExpectExit(*listed, 0, Millis(60000));
  for (const Report& served : SimReports(*listSim, "update")) ExpectServed(served, files, "00", dir.File("big.bin"));
  const Strings raw = logd.Of(*listed), got = Masked(raw), all = Masked(LogLines(*refList));
  // Each stretch of lines lost is told in its place, with its count: the pause makes one, a reader slowed by a
  // loaded machine may make more.
  const std::regex note("^log: ([0-9]+) lines? lost here: the log daemon took none for a while$");
  size_t next = 0, notes = 0;  // next: of the reference's lines
  for (size_t i = 0; i < raw.size(); ++i) {
    std::smatch lost;
    if (std::regex_match(raw[i], lost, note)) {
      ++notes, next += std::stoul(lost[1]);
      continue;
    }
    ASSERT_LT(next, all.size()) << "more lines than the update wrote";
    ASSERT_EQ(got[i], all[next++]) << "line " << i;
  }
  EXPECT_GE(notes, 1u) << "no line tells of the lines lost";
  EXPECT_EQ(next, all.size()) << "lines lost untold";
  if (traced) return AuditSystemCalls(dir.File("traces"));
  std::cout << "no audit of system calls: moxtil does not run under qemu-arm here\n";
}

}  // namespace
