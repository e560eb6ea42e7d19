// The phone: the update app reads moxtil's lines from the Android log, and the
// app's sandbox kills moxtil at its first system call outside a fixed list.
// Each test runs in network and mount namespaces of its own, where a socket of
// the test's stands in for the log daemon's (/dev/socket/logdw) and takes
// apart each datagram as logd does. Beside the runs, the host build serves
// the same update with no such socket: the lines it writes to standard output
// are the ones the log must get, in order. Where moxtil runs under qemu-arm
// (the ARM variant) it runs under `qemu-arm -strace`, and every system call of
// every run is held against those that Android 14 lets an app make on 32-bit
// ARM (android-arm-app-syscalls.tsv).
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

// A log entry as logd takes a datagram apart, `bad` saying what is wrong with it.
struct Entry {
  int logId = -1, tid = 0, prio = -1;
  int64_t seconds = 0, nanos = 0;
  std::string tag, text, bad;
};

Entry Parse(const std::string& d) {
  Entry e;
  const auto little = [&d](size_t at, int bytes) {
    int64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(d[at + static_cast<size_t>(i)]);
    return v;
  };
  const size_t tagEnd = d.find('\0', 12);
  if (d.size() < 14 || tagEnd == std::string::npos || d.find('\0', tagEnd + 1) != d.size() - 1) {
    e.bad = "not a header, a priority and two texts each with its NUL";
    return e;
  }
  e.logId = d[0];
  e.tid = static_cast<int>(little(1, 2));
  e.seconds = little(3, 4);
  e.nanos = little(7, 4);
  e.prio = d[11];
  e.tag = d.substr(12, tagEnd - 12);
  e.text = d.substr(tagEnd + 1, d.size() - tagEnd - 2);
  return e;
}

// The log daemon's socket: each datagram an entry of the process that sent it
// (SO_PASSCRED, as logd learns it). While paused nothing is read, and the
// socket's queue fills.
class Logd {
 public:
  Logd() {
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    strcpy(sa.sun_path, "/dev/socket/logdw");
    const int on = 1;
    const timeval tick = {0, 50000};
    EXPECT_TRUE(fd_ >= 0 && setsockopt(fd_, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) == 0 &&
                setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick) == 0 &&
                bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0)
        << "the log socket: " << strerror(errno);
    reader_ = std::thread([this] { Read(); });
  }
  ~Logd() {
    stop_ = true;
    reader_.join();
    close(fd_);
    unlink("/dev/socket/logdw");  // gone for a host run that a later test starts
  }
  std::atomic<bool> paused{false};
  std::vector<Entry> Of(const Process& p) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = entries_.find(p.Pid());
    return it == entries_.end() ? std::vector<Entry>{} : it->second;
  }
  /// Waits up to limit for an entry of p that begins with text.
  bool WaitFor(const Process& p, const std::string& text, Millis limit) const {
    for (auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;) {
      for (const Entry& e : Of(p)) {
        if (e.text.compare(0, text.size(), text) == 0) return true;
      }
      std::this_thread::sleep_for(Millis(50));
    }
    return false;
  }

 private:
  void Read() {
    while (!stop_) {
      if (paused) {
        std::this_thread::sleep_for(Millis(20));
        continue;
      }
      char data[8192];
      alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
      iovec iov = {data, sizeof data};
      msghdr msg{};
      msg.msg_iov = &iov;
      msg.msg_iovlen = 1;
      msg.msg_control = control;
      msg.msg_controllen = sizeof control;
      const ssize_t n = recvmsg(fd_, &msg, 0);
      const cmsghdr* c = CMSG_FIRSTHDR(&msg);
      if (n < 0 || c == nullptr || c->cmsg_type != SCM_CREDENTIALS) continue;
      ucred sender;
      memcpy(&sender, CMSG_DATA(c), sizeof sender);
      std::lock_guard<std::mutex> lock(mutex_);
      entries_[sender.pid].push_back(Parse(std::string(data, static_cast<size_t>(n))));
    }
  }
  int fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::map<pid_t, std::vector<Entry>> entries_;
  std::thread reader_;
};

// The texts of moxtil's entries, each checked as liblog would have sent it.
Strings Texts(const std::vector<Entry>& entries) {
  Strings texts;
  const int64_t now = time(nullptr);
  bool told = false;  // of the first entry that is not as sent
  for (const Entry& e : entries) {
    const bool asSent = e.bad.empty() && e.logId == 0 && e.prio == 3 && e.tag == "moxtil" && e.tid > 0 &&
                        e.nanos < 1000000000 && std::abs(e.seconds - now) < 600;
    EXPECT_TRUE(asSent || told) << "entry " << texts.size() << " (" << e.bad << "): log " << e.logId << ", thread "
                                << e.tid << ", priority " << e.prio << ", tag " << e.tag << ", " << e.seconds << " s "
                                << e.nanos << " ns: " << e.text;
    told = told || !asSent;
    texts.push_back(e.text);
  }
  return texts;
}

// A line as another run of the same update writes it: explanations differ
// in ports and times, and a rate is told only of a time long enough.
Strings Masked(Strings lines) {
  const std::regex rate(" \\([0-9.]+ MiB/s\\)"), number("[0-9]+");
  for (std::string& line : lines) {
    if (!IsStatusLine(line)) line = std::regex_replace(std::regex_replace(line, rate, ""), number, "#");
  }
  return lines;
}

// The host build's moxtil on the update, writing to standard output.
std::unique_ptr<Process> HostMoxtil(int base, Strings args) {
  args.insert(args.end(), {"-ilo", "-B" + std::to_string(base), "-D127.0.0.2"});
  args.insert(args.begin(), HOST_MOXTIL_BIN);
  return std::make_unique<Process>(args);
}

int Count(const Strings& lines, const std::string& pattern) {
  const std::regex re(pattern);
  return static_cast<int>(
      std::count_if(lines.begin(), lines.end(), [&re](const std::string& l) { return std::regex_search(l, re); }));
}

Strings With(Strings a, const Strings& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Every system call in the traces (`qemu-arm -strace`, trace-<pid> per
// process) against the list: each told with its count; one outside the list,
// a netlink socket (Android closes route netlink to apps) or an exec fails.
void AuditSystemCalls(const std::string& dir) {
  std::map<std::string, int> allowed;  // name: number
  std::ifstream list(PHONE_SYSCALLS);
  for (std::string row; std::getline(list, row);) {
    std::istringstream fields(row);
    std::string number, name;
    if (row[0] != '#' && fields >> number >> name) allowed[name] = std::stoi(number);
  }
  ASSERT_EQ(allowed.size(), 261u) << PHONE_SYSCALLS;
  std::map<std::string, int> seen;
  for (const auto& file : std::filesystem::directory_iterator(dir)) {
    std::ifstream in(file.path());
    std::stringstream read;
    read << in.rdbuf();
    const std::string trace = read.str();
    // The calls of all threads, which may interleave on a line: each begins
    // with the process ID (the file's) and its name or number.
    const std::string start = file.path().filename().string().substr(6) + " ";
    for (size_t at = 0; (at = trace.find(start, at)) != std::string::npos;) {
      const bool whole = at == 0 || !isdigit(static_cast<unsigned char>(trace[at - 1]));
      at += start.size();
      size_t end = at;
      while (end < trace.size() && (isalnum(static_cast<unsigned char>(trace[end])) || trace[end] == '_')) ++end;
      if (whole && trace.compare(at, 16, "Unknown syscall ") == 0) {
        ++seen["#" + trace.substr(at + 16, trace.find_first_not_of("0123456789", at + 16) - at - 16)];
      } else if (whole && end > at && end < trace.size() && trace[end] == '(') {
        ++seen[trace.substr(at, end - at)];
      }
    }
    EXPECT_EQ(trace.find("NETLINK"), std::string::npos) << "a netlink socket in " << file.path();
  }
  ASSERT_FALSE(seen.empty()) << "no system call traced in " << dir;
  std::ostringstream table;
  table << "system calls of moxtil on ARM (number, name, count):\n";
  for (const auto& [name, count] : seen) {
    const auto it = allowed.find(name);
    table << "  " << (it == allowed.end() ? std::string("-") : std::to_string(it->second)) << "\t" << name << "\t"
          << count << (it == allowed.end() ? "\tNOT ALLOWED" : "") << "\n";
    EXPECT_TRUE(it != allowed.end()) << name << " (" << count << " calls) kills an app's process on Android";
  }
  EXPECT_EQ(seen.count("execve"), 0u) << "Android runs no file from an app's writable storage";
  std::cout << table.str();
}

// The moxtil under test through its launcher; under qemu-arm, traced into dir.
bool TraceUnderQemu(const std::string& dir) {
  const char* launcher = getenv("MOXTIL_E2E_LAUNCHER");
  if (launcher == nullptr || std::string(launcher).rfind("qemu-arm", 0) != 0) return false;
  std::filesystem::create_directory(dir);
  setenv("MOXTIL_E2E_LAUNCHER", (std::string(launcher) + " -strace -D " + dir + "/trace-%d").c_str(), 1);
  return true;
}

struct Phone : ::testing::Test {
  void SetUp() override {
    REQUIRE_SIM();
    std::string why;
    if (!UsePrivateNetwork(false, &why)) GTEST_SKIP() << why;
  }
  // In the private mount namespace: the log socket, the trace.
  void UseLogd() {
    std::string why;
    if (!UsePrivateDevSocket(dir.path, &why)) GTEST_SKIP() << why;
    logd = std::make_unique<Logd>();
    traced = TraceUnderQemu(dir.File("traces"));
  }
  void ExpectAudited() {
    if (traced) return AuditSystemCalls(dir.File("traces"));
    std::cout << "no audit of system calls: moxtil does not run under qemu-arm here\n";
  }
  TempDir dir;
  FileSet files = {MakeFile(dir.File("loader.b"), 30000, 1), MakeFile(dir.File("id"), 10, 2),
                   MakeFile(dir.File("target.bin"), 200000, 3), ""};
  Strings update = {files.loader, files.id, files.program};
  std::unique_ptr<Logd> logd;
  bool traced = false;
};

// A whole single-target update, then the runs an app's sandbox must also let
// through: -M with three devices and -J, a failed update, a stop by signal.
TEST_F(Phone, LogAndSandbox) {
  auto refSim = StartSim(10000, {});
  auto ref = HostMoxtil(10000, With(update, {"-T20"}));
  UseLogd();
  auto sim = StartSim(10020, {});
  auto moxtil = StartMoxtil(10020, With(update, {"-T20"}));
  auto threeSims = StartSim(10040, {"--targets", "3", "--host", "127.0.0.1"});
  auto three = StartMoxtil(10040, With(update, {"-M3", "-T20", "-J" + dir.File("record.jsonl")}), false);
  auto failingSim = StartSim(10060, {"--reset-program-after", "100000"});
  auto failing = StartMoxtil(10060, With(update, {"-T20"}));
  auto slowSim = StartSim(10080, {"--host", "127.0.0.1", "--program-rate", "100000"});
  auto stopped = StartMoxtil(10080, With(update, {"-M"}), false);
  ASSERT_TRUE(logd->WaitFor(*stopped, "127.0.0.2 000 % Now erasing", Millis(60000)));
  stopped->Signal(SIGINT);

  for (Process* p : {ref.get(), moxtil.get(), three.get(), failing.get(), stopped.get()}) {
    ExpectExit(*p, 0, Millis(60000));
  }
  ExpectServed(SimReports(*sim, "update").at(0), files, "00", files.program);
  EXPECT_EQ(Masked(Texts(logd->Of(*moxtil))), Masked(LogLines(*ref)));
  EXPECT_EQ(Count(Texts(logd->Of(*three)), "^127\\.0\\.0\\.[234] 100 % finish$"), 3);
  EXPECT_NE(std::ifstream(dir.File("record.jsonl")).peek(), EOF) << "no record";
  const Strings failed = Texts(logd->Of(*failing));
  ASSERT_GE(failed.size(), 2u);
  EXPECT_EQ(failed.back(), "-1 *****ERROR*****");
  EXPECT_TRUE(std::regex_search(failed[failed.size() - 2], std::regex("^program to 127\\.0\\.0\\.2:[0-9]+: ")))
      << failed[failed.size() - 2];
  const Strings stop = Texts(logd->Of(*stopped));
  EXPECT_EQ(Count(stop, "^127\\.0\\.0\\.2 100 % finish$"), 1);
  EXPECT_EQ(Count(stop, "^Interrupt: "), 1);
  for (Process* p : {moxtil.get(), three.get(), failing.get(), stopped.get()}) {
    EXPECT_TRUE(p->Stdout().empty()) << "standard output with the log daemon there";
  }
  ExpectAudited();
}

// A log daemon that stops reading while the first of two rows of a file list
// is served (1600 progress lines): the update goes on, no line is reordered,
// the oldest held lines make room for the latest, and where lines are missing
// one line says how many; logd reads again once the first row is served.
TEST_F(Phone, LogdThatStopsReading) {
  MakeFile(files.program, 16 << 20, 4);
  const std::string row = files.loader + " " + files.id + " " + files.program + "\n";
  const Strings args = {WriteFile(dir.File("list"), row + row), "dummy", "dummy", "-L", "-T20"};
  auto refSim = StartSim(10000, {"--updates", "2", "--count-only"});
  auto ref = HostMoxtil(10000, args);
  UseLogd();
  logd->paused = true;
  auto sim = StartSim(10020, {"--updates", "2"});
  auto moxtil = StartMoxtil(10020, args);
  ASSERT_GE(sim->WaitForLine("update n=1 ", Millis(120000)), 0) << "the log held the update up";
  logd->paused = false;

  ExpectExit(*ref, 0, Millis(60000));
  ExpectExit(*moxtil, 0, Millis(60000));
  for (const Report& served : SimReports(*sim, "update")) ExpectServed(served, files, "00", files.program);
  EXPECT_TRUE(moxtil->Stdout().empty());
  const Strings raw = Texts(logd->Of(*moxtil)), got = Masked(raw), all = Masked(LogLines(*ref));
  const std::string note = "^log: ([0-9]+) lines? lost here: the log daemon took none for a while$";
  ASSERT_EQ(Count(raw, note), 1) << "one line tells of the lines lost";
  std::smatch lost;
  const auto at = std::find_if(raw.begin(), raw.end(),
                               [&](const std::string& l) { return std::regex_match(l, lost, std::regex(note)); });
  const ptrdiff_t before = at - raw.begin(), n = std::stol(lost[1]);
  ASSERT_EQ(static_cast<ptrdiff_t>(got.size()) - 1 + n, static_cast<ptrdiff_t>(all.size())) << "lines lost untold";
  EXPECT_EQ(Strings(got.begin(), got.begin() + before), Strings(all.begin(), all.begin() + before))
      << "the lines before those lost";
  EXPECT_EQ(Strings(got.begin() + before + 1, got.end()), Strings(all.begin() + before + n, all.end()))
      << "the lines after them";
  ExpectAudited();
}

}  // namespace
