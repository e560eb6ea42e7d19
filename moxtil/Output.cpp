#include "moxtil/Output.h"

#include <android/log.h>

#include <cstdarg>
#include <cstring>

util_mutex_t _hMtxConsole = nullptr;

namespace {
constexpr char kLogTag[] = "moxtil";
}

void ConsoleOut(const char* str) {
  util_mutex_t lock = _hMtxConsole;
  util_mutex_lock(lock);  // with no handle the line is written unlocked
  __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "%s", str);
  fflush(stdout);
  util_mutex_unlock(lock);
}

void printLog(FILE* ostream, const char* format, ...) {
  (void)ostream;
  char buffer[1024];
  std::memset(buffer, 0, sizeof buffer);
  va_list ap;
  va_start(ap, format);
  vsnprintf(buffer, sizeof buffer, format, ap);
  va_end(ap);
  ConsoleOut(buffer);
}
