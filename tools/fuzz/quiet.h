// The log layer writes to standard output; fuzz runs keep it quiet.
#pragma once

#include <fcntl.h>
#include <unistd.h>

inline void SilenceStdout() {
  const int null = open("/dev/null", O_WRONLY);
  if (null >= 0) {
    dup2(null, STDOUT_FILENO);
    close(null);
  }
}
