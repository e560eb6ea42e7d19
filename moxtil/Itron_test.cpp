// The endpoint layer on real sockets, loopback only. Every test is its own
// process under CTest and has ports of its own (26000 + 20 × k).

#include "moxtil/Itron.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int Port(int k) { return 26000 + 20 * k; }

UW Ip(const char* text) {
  in_addr a{};
  inet_pton(AF_INET, text, &a);
  return a.s_addr;
}

T_UDP_CCEP UdpRecord(const char* ip, int port) {
  T_UDP_CCEP r{};
  r.myaddr.ipaddr = Ip(ip);
  r.myaddr.portno = static_cast<UH>(port);
  return r;
}

T_TCP_CREP RepRecord(int port) {
  T_TCP_CREP r{};
  r.myaddr.portno = static_cast<UH>(port);
  return r;
}

sockaddr_in Addr(const char* ip, int port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  sa.sin_addr.s_addr = Ip(ip);
  return sa;
}

std::set<int> OpenFds() {
  std::set<int> fds;
  DIR* d = opendir("/proc/self/fd");
  for (dirent* e; d != nullptr && (e = readdir(d)) != nullptr;) {
    const int fd = atoi(e->d_name);
    if (e->d_name[0] != '.' && fd != dirfd(d)) fds.insert(fd);
  }
  if (d != nullptr) closedir(d);
  return fds;
}

std::vector<int> NewFds(const std::set<int>& before) {
  std::vector<int> added;
  for (int fd : OpenFds()) {
    if (before.count(fd) == 0) added.push_back(fd);
  }
  return added;
}

int PlainUdp(const char* ip, int port, bool reuse = false) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  int on = 1;
  if (reuse) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in sa = Addr(ip, port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// A client connected to 127.0.0.1:port from `from` (port 0: any).
int Connect(int port, const char* from = "127.0.0.1", int fromPort = 0) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  int on = 1;  // a fixed client port of an earlier run may still be in TIME_WAIT
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in local = Addr(from, fromPort);
  sockaddr_in peer = Addr("127.0.0.1", port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int GetIntOpt(int fd, int level, int name) {
  int v = 0;
  socklen_t len = sizeof v;
  getsockopt(fd, level, name, &v, &len);
  return v;
}

long Ms(Clock::time_point since) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// Reception point rep on port, connection endpoint cep accepted from a plain
// client; returns the client's descriptor, or -1.
int Accepted(int port, ID rep = 0, ID cep = 0) {
  T_TCP_CREP crep = RepRecord(port);
  if (tcp_cre_rep(rep, &crep) != E_OK || tcp_cre_cep(cep, nullptr) != E_OK) return -1;
  int client = Connect(port);
  T_IPV4EP peer{};
  if (client >= 0 && tcp_acp_cep(cep, rep, &peer, 100) != E_OK) {
    close(client);
    return -1;
  }
  return client;
}

class Itron : public ::testing::Test {
 protected:
  void SetUp() override { ItronReset(); }
  void TearDown() override { ItronReset(); }
};

// ---- UDP communication endpoints

TEST_F(Itron, UdpDatagramArrivesByteForByteAndIdsOnOnePortShareASocket) {
  const int port = Port(0);
  int target = PlainUdp("127.0.0.2", port);
  ASSERT_GE(target, 0);
  const std::set<int> before = OpenFds();
  T_UDP_CCEP rec = UdpRecord("127.0.0.1", port);
  ASSERT_EQ(udp_vcre_cep(&rec), 0);
  ASSERT_EQ(udp_vcre_cep(&rec), 1);
  std::vector<int> added = NewFds(before);
  ASSERT_EQ(added.size(), 1u) << "two IDs on one port must share one socket";
  EXPECT_EQ(GetIntOpt(added[0], SOL_SOCKET, SO_BROADCAST), 1);
  EXPECT_EQ(GetIntOpt(added[0], SOL_SOCKET, SO_REUSEADDR), 0);

  const uint8_t datagram[16] = {1, 0, 0, 1, 0, 0, 0, 0, 7, 1, 0, 8, 1, 0, 0, 0};
  T_IPV4EP to{Ip("127.0.0.2"), static_cast<UH>(port)};
  for (ID id : {0, 1}) {
    EXPECT_EQ(udp_snd_dat(id, &to, datagram, sizeof datagram, TMO_FEVR), 16);
    uint8_t got[64] = {};
    sockaddr_in from{};
    socklen_t len = sizeof from;
    pollfd p{target, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    ASSERT_EQ(recvfrom(target, got, sizeof got, 0, reinterpret_cast<sockaddr*>(&from), &len), 16);
    EXPECT_EQ(memcmp(got, datagram, 16), 0);
    EXPECT_EQ(from.sin_addr.s_addr, Ip("127.0.0.1"));
    EXPECT_EQ(ntohs(from.sin_port), port) << "sent from the endpoint's own port";
  }
  close(target);
}

TEST_F(Itron, UdpIdRulesAndResults) {
  T_UDP_CCEP rec = UdpRecord("127.0.0.1", Port(1));
  T_IPV4EP to{Ip("127.0.0.2"), static_cast<UH>(Port(1))};
  const char byte = 0;
  for (ID bad : {-1, kItronMaxIds}) {
    EXPECT_EQ(udp_cre_cep(bad, &rec), E_ID);
    EXPECT_EQ(udp_snd_dat(bad, &to, &byte, 1, TMO_FEVR), E_ID);
    EXPECT_EQ(udp_del_cep(bad), E_ID);
  }
  EXPECT_EQ(udp_snd_dat(3, &to, &byte, 1, TMO_FEVR), E_NOEXS) << "never created";
  for (ID n = 0; n < kItronMaxIds; ++n) ASSERT_EQ(udp_vcre_cep(&rec), n);
  EXPECT_EQ(udp_vcre_cep(&rec), E_ID) << "all 50 IDs taken";
  // Deleting closes the shared socket; the test deletes the last row only,
  // so no row keeps a closed descriptor that is used again.
  EXPECT_EQ(udp_del_cep(kItronMaxIds - 1), E_OK);
  EXPECT_EQ(udp_snd_dat(kItronMaxIds - 1, &to, &byte, 1, TMO_FEVR), E_NOEXS);
  EXPECT_EQ(udp_del_cep(kItronMaxIds - 1), E_NOEXS);
}

TEST_F(Itron, UdpFailedBindLeavesTheIdFreeAndNoDescriptorOpen) {
  const int port = Port(2);
  int holder = PlainUdp("127.0.0.1", port);
  ASSERT_GE(holder, 0);
  const std::set<int> before = OpenFds();
  T_UDP_CCEP rec = UdpRecord("127.0.0.1", port);
  EXPECT_EQ(udp_vcre_cep(&rec), E_OBJ);
  EXPECT_TRUE(NewFds(before).empty()) << "a failed creation keeps a socket open";
  close(holder);
  EXPECT_EQ(udp_vcre_cep(&rec), 0) << "the failed ID was not left free";
}

TEST_F(Itron, UdpReuseAddressEndpointBindsBesideAnotherReuser) {
  const int port = Port(3);
  int other = PlainUdp("127.0.0.1", port, true);
  ASSERT_GE(other, 0);
  const std::set<int> before = OpenFds();
  T_UDP_CCEP rec = UdpRecord("127.0.0.1", port);
  ASSERT_EQ(udp_vcre_cep_reuseaddr(&rec), 0);
  std::vector<int> added = NewFds(before);
  ASSERT_EQ(added.size(), 1u);
  EXPECT_EQ(GetIntOpt(added[0], SOL_SOCKET, SO_REUSEADDR), 1);
  EXPECT_EQ(GetIntOpt(added[0], SOL_SOCKET, SO_BROADCAST), 1);
  close(other);
}

// ---- TCP reception points and connection endpoints

TEST_F(Itron, AcceptWaitsAsLongAsItsLimitAndGivesThePeer) {
  const int port = Port(4);
  T_TCP_CREP rep = RepRecord(port);
  ASSERT_EQ(tcp_vcre_rep(&rep), 0);
  ASSERT_EQ(tcp_vcre_cep(nullptr), 0);
  T_IPV4EP peer{};

  Clock::time_point t = Clock::now();
  EXPECT_EQ(tcp_acp_cep(0, 0, &peer, TMO_POL), E_TMOUT);
  EXPECT_LT(Ms(t), 100) << "a poll must not wait";
  t = Clock::now();
  EXPECT_EQ(tcp_acp_cep(0, 0, &peer, 20), E_TMOUT);
  EXPECT_GE(Ms(t), 150) << "20 units are 200 ms";
  EXPECT_LT(Ms(t), 5000);

  const int clientPort = port + 5;
  int client = Connect(port, "127.0.0.3", clientPort);
  ASSERT_GE(client, 0);
  ASSERT_EQ(tcp_acp_cep(0, 0, &peer, TMO_FEVR), E_OK);
  uint8_t bytes[4];
  memcpy(bytes, &peer.ipaddr, 4);
  EXPECT_EQ(bytes[0], 0x7F);
  EXPECT_EQ(bytes[1], 0x00);
  EXPECT_EQ(bytes[2], 0x00);
  EXPECT_EQ(bytes[3], 0x03);
  EXPECT_EQ(peer.portno, clientPort) << "the port in host order";
  close(client);
}

TEST_F(Itron, SendAndReceiveWithLimits) {
  int client = Accepted(Port(5), 2, 4);
  ASSERT_GE(client, 0);

  char buf[8] = {};
  Clock::time_point t = Clock::now();
  EXPECT_EQ(tcp_rcv_dat(4, buf, 2, 100), E_TMOUT) << "nothing was sent";
  EXPECT_GE(Ms(t), 900);
  ASSERT_EQ(send(client, "P1", 2, 0), 2);
  EXPECT_EQ(tcp_rcv_dat(4, buf, 2, 100), 2);
  EXPECT_EQ(std::string(buf, 2), "P1");

  EXPECT_EQ(tcp_snd_dat(4, "hello", 5, TMO_FEVR), 5);
  char got[5] = {};
  EXPECT_EQ(recv(client, got, sizeof got, MSG_WAITALL), 5);
  EXPECT_EQ(std::string(got, 5), "hello");

  close(client);
  EXPECT_EQ(tcp_rcv_dat(4, buf, 2, 100), 0) << "the peer's close reads as 0 bytes";
}

// The test leaves SIGPIPE at its default: a send to a closed peer must fail,
// not end the process.
TEST_F(Itron, SendToAClosedPeerFailsWithoutSigpipe) {
  int client = Accepted(Port(6));
  ASSERT_GE(client, 0);
  close(client);

  std::vector<char> piece(1024, 'x');
  ER er = 0;
  for (int i = 0; i < 1000 && er >= 0; ++i) {
    er = tcp_snd_dat(0, piece.data(), static_cast<INT>(piece.size()), 100);
    if (er >= 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(er, E_RLWAI);
}

TEST_F(Itron, ClosedAndDeletedObjects) {
  int client = Accepted(Port(7));
  ASSERT_GE(client, 0);
  T_TCP_CREP rep = RepRecord(Port(7));
  T_IPV4EP peer{};

  // The client has ended its side, so the close finds the end of stream at once.
  shutdown(client, SHUT_WR);
  EXPECT_EQ(tcp_cls_cep(0, TMO_FEVR), E_OK);
  char buf[4];
  EXPECT_EQ(tcp_snd_dat(0, "x", 1, TMO_FEVR), E_NOEXS);
  EXPECT_EQ(tcp_rcv_dat(0, buf, 1, TMO_FEVR), E_NOEXS);
  EXPECT_EQ(tcp_cls_cep(0, TMO_FEVR), E_NOEXS);
  EXPECT_EQ(recv(client, buf, sizeof buf, 0), 0) << "the peer sees the close";
  close(client);

  for (ID bad : {-1, kItronMaxIds}) {
    EXPECT_EQ(tcp_cre_rep(bad, &rep), E_ID);
    EXPECT_EQ(tcp_acp_cep(bad, 0, &peer, TMO_POL), E_ID);
    EXPECT_EQ(tcp_acp_cep(0, bad, &peer, TMO_POL), E_ID);
    EXPECT_EQ(tcp_snd_dat(bad, "x", 1, TMO_POL), E_ID);
  }
  EXPECT_EQ(tcp_del_rep(0), E_OK);
  EXPECT_EQ(tcp_acp_cep(0, 0, &peer, TMO_POL), E_NOEXS);
  EXPECT_EQ(tcp_del_rep(0), E_NOEXS);
  EXPECT_EQ(tcp_acp_cep(0, 7, &peer, TMO_POL), E_NOEXS) << "never created";
}

TEST_F(Itron, IdsOfEachKind) {
  T_TCP_CREP rep = RepRecord(Port(8));
  ASSERT_EQ(tcp_vcre_rep(&rep), 0);
  EXPECT_EQ(tcp_cre_rep(0, &rep), E_OBJ) << "an ID already created";
  T_TCP_CREP rep2 = RepRecord(Port(8) + 1);
  EXPECT_EQ(tcp_vcre_rep(&rep2), 1);

  EXPECT_EQ(tcp_vcre_cep(nullptr), 0);
  EXPECT_EQ(tcp_vcre_cep(nullptr), 1);
  EXPECT_EQ(tcp_del_cep(0), E_OK);
  EXPECT_EQ(tcp_vcre_cep(nullptr), 0) << "a deleted ID is free again";
  EXPECT_EQ(tcp_del_cep(30), E_OK) << "deleting a free ID";
  EXPECT_EQ(tcp_del_cep(-1), E_ID);

  // Reception points and connection endpoints share the numbers of their
  // sockets' rows: a connected endpoint k blocks reception point k.
  int client = Connect(Port(8));
  ASSERT_GE(client, 0);
  T_IPV4EP peer{};
  ASSERT_EQ(tcp_acp_cep(5, 0, &peer, 100), E_OK);
  T_TCP_CREP rep5 = RepRecord(Port(8) + 2);
  EXPECT_EQ(tcp_cre_rep(5, &rep5), E_OBJ);
  close(client);
}

TEST_F(Itron, ReceptionPointBindRetriesUntilThePortComesFree) {
  const int port = Port(9);
  int holder = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa = Addr("0.0.0.0", port);
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  ASSERT_EQ(listen(holder, 1), 0);
  std::thread release([holder] {
    std::this_thread::sleep_for(std::chrono::seconds(6));
    close(holder);
  });
  const Clock::time_point t = Clock::now();
  T_TCP_CREP rep = RepRecord(port);
  EXPECT_EQ(tcp_cre_rep(0, &rep), E_OK);
  EXPECT_GE(Ms(t), 5000) << "bound while the port was held";
  release.join();
  int client = Connect(port);
  EXPECT_GE(client, 0) << "the reception point does not listen";
  if (client >= 0) close(client);
}

// Reception points take their port even while connections of an earlier
// run linger on it, but never a port another socket listens on, however it
// was bound.
TEST_F(Itron, ReceptionPointBindsBesideTimeWaitButNotBesideAListener) {
  ItronSetBindRetry(3, 100);
  const int port = Port(11);
  int client = Accepted(port);
  ASSERT_GE(client, 0);
  ASSERT_EQ(tcp_cls_cep(0, TMO_POL), E_OK);  // our end first: TIME_WAIT on our side
  char buf[4];
  EXPECT_EQ(recv(client, buf, sizeof buf, 0), 0);
  close(client);
  ASSERT_EQ(tcp_del_rep(0), E_OK);
  T_TCP_CREP rep = RepRecord(port);
  const Clock::time_point t = Clock::now();
  EXPECT_EQ(tcp_cre_rep(0, &rep), E_OK);
  EXPECT_LT(Ms(t), 100) << "retried while only TIME_WAIT held the port";

  int listener = socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in sa = Addr("0.0.0.0", port + 1);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  const std::set<int> before = OpenFds();
  T_TCP_CREP busy = RepRecord(port + 1);
  EXPECT_EQ(tcp_cre_rep(1, &busy), E_OBJ);
  EXPECT_TRUE(NewFds(before).empty()) << "a failed creation keeps a socket open";
  close(listener);
  EXPECT_EQ(tcp_vcre_rep(&busy), 1) << "the failed ID was not left free";
}

// A starting process may leave many descriptors open, so that the layer's
// sockets get numbers past what an fd_set holds.
TEST_F(Itron, WaitsWorkOnDescriptorsAbove1024) {
  rlimit lim{};
  getrlimit(RLIMIT_NOFILE, &lim);
  if (lim.rlim_max != RLIM_INFINITY && lim.rlim_max < 2048) GTEST_SKIP() << "hard descriptor limit below 2048";
  const rlimit saved = lim;
  lim.rlim_cur = 2048;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lim), 0);
  std::vector<int> filler;
  for (int i = 0; i < 1200; ++i) {
    int fd = open("/dev/null", O_RDONLY);
    if (fd < 0) break;
    filler.push_back(fd);
    if (fd > 1100) break;
  }
  ASSERT_GT(filler.back(), 1100);

  const int port = Port(10);
  const std::set<int> before = OpenFds();
  T_TCP_CREP rep = RepRecord(port);
  ASSERT_EQ(tcp_vcre_rep(&rep), 0);
  ASSERT_EQ(tcp_vcre_cep(nullptr), 0);
  T_IPV4EP peer{};
  EXPECT_EQ(tcp_acp_cep(0, 0, &peer, 10), E_TMOUT);
  int client = Connect(port);
  ASSERT_GE(client, 0);
  ASSERT_EQ(tcp_acp_cep(0, 0, &peer, 100), E_OK);
  for (int fd : NewFds(before)) {
    if (fd != client) {
      EXPECT_GT(fd, 1024);
    }
  }
  char buf[4] = {};
  EXPECT_EQ(tcp_rcv_dat(0, buf, 2, 10), E_TMOUT);
  ASSERT_EQ(send(client, "ok", 2, 0), 2);
  EXPECT_EQ(tcp_rcv_dat(0, buf, 2, 100), 2);
  EXPECT_EQ(tcp_snd_dat(0, "ok", 2, 100), 2);
  close(client);
  ItronReset();
  for (int fd : filler) close(fd);
  setrlimit(RLIMIT_NOFILE, &saved);
}

}  // namespace
