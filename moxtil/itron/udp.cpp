// UDP communication endpoints: one socket a port, shared by every ID on it.
#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include "moxtil/itron/Itron.h"
#include "moxtil/itron/layer.h"

using namespace itron;

namespace {

// Creation of a UDP endpoint (tableLock held: nothing here blocks); with
// hasFlag, the option flag is set to arg on a new socket after SO_BROADCAST.
ER UdpCreate(ID cepid, const T_UDP_CCEP* pk_ccep, bool hasFlag, int flag, int arg) {
  const int port = htons(pk_ccep->myaddr.portno);
  UdpStart();
  if (!ValidId(cepid)) return BadId();

  int s = SharedUdpSocket(port, -1);
  if (!HasSocket(s)) {
    s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return CallFailure(E_OBJ, "socket");
    const int on = 1;
    const sockaddr_in sa = MakeAddress(pk_ccep->myaddr.ipaddr, pk_ccep->myaddr.portno);
    const char* failed = nullptr;
    if (setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
      failed = "setsockopt SO_BROADCAST";
    } else if (hasFlag && setsockopt(s, SOL_SOCKET, flag, &arg, sizeof arg) != 0) {
      failed = "setsockopt";
    } else if (bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
      failed = "bind";
    }
    if (failed != nullptr) {
      const ER er = CallFailure(E_OBJ, failed);
      close(s);
      return er;
    }
  }
  SocketUDPTbl[cepid].s = s;
  SocketUDPTbl[cepid].portno = port;
  IsUDPcepid[cepid] = -1;
  return E_OK;
}

ER UdpPickAndCreate(const T_UDP_CCEP* pk_ccep, bool hasFlag, int flag, int arg) {
  Lock lock(tableLock);
  const ID n = LowestFree(IsUDPcepid);
  if (n < 0) return Failure(E_ID, EMFILE);
  const ER er = UdpCreate(n, pk_ccep, hasFlag, flag, arg);
  return er != E_OK ? er : n;
}

}  // namespace

ER udp_vcre_cep(const T_UDP_CCEP* pk_ccep) { return UdpPickAndCreate(pk_ccep, false, 0, 0); }

ER udp_vcre_cep_reuseaddr(const T_UDP_CCEP* pk_ccep) {
  return UdpPickAndCreate(pk_ccep, true, SO_REUSEADDR, 1);
}

ER udp_snd_dat(ID cepid, const T_IPV4EP* p_dstaddr, const void* data, INT len, TMO /*tmout*/) {
  int s;
  {
    Lock lock(tableLock);
    UdpStart();
    if (!ValidId(cepid)) return BadId();
    s = SocketUDPTbl[cepid].s;
    if (!HasSocket(s)) return Failure(E_NOEXS, EBADF);
  }
  const sockaddr_in sa = MakeAddress(p_dstaddr->ipaddr, p_dstaddr->portno);
  const ssize_t n = sendto(s, data, len < 0 ? 0 : static_cast<size_t>(len), 0, reinterpret_cast<const sockaddr*>(&sa),
                           sizeof sa);
  if (n < 0) return CallFailure(E_RLWAI, "sendto");
  return static_cast<ER>(n);
}

ER udp_del_cep(ID cepid) {
  Lock lock(tableLock);
  UdpStart();
  if (!ValidId(cepid)) return BadId();
  const int s = SocketUDPTbl[cepid].s;
  if (!HasSocket(s)) return Failure(E_NOEXS, EBADF);
  // The socket is shared by every ID on its port: it closes with the last.
  if (!HasSocket(SharedUdpSocket(SocketUDPTbl[cepid].portno, cepid)) && close(s) != 0) return CallFailure(E_OBJ, "close");
  SocketUDPTbl[cepid].s = kNoSocket;
  SocketUDPTbl[cepid].portno = 0;
  IsUDPcepid[cepid] = 0;
  return E_OK;
}
