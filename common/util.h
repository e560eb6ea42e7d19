// Platform utilities: sleeping, time, threads, named mutexes and files.
// The names, units and argument order follow the Win32 calls that the rest of
// the program is written against (Sleep in milliseconds, CreateThread with the
// stack size first).
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <memory>

static_assert(sizeof(off_t) == 8, "file lengths must be 64-bit (build with _FILE_OFFSET_BITS=64)");

/// Sleeps for msec milliseconds; 0 or less returns at once. Signals do not
/// shorten the sleep.
void Sleep(int msec);

/// Milliseconds of a clock that only goes forward, for deadlines.
int64_t MonotonicMs();
/// Milliseconds since the epoch, for records that tell when.
int64_t WallClockMs();

/// A time limit in milliseconds that is none: the program's waits are all
/// counted in milliseconds, or as a Deadline.
constexpr int kNoLimitMs = -1;

/// The moment a wait must end by, on the monotonic clock, or none: the one
/// form every time limit takes inside the program.
class Deadline {
 public:
  static Deadline Never() { return Deadline(kNever); }
  /// ms from now; 0 or less is now.
  static Deadline In(int64_t ms) { return Deadline(MonotonicMs() + (ms > 0 ? ms : 0)); }
  /// A limit of limitMs from now; kNoLimitMs (any negative) is none.
  static Deadline Limit(int64_t limitMs) { return limitMs < 0 ? Never() : In(limitMs); }
  bool IsNever() const { return atMs_ == kNever; }
  bool Passed() const { return !IsNever() && MonotonicMs() >= atMs_; }
  /// Milliseconds left (0 once passed), or -1 for none.
  int64_t LeftMs() const;
  /// The time left as poll takes it: -1 for none, else 0 to INT_MAX.
  int PollMs() const;

 private:
  static constexpr int64_t kNever = -1;
  explicit Deadline(int64_t atMs) : atMs_(atMs) {}
  int64_t atMs_;
};

/// What the kernel tells of a file that every write to it changes: which
/// file it is (device and inode), its size, and the times of its last
/// modification and change. Two equal stamps of one file: no write between.
struct FileStamp {
  uint64_t dev = 0, ino = 0;
  int64_t size = -1;  // -1: no stamp could be had
  int64_t modifiedNs = 0, changedNs = 0;
  bool operator==(const FileStamp& o) const {
    return dev == o.dev && ino == o.ino && size == o.size && modifiedNs == o.modifiedNs && changedNs == o.changedNs;
  }
  bool operator!=(const FileStamp& o) const { return !(*this == o); }
};
/// The stamp of the open file fd; of path (symbolic links followed). One
/// whose size is -1 where the file cannot be asked.
FileStamp StampOf(int fd);
FileStamp StampOfPath(const char* path);

/// Opens path for binary reading when it is a regular file, and stores its
/// length in *length (and its stamp in *stamp, when not null). Null, with
/// errno set, for anything else (EISDIR for a directory, EINVAL for a FIFO,
/// a device or a socket): such a file is never opened in a way that blocks,
/// nor read without end.
FILE* OpenRegularFile(const char* path, off_t* length, FileStamp* stamp = nullptr);

/// A file closed when its holder goes out of scope, on every path: null
/// holds none.
struct FileCloser {
  void operator()(FILE* fp) const { fclose(fp); }
};
using ScopedFile = std::unique_ptr<FILE, FileCloser>;

/// Whether path names a regular file (symbolic links followed); when not,
/// errno tells why, as for OpenRegularFile.
bool IsRegularFile(const char* path);

/// Why a file cannot be loaded, from the errno that OpenRegularFile or
/// IsRegularFile left.
const char* FileReason(int err);

/// A mutex with a name, which identifies it in a debugger and is otherwise unused.
struct util_mutex_s {
  pthread_mutex_t mutex;
  char memo[20];
};
typedef util_mutex_s* util_mutex_t;

/// A new unlocked mutex named memo (cut to 19 characters; null gives an empty
/// name), or null when no memory could be had.
util_mutex_t util_mutex_creat(const char* memo);
/// 0 once locked; -1 for a null handle or a failed lock.
int util_mutex_lock(util_mutex_t handle);
/// 0; -1 for a null handle.
int util_mutex_unlock(util_mutex_t handle);
/// Frees the mutex: 0; -1 for a null handle. The handle is dead afterwards.
int util_mutex_destroy(util_mutex_t handle);

/// A thread function: its result becomes the thread's exit value.
typedef int (*LPTHREAD_START_ROUTINE)(void* lpParameter);

/// Threads never get less stack than this. Where the platform refuses a
/// size (glibc below its PTHREAD_STACK_MIN of 16 KiB), the thread runs on
/// its default stack; so does every thread of a sanitizer build, whose
/// instrumentation takes many times the stack.
constexpr int kMinThreadStackSize = 8192;

/// Starts a joinable thread running StartAddress(lpParameter) and stores its
/// ID in *lpThreadId. 0 when started, else the error number of the creation
/// (nothing is stored then). When the platform refuses the stack size, the
/// thread runs on its default stack.
int CreateThread(int StackSize, LPTHREAD_START_ROUTINE StartAddress, void* lpParameter,
                 pthread_t* lpThreadId);

/// Where a test measures how deep threads go: while set, every thread that
/// CreateThread starts runs on a stack that `provide` gives for the size it
/// asked for (the thread gets the platform's stack where it gives none), and
/// calls `ended` itself once its function has returned, with that stack and
/// the address of its first frame (above it: the C library's own).
struct ThreadStackProbe {
  bool (*provide)(int asked, void** stack, size_t* size);
  void (*ended)(LPTHREAD_START_ROUTINE routine, int asked, void* stack, size_t size, const void* firstFrame);
};
void SetThreadStackProbe(const ThreadStackProbe* probe);

/// Waits for a thread started by CreateThread and stores its exit value in
/// *exitValue (when not null). 0, else the error number of the join.
int JoinThread(pthread_t thread, int* exitValue);
