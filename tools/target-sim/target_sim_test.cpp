// The simulator against a tiny scripted host on loopback: the host binds
// 127.0.0.1, the simulator 127.0.0.2, each test on ports of its own.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "digest.h"

extern char** environ;

namespace {

constexpr const char* kHost = "127.0.0.1";
constexpr const char* kSim = "127.0.0.2";
const std::string kAnnounce("\x01\x00\x00\x01\x00\x00\x00\x00\x07\x01\x00\x08\x01\x00\x00\x00", 16);

int Base(int k) { return 28000 + 20 * k; }

sockaddr_in Addr(const char* ip, int port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, ip, &sa.sin_addr);
  return sa;
}

int Bound(int type, const char* ip, int port) {
  int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in sa = Addr(ip, port);
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0) << strerror(errno);
  if (type == SOCK_STREAM) listen(fd, 4);
  return fd;
}

bool Readable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, ms) == 1;
}

// Accepts within 10 s; returns -1 if nobody connects.
int Accept(int listener, std::string* peer = nullptr) {
  if (!Readable(listener, 10000)) return -1;
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  int fd = accept(listener, reinterpret_cast<sockaddr*>(&sa), &len);
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text);
  if (peer) *peer = text;
  return fd;
}

void SendAll(int fd, const std::string& data) {
  size_t off = 0;
  while (off < data.size()) {
    ssize_t n = send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return;
    off += static_cast<size_t>(n);
  }
}

std::string Sha256Of(const std::string& data) {
  Sha256 sha;
  sha.Update(data.data(), data.size());
  return sha.HexDigest();
}

std::string Bytes(size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 8)) & 0xFF);
  return s;
}

// The simulator as a child process whose output is collected to its exit.
struct Sim {
  pid_t pid = -1;
  int out = -1;
  std::string text;

  explicit Sim(int base, std::vector<std::string> extra) {
    std::vector<std::string> args = {TARGET_SIM_BIN, "--address", kSim, "--base", std::to_string(base)};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int p[2];
    EXPECT_EQ(pipe2(p, O_CLOEXEC), 0);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, p[1], 1);
    EXPECT_EQ(posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&fa);
    close(p[1]);
    out = p[0];
  }
  ~Sim() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (out >= 0) close(out);
  }
  // Reads until the line that starts with `prefix` has come (bounded).
  bool WaitFor(const std::string& prefix, int ms = 10000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (("\n" + text).find("\n" + prefix) == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !Readable(out, static_cast<int>(left.count()))) return false;
      char buf[4096];
      ssize_t n = read(out, buf, sizeof buf);
      if (n <= 0) return false;
      text.append(buf, static_cast<size_t>(n));
    }
    return true;
  }
  // Exit status, or -1 if it does not end within `ms`.
  int Exit(int ms = 10000) {
    for (int waited = 0; waited < ms; waited += 20) {
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        char buf[4096];
        for (ssize_t n; (n = read(out, buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      usleep(20000);
    }
    return -1;
  }
  std::vector<std::map<std::string, std::string>> Lines(const std::string& kind) const {
    std::vector<std::map<std::string, std::string>> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
      if (line.compare(0, kind.size() + 1, kind + " ") != 0) continue;
      std::map<std::string, std::string> fields;
      std::istringstream words(line.substr(kind.size() + 1));
      for (std::string w; words >> w;) fields[w.substr(0, w.find('='))] = w.substr(w.find('=') + 1);
      lines.push_back(fields);
    }
    return lines;
  }
};

// The host's side of one update; the simulator must already be ready.
struct Host {
  int udp, loader, data;
  int base;
  explicit Host(int b)
      : udp(Bound(SOCK_DGRAM, kHost, b + 10)),
        loader(Bound(SOCK_STREAM, kHost, b + 10)),
        data(Bound(SOCK_STREAM, kHost, b + 11)),
        base(b) {}
  ~Host() {
    close(udp);
    close(loader);
    close(data);
  }
  void Datagram(const std::string& bytes) {
    sockaddr_in to = Addr(kSim, base + 10);
    sendto(udp, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
};

TEST(TargetSim, FollowsTheOrderAndReportsSizesAndChecksums) {
  const int base = Base(0);
  Sim sim(base, {"--time-limit", "30"});
  ASSERT_TRUE(sim.WaitFor("ready "));
  Host host(base);
  const std::string loader = Bytes(5000, 1), id = "0123456789", program = Bytes(300000, 2);

  host.Datagram(kAnnounce);
  std::string peer;
  int l = Accept(host.loader, &peer);
  ASSERT_GE(l, 0) << "no loader connection";
  EXPECT_EQ(peer, kSim);
  SendAll(l, loader + "R");
  EXPECT_FALSE(Readable(host.data, 300)) << "data connection before the loader was closed";
  close(l);

  int d = Accept(host.data, &peer);
  ASSERT_GE(d, 0) << "no data connection";
  EXPECT_EQ(peer, kSim);
  SendAll(d, id);
  EXPECT_FALSE(Readable(d, 300)) << "a reply without --reply";
  SendAll(d, program);
  close(d);

  EXPECT_EQ(sim.Exit(), 0);
  auto u = sim.Lines("update");
  ASSERT_EQ(u.size(), 1u) << sim.text;
  EXPECT_EQ(u[0]["result"], "ok");
  EXPECT_EQ(u[0]["loader_bytes"], "5000");
  EXPECT_EQ(u[0]["reboot"], "52");
  EXPECT_EQ(u[0]["id_bytes"], "10");
  EXPECT_EQ(u[0]["reply"], "-");
  EXPECT_EQ(u[0]["program_bytes"], "300000");
  EXPECT_EQ(u[0]["loader_sha256"], Sha256Of(loader));
  EXPECT_EQ(u[0]["id_sha256"], Sha256Of(id));
  EXPECT_EQ(u[0]["program_sha256"], Sha256Of(program));
  auto dg = sim.Lines("datagram");
  ASSERT_EQ(dg.size(), 1u);
  EXPECT_EQ(dg[0]["kind"], "announce");
  EXPECT_EQ(dg[0]["from"], std::string(kHost) + ":" + std::to_string(base + 10));
  EXPECT_EQ(dg[0]["to"], kSim);
}

// The reply comes in two receives when split; --save keeps what came.
TEST(TargetSim, SplitReplyAndSavedParts) {
  const int base = Base(1);
  char dir[] = "/tmp/target-sim-test-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  Sim sim(base, {"--time-limit", "30", "--reply", "P1", "--reply-split", "--save", dir});
  ASSERT_TRUE(sim.WaitFor("ready "));
  Host host(base);
  const std::string id = "ABCDEFGHIJ", program = Bytes(70000, 3);

  host.Datagram(kAnnounce);
  int l = Accept(host.loader);
  ASSERT_GE(l, 0);
  SendAll(l, "r");  // an empty loader: the reboot byte alone
  close(l);
  int d = Accept(host.data);
  ASSERT_GE(d, 0);
  SendAll(d, id.substr(0, 4));  // the ID code in pieces
  usleep(100000);
  SendAll(d, id.substr(4));
  char buf[4] = {};
  ASSERT_TRUE(Readable(d, 5000));
  EXPECT_EQ(recv(d, buf, sizeof buf, 0), 1);
  EXPECT_EQ(buf[0], 'P');
  ASSERT_TRUE(Readable(d, 5000));
  EXPECT_EQ(recv(d, buf, sizeof buf, 0), 1);
  EXPECT_EQ(buf[0], '1');
  SendAll(d, program);
  close(d);

  EXPECT_EQ(sim.Exit(), 0);
  auto u = sim.Lines("update");
  ASSERT_EQ(u.size(), 1u) << sim.text;
  EXPECT_EQ(u[0]["loader_bytes"], "0");
  EXPECT_EQ(u[0]["reboot"], "72");
  EXPECT_EQ(u[0]["reply"], "P1");
  auto slurp = [&](const char* name) {
    std::ifstream f(std::string(dir) + "/" + name, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  };
  EXPECT_EQ(slurp("loader.bin"), "");
  EXPECT_EQ(slurp("id.bin"), id);
  EXPECT_EQ(slurp("program.bin"), program);
  for (const char* name : {"loader.bin", "id.bin", "program.bin"}) unlink((std::string(dir) + "/" + name).c_str());
  rmdir(dir);
}

// Only an announce starts an update; a restart and other bytes are reported.
TEST(TargetSim, TellsDatagramsApart) {
  const int base = Base(2);
  Sim sim(base, {"--time-limit", "30"});
  ASSERT_TRUE(sim.WaitFor("ready "));
  Host host(base);
  std::string restart = kAnnounce;
  restart[8] = '\x0C';
  host.Datagram(restart);
  host.Datagram(kAnnounce.substr(0, 15));
  ASSERT_TRUE(sim.WaitFor("datagram kind=unknown"));
  EXPECT_FALSE(Readable(host.loader, 500)) << "a connection without an announce";
  host.Datagram(kAnnounce);
  int l = Accept(host.loader);
  ASSERT_GE(l, 0);
  close(l);  // nothing at all: no reboot byte
  int d = Accept(host.data);
  ASSERT_GE(d, 0);
  close(d);  // and no ID code

  EXPECT_EQ(sim.Exit(), 0);
  auto dg = sim.Lines("datagram");
  ASSERT_EQ(dg.size(), 3u) << sim.text;
  EXPECT_EQ(dg[0]["kind"], "restart");
  EXPECT_EQ(dg[1]["kind"], "unknown");
  EXPECT_EQ(dg[1]["bytes"], "15");
  EXPECT_EQ(dg[2]["kind"], "announce");
  auto u = sim.Lines("update");
  ASSERT_EQ(u.size(), 1u);
  EXPECT_EQ(u[0]["reboot"], "none");
  EXPECT_EQ(u[0]["id_bytes"], "0");
}

TEST(TargetSim, ClosesTheLoaderAfterNBytesOnDemand) {
  const int base = Base(3);
  Sim sim(base, {"--time-limit", "30", "--close-loader-after", "1000"});
  ASSERT_TRUE(sim.WaitFor("ready "));
  Host host(base);
  host.Datagram(kAnnounce);
  int l = Accept(host.loader);
  ASSERT_GE(l, 0);
  SendAll(l, Bytes(100000, 4));  // fails part way when the target closes
  close(l);
  EXPECT_EQ(sim.Exit(), 0);
  auto u = sim.Lines("update");
  ASSERT_EQ(u.size(), 1u) << sim.text;
  EXPECT_EQ(u[0]["result"], "closed-loader");
  EXPECT_EQ(u[0]["loader_bytes"], "1000");
  EXPECT_EQ(u[0]["reboot"], "none");
  EXPECT_FALSE(Readable(host.data, 300)) << "a data connection after a failed loader";
}

TEST(TargetSim, EndsAtTheTimeLimit) {
  Sim sim(Base(4), {"--time-limit", "1"});
  ASSERT_TRUE(sim.WaitFor("ready "));
  EXPECT_EQ(sim.Exit(5000), 3);
  EXPECT_NE(sim.text.find("\ntimeout\n"), std::string::npos) << sim.text;
}

TEST(TargetSim, HelpNamesEveryOptionAndBadUsageFails) {
  Sim help(Base(5), {"--help"});
  EXPECT_EQ(help.Exit(), 0);
  for (const char* option :
       {"--address", "--base", "--listen-any", "--updates", "--time-limit", "--reply", "--reply-split",
        "--reply-split-delay", "--save",
        "--count-only", "--close-loader-after", "--close-program-after", "--stall-loader-after",
        "--stall-program-after", "--stall-seconds", "--read-delay", "--read-size", "--connect-from",
        "--no-data-connect", "--data-connect-delay", "--loader-connect-delay", "--connect-retry"}) {
    EXPECT_NE(help.text.find(option), std::string::npos) << option;
  }
  Sim bad(Base(5), {"--updates", "zero"});
  EXPECT_EQ(bad.Exit(), 1);
}

}  // namespace
