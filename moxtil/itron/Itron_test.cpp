// The endpoint layer on real sockets, loopback only, on ports of the test's own.
#include "moxtil/itron/Itron.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <string>

#include "tests/testkit.h"

namespace {

using Clock = std::chrono::steady_clock;

UH Port(int k) { return static_cast<UH>(testkit::PortBase() + k); }
UW Ip(const char* text) { return inet_addr(text); }

std::set<int> OpenFds() {
  std::set<int> fds;
  DIR* d = opendir("/proc/self/fd");
  for (dirent* e; d != nullptr && (e = readdir(d)) != nullptr;) {
    if (e->d_name[0] != '.' && atoi(e->d_name) != dirfd(d)) fds.insert(atoi(e->d_name));
  }
  if (d != nullptr) closedir(d);
  return fds;
}

long Ms(Clock::time_point since) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// A client connected to 127.0.0.1:port from `from`.
int Connect(UH port, const char* from = "127.0.0.1") {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in local{AF_INET, 0, {Ip(from)}, {}}, peer{AF_INET, htons(port), {Ip("127.0.0.1")}, {}};
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Reception point 0 on port and endpoint 0 accepted from a plain client: the client.
int Accepted(UH port) {
  T_TCP_CREP crep = {0, {0, port}};
  T_IPV4EP peer{};
  if (tcp_cre_rep(0, &crep) != E_OK || tcp_cre_cep(0, nullptr) != E_OK) return -1;
  const int client = Connect(port);
  if (client >= 0 && tcp_acp_cep(0, 0, &peer, 100) != E_OK) close(client);
  return client;
}

class Itron : public ::testing::Test {
 protected:
  void SetUp() override { ItronReset(); }
  void TearDown() override { ItronReset(); }
};

TEST_F(Itron, AcceptWithItsLimitAndThePeersAddress) {
  T_TCP_CREP rep = {0, {0, Port(4)}};
  ASSERT_EQ(tcp_vcre_rep(&rep), 0);
  T_IPV4EP peer{};
  // Signals every 50 ms must neither cut the wait short nor make it endless.
  struct sigaction sa {};
  sa.sa_handler = [](int) {};
  sigaction(SIGALRM, &sa, nullptr);
  itimerval every50ms = {{0, 50000}, {0, 50000}}, off = {};
  setitimer(ITIMER_REAL, &every50ms, nullptr);
  const Clock::time_point t = Clock::now();
  EXPECT_EQ(tcp_acp_cep(0, 0, &peer, 30), E_TMOUT);
  EXPECT_GE(Ms(t), 290) << "30 units are 300 ms";
  setitimer(ITIMER_REAL, &off, nullptr);
  const int client = Connect(Port(4), "127.0.0.3");
  ASSERT_EQ(tcp_acp_cep(0, 0, &peer, TMO_FEVR), E_OK);
  sockaddr_in local{};
  socklen_t len = sizeof local;
  getsockname(client, reinterpret_cast<sockaddr*>(&local), &len);
  EXPECT_EQ(peer.ipaddr, Ip("127.0.0.3")) << "network byte order, as sin_addr holds it";
  EXPECT_EQ(peer.portno, ntohs(local.sin_port)) << "the port in host order";
  close(client);
}

// SIGPIPE stays at its default here: a send to a closed peer must fail, not end the process, from a buffer and from a
// file (which the kernel sends without a flag to hold the signal back), with a limit and without.
TEST_F(Itron, SendToAClosedPeerFailsWithoutSigpipe) {
  testkit::TempDir dir;
  const int file = open(testkit::MakeFile(dir.File("piece"), 1024, 1).c_str(), O_RDONLY);
  ASSERT_GE(file, 0);
  const std::string piece(1024, 'x');
  for (int from = 0; from < 4; ++from) {
    SCOPED_TRACE(from);
    ItronReset();
    const int client = Accepted(Port(from == 0 ? 5 : 8 + from));  // 5, 9, 10, 11
    ASSERT_GE(client, 0);
    close(client);
    const TMO limit = from % 2 == 0 ? 100 : TMO_FEVR;
    const auto send = [&] {
      int64_t offset = 0;
      return from < 2 ? tcp_snd_dat(0, piece.data(), static_cast<INT>(piece.size()), limit)
                      : tcp_snd_fil(0, file, &offset, 1024, limit);
    };
    ER er = 0;
    for (int i = 0; i < 1000 && er >= 0; ++i) {
      er = send();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(er, E_RLWAI);
    EXPECT_STRNE(ItronReason(), "no failure recorded");
    // The first failure may tell of the peer's reset; the next is EPIPE.
    EXPECT_EQ(send(), E_RLWAI);
    EXPECT_STREQ(ItronReason(), strerror(EPIPE));
  }
  close(file);
}

// Reception points take their port at once though connections of an earlier run linger on it, never one another
// socket listens on (each retry told), and one that comes free within the retries (here once the second is told).
TEST_F(Itron, ReceptionPointBinds) {
  static int retries = 0, listener = -1;
  ItronSetBindRetry(3, 100);
  ItronOnBindRetry([](UH, int, int, int) {
    if (++retries == 3) close(listener);
  });
  const int client = Accepted(Port(6));
  ASSERT_GE(client, 0);
  ASSERT_EQ(tcp_wai_ack(0, TMO_POL), E_OK);  // an empty stream, whole: the close ends it normally
  ASSERT_EQ(tcp_cls_cep(0, TMO_POL), E_TMOUT);  // our end first (the client's is still open): TIME_WAIT on our side
  char byte;
  EXPECT_EQ(recv(client, &byte, 1, 0), 0);
  close(client);
  ASSERT_EQ(tcp_del_rep(0), E_OK);
  T_TCP_CREP rep = {0, {0, Port(6)}};
  EXPECT_EQ(tcp_cre_rep(0, &rep), E_OK);
  EXPECT_EQ(retries, 0) << "retried while only TIME_WAIT held the port";
  listener = testkit::HoldPort(SOCK_STREAM, "0.0.0.0", Port(7));
  const std::set<int> before = OpenFds();
  T_TCP_CREP busy = {0, {0, Port(7)}};
  EXPECT_EQ(tcp_cre_rep(1, &busy), E_OBJ);
  EXPECT_EQ(retries, 2);
  EXPECT_EQ(OpenFds(), before) << "a failed creation keeps a socket open";
  EXPECT_EQ(tcp_vcre_rep(&busy), 1) << "not bound once the port came free";
  ItronOnBindRetry(nullptr);
}

// A starting process may hold many descriptors, so that the layer's sockets get numbers past what an fd_set holds:
// the waits must still work.
TEST_F(Itron, WaitsOnDescriptorsAbove1024) {
  rlimit lim{};
  getrlimit(RLIMIT_NOFILE, &lim);
  lim.rlim_cur = 2048;
  if (setrlimit(RLIMIT_NOFILE, &lim) != 0) GTEST_SKIP() << "no 2048 descriptors here";
  for (int i = 0; i < 1200 && open("/dev/null", O_RDONLY) < 1100; ++i) {
  }
  const int client = Accepted(Port(8));
  ASSERT_GE(client, 0);
  ASSERT_GT(*OpenFds().rbegin(), 1100);
  char buf[4] = {};
  EXPECT_EQ(tcp_rcv_dat(0, buf, 2, 10), E_TMOUT);
  ASSERT_EQ(send(client, "ok", 2, 0), 2);
  EXPECT_EQ(tcp_rcv_dat(0, buf, 2, 100), 2);
  EXPECT_EQ(tcp_snd_dat(0, "ok", 2, 100), 2);
  close(client);
}

}  // namespace
