// One datagram per line on logd's socket, laid out as liblog lays it: the
// header (log id, thread id, realtime seconds and nanoseconds; packed,
// little-endian), the priority, the tag and the line, each text with its NUL.
//
// The log never holds up a transfer: the socket does not block. A line that
// it does not take at once (logd's queue is full) is held back, in order, and
// every later line goes behind it; the next writer, or a thread of this file's
// own that waits for room, sends them on. Past kHeld bytes held, the oldest
// held lines are dropped whole to make room, so that the latest status, the
// one the app acts on, is still there when logd reads again; where lines are
// missing, a line says how many. At exit the held lines get a second to go.
#include "common/logd.h"

#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr char kSocketPath[] = "/dev/socket/logdw";
constexpr size_t kHeaderSize = 11;
constexpr size_t kTagMax = 64;
constexpr size_t kLineMax = 4000;  // logd keeps about 4 KiB of an entry
constexpr size_t kDatagramMax = kHeaderSize + 1 + kTagMax + 1 + kLineMax + 1;
constexpr size_t kHeld = 32 << 10;  // each held datagram after its 2-byte length
constexpr int64_t kExitGraceMs = 1000;

struct Datagram {
  unsigned char bytes[kDatagramMax];
  size_t size;
};

// All under lock. Plain data, so that nothing is destroyed before the
// drain at exit.
pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t lineHeld = PTHREAD_COND_INITIALIZER;
int sock = -1;
unsigned char held[kHeld];
size_t heldUsed = 0;
unsigned long lost = 0;     // lines dropped between those sent and those held
char lostTag[kTagMax + 1];  // the tag and priority of the line said of them
int lostPrio;
bool drainerStarted = false;
Datagram line;  // the one being written
Datagram note;  // the count of lines lost

void PutLittleEndian(unsigned char* at, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

void Format(Datagram& d, int prio, const char* tag, const char* text, size_t len) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  d.bytes[0] = 0;  // the main log
  thread_local const auto tid = static_cast<uint32_t>(syscall(SYS_gettid));
  PutLittleEndian(d.bytes + 1, tid, 2);
  PutLittleEndian(d.bytes + 3, static_cast<uint32_t>(now.tv_sec), 4);
  PutLittleEndian(d.bytes + 7, static_cast<uint32_t>(now.tv_nsec), 4);
  d.bytes[kHeaderSize] = static_cast<unsigned char>(prio);
  size_t at = kHeaderSize + 1;
  const size_t tagLen = strnlen(tag, kTagMax);
  memcpy(d.bytes + at, tag, tagLen);
  at += tagLen;
  d.bytes[at++] = '\0';
  len = len < kLineMax ? len : kLineMax;
  memcpy(d.bytes + at, text, len);
  at += len;
  d.bytes[at++] = '\0';
  d.size = at;
}

size_t HeldSize(size_t at) { return held[at] | static_cast<size_t>(held[at + 1]) << 8; }

int Connect() {
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  memcpy(sa.sun_path, kSocketPath, sizeof kSocketPath);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return fd;
  if (fd >= 0) close(fd);
  return -1;
}

// Whether the socket took the datagram. One that failed otherwise than for
// want of room (logd started anew) is made again for the next.
bool Send(const unsigned char* bytes, size_t size) {
  if (sock < 0) sock = Connect();
  if (sock < 0) return false;
  if (send(sock, bytes, size, MSG_DONTWAIT | MSG_NOSIGNAL) == static_cast<ssize_t>(size)) return true;
  if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOBUFS && errno != EINTR) {
    close(sock);
    sock = -1;
  }
  return false;
}

// Sends the count of the lines lost, then what is held, oldest first: true
// once nothing is left.
bool SendHeld() {
  if (lost > 0) {
    char text[128];
    const int n = snprintf(text, sizeof text, "log: %lu line%s lost here: the log daemon took none for a while", lost,
                           lost == 1 ? "" : "s");
    Format(note, lostPrio, lostTag, text, static_cast<size_t>(n));
    if (!Send(note.bytes, note.size)) return false;
    lost = 0;
  }
  size_t at = 0;
  while (at < heldUsed) {
    const size_t size = HeldSize(at);
    if (!Send(held + at + 2, size)) break;
    at += 2 + size;
  }
  memmove(held, held + at, heldUsed - at);
  heldUsed -= at;
  return heldUsed == 0;
}

// Sends what is held whenever logd's queue has room; after each try, a tenth
// of a second at most, so that a socket made anew is found too.
void* Drainer(void*) {
  pthread_mutex_lock(&lock);
  for (;;) {
    while (SendHeld()) pthread_cond_wait(&lineHeld, &lock);
    pollfd room = {sock, POLLOUT, 0};
    pthread_mutex_unlock(&lock);
    poll(&room, room.fd >= 0 ? 1 : 0, 100);
    pthread_mutex_lock(&lock);
  }
  return nullptr;
}

// The line that cannot go now, under tag and prio: held behind the others,
// the oldest dropped to make room for it.
void Hold(int prio, const char* tag) {
  size_t dropped = 0;
  while (heldUsed - dropped + 2 + line.size > kHeld) {
    dropped += 2 + HeldSize(dropped);
    ++lost;
  }
  memmove(held, held + dropped, heldUsed - dropped);
  heldUsed -= dropped;
  PutLittleEndian(held + heldUsed, static_cast<uint32_t>(line.size), 2);
  memcpy(held + heldUsed + 2, line.bytes, line.size);
  heldUsed += 2 + line.size;
  if (dropped > 0) {
    snprintf(lostTag, sizeof lostTag, "%s", tag);
    lostPrio = prio;
  }
  if (!drainerStarted) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    drainerStarted = pthread_create(&thread, &attr, Drainer, nullptr) == 0;
    pthread_attr_destroy(&attr);
  }
  pthread_cond_signal(&lineHeld);
}

int64_t MonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void DrainAtExit() {
  const int64_t end = MonotonicMs() + kExitGraceMs;
  pthread_mutex_lock(&lock);
  for (int64_t now = MonotonicMs(); !SendHeld() && now < end; now = MonotonicMs()) {
    pollfd room = {sock, POLLOUT, 0};
    pthread_mutex_unlock(&lock);
    poll(&room, room.fd >= 0 ? 1 : 0, static_cast<int>(end - now < 100 ? end - now : 100));
    pthread_mutex_lock(&lock);
  }
  pthread_mutex_unlock(&lock);
}

}  // namespace

bool LogdOpen() {
  if (access(kSocketPath, F_OK) != 0) return false;
  pthread_mutex_lock(&lock);
  sock = Connect();  // where logd is not up yet, made again with the first line
  pthread_mutex_unlock(&lock);
  std::atexit(DrainAtExit);
  return true;
}

void LogdWrite(int prio, const char* tag, const char* text, size_t len) {
  if (len > 0 && text[len - 1] == '\n') --len;
  pthread_mutex_lock(&lock);
  const char* end = text + len;
  for (const char* at = text;;) {
    const char* eol = static_cast<const char*>(memchr(at, '\n', static_cast<size_t>(end - at)));
    const char* stop = eol != nullptr ? eol : end;
    Format(line, prio, tag, at, static_cast<size_t>(stop - at));
    if (!SendHeld() || !Send(line.bytes, line.size)) Hold(prio, tag);
    if (eol == nullptr) break;
    at = eol + 1;
  }
  pthread_mutex_unlock(&lock);
}
