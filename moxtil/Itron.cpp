#include "moxtil/Itron.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "common/util.h"

namespace {

// The errno of the most recent failure the layer records. The main thread
// (UDP) and the acceptor side (TCP) run at the same time, so it is atomic.
std::atomic<int> lastERR{0};

// ---- UDP communication endpoints

struct SOCKETUDPTBL {
  int s;       // descriptor, -1 when none
  int portno;  // bound port in network byte order, 0 when none
};

SOCKETUDPTBL SocketUDPTbl[kItronMaxIds];
int IsUDPcepid[kItronMaxIds];  // -1 while created, 0 while free
INT UDPStartFlg = 0;

// ---- TCP reception points and connection endpoints

int AcceptTCPTbl[kItronMaxIds];  // listening socket, -1 when none
int listenFlag[kItronMaxIds];    // result of the last listen: 0, or -1 to repeat
int IsTCPrepid[kItronMaxIds];
int SocketTCPTbl[kItronMaxIds];  // accepted connection, -1 when none
int IsTCPcepid[kItronMaxIds];
INT TCPStartFlg = 0;

constexpr int kListenBacklog = 5;
constexpr int kBindAttempts = 16;
constexpr int kBindPauseMs = 5000;

bool ValidId(ID id) { return id >= 0 && id < kItronMaxIds; }

void RecordErrno() { lastERR.store(errno, std::memory_order_relaxed); }

// The one place where a failed TCP send becomes a layer code: EPERM (a
// firewall refusing the packet) reads as a time-out, anything else as a
// released wait.
ER SendErrorCode(int err) { return err == EPERM ? E_TMOUT : E_RLWAI; }

sockaddr_in MakeAddress(UW ipaddr, UH portno) {
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(portno);
  sa.sin_addr.s_addr = ipaddr;
  return sa;
}

enum class WaitResult { kReady, kTimedOut, kFailed };

// Waits up to tmout x 10 ms for fd to become readable or writable. poll, not
// select: a descriptor number of FD_SETSIZE or more must not write past an
// fd_set. An interrupted wait counts as failed, after which the caller makes
// its socket call all the same.
WaitResult WaitFor(int fd, short events, TMO tmout) {
  pollfd p;
  p.fd = fd;
  p.events = events;
  p.revents = 0;
  // tmout x 10 fits an int for every TMO up to about 214 million.
  const long long ms = static_cast<long long>(tmout) * 10;
  const int limit = ms > 0x7fffffff ? 0x7fffffff : static_cast<int>(ms);
  const int n = poll(&p, 1, limit);
  if (n > 0) return WaitResult::kReady;
  if (n == 0) return WaitResult::kTimedOut;
  return WaitResult::kFailed;
}

// The tables start out zero; the first use of either kind fills them with
// "no socket", so that an operation reached before any creation finds no
// descriptor 0 to act on.
void UdpStart() {
  if (UDPStartFlg != 0) return;
  for (SOCKETUDPTBL& row : SocketUDPTbl) {
    row.s = -1;
    row.portno = 0;
  }
  UDPStartFlg = 1;
}

void TcpStart() {
  if (TCPStartFlg != 0) return;
  for (int i = 0; i < kItronMaxIds; ++i) {
    SocketTCPTbl[i] = -1;
    AcceptTCPTbl[i] = -1;
  }
  TCPStartFlg = 1;
}

// Creation of a UDP endpoint; with hasFlag, the option flag is set to arg on
// a new socket after SO_BROADCAST.
ER UdpCreate(ID cepid, const T_UDP_CCEP* pk_ccep, bool hasFlag, int flag, int arg) {
  const int port = htons(pk_ccep->myaddr.portno);
  UdpStart();
  if (!ValidId(cepid)) return E_ID;

  int s = -1;
  for (const SOCKETUDPTBL& row : SocketUDPTbl) {
    if (row.s != -1 && row.portno == port) {
      s = row.s;
      break;
    }
  }
  if (s == -1) {
    s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0) return E_OBJ;
    const int on = 1;
    if (setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
      close(s);
      return E_OBJ;
    }
    if (hasFlag && setsockopt(s, SOL_SOCKET, flag, &arg, sizeof arg) != 0) {
      close(s);
      return E_OBJ;
    }
    const sockaddr_in sa = MakeAddress(pk_ccep->myaddr.ipaddr, pk_ccep->myaddr.portno);
    if (bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
      RecordErrno();
      close(s);
      return E_OBJ;
    }
  }
  SocketUDPTbl[cepid].s = s;
  SocketUDPTbl[cepid].portno = port;
  IsUDPcepid[cepid] = -1;
  return E_OK;
}

ER UdpPickAndCreate(const T_UDP_CCEP* pk_ccep, bool hasFlag, int flag, int arg) {
  for (ID n = 0; n < kItronMaxIds; ++n) {
    if (IsUDPcepid[n] != 0) continue;
    const ER er = UdpCreate(n, pk_ccep, hasFlag, flag, arg);
    return er != E_OK ? er : n;
  }
  return E_ID;
}

}  // namespace

// ---- UDP

ER udp_cre_cep(ID cepid, const T_UDP_CCEP* pk_ccep) { return UdpCreate(cepid, pk_ccep, false, 0, 0); }

ER udp_cre_cep_flag(ID cepid, const T_UDP_CCEP* pk_ccep, int flag, int arg) {
  return UdpCreate(cepid, pk_ccep, true, flag, arg);
}

ER udp_vcre_cep(const T_UDP_CCEP* pk_ccep) { return UdpPickAndCreate(pk_ccep, false, 0, 0); }

ER udp_vcre_cep_reuseaddr(const T_UDP_CCEP* pk_ccep) {
  return UdpPickAndCreate(pk_ccep, true, SO_REUSEADDR, 1);
}

ER udp_snd_dat(ID cepid, const T_IPV4EP* p_dstaddr, const void* data, INT len, TMO /*tmout*/) {
  UdpStart();
  if (!ValidId(cepid)) return E_ID;
  if (SocketUDPTbl[cepid].s < 0) return E_NOEXS;
  const sockaddr_in sa = MakeAddress(p_dstaddr->ipaddr, p_dstaddr->portno);
  const ssize_t n = sendto(SocketUDPTbl[cepid].s, data, len < 0 ? 0 : static_cast<size_t>(len), 0,
                           reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
  if (n < 0) {
    RecordErrno();
    return E_RLWAI;
  }
  return static_cast<ER>(n);
}

ER udp_del_cep(ID cepid) {
  UdpStart();
  if (!ValidId(cepid)) return E_ID;
  if (SocketUDPTbl[cepid].s == -1) return E_NOEXS;
  if (close(SocketUDPTbl[cepid].s) != 0) return E_OBJ;
  SocketUDPTbl[cepid].s = -1;
  SocketUDPTbl[cepid].portno = 0;
  IsUDPcepid[cepid] = 0;
  return E_OK;
}

// ---- TCP reception points

ER tcp_cre_rep(ID repid, const T_TCP_CREP* pk_crep) {
  TcpStart();
  if (!ValidId(repid)) return E_ID;
  if (SocketTCPTbl[repid] != -1 || AcceptTCPTbl[repid] != -1) return E_OBJ;

  const int s = socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) return E_NOSOCK;
  // Every local address; the record's ipaddr is not used. No SO_REUSEADDR:
  // the retry below waits for the port to come free instead.
  const sockaddr_in sa = MakeAddress(htonl(INADDR_ANY), pk_crep->myaddr.portno);
  for (int attempt = 1;; ++attempt) {
    if (bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) break;
    if (attempt == kBindAttempts) {
      RecordErrno();
      close(s);
      return E_OBJ;
    }
    Sleep(kBindPauseMs);
  }
  AcceptTCPTbl[repid] = s;
  listenFlag[repid] = listen(s, kListenBacklog) == 0 ? 0 : -1;
  IsTCPrepid[repid] = -1;
  return E_OK;
}

ER tcp_vcre_rep(const T_TCP_CREP* pk_crep) {
  for (ID n = 0; n < kItronMaxIds; ++n) {
    if (IsTCPrepid[n] != 0) continue;
    const ER er = tcp_cre_rep(n, pk_crep);
    return er != E_OK ? er : n;
  }
  return E_ID;
}

ER tcp_del_rep(ID repid) {
  TcpStart();
  if (!ValidId(repid)) return E_ID;
  if (AcceptTCPTbl[repid] < 0) return E_NOEXS;
  close(AcceptTCPTbl[repid]);
  AcceptTCPTbl[repid] = -1;
  IsTCPrepid[repid] = 0;
  return E_OK;
}

// ---- TCP connection endpoints

ER tcp_cre_cep(ID cepid, const T_TCP_CCEP* /*pk_ccep*/) {
  TcpStart();
  if (!ValidId(cepid)) return E_ID;
  IsTCPcepid[cepid] = -1;
  return E_OK;
}

ER tcp_vcre_cep(const T_TCP_CCEP* pk_ccep) {
  for (ID n = 0; n < kItronMaxIds; ++n) {
    if (IsTCPcepid[n] != 0) continue;
    const ER er = tcp_cre_cep(n, pk_ccep);
    return er != E_OK ? er : n;
  }
  return E_ID;
}

ER tcp_acp_cep(ID cepid, ID repid, T_IPV4EP* p_dstaddr, TMO tmout) {
  TcpStart();
  if (!ValidId(cepid) || !ValidId(repid)) return E_ID;
  const int ls = AcceptTCPTbl[repid];
  if (ls < 0) return E_NOEXS;
  if (listenFlag[repid] == -1) {
    listenFlag[repid] = listen(ls, kListenBacklog) == 0 ? 0 : -1;
    if (listenFlag[repid] == -1) return E_OBJ;
  }
  if (tmout != TMO_FEVR && WaitFor(ls, POLLIN, tmout) == WaitResult::kTimedOut) return E_TMOUT;

  sockaddr_in peer;
  std::memset(&peer, 0, sizeof peer);
  socklen_t peerLen = sizeof peer;
  const int s = accept(ls, reinterpret_cast<sockaddr*>(&peer), &peerLen);
  if (s < 0) return E_RLWAI;
  SocketTCPTbl[cepid] = s;
  p_dstaddr->ipaddr = peer.sin_addr.s_addr;
  p_dstaddr->portno = ntohs(peer.sin_port);
  return E_OK;
}

ER tcp_snd_dat(ID cepid, const void* data, INT len, TMO tmout) {
  TcpStart();
  if (!ValidId(cepid)) return E_ID;
  const int s = SocketTCPTbl[cepid];
  if (s == -1) return E_NOEXS;
  const int on = 1;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (tmout != TMO_FEVR && WaitFor(s, POLLOUT, tmout) == WaitResult::kTimedOut) {
    RecordErrno();
    return E_TMOUT;
  }
  // MSG_NOSIGNAL: a target that closed its end must give a failed send, not
  // a SIGPIPE that ends the program before it can say the update failed.
  const ssize_t n = sendto(s, data, len < 0 ? 0 : static_cast<size_t>(len), MSG_NOSIGNAL, nullptr, 0);
  if (n < 0) {
    const int err = errno;
    RecordErrno();
    return SendErrorCode(err);
  }
  return static_cast<ER>(n);
}

ER tcp_rcv_dat(ID cepid, void* data, INT len, TMO tmout) {
  TcpStart();
  if (!ValidId(cepid)) return E_ID;
  const int s = SocketTCPTbl[cepid];
  if (s == -1) return E_NOEXS;
  if (tmout != TMO_FEVR && WaitFor(s, POLLIN, tmout) == WaitResult::kTimedOut) return E_TMOUT;
  const ssize_t n = recvfrom(s, data, len < 0 ? 0 : static_cast<size_t>(len), 0, nullptr, nullptr);
  if (n == -1) {
    RecordErrno();
    return E_OBJ;
  }
  return static_cast<ER>(n);
}

ER tcp_cls_cep(ID cepid, TMO /*tmout*/) {
  TcpStart();
  if (!ValidId(cepid)) return E_ID;
  if (SocketTCPTbl[cepid] < 0) return E_NOEXS;
  close(SocketTCPTbl[cepid]);
  SocketTCPTbl[cepid] = -1;
  return E_OK;
}

ER tcp_del_cep(ID cepid) {
  if (!ValidId(cepid)) return E_ID;
  IsTCPcepid[cepid] = 0;
  return E_OK;
}

void ItronReset() {
  // UDP rows may share one socket; close each descriptor once.
  if (UDPStartFlg != 0) {
    for (int i = 0; i < kItronMaxIds; ++i) {
      const int s = SocketUDPTbl[i].s;
      if (s < 0) continue;
      bool closedBefore = false;
      for (int j = 0; j < i; ++j) closedBefore = closedBefore || SocketUDPTbl[j].s == s;
      if (!closedBefore) close(s);
    }
  }
  if (TCPStartFlg != 0) {
    for (int i = 0; i < kItronMaxIds; ++i) {
      if (AcceptTCPTbl[i] >= 0) close(AcceptTCPTbl[i]);
      if (SocketTCPTbl[i] >= 0) close(SocketTCPTbl[i]);
    }
  }
  std::memset(SocketUDPTbl, 0, sizeof SocketUDPTbl);
  std::memset(IsUDPcepid, 0, sizeof IsUDPcepid);
  std::memset(AcceptTCPTbl, 0, sizeof AcceptTCPTbl);
  std::memset(listenFlag, 0, sizeof listenFlag);
  std::memset(IsTCPrepid, 0, sizeof IsTCPrepid);
  std::memset(SocketTCPTbl, 0, sizeof SocketTCPTbl);
  std::memset(IsTCPcepid, 0, sizeof IsTCPcepid);
  UDPStartFlg = 0;
  TCPStartFlg = 0;
  lastERR.store(0);
}
