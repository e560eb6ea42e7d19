// target-sim: plays one target device on the local host, for Moxtil's tests,
// benchmarks and the demo.
//
// It waits for the host's announce datagram, connects back to the loader
// port and takes the loader to the close (its last byte is the reboot byte),
// then connects to the data port, takes the 10-byte ID code, answers with an
// optional selection and takes the target program to the close. Each update
// ends in one machine-readable line on standard output:
//
//   update n=1 result=ok loader_bytes=L reboot=52 id_bytes=10 reply=P1
//          program_bytes=P loader_sha256=... id_sha256=... program_sha256=...
//          program_seconds=1.234 stream_seconds=0.123456 id_to_program_ms=1001
//          end_wait_ms=5002 announces_while_served=0
//
// program_seconds runs from the data connection to its close (the host's
// waits included), stream_seconds from the first to the last program byte,
// id_to_program_ms from the ID code to the first program byte, end_wait_ms
// from the last program byte to the end of the stream (-1 where there was
// none), and announces_while_served counts the announce datagrams that came
// from the first program byte to 4 s after the last (the host's wait before
// its close; a file list's next cycle announces once the close is done).
//
// result is ok, or the first thing that went wrong: refused-loader,
// closed-loader, stalled-loader, reset-loader, no-data-connect, refused-data,
// short-id (the data connection ended inside the ID code), closed-program,
// stalled-program, reset-program; host-reset-loader and host-reset-program
// when the host reset a connection instead of ending its stream. The other
// fields hold what arrived all the same.
//
// Every datagram that arrives is reported as
//   datagram kind=announce|restart|unknown from=IP:PORT to=DEST bytes=N
// An overall time limit ends the program with a "timeout" line and status 3,
// so that it never hangs a test. With --listen-only it only reports
// datagrams until then; with --host it connects without waiting for one.

#include <CLI/CLI.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "digest.h"

namespace {

using Clock = std::chrono::steady_clock;

enum Exit { kOk = 0, kUsage = 1, kSetup = 2, kTimeLimit = 3 };

constexpr uint8_t kAnnounce[16] = {0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00,
                                   0x07, 0x01, 0x00, 0x08, 0x01, 0x00, 0x00, 0x00};
constexpr size_t kKindByte = 8;
constexpr uint8_t kRestartKind = 0x0C;
constexpr size_t kIdCodeBytes = 10;
constexpr int kStallRcvBuf = 4096;  // so that a stalled reader really holds the sender back

struct Config {
  std::string address;
  int base = 0;
  bool listenAny = false;
  int updates = 1;
  int timeLimit = 60;
  std::string reply;
  bool replySplit = false;
  int replySplitDelayMs = 200;
  std::string saveDir;
  bool countOnly = false;
  int64_t closeLoaderAfter = -1;
  int64_t closeProgramAfter = -1;
  int64_t stallLoaderAfter = -1;
  int64_t stallProgramAfter = -1;
  int64_t resetLoaderAfter = -1;
  int64_t resetProgramAfter = -1;
  int stallSeconds = 30;
  size_t strayLoader = 0;
  bool floodData = false;
  bool readAfterStall = false;
  bool listenOnly = false;
  std::string host;
  int readDelayMs = 0;
  size_t readSize = 0;  // 0: 64 KiB, or 1 MiB when counting only
  std::string connectFrom;
  bool noDataConnect = false;
  int dataConnectDelayMs = 0;
  int loaderConnectDelayMs = 0;
  int connectRetrySeconds = 10;
};

// ---- output: whole lines, flushed at once, never interleaved

std::mutex gOutMutex;

void Say(const std::string& line) {
  std::lock_guard<std::mutex> lock(gOutMutex);
  fwrite(line.data(), 1, line.size(), stdout);
  fputc('\n', stdout);
  fflush(stdout);
}

[[noreturn]] void Fail(Exit code, const std::string& what) {
  {
    std::lock_guard<std::mutex> lock(gOutMutex);
    fflush(stdout);
    fprintf(stderr, "target-sim: %s\n", what.c_str());
  }
  _exit(code);
}

std::string Errno(const char* call) { return std::string(call) + ": " + strerror(errno); }

uint16_t Port(int base, int offset) { return static_cast<uint16_t>(base + offset); }

in_addr_t ParseAddress(const std::string& text) {
  in_addr a{};
  if (inet_pton(AF_INET, text.c_str(), &a) != 1) Fail(kUsage, "not an IPv4 address: " + text);
  return a.s_addr;
}

std::string AddressText(in_addr_t addr) {
  char text[INET_ADDRSTRLEN] = "";
  in_addr a{};
  a.s_addr = addr;
  inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

sockaddr_in SockAddr(in_addr_t addr, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = addr;
  sa.sin_port = htons(port);
  return sa;
}

// ---- one received stream: counted, hashed, optionally saved

class Sink {
 public:
  Sink(bool hash, const std::string& path) {
    if (hash) {
      sha_ = std::make_unique<Sha256>();
      if (!sha_->ok()) Fail(kSetup, "SHA-256 unavailable");
    }
    if (!path.empty()) {
      file_ = fopen(path.c_str(), "wb");
      if (file_ == nullptr) Fail(kSetup, Errno(("fopen " + path).c_str()));
    }
  }
  ~Sink() {
    if (file_ != nullptr) fclose(file_);
  }
  Sink(const Sink&) = delete;
  Sink& operator=(const Sink&) = delete;

  void Add(const uint8_t* data, size_t n) {
    bytes_ += static_cast<int64_t>(n);
    if (sha_ && n > 0) sha_->Update(data, n);
    if (file_ != nullptr && n > 0 && fwrite(data, 1, n, file_) != n) Fail(kSetup, "write of saved data failed");
  }
  int64_t bytes() const { return bytes_; }
  std::string Digest() { return sha_ ? sha_->HexDigest() : "-"; }

 private:
  std::unique_ptr<Sha256> sha_;
  FILE* file_ = nullptr;
  int64_t bytes_ = 0;
};

// ---- the UDP side: a thread of its own reports every datagram and hands
// announces to the update loop, so that an update never blocks on it.

struct Announce {
  in_addr_t host;
  Clock::time_point when;
};

std::mutex gAnnounceMutex;
std::condition_variable gAnnounceCv;
std::deque<Announce> gAnnounces;
std::vector<Clock::time_point> gAnnounceTimes;  // every announce, under gAnnounceMutex

int OpenUdp(const Config& cfg) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) Fail(kSetup, Errno("socket"));
  int on = 1;
  setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
  // Broadcast datagrams reach a socket bound to the wildcard address only.
  sockaddr_in sa = SockAddr(cfg.listenAny ? htonl(INADDR_ANY) : ParseAddress(cfg.address), Port(cfg.base, 10));
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) Fail(kSetup, Errno("bind udp"));
  return fd;
}

void UdpLoop(int fd) {
  uint8_t buf[2048];
  alignas(cmsghdr) char control[256];
  for (;;) {
    sockaddr_in from{};
    iovec iov{buf, sizeof buf};
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = recvmsg(fd, &msg, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail(kSetup, Errno("recvmsg"));
    }
    std::string dest = "?";
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
        in_pktinfo info{};
        memcpy(&info, CMSG_DATA(c), sizeof info);
        dest = AddressText(info.ipi_addr.s_addr);
      }
    }
    const size_t len = static_cast<size_t>(n);
    const bool shaped = len == sizeof kAnnounce && memcmp(buf, kAnnounce, kKindByte) == 0 &&
                        memcmp(buf + kKindByte + 1, kAnnounce + kKindByte + 1, sizeof kAnnounce - kKindByte - 1) == 0;
    const char* kind = "unknown";
    if (shaped && buf[kKindByte] == kAnnounce[kKindByte]) kind = "announce";
    if (shaped && buf[kKindByte] == kRestartKind) kind = "restart";
    Say(std::string("datagram kind=") + kind + " from=" + AddressText(from.sin_addr.s_addr) + ":" +
        std::to_string(ntohs(from.sin_port)) + " to=" + dest + " bytes=" + std::to_string(len));
    if (strcmp(kind, "announce") == 0) {
      std::lock_guard<std::mutex> lock(gAnnounceMutex);
      gAnnounces.push_back({from.sin_addr.s_addr, Clock::now()});
      gAnnounceTimes.push_back(Clock::now());
      if (gAnnounces.size() > 64) gAnnounces.pop_front();
      gAnnounceCv.notify_all();
    }
  }
}

// The next announce that arrived after `since`; older ones belong to an
// update already served.
in_addr_t WaitAnnounce(Clock::time_point since) {
  std::unique_lock<std::mutex> lock(gAnnounceMutex);
  for (;;) {
    while (!gAnnounces.empty() && gAnnounces.front().when < since) gAnnounces.pop_front();
    if (!gAnnounces.empty()) {
      in_addr_t host = gAnnounces.front().host;
      gAnnounces.clear();
      return host;
    }
    gAnnounceCv.wait(lock);  // the time limit ends the program if none comes
  }
}

// ---- the TCP side

// Connects from `from` to host:port, retrying every 100 ms for up to
// `retrySeconds` while the host is not listening (not yet, or no more).
// Returns -1 when it never listened.
int ConnectTo(in_addr_t from, in_addr_t host, uint16_t port, bool smallBuffer, int retrySeconds) {
  const Clock::time_point giveUp = Clock::now() + std::chrono::seconds(retrySeconds);
  for (;;) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) Fail(kSetup, Errno("socket"));
    if (smallBuffer) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kStallRcvBuf, sizeof kStallRcvBuf);
    sockaddr_in local = SockAddr(from, 0);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) Fail(kSetup, Errno("bind tcp"));
    sockaddr_in peer = SockAddr(host, port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0) return fd;
    const int err = errno;
    close(fd);
    // A host that closes its port while the connection waits in its
    // backlog resets it: as good as refused.
    if (err != ECONNREFUSED && err != ECONNRESET && err != ECONNABORTED && err != EINTR && err != ETIMEDOUT) {
      errno = err;
      Fail(kSetup, Errno("connect"));
    }
    if (Clock::now() >= giveUp) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

// How a stream ended: the host's end of stream or its reset, or what the
// target did on purpose.
enum class End { kEof, kHostReset, kClosed, kStalled, kReset };

struct Reader {
  const Config& cfg;
  std::vector<uint8_t> buf;
  explicit Reader(const Config& c) : cfg(c), buf(c.readSize) {}

  // Reads fd to its end into `put`, or until `closeAfter` / `stallAfter` /
  // `resetAfter` bytes (negative: never) have come. For a reset the caller's
  // close sends it: the socket is left to linger for no time. A stall that
  // is read on after (--read-after-stall) still ends as a stall.
  template <typename Put>
  End Drain(int fd, int64_t closeAfter, int64_t stallAfter, int64_t resetAfter, Put put) {
    int64_t got = 0;
    bool stalled = false;
    for (;;) {
      size_t want = buf.size();
      for (int64_t limit : {closeAfter, stallAfter, resetAfter}) {
        if (limit >= 0) want = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(want), limit - got));
      }
      if (closeAfter >= 0 && got >= closeAfter) return End::kClosed;
      if (stallAfter >= 0 && got >= stallAfter) {
        std::this_thread::sleep_for(std::chrono::seconds(cfg.stallSeconds));
        if (!cfg.readAfterStall) return End::kStalled;
        stalled = true;
        stallAfter = -1;
        continue;
      }
      if (resetAfter >= 0 && got >= resetAfter) {
        const linger now = {1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
        return End::kReset;
      }
      ssize_t n = recv(fd, buf.data(), want, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == ECONNRESET) return End::kHostReset;
      if (n <= 0) return stalled ? End::kStalled : End::kEof;
      put(buf.data(), static_cast<size_t>(n));
      got += n;
      if (cfg.readDelayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(cfg.readDelayMs));
    }
  }
};

std::string SavePath(const Config& cfg, const char* name, int n) {
  if (cfg.saveDir.empty()) return "";
  std::string path = cfg.saveDir + "/" + name + ".bin";
  if (cfg.updates > 1) path += "." + std::to_string(n);
  return path;
}

bool SendAll(int fd, const char* data, size_t n) {
  while (n > 0) {
    ssize_t sent = send(fd, data, n, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    data += sent;
    n -= static_cast<size_t>(sent);
  }
  return true;
}

/// Sends bytes on fd until the send fails, as a target that writes what the
/// protocol never reads; the reader's shutdown of fd ends it.
void Flood(int fd) {
  const std::vector<char> junk(65536, 'f');
  while (SendAll(fd, junk.data(), junk.size())) {
  }
}

/// The result of a stream that did not end with the host's end of stream.
std::string Ending(End end, const char* stream) {
  const char* what = end == End::kClosed    ? "closed-"
                     : end == End::kStalled ? "stalled-"
                     : end == End::kReset   ? "reset-"
                                            : "host-reset-";
  return what + std::string(stream);
}

// Sends the reply; the rest of a split one goes out from a thread of its
// own, so that the program is read meanwhile as it comes.
bool SendReply(const Config& cfg, int fd, std::thread* rest) {
  const std::string& r = cfg.reply;
  if (!cfg.replySplit || r.size() < 2) return SendAll(fd, r.data(), r.size());
  if (!SendAll(fd, r.data(), 1)) return false;
  *rest = std::thread([&cfg, fd] {
    std::this_thread::sleep_for(std::chrono::milliseconds(cfg.replySplitDelayMs));
    SendAll(fd, cfg.reply.data() + 1, cfg.reply.size() - 1);
  });
  return true;
}

void ServeUpdate(const Config& cfg, int n, in_addr_t host) {
  const in_addr_t from = ParseAddress(cfg.connectFrom.empty() ? cfg.address : cfg.connectFrom);
  const bool hash = !cfg.countOnly;
  Reader reader(cfg);
  std::string result = "ok";

  // Loader: the last byte of the stream is the reboot byte, so each byte is
  // held back until the next one shows it was not the last.
  Sink loader(hash, cfg.countOnly ? "" : SavePath(cfg, "loader", n));
  int last = -1;
  if (cfg.loaderConnectDelayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(cfg.loaderConnectDelayMs));
  if (int fd = ConnectTo(from, host, Port(cfg.base, 10), cfg.stallLoaderAfter >= 0, cfg.connectRetrySeconds);
      fd < 0) {
    result = "refused-loader";
  } else {
    const std::string stray(cfg.strayLoader, 's');
    SendAll(fd, stray.data(), stray.size());
    End end = reader.Drain(fd, cfg.closeLoaderAfter, cfg.stallLoaderAfter, cfg.resetLoaderAfter,
                           [&](const uint8_t* p, size_t k) {
      if (last >= 0) {
        const uint8_t held = static_cast<uint8_t>(last);
        loader.Add(&held, 1);
      }
      loader.Add(p, k - 1);
      last = p[k - 1];
    });
    close(fd);
    if (end != End::kEof) {
      result = Ending(end, "loader");
      if (last >= 0) {  // what came was all loader: no end, no reboot byte
        const uint8_t held = static_cast<uint8_t>(last);
        loader.Add(&held, 1);
        last = -1;
      }
    }
  }

  Sink id(hash, cfg.countOnly ? "" : SavePath(cfg, "id", n));
  Sink program(hash, cfg.countOnly ? "" : SavePath(cfg, "program", n));
  std::string replied = "-";
  double programSeconds = 0;
  // The stream alone, first to last byte of the program, without the host's
  // fixed waits around it.
  Clock::time_point firstByte{}, lastByte{}, idDone{}, ended{};
  int fd = -1;
  if (result == "ok" && cfg.noDataConnect) result = "no-data-connect";
  if (result == "ok") {
    if (cfg.dataConnectDelayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(cfg.dataConnectDelayMs));
    fd = ConnectTo(from, host, Port(cfg.base, 11), cfg.stallProgramAfter >= 0, cfg.connectRetrySeconds);
    if (fd < 0) result = "refused-data";
  }
  if (result == "ok") {
    const Clock::time_point start = Clock::now();
    uint8_t code[kIdCodeBytes];
    size_t have = 0;
    while (have < kIdCodeBytes) {
      ssize_t k = recv(fd, code + have, kIdCodeBytes - have, 0);
      if (k < 0 && errno == EINTR) continue;
      if (k <= 0) break;
      have += static_cast<size_t>(k);
    }
    id.Add(code, have);
    idDone = Clock::now();
    End end = End::kEof;
    if (have == kIdCodeBytes) {
      std::thread rest, flood;
      if (!cfg.reply.empty() && SendReply(cfg, fd, &rest)) replied = cfg.reply;
      if (cfg.floodData) flood = std::thread(Flood, fd);
      end = reader.Drain(fd, cfg.closeProgramAfter, cfg.stallProgramAfter, cfg.resetProgramAfter,
                         [&](const uint8_t* p, size_t k) {
                           const Clock::time_point now = Clock::now();
                           if (program.bytes() == 0) firstByte = now;
                           lastByte = now;
                           program.Add(p, k);
                         });
      if (rest.joinable()) rest.join();
      if (flood.joinable()) {
        shutdown(fd, SHUT_WR);
        flood.join();
      }
    }
    ended = Clock::now();
    programSeconds = std::chrono::duration<double>(ended - start).count();
    close(fd);
    if (have < kIdCodeBytes) result = "short-id";
    if (end != End::kEof) result = Ending(end, "program");
  }

  char reboot[16] = "none";
  if (last >= 0) snprintf(reboot, sizeof reboot, "%02x", static_cast<unsigned>(last));
  char seconds[32];
  snprintf(seconds, sizeof seconds, "%.3f", programSeconds);
  char stream[32];
  snprintf(stream, sizeof stream, "%.6f", std::chrono::duration<double>(lastByte - firstByte).count());
  auto ms = [&](Clock::time_point since, Clock::time_point until) {
    const bool both = program.bytes() > 0 && since != Clock::time_point{} && until != Clock::time_point{};
    return std::to_string(both ? std::chrono::duration_cast<std::chrono::milliseconds>(until - since).count() : -1);
  };
  // While the program streams and the host waits before its close; the next
  // cycle of a file list may announce as soon as the close is done.
  int announces = 0;
  if (firstByte != Clock::time_point{}) {
    std::lock_guard<std::mutex> lock(gAnnounceMutex);
    for (Clock::time_point t : gAnnounceTimes) announces += t >= firstByte && t < lastByte + std::chrono::seconds(4);
  }
  // Replies are reported as given; a blank would split the field.
  std::replace(replied.begin(), replied.end(), ' ', '_');
  Say("update n=" + std::to_string(n) + " result=" + result + " loader_bytes=" + std::to_string(loader.bytes()) +
      " reboot=" + reboot + " id_bytes=" + std::to_string(id.bytes()) + " reply=" + replied +
      " program_bytes=" + std::to_string(program.bytes()) + " loader_sha256=" + loader.Digest() +
      " id_sha256=" + id.Digest() + " program_sha256=" + program.Digest() + " program_seconds=" + seconds +
      " stream_seconds=" + stream + " id_to_program_ms=" + ms(idDone, firstByte) +
      " end_wait_ms=" + ms(lastByte, ended) + " announces_while_served=" + std::to_string(announces));
}

}  // namespace

int main(int argc, char** argv) {
  Config cfg;
  CLI::App app{
      "Plays one target device for Moxtil on this host: waits for the announce datagram on UDP port BASE+10,\n"
      "fetches the loader from TCP port BASE+10 of the announcing host, then the ID code and the target program\n"
      "from TCP port BASE+11, and prints one 'update ...' line per update ('datagram ...' for every datagram).\n"
      "Exit status: 0 all updates served (faults on demand included), 1 bad usage, 2 socket set-up failed,\n"
      "3 the time limit ran out (a 'timeout' line is printed)."};
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);  // the last of two alike counts
  app.add_option("--address", cfg.address, "Local IPv4 address to bind the UDP port to and connect from")->required();
  app.add_option("--base", cfg.base, "Port base: UDP and loader port BASE+10, data port BASE+11 (16-bit wrap)")
      ->required();
  app.add_flag("--listen-any", cfg.listenAny,
               "Bind the UDP port to 0.0.0.0 to hear broadcast; still connect from --address");
  app.add_option("--updates", cfg.updates, "Updates to serve in a row before exiting")->check(CLI::PositiveNumber);
  app.add_option("--time-limit", cfg.timeLimit, "Overall limit in seconds; then print 'timeout' and exit 3")
      ->check(CLI::PositiveNumber);
  app.add_option("--reply", cfg.reply, "Bytes to send after the 10-byte ID code, e.g. P0 or P1 (default: none)");
  app.add_flag("--reply-split", cfg.replySplit,
               "Send the reply in two sends --reply-split-delay apart (first byte, then the rest)");
  app.add_option("--reply-split-delay", cfg.replySplitDelayMs,
                 "Milliseconds between the two sends of a split reply (default 200)")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--save", cfg.saveDir,
                 "Directory to save loader.bin (without the reboot byte), id.bin and program.bin in; "
                 "with --updates above 1 each name gets the suffix .N of its update")
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
                 "Reset the loader connection after N bytes, as a target that dies (result=reset-loader)")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--reset-program-after", cfg.resetProgramAfter,
                 "Reset the data connection after N bytes of program, as a target that dies (result=reset-program)")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--stray-loader", cfg.strayLoader,
                 "Send N bytes on the loader connection as soon as it is made; the host never reads them")
      ->check(CLI::NonNegativeNumber);
  app.add_flag("--flood-data", cfg.floodData,
               "Send bytes on the data connection without end after the ID code (and reply), until the host ends "
               "its stream");
  app.add_flag("--read-after-stall", cfg.readAfterStall,
               "After a stall read on to the end instead of closing (the result still tells the stall)");
  app.add_flag("--listen-only", cfg.listenOnly, "Only report datagrams; never connect");
  app.add_option("--host", cfg.host, "Connect to this host at once instead of waiting for its announce datagram");
  app.add_option("--stall-seconds", cfg.stallSeconds, "How long a stall lasts, in seconds (default 30)")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--read-delay", cfg.readDelayMs, "Sleep this many milliseconds after every read (a slow target)")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--read-size", cfg.readSize, "Bytes per read (default 65536, or 1 MiB with --count-only)")
      ->check(CLI::PositiveNumber);
  app.add_option("--connect-from", cfg.connectFrom, "Make the TCP connections from this address instead of --address");
  app.add_option("--connect-retry", cfg.connectRetrySeconds,
                 "Seconds to keep retrying a refused connection every 100 ms before giving up "
                 "(result=refused-loader or refused-data; default 10)")
      ->check(CLI::NonNegativeNumber);
  app.add_flag("--no-data-connect", cfg.noDataConnect,
               "Never connect to the data port: after the loader, report result=no-data-connect and go on");
  app.add_option("--loader-connect-delay", cfg.loaderConnectDelayMs,
                 "Wait this many milliseconds after the announce before connecting to the loader port")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--data-connect-delay", cfg.dataConnectDelayMs,
                 "Wait this many milliseconds after the loader before connecting to the data port")
      ->check(CLI::NonNegativeNumber);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? kOk : kUsage;
  }
  if (cfg.readSize == 0) cfg.readSize = cfg.countOnly ? (size_t{1} << 20) : (size_t{1} << 16);
  ParseAddress(cfg.address);
  if (!cfg.connectFrom.empty()) ParseAddress(cfg.connectFrom);
  if (!cfg.host.empty()) ParseAddress(cfg.host);

  signal(SIGPIPE, SIG_IGN);
  // The time limit: whatever blocks, the program ends in time.
  std::thread([limit = cfg.timeLimit] {
    std::this_thread::sleep_for(std::chrono::seconds(limit));
    Say("timeout");
    _exit(kTimeLimit);
  }).detach();

  const int udp = OpenUdp(cfg);
  Say("ready address=" + cfg.address + " udp_port=" + std::to_string(Port(cfg.base, 10)));
  std::thread(UdpLoop, udp).detach();

  if (cfg.listenOnly) {
    for (;;) pause();  // the time limit ends it
  }
  Clock::time_point since = Clock::time_point::min();
  for (int n = 1; n <= cfg.updates; ++n) {
    const in_addr_t host = cfg.host.empty() ? WaitAnnounce(since) : ParseAddress(cfg.host);
    ServeUpdate(cfg, n, host);
    since = Clock::now();
  }
  std::lock_guard<std::mutex> lock(gOutMutex);
  fflush(stdout);
  _exit(kOk);  // the UDP thread is still blocked in its receive
}
