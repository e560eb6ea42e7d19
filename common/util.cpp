#include "common/util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

void Sleep(int msec) {
  if (msec <= 0) return;
  timespec want{};
  want.tv_sec = msec / 1000;
  want.tv_nsec = static_cast<long>(msec % 1000) * 1000000L;
  timespec left{};
  // A signal only interrupts the sleep; the rest is slept after it.
  while (nanosleep(&want, &left) == -1 && errno == EINTR) want = left;
}

int64_t MonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int64_t WallClockMs() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int64_t Deadline::LeftMs() const {
  if (IsNever()) return -1;
  const int64_t left = atMs_ - MonotonicMs();
  return left > 0 ? left : 0;
}

int Deadline::PollMs() const {
  const int64_t left = LeftMs();
  return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

namespace {

/// 0 for a regular file, else the errno that tells what it is instead.
int NotRegularReason(const struct stat& st) {
  if (S_ISREG(st.st_mode)) return 0;
  return S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
}

FileStamp StampOfStat(const struct stat& st) {
  FileStamp s;
  s.dev = static_cast<uint64_t>(st.st_dev);
  s.ino = static_cast<uint64_t>(st.st_ino);
  s.size = static_cast<int64_t>(st.st_size);
  s.modifiedNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  s.changedNs = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  return s;
}

}  // namespace

FileStamp StampOf(int fd) {
  struct stat st{};
  return fstat(fd, &st) == 0 ? StampOfStat(st) : FileStamp();
}

FileStamp StampOfPath(const char* path) {
  struct stat st{};
  return stat(path, &st) == 0 ? StampOfStat(st) : FileStamp();
}

FILE* OpenRegularFile(const char* path, off_t* length, FileStamp* stamp) {
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st{};
  int err = 0;
  if (fstat(fd, &st) != 0) {
    err = errno;
  } else {
    err = NotRegularReason(st);
  }
  FILE* fp = err == 0 ? fdopen(fd, "rb") : nullptr;
  if (fp == nullptr) {
    if (err == 0) err = errno;
    close(fd);
    errno = err;
    return nullptr;
  }
  *length = st.st_size;
  if (stamp != nullptr) *stamp = StampOfStat(st);
  return fp;
}

bool IsRegularFile(const char* path) {
  struct stat st{};
  if (stat(path, &st) != 0) return false;
  const int err = NotRegularReason(st);
  if (err == 0) return true;
  errno = err;
  return false;
}

const char* FileReason(int err) { return err == EINVAL ? "not a regular file" : strerror(err); }

util_mutex_t util_mutex_creat(const char* memo) {
  util_mutex_t handle = new (std::nothrow) util_mutex_s;
  if (handle == nullptr) return nullptr;
  pthread_mutex_init(&handle->mutex, nullptr);
  std::memset(handle->memo, 0, sizeof handle->memo);
  if (memo != nullptr) std::strncpy(handle->memo, memo, sizeof handle->memo - 1);
  return handle;
}

int util_mutex_lock(util_mutex_t handle) {
  if (handle == nullptr) return -1;
  return pthread_mutex_lock(&handle->mutex) == 0 ? 0 : -1;
}

int util_mutex_unlock(util_mutex_t handle) {
  if (handle == nullptr) return -1;
  pthread_mutex_unlock(&handle->mutex);
  return 0;
}

int util_mutex_destroy(util_mutex_t handle) {
  if (handle == nullptr) return -1;
  pthread_mutex_destroy(&handle->mutex);
  delete handle;
  return 0;
}

namespace {

/// The stack size CreateThread asks for: StackSize, raised to the floor.
int ThreadStackSize(int StackSize) {
  return StackSize >= kMinThreadStackSize ? StackSize : kMinThreadStackSize;
}

// Instrumented code takes many times the stack it was measured with.
#ifdef MOXTIL_SANITIZED
constexpr bool kSizedStacks = false;
#else
constexpr bool kSizedStacks = true;
#endif

const ThreadStackProbe* stackProbe = nullptr;

struct ThreadStart {
  LPTHREAD_START_ROUTINE routine;
  void* parameter;
  int asked;
  void* stack;  // the probe's, else null
  size_t stackSize;
};

void* RunThread(void* arg) {
  ThreadStart start = *static_cast<ThreadStart*>(arg);
  delete static_cast<ThreadStart*>(arg);
  const int result = start.routine(start.parameter);
  if (start.stack != nullptr) stackProbe->ended(start.routine, start.asked, start.stack, start.stackSize, &start);
  return reinterpret_cast<void*>(static_cast<intptr_t>(result));
}

/// The thread's stack in attr: the probe's, or the size asked for (raised to
/// the floor). A size the platform refuses leaves its default.
void SetStack(pthread_attr_t* attr, ThreadStart* start) {
  if (stackProbe != nullptr && stackProbe->provide(start->asked, &start->stack, &start->stackSize) &&
      pthread_attr_setstack(attr, start->stack, start->stackSize) != 0) {
    start->stack = nullptr;
  }
  if (start->stack == nullptr && kSizedStacks) {
    (void)pthread_attr_setstacksize(attr, static_cast<size_t>(start->asked));
  }
}

}  // namespace

void SetThreadStackProbe(const ThreadStackProbe* probe) { stackProbe = probe; }

int CreateThread(int StackSize, LPTHREAD_START_ROUTINE StartAddress, void* lpParameter,
                 pthread_t* lpThreadId) {
  auto* start = new (std::nothrow) ThreadStart{StartAddress, lpParameter, ThreadStackSize(StackSize), nullptr, 0};
  if (start == nullptr) return ENOMEM;

  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc != 0) {
    delete start;
    return rc;
  }
  SetStack(&attr, start);

  pthread_t thread;
  rc = pthread_create(&thread, &attr, RunThread, start);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete start;
    return rc;
  }
  *lpThreadId = thread;
  return 0;
}

int JoinThread(pthread_t thread, int* exitValue) {
  void* result = nullptr;
  int rc = pthread_join(thread, &result);
  if (rc == 0 && exitValue != nullptr) {
    *exitValue = static_cast<int>(reinterpret_cast<intptr_t>(result));
  }
  return rc;
}
