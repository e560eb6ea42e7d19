// The endpoint layer: the ITRON TCP/IP API's UDP communication endpoints, TCP
// reception points and TCP connection endpoints, carried out on BSD sockets.
// Each kind of object lives in a fixed table of 50 IDs (0 to 49). Every
// operation returns E_OK, a count or an ID (0 or more), or a negative ER code.
//
// Threads: the tables are shared, and every allocation, release and change
// of a row is made under one lock that no blocking call holds. A connection
// endpoint is used by one thread at a time (the one it was handed to); other
// threads may only cancel it (tcp_can_cep) or ask what of it is still
// unacknowledged (tcp_ref_cep).
//
// How a connection ends: the protocol carries no length, so a device takes a
// normal end of stream for "all of it". A connection therefore ends with a
// reset from its accept until tcp_wai_ack has seen every byte sent on it
// acknowledged, and again from its next send: whatever gives up on a stream
// (a close on a failure, a cancel, the process's own end) throws the rest
// away and tells the device so.
#pragma once

#include <cstdint>

#include "common/util.h"

typedef int32_t ER;
typedef int32_t ID;
typedef int32_t INT;
typedef uint32_t UINT;
typedef int32_t W;
typedef uint32_t UW;
typedef uint16_t UH;
typedef W TMO;  // units of 10 ms; TMO_FEVR waits for ever
typedef UINT ATR;
typedef void* VP;
typedef void (*FP)(void);

static_assert(sizeof(ER) == 4 && sizeof(ID) == 4 && sizeof(INT) == 4 && sizeof(UINT) == 4, "");
static_assert(sizeof(W) == 4 && sizeof(UW) == 4 && sizeof(UH) == 2 && sizeof(TMO) == 4, "");
static_assert(sizeof(ATR) == sizeof(UINT), "");

constexpr TMO TMO_FEVR = -1;
constexpr TMO TMO_POL = 0;

constexpr ER E_OK = 0;
constexpr ER E_SYS = -5;      // the file to send could not be read (tcp_snd_fil)
constexpr ER E_NOSPT = -9;    // the kernel cannot send this file itself (tcp_snd_fil)
constexpr ER E_ID = -35;      // ID out of range, or no free ID left
constexpr ER E_NOEXS = -52;   // the ID holds no socket
constexpr ER E_OBJ = -63;     // socket could not be made ready, or the ID is in use
constexpr ER E_TMOUT = -85;   // a wait ran out of time
constexpr ER E_RLWAI = -86;   // a send or an accept failed, or the connection was lost
constexpr ER E_NOSOCK = -87;  // no socket for a reception point

/// Number of IDs of each kind of object.
constexpr int kItronMaxIds = 50;

/// An IPv4 endpoint: ipaddr in network byte order (first dotted number in the
/// lowest-addressed byte, as sin_addr holds it), portno in host order.
struct T_IPV4EP {
  UW ipaddr;
  UH portno;
};

struct T_UDP_CCEP {
  ATR cepatr;
  T_IPV4EP myaddr;
  FP callback;
};

struct T_TCP_CREP {
  ATR repatr;
  T_IPV4EP myaddr;  // only portno is used: reception points listen on every address
};

/// The buffers it names are not used: the kernel's socket buffers carry the stream.
struct T_TCP_CCEP {
  ATR cepatr;
  VP sbuf;
  INT sbufsz;
  VP rbuf;
  INT rbufsz;
  FP callback;
};

// UDP communication endpoints.
ER udp_vcre_cep(const T_UDP_CCEP* pk_ccep);
ER udp_vcre_cep_reuseaddr(const T_UDP_CCEP* pk_ccep);
ER udp_snd_dat(ID cepid, const T_IPV4EP* p_dstaddr, const void* data, INT len, TMO tmout);
ER udp_del_cep(ID cepid);

// TCP reception points and connection endpoints.
ER tcp_cre_rep(ID repid, const T_TCP_CREP* pk_crep);
ER tcp_vcre_rep(const T_TCP_CREP* pk_crep);
ER tcp_del_rep(ID repid);
ER tcp_cre_cep(ID cepid, const T_TCP_CCEP* pk_ccep);
ER tcp_vcre_cep(const T_TCP_CCEP* pk_ccep);
/// Waits until one of the count reception points (0 to 4) has a connection
/// waiting and returns its ID; E_TMOUT when none came within tmout; E_RLWAI
/// when tcp_can_rep cut the wait short. One thread at a time waits here.
ER tcp_wai_rep(const ID* repids, INT count, TMO tmout);
/// Cuts the wait in tcp_wai_rep short (or the next one, when none waits).
void tcp_can_rep();
/// Accepts a connection into cepid; Nagle's algorithm is off on it.
ER tcp_acp_cep(ID cepid, ID repid, T_IPV4EP* p_dstaddr, TMO tmout);
/// The local end of cepid's connection: which of the host's addresses its
/// peer reached, and the port.
ER tcp_ref_myaddr(ID cepid, T_IPV4EP* p_myaddr);
/// Options of a connection endpoint (tcp_set_opt).
/// TCP_SILENCE_LIMIT: a peer whose TCP has answered nothing for this many ms
/// while bytes of ours wait for it is taken as gone: every wait on the
/// connection then ends with E_TMOUT, with or without a limit of its own.
/// A peer that answers (its window closed while it is busy) is never cut off.
/// Also turns on keepalive probes for the times nothing is outstanding. 0: none.
constexpr INT TCP_SILENCE_LIMIT = 1;
/// TCP_RESET_ON_CLOSE (any value): the close resets the connection, though
/// every byte sent on it was acknowledged: for a stream given up on after
/// the fact (the file it carried changed under it). Until the next send.
constexpr INT TCP_RESET_ON_CLOSE = 2;
ER tcp_set_opt(ID cepid, INT optname, INT optval);
ER tcp_snd_dat(ID cepid, const void* data, INT len, TMO tmout);
/// As tcp_snd_dat, with up to len bytes of the file fd from *offset on, the
/// kernel moving them from the file to the socket without a copy through
/// the caller; *offset moves on by the count sent. 0: the file ends at
/// *offset. E_NOSPT: the kernel cannot send this file so (nothing was sent;
/// read it and use tcp_snd_dat); E_SYS: reading the file failed.
ER tcp_snd_fil(ID cepid, int fd, int64_t* offset, INT len, TMO tmout);
ER tcp_rcv_dat(ID cepid, void* data, INT len, TMO tmout);
/// Waits until the peer's TCP has acknowledged every byte sent on cepid:
/// E_OK, and from then on the connection ends normally; E_RLWAI when the
/// connection failed or was reset first; E_TMOUT when no acknowledgement came
/// for tmout. What the peer sends meanwhile is dropped.
ER tcp_wai_ack(ID cepid, TMO tmout);
/// The bytes sent on cepid that the peer's TCP has not acknowledged yet (0
/// or more), or the failure; it waits for nothing.
ER tcp_ref_cep(ID cepid);
/// Milliseconds since the peer's TCP last acknowledged anything on cepid
/// (0 or more), or the failure (E_OBJ where the kernel does not tell).
ER tcp_ref_ack(ID cepid);
/// Waits the whole of tmout with the connection open, dropping what the
/// peer sends: E_OK when no reset came (the peer ending its stream is none),
/// E_RLWAI as soon as the connection is reset or fails.
ER tcp_wai_cep(ID cepid, TMO tmout);
/// Closes the connection of cepid. One whose stream was acknowledged to its
/// last byte ends normally: our end of stream goes out after every byte sent,
/// and what the peer still sends is dropped until its own end of stream, for
/// at most tmout, so that the close does not reset. E_OK when the peer ended
/// its stream, E_TMOUT when it did not within tmout, E_RLWAI when it reset
/// the connection first. Any other is reset at once, the bytes not yet
/// acknowledged thrown away: E_OK, or E_RLWAI when it had failed or been
/// reset by the peer already. Closed in every case.
ER tcp_cls_cep(ID cepid, TMO tmout);
/// Cancels what the owner of cepid waits for: its send or wait on it ends
/// within 100 ms, with ECANCELED as its reason (a receive, within its own
/// limit). The owner still closes it: a stream not yet acknowledged to its
/// last byte is then reset, what is not acknowledged thrown away.
ER tcp_can_cep(ID cepid);
ER tcp_del_cep(ID cepid);

/// A wait of ms (kNoLimitMs: none) in the layer's units, rounded up: the one
/// place where the program's milliseconds become a TMO.
TMO TmoOf(int64_t ms);
/// A wait of tmout from now; TMO_FEVR is none.
Deadline DeadlineOf(TMO tmout);
/// The time left until deadline as a TMO (rounded up to 10 ms); TMO_FEVR for none.
TMO TmoUntil(const Deadline& deadline);

/// Why the calling thread's last failed operation failed, in the system's
/// words, after the call that failed where that is the reason ("poll:
/// Bad file descriptor"); the connection's own end in its words alone
/// ("Connection reset by peer"). Each failure keeps an errno value.
const char* ItronReason();
/// The errno value of that failure (0 for none), where a caller has advice
/// to give for one of them.
int ItronErrno();

/// Told of each failed bind of a reception point that is tried again: the
/// port, the attempt that failed, the attempts in all and the pause before
/// the next. ItronReason() tells why.
typedef void (*BindRetryNotice)(UH port, int attempt, int attempts, int pauseMs);
void ItronOnBindRetry(BindRetryNotice notice);

/// Closes every socket the layer holds and returns all tables (and the bind
/// retry) to their start state. For tests.
void ItronReset();

/// Whether connections with a silence limit cap the kernel's back-off of
/// retransmissions and window probes at 5 s where it lets them (Linux 6.15
/// on); true unless told. false makes any kernel behave as an older one: for
/// tests only, the program itself never calls it.
void ItronCapBackOff(bool cap);

/// Shortens the bind retry of reception points (16 attempts 5 s apart). For
/// tests only: the program itself never calls it.
void ItronSetBindRetry(int attempts, int pauseMs);
