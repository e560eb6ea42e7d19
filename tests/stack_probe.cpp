// moxtil with every thread it starts on a stack of the probe's own: filled with a pattern before the thread starts,
// and read by the thread once its function has returned. Each thread's deepest use is appended to the report as one
// line:
//   thread=acceptor asked=<bytes> deepest=<bytes> libc=<bytes>
// deepest from the top of the stack, libc of it the C library's own above the thread's first frame (glibc keeps its
// thread record and the thread's variables there, within the size asked for).
//   stack_probe <report> [--terminal <screen>] <moxtil arguments...>
// --terminal: moxtil's output goes to a pseudo-terminal, as on a person's screen (the live view), copied to <screen>.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "common/util.h"
#include "moxtil/engine/Acceptor.h"
#include "moxtil/engine/Driver.h"
#include "moxtil/engine/Transfer.h"

namespace {

// Far more than any thread asks for, so that one that goes too deep is measured, not killed; a page under it that no
// thread may touch.
constexpr size_t kProbeStackSize = 256 * 1024;
constexpr unsigned char kPattern = 0xa5;
int reportFd = -1;

bool Provide(int, void** stack, size_t* size) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void* area = mmap(nullptr, kProbeStackSize + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (area == MAP_FAILED || mprotect(area, page, PROT_NONE) != 0) return false;
  *stack = static_cast<char*>(area) + page;
  *size = kProbeStackSize;
  memset(*stack, kPattern, *size);
  return true;  // never unmapped: the process is short
}

void Ended(LPTHREAD_START_ROUTINE routine, int asked, void* stack, size_t size, const void* firstFrame) {
  const auto* low = static_cast<const unsigned char*>(stack);
  const unsigned char* top = low + size;
  const unsigned char* touched = low;
  while (touched < top && *touched == kPattern) ++touched;
  const char* name = routine == process1 ? "acceptor" : routine == process2 ? "transfer" : "other";
  char line[160];
  const int n = snprintf(line, sizeof line, "thread=%s asked=%d deepest=%zu libc=%zu\n", name, asked,
                         static_cast<size_t>(top - touched),
                         static_cast<size_t>(top - static_cast<const unsigned char*>(firstFrame)));
  if (n > 0 && write(reportFd, line, static_cast<size_t>(n)) != n) perror("stack_probe: report");
}

const ThreadStackProbe kProbe = {Provide, Ended};

/// Standard output onto a pseudo-terminal of 80 x 24, its screen copied to
/// path by a thread of this probe's (not measured).
bool OntoATerminal(const char* path) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return false;
  const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  const int screen = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (slave < 0 || screen < 0) return false;
  const winsize size = {24, 80, 0, 0};
  ioctl(slave, TIOCSWINSZ, &size);
  if (dup2(slave, STDOUT_FILENO) < 0) return false;
  setenv("TERM", "xterm", 1);
  std::thread([master, screen] {
    char buf[4096];
    for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;) {
      if (write(screen, buf, static_cast<size_t>(n)) != n) break;
    }
  }).detach();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: stack_probe <report> [--terminal <screen>] <moxtil arguments...>\n");
    return 2;
  }
  reportFd = open(argv[1], O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (reportFd < 0) {
    perror(argv[1]);
    return 2;
  }
  int first = 1;  // moxtil's arguments follow it, as its argv[0]
  if (argc > 3 && strcmp(argv[2], "--terminal") == 0) {
    if (!OntoATerminal(argv[3])) {
      perror("stack_probe: terminal");
      return 2;
    }
    first = 3;
  }
  SetThreadStackProbe(&kProbe);
  return RunMoxtil(argc - first, argv + first);
}
